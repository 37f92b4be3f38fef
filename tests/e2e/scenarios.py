#!/usr/bin/env python3
"""Whole-program scenarios: the real Velmorandix.exe under Wine and Xvfb,
against update servers on the fixed loopback ports, checked from outside
(exit code, console lines, install folder, the requests each server saw and
when, the stand-in launcher's record, the window's place and pixels).

    scenarios.py --build build/windows [--only NAME,NAME...] [--backend scripted,nginx]
                 [--jobs N] [--program NAME=PATH ...] [--keep]

Every scenario runs against the scriptable test server; those marked nginx
run against nginx as well. Independent runs go side by side: each worker is
a process in a network namespace of its own (so it owns the fixed ports),
with its own X server and its own Wine prefix, cloned from the build tree's
template prefix. Between two runs in a worker the install folder and the
stand-in launcher are cleared away and HKCU\\Environment is put back. Where
namespaces cannot be made, everything runs one after another on this
machine's loopback, under the machine-wide ports lock.

Adding a scenario
-----------------
1. Write a function taking the Suite `t`: lay out the install folder
   (`c = t.content(...)`, `c.install(t.install, ...)`), say what the servers
   answer (`t.servers.serve(primary=c.files(), faults={...})`), start the
   program (`run = t.start(...)`) and check what it left
   (`t.check(cond, 'what')`, `t.expect_launch(run)`,
   `t.expect_error_screen(run, 'L2')`, ...). Clean-up between runs is done for
   you (Suite.reset).
2. Add one row to SCENARIOS at the end of this file: its name, the function,
   about how many seconds it takes (the longest start first), nginx=True if
   it needs no scripted fault and should run against nginx too.
3. A scenario that runs another program than Velmorandix.exe (a build with
   test keys, say) names it with exe='...': add that name and its place in
   the build tree to PROGRAMS, and pass it in tests/e2e/CMakeLists.txt as
   --program NAME=$<TARGET_FILE:target>. The signed scenarios run
   'velmorandix-signed', the program with the test keys A and B; a release
   is signed with `t.content().sign(key('test_a'), serial=...)`.
Run it alone with --only NAME (see docs/development.md).
"""
import argparse
import contextlib
import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections import namedtuple

from vxe2e import Probe, Session, file_lock, netns_available, run_jobs, wine_path
import vxservers as vs
import xgrab
import wineprefix
from vxservers import JAR_TARGET, MANIFEST_TARGET, SIGNATURE_TARGET, ZIP64_TARGET

HOLD = 10.0  # the update screen's hold after each download
ERROR_HOLD = 5.0  # the error screen's
FILETIME_UNIX_EPOCH = 116444736000000000
# A pixel differs when a channel is off by more than about 10 %; a screen
# matches when at most this share of the client area differs.
FUZZ = '10%'
DIFFERING_SHARE = 0.005
# A capture that differs from every composed screen by more than this share
# shows none of them (the update screen's progress bar alone stays below).
NOT_A_SCREEN = 0.2

# What an older install held, where a scenario needs one.
OLD_JAR = b'an older launcher'
OLD_RUNTIME = {'bin/java.exe': b'an older java', 'lib/modules': b'old'}
MIB = 1024 * 1024

NO_LINK = 'Нет соединения :('
NO_ACCESS = 'Нет доступа :('
CRITICAL = 'Критическая ошибка'
TEXTS = {
    'C1': (NO_LINK, 'Ошибка обновления лаунчера. Код C1.'),
    'default': (NO_LINK, 'Попробуйте еще раз чуть позже.'),
    'L1': (NO_ACCESS, 'Ошибка обновления лаунчера. Код L1.'),
    'L2': (NO_LINK, 'Ошибка обновления лаунчера. Код L2.'),
    'L3': (NO_ACCESS, 'Ошибка обновления лаунчера. Код L3.'),
    'L5': (NO_ACCESS, 'Ошибка обновления лаунчера. Код L5.'),
    'J1': (NO_ACCESS, 'Ошибка обновления Java. Код J1.'),
    'J3': (NO_LINK, 'Ошибка обновления Java. Код J3.'),
    'J4': (NO_ACCESS, 'Ошибка обновления Java. Код J4.'),
    'J6': (NO_ACCESS, 'Ошибка обновления Java. Код J6.'),
    '3': (CRITICAL, 'Ошибка запуска лаунчера. Код 3.'),
    'C2': (NO_LINK, 'Не удалось проверить подпись обновления. Код C2.'),
    'L4': (NO_LINK, 'Ошибка обновления лаунчера. Код L4.'),
    'J5': (NO_LINK, 'Ошибка обновления Java. Код J5.'),
}

# The programs a run uses, by name, with their place in a build tree
# (--build); --program NAME=PATH overrides one.
PROGRAMS = {
    'velmorandix': 'Velmorandix.exe',
    'velmorandix-signed': 'signed/Velmorandix.exe',
    'velmorandix-authenticode': 'authenticode/Velmorandix.exe',
    'winprobe': 'tests/support/winprobe.exe',
    'standin_java': 'tools/standin_java.exe',
    'splash_gallery': 'tests/app/splash_gallery.exe',
    'holdfile': 'tests/e2e/holdfile.exe',
    'velmorandix-manifest': 'tools/velmorandix-manifest/velmorandix-manifest.exe',
}


def filetime_to_unix(value):
    return (int(value) - FILETIME_UNIX_EPOCH) / 1e7


class Run:
    """What one start of the program left behind."""

    def __init__(self):
        self.code = None
        self.started = self.ended = 0.0
        self.lines = []
        self.record = {}
        self.shots = []
        self.capture = None
        self.primary = []
        self.fallback = []
        self.times = []  # (time, target) of the primary's requests

    def manifest_lines(self):
        return [l for l in self.lines if 'updater?system=win64' in l]


class References:
    """The screens as splash_gallery.exe composes them, cropped to the
    window's client area; made once and shared by all workers."""

    def __init__(self, folder, gallery):
        self.folder = folder
        self.gallery = gallery
        os.makedirs(folder, exist_ok=True)

    def _locked(self, name):
        return file_lock(os.path.join(self.folder, name + '.lock'))

    def composed(self, session, key):
        """The folder with the six screens, the error screen showing the
        texts of the given key."""
        folder = os.path.join(self.folder, 'texts-' + key)
        done = os.path.join(folder, 'done')
        if not os.path.exists(done):
            with self._locked('texts-' + key):
                if not os.path.exists(done):
                    os.makedirs(folder, exist_ok=True)
                    texts = os.path.join(folder, 'texts.txt')
                    with open(texts, 'w', encoding='utf-8') as f:
                        f.write('%s\n%s\n' % TEXTS[key])
                    code, out = session.run(self.gallery, wine_path(folder), wine_path(texts),
                                            timeout=120)
                    if code != 0 or not os.path.exists(os.path.join(folder, 'error.png')):
                        raise RuntimeError('splash_gallery failed (%s): %s' % (code, out))
                    open(done, 'w').close()
        return folder

    def screen(self, session, name, size, key='C1'):
        """One composed screen ('connect', 'error', ...) cropped to size."""
        folder = self.composed(session, key)
        path = os.path.join(folder, '%s-%dx%d.png' % (name, size[0], size[1]))
        if not os.path.exists(path):
            with self._locked('texts-' + key):
                if not os.path.exists(path):
                    subprocess.run(['convert', os.path.join(folder, name + '.png'), '-crop',
                                    '%dx%d+0+0' % size, '+repage', path + '.tmp.png'],
                                   check=True, timeout=60)
                    os.rename(path + '.tmp.png', path)
        return path

    def full_size(self, session):
        return image_size(os.path.join(self.composed(session, 'C1'), 'error.png'))


class Suite:
    """One worker's scenarios against one kind of server."""

    def __init__(self, session, servers, programs, references, work):
        self.s = session
        self.servers = servers
        self.programs = programs
        self.refs = references
        self.work = work
        os.makedirs(work, exist_ok=True)
        self.probe = Probe(session, programs['winprobe'])
        self.failures = []
        self.current = ''
        self.exe = programs['velmorandix']
        self.client = None  # (left, top, width, height) of the window's client area
        self._differing = {}
        rng = random.Random(8)
        with open(programs['standin_java'], 'rb') as f:
            self.standin = f.read()
        self.jar = b'PK\x03\x04' + rng.randbytes(256 * 1024)
        self.runtime = {
            'bin/java.exe': self.standin,
            'lib/modules': rng.randbytes(512 * 1024) + b'modules' * 10000,
            'conf/security/java.security': b'securerandom.source=file:/dev/random\n',
            'release': b'JAVA_VERSION="17.0.9"\n',
        }
        self.install = os.path.join(session.appdata(), 'Velmorandix', 'bootstrap')
        self.install_windows = session.appdata_windows() + '\\Velmorandix\\bootstrap'
        self.java = os.path.join(self.install, 'java')
        self.jar_path = os.path.join(self.install, 'launcher.jar')

    # -- checks ------------------------------------------------------------
    def check(self, condition, what):
        print(('  ok   ' if condition else '  FAIL ') + what, flush=True)
        if not condition:
            self.failures.append('%s: %s' % (self.current, what))
        return condition

    def content(self, **kw):
        return vs.Content(kw.pop('jar', self.jar), kw.pop('runtime', self.runtime), **kw)

    def installed_jar(self):
        """The installed jar's bytes, None when there is none."""
        try:
            with open(self.jar_path, 'rb') as f:
                return f.read()
        except OSError:
            return None

    def install_jar(self, data):
        os.makedirs(self.install, exist_ok=True)
        with open(self.jar_path, 'wb') as f:
            f.write(data)

    @contextlib.contextmanager
    def held(self, path):
        """Another program (holdfile.exe) holds the file open without any
        sharing for the block, as a running game holds its files."""
        holder = self.s.start(self.programs['holdfile'], wine_path(path), '300')
        try:
            deadline = time.time() + 30
            while time.time() < deadline and holder.poll() is None \
                    and b'held' not in self.s.output(holder):
                time.sleep(0.1)
            self.check(b'held' in self.s.output(holder), '%s is held open by another process'
                       % os.path.basename(path))
            yield
        finally:
            holder.kill()
            holder.wait()

    def partial(self):
        """Where the program keeps the runtime archive while it arrives."""
        return os.path.join(self.install, 'downloads', 'java.zip.part')

    # -- state between scenarios -------------------------------------------
    def reset(self):
        record = self.read_record()
        if 'pid' in record:
            self.s.run('taskkill.exe', '/F', '/PID', record['pid'], timeout=60)
        shutil.rmtree(os.path.join(self.s.appdata(), 'Velmorandix'), ignore_errors=True)
        self.servers.stop()

    def read_record(self):
        record = {}
        try:
            with open(os.path.join(self.java, 'bin', 'standin_record.txt'), encoding='utf-8') as f:
                for line in f:
                    if line.endswith('\n') and '=' in line:
                        key, value = line[:-1].split('=', 1)
                        record[key] = value
        except OSError:
            pass
        return record

    # -- one start of the program ------------------------------------------
    def start(self, timeout=90, screens=False, during=None):
        for attempt in (1, 2):
            run = Run()
            out_path = os.path.join(self.work, 'bootstrapper.out')
            with open(out_path, 'wb') as out:
                run.started = time.time()
                app = self.s.start(self.exe, stdout=out)
                if screens:
                    run.capture = Capture(self, app)
                if during:
                    during(app, run)
                run.code = self.s.wait(app, timeout=timeout)
                run.ended = time.time()
                if run.code is None:
                    self.probe.close('VELMORANDIX')
                    if self.s.wait(app, timeout=20) is None:
                        app.kill()
                        app.wait()
            # The program itself always ends with 0 and never within a
            # second; a non-zero end that quick, before any request, is Wine's
            # loader failing to start it, which is not what is under test.
            stillborn = (run.code not in (None, 0) and run.ended - run.started < 1.0
                         and not self.servers.requests('primary'))
            if not stillborn or attempt == 2:
                break
            if run.capture:
                run.capture.finish()
            print('  (Wine did not start the program, code %s: %r; starting it again)'
                  % (run.code, self.s.errors(app)[-400:]), flush=True)
        if run.capture:
            run.shots = run.capture.finish()
        with open(out_path, 'rb') as f:
            run.lines = f.read().decode('utf-8', 'replace').splitlines()
        run.record = self.read_record()
        run.times = self.servers.timed_requests('primary')
        run.primary = [target for _, target in run.times]
        run.fallback = self.servers.requests('fallback')
        print('  exit code %s after %.1f s; primary saw %r, fallback saw %r'
              % (run.code, run.ended - run.started, run.primary, run.fallback), flush=True)
        return run

    def expect_launch(self, run):
        """Exit 0 within about 5 s of the marker; the runtime's java.exe was
        started in the runtime folder with the filled-in command line."""
        self.check(run.code == 0, 'exit code 0')
        self.check('printed' in run.record, 'the stand-in launcher ran and printed its marker')
        if 'printed' in run.record:
            gap = run.ended - filetime_to_unix(run.record['printed'])
            self.check(-0.5 <= gap <= 5.5, 'the program ends within about 5 s of the marker '
                       '(%.1f s)' % gap)
        if 'pid' not in run.record:
            return
        want = '-jar "%s\\launcher.jar" -u "%s"' % (self.install_windows, wine_path(self.exe))
        self.check(run.record.get('cmdline', '').lower() == want.lower(),
                   'the launcher command line is filled in (%r)' % run.record.get('cmdline'))
        self.check(run.record.get('module', '').lower()
                   == (self.install_windows + '\\java\\bin\\java.exe').lower(),
                   "the runtime's java.exe was started (%r)" % run.record.get('module'))
        self.check(run.record.get('cwd', '').lower() == (self.install_windows + '\\java').lower(),
                   'it runs in the runtime folder (%r)' % run.record.get('cwd'))

    def expect_installed(self, content):
        self.check(self.installed_jar() == content.jar, 'the installed jar is the served one')
        tree = vs.read_tree(self.java)
        tree.pop('bin/standin_record.txt', None)
        self.check(tree == content.runtime, 'the runtime folder holds exactly the served files: %r'
                   % sorted(tree))

    def expect_screen(self, run, name, key='C1'):
        """Some capture shows the composed screen (the error screen with the
        texts of key)."""
        what = ('the error screen shows %s / %s' % TEXTS[key] if name == 'error'
                else 'the %s screen shows as composed' % name)
        if not run.shots:
            self.check(False, what + ': no capture was taken')
            return
        reference = self.refs.screen(self.s, name, image_size(run.shots[0]), key)
        best = min(self.differing(shot, reference) for shot in run.shots)
        self.check(best <= DIFFERING_SHARE, '%s (closest capture: %.2f%% differ)'
                   % (what, best * 100))

    def expect_error_screen(self, run, key):
        self.check(run.code == 0, 'exit code 0')
        self.check('pid' not in run.record, 'no launcher was started')
        self.expect_screen(run, 'error', key)

    def expect_failed_download(self, run, requests, key):
        """A download that failed: the primary saw these requests, then the
        update hold passed and the error screen of key showed."""
        wrong = '' if run.primary == requests else ', not %r' % requests
        self.check(run.primary == requests, 'the primary saw %r%s' % (run.primary, wrong))
        self.expect_error_screen(run, key)
        took = run.ended - run.started
        self.check(took >= HOLD + ERROR_HOLD, 'the update hold and the error screen passed (%.1f s)'
                   % took)

    # -- screens -----------------------------------------------------------
    def screens(self, run):
        """The screens the captures show, in order, each named after the
        nearest of the composed screens (consecutive repeats merged). A
        capture far from all of them (the window not yet drawn, or half
        drawn) names none."""
        if not run.shots:
            return []
        size = image_size(run.shots[0])
        refs = {name: self.refs.screen(self.s, name, size)
                for name in ('welcome', 'connect', 'check', 'update', 'launch', 'error')}
        order = []
        for shot in run.shots:
            name = min(refs, key=lambda n: self.differing(shot, refs[n]))
            if self.differing(shot, refs[name]) > NOT_A_SCREEN:
                continue
            if not order or order[-1] != name:
                order.append(name)
        print('  screens: ' + ' -> '.join(order))
        return order

    def differing(self, shot, reference):
        """The share of pixels that differ. Captures of a screen that holds
        still are identical files, so each pair is compared once."""
        with open(shot, 'rb') as f:
            key = (hashlib.sha1(f.read()).hexdigest(), reference)
        if key not in self._differing:
            r = subprocess.run(['compare', '-metric', 'AE', '-fuzz', FUZZ, shot, reference,
                                'null:'], capture_output=True, text=True, timeout=60)
            try:
                w, h = image_size(reference)
                self._differing[key] = float(r.stderr.split()[0]) / float(w * h)
            except (IndexError, ValueError):
                return 1.0
        return self._differing[key]


def image_size(path):
    r = subprocess.run(['identify', '-format', '%w %h', path], capture_output=True, text=True,
                       timeout=60, check=True)
    w, h = r.stdout.split()
    return int(w), int(h)


class Capture:
    """Grabs the window's client area about once a second while the program
    runs (xgrab: the rectangle alone, in this process; ImageMagick's import
    where libX11 cannot be had). The shortest screen a scenario looks for,
    the launch screen, stays up for more than a second."""

    def __init__(self, suite, app):
        self.suite = suite
        self.app = app
        self.shots = []
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        suite = self.suite
        if suite.client is None:
            info = suite.probe.find('VELMORANDIX', 20000)
            if not info.get('found'):
                return
            border = info['client_left'] - info['left']
            suite.client = (info['client_left'], info['client_top'],
                            info['right'] - info['client_left'] - border,
                            info['bottom'] - info['client_top'] - border)
        ref_w, ref_h = suite.refs.full_size(suite.s)
        w, h = min(ref_w, suite.client[2]), min(ref_h, suite.client[3])
        try:
            grabber = xgrab.Grabber(':%s' % suite.s.display)
        except OSError:
            grabber = None
        n = 0
        try:
            while not self.stopping.is_set() and self.app.poll() is None:
                path = os.path.join(suite.work, '%s-%02d.png' % (suite.current, n))
                n += 1
                if grabber is not None:
                    ok = grabber.grab(path, suite.client[0], suite.client[1], w, h)
                else:
                    # -strip leaves out the time stamps: equal screens, equal files.
                    ok = subprocess.run(
                        ['import', '-display', ':%s' % suite.s.display, '-window', 'root',
                         '-crop', '%dx%d+%d+%d' % (w, h, suite.client[0], suite.client[1]),
                         '+repage', '-strip', path], stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL, timeout=60).returncode == 0
                if ok and self.app.poll() is None:
                    self.shots.append(path)
                time.sleep(0.8)
        finally:
            if grabber is not None:
                grabber.close()

    def finish(self):
        self.stopping.set()
        self.thread.join(60)
        return self.shots


# -- the scenarios -------------------------------------------------------------
def fresh_install(t):
    """From an empty install folder: the jar, then the runtime, then the
    launch: 1 -> 2 -> 4 -> 2 -> 4 -> 2 -> 5. The jar spans several reads; the
    archive holds a folder item, a read-only file and a dot-file."""
    t.check(vs.fingerprint(b'abc') == 'fa93ddb3', 'the fingerprint here is the published one')
    runtime = dict(t.runtime)
    runtime.update({'lib/security/cacerts': b'read-only trust store\n',
                    'legal/.marker': b'a name that begins with a full stop\n'})
    jar = b'PK\x03\x04' + random.Random(20261208).randbytes(3 * 1024 * 1024 // 2)
    c = t.content(jar=jar, runtime=runtime, folders=['conf/'],
                  read_only=['lib/security/cacerts'])
    t.servers.serve(primary=c.files())
    run = t.start(timeout=120, screens=True)
    shown = t.screens(run)
    t.check('update' in shown and shown[-1] == 'launch',
            'the update screen, then the launch screen were shown')
    t.check(run.primary == [MANIFEST_TARGET, JAR_TARGET, ZIP64_TARGET],
            'one manifest, one jar and one archive request, in that order')
    t.check(run.fallback == [], 'the fallback server was not asked')
    t.check(len(run.manifest_lines()) == 1, 'one manifest line on the console: %r' % run.lines)
    t.expect_launch(run)
    t.expect_installed(c)
    t.check(os.path.isdir(os.path.join(t.java, 'conf')), 'the folder item conf/ is made')
    t.check(not os.path.exists(os.path.join(t.java, 'tempfile.zip')), 'tempfile.zip is gone')
    if len(run.times) == 3:
        manifest_at, jar_at, zip_at = (at for at, _ in run.times)
        t.check(jar_at - manifest_at < HOLD - 1, 'the jar is fetched right after the check '
                '(%.1f s)' % (jar_at - manifest_at))
        t.check(HOLD - 0.5 <= zip_at - jar_at <= HOLD + 15,
                'the update screen holds 10 s before the archive round (%.1f s)'
                % (zip_at - jar_at))
        if 'started' in run.record:
            launch_at = filetime_to_unix(run.record['started'])
            t.check(HOLD - 0.5 <= launch_at - zip_at <= HOLD + 25,
                    'the update screen holds 10 s before the launch (%.1f s)'
                    % (launch_at - zip_at))


def up_to_date(t):
    """Everything current, by the operator's manifest tool: 1 -> 2 -> 5 with
    no download and no update hold. On the way the launch removes
    "_JAVA_OPTIONS" from the process and from HKCU\\Environment; the
    launcher keeps running after the program has ended."""
    c = t.content()
    c.install(t.install)
    archive = os.path.join(t.work, 'java64.zip')
    with open(archive, 'wb') as f:
        f.write(c.archive)
    made = os.path.join(t.work, 'manifest.json')
    code, out = t.s.run(t.programs['velmorandix-manifest'],
                        '--launcher', t.install_windows + '\\launcher.jar',
                        '--java-dir', t.install_windows + '\\java', '--java-zip', wine_path(archive),
                        '--java-path', c.manifest['java_path'], '--run-args',
                        c.manifest['run_args'], '-o', wine_path(made), timeout=120)
    files = c.files()
    if t.check(code == 0 and os.path.exists(made), 'the manifest tool wrote the manifest (%s: %s)'
               % (code, out.strip())):
        with open(made, 'rb') as f:
            files[MANIFEST_TARGET] = f.read()
        tool = json.loads(files[MANIFEST_TARGET])
        # The tool also pins the jar and the archive by SHA-256.
        pins = {'launcher': c.jar, 'java_zip': c.archive}
        unpinned = {k: ({n: v for n, v in tool[k].items() if n != 'sha256'}
                        if k in pins and isinstance(tool.get(k), dict) else tool.get(k))
                    for k in c.manifest}
        t.check(all(unpinned[k] == c.manifest[k] for k in c.manifest),
                'the tool and this suite agree on sizes and fingerprints: %r' % tool)
        t.check(all(tool[k].get('sha256') == hashlib.sha256(pins[k]).hexdigest() for k in pins),
                'the tool pins the jar and the archive by their SHA-256')
    t.servers.serve(primary=files)
    t.s.run('reg.exe', 'add', 'HKCU\\Environment', '/v', '_JAVA_OPTIONS', '/t', 'REG_SZ',
            '/d', '-Xmx16m', '/f', timeout=60)
    t.s.env['_JAVA_OPTIONS'] = '-Xmx16m'
    try:
        run = t.start(screens=True)
    finally:
        del t.s.env['_JAVA_OPTIONS']
    shown = t.screens(run)
    t.check('update' not in shown and 'launch' in shown,
            'the launch screen came and the update screen never did')
    t.check(run.primary == [MANIFEST_TARGET], 'only the manifest was requested')
    t.expect_launch(run)
    if 'started' in run.record:
        took = filetime_to_unix(run.record['started']) - run.started
        t.check(took < HOLD, 'the launcher started %.1f s after the program: no update hold' % took)
    t.check(run.record.get('java_options') == '(unset)',
            'the launcher sees no _JAVA_OPTIONS (%r)' % run.record.get('java_options'))
    code, out = t.s.run('reg.exe', 'query', 'HKCU\\Environment', '/v', '_JAVA_OPTIONS', timeout=60)
    t.check(code != 0, '_JAVA_OPTIONS is gone from HKCU\\Environment')
    if code == 0:
        t.s.run('reg.exe', 'delete', 'HKCU\\Environment', '/v', '_JAVA_OPTIONS', '/f', timeout=60)
    t.expect_installed(c)
    if 'pid' in run.record:
        # Stopping it by its PID succeeds only for a live process.
        code, _ = t.s.run('taskkill.exe', '/F', '/PID', run.record['pid'], timeout=60)
        t.check(code == 0, 'the launcher is still running after the program has ended')


def fallback(t):
    """The primary answers 404; the fallback gives the manifest."""
    c = t.content()
    c.install(t.install)
    t.servers.serve(primary='missing', fallback=c.files())
    run = t.start()
    t.check(run.primary == [MANIFEST_TARGET], 'the primary was asked once')
    t.check(run.fallback == [MANIFEST_TARGET], 'the fallback was asked once')
    lines = run.manifest_lines()
    t.check(len(lines) == 2 and ':47443/' in lines[0] and ':47444/' in lines[1],
            'two console lines, primary then fallback: %r' % lines)
    t.expect_launch(run)


def fallback_downloads(t):
    """After the primary's 404 the downloads come from the fallback too."""
    c = t.content()
    c.install(t.install, jar=False)
    t.servers.serve(primary='missing', fallback=c.files())
    run = t.start(timeout=60)
    t.check(run.primary == [MANIFEST_TARGET], 'the primary was asked only for the manifest')
    t.check(run.fallback == [MANIFEST_TARGET, JAR_TARGET], 'the jar came from the fallback')
    t.expect_launch(run)


def both_down(t):
    """Nothing listens on either port: C1. The window stands centred at its
    size and title, and closes about 5 s after it appeared."""
    t.servers.serve(primary=None, fallback=None)
    window = {}
    run = t.start(screens=True,
                  during=lambda app, run: window.update(t.probe.watch('VELMORANDIX', 30000)))
    t.check(len(run.manifest_lines()) == 2, 'two console lines: %r' % run.lines)
    t.expect_error_screen(run, 'C1')
    t.check(t.installed_jar() is None, 'nothing was installed')
    if t.check(window.get('found'), 'a window of class VELMORANDIX appeared'):
        t.check(window['title'] == 'Velmorandix', 'its title is %r' % window['title'])
        want = (window['cx_fullscreen'] // 2 - 187, window['cy_fullscreen'] // 2 - 100, 320, 148)
        got = (window['left'], window['top'], window['right'] - window['left'],
               window['bottom'] - window['top'])
        t.check(got == want, 'it stands at %r (%r expected)' % (got, want))
        shown = window.get('visible_ms', -1) / 1000.0
        t.check(4.5 <= shown <= 10, 'it stayed %.1f s, about 5 s' % shown)


def connect_screen(t):
    """The primary accepts the connection and never answers: the window holds
    the connect screen, exactly as composed, until the player closes it."""
    t.servers.serve(primary='silent')

    def close_once_shown(app, run):
        deadline = time.time() + 20
        seen = 0
        while time.time() < deadline and app.poll() is None:
            shots = run.capture.shots[seen:]
            seen += len(shots)
            if shots:
                reference = t.refs.screen(t.s, 'connect', image_size(shots[0]))
                if any(t.differing(s, reference) <= DIFFERING_SHARE for s in shots):
                    break
            time.sleep(0.3)
        t.probe.close('VELMORANDIX')

    run = t.start(screens=True, during=close_once_shown, timeout=30)
    t.check(run.code == 0, 'exit code 0 after the close')
    t.expect_screen(run, 'connect')


def incomplete_manifest(t):
    """A manifest without run_args: the default texts."""
    c = t.content()
    files = c.files()
    del c.manifest['run_args']
    files[MANIFEST_TARGET] = c.manifest_bytes()
    t.servers.serve(primary=files)
    run = t.start(screens=True)
    t.check(run.primary == [MANIFEST_TARGET], 'only the manifest was requested')
    t.check(run.fallback == [], 'the fallback was not asked')
    t.expect_error_screen(run, 'default')


def jar_locked(t):
    """L1: another program holds the stale jar open; no request follows."""
    c = t.content()
    c.install(t.install, jar=False)
    t.install_jar(OLD_JAR)
    t.servers.serve(primary=c.files())
    with t.held(t.jar_path):
        run = t.start(screens=True)
    t.check(run.primary == [MANIFEST_TARGET], 'no download was requested: %r' % run.primary)
    t.expect_error_screen(run, 'L1')
    t.check(t.installed_jar() == OLD_JAR, 'the held jar is untouched')


def download_fault(target, reply, key, jar_installed=False, old_runtime=False, attempts=1):
    """The download of target gets reply; attempts: how often the request is
    sent (a failed one is tried three times)."""
    def scenario(t):
        c = t.content()
        c.install(t.install, jar=jar_installed, runtime=False)
        if old_runtime:
            vs.write_tree(t.java, OLD_RUNTIME)
        t.servers.serve(primary=c.files(), faults={target: reply})
        run = t.start(screens=True)
        # An unreachable server never sees the download.
        t.expect_failed_download(run, [MANIFEST_TARGET] + ([] if reply == 'unreachable'
                                                           else [target] * attempts), key)
        if old_runtime:
            left = sorted(os.listdir(t.java)) if os.path.isdir(t.java) else None
            t.check(left == [], 'the old runtime was cleared before the download: %r' % left)
    return scenario


def launch_code3(t):
    """A java_path that names no program: code 3."""
    c = t.content(java_path='%java%\\bin\\no-such-java.exe')
    c.install(t.install)
    t.servers.serve(primary=c.files())
    run = t.start(screens=True)
    t.check(run.primary == [MANIFEST_TARGET], 'only the manifest was requested')
    t.expect_error_screen(run, '3')


def marker_split(t):
    """The marker arrives in two writes 1.5 s apart; the program waits for
    the second one."""
    runtime = dict(t.runtime)
    runtime['bin/standin_script.txt'] = (
        b'out Velmorandix launcher stand-in\\n\n'
        b'out Restart Launcher w\n'
        b'sleep 1500\n'
        b'out ith JavaAgent...\\n\n'
        b'mark\n'
        b'sleep 60000\n')
    c = t.content(runtime=runtime)
    c.install(t.install)
    t.servers.serve(primary=c.files())
    run = t.start()
    t.expect_launch(run)
    if 'printed' in run.record and 'started' in run.record:
        first = filetime_to_unix(run.record['started'])
        t.check(run.ended - first >= 1.5, 'the program waited for the second half '
                '(%.1f s after the launcher started)' % (run.ended - first))


def close_during_update(t):
    """The player closes the window while the jar downloads: exit 0 at once,
    no error screen; the jar stays stale and the next start fetches it
    again."""
    c = t.content()
    c.install(t.install, jar=False)
    slow = dict(vs.route_for(c.jar), chunk_size=8192, delay_ms=300)
    t.servers.serve(primary=c.files(), faults={JAR_TARGET: slow})
    closed = {}

    def close_when_downloading(app, run):
        deadline = time.time() + 40
        while time.time() < deadline and JAR_TARGET not in t.servers.requests('primary'):
            time.sleep(0.1)
        time.sleep(1.5)
        closed['at'] = time.time()
        t.check(t.probe.close('VELMORANDIX'), 'the window was there to close')

    run = t.start(during=close_when_downloading, timeout=30)
    t.check(run.code == 0, 'exit code 0')
    if 'at' in closed:
        t.check(run.ended - closed['at'] < 4.0, 'the program ended %.1f s after the close'
                % (run.ended - closed['at']))
    t.check(t.installed_jar() != c.jar, 'the cut download left the jar stale')

    t.servers.serve(primary=c.files())
    again = t.start(timeout=60)
    t.check(again.primary == [MANIFEST_TARGET, JAR_TARGET], 'the next start fetched the jar again')
    t.expect_launch(again)
    t.expect_installed(c)


def dot_file(t):
    """A runtime folder holding a dot-file and old files is replaced in one
    round: the next check finds it current and the launch follows."""
    c = t.content()
    c.install(t.install, runtime=False)
    vs.write_tree(t.java, {'.leftover': b'from an older runtime\n',
                           'lib/.cache/.index': b'cache\n', 'lib/modules': b'old modules'})
    t.servers.serve(primary=c.files())
    run = t.start(timeout=60)
    t.check(run.primary == [MANIFEST_TARGET, ZIP64_TARGET], 'one archive request: %r' % run.primary)
    t.expect_launch(run)
    t.expect_installed(c)


def corrupt_zip(t):
    """A runtime archive that never matches its manifest (here: no zip at
    all): two archive rounds, then J6 instead of a third; nothing of the
    archive is left behind."""
    c = t.content(archive=b'this is not a zip archive\n' * 4000)
    c.install(t.install, runtime=False)
    t.servers.serve(primary=c.files())
    run = t.start(screens=True, timeout=90)
    t.expect_failed_download(run, [MANIFEST_TARGET, ZIP64_TARGET, ZIP64_TARGET], 'J6')
    t.check(not os.path.exists(os.path.join(t.java, 'tempfile.zip'))
            and not os.path.exists(t.partial()), 'the archive that could not be opened was deleted')


def runtime_in_use(t):
    """J1: the game still runs from the installed runtime (a file held open
    without delete sharing): no archive request, and the old runtime stays
    whole."""
    c = t.content()
    c.install(t.install, runtime=False)
    vs.write_tree(t.java, OLD_RUNTIME)
    t.servers.serve(primary=c.files())
    with t.held(os.path.join(t.java, 'bin', 'java.exe')):
        run = t.start(screens=True)
    t.expect_failed_download(run, [MANIFEST_TARGET], 'J1')
    t.check(vs.read_tree(t.java) == OLD_RUNTIME, 'the old runtime is intact')


def large_content(t):
    """A release whose archive is about 4.5 MB: many reads, and 60 % of it
    lies well past the 1 MiB the program may hold before writing."""
    runtime = dict(t.runtime)
    runtime['lib/large.bin'] = random.Random(60).randbytes(4 * MIB)
    c = t.content(runtime=runtime)
    c.install(t.install, runtime=False)
    return c


def archive_asked(t):
    """The first byte each archive request asked for (None: the whole)."""
    return [first for target, first in t.servers.ranges() if target == ZIP64_TARGET]


def expect_resumed_install(t, run, c):
    t.expect_launch(run)
    t.expect_installed(c)
    t.check(not os.path.exists(os.path.dirname(t.partial())), 'no partial download is left')


def archive_reset(t):
    """The connection is reset at 60 % of the archive: the same request goes
    on from there (Range and If-Range), and the whole install sends at most
    the archive and 1 MiB."""
    c = large_content(t)
    size = len(c.archive)
    cut = size * 6 // 10
    route = vs.route_for(c.archive)
    t.servers.serve(primary=c.files(), faults={ZIP64_TARGET: {'sequence': [
        dict(route, reset_after=cut, end_delay_ms=300), route]}})
    run = t.start(timeout=60)
    asked = archive_asked(t)
    if t.check(len(asked) == 2 and asked[0] is None and asked[1] is not None,
               'the archive was asked for whole, then from byte %r of %d' % (asked[1:], size)):
        sent = cut + size - asked[1]
        t.check(sent <= size + MIB, 'the server sent %d bytes for the %d-byte archive' % (sent, size))
    expect_resumed_install(t, run, c)


def killed_start(t):
    """A start ended at about 60 % of the archive (the player closes the
    window): the next start asks for the rest, from at least 55 %."""
    c = large_content(t)
    size = len(c.archive)
    slow = dict(vs.route_for(c.archive), chunk_size=65536, delay_ms=150)
    t.servers.serve(primary=c.files(), faults={ZIP64_TARGET: slow})
    closed = {}

    def close_at_60_percent(app, run):
        deadline = time.time() + 60
        while time.time() < deadline and app.poll() is None:
            with contextlib.suppress(OSError):
                closed['held'] = os.path.getsize(t.partial())
            if closed.get('held', 0) >= size * 0.6:
                break
            time.sleep(0.05)
        t.check(t.probe.close('VELMORANDIX'), 'the window was closed with %d of %d bytes on disk'
                % (closed.get('held', 0), size))

    first = t.start(during=close_at_60_percent, timeout=60)
    t.check(first.code == 0 and 'pid' not in first.record, 'the first start ended, no launch')
    t.servers.serve(primary=c.files())
    again = t.start(timeout=60)
    asked = archive_asked(t)
    t.check(len(asked) == 1 and asked[0] is not None and asked[0] >= size * 0.55,
            'the next start asked for the archive from byte %r of %d' % (asked, size))
    expect_resumed_install(t, again, c)


# -- signed updates (the program built with the test keys A and B) -------------
KEYS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), 'update', 'keys')
SIGNED = [MANIFEST_TARGET, SIGNATURE_TARGET]


def key(name):
    """A test key's PEM file: test_a and test_b are built in, other is not."""
    return os.path.join(KEYS, name + '.pem')


def changed(data):
    """The bytes with one of them changed, as someone on the path would."""
    return data[:len(data) // 2] + bytes([data[len(data) // 2] ^ 0x01]) + data[len(data) // 2 + 1:]


def serial_file(t):
    return os.path.join(t.install, 'manifest.serial')


def stored_serial(t):
    try:
        with open(serial_file(t)) as f:
            return f.read()
    except OSError:
        return None


def signed_fresh_install(t):
    """Signed, from an empty install folder: the manifest and its signature,
    the pinned jar and archive, the launch; the serial is kept. The build
    holds keys A and B and the release is signed with B, as after a key
    rotation."""
    c = t.content().sign(key('test_b'), serial=3)
    t.servers.serve(primary=c.files())
    run = t.start(timeout=120)
    t.check(run.primary == SIGNED + [JAR_TARGET, ZIP64_TARGET],
            'manifest, signature, jar and archive, in that order')
    t.check(len(run.manifest_lines()) == 1 and len(run.lines) == 1,
            'one console line, none for the signature: %r' % run.lines)
    t.expect_launch(run)
    t.expect_installed(c)
    t.check(stored_serial(t) == '3', 'serial 3 is stored (%r)' % stored_serial(t))


def tampered_manifest(t):
    """The primary's manifest was changed after signing: the fallback's is
    taken, and everything comes from there."""
    c = t.content().sign(key('test_a'))
    c.install(t.install)
    tampered = c.files()
    # Still JSON, and what an attacker would change: one letter of run_args.
    tampered[MANIFEST_TARGET] = tampered[MANIFEST_TARGET].replace(b'-jar', b'-Jar', 1)
    t.servers.serve(primary=tampered, fallback=c.files())
    run = t.start()
    t.check(run.primary == SIGNED and run.fallback == SIGNED,
            'both servers were asked for the manifest and its signature: %r, %r'
            % (run.primary, run.fallback))
    t.check(len(run.manifest_lines()) == 2, 'two console lines: %r' % run.lines)
    t.expect_launch(run)


def refused_manifest(files_of, stored=None):
    """A manifest the build must refuse, the fallback giving none: C2, and
    nothing installed or stored changes."""
    def scenario(t):
        c = t.content().sign(key('test_a'), serial=4)
        c.install(t.install)
        if stored is not None:
            with open(serial_file(t), 'w') as f:
                f.write(stored)
        t.servers.serve(primary=files_of(c), fallback='missing')
        run = t.start(screens=True)
        t.expect_error_screen(run, 'C2')
        t.check(stored_serial(t) == stored, 'the stored serial stays %r (%r)'
                % (stored, stored_serial(t)))
        t.expect_installed(c)
    return scenario


def without_signature(c):
    files = c.files()
    del files[SIGNATURE_TARGET]
    return files


def tampered_download(target, code):
    """The jar or the archive was changed on the path: its pin does not
    match; after the update hold, L4 or J5, with nothing written and what
    was installed kept."""
    def scenario(t):
        c = t.content().sign(key('test_a'))
        jar = OLD_JAR if target == JAR_TARGET else c.jar
        t.install_jar(jar)
        vs.write_tree(t.java, OLD_RUNTIME)
        files = c.files()
        files[target] = changed(files[target])
        t.servers.serve(primary=files)
        run = t.start(screens=True)
        t.expect_failed_download(run, SIGNED + [target], code)
        t.check(t.installed_jar() == jar, 'the jar is kept')
        t.check(vs.read_tree(t.java) == OLD_RUNTIME, 'the runtime is kept, no tempfile.zip')
    return scenario


EMPTY = {'status': 200, 'body': ''}
# Headers announcing a body that never comes: a body cut before its
# Content-Length is a failed request, whatever was received.
CUT = {'status': 200, 'body': 'x' * 1000, 'length': 100000, 'reset_after': 0}

# name: as given to --only; run: the function; seconds: about how long one
# run takes (the longest start first); nginx: run against nginx as well (only
# scenarios without scripted faults); exe: the PROGRAMS entry it starts.
Scenario = namedtuple('Scenario', 'name run seconds nginx exe',
                      defaults=(False, 'velmorandix'))

# Against nginx: the scenarios that need no scripted fault, except the slow
# ones whose subject is the program alone (a held jar, a corrupt archive,
# downloads from the fallback, a closed window), which would say nothing
# more about the server.
SCENARIOS = [
    Scenario('fresh_install', fresh_install, 36, nginx=True),
    Scenario('up_to_date', up_to_date, 10, nginx=True),
    Scenario('fallback', fallback, 8, nginx=True),
    Scenario('fallback_downloads', fallback_downloads, 18),
    Scenario('both_down', both_down, 8),
    Scenario('connect_screen', connect_screen, 4),
    Scenario('incomplete_manifest', incomplete_manifest, 10, nginx=True),
    Scenario('jar_locked_L1', jar_locked, 20),
    Scenario('jar_request_fails_L2', download_fault(JAR_TARGET, 'unreachable', 'L2'), 21),
    Scenario('jar_empty_L3', download_fault(JAR_TARGET, EMPTY, 'L3'), 21),
    Scenario('jar_cut_L2', download_fault(JAR_TARGET, CUT, 'L2', attempts=3), 21),
    Scenario('archive_request_fails_J3',
             download_fault(ZIP64_TARGET, 'unreachable', 'J3', jar_installed=True,
                            old_runtime=True), 20),
    Scenario('archive_empty_J4',
             download_fault(ZIP64_TARGET, EMPTY, 'J4', jar_installed=True), 20),
    Scenario('launch_code3', launch_code3, 11, nginx=True),
    Scenario('marker_split', marker_split, 8, nginx=True),
    Scenario('close_during_update', close_during_update, 29),
    Scenario('dot_file', dot_file, 19, nginx=True),
    Scenario('corrupt_zip_J6', corrupt_zip, 31),
    Scenario('runtime_in_use_J1', runtime_in_use, 20),
    Scenario('archive_reset_resumed', archive_reset, 19),
    Scenario('killed_start_resumed', killed_start, 33),
    Scenario('signed_fresh_install', signed_fresh_install, 36, nginx=True,
             exe='velmorandix-signed'),
    Scenario('signed_tampered_manifest_fallback', tampered_manifest, 8, exe='velmorandix-signed'),
    Scenario('signed_no_signature_C2', refused_manifest(without_signature), 8,
             exe='velmorandix-signed'),
    Scenario('signed_lower_serial_C2', refused_manifest(lambda c: c.files(), stored='5'), 8,
             exe='velmorandix-signed'),
    Scenario('signed_tampered_jar_L4', tampered_download(JAR_TARGET, 'L4'), 21,
             exe='velmorandix-signed'),
    Scenario('signed_tampered_archive_J5', tampered_download(ZIP64_TARGET, 'J5'), 21,
             exe='velmorandix-signed'),
    # Velmorandix.exe with an Authenticode signature (a throwaway certificate).
    Scenario('authenticode_up_to_date', up_to_date, 10, exe='velmorandix-authenticode'),
]


# -- running them --------------------------------------------------------------
class Worker:
    """One worker's session and its suites, one per kind of server. Only one
    kind listens at a time: both take the same fixed ports."""

    def __init__(self, session, programs, references, work):
        self.s = session
        self.programs = programs
        self.refs = references
        self.work = work
        self.suites = {}
        self.listening = None

    def suite(self, backend):
        if self.listening and self.listening != backend:
            self.suites[self.listening].servers.close()
            if self.listening == 'nginx':
                del self.suites['nginx']  # nginx is started anew when needed
        self.listening = backend
        if backend not in self.suites:
            folder = os.path.join(self.work, backend)
            os.makedirs(folder, exist_ok=True)
            servers = (vs.NginxServers(folder) if backend == 'nginx'
                       else vs.ScriptedServers(folder))
            self.suites[backend] = Suite(self.s, servers, self.programs, self.refs, folder)
        return self.suites[backend]

    def run(self, job):
        name, backend = job.split('@')
        scenario = next(sc for sc in SCENARIOS if sc.name == name)
        t = self.suite(backend)
        t.current = '%s-%s' % (backend, name)
        t.exe = self.programs[scenario.exe]
        t.failures = []
        try:
            scenario.run(t)
        finally:
            t.reset()
        return t.failures

    def close(self):
        for t in self.suites.values():
            t.servers.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--build', help='the Windows build tree holding the programs')
    ap.add_argument('--program', action='append', default=[], metavar='NAME=PATH',
                    help='where one of the PROGRAMS is (overrides --build)')
    ap.add_argument('--backend', default='scripted,nginx',
                    help='scripted, nginx or both, comma-separated')
    ap.add_argument('--only', default='', help='scenario names, comma-separated')
    ap.add_argument('--jobs', type=int, default=int(os.environ.get('VX_E2E_JOBS', '4')),
                    help='workers side by side (default 4, or $VX_E2E_JOBS); 1 runs '
                    'everything one after another on the machine\'s loopback')
    ap.add_argument('--template', help='the template Wine prefix (default: the build tree\'s)')
    ap.add_argument('--keep', action='store_true', help='keep the work folder')
    args = ap.parse_args()
    # Stopped from outside: leave through the clean-up (by PID) all the same.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))

    programs = {}
    if args.build:
        programs = {n: os.path.join(os.path.abspath(args.build), p) for n, p in PROGRAMS.items()}
    for item in args.program:
        name, _, path = item.partition('=')
        if name not in PROGRAMS or not path:
            ap.error('--program %r: NAME=PATH with NAME one of %s' % (item, ', '.join(PROGRAMS)))
        programs[name] = os.path.abspath(path)
    backends = args.backend.split(',')
    if any(b not in ('scripted', 'nginx') for b in backends):
        ap.error('unknown backend in %r' % args.backend)
    wanted = args.only.split(',') if args.only else None
    unknown = set(wanted or ()) - {sc.name for sc in SCENARIOS}
    if unknown:
        ap.error('no scenario named %s' % ', '.join(sorted(unknown)))
    chosen = [sc for sc in SCENARIOS if wanted is None or sc.name in wanted]
    jobs = [('%s@%s' % (sc.name, b), sc.seconds) for b in backends for sc in chosen
            if b == 'scripted' or sc.nginx]
    needed = {'velmorandix', 'winprobe', 'standin_java', 'splash_gallery', 'holdfile',
              'velmorandix-manifest'} | {sc.exe for sc in chosen}
    missing = sorted(n for n in needed if not os.path.exists(programs.get(n, '')))
    if missing:
        ap.error('programs not found (give --build or --program): %s' % ', '.join(missing))
    for name in ('http_proxy', 'https_proxy', 'HTTP_PROXY', 'HTTPS_PROXY', 'all_proxy',
                 'no_proxy', 'NO_PROXY'):
        os.environ.pop(name, None)

    template = wineprefix.ensure_template(
        args.template or wineprefix.default_template(programs['velmorandix']))
    netns = args.jobs > 1 and netns_available()
    work = tempfile.mkdtemp(prefix='vx-scenarios-')
    references = References(os.path.join(work, 'references'), programs['splash_gallery'])

    @contextlib.contextmanager
    def open_worker(index, display):
        with Session(template=template, display=display) as s:
            worker = Worker(s, programs, references, os.path.join(work, 'w%d' % index))
            try:
                yield worker.run
            finally:
                worker.close()

    began = time.time()
    how = ('%d workers, each in its own network namespace' % min(args.jobs, len(jobs))
           if netns else 'one after another on this machine\'s loopback')
    print('%d scenario runs (%s), %s' % (len(jobs), ', '.join(backends), how), flush=True)
    results = run_jobs(jobs, open_worker, workers=args.jobs, netns=netns)
    failures = [f for name, _ in jobs for f in results[name]]
    if not args.keep and not failures:
        shutil.rmtree(work, ignore_errors=True)
    print('%d scenario runs in %.0f s; %d checks failed'
          % (len(jobs), time.time() - began, len(failures)))
    for f in failures:
        print('FAIL', f)
    if failures or args.keep:
        print('captures and server logs kept in', work)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())

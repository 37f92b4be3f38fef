#!/usr/bin/env python3
"""Whole-program scenarios: the real Velmorandix.exe under Wine and Xvfb,
against update servers on the fixed loopback ports, checked from outside
(exit code, console lines, install folder, the requests each server saw, the
stand-in launcher's record, the error screen's pixels).

    scenarios.py --exe Velmorandix.exe --probe winprobe.exe
                 --standin standin_java.exe --gallery splash_gallery.exe
                 --holdfile holdfile.exe [--backend scripted,nginx]
                 [--only NAME,NAME...] [--keep]

All scenarios of one call share one X server and one Wine prefix; between
them the install folder and the stand-in launcher are cleared away and
HKCU\Environment is put back. Against the scriptable server every scenario
runs; against nginx those that need no scripted fault (NGINX_SET).
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from vxe2e import Probe, Session, wine_path
import vxservers as vs
from vxservers import JAR_TARGET, MANIFEST_TARGET, ZIP64_TARGET

HOLD = 10.0  # the update screen's hold after each download
ERROR_HOLD = 5.0  # the error screen's
FILETIME_UNIX_EPOCH = 116444736000000000
# A pixel differs when a channel is off by more than about 10 %; a screen
# matches when at most this share of the client area differs.
FUZZ = '10%'
DIFFERING_SHARE = 0.005

NO_LINK = 'Нет соединения :('
NO_ACCESS = 'Нет доступа :('
CRITICAL = 'Критическая ошибка'
TEXTS = {
    'C1': (NO_LINK, 'Ошибка обновления лаунчера. Код C1.'),
    'default': (NO_LINK, 'Попробуйте еще раз чуть позже.'),
    'L1': (NO_ACCESS, 'Ошибка обновления лаунчера. Код L1.'),
    'L2': (NO_LINK, 'Ошибка обновления лаунчера. Код L2.'),
    'L3': (NO_ACCESS, 'Ошибка обновления лаунчера. Код L3.'),
    'J3': (NO_LINK, 'Ошибка обновления Java. Код J3.'),
    'J4': (NO_ACCESS, 'Ошибка обновления Java. Код J4.'),
    '3': (CRITICAL, 'Ошибка запуска лаунчера. Код 3.'),
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
        self.primary = []
        self.fallback = []

    def manifest_lines(self):
        return [l for l in self.lines if 'updater?system=win64' in l]


class Suite:
    def __init__(self, session, servers, args, work):
        self.s = session
        self.servers = servers
        self.args = args
        self.work = work
        self.probe = Probe(session, args.probe)
        self.failures = []
        self.current = ''
        self.references = {}
        self.client = None  # (left, top, width, height) of the window's client area
        rng = random.Random(8)
        with open(args.standin, 'rb') as f:
            self.standin = f.read()
        self.jar = b'PK\x03\x04' + rng.randbytes(256 * 1024)
        self.runtime = {
            'bin/java.exe': self.standin,
            'lib/modules': rng.randbytes(512 * 1024) + b'modules' * 10000,
            'conf/security/java.security': b'securerandom.source=file:/dev/random\n',
            'release': b'JAVA_VERSION="17.0.9"\n',
        }
        self.install = os.path.join(session.appdata(), 'Velmorandix', 'bootstrap')
        self.java = os.path.join(self.install, 'java')

    # -- checks ------------------------------------------------------------
    def check(self, condition, what):
        print(('  ok   ' if condition else '  FAIL ') + what, flush=True)
        if not condition:
            self.failures.append('%s: %s' % (self.current, what))

    def content(self, **kw):
        return vs.Content(self.jar, kw.pop('runtime', self.runtime), **kw)

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

    def drop_record(self):
        """The stand-in's note is not part of the runtime; a second start
        must find the folder as served."""
        record = self.read_record()
        if 'pid' in record:
            self.s.run('taskkill.exe', '/F', '/PID', record['pid'], timeout=60)
        try:
            os.remove(os.path.join(self.java, 'bin', 'standin_record.txt'))
        except OSError:
            pass
        return record

    # -- one start of the program ------------------------------------------
    def start(self, timeout=90, screens=False, during=None):
        run = Run()
        out_path = os.path.join(self.work, 'bootstrapper.out')
        capture = None
        with open(out_path, 'wb') as out:
            run.started = time.time()
            app = self.s.start(self.args.exe, stdout=out)
            if screens:
                capture = Capture(self, app)
            if during:
                during(app, run)
            run.code = self.s.wait(app, timeout=timeout)
            run.ended = time.time()
            if run.code is None:
                self.probe.close('VELMORANDIX')
                if self.s.wait(app, timeout=20) is None:
                    app.kill()
                    app.wait()
        if capture:
            run.shots = capture.finish()
        with open(out_path, 'rb') as f:
            run.lines = f.read().decode('utf-8', 'replace').splitlines()
        run.record = self.read_record()
        run.primary = self.servers.requests('primary')
        run.fallback = self.servers.requests('fallback')
        print('  exit code %s after %.1f s; primary saw %r, fallback saw %r'
              % (run.code, run.ended - run.started, run.primary, run.fallback), flush=True)
        return run

    def expect_launch(self, run):
        self.check(run.code == 0, 'exit code 0')
        self.check('printed' in run.record, 'the stand-in launcher ran and printed its marker')
        if 'printed' in run.record:
            gap = run.ended - filetime_to_unix(run.record['printed'])
            self.check(-0.5 <= gap <= 5.5, 'the program ends within about 5 s of the marker '
                       '(%.1f s)' % gap)
        cmdline = run.record.get('cmdline', '').lower()
        self.check(cmdline.startswith('-jar "') and '\\velmorandix\\bootstrap\\launcher.jar" -u "'
                   in cmdline, 'the launcher command line is filled in (%r)'
                   % run.record.get('cmdline'))

    def expect_installed(self, content):
        jar = None
        try:
            with open(os.path.join(self.install, 'launcher.jar'), 'rb') as f:
                jar = f.read()
        except OSError:
            pass
        self.check(jar == content.jar, 'the installed jar is the served one')
        tree = vs.read_tree(self.java)
        tree.pop('bin/standin_record.txt', None)
        self.check(tree == content.runtime, 'the runtime folder holds exactly the served files: %r'
                   % sorted(tree))

    def expect_error_screen(self, run, key):
        self.check(run.code == 0, 'exit code 0')
        self.check('pid' not in run.record, 'no launcher was started')
        if not run.shots:
            self.check(False, 'the error screen was captured')
            return
        reference = self.reference(key)
        w, h = image_size(run.shots[0])
        cropped = reference[:-4] + '-%dx%d.png' % (w, h)
        if not os.path.exists(cropped):
            subprocess.run(['convert', reference, '-crop', '%dx%d+0+0' % (w, h), '+repage',
                            cropped], check=True, timeout=60)
        best = min(self.differing(shot, cropped) for shot in run.shots)
        self.check(best <= DIFFERING_SHARE, 'the error screen shows %s / %s (closest capture: '
                   '%.2f%% differ)' % (TEXTS[key][0], TEXTS[key][1], best * 100))

    # -- screens -----------------------------------------------------------
    def reference(self, key):
        """The error screen with the given texts, as splash_gallery.exe
        composes it."""
        if key not in self.references:
            folder = os.path.join(self.work, 'reference-' + key)
            os.makedirs(folder, exist_ok=True)
            texts = os.path.join(folder, 'texts.txt')
            with open(texts, 'w', encoding='utf-8') as f:
                f.write('%s\n%s\n' % TEXTS[key])
            code, out = self.s.run(self.args.gallery, wine_path(folder), wine_path(texts),
                                   timeout=120)
            path = os.path.join(folder, 'error.png')
            if code != 0 or not os.path.exists(path):
                raise RuntimeError('splash_gallery failed (%s): %s' % (code, out))
            self.references[key] = path
        return self.references[key]

    def screens(self, run):
        """The screens the captures show, in order, each named after the
        nearest of the composed screens (consecutive repeats merged)."""
        if not run.shots:
            return []
        folder = os.path.dirname(self.reference('C1'))
        w, h = image_size(run.shots[0])
        refs = {}
        for name in ('welcome', 'connect', 'check', 'update', 'launch', 'error'):
            cropped = os.path.join(folder, '%s-%dx%d.png' % (name, w, h))
            if not os.path.exists(cropped):
                subprocess.run(['convert', os.path.join(folder, name + '.png'), '-crop',
                                '%dx%d+0+0' % (w, h), '+repage', cropped], check=True, timeout=60)
            refs[name] = cropped
        order = []
        for shot in run.shots:
            name = min(refs, key=lambda n: self.differing(shot, refs[n]))
            if not order or order[-1] != name:
                order.append(name)
        print('  screens: ' + ' -> '.join(order))
        return order

    def differing(self, shot, reference):
        r = subprocess.run(['compare', '-metric', 'AE', '-fuzz', FUZZ, shot, reference, 'null:'],
                           capture_output=True, text=True, timeout=60)
        try:
            bad = float(r.stderr.split()[0])
        except (IndexError, ValueError):
            return 1.0
        w, h = image_size(reference)
        return bad / float(w * h)


def image_size(path):
    r = subprocess.run(['identify', '-format', '%w %h', path], capture_output=True, text=True,
                       timeout=60, check=True)
    w, h = r.stdout.split()
    return int(w), int(h)


class Capture:
    """Grabs the window's client area every ~0.4 s while the program runs."""

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
        ref_w, ref_h = image_size(suite.reference('C1'))
        w, h = min(ref_w, suite.client[2]), min(ref_h, suite.client[3])
        n = 0
        while not self.stopping.is_set() and self.app.poll() is None:
            path = os.path.join(suite.work, '%s-%02d.png' % (suite.current, n))
            n += 1
            r = subprocess.run(['import', '-display', ':%s' % suite.s.display, '-window', 'root',
                                '-crop', '%dx%d+%d+%d' % (w, h, suite.client[0], suite.client[1]),
                                '+repage', path], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=60)
            if r.returncode == 0 and self.app.poll() is None:
                self.shots.append(path)
            time.sleep(0.4)

    def finish(self):
        self.stopping.set()
        self.thread.join(60)
        return self.shots


# -- the scenarios -------------------------------------------------------------
def fresh_install(t):
    """From an empty install folder: the jar, then the runtime, then the
    launch: 1 -> 2 -> 4 -> 2 -> 4 -> 2 -> 5."""
    c = t.content()
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
    t.check(not os.path.exists(os.path.join(t.java, 'tempfile.zip')), 'tempfile.zip is gone')
    if 'started' in run.record:
        took = filetime_to_unix(run.record['started']) - run.started
        t.check(2 * HOLD <= took, 'two update holds passed before the launch (%.1f s)' % took)


def up_to_date(t):
    """Everything current: 1 -> 2 -> 5 with no download and no update hold.
    On the way the launch removes "_JAVA_OPTIONS" from the process and from
    HKCU\\Environment."""
    c = t.content()
    c.install(t.install)
    t.servers.serve(primary=c.files())
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
    """Nothing listens on either port: C1."""
    t.servers.serve(primary=None, fallback=None)
    run = t.start(screens=True)
    t.check(len(run.manifest_lines()) == 2, 'two console lines: %r' % run.lines)
    t.expect_error_screen(run, 'C1')
    t.check(not os.path.exists(os.path.join(t.install, 'launcher.jar')), 'nothing was installed')


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
    jar_path = os.path.join(t.install, 'launcher.jar')
    with open(jar_path, 'wb') as f:
        f.write(b'an older launcher')
    t.servers.serve(primary=c.files())
    holder = t.s.start(t.args.holdfile, wine_path(jar_path), '300')
    try:
        deadline = time.time() + 30
        while time.time() < deadline and holder.poll() is None \
                and b'held' not in t.s.output(holder):
            time.sleep(0.1)
        t.check(b'held' in t.s.output(holder), 'the jar is held open by another process')
        run = t.start(screens=True)
    finally:
        holder.kill()
        holder.wait()
    t.check(run.primary == [MANIFEST_TARGET], 'no download was requested: %r' % run.primary)
    t.expect_error_screen(run, 'L1')
    with open(jar_path, 'rb') as f:
        t.check(f.read() == b'an older launcher', 'the held jar is untouched')


def download_fault(target, reply, key, jar_installed=False, old_runtime=False):
    def scenario(t):
        c = t.content()
        c.install(t.install, jar=jar_installed, runtime=False)
        if old_runtime:
            vs.write_tree(t.java, {'bin/java.exe': b'an older java', 'lib/modules': b'old'})
        t.servers.serve(primary=c.files(), faults={target: reply})
        run = t.start(screens=True)
        if reply == 'unreachable':
            t.check(run.primary == [MANIFEST_TARGET], 'the download never reached the server')
        else:
            t.check(run.primary == [MANIFEST_TARGET, target], 'the download was asked for once')
        t.expect_error_screen(run, key)
        took = run.ended - run.started
        t.check(took >= HOLD + ERROR_HOLD, 'the update hold and the error screen passed (%.1f s)'
                % took)
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
    """The marker arrives in two writes 0.7 s apart; the program waits for
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
    jar_path = os.path.join(t.install, 'launcher.jar')
    jar = open(jar_path, 'rb').read() if os.path.exists(jar_path) else None
    t.check(jar != c.jar, 'the cut download left the jar stale')

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
    """A runtime archive that is no zip: check and update alternate; the
    test closes the window after the second round."""
    c = t.content(archive=b'this is not a zip archive\n' * 4000)
    c.install(t.install, runtime=False)
    t.servers.serve(primary=c.files())

    def close_after_two_rounds(app, run):
        deadline = time.time() + 60
        while time.time() < deadline and \
                t.servers.requests('primary').count(ZIP64_TARGET) < 2:
            time.sleep(0.2)
        time.sleep(1.0)
        t.probe.close('VELMORANDIX')

    run = t.start(during=close_after_two_rounds, timeout=30)
    t.check(run.code == 0, 'exit code 0 after the close')
    t.check(run.primary == [MANIFEST_TARGET, ZIP64_TARGET, ZIP64_TARGET],
            'two archive rounds, no launch: %r' % run.primary)
    t.check('pid' not in run.record, 'no launcher was started')
    t.check(not os.path.exists(os.path.join(t.java, 'tempfile.zip')),
            'the archive that could not be opened was deleted')


EMPTY = {'status': 200, 'body': ''}
# Headers announcing a body that never comes: the request succeeds with no
# bytes, which is the "no body" case, not a failed request.
CUT = {'status': 200, 'body': 'x' * 1000, 'length': 100000, 'reset_after': 0}

SCENARIOS = [
    ('fresh_install', fresh_install),
    ('up_to_date', up_to_date),
    ('fallback', fallback),
    ('fallback_downloads', fallback_downloads),
    ('both_down', both_down),
    ('incomplete_manifest', incomplete_manifest),
    ('jar_locked_L1', jar_locked),
    ('jar_request_fails_L2', download_fault(JAR_TARGET, 'unreachable', 'L2')),
    ('jar_empty_L3', download_fault(JAR_TARGET, EMPTY, 'L3')),
    ('jar_cut_L3', download_fault(JAR_TARGET, CUT, 'L3')),
    ('archive_request_fails_J3',
     download_fault(ZIP64_TARGET, 'unreachable', 'J3', jar_installed=True, old_runtime=True)),
    ('archive_empty_J4', download_fault(ZIP64_TARGET, EMPTY, 'J4', jar_installed=True)),
    ('launch_code3', launch_code3),
    ('marker_split', marker_split),
    ('close_during_update', close_during_update),
    ('dot_file', dot_file),
    ('corrupt_zip', corrupt_zip),
]

# Against nginx as well: the scenarios that need no scripted fault, except
# the slow ones whose subject is the program alone (a held jar, a corrupt
# archive, downloads from the fallback), which would add a minute and a half
# and say nothing more about the server.
NGINX_SET = ['fresh_install', 'up_to_date', 'fallback', 'incomplete_manifest', 'launch_code3',
             'marker_split', 'dot_file']


def keep_wine_up(session):
    """Keeps this prefix's wineserver and Wine's services up for the whole
    suite, so that no program of ours starts them and hands them its output
    file."""
    subprocess.run(['wineserver', '-p'], env=session.env, timeout=60)
    subprocess.run(['wine', 'wineboot'], env=session.env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=180)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--backend', default='scripted,nginx',
                    help='scripted, nginx or both, comma-separated, run in that order')
    for name in ('exe', 'probe', 'standin', 'gallery', 'holdfile'):
        ap.add_argument('--' + name, required=True)
    ap.add_argument('--only', default='')
    ap.add_argument('--keep', action='store_true', help='keep the work folder')
    args = ap.parse_args()

    backends = args.backend.split(',')
    if any(b not in ('scripted', 'nginx') for b in backends):
        ap.error('unknown backend in %r' % args.backend)
    wanted = args.only.split(',') if args.only else None
    for name in ('http_proxy', 'https_proxy', 'HTTP_PROXY', 'HTTPS_PROXY', 'all_proxy',
                 'no_proxy', 'NO_PROXY'):
        os.environ.pop(name, None)

    work = tempfile.mkdtemp(prefix='vx-scenarios-')
    failures = []
    began = time.time()
    count = 0
    try:
        with Session() as s:
            keep_wine_up(s)
            for backend in backends:
                chosen = [sc for sc in SCENARIOS
                          if (backend == 'scripted' or sc[0] in NGINX_SET)
                          and (wanted is None or sc[0] in wanted)]
                if not chosen:
                    continue
                folder = os.path.join(work, backend)
                os.makedirs(folder)
                servers = (vs.NginxServers(folder) if backend == 'nginx'
                           else vs.ScriptedServers(folder))
                try:
                    suite = Suite(s, servers, args, folder)
                    for name, scenario in chosen:
                        suite.current = '%s-%s' % (backend, name)
                        print('== %s (%s)' % (name, backend), flush=True)
                        t0 = time.time()
                        try:
                            scenario(suite)
                        except Exception as e:  # a broken scenario fails; the rest still run
                            suite.check(False, 'the scenario raised %s: %s'
                                        % (type(e).__name__, e))
                        finally:
                            suite.reset()
                        count += 1
                        print('   (%.1f s)' % (time.time() - t0), flush=True)
                    failures += suite.failures
                finally:
                    servers.close()
    finally:
        if not args.keep and not failures:
            shutil.rmtree(work, ignore_errors=True)
    print('%d scenario runs (%s) in %.0f s; %d checks failed'
          % (count, ', '.join(backends), time.time() - began, len(failures)))
    for f in failures:
        print('FAIL', f)
    if failures or args.keep:
        print('captures and server logs kept in', work)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())

#!/usr/bin/env python3
"""The demo: one real run of Velmorandix.exe against a real web server.

    demo.py --build BUILD_DIR --tool VELMORANDIX_MANIFEST --out OUT_DIR [--fresh]
            [--key PRIVATE.pem --public KEY | --unsigned]

BUILD_DIR holds the windows preset's Velmorandix.exe (built for the update
servers https://127.0.0.1:47443 and :47444), winprobe.exe, standin_java.exe
and splash_gallery.exe; with --key also demo-signed/Velmorandix.exe, built
with the public key KEY (VELMORANDIX_DEMO_UPDATE_KEYS), which is the program
the demo runs then. VELMORANDIX_MANIFEST is the native operator tool.

What it does:
  1. makes the demo release under BUILD_DIR/demo/content: a small launcher
     jar (made with the JDK's jar tool when there is one, otherwise written
     here; either way made once and kept), and a Java runtime folder whose
     bin\\java.exe is the stand-in launcher, with fixed file times;
  2. starts nginx on https://127.0.0.1:47443, with a certificate made on the
     spot, from a prefix under BUILD_DIR/demo/server; the site configuration
     is tests/e2e/nginx/velmorandix-site.conf;
  3. publishes the release straight into nginx's root with
     `velmorandix-manifest publish` (serial SERIAL; with --key signed as an
     operator would), which zips the runtime, checks the zip, writes the
     manifest and puts everything in place;
  4. runs Velmorandix.exe under Wine in a private X server, in the Wine
     prefix BUILD_DIR/demo/wineprefix, which is kept, so that a second demo
     finds the install from the first and goes straight to the launch;
  5. checks the served site with `velmorandix-manifest check-site`, saves
     one picture of each screen the window showed into OUT_DIR and prints
     what happened, with publish's table and check-site's lines.

--fresh empties the install folder first. Everything listens on 127.0.0.1;
every process started here is stopped by its PID.
"""
import argparse
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, 'tests', 'e2e'))
from vxe2e import Probe, Session, wine_path  # noqa: E402
import vxservers as vs  # noqa: E402

RUN_ARGS = '-jar %launcher% -u %updater_path%'
SERIAL = 1  # the demo release; a real operator raises it with every release
JAVA_PATH = '%java%\\bin\\java.exe'
SCREENS = ('welcome', 'connect', 'check', 'update', 'launch', 'error')
FILETIME_UNIX_EPOCH = 116444736000000000
RELEASE_TIME = 1767268800  # 2026-01-01 12:00 UTC: the same release bytes at every demo


def make_jar(content_dir):
    """The launcher jar: made once, then kept, so that a second demo serves
    the very same bytes."""
    jar = os.path.join(content_dir, 'launcher.jar')
    if os.path.exists(jar):
        return jar, 'kept from an earlier demo'
    src = tempfile.mkdtemp(prefix='vx-demo-jar-')
    try:
        with open(os.path.join(src, 'README.txt'), 'w') as f:
            f.write('The Velmorandix launcher would be here; the demo runs a stand-in.\n')
        with open(os.path.join(src, 'MANIFEST.MF'), 'w') as f:
            f.write('Manifest-Version: 1.0\nImplementation-Title: Velmorandix demo launcher\n')
        if shutil.which('jar'):
            subprocess.run(['jar', '--create', '--file', jar, '--manifest',
                            os.path.join(src, 'MANIFEST.MF'), '-C', src, 'README.txt'],
                           check=True, timeout=120)
            return jar, "made with the JDK's jar tool"
    finally:
        shutil.rmtree(src, ignore_errors=True)
    with zipfile.ZipFile(jar, 'w', zipfile.ZIP_DEFLATED) as z:
        z.writestr(zipfile.ZipInfo('META-INF/MANIFEST.MF', (2026, 1, 1, 0, 0, 0)),
                   'Manifest-Version: 1.0\r\nImplementation-Title: Velmorandix demo launcher\r\n\r\n')
        z.writestr(zipfile.ZipInfo('README.txt', (2026, 1, 1, 0, 0, 0)),
                   'The Velmorandix launcher would be here; the demo runs a stand-in.\n')
    return jar, 'no JDK here, so a plain zip with a jar manifest'


def make_runtime(content_dir, standin):
    """The runtime folder, stand-in as bin\\java.exe, every file and folder
    with the same time."""
    runtime = os.path.join(content_dir, 'java')
    shutil.rmtree(runtime, ignore_errors=True)
    with open(standin, 'rb') as f:
        files = {
            'bin/java.exe': f.read(),
            'release': b'JAVA_VERSION="17.0.9"\nIMPLEMENTOR="Velmorandix demo"\n',
            'conf/demo.properties': b'# a runtime made for the demo\ndemo=true\n',
            # Some bulk, so that the update screen counts megabytes; seeded,
            # so that every demo serves the same bytes.
            'lib/modules': random.Random(20261208).randbytes(6 * 1048576),
        }
    vs.write_tree(runtime, files)
    for root, folders, names in os.walk(runtime, topdown=False):
        for name in folders + names:
            os.utime(os.path.join(root, name), (RELEASE_TIME, RELEASE_TIME))
    return runtime, files


def run_tool(tool, *args):
    """Runs the native operator tool; (exit code, its lines: output, then errors)."""
    r = subprocess.run([tool] + list(args), capture_output=True, text=True, timeout=300)
    return r.returncode, (r.stdout + r.stderr).splitlines()


class ScreenWatch:
    """Grabs the window's client area a few times a second while the program
    runs; distinct pictures are classified afterwards."""

    def __init__(self, session, probe, app, folder):
        self.session, self.probe, self.app, self.folder = session, probe, app, folder
        self.shots = []  # (time, path) of distinct pictures in order
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        info = self.probe.find('VELMORANDIX', 30000)
        if not info.get('found'):
            return
        border = info['client_left'] - info['left']
        w = info['right'] - info['client_left'] - border
        h = info['bottom'] - info['client_top'] - border
        geometry = '%dx%d+%d+%d' % (w, h, info['client_left'], info['client_top'])
        last = None
        n = 0
        while self.app.poll() is None:
            path = os.path.join(self.folder, 'grab-%03d.png' % n)
            r = subprocess.run(['import', '-display', ':%s' % self.session.display, '-window',
                                'root', '-crop', geometry, '+repage', path],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            if r.returncode != 0 or self.app.poll() is not None:
                break
            digest = hashlib.sha256(open(path, 'rb').read()).hexdigest()
            if digest != last:
                self.shots.append((time.time(), path))
                n += 1
                last = digest
            time.sleep(0.25)

    def finish(self):
        self.thread.join(120)
        return self.shots


def differing(a, b):
    r = subprocess.run(['compare', '-metric', 'AE', '-fuzz', '10%', a, b, 'null:'],
                       capture_output=True, text=True, timeout=60)
    try:
        return float(r.stderr.split()[0])
    except (IndexError, ValueError):
        return float('inf')


def classify(shots, references, folder):
    """The screens in the order shown: [(name, picture)], one entry per
    change of screen; each picture is named after its nearest reference."""
    if not shots:
        return []
    size = subprocess.run(['identify', '-format', '%wx%h', shots[0][1]], capture_output=True,
                          text=True, timeout=60).stdout.strip()
    cropped = {}
    for name, path in references.items():
        out = os.path.join(folder, 'ref-%s.png' % name)
        subprocess.run(['convert', path, '-crop', size + '+0+0', '+repage', out], check=True,
                       timeout=60)
        cropped[name] = out
    order = []
    for _, shot in shots:
        name = min(cropped, key=lambda n: differing(shot, cropped[n]))
        if not order or order[-1][0] != name:
            order.append((name, shot))
    return order


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--build', required=True)
    ap.add_argument('--tool', required=True, help='the native velmorandix-manifest')
    ap.add_argument('--out', required=True)
    ap.add_argument('--fresh', action='store_true')
    ap.add_argument('--key', help='private key (PEM) to sign the manifest with')
    ap.add_argument('--public', help='its public key, as the demo program carries it')
    ap.add_argument('--unsigned', action='store_true', help='no signature: Velmorandix.exe')
    args = ap.parse_args()
    if bool(args.key) == args.unsigned or bool(args.key) != bool(args.public):
        ap.error('give --key and --public, or --unsigned')
    build = os.path.abspath(args.build)
    exe = os.path.join(build, 'demo-signed' if args.key else '', 'Velmorandix.exe')
    probe_exe = os.path.join(build, 'tests', 'support', 'winprobe.exe')
    standin = os.path.join(build, 'tools', 'standin_java.exe')
    tool = os.path.abspath(args.tool)
    gallery = os.path.join(build, 'tests', 'app', 'splash_gallery.exe')
    demo = os.path.join(build, 'demo')
    content = os.path.join(demo, 'content')
    out_dir = os.path.abspath(args.out)
    os.makedirs(content, exist_ok=True)
    os.makedirs(out_dir, exist_ok=True)
    for old in os.listdir(out_dir):
        if old.endswith('.png'):
            os.remove(os.path.join(out_dir, old))
    for name in ('http_proxy', 'https_proxy', 'HTTP_PROXY', 'HTTPS_PROXY', 'all_proxy'):
        os.environ.pop(name, None)

    say = print
    jar, jar_how = make_jar(content)
    runtime, runtime_files = make_runtime(content, standin)
    grabs = tempfile.mkdtemp(prefix='vx-demo-grabs-')
    server = None
    standin_pid = None
    with Session(prefix=os.path.join(demo, 'wineprefix')) as s:
        try:
            subprocess.run(['wineserver', '-p'], env=s.env, timeout=60)
            # The screens as the program composes them, to name the pictures.
            refs = os.path.join(grabs, 'gallery')
            os.makedirs(refs)
            s.run(gallery, wine_path(refs), timeout=120)
            references = {n: os.path.join(refs, n + '.png') for n in SCREENS
                          if os.path.exists(os.path.join(refs, n + '.png'))}

            server = vs.NginxServers(os.path.join(demo, 'server'))
            server.serve(primary={})
            shutil.copy(server.config, os.path.join(out_dir, 'nginx.conf'))
            # The release goes straight into nginx's root, as an operator
            # publishes to a server's folder.
            site = server.www('primary')
            sign = ['--sign', args.key] if args.key else []
            code, published = run_tool(tool, 'publish', '--launcher', jar, '--java-dir', runtime,
                                       '--java-path', JAVA_PATH, '--run-args', RUN_ARGS,
                                       '--serial', str(SERIAL), *sign, '-o', site)
            if code != 0:
                say('velmorandix-manifest publish failed (%d):' % code)
                for line in published:
                    say('  ' + line)
                return 1
            with open(os.path.join(site, 'updater', 'win64.json'), 'rb') as f:
                manifest = f.read()

            appdata = s.appdata()
            install = os.path.join(appdata, 'Velmorandix', 'bootstrap')
            if args.fresh:
                shutil.rmtree(os.path.join(appdata, 'Velmorandix'), ignore_errors=True)
            before = 'empty' if not os.path.exists(os.path.join(install, 'launcher.jar')) \
                else 'holding an earlier install'

            out_path = os.path.join(grabs, 'bootstrapper.out')
            started = time.time()
            with open(out_path, 'wb') as out:
                app = s.start(exe, stdout=out)
                watch = ScreenWatch(s, Probe(s, probe_exe), app, grabs)
                code = s.wait(app, timeout=300)
                if code is None:
                    Probe(s, probe_exe).close('VELMORANDIX')
                    code = s.wait(app, timeout=30)
            ended = time.time()
            order = classify(watch.finish(), references, grabs) if references else []
            saved = []
            for i, (name, shot) in enumerate(order, 1):
                target = os.path.join(out_dir, '%d-%s.png' % (i, name))
                shutil.copy(shot, target)
                saved.append(os.path.relpath(target, REPO))

            record_path = os.path.join(install, 'java', 'bin', 'standin_record.txt')
            record = {}
            if os.path.exists(record_path):
                with open(record_path, encoding='utf-8') as f:
                    record = dict(l.rstrip('\n').split('=', 1) for l in f if '=' in l)
                # The stand-in's own note is no part of the runtime: without
                # it the folder stays exactly as served for the next demo.
                os.remove(record_path)
            standin_pid = record.get('pid')

            with open(out_path, 'rb') as f:
                console = f.read().decode('utf-8', 'replace').splitlines()
            requests = server.requests('primary')
            # The site as a player's program sees it, checked by the operator's tool.
            cert = os.path.join(server.prefix, 'certs', 'server.crt')
            keys = ['--keys', args.public] if args.key else []
            site_code, site_lines = run_tool(tool, 'check-site',
                                             'https://127.0.0.1:%d' % vs.PRIMARY_PORT,
                                             '--cacert', cert, *keys)
            summary = [
                'Velmorandix demo: install folder %s at the start' % before,
                'server:   nginx on https://127.0.0.1:%d, self-signed certificate made here; '
                'config %s' % (vs.PRIMARY_PORT, os.path.relpath(os.path.join(out_dir, 'nginx.conf'),
                                                                 REPO)),
                'jar:      %s (%s)' % (os.path.relpath(jar, REPO), jar_how),
                'publish:  velmorandix-manifest publish ... -o %s' % os.path.relpath(site, REPO),
            ] + ['  ' + line for line in published] + [
                'manifest: ' + manifest.decode('utf-8').replace('\n', ' ').replace('  ', ''),
                'requests: ' + ', '.join(requests),
                'console:  ' + (' | '.join(console) if console else '(nothing)'),
                'stages:   ' + (' -> '.join(n for n, _ in order) if order else '(no screen captured)')
                + ' (the screens seen)',
            ]
            jar_installed = os.path.join(install, 'launcher.jar')
            if os.path.exists(jar_installed):
                data = open(jar_installed, 'rb').read()
                summary.append('installed: launcher.jar %d bytes, fingerprint %s'
                               % (len(data), vs.fingerprint(data)))
            tree = vs.read_tree(os.path.join(install, 'java'))
            if tree:
                summary.append('installed: java\\ %d files, %d bytes, folder fingerprint %s'
                               % (len(tree), sum(len(v) for v in tree.values()),
                                  vs.folder_fingerprint(tree.values())))
                summary.append('           served: %d files, folder fingerprint %s'
                               % (len(runtime_files), vs.folder_fingerprint(runtime_files.values())))
            if record:
                printed = (int(record.get('printed', '0')) - FILETIME_UNIX_EPOCH) / 1e7
                summary.append('launcher: started as java.exe %s (in %s)'
                               % (record.get('cmdline'), record.get('cwd')))
                summary.append('launcher: printed "Velmorandix launcher stand-in" and "Restart '
                               'Launcher with JavaAgent..." %.1f s after the start; the program '
                               'closed %.1f s later' % (printed - started, ended - printed))
            else:
                summary.append('launcher: not started')
            summary.append('check-site: velmorandix-manifest check-site https://127.0.0.1:%d '
                           '--cacert %s%s (exit code %d)'
                           % (vs.PRIMARY_PORT, os.path.relpath(cert, REPO),
                              ' --keys <the demo key>' if args.key else '', site_code))
            summary += ['  ' + line for line in site_lines]
            if args.key:
                stored = os.path.join(install, 'manifest.serial')
                stored = open(stored).read() if os.path.exists(stored) else '(none)'
                summary.append('serial:   %d in the manifest; the program, which verified it, '
                               'stored %s in manifest.serial' % (SERIAL, stored))
            summary.append('exit code %s after %.1f s; pictures: %s'
                           % (code, ended - started, ', '.join(saved) if saved else 'none'))
            for line in summary:
                say(line)
            with open(os.path.join(out_dir, 'summary.txt'), 'w', encoding='utf-8') as f:
                f.write('\n'.join(summary) + '\n')
            ok = code == 0 and bool(record) and site_code == 0
            return 0 if ok else 1
        finally:
            if standin_pid:
                # The launcher keeps running after the program has closed,
                # as a real one would; the demo ends it by its PID.
                s.run('taskkill.exe', '/F', '/PID', standin_pid, timeout=60)
            if server:
                server.close()
            shutil.rmtree(grabs, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())

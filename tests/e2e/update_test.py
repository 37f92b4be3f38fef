#!/usr/bin/env python3
"""From an empty install folder the real program downloads the launcher jar,
then the Java runtime, unpacks it, finds everything current and starts the
launcher: stages 1 -> 2 -> 4 -> 2 -> 4 -> 2 -> 5.

    update_test.py <Velmorandix.exe> <standin_java.exe>

The program is built for the update servers https://127.0.0.1:47443 and
:47444. The scripted test server (tests/support/test_server.py) listens on a
free port; a relay in this script takes the fixed primary port (waiting for
it while another run holds it) and passes on the connections that come from
this session's Wine prefix, so a program of some other run that knocks on
the shared port never reaches the request log. The second port stays closed:
the primary answers.

The runtime archive holds the stand-in launcher as bin\\java.exe, so stage 5
ends the run the way a real launcher would. The manifest's fingerprints are
computed here, independently of the program's own code.

Checks: exit code 0; exactly one manifest, one jar and one archive request,
in that order; each download is followed by the update screen's 10 s before
the next step (the archive request, then the launcher start); the installed
jar and runtime match the manifest byte for byte; tempfile.zip is gone.
Everything listens on 127.0.0.1 only, every wait is bounded, and every
process started here is stopped by its PID (the session ends its own Wine
prefix's processes and X server).
"""
import io
import json
import os
import random
import shutil
import subprocess
import sys
import threading
import time
import zipfile

from vxe2e import Session, wine_path
import vxservers
from vxservers import fingerprint, folder_fingerprint

HERE = os.path.dirname(os.path.abspath(__file__))
TEST_SERVER = os.path.join(os.path.dirname(HERE), 'support', 'test_server.py')
PRIMARY_PORT = 47443
HOLD = 10.0  # the update screen's hold after each download
PORT_WAIT = 240  # longest wait for the fixed port, in seconds
FILETIME_UNIX_EPOCH = 116444736000000000

failures = []


def check(condition, what):
    print(('ok   ' if condition else 'FAIL ') + what, flush=True)
    if not condition:
        failures.append(what)


# -- the fixed-port relay ----------------------------------------------------
def _socket_inode(local_port, remote_port):
    """Inode of the loopback TCP socket with these ports, from /proc/net/tcp."""
    want = ('0100007F:%04X' % local_port, '0100007F:%04X' % remote_port)
    try:
        with open('/proc/net/tcp') as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if (fields[1], fields[2]) == want:
                    return fields[9]
    except OSError:
        pass
    return None


def _owners_prefixes(inode):
    """WINEPREFIX of every process that holds the socket with this inode."""
    target = 'socket:[%s]' % inode
    prefixes = set()
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            fd_dir = '/proc/%s/fd' % pid
            if not any(os.readlink(os.path.join(fd_dir, fd)) == target for fd in os.listdir(fd_dir)):
                continue
            with open('/proc/%s/environ' % pid, 'rb') as f:
                for item in f.read().split(b'\0'):
                    if item.startswith(b'WINEPREFIX='):
                        prefixes.add(os.path.realpath(item[len(b'WINEPREFIX='):].decode()))
        except OSError:
            continue
    return prefixes


class Relay(vxservers.Relay):
    """The fixed-port relay, passing on only this session's connections.

    The fixed port is shared by everyone on this machine, so a program of
    another run (another developer's build, say) may knock too: only
    connections made from this session's Wine prefix are passed on, the rest
    are closed unanswered and never reach the request log.
    """

    def __init__(self, port, target, prefix):
        self.prefix = os.path.realpath(prefix)
        self.refused = 0
        # Another developer's whole-program run may hold the fixed port for a
        # while (ctest's resource lock covers one ctest run only): wait for it.
        super().__init__(port, target, wait_s=PORT_WAIT)

    def admit(self, client):
        inode = _socket_inode(client.getpeername()[1], self.port)
        if inode is None or self.prefix not in _owners_prefixes(inode):
            self.refused += 1
            return False
        return True


def make_payload(standin):
    """The launcher jar, the runtime's files and the runtime zip."""
    rng = random.Random(20261208)
    jar = b'PK\x03\x04' + rng.randbytes(3 * 1024 * 1024 // 2)
    with open(standin, 'rb') as f:
        java_exe = f.read()
    files = {
        'bin/java.exe': java_exe,
        'lib/modules': rng.randbytes(1024 * 1024) + b'modules' * 20000,
        'lib/security/cacerts': b'read-only trust store\n',
        'release': b'JAVA_VERSION="17.0.9"\n',
        'legal/.marker': b'a name that begins with a full stop\n',
    }
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w', zipfile.ZIP_DEFLATED) as z:
        d = zipfile.ZipInfo('conf/', date_time=(2024, 5, 1, 12, 0, 0))
        d.external_attr = (0o40755 << 16) | 0x10
        z.writestr(d, b'')
        for name, data in files.items():
            info = zipfile.ZipInfo(name, date_time=(2024, 5, 1, 12, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            mode = 0o444 if name.endswith('cacerts') else 0o644
            info.external_attr = (0o100000 | mode) << 16
            z.writestr(info, data)
    return jar, files, buf.getvalue()


class LogWatcher:
    """Notes when each request line appears in the server's log."""

    def __init__(self, path):
        self.path = path
        self.seen = []  # (arrival time, path)
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopping.is_set():
            self.poll()
            time.sleep(0.05)

    def poll(self):
        try:
            with open(self.path, encoding='utf-8') as f:
                lines = [l for l in f.read().splitlines() if l.strip()]
        except OSError:
            return
        for line in lines[len(self.seen):]:
            self.seen.append((time.time(), json.loads(line).get('path')))

    def close(self):
        self.stopping.set()
        self.thread.join(5)
        self.poll()


def main(exe, standin):
    check(fingerprint(b'abc') == 'fa93ddb3', 'the fingerprint here is the published one')
    jar, files, archive = make_payload(standin)
    manifest = {
        'launcher': {'hash': fingerprint(jar), 'size': len(jar)},
        'java': {'hash': folder_fingerprint(files.values()),
                 'size': sum(len(c) for c in files.values())},
        'java_zip': {'hash': fingerprint(archive), 'size': len(archive)},
        'java_path': '%java%\\bin\\java.exe',
        'run_args': '-jar %launcher%',
    }
    server = relay = watcher = None
    with Session() as s:
        work = s._tmp
        try:
            script = {'listeners': [{'name': 'https', 'tls': 'self-signed'}],
                      'routes': {
                          '/updater?system=win64': {
                              'body': json.dumps(manifest),
                              'headers': [['Content-Type', 'application/json; charset=utf-8']]},
                          '/Velmorandix.jar': {'body_hex': jar.hex(), 'chunk_size': 262144},
                          '/bootstrap/java64.zip': {'body_hex': archive.hex(), 'chunk_size': 262144},
                          '/bootstrap/java32.zip': {'body_hex': archive.hex(), 'chunk_size': 262144},
                      }}
            script_path = os.path.join(work, 'server.json')
            with open(script_path, 'w') as f:
                json.dump(script, f)
            ports_path = os.path.join(work, 'ports.json')
            log_path = os.path.join(work, 'requests.jsonl')
            server = subprocess.Popen(
                [sys.executable, TEST_SERVER, '--script', script_path, '--ports-file', ports_path,
                 '--log', log_path, '--cert-dir', os.path.join(work, 'certs')],
                stdout=subprocess.DEVNULL)
            deadline = time.monotonic() + 60
            while not os.path.exists(ports_path) and server.poll() is None \
                    and time.monotonic() < deadline:
                time.sleep(0.1)
            if not os.path.exists(ports_path):
                check(False, 'the test server started')
                return 1
            with open(ports_path) as f:
                relay = Relay(PRIMARY_PORT, json.load(f)['https'], s.prefix)
            watcher = LogWatcher(log_path)

            install = os.path.join(s.appdata(), 'Velmorandix', 'bootstrap')
            shutil.rmtree(os.path.join(s.appdata(), 'Velmorandix'), ignore_errors=True)
            out_path = os.path.join(work, 'bootstrapper.out')
            started = time.time()
            with open(out_path, 'wb') as out:
                app = s.start(exe, stdout=out)
                code = s.wait(app, timeout=150)
            ended = time.time()
            watcher.close()
            print('bootstrapper: exit code %s after %.1f s; %d foreign connections refused'
                  % (code, ended - started, relay.refused))
            check(code == 0, 'the program exits with code 0')

            seen = watcher.seen
            paths = [p for _, p in seen]
            check(paths == ['/updater?system=win64', '/Velmorandix.jar', '/bootstrap/java64.zip'],
                  'one manifest, one jar and one archive request, in order: %r' % paths)
            with open(out_path, 'rb') as f:
                lines = f.read().decode('utf-8', 'replace').splitlines()
            check(len([l for l in lines if 'updater?system=win64' in l]) == 1,
                  'one manifest line on standard output: %r' % lines)

            record = {}
            try:
                with open(os.path.join(install, 'java', 'bin', 'standin_record.txt'),
                          encoding='utf-8') as f:
                    record = dict(l.rstrip('\n').split('=', 1) for l in f if '=' in l)
            except OSError:
                pass
            check('pid' in record, 'stage 5 started the unpacked launcher')
            if len(seen) == 3:
                t_manifest, t_jar, t_zip = (t for t, _ in seen)
                print('jar %.1f s after the manifest, archive %.1f s after the jar'
                      % (t_jar - t_manifest, t_zip - t_jar))
                check(t_jar - t_manifest < HOLD - 1, 'the jar is fetched right after the check')
                check(HOLD - 0.5 <= t_zip - t_jar <= HOLD + 15,
                      'the update screen holds 10 s before the archive round (%.1f s)'
                      % (t_zip - t_jar))
                if 'started' in record:
                    t_launch = (int(record['started']) - FILETIME_UNIX_EPOCH) / 1e7
                    check(HOLD - 0.5 <= t_launch - t_zip <= HOLD + 25,
                          'the update screen holds 10 s before the launch (%.1f s)'
                          % (t_launch - t_zip))

            def read(path):
                try:
                    with open(path, 'rb') as f:
                        return f.read()
                except OSError:
                    return None

            installed_jar = read(os.path.join(install, 'launcher.jar'))
            check(installed_jar == jar and fingerprint(installed_jar) == manifest['launcher']['hash'],
                  'the installed jar matches the manifest')
            java = os.path.join(install, 'java')
            unpacked = {}
            for root, _, names in os.walk(java):
                for name in names:
                    full = os.path.join(root, name)
                    unpacked[os.path.relpath(full, java).replace(os.sep, '/')] = read(full)
            unpacked.pop('bin/standin_record.txt', None)  # the stand-in's own note
            check(unpacked == files, 'the runtime is unpacked exactly: %r' % sorted(unpacked))
            check(folder_fingerprint(unpacked.values()) == manifest['java']['hash'],
                  'the unpacked runtime matches the manifest fingerprint')
            check(os.path.isdir(os.path.join(java, 'conf')), 'the folder item conf/ is made')
            check(not os.path.exists(os.path.join(java, 'tempfile.zip')), 'tempfile.zip is gone')

            if 'pid' in record:
                subprocess.run(['wine', 'taskkill.exe', '/F', '/PID', record['pid']], env=s.env,
                               capture_output=True, timeout=60)
        finally:
            if watcher:
                watcher.close()
            if relay:
                relay.close()
            if server and server.poll() is None:
                server.terminate()
                try:
                    server.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    server.kill()
                    server.wait()
    print('%d checks failed' % len(failures))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2]))

"""Update servers and update content for whole-program runs.

The program is built for https://127.0.0.1:47443 (primary) and :47444
(fallback). Two kinds of server can stand there:

  ScriptedServers  tests/support/test_server.py on free ports, one per side,
                   each behind a relay of ours on the fixed port; replies can
                   be scripted faults (resets, empty bodies, slow delivery).
  NginxServers     nginx from the distribution's package, listening on the
                   fixed ports itself with a certificate made on the spot,
                   serving files from a folder per side. The demo uses it.

Both answer GET /updater?system=win64 with the manifest and serve
/Velmorandix.jar, /bootstrap/java64.zip and /bootstrap/java32.zip, and both
tell which requests each side saw, and when. Everything listens on 127.0.0.1
only and every process started here is stopped by its PID. In the scenario
suite each worker has a network namespace of its own, so "the fixed ports"
are that worker's own.
"""
import base64
import hashlib
import io
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, 'tests', 'support'))
from run_with_server import start_server, stop  # noqa: E402  (tests/support/run_with_server.py)

NGINX_SITE = os.path.join(HERE, 'nginx', 'velmorandix-site.conf')

PRIMARY_PORT = 47443
FALLBACK_PORT = 47444
MANIFEST_TARGET = '/updater?system=win64'
SIGNATURE_TARGET = '/updater.sig?system=win64'
JAR_TARGET = '/Velmorandix.jar'
ZIP64_TARGET = '/bootstrap/java64.zip'
ZIP32_TARGET = '/bootstrap/java32.zip'

M32 = 0xFFFFFFFF


# -- fingerprints, from the published MurmurHash3 x86_32 (seed 0) ------------
def _rotl(x, r):
    return ((x << r) | (x >> (32 - r))) & M32


def murmur3(data, seed=0):
    c1, c2 = 0xcc9e2d51, 0x1b873593
    h = seed
    whole = len(data) // 4 * 4
    for (k,) in struct.iter_unpack('<I', data[:whole]):
        k = _rotl((k * c1) & M32, 15) * c2 & M32
        h = (_rotl(h ^ k, 13) * 5 + 0xe6546b64) & M32
    tail = data[whole:]
    k = 0
    for i in reversed(range(len(tail))):
        k = (k << 8) | tail[i]
    if tail:
        h ^= _rotl((k * c1) & M32, 15) * c2 & M32
    h ^= len(data) & M32
    h ^= h >> 16
    h = (h * 0x85ebca6b) & M32
    h ^= h >> 13
    h = (h * 0xc2b2ae35) & M32
    return h ^ (h >> 16)


def fingerprint(data):
    """8 lowercase hex digits, least significant byte first; "00000000" for
    no bytes."""
    return murmur3(data).to_bytes(4, 'little').hex() if data else '00000000'


def folder_fingerprint(contents):
    """The fingerprint of the sorted, de-duplicated file fingerprints."""
    return fingerprint(''.join(sorted({fingerprint(c) for c in contents})).encode('ascii'))


# -- content -----------------------------------------------------------------
def sign(data, key):
    """The base64 signature of the bytes, as an operator makes it with
    openssl: `openssl dgst -sha256 -sign key.pem | base64 -w0`."""
    der = subprocess.run(['openssl', 'dgst', '-sha256', '-sign', key], input=data,
                         capture_output=True, check=True, timeout=60).stdout
    return base64.b64encode(der)


def zip_folder(files, folders=(), read_only=()):
    """A deflated zip of {relative name: bytes}, times fixed; folders are
    extra folder items ("conf/"), read_only names get mode 0444."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w', zipfile.ZIP_DEFLATED) as z:
        for name in folders:
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 12, 0, 0))
            info.external_attr = (0o40755 << 16) | 0x10
            z.writestr(info, b'')
        for name, data in sorted(files.items()):
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 12, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = (0o100444 if name in read_only else 0o100644) << 16
            z.writestr(info, data)
    return buf.getvalue()


class Content:
    """One release: the launcher jar, the runtime's files, its zip and the
    manifest that describes them."""

    def __init__(self, jar, runtime, java_path='%java%\\bin\\java.exe',
                 run_args='-jar %launcher% -u %updater_path%', archive=None, folders=(),
                 read_only=()):
        self.jar = jar
        self.runtime = dict(runtime)
        self.archive = (zip_folder(self.runtime, folders, read_only) if archive is None
                        else archive)
        self.key = None  # a signed release: the PEM private key that signs the manifest
        self.manifest = {
            'launcher': {'hash': fingerprint(jar), 'size': len(jar)},
            'java': {'hash': folder_fingerprint(self.runtime.values()),
                     'size': sum(len(c) for c in self.runtime.values())},
            'java_zip': {'hash': fingerprint(self.archive), 'size': len(self.archive)},
            'java_path': java_path,
            'run_args': run_args,
        }

    def manifest_bytes(self):
        return json.dumps(self.manifest, indent=2).encode('utf-8')

    def sign(self, key, serial=None):
        """Makes this a signed release, as for a build with update keys: the
        manifest pins the jar and the archive by SHA-256 (and carries the
        serial), and files() serves its signature by the PEM key too."""
        self.manifest['launcher']['sha256'] = hashlib.sha256(self.jar).hexdigest()
        self.manifest['java_zip']['sha256'] = hashlib.sha256(self.archive).hexdigest()
        if serial is not None:
            self.manifest['serial'] = serial
        self.key = key
        return self

    def files(self):
        """{request target: bytes} as a server serves them."""
        files = {MANIFEST_TARGET: self.manifest_bytes(), JAR_TARGET: self.jar,
                 ZIP64_TARGET: self.archive, ZIP32_TARGET: self.archive}
        if self.key:
            files[SIGNATURE_TARGET] = sign(files[MANIFEST_TARGET], self.key)
        return files

    def install(self, install_dir, jar=True, runtime=True):
        """Lays the jar and/or the runtime out as already installed."""
        os.makedirs(install_dir, exist_ok=True)
        if jar:
            with open(os.path.join(install_dir, 'launcher.jar'), 'wb') as f:
                f.write(self.jar)
        if runtime:
            write_tree(os.path.join(install_dir, 'java'), self.runtime)


def write_tree(folder, files):
    for name, data in files.items():
        path = os.path.join(folder, *name.split('/'))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(data)


def read_tree(folder):
    out = {}
    for root, _, names in os.walk(folder):
        for name in names:
            full = os.path.join(root, name)
            with open(full, 'rb') as f:
                out[os.path.relpath(full, folder).replace(os.sep, '/')] = f.read()
    return out


# -- a relay on a fixed port ---------------------------------------------------
def bind_fixed_port(port, wait_s=120):
    """A socket bound to 127.0.0.1:port. The fixed ports are shared by every
    whole-program test on this machine, so a port that is taken is waited
    for (bounded) rather than failed at once."""
    deadline = time.monotonic() + wait_s
    noted = False
    while True:
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind(('127.0.0.1', port))
            return sock
        except OSError:
            sock.close()
            if time.monotonic() > deadline:
                raise
            if not noted:
                print('  (port %d is taken by another test; waiting for it)' % port, flush=True)
                noted = True
            time.sleep(0.5)


def port_free(port):
    try:
        bind_fixed_port(port, wait_s=0).close()
        return True
    except OSError:
        return False


class Relay:
    """Accepts on a loopback port and pipes each connection to another."""

    def __init__(self, port, target, wait_s=120):
        self.port = port
        self.target = target
        self.connections = 0
        # Connections past this many are closed at once: a server that has
        # become unreachable. None: no limit.
        self.max_connections = None
        self.sock = bind_fixed_port(port, wait_s)
        self.sock.listen(16)
        self.sock.settimeout(0.2)
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def close(self):
        self.stopping.set()
        self.thread.join(5)
        self.sock.close()

    def _accept(self):
        while not self.stopping.is_set():
            try:
                client, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self._serve, args=(client, self.connections),
                             daemon=True).start()

    def admit(self, client):
        """Whether to pass this connection on; a subclass may refuse some."""
        return True

    def _serve(self, client, number):
        if self.max_connections is not None and number > self.max_connections:
            client.close()
            return
        if not self.admit(client):
            client.close()
            return
        try:
            upstream = socket.create_connection(('127.0.0.1', self.target), timeout=30)
        except OSError:
            client.close()
            return
        back = threading.Thread(target=self._pipe, args=(upstream, client), daemon=True)
        back.start()
        self._pipe(client, upstream)
        back.join(60)
        upstream.close()
        client.close()

    @staticmethod
    def _pipe(src, dst):
        try:
            while True:
                data = src.recv(1 << 16)
                if not data:
                    break
                dst.sendall(data)
        except OSError:
            pass
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass


# -- the scripted server -------------------------------------------------------
def route_for(data):
    """A file as nginx serves it: both validators, and Range honoured."""
    return {'body_hex': data.hex(), 'chunk_size': 262144, 'ranges': True,
            'etag': '"%s"' % hashlib.sha1(data).hexdigest()[:16],
            'last_modified': 'Tue, 01 Dec 2026 10:00:00 GMT'}


class _ScriptedSide:
    def __init__(self, work, name, port, routes):
        os.makedirs(work, exist_ok=True)
        script_path = os.path.join(work, name + '-script.json')
        with open(script_path, 'w') as f:
            json.dump({'listeners': [{'name': 'https', 'tls': 'self-signed'}], 'routes': routes}, f)
        self.proc, ports, self.log_path = start_server(script_path, work, name + '-')
        self.relay = None
        try:
            self.relay = Relay(port, ports['https'])
        except OSError:
            self.close()
            raise

    def entries(self):
        try:
            with open(self.log_path, encoding='utf-8') as f:
                return [e for e in (json.loads(l) for l in f if l.strip()) if 'path' in e]
        except OSError:
            return []

    def timed_requests(self):
        return [(e['time'], e['path']) for e in self.entries()]

    def close(self):
        if self.relay:
            self.relay.close()
            self.relay = None
        stop(self.proc, 'test server')


class _SilentSide(Relay):
    """Accepts connections on the fixed port and never answers (at most 64
    are held, later ones closed): the program stays on its connect screen."""

    def __init__(self, port):
        self.held = []
        super().__init__(port, None)

    def _serve(self, client, number):
        if number <= 64:
            self.held.append(client)
        else:
            client.close()

    def timed_requests(self):
        return []

    def close(self):
        super().close()
        for conn in self.held:
            conn.close()


class ScriptedServers:
    """The scripted test server on each side that serve() is given."""

    name = 'scripted'
    scripted_faults = True

    def __init__(self, work):
        self.work = work
        self.sides = {}

    def serve(self, primary=None, fallback=None, faults=None):
        """primary/fallback: a {target: bytes} mapping to serve, the word
        'missing' (a server that answers 404 to everything), 'silent' (one
        that accepts connections and never answers) or None (the port
        refuses connections). faults: {target: reply} overrides on the
        side that serves content, in test_server.py's reply format, or the
        word 'unreachable': the manifest comes on a connection that the
        server closes after it, and that side then closes every further
        connection at once."""
        self.stop()
        faults = dict(faults or {})
        unreachable = [t for t, r in faults.items() if r == 'unreachable']
        for target in unreachable:
            del faults[target]
        for name, port, files in (('primary', PRIMARY_PORT, primary),
                                  ('fallback', FALLBACK_PORT, fallback)):
            if files is None:
                continue
            if files == 'silent':
                self.sides[name] = _SilentSide(port)
                continue
            routes = {}
            if files != 'missing':
                routes = {t: route_for(d) for t, d in files.items()}
                routes[MANIFEST_TARGET]['headers'] = [
                    ['Content-Type', 'application/json; charset=utf-8']]
                if unreachable:
                    # No kept-alive connection to carry the download past
                    # the relay once it refuses.
                    routes[MANIFEST_TARGET]['headers'].append(['Connection', 'close'])
                routes.update(faults)
            side = _ScriptedSide(self.work, name, port, routes)
            self.sides[name] = side
            if unreachable and files != 'missing':
                side.relay.max_connections = 1

    def requests(self, side='primary'):
        return [path for _, path in self.timed_requests(side)]

    def timed_requests(self, side='primary'):
        """(Unix time, request target) of each request that side saw."""
        s = self.sides.get(side)
        return s.timed_requests() if s else []

    def ranges(self, side='primary'):
        """(request target, the first byte its Range header asked for, or
        None) of each request that side saw."""
        s = self.sides.get(side)
        out = []
        for e in s.entries() if s else []:
            asked = [v for k, v in e.get('headers', []) if k.lower() == 'range']
            first = None
            if asked and asked[0].startswith('bytes=') and asked[0].endswith('-'):
                first = int(asked[0][len('bytes='):-1])
            out.append((e['path'], first))
        return out

    def stop(self):
        for s in self.sides.values():
            s.close()
        self.sides = {}

    def close(self):
        self.stop()


# -- nginx -----------------------------------------------------------------------
NGINX_MAIN = """# Made by the Velmorandix test and demo scripts; one process, in the
# foreground, everything under this prefix.
daemon off;
master_process off;
worker_processes 1;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log warn;
events {{ worker_connections 64; }}
http {{
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    log_format vx '$server_port "$request_uri" $status $body_bytes_sent $msec';
    access_log {prefix}/access.log vx;
    client_body_temp_path {prefix}/tmp/body;
    proxy_temp_path {prefix}/tmp/proxy;
    fastcgi_temp_path {prefix}/tmp/fastcgi;
    uwsgi_temp_path {prefix}/tmp/uwsgi;
    scgi_temp_path {prefix}/tmp/scgi;
{servers}
}}
"""


def make_certificate(folder):
    """A self-signed certificate for 127.0.0.1, made with openssl."""
    cert = os.path.join(folder, 'server.crt')
    key = os.path.join(folder, 'server.key')
    if not (os.path.exists(cert) and os.path.exists(key)):
        os.makedirs(folder, exist_ok=True)
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '30',
                        '-keyout', key, '-out', cert, '-subj', '/CN=127.0.0.1',
                        '-addext', 'subjectAltName=IP:127.0.0.1,DNS:localhost'],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120)
    return cert, key


def site_config(port, root, cert, key):
    with open(NGINX_SITE, encoding='utf-8') as f:
        text = f.read()
    return (text.replace('@PORT@', str(port)).replace('@ROOT@', root)
            .replace('@CERT@', cert).replace('@KEY@', key))


class NginxServers:
    """One nginx process listening on both fixed ports; each side serves the
    files of its own folder."""

    name = 'nginx'
    scripted_faults = False

    def __init__(self, work):
        self.work = os.path.abspath(work)
        self.prefix = os.path.join(self.work, 'nginx')
        for sub in ('tmp', 'www/primary', 'www/fallback'):
            os.makedirs(os.path.join(self.prefix, sub), exist_ok=True)
        cert, key = make_certificate(os.path.join(self.prefix, 'certs'))
        servers = ''.join(
            site_config(port, os.path.join(self.prefix, 'www', side), cert, key)
            for side, port in (('primary', PRIMARY_PORT), ('fallback', FALLBACK_PORT)))
        self.config = os.path.join(self.prefix, 'nginx.conf')
        with open(self.config, 'w', encoding='utf-8') as f:
            f.write(NGINX_MAIN.format(prefix=self.prefix, servers=servers))
        self.access_log = os.path.join(self.prefix, 'access.log')
        open(self.access_log, 'a').close()
        self._log_start = 0
        deadline = time.monotonic() + 120
        while not (port_free(PRIMARY_PORT) and port_free(FALLBACK_PORT)) \
                and time.monotonic() < deadline:
            time.sleep(0.5)
        self.proc = subprocess.Popen(
            ['nginx', '-p', self.prefix, '-c', self.config, '-e', os.path.join(self.prefix, 'error.log')],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if not self._wait_listening():
            err = b''
            if self.proc.poll() is not None:
                err = self.proc.stderr.read()
            self.close()
            raise RuntimeError('nginx did not start: ' + err.decode('utf-8', 'replace'))

    def _wait_listening(self):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and self.proc.poll() is None:
            try:
                socket.create_connection(('127.0.0.1', PRIMARY_PORT), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.1)
        return False

    def www(self, side):
        return os.path.join(self.prefix, 'www', side)

    def serve(self, primary=None, fallback=None, faults=None):
        """As ScriptedServers.serve, without faults; a side given None
        answers 404 like 'missing' (nginx keeps both ports)."""
        if faults or 'silent' in (primary, fallback):
            raise ValueError('nginx serves files; scripted faults need the scripted server')
        for side, files in (('primary', primary), ('fallback', fallback)):
            folder = self.www(side)
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            if isinstance(files, dict):
                publish(folder, files)
        self._log_start = os.path.getsize(self.access_log)

    def requests(self, side='primary'):
        return [path for _, path in self.timed_requests(side)]

    def timed_requests(self, side='primary'):
        """(Unix time, request target) of each request that side saw; the
        time is when nginx logged it, at the end of the reply."""
        port = str(PRIMARY_PORT if side == 'primary' else FALLBACK_PORT)
        with open(self.access_log, encoding='utf-8', errors='replace') as f:
            f.seek(self._log_start)
            lines = f.read().splitlines()
        out = []
        for line in lines:
            parts = line.split('"')
            if len(parts) >= 3 and parts[0].strip() == port:
                out.append((float(parts[2].split()[-1]), parts[1]))
        return out

    def stop(self):
        pass

    def close(self):
        stop(self.proc, 'nginx', signal.SIGQUIT)  # QUIT: finish the open requests, then leave


def publish(folder, files):
    """Writes {request target: bytes} where the nginx site serves them."""
    for target, data in files.items():
        if target == MANIFEST_TARGET:
            rel = 'updater/win64.json'
        elif target == SIGNATURE_TARGET:
            rel = 'updater/win64.json.sig'
        else:
            rel = target.lstrip('/')
        path = os.path.join(folder, *rel.split('/'))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(data)

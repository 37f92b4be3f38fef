"""A small runner for end-to-end scenarios: the real Velmorandix.exe under
Wine, watched from outside.

A Session owns a private X server (Xvfb on a free display, found with
-displayfd) and a private Wine prefix, starts programs in them, and stops
every process it started by its PID when it ends. Nothing is killed by name.

    with Session() as s:
        app = s.start(exe)                  # Velmorandix.exe under Wine
        info = s.probe('find', 'VELMORANDIX', '10000')
        code = s.wait(app, timeout=30)
"""
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time


def wine_path(path):
    """The Windows view of a Unix path, through Wine's Z: drive."""
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


class Session:
    def __init__(self, prefix=None, keep_prefix=False):
        self._own_prefix = prefix is None
        self._tmp = tempfile.mkdtemp(prefix='vx-e2e-')
        self.prefix = prefix or os.path.join(self._tmp, 'prefix')
        self.keep_prefix = keep_prefix
        self.display = None
        self._xvfb = None
        self._procs = []

    # -- lifecycle ---------------------------------------------------------
    def __enter__(self):
        self._start_xvfb()
        self.env = dict(os.environ)
        self.env.update({
            'DISPLAY': ':%s' % self.display,
            'WINEPREFIX': self.prefix,
            'WINEDEBUG': '-all',
            'WINEDLLOVERRIDES': 'mscoree,mshtml=',
        })
        if not os.path.exists(os.path.join(self.prefix, 'system.reg')):
            subprocess.run(['wineboot', '-i'], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=180)
            subprocess.run(['wineserver', '-w'], env=self.env, timeout=180)
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        for p in self._procs:
            if p.poll() is None:
                p.kill()
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    pass
        self._procs = []
        # Ends the Wine processes of this private prefix and its server.
        subprocess.run(['wineserver', '-k'], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(['wineserver', '-w'], env=self.env, timeout=60)
        if self._xvfb and self._xvfb.poll() is None:
            self._xvfb.send_signal(signal.SIGTERM)
            try:
                self._xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._xvfb.kill()
                self._xvfb.wait()
        if not self.keep_prefix:
            shutil.rmtree(self._tmp, ignore_errors=True)

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        self._xvfb = subprocess.Popen(
            ['Xvfb', '-displayfd', str(write_end), '-screen', '0', '1280x1024x24',
             '-nolisten', 'tcp'],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        data = b''
        deadline = time.time() + 30
        while not data.endswith(b'\n') and time.time() < deadline:
            chunk = os.read(read_end, 64)
            if not chunk:
                break
            data += chunk
        os.close(read_end)
        if not data.strip():
            raise RuntimeError('Xvfb did not start')
        self.display = data.strip().decode()

    # -- programs ----------------------------------------------------------
    def start(self, exe, *args, stdout=None):
        """Starts a Windows program under Wine; returns its Popen.

        Its standard output goes to a file, never a pipe: Wine's own services,
        started on demand by the program, inherit its handles and would hold
        a pipe open long after the program has ended. output(proc) reads it.
        A caller may pass its own open file as stdout instead.
        """
        out_path = os.path.join(self._tmp, 'out-%d.txt' % len(self._procs))
        with open(out_path, 'wb') as out:
            p = subprocess.Popen(['wine', exe] + list(args), env=self.env,
                                 stdout=out if stdout is None else stdout,
                                 stderr=subprocess.DEVNULL)
        p.output_path = out_path
        self._procs.append(p)
        return p

    def output(self, proc):
        """What a program started with start() wrote to standard output."""
        with open(proc.output_path, 'rb') as f:
            return f.read()

    def wait(self, proc, timeout):
        """The exit code, or None if it is still running after timeout s."""
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def run(self, exe, *args, timeout=60):
        """Runs a Windows console program to its end; (exit code, stdout).

        Waits for the program itself, not for the end of its output (see
        start); None as the exit code means it was still running at timeout.
        """
        p = self.start(exe, *args)
        code = self.wait(p, timeout)
        if code is None:
            p.kill()
            p.wait()
        return code, self.output(p).decode('utf-8', 'replace')

    def screenshot(self, path):
        """Saves the whole screen as a PNG (ImageMagick's import)."""
        subprocess.run(['import', '-display', ':%s' % self.display, '-window', 'root', path],
                       check=True, timeout=60, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def appdata(self):
        """The Unix path of the prefix user's roaming AppData folder."""
        users = os.path.join(self.prefix, 'drive_c', 'users')
        user = os.environ.get('USER') or 'root'
        return os.path.join(users, user, 'AppData', 'Roaming')


class Probe:
    """winprobe.exe, run in a session's prefix."""

    def __init__(self, session, exe):
        self.session = session
        self.exe = exe

    def find(self, class_name, timeout_ms=15000):
        code, out = self.session.run(self.exe, 'find', class_name, str(timeout_ms),
                                     timeout=timeout_ms / 1000 + 60)
        line = out.strip().splitlines()[-1] if out.strip() else '{"found":false}'
        return json.loads(line)

    def watch(self, class_name, timeout_ms=15000):
        """find, then wait until the window is gone; adds visible_ms."""
        code, out = self.session.run(self.exe, 'watch', class_name, str(timeout_ms),
                                     timeout=timeout_ms / 1000 + 180)
        line = out.strip().splitlines()[-1] if out.strip() else '{"found":false}'
        return json.loads(line)

    def close(self, class_name):
        code, _ = self.session.run(self.exe, 'close', class_name)
        return code == 0

"""A small runner for end-to-end scenarios: the real Velmorandix.exe under
Wine, watched from outside.

A Session owns a private X server (Xvfb on a free display, found with
-displayfd) and a private Wine prefix (a clone of the build tree's template,
scripts/wineprefix.py), keeps that prefix's wineserver and Wine's services up
while it lasts, starts programs in it, and stops every process it started by
its PID when it ends. Nothing is killed by name.

    with Session(template=...) as s:
        app = s.start(exe)                  # Velmorandix.exe under Wine
        info = Probe(s, probe_exe).find('VELMORANDIX', 10000)
        code = s.wait(app, timeout=30)

run_jobs() runs independent jobs in several workers side by side. The
program's update servers are compiled in (fixed loopback ports), so each
worker lives in a network namespace of its own with its own loopback: its
servers and its wineserver (Wine creates the program's sockets in the
wineserver) start inside it. Its X server starts before, outside: X servers
choose their display through lock files in /tmp, which every namespace
shares, and Wine reaches it through its file-system socket. Where namespaces
cannot be made (not root, no unshare), the jobs run one after another in
the machine's own namespace, holding the machine-wide lock on the fixed
ports.
"""
import contextlib
import ctypes
import fcntl
import io
import itertools
import json
import multiprocessing
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, 'scripts'))
sys.path.insert(0, os.path.join(REPO, 'tests', 'support'))
import wineprefix  # noqa: E402  (scripts/wineprefix.py)
from run_with_server import stop  # noqa: E402  (tests/support/run_with_server.py)

# Held by every whole-program run on this machine's own loopback.
PORTS_LOCK = '/tmp/vx-e2e-ports.lock'


def wine_path(path):
    """The Windows view of a Unix path, through Wine's Z: drive."""
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


class Xvfb:
    """A private X server on a free display, stopped by its PID."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
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
            self.close()
            raise RuntimeError('Xvfb did not start')
        self.display = data.strip().decode()

    def close(self):
        stop(self.proc, 'Xvfb')


class Session:
    """display: an X server's display number to use; by default the session
    starts an X server of its own."""

    def __init__(self, prefix=None, keep_prefix=False, template=None, display=None):
        self._tmp = tempfile.mkdtemp(prefix='vx-e2e-')
        self.prefix = prefix or os.path.join(self._tmp, 'prefix')
        self.template = template
        self.keep_prefix = keep_prefix
        self.display = display
        self._xvfb = None
        self._procs = []
        self._numbers = itertools.count()
        self.env = dict(os.environ)

    # -- lifecycle ---------------------------------------------------------
    def __enter__(self):
        try:
            if self.display is None:
                self._xvfb = Xvfb()
                self.display = self._xvfb.display
            self.env.update({
                'DISPLAY': ':%s' % self.display,
                'WINEPREFIX': self.prefix,
                'WINEDEBUG': '-all',
                'WINEDLLOVERRIDES': 'mscoree,mshtml=',
            })
            wineprefix.make(self.prefix, self.template)
            self._keep_wine_up()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _keep_wine_up(self):
        """Starts this prefix's wineserver for the whole session, with Wine's
        own services: otherwise the first program of ours starts them, and
        they inherit its output file and keep it open."""
        subprocess.run(['wineserver', '-p'], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(['wine', 'wineboot'], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=180)

    def close(self):
        for p in self._procs:
            if p.poll() is None:
                p.kill()
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    pass
        self._procs = []
        if 'WINEPREFIX' in self.env and os.path.exists(self.prefix):
            # Ends the Wine processes of this private prefix and its server.
            subprocess.run(['wineserver', '-k'], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
            subprocess.run(['wineserver', '-w'], env=self.env, timeout=60)
        if self._xvfb:
            self._xvfb.close()
        if not self.keep_prefix:
            shutil.rmtree(self._tmp, ignore_errors=True)

    # -- programs ----------------------------------------------------------
    def start(self, exe, *args, stdout=None):
        """Starts a Windows program under Wine; returns its Popen.

        Its standard output goes to a file, never a pipe: Wine's own services,
        started on demand by the program, inherit its handles and would hold
        a pipe open long after the program has ended. output(proc) reads it.
        A caller may pass its own open file as stdout instead.
        """
        number = next(self._numbers)
        out_path = os.path.join(self._tmp, 'out-%d.txt' % number)
        err_path = os.path.join(self._tmp, 'err-%d.txt' % number)
        with open(out_path, 'wb') as out, open(err_path, 'wb') as err:
            p = subprocess.Popen(['wine', exe] + list(args), env=self.env,
                                 stdout=out if stdout is None else stdout, stderr=err)
        p.output_path = out_path
        p.error_path = err_path
        self._procs.append(p)
        return p

    def output(self, proc):
        """What a program started with start() wrote to standard output."""
        with open(proc.output_path, 'rb') as f:
            return f.read()

    def errors(self, proc):
        """What Wine (or the program) wrote to standard error."""
        with open(proc.error_path, 'rb') as f:
            return f.read().decode('utf-8', 'replace')

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
        return os.path.join(self.prefix, 'drive_c', 'users', self.user(), 'AppData', 'Roaming')

    def appdata_windows(self):
        """The same folder as the program sees it."""
        return 'C:\\users\\%s\\AppData\\Roaming' % self.user()

    @staticmethod
    def user():
        return os.environ.get('USER') or 'root'


class Probe:
    """winprobe.exe, run in a session's prefix."""

    def __init__(self, session, exe):
        self.session = session
        self.exe = exe

    def find(self, class_name, timeout_ms=15000, command='find', slack_s=60):
        """The window of that class, as JSON ({"found": false} if none came)."""
        code, out = self.session.run(self.exe, command, class_name, str(timeout_ms),
                                     timeout=timeout_ms / 1000 + slack_s)
        return json.loads(out.strip().splitlines()[-1] if out.strip() else '{"found":false}')

    def watch(self, class_name, timeout_ms=15000):
        """find, then wait until the window is gone; adds visible_ms."""
        return self.find(class_name, timeout_ms, 'watch', 180)

    def close(self, class_name):
        code, _ = self.session.run(self.exe, 'close', class_name)
        return code == 0


# -- network namespaces --------------------------------------------------------
CLONE_NEWNET = 0x40000000
PR_SET_PDEATHSIG = 1


def netns_available():
    """Whether this process may make network namespaces (root, unshare, ip)."""
    if os.geteuid() != 0 or not shutil.which('ip'):
        return False
    try:
        return subprocess.run(['unshare', '--net', 'ip', 'link', 'set', 'lo', 'up'],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=30).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def enter_new_netns():
    """Moves this process into a new network namespace whose loopback is up.
    Everything it starts from now on lives there; the namespace goes away
    with the last of them."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), 'unshare(CLONE_NEWNET) failed')
    subprocess.run(['ip', 'link', 'set', 'lo', 'up'], check=True, timeout=30)


@contextlib.contextmanager
def file_lock(path, mode=0o644, announce=False):
    """Holds an exclusive flock on `path` (made if missing) for the block;
    with `announce`, says so when it has to wait."""
    fd = os.open(path, os.O_CREAT | os.O_RDWR, mode)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        if announce:
            print('(waiting for the machine-wide lock %s)' % path, flush=True)
        fcntl.flock(fd, fcntl.LOCK_EX)
    try:
        yield
    finally:
        fcntl.flock(fd, fcntl.LOCK_UN)
        os.close(fd)


def ports_lock():
    """The machine-wide lock on the fixed loopback ports."""
    return file_lock(PORTS_LOCK, 0o666, announce=True)


# -- jobs side by side ---------------------------------------------------------
def run_jobs(jobs, open_worker, workers=1, netns=True):
    """Runs every job once; returns {job name: [failure texts]}.

    jobs: (name, estimated seconds) pairs; the longest start first.
    open_worker(index, display): a context manager (entered in the worker's
    process) whose value is a function run(name) -> [failure texts]; it
    prints what it checks. display is an X server made for the worker, or
    None. With workers > 1 and netns, each worker is a process of its own in
    its own network namespace, and each job's printout comes in one piece
    when the job ends. Otherwise the jobs run here, one after another, in
    this namespace, under the ports lock.
    """
    order = [name for name, _ in sorted(jobs, key=lambda j: -j[1])]
    if workers <= 1 or not netns or len(order) <= 1:
        results = {}
        with ports_lock(), open_worker(0, None) as run:
            for name in order:
                results[name] = _run_one(run, name, capture=False)[0]
        return results
    return _run_parallel(order, open_worker, min(workers, len(order)))


def _run_one(run, name, capture):
    out = io.StringIO() if capture else None
    t0 = time.time()
    with contextlib.redirect_stdout(out) if capture else contextlib.nullcontext():
        print('== %s' % name, flush=True)
        try:
            failures = list(run(name))
        except Exception as e:  # a broken job fails; the others still run
            traceback.print_exc(file=sys.stdout)
            failures = ['%s: raised %s: %s' % (name, type(e).__name__, e)]
        print('   (%s: %.1f s, %s)' % (name, time.time() - t0,
                                      '%d failed' % len(failures) if failures else 'passed'),
              flush=True)
    return failures, out.getvalue() if capture else ''


def _worker_main(index, open_worker, todo, results):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)  # the runner went: clean up too

    def leave(*_):
        raise SystemExit(1)

    signal.signal(signal.SIGTERM, leave)
    xvfb = None
    try:
        # The X server stays in the machine's namespace: X servers pick their
        # display by lock files in /tmp, which all namespaces share. Wine
        # reaches it there through its file-system socket.
        xvfb = Xvfb()
        enter_new_netns()
        with open_worker(index, xvfb.display) as run:
            while True:
                name = todo.get()
                if name is None:
                    break
                results.put(('start', index, name, None))
                failures, text = _run_one(run, name, capture=True)
                results.put(('done', index, name, (failures, text)))
    except BaseException as e:
        results.put(('fatal', index, None, '%s: %s\n%s' % (type(e).__name__, e,
                                                           traceback.format_exc())))
        raise
    finally:
        if xvfb:
            xvfb.close()
        results.put(('exit', index, None, None))


def _run_parallel(order, open_worker, workers):
    ctx = multiprocessing.get_context('fork')
    todo, results = ctx.Queue(), ctx.Queue()
    for name in order:
        todo.put(name)
    for _ in range(workers):
        todo.put(None)
    procs = [ctx.Process(target=_worker_main, args=(i, open_worker, todo, results), daemon=True)
             for i in range(workers)]
    for p in procs:
        p.start()
    done, running, alive = {}, {}, set(range(workers))
    finished = False
    try:
        while alive:
            try:
                kind, index, name, data = results.get(timeout=5)
            except queue.Empty:
                for i in list(alive):
                    if not procs[i].is_alive():
                        alive.discard(i)
                        if i in running:
                            done[running.pop(i)] = ['the worker died during the job']
                continue
            if kind == 'start':
                running[index] = name
            elif kind == 'done':
                running.pop(index, None)
                done[name], text = data
                sys.stdout.write(text)
                sys.stdout.flush()
            elif kind == 'fatal':
                print('worker %d failed: %s' % (index, data), flush=True)
                if index in running:
                    done[running.pop(index)] = ['worker %d failed during the job' % index]
            elif kind == 'exit':
                alive.discard(index)
        finished = True
    finally:
        if not finished:  # stopped from outside: the workers clean up and leave
            for p in procs:
                if p.is_alive():
                    p.terminate()
        for p in procs:
            p.join(timeout=60)
            if p.is_alive():
                p.kill()
                p.join()
    for name in order:
        if name not in done:
            done[name] = ['not run: every worker had failed']
    return done

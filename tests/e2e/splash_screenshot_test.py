#!/usr/bin/env python3
"""The real window shows the screens as they are composed: screenshots of its
client area, taken under Xvfb during the connect screen and during the error
screen, match what splash_gallery.exe composes for those screens.

    splash_screenshot_test.py <Velmorandix.exe> <winprobe.exe> <splash_gallery.exe>

The connect screen is held up by pointing Wine's default proxy (http_proxy)
at a loopback listener that accepts connections and never answers; the error
screen comes at once when the proxy's port refuses connections. Both are on
127.0.0.1 only and are closed when the scenario ends.
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

from vxe2e import Probe, Session, wine_path

# ImageMagick's colour fuzz for "the same pixel", and the share of the client
# area allowed to differ.
FUZZ = '10%'
DIFFERING_SHARE = 0.005

# The error texts when no server gave a manifest.
NO_MANIFEST_TITLE = 'Нет соединения :('
NO_MANIFEST_DETAIL = 'Ошибка обновления лаунчера. Код C1.'


def differing_pixels(shot, left, top, reference, width, height):
    """Pixels of the width x height area at (left, top) of the screenshot that
    differ from the reference's top-left corner."""
    r = subprocess.run(['compare', '-metric', 'AE', '-fuzz', FUZZ,
                        '%s[%dx%d+%d+%d]' % (shot, width, height, left, top),
                        '%s[%dx%d+0+0]' % (reference, width, height), 'null:'],
                       capture_output=True, text=True, timeout=60)
    try:
        return int(float(r.stderr.split()[0]))
    except (IndexError, ValueError):
        raise RuntimeError('compare failed: %s' % r.stderr)


class SilentListener:
    """Accepts connections on loopback and never answers (at most 64)."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(('127.0.0.1', 0))
        self.sock.listen(16)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.held = []
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopping and len(self.held) < 64:
            try:
                conn, _ = self.sock.accept()
                self.held.append(conn)
            except socket.timeout:
                continue
            except OSError:
                break

    def close(self):
        self.stopping = True
        self.thread.join(timeout=5)
        for conn in self.held:
            conn.close()
        self.sock.close()


def refused_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


def watch_for_screen(session, probe, exe, proxy_port, reference, name, work, deadline_s):
    """Starts the program, then takes screenshots until the client area
    matches the reference or the deadline passes. Returns a failure text or
    None."""
    for variable in ('no_proxy', 'NO_PROXY', 'HTTP_PROXY', 'https_proxy', 'HTTPS_PROXY'):
        session.env.pop(variable, None)
    session.env['http_proxy'] = 'http://127.0.0.1:%d' % proxy_port
    app = session.start(exe)
    try:
        info = probe.find('VELMORANDIX', 30000)
        if not info.get('found'):
            return '%s: no window appeared' % name
        left, top = info['client_left'], info['client_top']
        border = info['client_left'] - info['left']
        # The reference is composed at the outer size, 320 x 148.
        width = min(info['right'] - left - border, 320)
        height = min(info['bottom'] - top - border, 148)
        if width < 200 or height < 90:
            return '%s: client area %dx%d is too small' % (name, width, height)
        best = 1.0
        end = time.time() + deadline_s
        n = 0
        while time.time() < end and app.poll() is None:
            path = os.path.join(work, '%s-%d.png' % (name, n))
            n += 1
            session.screenshot(path)
            share = differing_pixels(path, left, top, reference, width, height) / float(width * height)
            best = min(best, share)
            if share <= DIFFERING_SHARE:
                print('%s: screenshot %d matches (%.3f%% of %dx%d differ)'
                      % (name, n, share * 100, width, height))
                return None
            time.sleep(0.3)
        return ('%s: no screenshot matched; closest had %.1f%% of the client area differing'
                % (name, best * 100))
    finally:
        probe.close('VELMORANDIX')
        if session.wait(app, timeout=30) is None:
            app.kill()
            app.wait()


def keep_wine_up(session):
    """Keeps the prefix's wineserver and Wine's own services running until
    the session ends. Otherwise every program that finds no wineserver starts
    a new one together with those services, which inherit that program's
    output pipe and hold it open long after the program has exited."""
    subprocess.run(['wineserver', '-p'], env=session.env, timeout=60)
    subprocess.run(['wine', 'wineboot'], env=session.env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=180)


def main(exe, probe_exe, gallery_exe):
    failures = []
    work = tempfile.mkdtemp(prefix='vx-splash-shots-')
    texts = os.path.join(work, 'error-texts.txt')
    with open(texts, 'w', encoding='utf-8') as f:
        f.write(NO_MANIFEST_TITLE + '\n' + NO_MANIFEST_DETAIL + '\n')
    listener = SilentListener()
    try:
        with Session() as s:
            keep_wine_up(s)
            code, out = s.run(gallery_exe, wine_path(work), wine_path(texts), timeout=120)
            if code != 0:
                print('FAIL: splash_gallery exited with %d: %s' % (code, out))
                return 1
            connect = os.path.join(work, 'connect.png')
            error = os.path.join(work, 'error.png')
            probe = Probe(s, probe_exe)
            for name, port, reference in (('connect', listener.port, connect),
                                          ('error', refused_port(), error)):
                failure = watch_for_screen(s, probe, exe, port, reference, name, work, 20)
                if failure:
                    failures.append(failure)
    finally:
        listener.close()
    for f in failures:
        print('FAIL:', f)
    if failures:
        print('screenshots kept in', work)
    else:
        for name in os.listdir(work):
            os.remove(os.path.join(work, name))
        os.rmdir(work)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3]))

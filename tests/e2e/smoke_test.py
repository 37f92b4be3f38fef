#!/usr/bin/env python3
"""With no update server listening, the real program shows its window at the
computed place, goes to the error screen and exits with code 0 about 5 s
later.

    smoke_test.py <Velmorandix.exe> <winprobe.exe>
"""
import sys
import time

from vxe2e import Probe, Session


def main(exe, probe_exe):
    failures = []
    with Session() as s:
        started = time.time()
        app = s.start(exe)
        info = Probe(s, probe_exe).watch('VELMORANDIX', 30000)
        seen = time.time()
        code = s.wait(app, timeout=60)
        ended = time.time()

        if not info.get('found'):
            failures.append('no window of class VELMORANDIX appeared')
        else:
            if info['title'] != 'Velmorandix':
                failures.append('title is %r' % info['title'])
            want_left = int(info['cx_fullscreen'] / 2) - 187
            want_top = int(info['cy_fullscreen'] / 2) - 100
            got = (info['left'], info['top'], info['right'] - info['left'],
                   info['bottom'] - info['top'])
            if got != (want_left, want_top, 320, 148):
                failures.append('window at %r, expected %r' % (got, (want_left, want_top, 320, 148)))
        if code is None:
            failures.append('the program was still running 30 s after its window appeared')
        elif code != 0:
            failures.append('exit code %d' % code)
        if info.get('found'):
            # The error screen holds 5 s after the window is up.
            shown = info.get('visible_ms', -1) / 1000.0
            if not 4.5 <= shown <= 10:
                failures.append('the window stayed %.1f s, expected about 5 s' % shown)
        print('window: %s; exit code %s after %.1f s (window seen after %.1f s)'
              % (info, code, ended - started, seen - started))
    for f in failures:
        print('FAIL:', f)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2]))

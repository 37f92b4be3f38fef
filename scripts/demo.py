#!/usr/bin/env python3
"""Runs Velmorandix.exe once under Wine and reports what happened.

    demo.py <Velmorandix.exe> <winprobe.exe> <output folder>

No demo update server is served yet, so the run ends on the error screen
after 5 seconds. Screenshots of the screen are taken while the program runs;
the distinct ones land in the output folder.
"""
import hashlib
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'e2e'))
from vxe2e import Session  # noqa: E402


def main(exe, probe_exe, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    for old in os.listdir(out_dir):
        if old.startswith('screen-') and old.endswith('.png'):
            os.remove(os.path.join(out_dir, old))
    with Session() as s:
        started = time.time()
        app = s.start(exe)
        seen = set()
        kept = []
        while app.poll() is None and time.time() - started < 120:
            shot = os.path.join(out_dir, 'screen-%02d.png' % (len(kept) + 1))
            s.screenshot(shot)
            digest = hashlib.sha256(open(shot, 'rb').read()).hexdigest()
            if digest in seen:
                os.remove(shot)
            else:
                seen.add(digest)
                kept.append(shot)
            time.sleep(0.2)
        code = s.wait(app, timeout=60)
        out = app.stdout.read().decode('utf-8', 'replace') if app.stdout else ''
        for line in out.splitlines():
            print('program said: ' + line)
        print('screenshots: ' + (', '.join(kept) if kept else 'none'))
        print('exit code: %s after %.1f s' % (code, time.time() - started))
        print('note: no demo update server is served yet, so the run stops at the error screen.')
        return 0 if code == 0 else 1


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:4]))

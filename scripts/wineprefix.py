#!/usr/bin/env python3
"""Wine prefixes for the tests, made from one template per build tree.

    wineprefix.py make PREFIX [--template DIR]    PREFIX as a clone of the template
    wineprefix.py template DIR                    just the template

`wineboot -i` costs ten to twenty seconds of CPU; the tests need several
prefixes (the build tree's, the update tests', one per end-to-end worker).
The template is booted once (under a lock, so concurrent callers wait for
it) and each prefix is a clone: Wine's large read-only files under
drive_c/windows (DLLs, programs, code pages) are hard links, everything else
(the registry, the users' folders, ini files) is a private copy. The template
is booted again when Wine's wine.inf has changed since (Wine's own
.update-timestamp), so no clone ever triggers Wine's prefix update, which
would rewrite the shared files.

The default template is <build tree>/wineprefix-template, the build tree
being the nearest parent of PREFIX that holds CMakeCache.txt (else PREFIX's
parent). Nothing is started that outlives a call: the template's wineserver
is waited for.
"""
import argparse
import fcntl
import os
import shutil
import subprocess
import sys

WINE_INF = '/usr/share/wine/wine.inf'
# Under drive_c/windows, files at least this big with one of these
# extensions are shared between clones; Wine only reads them.
SHARED_EXTENSIONS = {'.dll', '.exe', '.drv', '.sys', '.nls', '.tlb', '.ocx', '.cpl', '.acm',
                     '.ax', '.ds', '.msstyles', '.ttf', '.ttc', '.fon', '.mui'}
SHARED_MIN_SIZE = 16 * 1024


def wine_env(prefix):
    env = dict(os.environ)
    env.update({'WINEPREFIX': prefix, 'WINEDEBUG': '-all',
                'WINEDLLOVERRIDES': env.get('WINEDLLOVERRIDES', 'mscoree,mshtml=')})
    env.pop('DISPLAY', None)
    return env


def default_template(prefix):
    d = os.path.dirname(os.path.abspath(prefix))
    while d != '/' and not os.path.exists(os.path.join(d, 'CMakeCache.txt')):
        d = os.path.dirname(d)
    if d == '/':
        d = os.path.dirname(os.path.abspath(prefix))
    return os.path.join(d, 'wineprefix-template')


def _wine_stamp():
    try:
        return str(int(os.stat(WINE_INF).st_mtime))
    except OSError:
        return None


def template_current(template):
    if not os.path.exists(os.path.join(template, 'system.reg')):
        return False
    try:
        with open(os.path.join(template, '.update-timestamp')) as f:
            return f.read().strip() == _wine_stamp()
    except OSError:
        return False


class _Lock:
    def __init__(self, path):
        self.path = path

    def __enter__(self):
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        self.fd = os.open(self.path, os.O_CREAT | os.O_RDWR, 0o644)
        fcntl.flock(self.fd, fcntl.LOCK_EX)
        return self

    def __exit__(self, *exc):
        fcntl.flock(self.fd, fcntl.LOCK_UN)
        os.close(self.fd)


def ensure_template(template):
    """Boots the template if it is missing or older than the installed Wine."""
    template = os.path.abspath(template)
    if template_current(template):
        return template
    with _Lock(template + '.lock'):
        if template_current(template):
            return template
        fresh = template + '.new'
        shutil.rmtree(fresh, ignore_errors=True)
        env = wine_env(fresh)
        subprocess.run(['wineboot', '-i'], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=600)
        # The template's own wineserver ends by itself a few seconds after
        # wineboot; the registry is complete once it has.
        subprocess.run(['wineserver', '-w'], env=env, timeout=600)
        if not os.path.exists(os.path.join(fresh, 'system.reg')):
            raise RuntimeError('wineboot made no prefix in %s' % fresh)
        shutil.rmtree(template, ignore_errors=True)
        os.rename(fresh, template)
    return template


def _shared(rel, size):
    return (rel.startswith('drive_c/windows/') and size >= SHARED_MIN_SIZE
            and os.path.splitext(rel)[1].lower() in SHARED_EXTENSIONS)


def clone(template, prefix):
    """Makes PREFIX (which must not exist yet) a clone of the template."""
    tmp = prefix + '.clone'
    shutil.rmtree(tmp, ignore_errors=True)
    for root, dirs, files in os.walk(template):
        rel_root = os.path.relpath(root, template)
        dest_root = tmp if rel_root == '.' else os.path.join(tmp, rel_root)
        os.makedirs(dest_root, exist_ok=True)
        shutil.copystat(root, dest_root)
        for name in dirs + files:
            src = os.path.join(root, name)
            dest = os.path.join(dest_root, name)
            if os.path.islink(src):
                os.symlink(os.readlink(src), dest)
                if name in dirs:
                    dirs.remove(name)  # not followed by os.walk either way
            elif name in files:
                rel = os.path.normpath(os.path.join(rel_root, name))
                if _shared(rel, os.path.getsize(src)):
                    try:
                        os.link(src, dest)
                        continue
                    except OSError:  # another file system: a copy after all
                        pass
                shutil.copy2(src, dest)
    os.rename(tmp, prefix)


def make(prefix, template=None):
    """PREFIX as a clone of the (booted on demand) template; an existing
    prefix is left as it is. Concurrent callers for one prefix wait for each
    other."""
    prefix = os.path.abspath(prefix)
    if os.path.exists(os.path.join(prefix, 'system.reg')):
        return prefix
    template = ensure_template(template or default_template(prefix))
    with _Lock(prefix + '.lock'):
        if not os.path.exists(os.path.join(prefix, 'system.reg')):
            if os.path.isdir(prefix) and not os.listdir(prefix):
                os.rmdir(prefix)
            clone(template, prefix)
    return prefix


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest='command', required=True)
    m = sub.add_parser('make')
    m.add_argument('prefix')
    m.add_argument('--template')
    t = sub.add_parser('template')
    t.add_argument('dir')
    args = ap.parse_args()
    if args.command == 'make':
        make(args.prefix, args.template)
    else:
        ensure_template(args.dir)
    return 0


if __name__ == '__main__':
    sys.exit(main())

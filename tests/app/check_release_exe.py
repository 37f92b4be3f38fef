#!/usr/bin/env python3
"""Fails when a built program carries what would make two builds of one
commit differ (scripts/reproduce.sh does the full comparison): a link time
stamp in the PE header, a symbol table or debug directory (where build
paths and build ids live), or a build folder's path anywhere in the file.

    check_release_exe.py <exe> <build folder>...
"""
import os
import struct
import sys


def faults(exe, folders):
    with open(exe, 'rb') as f:
        data = f.read()
    pe = struct.unpack_from('<I', data, 0x3c)[0]
    sig, _, _, stamp, symbols, count = struct.unpack_from('<4sHHIII', data, pe)
    if sig != b'PE\0\0':
        return ['%s is no PE file' % exe]
    optional = pe + 24
    directories = optional + (112 if struct.unpack_from('<H', data, optional)[0] == 0x20b else 96)
    found = []
    if stamp:
        found.append('the PE header holds a link time stamp (%#x)' % stamp)
    if symbols or count:
        found.append('it carries a symbol table (%d symbols)' % count)
    if struct.unpack_from('<II', data, directories + 6 * 8)[1]:
        found.append('it has a debug directory')
    for folder in {p for f in folders for p in (f, os.path.realpath(f))}:
        for encoding in ('utf-8', 'utf-16-le'):
            if folder.encode(encoding) in data:
                found.append('it holds the build path %s (%s)' % (folder, encoding))
    return found


if __name__ == '__main__':
    problems = faults(sys.argv[1], sys.argv[2:])
    for p in problems:
        print(p)
    print('%s: %s' % (sys.argv[1], 'not reproducible' if problems else 'ok'))
    sys.exit(1 if problems else 0)

#!/usr/bin/env python3
"""Fails when a product source includes a project header above its layer.

The ladder, bottom to top (docs/development.md, "How the code is laid out"). The first
row whose prefix matches a file's path says what its #include "..." lines
may name; a prefix ending in "/" stands for a whole folder.
With a build tree as well, it also fails when a program's link line
names a library twice (the sign of a cycle worked around by repetition).
  check_layers.py <source root> [<build tree>]
"""
import pathlib
import re
import sys

STATE = "app/bootstrap_state.h"
SIGNING = ["update/signature_format.h", "update/update_keys.h"]
RULES = ["update/fingerprint.h", "update/manifest_reader.h"] + SIGNING
LADDER = [
    ("base/", ["base/"]),
    ("app/bootstrap_state.", [STATE]),
    ("net/", ["net/", "base/"]),
    ("archive/", ["archive/", "base/"]),
    ("update/signature_format.", SIGNING),
    ("update/update_keys.", SIGNING),
    ("update/cng_crypto.", ["update/cng_crypto.h"] + SIGNING + ["base/"]),
    ("update/fingerprint.", RULES + [STATE, "base/"]),
    ("update/manifest_reader.", RULES + [STATE, "base/"]),
    ("update/", ["update/", "net/", "archive/", STATE, "base/"]),
    ("launch/", ["launch/", STATE, "base/"]),
    ("app/", ["app/", "update/", "launch/", "base/", "resources/"]),
    ("tools/velmorandix-manifest/", ["tools/velmorandix-manifest/", "update/cng_crypto.h"] + RULES
     + ["net/http_headers.h", "net/http_sink.h", "archive/", "base/"]),
]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def allowed(name, prefixes):
    return any(name == p or (p.endswith("/") and name.startswith(p)) for p in prefixes)


def main():
    root = pathlib.Path(sys.argv[1])
    faults = 0
    for path in sorted(root.rglob("*")):
        rel = path.relative_to(root).as_posix()
        if path.suffix not in (".h", ".c", ".cpp") or rel.startswith(("build/", "tests/")):
            continue
        rule = next((r for r in LADDER if rel.startswith(r[0])), None)
        if rule is None:
            continue
        for name in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if "/" in name and not allowed(name, rule[1]):
                print(f"{rel}: includes {name}, which is not below it")
                faults += 1
    print(f"{faults} include(s) against the ladder")
    if len(sys.argv) > 2:
        faults += repeated_libraries(pathlib.Path(sys.argv[2]) / "build.ninja")
    return 1 if faults else 0


def repeated_libraries(ninja):
    """Counts the link lines in `ninja` that name a library twice."""
    faults = 0
    program = None
    for line in ninja.read_text(encoding="utf-8").splitlines():
        if line.startswith("build ") and "_EXECUTABLE_LINKER" in line:
            program = line.split()[1].rstrip(":")
        elif program and line.startswith("  LINK_LIBRARIES = "):
            libraries = line.split("=", 1)[1].split()
            twice = sorted({name for name in libraries if libraries.count(name) > 1})
            if twice:
                print(f"{program}: links {' '.join(twice)} more than once")
                faults += 1
        elif not line.startswith("  "):
            program = None
    print(f"{faults} link line(s) naming a library twice")
    return faults


if __name__ == "__main__":
    sys.exit(main())

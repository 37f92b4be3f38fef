#!/usr/bin/env python3
"""Writes the scripted server's routes for check_site_test.cpp.

    make_check_site_script.py TOOL KEY.pem WORK OUT.json

Publishes a small release with TOOL (the native velmorandix-manifest),
signed with KEY.pem and serial 5, into WORK/site, and serves it under
/good/; every other prefix serves the same site with one fault (the rows of
check_site_test.cpp).
"""
import json
import os
import random
import shutil
import subprocess
import sys

MANIFEST = '/updater?system=win64'
SIGNATURE = '/updater.sig?system=win64'
JAR = '/Velmorandix.jar'
ZIP64 = '/bootstrap/java64.zip'
ZIP32 = '/bootstrap/java32.zip'


def publish(tool, key, work):
    runtime = os.path.join(work, 'runtime')
    shutil.rmtree(work, ignore_errors=True)
    rng = random.Random(19)
    files = {'bin/java.exe': b'MZ stand-in', 'conf/\u041f\u0440\u0438\u0432\u0435\u0442.properties': b'a=1\n',
             'lib/modules': rng.randbytes(65536),
             # Sorted last, so that its data ends the zip's items.
             'release': b''.join(b'JAVA_VERSION="17.0.%d"\n' % i for i in range(200))}
    for name, data in files.items():
        path = os.path.join(runtime, *name.split('/'))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(data)
    jar = os.path.join(work, 'launcher.jar')
    with open(jar, 'wb') as f:
        f.write(rng.randbytes(3000))
    site = os.path.join(work, 'site')
    subprocess.run([tool, 'publish', '--launcher', jar, '--java-dir', runtime,
                    '--java-path', '%java%\\bin\\java.exe', '--run-args', '-jar %launcher%',
                    '--serial', '5', '--sign', key, '-o', site], check=True,
                   stdout=subprocess.DEVNULL)
    layout = {MANIFEST: 'updater/win64.json', SIGNATURE: 'updater/win64.json.sig',
              JAR: 'Velmorandix.jar', ZIP64: 'bootstrap/java64.zip', ZIP32: 'bootstrap/java32.zip'}
    out = {}
    for target, rel in layout.items():
        with open(os.path.join(site, *rel.split('/')), 'rb') as f:
            out[target] = f.read()
    return out


def damage_last_item(archive):
    """Flips a byte in the middle of the last local item's data."""
    at = last = 0
    while archive[at:at + 4] == b'PK\x03\x04':
        size = int.from_bytes(archive[at + 18:at + 22], 'little')
        name = int.from_bytes(archive[at + 26:at + 28], 'little')
        extra = int.from_bytes(archive[at + 28:at + 30], 'little')
        last = at + 30 + name + extra + size // 2
        at += 30 + name + extra + size
    return archive[:last] + bytes([archive[last] ^ 0x5A]) + archive[last + 1:]


def routes(prefix, files, resume=True):
    out = {}
    for target, data in files.items():
        if data is None:
            continue
        reply = {'body_hex': data.hex()}
        if target == MANIFEST:
            reply['headers'] = [['Content-Type', 'application/json; charset=utf-8']]
        elif resume:
            reply.update(ranges=True, etag='"r5"', last_modified='Thu, 10 Dec 2026 00:00:00 GMT')
        out['/' + prefix + target] = reply
    return out


def main():
    tool, key, work, script = sys.argv[1:5]
    good = publish(tool, key, work)
    manifest = json.loads(good[MANIFEST])
    incomplete = dict(manifest)
    del incomplete['run_args']
    other = json.loads(good[MANIFEST])
    other['java']['size'] += 1
    damaged = damage_last_item(good[ZIP64])
    faults = {
        'good': {},
        'manifest_missing': {MANIFEST: None},
        'manifest_html': {MANIFEST: b'<html><body>Not here</body></html>'},
        'manifest_incomplete': {MANIFEST: json.dumps(incomplete).encode()},
        'jar_missing': {JAR: None},
        'jar_changed': {JAR: good[JAR][:100] + bytes([good[JAR][100] ^ 1]) + good[JAR][101:]},
        'jar_long': {JAR: good[JAR] + b'<html>'},
        'zip_damaged': {ZIP64: damaged, ZIP32: damaged},
        'zip32_differs': {ZIP32: damaged},
        'runtime_other': {MANIFEST: json.dumps(other).encode()},
    }
    all_routes = {}
    for prefix, changes in faults.items():
        all_routes.update(routes(prefix, {**good, **changes}))
    all_routes.update(routes('no_resume', good, resume=False))
    with open(script, 'w', encoding='utf-8') as f:
        json.dump({'listeners': [{'name': 'https', 'tls': 'self-signed'}], 'routes': all_routes}, f)


if __name__ == '__main__':
    main()

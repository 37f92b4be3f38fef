#!/usr/bin/env python3
"""Writes the scripted server's routes for signed_fetch_test.cpp: manifests
signed with openssl by the test keys, and each way a signature can fail.

    make_signed_fetch_script.py KEYS_DIR OUT.json

Route /<name>/updater?system=win64 serves the manifest, and
/<name>/updater.sig?system=win64 its signature reply, if any.
"""
import base64
import json
import os
import subprocess
import sys

PIN = 'ab' * 32


def manifest(serial=7, pins=True, run_args='-jar "%launcher%"'):
    doc = {'launcher': {'hash': 'fa93ddb3', 'size': 3},
           'java': {'hash': '7132be8e', 'size': 7},
           'java_zip': {'hash': '0badc0de', 'size': 123},
           'java_path': '%java%\\bin\\javaw.exe', 'run_args': run_args}
    if serial is not None:
        doc['serial'] = serial
    if pins:
        doc['launcher']['sha256'] = PIN
        doc['java_zip']['sha256'] = PIN.upper()
    return json.dumps(doc, ensure_ascii=False).encode('utf-8')


def main():
    keys, out = sys.argv[1], sys.argv[2]

    def der(key, data):
        return subprocess.run(['openssl', 'dgst', '-sha256', '-sign', os.path.join(keys, key + '.pem')],
                              input=data, capture_output=True, check=True).stdout

    def sign(data, key='test_a'):
        return base64.b64encode(der(key, data)).decode('ascii')

    good = manifest()
    tampered = good.replace(b'"size": 7', b'"size": 8')
    cyrillic = manifest(run_args='-Dplayer=Игрок -jar "%launcher%"')
    # name: (manifest body, signature reply or None, extra manifest headers)
    cases = {
        'a7': (good, {'body': sign(good)}, []),
        'b7': (good, {'body': sign(good, 'test_b')}, []),
        'unsigned': (good, None, []),
        'garbage': (good, {'body': 'this is no signature'}, []),
        'oversized': (good, {'body': sign(good) + ' ' * 4096}, []),
        'truncated': (good, {'body': base64.b64encode(der('test_a', good)[:-1]).decode()}, []),
        'other_key': (good, {'body': sign(good, 'other')}, []),
        'tampered': (tampered, {'body': sign(good)}, []),
        'status500': (good, {'status': 500, 'body': sign(good)}, []),
        'serial3': (manifest(serial=3), {'body': sign(manifest(serial=3))}, []),
        'no_pins': (manifest(pins=False), {'body': sign(manifest(pins=False))}, []),
        'serial_text': (manifest(serial='7'), {'body': sign(manifest(serial='7'))}, []),
        'null': (b'null', {'body': sign(b'null')}, []),
        'null_unsigned': (b'null', None, []),
        'html': (b'<html></html>', {'body': sign(b'<html></html>')}, []),
        # No charset: unsigned mode would read the body in the ANSI code page.
        'cyrillic': (cyrillic, {'body': sign(cyrillic)}, [['Content-Type', 'application/json']]),
    }
    routes = {}
    for name, (body, signature, headers) in cases.items():
        routes['/%s/updater?system=win64' % name] = {'body_hex': body.hex(), 'headers': headers}
        if signature is not None:
            routes['/%s/updater.sig?system=win64' % name] = signature
    with open(out, 'w', encoding='utf-8') as f:
        json.dump({'listeners': [{'name': 'http'}], 'routes': routes}, f, indent=1,
                  ensure_ascii=False)


if __name__ == '__main__':
    main()

#!/usr/bin/env python3
"""Writes the scripted server's routes for signed_fetch_test.cpp: manifests
signed with openssl by the test keys, and each way a signature can fail.
/<name>/updater?system=win64 is the manifest, /<name>/updater.sig?... its
signature reply, if any.

    make_signed_fetch_script.py KEYS_DIR OUT.json
"""
import base64
import json
import os
import subprocess
import sys


def manifest(serial=7, pins=True, run_args='-jar "%launcher%"'):
    pin = {'sha256': 'ab' * 32} if pins else {}
    doc = {'serial': serial, 'launcher': dict(hash='fa93ddb3', size=3, **pin),
           'java': {'hash': '7132be8e', 'size': 7},
           'java_zip': dict(hash='0badc0de', size=123, **{k: v.upper() for k, v in pin.items()}),
           'java_path': '%java%\\bin\\javaw.exe', 'run_args': run_args}
    return json.dumps(doc, ensure_ascii=False).encode('utf-8')


def main():
    keys, out = sys.argv[1], sys.argv[2]

    def der(body, key='test_a'):
        return subprocess.run(['openssl', 'dgst', '-sha256', '-sign',
                               os.path.join(keys, key + '.pem')],
                              input=body, capture_output=True, check=True).stdout

    def signed(body, key='test_a', **reply):
        return body, dict(body=base64.b64encode(der(body, key)).decode(), **reply)

    good = manifest()
    cases = {
        'a7': signed(good),
        'b7': signed(good, 'test_b'),
        'unsigned': (good, None),
        'garbage': (good, {'body': 'this is no signature'}),
        'oversized': (good, {'body': signed(good)[1]['body'] + ' ' * 4096}),
        'truncated': (good, {'body': base64.b64encode(der(good)[:-1]).decode()}),
        'other_key': signed(good, 'other'),
        'tampered': (good.replace(b'"size": 7', b'"size": 8'), signed(good)[1]),
        'status500': signed(good, status=500),
        'serial3': signed(manifest(serial=3)),
        'no_pins': signed(manifest(pins=False)),
        'serial_text': signed(manifest(serial='7')),
        'null': signed(b'null'),
        'null_unsigned': (b'null', None),
        'html': signed(b'<html></html>'),
        'cyrillic': signed(manifest(run_args='-Dplayer=Игрок -jar "%launcher%"')),
    }
    routes = {}
    for name, (body, signature) in cases.items():
        # No charset: a reply read by its charset would give other texts.
        routes['/%s/updater?system=win64' % name] = {
            'body_hex': body.hex(), 'headers': [['Content-Type', 'application/json']]}
        if signature is not None:
            routes['/%s/updater.sig?system=win64' % name] = signature
    with open(out, 'w', encoding='utf-8') as f:
        json.dump({'listeners': [{'name': 'http'}], 'routes': routes}, f, indent=1)


if __name__ == '__main__':
    main()

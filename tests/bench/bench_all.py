#!/usr/bin/env python3
"""Runs every benchmark, each with its comparison measured in the same run,
and prints one table: measure, our figure, the reference figure, the ratio
(ours / reference, of the medians) and the target. scripts/bench.sh builds
the programs and calls this.

    bench_all.py --native build/native-release --windows build/windows
                 [--runs N] [--only NAME,NAME...] [--out DIR]

Figures are the best and the median of several runs: Google Benchmark
repetitions (interleaved, so that a busy machine weighs on both sides
alike) for the in-process native ones, N runs of each side, alternating,
for the programs under Wine and the tools they are held against. The raw
outputs go to --out (default build/bench).

Adding a benchmark: write a function taking the Context and returning
vxbench.Row objects (measure, our runs, the reference's runs from the same
run, the unit, the target for the ratio), usually by calling the driver's
measure() in tests/bench/, and add it to BENCHMARKS below.
"""
import argparse
import json
import os
import subprocess
import sys
import time

from vxbench import MIB, Row, table
import vxbench
from vxe2e import Session  # tests/e2e, on the path through vxbench
import http_download_bench
import sha256_bench
import update_roundtrip_bench
import zip_extract_bench

FRAME_MS = 30.0  # every screen is redrawn every 30 ms


class Context:
    def __init__(self, args, wine_env):
        self.native = os.path.abspath(args.native)
        self.windows = os.path.abspath(args.windows)
        self.runs = args.runs
        self.out = args.out
        self.wine_env = wine_env

    def native_exe(self, rel):
        return os.path.join(self.native, rel)

    def windows_exe(self, rel):
        return os.path.join(self.windows, rel)


def google_benchmark(ctx, exe, name):
    """Every benchmark of one Google Benchmark program, ctx.runs + 2
    repetitions interleaved: {benchmark name: [run entries]}."""
    out = os.path.join(ctx.out, name + '.json')
    with open(os.path.join(ctx.out, name + '.txt'), 'w') as console:
        subprocess.run([exe, '--benchmark_repetitions=%d' % (ctx.runs + 2),
                        '--benchmark_enable_random_interleaving=true',
                        '--benchmark_out=' + out, '--benchmark_out_format=json'],
                       check=True, stdout=console, stderr=subprocess.STDOUT, timeout=1800)
    with open(out) as f:
        entries = json.load(f)['benchmarks']
    runs = {}
    for e in entries:
        if e.get('run_type') == 'iteration':
            runs.setdefault(e['run_name'], []).append(e)
    return runs


def ms(entries):
    scale = {'ns': 1e-6, 'us': 1e-3, 'ms': 1.0, 's': 1e3}
    return [e['real_time'] * scale[e['time_unit']] for e in entries]


def us(entries):
    return [x * 1000 for x in ms(entries)]


def mb_per_s(entries):
    return [e['bytes_per_second'] / 1e6 for e in entries]


# -- the benchmarks ------------------------------------------------------------
def fingerprint(ctx):
    runs = google_benchmark(ctx, ctx.native_exe('tests/update/fingerprint_bench'),
                            'fingerprint_bench')
    return [
        Row('MurmurHash3, 64 MiB in memory', mb_per_s(runs['BM_Murmur3/67108864']),
            unit='MB/s', higher_is_better=True),
        Row('runtime folder check, 300 files / 250 MiB (page cache)',
            ms(runs['BM_RuntimeFolderCheck/real_time']),
            ms(runs['BM_PlainReadAndHash/real_time']), unit='ms', target='<= 1.2',
            reference_name='plain read-and-hash loop'),
    ]


def pattern(ctx):
    runs = google_benchmark(ctx, ctx.native_exe('tests/bench/pattern_bench'), 'pattern_bench')
    return [
        Row('pattern: 4 header values from 1 KiB of headers', us(runs['BM_HeaderValues']),
            unit='us'),
        Row('pattern: HTML tag search, 128 KiB body vs 64 KiB', us(runs['BM_HtmlScan/131072']),
            us(runs['BM_HtmlScan/65536']), unit='us', target='<= 3',
            reference_name='64 KiB'),
    ]


def launch_marker(ctx):
    runs = google_benchmark(ctx, ctx.native_exe('tests/launch/launch_marker_bench'),
                            'launch_marker_bench')
    return [
        Row('marker watch, 1 MiB of output in 1 KiB reads', ms(runs['BM_ScanInReads/1048576']),
            ms(runs['BM_RescanAllOutput/1048576']), unit='ms', target='<= 0.1',
            reference_name='rescan all output per read'),
        Row('marker watch, 16 MiB of output vs 1 MiB', ms(runs['BM_ScanInReads/16777216']),
            ms(runs['BM_ScanInReads/1048576']), unit='ms', target='<= 32',
            reference_name='1 MiB'),
    ]


def http_download(ctx):
    got = http_download_bench.measure(ctx.windows_exe('tests/bench/http_download_bench.exe'),
                                      ctx.runs, ctx.wine_env)
    client = {n: [s for s, _, _ in got[n]['client']] for n in got}
    bare = [s for s, _ in got[64]['bare']]
    large = [s for s, _ in got[64]['bare_large']]
    passes = (got[64]['client'][0][2], got[64]['bare'][0][1])
    growth = [g / MIB for _, g, _ in got[64]['client']]
    return [
        Row('HTTPS download 64 MiB under Wine (%d / %d read passes)' % passes, client[64], bare,
            target='<= 1.5', reference_name='bare WinHTTP loop'),
        Row('  bare WinHTTP loop in %d reads vs %d' % (got[64]['bare_large'][0][1], passes[1]),
            large, bare, reference_name='%d reads' % passes[1]),
        Row('HTTPS download 64 MiB, the same URL', client[64], got[64]['curl'],
            reference_name='curl'),
        Row('HTTPS download time, 64 MiB vs 32 MiB', client[64], client[32], target='<= 2.2',
            reference_name='32 MiB'),
        Row('download peak memory growth, 64 MiB body', growth, [64.0], unit='MiB',
            target='<= 3.5', reference_name='body'),
    ]


def zip_extract(ctx):
    got = zip_extract_bench.measure(ctx.windows_exe('tests/bench/zip_extract_bench.exe'),
                                    ctx.runs, ctx.wine_env)
    if not got['same']:
        raise RuntimeError('the front end and unzip unpacked different bytes')
    return [
        Row('zip extract, %.0f MB runtime archive' % (got['packed'] / 1e6), got['ours'],
            got['unzip'], target='<= 1.3', reference_name='unzip -q'),
    ]


def update_roundtrip(ctx):
    got = update_roundtrip_bench.measure(
        ctx.windows_exe('tests/bench/update_roundtrip_bench.exe'), ctx.runs, 150, ctx.wine_env,
        say=lambda text: print('   ' + text, flush=True))
    size = got['size'] / MIB
    phases = got['phases']
    return [
        Row('update round trip, %.0f MiB runtime archive' % size, [s for s, _ in got['ours']],
            [total for total, _, _ in got['pair']], target='<= 1.8',
            reference_name='curl + unzip -q'),
        Row('  its download alone (streamed to disk)', [float(phases['download'])],
            [curl for _, curl, _ in got['pair']], reference_name='curl'),
        Row('  its unpacking alone', [float(phases['unpack'])],
            [unzip for _, _, unzip in got['pair']], target='<= 1.5', reference_name='unzip -q'),
        Row('update round trip peak memory growth', [g / MIB for _, g in got['ours']],
            [g / MIB for g in got['current']], unit='MiB', target='<= +48',
            reference_name='an up-to-date run'),
        Row('runtime check peak memory growth, with one 130 MiB file',
            [g / MIB for g in got['check_large']], [g / MIB for g in got['check_small']],
            unit='MiB', target='<= +16', reference_name='small files only'),
        Row('signed update round trip (manifest, signature, pinned archive)', got['signed'],
            got['unsigned'], target='<= 1.15', reference_name='the same, unsigned'),
    ]


def update_resume(ctx):
    """What resumed downloads cost the server, from its request log."""
    got = update_roundtrip_bench.measure_resume(
        ctx.windows_exe('tests/bench/update_roundtrip_bench.exe'), ctx.runs, ctx.wine_env)
    size = got['size'] / MIB
    return [
        Row('resumed: sent for a %.0f MiB archive reset at 60 %%' % size,
            [b / MIB for b in got['reset']], [size], unit='MiB', target='<= +1',
            reference_name='the archive'),
        Row('resumed: the next start fetches after one killed at 60 %',
            [b / MIB for b in got['killed']], [size * 0.45], unit='MiB', target='<= +1',
            reference_name='45 % of the archive'),
    ]


def sha256(ctx):
    """SHA-256 through CNG over the whole body in memory, as a signed update
    checks a download, against sha256sum on the same 150 MB file."""
    got = sha256_bench.measure(ctx.windows_exe('tests/bench/sha256_bench.exe'), ctx.runs,
                               ctx.wine_env)
    return [Row('SHA-256 through CNG, 150 MB in memory', got['memory'], got['sha256sum'],
                unit='MB/s', target='>= 0.8', reference_name='sha256sum',
                higher_is_better=True)]


def splash_frame(ctx):
    """The slowest screen's repaint (compose and copy to the window), per
    run, against the 30 ms between repaints."""
    exe = ctx.windows_exe('tests/app/splash_frame_bench.exe')
    slowest = []
    for _ in range(ctx.runs):
        out = subprocess.run([vxbench.WINE_RUN, exe], env=ctx.wine_env, capture_output=True,
                             text=True, timeout=600, check=True).stdout
        paints = [float(l.split()[2]) for l in out.splitlines() if l.startswith('paint')]
        if not paints:
            raise RuntimeError('splash_frame_bench printed no paint times: %r' % out)
        slowest.append(max(paints))
    return [Row('splash repaint, slowest screen', slowest, [FRAME_MS], unit='ms',
                target='<= 0.5', reference_name='frame period')]


# name: as given to --only; function(ctx) -> rows.
BENCHMARKS = [
    ('fingerprint', fingerprint),
    ('pattern', pattern),
    ('launch_marker', launch_marker),
    ('http_download', http_download),
    ('zip_extract', zip_extract),
    ('update_roundtrip', update_roundtrip),
    ('update_resume', update_resume),
    ('sha256', sha256),
    ('splash_frame', splash_frame),
]


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--native', required=True, help='the native release build tree')
    ap.add_argument('--windows', required=True, help='the Windows build tree')
    ap.add_argument('--runs', type=int, default=3)
    ap.add_argument('--only', default='')
    ap.add_argument('--out', default=os.path.join(vxbench.ROOT, 'build', 'bench'))
    args = ap.parse_args()
    wanted = args.only.split(',') if args.only else [name for name, _ in BENCHMARKS]
    unknown = set(wanted) - {name for name, _ in BENCHMARKS}
    if unknown:
        ap.error('no benchmark named %s' % ', '.join(sorted(unknown)))
    os.makedirs(args.out, exist_ok=True)
    for name in ('http_proxy', 'https_proxy', 'HTTP_PROXY', 'HTTPS_PROXY', 'all_proxy'):
        os.environ.pop(name, None)

    rows, failed = [], []
    # One prefix (a clone of the build tree's template) whose wineserver and
    # services stay up for the whole run, in a private X server: no timed
    # program pays for Wine's start-up, and no service inherits a driver's pipe.
    with Session(prefix=os.path.join(os.path.abspath(args.windows), 'wineprefix-bench')) as wine:
        ctx = Context(args, wine.env)
        for name, function in BENCHMARKS:
            if name not in wanted:
                continue
            print('== %s' % name, flush=True)
            t0 = time.time()
            try:
                got = function(ctx)
            except (RuntimeError, OSError, KeyError, subprocess.SubprocessError) as e:
                print('   failed: %s: %s' % (type(e).__name__, e), flush=True)
                failed.append(name)
                continue
            for row in got:
                print('   ' + ' | '.join(row.cells()), flush=True)
            rows += got
            print('   (%.0f s)' % (time.time() - t0), flush=True)
    text = table(rows)
    with open(os.path.join(args.out, 'table.md'), 'w') as f:
        f.write(text + '\n')
    print()
    print(text)
    print('\nbest / median of %d runs (Google Benchmark: %d repetitions); ratio of the medians; '
          'raw outputs in %s' % (args.runs, args.runs + 2, args.out))
    if failed:
        print('FAILED: %s' % ', '.join(failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())

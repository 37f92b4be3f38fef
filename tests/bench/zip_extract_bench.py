#!/usr/bin/env python3
"""Times the zip front end under Wine against Linux `unzip -q` on the same
runtime-sized archive, in the same run, and reports peak memory.

    tests/bench/zip_extract_bench.py build/<dir>/tests/bench/zip_extract_bench.exe [--runs N]

The archive is a Java runtime folder from /usr/lib/jvm zipped by Info-ZIP
at level 6 (or a synthetic mix when there is none), kept next to the
program between runs. A second, small archive shows that peak memory does
not grow with item size. The two tools alternate, N runs each; the target
is at most 1.3 times unzip's time. Standard library only.
scripts/bench.sh puts the same figures in its table (measure()).
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

import vxbench
from vxbench import WINE_RUN, wine_path


def find_runtime():
    base = "/usr/lib/jvm"
    if not os.path.isdir(base):
        return None
    for name in sorted(os.listdir(base)):
        path = os.path.join(base, name)
        if os.path.isdir(path) and not os.path.islink(path) and \
                os.path.isfile(os.path.join(path, "bin", "java")):
            return path
    return None


def synthetic_tree(folder):
    rnd = random.Random(5)
    for d in range(20):
        sub = os.path.join(folder, "lib", "mod%02d" % d)
        os.makedirs(sub, exist_ok=True)
        for f in range(15):
            size = rnd.choice([300, 4000, 60000, 900000])
            words = [b"class", b"method", b"field", b"java", b"runtime", b"%08x" % rnd.getrandbits(32)]
            data = b" ".join(rnd.choice(words) for _ in range(size // 6))
            with open(os.path.join(sub, "f%02d.bin" % f), "wb") as fh:
                fh.write(data[:size])
    with open(os.path.join(folder, "lib", "modules"), "wb") as fh:
        fh.write(os.urandom(40 << 20) + bytes(60 << 20))


def build_archive(work, name, source_parent, source_name):
    target = os.path.join(work, name)
    if not os.path.exists(target):
        subprocess.run(["zip", "-q", "-r", "-6", target, source_name], cwd=source_parent, check=True)
    return target


def timed(cmd, env=None):
    start = time.monotonic()
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env)
    return time.monotonic() - start, out.stdout


def tree_bytes(folder):
    total = 0
    for d, _, files in os.walk(folder):
        for f in files:
            p = os.path.join(d, f)
            if not os.path.islink(p):
                total += os.path.getsize(p)
    return total


def measure(exe, runs, env=None):
    """Both tools on the same archive, alternating: {"unzip": [s], "ours":
    [s inside the program], "ours_wall": [s with Wine's start], "vx_line",
    "mem_line", "small_mem_line", "same", "label", "packed", "unpacked"}."""
    exe = os.path.abspath(exe)
    work = os.path.join(os.path.dirname(exe), "zip_bench_work")
    os.makedirs(work, exist_ok=True)

    runtime = find_runtime()
    if runtime:
        big = build_archive(work, "runtime.zip", os.path.dirname(runtime), os.path.basename(runtime))
        label = runtime
    else:
        synth = os.path.join(work, "synthetic")
        if not os.path.isdir(synth):
            synthetic_tree(synth)
        big = build_archive(work, "runtime.zip", work, "synthetic")
        label = "synthetic mix"
    small_src = os.path.join(work, "small")
    if not os.path.isdir(small_src):
        os.makedirs(small_src)
        with open(os.path.join(small_src, "a.txt"), "w") as fh:
            fh.write("small item\n" * 100)
    small = build_archive(work, "small.zip", work, "small")

    out_unzip = os.path.join(work, "out_unzip")
    out_vx = os.path.join(work, "out_vx")
    # Start the Wine prefix once so that its start-up is not timed.
    subprocess.run([WINE_RUN, exe], capture_output=True, env=env)

    got = {"unzip": [], "ours": [], "ours_wall": [], "label": label,
           "packed": os.path.getsize(big)}
    best = None
    for _ in range(runs):
        shutil.rmtree(out_unzip, ignore_errors=True)
        t, _ = timed(["unzip", "-q", "-o", big, "-d", out_unzip])
        got["unzip"].append(t)

        shutil.rmtree(out_vx, ignore_errors=True)
        wall, stdout = timed([WINE_RUN, exe, wine_path(big), wine_path(out_vx)], env=env)
        lines = stdout.strip().splitlines()
        inner = float(lines[0].split()[-1])
        got["ours"].append(inner)
        got["ours_wall"].append(wall)
        if best is None or inner < best:
            best, got["vx_line"], got["mem_line"] = inner, lines[0], lines[1]

    shutil.rmtree(os.path.join(work, "out_small"), ignore_errors=True)
    _, small_out = timed([WINE_RUN, exe, wine_path(small), wine_path(os.path.join(work, "out_small"))],
                         env=env)
    got["small_mem_line"] = small_out.strip().splitlines()[1]
    got["unpacked"] = tree_bytes(out_vx)
    got["same"] = got["unpacked"] == tree_bytes(out_unzip)
    shutil.rmtree(out_unzip, ignore_errors=True)
    shutil.rmtree(out_vx, ignore_errors=True)
    return got


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("exe")
    ap.add_argument("--runs", type=int, default=2)
    args = ap.parse_args()
    got = measure(args.exe, args.runs, vxbench.standalone_env(args.exe))
    best_unzip, best_vx, best_vx_wall = min(got["unzip"]), min(got["ours"]), min(got["ours_wall"])
    print("archive: runtime.zip from %s, %.1f MB packed, %.1f MB unpacked" %
          (got["label"], got["packed"] / 1e6, got["unpacked"] / 1e6))
    print("unzip -q: best %.2f s, median %.2f s (%d runs)" %
          (best_unzip, statistics.median(got["unzip"]), args.runs))
    print("front end under Wine: %.2f s inside the program (median %.2f s), %.2f s with Wine's "
          "start (best of %d)" % (best_vx, statistics.median(got["ours"]), best_vx_wall, args.runs))
    print("  %s" % got["vx_line"])
    print("ratio: %.2f inside, %.2f with Wine's start (target <= 1.3)" %
          (best_vx / best_unzip, best_vx_wall / best_unzip))
    print("memory, runtime archive: %s" % got["mem_line"])
    print("memory, one small item:  %s" % got["small_mem_line"])
    print("same bytes unpacked as unzip: %s" % got["same"])
    return 0 if got["same"] else 1


if __name__ == "__main__":
    sys.exit(main())

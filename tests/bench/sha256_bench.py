#!/usr/bin/env python3
"""Times SHA-256 through CNG under Wine against Linux `sha256sum` on the same
150 MB archive-sized file, in the same run.

    tests/bench/sha256_bench.py build/<dir>/tests/bench/sha256_bench.exe [--runs N]

The file is pseudo-random bytes made once and kept next to the program. The
two sides alternate, N runs each; the CNG side times the hash alone, in
memory as a download is checked, and then streamed from the file. The
target is at least 0.8 times sha256sum's throughput. Standard library only.
scripts/bench.sh puts the same figures in its table (measure()).
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
import time

import vxbench
from vxbench import WINE_RUN, wine_path

SIZE = 150 * 1000 * 1000


def make_file(path):
    if os.path.isfile(path) and os.path.getsize(path) == SIZE:
        return
    rnd = random.Random(13)
    with open(path, "wb") as out:
        left = SIZE
        while left:
            chunk = min(left, 1 << 20)
            out.write(rnd.randbytes(chunk))
            left -= chunk


def measure(exe, runs, env):
    """MB/s of each run, alternating: {"sha256sum": [...], "memory": [CNG on
    the body in memory], "file": [CNG streaming the file]}. Raises
    RuntimeError when the digests differ."""
    data = os.path.join(os.path.dirname(os.path.abspath(exe)), "sha256_bench.bin")
    make_file(data)
    mb = SIZE / 1e6
    got = {"sha256sum": [], "memory": [], "file": []}
    for _ in range(runs):
        start = time.perf_counter()
        expected = subprocess.run(["sha256sum", data], check=True, capture_output=True,
                                  text=True, timeout=600).stdout.split()[0]
        got["sha256sum"].append(mb / (time.perf_counter() - start))
        out = subprocess.run([WINE_RUN, exe, wine_path(data), "1"], env=env, capture_output=True,
                             text=True, timeout=600, check=True).stdout
        values = dict(line.split() for line in out.splitlines() if line.strip())
        if values.get("digest") != expected:
            raise RuntimeError("digest mismatch: CNG %s, sha256sum %s"
                               % (values.get("digest"), expected))
        got["memory"].append(mb / float(values["memory_seconds"]))
        got["file"].append(mb / float(values["file_seconds"]))
    return got


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    try:
        got = measure(args.program, args.runs, vxbench.standalone_env(args.program))
    except RuntimeError as e:
        print(e)
        return 1
    rate_sum = statistics.median(got["sha256sum"])
    for name, key in (("sha256sum", "sha256sum"), ("CNG, in memory", "memory"),
                      ("CNG, file in parts", "file")):
        rate = statistics.median(got[key])
        print("%-19s best %.0f MB/s, median %.0f MB/s  (%.2fx sha256sum)"
              % (name + ":", max(got[key]), rate, rate / rate_sum))
    print("target: at least 0.8x sha256sum in memory: %s" %
          ("met" if statistics.median(got["memory"]) >= 0.8 * rate_sum else "NOT met"))
    return 0


if __name__ == "__main__":
    sys.exit(main())

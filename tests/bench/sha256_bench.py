#!/usr/bin/env python3
"""Times SHA-256 through CNG under Wine against Linux `sha256sum` on the same
150 MB archive-sized file, in the same run.

    tests/bench/sha256_bench.py build/<dir>/tests/bench/sha256_bench.exe [--runs N]

The file is pseudo-random bytes made once and kept next to the program. Each
side's best of N counts (the CNG side times the hash alone, in memory as a
download is checked and streamed from the file). The target is at least 0.8
times sha256sum's throughput. Standard library only.
"""
import argparse
import os
import random
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run.sh")
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    data = os.path.join(os.path.dirname(os.path.abspath(args.program)), "sha256_bench.bin")
    make_file(data)

    best_sum = None
    expected = None
    for _ in range(args.runs):
        start = time.perf_counter()
        out = subprocess.run(["sha256sum", data], check=True, capture_output=True, text=True).stdout
        elapsed = time.perf_counter() - start
        best_sum = elapsed if best_sum is None else min(best_sum, elapsed)
        expected = out.split()[0]

    result_path = data + ".result"
    with open(result_path, "w") as result:
        subprocess.run([WINE_RUN, args.program, "Z:" + data.replace("/", "\\"), str(args.runs)],
                       check=True, stdout=result)
    values = dict(line.split() for line in open(result_path) if line.strip())
    if values["digest"] != expected:
        print("digest mismatch: CNG %s, sha256sum %s" % (values["digest"], expected))
        return 1
    mb = SIZE / 1e6
    rate_sum = mb / best_sum
    rate_memory = mb / float(values["memory_seconds"])
    rate_file = mb / float(values["file_seconds"])
    print("sha256sum:          %.3f s  %.0f MB/s" % (best_sum, rate_sum))
    print("CNG, in memory:     %.3f s  %.0f MB/s  (%.2fx sha256sum)" %
          (float(values["memory_seconds"]), rate_memory, rate_memory / rate_sum))
    print("CNG, file in parts: %.3f s  %.0f MB/s  (%.2fx sha256sum)" %
          (float(values["file_seconds"]), rate_file, rate_file / rate_sum))
    print("target: at least 0.8x sha256sum in memory: %s" %
          ("met" if rate_memory >= 0.8 * rate_sum else "NOT met"))
    return 0


if __name__ == "__main__":
    sys.exit(main())

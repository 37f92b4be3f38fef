#!/usr/bin/env python3
"""HTTP download benchmark: HttpClient under Wine against a bare WinHTTP
read loop and curl, over HTTPS.

    tests/bench/http_download_bench.py BUILD/tests/bench/http_download_bench.exe [--runs N]

Serves 32 MiB and 64 MiB bodies (text without zero bytes, so the client's
wide-text decode covers the whole body: its worst case) from the loopback
test server over HTTPS, downloads each N times in a fresh process with the
client and with WinHTTP alone (http_download_bench.exe --bare), and N times
with curl, and prints the best and median times, throughput and peak
private memory per size and the 64/32 time ratio. Targets: peak private
memory at most 3.5 x the body; 64 MiB at most 2.2 x the time of 32 MiB.
scripts/bench.sh puts the same figures in its table (measure()).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

import vxbench
from vxbench import MIB, ROOT, WINE_RUN

sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from run_with_server import start_server, stop  # noqa: E402

LARGE_READ = 256 * 1024


def curl_seconds(url):
    return float(subprocess.run(["curl", "-sk", "-o", os.devnull, "-w", "%{time_total}", url],
                                capture_output=True, text=True, timeout=300).stdout)


def measure(exe, runs, env, charset=""):
    """{size in MiB: {"client": [(seconds, peak growth, passes)], "bare": [(seconds,
    passes)], "bare_large": [(seconds, passes)], "curl": [seconds]}}; they alternate
    run by run, each download in a fresh process. "bare_large" reads 256 KiB a pass."""
    work = tempfile.mkdtemp(prefix="vx-http-bench-")
    script = {
        "listeners": [{"name": "https", "tls": "self-signed"}],
        "routes": {f"/{n}{cs}": {"body_fill": {"text": "velmorandix-", "count": n * MIB}, "chunk_size": MIB,
                                 "headers": [["Content-Type", "text/plain; charset=" + cs]] if cs else []}
                   for n in (32, 64) for cs in ("", "UTF-8")},
    }
    script_path = os.path.join(work, "script.json")
    with open(script_path, "w") as f:
        json.dump(script, f)
    server, ports, _ = start_server(script_path, work)
    try:
        results = {}
        for n in (32, 64):
            url = f"https://127.0.0.1:{ports['https']}/{n}{charset}"
            got = results[n] = {"client": [], "bare": [], "bare_large": [], "curl": []}

            def whole(m, out, what):
                if m.get("ok") != "1" or int(m["bytes"]) != n * MIB:
                    raise RuntimeError(f"{what} of {n} MiB failed: {out.strip()}")
                return float(m["seconds"]), int(m["passes"])

            for _ in range(runs):
                m, growth, out = vxbench.run_held([WINE_RUN, exe, url, "--hold"], env, timeout=60)
                seconds, passes = whole(m, out, "download")
                got["client"].append((seconds, growth, passes))
                for key, extra in (("bare", []), ("bare_large", [str(LARGE_READ)])):
                    got[key].append(whole(*vxbench.run([WINE_RUN, exe, url, "--bare"] + extra, env),
                                          "bare download"))
                got["curl"].append(curl_seconds(url))
        return results
    finally:
        stop(server, "test server")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("exe")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--charset", default="", help='"UTF-8": decode as UTF-8 instead of the ANSI code page')
    args = ap.parse_args()
    try:
        results = measure(args.exe, args.runs, vxbench.standalone_env(args.exe), args.charset)
    except RuntimeError as e:
        print(e, file=sys.stderr)
        return 1
    for n, got in results.items():
        body = n * MIB
        seconds, peak, passes = min(got["client"])
        median = statistics.median(s for s, _, _ in got["client"])
        bare = min(s for s, _ in got["bare"])
        curl = min(got["curl"])
        print(f"{n} MiB: client best {seconds:.3f} s, median {median:.3f} s "
              f"({body / MIB / seconds:.1f} MiB/s, {passes} read passes), "
              f"peak memory growth {peak / MIB:.1f} MiB = {peak / body:.2f} x body; "
              f"bare WinHTTP {bare:.3f} s ({got['bare'][0][1]} passes); curl {curl:.3f} s; "
              f"client/bare {seconds / bare:.2f}, client/curl {seconds / curl:.2f}")
    ratio = min(results[64]["client"])[0] / min(results[32]["client"])[0]
    print(f"time 64 MiB / 32 MiB: {ratio:.2f} (target <= 2.2)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Runtime update round trip under Wine against curl + unzip, over HTTPS.

    tests/bench/update_roundtrip_bench.py BUILD/tests/bench/update_roundtrip_bench.exe
                                          [--runs N] [--size-mb 150]

Builds (once, cached beside the program) a runtime-like zip of about 150 MB:
many small and mid-sized files, part incompressible and part compressible,
in nested folders. Serves it from a loopback HTTPS server of this script,
then times, N times each and alternating, (a) run_update with java_outdated
set in a fresh process (the download streamed into its partial on disk,
unpacked, the partial deleted; timed inside the process, Wine's start-up
excluded) and (b) curl fetching the same URL to a file followed by
"unzip -q" into an empty folder. Both unpack into empty folders on the same
disk. Prints the best and median times and their ratio (target: at most
1.8).

Memory: the round trip's peak growth against an up-to-date run's (checking
the runtime it installed: sizes, then every file's fingerprint); target at
most 48 MiB above it. And checking a runtime that holds a 130 MiB file
against checking a small one: at most 16 MiB above it.

In the same run it times whole update round trips as the program makes
them, the manifest request included: unsigned, and signed (the manifest's
signature made with openssl by test key A and checked through CNG, the
stored serial, the archive checked against its SHA-256 pin). Target: the
signed one at most 1.15 times the unsigned one.

Resumed downloads (measure_resume): against the scripted test server, the
bytes it sends for a 24 MiB archive whose connection is reset at 60 % (the
client continues in the same request; target: at most the archive + 1 MiB),
and the bytes the next start fetches after a start killed at 60 % (target:
at most 45 % of the archive + 1 MiB). scripts/bench.sh puts the same
figures in its table (measure(), measure_resume()).
"""

import argparse
import hashlib
import http.server
import json
import os
import random
import shutil
import ssl
import statistics
import subprocess
import sys
import threading
import time
import zipfile

import vxbench
from vxbench import MIB, ROOT, WINE_RUN, wine_path
import vxservers  # tests/e2e (on the path through vxbench): the signer and request targets
from vxservers import MANIFEST_TARGET, SIGNATURE_TARGET, ZIP64_TARGET

sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import test_server  # noqa: E402  (its certificate maker)
from run_with_server import start_server, stop  # noqa: E402

TEST_KEY = os.path.join(ROOT, "tests", "update", "keys", "test_a.pem")


def signed_manifest(archive):
    """A manifest that pins the archive, and its signature by test key A."""
    digest = hashlib.sha256()
    with open(archive, "rb") as f:
        for chunk in iter(lambda: f.read(MIB), b""):
            digest.update(chunk)
    manifest = json.dumps({
        "serial": 1,
        "launcher": {"hash": "00000000", "size": 1, "sha256": "00" * 32},
        "java": {"hash": "00000000", "size": 1},
        "java_zip": {"hash": "00000000", "size": os.path.getsize(archive),
                     "sha256": digest.hexdigest()},
        "java_path": "%java%\\bin\\java.exe", "run_args": "-jar %launcher%"}).encode()
    return manifest, vxservers.sign(manifest, TEST_KEY)


def make_archive(path, size_mb):
    """A runtime-shaped zip of roughly size_mb compressed megabytes."""
    rng = random.Random(150)
    low_entropy = bytes((b & 0x0F) + 0x40 for b in range(256))  # 4 bits a byte
    target = size_mb * MIB
    tmp = path + ".tmp"
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        n = 0
        while os.path.getsize(tmp) < target:
            n += 1
            folder = "lib/%s/%s" % (rng.choice(["core", "desktop", "net", "security", "fonts"]),
                                    rng.choice(["a", "b", "c", "d"]))
            size = int(rng.choice([2, 8, 30, 120, 400, 1500]) * 1024 * rng.uniform(0.5, 1.5))
            data = rng.randbytes(size)
            if n % 3:  # two thirds compress about two to one, like class files
                data = data.translate(low_entropy)
            z.writestr("%s/file%05d.bin" % (folder, n), data)
        z.writestr("bin/java.exe", rng.randbytes(200 * 1024))
        z.writestr("release", b'JAVA_VERSION="17.0.9"\n')
    os.replace(tmp, path)


class FileHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        small = self.server.small.get(self.path)
        if small is not None:
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(small)))
            self.end_headers()
            self.wfile.write(small)
            return
        if self.path != ZIP64_TARGET:
            self.send_error(404)
            return
        size = os.path.getsize(self.server.archive)
        self.send_response(200)
        self.send_header("Content-Length", str(size))
        self.end_headers()
        with open(self.server.archive, "rb") as f:
            while True:
                chunk = f.read(MIB)
                if not chunk:
                    break
                try:
                    self.wfile.write(chunk)
                except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
                    return


class TlsServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, archive, context):
        self.archive = archive
        manifest, signature = signed_manifest(archive)
        self.small = {MANIFEST_TARGET: manifest, SIGNATURE_TARGET: signature}
        self.context = context
        super().__init__(("127.0.0.1", 0), FileHandler)

    def get_request(self):
        sock, address = super().get_request()
        if self.context is None:
            return sock, address
        return self.context.wrap_socket(sock, server_side=True), address


def empty(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return folder


def check_runtime(exe, java_dir, env):
    """An up-to-date start's check of the runtime folder, held: (figures,
    peak memory growth, output)."""
    return vxbench.run_held([WINE_RUN, exe, "-", wine_path(java_dir), "0", "--hold", "--check"],
                            env)


def check_folders(data_dir):
    """Two runtime folders made once: a few small files, and the same with
    one 130 MiB file besides."""
    small = os.path.join(data_dir, "check-small")
    large = os.path.join(data_dir, "check-large")
    if not os.path.exists(os.path.join(large, "lib", "modules")):
        rng = random.Random(130)
        for folder in (small, large):
            shutil.rmtree(folder, ignore_errors=True)
            for n in range(20):
                path = os.path.join(folder, "lib", "part%02d.bin" % n)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as f:
                    f.write(rng.randbytes(40 * 1024))
        with open(os.path.join(large, "lib", "modules.tmp"), "wb") as f:
            for _ in range(130):
                f.write(rng.randbytes(MIB))
        os.replace(os.path.join(large, "lib", "modules.tmp"), os.path.join(large, "lib", "modules"))
    return small, large


def product_round_trip(exe, base, java_dir, zip_size, env, manifest=None):
    """manifest: None (run_update alone), "unsigned" or "signed" (the
    manifest request first)."""
    extra = ["--manifest=" + manifest] if manifest else []
    return vxbench.run_held([WINE_RUN, exe, base, wine_path(empty(java_dir)), str(zip_size),
                             "--hold"] + extra, env)


def curl_unzip(url, folder):
    archive = os.path.join(empty(folder), "tempfile.zip")
    start = time.monotonic()
    subprocess.run(["curl", "-sk", "-o", archive, url], check=True)
    fetched = time.monotonic()
    subprocess.run(["unzip", "-q", "-o", archive, "-d", folder], check=True)
    done = time.monotonic()
    os.remove(archive)
    return done - start, fetched - start, done - fetched


def measure(exe, runs, size_mb, env, plain_http=False, say=print):
    """{"ours": [(seconds, peak growth)], "pair": [(curl + unzip, curl, unzip)],
    "unsigned": [seconds], "signed": [seconds], "size", "files", "unpacked",
    "phases"}; the sides alternate ("unsigned" and "signed": whole round trips
    with the manifest request)."""
    data_dir = os.path.join(os.path.dirname(os.path.abspath(exe)), "update-bench-data")
    os.makedirs(data_dir, exist_ok=True)
    archive = os.path.join(data_dir, "java64-%d.zip" % size_mb)
    if not os.path.exists(archive):
        say("making the %d MB archive..." % size_mb)
        make_archive(archive, size_mb)
    size = os.path.getsize(archive)
    with zipfile.ZipFile(archive) as z:
        infos = z.infolist()
        unpacked = sum(i.file_size for i in infos)
    got = {"ours": [], "pair": [], "unsigned": [], "signed": [], "current": [],
           "check_small": [], "check_large": [], "size": size, "files": len(infos),
           "unpacked": unpacked}
    small, large = check_folders(data_dir)

    cert, key = test_server.make_certificate(data_dir, "self-signed")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server = TlsServer(archive, None if plain_http else context)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
    thread.start()
    base = "%s://127.0.0.1:%d" % ("http" if plain_http else "https", server.server_address[1])
    work = os.path.join(data_dir, "work")
    java = os.path.join(work, "java")
    try:
        for _ in range(runs):
            m, growth, out = product_round_trip(exe, base, java, size, env)
            if m.get("ok") != "1" or int(m.get("files", 0)) != len(infos) \
                    or int(m.get("bytes", 0)) != unpacked:
                raise RuntimeError("round trip failed: %s" % out.strip())
            got["ours"].append((float(m["seconds"]), growth))
            m, growth, out = check_runtime(exe, java, env)
            if m.get("ok") != "1":
                raise RuntimeError("the installed runtime did not check: %s" % out.strip())
            got["current"].append(growth)
            for name, folder in (("check_small", small), ("check_large", large)):
                m, growth, out = check_runtime(exe, folder, env)
                if m.get("ok") != "1":
                    raise RuntimeError("checking %s failed: %s" % (folder, out.strip()))
                got[name].append(growth)
            got["pair"].append(curl_unzip(base + ZIP64_TARGET, os.path.join(work, "curl")))
            for mode in ("unsigned", "signed"):
                m, _, out = product_round_trip(exe, base, java, size, env, mode)
                if m.get("ok") != "1" or int(m.get("files", 0)) != len(infos):
                    raise RuntimeError("%s round trip failed: %s" % (mode, out.strip()))
                got[mode].append(float(m["seconds"]))
            say("  run: with the manifest, unsigned %.2f s, signed %.2f s"
                % (got["unsigned"][-1], got["signed"][-1]))
            say("  run: run_update %.2f s, peak growth %.0f MiB; curl + unzip %.2f s "
                "(curl %.2f s, unzip %.2f s)" % ((got["ours"][-1][0], growth / MIB) + got["pair"][-1]))
        got["phases"] = vxbench.run([WINE_RUN, exe, base, wine_path(empty(java)), str(size),
                                     "--phases"], env)[0]
        return got
    finally:
        server.shutdown()
        server.server_close()
        shutil.rmtree(work, ignore_errors=True)


def archive_requests(log, prefix):
    """The first byte each request for prefix's archive asked for (None: the
    whole), from the test server's request log."""
    with open(log, encoding="utf-8") as f:
        entries = [json.loads(line) for line in f if line.strip()]
    asked = []
    for e in entries:
        if e.get("path") != prefix + ZIP64_TARGET:
            continue
        ranges = [v for k, v in e.get("headers", []) if k.lower() == "range"]
        asked.append(int(ranges[0][len("bytes="):-1]) if ranges else None)
    return asked


def measure_resume(exe, runs, env, size_mb=24):
    """{"size": archive bytes, "reset": [bytes the server sent for one
    install whose connection was reset at 60 %], "killed": [bytes the next
    start fetched after a start killed at 60 %]}, from the scripted test
    server's request log (what it sends follows from the Range asked for and
    where it was told to reset). The body is no zip: run_update then unpacks
    nothing and says nothing, which is all the same here."""
    size = size_mb * MIB
    cut = size * 6 // 10
    whole = {"body_fill": {"text": "velmorandix-archive-", "count": size}, "ranges": True,
             "etag": '"resume-bench"', "chunk_size": 262144}
    script = {"listeners": [{"name": "https", "tls": "self-signed"}], "routes": {
        "/reset" + ZIP64_TARGET: {"sequence": [dict(whole, reset_after=cut, end_delay_ms=300),
                                                whole]},
        "/killed" + ZIP64_TARGET: whole}}
    work = os.path.join(os.path.dirname(os.path.abspath(exe)), "update-bench-data", "resume")
    os.makedirs(work, exist_ok=True)
    script_path = os.path.join(work, "script.json")
    with open(script_path, "w") as f:
        json.dump(script, f)
    java = os.path.join(work, "install", "java")
    got = {"size": size, "reset": [], "killed": []}
    for _ in range(runs):
        server, ports, log = start_server(script_path, work, "resume-")
        try:
            base = "https://127.0.0.1:%d" % ports["https"]

            def update(prefix, *extra):
                return vxbench.run([WINE_RUN, exe, base + prefix, wine_path(java), str(size)]
                                   + list(extra), env)

            shutil.rmtree(os.path.dirname(java), ignore_errors=True)
            os.makedirs(java)
            m, out = update("/reset")
            asked = archive_requests(log, "/reset")
            if m.get("ok") != "1" or len(asked) != 2 or asked[1] is None:
                raise RuntimeError("the reset install failed (%r): %s" % (asked, out.strip()))
            got["reset"].append(cut + size - asked[1])
            update("/killed", "--kill-at=60")
            m, out = update("/killed")
            asked = archive_requests(log, "/killed")
            if m.get("ok") != "1" or len(asked) != 2 or asked[1] is None:
                raise RuntimeError("the killed start was not continued (%r): %s"
                                   % (asked, out.strip()))
            got["killed"].append(size - asked[1])
        finally:
            stop(server, "test server")
    shutil.rmtree(os.path.join(work, "install"), ignore_errors=True)
    return got


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("exe")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--size-mb", type=int, default=150)
    ap.add_argument("--plain-http", action="store_true",
                    help="serve over plain HTTP, to see what TLS costs")
    args = ap.parse_args()
    try:
        got = measure(args.exe, args.runs, args.size_mb, vxbench.standalone_env(args.exe),
                      args.plain_http)
    except RuntimeError as e:
        print(e, file=sys.stderr)
        return 1
    size = got["size"]
    print("archive: %.1f MiB, %d files, %.1f MiB unpacked" % (size / MIB, got["files"],
                                                             got["unpacked"] / MIB))
    phases = got["phases"]
    print("  run_update's steps alone: download (streamed to disk) %s s, unpack %s s"
          % (phases.get("download"), phases.get("unpack")))
    times = [s for s, _ in got["ours"]]
    pairs = [total for total, _, _ in got["pair"]]
    best, best_pair = min(times), min(pairs)
    print("run_update round trip: best %.2f s, median %.2f s (%.1f MiB/s of archive)"
          % (best, statistics.median(times), size / MIB / best))
    print("curl + unzip -q:       best %.2f s, median %.2f s" % (best_pair, statistics.median(pairs)))
    print("ratio %.2f (target <= 1.8)" % (best / best_pair))
    unsigned, signed = got["unsigned"], got["signed"]
    print("round trip with the manifest: unsigned best %.2f s, median %.2f s; signed best %.2f s, "
          "median %.2f s; ratio of the medians %.3f (target <= 1.15)"
          % (min(unsigned), statistics.median(unsigned), min(signed), statistics.median(signed),
             statistics.median(signed) / statistics.median(unsigned)))
    peak = max(g for _, g in got["ours"])
    print("peak memory growth: %.0f MiB, an up-to-date run's %.0f MiB (target: at most 48 MiB "
          "above)" % (peak / MIB, max(got["current"]) / MIB))
    print("checking a runtime with a 130 MiB file: %.0f MiB, a small one: %.0f MiB (target: at "
          "most 16 MiB above)" % (max(got["check_large"]) / MIB, max(got["check_small"]) / MIB))
    resumed = measure_resume(args.exe, args.runs, vxbench.standalone_env(args.exe))
    print("a %d MiB archive reset at 60 %%: %s bytes sent (target: at most the archive + 1 MiB)"
          % (resumed["size"] / MIB, resumed["reset"]))
    print("after a start killed at 60 %%: the next start fetched %s bytes (target: at most "
          "45 %% + 1 MiB = %d)" % (resumed["killed"], resumed["size"] * 45 // 100 + MIB))
    return 0


if __name__ == "__main__":
    sys.exit(main())

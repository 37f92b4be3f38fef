#!/usr/bin/env python3
"""End to end: the real bootstrapper, from an installed and current state, up
to a running launcher (stages 1 -> 2 -> 5) against the loopback test server.

    launch_e2e.py --exe Velmorandix.exe --standin standin_java.exe
                  --manifest-tool velmorandix-manifest.exe --wine-run wine-run.sh
                  --prefix WINEPREFIX --work-dir DIR [--primary-port 47443]

The program is built for the loopback update server https://127.0.0.1:47443;
the scripted test server listens on a free port, so a small relay of this
script's own takes the fixed port and passes every connection on to the test
server's self-signed HTTPS listener (the program does not verify
certificates unless built to). The install folder in the prefix's roaming
AppData is laid out as current for the manifest that the operator's manifest
tool writes, with the stand-in launcher as the runtime's java.exe.

Checks: exit code 0 within about 5 s of the marker, only the manifest was
requested (no download), the stand-in got the expected command line and
working directory, and it is still running after the bootstrapper has exited.
The stand-in and the test server are stopped by their PIDs and the relay is
closed afterwards. Everything listens on 127.0.0.1 only; every wait is
bounded. Run it under its own X server (scripts/with-xvfb.sh) and prefix.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
TEST_SERVER = os.path.join(REPO, "tests", "support", "test_server.py")
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
from vxservers import Relay  # noqa: E402
RUN_ARGS = "-jar %launcher% -u %updater_path%"
FILETIME_UNIX_EPOCH = 116444736000000000  # 1970-01-01 in 100 ns units since 1601

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_record(path):
    record = {}
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                if line.endswith("\n") and "=" in line:
                    key, value = line[:-1].split("=", 1)
                    record[key] = value
    except OSError:
        pass
    return record


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--exe", required=True)
    ap.add_argument("--standin", required=True)
    ap.add_argument("--manifest-tool", required=True)
    ap.add_argument("--wine-run", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--work-dir", required=True)
    ap.add_argument("--primary-port", type=int, default=47443)
    args = ap.parse_args()

    shutil.rmtree(args.work_dir, ignore_errors=True)
    os.makedirs(args.work_dir)
    env = dict(os.environ, WINEPREFIX=args.prefix)
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "no_proxy", "NO_PROXY"):
        env.pop(name, None)

    # The prefix's roaming AppData, as Windows and as this side see it.
    out = subprocess.run([args.wine_run, "cmd.exe", "/c", "echo", "%APPDATA%"], env=env,
                         capture_output=True, timeout=180, check=True).stdout
    appdata_win = out.decode("utf-8", "replace").strip().splitlines()[-1].strip()
    appdata = subprocess.run(["winepath", "-u", appdata_win], env=env, capture_output=True,
                             timeout=60, check=True).stdout.decode().strip()
    install = os.path.join(appdata, "Velmorandix", "bootstrap")
    java_dir = os.path.join(install, "java")
    install_win = appdata_win + "\\Velmorandix\\bootstrap"

    server = None
    relay = None
    standin_pid = None
    try:
        # An installed, current state.
        shutil.rmtree(os.path.join(appdata, "Velmorandix"), ignore_errors=True)
        os.makedirs(os.path.join(java_dir, "bin"))
        os.makedirs(os.path.join(java_dir, "lib"))
        with open(os.path.join(install, "launcher.jar"), "wb") as f:
            f.write(b"PK\x03\x04 launcher stand-in " * 200)
        shutil.copy(args.standin, os.path.join(java_dir, "bin", "java.exe"))
        with open(os.path.join(java_dir, "lib", "modules"), "wb") as f:
            f.write(bytes(range(256)) * 64)
        with open(os.path.join(java_dir, "release"), "w") as f:
            f.write('JAVA_VERSION="17.0.9"\n')
        java_zip = os.path.join(args.work_dir, "java64.zip")
        with zipfile.ZipFile(java_zip, "w", zipfile.ZIP_DEFLATED) as z:
            for root, _, files in os.walk(java_dir):
                for name in files:
                    full = os.path.join(root, name)
                    z.write(full, os.path.relpath(full, java_dir))

        manifest_path = os.path.join(args.work_dir, "manifest.json")
        tool = subprocess.run(
            [args.wine_run, args.manifest_tool, "--launcher", install_win + "\\launcher.jar",
             "--java-dir", install_win + "\\java", "--java-zip", windows_path(java_zip),
             "--java-path", "%java%\\bin\\java.exe", "--run-args", RUN_ARGS,
             "-o", windows_path(manifest_path)],
            env=env, capture_output=True, timeout=120)
        check(tool.returncode == 0, "manifest tool wrote the manifest")
        if tool.returncode != 0:
            print(tool.stderr.decode("utf-8", "replace"))
            return 1
        with open(manifest_path, encoding="utf-8") as f:
            manifest = f.read()
        print("manifest:", manifest.strip())

        script = {"listeners": [{"name": "https", "tls": "self-signed"}],
                  "routes": {"/updater?system=win64": {
                      "status": 200, "body": manifest,
                      "headers": [["Content-Type", "application/json; charset=utf-8"]]}}}
        script_path = os.path.join(args.work_dir, "server.json")
        with open(script_path, "w", encoding="utf-8") as f:
            json.dump(script, f)
        ports_path = os.path.join(args.work_dir, "ports.json")
        log_path = os.path.join(args.work_dir, "requests.jsonl")
        server = subprocess.Popen(
            [sys.executable, TEST_SERVER, "--script", script_path, "--ports-file", ports_path,
             "--log", log_path, "--cert-dir", os.path.join(args.work_dir, "certs")],
            stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while not os.path.exists(ports_path) and time.monotonic() < deadline and server.poll() is None:
            time.sleep(0.1)
        with open(ports_path) as f:
            https_port = json.load(f)["https"]
        relay = Relay(args.primary_port, https_port)

        # The player's run. Its output goes to a file: the launcher it leaves
        # running must not hold a pipe of ours open.
        run_env = env
        stdout_path = os.path.join(args.work_dir, "bootstrapper.out")
        started = time.time()
        with open(stdout_path, "wb") as out_file:
            run = subprocess.run([args.wine_run, args.exe], env=run_env, stdout=out_file,
                                 stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=120)
        ended = time.time()
        print("bootstrapper ran %.1f s, exit code %d" % (ended - started, run.returncode))
        check(run.returncode == 0, "bootstrapper exits with code 0")

        record = read_record(os.path.join(java_dir, "bin", "standin_record.txt"))
        check("pid" in record, "the stand-in launcher was started")
        if "pid" not in record:
            return 1
        standin_pid = record["pid"]
        printed = (int(record.get("printed", "0")) - FILETIME_UNIX_EPOCH) / 1e7
        check(0 <= ended - printed <= 5.5,
              "bootstrapper ends within about 5 s of the marker (%.2f s)" % (ended - printed))

        expected = '-jar "%s\\launcher.jar" -u "%s"' % (install_win, windows_path(args.exe))
        check(record.get("cmdline", "").lower() == expected.lower(),
              "command line %r is %r" % (record.get("cmdline"), expected))
        check(record.get("module", "").lower() == (install_win + "\\java\\bin\\java.exe").lower(),
              "the runtime's java.exe was started (%r)" % record.get("module"))
        check(record.get("cwd", "").lower() == (install_win + "\\java").lower(),
              "working directory is the runtime folder (%r)" % record.get("cwd"))

        with open(log_path, encoding="utf-8") as f:
            targets = [json.loads(line).get("target") for line in f if line.strip()]
        check(targets == ["/updater?system=win64"], "only the manifest was requested: %r" % targets)
        check(relay.connections >= 1, "the primary server was asked (%d connections)" % relay.connections)

        # Still running after the bootstrapper has gone: stopping it by its
        # PID succeeds only for a live process.
        kill = subprocess.run([args.wine_run, "taskkill.exe", "/F", "/PID", standin_pid], env=env,
                              capture_output=True, timeout=60)
        standin_pid = None if kill.returncode == 0 else standin_pid
        check(kill.returncode == 0, "the launcher is still running after the bootstrapper exited")
    finally:
        if standin_pid:
            subprocess.run([args.wine_run, "taskkill.exe", "/F", "/PID", standin_pid], env=env,
                           capture_output=True, timeout=60)
        if relay:
            relay.close()
        if server and server.poll() is None:
            server.terminate()
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        shutil.rmtree(os.path.join(appdata, "Velmorandix"), ignore_errors=True)
        # Let this prefix's Wine server go once its last program has ended.
        try:
            subprocess.run(["wineserver", "-w"], env=env, timeout=60)
        except (OSError, subprocess.TimeoutExpired):
            pass

    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Runs one test program against the scripted test server (and a proxy).

    run_with_server.py --script SCRIPT.json --work-dir DIR [--proxy]
                       -- PROGRAM [ARGS...]

Starts tests/support/test_server.py with SCRIPT.json on loopback (and, with
--proxy, a tinyproxy forward proxy through tests/support/proxy.py), runs
PROGRAM with the addresses in its environment, stops what it started by PID
and exits with PROGRAM's exit code. Windows programs are run by passing the
Wine runner as PROGRAM: "-- scripts/wine-run.sh test.exe". cmake's
vx_add_server_test() writes exactly that command line.

Environment given to PROGRAM:
    VX_TEST_PORT_<NAME>   port of each listener of the script ("http" ->
                          VX_TEST_PORT_HTTP, "https_expired" ->
                          VX_TEST_PORT_HTTPS_EXPIRED)
    VX_TEST_SERVER_LOG    the request log (JSON lines), as a Windows path
                          (Z:\\...) for Wine; VX_TEST_SERVER_LOG_UNIX as is
    VX_TEST_CERT_DIR      the folder of the listeners' certificates
                          ("self-signed.crt", ...), as is
    VX_TEST_PROXY_PORT    the proxy's port (with --proxy)
    VX_TEST_PROXY_LOG     the proxy's log as a Windows path (with --proxy);
                          VX_TEST_PROXY_LOG_UNIX as is
The proxy forwards requests for hosts under ".invalid" to the test server's
"http" listener (see proxy.py), so a test can name a host that only the
proxy can reach. The process's own http_proxy-style variables are removed.

The server's bodies may use ${PROXY_PORT} and ${PORT_<NAME>}; they are
filled in when the server starts.
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import proxy  # noqa: E402  (tests/support/proxy.py)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def stop(process, name, sig=signal.SIGTERM):
    """Stops one child by its PID: the signal (SIGTERM), then SIGKILL after 10 s."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(sig)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        print(f"{name} (pid {process.pid}) ignored signal {int(sig)}; killing", file=sys.stderr)
        process.kill()
        process.wait()


def start_server(script, work, name="", extra=()):
    """Starts test_server.py with the script file, its ports file, request
    log and certificates in work (files of an earlier run with the same
    name removed); returns (process, {listener: port}, log path). Raises
    RuntimeError, with nothing left running, when it does not start."""
    ports_file = os.path.join(work, name + "ports.json")
    log_file = os.path.join(work, name + "requests.jsonl")
    for stale in (ports_file, log_file):
        if os.path.exists(stale):
            os.remove(stale)
    server = subprocess.Popen([sys.executable, os.path.join(HERE, "test_server.py"), "--script", script,
                               "--ports-file", ports_file, "--log", log_file,
                               "--cert-dir", os.path.join(work, "certs")] + list(extra),
                              stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while not os.path.exists(ports_file) and server.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    if not os.path.exists(ports_file):
        stop(server, "test server")
        raise RuntimeError("the test server did not start")
    with open(ports_file) as f:
        return server, json.load(f), log_file


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--script", required=True)
    ap.add_argument("--work-dir", required=True)
    ap.add_argument("--proxy", action="store_true")
    ap.add_argument("command", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        ap.error("no program given after --")

    work = os.path.abspath(args.work_dir)
    os.makedirs(work, exist_ok=True)
    env = {k: v for k, v in os.environ.items()
           if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "no_proxy")}
    server = proxy_process = None
    try:
        proxy_port = proxy.free_port() if args.proxy else None
        try:
            server, ports, log_file = start_server(
                args.script, work, extra=["--var", f"PROXY_PORT={proxy_port}"] if proxy_port else [])
        except RuntimeError as e:
            print(f"run_with_server: {e}", file=sys.stderr)
            return 1
        for name, port in ports.items():
            env["VX_TEST_PORT_" + name.upper()] = str(port)
        env["VX_TEST_SERVER_LOG"] = windows_path(log_file)
        env["VX_TEST_SERVER_LOG_UNIX"] = log_file
        env["VX_TEST_CERT_DIR"] = os.path.join(work, "certs")

        if args.proxy:
            proxy_log = os.path.join(work, "proxy.log")
            proxy_process = proxy.start(work, proxy_port, ".invalid", ports.get("http"), proxy_log)
            env["VX_TEST_PROXY_PORT"] = str(proxy_port)
            env["VX_TEST_PROXY_LOG"] = windows_path(proxy_log)
            env["VX_TEST_PROXY_LOG_UNIX"] = proxy_log

        return subprocess.call(command, env=env)
    finally:
        stop(proxy_process, "proxy")
        stop(server, "test server")


if __name__ == "__main__":
    sys.exit(main())

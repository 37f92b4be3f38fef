#!/usr/bin/env python3
"""Starts and stops a real forward proxy (Debian's tinyproxy) on loopback.

    proxy.py --work-dir DIR [--upstream-domain .invalid --upstream-port N]

runs tinyproxy in the foreground on a free 127.0.0.1 port, prints
"PROXY <port> <log path>" and waits until SIGTERM, then stops tinyproxy by its
PID. Test runners import start() instead (see run_with_server.py).

Hosts under the upstream domain are not resolved by the proxy: their requests
go, in absolute form, to 127.0.0.1:<upstream port> (the test server's "http"
listener answers them by path). So a test URL such as
http://only-via-proxy.invalid/x fails when sent directly and succeeds
through the proxy. Every other host is fetched directly.
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import threading
import time


def free_port():
    """A port that was free on 127.0.0.1 a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def start(work_dir, port, upstream_domain=None, upstream_port=None, log_path=None):
    """Starts tinyproxy on 127.0.0.1:port; returns its Popen once it accepts."""
    os.makedirs(work_dir, exist_ok=True)
    log_path = log_path or os.path.join(work_dir, "proxy.log")
    conf = os.path.join(work_dir, "tinyproxy.conf")
    lines = [
        f"Port {port}",
        "Listen 127.0.0.1",
        "Timeout 60",
        f'LogFile "{log_path}"',
        "LogLevel Info",
        "MaxClients 20",
        "Allow 127.0.0.1",
        "DisableViaHeader No",
    ]
    if os.geteuid() == 0:
        # tinyproxy drops root to this user; it must be able to write the log.
        lines += ["User root", "Group root"]
    if upstream_domain and upstream_port:
        lines.append(f'Upstream http 127.0.0.1:{upstream_port} "{upstream_domain}"')
    with open(conf, "w") as f:
        f.write("\n".join(lines) + "\n")
    open(log_path, "a").close()
    process = subprocess.Popen(["tinyproxy", "-d", "-c", conf],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"tinyproxy exited with {process.returncode}; see {log_path}")
        if _listening(port):
            return process
        time.sleep(0.05)
    process.terminate()
    process.wait()
    raise RuntimeError("tinyproxy did not start listening")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--work-dir", required=True)
    ap.add_argument("--upstream-domain")
    ap.add_argument("--upstream-port", type=int)
    args = ap.parse_args()
    port = free_port()
    log_path = os.path.join(os.path.abspath(args.work_dir), "proxy.log")
    process = start(args.work_dir, port, args.upstream_domain, args.upstream_port, log_path)
    print(f"PROXY {port} {log_path}", flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    while not stop.wait(0.5) and process.poll() is None:
        pass
    if process.poll() is None:
        process.terminate()
        process.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())

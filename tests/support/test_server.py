#!/usr/bin/env python3
"""Scriptable local HTTP/HTTPS server for the network tests (stdlib only).

Every listener binds 127.0.0.1 on a port chosen free at run time. Replies are
scripted per request target in a JSON file; every request is recorded.

Usage
-----
    test_server.py --script SCRIPT.json --ports-file PORTS.json
                   [--log REQUESTS.jsonl] [--cert-dir DIR] [--var NAME=VALUE]...

The server writes PORTS.json ({"http": 40123, "https": 40124, ...}, one entry
per listener name) once every listener is bound, then prints "READY" on
stdout. It runs until SIGTERM or SIGINT and then exits with code 0. Start it
and stop it by its PID; tests/support/run_with_server.py does both for a
ctest (see there): it passes the ports to the test program as environment
variables VX_TEST_PORT_<NAME> (upper case) and the log path as
VX_TEST_SERVER_LOG.

In CMake, a GoogleTest program that needs the server is declared with
    vx_add_server_test(NAME my_test SOURCES my_test.cpp LIBS ...
                       SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/my_script.json [PROXY])
(cmake/VxTesting.cmake); its ctest runs the program under Wine through
run_with_server.py. tests/net/http_client_test.cpp and
tests/net/http_client_script.json are a worked example.

Script
------
    {
      "listeners": [                       # default: [{"name": "http"}]
        {"name": "http"},
        {"name": "https", "tls": "self-signed"},
        {"name": "https_expired", "tls": "expired"},
        {"name": "https_wrong_name", "tls": "wrong-name"}
      ],
      "routes": {
        "/updater?system=win64": {"status": 200, "body": "{...}"},
        "/file": { ...reply... }
      }
    }

A request is answered by the route whose key equals its target (path with
query string); failing that, by the route whose key equals its path alone;
failing that, with 404. A proxy's absolute-form target
("http://host:port/path") is reduced to its path first. Routes are shared by
all listeners.

Certificates (made with the openssl command into --cert-dir, default a
temporary folder): "self-signed" names 127.0.0.1 and localhost; "wrong-name"
names only wrong-name.invalid; "expired" names 127.0.0.1 and localhost but
ran out in 2020. None is signed by a trusted authority.

Reply fields (all optional):
    status      int, default 200
    headers     list of [name, value]; a name may repeat (several Set-Cookie)
    body        text, sent as UTF-8; ${PORT_<NAME>} (a listener's port) and
                ${NAME} of each --var NAME=VALUE are filled in at start
    body_hex    bytes as hex ("d0bfd180" ...)
    body_fill   {"text": "abc", "count": N}: N bytes repeating the text
    length      "auto" (default: Content-Length of the body),
                "none" (no Content-Length; the connection closes after it),
                "chunked" (Transfer-Encoding: chunked),
                or an int: the Content-Length announced whatever is sent
    chunk_size  bytes per write (and per chunk when chunked), default 65536
    delay_ms    pause before each write (slow delivery), default 0
    end_delay_ms pause after the last body byte sent, before the reply ends
                (lets the client drain and wait before a cut or reset)
    cut_after   send only this many body bytes, then close the connection
                (no TLS close_notify on https)
    reset_after send only this many body bytes, then reset the connection
    sequence    list of replies for the 1st, 2nd, ... request to this route;
                the last one repeats. Other fields of the route are ignored.
    etag        sent as the ETag header
    last_modified sent as the Last-Modified header
    ranges      true: answers "Range: bytes=N-" (or N-M) as a file server
                does: 206 with Content-Range and that part of the body, or
                416 when N lies beyond it; an If-Range that is neither the
                etag nor the last_modified text gets the whole body with 200.
                cut_after and reset_after then count the part's bytes.

Request log
-----------
One JSON object per line in --log, flushed at once:
    {"seq": 1, "listener": "http", "method": "GET",
     "target": "/p?q=1", "path": "/p?q=1", "version": "HTTP/1.1",
     "headers": [["Host", "127.0.0.1:40123"], ...], "body_length": 0,
     "time": 1765290000.25}
"time" is when the request was read (Unix seconds); "target" is the request
line as sent; "path" is it without a proxy's scheme and host. A failed TLS handshake is logged as
{"seq": n, "listener": ..., "event": "tls_failed", "error": "..."}.

Control targets (not logged, no route needed):
    GET /__count?path=P   number of logged requests whose path is P (text)
    GET /__log            the whole log as a JSON array
"""

import argparse
import json
import os
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CA_CONFIG = """[ ca ]
default_ca = local
[ local ]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = anything
copy_extensions = copy
unique_subject = no
[ anything ]
commonName = supplied
[ req ]
distinguished_name = dn
[ dn ]
"""

CERT_KINDS = {
    # kind: (common name, subjectAltName, start, end) -- None means "now, 10 years"
    "self-signed": ("127.0.0.1", "IP:127.0.0.1,DNS:localhost", None, None),
    "wrong-name": ("wrong-name.invalid", "DNS:wrong-name.invalid", None, None),
    "expired": ("127.0.0.1", "IP:127.0.0.1,DNS:localhost", "20200101000000Z", "20200201000000Z"),
}


def make_certificate(cert_dir, kind):
    """Returns (cert path, key path) of a certificate of the given kind."""
    if kind not in CERT_KINDS:
        raise SystemExit(f"test_server: unknown tls kind {kind!r}")
    cert = os.path.join(cert_dir, f"{kind}.crt")
    key = os.path.join(cert_dir, f"{kind}.key")
    if os.path.exists(cert) and os.path.exists(key):
        return cert, key
    name, san, start, end = CERT_KINDS[kind]
    work = tempfile.mkdtemp(prefix=f"cert-{kind}-", dir=cert_dir)
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.PIPE, "check": True, "cwd": work}
    with open(os.path.join(work, "ca.cnf"), "w") as f:
        f.write(CA_CONFIG)
    open(os.path.join(work, "index.txt"), "w").close()
    with open(os.path.join(work, "serial"), "w") as f:
        f.write("01\n")
    subprocess.run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes",
                    "-keyout", "key.pem", "-out", "req.csr", "-subj", f"/CN={name}",
                    "-addext", f"subjectAltName={san}",
                    "-addext", "extendedKeyUsage=serverAuth", "-config", "ca.cnf"], **quiet)
    dates = ["-days", "3650"] if start is None else ["-startdate", start, "-enddate", end]
    subprocess.run(["openssl", "ca", "-batch", "-config", "ca.cnf", "-selfsign",
                    "-keyfile", "key.pem", "-in", "req.csr", "-out", "cert.pem", "-notext"] + dates,
                   **quiet)
    shutil.move(os.path.join(work, "key.pem"), key)
    shutil.move(os.path.join(work, "cert.pem"), cert)
    shutil.rmtree(work, ignore_errors=True)
    return cert, key


class RequestLog:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.entries = []
        self.file = open(path, "a", encoding="utf-8") if path else None
        self.route_hits = {}

    def add(self, entry):
        with self.lock:
            entry["seq"] = len(self.entries) + 1
            self.entries.append(entry)
            if self.file:
                self.file.write(json.dumps(entry, ensure_ascii=False) + "\n")
                self.file.flush()

    def next_hit(self, route_key):
        """Counts a request on a route and returns its 0-based number."""
        with self.lock:
            n = self.route_hits.get(route_key, 0)
            self.route_hits[route_key] = n + 1
            return n


def body_bytes(reply):
    if "body_hex" in reply:
        return bytes.fromhex(reply["body_hex"])
    if "body_fill" in reply:
        unit = reply["body_fill"]["text"].encode("utf-8")
        count = int(reply["body_fill"]["count"])
        whole, rest = divmod(count, len(unit))
        return unit * whole + unit[:rest]
    return reply.get("body", "").encode("utf-8")


def fill_variables(routes, variables):
    """Replaces ${NAME} in every "body" text of the routes (and sequences)."""
    def fill(reply):
        if isinstance(reply.get("body"), str):
            for name, value in variables.items():
                reply["body"] = reply["body"].replace("${" + name + "}", value)
        for step in reply.get("sequence", []):
            fill(step)
    for reply in routes.values():
        fill(reply)


def strip_proxy_form(target):
    """'http://host:port/p?q' -> '/p?q'; origin-form targets stay as they are."""
    if target.startswith("/"):
        return target
    parts = urllib.parse.urlsplit(target)
    path = parts.path or "/"
    return path + ("?" + parts.query if parts.query else "")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VxTestServer/1.0"
    sys_version = ""

    def version_string(self):
        return self.server_version

    def log_message(self, *args):  # the JSON log is the record; keep stderr quiet
        pass

    def handle_any(self):
        path = strip_proxy_form(self.path)
        length = int(self.headers.get("Content-Length") or 0)
        request_body = self.rfile.read(length) if length > 0 else b""
        if path.startswith("/__"):
            return self.control(path)
        self.server.log.add({
            "listener": self.server.name, "method": self.command, "target": self.path,
            "path": path, "version": self.request_version,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body_length": len(request_body), "time": time.time(),
        })
        routes = self.server.script.get("routes", {})
        key = path if path in routes else path.split("?", 1)[0]
        reply = routes.get(key)
        if reply is None:
            return self.send_reply({"status": 404, "body": "not scripted\n"})
        if "sequence" in reply:
            n = self.server.log.next_hit(key)
            seq = reply["sequence"]
            reply = seq[min(n, len(seq) - 1)]
        self.send_reply(reply)

    do_GET = do_POST = do_PUT = do_HEAD = do_DELETE = handle_any

    def control(self, path):
        parts = urllib.parse.urlsplit(path)
        if parts.path == "/__count":
            wanted = urllib.parse.parse_qs(parts.query).get("path", [""])[0]
            with self.server.log.lock:
                n = sum(1 for e in self.server.log.entries if e.get("path") == wanted)
            data = str(n).encode()
        elif parts.path == "/__log":
            with self.server.log.lock:
                data = json.dumps(self.server.log.entries, ensure_ascii=False).encode("utf-8")
        else:
            return self.send_reply({"status": 404, "body": "unknown control\n"})
        self.send_reply({"status": 200, "body_hex": data.hex(),
                         "headers": [["Content-Type", "text/plain; charset=utf-8"]]})

    def ranged(self, reply, body):
        """(status, extra headers, body) for a reply that honours Range."""
        wanted = self.headers.get("Range")
        if not reply.get("ranges") or not wanted:
            return int(reply.get("status", 200)), [], body
        if_range = self.headers.get("If-Range")
        if if_range is not None and if_range not in (reply.get("etag"), reply.get("last_modified")):
            return int(reply.get("status", 200)), [], body
        asked = wanted.strip()
        if not asked.startswith("bytes=") or "," in asked:
            return int(reply.get("status", 200)), [], body
        first_text, _, last_text = asked[len("bytes="):].partition("-")
        try:
            first = int(first_text)
            last = int(last_text) if last_text else len(body) - 1
        except ValueError:
            return int(reply.get("status", 200)), [], body
        if first >= len(body) or last < first:
            return 416, [["Content-Range", "bytes */%d" % len(body)]], b""
        last = min(last, len(body) - 1)
        return 206, [["Content-Range", "bytes %d-%d/%d" % (first, last, len(body))]], \
            body[first:last + 1]

    def send_reply(self, reply):
        status, range_headers, body = self.ranged(reply, body_bytes(reply))
        mode = reply.get("length", "auto")
        chunk = max(1, int(reply.get("chunk_size", 65536)))
        delay = float(reply.get("delay_ms", 0)) / 1000.0
        cut = reply.get("cut_after")
        reset = reply.get("reset_after")
        limit = len(body)
        if cut is not None:
            limit = min(limit, int(cut))
        if reset is not None:
            limit = min(limit, int(reset))

        self.send_response(status)
        for name, value in reply.get("headers", []):
            self.send_header(name, value)
        if reply.get("etag"):
            self.send_header("ETag", reply["etag"])
        if reply.get("last_modified"):
            self.send_header("Last-Modified", reply["last_modified"])
        if reply.get("ranges"):
            self.send_header("Accept-Ranges", "bytes")
        for name, value in range_headers:
            self.send_header(name, value)
        if mode == "auto":
            self.send_header("Content-Length", str(len(body)))
        elif mode == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
        elif mode == "none":
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(int(mode)))
        self.end_headers()
        self.wfile.flush()
        if self.command == "HEAD":
            return

        try:
            sent = 0
            while sent < limit:
                if delay:
                    time.sleep(delay)
                piece = body[sent:min(limit, sent + chunk)]
                if mode == "chunked":
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                else:
                    self.wfile.write(piece)
                self.wfile.flush()
                sent += len(piece)
            if reply.get("end_delay_ms"):
                time.sleep(float(reply["end_delay_ms"]) / 1000.0)
            if reset is not None:
                self.abort(reset_connection=True)
            elif cut is not None:
                self.abort(reset_connection=False)
            elif mode == "chunked":
                self.wfile.write(b"0\r\n\r\n")
                self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True

    def abort(self, reset_connection):
        """Ends the connection abruptly, never with a TLS close_notify.

        A cut is a plain close (FIN) once the handler returns; a reset closes
        the socket at once with a zero linger time, which sends RST.
        """
        self.close_connection = True
        if reset_connection:
            conn = self.connection
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            # The handler's file objects keep the socket open past close(), so
            # take the descriptor away from them and close it here and now.
            os.close(socket.socket.detach(conn))


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False

    def __init__(self, name, tls_context, script, log):
        self.name = name
        self.tls_context = tls_context
        self.script = script
        self.log = log
        super().__init__(("127.0.0.1", 0), Handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs on the connection's own thread, so a slow or
        # refusing client never blocks the accept loop.
        if self.tls_context is not None:
            request.settimeout(30)
            try:
                request = self.tls_context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError) as e:
                self.log.add({"listener": self.name, "event": "tls_failed", "error": str(e)})
                return
        request.settimeout(60)
        try:
            self.RequestHandlerClass(request, client_address, self)
        except (ConnectionError, ssl.SSLError, OSError, socket.timeout):
            pass
        finally:
            if self.tls_context is not None:
                # Closing the TLS socket without unwrap() sends no close_notify.
                request.close()

    def handle_error(self, request, client_address):
        pass


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--script", required=True)
    ap.add_argument("--ports-file", required=True)
    ap.add_argument("--log")
    ap.add_argument("--cert-dir")
    ap.add_argument("--var", action="append", default=[], metavar="NAME=VALUE",
                    help="fills ${NAME} in body texts")
    args = ap.parse_args()

    with open(args.script, encoding="utf-8") as f:
        script = json.load(f)
    variables = dict(v.split("=", 1) for v in args.var)
    cert_dir = args.cert_dir or tempfile.mkdtemp(prefix="vx-certs-")
    os.makedirs(cert_dir, exist_ok=True)
    log = RequestLog(args.log)

    servers = []
    for spec in script.get("listeners", [{"name": "http"}]):
        context = None
        if spec.get("tls"):
            cert, key = make_certificate(cert_dir, spec["tls"])
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
        servers.append(Server(spec["name"], context, script, log))

    ports = {s.name: s.server_address[1] for s in servers}
    for name, port in ports.items():
        variables["PORT_" + name.upper()] = str(port)
    fill_variables(script.get("routes", {}), variables)
    tmp = args.ports_file + ".tmp"
    with open(tmp, "w") as f:
        json.dump(ports, f)
    os.replace(tmp, args.ports_file)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    threads = [threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
               for s in servers]
    for t in threads:
        t.start()
    print("READY", flush=True)
    while not stop.wait(0.5):
        pass
    for s in servers:
        s.shutdown()
        s.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

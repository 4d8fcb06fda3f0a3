#!/usr/bin/env python3
"""Scripted HTTP(S) peer for the HTTP client's integration tests.

Usage: http_server.py DIR

Makes a test CA and three server certificates in DIR with the openssl command line, then listens
on free loopback ports and prints one JSON line with them:
  plain      HTTP
  tls        HTTPS, certificate for localhost and 127.0.0.1 signed by DIR/ca.pem
  tls_wrong  HTTPS, certificate signed by the same CA for another host name
  tls_self   HTTPS, self-signed certificate for localhost and 127.0.0.1 (not under the CA)
  tls_slow   like tls, but the TLS handshake starts only 1.5 s after the TCP connect
  silent     accepts TCP connections and never sends or reads a byte
Exits when its standard input closes, so it never outlives the test.

Endpoints (every listener, any method):
  /json                     200 with a small JSON object
  /status/CODE              CODE with the body {"status": CODE, "detail": "scripted"}
  /echo                     200; a JSON line (method, path, headers, body length), "\\n", then
                            the request body bytes exactly as received (chunked coding decoded)
  /stall?phase=P&seconds=S  P=headers: nothing for S s; P=body: headers and 10 of 100 bytes, then
                            nothing; P=read: (POST) reads no body and answers nothing for S s
  /trickle?n=N&interval=T   N body bytes, one every T s
  /big?n=N&framing=F        N bytes of "x"; F = length (Content-Length), chunked or close
  /header-flood             headers without end
  /redirect?code=C&to=URL   C with Location URL (the request body is read first)
"""

import http.server
import json
import os
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def make_certs(d):
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"]
    p = lambda name: os.path.join(d, name)
    openssl("req", "-x509", *ec, "-keyout", p("ca.key"), "-out", p("ca.pem"),
            "-subj", "/CN=orvel-edge test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    leaf = ["-addext", "basicConstraints=critical,CA:FALSE"]
    openssl("req", "-x509", *ec, "-keyout", p("good.key"), "-out", p("good.pem"),
            "-subj", "/CN=localhost", "-CA", p("ca.pem"), "-CAkey", p("ca.key"),
            "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", *leaf)
    openssl("req", "-x509", *ec, "-keyout", p("wrong.key"), "-out", p("wrong.pem"),
            "-subj", "/CN=wrong.example", "-CA", p("ca.pem"), "-CAkey", p("ca.key"),
            "-addext", "subjectAltName=DNS:wrong.example", *leaf)
    openssl("req", "-x509", *ec, "-keyout", p("self.key"), "-out", p("self.pem"),
            "-subj", "/CN=localhost",
            "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", *leaf)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.dispatch()

    def do_POST(self):
        self.dispatch()

    def do_PUT(self):
        self.dispatch()

    # --- helpers

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            out = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0], 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return out
                out += self.rfile.read(size)
                self.rfile.readline()
        return self.rfile.read(int(self.headers.get("Content-Length", "0")))

    def answer(self, status, body, content_type="application/json", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def echo(self, body):
        info = {"method": self.command, "path": self.path,
                "headers": [[k, v] for k, v in self.headers.items()], "length": len(body)}
        self.answer(200, json.dumps(info).encode() + b"\n" + body, "application/octet-stream")

    # --- endpoints

    def dispatch(self):
        url = urllib.parse.urlsplit(self.path)
        q = {k: v[-1] for k, v in urllib.parse.parse_qs(url.query).items()}
        path = url.path
        if path == "/json":
            self.read_body()
            self.answer(200, b'{"public_key": "pk1", "key_id": "k1"}')
        elif path.startswith("/status/"):
            self.read_body()
            code = int(path[len("/status/"):])
            self.answer(code, json.dumps({"status": code, "detail": "scripted"}).encode())
        elif path == "/echo":
            self.echo(self.read_body())
        elif path == "/stall":
            seconds = float(q.get("seconds", "5"))
            phase = q.get("phase", "headers")
            if phase != "read":
                self.read_body()
            if phase == "body":
                self.send_response(200)
                self.send_header("Content-Length", "100")
                self.end_headers()
                self.wfile.write(b"0123456789")
                self.wfile.flush()
            time.sleep(seconds)
            self.close_connection = True
        elif path == "/trickle":
            self.read_body()
            n, interval = int(q["n"]), float(q["interval"])
            self.send_response(200)
            self.send_header("Content-Length", str(n))
            self.end_headers()
            self.wfile.flush()
            for _ in range(n):
                time.sleep(interval)
                self.wfile.write(b"t")
                self.wfile.flush()
        elif path == "/big":
            self.read_body()
            n, framing = int(q["n"]), q.get("framing", "length")
            self.send_response(200)
            if framing == "length":
                self.send_header("Content-Length", str(n))
            elif framing == "chunked":
                self.send_header("Transfer-Encoding", "chunked")
            else:
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            block = b"x" * 65536
            left = n
            while left > 0:
                part = block[:min(left, len(block))]
                if framing == "chunked":
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
                else:
                    self.wfile.write(part)
                left -= len(part)
            if framing == "chunked":
                self.wfile.write(b"0\r\n\r\n")
        elif path == "/header-flood":
            self.read_body()
            self.send_response(200)
            self.flush_headers()
            i = 0
            while True:
                self.wfile.write(b"X-Flood-%d: %s\r\n" % (i, b"f" * 1000))
                i += 1
        elif path == "/redirect":
            self.read_body()
            self.answer(int(q.get("code", "307")), b"moved", "text/plain",
                        [("Location", q["to"])])
        else:
            self.answer(404, b"no such endpoint", "text/plain")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    tls = None
    handshake_delay = 0.0

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, on the connection's own thread, so a stalled or
        # refused handshake never blocks the accepting thread.
        if self.tls is not None:
            time.sleep(self.handshake_delay)
            request.settimeout(10)
            request = self.tls.wrap_socket(request, server_side=True)
            request.settimeout(None)
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass  # clients that give up (time-out tests) break pipes on purpose


def serve(tls_cert=None, handshake_delay=0.0):
    server = Server(("127.0.0.1", 0), Handler)
    server.handshake_delay = handshake_delay
    if tls_cert is not None:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(tls_cert + ".pem", tls_cert + ".key")
        server.tls = ctx
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def silent():
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(16)
    held = []

    def run():
        while True:
            conn, _ = sock.accept()
            held.append(conn)

    threading.Thread(target=run, daemon=True).start()
    return sock.getsockname()[1]


def main():
    d = sys.argv[1]
    make_certs(d)
    ports = {
        "plain": serve(),
        "tls": serve(os.path.join(d, "good")),
        "tls_wrong": serve(os.path.join(d, "wrong")),
        "tls_self": serve(os.path.join(d, "self")),
        "tls_slow": serve(os.path.join(d, "good"), handshake_delay=1.5),
        "silent": silent(),
        "ca": os.path.join(d, "ca.pem"),
    }
    print(json.dumps(ports), flush=True)
    sys.stdin.buffer.read()  # until the test closes the pipe or dies
    os._exit(0)


if __name__ == "__main__":
    main()

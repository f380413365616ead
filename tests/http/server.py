#!/usr/bin/env python3
"""The HTTP test server: plain HTTP and HTTPS (a self-signed certificate made
with openssl) on 127.0.0.1, ports chosen by the system.

  server.py start DIR   starts the servers in the background and returns once
                        DIR/urls holds their addresses ("name url" lines);
                        DIR/cert.pem is the certificate, DIR/pid the server
  server.py stop DIR    stops them

Endpoints: /echo (the request back as text: method and path, each header,
a blank line, the body), /repeat (two X-Multi headers), /missing (404 with a
body), /redirect (302 to /echo), /loop (redirects to itself), /lines,
/binary (bytes 0-255), /code (source text), /script (a script), /png (a PNG
image), /silent (accepts and never answers), /files/NAME (the file NAME of
tests/http/files, its Content-Type by its suffix; 404 when there is none),
/count/NAME (how many times /files/NAME was asked for).
"""
import collections
import http.server
import mimetypes
import os
import signal
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import zlib


FILES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "files")
mimetypes.add_type("text/x-demo", ".demo")
served = collections.Counter()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        path = self.path
        if path.startswith("/echo"):
            text = "%s %s\n" % (self.command, path)
            for name, value in self.headers.items():
                text += "%s: %s\n" % (name, value)
            self.send(200, text.encode() + b"\n" + body, [("Content-Type", "text/plain")])
        elif path == "/repeat":
            self.send(200, b"repeated", [("X-Multi", "one"), ("X-Multi", "two"), ("X-Single", "only")])
        elif path == "/missing":
            self.send(404, b"not here")
        elif path == "/redirect":
            self.send(302, b"", [("Location", "/echo/redirected")])
        elif path == "/loop":
            self.send(302, b"", [("Location", "/loop")])
        elif path == "/lines":
            self.send(200, b"one\r\ntwo\n\nthree")
        elif path == "/binary":
            self.send(200, bytes(range(256)), [("Content-Type", "application/octet-stream")])
        elif path.startswith("/files/"):
            name = path[len("/files/"):]
            served[name] += 1
            file = os.path.join(FILES, name)
            if "/" in name or not os.path.isfile(file):
                self.send(404, b"no such file")
            else:
                kind = mimetypes.guess_type(name)[0] or "application/octet-stream"
                with open(file, "rb") as f:
                    self.send(200, f.read(), [("Content-Type", kind)])
        elif path.startswith("/count/"):
            self.send(200, str(served[path[len("/count/"):]]).encode(), [("Content-Type", "text/plain")])
        elif path == "/code":
            self.send(200, b"1 two [3]", [("Content-Type", "text/plain; charset=utf-8")])
        elif path == "/script":
            self.send(200, b'Oru [Title: "remote"]\nprint ["remote ran with" mold system/script/args]\n7\n',
                      [("Content-Type", "text/plain")])
        elif path == "/png":
            self.send(200, tiny_png(), [("Content-Type", "image/png")])
        elif path == "/silent":
            time.sleep(30)
        else:
            self.send(400, b"unknown")

    do_GET = do_POST = do_PUT = do_HEAD = do_DELETE = answer


def tiny_png():
    """A 2x1 PNG: a red pixel and a half transparent blue one."""
    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))
    rows = b"\x00" + bytes([255, 0, 0, 255, 0, 0, 255, 128])
    header = struct.pack(">IIBBBBB", 2, 1, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


def serve(server):
    threading.Thread(target=server.serve_forever, daemon=True).start()


def start(work):
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, capture_output=True)
    plain = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    secure = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    secure.socket = context.wrap_socket(secure.socket, server_side=True)
    # A port nobody listens on: bound, then closed.
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    closed = probe.getsockname()[1]
    probe.close()
    serve(plain)
    serve(secure)
    base = "http://127.0.0.1:%d" % plain.server_address[1]
    lines = ["http %s" % base, "https https://127.0.0.1:%d" % secure.server_address[1],
             "closed http://127.0.0.1:%d" % closed, "cert %s" % cert]
    with open(os.path.join(work, "urls.tmp"), "w") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(os.path.join(work, "urls.tmp"), os.path.join(work, "urls"))


def main():
    command, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    urls, pidfile = os.path.join(work, "urls"), os.path.join(work, "pid")
    if command == "stop":
        try:
            os.kill(int(open(pidfile).read()), signal.SIGTERM)
        except (OSError, ValueError):
            pass
        for f in (urls, pidfile):
            if os.path.exists(f):
                os.remove(f)
        return
    if os.path.exists(urls):
        os.remove(urls)
    if os.fork() == 0:
        os.setsid()
        # The servers' own process: free of the test runner's streams.
        devnull = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(devnull, fd)
        with open(pidfile, "w") as f:
            f.write(str(os.getpid()))
        start(work)
        signal.signal(signal.SIGTERM, lambda *a: os._exit(0))
        time.sleep(3600)  # the test run's upper bound
        os._exit(0)
    for _ in range(300):
        if os.path.exists(urls):
            return
        time.sleep(0.05)
    sys.exit("the test server did not start")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""A web server for the upgrade tests on 127.0.0.1: Python's http.server
serving a folder, over plain HTTP or, given a certificate and its key, HTTPS.

    upgrade_httpd.py PORT ROOT [CERT KEY]

Two kinds of path behave on purpose like a broken or a guarded server:
  /drop/NAME  announces the whole size of ROOT/NAME, sends half of it and
              closes the connection;
  /hold/NAME  announces the whole size of ROOT/NAME, sends half of it and
              waits (at most 30 s) for the client to give up;
  /auth/NAME  serves ROOT/NAME only to the user "kvupdate" with the password
              "Kv-update-7" (HTTP Basic), 401 otherwise;
  /trickle/NAME announces the whole size of ROOT/NAME and sends one byte of
              it every half second (at most 60 s), never stalling long;
  /redirect?to=URL  answers 302 with URL (percent-decoded) as its Location.
"""
import base64
import functools
import http.server
import os
import ssl
import sys
import time
import urllib.parse

USER_PASSWORD = "kvupdate:Kv-update-7"


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, fmt, *args):
        sys.stderr.write("%s %s\n" % (self.address_string(), fmt % args))

    def do_GET(self):
        if self.path.startswith("/redirect?to="):
            target = urllib.parse.unquote(self.path[len("/redirect?to="):])
            self.send_response(302)
            self.send_header("Location", target)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return None
        if self.path.startswith("/drop/"):
            return self.send_half(self.path[len("/drop/"):])
        if self.path.startswith("/trickle/"):
            return self.send_trickle(self.path[len("/trickle/"):])
        if self.path.startswith("/hold/"):
            self.send_half(self.path[len("/hold/"):], hold=True)
            return None
        if self.path.startswith("/auth/"):
            expected = "Basic " + base64.b64encode(USER_PASSWORD.encode()).decode()
            if self.headers.get("Authorization") != expected:
                self.send_response(401)
                self.send_header("WWW-Authenticate", 'Basic realm="upgrades"')
                self.send_header("Content-Length", "0")
                self.end_headers()
                return None
            self.path = self.path[len("/auth"):]
        return super().do_GET()

    def send_trickle(self, name):
        with open(os.path.join(self.directory, name), "rb") as f:
            data = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.close_connection = True
        try:
            for i in range(min(len(data), 120)):
                self.wfile.write(data[i:i + 1])
                self.wfile.flush()
                time.sleep(0.5)
        except OSError:
            pass

    def send_half(self, name, hold=False):
        path = os.path.join(self.directory, name)
        with open(path, "rb") as f:
            data = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data[: len(data) // 2])
        self.wfile.flush()
        self.close_connection = True
        if hold:
            self.connection.settimeout(30)
            try:
                while self.connection.recv(4096):
                    pass
            except OSError:
                pass
        self.connection.shutdown(2)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    context = None

    def get_request(self):
        sock, addr = super().get_request()
        if self.context:
            # The handshake runs in the request's thread, on its first read,
            # so a client that refuses the certificate stops no one else.
            sock = self.context.wrap_socket(sock, server_side=True,
                                            do_handshake_on_connect=False)
        return sock, addr


def main():
    port, root = int(sys.argv[1]), sys.argv[2]
    handler = functools.partial(Handler, directory=root)
    server = Server(("127.0.0.1", port), handler)
    if len(sys.argv) > 4:
        server.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.context.load_cert_chain(sys.argv[3], sys.argv[4])
    server.serve_forever()


if __name__ == "__main__":
    main()

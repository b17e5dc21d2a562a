#!/usr/bin/python3
"""An FTP server (pyftpdlib) whose replies a test can script.

Usage: scripted_ftpd.py PORT ROOT USER PASSWORD CONTROL_DIR

Every line received on a control connection is appended to CONTROL_DIR/wire.log
exactly as received (without its CR LF). At each new connection the server
reads CONTROL_DIR/scenario: one directive per line, fields separated by a TAB,
"\\r\\n" in a text standing for CR LF. Without directives it is a plain server.

  greeting <text>        send <text> instead of the 220 greeting
  close-after-greeting   close the connection after the greeting
  silent-greeting        send no greeting at all
  reply <CMD> <text>     answer CMD with <text> (@long: a 70,000-byte line,
                         @many: a reply of 1,001 lines)
  silent <CMD>           never answer CMD
  login-on-user          answer USER with 230 (no password asked)
  rewrite <prefix> <text>  replace every reply starting with <prefix>
  pasv <nobrackets|otherhost>  PASV reply without brackets / naming 10.255.255.1
  retr-limit <n>         RETR sends only the first n bytes of the file
  retr-end <reset|drop-control|stall>  after those bytes: reset the data
                         connection, close the control connection, or stop
                         sending while keeping the data connection open
  stor-stall             STOR never reads the data connection
  stor-reset <n>         STOR resets the data connection after n bytes and
                         replies 426
  throttle <bytes/s>     limit the data connection's speed
  list-bytes <n>         LIST sends n bytes of generated lines
  list-raw <n> <text>    LIST sends <text> repeated n times
  drip <CMD> <seconds>   answer CMD only after sending a blank line every
                         0.3 s for <seconds> seconds
  port-intruder          at PORT, first connect to the client's port from
                         127.0.0.2 and send some bytes of a third party
  also <CMD> <text>      after the final reply to CMD, send <text> too (a
                         reply no command asked for)
  retr-endless           RETR sends bytes for ever, whatever the file holds
  early-226              a transfer's 226 comes right after its 150, before
                         the data (the one at its end is not sent)
  split                  every reply goes out a byte at a time
"""
import os
import socket
import struct
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, FileProducer, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer

PORT, ROOT, USER, PASSWORD, CONTROL = sys.argv[1:6]
SCENARIO = os.path.join(CONTROL, "scenario")
WIRE = os.path.join(CONTROL, "wire.log")


def load_scenario():
    directives = []
    try:
        with open(SCENARIO, encoding="utf-8") as f:
            for raw in f:
                raw = raw.rstrip("\n")
                if raw:
                    fields = [x.replace("\\r\\n", "\r\n") for x in raw.split("\t")]
                    directives.append(fields)
    except FileNotFoundError:
        pass
    return directives


def expand(text):
    if text == "@long":
        return "500 " + "x" * 70000
    if text == "@many":
        return "\r\n".join(["500-line %d" % i for i in range(1000)] + ["500 end"])
    return text


class LimitedProducer(FileProducer):
    """Sends only the first `limit` bytes, then runs `at_end`."""

    def __init__(self, file, type, limit, at_end):
        FileProducer.__init__(self, file, type)
        self.left = limit
        self.at_end = at_end

    def more(self):
        if self.left <= 0:
            if self.at_end:
                self.at_end()
                self.at_end = None
            return b""
        data = FileProducer.more(self)[: self.left]
        self.left -= len(data)
        return data


class EndlessProducer(object):
    def more(self):
        return b"x" * 65536


class GeneratedProducer(object):
    def __init__(self, size):
        self.left = size
        self.n = 0

    def more(self):
        if self.left <= 0:
            return b""
        chunk = b""
        while len(chunk) < 65536 and self.left > len(chunk):
            self.n += 1
            chunk += b"-rw-r--r--   1 owner group   18 Dec 07 07:50 file%08d.txt\r\n" % self.n
        chunk = chunk[: self.left]
        self.left -= len(chunk)
        return chunk


class ResettingDTPHandler(DTPHandler):
    """Resets the connection once `limit` bytes were received."""

    limit = 0

    def handle_read(self):
        DTPHandler.handle_read(self)
        if self.receive and self.tot_bytes_received >= self.limit and not self._closed:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self._resp = ("426 Upload cut short.", self.cmd_channel.logline)
            self.close()

    handle_read_event = handle_read


class Handler(FTPHandler):
    def on_connect(self):
        self.scenario = load_scenario()
        self.stall_data = None
        self.stor_stall = False
        for d in self.scenario:
            if d[0] == "throttle":

                class Throttled(ThrottledDTPHandler):
                    read_limit = int(d[1])
                    write_limit = int(d[1])

                self.dtp_handler = Throttled
            if d[0] == "stor-reset":

                class Resetting(ResettingDTPHandler):
                    limit = int(d[1])

                self.dtp_handler = Resetting

    def directive(self, name, arg=None):
        for d in self.scenario:
            if d[0] == name and (arg is None or (len(d) > 1 and d[1] == arg)):
                return d
        return None

    def handle(self):
        self.on_connect()
        if self.directive("silent-greeting"):
            return
        d = self.directive("greeting")
        if d:
            self.push(d[1] + "\r\n")
        else:
            self.respond("220 scripted server ready.")
        if self.directive("close-after-greeting"):
            self.close_when_done()

    def push(self, data):
        if not self.directive("split") or self._closed:
            FTPHandler.push(self, data)
            return
        # Every reply a byte at a time, in order.
        pending = getattr(self, "split_pending", "")
        self.split_pending = pending + data
        if not pending:
            self.ioloop.call_later(0.002, self._push_one)

    def _push_one(self):
        if self._closed or not self.split_pending:
            return
        FTPHandler.push(self, self.split_pending[0])
        self.split_pending = self.split_pending[1:]
        if self.split_pending:
            self.ioloop.call_later(0.002, self._push_one)

    def respond(self, resp, logfun=None):
        if self.directive("early-226"):
            if resp.startswith("226") and getattr(self, "early_sent", False):
                self.early_sent = False
                return
            if resp.startswith("150"):
                self._respond(resp, logfun)
                self.early_sent = True
                resp = "226 Transfer complete."
        self._respond(resp, logfun)
        last = getattr(self, "last_cmd", None)
        extra = self.directive("also", last) if last else None
        if extra and not resp.startswith("1"):
            self.push(extra[2] + "\r\n")

    def _respond(self, resp, logfun=None):
        d = self.directive("pasv")
        if d and resp.startswith("227 "):
            inner = resp[resp.index("(") + 1: resp.index(")")]
            fields = inner.split(",")
            if d[1] == "nobrackets":
                resp = "227 =" + inner
            else:
                resp = "227 Entering passive mode (10,255,255,1,%s,%s)." % (fields[4], fields[5])
        for d in self.scenario:
            if d[0] == "rewrite" and resp.startswith(d[1]):
                resp = d[2]
                break
        if logfun is None:
            FTPHandler.respond(self, resp)
        else:
            FTPHandler.respond(self, resp, logfun)

    def pre_process_command(self, line, cmd, arg):
        self.last_cmd = cmd
        with open(WIRE, "a", encoding="utf-8", errors="replace") as f:
            f.write(line + "\n")
        if self.directive("silent", cmd):
            return
        d = self.directive("drip", cmd)
        if d:
            self._drip(line, cmd, arg, int(float(d[2]) / 0.3))
            return
        if cmd == "PORT" and self.directive("port-intruder"):
            self._intrude(arg)
        d = self.directive("reply", cmd)
        if d:
            self.push(expand(d[2]) + "\r\n")
            return
        if cmd == "USER" and self.directive("login-on-user"):
            self.username = arg
            self.handle_auth_success(
                self.authorizer.get_home_dir(arg), "", "Logged in without a password.")
            return
        FTPHandler.pre_process_command(self, line, cmd, arg)

    def ftp_RETR(self, file):
        if self.directive("retr-endless"):
            self.push_dtp_data(EndlessProducer(), isproducer=True, cmd="RETR")
            return file
        d = self.directive("retr-limit")
        if not d:
            return FTPHandler.ftp_RETR(self, file)
        limit = int(d[1])
        end = self.directive("retr-end")
        fd = self.run_as_current_user(self.fs.open, file, "rb")
        if end and end[1] == "stall":
            self.stall_data = fd.read(limit)
            fd.close()
            self.respond("150 File status okay. About to open data connection.")
            if self.data_channel is not None:  # the client connected first
                self._stall_channel()
            return file

        def at_end():
            if end and end[1] == "reset":
                self.data_channel.socket.setsockopt(
                    socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            elif end and end[1] == "drop-control":
                self.close()

        producer = LimitedProducer(fd, self._current_type, limit, at_end)
        self.push_dtp_data(producer, isproducer=True, file=fd, cmd="RETR")
        return file

    def ftp_STOR(self, file, mode="w"):
        if self.directive("stor-stall"):
            self.stor_stall = True
            self.respond("150 File status okay. About to open data connection.")
            if self.data_channel is not None:  # the client connected first
                self._stall_channel()
            return file
        return FTPHandler.ftp_STOR(self, file, mode)

    def ftp_LIST(self, path):
        d = self.directive("list-raw")
        if d:
            text = d[2].replace("\\n", "\n").encode()
            self.push_dtp_data(text * int(d[1]), cmd="LIST")
            return path
        d = self.directive("list-bytes")
        if not d:
            return FTPHandler.ftp_LIST(self, path)
        self.push_dtp_data(GeneratedProducer(int(d[1])), isproducer=True, cmd="LIST")
        return path

    def _drip(self, line, cmd, arg, left):
        if self._closed:
            return
        if left <= 0:
            FTPHandler.pre_process_command(self, line, cmd, arg)
            return
        self.push("\r\n")
        self.ioloop.call_later(0.3, self._drip, line, cmd, arg, left - 1)

    def _intrude(self, arg):
        fields = arg.split(",")
        port = int(fields[4]) * 256 + int(fields[5])
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.bind(("127.0.0.2", 0))
            s.connect((".".join(fields[:4]), port))
            s.sendall(b"bytes of a third party\r\n")
        finally:
            s.close()

    def _stall_channel(self):
        if self.stall_data is not None:
            self.data_channel.push(self.stall_data)
            self.stall_data = None
        else:
            # Neither reading nor closing: pyftpdlib closes a data channel
            # that was never set up once the client's bytes arrive.
            self.data_channel._initialized = True

    def _on_dtp_connection(self):
        if self.stall_data is not None or self.stor_stall:
            if self._dtp_acceptor is not None:
                self._dtp_acceptor.close()
                self._dtp_acceptor = None
            self._stall_channel()
            return
        FTPHandler._on_dtp_connection(self)


def serve(handler):
    """Serves ROOT to USER with `handler` (this Handler or a subclass) until killed."""
    authorizer = DummyAuthorizer()
    authorizer.add_user(USER, PASSWORD, ROOT, perm="elradfmwMT")
    handler.authorizer = authorizer
    handler.auth_failed_timeout = 0.05
    handler.use_sendfile = False
    server = FTPServer(("127.0.0.1", int(PORT)), handler)
    server.max_cons = 64
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    serve(Handler)

#!/usr/bin/env python3
"""A hostile SFTP server on 127.0.0.1 for the tests of the SFTP session's
time-outs and limits (paramiko's SSH transport, SFTP version 3 answered by
hand). Any user name and password log in; the host key is made anew.

    hostile_sftpd.py PORT MODE

It answers INIT, REALPATH, STAT, LSTAT, OPEN, OPENDIR, FSTAT and CLOSE as a
server with one file "/f" of 100000 bytes would; then, by MODE:
  trickle  a READ's answer: its head at once, then one byte a second;
  ignore   a READ gets no answer, only SSH ignore messages without pause;
  endless  READDIR answers 1000 hidden names each time, never the end.
Every connection ends after 60 s at most.
"""
import socket
import struct
import sys
import threading
import time

import paramiko

FILE_SIZE = 100000
LIFETIME = 60


def u32(n):
    return struct.pack(">I", n)


def string(b):
    if isinstance(b, str):
        b = b.encode()
    return u32(len(b)) + b


def attrs(directory):
    # SIZE, UIDGID, PERMISSIONS, ACMODTIME
    mode = 0o040755 if directory else 0o100644
    return (u32(0xF) + struct.pack(">Q", 4096 if directory else FILE_SIZE) + u32(0) + u32(0) +
            u32(mode) + u32(1767225600) + u32(1767225600))


def packet(kind, body):
    return u32(len(body) + 1) + bytes([kind]) + body


class Server(paramiko.ServerInterface):
    def __init__(self, mode):
        self.mode = mode

    def get_allowed_auths(self, username):
        return "password"

    def check_auth_password(self, username, password):
        return paramiko.AUTH_SUCCESSFUL

    def check_channel_request(self, kind, chanid):
        return paramiko.OPEN_SUCCEEDED

    def check_channel_subsystem_request(self, channel, name):
        if name != "sftp":
            return False
        threading.Thread(target=serve_sftp, args=(channel, self.mode), daemon=True).start()
        return True


def read_exact(channel, n, until):
    data = b""
    while len(data) < n:
        if time.monotonic() > until:
            raise EOFError
        chunk = channel.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def serve_sftp(channel, mode):
    until = time.monotonic() + LIFETIME
    transport = channel.get_transport()
    try:
        while True:
            length = struct.unpack(">I", read_exact(channel, 4, until))[0]
            body = read_exact(channel, length, until)
            kind = body[0]
            if kind == 1:  # INIT
                channel.sendall(packet(2, u32(3)))
                continue
            rid = body[1:5]
            if kind == 16:  # REALPATH
                channel.sendall(packet(104, rid + u32(1) + string("/") + string("/") +
                                       attrs(True)))
            elif kind in (17, 7):  # STAT, LSTAT
                path = body[9:9 + struct.unpack(">I", body[5:9])[0]]
                channel.sendall(packet(105, rid + attrs(path != b"/f")))
            elif kind == 8:  # FSTAT
                channel.sendall(packet(105, rid + attrs(False)))
            elif kind in (3, 11):  # OPEN, OPENDIR
                channel.sendall(packet(102, rid + string("h")))
            elif kind == 4:  # CLOSE
                channel.sendall(packet(101, rid + u32(0) + string("") + string("")))
            elif kind == 5 and mode == "trickle":  # READ
                answer = packet(103, rid + string(b"x" * 32768))
                channel.sendall(answer[:13])
                for byte in answer[13:]:
                    if time.monotonic() > until:
                        raise EOFError
                    channel.sendall(bytes([byte]))
                    time.sleep(1)
            elif kind == 5 and mode == "ignore":
                while time.monotonic() < until and transport.is_active():
                    transport.send_ignore(64)
                    time.sleep(0.005)
                raise EOFError
            elif kind == 12 and mode == "endless":  # READDIR
                names = b"".join(
                    string(".hidden%d" % n) + string("-rw-r--r-- 1 0 0 1 Jan 1 2026 .hidden%d" % n)
                    + attrs(False) for n in range(1000))
                channel.sendall(packet(104, rid + u32(1000) + names))
            else:  # anything else: OP_UNSUPPORTED
                channel.sendall(packet(101, rid + u32(8) + string("") + string("")))
    except (EOFError, OSError, EOFError):
        pass
    finally:
        channel.close()


def handle(sock, mode, key):
    transport = paramiko.Transport(sock)
    transport.add_server_key(key)
    try:
        transport.start_server(server=Server(mode))
        deadline = time.monotonic() + LIFETIME
        while transport.is_active() and time.monotonic() < deadline:
            time.sleep(0.2)
    except (paramiko.SSHException, EOFError, OSError):
        pass
    finally:
        transport.close()


def main():
    port, mode = int(sys.argv[1]), sys.argv[2]
    key = paramiko.RSAKey.generate(2048)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(8)
    print("ready", flush=True)
    while True:
        sock, _ = listener.accept()
        threading.Thread(target=handle, args=(sock, mode, key), daemon=True).start()


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""scripted_ftpd.py with explicit FTPS required (pyftpdlib's TLS_FTPHandler).

Usage: scripted_ftpsd.py PORT ROOT USER PASSWORD CONTROL_DIR CERT_PEM

The directives of scripted_ftpd.py, plus:
  data-clear             accept PROT P, then send the data connection in clear
  retr-end cut           (with retr-limit) end the data connection without TLS
                         close_notify, then report the transfer complete
  stor-flood             during STOR, write to the client on the data
                         connection for ever

LIST and NLST of "folder/*.*" list the folder, as the usual servers do.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scripted_ftpd as base  # noqa: E402
from pyftpdlib.handlers import DTPHandler, TLS_DTPHandler, TLS_FTPHandler  # noqa: E402


class FloodingDTP(TLS_DTPHandler):
    """Takes an upload while writing to the client, and goes on writing
    after the client's end of the upload."""

    def enable_receiving(self, type, cmd):
        TLS_DTPHandler.enable_receiving(self, type, cmd)
        self.push_with_producer(base.EndlessProducer())
        self.modify_ioloop_events(self.ioloop.READ | self.ioloop.WRITE)

    def writable(self):
        return True

    def handle_read(self):
        try:
            chunk = self.recv(self.ac_in_buffer_size)
        except Exception:
            return
        if chunk:
            self.tot_bytes_received += len(chunk)
            self.file_obj.write(chunk)

    handle_read_event = handle_read

CERT = sys.argv[6]


class Handler(base.Handler, TLS_FTPHandler):
    certfile = CERT
    tls_control_required = True
    tls_data_required = True

    def on_connect(self):
        base.Handler.on_connect(self)
        if self.directive("data-clear"):
            self.dtp_handler = DTPHandler
        elif self.directive("stor-flood"):
            self.dtp_handler = FloodingDTP

    def ftp_RETR(self, file):
        d = self.directive("retr-end")
        if d and d[1] == "cut" and self.directive("retr-limit"):
            limit = int(self.directive("retr-limit")[1])
            fd = self.run_as_current_user(self.fs.open, file, "rb")

            def at_end():
                # Skip the TLS shutdown: the peer sees a bare end of stream.
                self.data_channel._error = True

            producer = base.LimitedProducer(fd, self._current_type, limit, at_end)
            self.push_dtp_data(producer, isproducer=True, file=fd, cmd="RETR")
            return file
        return base.Handler.ftp_RETR(self, file)


    def ftp_LIST(self, path):
        return base.Handler.ftp_LIST(self, path[:-4] if path.endswith("/*.*") else path)

    def ftp_NLST(self, path):
        return base.Handler.ftp_NLST(self, path[:-4] if path.endswith("/*.*") else path)


if __name__ == "__main__":
    base.serve(Handler)

#!/usr/bin/python3
"""The scripted test FTP server with the faults the transfer-engine tests inject.

Usage: fault_ftpd.py PORT ROOT USER PASSWORD CONTROL_DIR

Takes every directive of tests/support/scripted_ftpd.py, and these:

  drop <CMD>             close the control connection when CMD arrives
  drop-after-150 <CMD>   answer CMD with 150, then close the control connection
  drop-nth <CMD> <n>     close the control connection when the n-th CMD of
                         the connection arrives
  stor-drop <n>          STOR takes n bytes, then both connections are closed
  listing <text>         LIST sends <text> as the listing ("\\r\\n" = CR LF)
  mute-after <CMD> <n>   every CMD after the n-th is carried out without a
                         reply, and the control connection closes 0.3 s after
                         the first of them (the replies are lost on the way)

LIST and NLST of "folder/*.*" list the folder, as vsftpd, proftpd and
pure-ftpd do (stock pyftpdlib refuses the pattern). MLSD and MLST are not
offered, so every listing is a LIST that the directives can script.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import scripted_ftpd as base  # noqa: E402
from pyftpdlib.handlers import DTPHandler  # noqa: E402


class DroppingDTP(DTPHandler):
    limit = 0

    def handle_read(self):
        DTPHandler.handle_read(self)
        if self.receive and self.tot_bytes_received >= self.limit:
            self.cmd_channel.close()

    handle_read_event = handle_read


class Handler(base.Handler):
    proto_cmds = {k: v for k, v in base.Handler.proto_cmds.items() if k not in ("MLSD", "MLST")}

    def on_connect(self):
        base.Handler.on_connect(self)
        d = self.directive("stor-drop")
        if d:
            class Dropping(DroppingDTP):
                limit = int(d[1])

            self.dtp_handler = Dropping

    def pre_process_command(self, line, cmd, arg):
        self.seen = getattr(self, "seen", {})
        self.seen[cmd] = self.seen.get(cmd, 0) + 1
        nth = self.directive("drop-nth", cmd)
        if self.directive("drop", cmd) or (nth and int(nth[2]) == self.seen[cmd]):
            with open(base.WIRE, "a", encoding="utf-8", errors="replace") as f:
                f.write(line + "\n")
            self.close()
            return
        mute = self.directive("mute-after", cmd)
        if mute and self.seen[cmd] > int(mute[2]) and not getattr(self, "muted", False):
            self.muted = True
            self.ioloop.call_later(0.3, self.close)
        if self.directive("drop-after-150", cmd):
            with open(base.WIRE, "a", encoding="utf-8", errors="replace") as f:
                f.write(line + "\n")
            self.push("150 File status okay. About to open data connection.\r\n")
            self.close_when_done()
            return
        base.Handler.pre_process_command(self, line, cmd, arg)

    def respond(self, resp, logfun=None):
        if not getattr(self, "muted", False):
            base.Handler.respond(self, resp, logfun)

    def ftp_LIST(self, path):
        d = self.directive("listing")
        if d:
            self.push_dtp_data(d[1].encode("utf-8", "surrogateescape"), cmd="LIST")
            return path
        if path.endswith("/*.*"):
            path = path[:-4]
        return base.Handler.ftp_LIST(self, path)

    def ftp_NLST(self, path):
        if path.endswith("/*.*"):
            path = path[:-4]
        return base.Handler.ftp_NLST(self, path)


if __name__ == "__main__":
    base.serve(Handler)

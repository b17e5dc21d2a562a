#!/usr/bin/python3
"""A stand-in for the user's systemd, for tests on machines whose systemd is
not process 1 (so no user manager runs): called as "systemctl" (always with
--user) or as "loginctl" through links of those names.

Its state lives in $KV_SYSTEMD_STATE: "calls" (one line per call), for each
running service "<unit>.pid", and files that change answers: "no-manager"
(every call fails as without a user manager), "fail-start", "fail-enable",
"bad-unit" (the unit does not load), "linger" (what loginctl says for Linger;
"yes" without the file).

Services are started from the unit files in $XDG_CONFIG_HOME/systemd/user as
systemd starts them: ExecStart= and Environment= with the specifiers %f, %i,
%I and %%, Type=notify (start returns once READY=1 arrives, fails when the
program ends first), stopped with SIGTERM and waited for.
"""
import os
import shlex
import signal
import socket
import subprocess
import sys
import time

STATE = os.environ["KV_SYSTEMD_STATE"]


def state_path(name):
    return os.path.join(STATE, name)


def flag(name):
    return os.path.exists(state_path(name))


def unit_dir():
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.expanduser("~/.config")
    return os.path.join(config, "systemd", "user")


def unit_file(unit):
    return os.path.join(unit_dir(), unit)


def wants_link(unit):
    return os.path.join(unit_dir(), "default.target.wants", unit)


def instance(unit):
    return unit[unit.index("@") + 1:unit.rindex(".")]


def folder(unit):
    out = subprocess.run(["systemd-escape", "--unescape", "--path", instance(unit)],
                         capture_output=True, text=True, check=True)
    return out.stdout.strip()


def expand(value, unit):
    names = {"%": "%", "f": folder(unit), "i": instance(unit), "I": folder(unit)[1:]}
    out, k = "", 0
    while k < len(value):
        if value[k] == "%" and k + 1 < len(value):
            out += names.get(value[k + 1], "%" + value[k + 1])
            k += 2
        elif value[k] == "$" and value[k + 1:k + 2] == "$":
            out += "$"
            k += 2
        else:
            out += value[k]
            k += 1
    return out


def service_of(unit):
    env, argv = {}, None
    with open(unit_file(unit)) as f:
        for line in f:
            line = line.strip()
            if line.startswith("#") or "=" not in line:
                continue
            key, value = line.split("=", 1)
            if key == "Environment":
                for word in shlex.split(expand(value, unit)):
                    name, text = word.split("=", 1)
                    env[name] = text
            elif key == "ExecStart":
                argv = shlex.split(expand(value, unit))
    return env, argv


def running_pid(unit):
    try:
        pid = int(open(state_path(unit + ".pid")).read())
        with open("/proc/%d/stat" % pid) as f:
            if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                return None
        return pid
    except (OSError, ValueError):
        return None


def failed_job(unit):
    print("Job for %s failed because the control process exited with error code." % unit,
          file=sys.stderr)
    return 1


def start(unit):
    if running_pid(unit):
        return 0
    if flag("fail-start") or not os.path.exists(unit_file(unit)):
        return failed_job(unit)
    extra, argv = service_of(unit)
    name = "kvsd%d" % os.getpid()
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind("\0" + name)
    sock.settimeout(0.1)
    env = dict(os.environ)
    env.update(extra)
    env["NOTIFY_SOCKET"] = "@" + name
    log = open(state_path(unit + ".log"), "ab")
    child = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                             start_new_session=True)
    deadline = time.time() + 60
    while time.time() < deadline:
        try:
            if "READY=1" in sock.recv(4096).decode():
                with open(state_path(unit + ".pid"), "w") as f:
                    f.write(str(child.pid))
                return 0
        except socket.timeout:
            pass
        if child.poll() is not None:
            return failed_job(unit)
    child.kill()
    return failed_job(unit)


def stop(unit):
    pid = running_pid(unit)
    if pid:
        os.kill(pid, signal.SIGTERM)
        for _ in range(1200):
            if not running_pid(unit):
                break
            time.sleep(0.1)
    try:
        os.remove(state_path(unit + ".pid"))
    except OSError:
        pass
    return 0


def systemctl(args):
    quiet = "--quiet" in args
    words = [a for a in args if not a.startswith("--") or a.startswith("--property") or a == "--value"]
    command, rest = words[0], words[1:]
    if command == "show-environment":
        print("PATH=" + os.environ.get("PATH", ""))
        return 0
    if command == "daemon-reload":
        return 0
    if command == "enable":
        unit = rest[0]
        if flag("fail-enable") or not os.path.exists(unit_file(unit)):
            print("Failed to enable unit: Unit file %s does not exist." % unit, file=sys.stderr)
            return 1
        os.makedirs(os.path.dirname(wants_link(unit)), exist_ok=True)
        if not os.path.islink(wants_link(unit)):
            os.symlink(unit_file(unit), wants_link(unit))
        print("Created symlink %s -> %s." % (wants_link(unit), unit_file(unit)))
        return 0
    if command == "disable":
        unit = rest[0]
        if not os.path.exists(unit_file(unit)) and not os.path.islink(wants_link(unit)):
            print("Failed to disable unit: Unit file %s does not exist." % unit, file=sys.stderr)
            return 1
        if os.path.islink(wants_link(unit)):
            os.remove(wants_link(unit))
        return stop(unit) if "--now" in args else 0
    if command == "is-active":
        active = running_pid(rest[0]) is not None
        if not quiet:
            print("active" if active else "inactive")
        return 0 if active else 3
    if command == "is-enabled":
        enabled = os.path.islink(wants_link(rest[0]))
        if not quiet:
            print("enabled" if enabled else "disabled")
        return 0 if enabled else 1
    if command == "show":
        if flag("bad-unit"):
            print("bad-setting")
        else:
            print("loaded" if os.path.exists(unit_file(rest[-1])) else "not-found")
        return 0
    if command == "start":
        return start(rest[0])
    if command == "stop":
        return stop(rest[0])
    print("stand-in systemctl: %s is not known here" % command, file=sys.stderr)
    return 1


def loginctl(args):
    if args[:1] == ["show-user"] and "--property=Linger" in args:
        print(open(state_path("linger")).read().strip() if flag("linger") else "yes")
        return 0
    print("stand-in loginctl: not known here", file=sys.stderr)
    return 1


def main():
    name = os.path.basename(sys.argv[0])
    with open(state_path("calls"), "a") as f:
        f.write(" ".join([name] + sys.argv[1:]) + "\n")
    if name == "loginctl":
        return loginctl(sys.argv[1:])
    if flag("no-manager"):
        print("Failed to connect to bus: No medium found", file=sys.stderr)
        return 1
    if "--user" not in sys.argv[1:]:
        print("stand-in systemctl: only --user is served", file=sys.stderr)
        return 1
    return systemctl(sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env bash
# Installs the Debian packages that building and testing Korvane need, and
# unpacks the three C FTP servers for the tests (they conflict with each other
# in apt, so they are unpacked, never installed as services).
# Safe to run again: it does nothing when everything is present.
set -euo pipefail

SERVERS_DIR=${KORVANE_TEST_SERVERS:-/opt/korvane-test-servers}

PACKAGES=(
    build-essential cmake pkg-config git
    googletest libgtest-dev libgmock-dev
    clang libclang-rt-14-dev clang-format
    openssl
    # test peers: FTP servers, SOCKS proxies, FTP clients for the benchmarks
    python3 python3-pyftpdlib dante-server microsocks openssh-server openssh-client
    # a hostile SFTP server for the SFTP session's time-outs and limits
    python3-paramiko
    curl lftp iproute2 util-linux procps
    # power cuts of an ext4 image for the crash sweep
    e2fsprogs
    # libraries of the unpacked FTP servers
    libcap2 libpam0g libpam-modules libpam-runtime libssl3 libwrap0 libsodium23 libcrypt1
    libacl1 libhiredis0.14 libidn2-0 libmemcached11 libmemcachedutil2 libncursesw6
    libpcre2-8-0 libpcre2-posix3 libtinfo6 zlib1g
    # the Debian package and its test: cpack's dpkg-shlibdeps, dpkg-deb, gzip,
    # systemd-analyze verify (which opens the manual page with man), groff,
    # lintian for the packages' verdict
    dpkg-dev gzip binutils systemd man-db groff-base lintian
    # the window: Qt 6 Widgets, a CJK font for Chinese captions, and a virtual
    # X server with screenshot tools for the window's pictures
    qt6-base-dev fonts-wqy-microhei xvfb xauth imagemagick
    # the notification-area test: a tray on Xvfb, a mouse click, the window tree
    trayer xdotool x11-utils
    # the transfer history: SQLite for its index beside the logs, Qt Charts
    # (which needs the Qt OpenGL development files) for its daily chart
    libsqlite3-dev qt6-charts-dev libqt6opengl6-dev
    # the upgrade check's HTTPS: Qt Network with its OpenSSL TLS plugin
    libqt6network6
    # explicit FTPS: OpenSSL 3 for the session (its libcrypto also gives the
    # SHA-256 of files and upgrade downloads), pyftpdlib's TLS handler, and
    # tcpdump for the tests that check no password crosses in clear
    libssl-dev python3-openssl tcpdump
    # SFTP mailboxes: libssh for the session's SSH transport (OpenSSH's sshd,
    # started by the tests, is listed with the test peers above)
    libssh-dev
    # the dialogs' tests measure captions against their controls in this
    # Latin font (fontconfig's usual default, named so it is always the same)
    fonts-dejavu-core
    # crashes on demand by system call injection: the transfer cycles' crash
    # sweep, the updater killed at each rename, the instance lock refused
    strace
)
SERVER_DEBS=(vsftpd pure-ftpd proftpd-core)

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
need_servers=0
for s in "${SERVER_DEBS[@]}"; do
    [ -d "$SERVERS_DIR/$s/usr" ] || need_servers=1
done

if [ ${#missing[@]} -gt 0 ] || [ $need_servers = 1 ]; then
    $SUDO apt-get update -qq
fi

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    # Keep daemons from starting as system services during the install.
    created_policy=0
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
        $SUDO chmod +x /usr/sbin/policy-rc.d
        created_policy=1
    fi
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
    if [ $created_policy = 1 ]; then $SUDO rm -f /usr/sbin/policy-rc.d; fi
fi

if [ $need_servers = 1 ]; then
    tmp=$(mktemp -d)
    chmod 755 "$tmp" # apt downloads as its own user
    (cd "$tmp" && apt-get download "${SERVER_DEBS[@]}" >/dev/null)
    $SUDO mkdir -p "$SERVERS_DIR"
    for s in "${SERVER_DEBS[@]}"; do
        deb=$(ls "$tmp"/"${s}"_*.deb | head -n 1)
        $SUDO rm -rf "$SERVERS_DIR/$s"
        $SUDO dpkg -x "$deb" "$SERVERS_DIR/$s"
    done
    rm -rf "$tmp"
fi

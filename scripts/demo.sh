#!/usr/bin/env bash
# Installs what is needed, builds, and runs Korvane once on a demo mailbox:
# a real FTP server (vsftpd) on 127.0.0.1 with a remote "out", "in" and "tmp"
# holding sample EDI files, and a local outbox with files to send. Prints what
# happened, then stops the server. The demo folder is kept for a look around.
#   ./scripts/demo.sh            one cycle with korvaned ONCE, plain FTP
#   ./scripts/demo.sh --ftps     the same over explicit FTPS: the server
#                                requires TLS, Korvane sets Options/FTPS=1 and
#                                trusts the demo's own certificate
#   ./scripts/demo.sh --sftp     the same mailbox on an SFTP server (OpenSSH's
#                                sshd, internal-sftp, chrooted): Korvane sets
#                                Options/Protocol=SFTP and pins its host key
#   ./scripts/demo.sh --window   the window on the same mailbox (needs a
#                                display); the summary follows when it closes
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
window=0
ftps=0
sftp=0
for arg in "$@"; do
    case "$arg" in
    --window) window=1 ;;
    --ftps) ftps=1 ;;
    --sftp) sftp=1 ;;
    *)
        echo "usage: $0 [--ftps | --sftp] [--window]" >&2
        exit 2
        ;;
    esac
done
if [ $window = 1 ] && [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "--window needs a display (DISPLAY or WAYLAND_DISPLAY)." >&2
    exit 2
fi

if [ $ftps = 1 ] && [ $sftp = 1 ]; then
    echo "--ftps and --sftp exclude each other." >&2
    exit 2
fi
if [ "$(id -u)" != 0 ]; then
    echo "The demo starts vsftpd or sshd, which need root: run it as root (or with sudo)." >&2
    exit 2
fi

./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target korvaned
if [ $window = 1 ]; then cmake --build build -j"$(nproc)" --target korvane; fi

demo=$(mktemp -d /tmp/korvane-demo.XXXXXX)
chmod 755 "$demo"
home="$demo/program"
mkdir -p "$home/Language"
cp "$src/data/Language/"*.ini "$home/Language/"

# The FTP account of the demo.
. "$src/scripts/lib/vsftpd.sh"
user=korvanedemo
password=demo-$RANDOM$RANDOM
kv_ftp_account "$user" "$password"

root="$demo/ftp"
if [ $sftp = 1 ]; then
    # sshd chroots the user: its folder and every one above it must be
    # root's and writable by nobody else, which /tmp is not.
    mkdir -p /var/lib/korvane-demo
    chmod 755 /var/lib /var/lib/korvane-demo
    chroot="/var/lib/korvane-demo/$(basename "$demo")"
    mkdir -p "$chroot"
    chmod 755 "$chroot"
    # The user's own folder in it, where the mailbox's folders are.
    root="$chroot/mailbox"
fi
mkdir -p "$root/out" "$root/in" "$root/tmp"
crlf() { printf '%s\r\n' "$@"; }
# Waiting for download: a one-line and a multi-line EDIFACT interchange, an
# XML document, a flat "00:" file, a fixed-format manifest and a bundle.
printf "%s" "UNA:+.? 'UNB+UNOA:2+CENTRE01:14+KORVANEDEMO:14+261207:0900+1'UNH+1+INVOIC:D:96A:UN'BGM+380+INV1+9'UNT+3+1'UNZ+1+1'" \
    >"$root/out/INVOIC001.EDI"
crlf "UNA:+.? '" "UNB+UNOA:2+SHIPPER7:ZZ+KORVANEDEMO:ZZ+261207:0905+2'" \
    "UNH+1+IFTMIN:D:99B:UN'" "BGM+610+BK2+9'" "UNT+3+1'" "UNZ+1+2'" >"$root/out/BOOKING002.EDI"
crlf '<?xml version="1.0" encoding="UTF-8"?>' '<Envelope>' '  <SenderID>port-authority</SenderID>' \
    '  <ReceiverID>korvanedemo</ReceiverID>' '  <MessageType>vesselcall</MessageType>' '</Envelope>' \
    >"$root/out/call003.xml"
crlf "00:CUSRES:9:20261207:CUSTOMS:KORVANEDEMO:1" "10:ACCEPTED" >"$root/out/CUSRES004.TXT"
crlf "MFT506 MANIFEST 2026-12-07" >"$root/out/CUS0001KORVANE.EAT"
printf 'PK\003\004demo bundle' >"$root/out/CN_CNC102_20261207_ABC1234_01.ZIP"

# Waiting to be sent: a PREMFT flat file, a file of a foreign sender and an
# EDIFACT interchange.
out="$home/OUTBOX"
mkdir -p "$out"
crlf "00:PREMFT:9:20261207:SENDER:RECEIVER:1" "10:CONTAINER MSKU1234565" >"$out/PREMFT100.TXT"
crlf "00:CUSDEC:9:20261207:SOMEBODYELSE:CUSTOMS:1" "10:DECLARATION" >"$out/CUSDEC101.TXT"
crlf "UNB+UNOA:2+KORVANEDEMO:ZZ+CENTRE01:ZZ+261207:1000+5'" "UNH+1+ORDERS:D:96A:UN'" \
    "BGM+220+PO55+9'" "UNT+3+1'" "UNZ+1+5'" >"$out/ORDERS102.EDI"

certs=""
if [ $ftps = 1 ]; then
    certs="$demo/certs"
    mkdir -p "$certs"
    kv_make_cert "$certs"
fi
if [ $sftp = 1 ]; then
    . "$src/scripts/lib/sshd.sh"
    chown -R "$user" "$root"
    kv_start_sshd "$demo" "$chroot" "$user" mailbox
else
    kv_start_vsftpd "$demo" "$root" "$user" "$certs"
fi
trap kv_stop_vsftpd EXIT
port=$KV_FTP_PORT

hex=$(printf '%s\n' "$password" | "$src/build/bin/korvaned" PASSWORD)
{
    crlf "[Options]" "Host=127.0.0.1" "Port=$port" "UserID=$user" "Password=$hex" \
        "TransferType=BIN" "Passive=1" "FileSender=KORVANEDEMO" "RemoteInPath=in" \
        "RemoteOutPath=out" "TimeInterval=10" "Language=English" "LanguageFile=kven.ini" \
        "LocalOutPath=$out"
    crlf "AllowStartAuto=$window"
    crlf "[System]" "LogStep=Day" "Message=$window"
    crlf "[View]" "StatusBar=1" "DebugView=1"
} >"$home/Korvane.ini"
if [ $ftps = 1 ]; then
    # Explicit TLS required; the demo's self-signed certificate is the trust anchor.
    sed -i "s|^Passive=1\r\$|Passive=1\r\nFTPS=1\r\nFTPSCAFile=$certs/cert.pem\r|" "$home/Korvane.ini"
    echo "== FTPS: the server requires TLS; Options/FTPS=1, Options/FTPSCAFile=$certs/cert.pem"
fi
if [ $sftp = 1 ]; then
    # The server's host key is pinned: another key would be refused.
    sed -i "s|^Passive=1\r\$|Passive=1\r\nProtocol=SFTP\r\nSFTPHostKey=$KV_SSH_FINGERPRINT\r|" "$home/Korvane.ini"
    echo "== SFTP: Options/Protocol=SFTP, Options/SFTPHostKey=$KV_SSH_FINGERPRINT"
    echo "   (the fingerprint of the server's key: ssh-keygen -l -E sha256 -f $demo/ssh_host_key.pub)"
fi

if [ $window = 1 ]; then
    echo "== The window: KORVANE_HOME=$home korvane"
    echo "   Action > Connect, then Receive & Send; Start Auto for automatic mode;"
    echo "   View > Language for Chinese. Close the window to see the summary."
    KORVANE_HOME="$home" "$src/build/bin/korvane" || true
else

# The outbox files were written just now: an outbox file is sent only once it
# has been left alone for Options/OutboxSettleTime seconds (3 by default).
sleep 3
echo "== Running: KORVANE_HOME=$home korvaned ONCE"
set +e
KORVANE_HOME="$home" "$src/build/bin/korvaned" ONCE
status=$?
set -e
echo "== Exit status: $status (0 all well, 1 a file step reported an error, 2 no connection)"
echo "   1 is what this demo expects: the outbox holds a file of a foreign sender, which is refused."
fi
echo
echo "== System log"
cat "$home"/LOG/KVSYS*.LOG | tr -d '\r'
echo
echo "== Transfer log"
cat "$home"/LOG/KVTSF*.LOG 2>/dev/null | tr -d '\r' || true
echo
echo "== Inbox ($home/INBOX)"
ls -l "$home/INBOX"
echo
echo "== Error folder ($home/ERROR)"
ls -l "$home/ERROR"
echo
echo "== Backup of sent files ($home/BACKUP)"
find "$home/BACKUP" -type f | sed "s|$home/||"
echo
echo "== On the server: the login folder (client information file), in/ (arrived), out/ (left)"
ls -l "$root" "$root/in" "$root/out"
echo
echo "The demo folder stays at $demo (program folder: $home)."

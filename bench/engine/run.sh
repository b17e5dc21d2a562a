#!/usr/bin/env bash
# Receive and send throughput of `korvaned ONCE` against lftp and curl, in one
# run, against the same local vsftpd:
#   receive 1,000 files of 2 KiB (lftp mirror --Remove-source-files)
#   receive one file of 512 MiB to disk and delete it on the server (curl -Q -DELE)
#   send 1,000 files of 2 KiB (lftp mirror -R --Remove-source-files)
# Prints files per second, MB/s, peak memory and the ratios. Needs root.
# Each figure is the median of ROUNDS runs (default 3), Korvane and the peer
# taking turns, since a loopback run on a shared machine varies a lot.
#   ./bench/engine/run.sh [small-count] [big-count] [big-MiB]
set -euo pipefail
cd "$(dirname "$0")/../.."
src=$PWD
small=${1:-1000}
big=${2:-1}
bigmib=${3:-512}
rounds=${ROUNDS:-3}

./scripts/install-deps.sh
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target korvaned bench_measure >/dev/null
korvaned=$src/$build/bin/korvaned
. "$src/scripts/lib/vsftpd.sh"

work=$(mktemp -d /tmp/korvane-bench.XXXXXX)
chmod 755 "$work"
trap 'kv_stop_vsftpd; rm -rf "$work"' EXIT
user=korvanebench
password=bench-$RANDOM$RANDOM
kv_ftp_account "$user" "$password"
root="$work/ftp"
mkdir -p "$root/out" "$root/in" "$root/tmp"
kv_start_vsftpd "$work" "$root" "$user"

home="$work/program"
mkdir -p "$home"
hex=$(printf '%s\n' "$password" | "$korvaned" PASSWORD)
korvane_ini() { # AllowReceive AllowSend
    printf '%s\r\n' "[Options]" "Host=127.0.0.1" "Port=$KV_FTP_PORT" "UserID=$user" \
        "Password=$hex" "TransferType=BIN" "Passive=1" "FileSender=BENCH" \
        "RemoteInPath=in" "OutboxSettleTime=0" "RemoteOutPath=out" "AllowReceive=$1" "AllowSend=$2" \
        "[System]" "LogStep=Month" "Message=0" >"$home/Korvane.ini"
}

make_small() { # folder
    python3 - "$1" "$small" <<'PY'
import os, sys
folder, n = sys.argv[1], int(sys.argv[2])
body = ("UNB+UNOA:2+BENCH:ZZ+CENTRE:ZZ+261207:1000+1'UNH+1+INVOIC:D:96A:UN'" + "X" * 2048)[:2048]
for i in range(n):
    with open(os.path.join(folder, f"F{i:05d}.EDI"), "w") as f:
        f.write(body)
PY
}
make_big() { # folder
    for i in $(seq 1 "$big"); do
        head -c $((bigmib * 1024 * 1024)) /dev/urandom >"$1/BIG$i.DAT"
    done
}
reset_remote() { rm -rf "$root/out" "$root/in" "$root/tmp"; mkdir -p "$root/out" "$root/in" "$root/tmp"; }
owned() { chown -R "$user" "$root"; }

# "seconds peak-KiB exit-status" of one command. Each run starts with nothing
# left to write back: Korvane's flush must not pay for the files this script
# just made, nor for what the previous peer left unflushed.
run() {
    sync
    "$src/$build/bench/bench_measure" "$@" | awk '{ printf "%.3f %s %s\n", $1 / 1000, $2, $3 }'
}
lftp_cmd() { lftp -u "$user,$password" -p "$KV_FTP_PORT" -e "set ftp:passive-mode on; set net:max-retries 1; $1; bye" 127.0.0.1; }

declare -A T M
# Adds one sample of "seconds peak-KiB" to the lists of key.
sample() { T[$1]="${T[$1]:-} $2"; M[$1]="${M[$1]:-} $3"; }

receive_round() { # label maker files
    local label=$1 maker=$2 t m s
    reset_remote; $maker "$root/out"; owned
    rm -rf "$home/INBOX" "$home/TMP" "$home/LOG"; korvane_ini 1 0
    read -r t m s < <(run env KORVANE_HOME="$home" "$korvaned" ONCE)
    [ "$(ls "$home/INBOX" | wc -l)" = "$3" ] || { echo "korvane received $(ls "$home/INBOX" | wc -l) of $3 (exit $s)" >&2; exit 1; }
    sample "k$label" "$t" "$m"
    reset_remote; $maker "$root/out"; owned
    local dest="$work/peer-in"; rm -rf "$dest"; mkdir -p "$dest"
    if [ "$label" = big ]; then
        # curl: each file to disk, then DELE on the server (no flush, as lftp).
        local names; names=$(cd "$root/out" && ls)
        local cmd="cd $dest"
        for n in $names; do
            cmd="$cmd && curl -s --disable-epsv -u $user:$password -o $n -Q '-DELE $n' ftp://127.0.0.1:$KV_FTP_PORT/out/$n"
        done
        read -r t m s < <(run bash -c "$cmd")
    else
        read -r t m s < <(run bash -c "$(declare -f lftp_cmd); user=$user password=$password KV_FTP_PORT=$KV_FTP_PORT; lftp_cmd 'mirror --Remove-source-files out $dest'")
    fi
    [ "$(ls "$dest" | wc -l)" = "$3" ] || { echo "peer received $(ls "$dest" | wc -l) of $3" >&2; exit 1; }
    [ "$(ls "$root/out" | wc -l)" = 0 ] || { echo "peer left files on the server" >&2; exit 1; }
    sample "l$label" "$t" "$m"
}
send_round() {
    local t m s
    reset_remote; owned
    rm -rf "$home/OUTBOX" "$home/BACKUP" "$home/LOG"; mkdir -p "$home/OUTBOX"; make_small "$home/OUTBOX"
    korvane_ini 0 1
    read -r t m s < <(run env KORVANE_HOME="$home" "$korvaned" ONCE)
    [ "$(ls "$root/in" | wc -l)" = "$small" ] || { echo "korvane sent $(ls "$root/in" | wc -l) of $small (exit $s)" >&2; exit 1; }
    sample ksend "$t" "$m"
    reset_remote; owned
    local from="$work/lftp-out"; rm -rf "$from"; mkdir -p "$from"; make_small "$from"
    read -r t m s < <(run bash -c "$(declare -f lftp_cmd); user=$user password=$password KV_FTP_PORT=$KV_FTP_PORT; lftp_cmd 'mirror -R --Remove-source-files $from in'")
    [ "$(ls "$root/in" | wc -l)" = "$small" ] || { echo "lftp sent $(ls "$root/in" | wc -l) of $small" >&2; exit 1; }
    sample lsend "$t" "$m"
}

for _ in $(seq 1 "$rounds"); do
    receive_round small make_small "$small"
    receive_round big make_big "$big"
    send_round
done

report() { # label what count bytes
    python3 - "$1" "$2" "$3" "$4" "${T[k$1]}" "${M[k$1]}" "${T[l$1]}" "${M[l$1]}" <<'PY'
import statistics, sys
label, what, count, nbytes = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
kt, lt = (statistics.median(map(float, a.split())) for a in (sys.argv[5], sys.argv[7]))
km, lm = (max(map(int, a.split())) for a in (sys.argv[6], sys.argv[8]))
print(f"{what}:")
print(f"  korvane {kt:7.2f} s  {count/kt:8.1f} files/s  {nbytes/kt/1e6:8.1f} MB/s  peak {km/1024:6.1f} MiB")
peer = "curl" if label == "big" else "lftp"
print(f"  {peer:7} {lt:7.2f} s  {count/lt:8.1f} files/s  {nbytes/lt/1e6:8.1f} MB/s  peak {lm/1024:6.1f} MiB")
print(f"  ratio ({peer} time / korvane time): {lt/kt:.2f}")
PY
}
echo "vsftpd on 127.0.0.1, passive, binary; $(nproc) cores; median of $rounds rounds, peak memory the highest"
report small "receive $small x 2 KiB" "$small" $((small * 2048))
report big "receive $big x $bigmib MiB" "$big" $((big * bigmib * 1024 * 1024))
report send "send $small x 2 KiB" "$small" $((small * 2048))

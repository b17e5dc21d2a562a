# Shell functions that start and stop a private vsftpd on 127.0.0.1, for the
# demo and the benchmarks. Source this file; needs root (vsftpd must start as
# root) and the server unpacked by scripts/install-deps.sh.

KV_VSFTPD=${KORVANE_TEST_SERVERS:-/opt/korvane-test-servers}/vsftpd/usr/sbin/vsftpd

# kv_free_port: prints a free TCP port on 127.0.0.1.
kv_free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# kv_ftp_account USER PASSWORD: a system user that can only log in over FTP.
kv_ftp_account() {
    id -u "$1" >/dev/null 2>&1 || useradd -r -M -d / -s /usr/sbin/nologin "$1"
    echo "$1:$2" | chpasswd -c SHA512
    printf 'auth required pam_unix.so\naccount required pam_unix.so\nsession required pam_permit.so\n' \
        >/etc/pam.d/korvane-ftp
}

# kv_make_cert DIR: a self-signed certificate for 127.0.0.1 and localhost in
# DIR/cert.pem and DIR/key.pem.
kv_make_cert() {
    openssl req -x509 -newkey rsa:2048 -nodes -days 3 -subj /CN=localhost \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1" \
        -keyout "$1/key.pem" -out "$1/cert.pem" 2>/dev/null
}

# kv_start_vsftpd WORKDIR ROOT USER [CERTDIR]: serves ROOT to USER; with
# CERTDIR (see kv_make_cert), explicit FTPS is required for logins and data,
# with TLS session reuse on data connections. Sets KV_FTP_PORT and KV_FTP_PID
# (the server's process group).
kv_start_vsftpd() {
    local work=$1 root=$2 user=$3 certs=${4:-}
    mkdir -p "$work/empty"
    chown -R "$user" "$root"
    chmod 755 "$work" "$root"
    KV_FTP_PORT=$(kv_free_port)
    local pasv=$(( (KV_FTP_PORT % 200) * 100 + 40000 ))
    cat >"$work/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$KV_FTP_PORT
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
pam_service_name=korvane-ftp
local_root=$root
chroot_local_user=YES
allow_writeable_chroot=YES
secure_chroot_dir=$work/empty
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port=$pasv
pasv_max_port=$((pasv + 99))
port_enable=YES
connect_from_port_20=NO
seccomp_sandbox=NO
xferlog_enable=NO
max_per_ip=0
max_clients=0
CONF
    if [ -n "$certs" ]; then
        cat >>"$work/vsftpd.conf" <<CONF
ssl_enable=YES
rsa_cert_file=$certs/cert.pem
rsa_private_key_file=$certs/key.pem
force_local_logins_ssl=YES
force_local_data_ssl=YES
require_ssl_reuse=YES
ssl_ciphers=HIGH
CONF
    fi
    setsid "$KV_VSFTPD" "$work/vsftpd.conf" >"$work/vsftpd.log" 2>&1 &
    KV_FTP_PID=$!
    local i
    for i in $(seq 1 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$KV_FTP_PORT") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "vsftpd did not start; see $work/vsftpd.log" >&2
    return 1
}

kv_stop_vsftpd() {
    [ -n "${KV_FTP_PID:-}" ] || return 0
    kill -TERM -- "-$KV_FTP_PID" 2>/dev/null || true
    local i
    for i in $(seq 1 30); do
        kill -0 "$KV_FTP_PID" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL -- "-$KV_FTP_PID" 2>/dev/null || true
    wait "$KV_FTP_PID" 2>/dev/null || true
    KV_FTP_PID=
}

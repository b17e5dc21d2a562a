# Shell functions that start a private OpenSSH sshd on 127.0.0.1 serving SFTP
# only, for the demo. Source it after scripts/lib/vsftpd.sh (kv_free_port,
# kv_ftp_account for the user, kv_stop_vsftpd to stop it); needs root.

# kv_start_sshd WORKDIR CHROOT USER START: serves CHROOT (root's, and every
# folder above it writable by root only) to USER with internal-sftp, the
# user starting in CHROOT/START, password logins, and a host key of its own
# made in WORKDIR. Sets KV_FTP_PORT, KV_FTP_PID and KV_SSH_FINGERPRINT (as
# "ssh-keygen -l -E sha256" prints it).
kv_start_sshd() {
    local work=$1 root=$2 user=$3 start=$4
    mkdir -p /run/sshd
    rm -f "$work/ssh_host_key" "$work/ssh_host_key.pub"
    ssh-keygen -q -t ed25519 -N '' -f "$work/ssh_host_key"
    KV_SSH_FINGERPRINT=$(ssh-keygen -l -E sha256 -f "$work/ssh_host_key.pub" | awk '{print $2}')
    KV_FTP_PORT=$(kv_free_port)
    cat >"$work/sshd_config" <<CONF
Port $KV_FTP_PORT
ListenAddress 127.0.0.1
HostKey $work/ssh_host_key
PidFile $work/sshd.pid
UsePAM no
PasswordAuthentication yes
KbdInteractiveAuthentication no
PermitRootLogin no
AllowUsers $user
AllowTcpForwarding no
X11Forwarding no
Subsystem sftp internal-sftp
ChrootDirectory $root
ForceCommand internal-sftp -d /$start
CONF
    setsid /usr/sbin/sshd -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
    KV_FTP_PID=$!
    local i
    for i in $(seq 1 100); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$KV_FTP_PORT") 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    echo "sshd did not start:" >&2
    cat "$work/sshd.log" >&2
    return 1
}

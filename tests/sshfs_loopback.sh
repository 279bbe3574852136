#!/usr/bin/env bash
# A network file system for the tests: an sshd of their own on 127.0.0.1
# serves the folder remote/ to the mount point mnt/ through sshfs. Its keys
# and configuration live in ../ssh, beside the case's folder.
#   sshfs_loopback.sh start   start the server and mount
#   sshfs_loopback.sh cut     end the server's sessions, as a server that goes away
#   sshfs_loopback.sh stop    unmount and stop the server
set -eu
state=$(cd .. && pwd)/ssh

start() {
  mkdir -p "$state" remote mnt /run/sshd
  ssh-keygen -q -t ed25519 -N '' -f "$state/host_key"
  ssh-keygen -q -t ed25519 -N '' -f "$state/client_key"
  cp "$state/client_key.pub" "$state/authorized_keys"
  local port
  for port in $(shuf -i 20000-60000 -n 20); do
    write_config "$port"
    /usr/sbin/sshd -f "$state/sshd_config" -E "$state/sshd.log" && break
  done
  for _ in $(seq 50); do
    [ -s "$state/sshd.pid" ] && sshfs -o "IdentityFile=$state/client_key,port=$port" \
      -o StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes \
      "root@127.0.0.1:$PWD/remote" mnt 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

write_config() {
  cat > "$state/sshd_config" <<CONFIG
ListenAddress 127.0.0.1
Port $1
HostKey $state/host_key
AuthorizedKeysFile $state/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PidFile $state/sshd.pid
Subsystem sftp internal-sftp
CONFIG
}

case $1 in
start) start ;;
cut) pkill -KILL -P "$(cat "$state/sshd.pid")" ;;
stop)
  fusermount -u -z mnt 2>/dev/null || umount -l mnt 2>/dev/null || true
  kill "$(cat "$state/sshd.pid")" 2>/dev/null || true
  ;;
esac

#!/usr/bin/env bash
# An sshd of the tests' own, listening on 127.0.0.1 and on 127.0.0.2 to
# 127.0.0.5, four addresses that stand in for four clients. Its keys, its
# configuration and a client configuration for ssh -F live in ../ssh,
# beside the case's folder.
#   sshfs_loopback.sh serve   start the server
#   sshfs_loopback.sh start   start the server and mount the folder remote/ on mnt/ through sshfs
#   sshfs_loopback.sh cut     end the server's sessions, as a server that goes away
#   sshfs_loopback.sh stop    unmount and stop the server
set -eu
state=$(cd .. && pwd)/ssh

serve() {
  mkdir -p "$state" /run/sshd
  ssh-keygen -q -t ed25519 -N '' -f "$state/host_key"
  ssh-keygen -q -t ed25519 -N '' -f "$state/client_key"
  cp "$state/client_key.pub" "$state/authorized_keys"
  local port
  # Ports below the range Linux draws its own from: a connection another
  # case has open can hold a port above it on one loopback address alone.
  for port in $(shuf -i 20000-32000 -n 20); do
    write_config "$port"
    rm -f "$state/sshd.pid" "$state/sshd.log"
    /usr/sbin/sshd -f "$state/sshd_config" -E "$state/sshd.log" || continue
    if ! grep -q 'Bind to port' "$state/sshd.log" && answers_everywhere; then
      return 0
    fi
    kill "$(cat "$state/sshd.pid")" 2>/dev/null || true
  done
  return 1
}

# Waits, 30 s at most, until the server takes a command on each of its
# addresses.
answers_everywhere() {
  for _ in $(seq 300); do
    [ -s "$state/sshd.pid" ] && answers 127.0.0.1 127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5 && return 0
    sleep 0.1
  done
  return 1
}

answers() {
  local address
  for address; do
    ssh -F "$state/ssh_config" "$address" true 2>/dev/null || return 1
  done
}

start() {
  mkdir -p remote mnt
  serve
  sshfs -F "$state/ssh_config" "127.0.0.1:$PWD/remote" mnt
}

write_config() {
  cat > "$state/sshd_config" <<CONFIG
ListenAddress 127.0.0.1
ListenAddress 127.0.0.2
ListenAddress 127.0.0.3
ListenAddress 127.0.0.4
ListenAddress 127.0.0.5
Port $1
HostKey $state/host_key
AuthorizedKeysFile $state/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
MaxStartups 100
PidFile $state/sshd.pid
Subsystem sftp internal-sftp
CONFIG
  cat > "$state/ssh_config" <<CONFIG
Host 127.0.0.*
  Port $1
  User root
  IdentityFile $state/client_key
  IdentitiesOnly yes
  StrictHostKeyChecking no
  UserKnownHostsFile /dev/null
  BatchMode yes
  LogLevel ERROR
  ConnectTimeout 5
CONFIG
}

case $1 in
serve) serve ;;
start) start ;;
cut) pkill -KILL -P "$(cat "$state/sshd.pid")" ;;
stop)
  fusermount -u -z mnt 2>/dev/null || umount -l mnt 2>/dev/null || true
  kill "$(cat "$state/sshd.pid")" 2>/dev/null || true
  ;;
esac

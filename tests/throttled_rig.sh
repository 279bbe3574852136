#!/usr/bin/env bash
# A device of known speed: ext4 on a loop device over a file in memory, its
# reads and writes throttled to 50 MiB/s by the block-I/O controller (cgroup
# v1 blkio, or v2 io.max where v1 is absent). Its state lives in the folder
# ../rig, beside the case's folder; the file system is mounted on m/.
#   throttled_rig.sh available        succeeds where the machine can throttle a device
#   throttled_rig.sh up               make the device, mount it, make the cgroup
#   throttled_rig.sh run COMMAND...   run COMMAND inside the cgroup
#   throttled_rig.sh down             take all of it down again
set -u
state=$(cd .. && pwd)/rig
limit=52428800
v1=/sys/fs/cgroup/blkio

cgroup() {
  if [ -d "$v1" ]; then echo "$v1/dorvik-rig-$(basename "$(dirname "$state")")"
  else echo "/sys/fs/cgroup/dorvik-rig-$(basename "$(dirname "$state")")"; fi
}

available() {
  [ -f "$v1/blkio.throttle.read_bps_device" ] || grep -qw io /sys/fs/cgroup/cgroup.controllers 2>/dev/null
}

up() {
  set -e
  mkdir -p "$state/memory" m
  mount -t tmpfs -o size=200m tmpfs "$state/memory"
  truncate -s 150M "$state/memory/img"
  losetup -f --show "$state/memory/img" > "$state/dev"
  mkfs.ext4 -q "$(cat "$state/dev")"
  mount "$(cat "$state/dev")" m
  local device group
  device=$(lsblk -dno MAJ:MIN "$(cat "$state/dev")" | tr -d ' ')
  group=$(cgroup)
  mkdir "$group"
  if [ -d "$v1" ]; then
    echo "$device $limit" > "$group/blkio.throttle.read_bps_device"
    echo "$device $limit" > "$group/blkio.throttle.write_bps_device"
  else
    echo "+io" > /sys/fs/cgroup/cgroup.subtree_control
    echo "$device rbps=$limit wbps=$limit" > "$group/io.max"
  fi
}

run() {
  sh -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$(cgroup)" "$@"
}

down() {
  umount m 2>/dev/null
  [ -s "$state/dev" ] && losetup -d "$(cat "$state/dev")"
  umount "$state/memory" 2>/dev/null
  rmdir "$(cgroup)" 2>/dev/null
  rm -rf "$state"
  return 0
}

"$@"

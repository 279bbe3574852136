#!/usr/bin/env bash
# A device of known speed: ext4 on a loop device over a file in memory, its
# reads and writes throttled to 50 MiB/s by the block-I/O controller (cgroup
# v1 blkio, or v2 io.max where v1 is absent). With v1 only the writes of the
# cgroup's own processes are throttled, not those of the kernel's flusher,
# which writes a device's dirty pages early once they pass the device's share
# of the dirty limit: the device gets a large share (min_ratio), so that its
# writes wait for the fsync of the test. Its state lives in the folder
# ../rig, beside the case's folder; the file system is mounted on m/.
#   throttled_rig.sh available        succeeds where the machine can throttle a device
#   throttled_rig.sh up [SIZE]        make the device (150M, or SIZE for truncate), mount it, make the cgroup
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
  local size=${1:-150M}
  mkdir -p "$state/memory" m
  mount -t tmpfs -o size=$(($(numfmt --from=iec "$size") + 50 * 1048576)) tmpfs "$state/memory"
  truncate -s "$size" "$state/memory/img"
  losetup -f --show "$state/memory/img" > "$state/dev"
  mkfs.ext4 -q "$(cat "$state/dev")"
  mount "$(cat "$state/dev")" m
  local device group
  device=$(lsblk -dno MAJ:MIN "$(cat "$state/dev")" | tr -d ' ')
  echo 40 > "/sys/class/bdi/$device/min_ratio"
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
  if [ -s "$state/dev" ]; then
    echo 0 > "/sys/class/bdi/$(lsblk -dno MAJ:MIN "$(cat "$state/dev")" | tr -d ' ')/min_ratio"
    losetup -d "$(cat "$state/dev")"
  fi
  umount "$state/memory" 2>/dev/null
  rmdir "$(cgroup)" 2>/dev/null
  rm -rf "$state"
  return 0
}

"$@"

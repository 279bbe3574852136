#!/usr/bin/env bash
# A device of known speed: ext4 on a loop device over a file in memory, its
# reads and writes throttled to 50 MiB/s by the block-I/O controller (cgroup
# v1 blkio, or v2 io.max where v1 is absent). With v1 a group's limit holds
# only for the writes of its own processes: the kernel's writers (the
# flusher, the journal's thread) write a share of a test's pages at the same
# time from the root group, unthrottled. So with v1 the limits are set on the
# root group itself, for the rig's own device alone, and every writer of the
# device shares them; commands run where they are. With v2 they are set on a
# group of the rig's, in which commands run. The device also gets a large
# share of the dirty limit (min_ratio), so that its writes wait for the fsync
# of the test. Its state lives in the folder ../rig, beside the case's
# folder; the file system is mounted on m/.
#   throttled_rig.sh available        succeeds where the machine can throttle a device
#   throttled_rig.sh up [SIZE]        make the device (150M, or SIZE for truncate), mount it, set its limits
#   throttled_rig.sh run COMMAND...   run COMMAND under the limits
#   throttled_rig.sh down             take all of it down again
set -u
state=$(cd .. && pwd)/rig
limit=52428800
v1=/sys/fs/cgroup/blkio

cgroup() {
  echo "/sys/fs/cgroup/dorvik-rig-$(basename "$(dirname "$state")")"
}

device_number() {
  lsblk -dno MAJ:MIN "$(cat "$state/dev")" | tr -d ' '
}

# The root group's read and write limits of a device under v1, in bytes a second (0: none).
v1_limits() {
  echo "$1 $2" > "$v1/blkio.throttle.read_bps_device"
  echo "$1 $2" > "$v1/blkio.throttle.write_bps_device"
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
  local device
  device=$(device_number)
  echo 40 > "/sys/class/bdi/$device/min_ratio"
  if [ -d "$v1" ]; then
    v1_limits "$device" "$limit"
  else
    mkdir "$(cgroup)"
    echo "+io" > /sys/fs/cgroup/cgroup.subtree_control
    echo "$device rbps=$limit wbps=$limit" > "$(cgroup)/io.max"
  fi
}

run() {
  if [ -d "$v1" ]; then exec "$@"; fi
  sh -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$(cgroup)" "$@"
}

down() {
  umount m 2>/dev/null
  if [ -s "$state/dev" ]; then
    local device
    device=$(device_number)
    echo 0 > "/sys/class/bdi/$device/min_ratio"
    [ -d "$v1" ] && v1_limits "$device" 0
    losetup -d "$(cat "$state/dev")"
  fi
  umount "$state/memory" 2>/dev/null
  rmdir "$(cgroup)" 2>/dev/null
  rm -rf "$state"
  return 0
}

"$@"

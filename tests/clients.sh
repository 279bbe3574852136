#!/usr/bin/env bash
# dorvik-clients against four clients on loopback (127.0.0.2 to 127.0.0.5),
# served by the tests' own sshd (sshfs_loopback.sh serve). The programs are
# installed into ../root, beside the case's folder. pdsh finds the ssh
# configuration through PDSH_SSH_ARGS_APPEND, clush through its own clush.conf.
#   clients.sh run SHELL ARGUMENTS...   dorvik-clients -e SHELL ARGUMENTS, then its status
#   clients.sh check FOLDER             checks the report's figures against the outputs and times
#   clients.sh interrupt SHELL          interrupts four clients mid-write; how long until none is left
#   clients.sh killed SHELL              kills the controller with SIGKILL mid-write; what is left 10 s later
#   clients.sh silent SHELL             a fifth host that accepts the connection and never answers; its ssh
#                                       does not outlive the run
set -u
state=$(cd .. && pwd)
bin=$state/root/usr/bin

install_programs() {
  [ -x "$bin/dorvik-clients" ] || DESTDIR=$state/root cmake --install "$BUILD" --prefix /usr >/dev/null
  export PDSH_SSH_ARGS_APPEND="-F $state/ssh/ssh_config" CLUSTERSHELL_CFGDIR=$state/clush
  mkdir -p "$state/clush"
  printf '[Main]\nssh_options: -F %s\n' "$state/ssh/ssh_config" > "$state/clush/clush.conf"
}

run() {
  local shell=$1
  shift
  install_programs
  "$bin/dorvik-clients" -e "$shell" --bin "$bin" --progress 0 "$@"
  echo "status $?"
}

# The span rows hold all bytes over their seconds, the window lies within the
# span, and the skews are those of the measured starts by each test's clock.
check() {
  "$bin/dorvik-report" "$1" > "$state/report.csv" || return 1
  python3 - "$1" "$state/report.csv" <<'PYTHON'
import csv, json, sys
summary = json.load(open(sys.argv[1] + "/clients.json"))
rows = list(csv.DictReader(open(sys.argv[2])))
hosts = [r for r in rows if r["status"] == "ok"]
for span in (r for r in rows if r["host"] == "all bytes / span"):
    point = [r for r in hosts if (r["size_mb"], r["record_length"]) == (span["size_mb"], span["record_length"])]
    moved = sum(int(r["size_mb"]) * 1048576 // int(r["record_length"]) * int(r["record_length"]) for r in point)
    window = next(r for r in rows if r["host"] == "while all were active" and r["size_mb"] == span["size_mb"]
                  and r["record_length"] == span["record_length"])
    for phase in ("write", "read"):
        seconds = float(span[phase + "_seconds"])
        assert abs(float(span[phase + "_mb_per_s"]) * seconds * 1048576 - moved) < 0.002 * moved, (phase, span)
        assert window[phase + "_seconds"] == "" or float(window[phase + "_seconds"]) <= seconds, (phase, window)
starts = [[t["start"] - t["offset"] for t in h["tests"]] for h in summary["hosts"]]
skews = [max(s) - min(s) for s in zip(*starts)]
points = [r for r in rows if r["host"] == "all bytes / span"]
assert len(points) != len(skews) or all(abs(float(r["start_skew_s"]) - s) < 2e-6 for r, s in zip(points, skews))
print(f"{len(summary['hosts'])} hosts; the figures follow from the outputs and the times; worst start skew "
      f"{'within' if max(skews) <= summary['skew_limit'] else 'beyond'} the limit")
PYTHON
}

start_writing() {
  install_programs
  mkdir -p shared
  "$bin/dorvik-clients" -e "$1" --bin "$bin" --progress 0 -w '127.0.0.[2-5]' -o out -- 400 16 "$PWD/shared/t.%h" \
    > "$state/report.txt" 2>&1 &
  controller=$!
  local i
  for i in $(seq 200); do [ "$(ls shared | wc -l)" -eq 4 ] && break; sleep 0.1; done
  echo "files while writing: $(ls shared | wc -l)"
}

# How many tenths of a second until no client's dorvik is left, up to seconds.
none_left_within() {
  local i
  for i in $(seq "$(($1 * 10))"); do pgrep -f "$bin/dorvik 400 16" >/dev/null || break; sleep 0.1; done
  pgrep -f "$bin/dorvik 400 16" >/dev/null && echo "dorvik still running after $1 s" || echo "no dorvik left within $1 s"
}

interrupt() {
  start_writing "$1"
  kill -INT "$controller"
  none_left_within 5
  wait "$controller"
  echo "status $?"
  echo "files left: $(ls shared | wc -l)"
  pgrep -f "BatchMode=yes.*$bin/dorvik-clients" >/dev/null && echo "ssh left" || echo "no ssh left"
  grep -c 'dorvik exited with status 0: dorvik: interrupted' "$state/report.txt"
}

killed() {
  start_writing "$1"
  kill -KILL "$controller"
  wait "$controller" 2>/dev/null
  none_left_within 10
  sleep 1
  echo "files left: $(ls shared | wc -l)"
  pgrep -f "BatchMode=yes.*$bin/dorvik-clients" >/dev/null && echo "ssh left" || echo "no ssh left"
  # Killed while it wrote the index aside (a busy machine's fsync takes a while), the controller leaves that
  # copy; the index beside it is the last one whole.
  rm -f out/.clients.json.new
}

silent() {
  local port
  port=$(awk '/Port/ {print $2}' "$state/ssh/ssh_config")
  python3 -c 'import socket, sys, time
s = socket.socket()
s.bind(("127.0.0.6", int(sys.argv[1])))
s.listen()
time.sleep(30)' "$port" &
  local listener=$! i
  for i in $(seq 50); do ss -ltn | grep -q "127.0.0.6:$port " && break; sleep 0.1; done
  mkdir -p shared
  run "$1" --deadline 3 -w '127.0.0.[2-6]' -o out -- 1 65536 "$PWD/shared/t.%h" | grep -E '^(127.0.0.6|status)'
  # This run's ssh names this case's configuration; another case may have its own ssh to 127.0.0.6.
  pgrep -af "BatchMode=yes.* 127.0.0.6 " | grep -qF "$state/ssh/" && echo "ssh left" || echo "no ssh left"
  kill "$listener"
}

"$@"

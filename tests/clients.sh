#!/usr/bin/env bash
# dorvik-clients against four clients on loopback (127.0.0.2 to 127.0.0.5),
# served by the tests' own sshd (sshfs_loopback.sh serve). The programs are
# installed into ../root, beside the case's folder.
#   clients.sh run SHELL ARGUMENTS...   dorvik-clients -e SHELL ARGUMENTS, then its status
#   clients.sh check FOLDER             checks the report's figures against the outputs and times
#   clients.sh interrupt SHELL          interrupts four clients mid-write; how long until none is left
set -u
state=$(cd .. && pwd)
bin=$state/root/usr/bin

install_programs() {
  [ -x "$bin/dorvik-clients" ] || DESTDIR=$state/root cmake --install "$BUILD" --prefix /usr >/dev/null
}

run() {
  local shell=$1
  shift
  install_programs
  "$bin/dorvik-clients" -e "$shell" --bin "$bin" --ssh "-F $state/ssh/ssh_config" "$@"
  echo "status $?"
}

# The sum rows add the hosts' rates; all bytes over the span of a phase can
# be no less than over the span of the whole runs; the skew is that of the
# recorded starts.
check() {
  "$bin/dorvik-report" "$1" > "$state/report.csv" || return 1
  python3 - "$1" "$state/report.csv" <<'PYTHON'
import csv, json, sys
summary = json.load(open(sys.argv[1] + "/clients.json"))
rows = list(csv.DictReader(open(sys.argv[2])))
hosts = [r for r in rows if r["status"] == "ok"]
total = {r["host"]: r for r in rows if r["status"] == "aggregate"}
starts = [h["start"] for h in summary["hosts"] if h["start"]]
ends = [h["end"] for h in summary["hosts"] if h["end"]]
moved = sum(int(r["size_mb"]) * 1048576 // int(r["record_length"]) * int(r["record_length"]) for r in hosts)
for phase in ("write", "read"):
    added = sum(float(r[phase + "_mb_per_s"]) for r in hosts)
    assert abs(added - float(total["sum of rates"][phase + "_mb_per_s"])) < 0.01, (phase, added)
    span = float(total["all bytes / span"][phase + "_mb_per_s"])
    assert span >= moved / (max(ends) - min(starts)) / 1048576 - 0.001, (phase, span)
assert abs(float(total["sum of rates"]["start_skew_s"]) - (max(starts) - min(starts))) < 2e-6
print(f"{len(hosts)} hosts; the figures follow from the outputs and the times")
PYTHON
}

interrupt() {
  install_programs
  mkdir -p shared
  "$bin/dorvik-clients" -e "$1" --bin "$bin" --ssh "-F $state/ssh/ssh_config" -w '127.0.0.[2-5]' -o out \
    -- 40 16 "$PWD/shared/t.%h" > "$state/report.txt" 2>&1 &
  local controller=$! i
  for i in $(seq 200); do [ "$(ls shared | wc -l)" -eq 4 ] && break; sleep 0.1; done
  echo "files while writing: $(ls shared | wc -l)"
  kill -INT "$controller"
  for i in $(seq 50); do pgrep -f "$bin/dorvik 40 16" >/dev/null || break; sleep 0.1; done
  pgrep -f "$bin/dorvik 40 16" >/dev/null && echo "dorvik still running after 5 s" || echo "no dorvik left within 5 s"
  wait "$controller"
  echo "status $?"
  echo "files left: $(ls shared | wc -l)"
  grep -c 'dorvik exited with status 0: dorvik: interrupted' "$state/report.txt"
}

"$@"

#!/usr/bin/env bash
# A Slurm of the tests' own on 127.0.0.1: munged, slurmctld and three slurmd
# started as -N n1, -N n2 and -N n3, each its own node with its own port, so
# that one machine stands in for three nodes. Its munge key and socket, its
# slurm.conf, spool folders, logs and pid files live in ../slurm, beside the
# case's folder, and its ports are drawn at random: rigs running side by side
# share nothing, and none needs the machine's own munged or /etc/slurm.
#   slurm_cluster.sh available        succeeds where Debian's slurmctld, slurmd, slurm-client and munge are installed
#   slurm_cluster.sh up               start it and wait until its three nodes are idle
#   slurm_cluster.sh env              print, as shell, the environment the Slurm commands need to reach it
#   slurm_cluster.sh run COMMAND...   run COMMAND in that environment
#   slurm_cluster.sh down             cancel its jobs, stop its daemons by pid and remove the state; pass or fail
#   slurm_cluster.sh freeze NODE      cut a node off: its slurmd and slurmstepd stop (SIGSTOP), its tasks run on
#   slurm_cluster.sh thaw NODE        bring it back (SIGCONT)
set -u
state=$(cd .. && pwd)/slurm
conf=$state/slurm.conf
# Made first in the state folder: down removes no folder that lacks it (run
# from the wrong folder, ../slurm may be anything).
mark=$state/.dorvik-slurm-rig
nodes="n1 n2 n3"
# Seconds a busy machine needs at most to bring the cluster up, or its jobs down.
deadline=90

available() {
  local program
  for program in munge munged slurmctld slurmd srun salloc sbatch sinfo squeue scancel scontrol; do
    command -v "$program" > /dev/null || return 1
  done
}

# Starts it again on other ports while a daemon ends at once (another rig
# took a port first), five times at most.
up() {
  local try status
  for try in 1 2 3 4 5; do
    start
    status=$?
    [ "$status" = 0 ] && return 0
    echo "slurm_cluster.sh: try $try failed" >&2
    tail -n 5 "$state"/*.log >&2
    down
    [ "$status" = 1 ] || return 1
  done
  return 1
}

# Starts the daemons on ports not in use; fails with 1 when one of them
# ends, with 2 when the nodes are not idle in time.
start() {
  end=$((SECONDS + deadline))
  if [ -e "$state" ] && [ ! -e "$mark" ]; then
    echo "slurm_cluster.sh: $state exists and is no rig's state" >&2
    return 3
  fi
  mkdir -p "$state" && touch "$mark" || return 2
  mkdir -p "$state/ctld" "$state/munge" "$state/spool" && chmod 755 "$state/munge" || return 2
  head -c 1024 /dev/urandom > "$state/munge.key" && chmod 400 "$state/munge.key" || return 2
  # --force: the case's folder above is open to root alone, which munged would refuse.
  daemon munged munged --foreground --force --socket="$state/munge/socket" --key-file="$state/munge.key" \
    --pid-file="$state/munged.pid" --log-file="$state/munged.log" --seed-file="$state/munged.seed"
  until munge -S "$state/munge/socket" -n > /dev/null 2>&1; do
    waiting || return
  done
  local ports
  mapfile -t ports < <(free_ports 4)
  write_config "${ports[@]}"
  daemon slurmctld slurmctld -D -f "$conf"
  local node
  for node in $nodes; do
    daemon "slurmd.$node" slurmd -D -f "$conf" -N "$node"
  done
  until [ "$(SLURM_CONF=$conf sinfo -h -N -o '%N %t' 2>/dev/null | sort | tr '\n' ' ')" = "n1 idle n2 idle n3 idle " ]; do
    waiting || return
  done
}

# Starts a daemon in the foreground of a session of its own, in the state
# folder (the case's folder is the case's to remove), its pid in NAME.pid and
# its own output in NAME.out.
daemon() {
  local name=$1
  shift
  (cd "$state" && exec setsid "$@" < /dev/null > "$name.out" 2>&1) &
  echo $! > "$state/$name.pid"
}

# Sleeps a moment; fails with 1 once a daemon has ended, with 2 once the deadline has passed.
waiting() {
  local pid_file
  for pid_file in "$state"/*.pid; do
    running "$(cat "$pid_file")" || return 1
  done
  [ "$SECONDS" -lt "$end" ] || return 2
  sleep 0.2
}

# Prints $1 distinct ports that nothing listens on, below the range Linux
# draws its own ports from by default.
free_ports() {
  local port busy
  busy=$(ss -Hltn | awk '{ sub(/.*:/, "", $4); print $4 }')
  for port in $(shuf -i 20000-32000 -n 100); do
    grep -qx "$port" <<< "$busy" || echo "$port"
  done | head -n "$1"
}

# slurm.conf for the controller on port $1 and the nodes on $2, $3 and $4.
# The controller, the nodes and, when the machine's name is a loopback address,
# srun bind 127.0.0.1 alone; the names in this cluster are unique to it.
write_config() {
  local bind=NoCtldInAddrAny hardware
  hardware=$(slurmd -C | sed -n '1s/^NodeName=[^ ]* //p')
  getent ahostsv4 "$(hostname)" | grep -q '^127\.' && bind=$bind,NoInAddrAny
  cat > "$conf" <<CONFIG
ClusterName=dorvik$1
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$1
CommunicationParameters=$bind
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$state/munge/socket
CredType=cred/munge
StateSaveLocation=$state/ctld
SlurmdSpoolDir=$state/spool/%n
SlurmctldPidFile=$state/slurmctld.pid
SlurmdPidFile=$state/slurmd.%n.pid
SlurmctldLogFile=$state/slurmctld.log
SlurmdLogFile=$state/slurmd.%n.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
ReturnToService=2
MailProg=/bin/true
NodeName=n1 NodeHostname=localhost NodeAddr=127.0.0.1 Port=$2 $hardware
NodeName=n2 NodeHostname=localhost NodeAddr=127.0.0.1 Port=$3 $hardware
NodeName=n3 NodeHostname=localhost NodeAddr=127.0.0.1 Port=$4 $hardware
PartitionName=all Nodes=n[1-3] Default=YES MaxTime=INFINITE State=UP
CONFIG
}

environment() {
  printf 'SLURM_CONF=%q\nexport SLURM_CONF\n' "$conf"
}

run() {
  SLURM_CONF=$conf exec "$@"
}

# Prints the pids of the processes that are this rig's: their working folder
# or a file they hold is in the state folder. This shell is none of them.
holders() {
  local pattern
  pattern=$(printf '%s' "$state" | sed 's/[][*?\\]/\\&/g')
  find /proc/[0-9]*/cwd /proc/[0-9]*/fd -maxdepth 1 \( -lname "$pattern" -o -lname "$pattern/*" \) \
    -printf '%p\n' 2> /dev/null | cut -d/ -f3 | sort -u | grep -vx "$$"
}

# Kills the tasks of its jobs and cancels the jobs; ends the processes named
# in the pid files, then whatever else holds the state folder.
down() {
  if [ ! -e "$mark" ]; then
    [ -e "$state" ] && echo "slurm_cluster.sh: $state is no rig's state; left alone" >&2
    return 0
  fi
  local node
  for node in $nodes; do
    signal_node CONT "$node"
  done
  if [ -s "$conf" ] && [ -s "$state/slurmctld.pid" ] && running "$(cat "$state/slurmctld.pid")"; then
    export SLURM_CONF=$conf
    local jobs steps end=$((SECONDS + deadline))
    mapfile -t jobs < <(squeue -h -o %A 2> /dev/null)
    mapfile -t steps < <(squeue -h -s -o %i 2> /dev/null | grep -v '\.batch$')
    # A step cancelled is killed at once; a job's tasks would have KillWait to ignore SIGTERM.
    [ ${#steps[@]} -gt 0 ] && scancel --quiet "${steps[@]}" 2> /dev/null
    if [ ${#jobs[@]} -gt 0 ]; then
      scancel --quiet --batch --signal=KILL "${jobs[@]}" 2> /dev/null
      scancel --quiet "${jobs[@]}" 2> /dev/null
    fi
    while steps_left && [ "$SECONDS" -lt "$end" ]; do sleep 0.2; done
  fi
  local name pid ours
  ours=$(holders)
  for name in slurmd.n1 slurmd.n2 slurmd.n3 slurmctld munged; do
    [ -s "$state/$name.pid" ] && pid=$(cat "$state/$name.pid") && grep -qx "$pid" <<< "$ours" && stop "$pid"
  done
  for pid in $(holders); do
    stop "$pid"
  done
  rm -rf "$state"
  return 0
}

# Whether a slurmstepd of this rig runs.
steps_left() {
  local pid
  for pid in $(holders); do
    [ "$(cat "/proc/$pid/comm" 2> /dev/null)" = slurmstepd ] && return 0
  done
  return 1
}

# Sends SIGTERM to process $1, and SIGKILL if it is still there 10 s later.
stop() {
  kill "$1" 2> /dev/null
  local end=$((SECONDS + 10))
  while running "$1" && [ "$SECONDS" -lt "$end" ]; do sleep 0.1; done
  kill -KILL "$1" 2> /dev/null
  while running "$1"; do sleep 0.1; done
  wait "$1" 2> /dev/null
}

# Whether process $1 runs: it exists and has not ended (a child of this
# shell that ended stays as a zombie until waited for).
running() {
  [ -r "/proc/$1/stat" ] && ! grep -q '^[0-9]* (.*) Z ' "/proc/$1/stat" 2> /dev/null
}

# The pids of node $1's daemons: its slurmd and the slurmstepd of its steps, which all hold its log.
node_daemons() {
  local pattern
  pattern=$(printf '%s' "$state/slurmd.$1.log" | sed 's/[][*?\\]/\\&/g')
  find /proc/[0-9]*/fd -maxdepth 1 -lname "$pattern" -printf '%p\n' 2> /dev/null | cut -d/ -f3 | sort -u
}

signal_node() {
  local pids
  pids=$(node_daemons "$2")
  [ -n "$pids" ] && kill "-$1" $pids
}

case ${1:-} in
available | up | down) "$1" ;;
freeze) signal_node STOP "$2" ;;
thaw) signal_node CONT "$2" ;;
env) environment ;;
run) shift && run "$@" ;;
*) echo "usage: slurm_cluster.sh available|up|env|run COMMAND...|down|freeze NODE|thaw NODE" >&2 && exit 2 ;;
esac

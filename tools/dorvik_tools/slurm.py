"""The channel through Slurm (dorvik-clients -e srun): one job step runs a
client on every node, one task per node, and no ssh. The controller's
messages reach every client at once on srun's standard input, each line
beginning with the number of the task it is for (SLURM_PROCID); the clients'
lines come back on srun's standard output labelled with their task's number,
and each task's first line names its node (SLURMD_NODENAME), its job and its
step: a node not asked for, or named by a second task, is refused and told to
stop.

srun runs in a session of its own, and is never signalled while a client may
still run dorvik: every way Slurm kills a step ends dorvik by SIGKILL, which
leaves its test file behind. The clients end when srun's standard input ends,
which happens too when the controller is killed; a watchdog that outlives
the controller then waits for the step to end, and ends what is left of it
(a node that vanished keeps srun waiting for minutes) and the job that srun
created for the run."""

import os
import re
import selectors
import signal
import subprocess
import sys
import time

from .channel import TAG, Lines, arrived, process_start, running, spawn_watchdog
from .reader import escaped

# srun cuts a longer line into labelled pieces of this many bytes, the last one shorter.
PIECE = 1024
# What the task runs first: a line that names its node, job and step, then the client.
NAMING = 'printf "%s %s %s %s\\n" "$0" "${SLURMD_NODENAME:-}" "${SLURM_JOB_ID:-}" "${SLURM_STEP_ID:-}"; exec "$@"'
NODE = TAG + "NODE"
# A task's label: its number, right-aligned.
LABEL = re.compile(rb" *([0-9]+): ")
# What srun says of a task: "srun: error: n2: task 1: Exited with exit code 127".
TASK_ERROR = re.compile(r"srun: error: ([^\s:]+): tasks? ([0-9]+)[0-9,-]*: ")
JOB_STEP = re.compile(r"[0-9]+\.[0-9]+")
# Lines kept of a task that has not named its node yet.
UNNAMED_LIMIT = 100
# The name of the step in an allocation (squeue -s); outside one the step has the name of the job srun makes.
STEP_NAME = "dorvik"
# After its input ends, how long a client may take to end its test and say its last words.
LAST_WORDS_SECONDS = 15
# How long srun may take to end once a step's tasks were asked to end, or it was killed.
ENDING_SECONDS = 5


def in_allocation():
    """The nodes of the allocation this runs in (salloc, sbatch), or None outside one."""
    return os.environ.get("SLURM_JOB_NODELIST") if os.environ.get("SLURM_JOB_ID") else None


def expand_nodes(hosts):
    """A Slurm host list as its node names, by scontrol; ([], its complaint) where it names none. A scontrol
    that fails (no configuration, a controller that does not answer) ends the run with its last words."""
    done = subprocess.run(["scontrol", "show", "hostnames", hosts], capture_output=True, text=True, check=False,
                          stdin=subprocess.DEVNULL)
    if done.returncode != 0:
        said = done.stderr.strip().splitlines()
        raise SystemExit(f"dorvik-clients: Slurm did not answer: scontrol show hostnames {hosts!r} failed"
                         f"{': ' + escaped(said[-1]) if said else f' with status {done.returncode}'}; is Slurm up, and its "
                         "configuration in place here?")
    return done.stdout.split(), done.stderr.strip()


def srun_command(names, job_name, remote):
    """One step for all nodes, a task on each: inside an allocation a step of it beside any other; outside
    one, a job of those nodes (never a smaller -N, which would drop some quietly). srun is told not to end
    the step when a task ends, whatever the site's defaults."""
    count = str(len(names))
    place = ["-J", job_name] if job_name else ["--overlap", "-J", STEP_NAME]
    return ["srun", "--label", "--whole", "--mpi=none", "--wait=0", "--kill-on-bad-exit=0", "-Q", *place,
            "-N", count, "-n", count, "--ntasks-per-node=1", "-w", ",".join(names),
            "sh", "-c", NAMING, NODE, *remote]


class Broadcast:
    """srun's standard input: every line reaches every client. Lines wait in an outbox while the pipe is
    full; a pipe that broke takes nothing more."""

    def __init__(self, fd):
        self.fd = fd
        os.set_blocking(fd, False)
        self.outbox = bytearray()

    def send(self, line):
        if self.fd is not None:
            self.outbox += line
            self.flush()

    def flush(self):
        while self.outbox and self.fd is not None:
            try:
                written = os.write(self.fd, self.outbox)
            except BlockingIOError:
                return
            except OSError:
                self.outbox.clear()
                return
            del self.outbox[:written]

    def close(self):
        """The end of input for every client: each ends its test and says its last words."""
        if self.fd is not None:
            os.set_blocking(self.fd, True)
            self.flush()
            os.close(self.fd)
            self.fd = None


class TaskChannel:
    """The messages for one host, on the common input, addressed to its task once it is known; closing it
    asks that client to stop."""

    def __init__(self, broadcast):
        self.broadcast = broadcast
        self.task = None
        self.stopped = False

    def send(self, *words):
        if self.task is not None:
            self.broadcast.send((" ".join(map(str, (self.task,) + words)) + "\n").encode())

    def close(self):
        if not self.stopped:
            self.stopped = True
            self.send("STOP")


class Labelled:
    """The lines of one of srun's streams by task: a piece of exactly PIECE bytes is continued by the next
    piece of its task. A line longer than the limit is dropped up to its end."""

    def __init__(self, limit):
        self.limit = limit
        # Per task whose line goes on: its length so far and its pieces (None past the limit).
        self.pending = {}

    def line(self, raw):
        """(task, text) for a whole line, (task, None) for one past the limit, None while it goes on or for a
        line of no task."""
        label = LABEL.match(raw)
        if label is None:
            return None
        task, piece = int(label.group(1)), raw[label.end():]
        length, pieces = self.pending.get(task, (0, []))
        if pieces is not None and length + len(piece) <= self.limit:
            pieces.append(piece)
        else:
            pieces = None
        if len(piece) == PIECE:
            self.pending[task] = (length + len(piece), pieces)
            return None
        self.pending.pop(task, None)
        return task, None if pieces is None else b"".join(pieces).decode(errors="replace")


class SrunStep:
    """The step that runs a client on every node, and the lines it brings back."""

    def __init__(self, names, remote, job_name, limit):
        self.names, self.remote, self.job_name = list(names), remote, job_name
        self.asked = set(names)
        self.process = self.broadcast = self.watchdog = None
        self.streams = selectors.DefaultSelector()
        self.limit = limit
        # Each task's node once named, the node of each task, and what unnamed tasks said.
        self.tasks, self.claimed, self.unnamed = {}, {}, {}
        self.channels = {}
        self.step = None

    def start(self):
        """Starts srun and its watchdog; returns each host's channel."""
        self.process = subprocess.Popen(srun_command(self.names, self.job_name, self.remote),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        start_new_session=True)
        self.broadcast = Broadcast(self.process.stdin.fileno())
        self.watchdog = start_watchdog(self.process.pid, self.job_name)
        for stream in (self.process.stdout, self.process.stderr):
            self.streams.register(stream, selectors.EVENT_READ, (Lines(), Labelled(self.limit)))
        self.channels = {name: TaskChannel(self.broadcast) for name in self.names}
        return self.channels

    def open(self):
        return bool(self.streams.get_map())

    def hang_up(self):
        if self.broadcast is not None:
            self.broadcast.close()

    def lines(self, timeout):
        """The lines that arrive within timeout, as (host, text); host None for a line of srun about no
        host in particular, text None for a line that passed the limit."""
        self.broadcast.flush()
        found = []
        for key, piece in arrived(self.streams, timeout):
            splitter, labelled = key.data
            complete, _ = splitter.feed(piece)
            for raw in complete:
                found += self.sorted_line(labelled, raw)
        return found

    def sorted_line(self, labelled, raw):
        """What one line of srun's is, and whose: a task's (whole once its pieces are joined), or srun's own."""
        if not LABEL.match(raw):
            text = raw.decode(errors="replace").rstrip("\r")
            return self.srun_said(text) if text else []
        whole = labelled.line(raw)
        if whole is None:
            return []
        task, text = whole
        if text is not None and text.startswith(NODE + " ") and task not in self.tasks:
            return self.named(task, text.split(" ")[2:])
        if task in self.tasks:
            return [(self.tasks[task], text)] if self.tasks[task] is not None else []
        kept = self.unnamed.setdefault(task, [])
        if len(kept) < UNNAMED_LIMIT:
            kept.append(text)
        return []

    def named(self, task, words):
        """A task named its node: its lines are that host's from now on, and those it said before."""
        name = words[0] if words else ""
        if name not in self.asked or name in self.claimed:
            # A node not asked for, or one that another task took first: none of its lines counts, and it stops.
            self.tasks[task] = None
            self.broadcast.send(f"{task} STOP\n".encode())
            reason = "not asked for" if name not in self.asked else f"already answered by task {self.claimed[name]}"
            return [(None, f"srun: task {task} named itself {name[:100]!r}, {reason}: refused")]
        self.tasks[task], self.claimed[name] = name, task
        self.channels[name].task = task
        if self.step is None and len(words) == 3 and JOB_STEP.fullmatch(f"{words[1]}.{words[2]}"):
            self.step = f"{words[1]}.{words[2]}"
            self.tell_watchdog(f"STEP {self.step}")
        return [(name, text) for text in self.unnamed.pop(task, [])]

    def srun_said(self, text):
        """A line of srun's own: about a task whose node it names, or about the run."""
        task = TASK_ERROR.match(text)
        if task is not None and task.group(1) in self.asked:
            number = int(task.group(2))
            if number not in self.tasks and task.group(1) not in self.claimed:
                found = self.named(number, [task.group(1)])
                return found + [(task.group(1), text)]
            return [(task.group(1), text)]
        return [(None, text)]

    def tell_watchdog(self, line):
        if self.watchdog is not None and self.watchdog.stdin is not None:
            try:
                self.watchdog.stdin.write((line + "\n").encode())
                self.watchdog.stdin.flush()
            except OSError:
                pass

    def end(self):
        """The end of input for every client; srun, once they are done, ends with the step. What does not end
        by itself the watchdog ends: the step's tasks asked to end, then srun killed, and the job srun
        created cancelled. srun's lines are read meanwhile, so that it never waits to write them."""
        if self.process is None:
            return
        self.broadcast.close()
        until = time.monotonic() + ENDING_SECONDS
        while self.process.poll() is None and time.monotonic() < until:
            self.lines(0.1)
        self.tell_watchdog("END")
        if self.watchdog is not None:
            self.watchdog.stdin.close()
            while self.watchdog.poll() is None:
                self.lines(0.1)
        self.process.wait()
        for stream in (self.process.stdout, self.process.stderr):
            stream.close()


def start_watchdog(pid, job_name):
    """A process of its own session that outlives the controller: when the controller's end of its pipe
    closes, it ends what is left of the step and of the job that srun created (see watchdog)."""
    return spawn_watchdog("slurm", [str(pid), str(process_start(pid)), job_name or "-"])


def ended_within(pid, began, seconds):
    until = time.monotonic() + seconds
    while running(pid, began) and time.monotonic() < until:
        time.sleep(0.1)
    return not running(pid, began)


def quietly(command):
    try:
        subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=False, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        pass


def watchdog(arguments):
    """Waits until the controller's pipe ends (END first: the controller ended well and has waited for the
    clients already), then gives the clients time to end their tests, and ends what is left: the step's
    tasks asked to end by SIGTERM (a client ends its dorvik, which deletes its file), then srun killed alone,
    whose own shepherd then ends the step, then its session; and the job of the run's name, which srun
    created, cancelled."""
    for number in (signal.SIGINT, signal.SIGHUP, signal.SIGTERM, signal.SIGPIPE):
        signal.signal(number, signal.SIG_IGN)
    pid, began, job_name = int(arguments[0]), int(arguments[1]), arguments[2]
    step, ended_well = None, False
    for line in sys.stdin:
        words = line.split()
        if words[:1] == ["STEP"] and len(words) == 2 and JOB_STEP.fullmatch(words[1]):
            step = words[1]
        ended_well = words == ["END"]
    if not ended_within(pid, began, 0 if ended_well else LAST_WORDS_SECONDS):
        if step is not None:
            quietly(["scancel", "--quiet", "--signal=TERM", step])
        if not ended_within(pid, began, ENDING_SECONDS if step is not None else 0):
            os.kill(pid, signal.SIGKILL)
            if not ended_within(pid, began, ENDING_SECONDS):
                os.killpg(pid, signal.SIGKILL)
    if job_name != "-":
        quietly(["scancel", "--quiet", "--name=" + job_name, "--user=" + str(os.getuid())])
    return 0


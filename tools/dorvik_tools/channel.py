"""The channel between the controller and its clients. The parallel shell
(pdsh or clush) starts a client on every host over ssh; each client's
standard input is a FIFO of its own that the controller writes, and what the
clients print comes back, each line prefixed with its host's name, on the
shell's two pipes. Here: the shell's command line, the FIFOs, the lines that
come back, and the end of the shell and of every ssh it started.

Every process the shell starts here carries the run's mark in its environment,
and a watchdog of its own session outlives the controller: should the
controller end without saying so (SIGKILL), the watchdog removes the FIFOs'
folder, gives the clients time to end their tests as their input ends, and
then ends every process of the mark that is left, such as the ssh of a host
that connected and never answered, which reads no input."""

import base64
import configparser
import ctypes
import json
import os
import re
import resource
import selectors
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import uuid

# The longest line taken from the shell; a longer one fails the host that sent it.
LINE_LIMIT = 16 << 20
# Every line a client sends begins with this, so that the controller can
# tell it from what ssh or the shell print.
TAG = "DORVIK-CLIENTS "
# The open files the controller and the parallel shell need per host (the
# host's FIFO, the shell's pipes to its ssh), and besides the hosts.
FILES_PER_HOST = 6
FILES_BESIDES = 256
# The files of the run's folder held open per entry (a host, or each stream of one): output, error, samples.
FILES_PER_ENTRY = 3
# Where a line of the shell may name its host: "host: " after a space or at its start.
NAMED = re.compile(r"(?<![^ ])([^ :]+): ")
# The variable that marks the processes of one run's shell, and its value.
MARK = "DORVIK_CLIENTS_RUN"
# Once the controller is gone, how long its clients may take to end their tests; then how long after SIGTERM.
LAST_WORDS_SECONDS = 15
ENDING_SECONDS = 5


def encode(value):
    """A value as one word of a message: JSON in URL-safe base64."""
    return base64.urlsafe_b64encode(json.dumps(value).encode()).decode()


def decode(text):
    return json.loads(decode_bytes(text))


def encode_bytes(data):
    """Bytes as one word of a message, in URL-safe base64."""
    return base64.urlsafe_b64encode(data).decode()


def decode_bytes(text):
    return base64.b64decode(text.encode(), altchars=b"-_", validate=True)


def clush_ssh_settings():
    """ssh_user and ssh_options of clush's configuration, which clush gives its own ssh."""
    config = configparser.ConfigParser(interpolation=None)
    home = os.path.expanduser("~")
    config.read([os.path.join(d, "clush.conf") for d in (
        "/etc/clustershell", os.path.join(os.environ.get("XDG_CONFIG_HOME", home + "/.config"), "clustershell"),
        os.environ.get("CLUSTERSHELL_CFGDIR", "/nonexistent"))] + [home + "/.clush.conf"])
    user = config.get("Main", "ssh_user", fallback="")
    return (["-l", user] if user else []) + shlex.split(config.get("Main", "ssh_options", fallback=""))


def ssh_command(shell, options):
    """ssh as the shell would run it: its user's settings for that shell, then options, which win."""
    settings = (shlex.split(os.environ.get("PDSH_SSH_ARGS_APPEND", "")) if shell == "pdsh"
                else clush_ssh_settings())
    return ["ssh", "-x", "-o", "BatchMode=yes"] + options + settings


def parallel_command(shell, names, command):
    """command run for every host at once by the parallel shell, %h standing for the host's name."""
    if shell == "clush":
        # clush runs the command through a local shell; pdsh runs it as it is.
        command = [shlex.quote(word) for word in command]
    # As many at once as there are hosts: a host left waiting for a slot would miss every barrier.
    return [shell, "-R", "exec", "-f", str(max(len(names), 1)), "-w", ",".join(names)] + command


def allow_open_files(hosts, entries):
    """Raises the limit of open files, which the shell started here inherits, to what so many hosts and entries
    of the folder need (past the hard limit where allowed, as root). The limit, where it stays below that."""
    needed = FILES_BESIDES + FILES_PER_HOST * hosts + FILES_PER_ENTRY * entries
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft >= needed:
        return None
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (needed, max(hard, needed)))
        return None
    except (OSError, ValueError):
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        return hard if hard < needed else None


def die_with_parent():
    # The parallel shell ends when the controller does, even by SIGKILL; its
    # ssh then lose their input and every client ends its test.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)


class Lines:
    """The lines of one stream, from the pieces that reads return. Only a new piece is scanned for line
    ends, and the pieces of an unfinished line are kept apart until it ends, so that a line costs time in
    proportion to its length. A line longer than the limit is dropped up to its end."""

    def __init__(self, limit=LINE_LIMIT):
        self.limit = limit
        self.pieces, self.length = [], 0
        self.overlong = False

    def feed(self, piece):
        """The lines that piece ends, and the head of a line that passed the limit with it (or None)."""
        lines, start, head = [], 0, None
        while True:
            end = piece.find(b"\n", start)
            if end < 0:
                break
            if not self.overlong:
                self.pieces.append(piece[start:end])
                lines.append(b"".join(self.pieces))
            self.pieces, self.length, self.overlong = [], 0, False
            start = end + 1
        if start < len(piece) and not self.overlong:
            rest = piece[start:]
            if self.length + len(rest) > self.limit:
                head = (self.pieces[0] if self.pieces else rest)[:200]
                self.pieces, self.length, self.overlong = [], 0, True
            else:
                self.pieces.append(rest)
                self.length += len(rest)
        return lines, head


class Channel:
    """The write end of one client's standard input, a FIFO; closing it ends the client."""

    def __init__(self, path):
        self.path = path
        # Read-write: the open never waits, and the FIFO ends for ssh only when this end closes.
        self.fd = os.open(path, os.O_RDWR | os.O_NONBLOCK)

    def send(self, *words):
        if self.fd is None:
            return
        try:
            os.write(self.fd, (" ".join(map(str, words)) + "\n").encode())
        except OSError:
            pass

    def forget(self):
        """The FIFO's name goes: a relay that opened it keeps it, one that has not never waits for a writer."""
        if self.path is not None:
            try:
                os.unlink(self.path)
            except OSError:
                pass
            self.path = None

    def close(self):
        self.forget()
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


class Shell:
    """The parallel shell that runs a client on every host, and the lines it brings back."""

    def __init__(self, shell, names, remote, ssh):
        self.shell, self.names, self.remote, self.ssh = shell, names, remote, ssh
        self.known = set(names)
        self.fifos = None
        self.channels = {}
        self.process = self.watchdog = None
        self.streams = selectors.DefaultSelector()

    def start(self):
        """Starts the shell; returns each host's channel."""
        self.fifos = tempfile.mkdtemp(prefix="dorvik-clients-")
        mark = uuid.uuid4().hex
        self.watchdog = start_watchdog(self.fifos, mark)
        for name in self.names:
            path = os.path.join(self.fifos, name)
            os.mkfifo(path, 0o600)
            self.channels[name] = Channel(path)
        relay = ["sh", "-c", 'exec "$@" < "$0"', os.path.join(self.fifos, "%h")]
        command = parallel_command(self.shell, self.names, relay + self.ssh + ["--", "%h", self.remote])
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, start_new_session=True, preexec_fn=die_with_parent,
                                        env=dict(os.environ, **{MARK: mark}))
        for stream in (self.process.stdout, self.process.stderr):
            self.streams.register(stream, selectors.EVENT_READ, Lines())
        return self.channels

    def open(self):
        """Whether either of the shell's pipes may still bring lines."""
        return bool(self.streams.get_map())

    def hang_up(self):
        """The end of input for every client: each ends its test and says its last words."""
        for channel in self.channels.values():
            channel.close()

    def host_of(self, line):
        """The host a line of the shell is about, and its text; None for a line of no host."""
        name, _, text = line.partition(": ")
        if name in self.known:
            return name, text
        for named in NAMED.finditer(line):
            if named.group(1) in self.known:
                return named.group(1), line[named.end():]
        return None, line

    def lines(self, timeout):
        """The lines that arrive within timeout, as (host, text); text is None for a line that passed
        the limit."""
        found = []
        for key, piece in arrived(self.streams, timeout):
            complete, head = key.data.feed(piece)
            if head is not None:
                name, _ = self.host_of(head.decode(errors="replace"))
                if name is not None:
                    found.append((name, None))
            for line in complete:
                # ssh ends its own messages with a carriage return.
                text = line.decode(errors="replace").rstrip("\r")
                if text:
                    name, text = self.host_of(text)
                    if name is not None:
                        self.forget_fifo(name)
                    found.append((name, text))
        return found

    def forget_fifo(self, name):
        """A host spoke: its ssh has the FIFO open by now, so no name is left behind whatever ends the
        controller."""
        if self.channels[name].path is None:
            return
        self.channels[name].forget()
        try:
            os.rmdir(self.fifos)
        except OSError:
            pass

    def end(self):
        """The shell and its ssh end, and the watchdog is told that nothing is left for it to do."""
        if self.fifos is not None:
            shutil.rmtree(self.fifos, ignore_errors=True)
        if self.process is not None:
            self.end_shell()
        if self.watchdog is not None:
            self.watchdog.communicate(b"END\n")

    def end_shell(self):
        """What does not end by itself soon is killed: the shell's process group, and every process it started,
        which pdsh puts in a session of its own (an ssh still waiting for a silent host would outlive the
        shell)."""
        try:
            self.process.wait(timeout=3)
        except subprocess.TimeoutExpired:
            pass
        started = descendants(self.process.pid)
        for number in (signal.SIGTERM, signal.SIGKILL):
            for pid, began in started:
                if process_start(pid) == began:
                    try:
                        os.kill(pid, number)
                    except OSError:
                        pass
            try:
                os.killpg(self.process.pid, number)
            except OSError:
                if not started:
                    break
            time.sleep(0.2)
        self.process.wait()


def process_fields(pid):
    """A process's parent and its start time (its fields after the name in /proc/PID/stat), or None."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[1]), int(fields[19])
    except (OSError, ValueError, IndexError):
        return None


def arrived(streams, timeout):
    """What the streams registered in a selector gave within timeout, as (key, bytes). A stream at its end is
    unregistered and gives a newline, which completes its last line."""
    for key, _ in streams.select(timeout):
        piece = os.read(key.fd, 1 << 20)
        if not piece:
            streams.unregister(key.fileobj)
            piece = b"\n"
        yield key, piece


def process_start(pid):
    fields = process_fields(pid)
    return None if fields is None else fields[1]


def descendants(pid):
    """The processes that pid started, and theirs, as they stand now: (pid, start time), so that a number
    that another process takes later is never signalled."""
    children = {}
    for entry in os.listdir("/proc"):
        fields = process_fields(entry) if entry.isdigit() else None
        if fields is not None:
            children.setdefault(fields[0], []).append((int(entry), fields[1]))
    found, waiting = [], list(children.get(pid, []))
    while waiting:
        child = waiting.pop()
        found.append(child)
        waiting += children.get(child[0], [])
    return found


def spawn_watchdog(module, arguments):
    """A process of its own session that outlives the controller: the function watchdog of module, given
    arguments, reading the pipe that the controller writes."""
    package = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
    code = ("import sys; sys.path[:0] = [sys.argv[1]]; sys.dont_write_bytecode = True\n"
            f"from dorvik_tools.{module} import watchdog\nsys.exit(watchdog(sys.argv[2:]))")
    return subprocess.Popen([sys.executable, "-c", code, package, *arguments], stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)


def start_watchdog(fifos, mark):
    """When the controller's end of the watchdog's pipe closes before it said END, the watchdog ends what is
    left of the run (see watchdog)."""
    return spawn_watchdog("channel", [fifos, mark])


def watchdog(arguments):
    """Waits until the controller's pipe ends; unless the controller said END (it ended its shell itself), removes
    the FIFOs' folder, waits for the processes of the run's mark to end, and ends those that have not: SIGTERM
    (a client ends its dorvik, which deletes its file), then SIGKILL."""
    for number in (signal.SIGINT, signal.SIGHUP, signal.SIGTERM, signal.SIGPIPE):
        signal.signal(number, signal.SIG_IGN)
    fifos, mark = arguments
    if sys.stdin.read().split() == ["END"]:
        return 0
    shutil.rmtree(fifos, ignore_errors=True)
    for number, seconds in ((None, LAST_WORDS_SECONDS), (signal.SIGTERM, ENDING_SECONDS), (signal.SIGKILL, 0)):
        marked = marked_processes(f"{MARK}={mark}".encode())
        for pid, began in marked if number is not None else []:
            if process_start(pid) == began:
                try:
                    os.kill(pid, number)
                except OSError:
                    pass
        until = time.monotonic() + seconds
        while marked and time.monotonic() < until:
            time.sleep(0.1)
            marked = [(pid, began) for pid, began in marked if running(pid, began)]
    return 0


def marked_processes(entry):
    """The processes whose environment holds entry (NAME=VALUE), as (pid, start time)."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/environ", "rb") as f:
                held = entry in f.read().split(b"\0")
        except OSError:
            continue
        began = process_start(name) if held else None
        if began is not None:
            found.append((int(name), began))
    return found


def running(pid, began):
    """Whether the process pid that began at began still runs."""
    return process_start(pid) == began and not zombie(pid)


def zombie(pid):
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except (OSError, IndexError):
        return True

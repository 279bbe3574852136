"""dorvik-clients: runs dorvik on many clients at once through pdsh or clush
and reports what the storage delivered to all of them together.

The parallel shell starts this same program on every client (--client, over
ssh), its standard input fed by the controller through a FIFO of its own, its
standard output coming back through the shell. Over that channel the
controller measures each client's clock (round trips, as NTP does), waits
until every client is ready, then releases each test at one instant on all of
them. A client samples its dorvik's byte counters while the test runs and
sends everything back when it ends. When its standard input ends (the
controller ended, was killed, or dropped it) the client ends its test at once."""

import argparse
import configparser
import ctypes
import datetime
import json
import math
import os
import re
import selectors
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import uuid

from . import VERSION, clients, reader
from .client import SAMPLE_SECONDS, TAG, Client, decode, encode

PINGS = 8
# The longest line taken from a client; a longer one fails that host.
LINE_LIMIT = 16 << 20
INTERRUPTED = 130
# What -w may hold: names, the shells' ranges and lists; nothing a shell reads as code.
HOSTS = re.compile(r"[A-Za-z0-9_.:\[\],-]+")
HOST_NAME = re.compile(r"[A-Za-z0-9_:][A-Za-z0-9_.:-]*")


class Refused(Exception):
    """Options or arguments that cannot run: exit status 2, before anything starts."""


def series_grid(long):
    """The series' sizes and record lengths, as dorvik and dorvik_long run them on a file."""
    sizes = [6]
    while len(sizes) < (9 if long else 5):
        sizes.append(2 * sizes[-1] - 4)
    return [(size, 4096 << i) for size in sizes for i in range(6 if long else 4)]



def seconds_between(low, high):
    def number(text):
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds from {low} to {high}")
        return value
    return number


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="dorvik-clients", usage="dorvik-clients -w HOSTS [-e pdsh|clush] [-o FOLDER] [--deadline SECONDS] "
        "[--start-in SECONDS] [--skew-limit SECONDS] [--long] [--bin FOLDER] [--ssh OPTIONS] "
        "-- DORVIK_ARGUMENTS...\n       dorvik-clients --report FOLDER",
        description="Runs dorvik on every host at once; %h in the arguments becomes each host's name.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {VERSION}")
    parser.add_argument("-w", dest="hosts", help="the hosts, in the parallel shell's syntax")
    parser.add_argument("-e", dest="shell", choices=("pdsh", "clush"),
                        help="the parallel shell (default: pdsh, or clush where pdsh is missing)")
    parser.add_argument("-o", dest="folder", help="a new folder for the outputs (default: dorvik-clients-DATE)")
    parser.add_argument("--deadline", type=seconds_between(1, 86400), default=30.0, metavar="SECONDS",
                        help="a host not ready by then, or silent that long in a test, is dropped (default 30)")
    parser.add_argument("--start-in", type=seconds_between(0.01, 60), default=0.2, metavar="SECONDS",
                        help="how long after the release of a test it starts (default 0.2)")
    parser.add_argument("--skew-limit", type=seconds_between(0.0001, 60), default=0.01, metavar="SECONDS",
                        help="a start that may lie further than this from the instant is flagged (default 0.01)")
    parser.add_argument("--long", action="store_true", help="run dorvik_long")
    parser.add_argument("--bin", metavar="FOLDER", help="the folder of the programs on the clients (default: PATH)")
    parser.add_argument("--ssh", default="", metavar="OPTIONS", help="more options for ssh, such as '-F config'")
    parser.add_argument("--report", metavar="FOLDER", help="print the report of an earlier run's folder again")
    parser.add_argument("arguments", nargs=argparse.REMAINDER, metavar="DORVIK_ARGUMENTS")
    # --ssh takes its value whole, even one that begins with a dash (--ssh -F/path).
    words = list(argv)
    end = words.index("--") if "--" in words else len(words)
    for i in range(end - 1):
        if words[i] == "--ssh":
            words[i:i + 2] = ["--ssh=" + words[i + 1], ""]
    options = parser.parse_args([w for i, w in enumerate(words) if w or i >= end])
    if options.arguments[:1] == ["--"]:
        options.arguments = options.arguments[1:]
    try:
        options.ssh = shlex.split(options.ssh)
    except ValueError as error:
        parser.error(f"--ssh: {error}")
    if options.report is None:
        check_hosts(parser, options.hosts)
        if not options.arguments:
            parser.error("no dorvik arguments after --")
    return options


def check_hosts(parser, hosts):
    if hosts is None:
        parser.error("the hosts (-w) are required")
    if not HOSTS.fullmatch(hosts) or hosts.startswith("-") or any(p.startswith("-") for p in hosts.split(",")):
        parser.error(f"-w {hosts!r}: host names hold only letters, digits, '.', '-', '_', ':' and the ranges "
                     "'[]' and ',', and none begins with '-'")


def reads_as_number(text):
    """Whether atoi reads text as a number other than 0, as dorvik does."""
    number = re.match(r"[ \t\n\v\f\r]*[+-]?([0-9]+)", text)
    return number is not None and int(number.group(1)) != 0


def file_name_argument(arguments):
    """The argument that names the test file, "" for the default name, or None when no file is written."""
    if len(arguments) == 1 and not reads_as_number(arguments[0]):
        word = arguments[0]
        for lower in ("raw", "cdrom"):
            if word.startswith((lower, lower.upper())):
                return None
        if word in ("help", "HELP"):
            return None
        if word.startswith(("auto", "AUTO")):
            return word[5:] if word[4:5] == "=" else ""
        return word
    if len(arguments) == 2:
        return "" if reads_as_number(arguments[1]) else arguments[1]
    if len(arguments) == 3:
        return arguments[2]
    return "" if len(arguments) <= 1 else None


def check_arguments(arguments):
    name = file_name_argument(arguments)
    if name is not None and "%h" not in name:
        raise Refused("the test file's name must hold %h, so that every client writes a file "
                      "of its own (clients sharing one file truncate each other's data): e.g. auto=/mnt/nfs/dorvik.%h")


def tests_of(arguments, long):
    """The dorvik runs, one per barrier: a series on a file runs as its grid's single tests, so that each
    test starts at one instant on every client; anything else is one run."""
    word = arguments[0] if len(arguments) == 1 else ""
    if word.startswith(("auto=", "AUTO=")) and not reads_as_number(word):
        return [[str(size), str(length), word[5:]] for size, length in series_grid(long)]
    return [list(arguments)]


def choose_shell(requested):
    shell = requested or ("pdsh" if shutil.which("pdsh") else "clush")
    if shutil.which(shell) is None:
        raise SystemExit(f"dorvik-clients: {shell} is not installed (apt install "
                         f"{'pdsh' if shell == 'pdsh' else 'clustershell'})")
    return shell


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
    """ssh as the shell would run it: its user's settings for that shell, then --ssh, which wins."""
    settings = (shlex.split(os.environ.get("PDSH_SSH_ARGS_APPEND", "")) if shell == "pdsh"
                else clush_ssh_settings())
    return ["ssh", "-x", "-o", "BatchMode=yes"] + options.ssh + settings


def parallel_command(shell, hosts, command):
    """command run for every host by the parallel shell, %h standing for the host's name."""
    if shell == "clush":
        # clush runs the command through a local shell; pdsh runs it as it is.
        command = [shlex.quote(word) for word in command]
    return [shell, "-R", "exec", "-f", "256", "-w", hosts] + command


def expand_hosts(shell, hosts):
    done = subprocess.run([shell, "-R", "exec", "-w", hosts, "echo", "%h"], capture_output=True, text=True,
                          check=False, stdin=subprocess.DEVNULL)
    names = sorted({line.split(": ", 1)[0] for line in done.stdout.splitlines() if ": " in line})
    if not names:
        raise SystemExit(f"dorvik-clients: {shell} found no host in {hosts!r}: {done.stderr.strip()}")
    bad = [name for name in names if not HOST_NAME.fullmatch(name)]
    if bad:
        raise SystemExit(f"dorvik-clients: {shell} gave host names that are not plain names: {bad[0]!r}")
    return names


def make_folder(name):
    """A new folder for the outputs, or an empty one; never one with files, never a link."""
    if name is None:
        stem = f"dorvik-clients-{datetime.datetime.now():%Y%m%d-%H%M%S}"
        for count in range(1, 1000):
            try:
                os.mkdir(stem if count == 1 else f"{stem}-{count}")
                return stem if count == 1 else f"{stem}-{count}"
            except FileExistsError:
                continue
        raise Refused(f"cannot make a folder {stem}-N")
    try:
        os.mkdir(name)
        return name
    except FileExistsError:
        if os.path.islink(name) or not os.path.isdir(name) or os.listdir(name):
            raise Refused(f"{name} exists and is not an empty folder; name a new one with -o") from None
        return name
    except OSError as error:
        raise Refused(f"cannot make {name}: {error.strerror}") from None


def new_file(folder, name, text):
    """A file of the folder, made new: a link or a file planted there is never followed or overwritten."""
    fd = os.open(os.path.join(folder, name), os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644)
    with open(fd, "w", encoding="utf-8") as f:
        f.write(text)


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


class Host:
    """What the controller knows of one client."""

    def __init__(self, name):
        self.name = name
        self.state = "connecting"
        self.channel = self.fifo = self.exited = None
        self.reason = None
        self.pings, self.ping_sent = [], None
        self.offset = self.offset_error = None
        self.tests, self.errors, self.recent = [], [], []
        self.heard = time.monotonic()

    def send(self, *words):
        if self.channel is None:
            return
        try:
            os.write(self.channel, (" ".join(map(str, words)) + "\n").encode())
        except OSError:
            pass

    def close(self):
        if self.channel is not None:
            os.close(self.channel)
            self.channel = None

    def said(self):
        """What the shell and ssh said of the host, on one line."""
        return "; ".join(e for e in self.errors if e.strip())

    def fail(self, reason):
        if self.reason is None:
            self.reason = reason
        self.state = "failed"
        self.close()


class Controller:
    """Starts the clients, measures their clocks, releases every test at one instant, gathers the results."""

    def __init__(self, options, shell, hosts):
        self.options, self.shell = options, shell
        self.hosts = {name: Host(name) for name in hosts}
        self.tests = tests_of(options.arguments, options.long)
        self.instants = []
        self.process = None
        self.interrupted = False
        self.started = self.ended = None
        self.live_line = sys.stderr.isatty()

    def on_client(self, program):
        """A program's path on the clients: in --bin, or found on their PATH."""
        return os.path.join(self.options.bin, program) if self.options.bin else program

    def on_signal(self, *_):
        self.interrupted = True

    def command(self, fifos):
        order = encode({"run": uuid.uuid4().hex, "program": self.on_client("dorvik_long" if self.options.long
                                                                             else "dorvik"), "tests": self.tests})
        remote = " ".join(shlex.quote(w) for w in (self.on_client("dorvik-clients"), "--client", "%h", order))
        relay = ["sh", "-c", 'exec "$@" < "$0"', os.path.join(fifos, "%h")]
        return parallel_command(self.shell, ",".join(self.hosts),
                                relay + ssh_command(self.shell, self.options) + ["--", "%h", remote])

    def start(self, fifos):
        for host in self.hosts.values():
            path = os.path.join(fifos, host.name)
            os.mkfifo(path, 0o600)
            host.fifo = path
            # Read-write: the open never waits, and the FIFO ends for ssh only when this end closes.
            host.channel = os.open(path, os.O_RDWR | os.O_NONBLOCK)
        self.process = subprocess.Popen(self.command(fifos), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, start_new_session=True, preexec_fn=die_with_parent)
        self.started = time.monotonic()

    def host_of(self, line):
        name, _, text = line.partition(": ")
        if name in self.hosts:
            return self.hosts[name], text
        for name, host in self.hosts.items():
            if f" {name}: " in f" {line}":
                return host, line.split(f"{name}: ", 1)[1]
        return None, line

    def take(self, line):
        host, text = self.host_of(line)
        if host is None:
            return
        host.heard = time.monotonic()
        if host.fifo is not None:
            # Its ssh has the FIFO open by now: no name is left behind, whatever ends the controller.
            os.unlink(host.fifo)
            try:
                os.rmdir(os.path.dirname(host.fifo))
            except OSError:
                pass
            host.fifo = None
        if not text.startswith(TAG):
            if len(host.errors) < 100:
                host.errors.append(text[:1000])
            if " exited with exit code " in f" {text}":
                host.exited = time.monotonic()
            return
        if host.reason is not None:
            return
        words = text[len(TAG):].split(" ")
        try:
            self.message(host, words)
        except (ValueError, IndexError, TypeError, KeyError, AttributeError) as error:
            host.fail(f"sent a malformed message ({type(error).__name__}: {str(error)[:200]})")

    def message(self, host, words):
        kind = words[0]
        if kind == "HELLO" and host.state == "connecting":
            host.state = "clock"
        elif kind == "FAIL":
            host.fail(str(decode(words[1])))
        elif kind == "PONG" and host.ping_sent is not None and int(words[1]) == len(host.pings):
            back = time.time()
            host.pings.append((host.ping_sent, float(words[2]), back))
            host.ping_sent = None
            if len(host.pings) == PINGS:
                sent, theirs, back = min(host.pings, key=lambda p: p[2] - p[0])
                host.offset, host.offset_error = theirs - (sent + back) / 2, (back - sent) / 2
                host.state = "ready"
        elif kind == "SAMPLE" and host.state == "running":
            host.recent = (host.recent + [[float(w) for w in words[2:5]]])[-5:]
        elif kind == "DONE" and host.state == "running" and int(words[1]) == len(host.tests):
            self.done(host, clients.checked_test(decode(words[2])))
        else:
            raise ValueError(f"unexpected {kind[:20]!r} while {host.state}")

    def done(self, host, test):
        test["at"] = self.instants[len(host.tests)]
        test["arguments"] = self.tests[len(host.tests)]
        host.tests.append(test)
        host.recent = []
        reason = clients.test_failure(test)
        if reason is not None:
            host.fail(reason)
        else:
            host.state = "ready" if len(host.tests) < len(self.tests) else "finished"

    def clock(self):
        for host in self.hosts.values():
            if host.state == "clock" and host.ping_sent is None:
                host.ping_sent = time.time()
                host.send("PING", len(host.pings))

    def barrier(self):
        """Every live host ready: the next test starts on all of them at one instant."""
        live = [h for h in self.hosts.values() if h.reason is None]
        if self.interrupted or not live or any(h.state not in ("ready", "finished") for h in live):
            return
        if all(h.state == "finished" for h in live):
            return
        at = time.time() + self.options.start_in
        self.instants.append(at)
        for host in live:
            host.state = "running"
            # A host's silence counts from the release, never from its wait at the barrier.
            host.heard = time.monotonic()
            host.send("GO", len(host.tests), repr(at + host.offset))

    def drop_late(self):
        now = time.monotonic()
        for host in self.hosts.values():
            if host.reason is not None:
                continue
            if not self.instants and host.state != "ready" and now - self.started > self.options.deadline:
                said = host.said()
                host.fail(f"not ready within {self.options.deadline:g} s" + (f": {said}" if said else ""))
            elif host.exited is not None and host.state != "finished" and now - host.exited > 1:
                # Its record, on the shell's other stream, had a second to arrive.
                said = host.said()
                host.fail(("no answer: " if host.state == "connecting" else "ended without its record: ") + said)
            elif host.state == "running" and now - host.heard > self.options.deadline:
                host.fail(f"silent for {self.options.deadline:g} s in a test")

    def busy(self):
        return any(h.reason is None and h.state != "finished" for h in self.hosts.values())

    def read(self, streams, timeout):
        for key, _ in streams.select(timeout):
            piece = os.read(key.fd, 1 << 20)
            if not piece:
                streams.unregister(key.fileobj)
                piece = b"\n"
            complete, head = key.data.feed(piece)
            if head is not None:
                host, _ = self.host_of(head.decode(errors="replace"))
                if host is not None:
                    host.fail(f"sent a line longer than {LINE_LIMIT} bytes")
            for line in complete:
                # ssh ends its own messages with a carriage return.
                text = line.decode(errors="replace").rstrip("\r")
                if text:
                    self.take(text)

    def run(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, self.on_signal)
        fifos = tempfile.mkdtemp(prefix="dorvik-clients-")
        try:
            self.start(fifos)
            self.gather()
        finally:
            for host in self.hosts.values():
                host.close()
            shutil.rmtree(fifos, ignore_errors=True)
            self.end_shell()
            if self.live_line:
                sys.stderr.write("\r\033[K")

    def gather(self):
        streams = selectors.DefaultSelector()
        for stream in (self.process.stdout, self.process.stderr):
            streams.register(stream, selectors.EVENT_READ, Lines())
        shown = 0.0
        while streams.get_map() and self.busy() and not self.interrupted:
            self.read(streams, 0.02)
            self.clock()
            self.drop_late()
            self.barrier()
            if self.live_line and time.monotonic() - shown >= 0.5:
                shown = time.monotonic()
                sys.stderr.write("\r" + self.status_line() + "\033[K")
                sys.stderr.flush()
        for host in self.hosts.values():
            # The end of its input ends a client: its test, if any, is stopped and its record sent.
            host.close()
        until = time.monotonic() + 10
        while streams.get_map() and time.monotonic() < until and any(
                h.reason is None and h.state == "running" for h in self.hosts.values()):
            self.read(streams, 0.05)
        for host in self.hosts.values():
            if host.reason is None and host.state != "finished":
                said = host.said()
                host.fail(("interrupted" if self.interrupted else "no answer") + (f": {said}" if said else ""))
        self.ended = time.monotonic()

    def end_shell(self):
        """The parallel shell and its ssh end; what does not end by itself soon is killed."""
        if self.process is None:
            return
        try:
            self.process.wait(timeout=3)
        except subprocess.TimeoutExpired:
            pass
        for number in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.process.pid, number)
            except OSError:
                break
            time.sleep(0.2)
        self.process.wait()

    def status_line(self):
        phases = {"write": 0, "read": 0, "other": 0, "waiting": 0}
        rate = 0.0
        for host in self.hosts.values():
            if host.reason is not None:
                continue
            if host.state != "running" or len(host.recent) < 2:
                phases["waiting"] += 1
                continue
            (t0, w0, r0), (t1, w1, r1) = host.recent[0], host.recent[-1]
            phases["write" if w1 > host.recent[-2][1] else "read" if r1 > host.recent[-2][2] else "other"] += 1
            rate += reader.mb_per_s((w1 - w0 + r1 - r0) / (t1 - t0)) if t1 > t0 else 0.0
        test = len(self.instants)
        return (f"dorvik-clients: {phases['write']} writing, {phases['read']} reading, {phases['other']} syncing or "
                f"between phases, {phases['waiting']} waiting; test {test} of {len(self.tests)}, "
                f"{len(self.tests) - test} to go; {rate:.1f} MB/s; {time.monotonic() - self.started:.0f} s")


def save(folder, controller):
    """Every host's standard output, standard error, clock, tests and counters, failed hosts too."""
    hosts = []
    for host in controller.hosts.values():
        new_file(folder, host.name + ".out", "".join(t["stdout"] for t in host.tests))
        new_file(folder, host.name + ".err", "".join(t["stderr"] for t in host.tests)
                 + "".join(e + "\n" for e in host.errors))
        tests = [{k: v for k, v in t.items() if k not in ("stdout", "stderr")} | {"out_chars": len(t["stdout"])}
                 for t in host.tests]
        hosts.append({"host": host.name, "reason": host.reason, "offset": host.offset,
                      "offset_error": host.offset_error, "tests": tests})
    document = {"format": 2, "at": controller.instants[0] if controller.instants else None,
                "shell": controller.shell, "program": "dorvik_long" if controller.options.long else "dorvik",
                "arguments": controller.options.arguments, "interrupted": controller.interrupted,
                "skew_limit": controller.options.skew_limit, "hosts": hosts}
    new_file(folder, reader.CLIENTS_FILE, json.dumps(document, indent=1) + "\n")


def signed(value, places=6):
    return "-" if value is None else f"{value:+.{places}f}"


def figure(value, places=2):
    return "-" if value is None else f"{value:.{places}f}"


def print_report(folder):
    summary = clients.load_clients(folder)
    when = ("never" if summary["at"] is None else
            f"{datetime.datetime.fromtimestamp(summary['at'], datetime.timezone.utc):%Y-%m-%d %H:%M:%S.%f} UTC")
    count = len(summary["hosts"])
    print(f"dorvik-clients: {count} host{'' if count == 1 else 's'}, first start {when}, outputs in {folder}")
    print(f"{'host':<20}{'clock offset (s)':<22}{'start - instant (s)':<22}result")
    for host in summary["hosts"]:
        clock = "-" if host["offset"] is None else f"{signed(host['offset'])} ±{host['offset_error']:.6f}"
        flag = "  LATE START" if host["flagged"] else ""
        print(f"{host['host']:<19} {clock:<21} {signed(host['skew']):<21} {host['reason'] or 'ok'}{flag}")
    print(f"start skew: {figure(summary['start_skew'], 6)} s from the first start to the last; worst of a test: "
          f"{figure(summary['worst_test_skew'], 6)} s; by the controller's clock")
    print()
    print(f"{'MB':<8}{'reclen':<8}{'host':<28}{'write MB/s':>12}{'read MB/s':>12}")
    for point in summary["points"]:
        size, length = point["size_mb"], point["record_length"]
        head = f"{size!s:<8}{length!s:<8}"
        for row in point["hosts"]:
            print(f"{head}{row['host']:<28}{figure(row['write_mb_per_s']):>12}{figure(row['read_mb_per_s']):>12}")
        print(f"{head}{'all bytes / span':<28}{figure(point['write_span_mb_per_s']):>12}"
              f"{figure(point['read_span_mb_per_s']):>12}")
        print(f"{head}{'while all were active':<28}{figure(point['write_window_mb_per_s']):>12}"
              f"{figure(point['read_window_mb_per_s']):>12}")
        print(f"{head}{'  over a window of (s)':<28}{figure(point['write_window_s'], 3):>12}"
              f"{figure(point['read_window_s'], 3):>12}   start skew {figure(point['start_skew'], 6)} s")
    print("all bytes / span: every byte of the phase over the time from its first start to its last end;")
    print("while all were active: the bytes all clients passed to or received from the system between the")
    print("last start and the first end of the phase, over that window (- where there was none, or it was")
    print(f"shorter than two samples of the counters, {2 * SAMPLE_SECONDS:g} s).")
    return status_of(summary)


def status_of(summary):
    if summary["interrupted"]:
        return INTERRUPTED
    return 1 if any(h["reason"] or h["flagged"] for h in summary["hosts"]) else 0


def report_again(folder):
    try:
        return print_report(folder)
    except (reader.ParseError, KeyError, TypeError, ValueError) as error:
        print(f"dorvik-clients: {error}", file=sys.stderr)
        return 2


def control(options):
    check_arguments(options.arguments)
    shell = choose_shell(options.shell)
    hosts = expand_hosts(shell, options.hosts)
    folder = make_folder(options.folder)
    controller = Controller(options, shell, hosts)
    controller.run()
    save(folder, controller)
    return print_report(folder)


def main():
    if sys.argv[1:2] == ["--client"] and len(sys.argv) == 4:
        return Client(sys.argv[2], decode(sys.argv[3])).run()
    options = parse_arguments(sys.argv[1:])
    try:
        return report_again(options.report) if options.report is not None else control(options)
    except Refused as error:
        print(f"dorvik-clients: {error}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # A reader that stopped early (| head) ends the report, not the run: its folder is saved.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1

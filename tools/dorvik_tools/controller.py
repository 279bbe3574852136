"""dorvik-clients: runs dorvik on many clients at once, through pdsh or clush
over ssh or as one Slurm job step (srun), one or several streams per host,
and reports what the storage delivered to all of them together.

This module is the command: its options and the checks made before anything
starts (hosts, arguments, the output folder), the tests a run is made of,
the loop that ties the transport (channel for the parallel shells, slurm for
srun) to the course of the run (barrier) and the live line (live), and the
folder the run leaves, whose records are written as they arrive (records).
On a client the same program runs with --client (client); the report is
clients_report's."""

import argparse
import datetime
import math
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time
import uuid

from . import VERSION, reader
from .barrier import Run
from . import local, slurm
from .channel import LINE_LIMIT, Shell, allow_open_files, decode, encode, ssh_command
from .client import Client, device_argument, file_name_argument, reads_as_number
from .clients import SAMPLE_SECONDS, natural_key
from .clients_report import INTERRUPTED, report_again
from .live import LiveLine
from .records import FORMAT, Records, RecordsLost

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



def shown_number(value):
    """A number as a person writes it: 0.000000001, 0.01, 1."""
    return format(value, ".10f").rstrip("0").rstrip(".")


def seconds_between(low, high):
    def number(text):
        try:
            value = float(text)
        except ValueError:
            value = math.nan
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds from {shown_number(low)} to {high}")
        return value
    return number


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="dorvik-clients", usage="dorvik-clients -w HOSTS [-e pdsh|clush|srun|local] [--streams K] "
        "[-o FOLDER] [--deadline SECONDS] [--start-in SECONDS] [--skew-limit SECONDS] [--strict] "
        "[--progress SECONDS] [--between-phases COMMAND] [--long] [--bin FOLDER] [--ssh OPTIONS] -- DORVIK_ARGUMENTS...\n"
        "       dorvik-clients -e srun [--streams K] [OPTIONS] -- DORVIK_ARGUMENTS... (in a Slurm allocation)\n"
        "       dorvik-clients --report FOLDER",
        description="Runs dorvik on every host at once, or with -e local (and no -w) on this machine alone; %h "
        "in the arguments becomes each host's name, %j each stream's number.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {VERSION}")
    parser.add_argument("-w", dest="hosts", help="the hosts, in the parallel shell's or Slurm's syntax (with "
                        "srun in an allocation, by default its nodes)")
    parser.add_argument("-e", dest="shell", choices=("pdsh", "clush", "srun", "local"),
                        help="the parallel shell, srun for a Slurm job step, or local for this machine alone, its "
                        "clients child processes (default: pdsh, or clush where pdsh is missing)")
    parser.add_argument("--streams", type=stream_count, default=1, metavar="K",
                        help="K dorvik on every host, each on its own file (%%j in its name); default 1")
    parser.add_argument("-o", dest="folder", help="a new folder for the outputs (default: dorvik-clients-DATE)")
    parser.add_argument("--deadline", type=seconds_between(1, 86400), default=30.0, metavar="SECONDS",
                        help="a host not ready by then, or silent that long in a test, is dropped (default 30)")
    parser.add_argument("--start-in", type=seconds_between(0.01, 60), default=0.2, metavar="SECONDS",
                        help="how long after the release of a test it starts (default 0.2)")
    parser.add_argument("--skew-limit", type=seconds_between(1e-9, 60), default=0.01, metavar="SECONDS",
                        help="a start that may lie further than this from the instant is flagged (default 0.01)")
    parser.add_argument("--between-phases", metavar="COMMAND",
                        help="a command run here once per test, after every host has written and before the read "
                        "starts (to drop a server's cache, say); its status and time are in the report")
    parser.add_argument("--strict", action="store_true", help="a flag (LATE START, CLOCK MOVED) makes the status 1, "
                        "for --report too")
    parser.add_argument("--progress", type=seconds_between(0, 86400), default=10.0, metavar="SECONDS",
                        help="where standard error is no terminal, a line of progress every SECONDS (default 10; 0: "
                        "none)")
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
        if options.shell == "local":
            if options.hosts is not None:
                parser.error("-w does not go with -e local, whose one host is this machine")
            options.hosts = local.host_name()
        if options.hosts is None and options.shell == "srun":
            options.hosts = slurm.in_allocation()
            if options.hosts is None:
                parser.error("-e srun outside a Slurm allocation: name the nodes with -w")
        check_hosts(parser, options.hosts)
        if not options.arguments:
            parser.error("no dorvik arguments after --")
    return options


def stream_count(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= 1024:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of streams from 1 to 1024")
    return value


def check_hosts(parser, hosts):
    if hosts is None:
        parser.error("the hosts (-w) are required")
    if not HOSTS.fullmatch(hosts) or hosts.startswith("-") or any(p.startswith("-") for p in hosts.split(",")):
        parser.error(f"-w {hosts!r}: host names hold only letters, digits, '.', '-', '_', ':' and the ranges "
                     "'[]' and ',', and none begins with '-'")


def check_arguments(arguments, streams, one_host=False):
    name = file_name_argument(arguments)
    if name is not None and "%h" not in name and not one_host:
        raise Refused("the test file's name must hold %h, so that every client writes a file "
                      "of its own (clients sharing one file truncate each other's data): e.g. auto=/mnt/nfs/dorvik.%h")
    target = name if name is not None else device_argument(arguments)
    if streams > 1 and target is not None and "%j" not in target:
        raise Refused(f"with --streams {streams} the test file's name (or the device) must hold %j, so that every "
                      "stream writes a file of its own: e.g. auto=/mnt/nfs/dorvik.%h.%j")


def check_names_apart(arguments, hosts, streams):
    """Every stream a test file of its own once %h and %j are filled in, as each client fills them: in t.%h%j
    stream 11 of h1 and stream 1 of h11 would both write t.h111, and truncate each other's data."""
    name = file_name_argument(arguments)
    if name is None or len(hosts) < 2:
        return  # one host's streams differ in %j alone, which no two of them share
    owners = {}
    for host in hosts:
        for stream in range(1, streams + 1):
            expanded = name.replace("%h", host).replace("%j", str(stream))
            owner = owners.setdefault(expanded, (host, stream))
            if owner != (host, stream):
                raise Refused(f"the test file's name {reader.escaped(name)} gives {reader.escaped(expanded)} to stream "
                              f"{owner[1]} of {owner[0]} and stream {stream} of {host}: set %h and %j apart, "
                              "e.g. auto=/mnt/nfs/dorvik.%h.%j")


def tests_of(arguments, long):
    """The dorvik runs, one per barrier: a series on a file runs as its grid's single tests, so that each
    test starts at one instant on every client; anything else is one run."""
    word = arguments[0] if len(arguments) == 1 else ""
    if word.startswith(("auto=", "AUTO=")) and not reads_as_number(word):
        return [[str(size), str(length), word[5:]] for size, length in series_grid(long)]
    return [list(arguments)]


def choose_shell(requested):
    if requested == "local":
        return requested
    shell = requested or ("pdsh" if shutil.which("pdsh") else "clush")
    if shutil.which(shell) is None:
        package = {"pdsh": "pdsh", "clush": "clustershell", "srun": "slurm-client"}[shell]
        raise SystemExit(f"dorvik-clients: {shell} is not installed (apt install {package})")
    return shell


def expand_hosts(shell, hosts):
    """The hosts' names, as the shell (or Slurm) expands the list, in the order a person counts them."""
    if shell == "local":
        return [hosts]
    if shell == "srun":
        listed, said = slurm.expand_nodes(hosts)
        shown = "scontrol"
    else:
        done = subprocess.run([shell, "-R", "exec", "-w", hosts, "echo", "%h"], capture_output=True, text=True,
                              check=False, stdin=subprocess.DEVNULL)
        listed, said, shown = [line.split(": ", 1)[0] for line in done.stdout.splitlines() if ": " in line], \
            done.stderr.strip(), shell
    names = sorted(set(listed), key=natural_key)
    if not names:
        raise SystemExit(f"dorvik-clients: {shown} found no host in {hosts!r}: {reader.escaped(said)}")
    bad = [name for name in names if not HOST_NAME.fullmatch(name)]
    if bad:
        raise SystemExit(f"dorvik-clients: {shown} gave host names that are not plain names: {bad[0]!r}")
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
    except FileExistsError:
        pass
    except OSError as error:
        raise Refused(f"cannot make {reader.escaped(name)}: {error.strerror}") from None
    return name


def open_folder(name):
    """The output folder, held open: its files are made through it, wherever its name leads later. It is
    the user's own and empty, and no link."""
    shown = reader.escaped(name)
    try:
        fd = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    except OSError:
        raise Refused(f"{shown} exists and is not an empty folder; name a new one with -o") from None
    if os.fstat(fd).st_uid != os.geteuid():
        os.close(fd)
        raise Refused(f"{shown} belongs to another user; name a folder of your own with -o")
    if os.listdir(fd):
        os.close(fd)
        raise Refused(f"{shown} exists and is not an empty folder; name a new one with -o")
    return fd


def index(options, shell, run, ended):
    """The run's index: every host's (every stream's) clocks and the tests it ended, failed hosts too; a host of
    several streams is an entry per stream, HOST#N."""
    hosts = []
    for host in sorted(run.hosts.values(), key=lambda h: natural_key(h.name)):
        for stream, tests in enumerate(host.tests, 1):
            first = tests[0] if tests else {"offset": host.offset, "offset_error": host.offset_error}
            hosts.append({"host": host.entry(stream, run.streams), "node": host.name, "stream": stream,
                          "reason": host.reason, "environment": host.environments.get(stream),
                          "offset": first["offset"], "offset_error": first["offset_error"],
                          "tests": tests})
    return {"format": FORMAT, "at": run.instants[0] if run.instants else None,
            "shell": shell, "program": "dorvik_long" if options.long else "dorvik",
            "arguments": options.arguments, "streams": run.streams, "interrupted": run.interrupted, "ended": ended,
            "skew_limit": options.skew_limit, "sample_seconds": SAMPLE_SECONDS,
            "between_phases": options.between_phases, "tests": run.barriers, "hosts": hosts}


def on_client(options, program):
    """A program's path on the clients: in --bin, or found on their PATH."""
    return os.path.join(options.bin, program) if options.bin else program


def client_command(options, tests, run_id, shell):
    """The command of the client on every host, with its order: the program, its tests and streams."""
    order = {"run": run_id, "program": on_client(options, "dorvik_long" if options.long else "dorvik"),
             "tests": tests, "streams": options.streams}
    if shell == "srun":
        order["transport"] = "srun"
    return [on_client(options, "dorvik-clients"), "--client", "%h", encode(order)]


def transport(options, shell_name, hosts, tests):
    """The parallel shell over ssh, or the job step of srun, that will run the client on every host."""
    run_id = uuid.uuid4().hex
    command = client_command(options, tests, run_id, shell_name)
    if shell_name == "local":
        return local.LocalClients(hosts, local.client_program() + command[1:])
    if shell_name == "srun":
        job_name = None if slurm.in_allocation() else f"dorvik-clients-{run_id}"
        return slurm.SrunStep(hosts, command, job_name, LINE_LIMIT)
    return Shell(shell_name, hosts, " ".join(shlex.quote(w) for w in command), ssh_command(shell_name, options.ssh))


def gather(shell, run, live_line, save):
    """The run from the first line of the clients to the last record, its index saved as each test ends; an
    interrupt ends every client."""
    saved = 0
    while shell.open() and run.busy() and not run.interrupted:
        for name, text in shell.lines(0.02):
            run.take(name, text)
        run.clock()
        run.drop_late()
        run.release()
        if len(run.barriers) != saved:
            # A test was released: the one before it has ended on every host.
            saved = len(run.barriers)
            save(False)
        live_line.draw(run)
    # The end of its input ends a client: its test, if any, is stopped and its record sent.
    shell.hang_up()
    until = time.monotonic() + 10
    while shell.open() and time.monotonic() < until and run.running():
        for name, text in shell.lines(0.05):
            run.take(name, text)
    run.end()


def run_clients(options, shell_name, hosts, records):
    """Runs the tests on every host, its records written to the folder as they come; the run as it ended."""
    tests = tests_of(options.arguments, options.long)
    shell = transport(options, shell_name, hosts, tests)
    live_line = LiveLine(options.progress)
    run = None
    signalled = []

    def save(ended):
        records.index(index(options, shell_name, run, ended))

    def on_signal(*_):
        signalled.append(True)
        if run is not None:
            run.interrupted = True
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)
    try:
        try:
            channels = shell.start()
        except OSError as error:
            raise SystemExit(f"dorvik-clients: cannot start the clients: {error.strerror or error}") from None
        run = Run(channels, tests, options, records)
        run.interrupted = bool(signalled)
        for host in run.hosts.values():
            for stream in range(1, run.streams + 1):
                records.entry(host.entry(stream, run.streams))
        save(False)
        try:
            gather(shell, run, live_line, save)
        except RecordsLost:
            run.stop()
            run.interrupted = True
            run.end()
            raise
        save(True)
    finally:
        shell.hang_up()
        shell.end()
        live_line.clear()
        # Once the run is over a signal changes nothing, as before, and no longer holds the run.
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, ignored)
    return run


def ignored(*_):
    """A signal's handler that does nothing."""


def control(options):
    check_arguments(options.arguments, options.streams, one_host=options.shell == "local")
    shell = choose_shell(options.shell)
    hosts = expand_hosts(shell, options.hosts)
    check_names_apart(options.arguments, hosts, options.streams)
    short = allow_open_files(len(hosts), len(hosts) * options.streams)
    if short is not None:
        print(f"dorvik-clients: warning: {len(hosts)} hosts need more open files than the limit, {short}; "
              "some may fail (raise it with ulimit -n)", file=sys.stderr)
    name = make_folder(options.folder)
    folder = open_folder(name)
    records = Records(folder)
    try:
        run_clients(options, shell, hosts, records)
        records.close()
    except RecordsLost as error:
        records.abandon()
        print(f"dorvik-clients: {error}; the run was stopped, and what was written before is in "
              f"{reader.escaped(reader.shown(name))}", file=sys.stderr)
        return 1
    finally:
        os.close(folder)
    # The run is let go once saved: its report is read from the folder.
    return report_again(name, options.strict)


def main():
    if sys.argv[1:2] == ["--client"] and len(sys.argv) == 4:
        return Client(sys.argv[2], decode(sys.argv[3])).run()
    reader.write_names_as_given()
    options = parse_arguments(sys.argv[1:])
    try:
        status = report_again(options.report, options.strict) if options.report is not None else control(options)
        if sys.stdout is None:
            raise OSError(0, "standard output is closed")
        sys.stdout.flush()
        return status
    except Refused as error:
        print(f"dorvik-clients: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        # Ctrl-C before the clients were started (while the hosts are expanded) or while a report is read
        # again: nothing runs yet, or any more.
        reader.interrupts_ignored()
        print("dorvik-clients: interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:
        # A reader that stopped early (| head) has what it wanted; the rest of the report is lost.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as error:
        # The run's folder is saved; a report that cannot be written (a full disk, a closed pipe, a reader
        # that stopped early) is a failure all the same.
        if sys.stdout is not None:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        print(f"dorvik-clients: cannot write the report: {error.strerror or error}", file=sys.stderr)
        return 1

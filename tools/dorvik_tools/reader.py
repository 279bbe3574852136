"""The one reader of what dorvik and dorvik_long print.

Every tool that turns program output into figures (dorvik-report,
dorvik-plot, dorvik-clients) reads it through events() or runs_of() here, so
that one place knows every line the programs print. A text may hold several
runs one after another (outputs joined with cat); each begins with the
banner. events() hands on each test as it is settled and each run as it ends,
and reads each line up to a limit, so that memory does not grow with the
input, the rows of one run, or the length of a line; runs_of() gives whole
runs. A figure the program cannot have printed makes a damaged test with its
reason, never an error. Bytes are read as UTF-8 with the undecodable ones
kept as surrogates, so that names go out byte for byte as they came in.
"""

import contextlib
import io
import json
import os
import re
import shutil
import signal
import sys
import tempfile

from . import environment

MEGABYTE = 1048576
# The two phases of a test, in the order they run.
PHASES = ("write", "read")
# Characters that would end a line or a quoted string wherever a name is written out, or that a terminal
# obeys: the C0 controls, DEL and the C1 controls (U+009B is a terminal's CSI), and the bytes 0x80 to 0x9f
# that are no UTF-8, which a terminal in a single-byte encoding takes for C1.
CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f\udc80-\udc9f]")
# The same but for the tab and the line ends, which a CSV field holds within its quotes.
CONTROL_IN_CSV = re.compile(r"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f\udc80-\udc9f]")
# The longest line read: the program's longest lines hold a name of about a kilobyte. A longer
# line is no line of the program, and is never held in memory whole.
LINE_LIMIT = 65536

BANNER = re.compile(r"DORVIK: Test of Sequential File I/O -- .*")
# Lines that carry no figure: the banner's second line, the usage text, the
# description of a test, the interrupt's messages, the heading of the advice.
QUIET = re.compile(
    r"\tOperating System: .*|\tUsage:\tdorvik .*|\t\tdorvik auto\[=filename\]|\tdorvik raw\[=filename\]"
    r"|\tdorvik cdrom\[=filename\]|\t\tdorvik help|\tIt then reads the file\.  It prints the bytes-per-second"
    r"|\trate at which the computer can read and write files\.|deleting file: .*|exiting dorvik"
    r"|The test completed too quickly to give a good result|You will get a more precise measure of this machine's"
    r"|performance by re-running dorvik using the command:|\tMB      reclen  bytes/sec written   bytes/sec read *")
# The lines with figures; each figure is taken as any word here and then checked, so that a
# figure the program cannot have printed makes a damaged line with its reason.
DESCRIPTION = re.compile(r"\tdorvik writes a (\S+) Megabyte sequential file consisting of")
RECORDS = re.compile(r"\t(\S+) records which are each (\S+) bytes in length\.")
WRITING = re.compile(r"Writing the (\S+) Megabyte file, '(.*)'\.\.\.(?:(\S+) seconds)?(.*)")
READING = re.compile(r"Reading the file\.\.\.(?:(\S+) seconds)?(.*)")
# A phase's seconds on a line of their own, after a reason on standard error broke the line.
SECONDS = re.compile(r"(\S+) seconds")
ZERO_READ = "I/O error during read.  Try again with the command:"
RETRY = re.compile(r"\tdorvik (\S+) (\S+) \t\(i\.e\. record size = [0-9]+ bytes\)")
SUGGESTION = re.compile(r"\tdorvik (\S+) \t\(i\.e\., file size = -?[0-9]+ megabytes\)")
AVERAGE_HEADING = " Average statistics"
TOTALS = re.compile(r"####\t Total KB= *(\S+) \(1024\), read=(\S+) \(sec\), write=(\S+) \(sec\)")
AVERAGES = re.compile(r"####\t Average read= *(\S+) MB/sec, write= *(\S+) MB/sec")
SERIES = re.compile(r"dorvik: auto-test mode (?:(CD-ROM|raw) device (.*))?")
ROW = re.compile(r"\t(-?[0-9]+) +(\S+) +(\S+) +(\S+) *")
COMPLETED = "Completed series of tests"
# The lines that end a run before its end: every failure, and the interrupt.
FAILURE = re.compile(
    r"(Cannot create temporary file: .*|Cannot open raw device: .*|Error writing block [0-9]+|Error syncing file: .*"
    r"|Cannot open temporary file for read|Error reading block [0-9]+|Error: .*|dorvik: bad usage"
    r"|Cannot allocate the record buffer|dorvik: interrupted)")
# What the programs write on standard error, for output kept with 2>&1.
SYSTEM_REASON = re.compile(r"(dorvik|clock_gettime): .*")
HELP = "dorvik: help mode"
HELP_END = "Bye!"
# A note that a user wrote beside the output, such as the kernel and the mount options.
NOTE = re.compile(r"#(?: .*)?")

# The figures as the program prints them: whole numbers of its C types, and seconds with decimals;
# ASCII digits only, where \d and int() would take any script's digits (a fullwidth "１２" for 12).
WHOLE = re.compile(r"-?[0-9]{1,20}")
DECIMAL = re.compile(r"[0-9]{1,20}\.[0-9]{1,20}")
INT = (-2**31, 2**31 - 1)
UNSIGNED = (0, 2**32 - 1)
UNSIGNED_LONG = (0, 2**64 - 1)
LONG = (-2**63, 2**63 - 1)
RATE = (0, 2**63 - 1)


class ParseError(Exception):
    """Input that is not program output; the message names the file and the line."""


class Damaged(Exception):
    """A line of the program's form with a figure the program cannot have printed; the message says which."""


def shortened(text):
    return repr(text if len(text) <= 40 else text[:40] + "...")


def whole(text, what, limits):
    """A whole number printed in a field of a C type of the given limits; Damaged for anything else."""
    if not WHOLE.fullmatch(text):
        raise Damaged(f"the {what} {shortened(text)} is not a whole number")
    if not limits[0] <= int(text) <= limits[1]:
        raise Damaged(f"the {what} {shortened(text)} lies beyond {limits[0]} to {limits[1]}")
    return int(text)


def decimal(text, what):
    """A figure printed with decimals, such as seconds; Damaged for anything else."""
    if not DECIMAL.fullmatch(text):
        raise Damaged(f"the {what} {shortened(text)} is not a number with decimals")
    return float(text)


def new_test(size_mb, record_length, status="incomplete", reason=None):
    return {"size_mb": size_mb, "record_length": record_length, "write_bytes_per_s": None,
            "read_bytes_per_s": None, "status": status, "reason": reason}


def new_run(source, notes=()):
    return {"source": source, "mode": "single", "device": None, "complete": False, "reason": None,
            "tests": [], "average": None, "suggested_megabytes": None, "system_reason": None,
            "notes": list(notes)}


def set_phase(test, phase, seconds):
    """A phase of a single test: its printed seconds and the rate they give, as a series row would."""
    rate = int(test["bytes"] / seconds) if seconds > 0 else 0
    if rate > RATE[1]:
        raise Damaged(f"the {phase} time {seconds:g} s gives a rate beyond {RATE[1]} bytes per second")
    test[phase + "_seconds"] = seconds
    test[phase + "_bytes_per_s"] = rate


class Reader:
    """Walks the lines of one text, one run after another. It hands on each test once it is settled
    (the next test began or the run ended) and each run once it ended, so that nothing grows with
    the number of tests; ready holds what is settled and not yet handed on."""

    def __init__(self, source):
        self.source = source
        self.notes = []       # notes before the first banner belong to the first run
        self.run = None
        self.test = None      # the single test being reported
        self.held = None      # the last test, not yet settled
        self.pending = None   # the phase whose seconds a reason on standard error pushed to the next line
        self.in_help = False
        self.number = 0       # the line being read
        self.last = None      # the number of the run's last line, when it held text
        self.unread = None    # a line that is no program output: an error unless the next output cut it
        self.damage = None    # why the first damaged line of the run is damaged
        self.ready = []       # (run, test) for a settled test, (run, None) for an ended run

    def fail(self, number, line):
        shown_line = line if len(line) <= 200 else line[:200] + "..."
        raise ParseError(f"{self.source}:{number}: not dorvik output: {shown_line!r}")

    def end_with(self, reason):
        self.run["reason"] = reason
        self.run["complete"] = False

    def line(self, number, line):
        """Reads one line; a run that the line ends by beginning the next goes to ready."""
        unread, self.unread = self.unread, None
        last, self.last = self.last, None
        if BANNER.fullmatch(line):
            if self.run is not None and last is not None:
                # Every output begins with an empty line: a line of text right before the banner was
                # cut short, and the newline that ends it is the next output's.
                self.cut_at(last)
            self.close()
            self.run = new_run(self.source, self.notes)
            self.notes, self.test, self.in_help, self.damage = [], None, False, None
            return
        if unread:
            self.fail(*unread)
        if NOTE.fullmatch(line):
            (self.notes if self.run is None else self.run["notes"]).append(line)
            return
        if self.run is None:
            if line == "":
                return
            self.fail(number, line)
        self.last = number if line else None
        try:
            self.read(number, line)
        except Damaged as error:
            self.damaged(number, str(error))

    def too_long(self, number):
        """A line beyond the limit: no line of the program, read past without being kept."""
        if self.unread:
            self.fail(*self.unread)
        if self.run is None:
            raise ParseError(f"{self.source}:{number}: not dorvik output: a line longer than {LINE_LIMIT} bytes")
        self.last = number
        self.damaged(number, f"it is longer than {LINE_LIMIT} bytes")

    def damaged(self, number, why):
        """A line whose figures cannot be taken: the test being read, or a test of its own, is damaged,
        and the run is not whole."""
        reason = f"line {number} is damaged: {why}"
        if self.held is not None and self.held["status"] == "incomplete":
            self.held.update(status="damaged", reason=reason, write_bytes_per_s=None, read_bytes_per_s=None)
        else:
            self.add(new_test(None, None, "damaged", reason))
        self.damage = self.damage or reason

    def cut_at(self, number):
        """The run's last line was cut: the row it gave is damaged, and the run did not reach its end."""
        reason = f"line {number} is cut short: the next output begins inside it"
        if self.held is not None and self.held["status"] == "ok" and self.held.get("line") == number:
            self.held.update(status="damaged", reason=reason, write_bytes_per_s=None, read_bytes_per_s=None)
        self.end_with(reason)

    def add(self, test):
        """A new test (None at the run's end): the one before it is settled."""
        if self.held is not None:
            self.ready.append((self.run, self.held))
        self.held = test

    def read(self, number, line):
        if self.in_help:
            self.in_help = line != HELP_END
            self.run["complete"] = not self.in_help
            return
        if line == "" or QUIET.fullmatch(line):
            return
        self.number = number
        for handle in (self.single, self.series, self.summary):
            if handle(line):
                return
        failure = FAILURE.fullmatch(line)
        if failure:
            self.end_with(failure.group(1))
            return
        if SYSTEM_REASON.fullmatch(line):
            self.run["system_reason"] = line
            return
        self.unread = (number, line)

    def single(self, line):
        m = DESCRIPTION.fullmatch(line)
        if m:
            self.test = new_test(None, None)
            self.add(self.test)
            self.test["size_mb"] = whole(m.group(1), "file size", INT)
            return True
        m = RECORDS.fullmatch(line)
        if m and self.test is not None:
            records = whole(m.group(1), "number of records", UNSIGNED_LONG)
            self.test["record_length"] = whole(m.group(2), "record length", UNSIGNED)
            self.test["bytes"] = records * self.test["record_length"]
            return True
        m = WRITING.fullmatch(line) or READING.fullmatch(line)
        if m and self.test is not None:
            seconds, rest = m.group(m.re.groups - 1), m.group(m.re.groups)
            phase = "write" if m.re is WRITING else "read"
            if m.re is WRITING:
                whole(m.group(1), "file size", INT)
            if seconds is not None:
                self.phase_seconds(phase, seconds)
            if rest and SYSTEM_REASON.fullmatch(rest):
                self.run["system_reason"] = rest
                self.pending = phase
                return True
            if rest:
                return self.failure_in_line(rest)
            return True
        m = SECONDS.fullmatch(line)
        if m and self.pending and self.test is not None:
            phase, self.pending = self.pending, None
            self.phase_seconds(phase, m.group(1))
            return True
        return False

    def phase_seconds(self, phase, text):
        seconds = decimal(text, f"{phase} time")
        if self.test["status"] == "damaged":
            return
        if "bytes" not in self.test:
            raise Damaged(f"the {phase} time comes before the number of records")
        set_phase(self.test, phase, seconds)
        self.test[phase + "_line"] = self.number

    def failure_in_line(self, rest):
        failure = FAILURE.fullmatch(rest)
        if not failure:
            return False
        self.end_with(failure.group(1))
        return True

    def series(self, line):
        m = SERIES.fullmatch(line)
        if m:
            self.run["mode"] = {"CD-ROM": "cdrom", "raw": "raw"}.get(m.group(1), "file")
            self.run["device"] = m.group(2)
            return True
        m = ROW.fullmatch(line)
        if m and self.run["mode"] != "single":
            test = new_test(None, None)
            test["line"] = self.number
            self.add(test)
            test.update(size_mb=whole(m.group(1), "file size", INT),
                        record_length=whole(m.group(2), "record length", UNSIGNED),
                        write_bytes_per_s=whole(m.group(3), "write rate", RATE),
                        read_bytes_per_s=whole(m.group(4), "read rate", RATE), status="ok")
            return True
        if line == ZERO_READ:
            if self.test is not None:
                self.test["status"] = "advice"
                self.test["read_seconds"] = 0.0
            return True
        m = RETRY.fullmatch(line)
        if m:
            size, length = whole(m.group(1), "file size", INT), whole(m.group(2), "record length", UNSIGNED)
            if self.run["mode"] == "single":
                self.run["complete"] = self.run["reason"] is None
            else:
                self.add(new_test(size, 2 * length, "advice"))
            return True
        if line == COMPLETED:
            self.run["complete"] = self.run["reason"] is None
            return True
        return False

    def summary(self, line):
        if line == AVERAGE_HEADING:
            self.run["average"] = {}
            return True
        m = TOTALS.fullmatch(line)
        if m and self.run["average"] is not None:
            self.run["average"].update(total_kb=whole(m.group(1), "Total KB", UNSIGNED_LONG),
                                       read_seconds=decimal(m.group(2), "total read time"),
                                       write_seconds=decimal(m.group(3), "total write time"))
            return True
        m = AVERAGES.fullmatch(line)
        if m and self.run["average"] is not None:
            self.run["average"].update(read_mb_per_s=decimal(m.group(1), "average read rate"),
                                       write_mb_per_s=decimal(m.group(2), "average write rate"))
            if self.run["mode"] == "single" and self.test is not None and self.test["status"] != "damaged":
                self.test["status"] = "ok"
                self.run["complete"] = self.run["reason"] is None
            return True
        m = SUGGESTION.fullmatch(line)
        if m:
            self.run["suggested_megabytes"] = whole(m.group(1), "suggested size", LONG)
            return True
        if line == HELP:
            self.in_help = True
            return True
        return False

    def cut(self, number):
        """The last line lacks its newline: the output was cut inside it, so no figure of it counts."""
        if self.run is not None:
            self.end_with(f"line {number} is cut short: the output ends inside it")

    def close(self):
        """The run read so far, its end settled, goes to ready: a run that did not reach its end has an
        incomplete test, and a run with a damaged line is not whole."""
        run = self.run
        if run is None:
            return
        if not run["complete"]:
            run["reason"] = run["reason"] or self.damage or "output ends before the run does"
            if run["mode"] == "single" and self.held is not None:
                if self.held["status"] != "damaged":
                    self.held.update(status="incomplete", reason=run["reason"])
            else:
                self.add(new_test(None, None, "incomplete", run["reason"]))
        elif self.damage:
            self.end_with(self.damage)
        self.add(None)
        self.ready.append((run, None))
        self.run = None


def lines_of(stream):
    """The lines of a binary stream, each at most LINE_LIMIT bytes long and its end kept; a longer
    line is read past in pieces and given as None."""
    while True:
        line = stream.readline(LINE_LIMIT + 1)
        if len(line) <= LINE_LIMIT or line.endswith(b"\n"):
            if not line:
                return
            yield line
            continue
        while line and not line.endswith(b"\n"):
            line = stream.readline(LINE_LIMIT)
        yield None


def events(stream, source):
    """What a binary stream holds, in order: (run, test) as each test is settled and (run, None)
    as each run ends; ParseError when it is not program output.

    Lines end in LF or CRLF; a last line without its newline was cut and never counts."""
    reader = Reader(source)
    for number, raw in enumerate(lines_of(stream), 1):
        if raw is None:
            reader.too_long(number)
        else:
            line = raw.decode("utf-8", "surrogateescape")
            if not line.endswith("\n"):
                if reader.unread:
                    reader.fail(*reader.unread)
                reader.cut(number)
                break
            reader.line(number, line[:-2] if line.endswith("\r\n") else line[:-1])
        yield from reader.ready
        reader.ready.clear()
    if reader.unread:
        reader.fail(*reader.unread)
    if reader.run is None:
        raise ParseError(f"{source}: no dorvik output")
    reader.close()
    yield from reader.ready


def collected(settled):
    """Runs with their tests, one at a time, from what events() gives."""
    for run, test in settled:
        if test is not None:
            run["tests"].append(test)
        else:
            yield run


def runs_of(stream, source):
    """The runs in a binary stream, one at a time, each with its tests; ParseError when it is not
    program output."""
    return collected(events(stream, source))


def parse(text, source="-"):
    """The runs in a text already read, as a list."""
    return list(runs_of(io.BytesIO(text.encode("utf-8", "surrogateescape")), source))


def escaped(text, control=CONTROL):
    """Text with each control character written as its escape (a line break as \\n, CSI as \\x9b, a byte that
    is no UTF-8 as \\x9b too): shown, never obeyed. Every tool writes what hosts and inputs said through here."""
    return control.sub(escape, text)


def escape(match):
    code = ord(match.group())
    return f"\\x{code - 0xdc00:02x}" if code >= 0xdc00 else repr(match.group())[1:-1]


def write_names_as_given():
    """Standard output and error write names byte for byte as they came in, in any locale."""
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.reconfigure(encoding="utf-8", errors="surrogateescape")


def shown(path):
    """A file's name as it is written out: its bytes, whatever the locale."""
    return os.fsencode(path).decode("utf-8", "surrogateescape")


@contextlib.contextmanager
def opened(path):
    """A file, or standard input for "-", as a binary stream."""
    if path != "-":
        with open(path, "rb") as f:
            yield f
    elif sys.stdin is None:
        raise OSError(0, "standard input is closed")
    else:
        yield sys.stdin.buffer


def source_events(path):
    """The events of one file, or of standard input for "-", as events() gives them."""
    name = shown(path)
    try:
        with opened(path) as stream:
            yield from events(stream, name)
    except OSError as error:
        raise ParseError(f"{name}: {error.strerror}") from error


def read_source(path):
    """The runs of one file, or of standard input for "-", one at a time."""
    return collected(source_events(path))


def spool_standard_input():
    """Standard input kept in an unnamed temporary file, for a tool that reads its input twice."""
    copy = tempfile.TemporaryFile()
    if sys.stdin is not None:
        shutil.copyfileobj(sys.stdin.buffer, copy)
    copy.seek(0)
    sys.stdin = io.TextIOWrapper(copy, encoding="utf-8", errors="surrogateescape")


def holds_single_tests(path):
    """Whether a file holds a test run from the command line, found without reading it into memory."""
    marker, tail = b"\n\tdorvik writes a ", b""
    try:
        with opened(path) as stream:
            try:
                for block in iter(lambda: stream.read(1 << 20), b""):
                    if marker in tail + block:
                        return True
                    tail = block[-len(marker):]
            finally:
                if path == "-":
                    stream.seek(0)
    except OSError:
        return False
    return False


def mb_per_s(bytes_per_s):
    """Bytes per second in MB (1,048,576 bytes) per second."""
    return None if bytes_per_s is None else bytes_per_s / MEGABYTE


def grid_point(run, test):
    """The point of the grid a test measured: the run's mode, its size and record length."""
    return (run["mode"], test["size_mb"], test["record_length"])


CLIENTS_FILE = "clients.json"


def is_clients_folder(path):
    return path != "-" and os.path.isfile(os.path.join(path, CLIENTS_FILE))


def is_host_name(name):
    """A host's name that names a file in the folder and nothing outside it."""
    return isinstance(name, str) and name not in ("", ".", "..") and "/" not in name and "\0" not in name


def read_clients_file(folder):
    """The document of a dorvik-clients folder, its list of hosts checked."""
    try:
        with open(os.path.join(folder, CLIENTS_FILE), "rb") as f:
            document = json.load(f)
    except (OSError, ValueError) as error:
        raise ParseError(f"{shown(folder)}: not a folder of dorvik-clients: {error}") from error
    except RecursionError as error:
        raise ParseError(f"{shown(folder)}: not a folder of dorvik-clients: {CLIENTS_FILE} nests too deep") from error
    hosts = document.get("hosts") if isinstance(document, dict) else None
    if not isinstance(hosts, list) or not all(isinstance(h, dict) and is_host_name(h.get("host")) for h in hosts):
        raise ParseError(f"{shown(folder)}: {CLIENTS_FILE} lacks its list of hosts, each with its name")
    return document


@contextlib.contextmanager
def clients_folder_errors(folder):
    """A damaged dorvik-clients folder (a missing output, a field missing or of the wrong type) as a
    ParseError that names it, for the code that computes its figures."""
    try:
        yield
    except ValueError as error:
        raise ParseError(f"{shown(folder)}: a damaged folder of dorvik-clients: {error}") from error
    except (OSError, LookupError, TypeError, AttributeError) as error:
        # A missing key's message is the key alone: the kind of failure names what went wrong.
        raise ParseError(f"{shown(folder)}: a damaged folder of dorvik-clients: {error!r}") from error


def host_environment(folder, host):
    """What a host of a dorvik-clients folder recorded of its environment, checked; None where it recorded none."""
    if host.get("environment") is None:
        return None
    try:
        return environment.checked(host["environment"])
    except ValueError as error:
        raise ParseError(f"{shown(folder)}: a damaged folder of dorvik-clients: {error}") from error


def host_runs(folder, host):
    """The runs of one host of a dorvik-clients folder, each marked with the host and the environment it
    recorded."""
    path = os.path.join(folder, host["host"] + ".out")
    reason = host.get("reason")
    described = host_environment(folder, host)
    try:
        runs = list(read_source(path))
    except ParseError as error:
        runs = [new_run(shown(path))]
        runs[0]["reason"] = reason or str(error)
        runs[0]["tests"].append(new_test(None, None, "incomplete", runs[0]["reason"]))
    for run in runs:
        run["host"] = host["host"]
        if described is not None:
            run["environment"] = described
        if reason and run["complete"]:
            run["reason"] = str(reason)
            run["complete"] = False
    return runs


def load(path):
    """The runs of a file, of standard input ("-"), or of every host of a dorvik-clients folder,
    one at a time."""
    if os.path.isdir(path):
        if not is_clients_folder(path):
            raise ParseError(f"{shown(path)}: a folder, but not one of dorvik-clients")
        return (run for host in read_clients_file(path)["hosts"] for run in host_runs(path, host))
    return read_source(path)


def load_events(path):
    """What load() reads, as events() gives it: each test as it is settled, each run as it ends, so
    that no run is held whole."""
    if not os.path.isdir(path):
        return source_events(path)
    return ((run, test) for run in load(path) for test in run["tests"] + [None])


def interrupts_ignored():
    """Ctrl-C has been taken: another, while the tool closes its output and says so, would leave a traceback."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)

"""The one reader of what dorvik and dorvik_long print.

Every tool that turns program output into figures (dorvik-report,
dorvik-plot, dorvik-clients) reads it through runs_of() here, so that one
place knows every line the programs print. A text may hold several runs one
after another (outputs joined with cat); each begins with the banner, and
the runs are handed on one at a time, so that memory does not grow with the
input. Bytes are read as UTF-8 with the undecodable ones kept as surrogates,
so that names go out byte for byte as they came in.
"""

import contextlib
import io
import json
import os
import re
import shutil
import sys
import tempfile

MEGABYTE = 1048576
# The two phases of a test, in the order they run.
PHASES = ("write", "read")
# Characters that would end a line or a quoted string wherever a name is written out.
CONTROL = re.compile(r"[\x00-\x1f\x7f]")

BANNER = re.compile(r"DORVIK: Test of Sequential File I/O -- .*")
# Lines that carry no figure: the banner's second line, the usage text, the
# description of a test, the interrupt's messages, the heading of the advice.
QUIET = re.compile(
    r"\tOperating System: .*|\tUsage:\tdorvik .*|\t\tdorvik auto\[=filename\]|\tdorvik raw\[=filename\]"
    r"|\tdorvik cdrom\[=filename\]|\t\tdorvik help|\tIt then reads the file\.  It prints the bytes-per-second"
    r"|\trate at which the computer can read and write files\.|deleting file: .*|exiting dorvik"
    r"|The test completed too quickly to give a good result|You will get a more precise measure of this machine's"
    r"|performance by re-running dorvik using the command:|\tMB      reclen  bytes/sec written   bytes/sec read *")
DESCRIPTION = re.compile(r"\tdorvik writes a (-?\d+) Megabyte sequential file consisting of")
RECORDS = re.compile(r"\t(\d+) records which are each (\d+) bytes in length\.")
WRITING = re.compile(r"Writing the (-?\d+) Megabyte file, '(.*)'\.\.\.(?:(\d+\.\d+) seconds)?(.*)")
READING = re.compile(r"Reading the file\.\.\.(?:(\d+\.\d+) seconds)?(.*)")
# A phase's seconds on a line of their own, after a reason on standard error broke the line.
SECONDS = re.compile(r"(\d+\.\d+) seconds")
ZERO_READ = "I/O error during read.  Try again with the command:"
RETRY = re.compile(r"\tdorvik (-?\d+) (\d+) \t\(i\.e\. record size = \d+ bytes\)")
SUGGESTION = re.compile(r"\tdorvik (-?\d+) \t\(i\.e\., file size = -?\d+ megabytes\)")
AVERAGE_HEADING = " Average statistics"
TOTALS = re.compile(r"####\t Total KB= *(\d+) \(1024\), read=(\S+) \(sec\), write=(\S+) \(sec\)")
AVERAGES = re.compile(r"####\t Average read= *(\S+) MB/sec, write= *(\S+) MB/sec")
SERIES = re.compile(r"dorvik: auto-test mode (?:(CD-ROM|raw) device (.*))?")
ROW = re.compile(r"\t(-?\d+) +(\d+) +(\d+) +(\d+) *")
COMPLETED = "Completed series of tests"
# The lines that end a run before its end: every failure, and the interrupt.
FAILURE = re.compile(
    r"(Cannot create temporary file: .*|Cannot open raw device: .*|Error writing block \d+|Error syncing file: .*"
    r"|Cannot open temporary file for read|Error reading block \d+|Error: .*|dorvik: bad usage"
    r"|Cannot allocate the record buffer|dorvik: interrupted)")
# What the programs write on standard error, for output kept with 2>&1.
SYSTEM_REASON = re.compile(r"(dorvik|clock_gettime): .*")
HELP = "dorvik: help mode"
HELP_END = "Bye!"
# A note that a user wrote beside the output, such as the kernel and the mount options.
NOTE = re.compile(r"#(?: .*)?")


class ParseError(Exception):
    """Input that is not program output; the message names the file and the line."""


def new_test(size_mb, record_length):
    return {"size_mb": size_mb, "record_length": record_length, "write_bytes_per_s": None,
            "read_bytes_per_s": None, "status": "incomplete"}


def new_run(source, notes=()):
    return {"source": source, "mode": "single", "device": None, "complete": False, "reason": None,
            "tests": [], "average": None, "suggested_megabytes": None, "system_reason": None,
            "notes": list(notes)}


def set_phase(test, phase, seconds):
    """A phase of a single test: its printed seconds and the rate they give, as a series row would."""
    test[phase + "_seconds"] = seconds
    test[phase + "_bytes_per_s"] = int(test["bytes"] / seconds) if seconds > 0 else 0


class Reader:
    """Walks the lines of one text, one run after another."""

    def __init__(self, source):
        self.source = source
        self.notes = []       # notes before the first banner belong to the first run
        self.run = None
        self.test = None      # the single test being reported
        self.pending = None   # the phase whose seconds a reason on standard error pushed to the next line
        self.in_help = False
        self.number = 0       # the line being read

    def fail(self, number, line):
        shown_line = line if len(line) <= 200 else line[:200] + "..."
        raise ParseError(f"{self.source}:{number}: not dorvik output: {shown_line!r}")

    def end_with(self, reason):
        self.run["reason"] = reason
        self.run["complete"] = False

    def line(self, number, line):
        """Reads one line; returns the run that the line ends by beginning the next, if any."""
        if BANNER.fullmatch(line):
            ended = self.close()
            self.run = new_run(self.source, self.notes)
            self.notes, self.test, self.in_help = [], None, False
            return ended
        if NOTE.fullmatch(line):
            (self.notes if self.run is None else self.run["notes"]).append(line)
            return None
        if self.run is None:
            if line == "":
                return None
            self.fail(number, line)
        self.read(number, line)
        return None

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
        self.fail(number, line)

    def single(self, line):
        m = DESCRIPTION.fullmatch(line)
        if m:
            self.test = new_test(int(m.group(1)), None)
            self.run["tests"].append(self.test)
            return True
        m = RECORDS.fullmatch(line)
        if m and self.test is not None:
            self.test["record_length"] = int(m.group(2))
            self.test["bytes"] = int(m.group(1)) * self.test["record_length"]
            return True
        m = WRITING.fullmatch(line) or READING.fullmatch(line)
        if m and self.test is not None:
            seconds, rest = m.group(m.re.groups - 1), m.group(m.re.groups)
            if seconds is not None:
                phase = "write" if m.re is WRITING else "read"
                set_phase(self.test, phase, float(seconds))
                self.test[phase + "_line"] = self.number
            if rest and SYSTEM_REASON.fullmatch(rest):
                self.run["system_reason"] = rest
                self.pending = "write" if m.re is WRITING else "read"
                return True
            if rest:
                return self.failure_in_line(rest)
            return True
        m = SECONDS.fullmatch(line)
        if m and self.pending and self.test is not None:
            set_phase(self.test, self.pending, float(m.group(1)))
            self.test[self.pending + "_line"] = self.number
            self.pending = None
            return True
        return False

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
            size, length, written, read = (int(v) for v in m.groups())
            self.run["tests"].append({"size_mb": size, "record_length": length, "write_bytes_per_s": written,
                                      "read_bytes_per_s": read, "status": "ok", "line": self.number})
            return True
        if line == ZERO_READ:
            if self.test is not None:
                self.test["status"] = "advice"
                self.test["read_seconds"] = 0.0
            return True
        m = RETRY.fullmatch(line)
        if m:
            if self.run["mode"] == "single":
                self.run["complete"] = self.run["reason"] is None
            else:
                self.run["tests"].append({"size_mb": int(m.group(1)), "record_length": 2 * int(m.group(2)),
                                          "write_bytes_per_s": None, "read_bytes_per_s": None,
                                          "status": "advice"})
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
            self.run["average"].update(total_kb=int(m.group(1)), read_seconds=float(m.group(2)),
                                       write_seconds=float(m.group(3)))
            return True
        m = AVERAGES.fullmatch(line)
        if m and self.run["average"] is not None:
            self.run["average"].update(read_mb_per_s=float(m.group(1)), write_mb_per_s=float(m.group(2)))
            if self.run["mode"] == "single" and self.test is not None:
                self.test["status"] = "ok"
                self.run["complete"] = self.run["reason"] is None
            return True
        m = SUGGESTION.fullmatch(line)
        if m:
            self.run["suggested_megabytes"] = int(m.group(1))
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
        """The run read so far, its end settled: a run that did not reach its end has an incomplete test."""
        run = self.run
        if run is None:
            return None
        if not run["complete"] and run["reason"] is None:
            run["reason"] = "output ends before the run does"
        if not run["complete"]:
            if run["mode"] == "single" and run["tests"]:
                run["tests"][-1]["status"] = "incomplete"
            else:
                run["tests"].append(new_test(None, None))
        return run


def runs_of(stream, source):
    """The runs in a binary stream, one at a time; ParseError when it is not program output.

    Lines end in LF or CRLF; a last line without its newline was cut and never counts."""
    reader = Reader(source)
    for number, raw in enumerate(stream, 1):
        line = raw.decode("utf-8", "surrogateescape")
        if not line.endswith("\n"):
            reader.cut(number)
            break
        ended = reader.line(number, line[:-2] if line.endswith("\r\n") else line[:-1])
        if ended:
            yield ended
    if reader.run is None:
        raise ParseError(f"{source}: no dorvik output")
    yield reader.close()


def parse(text, source="-"):
    """The runs in a text already read, as a list."""
    return list(runs_of(io.BytesIO(text.encode("utf-8", "surrogateescape")).readlines(), source))


def escaped(text):
    """Text with each control character written as its escape (a line break as \\n): shown, never obeyed."""
    return CONTROL.sub(lambda m: repr(m.group())[1:-1], text)


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


def read_source(path):
    """The runs of one file, or of standard input for "-", one at a time."""
    name = shown(path)
    try:
        with opened(path) as stream:
            yield from runs_of(stream, name)
    except OSError as error:
        raise ParseError(f"{name}: {error.strerror}") from error


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
    except (OSError, LookupError, TypeError, ValueError, AttributeError) as error:
        raise ParseError(f"{shown(folder)}: a damaged folder of dorvik-clients: {error!r}") from error


def host_runs(folder, host):
    """The runs of one host of a dorvik-clients folder, each marked with the host."""
    path = os.path.join(folder, host["host"] + ".out")
    reason = host.get("reason")
    try:
        runs = list(read_source(path))
    except ParseError as error:
        runs = [new_run(shown(path))]
        runs[0]["reason"] = reason or str(error)
        runs[0]["tests"].append(new_test(None, None))
    for run in runs:
        run["host"] = host["host"]
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

"""The client side of dorvik-clients: started on every client by the parallel
shell or by srun (dorvik-clients --client), it answers the controller's clock
pings over its standard input and output. On PREPARE it starts a dorvik per
stream, which opens and checks its target and says on a pipe
(DORVIK_START_FD) that it is ready; on GO it hands every stream the instant
of the write span (DORVIK_INSTANT_FD), on READ the instant of the read span,
each in its own clock, and each dorvik itself waits for them just before its
timed spans and says when each began and ended. Meanwhile it samples the byte
counters of each dorvik and of the storage under its target, and sends them,
dorvik's output and each stream's end as they come, in lines of a few KiB.
Its times are the wall clock as it stood at the last round trip of the
controller's clock, carried on by the monotonic clock: a wall clock that is
set during a test moves no time it sends, and is said (STEP).
When its standard input ends (the controller ended, was killed, or dropped
it), or the controller says STOP, it ends its test at once. Through srun its
input is every client's: it takes only the lines that begin with its task's
number, and reads on to the end, so that srun never holds lines for it."""

import os
import re
import selectors
import shutil
import signal
import stat
import subprocess
import time

from .channel import TAG, encode, encode_bytes
from .environment import describe
from .clients import BELOW_LIMIT, SAMPLE_SECONDS
from .reader import MEGABYTE

# How often the samples go to the controller, and the most in one line.
SEND_SECONDS = 0.5
SAMPLES_PER_LINE = 25
# The most bytes of dorvik's output in one line (in base64, a third more).
PIECE_BYTES = 3072
SECTOR = 512
# How far the wall clock may move against the monotonic clock during a test before it is said to have been set.
STEP_SECONDS = 0.005
BOOT_ID = "/proc/sys/kernel/random/boot_id"
MOUNTSTATS = "/proc/self/mountstats"
DEFAULT_NAME = "#quarrow_NFS+SAN#.temp.bak"


def reads_as_number(text):
    """Whether atoi reads text as a number other than 0, as dorvik does."""
    number = re.match(r"[ \t\n\v\f\r]*[+-]?([0-9]+)", text)
    return number is not None and int(number.group(1)) != 0


def bytes_of(arguments):
    """The bytes of the file that a single test with these arguments writes, as dorvik reads them, or None for
    a series."""
    if len(arguments) not in (2, 3) or not reads_as_number(arguments[0]):
        return None
    size = atoi(arguments[0])
    length = atoi(arguments[1]) if len(arguments) == 3 or reads_as_number(arguments[1]) else 512
    return size * MEGABYTE // length * length if size > 0 and length > 0 else None


def atoi(text):
    """A number as atoi reads it (0 where there is none)."""
    number = re.match(r"[ \t\n\v\f\r]*([+-]?[0-9]+)", text)
    return int(number.group(1)) if number else 0


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


def device_argument(arguments):
    """The device or image that raw= or cdrom= names ("" for the default name), or None."""
    if len(arguments) != 1 or reads_as_number(arguments[0]):
        return None
    for lower in ("raw", "cdrom"):
        word = arguments[0]
        if word.startswith((lower, lower.upper())):
            return word[len(lower) + 1:] if word[len(lower):len(lower) + 1] == "=" else ""
    return None


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def device_name(device):
    found = re.search(r"^DEVNAME=(.*)$", read_text(f"/sys/dev/block/{device}/uevent"), re.MULTILINE)
    return found.group(1) if found else device


def mount_of(device):
    """The mount point (as the kernel writes it), type and source of the file system on a device."""
    for line in read_text("/proc/self/mountinfo").splitlines():
        fields = line.split(" ")
        if len(fields) > 4 and fields[2] == device and "-" in fields[5:]:
            rest = fields[fields.index("-", 5) + 1:]
            return fields[4], rest[0] if rest else "", rest[1] if len(rest) > 1 else ""
    return None


def target_status(arguments):
    """The status of what dorvik's arguments make it test: a device or image, or a file's folder."""
    device = device_argument(arguments)
    if device is not None:
        return os.stat(device or DEFAULT_NAME), True
    name = file_name_argument(arguments)
    if name is None:
        raise OSError("no target")
    return os.stat(os.path.dirname(os.path.abspath(name or DEFAULT_NAME))), False


def target_path(arguments):
    """The path whose environment a test measures: the device or image of raw= and cdrom=, or the test file's
    folder; None where dorvik writes no file."""
    device = device_argument(arguments)
    if device is not None:
        return device or DEFAULT_NAME
    name = file_name_argument(arguments)
    return None if name is None else os.path.dirname(os.path.abspath(name or DEFAULT_NAME))


def number_of(name):
    """A block device's major:minor, from its name in /sys/class/block; "" where it has none."""
    return read_text(f"/sys/class/block/{name}/dev").strip()


def devices_under(device, depth=0):
    """The block devices (major:minor) that a device's bytes reach too: the disk of a partition, the slaves of
    a device-mapper or md device, the device that holds a loop device's backing file, and theirs in turn."""
    if depth > 8:
        return []
    found = []
    place = f"/sys/dev/block/{device}"
    if os.path.exists(place + "/partition"):
        found.append(read_text(os.path.realpath(place) + "/../dev").strip())
    try:
        found += [number_of(name) for name in sorted(os.listdir(place + "/slaves"))]
    except OSError:
        pass
    backing = read_text(place + "/loop/backing_file").rstrip("\n")
    if backing:
        try:
            number = os.stat(backing).st_dev
            found.append(f"{os.major(number)}:{os.minor(number)}")
        except OSError:
            pass
    found = [number for number in found if number and number != device]
    for number in list(found):
        found += devices_under(number, depth + 1)
    return list(dict.fromkeys(found))[:BELOW_LIMIT]


def storage_of(arguments):
    """The storage under a test's target and where its counters are: a block device's statistics, an NFS
    mount's line in /proc/self/mountstats, or none (the program's counters stand in for them)."""
    machine = read_text(BOOT_ID).strip()
    try:
        status, is_device = target_status(arguments)
    except OSError:
        return {"kind": "program", "device": "", "name": "no target", "machine": machine}, None
    if is_device and stat.S_ISBLK(status.st_mode):
        number = status.st_rdev
    elif is_device and not stat.S_ISREG(status.st_mode):
        return {"kind": "program", "device": "", "name": "not a block device", "machine": machine}, None
    else:
        number = status.st_dev
    device = f"{os.major(number)}:{os.minor(number)}"
    statistics = f"/sys/dev/block/{device}/stat"
    if os.major(number) != 0 and len(read_text(statistics).split()) > 6:
        return {"kind": "block", "device": device, "name": device_name(device), "machine": machine,
                "below": devices_under(device)}, statistics
    mount = mount_of(device)
    if mount is not None and mount[1] in ("nfs", "nfs4") and nfs_bytes(read_text(MOUNTSTATS), mount[0]):
        return {"kind": "nfs", "device": device, "name": mount[2], "machine": machine}, mount[0]
    kind = mount[1] if mount else "unknown"
    return {"kind": "program", "device": device, "name": kind, "machine": machine}, None


def nfs_bytes(stats, mount_point):
    """The bytes an NFS mount read from and wrote to its server, from /proc/self/mountstats."""
    at = stats.find(f" mounted on {mount_point} with fstype nfs")
    line = stats.find("\n\tbytes:", at) if at >= 0 else -1
    if line < 0:
        return None
    fields = stats[line + 8:stats.find("\n", line + 8)].split()
    return int(fields[5]), int(fields[4])


def read_whole(fd):
    """A file of /proc read whole from its start, whatever its size: mountstats grows past a megabyte with
    hundreds of mounts, and the mount sought may come last."""
    pieces, at = [], 0
    while True:
        piece = os.pread(fd, 1 << 20, at)
        if not piece:
            return b"".join(pieces)
        pieces.append(piece)
        at += len(piece)


class Counters:
    """The byte counters of a running test: what its dorvik passed to and received from the system, and what
    the storage under its target wrote and read."""

    def __init__(self, pid, storage, where):
        self.storage, self.where = storage, where
        self.io = self.stats = None
        try:
            self.io = os.open(f"/proc/{pid}/io", os.O_RDONLY)
            if storage["kind"] == "block":
                self.stats = os.open(where, os.O_RDONLY)
            elif storage["kind"] == "nfs":
                self.stats = os.open(MOUNTSTATS, os.O_RDONLY)
        except OSError:
            pass

    def storage_bytes(self):
        if self.storage["kind"] == "nfs":
            return nfs_bytes(read_whole(self.stats).decode(errors="replace"), self.where)
        fields = os.pread(self.stats, 512, 0).split()
        return int(fields[6]) * SECTOR, int(fields[2]) * SECTOR

    def sample(self, now):
        """[time, written, read, storage written, storage read], or None where a counter cannot be read; the
        time by the clock now()."""
        try:
            # rchar: N, wchar: N, then the others, in the kernel's order.
            program = os.pread(self.io, 512, 0).split()
            if program[0] != b"rchar:" or program[2] != b"wchar:":
                return None
            written, read = int(program[3]), int(program[1])
            stored = (written, read) if self.stats is None else self.storage_bytes()
        except (OSError, TypeError, ValueError, IndexError):
            return None
        return None if stored is None else [round(now(), 6), written, read, stored[0], stored[1]]

    def close(self):
        for fd in (self.io, self.stats):
            if fd is not None:
                os.close(fd)


class Stream:
    """One dorvik of a test: its process, the pipes on which it says how its spans go and hears their instants,
    its counters and the samples not yet sent."""

    def __init__(self, test, number, arguments):
        self.test, self.number, self.arguments = test, number, arguments
        self.child = self.counters = self.report = self.instants = None
        self.said, self.start = b"", None
        self.spawned = None
        self.outputs = 0
        self.pending, self.sent = [], time.monotonic()

    def say(self, kind, *words):
        self.test.client.say(kind, self.test.index, self.number, *words)

    def send_samples(self):
        while self.pending:
            batch, self.pending = self.pending[:SAMPLES_PER_LINE], self.pending[SAMPLES_PER_LINE:]
            self.say("SAMPLE", *(value for sample in batch for value in sample))
        self.sent = time.monotonic()

    def take_sample(self):
        sample = self.counters.sample(self.test.client.now)
        if sample is not None:
            self.pending.append(sample)
        if len(self.pending) >= SAMPLES_PER_LINE or time.monotonic() - self.sent >= SEND_SECONDS:
            self.send_samples()

    def output(self, kind, piece):
        for at in range(0, len(piece), PIECE_BYTES):
            self.say(kind, repr(self.test.client.now()), encode_bytes(piece[at:at + PIECE_BYTES]))

    def spawn(self, program):
        """Starts dorvik, which opens its target and says when it is ready; a record of why it did not start, or
        None."""
        storage, where = storage_of(self.arguments)
        self.say("STORAGE", encode(storage))
        report, told = os.pipe()
        heard, instants = os.pipe()
        self.spawned = self.test.client.now()
        environment = dict(os.environ, DORVIK_START_FD=str(told), DORVIK_INSTANT_FD=str(heard))
        environment.pop("DORVIK_START_AT", None)
        try:
            self.child = subprocess.Popen([program] + self.arguments, stdin=subprocess.DEVNULL,
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment,
                                          pass_fds=(told, heard))
        except OSError as error:
            for fd in (report, instants):
                os.close(fd)
            return {"start": None, "end": self.test.client.now(), "status": None,
                    "reason": f"dorvik did not start: {error.strerror}"}
        finally:
            os.close(told)
            os.close(heard)
        self.report, self.instants, self.outputs = report, instants, 2
        self.test.client.children.add(self.child)
        self.counters = Counters(self.child.pid, storage, where)
        return None

    def release(self, at):
        """The instant of its next span, by this client's clock, as dorvik's wall clock reads it."""
        if self.instants is not None:
            try:
                os.write(self.instants, f"{at + self.test.client.drift():.6f}\n".encode())
            except OSError:
                pass

    def heard(self, piece):
        """What dorvik said of its spans: ready, or a span's phase, its beginning and its end by the monotonic
        clock, which this client's clock carries on."""
        *lines, self.said = (self.said + piece).split(b"\n")
        for line in lines:
            words = line.decode(errors="replace").split()
            if words == ["ready"]:
                self.say("READY")
            elif len(words) == 3 and words[0] in ("write", "read"):
                began, ended = (float(w) + self.test.client.base for w in words[1:])
                self.start = began if self.start is None else self.start
                self.say("SPAN", words[0], repr(round(began, 6)), repr(round(ended, 6)))

    def end(self):
        """Its last sample and its record, once its outputs have closed."""
        if self.test.released:
            self.take_sample()
        self.counters.close()
        status = self.child.wait()
        self.test.client.children.discard(self.child)
        # What it said and has not been read yet, without waiting: a process it left behind may hold the pipe.
        os.set_blocking(self.report, False)
        while True:
            try:
                piece = os.read(self.report, 4096)
            except BlockingIOError:
                break
            if not piece:
                break
            self.heard(piece)
        for fd in (self.report, self.instants):
            os.close(fd)
        self.report = self.instants = None
        self.send_samples()
        return {"start": self.start, "end": self.test.client.now(), "status": status, "spawned": self.spawned}


class Test:
    """One test on this host: a dorvik per stream, each given the instants of its spans, their outputs and
    counters sent as they come."""

    def __init__(self, client, index):
        self.client, self.index = client, index
        self.streams, self.released = [], False

    def prepare(self, program, arguments, events):
        """Starts every stream's dorvik; a stream that does not start ends at once with its record."""
        for number in range(1, self.client.streams + 1):
            stream = Stream(self, number, [a.replace("%j", str(number)) for a in arguments])
            failed = stream.spawn(program)
            if failed is not None:
                stream.say("DONE", encode(failed))
                continue
            self.streams.append(stream)
            events.register(stream.child.stdout, selectors.EVENT_READ, (stream, "OUT"))
            events.register(stream.child.stderr, selectors.EVENT_READ, (stream, "ERR"))
            events.register(stream.report, selectors.EVENT_READ, (stream, "SAID"))

    def describe(self, program):
        """With the first test, once every stream's dorvik has started (and opens its target): what each stream's
        test runs on."""
        for stream in self.streams:
            stream.say("ENVIRONMENT", encode(describe(target_path(stream.arguments), program)))

    def release(self, at):
        if not self.released:
            self.released = True
            for stream in self.streams:
                stream.take_sample()
        for stream in self.streams:
            stream.release(at)

    def take(self, events, key):
        """What a stream's dorvik wrote on one of its pipes; a stream whose outputs have closed ends with its
        record."""
        stream, kind = key.data
        piece = os.read(key.fd, 65536)
        if piece and kind == "SAID":
            stream.heard(piece)
        elif piece:
            stream.output(kind, piece)
        else:
            events.unregister(key.fileobj)
            if kind != "SAID":
                stream.outputs -= 1
            if not stream.outputs:
                if stream.report in events.get_map():
                    events.unregister(stream.report)
                self.streams.remove(stream)
                stream.say("DONE", encode(stream.end()))

    def sample(self):
        if self.released:
            for stream in self.streams:
                stream.take_sample()


class Client:
    """The tests of one host, each started when the controller says, on every stream, and their counters."""

    def __init__(self, host, order):
        self.order = order
        # Through srun every client reads every line: its own begin with its task's number.
        self.addressed = order.get("transport") == "srun"
        self.host = os.environ.get("SLURMD_NODENAME", "") if self.addressed else host
        self.address = os.environ.get("SLURM_PROCID", "")
        self.streams = order.get("streams", 1)
        self.children = set()
        self.gone = self.signalled = False
        self.inbox = b""
        self.test = None
        # The wall clock less the monotonic clock at the last round trip, and the step last said.
        self.base = time.time() - time.monotonic()
        self.stepped = 0.0

    def now(self):
        """The wall clock as it stood at the last round trip, carried on by the monotonic clock."""
        return time.monotonic() + self.base

    def drift(self):
        """How far the wall clock was set since the last round trip."""
        return time.time() - time.monotonic() - self.base

    def say(self, *words):
        try:
            os.write(1, (TAG + " ".join(map(str, words)) + "\n").encode())
        except OSError:
            self.stop()

    def stop(self, *_):
        """Asks every dorvik to end: one that was stopped (SIGSTOP) is continued to end, deleting its file,
        rather than be killed later with the rest of a Slurm step."""
        self.gone = True
        for child in self.children:
            if child.returncode is None:
                try:
                    os.kill(child.pid, signal.SIGTERM)
                    os.kill(child.pid, signal.SIGCONT)
                except OSError:
                    pass

    def on_signal(self, *_):
        self.signalled = True
        self.stop()

    def messages(self):
        """The controller's lines to this host that have arrived; its end, or STOP, stops everything."""
        piece = os.read(0, 65536)
        if not piece:
            self.stop()
            return []
        *lines, self.inbox = (self.inbox + piece).split(b"\n")
        found = [line.decode(errors="replace").split() for line in lines]
        if self.addressed:
            found = [words[1:] for words in found if words[:1] == [self.address]]
        if ["STOP"] in found:
            self.stop()
            return []
        return found

    def run(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, self.on_signal)
        signal.signal(signal.SIGPIPE, signal.SIG_IGN)
        try:
            return self.serve()
        finally:
            self.read_to_the_end()

    def serve(self):
        program = self.order["program"]
        if shutil.which(program) is None:
            self.say("FAIL", encode(f"dorvik is not installed there: {program}"))
            return 1
        self.say("HELLO")
        events = selectors.DefaultSelector()
        events.register(0, selectors.EVENT_READ, None)
        due = time.monotonic()
        while not (self.gone and not self.test_running(events)):
            timeout = None if self.test is None or not self.test.released else max(0.0, due - time.monotonic())
            for key, _ in events.select(timeout):
                if key.data is None:
                    self.obey(events)
                elif key.fd in events.get_map():
                    self.test.take(events, key)
            if self.test is not None and not self.test.streams:
                self.test = None
            if self.test is not None and self.test.released and time.monotonic() >= due:
                self.test.sample()
                self.say_step()
                due = max(due + SAMPLE_SECONDS, time.monotonic())
        return 0

    def test_running(self, events):
        return self.test is not None and len(events.get_map()) > (0 if self.gone else 1)

    def obey(self, events):
        """The controller's lines: a round trip of the clock, a test to prepare, the instants of its spans."""
        words_of = self.messages()
        if self.gone and 0 in events.get_map():
            events.unregister(0)
        for words in words_of:
            if words[:1] == ["PING"] and len(words) == 2:
                self.base = time.time() - time.monotonic()
                self.stepped = 0.0
                self.say("PONG", words[1], repr(time.time()))
            elif words[:1] == ["PREPARE"] and len(words) == 2 and self.test is None:
                self.prepare(int(words[1]), events)
            elif words[:1] in (["GO"], ["READ"]) and len(words) == 3 and self.test is not None \
                    and int(words[1]) == self.test.index:
                self.test.release(float(words[2]))

    def prepare(self, index, events):
        arguments = [a.replace("%h", self.host) for a in self.order["tests"][index]]
        self.test = Test(self, index)
        self.test.prepare(self.order["program"], arguments, events)
        if index == 0:
            self.test.describe(self.order["program"])

    def say_step(self):
        """A wall clock set during the test, said once per step."""
        drift = self.drift()
        if abs(drift - self.stepped) > STEP_SECONDS:
            self.stepped = drift
            self.say("STEP", self.test.index, repr(round(drift, 6)))

    def read_to_the_end(self):
        """Through srun, the rest of the input is read and dropped until it ends: a task that ends with lines
        unread in srun's hands makes srun end every other task of the step."""
        if not self.addressed or self.signalled:
            return
        try:
            while os.read(0, 65536):
                pass
        except OSError:
            pass

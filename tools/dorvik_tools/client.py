"""The client side of dorvik-clients: started on every client by the parallel
shell or by srun (dorvik-clients --client), it answers the controller's clock
pings over its standard input and output, and on each GO starts a dorvik per
stream at once, all with the instant in its own clock (DORVIK_START_AT), so
that each dorvik itself waits for it just before its timed span and says on a
pipe (DORVIK_START_FD) when that span began. Meanwhile it samples the byte
counters of each dorvik and of the storage under its target, and sends them,
dorvik's output and each stream's end as they come, in lines of a few KiB.
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
from .clients import SAMPLE_SECONDS

# How often the samples go to the controller, and the most in one line.
SEND_SECONDS = 0.5
SAMPLES_PER_LINE = 25
# The most bytes of dorvik's output in one line (in base64, a third more).
PIECE_BYTES = 3072
SECTOR = 512
BOOT_ID = "/proc/sys/kernel/random/boot_id"
MOUNTSTATS = "/proc/self/mountstats"
DEFAULT_NAME = "#quarrow_NFS+SAN#.temp.bak"


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
        return {"kind": "block", "device": device, "name": device_name(device), "machine": machine}, statistics
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
            return nfs_bytes(os.pread(self.stats, 1 << 20, 0).decode(errors="replace"), self.where)
        fields = os.pread(self.stats, 512, 0).split()
        return int(fields[6]) * SECTOR, int(fields[2]) * SECTOR

    def sample(self):
        """[time, written, read, storage written, storage read], or None where a counter cannot be read."""
        try:
            # rchar: N, wchar: N, then the others, in the kernel's order.
            program = os.pread(self.io, 512, 0).split()
            if program[0] != b"rchar:" or program[2] != b"wchar:":
                return None
            written, read = int(program[3]), int(program[1])
            stored = (written, read) if self.stats is None else self.storage_bytes()
        except (OSError, TypeError, ValueError, IndexError):
            return None
        return None if stored is None else [round(time.time(), 6), written, read, stored[0], stored[1]]

    def close(self):
        for fd in (self.io, self.stats):
            if fd is not None:
                os.close(fd)


class Stream:
    """One dorvik of a test: its process, the pipe on which it says when its timed span began, its counters
    and the samples not yet sent."""

    def __init__(self, test, number, arguments):
        self.test, self.number, self.arguments = test, number, arguments
        self.child = self.counters = self.start_pipe = None
        self.started = b""
        self.spawned = None
        self.pending, self.sent = [], time.monotonic()

    def say(self, kind, *words):
        self.test.client.say(kind, self.test.index, self.number, *words)

    def send_samples(self):
        while self.pending:
            batch, self.pending = self.pending[:SAMPLES_PER_LINE], self.pending[SAMPLES_PER_LINE:]
            self.say("SAMPLE", *(value for sample in batch for value in sample))
        self.sent = time.monotonic()

    def take_sample(self):
        sample = self.counters.sample()
        if sample is not None:
            self.pending.append(sample)
        if len(self.pending) >= SAMPLES_PER_LINE or time.monotonic() - self.sent >= SEND_SECONDS:
            self.send_samples()

    def output(self, kind, piece):
        for at in range(0, len(piece), PIECE_BYTES):
            self.say(kind, repr(time.time()), encode_bytes(piece[at:at + PIECE_BYTES]))

    def spawn(self, program, at):
        """Starts dorvik with the instant; a record of why it did not start, or None."""
        storage, where = storage_of(self.arguments)
        self.say("STORAGE", encode(storage))
        reader_end, writer_end = os.pipe()
        self.spawned = time.time()
        environment = dict(os.environ, DORVIK_START_AT=f"{at:.6f}", DORVIK_START_FD=str(writer_end))
        try:
            self.child = subprocess.Popen([program] + self.arguments, stdin=subprocess.DEVNULL,
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment,
                                          pass_fds=(writer_end,))
        except OSError as error:
            os.close(reader_end)
            return {"start": None, "end": time.time(), "status": None,
                    "reason": f"dorvik did not start: {error.strerror}"}
        finally:
            os.close(writer_end)
        self.start_pipe = reader_end
        self.test.client.children.add(self.child)
        self.counters = Counters(self.child.pid, storage, where)
        self.take_sample()
        return None

    def end(self):
        """Its last sample and its record, once its outputs have closed."""
        self.take_sample()
        self.counters.close()
        status = self.child.wait()
        self.test.client.children.discard(self.child)
        # What it said of its start and has not been read yet: it has ended, so the pipe ends too.
        while len(self.started) < 64:
            piece = os.read(self.start_pipe, 64)
            if not piece:
                break
            self.started += piece
        os.close(self.start_pipe)
        self.send_samples()
        try:
            start = float(self.started.decode()) if self.started.endswith(b"\n") else None
        except ValueError:
            start = None
        return {"start": start, "end": time.time(), "status": status, "spawned": self.spawned}


class Test:
    """One test on this host: a dorvik per stream, all started with the one instant, their outputs and
    counters sent as they come."""

    def __init__(self, client, index, at):
        self.client, self.index, self.at = client, index, at

    def run(self, program, arguments):
        """Runs every stream's dorvik; each stream's record goes to the controller as it ends."""
        streams = [Stream(self, number, [a.replace("%j", str(number)) for a in arguments])
                   for number in range(1, self.client.streams + 1)]
        running = []
        for stream in streams:
            failed = stream.spawn(program, self.at)
            if failed is None:
                running.append(stream)
            else:
                stream.say("DONE", encode(failed))
        if self.index == 0:
            self.describe(running, program)
        self.collect(running)

    def describe(self, running, program):
        """With the first test, once every stream's dorvik has started (and waits for its instant): what each
        stream's test runs on."""
        # Imported only now (hashlib with it): a client says hello as soon as it started.
        from .environment import describe
        for stream in running:
            stream.say("ENVIRONMENT", encode(describe(target_path(stream.arguments), program)))

    def collect(self, running):
        """The streams' outputs and starts as they come, and their counters every SAMPLE_SECONDS; a stream
        whose outputs have closed ends with its record."""
        events = selectors.DefaultSelector()
        open_outputs = {}
        for stream in running:
            events.register(stream.child.stdout, selectors.EVENT_READ, (stream, "OUT"))
            events.register(stream.child.stderr, selectors.EVENT_READ, (stream, "ERR"))
            events.register(stream.start_pipe, selectors.EVENT_READ, (stream, "START"))
            open_outputs[stream] = 2
        events.register(0, selectors.EVENT_READ, None)
        due = time.monotonic() + SAMPLE_SECONDS
        while open_outputs:
            for key, _ in events.select(timeout=max(0.0, due - time.monotonic())):
                if key.data is None:
                    self.client.messages(0)
                    if self.client.gone:
                        events.unregister(0)
                    continue
                if key.fd not in events.get_map():
                    # Its stream ended, and closed it, earlier in this same round.
                    continue
                stream, kind = key.data
                piece = os.read(key.fd, 65536)
                if not piece:
                    events.unregister(key.fileobj)
                    if kind != "START":
                        open_outputs[stream] -= 1
                    if not open_outputs[stream]:
                        del open_outputs[stream]
                        if stream.start_pipe in events.get_map():
                            events.unregister(stream.start_pipe)
                        stream.say("DONE", encode(stream.end()))
                elif kind == "START":
                    stream.started += piece[:64]
                else:
                    stream.output(kind, piece)
            if time.monotonic() >= due:
                for stream in open_outputs:
                    stream.take_sample()
                due = max(due + SAMPLE_SECONDS, time.monotonic())


class Client:
    """The tests of one host, each started at the instant the controller gives on every stream, and their
    counters."""

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

    def say(self, *words):
        try:
            os.write(1, (TAG + " ".join(map(str, words)) + "\n").encode())
        except OSError:
            self.stop()

    def stop(self, *_):
        self.gone = True
        for child in self.children:
            if child.returncode is None:
                try:
                    os.kill(child.pid, signal.SIGTERM)
                except OSError:
                    pass

    def on_signal(self, *_):
        self.signalled = True
        self.stop()

    def messages(self, timeout):
        """The controller's lines to this host that arrived within timeout; its end, or STOP, stops
        everything."""
        if self.gone:
            return []
        streams = selectors.DefaultSelector()
        streams.register(0, selectors.EVENT_READ)
        if not streams.select(timeout):
            return []
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
        while not self.gone:
            for words in self.messages(None):
                if words[:1] == ["PING"] and len(words) == 2:
                    self.say("PONG", words[1], repr(time.time()))
                elif words[:1] == ["GO"] and len(words) == 3:
                    self.run_test(int(words[1]), float(words[2]))
        return 0

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

    def run_test(self, index, at):
        arguments = [a.replace("%h", self.host) for a in self.order["tests"][index]]
        Test(self, index, at).run(self.order["program"], arguments)

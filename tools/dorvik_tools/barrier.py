"""The course of a run of dorvik-clients: what the controller knows of each
host, what each message of a client changes, and the barriers of every test.
A test goes on every live host (every stream of each) in steps: its dorvik
is started and says it is ready (its target opened and checked), the
client's clock is measured by round trips, the write span is released at one
instant on all of them; once every host has written (its data synced and its
pages dropped), an optional command runs between the phases, and the read
span is released at one instant. Deadlines drop a host that is not ready in
time, falls silent, or moves no byte in a phase. Whatever a client sends is
checked: a malformed message fails that host with a reason, and the run goes
on. Records go to the folder as they arrive (records); the controller keeps
only what the index of the run needs, and each stream's last second of
samples for the live line."""

import math
import os
import signal
import subprocess
import time

from . import clients, environment
from .channel import LINE_LIMIT, TAG, decode, decode_bytes
from .client import bytes_of
from .reader import escaped

PINGS = 8
# The most of dorvik's output taken from one test; more fails the host.
OUTPUT_LIMIT = 16 << 20
# How far a sample's time may lie outside the test by the controller's clock.
TIME_SLACK = 1.0
# The largest counter a client may report.
COUNTER_LIMIT = 1 << 63
# Where the counters a client reads wrap, from the narrowest: a 32-bit count of sectors (as bytes), a 32-bit
# count, a 64-bit count, and a 64-bit count of sectors.
WRAPS = (1 << 32, 1 << 41, 1 << 64, 1 << 73)
# The phases of a test, and what a host does in each step of one.
PHASES = clients.PHASES


class Host:
    """What the controller knows of one client, which runs a dorvik per stream in every test."""

    def __init__(self, name, channel, streams):
        self.name, self.channel = name, channel
        self.state = "connecting"
        self.since = time.monotonic()
        self.exited = None
        self.reason = None
        self.pings, self.ping_sent = [], None
        self.offset = self.offset_error = None
        self.errors = []
        # Per stream, its tests as they ended, for the run's index; how many tests every stream ended.
        self.tests = [[] for _ in range(streams)]
        self.ended = 0
        # The running test's record per stream, the streams yet to end it, to be ready, and to write; each
        # stream's latest samples and counters.
        self.current, self.pending, self.unready, self.writing = None, set(), set(), set()
        self.recent, self.counters = {}, {}
        self.heard = self.moved = time.monotonic()
        # What each stream's client said it runs on, with its first test.
        self.environments = {}

    def said(self):
        """What the shell and ssh said of the host, on one line."""
        return "; ".join(e for e in self.errors if e.strip())

    def fail(self, reason):
        if self.reason is None:
            self.reason = escaped(reason)[:2000]
        self.state = "failed"
        self.channel.close()

    def enter(self, state):
        self.state, self.since = state, time.monotonic()

    def entry(self, stream, streams):
        """The name of a stream's records: the host's own, or HOST#N for one of several streams."""
        return self.name if streams == 1 else f"{self.name}#{stream}"


def clock_offset(pings):
    """A client's clock against the controller's, from round trips (sent, the client's time, back): the
    offset at the midpoint of the shortest round trip, and its error, half that round trip."""
    sent, theirs, back = min(pings, key=lambda p: p[2] - p[0])
    return theirs - (sent + back) / 2, (back - sent) / 2


def number(text):
    if not text.isascii():
        raise ValueError(f"{text[:20]!r} is not a number in ASCII")
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"{text[:20]!r} is not a finite number")
    return value


def new_test(index, stream, arguments, host):
    return {"index": index, "stream": stream, "at": None, "read_at": None, "arguments": arguments,
            "offset": None, "offset_error": None, "storage": None, "spans": {}, "samples": 0,
            "first_sample": None, "last_sample": None, "chunks": [],
            "out_bytes": 0, "err_bytes": 0, "notes": [], "steps": [],
            "stdout": bytearray(), "stderr": bytearray(), "last": None, "added": [0, 0, 0, 0],
            "bytes": bytes_of(arguments), "written_from": None}


def parsed_sample(words):
    """Five words of a sample: its time, finite, and its four counters, whole numbers."""
    if not all(word.isascii() for word in words):
        raise ValueError("a sample holds a figure not written in ASCII")
    try:
        sample = [float(words[0]), int(words[1]), int(words[2]), int(words[3]), int(words[4])]
    except ValueError:
        values = [number(w) for w in words]
        if any(v != int(v) for v in values[1:]):
            raise ValueError("a counter that is not a whole number") from None
        return [values[0]] + [int(v) for v in values[1:]]
    if not math.isfinite(sample[0]):
        raise ValueError(f"{words[0][:20]!r} is not a finite number")
    return sample


def progressed(test, before, kept):
    """Whether a stream's dorvik moved bytes in a batch of samples: by its own counters, or, once it has written
    all of its file (and syncs it), by the storage's; other processes' use of a shared device is no progress
    of a dorvik that stopped."""
    if before is None:
        test["written_from"] = kept[0][1]
        return True
    for sample in kept:
        syncing = test["bytes"] is None or sample[1] - test["written_from"] >= test["bytes"]
        if sample[1:3] != before[1:3] or (syncing and sample[3:5] != before[3:5]):
            return True
        before = sample
    return False


def unwrapped(value, previous, added, column):
    """A counter that went back taken as a wrap of the narrowest counter it fits, or, where none fits, as a
    counter set back to nothing: the amount to add from now on, and a note."""
    for width in WRAPS:
        if previous < width and value + width - previous < width // 2:
            return added + width, f"counter {column} wrapped at 2^{width.bit_length() - 1}"
    return added + previous - value, f"counter {column} went back from {previous} to {value}: taken as a reset"


class Run:
    """The hosts of a run and its tests, each released phase by phase on every stream of every live host together."""

    def __init__(self, channels, tests, settings, records):
        self.hosts = {name: Host(name, channel, settings.streams) for name, channel in channels.items()}
        self.tests, self.streams = tests, settings.streams
        self.deadline, self.start_in = settings.deadline, settings.start_in
        self.between = settings.between_phases
        self.records = records
        self.instants = []
        # Per test: its instants and what the command between its phases did.
        self.barriers = []
        self.command = None
        self.interrupted = False
        self.started = time.monotonic()

    # What the clients say.

    def take(self, name, text):
        """A line the shell brought from a host: a client's message, or what ssh or the shell said; what the
        shell said of no host in particular is said of every host that has not answered yet."""
        if name is None:
            for host in self.hosts.values():
                if host.state == "connecting" and host.reason is None and len(host.errors) < 100:
                    host.errors.append(escaped(text[:1000]))
            return
        host = self.hosts[name]
        host.heard = time.monotonic()
        if text is None:
            host.fail(f"sent a line longer than {LINE_LIMIT} bytes")
            return
        if not text.startswith(TAG):
            if len(host.errors) < 100:
                host.errors.append(escaped(text[:1000]))
            if " exited with exit code " in f" {text.lower()}":
                host.exited = time.monotonic()
            return
        if host.reason is not None:
            return
        words = text[len(TAG):].split(" ")
        try:
            self.message(host, words)
        except (ValueError, IndexError, TypeError, KeyError, AttributeError, RecursionError) as error:
            host.fail(f"sent a malformed message ({type(error).__name__}: {str(error)[:200]})")

    def message(self, host, words):
        kind = words[0]
        if kind == "HELLO" and host.state == "connecting":
            self.prepare(host)
        elif kind == "FAIL":
            host.fail(str(decode(words[1])))
        elif kind == "PONG" and host.ping_sent is not None and int(words[1]) == len(host.pings):
            host.pings.append((host.ping_sent, number(words[2]), time.time()))
            host.ping_sent = None
            if len(host.pings) == PINGS:
                host.offset, host.offset_error = clock_offset(host.pings)
                host.enter("ready")
        elif kind == "STEP" and host.current is not None and int(words[1]) == host.ended:
            drift = number(words[2])
            for test in host.current:
                test["steps"].append([round(time.time() + test["offset"], 6), drift])
        elif host.current is not None and int(words[1]) == host.ended and int(words[2]) in host.pending:
            self.test_message(host, host.current[int(words[2]) - 1], kind, words[3:])
        else:
            raise ValueError(f"unexpected {kind[:20]!r} while {host.state}")

    def test_message(self, host, test, kind, words):
        if kind == "STORAGE" and test["storage"] is None:
            test["storage"] = clients.checked_storage(decode(words[0]))
        elif kind == "READY" and test["stream"] in host.unready:
            host.unready.discard(test["stream"])
            if not host.unready:
                self.measure_clock(host)
        elif kind == "ENVIRONMENT" and test["index"] == 0 and test["stream"] not in host.environments:
            host.environments[test["stream"]] = environment.checked(decode(words[0]))
        elif kind == "SAMPLE" and host.state in ("writing", "written", "reading"):
            self.samples(host, test, words)
        elif kind in ("OUT", "ERR") and len(words) == 2:
            self.output(host, test, kind, decode_bytes(words[1]), number(words[0]))
        elif kind == "SPAN" and len(words) == 3 and words[0] in PHASES and words[0] not in test["spans"]:
            test["spans"][words[0]] = [number(words[1]), number(words[2])]
            host.moved = time.monotonic()
            if words[0] == "write":
                self.written(host, test["stream"])
        elif kind == "DONE" and test["storage"] is not None:
            self.done(host, test, clients.checked_test(decode(words[0])))
        else:
            raise ValueError(f"unexpected {kind[:20]!r} in a test")

    def output(self, host, test, kind, piece, arrived):
        kept = test["stdout" if kind == "OUT" else "stderr"]
        kept.extend(piece)
        if len(kept) > OUTPUT_LIMIT:
            raise ValueError(f"more than {OUTPUT_LIMIT} bytes of output in a test")
        self.records.output(host.entry(test["stream"], self.streams), "." + kind.lower(), piece)
        if kind == "OUT":
            test["out_bytes"] += len(piece)
            test["chunks"].append([test["out_bytes"], arrived])
        else:
            test["err_bytes"] += len(piece)

    def samples(self, host, test, words):
        """A batch of samples: each five numbers, its time within the test by the controller's clock and after
        the one before, its counters whole and not negative; a counter that goes back is taken as a wrap or a
        reset, and noted."""
        if not words or len(words) % 5:
            raise ValueError(f"{len(words)} numbers are no whole samples")
        latest = time.time() + TIME_SLACK + test["offset"]
        previous = test["last"] or [test["released"] + test["offset"] - TIME_SLACK, 0, 0, 0, 0]
        kept = []
        for at in range(0, len(words), 5):
            sample = parsed_sample(words[at:at + 5])
            if not previous[0] < sample[0] <= latest:
                raise ValueError(f"a sample's time {sample[0]!r} lies outside its test")
            if not (0 <= sample[1] < COUNTER_LIMIT and 0 <= sample[2] < COUNTER_LIMIT and
                    0 <= sample[3] < COUNTER_LIMIT and 0 <= sample[4] < COUNTER_LIMIT):
                raise ValueError("a counter that lies out of range")
            went_back = sample[1] < previous[1] or sample[2] < previous[2] or sample[3] < previous[3] or \
                sample[4] < previous[4]
            added = test["added"]
            kept.append(self.counted(test, previous, sample) if went_back or any(added) else sample)
            previous = sample
        test["last"] = previous
        test["samples"] += len(kept)
        test["first_sample"] = kept[0][0] if test["first_sample"] is None else test["first_sample"]
        test["last_sample"] = kept[-1][0]
        self.records.samples(host.entry(test["stream"], self.streams), test["index"], kept)
        before = host.recent.get(test["stream"])
        if progressed(test, before[-1] if before else None, kept):
            host.moved = time.monotonic()
        recent = host.recent.get(test["stream"], []) + kept
        host.recent[test["stream"]] = recent[-int(1 / clients.SAMPLE_SECONDS):]

    @staticmethod
    def counted(test, previous, sample):
        """A sample with its counters carried on past every wrap or reset so far."""
        added = test["added"]
        for column in range(1, 5):
            if sample[column] < previous[column]:
                added[column - 1], note = unwrapped(sample[column], previous[column], added[column - 1], column)
                if len(test["notes"]) < 20:
                    test["notes"].append(note)
        return [sample[0]] + [sample[c] + added[c - 1] for c in range(1, 5)]

    def done(self, host, test, record):
        test.update(record)
        stdout, stderr = test.pop("stdout"), test.pop("stderr")
        test["failed"] = None
        reason = clients.test_failure(dict(test, stdout=stdout.decode(errors="replace"),
                                           stderr=stderr.decode(errors="replace")))
        for key in ("released", "last", "added", "bytes", "written_from"):
            test.pop(key, None)
        host.tests[test["stream"] - 1].append(test)
        host.pending.discard(test["stream"])
        host.unready.discard(test["stream"])
        host.recent.pop(test["stream"], None)
        self.written(host, test["stream"])
        if reason is not None:
            # Kept for the record, but its figures count nowhere.
            test["failed"] = escaped(reason)[:2000]
            host.fail(reason if self.streams == 1 else f"stream {test['stream']}: {reason}")
            return
        if host.pending:
            return
        host.current, host.ended = None, host.ended + 1
        if host.ended == len(self.tests):
            host.enter("finished")
        else:
            self.prepare(host)

    @staticmethod
    def written(host, stream):
        """A stream said how its write span went, or ended: once every stream has, the host waits at the
        barrier for the read."""
        host.writing.discard(stream)
        if host.state == "writing" and not host.writing and host.pending:
            host.enter("written")

    # The steps of a test.

    def prepare(self, host):
        """The host's next test: its dorvik started on every stream, to say when it is ready."""
        index = host.ended
        host.current = [new_test(index, stream, self.tests[index], host) for stream in range(1, self.streams + 1)]
        host.pending = set(range(1, self.streams + 1))
        host.unready = set(host.pending)
        host.enter("preparing")
        host.channel.send("PREPARE", index)

    @staticmethod
    def measure_clock(host):
        """Every stream ready: the clock again before the test, as it may have moved."""
        host.pings = []
        host.enter("clock")

    def clock(self):
        """The next round trip of every host whose clock is being measured."""
        for host in self.hosts.values():
            if host.state == "clock" and host.ping_sent is None:
                host.ping_sent = time.time()
                host.channel.send("PING", len(host.pings))

    def live(self):
        return [h for h in self.hosts.values() if h.reason is None]

    def release(self):
        """Every live host ready: the write span starts on all of them at one instant; every live host written:
        the command between the phases, then the read span at one instant."""
        live = self.live()
        if self.interrupted or not live or all(h.state == "finished" for h in live):
            return
        states = {h.state for h in live} - {"finished"}
        if states == {"ready"}:
            self.release_phase(live, "write" if self.writes(live) else "read")
        elif states == {"written"} and self.between_phases(live):
            self.release_phase(live, "read")

    def writes(self, live):
        """Whether the test about to start writes: a CD-ROM series only reads."""
        index = next(h.ended for h in live if h.state == "ready")
        return clients.writes(self.tests[index])

    def release_phase(self, live, phase):
        released = time.time()
        at = released + self.start_in
        hosts = [h for h in live if h.state != "finished"]
        index = hosts[0].ended
        if phase == "write" or len(self.barriers) <= index:
            self.instants.append(at)
            self.barriers.append({"index": index, "at": at, "read_at": None, "between_phases": None})
        if phase == "read":
            self.barriers[-1]["read_at"] = at
        for host in hosts:
            for test in host.current:
                if test["at"] is None:
                    test.update(at=at, offset=host.offset, offset_error=host.offset_error, released=released)
                if phase == "read":
                    test["read_at"] = at
            host.writing = set(host.pending) if phase == "write" else set()
            host.enter("writing" if phase == "write" else "reading")
            # A host's silence counts from the release, its progress from the instant: never from its wait at the
            # barrier.
            host.heard, host.moved = time.monotonic(), time.monotonic() + self.start_in
            host.channel.send("GO" if phase == "write" else "READ", host.ended, repr(at + host.offset))

    def between_phases(self, live):
        """Runs the command between the phases, once per test; whether the read may be released."""
        if self.between is None:
            return True
        if self.command is None:
            environment = dict(os.environ, DORVIK_TEST=str(live[0].ended + 1))
            self.command = (subprocess.Popen(["/bin/sh", "-c", self.between], stdin=subprocess.DEVNULL,
                                             env=environment, start_new_session=True), time.monotonic())
            return False
        process, began = self.command
        took = time.monotonic() - began
        if process.poll() is None and took <= self.deadline:
            return False
        if process.returncode is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            outcome = {"status": None, "seconds": round(took, 6),
                       "reason": f"did not end within {self.deadline:g} s, and was killed"}
        else:
            outcome = {"status": process.returncode, "seconds": round(took, 6)}
        self.barriers[-1]["between_phases"] = outcome
        self.command = None
        return True

    # Deadlines.

    def drop_late(self):
        now = time.monotonic()
        for host in self.live():
            if host.state in ("connecting", "preparing", "clock") and not self.instants \
                    and now - self.started > self.deadline:
                said = host.said()
                host.fail(f"not ready within {self.deadline:g} s, stalled {self.stage(host)}; --deadline gives a "
                          "slow start more time" + (f": {said}" if said else ""))
            elif host.state in ("preparing", "clock") and self.instants and now - host.since > self.deadline:
                host.fail(f"not ready for test {host.ended + 1} within {self.deadline:g} s: stalled "
                          f"{self.stage(host)}")
            elif host.exited is not None and host.state != "finished" and now - host.exited > 1:
                # Its record, on the shell's other stream, had a second to arrive.
                said = host.said()
                host.fail(("no answer: " if host.state == "connecting" else "ended without its record: ") + said)
            elif host.state in ("writing", "reading") and now - host.heard > self.deadline:
                host.fail(f"silent for {self.deadline:g} s in a test")
            elif host.state in ("writing", "reading") and now - host.moved > self.deadline:
                phase = "write" if host.state == "writing" else "read"
                host.fail(f"moved no byte for {self.deadline:g} s in the {phase} phase of test {host.ended + 1}: "
                          "stopped (a stuck file system or server?)")

    @staticmethod
    def stage(host):
        """Where a host that is not ready stands, in words."""
        if host.state == "connecting":
            return "connecting (no word from its client)"
        if host.state == "preparing":
            ready = len(host.pending) - len(host.unready)
            return f"starting dorvik ({ready} of {len(host.pending)} streams ready)"
        return f"measuring its clock ({len(host.pings)} of {PINGS} round trips answered)"

    def busy(self):
        return any(h.state != "finished" for h in self.live())

    def running(self):
        return any(h.state in ("preparing", "clock", "ready", "writing", "written", "reading") for h in self.live())

    def stop(self):
        """Every live host is told to stop its test: the end of the run, an interrupt, a folder that takes no
        more."""
        for host in self.live():
            host.channel.send("STOP")

    def end(self):
        """Whatever host has not finished by now fails, with what the shell and ssh said of it."""
        if self.command is not None:
            os.killpg(self.command[0].pid, signal.SIGKILL)
            self.command[0].wait()
        for host in self.live():
            if host.state != "finished":
                said = host.said()
                host.fail(("interrupted" if self.interrupted else "no answer") + (f": {said}" if said else ""))

"""The course of a run of dorvik-clients: what the controller knows of each
host, what each message of a client changes, the round trips that measure a
client's clock before every test, the barrier that releases every test at one
instant on all live hosts (every stream of each), and the deadlines that
drop a host that is not ready in time or falls silent in a test. Whatever a
client sends is checked: a malformed message fails that host with a reason,
and the run goes on."""

import math
import time

from . import clients, environment
from .channel import LINE_LIMIT, TAG, decode, decode_bytes
from .reader import escaped

PINGS = 8
# The most of dorvik's output taken from one test; more fails the host.
OUTPUT_LIMIT = 16 << 20
# How far a sample's time may lie outside the test by the controller's clock.
TIME_SLACK = 1.0
# The largest counter a client may report.
COUNTER_LIMIT = 1 << 63


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
        # Per stream, its tests as they ended; the tests every stream ended.
        self.tests = [[] for _ in range(streams)]
        self.ended = 0
        # The running test's record per stream, the streams yet to end it, and each stream's latest samples.
        self.current, self.pending, self.recent = None, set(), {}
        # What each stream's client said it runs on, with its first test.
        self.environments = {}
        self.heard = time.monotonic()

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


def clock_offset(pings):
    """A client's clock against the controller's, from round trips (sent, the client's time, back): the
    offset at the midpoint of the shortest round trip, and its error, half that round trip."""
    sent, theirs, back = min(pings, key=lambda p: p[2] - p[0])
    return theirs - (sent + back) / 2, (back - sent) / 2


def number(text):
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"{text[:20]!r} is not a finite number")
    return value


def new_test(index, stream, at, arguments, host):
    return {"index": index, "stream": stream, "at": at, "arguments": arguments, "offset": host.offset,
            "offset_error": host.offset_error, "storage": None, "samples": [], "chunks": [],
            "stdout": bytearray(), "stderr": bytearray()}


class Run:
    """The hosts of a run and its tests, released one at a time on every stream of every live host together."""

    def __init__(self, channels, tests, deadline, start_in, streams=1):
        self.hosts = {name: Host(name, channel, streams) for name, channel in channels.items()}
        self.tests, self.streams = tests, streams
        self.deadline, self.start_in = deadline, start_in
        self.instants = []
        self.interrupted = False
        self.started = time.monotonic()

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
        except (ValueError, IndexError, TypeError, KeyError, AttributeError) as error:
            host.fail(f"sent a malformed message ({type(error).__name__}: {str(error)[:200]})")

    def message(self, host, words):
        kind = words[0]
        if kind == "HELLO" and host.state == "connecting":
            host.enter("clock")
        elif kind == "FAIL":
            host.fail(str(decode(words[1])))
        elif kind == "PONG" and host.ping_sent is not None and int(words[1]) == len(host.pings):
            host.pings.append((host.ping_sent, number(words[2]), time.time()))
            host.ping_sent = None
            if len(host.pings) == PINGS:
                host.offset, host.offset_error = clock_offset(host.pings)
                host.enter("ready")
        elif host.state == "running" and int(words[1]) == host.ended and int(words[2]) in host.pending:
            self.test_message(host, host.current[int(words[2]) - 1], kind, words[3:])
        else:
            raise ValueError(f"unexpected {kind[:20]!r} while {host.state}")

    def test_message(self, host, test, kind, words):
        if kind == "STORAGE" and test["storage"] is None:
            test["storage"] = clients.checked_storage(decode(words[0]))
        elif kind == "ENVIRONMENT" and test["index"] == 0 and test["stream"] not in host.environments:
            host.environments[test["stream"]] = environment.checked(decode(words[0]))
        elif kind == "SAMPLE":
            self.samples(host, test, words)
        elif kind in ("OUT", "ERR") and len(words) == 2:
            piece, arrived = decode_bytes(words[1]), number(words[0])
            kept = test["stdout" if kind == "OUT" else "stderr"]
            kept.extend(piece)
            if len(kept) > OUTPUT_LIMIT:
                raise ValueError(f"more than {OUTPUT_LIMIT} bytes of output in a test")
            if kind == "OUT":
                test["chunks"].append([len(kept), arrived])
        elif kind == "DONE" and test["storage"] is not None:
            self.done(host, test, clients.checked_test(decode(words[0])))
        else:
            raise ValueError(f"unexpected {kind[:20]!r} in a test")

    def samples(self, host, test, words):
        """A batch of samples: each five numbers, its time within the test by the controller's clock and after
        the one before, its counters whole, not negative and never going back."""
        if not words or len(words) % 5:
            raise ValueError(f"{len(words)} numbers are no whole samples")
        values = [number(w) for w in words]
        batch = [[values[i]] + [int(v) for v in values[i + 1:i + 5]] for i in range(0, len(values), 5)]
        if any(v != int(v) for i, v in enumerate(values) if i % 5):
            raise ValueError("a counter that is not a whole number")
        latest = time.time() + TIME_SLACK + test["offset"]
        previous = test["samples"][-1] if test["samples"] else [test["released"] + test["offset"] - TIME_SLACK, 0, 0, 0,
                                                                0]
        for sample in batch:
            if not previous[0] < sample[0] <= latest:
                raise ValueError(f"a sample's time {sample[0]!r} lies outside its test")
            if any(not previous[c] <= sample[c] < COUNTER_LIMIT for c in range(1, 5)):
                raise ValueError("a counter that goes back or lies out of range")
            previous = sample
        test["samples"].extend(batch)
        recent = host.recent.get(test["stream"], []) + batch
        host.recent[test["stream"]] = recent[-int(1 / clients.SAMPLE_SECONDS):]

    def done(self, host, test, record):
        test.update(record)
        test["stdout"] = test["stdout"].decode(errors="replace")
        test["stderr"] = test["stderr"].decode(errors="replace")
        del test["released"]
        host.tests[test["stream"] - 1].append(test)
        host.pending.discard(test["stream"])
        host.recent.pop(test["stream"], None)
        reason = clients.test_failure(test)
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
            # The clock again before the next test: it may have moved.
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
        """Every live host ready: the next test starts on all of them at one instant."""
        live = self.live()
        if self.interrupted or not live or any(h.state not in ("ready", "finished") for h in live):
            return
        if all(h.state == "finished" for h in live):
            return
        released = time.time()
        at = released + self.start_in
        self.instants.append(at)
        for host in live:
            index = host.ended
            host.current = [new_test(index, stream, at, self.tests[index], host)
                            for stream in range(1, self.streams + 1)]
            for test in host.current:
                test["released"] = released
            host.pending = set(range(1, self.streams + 1))
            host.enter("running")
            # A host's silence counts from the release, never from its wait at the barrier.
            host.heard = time.monotonic()
            host.channel.send("GO", index, repr(at + host.offset))

    def drop_late(self):
        now = time.monotonic()
        for host in self.live():
            if host.state in ("connecting", "clock") and not self.instants and now - self.started > self.deadline:
                said = host.said()
                host.fail(f"not ready within {self.deadline:g} s, stalled {self.stage(host)}; --deadline gives a "
                          "slow start more time" + (f": {said}" if said else ""))
            elif host.state == "clock" and self.instants and now - host.since > self.deadline:
                host.fail(f"no answer to the clock's round trips within {self.deadline:g} s")
            elif host.exited is not None and host.state != "finished" and now - host.exited > 1:
                # Its record, on the shell's other stream, had a second to arrive.
                said = host.said()
                host.fail(("no answer: " if host.state == "connecting" else "ended without its record: ") + said)
            elif host.state == "running" and now - host.heard > self.deadline:
                host.fail(f"silent for {self.deadline:g} s in a test")

    @staticmethod
    def stage(host):
        """Where a host that is not ready stands, in words."""
        if host.state == "connecting":
            return "connecting (no word from its client)"
        return f"measuring its clock ({len(host.pings)} of {PINGS} round trips answered)"

    def busy(self):
        return any(h.state != "finished" for h in self.live())

    def running(self):
        return any(h.state == "running" for h in self.live())

    def end(self):
        """Whatever host has not finished by now fails, with what the shell and ssh said of it."""
        for host in self.live():
            if host.state != "finished":
                said = host.said()
                host.fail(("interrupted" if self.interrupted else "no answer") + (f": {said}" if said else ""))

"""The course of a run of dorvik-clients: what the controller knows of each
host, what each message of a client changes, the round trips that measure a
client's clock, the barrier that releases every test at one instant on all
live hosts, and the deadlines that drop a host that is not ready in time or
falls silent in a test."""

import time

from . import clients
from .channel import LINE_LIMIT, TAG, decode

PINGS = 8


class Host:
    """What the controller knows of one client."""

    def __init__(self, name, channel):
        self.name, self.channel = name, channel
        self.state = "connecting"
        self.exited = None
        self.reason = None
        self.pings, self.ping_sent = [], None
        self.offset = self.offset_error = None
        self.tests, self.errors, self.recent = [], [], []
        self.heard = time.monotonic()

    def said(self):
        """What the shell and ssh said of the host, on one line."""
        return "; ".join(e for e in self.errors if e.strip())

    def fail(self, reason):
        if self.reason is None:
            self.reason = reason
        self.state = "failed"
        self.channel.close()


def clock_offset(pings):
    """A client's clock against the controller's, from round trips (sent, the client's time, back): the
    offset at the midpoint of the shortest round trip, and its error, half that round trip."""
    sent, theirs, back = min(pings, key=lambda p: p[2] - p[0])
    return theirs - (sent + back) / 2, (back - sent) / 2


class Run:
    """The hosts of a run and its tests, released one at a time on every live host together."""

    def __init__(self, channels, tests, deadline, start_in):
        self.hosts = {name: Host(name, channel) for name, channel in channels.items()}
        self.tests = tests
        self.deadline, self.start_in = deadline, start_in
        self.instants = []
        self.interrupted = False
        self.started = time.monotonic()

    def take(self, name, text):
        """A line the shell brought from a host: a client's message, or what ssh or the shell said."""
        host = self.hosts[name]
        host.heard = time.monotonic()
        if text is None:
            host.fail(f"sent a line longer than {LINE_LIMIT} bytes")
            return
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
            host.pings.append((host.ping_sent, float(words[2]), time.time()))
            host.ping_sent = None
            if len(host.pings) == PINGS:
                host.offset, host.offset_error = clock_offset(host.pings)
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
        at = time.time() + self.start_in
        self.instants.append(at)
        for host in live:
            host.state = "running"
            # A host's silence counts from the release, never from its wait at the barrier.
            host.heard = time.monotonic()
            host.channel.send("GO", len(host.tests), repr(at + host.offset))

    def drop_late(self):
        now = time.monotonic()
        for host in self.live():
            if not self.instants and host.state != "ready" and now - self.started > self.deadline:
                said = host.said()
                host.fail(f"not ready within {self.deadline:g} s" + (f": {said}" if said else ""))
            elif host.exited is not None and host.state != "finished" and now - host.exited > 1:
                # Its record, on the shell's other stream, had a second to arrive.
                said = host.said()
                host.fail(("no answer: " if host.state == "connecting" else "ended without its record: ") + said)
            elif host.state == "running" and now - host.heard > self.deadline:
                host.fail(f"silent for {self.deadline:g} s in a test")

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

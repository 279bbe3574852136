#!/usr/bin/env python3
"""A stand-in for pdsh that plays every client itself, light enough for a
thousand hosts on one machine: named pdsh (through a link) it takes
dorvik-clients' command line ("-R exec -f F -w HOSTS sh -c 'exec "$@" <
"$0"' FIFO ... ORDER"), reads each host's FIFO and speaks the clients'
protocol for it, at most F hosts at a time as pdsh does: HELLO, a PONG to
every PING, READY for every PREPARE, and a test of each stream that writes for
half of STAND_IN_TEST_SECONDS (default 2) from the instant of its GO and reads
as long from the instant of its READ, with a sample every 20 ms sent every half
second, dorvik's output of a single test of 64 MB and its record. A host ends when its
FIFO ends. Named pdsh with "-w LIST echo %h" it lists the hosts as pdsh
does."""
import base64
import json
import os
import selectors
import sys
import time

SAMPLE_SECONDS = 0.02
SEND_SECONDS = 0.5
SAMPLES_PER_LINE = 25
MEGABYTES = 64
RECORD = 65536
TEST_SECONDS = float(os.environ.get("STAND_IN_TEST_SECONDS", "2"))


def encoded(value):
    return base64.urlsafe_b64encode(value if isinstance(value, bytes) else json.dumps(value).encode()).decode()


def output(seconds):
    """dorvik's output of a single test of MEGABYTES whose phases took seconds each, in two pieces: up to the
    write's time, and the rest."""
    rate = MEGABYTES / (seconds + 0.01)
    head = ("\nDORVIK: Test of Sequential File I/O -- 2.0.13-san (28-Feb-2008)\n\tOperating System: POSIX "
            f"1003.1-1990 -- using fsync()\n\n\tdorvik writes a {MEGABYTES} Megabyte sequential file consisting of\n"
            f"\t{MEGABYTES * 1048576 // RECORD} records which are each {RECORD} bytes in length.\n\tIt then reads the "
            "file.  It prints the bytes-per-second\n\trate at which the computer can read and write files.\n\n\n"
            f"Writing the {MEGABYTES} Megabyte file, 'x'...{seconds:.6f} seconds\n")
    tail = (f"Reading the file...{seconds:.6f} seconds\n\n Average statistics\n####\t Total KB= "
            f"{MEGABYTES * 1024:8d} (1024), read={seconds:4.2f} (sec), write={seconds:4.2f} (sec)\n####\t Average "
            f"read={rate:8.2f} MB/sec, write={rate:8.2f} MB/sec\n\n")
    return head.encode(), tail.encode()


class Host:
    """One played client: its FIFO, what it has read, and its running test."""

    def __init__(self, name, fifo, streams):
        self.name, self.fifo, self.streams = name, fifo, streams
        self.fd, self.inbox = None, b""
        self.test = None

    def say(self, out, *words):
        out.append(f"{self.name}: DORVIK-CLIENTS {' '.join(map(str, words))}\n")


class Test:
    def __init__(self, index, streams):
        self.index, self.at, self.read_at = index, None, None
        self.pending = {stream: [] for stream in range(1, streams + 1)}
        self.said_write = False
        self.sent = time.monotonic()


def share(begun, now):
    return 0.0 if begun is None else min(max((now - begun) / (TEST_SECONDS / 2), 0.0), 1.0)


def sample(test, now):
    """The counters of a stream at now: writes in the half test from its instant, reads in the half from the
    read's."""
    total = MEGABYTES * 1048576
    written, read = int(total * share(test.at, now)), int(total * share(test.read_at, now))
    return [round(now, 6), written, read, written, read]


def prepare(host, index, out):
    host.test = Test(index, host.streams)
    for stream in host.test.pending:
        host.say(out, "STORAGE", index, stream, encoded({"kind": "program", "device": "", "name": "stand-in",
                                                          "machine": ""}))
        host.say(out, "READY", index, stream)


def release(host, at, out):
    """The instant of the write, and then of the read."""
    test = host.test
    if test.at is None:
        test.at = at
        for samples in test.pending.values():
            samples.append(sample(test, time.time()))
    else:
        test.read_at = at


def send_samples(host, out):
    for stream, samples in host.test.pending.items():
        while samples:
            batch, samples[:] = samples[:SAMPLES_PER_LINE], samples[SAMPLES_PER_LINE:]
            host.say(out, "SAMPLE", host.test.index, stream, *(v for s in batch for v in s))
    host.test.sent = time.monotonic()


def tick(host, now, out):
    """A sample of every stream; what is due is sent; the test's output and end when they come."""
    test = host.test
    for samples in test.pending.values():
        samples.append(sample(test, now))
    half = TEST_SECONDS / 2
    head, tail = output(half)
    if not test.said_write and now >= test.at + half:
        test.said_write = True
        for stream in test.pending:
            host.say(out, "OUT", test.index, stream, repr(now), encoded(head))
            host.say(out, "SPAN", test.index, stream, "write", repr(test.at), repr(test.at + half))
    if test.read_at is not None and now >= test.read_at + half + SAMPLE_SECONDS:
        send_samples(host, out)
        for stream in test.pending:
            host.say(out, "SPAN", test.index, stream, "read", repr(test.read_at), repr(test.read_at + half))
            host.say(out, "OUT", test.index, stream, repr(now), encoded(tail))
            host.say(out, "DONE", test.index, stream, encoded({"start": test.at, "end": now, "status": 0,
                                                               "spawned": test.at - 0.1}))
        host.test = None
    elif time.monotonic() - test.sent >= SEND_SECONDS:
        send_samples(host, out)


def heard(host, out):
    """The controller's lines to a host, answered; False once its FIFO ends."""
    piece = os.read(host.fd, 65536)
    if not piece:
        return False
    *lines, host.inbox = (host.inbox + piece).split(b"\n")
    for line in lines:
        words = line.decode().split()
        if words[:1] == ["PING"]:
            host.say(out, "PONG", words[1], repr(time.time()))
        elif words[:1] == ["PREPARE"]:
            prepare(host, int(words[1]), out)
        elif words[:1] in (["GO"], ["READ"]):
            release(host, float(words[2]), out)
    return True


def play(hosts, fanout):
    events = selectors.DefaultSelector()
    waiting, connected = list(hosts), []
    due = time.monotonic()
    while waiting or connected:
        out = []
        while waiting and len(connected) < fanout:
            host = waiting.pop(0)
            host.fd = os.open(host.fifo, os.O_RDONLY | os.O_NONBLOCK)
            events.register(host.fd, selectors.EVENT_READ, host)
            connected.append(host)
            host.say(out, "HELLO")
        for key, _ in events.select(max(0.0, due - time.monotonic())):
            if not heard(key.data, out):
                events.unregister(key.fd)
                os.close(key.fd)
                connected.remove(key.data)
        if time.monotonic() >= due:
            now = time.time()
            for host in connected:
                if host.test is not None and host.test.at is not None and now >= host.test.at:
                    tick(host, now, out)
            due = max(due + SAMPLE_SECONDS, time.monotonic())
        if out:
            sys.stdout.write("".join(out))
            sys.stdout.flush()


def main(words):
    names = words[words.index("-w") + 1].split(",")
    command = words[words.index("-w") + 2:]
    if command == ["echo", "%h"]:
        print("\n".join(f"{name}: {name}" for name in names))
        return 0
    fanout = int(words[words.index("-f") + 1]) if "-f" in words else 32
    order = json.loads(base64.b64decode(command[-1].split()[-1].strip("'"), altchars=b"-_"))
    template = command[3]
    play([Host(name, template.replace("%h", name), order.get("streams", 1)) for name in names], fanout)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

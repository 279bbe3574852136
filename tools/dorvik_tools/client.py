"""The client side of dorvik-clients: started on every client by the parallel
shell (dorvik-clients --client), it answers the controller's clock pings over
its standard input and output, runs each test of dorvik at the instant the
controller gives, samples the test's byte counters, and sends everything back.
When its standard input ends (the controller ended, was killed, or dropped
it) it ends its test at once."""

import os
import selectors
import shutil
import signal
import subprocess
import time

from .channel import TAG, encode
from .clients import SAMPLE_SECONDS


def set_policy(policy, priority):
    try:
        os.sched_setscheduler(0, policy, os.sched_param(priority))
        return True
    except OSError:
        return False


class Client:
    """The tests of one host, each started at the instant the controller gives, and their counters."""

    def __init__(self, host, order):
        self.host, self.order = host, order
        self.child = None
        self.gone = False
        self.inbox = b""

    def say(self, *words):
        try:
            os.write(1, (TAG + " ".join(map(str, words)) + "\n").encode())
        except OSError:
            self.stop()

    def stop(self, *_):
        self.gone = True
        if self.child is not None and self.child.returncode is None:
            try:
                os.kill(self.child.pid, signal.SIGTERM)
            except OSError:
                pass

    def messages(self, timeout):
        """The controller's lines that arrived within timeout; its end stops everything."""
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
        return [line.decode(errors="replace").split() for line in lines]

    def run(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, self.stop)
        signal.signal(signal.SIGPIPE, signal.SIG_IGN)
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
                elif words == ["END"]:
                    return 0
        return 0

    def run_test(self, index, at):
        record = {"index": index, "status": None, "samples": [], "chunks": [], "stdout": "", "stderr": ""}
        while not self.gone and time.time() < at - 0.003:
            self.messages(min(at - 0.003 - time.time(), 0.05))
        arguments = [a.replace("%h", self.host) for a in self.order["tests"][index]]
        # The last milliseconds in a sleep, finer than select's, ahead of other processes where allowed
        # (a busy machine wakes a sleeper late); dorvik itself runs at the usual priority.
        urgent = set_policy(os.SCHED_FIFO, 1)
        time.sleep(max(0.0, at - time.time()))
        record["start"] = time.time()
        if urgent:
            set_policy(os.SCHED_OTHER, 0)
        if self.gone:
            record.update(end=record["start"], reason="stopped before the start")
            return self.say("DONE", index, encode(record))
        try:
            self.child = subprocess.Popen([self.order["program"]] + arguments, stdin=subprocess.DEVNULL,
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        except OSError as error:
            record.update(end=time.time(), reason=f"dorvik did not start: {error.strerror}")
            return self.say("DONE", index, encode(record))
        record["samples"].append([record["start"], 0, 0])
        out, err = self.collect(index, record)
        record.update(end=time.time(), status=self.child.wait(), stdout=out.decode(errors="replace"),
                      stderr=err.decode(errors="replace"))
        self.child = None
        return self.say("DONE", index, encode(record))

    def sample(self, index, record):
        """dorvik's bytes passed to and received from the system so far, and when."""
        try:
            with open(f"/proc/{self.child.pid}/io", encoding="ascii") as f:
                counters = dict(line.split(": ") for line in f.read().splitlines())
        except (OSError, ValueError):
            return
        entry = [time.time(), int(counters.get("wchar", 0)), int(counters.get("rchar", 0))]
        record["samples"].append(entry)
        self.say("SAMPLE", index, *entry)

    def collect(self, index, record):
        """dorvik's two outputs, when each piece of standard output arrived, and its counters."""
        out, err = bytearray(), bytearray()
        streams = selectors.DefaultSelector()
        streams.register(self.child.stdout, selectors.EVENT_READ, out)
        streams.register(self.child.stderr, selectors.EVENT_READ, err)
        streams.register(0, selectors.EVENT_READ, None)
        due = time.monotonic() + SAMPLE_SECONDS
        while any(key.data is not None for key in streams.get_map().values()):
            for key, _ in streams.select(timeout=max(0.0, due - time.monotonic())):
                if key.data is None:
                    self.messages(0)
                    if self.gone:
                        streams.unregister(0)
                    continue
                piece = os.read(key.fd, 65536)
                if not piece:
                    streams.unregister(key.fileobj)
                    continue
                key.data.extend(piece)
                if key.data is out:
                    record["chunks"].append([len(out), time.time()])
            if time.monotonic() >= due:
                self.sample(index, record)
                due += SAMPLE_SECONDS
        # An ended process's counters stay readable until it is waited for.
        self.sample(index, record)
        return out, err

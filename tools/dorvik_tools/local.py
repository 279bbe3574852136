"""The clients on this machine (dorvik-clients -e local): each runs as a child
process of the controller, started as the parallel shell would start it
(dorvik-clients --client), with no shell and no ssh, and speaks the same
protocol over its own pipes. Its standard input is a pipe that the controller
alone holds: when the controller ends, however it ends (SIGKILL too), that
input ends and the client ends its test, its dorvik deleting its file; and
should the controller die while the pipe is held elsewhere, the client is sent
SIGTERM (PR_SET_PDEATHSIG), which ends its test the same way. The clients run
in sessions of their own, so that a terminal's Ctrl-C reaches the controller
alone, which ends them through their input, as it ends remote ones."""

import ctypes
import os
import re
import selectors
import signal
import socket
import subprocess
import sys
import time

from .channel import Lines, arrived

PR_SET_PDEATHSIG = 1
# A host name that may stand for %h in a file name.
PLAIN_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.-]*")
# After their input has ended, how long the clients may take to end their tests; then how long after SIGTERM.
LAST_WORDS_SECONDS = 10
ENDING_SECONDS = 5


def host_name():
    """This machine's short host name, which %h stands for; localhost where it is no plain name."""
    name = socket.gethostname().split(".")[0]
    return name if PLAIN_NAME.fullmatch(name) else "localhost"


def client_program():
    """This very program, run by the Python that runs the controller: a client of the same version, wherever
    it was started from."""
    return [sys.executable, os.path.realpath(sys.argv[0])]


def ended_with(parent):
    """Run in a client before it starts: SIGTERM when the controller dies, also if it died already."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    if os.getppid() != parent:
        os.kill(os.getpid(), signal.SIGTERM)


class Input:
    """A client's standard input; closing it ends the client. A line that does not fit in the pipe is
    dropped, as a FIFO's would be: the controller never waits for a client."""

    def __init__(self, pipe):
        self.pipe = pipe
        os.set_blocking(pipe.fileno(), False)

    def send(self, *words):
        if self.pipe is None:
            return
        try:
            os.write(self.pipe.fileno(), (" ".join(map(str, words)) + "\n").encode())
        except OSError:
            pass

    def close(self):
        if self.pipe is not None:
            try:
                self.pipe.close()
            except OSError:
                pass
            self.pipe = None


class LocalClients:
    """The clients that run here, one per name, and the lines they bring back."""

    def __init__(self, names, command):
        # command: the client's words, %h standing for its host's name.
        self.names, self.command = list(names), command
        self.children, self.channels, self.outputs = {}, {}, {}
        self.streams = selectors.DefaultSelector()

    def start(self):
        """Starts a client per name; returns each host's channel."""
        parent = os.getpid()
        for name in self.names:
            child = subprocess.Popen([w.replace("%h", name) for w in self.command], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                                     preexec_fn=lambda: ended_with(parent))
            self.children[name] = child
            self.channels[name] = Input(child.stdin)
            for stream in (child.stdout, child.stderr):
                self.streams.register(stream, selectors.EVENT_READ, (name, Lines()))
            self.outputs[name] = 2
        return self.channels

    def open(self):
        """Whether a client's output may still bring lines."""
        return bool(self.streams.get_map())

    def hang_up(self):
        """The end of input for every client: each ends its test and says its last words."""
        for channel in self.channels.values():
            channel.close()

    def lines(self, timeout):
        """The lines that arrive within timeout, as (host, text); text is None for a line that passed the
        limit. A client whose outputs have both ended and that exited with a status other than 0 says so."""
        found = []
        for key, piece in arrived(self.streams, timeout):
            name, splitter = key.data
            complete, head = splitter.feed(piece)
            if head is not None:
                found.append((name, None))
            found += [(name, line.decode(errors="replace")) for line in complete if line]
            if key.fileobj not in self.streams.get_map():
                key.fileobj.close()
                self.outputs[name] -= 1
                if not self.outputs[name]:
                    found += self.exited(name)
        return found

    def exited(self, name):
        try:
            status = self.children[name].wait(timeout=ENDING_SECONDS)
        except subprocess.TimeoutExpired:
            return []
        if status == 0:
            return []
        return [(name, f"dorvik-clients: the client exited with exit code {status if status > 0 else 128 - status}")]

    def end(self):
        """The clients end once their input has ended, their lines read meanwhile (and dropped); one that has
        not ended a while later is asked to end with SIGTERM (it ends its dorvik, which deletes its file), then
        killed with all that runs in its session."""
        self.hang_up()
        for number, seconds in ((None, LAST_WORDS_SECONDS), (signal.SIGTERM, ENDING_SECONDS),
                                (signal.SIGKILL, ENDING_SECONDS)):
            for child in self.children.values():
                if number is not None and child.poll() is None:
                    try:
                        os.killpg(child.pid, number)
                    except OSError:
                        pass
            until = time.monotonic() + seconds
            while self.running() and time.monotonic() < until:
                self.lines(0.1)
        for key in list(self.streams.get_map().values()):
            self.streams.unregister(key.fileobj)
            key.fileobj.close()
        for child in self.children.values():
            child.wait()

    def running(self):
        return any(child.poll() is None for child in self.children.values())

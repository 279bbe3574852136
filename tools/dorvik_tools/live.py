"""The live line of dorvik-clients: while a run goes on and standard error is
a terminal, one line there, redrawn twice a second, says how many clients
write, read, sync or wait, the test and how many remain, the MB/s of the
last samples and the time since the start."""

import sys
import time

from . import reader

REDRAW_SECONDS = 0.5


def status_line(run):
    """The line for the run as it stands, from each running host's latest samples."""
    phases = {"write": 0, "read": 0, "other": 0, "waiting": 0}
    rate = 0.0
    for host in run.live():
        if host.state != "running" or len(host.recent) < 2:
            phases["waiting"] += 1
            continue
        (t0, w0, r0), (t1, w1, r1) = host.recent[0], host.recent[-1]
        phases["write" if w1 > host.recent[-2][1] else "read" if r1 > host.recent[-2][2] else "other"] += 1
        rate += reader.mb_per_s((w1 - w0 + r1 - r0) / (t1 - t0)) if t1 > t0 else 0.0
    test = len(run.instants)
    return (f"dorvik-clients: {phases['write']} writing, {phases['read']} reading, {phases['other']} syncing or "
            f"between phases, {phases['waiting']} waiting; test {test} of {len(run.tests)}, "
            f"{len(run.tests) - test} to go; {rate:.1f} MB/s; {time.monotonic() - run.started:.0f} s")


class LiveLine:
    """The status line on a terminal's standard error; nothing where standard error is no terminal."""

    def __init__(self):
        self.shown = sys.stderr is not None and sys.stderr.isatty()
        self.drawn = 0.0

    def draw(self, run):
        if self.shown and time.monotonic() - self.drawn >= REDRAW_SECONDS:
            self.drawn = time.monotonic()
            sys.stderr.write("\r" + status_line(run) + "\033[K")
            sys.stderr.flush()

    def clear(self):
        if self.shown:
            sys.stderr.write("\r\033[K")

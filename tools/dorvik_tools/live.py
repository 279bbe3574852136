"""The live line of dorvik-clients: while a run goes on and standard error is
a terminal, one line there, redrawn twice a second, says how many clients
write, read, sync or wait, the test and how many remain, the MB/s that the
storage moved over the last samples (each machine's device counted once)
and the time since the start."""

import sys
import time

from . import clients, reader

REDRAW_SECONDS = 0.5


def phase_of(host):
    """What a running host's dorvik does by its latest samples: write, read, or other (syncing, between)."""
    if host.state != "running" or len(host.recent) < 2:
        return "waiting"
    before, after = host.recent[-2], host.recent[-1]
    return "write" if after[1] > before[1] else "read" if after[2] > before[2] else "other"


def storage_rate(hosts):
    """The storage's MB/s over each host's recent samples, a device shared by hosts counted once."""
    rates = {}
    for host in hosts:
        test = host.current
        if test is None or test["storage"] is None or len(host.recent) < 2:
            continue
        (t0, *_, s0, r0), (t1, *_, s1, r1) = host.recent[0], host.recent[-1]
        key = clients.storage_key(host.name, {"storage": test["storage"], "index": test["index"]})
        rates[key] = reader.mb_per_s((s1 - s0 + r1 - r0) / (t1 - t0)) if t1 > t0 else 0.0
    return sum(rates.values())


def status_line(run):
    """The line for the run as it stands."""
    phases = {"write": 0, "read": 0, "other": 0, "waiting": 0}
    for host in run.live():
        phases[phase_of(host)] += 1
    test = len(run.instants)
    return (f"dorvik-clients: {phases['write']} writing, {phases['read']} reading, {phases['other']} syncing or "
            f"between phases, {phases['waiting']} waiting; test {test} of {len(run.tests)}, "
            f"{len(run.tests) - test} to go; {storage_rate(run.live()):.1f} MB/s at the storage; "
            f"{time.monotonic() - run.started:.0f} s")


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

"""The live line of dorvik-clients: while a run goes on and standard error is
a terminal, one line there, redrawn twice a second, says how many clients
write, read, sync or wait (each stream counted), the test and how many remain, the MB/s that the
storage moved over the last samples (each machine's device counted once)
and the time since the start."""

import sys
import time

from . import clients, reader

REDRAW_SECONDS = 0.5


def streams_of(hosts):
    """Each running stream of the hosts: (host, its test's record, its latest samples)."""
    for host in hosts:
        if host.state in ("writing", "written", "reading"):
            for test in host.current:
                if test["stream"] in host.pending:
                    yield host, test, host.recent.get(test["stream"], [])


def phase_of(recent):
    """What a stream's dorvik does by its latest samples: write, read, or other (syncing, between)."""
    if len(recent) < 2:
        return "waiting"
    before, after = recent[-2], recent[-1]
    return "write" if after[1] > before[1] else "read" if after[2] > before[2] else "other"


def storage_rate(hosts):
    """The storage's MB/s over each stream's recent samples, a device shared by streams and hosts counted once."""
    rates = {}
    for host, test, recent in streams_of(hosts):
        if test["storage"] is None or len(recent) < 2:
            continue
        (t0, *_, s0, r0), (t1, *_, s1, r1) = recent[0], recent[-1]
        key = clients.storage_key(f"{host.name}#{test['stream']}", test)
        rates[key] = reader.mb_per_s((s1 - s0 + r1 - r0) / (t1 - t0)) if t1 > t0 else 0.0
    return sum(rates.values())


def status_line(run):
    """The line for the run as it stands: each stream of each live host counted."""
    phases = {"write": 0, "read": 0, "other": 0, "waiting": 0}
    running = list(streams_of(run.live()))
    for _, _, recent in running:
        phases[phase_of(recent)] += 1
    phases["waiting"] += run.streams * len(run.live()) - len(running)
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

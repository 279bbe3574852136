"""The live line of dorvik-clients. While a run goes on and standard error is
a terminal, one line there, redrawn twice a second, says the test and how
many clients are in each stage (connecting, measuring clocks, waiting,
writing, reading...; each stream counted), the MB/s that the storage moved
over the last samples (each machine's device counted once) and the time since
the start. Where standard error is no terminal (a batch job's log, a file), a
line of progress every so many seconds says the test, its phase, the clients
in each stage and the bytes moved so far in the test."""

import sys
import time

from . import clients, reader

REDRAW_SECONDS = 0.5
# The words for where a client stands: a host's state in the run, or, while it runs a test, what each of its
# streams does by its latest samples; in the order a line lists them. A state not named here is shown as it is.
STAGES = {"connecting": "connecting", "preparing": "starting dorvik", "clock": "measuring clocks",
          "ready": "waiting", "starting": "starting", "write": "writing", "other": "syncing or between phases",
          "written": "written, waiting for the read", "read": "reading", "finished": "done", "failed": "dropped"}
# The phase of a test while any of its clients writes, or else reads.
PHASES = {"writing": "write phase", "reading": "read phase"}


def streams_of(hosts):
    """Each running stream of the hosts: (host, its test's record, its latest samples)."""
    for host in hosts:
        if host.state in ("writing", "written", "reading"):
            for test in host.current:
                if test["stream"] in host.pending:
                    yield host, test, host.recent.get(test["stream"], [])


def phase_of(recent):
    """What a stream's dorvik does by its samples of the last second: read, write, other (syncing, between), or
    starting (no two samples yet). A large record on slow or throttled storage moves a counter less often than
    every sample, so the whole second is looked at, and a read that follows the writes in it counts."""
    if len(recent) < 2:
        return "starting"
    first, last = recent[0], recent[-1]
    return "read" if last[2] > first[2] else "write" if last[1] > first[1] else "other"


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


def stage_counts(run):
    """How many clients (each stream counted) stand in each stage, in the order of STAGES, those of none left
    out; a running host's streams that ended their test count as waiting."""
    counts = dict.fromkeys(dict.fromkeys(STAGES.values()), 0)
    for host in run.hosts.values():
        if host.reason is not None:
            counts[STAGES["failed"]] += run.streams
        elif host.state in ("writing", "reading"):
            running = list(streams_of([host]))
            for _, _, recent in running:
                counts[STAGES[phase_of(recent)]] += 1
            counts["waiting"] += run.streams - len(running)
        else:
            word = STAGES.get(host.state, host.state)
            counts[word] = counts.get(word, 0) + run.streams
    return {word: count for word, count in counts.items() if count}


def stages_said(counts):
    return ", ".join(f"{count} {word}" for word, count in counts.items()) or "no client left"


def test_number(run):
    """The test that the live hosts run or prepare, counted from 1."""
    return min(min((h.ended for h in run.live()), default=len(run.tests)) + 1, len(run.tests))


def phase_said(counts):
    """The phase of the test by what its clients do: the write phase while any writes, then the read phase, or
    else the stage that holds the most."""
    for word, phase in PHASES.items():
        if word in counts:
            return phase
    return max(counts, key=counts.get) if counts else "ended"


def bytes_so_far(run):
    """What the programs of the running test passed to and received from the system so far, in MB: their
    counters' latest samples."""
    written = read = 0
    for host, test, recent in streams_of(run.live()):
        if recent and test.get("written_from") is not None:
            written += recent[-1][1] - test["written_from"]
            read += recent[-1][2]
    return reader.mb_per_s(written), reader.mb_per_s(read)


def status_line(run):
    """The terminal's line for the run as it stands."""
    return (f"dorvik-clients: test {test_number(run)} of {len(run.tests)}: {stages_said(stage_counts(run))}; "
            f"{storage_rate(run.live()):.1f} MB/s at the storage; {time.monotonic() - run.started:.0f} s")


def progress_line(run):
    """A line of progress for a log."""
    counts = stage_counts(run)
    written, read = bytes_so_far(run)
    return (f"dorvik-clients: {time.monotonic() - run.started:.0f} s: test {test_number(run)} of {len(run.tests)}, "
            f"{phase_said(counts)}: {stages_said(counts)}; {written:.1f} MB written and {read:.1f} MB read so far "
            "in this test")


class LiveLine:
    """The status line on a terminal's standard error; elsewhere a line of progress every progress seconds
    (none for 0)."""

    def __init__(self, progress=0.0):
        self.shown = sys.stderr is not None and sys.stderr.isatty()
        self.progress = progress if sys.stderr is not None and not self.shown else 0.0
        self.drawn = time.monotonic()

    def draw(self, run):
        if self.shown and time.monotonic() - self.drawn >= REDRAW_SECONDS:
            self.drawn = time.monotonic()
            sys.stderr.write("\r" + status_line(run) + "\033[K")
            sys.stderr.flush()
        elif self.progress and time.monotonic() - self.drawn >= self.progress:
            self.drawn = time.monotonic()
            try:
                sys.stderr.write(progress_line(run) + "\n")
                sys.stderr.flush()
            except OSError:
                # A log that cannot be written (a full disk) stops the progress, never the run.
                self.progress = 0.0

    def clear(self):
        if self.shown:
            sys.stderr.write("\r\033[K")

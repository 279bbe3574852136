"""The arithmetic of a dorvik-clients folder: when each host's tests and
phases ran by the controller's clock, and per grid point what the clients
moved together: all bytes over the span of a phase, and the bytes moved while
every client was in it, from the counters each client sampled.

A sample is [time, written, read, storage written, storage read]: the bytes
that the client's dorvik passed to and received from the system (wchar and
rchar), and the bytes that the storage under its target wrote and read (the
block device's sectors, an NFS mount's bytes sent to and read from the
server). Where a client found no counters of its storage (tmpfs, FUSE), the
storage's columns repeat the program's. Clients that share a machine and a
device share its counters: they are counted once. A host that ran several
streams (dorvik-clients --streams) has an entry per stream, named HOST#N,
and per grid point a figure of its own over its streams.

A folder is read in bounded memory, whatever its size: the index first, then
the samples of one entry at a time (folder), each reduced to the few
counters that the figures need before the next is read. A folder of format 4
keeps each entry's samples in ENTRY.samples; one of format 3 keeps them in
its index; one of format 2 holds [time, written, read] only, and is read as
the programs' counters."""

import bisect
import datetime
import math
import re
import statistics

from . import folder as folders
from .reader import MEGABYTE, PHASES, ParseError, mb_per_s, parse

# The columns of a sample, per phase: the program's and the storage's.
PROGRAM = {"write": 1, "read": 2}
STORAGE = {"write": 3, "read": 4}
# How often a client samples its counters (more often costs it more than 1% of
# a core); a window shorter than two samples would only spread a sample's bytes
# over it, and gives no figure.
SAMPLE_SECONDS = 0.02
# The most points of the all-hosts time line; a longer run takes longer steps.
TIME_LINE_POINTS = 20000
# What dorvik takes for a record length, and so what its output may hold.
RECORD_LENGTHS = (16, 131073)
KINDS = {"block": "block device", "nfs": "NFS mount", "program": "program counters"}
# The most devices a storage may name under it, and the form of each.
BELOW_LIMIT = 16
DEVICE_NUMBER = re.compile(r"[0-9]{1,10}:[0-9]{1,10}", re.ASCII)
# Below this share of the programs' reads, the storage's reads say that a cache served the rest.
CACHED_BELOW = 0.95


def natural_key(name):
    return folders.natural_key(name)


def utc(seconds):
    """A time of the controller's clock as the report writes it; ValueError for one that no clock gives."""
    try:
        return f"{datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc):%Y-%m-%d %H:%M:%S.%f} UTC"
    except (OverflowError, OSError, ValueError) as error:
        raise ValueError(f"the time {seconds!r} lies beyond any clock") from error


def finite(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def checked_test(value):
    """A client's record of the end of one test, its kinds checked; ValueError for anything else."""
    if not isinstance(value, dict) or not finite(value.get("end")) \
            or not (value.get("start") is None or finite(value.get("start"))) \
            or not isinstance(value.get("status"), (int, type(None))) or isinstance(value.get("status"), bool):
        raise ValueError("a test's record lacks its times or status")
    if value["status"] is None and not isinstance(value.get("reason"), str):
        raise ValueError("a test's record gives no reason why it did not run")
    if not (value.get("spawned") is None or finite(value["spawned"])):
        raise ValueError("a test's record has a malformed time of spawning")
    return {k: value[k] for k in ("start", "end", "status", "reason", "spawned") if k in value}


def checked_storage(value):
    """A client's description of the storage under its target; ValueError for anything else."""
    if not isinstance(value, dict) or value.get("kind") not in KINDS or not all(
            isinstance(value.get(k), str) and len(value[k]) <= 200 for k in ("device", "name", "machine")):
        raise ValueError("a test's storage is not described")
    below = value.get("below", [])
    if not isinstance(below, list) or len(below) > BELOW_LIMIT or not all(
            isinstance(d, str) and DEVICE_NUMBER.fullmatch(d) for d in below):
        raise ValueError("a test's storage names malformed devices under it")
    return {k: value[k] for k in ("kind", "device", "name", "machine")} | ({"below": below} if below else {})


def stacked_keys(storages):
    """Of (key, storage) pairs, the keys of block devices that sit on another of them on the same machine (a
    partition on its disk, a loop device over a file of that one, a device-mapper or md device over it):
    their bytes reach that one too, and count there alone."""
    below = {}
    for key, storage in storages:
        if key[0] == "block":
            below.setdefault(key, set()).update(storage.get("below", ()))
    present = {key[1:] for key in below}
    return {key for key, devices in below.items() if any((key[1], device) in present for device in devices)}


def writes(arguments):
    """Whether dorvik writes with these arguments: a CD-ROM series only reads."""
    return not (len(arguments) == 1 and arguments[0].startswith(("cdrom", "CDROM")))


def bad_grid_point(runs):
    """A test in dorvik's output that no dorvik prints: a size or a record length out of range."""
    for run in runs:
        for test in run["tests"]:
            size, length = test["size_mb"], test["record_length"]
            if size is not None and size <= 0:
                return f"its output holds a size of {size} MB"
            if length is not None and not RECORD_LENGTHS[0] <= length <= RECORD_LENGTHS[1]:
                return f"its output holds a record length of {length}"
    return None


def test_failure(test):
    """Why a test gave no result, or None when it ran to its end."""
    if test["status"] is None:
        return test["reason"]
    try:
        runs = parse(test["stdout"], "output")
    except ParseError as error:
        return f"dorvik exited with status {test['status']}: {error}"
    cut = [run for run in runs if not run["complete"]]
    if cut or test["status"] != 0:
        reason = cut[0]["reason"] if cut else "no reason printed"
        said = [line for line in test["stderr"].splitlines() if line.strip()]
        return f"dorvik exited with status {test['status']}: {reason}" + (f" ({said[-1]})" if said else "")
    bad = bad_grid_point(runs)
    if bad is not None:
        return f"dorvik exited with status 0, but {bad}"
    if test.get("start") is None:
        return "dorvik did not say when its timed span began (DORVIK_START_FD): an older dorvik?"
    if test["samples"] < 2:
        return "sent fewer than two samples of its counters"
    return None


def arrival(chunks, text, line):
    """When the last character of a line of text reached the client, from its timestamped pieces (their ends
    in bytes of the text)."""
    offset = sum(len(part.encode(errors="surrogateescape")) + 1 for part in text.split("\n")[:line]) - 1
    for end, time in chunks:
        if end >= offset:
            return time
    return None


def phases(test, chunks, text, told=None):
    """The client's wall-clock spans (start, end) of a test's write and read phases and its bytes: as dorvik
    told them (told), or from when its lines arrived.

    A single test prints each phase's seconds right after it ends; a series
    prints a row after the read, and the rates give each phase's length."""
    if "read_line" in test:
        ends = {p: arrival(chunks, text, test[p + "_line"]) if p + "_line" in test else None for p in PHASES}
        lengths = {p: test.get(p + "_seconds") for p in PHASES}
        moved = test["bytes"]
    else:
        moved = test["size_mb"] * MEGABYTE // test["record_length"] * test["record_length"]
        end = arrival(chunks, text, test["line"])
        lengths = {p: moved / test[p + "_bytes_per_s"] if test[p + "_bytes_per_s"] else None for p in PHASES}
        ends = {"read": end, "write": None if end is None else end - lengths["read"]}
    spans = {p: (ends[p] - lengths[p], ends[p]) if ends[p] is not None and lengths[p] else None for p in PHASES}
    for phase, span in (told or {}).items():
        spans[phase] = tuple(span) if spans[phase] is not None else None
    return spans, moved


class Series:
    """One entry's samples of one test, as columns by the controller's clock (times, then each counter, which
    never goes back), and as they came, for the merged counters of a device."""

    def __init__(self, samples):
        self.raw = samples
        self.columns = [list(column) for column in zip(*samples)] if samples else [[] for _ in range(5)]
        for column in self.columns[1:]:
            for i in range(1, len(column)):
                column[i] = max(column[i], column[i - 1])

    def counter(self, column, when):
        """A counter at a time, straight between the samples around it."""
        return counter(self.columns, column, when)

    def covers(self, opened, closed):
        return bool(self.raw) and self.raw[0][0] <= opened and self.raw[-1][0] >= closed

    def around(self, column, opened, closed):
        """What a counter moved from the last sample at or before one time to the first at or after another: all
        it moved between them, however short the time against the samples' steps."""
        times = self.columns[0]
        first = max(bisect.bisect_right(times, opened) - 1, 0)
        last = min(bisect.bisect_left(times, closed), len(times) - 1)
        return self.columns[column][last] - self.columns[column][first]


def counter(samples, column, when):
    """A counter at a time, straight between the samples around it; samples[0] holds their times."""
    times = samples[0]
    at = bisect.bisect_left(times, when)
    if at == 0:
        return samples[column][0]
    if at == len(times):
        return samples[column][-1]
    before, after = at - 1, at
    share = (when - times[before]) / (times[after] - times[before]) if times[after] > times[before] else 1.0
    return samples[column][before] + share * (samples[column][after] - samples[column][before])


class Merged:
    """The counters of one machine's device at given times, from the samples of every entry that shares it,
    taken one entry at a time: what the samples of all of them, merged in time, would give. At each time it
    keeps the latest time before it and the most each counter had reached by then, the first sample at or
    after it, and the first and last of all."""

    def __init__(self, times):
        self.times = times
        self.below = [None] * len(times)
        self.above = [None] * len(times)
        self.first = self.last = None

    def add(self, series):
        raw = series.raw
        if not raw:
            return
        self.first = raw[0] if self.first is None else min(self.first, raw[0])
        self.last = raw[-1][0] if self.last is None else max(self.last, raw[-1][0])
        times = series.columns[0]
        for i, when in enumerate(self.times):
            at = bisect.bisect_left(times, when)
            if at > 0:
                reached = [times[at - 1]] + [series.columns[c][at - 1] for c in range(1, 5)]
                below = self.below[i]
                self.below[i] = reached if below is None else [max(a, b) for a, b in zip(below, reached)]
            if at < len(raw):
                self.above[i] = raw[at] if self.above[i] is None else min(self.above[i], raw[at])

    def counter(self, column, i):
        """The counter at the i-th time, as counter() gives it on the merged samples."""
        below, above = self.below[i], self.above[i]
        if below is None:
            return above[column]
        if above is None:
            return below[column]
        after = max(below[column], above[column])
        share = (self.times[i] - below[0]) / (above[0] - below[0]) if above[0] > below[0] else 1.0
        return below[column] + share * (after - below[column])

    def covers(self, opened, closed):
        return self.first is not None and self.first[0] <= opened and self.last >= closed

    def around(self, column, i, j):
        """What the counter moved from the last sample before the i-th time to the first at or after the j-th."""
        before = self.below[i][column] if self.below[i] is not None else self.first[column]
        after = self.below[j][column] if self.below[j] is not None else self.first[column]
        if self.above[j] is not None:
            after = max(after, self.above[j][column])
        return after - before


def storage_key(host, test):
    """What identifies a storage's counters: the machine and the device; a program's are its own."""
    storage = test["storage"]
    if storage["kind"] == "program":
        return ("program", host, test["index"])
    return (storage["kind"], storage["machine"], storage["device"])


def counters_described(keys):
    """Which counters a figure comes from: e.g. "storage: 1 block device", "programs: 2 hosts"."""
    kinds = {}
    for key in set(key[:2] if key[0] == "program" else key for key in keys):
        kinds[key[0]] = kinds.get(key[0], 0) + 1
    parts = [f"{kinds[k]} {KINDS[k]}{'s' if kinds[k] > 1 else ''}" for k in ("block", "nfs") if k in kinds]
    words = ["storage: " + ", ".join(parts)] if parts else []
    if "program" in kinds:
        words.append(f"programs: {kinds['program']} host{'s' if kinds['program'] > 1 else ''} without storage "
                     "counters")
    return "; ".join(words)


def span_rate(rows, phase):
    """Every byte of a phase of rows over the time from its first start to its last end: (MB/s, seconds)."""
    timed = [r for r in rows if r[phase + "_span"]]
    if not timed:
        return None, None
    first = min(r[phase + "_span"][0] for r in timed)
    last = max(r[phase + "_span"][1] for r in timed)
    moved = sum(r["bytes"] for r in timed)
    return (mb_per_s(moved / (last - first)) if last > first else None), last - first


def host_figures(rows):
    """Per host that ran several streams, every byte of its streams over the span of each phase."""
    nodes = {}
    for row in rows:
        nodes.setdefault(row["node"], []).append(row)
    figures = []
    for node, streams in sorted(nodes.items(), key=lambda item: natural_key(item[0])):
        if len(streams) > 1:
            figure = {"host": node, "streams": len(streams)}
            for phase in PHASES:
                figure[phase + "_span_mb_per_s"], figure[phase + "_span_s"] = span_rate(streams, phase)
            figures.append(figure)
    return figures


def spread_of_hosts(point, rows, phase):
    """Each host's own rate in a phase: the least, the median and the most, and the slowest host named."""
    rated = [r for r in rows if r[phase + "_mb_per_s"] is not None]
    figures = {"min": None, "median": None, "max": None, "slowest": None}
    if rated:
        rates = [r[phase + "_mb_per_s"] for r in rated]
        slowest = min(rated, key=lambda r: (r[phase + "_mb_per_s"], natural_key(r["host"])))
        figures.update(min=min(rates), median=statistics.median(rates), max=max(rates), slowest=slowest["host"])
    for kind, value in figures.items():
        point[f"{phase}_host_{kind}{'' if kind == 'slowest' else '_mb_per_s'}"] = value


def aggregate(size, length, rows, minimum):
    """The aggregate of one grid point over the hosts (or streams) that measured it, but for the figures of the
    counters, which reduce() adds once the samples are read: the spans, the windows and the times at which
    the counters are wanted."""
    point = {"size_mb": size, "record_length": length, "hosts": rows,
             "together": all(r["first"] for r in rows)}
    starts = [r["start"] for r in rows if r["start"] is not None]
    point["start_skew"] = max(starts) - min(starts) if point["together"] and starts else None
    stacked = stacked_keys((r["storage_key"], r["storage"]) for r in rows)
    keys = [key for key in dict.fromkeys(r["storage_key"] for r in rows) if key not in stacked]
    point["counters"] = counters_described(keys)
    point["host_figures"] = host_figures(rows) if point["together"] else []
    point["queries"] = {}
    for phase in PHASES:
        for kind in ("span", "window", "window_program"):
            point[f"{phase}_{kind}_mb_per_s"] = None
        point[phase + "_span_s"] = point[phase + "_window_s"] = point[phase + "_last_end_s"] = None
        spread_of_hosts(point, rows, phase)
        timed = [r for r in rows if r[phase + "_span"]]
        if not point["together"] or not timed:
            continue
        point[phase + "_span_mb_per_s"], point[phase + "_span_s"] = span_rate(rows, phase)
        point[phase + "_last_end_s"] = point[phase + "_span_s"]
        first = min(r[phase + "_span"][0] for r in timed)
        opened = max(r[phase + "_span"][0] for r in timed)
        closed = min(r[phase + "_span"][1] for r in timed)
        window = closed - opened if len(timed) == len(rows) and closed > opened else None
        point[phase + "_window_s"] = window
        if window is not None and window >= 2 * minimum:
            point["queries"][phase] = (opened, closed)
        if phase == "read" and len(timed) == len(rows):
            point["queries"]["cache"] = (first, max(r["read_span"][1] for r in timed))
    point["keys"] = keys
    return point


class Reduction:
    """The counters each grid point's figures need, gathered one entry's samples at a time: per point, the
    programs' counters of each of its rows and the merged counters of each of its devices at the times of
    its windows; a device's counters, once every entry that shares it has given its samples, reduced to what
    it moved in each window."""

    def __init__(self, points):
        self.points = points
        self.merged = {}
        self.waiting = {}
        for number, point in enumerate(points):
            point["program_moved"] = {kind: [None] * len(point["hosts"]) for kind in point["queries"]}
            point["storage_moved"] = {kind: [None] * len(point["keys"]) for kind in point["queries"]}
            for row in point["hosts"]:
                self.waiting[number, row["storage_key"]] = self.waiting.get((number, row["storage_key"]), 0) + 1

    def times(self, point):
        return [t for kind in point["queries"] for t in point["queries"][kind]]

    def add(self, number, position, row, series):
        point = self.points[number]
        for slot, (kind, (opened, closed)) in enumerate(point["queries"].items()):
            column = PROGRAM["write" if kind == "write" else "read"]
            # The reads may last less than a step between samples: the cache's evidence takes all that the
            # counters moved around them, the programs' and the storage's alike.
            if series.raw and kind == "cache":
                point["program_moved"][kind][position] = series.around(column, opened, closed)
            elif series.covers(opened, closed):
                point["program_moved"][kind][position] = series.counter(column, closed) - series.counter(column, opened)
        key = row["storage_key"]
        merged = self.merged.setdefault((number, key), Merged(self.times(point)))
        merged.add(series)
        self.waiting[number, key] -= 1
        if not self.waiting[number, key]:
            self.settle(number, key, self.merged.pop((number, key)))

    def finish(self):
        """Devices some of whose rows gave no samples at all, settled with what the others gave."""
        for (number, key), merged in list(self.merged.items()):
            self.settle(number, key, merged)
        self.merged = {}

    def settle(self, number, key, merged):
        point = self.points[number]
        if key not in point["keys"]:
            return
        for slot, (kind, (opened, closed)) in enumerate(point["queries"].items()):
            column = STORAGE["write" if kind == "write" else "read"]
            moved = point["storage_moved"][kind]
            if merged.first is not None and kind == "cache":
                moved[point["keys"].index(key)] = merged.around(column, 2 * slot, 2 * slot + 1)
            elif merged.covers(opened, closed):
                moved[point["keys"].index(key)] = merged.counter(column, 2 * slot + 1) - merged.counter(column, 2 * slot)


def moved_in_all(values):
    """The bytes every series moved together, or None where one was not sampled over all of the window."""
    return None if not values or None in values else sum(values)


def reduce(point):
    """A point's figures of the counters, from what the Reduction gathered."""
    for phase in PHASES:
        if phase not in point["queries"]:
            continue
        window = point[phase + "_window_s"]
        stored = moved_in_all(point["storage_moved"][phase])
        passed = moved_in_all(point["program_moved"][phase])
        point[phase + "_window_mb_per_s"] = None if stored is None else mb_per_s(stored / window)
        point[phase + "_window_program_mb_per_s"] = None if passed is None else mb_per_s(passed / window)
    point["cache"] = None
    if "cache" in point["queries"] and not all(k[0] == "program" for k in point["keys"]):
        stored = moved_in_all(point["storage_moved"]["cache"])
        passed = moved_in_all(point["program_moved"]["cache"])
        if stored is not None and passed:
            point["cache"] = {"storage_read_bytes": stored, "program_read_bytes": passed,
                              "share": stored / passed, "cached": stored / passed < CACHED_BELOW}
    for key in ("queries", "keys", "program_moved", "storage_moved"):
        del point[key]


def row_of(host, test, run, result, out):
    """A host's figures of one grid point, its phases by the controller's clock."""
    first = run["tests"] and result is run["tests"][0]
    spans, moved = phases(result, test["chunks"], out, test.get("spans") if first else None)
    start = None if test.get("start") is None else test["start"] - test["offset"]
    row = {"host": host["host"], "node": host.get("node", host["host"]), "bytes": moved, "first": bool(first),
           "storage": test["storage"], "storage_key": storage_key(host["host"], test), "test": test["index"]}
    for phase in PHASES:
        span = spans[phase]
        if span is not None and not (finite(span[0]) and finite(span[1])):
            raise ValueError(f"the {phase} phase of {host['host']!r} in test {test['index'] + 1} spans {span[0]!r} "
                             f"to {span[1]!r}, beyond any clock")
        row[phase + "_span"] = None if span is None else (span[0] - test["offset"], span[1] - test["offset"])
        row[phase + "_bytes_per_s"] = result[phase + "_bytes_per_s"]
        row[phase + "_mb_per_s"] = mb_per_s(result[phase + "_bytes_per_s"])
    # A test's start is the measured start of its timed span; a later point of a series run in one
    # process starts with its first phase.
    row["start"] = start if first else (row["write_span"] or row["read_span"] or (None,))[0]
    return row


def rows_of(place, host):
    """Each grid point a host measured, with its figures from its output."""
    rows = []
    for test, out in place.outputs(host):
        if test.get("failed"):
            continue
        try:
            runs = parse(out, host["host"])
        except ParseError:
            continue
        if bad_grid_point(runs) is not None:
            continue
        for run in runs:
            for result in run["tests"]:
                if result["status"] == "ok":
                    rows.append((result["size_mb"], result["record_length"], row_of(host, test, run, result, out)))
                else:
                    host.setdefault("no_figure", []).append(f"{result['size_mb']} MB x {result['record_length']}")
    return rows


def start_errors(host, limit):
    """Each test's measured start against its instant, and whether one may lie beyond the limit."""
    misses = [None if t.get("start") is None else t["start"] - t["offset"] - t["at"] for t in host["tests"]]
    flagged = any(m is not None and abs(m) + t["offset_error"] > limit for m, t in zip(misses, host["tests"]))
    return misses, flagged


def clock_moves(host, limit):
    """Where a host's clock moved against the controller's, by more than the limit beyond what the measurements
    may err: between two tests (test number, seconds), or during a test (its wall clock set: test number,
    seconds, "during")."""
    moves = []
    for number, (before, after) in enumerate(zip(host["tests"], host["tests"][1:]), 2):
        change = after["offset"] - before["offset"]
        if abs(change) - before["offset_error"] - after["offset_error"] > limit:
            moves.append((number, change))
    for number, test in enumerate(host["tests"], 1):
        steps = [drift for _, drift in test.get("steps", [])]
        if any(abs(drift) > limit for drift in steps):
            moves.append((number, max(steps, key=abs), "during"))
    return moves


def load_clients(path):
    """A dorvik-clients folder: each host's clock and start against the instant, and per grid point each host's
    rates, all bytes over the span of each phase, the bytes moved while all the hosts were in it, and the
    storage's reads against the programs'."""
    place = folders.Folder(path)
    document = place.document
    limit = document["skew_limit"]
    minimum = document.get("sample_seconds", SAMPLE_SECONDS)
    points, starts = {}, {}
    for host in document["hosts"]:
        misses, host["flagged"] = start_errors(host, limit)
        host["clock_moved"] = clock_moves(host, limit)
        host["skew"] = misses[0] if misses else None
        for index, test in enumerate(host["tests"]):
            if test.get("start") is not None:
                starts.setdefault(index, []).append(test["start"] - test["offset"])
        for size, length, row in rows_of(place, host):
            points.setdefault((size, length), []).append(row)
    skews = [max(s) - min(s) for s in starts.values()]
    document["start_skew"] = skews[0] if skews else None
    document["worst_test_skew"] = max(skews, default=None)
    document["points"] = [aggregate(size, length, rows, minimum) for (size, length), rows in points.items()]
    gather_counters(place, document["points"])
    for point in document["points"]:
        reduce(point)
    return document


def gather_counters(place, points):
    """The counters every point needs, one entry's samples at a time, the entries that share a device one
    after another so that each device is reduced, and let go, as soon as it can be."""
    rows = {}
    for number, point in enumerate(points):
        for position, row in enumerate(point["hosts"]):
            rows.setdefault((row["host"], row["test"]), []).append((number, position, row))
    reduction = Reduction(points)
    for host in place.hosts_by_device():
        for index, samples in place.samples(host):
            series = Series(samples)
            for number, position, row in rows.get((host["host"], index), ()):
                reduction.add(number, position, row, series)
    reduction.finish()


def partial(document):
    """What the chart of a run that did not reach its end says of it, or ""."""
    failed = sum(1 for host in document["hosts"] if host["reason"])
    if document.get("interrupted"):
        return "partial: interrupted"
    if document.get("ended") is False:
        return "partial: the controller ended before the run did"
    return f"partial: {failed} of {len(document['hosts'])} hosts failed" if failed else ""

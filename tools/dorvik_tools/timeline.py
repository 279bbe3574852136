"""The time line of a dorvik-clients folder: what the storage (each machine's
device counted once) and the programs wrote and read, apart, over time from
the first start by the controller's clock, in all and per host, and each
host's phases at their true times. Read in two passes over the entries'
samples, one entry at a time: the rates of all hosts first, then each host's
own, so that memory does not grow with the length of the run."""

import math

from . import clients, folder as folders
from .reader import PHASES, mb_per_s

# The counters of a sample by direction: storage written, storage read, programs' written, programs' read.
DIRECTIONS = (("storage", "write", 3), ("storage", "read", 4), ("program", "write", 1), ("program", "read", 2))
# The parts of a run that a chart's window averages over, by default.
CHART_WINDOWS = 200


def values_at(series, column, times):
    """A series' counter at each of the times (sorted), as counter() gives it, in one sweep."""
    stamps, values = series.columns[0], series.columns[column]
    found, at = [], 0
    for when in times:
        while at < len(stamps) and stamps[at] < when:
            at += 1
        if at == 0:
            found.append(values[0])
        elif at == len(stamps):
            found.append(values[-1])
        else:
            before = at - 1
            share = (when - stamps[before]) / (stamps[at] - stamps[before]) if stamps[at] > stamps[before] else 1.0
            found.append(values[before] + share * (values[at] - values[before]))
    return found


def grid(begin, end, step):
    """Times from begin every step; the last interval ends at end, not a whole step later."""
    count = math.ceil((end - begin) / step - 1e-9)
    return [begin + i * step for i in range(count)] + [end]


def sampled(host):
    """The tests of a host that have samples, as (index, first and last sample by the controller's clock)."""
    for test in host["tests"]:
        if "first_sample" in test:
            if test.get("first_sample") is not None:
                yield test["index"], test["first_sample"] - test["offset"], test["last_sample"] - test["offset"]
        elif test.get("samples"):
            yield test["index"], test["samples"][0][0] - test["offset"], test["samples"][-1][0] - test["offset"]


def stacked_keys(hosts):
    """The storage keys of the hosts' sampled tests that sit on another of them, counted there alone."""
    return clients.stacked_keys((clients.storage_key(host["host"], tests_by_index(host)[index]),
                                 tests_by_index(host)[index]["storage"]) for host in hosts for index, _, _ in sampled(host))


class Totals:
    """The rates of all hosts on a grid of times, each machine's device once: a device's counters gathered
    from every entry that shares it, one entry at a time, then added in as it is complete."""

    def __init__(self, place, times):
        self.times = times
        self.moved = {(kind, phase): [0.0] * (len(times) - 1) for kind, phase, _ in DIRECTIONS}
        self.members, self.left, self.merged = {}, {}, {}
        for host in place.document["hosts"]:
            for index, _, _ in sampled(host):
                key = clients.storage_key(host["host"], tests_by_index(host)[index])
                self.members[key] = self.members.get(key, 0) + 1
        self.left = dict(self.members)
        self.stacked = stacked_keys(place.document["hosts"])

    def add(self, host, index, series):
        for kind, phase, column in DIRECTIONS:
            if kind == "program":
                self.count((kind, phase), values_at(series, column, self.times))
        key = clients.storage_key(host["host"], tests_by_index(host)[index])
        if key in self.stacked:
            return
        if self.members[key] == 1:
            for kind, phase, column in DIRECTIONS[:2]:
                self.count((kind, phase), values_at(series, column, self.times))
            return
        merged = self.merged.setdefault(key, clients.Merged(self.times))
        merged.add(series)
        self.left[key] -= 1
        if not self.left[key]:
            del self.merged[key]
            for kind, phase, column in DIRECTIONS[:2]:
                self.count((kind, phase), [merged.counter(column, i) for i in range(len(self.times))])

    def count(self, direction, values):
        moved = self.moved[direction]
        for i in range(len(moved)):
            moved[i] += values[i + 1] - values[i]

    def rates(self, direction):
        return [mb_per_s(m / (self.times[i + 1] - self.times[i])) if self.times[i + 1] > self.times[i] else 0.0
                for i, m in enumerate(self.moved[direction])]


def tests_by_index(host):
    return {test["index"]: test for test in host["tests"]}


def host_spans(summary):
    """Each host's phases by the controller's clock: {host: [(start, end, phase)]}."""
    spans = {}
    for point in summary["points"]:
        for row in point["hosts"]:
            for phase in PHASES:
                if row[phase + "_span"]:
                    spans.setdefault(row["host"], []).append((*row[phase + "_span"], phase))
    return {host: sorted(set(found)) for host, found in spans.items()}


def phase_at(spans, begin, end):
    """The phase an interval lies in, or "" between phases."""
    for start, stop, phase in spans:
        if start <= begin and end <= stop:
            return phase
    return ""


class Line:
    """The time line of a folder: where it begins, its grid, and the marks of its phases and points."""

    def __init__(self, path, step=None):
        self.place = folders.Folder(path)
        self.summary = clients.load_clients(path)
        bounds = [(first, last) for host in self.place.document["hosts"] for _, first, last in sampled(host)]
        self.empty = not bounds
        if self.empty:
            return
        begin, end = min(b for b, _ in bounds), max(e for _, e in bounds)
        firsts = [r["start"] for p in self.summary["points"] for r in p["hosts"] if r["first"] and r["start"] is not None]
        self.origin = min(firsts, default=begin)
        resolution = self.summary.get("sample_seconds", clients.SAMPLE_SECONDS)
        self.step = step or max(resolution, (end - begin) / clients.TIME_LINE_POINTS)
        self.times = grid(begin, end, self.step) if end > begin else [begin]
        self.spans = host_spans(self.summary)
        stacked = stacked_keys(self.place.document["hosts"])
        keys = [clients.storage_key(h["host"], tests_by_index(h)[i]) for h in self.place.document["hosts"]
                for i, _, _ in sampled(h)]
        self.counters = clients.counters_described([key for key in keys if key not in stacked])

    def totals(self):
        """The rates of all hosts over each interval of the grid, by direction."""
        totals = Totals(self.place, self.times)
        for host in self.place.hosts_by_device():
            for index, samples in self.place.samples(host):
                totals.add(host, index, clients.Series(samples))
        return {(kind, phase): totals.rates((kind, phase)) for kind, phase, _ in DIRECTIONS}

    def host_lines(self):
        """Per host (entry), in a person's order: its rates between its samples and at its phases' starts and
        ends, as (seconds, phase, storage written, storage read, programs' written, programs' read), given as
        they are read, a test at a time."""
        for host in self.place.document["hosts"]:
            yield host["host"], self.host_line(host)

    def host_line(self, host):
        spans = self.spans.get(host["host"], [])
        for _, samples in self.place.samples(host):
            yield from self.test_line(clients.Series(samples), spans)

    def host_rates(self):
        """Per host (entry), in a person's order: the programs' MB/s written and read over each interval of
        the grid."""
        for host in self.place.document["hosts"]:
            moved = [[0.0] * (len(self.times) - 1) for _ in range(2)]
            for _, samples in self.place.samples(host):
                series = clients.Series(samples)
                for direction, column in enumerate((1, 2)):
                    values = values_at(series, column, self.times)
                    for i in range(len(self.times) - 1):
                        moved[direction][i] += values[i + 1] - values[i]
            yield host["host"], [[mb_per_s(m / (self.times[i + 1] - self.times[i]))
                                  if self.times[i + 1] > self.times[i] else 0.0 for i, m in enumerate(way)]
                                 for way in moved]

    def test_line(self, series, spans):
        stamps = series.columns[0]
        if not stamps:
            return
        inside = [t for s in spans for t in s[:2] if stamps[0] < t < stamps[-1]]
        times = sorted(set(stamps) | set(inside))
        values = [values_at(series, column, times) for _, _, column in DIRECTIONS]
        yield times[0] - self.origin, "", 0.0, 0.0, 0.0, 0.0
        for i in range(1, len(times)):
            length = times[i] - times[i - 1]
            rates = [mb_per_s((v[i] - v[i - 1]) / length) if length > 0 else 0.0 for v in values]
            yield (times[i] - self.origin, phase_at(spans, times[i - 1], times[i]), *rates)

    def marks(self):
        """Per grid point and phase, its span (first start to last end) and its window while all were active,
        with that figure; and where each grid point began."""
        marks, labels = [], []
        for point in self.summary["points"]:
            for phase in PHASES:
                spans = [r[phase + "_span"] for r in point["hosts"] if r[phase + "_span"]]
                if not spans:
                    continue
                opened, closed = max(s[0] for s in spans), min(s[1] for s in spans)
                window = (opened - self.origin, closed - self.origin) if point[phase + "_window_s"] else None
                marks.append({"phase": phase, "begin": min(s[0] for s in spans) - self.origin,
                              "end": max(s[1] for s in spans) - self.origin, "window": window,
                              "figure": point[phase + "_window_mb_per_s"]})
            starts = [r["start"] for r in point["hosts"] if r["start"] is not None]
            if starts and len(self.summary["points"]) > 1:
                labels.append((f"{point['size_mb']} MB x {point['record_length']}", min(starts) - self.origin))
        return marks, labels


COLUMNS = ("storage_write_mb_per_s", "storage_read_mb_per_s", "program_write_mb_per_s", "program_read_mb_per_s")


def time_line_rows(path):
    """The time line as rows: seconds from the first start, host, the phase a host was in, and the storage's
    and programs' MB/s written and read; all hosts first, then each host."""
    line = Line(path)
    if line.empty:
        return
    totals = line.totals()
    rates = [totals[kind, phase] for kind, phase, _ in DIRECTIONS]
    yield row(line.times[0] - line.origin, "all hosts", "", [0.0] * 4, line.counters)
    for i in range(1, len(line.times)):
        yield row(line.times[i] - line.origin, "all hosts", "", [r[i - 1] for r in rates], line.counters)
    for name, points in line.host_lines():
        for seconds, phase, *figures in points:
            yield row(seconds, name, phase, figures, None)


def row(seconds, host, phase, figures, counters):
    found = {"seconds": round(seconds, 6), "host": host, "phase": phase}
    found.update((name, round(value, 3)) for name, value in zip(COLUMNS, figures))
    found["counters"] = counters
    return found

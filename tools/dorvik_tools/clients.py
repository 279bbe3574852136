"""The arithmetic of a dorvik-clients folder: when each host's phases ran by
the controller's clock, and per grid point what the clients moved together:
all bytes over the span of a phase, and the bytes moved while every client
was in it, from the counters each client sampled."""

import os

from .reader import MEGABYTE, PHASES, ParseError, mb_per_s, parse, read_clients_file

COUNTER = {"write": 1, "read": 2}   # the column of a sample: [time, wchar, rchar]
TIME_LINE_STEP = 0.5
# How often a client samples its dorvik's counters; a window shorter than two
# samples would only spread a sample's bytes over it, and gives no figure.
SAMPLE_SECONDS = 0.1


def checked_test(value):
    """A client's record of one test, its kinds checked; ValueError for anything else."""
    numbers = (int, float)
    if not isinstance(value, dict) or not isinstance(value.get("start"), numbers) \
            or not isinstance(value.get("end"), numbers) or not isinstance(value.get("stdout"), str) \
            or not isinstance(value.get("stderr"), str) or not isinstance(value.get("status"), (int, type(None))):
        raise ValueError("a test's record lacks its times, outputs or status")
    for name, width in (("chunks", 2), ("samples", 3)):
        entries = value.get(name)
        if not isinstance(entries, list) or not all(
                isinstance(e, list) and len(e) == width and all(isinstance(x, numbers) for x in e) for e in entries):
            raise ValueError(f"a test's record has malformed {name}")
    if value["status"] is None and not isinstance(value.get("reason"), str):
        raise ValueError("a test's record gives no reason why it did not run")
    return {k: value[k] for k in ("start", "end", "status", "stdout", "stderr", "chunks", "samples", "reason")
            if k in value}


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
    return None


def arrival(chunks, text, line):
    """When the last character of a line of text reached the client, from its timestamped pieces."""
    offset = sum(len(part.encode()) + 1 for part in text.split("\n")[:line]) - 1
    for end, time in chunks:
        if end >= offset:
            return time
    return None


def phases(test, chunks, text):
    """The client's wall-clock spans (start, end) of a test's write and read phases and its bytes.

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
    return spans, moved


def counter(samples, column, when):
    """A counter at a time, straight between the samples around it."""
    if when <= samples[0][0]:
        return samples[0][column]
    for before, after in zip(samples, samples[1:]):
        if when <= after[0]:
            share = (when - before[0]) / (after[0] - before[0]) if after[0] > before[0] else 1.0
            return before[column] + share * (after[column] - before[column])
    return samples[-1][column]


def aggregate(size, length, rows):
    """The aggregate of one grid point over the hosts that measured it."""
    point = {"size_mb": size, "record_length": length, "hosts": rows}
    starts = [r["start"] for r in rows]
    point["start_skew"] = max(starts) - min(starts)
    for phase in PHASES:
        timed = [r for r in rows if r[phase + "_span"]]
        first = min((r[phase + "_span"][0] for r in timed), default=None)
        last = max((r[phase + "_span"][1] for r in timed), default=None)
        point[phase + "_span_mb_per_s"] = (mb_per_s(sum(r["bytes"] for r in timed) / (last - first))
                                           if timed and last > first else None)
        point[phase + "_span_s"] = last - first if timed else None
        opened = max((r[phase + "_span"][0] for r in timed), default=None)
        closed = min((r[phase + "_span"][1] for r in timed), default=None)
        window = closed - opened if timed and len(timed) == len(rows) and closed > opened else None
        point[phase + "_window_s"] = window
        measured = window is not None and window >= 2 * SAMPLE_SECONDS
        moved = sum(counter(r["samples"], COUNTER[phase], closed) - counter(r["samples"], COUNTER[phase], opened)
                    for r in timed) if measured else None
        point[phase + "_window_mb_per_s"] = mb_per_s(moved / window) if measured else None
    return point


def host_tests(folder, host):
    """Each test of a host with its own output, by the controller's clock."""
    try:
        with open(os.path.join(folder, host["host"] + ".out"), encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError as error:
        raise ParseError(f"{folder}: {host['host']}.out: {error.strerror}") from error
    at, shift = 0, host["offset"]
    for test in host["tests"]:
        out = text[at:at + test["out_chars"]]
        at += test["out_chars"]
        yield test, out, {"start": test["start"] - shift,
                          "samples": [[s[0] - shift, s[1], s[2]] for s in test["samples"]]}


def rows_of(folder, host):
    """Each grid point a host measured, and the samples of each of its dorvik runs."""
    rows, sampled = [], []
    for test, out, timed in host_tests(folder, host):
        sampled.append(timed["samples"])
        try:
            runs = parse(out, host["host"])
        except ParseError:
            continue
        for run in runs:
            for result in run["tests"]:
                if result["status"] != "ok":
                    continue
                spans, moved = phases(result, test["chunks"], out)
                row = {"host": host["host"], "bytes": moved, "start": timed["start"], "samples": timed["samples"]}
                for phase in PHASES:
                    span = spans[phase]
                    row[phase + "_span"] = None if span is None else (span[0] - host["offset"],
                                                                      span[1] - host["offset"])
                    row[phase + "_bytes_per_s"] = result[phase + "_bytes_per_s"]
                    row[phase + "_mb_per_s"] = mb_per_s(result[phase + "_bytes_per_s"])
                if run["mode"] != "single":
                    # One run for the whole series: a test starts with its first phase.
                    row["start"] = (row["write_span"] or row["read_span"] or (row["start"],))[0]
                rows.append((result["size_mb"], result["record_length"], row))
    return rows, sampled


def start_errors(host, limit):
    """Each test's start against its instant, and whether one may lie beyond the limit."""
    misses = [test["start"] - host["offset"] - test["at"] for test in host["tests"]]
    flagged = any(abs(m) + host["offset_error"] > limit for m in misses)
    return misses, flagged


def load_clients(folder):
    """A dorvik-clients folder: each host's clock and start against the instant, and per grid point each host's
    rates, all bytes over the span of each phase, and the bytes moved while all the hosts were in it."""
    document = read_clients_file(folder)
    points, starts = {}, {}
    for host in document["hosts"]:
        misses, host["flagged"] = start_errors(host, document["skew_limit"]) if host["tests"] else ([], False)
        host["skew"] = misses[0] if misses else None
        for index, test in enumerate(host["tests"]):
            starts.setdefault(index, []).append(test["start"] - host["offset"])
        rows, host["sampled"] = rows_of(folder, host)
        for size, length, row in rows:
            points.setdefault((size, length), []).append(row)
    skews = [max(s) - min(s) for s in starts.values()]
    document["start_skew"] = skews[0] if skews else None
    document["worst_test_skew"] = max(skews, default=None)
    document["points"] = [aggregate(size, length, rows) for (size, length), rows in points.items()]
    return document


def time_line(document):
    """Per host and in all, MB/s over time from the first start, and when each phase ran on any host."""
    tests = [(host["host"], samples) for host in document["hosts"] for samples in host["sampled"] if samples]
    if not tests:
        return None
    origin = min(samples[0][0] for _, samples in tests)
    hosts = {}
    for name, samples in tests:
        line = hosts.setdefault(name, [])
        # Each point is the rate over the interval that ends at it (gnuplot's fsteps); a test's
        # first sample starts its line from nothing moved.
        line.append((samples[0][0] - origin, 0.0))
        for before, after in zip(samples, samples[1:]):
            if after[0] > before[0]:
                moved = after[1] - before[1] + after[2] - before[2]
                line.append((after[0] - origin, mb_per_s(moved / (after[0] - before[0]))))
    end = max(samples[-1][0] for _, samples in tests)
    steps = int((end - origin) / TIME_LINE_STEP) + 1
    total = [(0.0, 0.0)]
    for step in range(steps):
        # The last interval ends with the last sample, not a whole step later.
        left, right = origin + step * TIME_LINE_STEP, min(end, origin + (step + 1) * TIME_LINE_STEP)
        if right <= left:
            break
        moved = sum(counter(s, 1, right) + counter(s, 2, right) - counter(s, 1, left) - counter(s, 2, left)
                    for _, s in tests if s[0][0] < right and s[-1][0] > left)
        total.append((right - origin, mb_per_s(moved / (right - left))))
    marks = []
    for point in document["points"]:
        for phase in PHASES:
            spans = [r[phase + "_span"] for r in point["hosts"] if r[phase + "_span"]]
            if spans:
                marks.append((phase, min(s[0] for s in spans) - origin, max(s[1] for s in spans) - origin))
    return {"hosts": sorted(hosts.items()), "total": total, "marks": marks}

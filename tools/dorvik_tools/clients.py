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
and per grid point a figure of its own over its streams. A folder of format 2
holds [time, written, read] only, and is read as the programs' counters."""

import bisect
import math
import os
import re

from .reader import MEGABYTE, PHASES, ParseError, mb_per_s, parse, read_clients_file

# The columns of a sample, per phase: the program's and the storage's.
PROGRAM = {"write": 1, "read": 2}
STORAGE = {"write": 3, "read": 4}
# How often a client samples its counters (more often costs it more than 1% of
# a core); a window shorter than two samples would only spread a sample's bytes
# over it, and gives no figure.
SAMPLE_SECONDS = 0.02
# How often the clients of format 2 sampled.
FORMAT_2_SAMPLE_SECONDS = 0.1
# The most points of the all-hosts time line; a longer run takes longer steps.
TIME_LINE_POINTS = 20000
# What dorvik takes for a record length, and so what its output may hold.
RECORD_LENGTHS = (16, 131073)
KINDS = {"block": "block device", "nfs": "NFS mount", "program": "program counters"}


def natural_key(name):
    """A name as a person sorts it: its runs of digits by their value (127.0.0.2 before 127.0.0.10, n2
    before n10), the rest as text."""
    return [(0, int(part), part) if part.isdigit() else (1, 0, part) for part in re.split(r"([0-9]+)", name)]


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
    return {k: value[k] for k in ("kind", "device", "name", "machine")}


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
    if len(test["samples"]) < 2:
        return "sent fewer than two samples of its counters"
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


def columns(samples):
    """Samples as their columns: times, then each counter; a counter never goes back."""
    result = [list(column) for column in zip(*samples)] if samples else [[] for _ in range(5)]
    for column in result[1:]:
        for i in range(1, len(column)):
            column[i] = max(column[i], column[i - 1])
    return result


def covers(samples, opened, closed):
    return bool(samples[0]) and samples[0][0] <= opened and samples[0][-1] >= closed


def moved_between(series, column, opened, closed):
    """The bytes that a set of counter series moved between two times, or None where one was not sampled
    over all of it."""
    if not all(covers(s, opened, closed) for s in series):
        return None
    return sum(counter(s, column, closed) - counter(s, column, opened) for s in series)


def storage_key(host, test):
    """What identifies a storage's counters: the machine and the device; a program's are its own."""
    storage = test["storage"]
    if storage["kind"] == "program":
        return ("program", host, test["index"])
    return (storage["kind"], storage["machine"], storage["device"])


def storage_series(rows):
    """The storage counters under the rows, one series per machine and device, the samples of every host
    that shares it merged in time; and a word on each kind."""
    groups = {}
    for row in rows:
        groups.setdefault(row["storage_key"], []).extend(row["samples"])
    series = [columns(sorted(samples)) for samples in groups.values()]
    return series, counters_described(groups)


def counters_described(groups):
    """Which counters a figure comes from: e.g. "storage: 1 block device", "programs: 2 hosts"."""
    kinds = {}
    for key in set(key[:2] if key[0] == "program" else key for key in groups):
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


def aggregate(size, length, rows, minimum):
    """The aggregate of one grid point over the hosts (or streams) that measured it."""
    point = {"size_mb": size, "record_length": length, "hosts": rows,
             "together": all(r["first"] for r in rows)}
    starts = [r["start"] for r in rows if r["start"] is not None]
    point["start_skew"] = max(starts) - min(starts) if point["together"] and starts else None
    series, point["counters"] = storage_series(rows)
    point["host_figures"] = host_figures(rows) if point["together"] else []
    for phase in PHASES:
        for kind in ("span", "window", "window_program"):
            point[f"{phase}_{kind}_mb_per_s"] = None
        point[phase + "_span_s"] = point[phase + "_window_s"] = None
        timed = [r for r in rows if r[phase + "_span"]]
        if not point["together"] or not timed:
            continue
        point[phase + "_span_mb_per_s"], point[phase + "_span_s"] = span_rate(rows, phase)
        opened = max(r[phase + "_span"][0] for r in timed)
        closed = min(r[phase + "_span"][1] for r in timed)
        window = closed - opened if len(timed) == len(rows) and closed > opened else None
        point[phase + "_window_s"] = window
        if window is None or window < 2 * minimum:
            continue
        stored = moved_between(series, STORAGE[phase], opened, closed)
        passed = moved_between([columns(r["samples"]) for r in rows], PROGRAM[phase], opened, closed)
        point[phase + "_window_mb_per_s"] = None if stored is None else mb_per_s(stored / window)
        point[phase + "_window_program_mb_per_s"] = None if passed is None else mb_per_s(passed / window)
    return point


def as_format_3(document):
    """A folder of format 2 read as one of format 3: its counters the programs', its clock measured once,
    its starts the clients' wake-up."""
    if document.get("format") == 3:
        return document
    for host in document["hosts"]:
        for index, test in enumerate(host["tests"]):
            test.update(index=index, offset=host["offset"], offset_error=host["offset_error"],
                        storage={"kind": "program", "device": "", "name": "", "machine": ""},
                        samples=[[s[0], s[1], s[2], s[1], s[2]] for s in test["samples"]])
    document["sample_seconds"] = FORMAT_2_SAMPLE_SECONDS
    return document


def host_tests(folder, host):
    """Each test of a host with its own output and its samples by the controller's clock."""
    try:
        with open(os.path.join(folder, host["host"] + ".out"), encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError as error:
        raise ParseError(f"{folder}: {host['host']}.out: {error.strerror}") from error
    at = 0
    for test in host["tests"]:
        out = text[at:at + test["out_chars"]]
        at += test["out_chars"]
        # Moved to the controller's clock where they lie: a run of many hosts is not kept twice.
        for sample in test["samples"]:
            sample[0] -= test["offset"]
        yield test, out, test["samples"]


def row_of(host, test, run, result, out, samples):
    """A host's figures of one grid point, its phases by the controller's clock."""
    spans, moved = phases(result, test["chunks"], out)
    first = run["tests"] and result is run["tests"][0]
    start = None if test.get("start") is None else test["start"] - test["offset"]
    row = {"host": host["host"], "node": host.get("node", host["host"]), "bytes": moved, "samples": samples, "first": bool(first),
           "storage": test["storage"], "storage_key": storage_key(host["host"], test)}
    for phase in PHASES:
        span = spans[phase]
        row[phase + "_span"] = None if span is None else (span[0] - test["offset"], span[1] - test["offset"])
        row[phase + "_bytes_per_s"] = result[phase + "_bytes_per_s"]
        row[phase + "_mb_per_s"] = mb_per_s(result[phase + "_bytes_per_s"])
    # A test's start is the measured start of its timed span; a later point of a series run in one
    # process starts with its first phase.
    row["start"] = start if first else (row["write_span"] or row["read_span"] or (None,))[0]
    return row


def rows_of(folder, host):
    """Each grid point a host measured, and the samples of each of its tests by the controller's clock."""
    rows, sampled = [], []
    for test, out, samples in host_tests(folder, host):
        sampled.append({"samples": samples, "storage_key": storage_key(host["host"], test),
                        "index": test["index"]})
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
                    rows.append((result["size_mb"], result["record_length"],
                                 row_of(host, test, run, result, out, samples)))
                else:
                    host.setdefault("no_figure", []).append(f"{result['size_mb']} MB x {result['record_length']}")
    return rows, sampled


def start_errors(host, limit):
    """Each test's measured start against its instant, and whether one may lie beyond the limit."""
    misses = [None if t.get("start") is None else t["start"] - t["offset"] - t["at"] for t in host["tests"]]
    flagged = any(m is not None and abs(m) + t["offset_error"] > limit for m, t in zip(misses, host["tests"]))
    return misses, flagged


def clock_moves(host, limit):
    """Where a host's clock moved against the controller's between two tests by more than the limit beyond
    what the two measurements may err: (test number, seconds)."""
    moves = []
    for number, (before, after) in enumerate(zip(host["tests"], host["tests"][1:]), 2):
        change = after["offset"] - before["offset"]
        if abs(change) - before["offset_error"] - after["offset_error"] > limit:
            moves.append((number, change))
    return moves


def load_clients(folder):
    """A dorvik-clients folder: each host's clock and start against the instant, and per grid point each host's
    rates, all bytes over the span of each phase, and the bytes moved while all the hosts were in it."""
    document = as_format_3(read_clients_file(folder))
    document["hosts"].sort(key=lambda host: natural_key(host["host"]))
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
        rows, host["sampled"] = rows_of(folder, host)
        for size, length, row in rows:
            points.setdefault((size, length), []).append(row)
    skews = [max(s) - min(s) for s in starts.values()]
    document["start_skew"] = skews[0] if skews else None
    document["worst_test_skew"] = max(skews, default=None)
    document["points"] = [aggregate(size, length, rows, minimum) for (size, length), rows in points.items()]
    return document


def rates(series, columns_of, times):
    """The MB/s over each interval between successive times, summed over counter series."""
    moved = [0.0] * (len(times) - 1)
    for samples in series:
        values = [sum(counter(samples, c, t) for c in columns_of) for t in times]
        for i in range(len(moved)):
            moved[i] += values[i + 1] - values[i]
    return [mb_per_s(m / (times[i + 1] - times[i])) if times[i + 1] > times[i] else 0.0 for i, m in enumerate(moved)]


def grid(begin, end, step):
    """Times from begin every step; the last interval ends at end, not a whole step later."""
    count = math.ceil((end - begin) / step - 1e-9)
    return [begin + i * step for i in range(count)] + [end]


def host_lines(tests):
    """Per host, the rate over each interval between its samples: (time, storage MB/s, programs' MB/s); a test's
    first sample starts its line from nothing moved."""
    lines = {}
    for name, test in tests:
        line = lines.setdefault(name, [])
        samples = columns(test["samples"])
        times = samples[0]
        line.append((times[0], 0.0, 0.0))
        if len(times) > 1:
            line += zip(times[1:], rates([samples], (3, 4), times), rates([samples], (1, 2), times))
    return lines


def partial(document):
    """What the chart of a run that did not reach its end says of it, or ""."""
    failed = sum(1 for host in document["hosts"] if host["reason"])
    if document.get("interrupted"):
        return "partial: interrupted"
    return f"partial: {failed} of {len(document['hosts'])} hosts failed" if failed else ""


def time_line(document):
    """Per host and in all, MB/s over time from the first start by the controller's clock, from the storage's
    counters and the programs'; the span of each phase on any host; where each grid point began."""
    tests = [(host["host"], t) for host in document["hosts"] for t in host["sampled"] if t["samples"]]
    if not tests:
        return None
    firsts = [r["start"] for p in document["points"] for r in p["hosts"] if r["first"] and r["start"] is not None]
    origin = min(firsts, default=min(t["samples"][0][0] for _, t in tests))
    begin = min(t["samples"][0][0] for _, t in tests)
    end = max(t["samples"][-1][0] for _, t in tests)
    step = max(document.get("sample_seconds", SAMPLE_SECONDS), (end - begin) / TIME_LINE_POINTS)
    times = grid(begin, end, step) if end > begin else [begin]
    groups = {}
    for _, test in tests:
        groups.setdefault(test["storage_key"], []).extend(test["samples"])
    storage = [columns(sorted(samples)) for samples in groups.values()]
    programs = [columns(test["samples"]) for _, test in tests]
    total = [(times[0] - origin, 0.0, 0.0)] + [
        (t - origin, s, p) for t, s, p in zip(times[1:], rates(storage, (3, 4), times), rates(programs, (1, 2), times))]
    hosts = {name: [(t - origin, s, p) for t, s, p in line] for name, line in host_lines(tests).items()}
    marks, labels = [], []
    for point in document["points"]:
        for phase in PHASES:
            spans = [r[phase + "_span"] for r in point["hosts"] if r[phase + "_span"]]
            if spans:
                marks.append((phase, min(s[0] for s in spans) - origin, max(s[1] for s in spans) - origin))
        starts = [r["start"] for r in point["hosts"] if r["start"] is not None]
        if starts and len(document["points"]) > 1:
            labels.append((f"{point['size_mb']} MB x {point['record_length']}", min(starts) - origin))
    return {"hosts": sorted(hosts.items(), key=lambda item: natural_key(item[0])), "total": total, "marks": marks, "labels": labels,
            "counters": counters_described(groups), "partial": partial(document)}


def time_line_rows(document):
    """The time line as rows: seconds from the first start, host, and the storage's and programs' MB/s."""
    line = time_line(document)
    if line is None:
        return
    for name, points in [("all hosts", line["total"])] + line["hosts"]:
        counters = line["counters"] if name == "all hosts" else None
        for seconds, storage, program in points:
            yield {"seconds": round(seconds, 6), "host": name, "storage_mb_per_s": round(storage, 3),
                   "program_mb_per_s": round(program, 3), "counters": counters}

"""The arithmetic of a dorvik-clients folder: when each host's phases ran,
and per grid point what the clients moved together."""

import os

from .reader import MEGABYTE, host_runs, mb_per_s, read_clients_file


def arrival(chunks, text, line):
    """When the last character of a line of text reached the client, from its timestamped pieces."""
    offset = sum(len(part.encode()) + 1 for part in text.split("\n")[:line]) - 1
    for end, time in chunks:
        if end >= offset:
            return time
    return None


def phases(run, test, chunks, text):
    """The wall-clock spans (start, end) of a test's write and read phases and its bytes.

    A single test prints each phase's seconds right after it ends; a series
    prints a row after the read, and the rates give each phase's length."""
    if "read_line" in test:
        ends = {p: arrival(chunks, text, test[p + "_line"]) if p + "_line" in test else None for p in ("write", "read")}
        lengths = {p: test.get(p + "_seconds") for p in ("write", "read")}
        moved = test["bytes"]
    else:
        moved = test["size_mb"] * MEGABYTE // test["record_length"] * test["record_length"]
        end = arrival(chunks, text, test["line"])
        lengths = {p: moved / test[p + "_bytes_per_s"] if test[p + "_bytes_per_s"] else None for p in ("write", "read")}
        ends = {"read": end, "write": None if end is None else end - lengths["read"]}
    spans = {p: (ends[p] - lengths[p], ends[p]) if ends[p] is not None and lengths[p] else None
             for p in ("write", "read")}
    return spans, moved


def aggregate(size, length, rows):
    """The aggregate of one grid point over the hosts that measured it."""
    point = {"size_mb": size, "record_length": length, "hosts": rows}
    for phase in ("write", "read"):
        rates = [r[phase + "_bytes_per_s"] for r in rows if r[phase + "_bytes_per_s"]]
        spans = [r[phase + "_span"] for r in rows if r[phase + "_span"]]
        point[phase + "_sum_mb_per_s"] = mb_per_s(sum(rates)) if rates else None
        first, last = (min(s[0] for s in spans), max(s[1] for s in spans)) if spans else (None, None)
        together = (min(s[1] for s in spans) - max(s[0] for s in spans)) if spans else None
        point[phase + "_span_mb_per_s"] = (mb_per_s(sum(r["bytes"] for r in rows if r[phase + "_span"])
                                                    / (last - first)) if spans and last > first else None)
        point[phase + "_overlap"] = max(0.0, together) / (last - first) if spans and last > first else None
        point[phase + "_start_skew"] = (max(s[0] for s in spans) - first) if spans else None
    return point


def load_clients(folder):
    """A dorvik-clients folder: each host's start against the common instant, and per grid point each
    host's rates, the sum of the rates, all bytes over the span of each phase and how far the phases overlapped."""
    document = read_clients_file(folder)
    points = {}
    for host in document["hosts"]:
        host["skew"] = None if host["start"] is None else host["start"] - document["at"]
        host["flagged"] = host["skew"] is not None and abs(host["skew"]) > document["skew_limit"]
        path = os.path.join(folder, host["host"] + ".out")
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        for run in host_runs(folder, host):
            for test in run["tests"]:
                if test["status"] != "ok":
                    continue
                spans, moved = phases(run, test, host["chunks"], text)
                row = {"host": host["host"], "bytes": moved, "write_span": spans["write"], "read_span": spans["read"]}
                for phase in ("write", "read"):
                    row[phase + "_bytes_per_s"] = test[phase + "_bytes_per_s"]
                    row[phase + "_mb_per_s"] = mb_per_s(test[phase + "_bytes_per_s"])
                points.setdefault((test["size_mb"], test["record_length"]), []).append(row)
    starts = [h["start"] for h in document["hosts"] if h["start"] is not None]
    document["start_skew"] = max(starts) - min(starts) if starts else None
    document["points"] = [aggregate(size, length, rows) for (size, length), rows in points.items()]
    return document

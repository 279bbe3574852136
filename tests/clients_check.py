#!/usr/bin/env python3
"""Checks of a dorvik-clients folder against a truth the case knows; each
prints "same" (or what differs) so that a case can expect one line.
  clients_check.py chart FOLDER SCRIPT    the chart's lines hold the bytes of the counters, each host's
                                          its own reads and writes; its shaded phases are the spans
  clients_check.py device FOLDER MAJ:MIN BEFORE AFTER
                                          the storage's counters are those of the device (BEFORE and
                                          AFTER: its stat file before and after the run), counted once
  clients_check.py reads FOLDER           the programs' counters of a run that only read: reads, no writes
  clients_check.py phases FOLDER          each host's write phase ends before its read begins, and begins
                                          no earlier than its test's measured start
  clients_check.py streams FOLDER K       K streams per host, each on a file of its own (its name ending in
                                          .N), every stream's dorvik started before the instant and its
                                          measured start within the skew limit of it
  clients_check.py barrier FOLDER [window]  in every test every host's read began after every host's write
                                          ended (and with window, the reads were all active over half their
                                          span at least)
  clients_check.py between FOLDER TIMES   the command between the phases ran (at the times in the file
                                          TIMES, one a test) after every write ended and before any read began
  clients_check.py timeline FOLDER        the all-hosts storage rates of dorvik-report --timeline are those of
                                          every host's samples of a device merged in time, counted once
  clients_check.py rig FOLDER             on the device of 50 MiB/s: both phases' figures while all were active
                                          within 15% of it, the reads all active over half their span at
                                          least, the time line's storage columns each over all the bytes"""
import csv
import io
import json
import os
import re
import subprocess
import sys

MEGABYTE = 1048576
SOURCE = os.environ.get("SOURCE", os.path.join(os.path.dirname(os.path.realpath(__file__)), ".."))


def document(folder):
    with open(os.path.join(folder, "clients.json"), encoding="utf-8") as f:
        return json.load(f)


def samples_file(folder, host):
    """The samples of a host of a folder of format 4, per test."""
    found = {}
    with open(os.path.join(folder, host + ".samples"), encoding="ascii") as f:
        for line in f:
            index, *values = line.split()
            found.setdefault(int(index), []).append([float(values[0])] + [int(v) for v in values[1:]])
    return found


def tests(folder):
    """Each (host, test) of a folder, with the test's samples, wherever the folder keeps them."""
    found = []
    for host in document(folder)["hosts"]:
        kept = samples_file(folder, host["host"]) if document(folder).get("format") == 4 else {}
        for test in host["tests"]:
            if "samples" not in test or isinstance(test["samples"], int):
                test["samples"] = kept.get(test["index"], [])
            found.append((host["host"], test))
    return found


def moved(samples, columns):
    return (sum(samples[-1][c] for c in columns) - sum(samples[0][c] for c in columns)) / MEGABYTE


def storage_moved(folder, column):
    """Per machine and device, what one of its counters moved over all its samples; a program's counters each
    alone."""
    groups = {}
    for number, (host, test) in enumerate(tests(folder)):
        storage = test.get("storage", {"kind": "program"})
        key = number if storage["kind"] == "program" else (storage["machine"], storage["device"])
        used = column if len(test["samples"][0]) == 5 else column - 2
        groups.setdefault(key, []).extend(s[used] for s in test["samples"])
    return sum(max(v) - min(v) for v in groups.values()) / MEGABYTE


def drawn(script, name, column=1):
    """The MB under a line of a chart's script, its points the two ends of each step: (seconds, rate...)."""
    block = script.split(f"${name} << EOD\n")[1].split("EOD")[0].strip().split("\n")
    points = [[float(x) for x in line.split()] for line in block]
    return sum(b[column] * (b[0] - a[0]) for a, b in zip(points[::2], points[1::2]))


def near(a, b, share=2e-3):
    return abs(a - b) <= share * max(abs(a), abs(b), 1e-9)


def spans(folder):
    """The seconds of each phase's span, per grid point, as dorvik-report gives them."""
    report = subprocess.run([os.path.join(SOURCE, "tools/dorvik-report"), folder], capture_output=True, text=True,
                            check=True).stdout
    rows = [r for r in csv.DictReader(io.StringIO(report)) if r["host"] == "all bytes / span"]
    return sorted(float(r[p + "_seconds"]) for r in rows for p in ("write", "read") if r[p + "_seconds"])


def chart(folder, script_path):
    """Each line of the chart holds the bytes of its counters: the storage's written and read, each device once,
    the programs', and each host's; the lightly shaded phases are their spans, first start to last end."""
    with open(script_path, encoding="utf-8") as f:
        script = f.read()
    hosts = sorted({h for h, _ in tests(folder)})
    wrong = []
    for phase, storage, program in (("write", 3, 1), ("read", 4, 2)):
        truth = [storage_moved(folder, storage), sum(moved(t["samples"], (program,)) for _, t in tests(folder))]
        lines = [drawn(script, f"all_{phase}", 1), drawn(script, f"all_{phase}", 2)]
        if len(hosts) <= 8:
            truth += [sum(moved(t["samples"], (program,)) for h, t in tests(folder) if h == host) for host in hosts]
            lines += [drawn(script, f"host_{phase}_{i}") for i in range(len(hosts))]
        wrong += [(phase, i, d, t) for i, (d, t) in enumerate(zip(lines, truth)) if not near(d, t)]
    rects = sorted(float(e) - float(b) for b, e in re.findall(
        r"set object rect from ([-0-9.]+), graph 0 to ([-0-9.]+), graph 1 fc rgb '#(?:dbe6f4|f6e3d3)'", script))
    wrong += [("phase", r, s) for r, s in zip(rects, spans(folder)) if abs(r - s) > 0.002]
    print("same" if not wrong and len(rects) == len(spans(folder)) else wrong or (rects, spans(folder)))


def stat_bytes(text):
    fields = text.split()
    return int(fields[6]) * 512, int(fields[2]) * 512


def device(folder, number, before_path, after_path):
    with open(before_path, encoding="ascii") as f:
        before = stat_bytes(f.read())
    with open(after_path, encoding="ascii") as f:
        after = stat_bytes(f.read())
    wrong = []
    for host, test in tests(folder):
        storage, last = test["storage"], test["samples"][-1]
        if storage["kind"] != "block" or storage["device"] != number:
            wrong.append((host, storage))
        # Each host's last sample comes after its own file reached the device and was read back.
        if not before[0] + 8 * MEGABYTE <= last[3] <= after[0] or not before[1] + 8 * MEGABYTE <= last[4] <= after[1]:
            wrong.append((host, "counters", before, last, after))
    line = subprocess.run([os.path.join(SOURCE, "tools/dorvik-report"), "--timeline", folder], capture_output=True,
                          text=True, check=True).stdout
    rows = [r for r in csv.DictReader(io.StringIO(line)) if r["host"] == "all hosts"]
    area = sum((float(b["storage_write_mb_per_s"]) + float(b["storage_read_mb_per_s"])) *
               (float(b["seconds"]) - float(a["seconds"])) for a, b in zip(rows, rows[1:]))
    device_moved = (after[0] - before[0] + after[1] - before[1]) / MEGABYTE
    if not 32 <= area <= device_moved * 1.001:
        wrong.append(("all hosts", area, device_moved))
    print("same" if not wrong else wrong)


def reads(folder):
    wrong = [(h, moved(t["samples"], (1,)), moved(t["samples"], (2,))) for h, t in tests(folder)
             if not (moved(t["samples"], (1,)) < 1 <= moved(t["samples"], (2,)))]
    print("same" if not wrong else wrong)


def phases(folder):
    report = subprocess.run([os.path.join(SOURCE, "tools/dorvik-report"), "--format", "json", folder],
                            capture_output=True, text=True, check=True).stdout
    wrong, count = [], 0
    for point in json.loads(report)["clients"][0]["points"]:
        for row in point["hosts"]:
            write, read = row["write_span"], row["read_span"]
            if write and read:
                count += 1
                if write[1] > read[0] + 0.001 or (row["first"] and write[0] < row["start"] - 0.001):
                    wrong.append((point["size_mb"], point["record_length"], row["host"], write, read, row["start"]))
    print("same" if count and not wrong else wrong or "no phases")


def streams(folder, count):
    summary = document(folder)
    wrong, files = [], set()
    for host in summary["hosts"]:
        name = f"{host['node']}#{host['stream']}"
        with open(os.path.join(folder, name + ".out"), encoding="utf-8") as f:
            written = re.findall(r"Megabyte file, '([^']*)'", f.read())
        if host["host"] != name or [w.rsplit(".", 1)[-1] for w in written] != [str(host["stream"])] * len(written):
            wrong.append((host["host"], written))
        files.update(written)
        for test in host["tests"]:
            if not test["spawned"] - test["offset"] < test["at"]:
                wrong.append((host["host"], "started after the instant", test["spawned"] - test["offset"] - test["at"]))
            if abs(test["start"] - test["offset"] - test["at"]) > summary["skew_limit"]:
                wrong.append((host["host"], "late", test["start"] - test["offset"] - test["at"]))
    nodes = {host["node"] for host in summary["hosts"]}
    if summary["streams"] != int(count) or len(files) != len(nodes) * int(count) or len(summary["hosts"]) != len(files):
        wrong.append((summary["streams"], len(files), len(summary["hosts"])))
    print("same" if not wrong else wrong)


def by_controller(test, span):
    return span[0] - test["offset"], span[1] - test["offset"]


def barrier(folder, window=None):
    summary, wrong = document(folder), []
    for index in range(len(summary["tests"])):
        spans = [by_controller(t, t["spans"][p]) for h in summary["hosts"] for t in h["tests"]
                 if t["index"] == index for p in ("write", "read") if p in t["spans"]]
        writes = [by_controller(t, t["spans"]["write"]) for h in summary["hosts"] for t in h["tests"]
                  if t["index"] == index]
        reads = [by_controller(t, t["spans"]["read"]) for h in summary["hosts"] for t in h["tests"]
                 if t["index"] == index]
        if not spans or max(w[1] for w in writes) > min(r[0] for r in reads):
            wrong.append((index, writes, reads))
    report = subprocess.run([os.path.join(SOURCE, "tools/dorvik-report"), folder], capture_output=True, text=True,
                            check=True).stdout
    rows = list(csv.DictReader(io.StringIO(report)))
    for span, active in zip((r for r in rows if r["host"] == "all bytes / span"),
                            (r for r in rows if r["host"] == "while all were active")):
        if window and (not active["read_seconds"] or float(active["read_seconds"]) < 0.5 * float(span["read_seconds"])):
            wrong.append(("read window", active["read_seconds"], span["read_seconds"]))
    print("same" if not wrong else wrong)


def between(folder, times_path):
    summary, wrong = document(folder), []
    with open(times_path, encoding="ascii") as f:
        times = [float(t) for t in f.read().split()]
    for index, when in enumerate(times):
        tests = [t for h in summary["hosts"] for t in h["tests"] if t["index"] == index]
        last_write = max(by_controller(t, t["spans"]["write"])[1] for t in tests)
        first_read = min(by_controller(t, t["spans"]["read"])[0] for t in tests)
        if not last_write <= when <= first_read:
            wrong.append((index, last_write, when, first_read))
    print("same" if times and not wrong else wrong or "no times")


def merged_counter(samples, column, when):
    """A device's counter at a time from the samples of every host on it, sorted together, each counter carried
    on at the most it had reached."""
    ordered = sorted(samples)
    times = [s[0] for s in ordered]
    values, most = [], 0
    for s in ordered:
        most = max(most, s[column]) if values else s[column]
        values.append(most)
    at = next((i for i, t in enumerate(times) if t >= when), len(times))
    if at == 0:
        return values[0]
    if at == len(times):
        return values[-1]
    share = (when - times[at - 1]) / (times[at] - times[at - 1]) if times[at] > times[at - 1] else 1.0
    return values[at - 1] + share * (values[at] - values[at - 1])


def timeline(folder):
    line = subprocess.run([os.path.join(SOURCE, "tools/dorvik-report"), "--timeline", folder], capture_output=True,
                          text=True, check=True).stdout
    rows = [r for r in csv.DictReader(io.StringIO(line)) if r["host"] == "all hosts"]
    groups, origin = {}, None
    for number, (host, test) in enumerate(tests(folder)):
        storage = test["storage"]
        key = number if storage["kind"] == "program" else (storage["machine"], storage["device"])
        groups.setdefault(key, []).extend([[s[0] - test["offset"]] + s[1:] for s in test["samples"]])
        start = test["start"] - test["offset"]
        origin = start if origin is None else min(origin, start)
    wrong = []
    for a, b in zip(rows, rows[1:]):
        begin, end = origin + float(a["seconds"]), origin + float(b["seconds"])
        for name, column in (("storage_write_mb_per_s", 3), ("storage_read_mb_per_s", 4)):
            moved = sum(merged_counter(g, column, end) - merged_counter(g, column, begin) for g in groups.values())
            if abs(moved / (end - begin) / MEGABYTE - float(b[name])) > 0.5 + 0.005 * float(b[name]):
                wrong.append((b["seconds"], name, b[name], moved / (end - begin) / MEGABYTE))
    print("same" if rows and not wrong else wrong[:5] or "no rows")


def rig(folder):
    """The figures of four hosts of 64 MB each on the device of 50 MiB/s."""
    report = subprocess.run([os.path.join(SOURCE, "tools/dorvik-report"), folder], capture_output=True, text=True,
                            check=True).stdout
    rows = list(csv.DictReader(io.StringIO(report)))
    active = next(r for r in rows if r["host"] == "while all were active")
    span = next(r for r in rows if r["host"] == "all bytes / span")
    for phase in ("write", "read"):
        rate = float(active[phase + "_mb_per_s"] or 0)
        print(f"{phase} while all were active within 15% of 50 MiB/s: {'yes' if abs(rate - 50) <= 7.5 else rate}")
    window, whole = float(active["read_seconds"] or 0), float(span["read_seconds"])
    print(f"read window over half the read span: {'yes' if window >= whole / 2 else (window, whole)}")
    line = subprocess.run([os.path.join(SOURCE, "tools/dorvik-report"), "--timeline", folder], capture_output=True,
                          text=True, check=True).stdout
    points = [r for r in csv.DictReader(io.StringIO(line)) if r["host"] == "all hosts"]
    for phase in ("write", "read"):
        area = sum(float(b[f"storage_{phase}_mb_per_s"]) * (float(b["seconds"]) - float(a["seconds"]))
                   for a, b in zip(points, points[1:]))
        print(f"storage {phase} over the time line within 15% of 256 MB: {'yes' if abs(area - 256) <= 38.4 else area}")


if __name__ == "__main__":
    {"chart": chart, "device": device, "reads": reads, "phases": phases, "streams": streams, "barrier": barrier,
     "between": between, "timeline": timeline, "rig": rig}[sys.argv[1]](
        *sys.argv[2:])

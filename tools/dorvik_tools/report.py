"""dorvik-report: the figures of dorvik outputs as CSV, JSON or a Markdown
table; medians of repeated runs; new runs compared with a baseline."""

import argparse
import csv
import io
import json
import os
import statistics
import sys
from fractions import Fraction

from . import clients, reader

PHASES = ("write", "read")


class UsageError(Exception):
    """Input or options that the report cannot serve; exit status 2."""


def parse_arguments():
    parser = argparse.ArgumentParser(
        prog="dorvik-report", description="Turns dorvik outputs into data (standard input when no FILE).")
    parser.add_argument("--format", choices=("csv", "json", "markdown"), default="csv")
    parser.add_argument("--median", action="store_true",
                        help="one row per grid point: median, minimum, maximum and spread of each rate")
    parser.add_argument("--baseline", action="append", default=[], metavar="FILE",
                        help="old runs to compare the FILEs with (repeatable)")
    parser.add_argument("--threshold", type=Fraction, default=Fraction(10), metavar="PERCENT",
                        help="a ratio beyond this many percent is marked (default 10)")
    parser.add_argument("files", nargs="*", metavar="FILE")
    return parser.parse_args()


def load(paths):
    runs = []
    for path in paths or ["-"]:
        runs += reader.load(path)
    return runs


def mb(value):
    return None if value is None else f"{reader.mb_per_s(float(value)):.3f}"


def test_rows(runs):
    rows = []
    for run in runs:
        for test in run["tests"]:
            row = {"host": run.get("host"), "source": run["source"], "mode": run["mode"],
                   "size_mb": test["size_mb"], "record_length": test["record_length"]}
            for phase in PHASES:
                row[phase + "_bytes_per_s"] = test[phase + "_bytes_per_s"]
            for phase in PHASES:
                row[phase + "_mb_per_s"] = mb(test[phase + "_bytes_per_s"])
            row["status"] = test["status"]
            if run["mode"] == "single":
                row.update(write_seconds=test.get("write_seconds"), read_seconds=test.get("read_seconds"))
            row["reason"] = run["reason"] if test["status"] == "incomplete" else None
            rows.append(row)
    return rows


def aggregate_rows(folder):
    """The aggregate rows of a dorvik-clients folder: per grid point, all bytes over the
    span of each phase, and the bytes moved while all hosts were in it over that window."""
    summary = clients.load_clients(folder)
    rows = []
    for point in summary["points"]:
        for host, kind in (("all bytes / span", "span"), ("while all were active", "window")):
            row = {"host": host, "source": folder, "mode": "clients", "size_mb": point["size_mb"],
                   "record_length": point["record_length"], "status": "aggregate"}
            for phase in PHASES:
                value = point[f"{phase}_{kind}_mb_per_s"]
                row[phase + "_mb_per_s"] = None if value is None else f"{value:.3f}"
            for phase in PHASES:
                seconds = point[f"{phase}_{kind}_s"]
                row[phase + "_seconds"] = None if seconds is None else f"{seconds:.6f}"
            row["start_skew_s"] = f"{point['start_skew']:.6f}"
            rows.append(row)
    return rows, summary


def point_name(point):
    mode, size, length = point
    return f"{mode} {size} MB x {length}"


def point_names(points, most=6):
    names = ", ".join(point_name(p) for p in points[:most])
    return names + (f" and {len(points) - most} more" if len(points) > most else "")


def grid(run):
    return [reader.grid_point(run, t) for t in run["tests"] if t["size_mb"] is not None]


def check_grids(runs, side=""):
    """Every run must cover the same points; the message names the ones that differ."""
    every = set().union(*(grid(run) for run in runs))
    differences = []
    for run in runs:
        missing = sorted(every - set(grid(run)))
        if missing:
            differences.append(f"{run['source']} lacks " + point_names(missing))
    if differences:
        raise UsageError(f"the {side}runs differ in their grids: " + "; ".join(differences))
    return grid(runs[0])


def reduce_to_medians(runs, side=""):
    """Per grid point and phase, the rates of the runs that measured it, in bytes per second."""
    points = check_grids(runs, side)
    rates = {point: {phase: [] for phase in PHASES} for point in points}
    for run in runs:
        for test in run["tests"]:
            if test["status"] == "ok":
                for phase in PHASES:
                    rates[reader.grid_point(run, test)][phase].append(
                        Fraction(test[phase + "_bytes_per_s"]))
    return points, rates


def median_rows(runs):
    points, rates = reduce_to_medians(runs)
    rows = []
    for point in points:
        row = dict(zip(("mode", "size_mb", "record_length"), point))
        row["runs"] = len(rates[point]["read"])
        for phase in PHASES:
            values = rates[point][phase]
            middle = statistics.median(values) if values else None
            row[phase + "_median_mb_per_s"] = mb(middle)
            row[phase + "_min_mb_per_s"] = mb(min(values) if values else None)
            row[phase + "_max_mb_per_s"] = mb(max(values) if values else None)
            row[phase + "_spread"] = (f"{float((max(values) - min(values)) / middle):.3f}"
                                      if middle else None)
        rows.append(row)
    return rows


def compare_rows(new_runs, old_runs, threshold):
    """The rows of the comparison and whether any point got worse than the threshold."""
    new_points, new_rates = reduce_to_medians(new_runs, "new ")
    old_points, old_rates = reduce_to_medians(old_runs, "baseline ")
    if set(new_points) != set(old_points):
        only_new = point_names(sorted(set(new_points) - set(old_points)))
        only_old = point_names(sorted(set(old_points) - set(new_points)))
        raise UsageError(f"new runs and baseline differ in their grids: only new: {only_new or 'none'}; "
                         f"only baseline: {only_old or 'none'}")
    limit = threshold / 100
    rows, worse = [], False
    for point in new_points:
        row = dict(zip(("mode", "size_mb", "record_length"), point))
        for phase in PHASES:
            new, old = (statistics.median(r[point][phase]) if r[point][phase] else None
                        for r in (new_rates, old_rates))
            ratio = new / old if new is not None and old else None
            mark = ""
            if ratio is not None and ratio < 1 - limit:
                mark, worse = "worse", True
            elif ratio is not None and ratio > 1 + limit:
                mark = "better"
            row.update({f"{phase}_baseline_mb_per_s": mb(old), f"{phase}_new_mb_per_s": mb(new),
                        f"{phase}_ratio": None if ratio is None else f"{float(ratio):.3f}",
                        f"{phase}_mark": mark})
        rows.append(row)
    return rows, worse


def columns(rows):
    names = []
    for row in rows:
        names += [name for name in row if name not in names]
    if all(row.get("host") is None for row in rows) and "host" in names:
        names.remove("host")
    return names


def text(value):
    return "" if value is None else str(value)


def write_csv(rows):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    names = columns(rows)
    writer.writerow(names)
    for row in rows:
        writer.writerow([text(row.get(name)) for name in names])
    sys.stdout.write(out.getvalue())


def write_markdown(rows):
    names = columns(rows)
    print("| " + " | ".join(names) + " |")
    print("|" + "---|" * len(names))
    for row in rows:
        print("| " + " | ".join(text(row.get(name)).replace("|", "\\|") for name in names) + " |")


def write_json(document):
    json.dump(document, sys.stdout, indent=2)
    sys.stdout.write("\n")


def add_rates_in_mb(runs):
    for run in runs:
        for test in run["tests"]:
            for phase in PHASES:
                value = reader.mb_per_s(test[phase + "_bytes_per_s"])
                test[phase + "_mb_per_s"] = None if value is None else round(value, 3)
    return runs


def report(options):
    runs = load(options.files)
    if options.baseline:
        rows, worse = compare_rows(runs, load(options.baseline), options.threshold)
        document = {"threshold_percent": float(options.threshold), "points": rows, "worse": worse}
    elif options.median:
        rows, worse = median_rows(runs), False
        document = {"points": rows}
    else:
        rows, worse = test_rows(runs), False
        document = {"runs": add_rates_in_mb(runs)}
        folders = [path for path in options.files if reader.is_clients_folder(path)]
        for folder in folders:
            more, summary = aggregate_rows(folder)
            rows += more
            document.setdefault("clients", []).append(summary)
    if options.format == "json":
        write_json(document)
    elif options.format == "markdown":
        write_markdown(rows)
    else:
        write_csv(rows)
    return 1 if worse else 0


def main():
    options = parse_arguments()
    try:
        return report(options)
    except (reader.ParseError, UsageError) as error:
        print(f"dorvik-report: {error}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # A reader such as head that has seen enough is no failure.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


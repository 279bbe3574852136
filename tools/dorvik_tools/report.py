"""dorvik-report: the figures of dorvik outputs as CSV, JSON or a Markdown
table; medians of repeated runs; new runs compared with old ones, point by
point, with a verdict that weighs the change against the runs' spread.

Runs are read and written one at a time; medians and comparisons keep only
the rates they need, so that memory does not grow with the number of runs."""

import argparse
import json
import os
import re
import sys
from array import array
from fractions import Fraction

from . import VERSION, clients, reader

PHASES = reader.PHASES
# Runs a side needs before its spread is taken as measured.
MEASURED = 3
USAGE_STATUS, CANNOT_COMPARE_STATUS = 2, 3


class UsageError(Exception):
    """Input or options that the report cannot serve; exit status 2."""


class CannotCompare(Exception):
    """A comparison that cannot be made: a run failed or is incomplete, or the sides differ in their
    points; exit status 3."""


def threshold(text):
    try:
        value = Fraction(text)
    except (ValueError, ZeroDivisionError) as error:
        raise argparse.ArgumentTypeError(f"not a number of percent: {text!r}") from error
    if value < 0:
        raise argparse.ArgumentTypeError(f"a threshold is not negative: {text!r}")
    return value


def split_comparison(argv):
    """The options, the old and the new files of "compare OLD... -- NEW...", or (argv, None)."""
    if "compare" not in argv:
        return argv, None
    at = argv.index("compare")
    rest = argv[at + 1:]
    if "--" not in rest or not rest[:rest.index("--")] or not rest[rest.index("--") + 1:]:
        raise UsageError("compare needs old runs and new runs: compare OLD... -- NEW...")
    old, new = rest[:rest.index("--")], rest[rest.index("--") + 1:]
    options = [word for word in old + new if word.startswith("-") and word != "-"]
    if options:
        raise UsageError(f"options go before compare: {options[0]}")
    return argv[:at], (old, new)


def parse_arguments(argv):
    argv, sides = split_comparison(argv)
    parser = argparse.ArgumentParser(
        prog="dorvik-report", description="Turns dorvik outputs into data (standard input when no FILE).",
        usage="%(prog)s [options] [FILE...]\n       %(prog)s [options] compare OLD... -- NEW...")
    parser.add_argument("--format", choices=("csv", "json", "markdown"), default="csv")
    parser.add_argument("--version", action="version", version=f"%(prog)s {VERSION}")
    parser.add_argument("--median", action="store_true",
                        help="one row per grid point: median, minimum, maximum and spread of each rate")
    parser.add_argument("--baseline", action="append", default=[], metavar="FILE",
                        help="an old run to compare the FILEs with (once per file; compare is the form for globs)")
    parser.add_argument("--threshold", type=threshold, default=Fraction(10), metavar="PERCENT",
                        help="a median beyond this many percent is a change (default 10)")
    parser.add_argument("--timeline", metavar="FOLDER",
                        help="a dorvik-clients folder's time line: MB/s per host and in all, storage and programs")
    parser.add_argument("files", nargs="*", metavar="FILE")
    options = parser.parse_args(argv)
    if sides:
        if options.baseline or options.files or options.median:
            parser.error("compare takes no --baseline, --median or FILE before it")
        options.baseline, options.files = sides
    elif len(options.baseline) == 1 and len(options.files) > 1:
        # What a glob on each side gives: before-2.txt and before-3.txt would pass for new runs.
        parser.error(f"one --baseline with {len(options.files)} new files ({reader.shown(options.files[0])} ...): "
                     "for several old runs use: dorvik-report compare OLD... -- NEW...")
    return options


def runs(paths):
    for path in paths or ["-"]:
        yield from reader.load(path)


def mb(value):
    return None if value is None else f"{reader.mb_per_s(float(value)):.3f}"


def test_rows(run):
    for test in run["tests"]:
        row = {"host": run.get("host"), "source": run["source"], "mode": run["mode"],
               "size_mb": test["size_mb"], "record_length": test["record_length"]}
        for phase in PHASES:
            row[phase + "_bytes_per_s"] = test[phase + "_bytes_per_s"]
        for phase in PHASES:
            row[phase + "_mb_per_s"] = mb(test[phase + "_bytes_per_s"])
        row["status"] = test["status"]
        row.update(write_seconds=test.get("write_seconds"), read_seconds=test.get("read_seconds"))
        row["reason"] = run["reason"] if test["status"] == "incomplete" else None
        yield row


def clients_summary(folder):
    with reader.clients_folder_errors(folder):
        return clients.load_clients(folder)


def aggregate_rows(folder, summary):
    """The aggregate rows of a dorvik-clients folder: per grid point whose tests started together, all bytes
    over the span of each phase, the bytes the storage moved while all hosts were in it over that window, and
    the bytes the programs passed to the system in it; each row names its counters."""
    for point in summary["points"]:
        if not point["together"]:
            continue
        for host, kind, counters in (("all bytes / span", "span", "programs' output"),
                                     ("while all were active", "window", point["counters"]),
                                     ("passed to the system while all were active", "window_program",
                                      "programs' counters")):
            row = {"host": host, "source": reader.shown(folder), "mode": "clients", "size_mb": point["size_mb"],
                   "record_length": point["record_length"], "status": "aggregate", "counters": counters}
            for phase in PHASES:
                value = point[f"{phase}_{kind}_mb_per_s"]
                row[phase + "_mb_per_s"] = None if value is None else f"{value:.3f}"
            for phase in PHASES:
                seconds = point[f"{phase}_{kind.split('_')[0]}_s"]
                row[phase + "_seconds"] = None if seconds is None else f"{seconds:.6f}"
            row["start_skew_s"] = None if point["start_skew"] is None else f"{point['start_skew']:.6f}"
            yield row


def point_name(point):
    mode, size, length = point
    return f"{mode} {size} MB x {length}"


def point_names(points, most=6):
    points = sorted(points)
    names = ", ".join(point_name(p) for p in points[:most])
    return names + (f" and {len(points) - most} more" if len(points) > most else "")


def measurements(path):
    """What a file or folder gives a median or a comparison, one run at a time: its source, whether it
    ran to its end and why not, its points in order, and the rates of each point that has them.
    A dorvik-clients folder is one measurement: the aggregate of all bytes over each phase's span."""
    if not reader.is_clients_folder(path):
        for number, run in enumerate(reader.load(path), 1):
            points, rates = [], {}
            for test in run["tests"]:
                if test["size_mb"] is not None:
                    point = reader.grid_point(run, test)
                    points.append(point)
                    if test["status"] == "ok":
                        rates[point] = tuple(test[p + "_bytes_per_s"] for p in PHASES)
            yield {"source": f"{run['source']} (run {number})", "complete": run["complete"],
                   "reason": run["reason"], "points": points, "rates": rates}
        return
    failed = [f"{run.get('host')}: {run['reason']}" for run in reader.load(path) if not run["complete"]]
    points, rates = [], {}
    for point in clients_summary(path)["points"]:
        key = ("clients", point["size_mb"], point["record_length"])
        points.append(key)
        figures = [point[p + "_span_mb_per_s"] for p in PHASES]
        if None not in figures:
            rates[key] = tuple(round(f * reader.MEGABYTE) for f in figures)
    yield {"source": reader.shown(path), "complete": not failed, "reason": "; ".join(failed), "points": points,
           "rates": rates}


class Side:
    """The rates of the runs on one side, per point and phase, and what the runs lack."""

    def __init__(self, name):
        self.name = name
        self.points = None        # the first run's points, in order
        self.grids = {}           # each distinct set of points: the runs that have it
        self.rates = {}
        self.failed = []

    def add(self, measurement):
        if self.points is None:
            self.points = measurement["points"]
        self.grids.setdefault(frozenset(measurement["points"]), []).append(measurement["source"])
        if not measurement["complete"]:
            self.failed.append(f"{measurement['source']}: {measurement['reason']}")
        for point, figures in measurement["rates"].items():
            per_phase = self.rates.setdefault(point, tuple(array("q") for _ in PHASES))
            for values, figure in zip(per_phase, figures):
                values.append(figure)

    def grid_differences(self):
        """Which runs lack which points that other runs of the side have."""
        every = frozenset().union(*self.grids)
        return [f"{sources[0]}{f' and {len(sources) - 1} more runs' if len(sources) > 1 else ''} lacks "
                + point_names(every - grid) for grid, sources in self.grids.items() if every - grid]

    def read(self, paths):
        for path in paths or ["-"]:
            for measurement in measurements(path):
                self.add(measurement)
        if self.points is None:
            raise UsageError(f"no runs on the {self.name} side")
        return self


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    return Fraction(ordered[middle]) if len(ordered) % 2 else Fraction(ordered[middle - 1] + ordered[middle], 2)


def median_rows(side):
    differences = side.grid_differences()
    if differences:
        raise UsageError("the runs differ in their grids: " + "; ".join(differences))
    for point in side.points:
        row = dict(zip(("mode", "size_mb", "record_length"), point))
        per_phase = side.rates.get(point, ((), ()))
        row["runs"] = len(per_phase[0])
        for phase, values in zip(PHASES, per_phase):
            middle = median(values) if values else None
            row[phase + "_median_mb_per_s"] = mb(middle)
            row[phase + "_min_mb_per_s"] = mb(min(values) if values else None)
            row[phase + "_max_mb_per_s"] = mb(max(values) if values else None)
            row[phase + "_spread"] = (f"{float((max(values) - min(values)) / middle):.3f}"
                                      if middle else None)
        yield row


def check_comparable(old, new):
    """Only whole runs over the same points compare; anything else names what is wrong."""
    problems = [f"a run failed or is incomplete: {failure}" for failure in old.failed + new.failed]
    problems += [f"the {side.name} runs differ: {difference}" for side in (old, new)
                 for difference in side.grid_differences()]
    only_old, only_new = set(old.points) - set(new.points), set(new.points) - set(old.points)
    if only_old or only_new:
        problems.append(f"the sides differ in their points: only old: {point_names(only_old) or 'none'}; "
                        f"only new: {point_names(only_new) or 'none'}")
    lacking = [point for point in old.points
               if point in new.points and (point not in old.rates or point not in new.rates)]
    if lacking:
        problems.append("no rate on one side (every run gave advice) at " + point_names(lacking))
    if problems:
        raise CannotCompare("cannot compare: " + "; ".join(problems[:6])
                            + (f"; and {len(problems) - 6} more" if len(problems) > 6 else ""))


def verdict(old, new, limit):
    """worse or better: the median moved beyond the threshold and, with at least three runs a side,
    every new run lies beyond every old one; noise: the median moved that far but the runs overlap."""
    ratio = median(new) / median(old)
    down, up = ratio < 1 - limit, ratio > 1 + limit
    if len(old) < MEASURED or len(new) < MEASURED:
        return ratio, ("worse" if down else "better" if up else "same") + ", noise not measured"
    if down and max(new) < min(old):
        return ratio, "worse"
    if up and min(new) > max(old):
        return ratio, "better"
    return ratio, "noise" if down or up else "same"


def compare_rows(old, new, limit):
    """The rows of the comparison; a row's worse is set when a phase got worse."""
    for point in old.points:
        row = dict(zip(("mode", "size_mb", "record_length"), point))
        row.update(old_runs=len(old.rates[point][0]), new_runs=len(new.rates[point][0]))
        for phase, old_values, new_values in zip(PHASES, old.rates[point], new.rates[point]):
            ratio, mark = (None, "") if not median(old_values) else verdict(old_values, new_values, limit)
            row.update({f"{phase}_baseline_mb_per_s": mb(median(old_values)),
                        f"{phase}_new_mb_per_s": mb(median(new_values)),
                        f"{phase}_ratio": None if ratio is None else f"{float(ratio):.3f}", f"{phase}_mark": mark})
        yield row


NUMBER = re.compile(r"-?\d+(\.\d+)?")


def cell(value):
    """A CSV cell that a spreadsheet takes as text when it would take it as a formula."""
    if value is None:
        return ""
    text = str(value)
    if text[:1] in ("=", "+", "-", "@", "\t", "\r") and text != "-" and not NUMBER.fullmatch(text):
        return "'" + text
    return text


def csv_field(text):
    """A field quoted where a comma, a quote or a line end (CR as well as LF) would split it."""
    if any(c in text for c in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def markdown_cell(value):
    """A table cell on one line, its pipes and backslashes escaped, its control characters shown."""
    return reader.escaped("" if value is None else str(value).replace("\\", "\\\\").replace("|", "\\|"))


class Table:
    """Rows written as they come, under columns fixed before the first."""

    def __init__(self, names, form):
        self.names, self.form, self.count = names, form, 0

    def write(self, row):
        if self.count == 0:
            self.line(self.names)
            if self.form == "markdown":
                sys.stdout.write("|" + "---|" * len(self.names) + "\n")
        self.line([row.get(name) for name in self.names])
        self.count += 1

    def line(self, values):
        if self.form == "markdown":
            sys.stdout.write("| " + " | ".join(markdown_cell(v) for v in values) + " |\n")
        else:
            sys.stdout.write(",".join(csv_field(cell(v)) for v in values) + "\n")


TEST_COLUMNS = ["source", "mode", "size_mb", "record_length", "write_bytes_per_s", "read_bytes_per_s",
                "write_mb_per_s", "read_mb_per_s", "status", "write_seconds", "read_seconds", "reason"]
AGGREGATE_COLUMNS = ["start_skew_s", "counters"]


def outputs(path):
    """The files of program output that a path names: itself, or the hosts' outputs of a clients folder."""
    if not reader.is_clients_folder(path):
        return [path]
    return [os.path.join(path, host["host"] + ".out") for host in reader.read_clients_file(path)["hosts"]]


def test_columns(paths):
    names = list(TEST_COLUMNS)
    folders = [path for path in paths if reader.is_clients_folder(path)]
    # The aggregate rows of a clients folder give their windows' lengths there.
    if not folders and not any(reader.holds_single_tests(output) for path in paths for output in outputs(path)):
        names = [n for n in names if not n.endswith("_seconds")]
    return (["host"] + names + AGGREGATE_COLUMNS) if folders else names


def with_rates_in_mb(run):
    for test in run["tests"]:
        for phase in PHASES:
            value = reader.mb_per_s(test[phase + "_bytes_per_s"])
            test[phase + "_mb_per_s"] = None if value is None else round(value, 3)
    return run


def json_run(run):
    """A run as JSON, a test to a line."""
    fields = []
    for key, value in run.items():
        if key == "tests" and value:
            fields.append('      "tests": [\n' + ",\n".join("        " + json.dumps(t) for t in value) + "\n      ]")
        else:
            fields.append(f"      {json.dumps(key)}: {json.dumps(value)}")
    return "    {\n" + ",\n".join(fields) + "\n    }"


def write_json_runs(paths):
    sys.stdout.write('{\n  "runs": [')
    for number, run in enumerate(runs(paths)):
        sys.stdout.write(("," if number else "") + "\n" + json_run(with_rates_in_mb(run)))
    sys.stdout.write("\n  ]")
    folders = [path for path in paths if reader.is_clients_folder(path)]
    if folders:
        summaries = [clients_summary(folder) for folder in folders]
        sys.stdout.write(',\n  "clients": ' + json.dumps(summaries, indent=2).replace("\n", "\n  "))
    sys.stdout.write("\n}\n")


def write_rows(rows, form, names=None):
    if form == "json":
        json.dump(list(rows), sys.stdout, indent=2)
        sys.stdout.write("\n")
        return
    rows = iter(rows)
    first = next(rows, None)
    if first is None:
        return
    table = Table(names or list(first), form)
    table.write(first)
    for row in rows:
        table.write(row)


def listing(options):
    paths = options.files or ["-"]
    if options.format == "json":
        write_json_runs(paths)
        return 0
    table = Table(test_columns(paths), options.format)
    for run in runs(paths):
        for row in test_rows(run):
            table.write(row)
    for folder in (path for path in paths if reader.is_clients_folder(path)):
        for row in aggregate_rows(folder, clients_summary(folder)):
            table.write(row)
    return 0


def comparison(options):
    old, new = Side("old").read(options.baseline), Side("new").read(options.files)
    check_comparable(old, new)
    rows = list(compare_rows(old, new, options.threshold / 100))
    worse = any(row[p + "_mark"].startswith("worse") for row in rows for p in PHASES)
    if options.format == "json":
        json.dump({"threshold_percent": float(options.threshold), "points": rows, "worse": worse}, sys.stdout,
                  indent=2)
        sys.stdout.write("\n")
    else:
        write_rows(rows, options.format)
    return 1 if worse else 0


def time_line(options):
    if not reader.is_clients_folder(options.timeline):
        raise UsageError(f"{reader.shown(options.timeline)}: not a folder of dorvik-clients")
    with reader.clients_folder_errors(options.timeline):
        rows = list(clients.time_line_rows(clients.load_clients(options.timeline)))
    write_rows(rows, options.format)
    return 0


def report(options):
    if options.timeline is not None:
        return time_line(options)
    if "-" in options.files + options.baseline or not options.files:
        reader.spool_standard_input()
    if options.baseline:
        return comparison(options)
    if options.median:
        rows = median_rows(Side("").read(options.files))
        if options.format == "json":
            rows = {"points": list(rows)}
            json.dump(rows, sys.stdout, indent=2)
            sys.stdout.write("\n")
        else:
            write_rows(rows, options.format)
        return 0
    return listing(options)


def main():
    reader.write_names_as_given()
    try:
        options = parse_arguments(sys.argv[1:])
        if sys.stdout is None:
            raise OSError(0, "standard output is closed")
        status = report(options)
        sys.stdout.flush()
        return status
    except (reader.ParseError, UsageError) as error:
        return fail(error, USAGE_STATUS)
    except CannotCompare as error:
        return fail(error, CANNOT_COMPARE_STATUS)
    except BrokenPipeError:
        # A reader such as head that has seen enough is no failure.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except OSError as error:
        if sys.stdout is not None:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return fail(f"cannot write the report: {error.strerror}", USAGE_STATUS)


def fail(message, status):
    if sys.stderr is not None:
        print(f"dorvik-report: {message}", file=sys.stderr)
    return status

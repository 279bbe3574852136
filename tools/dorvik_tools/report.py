"""dorvik-report: the figures of dorvik outputs as CSV, JSON or a Markdown
table; medians of repeated runs; new runs compared with old ones, point by
point, with verdicts that weigh the change against the runs' spread and hold
the chance of a false alarm over the whole grid.

Tests are read and written one at a time; medians and comparisons keep only
the rates they need, so that memory does not grow with the number of runs or
of rows."""

import argparse
import json
import math
import os
import re
import sys
from array import array
from decimal import Decimal, InvalidOperation
from fractions import Fraction

from . import VERSION, clients, folder as folders, reader, timeline

PHASES = reader.PHASES
# The version of the JSON documents' form, described by dorvik-report.schema.json; it changes
# whenever a field changes its meaning or type or goes away.
SCHEMA_VERSION = 2
# Runs a side needs before its spread is taken as measured.
MEASURED = 3
# The chance of a false alarm ("worse", or "better", when nothing changed) over a whole comparison.
ALPHA = Fraction(1, 20)
# How far, in standard deviations, the runs' trend must lie from none for a warning of drift: with
# no drift, a chance of 1 in 100 in each phase.
DRIFT_DEVIATIONS = 2.576
# A threshold below this many percent decides as this one does: no ratio of medians of rates
# under 2^63 lies nearer to 1 than 1e-39 without being 1.
SMALLEST_THRESHOLD = Decimal("1e-60")
USAGE_STATUS, UNUSABLE_STATUS = 2, 3


class UsageError(Exception):
    """Input or options that the report cannot serve; exit status 2."""


class RunsUnusable(Exception):
    """Runs that a comparison or medians cannot use: a run failed or is incomplete, or the sides differ
    in their points; exit status 3."""


class Figure(float):
    """A measured number: JSON writes it as a number, a table with its fixed decimal places."""

    def __new__(cls, value, places=3):
        figure = super().__new__(cls, round(float(value), places))
        figure.places = places
        return figure

    def __str__(self):
        return f"{self:.{self.places}f}"


PERCENT = re.compile(r"\+?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?")


def threshold(text):
    """A percentage from 0 up to, not at, 100; read as a decimal, so that no exponent makes it slow."""
    if text.startswith("-") and PERCENT.fullmatch(text[1:]):
        raise argparse.ArgumentTypeError(f"a threshold is not negative: {text!r}")
    if not PERCENT.fullmatch(text):
        raise argparse.ArgumentTypeError(f"not a number of percent: {text!r}")
    try:
        value = Decimal(text)
    except InvalidOperation as error:  # an exponent beyond any the decimal module holds
        raise argparse.ArgumentTypeError(f"not a number of percent: {text!r}") from error
    if value >= 100:
        raise argparse.ArgumentTypeError(f"a threshold is under 100 percent: {text!r}")
    return Fraction(max(value, SMALLEST_THRESHOLD) if value else value)


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
        prog="dorvik-report", description="Turns dorvik outputs and folders of dorvik-clients into data: a row "
        "per test, the medians of repeated runs, or old runs compared with new ones (standard input when no FILE).",
        usage="%(prog)s [options] [FILE...]\n       %(prog)s [options] compare OLD... -- NEW...",
        epilog="compare OLD... -- NEW...: the new runs against the old, point by point, each side as its medians; "
        "a point is worse (or better) when its median moved beyond --threshold and every new run lies below (above) "
        "every old one, beyond chance over the whole grid; noise when the runs of the two sides overlap; same "
        "otherwise; with fewer than three runs a side the threshold alone decides. Status 1 when a phase is worse "
        "over the grid, 3 when a run failed or the sides differ in their points. Options go before compare; a glob "
        "on each side does what it says (compare before-*.txt -- after-*.txt). See man dorvik-report.")
    parser.add_argument("--format", choices=("csv", "json", "markdown", "html"), default="csv",
                        help="csv (the default): a header and a row per test (per grid point for --median and "
                        "compare); json: every run with its tests and averages, as the JSON Schema installed "
                        "with the tools describes; markdown: the rows as a table to paste; html: one page that holds its charts and "
                        "tables, to open in a browser")
    parser.add_argument("-o", dest="output", metavar="FILE", help="the report into FILE, not standard output")
    parser.add_argument("--version", action="version", version=f"%(prog)s {VERSION}")
    parser.add_argument("--median", action="store_true",
                        help="one row per grid point: median, minimum, maximum and spread of each rate")
    parser.add_argument("--baseline", action="append", default=[], metavar="FILE",
                        help="an old run to compare the FILEs with (once per file; compare is the form for globs)")
    parser.add_argument("--threshold", type=threshold, default=Fraction(10), metavar="PERCENT",
                        help="a median beyond this many percent is a change (from 0 up to 100; default 10)")
    parser.add_argument("--timeline", metavar="FOLDER",
                        help="a dorvik-clients folder's time line: MB/s written and read per host and in all, "
                        "storage and programs")
    parser.add_argument("--samples", action="store_true",
                        help="with --format json, every sample of a dorvik-clients folder, once")
    parser.add_argument("files", nargs="*", metavar="FILE")
    options = parser.parse_args(argv)
    if options.timeline is not None and options.format == "html":
        parser.error("--timeline writes data (csv, json or markdown); a folder's page: --format html FOLDER")
    if sides:
        if options.baseline or options.files or options.median:
            parser.error("compare takes no --baseline, --median or FILE before it")
        options.baseline, options.files = sides
    elif len(options.baseline) == 1 and len(options.files) > 1:
        # What a glob on each side gives: before-2.txt and before-3.txt would pass for new runs.
        parser.error(f"one --baseline with {len(options.files)} new files ({reader.shown(options.files[0])} ...): "
                     "for several old runs use: dorvik-report compare OLD... -- NEW...")
    return options


def events(paths):
    for path in paths or ["-"]:
        yield from reader.load_events(path)


def mb(value):
    return None if value is None else Figure(reader.mb_per_s(float(value)))


def test_row(run, test):
    row = {"host": run.get("host"), "source": run["source"], "mode": run["mode"],
           "size_mb": test["size_mb"], "record_length": test["record_length"]}
    for phase in PHASES:
        row[phase + "_bytes_per_s"] = test[phase + "_bytes_per_s"]
    for phase in PHASES:
        row[phase + "_mb_per_s"] = mb(test[phase + "_bytes_per_s"])
    row["status"] = test["status"]
    row.update(write_seconds=test.get("write_seconds"), read_seconds=test.get("read_seconds"))
    row["reason"] = test["reason"]
    return row


def clients_summary(folder):
    with reader.clients_folder_errors(folder):
        return clients.load_clients(folder)


def figure(value, places):
    return None if value is None else Figure(value, places)


def bytes_per_s(mb_per_s):
    """An aggregate's rate in whole bytes per second, as the hosts' rows give theirs."""
    return None if mb_per_s is None else round(mb_per_s * reader.MEGABYTE)


def aggregate_rows(folder, summary):
    """The aggregate rows of a dorvik-clients folder: per grid point whose tests started together, all bytes
    over the span of each phase, the bytes the storage moved while all hosts were in it over that window, and
    the bytes the programs passed to the system in it; each row names its counters."""
    for point in summary["points"]:
        if not point["together"]:
            continue
        for host in point.get("host_figures", []):
            row = {"host": host["host"], "source": reader.shown(folder), "mode": "clients",
                   "size_mb": point["size_mb"], "record_length": point["record_length"], "status": "aggregate",
                   "counters": f"programs' output of {host['streams']} streams"}
            for phase in PHASES:
                row[phase + "_mb_per_s"] = figure(host[phase + "_span_mb_per_s"], 3)
                row[phase + "_bytes_per_s"] = bytes_per_s(host[phase + "_span_mb_per_s"])
            for phase in PHASES:
                row[phase + "_seconds"] = figure(host[phase + "_span_s"], 6)
            row["start_skew_s"] = None
            yield row
        for host, kind, counters in (("all bytes / span", "span", "programs' output"),
                                     ("while all were active", "window", point["counters"]),
                                     ("passed to the system while all were active", "window_program",
                                      "programs' counters")):
            row = {"host": host, "source": reader.shown(folder), "mode": "clients", "size_mb": point["size_mb"],
                   "record_length": point["record_length"], "status": "aggregate", "counters": counters}
            for phase in PHASES:
                row[phase + "_mb_per_s"] = figure(point[f"{phase}_{kind}_mb_per_s"], 3)
                row[phase + "_bytes_per_s"] = bytes_per_s(point[f"{phase}_{kind}_mb_per_s"])
            for phase in PHASES:
                row[phase + "_seconds"] = figure(point[f"{phase}_{kind.split('_')[0]}_s"], 6)
            row["start_skew_s"] = figure(point["start_skew"], 6)
            yield row
        yield from spread_rows(folder, point)


def spread_rows(folder, point):
    """Each host's own rate at a point: the least (the slowest host named), the median and the most; and the
    storage's reads against the programs'."""
    for kind, name in (("min", "hosts: least"), ("median", "hosts: median"), ("max", "hosts: most")):
        slowest = [f"{phase} {point[phase + '_host_slowest']}" for phase in PHASES
                   if point[phase + "_host_slowest"] is not None]
        row = {"host": name, "source": reader.shown(folder), "mode": "clients", "size_mb": point["size_mb"],
               "record_length": point["record_length"], "status": "aggregate",
               "counters": "slowest: " + ", ".join(slowest) if kind == "min" and slowest else "each host's own"}
        for phase in PHASES:
            row[phase + "_bytes_per_s"] = bytes_per_s(point[f"{phase}_host_{kind}_mb_per_s"])
            row[phase + "_mb_per_s"] = figure(point[f"{phase}_host_{kind}_mb_per_s"], 3)
        yield row
    cache = point.get("cache")
    if cache is not None:
        yield {"host": "storage / programs read", "source": reader.shown(folder), "mode": "clients",
               "size_mb": point["size_mb"], "record_length": point["record_length"], "status": "aggregate",
               "counters": f"{cache['share']:.3f}" + (": read partly from a cache" if cache["cached"] else "")}


def point_name(point):
    mode, size, length = point
    return f"{mode} {size} MB x {length}"


def point_names(points, most=6):
    points = sorted(points)
    names = ", ".join(point_name(p) for p in points[:most])
    return names + (f" and {len(points) - most} more" if len(points) > most else "")


def measurement(source, complete, reason, points, rates):
    return {"source": source, "complete": complete, "reason": reason, "points": list(points), "rates": rates}


def measurements(path):
    """What a file or folder gives a median or a comparison, one run at a time: its source, whether it
    ran to its end and why not, its points in order, and the rates of each point that has them.
    A dorvik-clients folder is one measurement: the aggregate of all bytes over each phase's span."""
    if not reader.is_clients_folder(path):
        number, points, rates = 0, {}, {}
        for run, test in reader.load_events(path):
            if test is None:
                number += 1
                yield measurement(f"{run['source']} (run {number})", run["complete"], run["reason"], points, rates)
                points, rates = {}, {}
            elif test["size_mb"] is not None:
                point = reader.grid_point(run, test)
                points[point] = None
                if test["status"] == "ok":
                    rates[point] = tuple(test[p + "_bytes_per_s"] for p in PHASES)
        return
    failed = [f"{run.get('host')}: {run['reason']}" for run in reader.load(path) if not run["complete"]]
    points, rates = [], {}
    with reader.clients_folder_errors(path):
        for point in clients_summary(path)["points"]:
            key = ("clients", point["size_mb"], point["record_length"])
            points.append(key)
            figures = [point[p + "_span_mb_per_s"] for p in PHASES]
            if None not in figures:
                rates[key] = tuple(aggregate_rate(f) for f in figures)
    yield measurement(reader.shown(path), not failed, "; ".join(failed), points, rates)


def aggregate_rate(mb_per_s):
    """An aggregate's MB/s in bytes per second, as a run's rates are; ValueError for a figure that no
    run can give, which makes the folder a damaged one."""
    if not math.isfinite(mb_per_s) or not 0 <= mb_per_s * reader.MEGABYTE <= reader.RATE[1]:
        raise ValueError(f"an aggregate rate of {mb_per_s} MB/s")
    return round(mb_per_s * reader.MEGABYTE)


class Side:
    """The rates of the whole runs on one side, per point and phase, in the order the runs were
    given, and the runs that failed or are incomplete."""

    def __init__(self, name):
        self.name = name
        self.points = None        # the first whole run's points, in order
        self.grids = {}           # each distinct set of points: the whole runs that have it
        self.rates = {}
        self.failed = []
        self.runs = 0             # whole runs

    def add(self, measurement):
        if not measurement["complete"]:
            self.failed.append(f"{measurement['source']}: {measurement['reason']}")
            return
        self.runs += 1
        if self.points is None:
            self.points = measurement["points"]
        self.grids.setdefault(frozenset(measurement["points"]), []).append(measurement["source"])
        for point, figures in measurement["rates"].items():
            per_phase = self.rates.setdefault(point, tuple(array("q") for _ in PHASES))
            for values, rate in zip(per_phase, figures):
                values.append(rate)

    def grid_differences(self):
        """Which runs lack which points that other runs of the side have."""
        every = frozenset().union(*self.grids)
        return [f"{sources[0]}{f' and {len(sources) - 1} more runs' if len(sources) > 1 else ''} lacks "
                + point_names(every - grid) for grid, sources in self.grids.items() if every - grid]

    def read(self, paths):
        for path in paths or ["-"]:
            for measurement in measurements(path):
                self.add(measurement)
        if not self.runs and not self.failed:
            raise UsageError(f"no runs on the {self.name} side" if self.name else "no runs")
        return self


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    return Fraction(ordered[middle]) if len(ordered) % 2 else Fraction(ordered[middle - 1] + ordered[middle], 2)


def median_rows(side):
    differences = side.grid_differences()
    if differences:
        raise UsageError("the runs differ in their grids: " + "; ".join(differences))
    for point in side.points or ():
        row = dict(zip(("mode", "size_mb", "record_length"), point))
        per_phase = side.rates.get(point, ((), ()))
        row["runs"] = len(per_phase[0])
        for phase, values in zip(PHASES, per_phase):
            middle = median(values) if values else None
            row[phase + "_median_mb_per_s"] = mb(middle)
            row[phase + "_min_mb_per_s"] = mb(min(values) if values else None)
            row[phase + "_max_mb_per_s"] = mb(max(values) if values else None)
            row[phase + "_spread"] = Figure((max(values) - min(values)) / middle) if middle else None
        yield row


def failures(side):
    return [f"a run failed or is incomplete: {failure}" for failure in side.failed]


def check_comparable(old, new):
    """Only whole runs over the same points compare; anything else names what is wrong, every run
    that failed or is incomplete by name."""
    problems = failures(old) + failures(new)
    if old.runs and new.runs:
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
        raise RunsUnusable("cannot compare: " + "; ".join(problems))


WORSE, BETTER = "worse", "better"


def moved(ratio, direction, limit):
    """Whether a ratio moved beyond the threshold, down for worse and up for better."""
    return ratio < 1 - limit if direction == WORSE else ratio > 1 + limit


def apart(old, new, direction):
    """Whether every new run lies below (worse) or above (better) every old one: runs that touch do not."""
    return max(new) < min(old) if direction == WORSE else min(new) > max(old)


def tail(count, total):
    """The chance that count or more of total fair coins fall one way."""
    return Fraction(sum(math.comb(total, k) for k in range(count, total + 1)), 2 ** total)


def sign_test(ratios, direction):
    """How many ratios moved that way, and the chance of as many or more when nothing changed (each
    point a fair coin; a point that did not move counts against the change)."""
    count = sum(1 for ratio in ratios if moved(ratio, direction, 0))
    return count, tail(count, len(ratios))


def holm(tests):
    """The tests (name: chance under no change) that Holm's step-down procedure takes as changes,
    holding the chance of any false alarm among them all to ALPHA."""
    taken = set()
    for rank, (name, chance) in enumerate(sorted(tests.items(), key=lambda test: test[1])):
        if chance > ALPHA / (len(tests) - rank):
            break
        taken.add(name)
    return taken


class Cell:
    """A point's phase in a comparison: the runs of each side and the ratio of their medians (None
    where the old median is 0, as for the writes of a CD-ROM series)."""

    def __init__(self, old, new):
        self.old, self.new = old, new
        self.measured = len(old) >= MEASURED and len(new) >= MEASURED
        self.ratio = median(new) / median(old) if median(old) else None


def established(cells, limit, direction):
    """The changes one way that hold over the whole comparison: each point on its own (every new run
    beyond every old one, a chance of 1 in C(n + m, n) when nothing changed) and each phase over the
    grid (a sign test of its points' ratios), with Holm's correction over all of them; a test that
    could not reach ALPHA even alone is left out. Returns the cells and the phases whose change holds,
    and each phase's sign test."""
    tests, signs = {}, {}
    for key, cell in cells.items():
        if cell.measured and cell.ratio is not None:
            chance = Fraction(1, math.comb(len(cell.old) + len(cell.new), len(cell.new)))
            if chance <= ALPHA:
                tests[key] = chance if apart(cell.old, cell.new, direction) else Fraction(1)
    for phase in PHASES:
        ratios = grid_ratios(cells, phase)
        if ratios:
            signs[phase] = sign_test(ratios, direction)
            if testable(ratios):
                tests[phase] = signs[phase][1]
    taken = holm(tests)
    phases = {phase for phase in PHASES
              if phase in taken and moved(median(grid_ratios(cells, phase)), direction, limit)}
    return {key for key in cells if key in taken or key[1] in phases}, phases, signs


def testable(ratios):
    """Whether a sign test over these points could reach ALPHA at all: five points or more."""
    return Fraction(1, 2 ** len(ratios)) <= ALPHA


def grid_ratios(cells, phase):
    return [cell.ratio for (_, cell_phase), cell in cells.items()
            if cell_phase == phase and cell.measured and cell.ratio is not None]


def mark(cell, key, limit, holds):
    """A cell's verdict: worse or better where the change beyond the threshold holds and the runs of
    the two sides lie apart; noise where the median moved that far but that does not hold."""
    for direction in (WORSE, BETTER):
        if moved(cell.ratio, direction, limit):
            if not cell.measured:
                return direction + ", noise not measured"
            return direction if key in holds[direction] and apart(cell.old, cell.new, direction) else "noise"
    return "same" if cell.measured else "same, noise not measured"


class Comparison:
    """The verdicts of new runs against old ones: per point and phase, and per phase over the grid."""

    def __init__(self, old, new, limit):
        self.old, self.new, self.limit = old, new, limit
        self.cells = {(point, phase): Cell(old_values, new_values) for point in old.points
                      for phase, old_values, new_values in zip(PHASES, old.rates[point], new.rates[point])}
        self.holds, self.grid_holds, self.signs = {}, {}, {}
        for direction in (WORSE, BETTER):
            self.holds[direction], self.grid_holds[direction], self.signs[direction] = \
                established(self.cells, limit, direction)

    def rows(self):
        for point in self.old.points:
            row = dict(zip(("mode", "size_mb", "record_length"), point))
            row.update(old_runs=len(self.old.rates[point][0]), new_runs=len(self.new.rates[point][0]))
            for phase in PHASES:
                cell = self.cells[point, phase]
                verdict = "" if cell.ratio is None else mark(cell, (point, phase), self.limit, self.holds)
                row.update({f"{phase}_baseline_mb_per_s": mb(median(cell.old)),
                            f"{phase}_new_mb_per_s": mb(median(cell.new)),
                            f"{phase}_ratio": None if cell.ratio is None else Figure(cell.ratio),
                            f"{phase}_mark": verdict})
            yield row

    def grid(self):
        """Per phase, the verdict over the grid and the sign tests behind it."""
        verdicts = {}
        for phase in PHASES:
            ratios = grid_ratios(self.cells, phase)
            middle = median(ratios) if ratios else None
            verdict = "too few points" if not testable(ratios) else "worse" if phase in self.grid_holds[WORSE] else \
                "better" if phase in self.grid_holds[BETTER] else \
                "noise" if moved(middle, WORSE, self.limit) or moved(middle, BETTER, self.limit) else "same"
            fell, chance_fell = self.signs[WORSE].get(phase, (0, 1))
            rose, chance_rose = self.signs[BETTER].get(phase, (0, 1))
            verdicts[phase] = {"points": len(ratios), "fell": fell, "rose": rose,
                               "median_ratio": None if middle is None else Figure(middle),
                               "chance_fell": float(chance_fell), "chance_rose": float(chance_rose),
                               "verdict": verdict}
        return verdicts

    def warnings(self):
        """Drift: within each side, in the order the runs were given, the rates trend one way across
        the points, as when the machine changed while the runs ran. Each side's trend at a point is
        Spearman's rank correlation of its rates with their order, of variance 1 / (runs - 1) with no
        drift; their sum over the points and sides is held against its spread."""
        found = []
        for phase in PHASES:
            total = spread = 0
            for (_, cell_phase), cell in self.cells.items():
                for values in (cell.old, cell.new):
                    if cell_phase == phase and len(values) >= MEASURED:
                        total, spread = total + trend(values), spread + 1 / (len(values) - 1)
            if spread and abs(total) / math.sqrt(spread) > DRIFT_DEVIATIONS:
                way = "fall" if total < 0 else "rise"
                found.append(f"in the order the runs were given, the {phase} rates {way} within each side: "
                             "the machine may have drifted while they ran; run the two sides in turn "
                             "(old, new, old, new), five or more runs a side")
        return found


def trend(values):
    """Spearman's rank correlation of the runs' rates with their order (0 for fewer than three runs)."""
    count = len(values)
    if count < MEASURED:
        return 0
    order = sorted(range(count), key=lambda i: values[i])
    ranks = [0.0] * count
    start = 0
    while start < count:
        end = start
        while end + 1 < count and values[order[end + 1]] == values[order[start]]:
            end += 1
        for i in range(start, end + 1):
            ranks[order[i]] = (start + end) / 2
        start = end + 1
    middle = (count - 1) / 2
    spread = sum((i - middle) ** 2 for i in range(count))
    return sum((i - middle) * (rank - middle) for i, rank in enumerate(ranks)) / spread


NUMBER = re.compile(r"-?\d+(\.\d+)?")
SPLITS_A_FIELD = re.compile(r'[,"\r\n]')


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
    if SPLITS_A_FIELD.search(text):
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


def with_rates_in_mb(test):
    for phase in PHASES:
        value = reader.mb_per_s(test[phase + "_bytes_per_s"])
        test[phase + "_mb_per_s"] = None if value is None else round(value, 3)
    return test


# The fields of a run in JSON before its tests, known when its first test is; the others follow them.
RUN_HEAD = ("host", "source", "mode", "device")


def json_fields(run, names):
    return [f"      {json.dumps(key)}: {json.dumps(run[key])}" for key in names if key in run]


def write_json_runs(paths, with_samples=False):
    """Every run as JSON, a test to a line, each test written as it is read; each clients folder's summary, and
    its samples where they are asked for."""
    out = sys.stdout
    out.write(f'{{\n  "schema_version": {SCHEMA_VERSION},\n  "report": "runs",\n  "runs": [')
    current, runs, tests = None, 0, 0
    for run, test in events(paths):
        if run is not current:
            head = ",\n".join(json_fields(run, RUN_HEAD))
            out.write(("," if runs else "") + "\n    {\n" + head + ',\n      "tests": [')
            current, runs, tests = run, runs + 1, 0
        if test is not None:
            out.write(("," if tests else "") + "\n        " + json.dumps(with_rates_in_mb(test)))
            tests += 1
            continue
        tail_names = [key for key in run if key not in RUN_HEAD and key != "tests"]
        out.write(("\n      ]" if tests else "]") + ",\n" + ",\n".join(json_fields(run, tail_names)) + "\n    }")
    out.write("\n  ]")
    places = [path for path in paths if reader.is_clients_folder(path)]
    for number, place in enumerate(places):
        out.write((',\n  "clients": [' if not number else ",") + "\n    ")
        with reader.clients_folder_errors(place):
            write_json_folder(out, place, with_samples)
    out.write("\n  ]" if places else "")
    out.write("\n}\n")


def json_value(value):
    try:
        return json.dumps(value, allow_nan=False)
    except ValueError as error:
        raise reader.ParseError(f"a damaged folder of dorvik-clients: a figure that is no number: {error}") from error


# A clients folder's summary, written a host and a point at a time: the hosts and the points last.
FOLDER_TAIL = ("hosts", "points")


def write_json_folder(out, path, with_samples):
    """A clients folder's summary as JSON, written as it goes: its fields, each host (with its samples, once,
    where they are asked for), each grid point."""
    summary = clients_summary(path)
    hosts = summary["hosts"]
    fields = [f"{json.dumps(k)}: {json_value(v)}" for k, v in summary.items() if k not in FOLDER_TAIL]
    out.write("{\n      " + ",\n      ".join(fields) + ',\n      "hosts": [')
    samples = folders.Folder(path).samples if with_samples else None
    for number, host in enumerate(hosts):
        entry = {k: v for k, v in host.items() if k != "tests"}
        entry["tests"] = [{k: v for k, v in test.items() if k != "samples"} for test in host["tests"]]
        text = json_value(entry)
        if samples is not None:
            out.write(("," if number else "") + "\n        " + text[:-1] + ', "samples": [')
            for count, (index, found) in enumerate(samples(host)):
                out.write(("," if count else "") + f'\n          {{"test": {index}, "samples": {json_value(found)}}}')
            out.write("]}")
        else:
            out.write(("," if number else "") + "\n        " + text)
    out.write('\n      ],\n      "points": [')
    for number, point in enumerate(summary["points"]):
        out.write(("," if number else "") + "\n        " + json_value(point))
    out.write("\n      ]\n    }")


def write_streamed_document(kind, name, items):
    """A document whose one list is written an item at a time."""
    out = sys.stdout
    out.write(f'{{\n  "schema_version": {SCHEMA_VERSION},\n  "report": {json.dumps(kind)},\n  {json.dumps(name)}: [')
    for number, item in enumerate(items):
        out.write(("," if number else "") + "\n    " + json.dumps(item))
    out.write("\n  ]\n}\n")


def write_document(kind, fields):
    json.dump({"schema_version": SCHEMA_VERSION, "report": kind, **fields}, sys.stdout, indent=2)
    sys.stdout.write("\n")


def write_rows(rows, form):
    rows = iter(rows)
    first = next(rows, None)
    if first is None:
        return
    table = Table(list(first), form)
    table.write(first)
    for row in rows:
        table.write(row)


def listing(options):
    paths = options.files or ["-"]
    if options.format == "json":
        write_json_runs(paths, options.samples)
        return 0
    table = Table(test_columns(paths), options.format)
    for run, test in events(paths):
        if test is not None:
            table.write(test_row(run, test))
    for folder in (path for path in paths if reader.is_clients_folder(path)):
        for row in aggregate_rows(folder, clients_summary(folder)):
            table.write(row)
    return 0


def warn(message):
    if sys.stderr is not None:
        print(f"dorvik-report: {message}", file=sys.stderr)


def comparison(options):
    old, new = Side("old").read(options.baseline), Side("new").read(options.files)
    check_comparable(old, new)
    compared = Comparison(old, new, options.threshold / 100)
    rows, grid, warnings = list(compared.rows()), compared.grid(), compared.warnings()
    worse = any(row[p + "_mark"].startswith("worse") for row in rows for p in PHASES) or \
        any(verdict["verdict"] == "worse" for verdict in grid.values())
    if options.format == "json":
        write_document("comparison", {"threshold_percent": float(options.threshold),
                                      "false_alarm_chance": float(ALPHA), "points": rows, "grid": grid,
                                      "worse": worse, "warnings": warnings})
    else:
        write_rows(rows, options.format)
    sys.stdout.flush()
    for phase, verdict in grid.items():
        if verdict["verdict"] in (WORSE, BETTER):
            way, count = ("fell", verdict["fell"]) if verdict["verdict"] == WORSE else ("rose", verdict["rose"])
            warn(f"{phase}: {verdict['verdict']} over the grid: the rates {way} at {count} of {verdict['points']} "
                 f"points, their median ratio {verdict['median_ratio']}")
    for warning in warnings:
        warn("warning: " + warning)
    return 1 if worse else 0


def time_line(options):
    if not reader.is_clients_folder(options.timeline):
        raise UsageError(f"{reader.shown(options.timeline)}: not a folder of dorvik-clients")
    with reader.clients_folder_errors(options.timeline):
        rows = (dict(row, seconds=Figure(row["seconds"], 6),
                     **{name: Figure(row[name]) for name in timeline.COLUMNS})
                for row in timeline.time_line_rows(options.timeline))
        if options.format == "json":
            write_streamed_document("timeline", "rows", rows)
        else:
            write_rows(rows, options.format)
    return 0


def medians(options):
    """The medians of the whole runs; a run that failed or is incomplete is named, with status 3."""
    side = Side("").read(options.files)
    rows = median_rows(side)
    if options.format == "json":
        write_document("medians", {"points": list(rows), "failed": side.failed})
    else:
        write_rows(rows, options.format)
    if side.failed:
        sys.stdout.flush()
        whole = f"the medians are of {side.runs} whole run{'' if side.runs == 1 else 's'}" if side.runs \
            else "no run is whole"
        raise RunsUnusable("; ".join(failures(side) + [whole]))
    return 0


def report(options):
    if options.timeline is not None:
        return time_line(options)
    if "-" in options.files + options.baseline or not options.files:
        reader.spool_standard_input()
    if options.format == "html":
        from . import pages
        return pages.write_page(options)
    if options.baseline:
        return comparison(options)
    if options.median:
        return medians(options)
    return listing(options)


def main():
    reader.write_names_as_given()
    try:
        options = parse_arguments(sys.argv[1:])
        if options.output is not None:
            sys.stdout = output_file(options.output)
        if sys.stdout is None:
            raise OSError(0, "standard output is closed")
        status = report(options)
        sys.stdout.flush()
        return status
    except (reader.ParseError, UsageError) as error:
        return fail(error, USAGE_STATUS)
    except RunsUnusable as error:
        return fail(error, UNUSABLE_STATUS)
    except BrokenPipeError:
        # A reader such as head that has seen enough is no failure.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except OSError as error:
        if sys.stdout is not None:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return fail(f"cannot write the report: {error.strerror}", USAGE_STATUS)


def output_file(path):
    """The file of -o, made or emptied as a shell's > would."""
    try:
        return open(path, "w", encoding="utf-8", errors="surrogateescape")
    except OSError as error:
        raise UsageError(f"cannot write {reader.shown(path)}: {error.strerror}") from error


def fail(message, status):
    if sys.stderr is not None:
        print(f"dorvik-report: {message}", file=sys.stderr)
    return status

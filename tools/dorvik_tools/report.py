"""dorvik-report: the figures of dorvik outputs as CSV, JSON or a Markdown
table; medians of repeated runs; new runs compared with old ones, point by
point and per phase over the grid, with verdicts (their statistics are
verdicts') and the sides' environments set side by side.

Tests are read and written one at a time; medians and comparisons keep only
the rates they need, so that memory does not grow with the number of runs or
of rows."""

import argparse
import contextlib
import hashlib
import json
import math
import os
import re
import sys
from array import array
from decimal import Decimal, InvalidOperation
from fractions import Fraction

from . import VERSION, clients, environment, folder as folders, reader, timeline, verdicts
from .verdicts import median

PHASES = reader.PHASES
# The version of the JSON documents' form, described by dorvik-report.schema.json; it changes
# whenever a field changes its meaning or type or goes away.
SCHEMA_VERSION = 2
# A threshold below this many percent decides as this one does: no ratio of medians of rates
# under 2^63 lies nearer to 1 than 1e-39 without being 1.
SMALLEST_THRESHOLD = Decimal("1e-60")
USAGE_STATUS, UNUSABLE_STATUS, INTERRUPTED_STATUS = 2, 3, 130
INTERRUPTED = "interrupted"


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


def mixable(text):
    """A field of the environment in which the runs of a side must agree."""
    if text not in environment.SIDE_FIELDS:
        raise argparse.ArgumentTypeError(f"{text!r} is none of {', '.join(environment.SIDE_FIELDS)}")
    return text


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
    parser.add_argument("--allow-mixed", action="append", default=[], metavar="FIELD", type=mixable,
                        help="let the runs of a side differ in this field of their environment (repeatable)")
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


# Why a point of a dorvik-clients folder run in one process per host has no aggregate.
NOT_TOGETHER = "no aggregate: not started together"


def measurement(source, complete, reason, points, rates, described=None, unaggregated=None):
    """unaggregated: the points of a dorvik-clients folder without an aggregate rate, and why."""
    return {"source": source, "complete": complete, "reason": reason, "points": list(points), "rates": rates,
            "environment": described, "unaggregated": unaggregated or {}}


def measurements(path):
    """What a file or folder gives a median or a comparison, one run at a time: its source, whether it
    ran to its end and why not, its points in order, and the rates of each point that has them.
    A dorvik-clients folder is one measurement: the aggregate of all bytes over each phase's span, and
    its hosts' environments merged."""
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
    failed, hosts = [], []
    for run in reader.load(path):
        hosts.append(run.get("environment"))
        if not run["complete"]:
            failed.append(f"{run.get('host')}: {run['reason']}")
    described = environment.merged(hosts)
    points, rates, unaggregated = [], {}, {}
    with reader.clients_folder_errors(path):
        for point in clients_summary(path)["points"]:
            key = ("clients", point["size_mb"], point["record_length"])
            points.append(key)
            figures = [point[p + "_span_mb_per_s"] for p in PHASES]
            if None not in figures:
                rates[key] = tuple(aggregate_rate(f) for f in figures)
            else:
                unaggregated[key] = NOT_TOGETHER if not point["together"] else "a phase without a figure"
    yield measurement(reader.shown(path), not failed, "; ".join(failed), points, rates, described, unaggregated)


def aggregate_rate(mb_per_s):
    """An aggregate's MB/s in bytes per second, as a run's rates are; ValueError for a figure that no
    run can give, which makes the folder a damaged one."""
    if not math.isfinite(mb_per_s) or not 0 <= mb_per_s * reader.MEGABYTE <= reader.RATE[1]:
        raise ValueError(f"an aggregate rate of {mb_per_s} MB/s")
    return round(mb_per_s * reader.MEGABYTE)


class Side:
    """The rates of the whole runs on one side, per point and phase, in the order the runs were
    given (-1 where a run gave none), the runs that failed or are incomplete, and each run's
    environment. A side of a comparison (distinct) takes a run given again, the same rates at
    every point and the same environment, once."""

    def __init__(self, name, distinct=False):
        self.name = name
        self.points = None        # the first whole run's points, in order
        self.grids = {}           # each distinct set of points: the whole runs that have it
        self.rates = {}
        self.failed = []
        self.runs = 0             # whole runs
        self.environments = []    # (source, merged environment or None) of each whole run
        self.seen = {} if distinct else None  # each run's digest: its source
        self.repeated = {}        # the source of a run given again: how many times it was given
        self.unaggregated = {}    # a clients folder's points without an aggregate rate: why

    def add(self, measurement):
        if not measurement["complete"]:
            self.failed.append(f"{measurement['source']}: {measurement['reason']}")
            return
        if self.seen is not None:
            digest = hashlib.sha256(repr((measurement["points"], sorted(measurement["rates"].items()),
                                          measurement["environment"])).encode()).digest()
            if digest in self.seen:
                first = self.seen[digest]
                self.repeated[first] = self.repeated.get(first, 1) + 1
                return
            self.seen[digest] = measurement["source"]
        self.runs += 1
        if self.points is None:
            self.points = measurement["points"]
        self.grids.setdefault(frozenset(measurement["points"]), []).append(measurement["source"])
        self.environments.append((measurement["source"], measurement["environment"]))
        self.unaggregated.update(measurement["unaggregated"])
        for point in measurement["points"]:
            per_phase = self.rates.setdefault(point, tuple(array("q") for _ in PHASES))
            for values, rate in zip(per_phase, measurement["rates"].get(point, (-1,) * len(PHASES))):
                values.append(rate)

    def repeated_words(self):
        """A run given more than once on this side, in words: each is taken once."""
        return [f"the {self.name} side gives the same run {times} times ({source}): it counts once"
                for source, times in self.repeated.items()]

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


def median_rows(side):
    differences = side.grid_differences()
    if differences:
        raise UsageError("the runs differ in their grids: " + "; ".join(differences))
    for point in side.points or ():
        row = dict(zip(("mode", "size_mb", "record_length"), point))
        per_phase = [[rate for rate in values if rate >= 0] for values in side.rates.get(point, ((), ()))]
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


def lacking_rates(points, unaggregated):
    """Why points have no rate on one side, a phrase per reason: a clients folder's hosts did not start a
    point together, or one of its phases has no figure; otherwise every run gave advice."""
    reasons = {}
    for point in points:
        reasons.setdefault(unaggregated.get(point, "every run gave advice"), []).append(point)
    return [f"no rate on one side ({reason}) at {point_names(found)}" for reason, found in reasons.items()]


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
        lacking = [point for point in old.points if point in new.points
                   and (max(old.rates[point][0]) < 0 or max(new.rates[point][0]) < 0)]
        problems += lacking_rates(lacking, {**old.unaggregated, **new.unaggregated})
    if problems:
        raise RunsUnusable("cannot compare: " + "; ".join(problems))


NUMBER = re.compile(r"-?\d+(\.\d+)?")
SPLITS_A_FIELD = re.compile(r'[,"\r\n]')


def cell(value):
    """A CSV cell that a spreadsheet takes as text when it would take it as a formula."""
    if value is None:
        return ""
    text = reader.escaped(str(value), reader.CONTROL_IN_CSV)
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


class JsonDocument:
    """A JSON document written as it goes, each part closed as it ends. A failure on the way still ends it as
    one document: what is open is closed, and the top names the failure in its "error"."""

    def __init__(self, kind):
        self.closers = []
        self.open(f'{{\n  "schema_version": {SCHEMA_VERSION},\n  "report": {json.dumps(kind)}', "\n}\n")

    def write(self, text):
        sys.stdout.write(text)

    def open(self, text, closer):
        """Writes text, the opening of a part; closer is what ends it, or a function of the failure (None
        where there is none) that gives it."""
        self.write(text)
        self.closers.append(closer)

    def close(self, failure=None):
        closer = self.closers.pop()
        self.write(closer(failure) if callable(closer) else closer)

    @contextlib.contextmanager
    def ending_on_failure(self):
        """The document ended with the failure of its input, which goes on, marked as told in the document."""
        try:
            yield
        except (reader.ParseError, UsageError) as error:
            self.end_with(str(error))
            error.in_document = True
            raise
        except KeyboardInterrupt as error:
            reader.interrupts_ignored()
            self.end_with(INTERRUPTED)
            error.in_document = True
            raise

    def end_with(self, failure):
        while len(self.closers) > 1:
            self.close(failure)
        self.write(f',\n  "error": {json.dumps(failure)}')
        self.close(failure)


def write_json_runs(paths, with_samples=False):
    """Every run as JSON, a test to a line, each test written as it is read; each clients folder's summary, and
    its samples where they are asked for."""
    document = JsonDocument("runs")
    with document.ending_on_failure():
        document.open(',\n  "runs": [', "\n  ]")
        write_json_run_list(document, paths)
        document.close()
        places = [path for path in paths if reader.is_clients_folder(path)]
        if places:
            document.open(',\n  "clients": [', "\n  ]")
        for number, place in enumerate(places):
            document.write(("," if number else "") + "\n    ")
            with reader.clients_folder_errors(place):
                write_json_folder(document, place, with_samples)
        if places:
            document.close()
    document.close()


def run_tail(run, failure):
    """The fields of a run after its tests; a run that a failure cut short is not whole, and says why."""
    if failure is not None:
        run = dict(run, complete=False, reason=run["reason"] or failure)
    tail_names = [key for key in run if key not in RUN_HEAD and key != "tests"]
    return ",\n" + ",\n".join(json_fields(run, tail_names)) + "\n    }"


def write_json_run_list(document, paths):
    """The runs of the paths, each opened at its first test and closed at its end."""
    current, runs, tests = None, 0, [0]
    for run, test in events(paths):
        if run is not current:
            head = ",\n".join(json_fields(run, RUN_HEAD))
            document.open(("," if runs else "") + "\n    {\n" + head, lambda failure, run=run: run_tail(run, failure))
            tests = [0]
            document.open(',\n      "tests": [', lambda failure, tests=tests: "\n      ]" if tests[0] else "]")
            current, runs = run, runs + 1
        if test is not None:
            document.write(("," if tests[0] else "") + "\n        " + json.dumps(with_rates_in_mb(test)))
            tests[0] += 1
            continue
        document.close()
        document.close()


def json_value(value):
    try:
        return json.dumps(value, allow_nan=False)
    except ValueError as error:
        raise reader.ParseError(f"a damaged folder of dorvik-clients: a figure that is no number: {error}") from error


# A clients folder's summary, written a host and a point at a time: the hosts and the points last.
FOLDER_TAIL = ("hosts", "points")


def write_json_folder(document, path, with_samples):
    """A clients folder's summary as JSON, written as it goes: its fields, each host (with its samples, once,
    where they are asked for), each grid point."""
    summary = clients_summary(path)
    hosts = summary["hosts"]
    fields = [f"{json.dumps(k)}: {json_value(v)}" for k, v in summary.items() if k not in FOLDER_TAIL]
    document.open("{\n      " + ",\n      ".join(fields), "\n    }")
    document.open(',\n      "hosts": [', "\n      ]")
    samples = folders.Folder(path).samples if with_samples else None
    for number, host in enumerate(hosts):
        entry = {k: v for k, v in host.items() if k != "tests"}
        entry["tests"] = [{k: v for k, v in test.items() if k != "samples"} for test in host["tests"]]
        text = json_value(entry)
        if samples is None:
            document.write(("," if number else "") + "\n        " + text)
            continue
        document.open(("," if number else "") + "\n        " + text[:-1] + ', "samples": [', "]}")
        for count, (index, found) in enumerate(samples(host)):
            document.write(("," if count else "") + f'\n          {{"test": {index}, "samples": {json_value(found)}}}')
        document.close()
    document.close()
    document.open(',\n      "points": [', "\n      ]")
    for number, point in enumerate(summary["points"]):
        document.write(("," if number else "") + "\n        " + json_value(point))
    document.close()
    document.close()


def write_streamed_document(kind, name, items):
    """A document whose one list is written an item at a time."""
    document = JsonDocument(kind)
    with document.ending_on_failure():
        document.open(f',\n  {json.dumps(name)}: [', "\n  ]")
        for number, item in enumerate(items):
            document.write(("," if number else "") + "\n    " + json.dumps(item))
        document.close()
    document.close()


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
    folders = [path for path in paths if reader.is_clients_folder(path)]
    for folder in folders:
        for row in aggregate_rows(folder, clients_summary(folder)):
            table.write(row)
    if options.format == "markdown":
        for folder in folders:
            write_environments(folder)
    return 0


def write_environments(folder):
    """Below a Markdown table, a paragraph per group of hosts of a folder alike in what they ran on."""
    hosts = [(run["host"], run["environment"]) for run in reader.load(folder) if "environment" in run]
    for names, found in environment.grouped(dict(hosts).items()):
        sys.stdout.write("\n" + markdown_cell(f"Environment of {', '.join(names)} ({reader.shown(folder)}): "
                                               + "; ".join(environment.lines(found)) + ".") + "\n")


def warn(message):
    if sys.stderr is not None:
        print(f"dorvik-report: {reader.escaped(message)}", file=sys.stderr)


def sources_named(sources, most=3):
    return ", ".join(sources[:most]) + (f" and {len(sources) - most} more" if len(sources) > most else "")


def check_environments(old, new, allowed):
    """The runs of each side alike in every field of their environments that must agree, but those
    allowed to differ; UsageError naming each field, its values and their runs."""
    problems, fields = [], []
    for side in (old, new):
        for field, values in environment.mixed(side.environments, allowed):
            fields.append(field)
            problems.append(f"the {side.name} runs differ in {environment.FIELDS[field]}: " + " and ".join(
                f"{reader.escaped(value)} ({sources_named(sources)})" for value, sources in values.items()))
    if problems:
        allow = " ".join(f"--allow-mixed {field}" for field in dict.fromkeys(fields))
        raise UsageError("; ".join(problems) + f"; compare runs alike in it, or give {allow}")


def compared_rows(compared):
    """A row per point: the runs and medians of each side, their ratio and the verdict per phase."""
    for point in compared.points:
        cells = [compared.cells[point, phase] for phase in PHASES]
        row = dict(zip(("mode", "size_mb", "record_length"), point))
        row.update(old_runs=len(cells[0].old), new_runs=len(cells[0].new))
        for phase, cell in zip(PHASES, cells):
            row.update({f"{phase}_baseline_mb_per_s": mb(cell.old_median), f"{phase}_new_mb_per_s": mb(cell.new_median),
                        f"{phase}_ratio": None if cell.ratio is None else Figure(cell.ratio),
                        f"{phase}_mark": cell.mark})
        yield row


def phase_summary(summary):
    """A phase's verdict over the grid, its figures as the report gives them."""
    return dict(summary, **{key: figure(summary[key], 3) for key in ("ratio", "ratio_low", "ratio_high")})


def summary_row(phases):
    """The table's last row: each phase over the grid, its verdict, ratio and interval."""
    row = {"mode": "all points", "old_runs": phases["write"]["old_runs"], "new_runs": phases["write"]["new_runs"]}
    for phase, summary in phases.items():
        row.update({f"{phase}_ratio": summary["ratio"], f"{phase}_mark": summary["verdict"],
                    f"{phase}_ratio_low": summary["ratio_low"], f"{phase}_ratio_high": summary["ratio_high"]})
    return row


def phase_words(phase, summary):
    """A phase over the grid in words: "write over the grid: worse, ratio 0.891 (0.872 to 0.911 at 98.75%),
    5 old and 5 new runs"."""
    interval = "" if summary["ratio_low"] is None else \
        f" ({summary['ratio_low']} to {summary['ratio_high']} at {verdicts.CONFIDENCE:.2%})"
    ratio = "no ratio" if summary["ratio"] is None else f"ratio {summary['ratio']}{interval}"
    return f"{phase} over the grid: {summary['verdict'] or 'no verdict'}, {ratio}, {summary['old_runs']} old and " \
        f"{summary['new_runs']} new runs"


def advice_words(phases):
    """The runs a side that would find twice the threshold, as advice; None where the noise is not measured."""
    needed = {phase: summary["runs_needed"] for phase, summary in phases.items() if summary["runs_needed"]}
    if not needed:
        return None

    def count(runs):
        return f"more than {verdicts.MOST_RUNS}" if runs is None else str(runs)
    change = next(iter(needed.values()))["change_percent"]
    if all(phases[phase]["points"] == 1 for phase in needed):
        return f"to find a drop of {change:g}% {verdicts.POWER_WORDS}, runs a side: " + ", ".join(
            f"{phase} {count(n['grid'])}" for phase, n in needed.items())
    return f"to find a drop of {change:g}% {verdicts.POWER_WORDS}, runs a side: " + "; ".join(
        f"{phase} {count(n['point'])} at a single point, {count(n['grid'])} over the grid" for phase, n in needed.items())


def sides_differ(old, new):
    """Every field of the environment in which the sides differ, in words and as data."""
    found = environment.differences(old.environments, new.environments)
    words = "; ".join(reader.escaped(environment.difference_words(*difference)) for difference in found)
    return words, [{"field": field, "old": before, "new": after} for field, before, after in found]


def write_comparison(options, compared, phases, differ, warnings):
    """The comparison in its format: JSON, or the table of points with the summary row, the Markdown
    with the sides' differences before it and the advice after it."""
    rows = list(compared_rows(compared))
    worse = any(row[p + "_mark"].startswith("worse") for row in rows for p in PHASES) or \
        any(summary["verdict"].startswith("worse") for summary in phases.values())
    if options.format == "json":
        write_document("comparison", {"threshold_percent": float(options.threshold),
                                      "false_alarm_chance": verdicts.ALPHA, "confidence": verdicts.CONFIDENCE,
                                      "points": rows, "grid": phases, "worse": worse, "sides_differ": differ[1],
                                      "warnings": warnings})
        return worse
    names = list(rows[0]) + [f"{phase}_ratio_{end}" for phase in PHASES for end in ("low", "high")]
    if options.format == "markdown" and differ[0]:
        sys.stdout.write(markdown_cell(f"The sides differ in: {differ[0]}.") + "\n\n")
    table = Table(names, options.format)
    for row in rows + [summary_row(phases)]:
        table.write(row)
    advice = advice_words(phases)
    if options.format == "markdown" and advice:
        sys.stdout.write("\n" + markdown_cell(advice[0].upper() + advice[1:] + ".") + "\n")
    return worse


def comparison(options):
    old, new = Side("old", True).read(options.baseline), Side("new", True).read(options.files)
    check_environments(old, new, options.allow_mixed)
    check_comparable(old, new)
    compared = verdicts.Comparison(old.points, old.rates, new.rates, options.threshold / 100)
    phases = {phase: phase_summary(compared.phase(phase)) for phase in PHASES}
    differ = sides_differ(old, new)
    warnings = old.repeated_words() + new.repeated_words() + compared.warnings()
    worse = write_comparison(options, compared, phases, differ, warnings)
    sys.stdout.flush()
    if differ[0]:
        warn(f"the sides differ in: {differ[0]}")
    for phase, summary in phases.items():
        warn(phase_words(phase, summary))
    advice = advice_words(phases)
    if advice:
        warn(advice)
    for warning in warnings:
        warn("warning: " + warning)
    return 1 if worse else 0


def time_line(options):
    if not reader.is_clients_folder(options.timeline):
        raise UsageError(f"{reader.shown(options.timeline)}: not a folder of dorvik-clients")
    rows = time_line_rows(options.timeline)
    if options.format == "json":
        write_streamed_document("timeline", "rows", rows)
    else:
        write_rows(rows, options.format)
    return 0


def time_line_rows(folder):
    """The rows of a folder's time line, their figures as the report gives them."""
    with reader.clients_folder_errors(folder):
        for row in timeline.time_line_rows(folder):
            yield dict(row, seconds=Figure(row["seconds"], 6), **{name: Figure(row[name]) for name in timeline.COLUMNS})


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
        unusable = RunsUnusable("; ".join(failures(side) + [whole]))
        unusable.in_document = True
        raise unusable
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
    options = None
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
        return fail(error, USAGE_STATUS, options)
    except RunsUnusable as error:
        return fail(error, UNUSABLE_STATUS, options)
    except KeyboardInterrupt as error:
        # Ctrl-C: what was written stands, a document closed; no traceback.
        reader.interrupts_ignored()
        return fail(INTERRUPTED, INTERRUPTED_STATUS, options, getattr(error, "in_document", False))
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


def fail(message, status, options=None, in_document=False):
    """The failure on standard error; where JSON is asked for and no document told it, a document of it too."""
    in_document = in_document or getattr(message, "in_document", False)
    if options is not None and options.format == "json" and not in_document:
        write_error_document(str(message))
    if sys.stderr is not None:
        print(f"dorvik-report: {reader.escaped(str(message))}", file=sys.stderr)
    return status


def write_error_document(message):
    """The document of a report that failed before it began."""
    try:
        write_document("error", {"error": message})
        sys.stdout.flush()
    except (OSError, AttributeError):
        pass

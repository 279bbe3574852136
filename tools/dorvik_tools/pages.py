"""dorvik-report --format html: the report as one page that a person opens
in a browser and can mail or archive as one file.

The page is built from the JSON documents that --format json writes (the
runs, the medians, the comparison and each dorvik-clients folder's summary):
a table shows whatever fields its rows hold, so that a field added to a
document appears on the page without a change here. The charts are
dorvik-plot's gnuplot scripts drawn with the svg terminal and put inline.
Nothing is fetched and nothing runs: styles are inline, the page holds no
script, and a content security policy forbids the browser every fetch and
script should one get in; every text that comes from an input (names,
reasons, notes, what hosts said) is escaped, its control characters and
undecodable bytes shown as escapes."""

import argparse
import contextlib
import html
import io
import json
import math
import os
import re
import sys
import tempfile

from . import VERSION, charts, clients, clients_chart, reader, report

# Characters shown as their escapes: C0 and C1 controls and DEL, and the surrogates that stand for
# bytes that are not UTF-8 (each shown as the byte it stands for).
UNSHOWN = re.compile("[\x00-\x1f\x7f-\x9f\ud800-\udfff]")
# A table of more rows than this is shown closed, to be opened by a click.
OPEN_ROWS = 40
# The most charts of single series on a page (runs whose grids differ); the others are named.
MOST_CHARTS = 12
# What the browser may do with the page: take its inline styles, and nothing else (no script, no fetch).
POLICY = "default-src 'none'; style-src 'unsafe-inline'"
# Fields of a document that hold raw samples or output pieces: never shown in a table.
RAW = ("samples", "chunks", "sampled")
# Fields of a clients host that say something went wrong.
FLAGS = ("reason", "flagged", "clock_moved")
# The colour, dash and marker of the old and the new side of a comparison, per file size: a colour per
# size, the old side dashed with open markers, the new solid with filled ones.
SIDE_MARKERS = ((6, 7), (4, 5), (8, 9), (10, 11), (12, 13))

STYLE = """
body { font-family: sans-serif; color: #111; background: #fff; max-width: 1250px; margin: 1em auto;
       padding: 0 1em; line-height: 1.4; }
h1 { font-size: 1.45em; margin-bottom: .2em; }
h2 { font-size: 1.2em; border-bottom: 1px solid #bbb; margin-top: 1.8em; }
h3 { font-size: 1.05em; margin-bottom: .3em; }
p.about { color: #444; margin-top: 0; }
table { border-collapse: collapse; margin: .4em 0 1em; font-size: .88em; }
th, td { border: 1px solid #bbb; padding: .15em .45em; text-align: left; vertical-align: top; }
th { background: #eee; font-weight: 600; }
td.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
tr.bad td { background: #fbe3d6; }
.problems { border-left: .4em solid #d55e00; background: #fff4ee; padding: .3em 1em; }
.fine { border-left: .4em solid #009e73; background: #eef8f4; padding: .3em 1em; }
.verdict { font-size: 1.15em; font-weight: 600; }
figure { margin: .5em 0 1.5em; }
figure svg { display: block; width: 100%; height: auto; }
figcaption { color: #444; font-size: .9em; }
table.marks td { text-align: center; min-width: 6.5em; }
td.worse { background: #d55e00; color: #fff; font-weight: 600; }
td.better { background: #0072b2; color: #fff; font-weight: 600; }
td.noise { background: repeating-linear-gradient(135deg, #f0e442 0 5px, #fff 5px 10px); }
td.same { background: #fff; }
td.unmeasured { border-style: dashed; opacity: .8; }
span.key { display: inline-block; padding: 0 .5em; margin-right: .4em; border: 1px solid #bbb; }
details { margin: .3em 0; }
summary { cursor: pointer; }
div.wide { overflow-x: auto; }
"""


def visible(text):
    """Text with each control character and each byte that is not UTF-8 written as its escape."""
    def escape(match):
        code = ord(match.group())
        if 0xdc80 <= code <= 0xdcff:
            return f"\\x{code - 0xdc00:02x}"
        return reader.escaped(match.group()) if code < 0x80 else f"\\x{code:02x}" if code <= 0xff else f"\\u{code:04x}"
    return UNSHOWN.sub(escape, str(text))


def esc(text):
    """Text from an input, as HTML that shows it and never runs it."""
    return html.escape(visible(text), quote=True)


def number(value, places=6):
    """A figure as the page shows it: six decimals at most (or places), no trailing zeros; one under a
    millionth in three significant digits."""
    if not math.isfinite(value):
        return str(value)
    if 0 < abs(value) < 1e-6:
        return f"{value:.3g}"
    text = f"{value:.{places}f}".rstrip("0").rstrip(".")
    return "0" if text == "-0" else text


def scalar(value):
    return value is None or isinstance(value, (str, int, float, bool))


def shown(value, places=6):
    """A field's value as text, or None where it is no value a cell shows (a long list, raw data)."""
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float):
        return number(value, places)
    if isinstance(value, (int, str)):
        return visible(value)
    if isinstance(value, list) and len(value) <= 20 and all(
            scalar(v) or isinstance(v, list) and all(scalar(w) for w in v) for v in value):
        return "; ".join(", ".join(shown(w) for w in v) if isinstance(v, list) else shown(v) for v in value)
    return None


def flat(row, nested=True):
    """A row's fields that a cell can show: a dict within it gives fields of its own, named parent.child."""
    fields = {}
    for key, value in row.items():
        if key in RAW:
            continue
        if isinstance(value, dict) and nested:
            fields.update({f"{key}.{k}": v for k, v in flat(value, False).items()})
        elif not isinstance(value, dict):
            fields[key] = value
    return fields


def columns_of(rows):
    """The fields of the rows in the order they first appear, those that some row shows as a cell."""
    names = {}
    for row in rows:
        for key, value in row.items():
            if key not in names or names[key] is None:
                names[key] = shown(value)
    return [key for key, value in names.items() if value is not None]


def is_bad(row):
    return row.get("status") in ("damaged", "incomplete") or row.get("complete") is False or any(
        row.get(flag) for flag in FLAGS)


def cell(value, name=""):
    """A field's cell; a rate in MB/s to three decimals, as the other formats give it."""
    text = shown(value, 3 if name.endswith("mb_per_s") else 6)
    if text is None:
        return f"<td>({len(value)} entries)</td>"
    numeric = isinstance(value, (int, float)) and not isinstance(value, bool)
    return f'<td class="n">{esc(text)}</td>' if numeric else f"<td>{esc(text)}</td>"


def table(rows, names=None, headings=None):
    """Rows as a table of the fields they hold (or of names), a row that went wrong marked; closed when long."""
    rows = [flat(row) for row in rows]
    names = names or columns_of(rows)
    if not rows or not names:
        return ""
    head = "".join(f"<th>{esc(h)}</th>" for h in (headings or names))
    body = "".join(("<tr class=\"bad\">" if is_bad(row) else "<tr>") + "".join(cell(row.get(n), n) for n in names)
                   + "</tr>\n" for row in rows)
    text = f"<div class=\"wide\"><table>\n<tr>{head}</tr>\n{body}</table></div>\n"
    if len(rows) > OPEN_ROWS:
        return f"<details><summary>{len(rows)} rows</summary>\n{text}</details>\n"
    return text


def fields_table(fields):
    """A dict's fields, a row each: name and value (a nested dict's fields named parent.child)."""
    rows = [(key, value) for key, value in flat(fields).items() if shown(value) is not None]
    if not rows:
        return ""
    cells = "".join(f"<tr><th>{esc(key)}</th>{cell(value, key)}</tr>\n" for key, value in rows)
    return f"<table>\n{cells}</table>\n"


def phase_tables(rows, keys):
    """Rows split by phase: per phase a table of the fields named after it (write_..., read....), each
    row led by the fields in keys."""
    rows = [flat(row) for row in rows]
    parts = []
    for phase in reader.PHASES:
        names = [n for n in columns_of(rows) if n.startswith((phase + "_", phase + "."))]
        if names:
            parts.append(f"<h3>{phase}</h3>\n" + table(rows, keys + names, keys + [n[len(phase) + 1:] for n in names]))
    return "".join(parts)


class Page:
    """A page being written: its parts, and a count of its charts that keeps their ids apart."""

    def __init__(self, title):
        self.title, self.parts, self.charts = title, [], 0

    def add(self, *parts):
        self.parts.extend(part for part in parts if part)

    def section(self, heading, *parts):
        if any(parts):
            self.add(f"<h2>{esc(heading)}</h2>\n", *parts)

    def chart(self, draw, caption=""):
        """A chart inline as SVG: draw(output) gives the gnuplot script that draws it into output."""
        self.charts += 1
        try:
            with tempfile.TemporaryDirectory() as folder:
                output = os.path.join(folder, "chart.svg")
                charts.run_gnuplot(draw(output), output)
                svg = drawn(output)
        except charts.PlotError as error:
            report.warn(f"no chart: {error}")
            return f'<p class="problems">No chart: {esc(error)}</p>\n'
        return f"<figure>{inline(svg, f'c{self.charts}-')}" + (
            f"<figcaption>{esc(caption)}</figcaption>" if caption else "") + "</figure>\n"

    def text(self, about):
        return ("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                f"<meta http-equiv=\"Content-Security-Policy\" content=\"{POLICY}\">\n"
                "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                f"<title>{esc(self.title)}</title>\n<style>{STYLE}</style>\n</head>\n<body>\n"
                f"<h1>{esc(self.title)}</h1>\n<p class=\"about\">{about}</p>\n" + "".join(self.parts)
                + f"<p class=\"about\">Written by dorvik-report {esc(VERSION)}.</p>\n</body>\n</html>\n")


def drawn(output):
    """The SVG that gnuplot wrote; PlotError where it wrote none."""
    try:
        with open(output, encoding="utf-8", errors="replace") as f:
            svg = f.read()
    except OSError as error:
        raise charts.PlotError(f"gnuplot wrote no chart: {error.strerror}") from error
    if "<svg" not in svg:
        raise charts.PlotError("gnuplot wrote no chart")
    return svg


ID = re.compile(r"""\b(id=|href=|url\()(['"]?)(#?)""")


def inline(svg, prefix):
    """gnuplot's SVG as an element of the page: from its <svg> on, every id it defines and refers to
    prefixed, so that the charts of one page keep theirs apart."""
    svg = svg[svg.index("<svg"):]
    return ID.sub(lambda m: m.group(1) + m.group(2) + m.group(3) + (prefix if m.group(1) == "id=" or m.group(3)
                                                                     else ""), svg)


def document(function, options, **changes):
    """What a report's function writes as JSON for the options (with changes): the document, its status
    and the RunsUnusable it raised after writing, if any."""
    copied = argparse.Namespace(**{**vars(options), "format": "json", **changes})
    if ("-" in copied.files + copied.baseline or not copied.files) and sys.stdin is not None:
        sys.stdin.buffer.seek(0)  # spooled by the report: each document reads it from its start
    text, status, unusable = io.StringIO(), 0, None
    with contextlib.redirect_stdout(text):
        try:
            status = function(copied)
        except report.RunsUnusable as error:
            if not text.getvalue():
                raise
            status, unusable = report.UNUSABLE_STATUS, error
    return json.loads(text.getvalue()), status, unusable


def names(paths):
    return ", ".join(reader.shown(p) if p != "-" else "standard input" for p in paths or ["-"])


def run_names(runs):
    """Each run's name: its host, its source, and its number where a source holds several."""
    counts = {}
    for run in runs:
        counts[run["source"]] = counts.get(run["source"], 0) + 1
    seen, named = {}, []
    for run in runs:
        seen[run["source"]] = seen.get(run["source"], 0) + 1
        name = (f"{run['host']}: " if run.get("host") else "") + run["source"]
        named.append(name + (f" (run {seen[run['source']]})" if counts[run["source"]] > 1 else ""))
    return named


def problems(runs):
    """The runs that failed or did not reach their end, and every damaged line, each named with its reason;
    the runs of one source that failed for one reason (a host that failed) named once."""
    items, last = [], None
    for name, run in zip(run_names(runs), runs):
        if not run["complete"]:
            if last == (run.get("host"), run["source"], run["reason"]):
                items[-1] = (items[-1][0], items[-1][1] + 1, items[-1][2])
            else:
                items.append((name, 1, run["reason"]))
            last = (run.get("host"), run["source"], run["reason"])
        items += [(name, 1, test["reason"]) for test in run["tests"]
                  if test["status"] == "damaged" and test["reason"] != run["reason"]]
    items = [f"<li>{esc(name)}{f' and {count - 1} runs after it' if count > 1 else ''}: {esc(reason)}</li>"
             for name, count, reason in items]
    if not items:
        return '<p class="fine">Every run reached its end, and no line is damaged.</p>\n'
    return ('<div class="problems"><p>Failed, incomplete or damaged: these runs do not count in any median or '
            "comparison.</p>\n<ul>\n" + "\n".join(items) + "\n</ul></div>\n")


WHERE = {"file": "on a file", "raw": "on a raw device", "cdrom": "on a CD-ROM device", "single": "of single tests",
         "clients": "of dorvik-clients folders (all bytes over each phase's span)"}


def series_chart(page, name, run):
    """A run's chart: write and read against record length, a line per file size."""
    points = [(t["size_mb"], t["record_length"], t["write_mb_per_s"], t["read_mb_per_s"])
              for t in run["tests"] if t["status"] == "ok"]
    where = f"{'CD-ROM' if run['mode'] == 'cdrom' else 'raw'} device {run['device']}" if run["device"] else "on a file"
    heading = visible(f"{name}: dorvik series {where}" + ("" if run["complete"] else f" (partial: {run['reason']})"))
    chart = (heading, "file size", charts.by_size(points), any(p[2] for p in points))
    return page.chart(lambda output: charts.script(output, chart, False))


def series_charts(page, runs):
    """A chart of each series that is no host's, up to MOST_CHARTS, and the names of those left out."""
    series = [(name, run) for name, run in zip(run_names(runs), runs)
              if not run.get("host") and run["mode"] != "single" and any(t["status"] == "ok" for t in run["tests"])]
    drawn = [series_chart(page, name, run) for name, run in series[:MOST_CHARTS]]
    left = ", ".join(name for name, _ in series[MOST_CHARTS:])
    return drawn + ([f"<p>No chart, past the first {MOST_CHARTS}: {esc(left)}.</p>\n"] if left else [])


def medians_chart(page, points):
    """The medians of repeated runs per file size, with bars from the least to the most."""
    drawn = [(p["size_mb"], p["record_length"], *(p[f"{phase}_{kind}_mb_per_s"] for phase in reader.PHASES
                                                  for kind in ("median", "min", "max")))
             for p in points if p["runs"]]
    if not drawn:
        return ""
    runs = max(p["runs"] for p in points)
    heading = f"dorvik series {WHERE.get(points[0]['mode'], points[0]['mode'])}: medians of {runs} runs, " \
              "bars from the least to the most"
    chart = (heading, "file size", charts.by_size(drawn), any(p[2] for p in drawn))
    return page.chart(lambda output: charts.script(output, chart, False, charts.MEDIANS))


def left_out(medians):
    """The runs left out of the medians, each with its reason."""
    if not medians["failed"]:
        return '<p class="fine">Every run reached its end, and no line is damaged.</p>\n'
    failed = "".join(f"<li>{esc(name)}</li>\n" for name in medians["failed"])
    return f'<div class="problems"><p>Failed or incomplete, left out of the medians:</p><ul>\n{failed}</ul></div>\n'


def medians_part(page, medians):
    """The medians: their chart and table."""
    return medians_chart(page, medians["points"]) + table(medians["points"])


def runs_page(options):
    """The page of series, single tests and dorvik-clients folders: what failed, the charts (the medians of
    several runs of one grid, else each series), the medians, each test, each run and each folder."""
    paths = options.files or ["-"]
    runs_document = document(report.listing, options)[0]
    runs = runs_document["runs"]
    page = Page("dorvik report")
    page.section("Failed and damaged", problems(runs))
    folders = [path for path in paths if reader.is_clients_folder(path)]
    for folder, summary in zip(folders, runs_document.get("clients", [])):
        clients_part(page, folder, summary)
    medians = several_runs_medians(options, runs)
    if medians:
        page.section("Medians of the runs", medians_part(page, medians))
    else:
        page.section("Charts", *series_charts(page, runs))
    page.section("Tests", table([{"run": name, "mode": run["mode"], **test}
                                 for name, run in zip(run_names(runs), runs) for test in run["tests"]]))
    page.section("Runs", table([{"run": name, **{k: v for k, v in run.items() if k not in ("tests", "source", "host")}}
                                for name, run in zip(run_names(runs), runs)]))
    return page.text(f"Inputs: {esc(names(paths))}."), 0, None


def several_runs_medians(options, runs):
    """The medians document where several runs measured one grid, else None."""
    folders = [path for path in options.files if reader.is_clients_folder(path)]
    if sum(1 for run in runs if not run.get("host")) + len(folders) < 2:
        return None
    try:
        medians = document(report.medians, options, median=True)[0]
    except report.UsageError:
        return None
    return medians if any(p["runs"] > 1 for p in medians["points"]) else None


def medians_page(options):
    medians, status, unusable = document(report.medians, options)
    page = Page("dorvik report: medians")
    page.section("Failed and damaged", left_out(medians))
    page.section("Medians of the runs", medians_part(page, medians))
    return page.text(f"Inputs: {esc(names(options.files))}."), status, unusable


def time_line_chart(page, folder):
    try:
        with reader.clients_folder_errors(folder):
            line = clients_chart.drawn_line(folder)
    except charts.PlotError as error:
        return f"<p>No time line: {esc(error)}</p>\n"
    return page.chart(lambda output: clients_chart.script(output, folder, line),
                      "MB/s over time, writes above and reads below, each averaged over a window of the run.")


def flagged(summary):
    """What the run flagged: an interrupt, and each host that failed, started late or whose clock moved."""
    items = ["<li>the run was interrupted</li>"] if summary.get("interrupted") else []
    for host in summary["hosts"]:
        said = [f"{flag.replace('_', ' ')}: {shown(host[flag])}" for flag in FLAGS if host.get(flag)]
        if said:
            items.append(f"<li>{esc(host['host'])}: {esc('; '.join(said))}</li>")
    if not items:
        return '<p class="fine">Nothing flagged: every host ran its tests, started in time and kept its clock.</p>\n'
    return '<div class="problems"><ul>\n' + "\n".join(items) + "\n</ul></div>\n"


def host_tests(host):
    """A host's tests, each with its start against its instant where the record gives both."""
    rows = []
    for number, test in enumerate(host.get("tests", []), 1):
        row = {"test": number}
        if all(isinstance(test.get(k), (int, float)) for k in ("start", "offset", "at")):
            row["start - instant (s)"] = test["start"] - test["offset"] - test["at"]
        rows.append({**row, **test})
    return rows


def host_details(host):
    """A host's record, closed: its tests, and each group of its fields (such as its environment)."""
    groups = "".join(f"<h3>{esc(key)}</h3>\n{fields_table(value)}" for key, value in host.items()
                     if isinstance(value, dict))
    return (f"<details><summary>{esc(host['host'])}</summary>\n" + table(host_tests(host)) + groups
            + "</details>\n")


def clients_part(page, folder, summary):
    """A dorvik-clients folder: the run, what was flagged, the time line, the aggregates per phase, the hosts."""
    about = {k: v for k, v in summary.items() if not isinstance(v, (dict, list)) or shown(v) is not None}
    if isinstance(summary.get("at"), (int, float)):
        with reader.clients_folder_errors(folder):
            about["at"] = clients.utc(summary["at"])
    page.section(f"dorvik-clients folder {visible(reader.shown(folder))}", fields_table(about))
    page.add("<h3>Flagged</h3>\n", flagged(summary), "<h3>Time line</h3>\n", time_line_chart(page, folder))
    page.add("<h3>Aggregates per grid point and phase</h3>\n",
             phase_tables(summary["points"], ["size_mb", "record_length"]))
    for key in sorted({k for p in summary["points"] for k, v in p.items() if k != "hosts" and isinstance(v, list)}):
        rows = [{"size_mb": p["size_mb"], "record_length": p["record_length"], **row}
                for p in summary["points"] for row in p.get(key, [])]
        if rows:
            page.add(f"<h3>{esc(key.replace('_', ' '))}</h3>\n", table(rows))
    page.add("<h3>Hosts</h3>\n", table([{k: v for k, v in h.items() if not isinstance(v, dict)}
                                        for h in summary["hosts"]]))
    page.add(*(host_details(host) for host in summary["hosts"]))


MARKS = ("worse", "better", "noise", "same")


def mark_class(mark):
    """The class of a mark's cell: its kind, and unmeasured where the runs' spread was not measured."""
    kind = mark.split(",")[0]
    return (kind if kind in MARKS else "none") + (" unmeasured" if "not measured" in mark else "")


def marks_grid(points, phase):
    """A phase's marks as a grid: a row per file size, a column per record length, each cell coloured by
    its mark and showing it with the ratio new/old."""
    sizes = sorted({(p["mode"], p["size_mb"]) for p in points})
    lengths = sorted({p["record_length"] for p in points})
    at = {(p["mode"], p["size_mb"], p["record_length"]): p for p in points}
    rows = []
    for mode, size in sizes:
        cells = []
        for length in lengths:
            point = at.get((mode, size, length))
            if point is None:
                cells.append("<td></td>")
                continue
            mark, ratio = point.get(phase + "_mark") or "", point.get(phase + "_ratio")
            cells.append(f'<td class="{mark_class(mark)}">{esc(mark or "no ratio")}<br>'
                         f"{esc('-' if ratio is None else number(ratio))}</td>")
        label = f"{size} MB" if len({m for m, _ in sizes}) == 1 else f"{mode} {size} MB"
        rows.append(f"<tr><th>{esc(label)}</th>{''.join(cells)}</tr>")
    head = "<tr><th>size \\ record length</th>" + "".join(f"<th>{length}</th>" for length in lengths) + "</tr>"
    return f"<h3>{phase}</h3>\n<table class=\"marks\">\n{head}\n" + "\n".join(rows) + "\n</table>\n"


MARKS_KEY = ('<p><span class="key" style="background:#d55e00;color:#fff">worse</span>'
             '<span class="key" style="background:#0072b2;color:#fff">better</span>'
             '<span class="key" style="background:repeating-linear-gradient(135deg,#f0e442 0 5px,#fff 5px 10px)">'
             'noise</span><span class="key">same</span> each cell: the mark and the ratio new/old of the medians; '
             "a dashed cell's spread was not measured (fewer than three runs a side).</p>\n")


def side_styles(count):
    """Per file size a colour, its old side dashed with open markers, its new solid with filled ones."""
    styles = []
    for i in range(count):
        colour, (hollow, filled) = charts.COLOURS[i % len(charts.COLOURS)], SIDE_MARKERS[i % len(SIDE_MARKERS)]
        styles += [f"lc rgb '{colour}' dt 2 pt {hollow}", f"lc rgb '{colour}' dt 1 pt {filled}"]
    return styles


def sides_chart(page, points):
    """Both sides' medians on one set of axes: per file size the old line dashed and the new solid."""
    lines = []
    for size in sorted({p["size_mb"] for p in points}):
        at = sorted((p for p in points if p["size_mb"] == size), key=lambda p: p["record_length"])
        for side in ("baseline", "new"):
            drawn = [(p["record_length"], *(p[f"{phase}_{side}_mb_per_s"] for phase in reader.PHASES)) for p in at]
            lines.append((f"{'old' if side == 'baseline' else 'new'} {size} MB",
                          [d for d in drawn if None not in d]))
    lines = [line for line in lines if line[1]]
    if not lines:
        return ""
    writes = any(p[1] for _, drawn in lines for p in drawn)
    chart = ("dorvik series compared: the medians of the old runs (dashed) and the new (solid)", "side, file size",
             lines, writes)
    styles = side_styles(len(lines) // 2 + 1)
    return page.chart(lambda output: charts.script(output, chart, False, styles=styles))


def verdict_line(comparison):
    if comparison.get("worse"):
        return '<p class="problems verdict">Worse: at least one point, or a phase over the grid, got worse.</p>\n'
    return '<p class="fine verdict">Not worse: no point and no phase over the grid got worse.</p>\n'


def comparison_page(options):
    comparison, status, unusable = document(report.comparison, options)
    points = comparison["points"]
    page = Page("dorvik report: comparison")
    # The phases with a mark at some point: a CD-ROM series wrote nothing, and its write phase has none.
    phases = [key[:-len("_mark")] for key in (points[0] if points else {})
              if key.endswith("_mark") and any(p[key] for p in points)]
    page.add(verdict_line(comparison))
    verdicts = comparison.get("grid", {})
    page.section("Verdicts per phase", table([{"phase": phase, **fields} for phase, fields in verdicts.items()]),
                 "".join(f"<p class=\"problems\">{esc(w)}</p>\n" for w in comparison.get("warnings", [])))
    page.section("Marks per point", MARKS_KEY, *(marks_grid(points, phase) for phase in phases))
    page.section("Both sides", sides_chart(page, points))
    page.section("Points", table(points))
    settings = {k: v for k, v in comparison.items()
                if k not in ("schema_version", "report", "points", "grid", "warnings", "worse") and scalar(v)}
    page.section("Settings", fields_table(settings))
    for key, value in comparison.items():
        if key not in ("points", "grid", "warnings") and not scalar(value):
            page.section(key.replace("_", " "), generic(value))
    about = f"Old runs: {esc(names(options.baseline))}. New runs: {esc(names(options.files))}."
    return page.text(about), status, unusable


def generic(value):
    """A field that the page knows nothing of, shown as what it holds: a table, its fields, or a list."""
    if isinstance(value, dict) and value and all(isinstance(v, dict) for v in value.values()):
        return table([{"": key, **fields} for key, fields in value.items()])
    if isinstance(value, dict):
        return fields_table(value)
    if isinstance(value, list) and all(isinstance(v, dict) for v in value):
        return table(value)
    return f"<p>{esc(shown(value) or json.dumps(value))}</p>\n"


def page(options):
    """The page for the options: its text, the report's status, and the RunsUnusable it raised after
    writing, if any."""
    if options.baseline:
        return comparison_page(options)
    if options.median:
        return medians_page(options)
    return runs_page(options)


def write_page(options):
    """Writes the page to standard output, whole; a report that cannot use its runs says so once it is written."""
    text, status, unusable = page(options)
    sys.stdout.write(text)
    if unusable is not None:
        sys.stdout.flush()
        raise unusable
    return status

"""dorvik-plot: draws dorvik series as charts of write and read rates against
record length with gnuplot. One input: one line per file size. Several: one
line per input, at one file size, to compare runs. With --median, the medians
of repeated runs per file size, with their spread. A folder of dorvik-clients
(-o of dorvik-clients): its time line, the MB/s of the storage and of the
programs over time, each phase's span shaded."""

import argparse
import os
import shutil
import subprocess
import sys

from . import VERSION, clients_chart, reader, report

# Each line's colour, dash and marker (see line_style): seven colours that colour-blind readers tell apart
# (Okabe and Ito's, without the yellow that white paper hides), five dashes and thirteen markers, each
# turning with every line: no two of the first 455 lines look alike, and in grey print, where colours
# blur, no two of the first 65 (by dash and marker).
COLOURS = ("#0072b2", "#d55e00", "#009e73", "#cc79a7", "#e69f00", "#56b4e9", "#000000")
DASHES = (1, 2, 4, 3, 5)
MARKERS = (7, 5, 9, 11, 13, 1, 2, 3, 4, 6, 8, 10, 12)
# One light grid behind the lines, the same in every format (each terminal's own differs).
GRID = "set grid back lt 1 lc rgb '#dddddd' lw 1 dt 1"
# The chart's format follows its name, each in one size and font; noenhanced shows names literally (no _
# subscripts or ^ powers).
# The svg terminal counts a font's size in pixels, where the cairo terminals count points of 1/72 inch at 96
# pixels to the inch; its markers grow with its font, and its dashes are shorter.
TERMINALS = {".png": "pngcairo size 1200,{height} noenhanced font 'sans,10'",
             ".svg": "svg size 1200,{height} dynamic noenhanced font 'sans,13' dashlength 1.6",
             ".pdf": "pdfcairo size 12in,{inches}in noenhanced font 'sans,10'"}
POINT_SIZES = {".svg": 0.8}
# The status of a chart interrupted by Ctrl-C, as a shell gives a command that SIGINT ended.
INTERRUPTED_STATUS = 130


class PlotError(Exception):
    """A chart that cannot be drawn; exit status 1."""


def parse_arguments():
    parser = argparse.ArgumentParser(prog="dorvik-plot", description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", action="version", version=f"%(prog)s {VERSION}")
    parser.add_argument("-o", dest="output", metavar="FILE.png|FILE.svg|FILE.pdf",
                        help="the chart (default: the input's name with .png, or dorvik.png)")
    parser.add_argument("-t", dest="titles", action="append", default=[], metavar="TITLE",
                        help="the legend of each input, in order, one per input (default: its file name)")
    parser.add_argument("-s", dest="size", type=int, metavar="MB",
                        help="with several inputs, the file size to compare (default: the largest common one)")
    parser.add_argument("--median", action="store_true",
                        help="the medians of repeated runs of one grid, with bars from the least to the most")
    parser.add_argument("--log", action="store_true", help="a logarithmic rate axis")
    parser.add_argument("--window", type=window_seconds, metavar="SECONDS",
                        help="the chart of a dorvik-clients folder: the seconds its rates are averaged over "
                        "(default: about a two-hundredth of the run)")
    parser.add_argument("inputs", nargs="*", metavar="SERIES_OUTPUT|CLIENTS_FOLDER",
                        help="a file of dorvik's series output (standard input when none), or one folder of "
                        "dorvik-clients")
    return parser.parse_args()


def window_seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0.001 <= value <= 86400:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds from 0.001 to 86400")
    return value


def name_of(path):
    return "standard input" if path == "-" else reader.shown(path)


def first_series(path):
    """The points (size, record length, write MB/s, read MB/s) of the first series in path."""
    for run in reader.load(path):
        if run["mode"] == "single":
            continue
        points = [(t["size_mb"], t["record_length"], reader.mb_per_s(t["write_bytes_per_s"]),
                   reader.mb_per_s(t["read_bytes_per_s"])) for t in run["tests"] if t["status"] == "ok"]
        if points:
            return run, points
    raise PlotError(f"no series table in {name_of(path)}")


def by_size(points):
    """One line per file size: (title, points of record length, write, read)."""
    return [(f"{size} MB", [p[1:] for p in points if p[0] == size]) for size in sorted({p[0] for p in points})]


def quoted(text):
    """A text as one gnuplot string that nothing in it can end: quotes doubled, and each control
    character, a line break above all, written out as its escape (shown, never obeyed)."""
    return "'" + reader.escaped(text).replace("'", "''") + "'"


def terminal(output, height=500):
    """The gnuplot terminal for a chart's name, 1200 pixels wide (12 inches) and height high; an extension
    it does not know is refused."""
    extension = os.path.splitext(output)[1].lower()
    if extension not in TERMINALS:
        raise PlotError(f"{reader.shown(output)}: the chart's name must end in .png, .svg or .pdf")
    return TERMINALS[extension].format(height=height, inches=f"{height / 100:g}")


def line_style(i):
    """The colour, dash and marker of line i, for any i: each turns with every line, out of step with
    the others."""
    return f"lc rgb '{COLOURS[i % len(COLOURS)]}' dt {DASHES[i % len(DASHES)]} pt {MARKERS[i % len(MARKERS)]}"


def rate_axis(label, log):
    """The rate axis: from 0, or logarithmic (where a rate of 0 has no place and is left out)."""
    if log:
        return [f"set ylabel {quoted(label + ', logarithmic')}", "set logscale y 10"]
    return [f"set ylabel {quoted(label)}", "set yrange [0:*]"]


def data_block(lines):
    """lines: (title, points), each point a record length and its figures; one gnuplot data set per line."""
    blocks = []
    for _, points in lines:
        blocks.append("\n".join(f"{length} " + " ".join(f"{value:.3f}" for value in values)
                                for length, *values in points))
    return "$data << EOD\n" + "\n\n\n".join(blocks) + "\nEOD"


def plot_command(lines, columns, style):
    plots = [f"$data index {i} using {columns} with {style} lw 2 lt {i + 1} title {quoted(title)}"
             for i, (title, _) in enumerate(lines)]
    return "plot " + ", ".join(plots)


# How each kind of chart draws its lines: the columns of the write and the read phase, and the style.
LINES = ("1:2", "1:3", "linespoints")
MEDIANS = ("1:2:3:4", "1:5:6:7", "yerrorlines")


def script(output, chart, log, drawn=LINES, styles=None):
    """A chart of lines against record length, write beside read (read alone where nothing was written).
    chart: its heading, the title of its key, its lines and whether anything was written; styles: each
    line's colour, dash and marker, by default line_style's."""
    heading, key_title, lines, writes = chart
    write_columns, read_columns, style = drawn
    lengths = sorted({p[0] for _, points in lines for p in points})
    commands = [f"set terminal {terminal(output)}", f"set output {quoted(reader.shown(output))}",
                data_block(lines)]
    styles = styles or [line_style(i) for i in range(len(lines))]
    size = POINT_SIZES.get(os.path.splitext(output)[1].lower(), 1.2)
    commands += [f"set linetype {i + 1} {styles[i]} ps {size}" for i in range(len(lines))]
    commands += ["set logscale x 2", "set xtics (" + ", ".join(map(str, lengths)) + ")",
                 f"set xrange [{lengths[0]} / 1.5 : {lengths[-1]} * 1.5]", "set xlabel 'record length (bytes)'"]
    commands += rate_axis("MB/s (1 MB = 1,048,576 bytes)", log) + [GRID]
    key = f"set key outside right top title {quoted(key_title)}"
    if writes:
        commands += [f"set multiplot layout 1,2 title {quoted(heading)}", "set key off", "set title 'write'",
                     plot_command(lines, write_columns, style), key, "set title 'read'",
                     plot_command(lines, read_columns, style), "unset multiplot"]
    else:
        commands += [key, f"set title {quoted(heading + ': read (no write phase)')}",
                     plot_command(lines, read_columns, style)]
    return "\n".join(commands) + "\n"


def partial(run):
    """What the chart of a run that did not reach its end says of it."""
    return "" if run["complete"] else f" (partial: {run['reason']})"


def one_series(path):
    run, points = first_series(path)
    where = f"{'CD-ROM' if run['mode'] == 'cdrom' else 'raw'} device {run['device']}" if run["device"] else "on a file"
    return f"dorvik series {where}{partial(run)}", "file size", by_size(points), any(p[2] for p in points)


def comparison(paths, titles, size):
    runs, series = zip(*(first_series(path) for path in paths))
    common = set.intersection(*({p[0] for p in points} for points in series))
    if size is None and not common:
        raise PlotError("the inputs have no file size in common")
    size = max(common) if size is None else size
    if size not in common:
        raise PlotError(f"not every input has the size {size} MB; common sizes: "
                        + (", ".join(map(str, sorted(common))) or "none"))
    lines = []
    for i, (path, run, points) in enumerate(zip(paths, runs, series)):
        title = titles[i] if titles else os.path.basename(name_of(path))
        lines.append((title + partial(run), [p[1:] for p in points if p[0] == size]))
    cut = sum(1 for run in runs if not run["complete"])
    heading = f"dorvik series compared at {size} MB"
    if cut:
        heading += f" (partial: {cut} of {len(runs)} runs did not reach their end)"
    return heading, "run", lines, any(p[1] for _, ps in lines for p in ps)


# What a series of each mode ran on, in the heading of its medians.
PLACES = {"file": "on a file", "raw": "on a raw device", "cdrom": "on a CD-ROM device",
          "clients": "of dorvik-clients folders (all bytes over each phase's span)"}


def medians(paths):
    """The medians of repeated runs of one grid, one line per file size, with the least and the most
    of each rate; runs that failed or are incomplete are left out, and the heading says so."""
    try:
        side = report.Side("").read(paths)
        rows = list(report.median_rows(side))
    except report.UsageError as error:
        raise PlotError(str(error)) from error
    points = []
    for row in rows:
        if row["runs"]:
            points.append((row["size_mb"], row["record_length"],
                           *(row[f"{phase}_{kind}_mb_per_s"] for phase in reader.PHASES
                             for kind in ("median", "min", "max"))))
    if not points:
        raise PlotError("no whole run with a series table" + (f": {side.failed[0]}" if side.failed else ""))
    heading = f"dorvik series {PLACES.get(rows[0]['mode'], rows[0]['mode'])}: medians of {side.runs} runs, " \
              "bars from the least to the most"
    if side.failed:
        left_out = f"{len(side.failed)} run{'' if len(side.failed) == 1 else 's'}"
        heading += f" (partial: {left_out} left out, failed or incomplete: {side.failed[0]})"
    return heading, "file size", by_size(points), any(p[2] for p in points)


def default_output(paths):
    """The input's name with .png, its leading dots dropped so that the chart is never hidden."""
    stem = ""
    if len(paths) == 1 and paths[0] != "-":
        stem = os.path.splitext(os.path.basename(os.path.normpath(paths[0])))[0].lstrip(".")
    return (stem or "dorvik") + ".png"


def check_writable(output):
    folder = os.path.dirname(output) or "."
    if not os.path.isdir(folder):
        raise PlotError(f"cannot write {reader.shown(output)}: no folder {reader.shown(folder)}")
    if not os.access(folder, os.W_OK | os.X_OK) or (os.path.exists(output) and not os.access(output, os.W_OK)):
        raise PlotError(f"cannot write {reader.shown(output)}: permission denied")


def draw(options):
    paths = options.inputs or ["-"]
    output = options.output or default_output(paths)
    terminal(output)
    if reader.CONTROL.search(output):
        raise PlotError(f"{quoted(output)}: a chart's name holds no control characters")
    if options.titles and len(options.titles) != len(paths):
        raise PlotError(f"{len(options.titles)} titles (-t) for {len(paths)} inputs: give one per input, or none")
    if options.median and (options.titles or options.size is not None):
        raise PlotError("--median draws every file size of one grid: it takes no -t or -s")
    if options.median:
        commands = script(output, medians(paths), options.log, MEDIANS)
    elif len(paths) == 1 and reader.is_clients_folder(paths[0]):
        with reader.clients_folder_errors(paths[0]):
            commands = clients_chart.script(output, paths[0], clients_chart.drawn_line(paths[0], options.window),
                                            options.log)
    elif len(paths) == 1 and not options.titles and options.size is None:
        commands = script(output, one_series(paths[0]), options.log)
    else:
        commands = script(output, comparison(paths, options.titles, options.size), options.log)
    check_writable(output)
    run_gnuplot(commands, output)
    print(f"dorvik-plot: wrote {reader.shown(output)}")


def run_gnuplot(commands, output):
    """Runs gnuplot on a script that draws the chart output; PlotError where it is missing or fails."""
    if shutil.which("gnuplot") is None:
        raise PlotError("gnuplot is not installed (apt install gnuplot-nox)")
    done = subprocess.run(["gnuplot"], input=commands.encode("utf-8", "surrogateescape"),
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=False)
    if done.returncode != 0:
        raise PlotError(f"gnuplot could not draw {reader.shown(output)}: "
                        f"{done.stderr.decode('utf-8', 'surrogateescape').strip()}")


def main():
    reader.write_names_as_given()
    options = parse_arguments()
    try:
        draw(options)
        sys.stdout.flush()
    except (reader.ParseError, PlotError) as error:
        return fail(error)
    except OSError as error:
        if sys.stdout is not None:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return fail(f"cannot write: {error.strerror}")
    except KeyboardInterrupt:
        reader.interrupts_ignored()
        return fail("interrupted", INTERRUPTED_STATUS)
    return 0


def fail(message, status=1):
    if sys.stderr is not None:
        print(f"dorvik-plot: {reader.escaped(str(message))}", file=sys.stderr)
    return status


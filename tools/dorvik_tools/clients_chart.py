"""The chart of a dorvik-clients folder over time, drawn by gnuplot: writes
above, reads below, each the rate of all hosts at the storage (each machine's
device once) and as passed to the system, averaged over a window of about a
two-hundredth of the run; each host's own rate as a line of its own, or, past
eight hosts, as a band from the least to the most of them. Each grid point's
phases are shaded from their first start to their last end, the window while
all were active darker, with its figure on it. The rate axis is scaled to the
storage's rates: a page cache's burst above them is clipped, and the chart
says how high it went."""

import math

from . import charts, reader, timeline
from .clients import partial

# Past this many hosts, a band from the least to the most of them instead of a line per host.
LINES_OF_HOSTS = 8
# The height of the two panels, of the axis' label below them, and of each row of the key, in pixels.
PANELS_HEIGHT, BELOW_HEIGHT, KEY_ROW_HEIGHT = 700, 60, 20
# The width of the plots, and of a window's figure written across it, in pixels.
PLOT_WIDTH, LABEL_WIDTH = 1070, 80
# The rate axis reaches this far above the storage's highest rate.
HEADROOM = 1.25
# The shortest window a chart averages over by default: a dozen samples, so that a storage that moves its
# bytes in bursts (a throttle's slices, a controller's flushes) shows its rate, not its bursts.
SHORTEST_WINDOW = 0.25
SPAN_COLOUR = {"write": "#dbe6f4", "read": "#f6e3d3"}
WINDOW_COLOUR = {"write": "#a9c1e3", "read": "#e8bd99"}
BAND_COLOUR = "#bbbbbb"


def drawn_line(path, window=None):
    """The time line of a folder as the chart draws it: its rates over windows of the given seconds (about a
    two-hundredth of the run by default)."""
    line = timeline.Line(path)
    if line.empty:
        raise charts.PlotError(f"no client measured anything in {reader.shown(path)}")
    step = window or max(line.step, SHORTEST_WINDOW, (line.times[-1] - line.times[0]) / timeline.CHART_WINDOWS)
    return line if step == line.step else timeline.Line(path, step)


def steps(times, origin, values):
    """A rate over each interval as the two ends of a step: (seconds, rate) pairs."""
    found = []
    for i, value in enumerate(values):
        found += [(times[i] - origin, value), (times[i + 1] - origin, value)]
    return found


def data(name, points):
    return [f"${name} << EOD"] + [" ".join(f"{v:.6f}" for v in p) for p in points] + ["EOD"]


def starts(labels, named):
    """Where each grid point began: a dotted line, and its name where named."""
    commands = []
    for number, (text, at) in enumerate(labels, 1):
        commands.append(f"set arrow {number} from {at:.3f}, graph 0 to {at:.3f}, graph 1 nohead lc rgb '#999999' dt 3")
        if named:
            commands.append(f"set label {charts.quoted(text)} at {at:.3f}, graph 0.98 rotate by 90 right "
                            "font ',7' tc rgb '#555555'")
    return commands


def figure_label(figure, begin, end, line):
    """A window's figure written on it: across it where it is wide enough, else up along it from its foot."""
    text = f"{figure:.1f} MB/s"
    wide = (end - begin) / (line.times[-1] - line.times[0]) * PLOT_WIDTH >= LABEL_WIDTH
    placed = "graph 0.92 center" if wide else "graph 0.03 left rotate by 90"
    return f"set label {charts.quoted(text)} at {(begin + end) / 2:.3f}, {placed} front font ',9'"


def panel(line, phase, totals, hosts, marks, log):
    """The commands of one phase's panel: its shading, its labels, its axis and its lines."""
    number = 0 if phase == "write" else 1
    storage, program = totals[("storage", phase)], totals[("program", phase)]
    top = max(storage, default=0.0) * HEADROOM or max(program, default=0.0) * HEADROOM or 1.0
    commands = ["unset object", "unset label", "unset arrow"] + starts(marks[1], phase == "write")
    for mark in (m for m in marks[0] if m["phase"] == phase):
        commands.append(f"set object rect from {mark['begin']:.3f}, graph 0 to {mark['end']:.3f}, graph 1 "
                        f"fc rgb '{SPAN_COLOUR[phase]}' fs solid 1.0 noborder behind")
        if mark["window"]:
            begin, end = mark["window"]
            commands.append(f"set object rect from {begin:.3f}, graph 0 to {end:.3f}, graph 1 "
                            f"fc rgb '{WINDOW_COLOUR[phase]}' fs solid 1.0 noborder behind")
            if mark["figure"] is not None:
                commands.append(figure_label(mark["figure"], begin, end, line))
    highest = max(program + [v for _, ways in hosts for v in ways[number]], default=0.0)
    clipped = f" (clipped above {top:,.0f} MB/s: the programs reached {highest:,.0f} MB/s, a cache)" \
        if highest > top else ""
    commands += [f"set title {charts.quoted(phase + clipped)}", f"set yrange [{'*' if log else '0'}:{top:.3f}]",
                 "unset key" if phase == "write" else "set key outside below center horizontal height 1",
                 "unset xlabel" if phase == "write" else "set xlabel 'seconds from the first start (controller clock)'"]
    plots = []
    if len(hosts) > LINES_OF_HOSTS:
        plots.append(f"$band_{phase} using 1:2:3 with filledcurves fc rgb '{BAND_COLOUR}' fs solid 0.5 noborder "
                     f"title {charts.quoted(f'each of {len(hosts)} hosts: least to most, passed to the system')}")
    else:
        plots += [f"$host_{phase}_{i} using 1:2 with lines lw 1 {charts.line_style(i + 2)} "
                  f"title {charts.quoted(name + ': passed to the system')}" for i, (name, _) in enumerate(hosts)]
    plots.append(f"$all_{phase} using 1:2 with lines lw 3 {charts.line_style(0)} "
                 f"title {charts.quoted('all hosts: storage (' + line.counters + ')')}")
    plots.append(f"$all_{phase} using 1:3 with lines lw 2 {charts.line_style(1)} "
                 "title 'all hosts: passed to the system'")
    return commands + ["plot " + ", ".join(plots)]


def script(output, folder, line, log=False):
    """The gnuplot script of the chart of a folder's time line."""
    totals = line.totals()
    hosts = list(line.host_rates())
    marks = line.marks()
    # The key below the chart, two entries a row, each row making the chart taller.
    rows = math.ceil(((1 if len(hosts) > LINES_OF_HOSTS else len(hosts)) + 2) / 2)
    height = PANELS_HEIGHT + KEY_ROW_HEIGHT * rows
    commands = [f"set terminal {charts.terminal(output, height)}",
                f"set output {charts.quoted(reader.shown(output))}"]
    for number, phase in enumerate(("write", "read")):
        storage = steps(line.times, line.origin, totals[("storage", phase)])
        program = steps(line.times, line.origin, totals[("program", phase)])
        commands += data(f"all_{phase}", [(t, s, p) for (t, s), (_, p) in zip(storage, program)])
        if len(hosts) > LINES_OF_HOSTS:
            least = [min(ways[number][i] for _, ways in hosts) for i in range(len(line.times) - 1)]
            most = [max(ways[number][i] for _, ways in hosts) for i in range(len(line.times) - 1)]
            commands += data(f"band_{phase}", [(t, a, b) for (t, a), (_, b) in
                                               zip(steps(line.times, line.origin, least),
                                                   steps(line.times, line.origin, most))])
        else:
            for i, (_, ways) in enumerate(hosts):
                commands += data(f"host_{phase}_{i}", steps(line.times, line.origin, ways[number]))
    cut = partial(line.summary)
    title = f"dorvik-clients {reader.shown(folder)}: MB/s over time, averaged over {line.step:.3g} s" + (
        f" ({cut})" if cut else "")
    commands += [charts.rate_axis("MB/s (1 MB = 1,048,576 bytes)", log)[0], charts.GRID,
                 f"set xrange [{line.times[0] - line.origin:.3f}:{line.times[-1] - line.origin:.3f}]"]
    if log:
        commands.append("set logscale y 10")
    below = (BELOW_HEIGHT + KEY_ROW_HEIGHT * rows) / height
    commands.append(f"set multiplot layout 2,1 title {charts.quoted(title)} margins 0.08, 0.97, {below:.3f}, "
                    f"{1 - 50 / height:.3f} spacing 0.1")
    for phase in ("write", "read"):
        commands += panel(line, phase, totals, hosts, marks, log)
    commands.append("unset multiplot")
    return "\n".join(commands) + "\n"

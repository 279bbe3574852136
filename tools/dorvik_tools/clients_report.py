"""The report of a dorvik-clients run, printed when the run ends and again by
dorvik-clients --report: each host's clock and measured start against the
instant, each host's rates per grid point, the aggregates (with the counters
they come from), and the run's exit status. Text that came from a host is
printed with its control characters escaped."""

import re
import sys

from . import clients, environment, reader

INTERRUPTED = 130
# What a client's shell or the client itself says when the programs are not where the command looks for them.
NOT_INSTALLED = re.compile(r"dorvik-clients: (command )?not found|dorvik-clients: No such file or directory|"
                           r"not installed there")
BIN_HINT = "; --bin FOLDER names the folder of dorvik and dorvik-clients on the clients"


def signed(value, places=6):
    return "-" if value is None else f"{value:+.{places}f}"


def figure(value, places=2):
    return "-" if value is None else f"{value:.{places}f}"


def flags_of(host):
    return ("  LATE START" if host["flagged"] else "") + ("  CLOCK MOVED" if host["clock_moved"] else "")


def late_starts(host, limit):
    """Each test of a host that may have started beyond the limit, and how early its dorvik was started."""
    for number, test in enumerate(host["tests"], 1):
        if test.get("start") is None:
            continue
        miss = test["start"] - test["offset"] - test["at"]
        if abs(miss) + test["offset_error"] > limit:
            spawned = "" if test.get("spawned") is None else (
                f"; dorvik was started {test['at'] - (test['spawned'] - test['offset']):.6f} s before the instant")
            print(f"late start: {reader.escaped(host['host'])} test {number}: {miss:+.6f} s from the instant "
                  f"±{test['offset_error']:.6f}{spawned}")


def hint(reason):
    """What to do about a failure, where the reason says."""
    return BIN_HINT if NOT_INSTALLED.search(str(reason)) else ""


def print_hosts(summary):
    print(f"{'host':<20}{'clock offset (s)':<22}{'start - instant (s)':<22}result")
    for host in summary["hosts"]:
        clock = "-" if host["offset"] is None else f"{signed(host['offset'])} ±{host['offset_error']:.6f}"
        result = reader.escaped(str(host["reason"])) + hint(host["reason"]) if host["reason"] else "ok"
        print(f"{reader.escaped(host['host']):<19} {clock:<21} {signed(host['skew']):<21} {result}{flags_of(host)}")
    print(f"start skew: {figure(summary['start_skew'], 6)} s from the first start to the last; worst of a test: "
          f"{figure(summary['worst_test_skew'], 6)} s; by the controller's clock")
    for host in summary["hosts"]:
        late_starts(host, summary["skew_limit"])
        for number, change, *during in host["clock_moved"]:
            when = f"during test {number} (its wall clock was set; its times are kept by its monotonic clock)" \
                if during else f"before test {number}"
            print(f"clock moved: {reader.escaped(host['host'])} {change:+.6f} s against the controller's {when}")
        for number, test in enumerate(host["tests"], 1):
            for note in test.get("notes", []):
                print(f"note: {reader.escaped(host['host'])} test {number}: {reader.escaped(str(note))}; its "
                      "figures go on")
    if summary.get("format") == 2:
        print("recorded by an earlier dorvik-clients (format 2): the starts are the clients' wake-ups, the "
              "counters the programs'")
    print_between_phases(summary)


def print_between_phases(summary):
    """What the command between the phases did in each test."""
    command = summary.get("between_phases")
    if not command:
        return
    ran = [(number, t["between_phases"]) for number, t in enumerate(summary.get("tests", []), 1)
           if t.get("between_phases")]
    took = [outcome["seconds"] for _, outcome in ran]
    failed = [(number, outcome) for number, outcome in ran if outcome["status"] != 0]
    print(f"between the phases: {reader.escaped(command)}: ran before {len(ran)} read{'s' if len(ran) != 1 else ''}"
          + (f", {min(took):.3f} to {max(took):.3f} s" if took else "")
          + (f"; {len(failed)} failed, and their reads went on" if failed else ""))
    for number, outcome in failed:
        why = outcome.get("reason") or f"status {outcome['status']}"
        print(f"between the phases of test {number}: {reader.escaped(why)} after {outcome['seconds']:.3f} s")


def print_environments(folder, summary):
    """What the hosts ran on, hosts alike together; nothing for a folder that recorded none."""
    with reader.clients_folder_errors(folder):
        hosts = [(host["host"], environment.checked(host["environment"])) for host in summary["hosts"]
                 if host.get("environment") is not None]
    for names, found in environment.grouped(hosts):
        said = [reader.escaped(line) for line in environment.lines(found)]
        print(f"environment of {', '.join(reader.escaped(name) for name in names)}: {said[0]}")
        for line in said[1:]:
            print("  " + line)


def print_point(point):
    head = f"{point['size_mb']!s:<8}{point['record_length']!s:<8}"
    figures = {f["host"]: f for f in point.get("host_figures", [])}
    for number, row in enumerate(point["hosts"]):
        print(f"{head}{reader.escaped(row['host']):<28}{figure(row['write_mb_per_s']):>12}"
              f"{figure(row['read_mb_per_s']):>12}")
        later = point["hosts"][number + 1:]
        if row["node"] in figures and (not later or later[0]["node"] != row["node"]):
            host = figures[row["node"]]
            name = f"{reader.escaped(host['host'])}, {host['streams']} streams"
            print(f"{head}{name:<28}{figure(host['write_span_mb_per_s']):>12}"
                  f"{figure(host['read_span_mb_per_s']):>12}   its bytes / span")
    if not point["together"]:
        print(f"{head}no aggregate: not started together (each host ran the series in one process)")
        return
    print(f"{head}{'all bytes / span':<28}{figure(point['write_span_mb_per_s']):>12}"
          f"{figure(point['read_span_mb_per_s']):>12}")
    print(f"{head}{'while all were active':<28}{figure(point['write_window_mb_per_s']):>12}"
          f"{figure(point['read_window_mb_per_s']):>12}   {reader.escaped(point['counters'])}")
    print(f"{head}{'  passed to the system':<28}{figure(point['write_window_program_mb_per_s']):>12}"
          f"{figure(point['read_window_program_mb_per_s']):>12}   programs' counters")
    print(f"{head}{'  over a window of (s)':<28}{figure(point['write_window_s'], 3):>12}"
          f"{figure(point['read_window_s'], 3):>12}   start skew {figure(point['start_skew'], 6)} s")
    print(f"{head}{'  last end after first (s)':<28}{figure(point['write_last_end_s'], 3):>12}"
          f"{figure(point['read_last_end_s'], 3):>12}")
    for kind, words in (("min", "hosts: least"), ("median", "hosts: median"), ("max", "hosts: most")):
        note = ""
        if kind == "min":
            slowest = [f"{p} {reader.escaped(point[p + '_host_slowest'])}" for p in reader.PHASES
                       if point.get(p + "_host_slowest")]
            note = f"   slowest: {', '.join(slowest)}" if slowest else ""
        print(f"{head}{words:<28}{figure(point[f'write_host_{kind}_mb_per_s']):>12}"
              f"{figure(point[f'read_host_{kind}_mb_per_s']):>12}{note}")
    print_cache(head, point.get("cache"))


def print_cache(head, cache):
    """The storage's reads against the programs': below 0.95, a cache served the rest."""
    if cache is None:
        return
    share = cache["share"]
    note = f"   read partly from a cache: {1 - share:.0%} of its bytes" if cache["cached"] else "   from the storage"
    print(f"{head}{'  storage / programs read':<28}{'-':>12}{share:>12.3f}{note}")


def missing_figures(summary):
    """What could not be given: a grid point of which a host that finished gave no figure (dorvik gave the advice
    of a read time of zero), or a point whose hosts started together and measured a phase that has no figure of
    all bytes over its span."""
    finished = [h for h in summary["hosts"] if not h["reason"]]
    missing = [f"{reader.escaped(h['host'])} gave none at {point}" for h in finished
               for point in h.get("no_figure", [])]
    if finished and not summary["points"]:
        missing.append("no host gave any")
    for point in summary["points"]:
        at = f"{point['size_mb']} MB x {point['record_length']}"
        given = {row["host"] for row in point["hosts"]}
        missing += [f"{reader.escaped(h['host'])} gave none at {at}" for h in finished
                    if h["host"] not in given and at not in h.get("no_figure", [])]
        missing += [f"all bytes / span of the {phase} phase at {at}" for phase in reader.PHASES
                    if point["together"] and point[phase + "_span_mb_per_s"] is None
                    and any(row[phase + "_mb_per_s"] for row in point["hosts"])]
    return missing


def print_report(folder, strict=False):
    with reader.clients_folder_errors(folder):
        summary = clients.load_clients(folder)
        when = "never" if summary["at"] is None else clients.utc(summary["at"])
    count = len({host.get("node", host["host"]) for host in summary["hosts"]})
    streams = summary.get("streams", 1)
    print(f"dorvik-clients: {count} host{'' if count == 1 else 's'}"
          f"{f', {streams} streams each' if streams > 1 else ''}, first start {when}, outputs in "
          f"{reader.escaped(reader.shown(folder))}")
    if summary.get("ended") is False:
        print("the controller ended before the run did: the tests that ended before it follow")
    print_hosts(summary)
    print_environments(folder, summary)
    print()
    print(f"{'MB':<8}{'reclen':<8}{'host':<28}{'write MB/s':>12}{'read MB/s':>12}")
    for point in summary["points"]:
        print_point(point)
    for text in missing_figures(summary):
        print(f"no figure: {text}")
    minimum = 2 * summary.get("sample_seconds", clients.SAMPLE_SECONDS)
    print("all bytes / span: every byte of the phase over the time from its first start to its last end;")
    print("while all were active: the bytes the storage wrote or read (a machine's device once, a program's")
    print("counters where a client found none of its storage) from the last start to the first end of the")
    print("phase, over that window; passed to the system: what the programs passed to or received from the")
    print(f"system in it (- where there was no window, or it was shorter than two samples, {minimum:g} s);")
    print("last end after first: from the first start of the phase to its last end; hosts: each host's own rate;")
    print("storage / programs read: the bytes the storage read over those the programs read in the span.")
    if any(point["host_figures"] for point in summary["points"]):
        print("HOST, N streams: every byte of the host's streams over the time from their first start to their")
        print("last end of the phase.")
    return status_of(summary, strict)


def status_of(summary, strict=False):
    """0 when every host finished and every figure could be given, whatever the flags (LATE START, CLOCK MOVED)
    that the report prints; 1 when a host failed or was dropped, or a figure is missing, and with strict when a
    host was flagged; 130 when the run was interrupted."""
    if summary["interrupted"]:
        return INTERRUPTED
    if summary.get("ended") is False:
        return 1
    if any(h["reason"] for h in summary["hosts"]) or missing_figures(summary):
        return 1
    return 1 if strict and any(h["flagged"] or h["clock_moved"] for h in summary["hosts"]) else 0


def report_again(folder, strict=False):
    try:
        return print_report(folder, strict)
    except reader.ParseError as error:
        print(f"dorvik-clients: {reader.escaped(str(error))}", file=sys.stderr)
        return 2

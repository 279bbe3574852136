"""The report of a dorvik-clients run, printed when the run ends and again by
dorvik-clients --report: each host's clock and start against the instant,
each host's rates per grid point, the aggregates, and the run's exit status."""

import datetime
import sys

from . import clients, reader
from .clients import SAMPLE_SECONDS

INTERRUPTED = 130


def signed(value, places=6):
    return "-" if value is None else f"{value:+.{places}f}"


def figure(value, places=2):
    return "-" if value is None else f"{value:.{places}f}"


def print_report(folder):
    summary = clients.load_clients(folder)
    when = ("never" if summary["at"] is None else
            f"{datetime.datetime.fromtimestamp(summary['at'], datetime.timezone.utc):%Y-%m-%d %H:%M:%S.%f} UTC")
    count = len(summary["hosts"])
    print(f"dorvik-clients: {count} host{'' if count == 1 else 's'}, first start {when}, outputs in {folder}")
    print(f"{'host':<20}{'clock offset (s)':<22}{'start - instant (s)':<22}result")
    for host in summary["hosts"]:
        clock = "-" if host["offset"] is None else f"{signed(host['offset'])} ±{host['offset_error']:.6f}"
        flag = "  LATE START" if host["flagged"] else ""
        print(f"{host['host']:<19} {clock:<21} {signed(host['skew']):<21} {host['reason'] or 'ok'}{flag}")
    print(f"start skew: {figure(summary['start_skew'], 6)} s from the first start to the last; worst of a test: "
          f"{figure(summary['worst_test_skew'], 6)} s; by the controller's clock")
    print()
    print(f"{'MB':<8}{'reclen':<8}{'host':<28}{'write MB/s':>12}{'read MB/s':>12}")
    for point in summary["points"]:
        size, length = point["size_mb"], point["record_length"]
        head = f"{size!s:<8}{length!s:<8}"
        for row in point["hosts"]:
            print(f"{head}{row['host']:<28}{figure(row['write_mb_per_s']):>12}{figure(row['read_mb_per_s']):>12}")
        print(f"{head}{'all bytes / span':<28}{figure(point['write_span_mb_per_s']):>12}"
              f"{figure(point['read_span_mb_per_s']):>12}")
        print(f"{head}{'while all were active':<28}{figure(point['write_window_mb_per_s']):>12}"
              f"{figure(point['read_window_mb_per_s']):>12}")
        print(f"{head}{'  over a window of (s)':<28}{figure(point['write_window_s'], 3):>12}"
              f"{figure(point['read_window_s'], 3):>12}   start skew {figure(point['start_skew'], 6)} s")
    print("all bytes / span: every byte of the phase over the time from its first start to its last end;")
    print("while all were active: the bytes all clients passed to or received from the system between the")
    print("last start and the first end of the phase, over that window (- where there was none, or it was")
    print(f"shorter than two samples of the counters, {2 * SAMPLE_SECONDS:g} s).")
    return status_of(summary)


def status_of(summary):
    if summary["interrupted"]:
        return INTERRUPTED
    return 1 if any(h["reason"] or h["flagged"] for h in summary["hosts"]) else 0


def report_again(folder):
    try:
        return print_report(folder)
    except (reader.ParseError, KeyError, TypeError, ValueError) as error:
        print(f"dorvik-clients: {error}", file=sys.stderr)
        return 2

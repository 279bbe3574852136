#!/usr/bin/env python3
"""Writes the folder of a dorvik-clients run that never ran: HOSTS hosts, each
on a device of its own, ran the series of dorvik auto (5 sizes by 4 record
lengths, each released as a single test) at MB_PER_S each, a sample every
20 ms, as dorvik-clients records it (format 3).

    tests/clients_folder.py FOLDER HOSTS [MB_PER_S] [--hostile]

With --hostile the first host's name and the second's reason for failing carry
markup, quotes and control characters, as a folder written by hand may."""

import json
import os
import sys

SIZES = (6, 8, 12, 20, 36)
RECORD_LENGTHS = (4096, 8192, 16384, 32768)
SAMPLE = 0.02
FIRST_AT = 1796754080.0
GAP = 0.5
HOSTILE_NAME = "<script>alert(\"host\")'\x01\x1b[31m"
HOSTILE_REASON = "dorvik exited with status 1: Error: <img src=x onerror=alert(1)> \"q\" 'a'\x07"


def output(host, size, length, write, read):
    """dorvik's output of a single test, and the length of its part up to the end of the write phase."""
    bytes_moved = size * 1048576 // length * length
    head = ("\nDORVIK: Test of Sequential File I/O -- 2.0.13-san (28-Feb-2008)\n\tOperating System: POSIX "
            f"1003.1-1990 -- using fsync()\n\n\tdorvik writes a {size} Megabyte sequential file consisting of\n"
            f"\t{bytes_moved // length} records which are each {length} bytes in length.\n\tIt then reads the file.  "
            "It prints the bytes-per-second\n\trate at which the computer can read and write files.\n\n\n"
            f"Writing the {size} Megabyte file, '/mnt/nfs/t.{host}'...{write:.6f} seconds\n")
    tail = (f"Reading the file...{read:.6f} seconds\n\n Average statistics\n####\t Total KB= {bytes_moved // 1024:8d} "
            f"(1024), read={read:4.2f} (sec), write={write:4.2f} (sec)\n####\t Average read="
            f"{bytes_moved / (read + 0.01) / 1048576:8.2f} MB/sec, write={bytes_moved / (write + 0.01) / 1048576:8.2f} "
            "MB/sec\n\n\nThe test completed too quickly to give a good result\nYou will get a more precise measure of "
            "this machine's\nperformance by re-running dorvik using the command:\n\n"
            f"\tdorvik {size * 4} \t(i.e., file size = {size * 4} megabytes)\n")
    return head + tail, len(head.encode())


def samples(begin, write_end, read_begin, read_end, bytes_moved, offset, device):
    """The counters every 20 ms from begin to read_end, by the client's clock: the program's, and its device's,
    which go on from the test before (device: what it had written and read)."""
    rows, t = [], begin
    while t < read_end + SAMPLE:
        written = int(bytes_moved * min(max((t - begin) / (write_end - begin), 0), 1))
        read = int(bytes_moved * min(max((t - read_begin) / (read_end - read_begin), 0), 1))
        rows.append([round(t + offset, 6), written, read, device[0] + written, device[1] + read])
        t += SAMPLE
    device[0] += bytes_moved
    device[1] += bytes_moved
    return rows


def host_record(number, name, rate, tests_at):
    """One host's record and its output: every test of the series, released at tests_at."""
    offset, text, tests, device = 1e-5 * number, "", [], [8 << 30, 9 << 30]
    for index, ((size, length), at) in enumerate(zip(grid(), tests_at)):
        start = at + 0.0002 * number
        seconds = size / rate
        write_end, read_begin = start + seconds, start + seconds + 0.01
        read_end = read_begin + seconds
        out, head = output(name, size, length, seconds, seconds)
        text += out
        tests.append({"index": index, "at": at, "arguments": [str(size), str(length), "/mnt/nfs/t.%h"],
                      "offset": offset, "offset_error": 5e-5,
                      "storage": {"kind": "block", "device": "8:16", "name": "sdb", "machine": f"machine-{number}"},
                      "samples": samples(at - 0.2, write_end, read_begin, read_end, size * 1048576 // length * length,
                                         offset, device),
                      "chunks": [[head, write_end + offset], [len(out.encode()), read_end + offset]],
                      "start": start + offset, "end": read_end + offset, "status": 0, "spawned": at - 0.2 + offset,
                      "out_chars": len(out)})
    return {"host": name, "reason": None, "offset": offset, "offset_error": 5e-5, "tests": tests}, text


def grid():
    return [(size, length) for size in SIZES for length in RECORD_LENGTHS]


def main():
    folder, count = sys.argv[1], int(sys.argv[2])
    rate = float(sys.argv[3]) if len(sys.argv) > 3 and not sys.argv[3].startswith("--") else 10.0
    hostile = "--hostile" in sys.argv
    tests_at, at = [], FIRST_AT
    for size, _ in grid():
        tests_at.append(at)
        at += 2 * size / rate * 1.1 + GAP
    os.makedirs(folder, exist_ok=True)
    hosts = []
    for number in range(count):
        name = HOSTILE_NAME if hostile and number == 0 else f"client{number + 1:02d}"
        host, text = host_record(number, name, rate * (1 + 0.03 * (number % 5)), tests_at)
        if hostile and number == 1:
            host["reason"] = HOSTILE_REASON
        hosts.append(host)
        with open(os.path.join(folder, name + ".out"), "w", encoding="utf-8") as f:
            f.write(text)
        with open(os.path.join(folder, name + ".err"), "w", encoding="utf-8") as f:
            f.write("")
    document = {"format": 3, "at": FIRST_AT, "shell": "pdsh", "program": "dorvik",
                "arguments": ["auto=/mnt/nfs/t.%h"], "interrupted": False, "skew_limit": 0.01,
                "sample_seconds": SAMPLE, "hosts": hosts}
    with open(os.path.join(folder, "clients.json"), "w", encoding="utf-8") as f:
        json.dump(document, f)


if __name__ == "__main__":
    main()

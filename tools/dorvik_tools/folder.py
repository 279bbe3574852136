"""The records of a dorvik-clients folder, read in bounded memory: its index
(clients.json, through the reader), each entry's output split into its
tests, and each entry's samples, one entry at a time, by the controller's
clock. A folder of format 4 keeps an entry's samples in ENTRY.samples and
its output in ENTRY.out as it came, the index giving each test's share; one
of format 3 keeps the samples in its index; one of format 2 holds [time,
written, read] only, read as the programs' counters. Only the tests the index
holds count: what a controller that was killed wrote of a test it did not
see end is left aside."""

import os
import re

from .reader import ParseError, read_clients_file, shown

# How often the clients of format 2 sampled.
FORMAT_2_SAMPLE_SECONDS = 0.1


def natural_key(name):
    """A name as a person sorts it: its runs of digits by their value (127.0.0.2 before 127.0.0.10, n2
    before n10), the rest as text; only ASCII digits count, which split() puts at the odd places."""
    return [(0, int(part), part) if place % 2 else (1, 0, part) for place, part in enumerate(re.split(r"([0-9]+)", name))]


def as_format_3(document):
    """A folder of format 2 read as one of format 3: its counters the programs', its clock measured once,
    its starts the clients' wake-up."""
    if document.get("format") != 2:
        return document
    for host in document["hosts"]:
        for index, test in enumerate(host["tests"]):
            test.update(index=index, offset=host["offset"], offset_error=host["offset_error"],
                        storage={"kind": "program", "device": "", "name": "", "machine": ""},
                        samples=[[s[0], s[1], s[2], s[1], s[2]] for s in test["samples"]])
    document["sample_seconds"] = FORMAT_2_SAMPLE_SECONDS
    return document


class Folder:
    """A dorvik-clients folder: its index, and each entry's outputs and samples on demand."""

    def __init__(self, path):
        self.path = path
        self.document = as_format_3(read_clients_file(path))
        self.document["hosts"].sort(key=lambda host: natural_key(host["host"]))
        self.inline = self.document.get("format", 3) < 4

    def file(self, host, kind):
        return os.path.join(self.path, host["host"] + kind)

    def read(self, host, kind):
        try:
            with open(self.file(host, kind), "rb") as f:
                return f.read()
        except OSError as error:
            raise ParseError(f"{shown(self.path)}: {host['host']}{kind}: {error.strerror}") from error

    def outputs(self, host):
        """Each test of a host with the text of its own output."""
        if self.inline:
            text, at = self.read(host, ".out").decode("utf-8", "replace"), 0
            for test in host["tests"]:
                yield test, text[at:at + test["out_chars"]]
                at += test["out_chars"]
            return
        data, at = self.read(host, ".out"), 0
        for test in host["tests"]:
            yield test, data[at:at + test["out_bytes"]].decode("utf-8", "surrogateescape")
            at += test["out_bytes"]

    def samples(self, host):
        """Each test of a host as (its index, its samples by the controller's clock), in the order of its tests;
        a sample is [time, written, read, storage written, storage read]."""
        offsets = {test["index"]: test["offset"] for test in host["tests"]}
        if self.inline:
            for test in host["tests"]:
                yield test["index"], [[s[0] - test["offset"]] + s[1:] for s in test["samples"]]
            return
        for index, samples in self.sample_lines(host):
            if index in offsets:
                yield index, [[s[0] - offsets[index]] + s[1:] for s in samples]

    def sample_lines(self, host):
        """The samples of ENTRY.samples, a test at a time: (its index, its samples by the client's clock). A last
        line without its line break is what a full disk or a killed controller cut off, in a test the index does
        not hold (the index is written only once the samples before it are): it is left aside."""
        index, samples = None, []
        try:
            with open(self.file(host, ".samples"), "rb") as f:
                for number, line in enumerate(f, 1):
                    if not line.endswith(b"\n"):
                        break
                    words = line.split()
                    if len(words) != 6:
                        raise ValueError(f"line {number} is not a sample")
                    if int(words[0]) != index:
                        if samples:
                            yield index, samples
                        index, samples = int(words[0]), []
                    samples.append([float(words[1])] + [int(w) for w in words[2:]])
        except OSError as error:
            raise ParseError(f"{shown(self.path)}: {host['host']}.samples: {error.strerror}") from error
        except ValueError as error:
            raise ParseError(f"{shown(self.path)}: {host['host']}.samples: {error}") from error
        if samples:
            yield index, samples

    def hosts_by_device(self):
        """The hosts, those whose tests share a device one after another."""
        def device(host):
            storage = host["tests"][0]["storage"] if host["tests"] else None
            kind = storage["kind"] if storage else "program"
            return (0, kind, storage["machine"], storage["device"]) if kind != "program" else (1, "", "", "")
        return sorted(self.document["hosts"], key=lambda host: (device(host), natural_key(host["host"])))

"""The records of a dorvik-clients run on disk, written as they arrive: each
entry's (each host's, or each stream's, HOST#N) standard output and error and
its samples are appended to files of their own and flushed at the end of
every test, and the run's index, clients.json, is written anew after every
test, whole or not at all (a new file renamed over the old one). Whatever
ends the controller, SIGKILL included, every test that ended is in the folder.
A sample is a line "TEST TIME WRITTEN READ STORED_WRITTEN STORED_READ" of
HOST.samples, its time by the client's clock. A write that fails (a full disk)
raises RecordsLost; what was written before stays readable."""

import itertools
import json
import os
import time

from .reader import CLIENTS_FILE, escaped

# The form of the folder: 4 keeps the samples and outputs beside the index.
FORMAT = 4
# The index while it is being written, before it takes the place of the old one.
PENDING_INDEX = ".clients.json.new"
# How many bytes of records are buffered before they go to the file.
BUFFER_BYTES = 16384
# The longest time a record waits in a buffer: what a killed controller loses, and each entry's buffer touched
# no further than a second's records, so that its memory does not grow with the test.
FLUSH_SECONDS = 1.0


class RecordsLost(Exception):
    """The folder takes no more records (a full disk, a quota); the message says which file and why."""


class Entry:
    """The three files of one entry, appended to as its records arrive."""

    def __init__(self, records, name):
        self.files = {kind: records.open(name + kind) for kind in (".out", ".err", ".samples")}

    def close(self, records):
        for name, f in self.files.items():
            records.guarded(name, f.close)


class Records:
    """The files of a run's folder, held open through the folder's descriptor."""

    def __init__(self, folder):
        self.folder = folder
        self.entries = {}
        self.flushed = time.monotonic()

    def guarded(self, name, action, *arguments):
        try:
            return action(*arguments)
        except OSError as error:
            raise RecordsLost(f"cannot write {escaped(name)} in the run's folder: {error.strerror}") from None

    def open(self, name):
        """A new file of the folder: a link or a file planted there is never followed or overwritten."""
        def made():
            fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644, dir_fd=self.folder)
            return open(fd, "wb", buffering=BUFFER_BYTES)
        return self.guarded(name, made)

    def entry(self, name):
        if name not in self.entries:
            self.entries[name] = Entry(self, name)
        return self.entries[name]

    def output(self, name, kind, piece):
        """Bytes of an entry's standard output (".out") or error (".err")."""
        self.guarded(name + kind, self.entry(name).files[kind].write, piece)

    def samples(self, name, test, batch):
        text = "".join(f"{test} {s[0]!r} {s[1]} {s[2]} {s[3]} {s[4]}\n" for s in batch)
        self.guarded(name + ".samples", self.entry(name).files[".samples"].write, text.encode())
        if time.monotonic() - self.flushed >= FLUSH_SECONDS:
            self.flush()

    def flush(self):
        self.flushed = time.monotonic()
        for name, entry in self.entries.items():
            for kind, f in entry.files.items():
                self.guarded(name + kind, f.flush)

    def index(self, document):
        """The run's index written anew: the old one stays until the new one is whole on disk."""
        self.flush()

        def write():
            fd = os.open(PENDING_INDEX, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o644,
                         dir_fd=self.folder)
            with open(fd, "w", encoding="utf-8", errors="surrogateescape") as f:
                f.writelines(itertools.chain(compact_json(document), "\n"))
                f.flush()
                os.fsync(f.fileno())
            os.rename(PENDING_INDEX, CLIENTS_FILE, src_dir_fd=self.folder, dst_dir_fd=self.folder)
        try:
            self.guarded(CLIENTS_FILE, write)
        except RecordsLost:
            try:
                os.unlink(PENDING_INDEX, dir_fd=self.folder)
            except OSError:
                pass
            raise

    def close(self):
        for name, entry in self.entries.items():
            entry.close(self)
        self.entries = {}

    def abandon(self):
        """The files let go after a failed write: what they still buffer is lost, quietly."""
        for entry in self.entries.values():
            for f in entry.files.values():
                try:
                    f.close()
                except OSError:
                    pass
        self.entries = {}


def compact_json(value, depth=0):
    """JSON, piece by piece (a run of many hosts is never one string), with a line per field down to the tests,
    and a list of numbers on one line."""
    if isinstance(value, dict) and depth < 5:
        opening = "{\n"
        for key, item in value.items():
            yield opening + " " * (depth + 1) + json.dumps(key) + ": "
            yield from compact_json(item, depth + 1)
            opening = ",\n"
        yield ("{\n" if opening == "{\n" else "") + "\n" + " " * depth + "}"
    elif isinstance(value, list) and value and all(isinstance(v, (list, dict)) for v in value) and depth < 6:
        opening = "[\n"
        for item in value:
            yield opening + " " * (depth + 1)
            yield from compact_json(item, depth + 1)
            opening = ",\n"
        yield "\n" + " " * depth + "]"
    else:
        yield json.dumps(value)

#!/usr/bin/env python3
"""A stand-in for pdsh, clush and ssh, for cases that need no server: named
pdsh or clush (through a link) it runs "-R exec ... -w HOSTS COMMAND..." for
every host on this machine, %h replaced, each line of output prefixed with
"host: " (clush runs the command through sh, as the real one does; pdsh cuts
a line after 131,071 characters, or STAND_IN_LINE_LIMIT, as the real one
does, and removes the FIFO of a host whose name begins with "nofifo" before
its relay opens it); named ssh it runs the remote command here with sh, a
host whose name begins with "down" refuses the connection, one whose name
begins with "ahead" runs with its wall clock 8 s ahead and one whose name
begins with "step" with its wall clock 0.5 s ahead once the file "stepped"
exists in the working folder (the fault library's clock_ahead and
clock_ahead_after), one whose name begins with "mute" never says a word, and
one named bad_KIND is a client that sends one kind of garbage (see
hostile()). pdsh, as the real one, starts each host's command in a session of
its own."""
import os
import subprocess
import sys
import threading
import time

LINE_LIMIT = int(os.environ.get("STAND_IN_LINE_LIMIT", "131071"))


def shell(name, words):
    hosts = words[words.index("-w") + 1].split(",")
    command = words[words.index("-w") + 2:]
    lock = threading.Lock()

    def one(host):
        given = [w.replace("%h", host) for w in command]
        if host.startswith("nofifo") and given[:2] == ["sh", "-c"]:
            os.unlink(given[3])
        run = ["sh", "-c", " ".join(given)] if name == "clush" else given
        # pdsh puts every host's command in a session of its own.
        child = subprocess.Popen(run, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=name == "pdsh")
        for line in child.stdout:
            pieces = [line] if name == "clush" else [line[at:at + LINE_LIMIT] for at in range(0, len(line), LINE_LIMIT)]
            with lock:
                for piece in pieces:
                    sys.stdout.buffer.write(host.encode() + b": " + piece + (b"" if piece.endswith(b"\n") else b"\n"))
                sys.stdout.flush()
        if child.wait():
            with lock:
                print(f"{name}: {host}: exited with exit code {child.returncode}", file=sys.stderr, flush=True)

    threads = [threading.Thread(target=one, args=(h,)) for h in hosts]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def say(*words):
    print("DORVIK-CLIENTS", *words, flush=True)


# What each bad_ host sends once its test is released: its garbage, then, where it has not failed by then,
# a record whose end is sound.
def single_test(record_length):
    return ("\nDORVIK: Test of Sequential File I/O -- 2.0.13-san (28-Feb-2008)\n\tOperating System: POSIX "
            f"1003.1-1990 -- using fsync()\n\n\tdorvik writes a 1 Megabyte sequential file consisting of\n\t16 records which are each "
            f"{record_length} bytes in length.\nWriting the 1 Megabyte file, 'x'...0.100000 seconds\n"
            "Reading the file...0.100000 seconds\n\n Average statistics\n####\t Total KB=     1024 (1024), "
            "read=0.10 (sec), write=0.10 (sec)\n####\t Average read=    9.09 MB/sec, write=    9.09 MB/sec\n\n")


GARBAGE = {
    "pong": [],
    "record": ["DONE 0 1 {bad_record}"],
    "short": ["SAMPLE 0 1 {t} 0 0"],
    "nan": ["SAMPLE 0 1 nan 0 0 0 0"],
    "inf": ["SAMPLE 0 1 {t} inf 0 0 0"],
    "negative": ["SAMPLE 0 1 -5 0 0 0 0"],
    "absurd": ["SAMPLE 0 1 1e15 0 0 0 0"],
    "empty": ["SAMPLE 0 1"],
    "backwards": ["SAMPLE 0 1 {t} 9 0 0 0 {u} 8 0 0 0"],
    "none": ["OUT 0 1 {t} {good}", "DONE 0 1 {done}"],
    "reclen": ["SAMPLE 0 1 {t} 0 0 0 0 {u} 1 1 1 1", "OUT 0 1 {t} {zero}", "DONE 0 1 {done}"],
    "escape": ["FAIL {fail}"],
    "long": ["{long}"],
}


def hostile(kind):
    """A client that answers the clock's pings and then, for its test, sends its garbage."""
    import base64
    import json

    def encoded(value):
        return base64.urlsafe_b64encode(value if isinstance(value, bytes) else json.dumps(value).encode()).decode()
    say("HELLO")
    for line in sys.stdin:
        words = line.split()
        if words[:1] == ["PING"]:
            say("PONG", "zero" if kind == "pong" else words[1], repr(time.time()))
        elif words[:1] == ["GO"]:
            now, at = time.time(), float(words[2])
            say("STORAGE 0 1", encoded({"kind": "program", "device": "", "name": "tmpfs", "machine": ""}))
            for text in GARBAGE[kind]:
                say(text.format(t=now, u=now + 0.1, done=encoded({"start": at, "end": at + 0.2, "status": 0}),
                                long="x" * 17000000,
                                bad_record=encoded({"start": "x"}), good=encoded(single_test(65536).encode()),
                                zero=encoded(single_test(0).encode()), fail=encoded("\x1b[2Jgone\nwrong\x07")))
    return 0


def ssh(words):
    host, remote = words[words.index("--") + 1:]
    if host.startswith("down"):
        print(f"ssh: connect to host {host} port 22: Connection refused", file=sys.stderr)
        return 255
    if host.startswith("bad_"):
        return hostile(host[4:])
    if host.startswith("mute"):
        # Connected, and never a word: the shell in the working folder's name waits for ever.
        os.execvp("sh", ["sh", "-c", "sleep 600; :", os.path.join(os.getcwd(), host)])
    if host.startswith(("ahead", "step")):
        os.environ.update(LD_PRELOAD=os.environ["FAULT_LIBRARY"],
                          DORVIK_FAULT="clock_ahead=8000" if host.startswith("ahead") else "clock_ahead_after=500",
                          ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
    os.execvp("sh", ["sh", "-c", remote])


name = os.path.basename(sys.argv[0])
sys.exit(ssh(sys.argv[1:]) if name == "ssh" else shell(name, sys.argv[1:]))

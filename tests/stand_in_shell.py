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
begins with "step" with its wall clock 0.9 s ahead once the file "stepped"
exists in the working folder (the fault library's clock_ahead and
clock_ahead_after), one whose name begins with "mute" never says a word, and
one named bad_KIND is a client that sends one kind of garbage (see
hostile()). pdsh, as the real one, starts each host's command in a session of
its own.

Named srun, it runs a step as the real one does for dorvik-clients: a task per
node of -w (or of SLURM_JOB_NODELIST), -N nodes at most (a smaller -N drops the
rest quietly, as srun does), each in a session of its own with SLURMD_NODENAME,
SLURM_PROCID, SLURM_JOB_ID and SLURM_STEP_ID set; its standard input goes to
every task, its tasks' lines come back labelled with the task's number,
right-aligned, cut into pieces of 1024 bytes; a task that exits with a status
other than 0 is named on standard error ("srun: error: NODE: task N: Exited
with exit code S"). SIGTERM, or two SIGINT within a second, kill every task by
SIGKILL; when srun itself is killed, a shepherd of its own kills them; a
task that ends while lines sent to it are unread makes srun end the step,
every other task killed (the real srun does so once the lines pile up). A
node whose name begins with "mute" never says a word; one whose name begins
with "drop" vanishes once its client sends its first sample: its lines and
input are lost from then on, and srun waits for it for ever; one whose name
begins with "bad" garbles its first sample; one whose name begins with "fail"
exits at once with status 1, a process it leaves reading its input on; a node
named as_NAME runs its task as node NAME. A task that exits with a status
other than 0 kills every other task by SIGKILL unless --kill-on-bad-exit=0
is given, as on a site whose default is to kill the step. Named scontrol, it
expands a host list (show hostnames); named scancel, it does nothing.

Named ssh, a host whose name begins with "noclock" never hears the
controller's clock pings."""
import os
import queue
import re
import signal
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
    "backwards": ["SAMPLE 0 1 {t} 9 0 0 0 {u} 8 0 0 0", "OUT 0 1 {t} {good}", "DONE 0 1 {done}"],
    "wrap": ["SAMPLE 0 1 {t} 0 0 2199023254528 0 {u} 0 0 1024 0", "OUT 0 1 {t} {good}", "DONE 0 1 {done}"],
    "deep": ["DONE 0 1 {deep}"],
    "none": ["OUT 0 1 {t} {good}", "DONE 0 1 {done}"],
    "reclen": ["SAMPLE 0 1 {t} 0 0 0 0 {u} 1 1 1 1", "OUT 0 1 {t} {zero}", "DONE 0 1 {done}"],
    "escape": ["FAIL {fail}"],
    "long": ["{long}"],
}


def hostile(kind):
    """A client that answers the clock's pings, says it is ready for its test, and once it is released sends
    its garbage."""
    import base64
    import json

    def encoded(value):
        return base64.urlsafe_b64encode(value if isinstance(value, bytes) else json.dumps(value).encode()).decode()
    say("HELLO")
    for line in sys.stdin:
        words = line.split()
        if words[:1] == ["PING"]:
            say("PONG", "zero" if kind == "pong" else words[1], repr(time.time()))
        elif words[:1] == ["PREPARE"]:
            say("STORAGE 0 1", encoded({"kind": "program", "device": "", "name": "tmpfs", "machine": ""}))
            say("READY 0 1")
        elif words[:1] == ["GO"]:
            now, at = time.time(), float(words[2])
            for text in GARBAGE[kind]:
                say(text.format(t=now, u=now + 0.1, done=encoded({"start": at, "end": at + 0.2, "status": 0}),
                                long="x" * 17000000, deep=encoded(b"[" * 20000 + b"]" * 20000),
                                bad_record=encoded({"start": "x"}), good=encoded(single_test(65536).encode()),
                                zero=encoded(single_test(0).encode()), fail=encoded("\x1b[2Jgone\nwrong\x07\u009b2J")))
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
    if host.startswith("noclock"):
        remote = "grep --line-buffered -v '^PING ' | " + remote
    if host.startswith(("ahead", "step")):
        os.environ.update(LD_PRELOAD=os.environ["FAULT_LIBRARY"],
                          DORVIK_FAULT="clock_ahead=8000" if host.startswith("ahead") else "clock_ahead_after=900",
                          ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
    os.execvp("sh", ["sh", "-c", remote])


def host_list(text):
    """A Slurm host list's names: n[1-3,5],x1 is n1 n2 n3 n5 x1."""
    names = []
    for prefix, ranges, plain in re.findall(r"([^,\[]*)\[([^\]]*)\]|([^,]+)", text):
        if plain:
            names.append(plain)
            continue
        for part in ranges.split(","):
            low, _, high = part.partition("-")
            names += [f"{prefix}{n:0{len(low)}d}" for n in range(int(low), int(high or low) + 1)]
    return names


def srun_options(words):
    """srun's options that matter here, and the command."""
    taking = {"-w", "-N", "-n", "-J", "-c", "-t", "-p"}
    found, at = {}, 0
    while at < len(words) and words[at].startswith("-"):
        word = words[at]
        if word in taking:
            found[word] = words[at + 1]
            at += 2
            continue
        found[word.split("=")[0]] = word.partition("=")[2]
        at += 1
    return found, words[at:]


class Task:
    """One task of the step: its process, its input's queue and whether its node has vanished."""

    def __init__(self, number, node, command):
        self.number, self.node = number, node
        env = dict(os.environ, SLURMD_NODENAME=node.removeprefix("as_"), SLURM_PROCID=str(number),
                   SLURM_NODEID=str(number),
                   SLURM_JOB_ID=os.environ.get("SLURM_JOB_ID", "4242"), SLURM_STEP_ID="0")
        if node.startswith("mute"):
            command = ["sh", "-c", "sleep 600; :", os.path.join(os.getcwd(), node)]
        if node.startswith("fail"):
            command = ["sh", "-c", "exec 3<&0; cat <&3 > /dev/null & exit 1"]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env, start_new_session=True)
        self.inbox = queue.Queue()
        self.vanished = self.garbled = False

    def feed(self, abort):
        while True:
            line = self.inbox.get()
            try:
                if line is None:
                    self.process.stdin.close()
                    return
                self.process.stdin.write(line)
                self.process.stdin.flush()
            except OSError:
                abort()
                return


def srun(words):
    options, command = srun_options(words)
    nodes = host_list(options.get("-w") or os.environ.get("SLURM_JOB_NODELIST", ""))
    nodes = nodes[:int(options["-N"])] if "-N" in options else nodes
    tasks = [Task(number, node, command) for number, node in enumerate(nodes)]
    width = len(str(len(tasks) - 1))
    lock = threading.Lock()
    # The shepherd: once srun is gone, whatever ended it, no task outlives it.
    watched, watching = os.pipe()
    if os.fork() == 0:
        os.setsid()
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        os.closerange(3, watched)
        os.closerange(watched + 1, 1 << 16)
        told = os.read(watched, 1)
        if not told:
            for task in tasks:
                try:
                    os.killpg(task.process.pid, signal.SIGKILL)
                except OSError:
                    pass
        os._exit(0)
    os.close(watched)

    def kill_all(*_):
        for task in tasks:
            try:
                os.killpg(task.process.pid, signal.SIGKILL)
            except OSError:
                pass

    interrupts = []

    def on_interrupt(*_):
        interrupts.append(time.monotonic())
        if len(interrupts) > 1 and interrupts[-1] - interrupts[-2] < 1:
            kill_all()
        else:
            print("srun: interrupt (one more within 1 sec to abort)", file=sys.stderr, flush=True)
    signal.signal(signal.SIGTERM, kill_all)
    signal.signal(signal.SIGINT, on_interrupt)

    def relay(task, stream, out):
        for line in stream:
            if task.node.startswith("drop") and b" SAMPLE " in line:
                task.vanished = True
            if task.vanished:
                continue
            if task.node.startswith("bad") and b" SAMPLE " in line and not task.garbled:
                task.garbled, line = True, b"DORVIK-CLIENTS SAMPLE 0 1 nan\n"
            line = line if line.endswith(b"\n") else line + b"\n"
            pieces = [line[at:at + 1024] for at in range(0, len(line) - 1, 1024)] or [b""]
            if len(pieces[-1]) == 1024:
                pieces.append(b"")
            with lock:
                for piece in pieces:
                    out.write(f"{task.number:>{width}}: ".encode() + piece.rstrip(b"\n") + b"\n")
                out.flush()

    def broadcast():
        while True:
            line = sys.stdin.buffer.readline()
            for task in tasks:
                if not task.vanished:
                    task.inbox.put(line or None)
            if not line:
                return
    threads = [threading.Thread(target=relay, args=(t, t.process.stdout, sys.stdout.buffer)) for t in tasks]
    threads += [threading.Thread(target=relay, args=(t, t.process.stderr, sys.stderr.buffer)) for t in tasks]
    threads += [threading.Thread(target=task.feed, args=(kill_all,), daemon=True) for task in tasks]
    threads.append(threading.Thread(target=broadcast, daemon=True))
    for thread in threads:
        thread.start()
    kill_on_bad_exit = options.get("--kill-on-bad-exit", options.get("-K")) != "0"

    def wait(task):
        code = task.process.wait()
        if code:
            with lock:
                print(f"srun: error: {task.node}: task {task.number}: Exited with exit code {code & 255}",
                      file=sys.stderr, flush=True)
            if kill_on_bad_exit:
                kill_all()
    waiting = [threading.Thread(target=wait, args=(task,)) for task in tasks]
    for thread in waiting:
        thread.start()
    for thread in waiting:
        thread.join()
    os.write(watching, b"x")
    return max((task.process.returncode & 255 for task in tasks), default=0)


def scontrol(words):
    if words[:2] != ["show", "hostnames"] or len(words) != 3:
        return 1
    print("\n".join(host_list(words[2])))
    return 0


name = os.path.basename(sys.argv[0])
sys.exit({"ssh": ssh, "srun": srun, "scontrol": scontrol, "scancel": lambda _: 0}.get(
    name, lambda words: shell(name, words))(sys.argv[1:]))

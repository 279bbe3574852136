"""dorvik-clients: runs dorvik on many clients at once through pdsh or clush,
all starting at one wall-clock instant, collects every output and reports
each client's rates and the aggregate.

The same program runs on each client (--client, started by the parallel
shell over ssh): it waits for the instant, runs dorvik, timestamps each piece
of its output as it arrives and sends all of it back in one record line."""

import argparse
import base64
import datetime
import json
import os
import re
import selectors
import shlex
import shutil
import signal
import subprocess
import sys
import time
import uuid

from . import VERSION, clients, reader

RECORD = "DORVIK-CLIENTS-RECORD "
ALIVE = "DORVIK-CLIENTS-ALIVE"
# How often a client tells the controller it is there: a write that fails
# means the controller or its ssh is gone, and the test is ended.
HEARTBEAT_SECONDS = 0.5


def encode(value):
    return base64.urlsafe_b64encode(json.dumps(value).encode()).decode()


def decode(text):
    return json.loads(base64.urlsafe_b64decode(text.encode()))


# ---- the client side ----

class Client:
    """One dorvik run on this host, started at the instant and watched to its end."""

    def __init__(self, host, order):
        self.host, self.order = host, order
        self.child = None
        self.stopping = False

    def stop(self, *_):
        self.stopping = True
        if self.child is not None and self.child.poll() is None:
            self.child.send_signal(signal.SIGTERM)

    def wait_for_instant(self):
        while not self.stopping:
            left = self.order["at"] - time.time()
            if left <= 0:
                return True
            time.sleep(min(left, 0.05))
        return False

    def heartbeat(self):
        try:
            os.write(1, (ALIVE + "\n").encode())
        except OSError:
            self.stop()

    def run(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, self.stop)
        signal.signal(signal.SIGPIPE, signal.SIG_IGN)
        record = {"host": self.host, "at": self.order["at"]}
        if not self.wait_for_instant():
            record.update(status=None, reason="stopped before the start")
            return self.send(record)
        arguments = [a.replace("%h", self.host) for a in self.order["arguments"]]
        record["start"] = time.time()
        try:
            self.child = subprocess.Popen([self.order["program"]] + arguments, stdin=subprocess.DEVNULL,
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        except OSError as error:
            record.update(end=time.time(), status=None,
                          reason=f"dorvik is not installed there: {self.order['program']}: {error.strerror}")
            return self.send(record)
        if self.stopping:
            self.stop()
        out, err, chunks = self.collect()
        record.update(end=time.time(), status=self.child.wait(), stdout=out.decode(errors="replace"),
                      stderr=err.decode(errors="replace"), chunks=chunks)
        return self.send(record)

    def collect(self):
        """dorvik's two outputs, and for each piece of standard output its end and its time of arrival."""
        out, err, chunks = bytearray(), bytearray(), []
        streams = selectors.DefaultSelector()
        streams.register(self.child.stdout, selectors.EVENT_READ, out)
        streams.register(self.child.stderr, selectors.EVENT_READ, err)
        beat = time.monotonic()
        while streams.get_map():
            for key, _ in streams.select(timeout=HEARTBEAT_SECONDS):
                piece = os.read(key.fd, 65536)
                arrived = time.time()
                if not piece:
                    streams.unregister(key.fileobj)
                    continue
                key.data.extend(piece)
                if key.data is out:
                    chunks.append([len(out), arrived])
            if time.monotonic() - beat >= HEARTBEAT_SECONDS:
                self.heartbeat()
                beat = time.monotonic()
        return out, err, chunks

    def send(self, record):
        try:
            os.write(1, (RECORD + encode(record) + "\n").encode())
        except OSError:
            return 1
        return 0


# ---- the controller side ----

def parse_arguments():
    parser = argparse.ArgumentParser(
        prog="dorvik-clients", usage="dorvik-clients -w HOSTS [-e pdsh|clush] [-o FOLDER] [--start-in SECONDS] "
        "[--skew-limit SECONDS] [--long] [--bin FOLDER] [--ssh OPTIONS] -- DORVIK_ARGUMENTS...",
        description="Runs dorvik on every host at once; %h in the arguments becomes each host's name.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {VERSION}")
    parser.add_argument("-w", dest="hosts", required=True, help="the hosts, in the parallel shell's syntax")
    parser.add_argument("-e", dest="shell", choices=("pdsh", "clush"),
                        help="the parallel shell (default: pdsh, or clush where pdsh is missing)")
    parser.add_argument("-o", dest="folder", help="where the outputs go (default: dorvik-clients-DATE)")
    parser.add_argument("--start-in", type=float, default=3.0, metavar="SECONDS",
                        help="how far ahead the common start lies (default 3)")
    parser.add_argument("--skew-limit", type=float, default=0.1, metavar="SECONDS",
                        help="a start later or earlier than this is flagged (default 0.1)")
    parser.add_argument("--long", action="store_true", help="run dorvik_long")
    parser.add_argument("--bin", metavar="FOLDER", help="the folder of the programs on the clients (default: PATH)")
    parser.add_argument("--ssh", default="", metavar="OPTIONS", help="more options for ssh, such as '-F config'")
    parser.add_argument("arguments", nargs=argparse.REMAINDER, metavar="DORVIK_ARGUMENTS")
    options = parser.parse_args()
    if options.arguments[:1] == ["--"]:
        options.arguments = options.arguments[1:]
    return options


def reads_as_number(text):
    """Whether atoi reads text as a number other than 0, as dorvik does."""
    number = re.match(r"[ \t\n\v\f\r]*[+-]?([0-9]+)", text)
    return number is not None and int(number.group(1)) != 0


def file_name_argument(arguments):
    """The argument that names the test file, "" for the default name, or None when no file is written."""
    if len(arguments) == 1 and not reads_as_number(arguments[0]):
        word = arguments[0]
        for lower in ("raw", "cdrom"):
            if word.startswith((lower, lower.upper())):
                return None
        if word in ("help", "HELP"):
            return None
        if word.startswith(("auto", "AUTO")):
            return word[5:] if word[4:5] == "=" else ""
        return word
    if len(arguments) == 2:
        return "" if reads_as_number(arguments[1]) else arguments[1]
    if len(arguments) == 3:
        return arguments[2]
    return "" if len(arguments) <= 1 else None


def check_arguments(arguments):
    name = file_name_argument(arguments)
    if name is not None and "%h" not in name:
        raise SystemExit("dorvik-clients: the test file's name must hold %h, so that every client writes a file "
                         "of its own (clients sharing one file truncate each other's data): "
                         "e.g. auto=/mnt/nfs/dorvik.%h")


def choose_shell(requested):
    shell = requested or ("pdsh" if shutil.which("pdsh") else "clush")
    if shutil.which(shell) is None:
        raise SystemExit(f"dorvik-clients: {shell} is not installed (apt install "
                         f"{'pdsh' if shell == 'pdsh' else 'clustershell'})")
    return shell


def parallel_command(shell, hosts, ssh_options, remote):
    """The parallel shell running ssh to every host; both put %h for the host's name."""
    ssh = ["ssh", "-x", "-o", "BatchMode=yes"] + shlex.split(ssh_options) + ["%h", remote]
    if shell == "clush":
        # clush runs the command through a local shell; pdsh runs it as it is.
        ssh = [shlex.quote(word) for word in ssh]
    return [shell, "-R", "exec", "-f", "256", "-w", hosts] + ssh


def expand_hosts(shell, hosts):
    done = subprocess.run([shell, "-R", "exec", "-w", hosts, "echo", "%h"], capture_output=True, text=True,
                          check=False)
    names = sorted({line.split(": ", 1)[0] for line in done.stdout.splitlines() if ": " in line})
    if not names:
        raise SystemExit(f"dorvik-clients: {shell} found no host in {hosts!r}: {done.stderr.strip()}")
    return names


class Controller:
    """Starts the clients, gathers what they send back, and ends them on a signal."""

    def __init__(self, options):
        self.options = options
        self.shell = choose_shell(options.shell)
        self.hosts = expand_hosts(self.shell, options.hosts)
        self.run_id = uuid.uuid4().hex
        self.at = time.time() + options.start_in
        self.records, self.lines, self.errors = {}, {h: [] for h in self.hosts}, {h: [] for h in self.hosts}
        self.process = None
        self.interrupted = False

    def on_client(self, program):
        """A program's path on the clients: in --bin, or found on their PATH."""
        return os.path.join(self.options.bin, program) if self.options.bin else program

    def remote(self, *words):
        return " ".join(shlex.quote(w) for w in (self.on_client("dorvik-clients"),) + words)

    def order(self):
        program = self.on_client("dorvik_long" if self.options.long else "dorvik")
        return encode({"run": self.run_id, "at": self.at, "program": program, "arguments": self.options.arguments})

    def on_signal(self, *_):
        self.interrupted = True

    def start(self):
        command = parallel_command(self.shell, self.options.hosts, self.options.ssh,
                                   self.remote("--client", "%h", self.order()))
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, start_new_session=True)

    def stop_clients(self):
        """Ends the test on every client: their dorvik deletes its file as on an interrupt."""
        command = parallel_command(self.shell, self.options.hosts, self.options.ssh,
                                   # Only the clients' own processes: neither the shell that runs
                                   # pkill nor, where a host is also the controller, the ssh that started them.
                                   "pkill -TERM -f " + shlex.quote("^[^ ]*python[0-9.]* [^ ]*dorvik-clients [-]-client "
                                                                   "[^ ]+ " + self.order()[:40]))
        try:
            subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=10, check=False)
        except subprocess.TimeoutExpired:
            pass

    def take(self, line, into):
        host, _, text = line.partition(": ")
        if host not in into:
            for name in self.hosts:
                if f" {name}: " in f" {line}":
                    host, text = name, line.split(f"{name}: ", 1)[1]
                    break
            else:
                return
        if into is self.lines and text.startswith(RECORD):
            self.records[host] = decode(text[len(RECORD):])
        elif text != ALIVE:
            into[host].append(text)

    def gather(self):
        streams = selectors.DefaultSelector()
        pending = {self.process.stdout: (b"", self.lines), self.process.stderr: (b"", self.errors)}
        for stream in pending:
            streams.register(stream, selectors.EVENT_READ)
        first_stop = last_stop = None
        while streams.get_map():
            # Again every two seconds: a client still starting up missed the last one.
            if self.interrupted and (last_stop is None or time.monotonic() - last_stop > 2):
                self.stop_clients()
                last_stop = time.monotonic()
                first_stop = first_stop or last_stop
            if first_stop is not None and time.monotonic() - first_stop > 15:
                os.killpg(self.process.pid, signal.SIGTERM)
            for key, _ in streams.select(timeout=0.2):
                piece = os.read(key.fd, 65536)
                rest, into = pending[key.fileobj]
                if not piece:
                    streams.unregister(key.fileobj)
                    piece = b"\n"
                *complete, rest = (rest + piece).split(b"\n")
                pending[key.fileobj] = (rest, into)
                for line in complete:
                    # ssh ends its own messages with a carriage return.
                    text = line.decode(errors="replace").rstrip("\r")
                    if text:
                        self.take(text, into)
        self.process.wait()

    def run(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, self.on_signal)
        self.start()
        self.gather()


def failure_reason(record, errors):
    """Why a host gave no result, or None when its test ran to its end."""
    if record is None:
        said = [e for e in errors if e.strip() and "exit code" not in e]
        codes = [e for e in errors if "exit code" in e]
        missing = "dorvik-clients is not installed there: " if any("exit code 127" in c for c in codes) else ""
        return missing + "; ".join(said + codes) or "no answer"
    if record.get("status") is None:
        return record.get("reason", "did not start")
    try:
        runs = reader.parse(record["stdout"], record["host"])
    except reader.ParseError as error:
        return f"dorvik exited with status {record['status']}: {error}"
    cut = [run for run in runs if not run["complete"]]
    if cut or record["status"] != 0:
        reason = cut[0]["reason"] if cut else "no reason printed"
        said = [line for line in record["stderr"].splitlines() if line.strip()]
        return f"dorvik exited with status {record['status']}: {reason}" + (f" ({said[-1]})" if said else "")
    return None


def save(folder, controller):
    """Every host's standard output, standard error, exit status and times, failed hosts too."""
    os.makedirs(folder, exist_ok=True)
    hosts = []
    for host in controller.hosts:
        record = controller.records.get(host)
        errors = controller.errors[host] + controller.lines[host]
        with open(os.path.join(folder, host + ".out"), "w", encoding="utf-8") as out:
            out.write(record.get("stdout", "") if record else "")
        with open(os.path.join(folder, host + ".err"), "w", encoding="utf-8") as err:
            err.write((record.get("stderr", "") if record else "") + "".join(e + "\n" for e in errors))
        entry = {"host": host, "status": record.get("status") if record else None,
                 "reason": failure_reason(record, errors), "start": record.get("start") if record else None,
                 "end": record.get("end") if record else None, "chunks": record.get("chunks", []) if record else []}
        hosts.append(entry)
    document = {"at": controller.at, "shell": controller.shell, "program": "dorvik_long" if controller.options.long
                else "dorvik", "arguments": controller.options.arguments, "interrupted": controller.interrupted,
                "skew_limit": controller.options.skew_limit, "hosts": hosts}
    with open(os.path.join(folder, reader.CLIENTS_FILE), "w", encoding="utf-8") as f:
        json.dump(document, f, indent=2)
        f.write("\n")


def seconds(value, sign=False):
    return "-" if value is None else (f"{value:+.6f}" if sign else f"{value:.6f}")


def rate_text(value):
    return "-" if value is None else f"{value:.2f}"


def print_report(folder):
    summary = clients.load_clients(folder)
    when = datetime.datetime.fromtimestamp(summary["at"], datetime.timezone.utc)
    count = len(summary["hosts"])
    print(f"dorvik-clients: {count} host{'' if count == 1 else 's'}, common start {when:%Y-%m-%d %H:%M:%S.%f} UTC, "
          f"outputs in {folder}")
    print(f"{'host':<20}{'start - instant (s)':<22}result")
    for host in summary["hosts"]:
        flag = "  LATE START" if host["flagged"] else ""
        print(f"{host['host']:<20}{seconds(host['skew'], True):<22}{host['reason'] or 'ok'}{flag}")
    print(f"start skew: {seconds(summary['start_skew'])} s from the first start to the last")
    print()
    print(f"{'MB':<8}{'reclen':<8}{'host':<28}{'write MB/s':>12}{'read MB/s':>12}   phases overlap")
    for point in summary["points"]:
        size, length = point["size_mb"], point["record_length"]
        for row in point["hosts"]:
            print(f"{size!s:<8}{length!s:<8}{row['host']:<28}{rate_text(row['write_mb_per_s']):>12}"
                  f"{rate_text(row['read_mb_per_s']):>12}")
        overlap = f"write {point['write_overlap']:.0%}, read {point['read_overlap']:.0%}" \
            if point["read_overlap"] is not None else "-"
        print(f"{size!s:<8}{length!s:<8}{'sum of the rates':<28}{rate_text(point['write_sum_mb_per_s']):>12}"
              f"{rate_text(point['read_sum_mb_per_s']):>12}   {overlap}")
        print(f"{size!s:<8}{length!s:<8}{'all bytes / span':<28}{rate_text(point['write_span_mb_per_s']):>12}"
              f"{rate_text(point['read_span_mb_per_s']):>12}")
    print("The sum of the rates is what the clients got together only where their phases overlapped fully;")
    print("all bytes over the span from the first start to the last end of a phase is a lower bound.")
    return summary


def control(options):
    check_arguments(options.arguments)
    if not options.arguments:
        raise SystemExit("dorvik-clients: no dorvik arguments after --")
    folder = options.folder or f"dorvik-clients-{datetime.datetime.now():%Y%m%d-%H%M%S}"
    controller = Controller(options)
    controller.run()
    save(folder, controller)
    summary = print_report(folder)
    failed = [h for h in summary["hosts"] if h["reason"]]
    return 1 if failed or controller.interrupted else 0


def main():
    if sys.argv[1:2] == ["--client"] and len(sys.argv) == 4:
        return Client(sys.argv[2], decode(sys.argv[3])).run()
    return control(parse_arguments())


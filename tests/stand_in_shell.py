#!/usr/bin/env python3
"""A stand-in for pdsh, clush and ssh, for cases that need no server: named
pdsh or clush (through a link) it runs "-R exec ... -w HOSTS COMMAND..." for
every host on this machine, %h replaced, each line of output prefixed with
"host: " (clush runs the command through sh, as the real one does); named ssh
it runs the remote command here with sh, a host whose name begins with
"down" refuses the connection, and one whose name begins with "ahead" runs
with its wall clock 8 s ahead (the fault library's clock_ahead)."""
import os
import subprocess
import sys
import threading


def shell(name, words):
    hosts = words[words.index("-w") + 1].split(",")
    command = words[words.index("-w") + 2:]
    lock = threading.Lock()

    def one(host):
        given = [w.replace("%h", host) for w in command]
        run = ["sh", "-c", " ".join(given)] if name == "clush" else given
        child = subprocess.Popen(run, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        for line in child.stdout:
            with lock:
                sys.stdout.buffer.write(host.encode() + b": " + line)
                sys.stdout.flush()
        if child.wait():
            with lock:
                print(f"{name}: {host}: exited with exit code {child.returncode}", file=sys.stderr, flush=True)

    threads = [threading.Thread(target=one, args=(h,)) for h in hosts]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def ssh(words):
    host, remote = words[words.index("--") + 1:]
    if host.startswith("down"):
        print(f"ssh: connect to host {host} port 22: Connection refused", file=sys.stderr)
        return 255
    if host.startswith("ahead"):
        os.environ.update(LD_PRELOAD=os.environ["FAULT_LIBRARY"], DORVIK_FAULT="clock_ahead=8000",
                          ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
    os.execvp("sh", ["sh", "-c", remote])


name = os.path.basename(sys.argv[0])
sys.exit(ssh(sys.argv[1:]) if name == "ssh" else shell(name, sys.argv[1:]))

// The cases of dorvik-clients: recorded folders, stand-in shells, and real clients over the tests' own sshd.
#include "cases.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {

const std::string clients = "bash \"$TESTS\"/clients.sh ";
// The lines that end every report of dorvik-clients.
const std::string clients_footer =
    "all bytes / span: every byte of the phase over the time from its first start to its last end;\n"
    "while all were active: the bytes the storage wrote or read (a machine's device once, a program's\n"
    "counters where a client found none of its storage) from the last start to the first end of the\n"
    "phase, over that window; passed to the system: what the programs passed to or received from the\n"
    "system in it (- where there was no window, or it was shorter than two samples, 0.04 s);\n"
    "last end after first: from the first start of the phase to its last end; hosts: each host's own rate;\n"
    "storage / programs read: the bytes the storage read over those the programs read in the span.\n";
// What the hosts ran on, below their clocks: every host of these cases runs on this machine, and they are
// named together.
const std::string environment_lines = "environment of {*}\n  device {*}\n  MemTotal {*}\n  dorvik-clients {*}\n";
// The aggregate rows of a grid point: size and record length as the report pads them.
std::string aggregate_lines(const std::string &point)
{
    return point + "all bytes / span{*}\n" + point + "while all were active{*}\n" + point +
           "  passed to the system{*}programs' counters\n" + point + "  over a window of (s){*}\n" + point +
           "  last end after first (s){*}\n" + point + "hosts: least{*}\n" + point + "hosts: median{*}\n" + point +
           "hosts: most{*}\n{?}" + point + "  storage / programs read{*}\n";
}
const std::string has_clients = has_sshfs + " && command -v pdsh && command -v clush";
const std::string serve = "bash \"$TESTS\"/sshfs_loopback.sh serve";
const std::string stop_serving = "bash \"$TESTS\"/sshfs_loopback.sh stop";
const std::vector<std::string> client_hosts = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};

// The files dorvik-clients collects for hosts, and the folders beside them.
std::vector<std::string> collected(std::vector<std::string> hosts, std::vector<std::string> folders)
{
    folders.push_back("out/");
    folders.push_back("out/clients.json");
    for (const std::string &host : hosts)
        for (const char *kind : {".out", ".err", ".samples"})
            folders.push_back("out/" + host + kind);
    return folders;
}

// The report of a single test of megabytes in 65536-byte records on hosts,
// the last of them unreachable when dead is set.
std::string clients_report(const std::string &megabytes, bool dead)
{
    std::string text = "dorvik-clients: " + std::to_string(client_hosts.size() + dead) +
                       " hosts, first start {*} UTC, outputs in out\n"
                       "host                clock offset (s)      start - instant (s)   result\n";
    for (const std::string &host : client_hosts)
        text += host + "           {*}ok\n";
    if (dead)
        text += "127.0.0.6           -                     -                     no answer: ssh: connect to host "
                "127.0.0.6 port {N}: Connection refused; {*}exited with exit code 255\n";
    text += "start skew: {*} s from the first start to the last; worst of a test: {*} s; by the controller's clock\n" +
            environment_lines + "\nMB      reclen  host                          write MB/s   read MB/s\n";
    for (const std::string &host : client_hosts)
        text += megabytes + "       65536   " + host + "{*}\n";
    return text + aggregate_lines(megabytes + "       65536   ") + clients_footer;
}

const std::string figures_follow = "4 hosts; the figures follow from the outputs and the times; worst start skew "
                                   "within the limit\n";

// The many-clients cases, once through each parallel shell. Each client has half a second to start its dorvik
// and the starts a second: a busy machine may spawn one late, and ssh wakes it through more processes; and
// each host 300 s to be ready, as a loaded machine may take longer than 30 s to connect four through sshd.
std::vector<Case> clients_cases()
{
    std::vector<Case> cases;
    for (const std::string shell : {"pdsh", "clush"}) {
        cases.push_back(Case{"four_clients_" + shell, "mkdir shared && " + clients + "run " + shell +
            " --deadline 300 --start-in 0.5 --skew-limit 1 -w '127.0.0.[2-5]' -o out -- 5 65536 \"$PWD\"/shared/t.%h && " + clients + "check out",
            clients_report("5", false) + "status 0\n" + figures_follow, "", 0,
            collected(client_hosts, {"shared/"}), serve, "", 0, "", true, stop_serving, has_clients});
        cases.push_back(Case{"four_clients_on_sshfs_" + shell, clients + "run " + shell +
            " --deadline 300 --start-in 0.5 --skew-limit 1 -w '127.0.0.[2-5]' -o out -- 5 65536 \"$PWD\"/mnt/t.%h && " + clients + "check out",
            clients_report("5", false) + "status 0\n" + figures_follow, "", 0,
            collected(client_hosts, {"mnt/", "remote/"}), sshfs + "start", "", 0, "", true, sshfs + "stop", has_clients});
        cases.push_back(Case{"series_" + shell, "mkdir shared && " + clients + "run " + shell +
            " --deadline 300 --start-in 0.5 --skew-limit 1 -w '127.0.0.[2-5]' -o out -- auto=\"$PWD\"/shared/t.%h > report.txt; tail -1 report.txt && " +
            clients + "check out", "status 0\n" + figures_follow, "", 0,
            collected(client_hosts, {"report.txt", "shared/"}), serve, "", 0, "", true, stop_serving, has_clients});
        std::vector<std::string> five = client_hosts;
        five.push_back("127.0.0.6");
        // The form --ssh -F/path, with the shell's own settings emptied.
        cases.push_back(Case{"dead_host_" + shell, "mkdir shared && PDSH_SSH_ARGS_APPEND= " + clients + "run " + shell +
            " --ssh -F$(cd .. && pwd)/ssh/ssh_config --deadline 300 --start-in 0.5 --skew-limit 1 -w '127.0.0.[2-6]' -o out -- 5 65536 \"$PWD\"/shared/t.%h",
            clients_report("5", true) + "status 1\n", "", 0, collected(five, {"shared/"}), serve, "", 0, "", true,
            stop_serving, has_clients});
        cases.push_back(Case{"interrupt_" + shell, clients + "interrupt " + shell,
            "files while writing: 4\nno dorvik left within 5 s\nstatus 130\nfiles left: 0\nno ssh left\n4\n", "", 0,
            collected(client_hosts, {"shared/"}), serve, "", 0, "", true, stop_serving, has_clients});
        cases.push_back(Case{"controller_killed_" + shell, clients + "killed " + shell,
            "files while writing: 4\nno dorvik left within 10 s\nfiles left: 0\nno ssh left\n", "", 0,
            collected(client_hosts, {"shared/"}), serve, "", 0, "", true, stop_serving, has_clients});
        cases.push_back(Case{"silent_host_" + shell, clients + "silent " + shell,
            "127.0.0.6           -                     -                     not ready within 3 s, stalled connecting (no "
            "word from its client); --deadline gives a slow start more time\nstatus 1\nno ssh left\n", "", 0,
            collected(five, {"shared/"}), serve, "", 0, "", true, stop_serving, has_clients});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(SlowClients, Arguments, testing::ValuesIn(clients_cases()), case_name);

// The tests' own Slurm: a controller and three nodes, n1 to n3, on this machine.
const std::string slurm = "bash \"$TESTS\"/slurm_cluster.sh ";
// A step on the three nodes, each task's pid in pid.NODE; the pids of the
// daemons, the tasks, their slurmstepd and srun in the variable pids once all
// run, and a function alive that tells whether a pid runs.
const std::string long_step = "alive() { [ -r /proc/$1/stat ] && ! grep -q ') Z ' /proc/$1/stat; }; " + slurm +
    "run srun -N3 sh -c 'echo $$ > pid.$SLURMD_NODENAME; exec sleep 600' > /dev/null 2>&1 & srun=$!; i=0; until "
    "[ -s pid.n1 ] && [ -s pid.n2 ] && [ -s pid.n3 ]; do i=$((i + 1)); [ $i -lt 900 ] || exit 1; sleep 0.1; done; "
    "pids=\"$(cat ../slurm/*.pid pid.n*) $(for n in 1 2 3; do ps -o ppid= -p $(cat pid.n$n); done) $srun\"; ";
// Waits up to 60 s for srun to end, then names every process of pids that still runs.
const std::string left_running = "i=0; while alive $srun && [ $i -lt 600 ]; do i=$((i + 1)); sleep 0.1; done; "
                                 "for p in $pids; do alive $p && echo \"left: $p $(cat /proc/$p/comm)\"; done; ";

INSTANTIATE_TEST_SUITE_P(SlowSlurm, Arguments, testing::Values(
    Case{"slurm_three_nodes", slurm + "run srun -N3 --label sh -c 'echo $SLURMD_NODENAME' | sort",
         "0: n1\n1: n2\n2: n3\n", "", 0, {}, slurm + "up", "", 0, "", true, slurm + "down", slurm + "available"},
    Case{"slurm_step_in_an_allocation", slurm + "run salloc -Q -N3 sh -c 'scontrol show hostnames "
         "\"$SLURM_JOB_NODELIST\" | tr \"\\n\" \" \"; echo; srun sh -c \"echo \\$SLURMD_NODENAME \\$SLURM_JOB_ID\" | "
         "sed \"s/ $SLURM_JOB_ID\\$/ in the allocation/\" | sort'", "n1 n2 n3 \nn1 in the allocation\n"
         "n2 in the allocation\nn3 in the allocation\n", "", 0, {}, slurm + "up", "", 0, "", true, slurm + "down",
         slurm + "available"},
    Case{"slurm_down_leaves_nothing", long_step + "echo \"$(echo $pids | wc -w) processes\"; " + slurm + "down; " +
         left_running + "test -e ../slurm || echo 'no state'", "12 processes\nno state\n", "", 0,
         {"pid.n1", "pid.n2", "pid.n3"}, slurm + "up", "", 0, "", true, slurm + "down", slurm + "available"},
    // The README's batch script, with a stand-in for dorvik-clients that runs a step on the allocation.
    Case{"slurm_batch_script", "PATH=$PWD/bin:$PATH " + slurm + "run sbatch -Q -W -N3 \"$SOURCE\"/docs/"
         "dorvik-clients.sbatch; echo \"status $?\"; cat dorvik-clients-*.out && rm dorvik-clients-*.out",
         "status 0\ndorvik-clients -e srun -o dorvik-clients-{N} -- auto=/mnt/nfs/dorvik.%h\n0: n1\n1: n2\n2: n3\n",
         "", 0, {"bin/", "bin/dorvik-clients"}, "mkdir bin && cat > bin/dorvik-clients << 'EOF'\n#!/bin/sh\necho "
         "\"dorvik-clients $*\"\nsrun --label sh -c 'echo $SLURMD_NODENAME' | sort\nEOF\nchmod +x "
         "bin/dorvik-clients && " + slurm + "up", "", 0, "", true, slurm + "down", slurm + "available"}),
    case_name);

// dorvik-clients without a server: stand-ins for pdsh, clush and ssh run every
// "host" on this machine (a host named down* refuses the connection).
const std::string stand_ins = "mkdir bin && for n in pdsh clush ssh srun scontrol scancel; do ln -s "
                              "\"$TESTS\"/stand_in_shell.py bin/$n; done && ln -s \"$DORVIK\" bin/dorvik && ln -s "
                              "\"$SOURCE\"/tools/dorvik-clients bin/";
const std::vector<std::string> stand_in_files = {"bin/", "bin/clush@", "bin/dorvik-clients@", "bin/dorvik@",
                                                 "bin/pdsh@", "bin/scancel@", "bin/scontrol@", "bin/srun@",
                                                 "bin/ssh@"};

// A busy machine may stall a stand-in client's spawn of its dorvik for a second past its instant: a start is
// flagged late past 2 s, unless a case about late starts gives its own limit after this one.
std::string on_stand_ins(const std::string &shell, const std::string &rest, const std::string &exec = "")
{
    return "PATH=$PWD/bin:$PATH " + exec + "\"$SOURCE\"/tools/dorvik-clients -e " + shell + " --bin \"$PWD\"/bin " +
           "--skew-limit 2 --progress 0 " + rest;
}

// The stand-ins' files and the folder out/ with the files of hosts, plus more.
std::vector<std::string> stand_in_run(const std::vector<std::string> &hosts, std::vector<std::string> more = {})
{
    std::vector<std::string> files = stand_in_files;
    files.insert(files.end(), more.begin(), more.end());
    files.push_back("out/");
    files.push_back("out/clients.json");
    for (const std::string &host : hosts)
        for (const char *kind : {".err", ".out", ".samples"})
            files.push_back("out/" + host + kind);
    std::sort(files.begin(), files.end());
    return files;
}

// The report of a recorded real run printed again, and its status, held against expected/.
Case clients_again(const std::string &name)
{
    return Case{"clients_report_" + name, "cd \"$TESTS\"/data && { \"$SOURCE\"/tools/dorvik-clients --report clients-" +
                name + "; echo \"status $?\"; } | diff - expected/clients-" + name + ".txt && echo same", "same\n", "",
                0, {}, "", "", 0, "", true};
}

const std::string clients_usage = "usage: dorvik-clients -w HOSTS {*}\n       dorvik-clients -e srun {*}\n"
                                  "       dorvik-clients --report FOLDER\n";
// A host of the stand-ins that refuses the connection, and two that run.
const std::string two_and_down =
    "dorvik-clients: 3 hosts, first start {*} UTC, outputs in out\n"
    "host                clock offset (s)      start - instant (s)   result\n"
    "down1               -                     -                     no answer: ssh: connect to host down1 port 22: "
    "Connection refused; {*}exited with exit code 255\n"
    "h1                  {*}ok\nh2                  {*}ok\n"
    "start skew: {*} s from the first start to the last; worst of a test: {*} s; by the controller's clock\n" +
    environment_lines + "\nMB      reclen  host                          write MB/s   read MB/s\n"
    "1       65536   h1{*}\n1       65536   h2{*}\n" + aggregate_lines("1       65536   ") + clients_footer;
// A stand-in dorvik (bin/dorvik, in place of the link) that runs the real one, after what the case given does
// for the test file (its third argument) it matches.
std::string dorvik_wrapper(const std::string &when)
{
    return "rm bin/dorvik && printf '%s\\n' '#!/bin/sh' 'case $3 in " + when + " esac' 'exec \"$DORVIK\" \"$@\"' > "
           "bin/dorvik && chmod +x bin/dorvik";
}
// The stand-ins' files, the wrapper of dorvik_wrapper in place of the link.
std::vector<std::string> wrapped_run(const std::vector<std::string> &hosts, const std::vector<std::string> &more)
{
    std::vector<std::string> files = stand_in_run(hosts, more);
    std::replace(files.begin(), files.end(), std::string("bin/dorvik@"), std::string("bin/dorvik"));
    return files;
}
// The dorvik of the first test on slow1 reads slowly (12 ms a read: 6 MB in 4096-byte records takes over 18 s,
// longer than --deadline 12, which leaves a loaded machine time to start its clients).
const std::string slow_first_test = dorvik_wrapper("*slow1) [ -e slowed ] || { touch slowed; export "
    "LD_PRELOAD=$FAULT_LIBRARY DORVIK_FAULT=read_delay=12000 ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0; };;");
// The client of h1 hears of its second test 0.5 s after its release, and says nothing meanwhile.
const std::string slow_to_hear = "rm bin/dorvik-clients && printf '%s\\n' '#!/bin/sh' 'case $2 in h1) while IFS= read -r "
    "line; do case $line in \"GO 1 \"*) sleep 0.5;; esac; echo \"$line\"; done | \"$SOURCE\"/tools/dorvik-clients \"$@\";; *) "
    "exec \"$SOURCE\"/tools/dorvik-clients \"$@\";; esac' > bin/dorvik-clients && chmod +x bin/dorvik-clients";
// The clock of step1 steps 0.9 s ahead when its first test has ended: less than the second by which a
// sample's time may lie outside its test, since the client may take a sample after the step.
const std::string step_after_first_test = dorvik_wrapper("*step1) \"$DORVIK\" \"$@\"; s=$?; touch stepped; exit $s;;");
// The dorvik of late1 hears each of its instants 0.5 s late, 0.3 s past it.
const std::string late_start = dorvik_wrapper("*late1) mkfifo \"$3.i\"; (while read -r at <&$DORVIK_INSTANT_FD; do "
    "sleep 0.5; echo \"$at\"; done) > \"$3.i\" 2> /dev/null & exec 6< \"$3.i\"; rm \"$3.i\"; export DORVIK_INSTANT_FD=6;;");
// Every write takes 16 ms: a test of 1 MB in 4096-byte records lasts 4 s.
const std::string slow_writes = dorvik_wrapper("*) export LD_PRELOAD=$FAULT_LIBRARY DORVIK_FAULT=write_delay=16000 "
                                               "ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0;;");
// Every read takes a quarter of a second: a test of 2 MB in records of 128 KiB reads for 4 s.
const std::string slow_reads = dorvik_wrapper("*) export LD_PRELOAD=$FAULT_LIBRARY DORVIK_FAULT=read_delay=250000 "
                                              "ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0;;");
// The client of stuck1 answers no round trip of the clock after its first test.
const std::string stuck_after_first_test = "rm bin/dorvik-clients && printf '%s\\n' '#!/bin/sh' 'case $2 in stuck1) "
    "sed -u '\\''/^GO /,/^-/ { /^PING /d }'\\'' | \"$SOURCE\"/tools/dorvik-clients "
    "\"$@\";; *) exec \"$SOURCE\"/tools/dorvik-clients \"$@\";; esac' > bin/dorvik-clients && chmod +x bin/dorvik-clients";
// A pdsh that names its hosts as given (an empty name, one that leads out of the folder).
const std::string naming_pdsh = "rm bin/pdsh && printf '%s\\n' '#!/bin/sh' 'echo \"../escaped: ../escaped\"' > bin/pdsh "
                                "&& chmod +x bin/pdsh";
const std::string checks = "python3 \"$TESTS\"/clients_check.py ";
// A gnuplot that keeps the script it is given in bin/gnuplot.in.
const std::string gnuplot_keeps = "mkdir bin && printf '#!/bin/sh\\ncat > \"$0.in\"\\n' > bin/gnuplot && chmod +x "
                                  "bin/gnuplot && export PATH=$PWD/bin:$PATH && ";
const std::vector<std::string> gnuplot_kept = {"bin/", "bin/gnuplot", "bin/gnuplot.in"};
// Two stand-in hosts writing 8 MB each to an ext4 on a loop device of the case's own, and the device's
// statistics before and after.
const std::string on_loop_ext4 = "truncate -s 64M img && losetup -f --show img > dev && mkfs.ext4 -q $(cat dev) && "
    "mkdir m && mount $(cat dev) m && lsblk -dno MAJ:MIN $(cat dev) | tr -d ' ' > number";
const std::string has_loop_ext4 = "losetup -f && command -v mkfs.ext4 && command -v lsblk";

// The controller's splitter reaches the limit, 16 MiB of one line in the 64 KiB pieces that a pipe gives,
// within three times what it takes for eight lines to reach 2 MiB each, the same bytes: the cost grows with
// the line, not with its square (the pending text joined at every piece takes eight times as long). The best
// of five of each, side by side.
const std::string line_cost = "python3 -c 'import sys, time; sys.path[:0] = [sys.argv[1]]\n"
    "from dorvik_tools.channel import Lines\npiece = bytes(65536)\n"
    "def took(mib, count):\n  t = time.perf_counter()\n  for _ in range(count):\n    lines = Lines()\n"
    "    for _ in range(mib * 16): lines.feed(piece)\n  return time.perf_counter() - t\n"
    "long, short = (min(took(m, c) for _ in range(5)) for m, c in ((16, 1), (2, 8)))\n"
    "print(\"in proportion\" if long < 3 * short else (long, short))' \"$SOURCE\"/tools";
// Round trips (sent, the client's time, back) whose shortest, 0.5 s, puts the client 5 s ahead; the longest
// would say 4.5 s.
const std::string clock_offset = "python3 -B -c 'import sys; sys.path[:0] = [sys.argv[1]]\n"
    "from dorvik_tools.barrier import clock_offset\n"
    "print(*clock_offset([(0, 5.75, 1.5), (10, 15.25, 10.5), (20, 26, 23)]))' \"$SOURCE\"/tools";

// The report of a host that sent garbage, and its reason.
std::string garbage(const std::string &host, const std::string &reason)
{
    return host + " " + reason + "\n";
}
const std::vector<std::string> garbage_hosts = {"bad_absurd", "bad_backwards", "bad_deep", "bad_empty",
    "bad_escape", "bad_inf", "bad_long", "bad_nan", "bad_negative", "bad_none", "bad_pong", "bad_reclen", "bad_record",
    "bad_short", "bad_wrap", "h1"};
std::string garbage_report()
{
    std::string text = "dorvik-clients: 16 hosts, first start {*} UTC, outputs in out\n{*}\n" +
        garbage("bad_absurd", "sent a malformed message (ValueError: a sample's time 1000000000000000.0 lies outside "
                "its test)") +
        garbage("bad_backwards", "ok") +
        garbage("bad_deep", "sent a malformed message (RecursionError: maximum recursion depth exceeded while decoding "
                "a JSON array from a unicode string)") +
        garbage("bad_empty", "sent a malformed message (ValueError: 0 numbers are no whole samples)") +
        garbage("bad_escape", "\\x1b[2Jgone\\nwrong\\x07\\x9b2J") +
        garbage("bad_inf", "sent a malformed message (ValueError: 'inf' is not a finite number)") +
        garbage("bad_long", "sent a line longer than 16777216 bytes") +
        garbage("bad_nan", "sent a malformed message (ValueError: 'nan' is not a finite number)") +
        garbage("bad_negative", "sent a malformed message (ValueError: a sample's time -5.0 lies outside its test)") +
        garbage("bad_none", "sent fewer than two samples of its counters") +
        garbage("bad_pong", "sent a malformed message (ValueError: invalid literal for int() with base 10: 'zero')") +
        garbage("bad_reclen", "dorvik exited with status 0, but its output holds a record length of 0") +
        garbage("bad_record", "sent a malformed message (ValueError: a test's record lacks its times or status)") +
        garbage("bad_short", "sent a malformed message (ValueError: 3 numbers are no whole samples)") +
        garbage("bad_wrap", "ok") + "h1 ok\n{*}\n"
        "note: bad_backwards test 1: counter 1 went back from 9 to 8: taken as a reset; its figures go on\n"
        "note: bad_wrap test 1: counter 3 wrapped at 2^41; its figures go on\n" + environment_lines + "\n{*}\n1       65536   bad_backwards{*}\n"
        "1       65536   bad_wrap{*}\n1       65536   h1{*}\n" + aggregate_lines("1       65536   ") + clients_footer;
    return text;
}
// files with more, and each link that a case replaced by a file of its own (replaced) made that file.
std::vector<std::string> with_links(std::vector<std::string> files, const std::vector<std::string> &more,
                                    const std::vector<std::string> &replaced = {})
{
    files.insert(files.end(), more.begin(), more.end());
    for (const std::string &file : replaced)
        std::replace(files.begin(), files.end(), file + "@", file);
    return files;
}
// A host's row of the report with its figures left out: its name and its result.
const std::string name_and_result = " | sed -E 's/^([a-z0-9_]+) +(-|[-+][0-9.]+ .[0-9.]+) +[^ ]+ +/\\1 /'";

// Waits, a tenth of a second at a time, until a shell condition holds, seconds at most.
std::string until(const std::string &condition, int seconds)
{
    return "i=0; until " + condition + "; do i=$((i + 1)); [ $i -lt " + std::to_string(seconds * 10) +
           " ] || break; sleep 0.1; done; ";
}
// Whether a process whose command line holds the case's folder followed by pattern runs.
std::string runs(const std::string &pattern) { return "pgrep -f \"$PWD/" + pattern + "\" > /dev/null"; }
// Whether a watchdog of dorvik-clients started in the case's folder runs.
const std::string watchdog_runs = "{ w=; for p in $(pgrep -f '[d]orvik_tools.slurm import watchdog'); do [ "
                                  "\"$(readlink /proc/$p/cwd)\" = \"$PWD\" ] && w=1; done; [ -n \"$w\" ]; }";
// Within 30 s no srun, dorvik or client of the case's is left, nor a watchdog started in its folder.
const std::string nothing_left = until("! " + runs("bin/(srun|dorvik)") + " && ! " + watchdog_runs, 30) +
    runs("bin/(srun|dorvik)") + " && echo 'left running'; " + watchdog_runs + " && echo 'watchdog left'; echo "
    "'nothing left'";
// An ssh that notes it ran.
const std::string ssh_notes = "rm bin/ssh && printf '#!/bin/sh\\ntouch ssh-ran\\nexit 255\\n' > bin/ssh && chmod +x "
                              "bin/ssh";
// The hosts h1 to h{count}, and their files in out/ beside the stand-in pdsh of many_clients.py.
std::string many_hosts(int count)
{
    return "$(seq -s, -f 'h%g' " + std::to_string(count) + ")";
}
std::vector<std::string> many_hosts_files(int count)
{
    std::vector<std::string> files = {"bin/", "bin/pdsh@", "out/", "out/clients.json", "report"};
    for (int host = 1; host <= count; host++)
        for (const char *kind : {".err", ".out", ".samples"})
            files.push_back("out/h" + std::to_string(host) + kind);
    return files;
}
// The entries of hosts h1 and h2 of four streams each.
const std::vector<std::string> four_streams = {"h1#1", "h1#2", "h1#3", "h1#4", "h2#1", "h2#2", "h2#3", "h2#4"};
const std::string slow_start_hint = "; --deadline gives a slow start more time";

INSTANTIATE_TEST_SUITE_P(Clients, Arguments, testing::Values(
    clients_again("series"), clients_again("throttled"), clients_again("interrupted"), clients_again("dropped"),
    clients_again("cdrom"),
    Case{"clients_csv_throttled", "cd \"$TESTS\"/data && \"$SOURCE\"/tools/dorvik-report clients-throttled | diff - "
         "expected/clients-throttled.csv && echo same", "same\n", "", 0, {}, "", "", 0, "", true},
    Case{"clients_csv_series", "cd \"$TESTS\"/data && \"$SOURCE\"/tools/dorvik-report clients-series | diff - "
         "expected/clients-series.csv && echo same", "same\n", "", 0, {}, "", "", 0, "", true},
    // Each line of the chart holds the bytes of its counters: the storage's, counted once, the programs', each
    // host's reads and writes; the shaded phases are their spans, first start to last end.
    Case{"clients_time_line", gnuplot_keeps + "\"$SOURCE\"/tools/dorvik-plot -o c.png \"$TESTS\"/data/clients-throttled "
         "&& " + checks + "chart \"$TESTS\"/data/clients-throttled bin/gnuplot.in",
         "dorvik-plot: wrote c.png\nsame\n", "", 0, gnuplot_kept, "", "", 0, "", true},
    // The same with every host's samples cut off in the middle of its read: the last interval of the all-hosts
    // line ends with the last sample, however short it is.
    Case{"clients_time_line_cut_short", "cp -r \"$TESTS\"/data/clients-throttled f && python3 -c 'import json, sys\n"
         "d = json.load(open(sys.argv[1]))\nfor h in d[\"hosts\"]:\n  for t in h[\"tests\"]:\n"
         "    t[\"samples\"] = [s for s in t[\"samples\"] if s[0] < t[\"start\"] + 5.987]\n"
         "json.dump(d, open(sys.argv[1], \"w\"))' f/clients.json && " + gnuplot_keeps + "\"$SOURCE\"/tools/dorvik-plot "
         "-o c.png f && " + checks + "chart f bin/gnuplot.in", "dorvik-plot: wrote c.png\nsame\n", "", 0,
         with_links(gnuplot_kept, {"f/", "f/127.0.0.2.err", "f/127.0.0.2.out", "f/127.0.0.3.err", "f/127.0.0.3.out",
                                   "f/127.0.0.4.err", "f/127.0.0.4.out", "f/127.0.0.5.err", "f/127.0.0.5.out",
                                   "f/clients.json"}), "", "", 0, "", true},
    // A series' chart marks where each grid point began; an interrupted run's says so.
    Case{"clients_time_line_labels", gnuplot_keeps + "\"$SOURCE\"/tools/dorvik-plot -o c.png \"$TESTS\"/data/clients-series "
         "&& grep -c '^set label.* rotate by 90 ' bin/gnuplot.in && " + checks + "chart \"$TESTS\"/data/clients-series bin/gnuplot.in && "
         "\"$SOURCE\"/tools/dorvik-plot -o c.png \"$TESTS\"/data/clients-interrupted; grep -o '(partial: .*)' "
         "bin/gnuplot.in", "dorvik-plot: wrote c.png\n20\nsame\ndorvik-plot: wrote c.png\n(partial: interrupted)\n",
         "", 0, gnuplot_kept, "", "", 0, "", true},
    // An NFS mount's counters found at the end of a mountstats of over a megabyte (hundreds of automounted homes).
    Case{"clients_nfs_counters_past_a_megabyte", R"py(python3 -B -c 'import os, sys
sys.path.insert(0, os.environ["SOURCE"] + "/tools")
from dorvik_tools import client
with open("mountstats", "w") as f:
    for n in range(20000):
        f.write(f"device s:/e{n} mounted on /home/u{n} with fstype nfs4 statvers=1.1\n\tbytes:\t0 0 0 0 0 0 0 0\n")
    f.write("device s:/d mounted on /mnt/d with fstype nfs4 statvers=1.1\n\tbytes:\t1 2 3 4 5 6 7 8\n")
print(os.path.getsize("mountstats") > 1 << 20)
client.MOUNTSTATS = "mountstats"
counters = client.Counters(os.getpid(), {"kind": "nfs"}, "/mnt/d")
print(counters.storage_bytes(), counters.storage_bytes())
counters.close()')py", "True\n(6, 5) (6, 5)\n", "", 0, {"mountstats"}, "", "", 0, "", true},
    // Ctrl-C while the parallel shell expands the hosts: one line and status 130, the shell ended, no folder made.
    Case{"clients_interrupted_while_expanding_hosts", "PATH=$PWD/bin:$PATH exec \"$SOURCE\"/tools/dorvik-clients -e pdsh "
         "-w h1 -o out -- 1 65536 \"$PWD\"/t.%h", "", "dorvik-clients: interrupted\n", 130, {"bin/", "bin/pdsh", "expanding"},
         "mkdir bin && printf '#!/bin/sh\\necho 1 > expanding\\nexec sleep 600\\n' > bin/pdsh && chmod +x bin/pdsh", "",
         SIGINT, "file:expanding", true},
    Case{"clients_stand_in_pdsh", on_stand_ins("pdsh", "--skew-limit 1 -w h1,h2,down1 -o out -- 1 65536 \"$PWD\"/t.%h"),
         two_and_down, "", 1, stand_in_run({"down1", "h1", "h2"}), stand_ins + " && mkdir out", "", 0, "", true},
    Case{"clients_stand_in_clush", on_stand_ins("clush", "--skew-limit 1 -w h1,h2,down1 -o out -- 1 65536 \"$PWD\"/t.%h"),
         two_and_down, "", 1, stand_in_run({"down1", "h1", "h2"}), stand_ins, "", 0, "", true},
    // A client whose wall clock is 8 s ahead: its offset is measured, within its error, and the start still holds:
    // its dorvik began no earlier than the instant, by the controller's clock, than that error allows.
    Case{"clients_clock_ahead", on_stand_ins("pdsh", "--start-in 0.5 --skew-limit 1 -w h1,ahead1 -o out -- 1 65536 "
         "\"$PWD\"/t.%h > report; s=$?; head -n 5 report; awk '$1 == \"ahead1\" { e = substr($3, index($3, \"0\")); d = $2 - 8; "
         "if (d * d <= (e + 0.001) * (e + 0.001)) print \"offset 8 s\"; if ($4 + e + 0.001 >= 0) print \"not before the "
         "instant\"; else print \"started \" $4 \" s before the instant\" }' report; echo \"status $s\""),
         "dorvik-clients: 2 hosts, first start {*} UTC, outputs in out\n"
         "host{*}\nahead1              +{*} ±0.{N}   {*}             ok\nh1                  {*}ok\n"
         "start skew: 0.{N} s from the first start to the last; {*}\noffset 8 s\nnot before the instant\nstatus 0\n", "", 0,
         stand_in_run({"ahead1", "h1"}, {"report"}), stand_ins, "", 0, "", true},
    // step1's clock steps 0.9 s ahead after its first test: measured again, the next start still holds, and
    // the step is flagged, which leaves the status 0. (A sample the client takes between the step and the
    // end of dorvik's run also flags it during test 1, as a busy machine may allow.) Each client has half a second to start its dorvik, and the
    // starts 0.6 s more; a series flagged late is run again, three times at most, as a machine that stalls may
    // make one run late.
    Case{"clients_clock_moved_between_tests", "for attempt in 1 2 3; do rm -rf out stepped; " + on_stand_ins("pdsh",
         "--start-in 0.5 --skew-limit 0.6 -w h1,step1 -o out -- auto=\"$PWD\"/t.%h > report; s=$?; ! grep -q "
         "'LATE START' report && break; done; echo \"status $s\"; grep -E '^(step1 |clock moved: .* before )' report | sed -E "
         "'s/^step1 .* (ok.*)$/step1 \\1/'"), "status 0\nstep1 ok  CLOCK MOVED\nclock moved: step1 +0.{N} s against "
         "the controller's before test 2\n", "", 0, wrapped_run({"h1", "step1"}, {"report", "stepped"}),
         stand_ins + " && " + step_after_first_test, "", 0, "", true},
    // late1's dorvik reaches its timed span 0.3 s after the instant: its measured start says so, and the flag
    // leaves the status 0.
    Case{"clients_late_start_measured", on_stand_ins("pdsh", "--skew-limit 0.25 -w h1,late1 -o out -- 1 65536 "
         "\"$PWD\"/t.%h > report; "
         "echo \"status $?\"; grep -E '^(late1|start skew)' report"), "status 0\nlate1               {*} +0.{N}   "
         "{*}ok  LATE START\nstart skew: 0.{N} s from the first start to the last; {*}\n", "", 0,
         wrapped_run({"h1", "late1"}, {"report"}), stand_ins + " && " + late_start, "", 0, "", true},
    // An NFS mount's bytes written to and read from its server, from a mountstats of two mounts whose points
    // begin alike.
    Case{"clients_nfs_counters_from_mountstats", "python3 -B -c 'import sys; sys.path[:0] = [sys.argv[1]]\n"
         "from dorvik_tools.client import nfs_bytes\n"
         "stats = \"device s:/a mounted on /mnt/n with fstype nfs4 statvers=1.1\\n\\topts:\\trw\\n\\tbytes:\\t1 2 3 4 "
         "5000 6000 7 8\\ndevice s:/b mounted on /mnt/n2 with fstype nfs statvers=1.1\\n\\tbytes:\\t1 2 3 4 50 60 7 "
         "8\\n\"\nprint(nfs_bytes(stats, \"/mnt/n\"), nfs_bytes(stats, \"/mnt/n2\"), nfs_bytes(stats, \"/mnt\"))' "
         "\"$SOURCE\"/tools", "(6000, 5000) (60, 50) None\n", "", 0, {}, "", "", 0, "", true},
    // A client's figures in ASCII only: fullwidth digits are no time and no counter.
    Case{"clients_figures_in_ascii_only", "python3 -B -c 'import sys; sys.path[:0] = [sys.argv[1]]\n"
         "from dorvik_tools.barrier import number, parsed_sample\n"
         "for words in ([\"1.5\", \"1\", \"2\", \"3\", \"4\"], [\"1.5\", \"1\", \"\uff12\", \"3\", \"4\"]):\n"
         "    try:\n        print(parsed_sample(words))\n    except ValueError as error:\n        print(error)\n"
         "for text in (\"12\", \"\uff11\uff12\"):\n    try:\n        print(number(text))\n    except ValueError as error:\n"
         "        print(error)' \"$SOURCE\"/tools", "[1.5, 1, 2, 3, 4]\na sample holds a figure not written in ASCII\n12.0\n"
         "'\xef\xbc\x91\xef\xbc\x92' is not a number in ASCII\n", "", 0, {}, "", "", 0, "", true},
    Case{"clients_clock_offset_from_the_shortest_round_trip", clock_offset, "5.0 0.25\n", "", 0, {}, "", "", 0, "",
         true},
    // Ctrl-C in the writes: every dorvik ends, and says so (no start flagged late short of a minute, however
    // loaded the machine).
    Case{"clients_interrupted", on_stand_ins("pdsh", "--skew-limit 60 -w h1,h2 -o out -- 400 16 \"$PWD\"/t.%h", "exec "),
         "{*}\n{*}\nh1{*}dorvik exited with status 0: dorvik: interrupted\nh2{*}dorvik exited with status 0: dorvik: "
         "interrupted\n{*}\n" + environment_lines + "\n{*}\n" + clients_footer, "", 130, stand_in_run({"h1", "h2"}), stand_ins, "",
         SIGINT, "file:t.h2", true},
    // A CD-ROM series runs in one process per host: only its first point started together. The programs'
    // counters read and never write.
    Case{"clients_cdrom_series", on_stand_ins("pdsh", "--skew-limit 1 -w h1,h2 -o out -- cdrom=\"$PWD\"/zero > report.txt; echo "
         "\"status $?\"; grep -c '^1       [0-9]* *all bytes / span  ' report.txt; grep -c 'no aggregate: not started "
         "together' report.txt; " + checks + "reads out"), "status 0\n1\n19\nsame\n", "", 0,
         stand_in_run({"h1", "h2"}, {"report.txt", "zero%"}), stand_ins + " && mknod zero c 1 5", "", 0, "", true},
    // A raw series on images: each row's write phase, timed from its output, ends before its read begins.
    Case{"clients_raw_series_phases", on_stand_ins("pdsh", "--skew-limit 1 -w h1,h2 -o out -- raw=\"$PWD\"/img.%h > "
         "report.txt; echo \"status $?\"; " + checks + "phases out"), "status 0\nsame\n", "", 0,
         stand_in_run({"h1", "h2"}, {"img.h1", "img.h2", "report.txt"}), stand_ins + " && truncate -s 20M img.h1 img.h2",
         "", 0, "", true},
    // Whatever a client sends, the host fails with its reason, shown and never obeyed, and the others go on. No
    // start is flagged late short of a minute: sixteen clients on a loaded machine start as its cores come free.
    Case{"clients_garbage", on_stand_ins("clush", "--skew-limit 60 -w " + [] {
             std::string list;
             for (const std::string &host : garbage_hosts)
                 list += (list.empty() ? "" : ",") + host;
             return list;
         }() + " -o out -- 1 65536 \"$PWD\"/t.%h" + name_and_result),
         garbage_report(), "", 0, stand_in_run(garbage_hosts), stand_ins, "", 0, "", true},
    Case{"clients_live_line_on_a_terminal", "script -qc '" + on_stand_ins("pdsh", "-w h1,h2 -o out -- 10 16 "
         "\"$PWD\"/t.%h > /dev/null") + "' /dev/null | tr '\\r' '\\n' | grep -a -m1 -o 'test 1 of 1: 2 writing; "
         "[0-9.]* MB/s at the storage; [0-9]* s'", "test 1 of 1: 2 writing; {*} MB/s at the storage; {N} s\n", "", 0, stand_in_run({"h1", "h2"}), stand_ins, "", 0, "", true, "", "command -v script"},
    // A stream whose reads each take longer than a sample is reading all along, not syncing: of the eight lines
    // of its reads, three at least say so, however busy the machine.
    Case{"clients_live_line_slow_reads", "script -qc '" + on_stand_ins("pdsh", "-w h1 -o out -- 2 131072 "
         "\"$PWD\"/t.%h > /dev/null") + "' /dev/null | tr '\\r' '\\n' | grep -a -c 'test 1 of 1: 1 reading;' | "
         "awk '{ print ($1 >= 3 ? \"reading\" : $1) }'", "reading\n", "", 0, wrapped_run({"h1"}, {}),
         stand_ins + " && " + slow_reads, "", 0, "", true, "", "command -v script"},
    Case{"clients_planted_link", "echo keep > victim && mkdir out && ln -s ../victim out/h1.out && " +
         on_stand_ins("pdsh", "-w h1 -o out -- 1 65536 \"$PWD\"/t.%h; echo \"status $?\"; cat victim"),
         "status 2\nkeep\n", "dorvik-clients: out exists and is not an empty folder; name a new one with -o\n", 0,
         with_links(stand_in_files, {"out/", "out/h1.out@", "victim"}), stand_ins, "", 0, "", true},
    Case{"clients_link_to_an_empty_folder", "mkdir empty && ln -s empty out && " +
         on_stand_ins("pdsh", "-w h1 -o out -- 1 65536 \"$PWD\"/t.%h; echo \"status $?\""), "status 2\n",
         "dorvik-clients: out exists and is not an empty folder; name a new one with -o\n", 0,
         with_links(stand_in_files, {"empty/", "out@"}), stand_ins, "", 0, "", true},
    Case{"clients_folder_of_another_user", "mkdir out && chown nobody out && " +
         on_stand_ins("pdsh", "-w h1 -o out -- 1 65536 \"$PWD\"/t.%h; echo \"status $?\""), "status 2\n",
         "dorvik-clients: out belongs to another user; name a folder of your own with -o\n", 0,
         with_links(stand_in_files, {"out/"}), stand_ins, "", 0, "", true},
    // The default folder is numbered where the name of this second is taken; the run says which it used.
    Case{"clients_numbered_default_folder", "now=$(date +%s); for s in 0 1 2 3 4 5 6 7; do mkdir dorvik-clients-$(date "
         "-d @$((now + s)) +%Y%m%d-%H%M%S); done; " + on_stand_ins("pdsh", "-w h1 -- 1 65536 \"$PWD\"/t.%h") + " | head -n 1 | "
         "grep -o 'outputs in dorvik-clients-[0-9-]*-2$' && ls dorvik-clients-*-2 && rm -r dorvik-clients-*",
         "outputs in dorvik-clients-{N}-{N}-2\nclients.json\nh1.err\nh1.out\nh1.samples\n", "", 0, stand_in_files,
         stand_ins, "", 0, "", true},
    Case{"clients_hostile_host", on_stand_ins("clush", "-w 'h1,x$(touch pwned)' -- 1 65536 \"$PWD\"/t.%h"), "",
         clients_usage + "dorvik-clients: error: -w 'h1,x$(touch pwned)': host names hold only letters, digits, '.', "
         "'-', '_', ':' and the ranges '[]' and ',', and none begins with '-'\n", 2, stand_in_files, stand_ins, "", 0,
         "", true},
    // ssh would read -Fx as its configuration file x.
    Case{"clients_host_like_an_option", on_stand_ins("pdsh", "-w h1,-Fx -- 1 65536 \"$PWD\"/t.%h"), "",
         clients_usage + "dorvik-clients: error: -w 'h1,-Fx': host names hold only letters, digits, '.', '-', '_', ':' "
         "and the ranges '[]' and ',', and none begins with '-'\n", 2, stand_in_files, stand_ins, "", 0, "", true},
    // A host name from the shell that would lead out of the output folder is refused before anything starts.
    Case{"clients_host_name_out_of_the_folder", "mkdir in && " + on_stand_ins("pdsh", "-w h1 -o in/out -- 1 65536 "
         "\"$PWD\"/t.%h"), "", "dorvik-clients: pdsh gave host names that are not plain names: '../escaped'\n", 1,
         with_links(stand_in_files, {"in/"}, {"bin/pdsh"}), stand_ins + " && " + naming_pdsh, "", 0, "", true},
    Case{"clients_start_in_nan", "exec \"$SOURCE\"/tools/dorvik-clients -w h1 --start-in nan -- 1 65536 t.%h", "",
         clients_usage + "dorvik-clients: error: argument --start-in: 'nan' is not a number of seconds from 0.01 to "
         "60\n", 2, {}, "", "", 0, "", true},
    Case{"clients_deadline_inf", "exec \"$SOURCE\"/tools/dorvik-clients -w h1 --deadline inf -- 1 65536 t.%h", "",
         clients_usage + "dorvik-clients: error: argument --deadline: 'inf' is not a number of seconds from 1 to "
         "86400\n", 2, {}, "", "", 0, "", true},
    Case{"clients_ssh_unbalanced", "exec \"$SOURCE\"/tools/dorvik-clients -w h1 --ssh \"-o 'x\" -- 1 65536 t.%h", "",
         clients_usage + "dorvik-clients: error: --ssh: No closing quotation\n", 2, {}, "", "", 0, "", true},
    Case{"clients_need_a_file_per_host", "exec \"$SOURCE\"/tools/dorvik-clients -w '127.0.0.[2-5]' -- auto=/tmp/x",
         "", "dorvik-clients: the test file's name must hold %h, so that every client writes a file of its own "
         "(clients sharing one file truncate each other's data): e.g. auto=/mnt/nfs/dorvik.%h\n", 2, {}, "", "", 0,
         "", true},
    Case{"clients_default_name_refused", "exec \"$SOURCE\"/tools/dorvik-clients -w 127.0.0.2 -- 100 8192", "",
         "dorvik-clients: the test file's name must hold %h, so that every client writes a file of its own "
         "(clients sharing one file truncate each other's data): e.g. auto=/mnt/nfs/dorvik.%h\n", 2, {}, "", "", 0,
         "", true},
    // The host that waited at the barrier for the slow one is not silent: it is released with it.
    // (h1, ready for its second test, waits for slow1's reads, and hears of the release 0.5 s late.)
    Case{"clients_wait_at_the_barrier_is_no_silence", on_stand_ins("pdsh", "--deadline 12 --skew-limit 5 "
         "-w h1,slow1 -o out -- auto=\"$PWD\"/t.%h > report; echo \"status $?\"; grep -E '^(h1|slow1) ' report | "
         "sed -E 's/ .* / /'"), "status 0\nh1 ok\nslow1 ok\n", "", 0,
         with_links(stand_in_run({"h1", "slow1"}, {"report", "slowed"}), {}, {"bin/dorvik", "bin/dorvik-clients"}),
         stand_ins + " && " + slow_first_test + " && " + slow_to_hear, "", 0, "", true},
    // stuck1 answers no round trip after its first test: it is dropped at the deadline, h1 goes on.
    Case{"clients_stuck_in_the_clock", on_stand_ins("pdsh", "--deadline 12 --skew-limit 1 -w h1,stuck1 -o out -- "
         "auto=\"$PWD\"/t.%h > report", "timeout -s INT 120 ") + "; echo \"status $?\"; grep -E '^(h1|stuck1) ' report" +
         name_and_result,
         "status 1\nh1 ok\nstuck1 not ready for test 2 within 12 s: stalled measuring its clock (0 of 8 round trips "
         "answered)\n", "", 0,
         with_links(stand_in_run({"h1", "stuck1"}, {"report"}), {}, {"bin/dorvik-clients"}), stand_ins + " && " + stuck_after_first_test, "",
         0, "", true},
    // A test of 4 s, 200 samples, through a pdsh that cuts lines at 8 KiB (pdsh cuts at 128 KiB; a record with
    // every sample on one line would be cut after some 40 s): every host keeps its results.
    Case{"clients_long_test_through_pdsh", "export STAND_IN_LINE_LIMIT=8192 && " + on_stand_ins("pdsh",
         "--skew-limit 1 -w h1,h2 -o out -- 1 4096 \"$PWD\"/t.%h > report; echo \"status $?\"; grep -c '^h[12] .* ok$' "
         "report; cat out/h1.out out/h2.out | grep -c 'Average read'"), "status 0\n2\n2\n", "", 0,
         wrapped_run({"h1", "h2"}, {"report"}), stand_ins + " && " + slow_writes, "", 0, "", true},
    // Two hosts on one device of the case's own: the storage's counters are the device's, counted once.
    Case{"clients_storage_counted_once", "cat /sys/dev/block/$(cat number)/stat > before && " + on_stand_ins("pdsh",
         "--skew-limit 1 -w h1,h2 -o out -- 8 65536 \"$PWD\"/m/t.%h > report; echo \"status $?\"; sync; cat "
         "/sys/dev/block/$(cat number)/stat > after; grep -o 'storage: 1 block device' report") + "; " + checks +
         "device out $(cat number) before after", "status 0\nstorage: 1 block device\nsame\n", "", 0,
         stand_in_run({"h1", "h2"}, {"after", "before", "dev", "img", "m/", "m/lost+found/", "number", "report"}),
         stand_ins + " && " + on_loop_ext4, "", 0, "", true, "umount m; losetup -d $(cat dev)", has_loop_ext4},
    // A host whose FIFO is gone before its relay opens it fails at once; nothing is left, in the FIFOs' folder
    // (TMPDIR) or running.
    Case{"clients_fifo_removed_early", "mkdir tmp && export TMPDIR=$PWD/tmp && " + on_stand_ins("pdsh",
         "-w h1,nofifo1 -o out -- 1 65536 \"$PWD\"/t.%h | grep -E '^(h1|nofifo1) ' | sed -E 's/ .* (ok|no answer).*/ "
         "\\1/'; pgrep -f \"$TMPDIR/\" || echo 'no relay left'"), "h1 ok\nnofifo1 no answer\nno relay left\n", "",
         0, stand_in_run({"h1", "nofifo1"}, {"tmp/"}), stand_ins, "", 0, "", true},
    // A host that connects and never says a word: dropped, and its ssh, in a session of its own under pdsh,
    // does not outlive the run.
    Case{"clients_mute_host_left_nothing", on_stand_ins("pdsh", "--deadline 2 -w h1,mute1 -o out -- 1 65536 "
         "\"$PWD\"/t.%h | grep '^mute1' | sed -E 's/ +- +- +/ /'; pgrep -f \"$PWD/mute1\" || echo 'nothing left'"),
         "mute1 not ready within 2 s, stalled connecting (no word from its client); --deadline gives a slow start "
         "more time\nnothing left\n", "", 0, stand_in_run({"h1", "mute1"}), stand_ins, "", 0, "", true},
    // The controller killed by SIGKILL once h1's dorvik has made its file (and waits for the instant) and mute1's
    // ssh runs: within a minute nothing of the case's runs (h1's client ends as its input does, its dorvik
    // deleting the file; mute1's ssh, which reads no input, is ended for it), and neither the FIFOs' folder (in
    // TMPDIR) nor a test file is left.
    Case{"clients_killed_with_a_mute_host", "mkdir tmp && export TMPDIR=$PWD/tmp && " + on_stand_ins("pdsh",
         "--deadline 600 -w h1,mute1 -o out -- 1 65536 \"$PWD\"/t.%h > /dev/null 2>&1 & c=$!; ") +
         until("[ -e t.h1 ] && [ -p tmp/dorvik-clients-*/mute1 ] && " + runs("mute1"), 120) + "kill -KILL $c; "
         "wait $c 2> /dev/null; " + until("! pgrep -f \"$PWD/\" > /dev/null", 60) + "pgrep -af \"$PWD/\" || echo 'nothing left'",
         "nothing left\n", "", 0, with_links(stand_in_files, {"out/", "out/clients.json",
         "out/h1.err", "out/h1.out", "out/h1.samples", "out/mute1.err", "out/mute1.out", "out/mute1.samples", "tmp/"}),
         stand_ins, "", 0, "", true},
    Case{"clients_lost_output", on_stand_ins("pdsh", "-w h1 -o a -- 1 65536 \"$PWD\"/t.%h > /dev/full; echo "
         "\"status $?\"; ") + on_stand_ins("pdsh", "-w h1 -o b -- 1 65536 \"$PWD\"/t.%h >&-; echo \"status $?\" >&2"),
         "status 1\n", "dorvik-clients: cannot write the report: No space left on device\n"
         "dorvik-clients: cannot write the report: standard output is closed\nstatus 1\n", 0,
         with_links(stand_in_files, {"a/", "a/clients.json", "a/h1.err", "a/h1.out", "a/h1.samples", "b/",
                                     "b/clients.json", "b/h1.err", "b/h1.out", "b/h1.samples"}), stand_ins, "", 0, "", true},
    // The time line as JSON, held to the schema as installed.
    Case{"clients_time_line_json_matches_the_schema", "\"$SOURCE\"/tools/dorvik-report --format json --timeline "
         "\"$TESTS\"/data/clients-throttled > line.json && /usr/bin/python3 -c 'import json, sys, jsonschema\n"
         "jsonschema.validate(json.load(open(sys.argv[2])), json.load(open(sys.argv[1])))\nprint(\"valid\")' "
         "\"$SOURCE\"/docs/dorvik-report.schema.json line.json && grep -c '\"host\": \"all hosts\"' line.json | "
         "awk '$1 > 100 { print \"at the resolution of the samples\" }'", "valid\nat the resolution of the samples\n", "", 0,
         {"line.json"}, "", "", 0, "", true, "", "/usr/bin/python3 -c 'import jsonschema'"},
    Case{"clients_long_line_costs_its_length", line_cost, "in proportion\n", "", 0, {}, "", "", 0, "", true},
    // Through srun's stand-in: no ssh runs, the hosts come in a person's order everywhere (n2 before n10), and
    // the clients' lines, cut by srun into pieces of 1024 bytes, are whole again.
    Case{"clients_srun", on_stand_ins("srun", "-w 'n[1-2],n10' -o out -- 1 65536 \"$PWD\"/t.%h > report; echo "
         "\"status $?\"; grep -E '^n[0-9]+ ' report" + name_and_result + "; \"$SOURCE\"/tools/dorvik-report out | cut "
         "-d, -f1 | tr '\\n' ' '; echo; \"$SOURCE\"/tools/dorvik-report --timeline out | cut -d, -f2 | uniq | tr '\\n' "
         "' '; echo; test -e ssh-ran || echo 'no ssh'"), "status 0\nn1 ok\nn2 ok\nn10 ok\nhost n1 n2 n10 all bytes / "
         "span while all were active passed to the system while all were active hosts: least hosts: median hosts: most "
         "storage / programs read \nhost all hosts n1 n2 n10 \nno ssh\n",
         "", 0, with_links(stand_in_run({"n1", "n2", "n10"}, {"report"}), {}, {"bin/ssh"}),
         stand_ins + " && " + ssh_notes, "", 0, "", true},
    // In an allocation the hosts are its nodes.
    Case{"clients_srun_in_an_allocation", "export SLURM_JOB_ID=77 SLURM_JOB_NODELIST='n[1-2]' && " +
         on_stand_ins("srun", "-o out -- 1 65536 \"$PWD\"/t.%h") + name_and_result + " | grep '^n'", "n1 ok\nn2 ok\n",
         "", 0, stand_in_run({"n1", "n2"}), stand_ins, "", 0, "", true},
    Case{"clients_srun_outside_an_allocation", "exec env -u SLURM_JOB_ID -u SLURM_JOB_NODELIST \"$SOURCE\"/tools/"
         "dorvik-clients -e srun -- 1 65536 t.%h", "", clients_usage + "dorvik-clients: error: -e srun outside a Slurm "
         "allocation: name the nodes with -w\n", 2, {}, "", "", 0, "", true},
    // Ctrl-C ends every test through srun's input: a signal to srun would kill every dorvik and leave its file.
    // (No start is flagged late short of a minute, however loaded the machine.)
    Case{"clients_srun_interrupted", on_stand_ins("srun", "--skew-limit 60 -w n1,n2 -o out -- 400 16 \"$PWD\"/t.%h",
         "exec "), "{*}\n{*}\nn1{*}dorvik exited with status 0: dorvik: interrupted\nn2{*}dorvik exited with status 0: "
         "dorvik: interrupted\n{*}\n" + environment_lines + "\n{*}\n" + clients_footer, "", 130, stand_in_run({"n1", "n2"}), stand_ins, "",
         SIGINT, "file:t.n2", true},
    // The controller killed: srun lives on, its clients see the end of their input and end their tests.
    Case{"clients_srun_controller_killed", on_stand_ins("srun", "--skew-limit 1 -w n1,n2 -o out -- 400 16 "
         "\"$PWD\"/t.%h > /dev/null 2>&1 & c=$!; " + until("[ -s t.n1 ] && [ -s t.n2 ]", 60) + "echo \"files while "
         "writing: $(ls t.* | wc -l)\"; kill -KILL $c; " + until("! " + runs("bin/dorvik 400"), 20) + "echo \"files "
         "left: $(ls t.* 2> /dev/null | wc -l)\"; " + nothing_left), "files while writing: 2\nfiles left: 0\nnothing "
         "left\n", "", 0, stand_in_run({"n1", "n2"}), stand_ins, "", 0, "", true},
    // A node that vanishes in its writes (each takes 16 ms, so that it vanishes before the barrier however
    // busy the machine) is dropped at the deadline (12 s, time for a loaded machine to start n1); srun, which
    // would wait for it for ever, the client there and its dorvik end all the same. Its file is the node's: a
    // dorvik killed with the step by SIGKILL, as Slurm kills it, leaves it there, as on a node cut off; the case
    // takes it away.
    Case{"clients_srun_dropped_node", on_stand_ins("srun", "--deadline 12 --skew-limit 1 -w n1,drop1 -o out -- 1 "
         "4096 \"$PWD\"/t.%h > report", "timeout -s KILL 150 ") + "; echo \"status $?\"; grep -E '^(n1|drop1) ' report" +
         name_and_result + "; " + nothing_left + "; rm -f t.drop1", "status 1\ndrop1 silent for 12 s in a test\nn1 ok\n"
         "nothing left\n", "", 0, wrapped_run({"drop1", "n1"}, {"report"}), stand_ins + " && " + dorvik_wrapper("*drop1) export "
         "LD_PRELOAD=$FAULT_LIBRARY DORVIK_FAULT=write_delay=16000 ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0;;"),
         "", 0, "", true},
    Case{"clients_srun_mute_node", on_stand_ins("srun", "--deadline 2 -w n1,mute1 -o out -- 1 65536 \"$PWD\"/t.%h | "
         "grep '^mute1' | sed -E 's/ +- +- +/ /'; ") + until("! " + runs("mute1"), 20) + runs("mute1") +
         " || echo 'nothing left'", "mute1 not ready within 2 s, stalled connecting (no word from its client)" +
         slow_start_hint + "\nnothing left\n", "", 0, stand_in_run({"mute1", "n1"}), stand_ins, "", 0, "", true},
    // Two tasks that name the same node: the second is refused and stopped, and the node's messages reach the
    // first alone.
    Case{"clients_srun_node_named_twice", on_stand_ins("srun", "--deadline 8 -w as_n1,n1 -o out -- 1 65536 "
         "\"$PWD\"/t.%h > report; echo \"status $?\"; grep -E '^(as_n1|n1) ' report" + name_and_result),
         "status 1\nas_n1 not ready within 8 s, stalled connecting (no word from its client)" + slow_start_hint +
         ": srun: task {N} named itself 'n1', already answered by task {N}: refused\nn1 ok\n", "", 0,
         stand_in_run({"as_n1", "n1"}, {"report"}), stand_ins, "", 0, "", true},
    // bad1 is dropped in the first test of a series: its client reads its input to the end, so srun does not
    // end the step under n1's later tests.
    Case{"clients_srun_failed_host_reads_on", on_stand_ins("srun", "--skew-limit 1 -w n1,bad1 -o out -- "
         "auto=\"$PWD\"/t.%h > report; echo \"status $?\"; grep -E '^(n1|bad1) ' report" + name_and_result),
         "status 1\nbad1 sent a malformed message (ValueError: 1 numbers are no whole samples)\nn1 ok\n", "", 0,
         stand_in_run({"bad1", "n1"}, {"report"}), stand_ins, "", 0, "", true},
    // fail1's task exits with status 1 at once: on a site whose srun kills the step when a task fails, n1 goes on
    // all the same.
    Case{"clients_srun_failed_task_leaves_the_others", on_stand_ins("srun", "--skew-limit 1 -w n1,fail1 -o out -- 1 "
         "65536 \"$PWD\"/t.%h > report; echo \"status $?\"; grep -E '^(n1|fail1) ' report" + name_and_result),
         "status 1\nfail1 no answer: srun: error: fail1: task {N}: Exited with exit code 1\nn1 ok\n", "", 0,
         stand_in_run({"fail1", "n1"}, {"report"}), stand_ins, "", 0, "", true},
    // srun's input takes 20,000 lines while its reader takes less than comes (the pipe full, the rest waiting),
    // then all the rest: every line arrives, in order.
    Case{"clients_srun_input_through_a_full_pipe", "python3 -c 'import os, sys, threading; sys.path[:0] = [sys.argv[1]]\n"
         "from dorvik_tools.slurm import Broadcast\nr, w = os.pipe()\nbroadcast, pieces, held = Broadcast(w), [], 0\n"
         "lines = [b\"%d GO %d %s\\n\" % (n % 3, n, b\"x\" * 40) for n in range(20000)]\nfor n, line in enumerate(lines):\n"
         "    broadcast.send(line)\n    held = max(held, len(broadcast.outbox))\n    if n % 50 == 0:\n"
         "        pieces.append(os.read(r, 1000))\nprint(\"the pipe filled\" if held > 65536 else held)\n"
         "reader = threading.Thread(target=lambda: pieces.extend(iter(lambda: os.read(r, 65536), b\"\")))\n"
         "reader.start()\nbroadcast.close()\nreader.join()\narrived = b\"\".join(pieces)\n"
         "print(arrived.count(b\"\\n\"), \"lines\", \"in order\" if arrived == b\"\".join(lines) else \"out of order\")' "
         "\"$SOURCE\"/tools", "the pipe filled\n20000 lines in order\n", "", 0, {}, "", "", 0, "", true},
    // Four streams on each of two hosts: eight files, eight rows, a figure per host, every stream of a host given
    // the one instant (in its clock), which a machine busy enough may let them miss.
    Case{"clients_streams", on_stand_ins("pdsh", "--streams 4 --start-in 2 --skew-limit 2 -w h1,h2 -o out -- 1 "
         "65536 \"$PWD\"/t.%h.%j > report; echo \"status $?\"; head -n 1 report | sed 's/, first.*//'; grep -c "
         "'^1       65536   h[12]#[1-4] ' report; grep '^1       65536   h[12], 4 streams ' report | sed -E 's/^1 +65536 "
         "+(h[12], 4 streams) .*/\\1/'; \"$SOURCE\"/tools/dorvik-report out | grep -c '^h[12]#[1-4],'; "
         "\"$SOURCE\"/tools/dorvik-report out | grep ',programs. output of 4 streams$' | cut -d, -f1; " + checks +
         "streams out 4; sed -E 's/^.*t[.](h[12])[.][1-4] /\\1 /' instants | sort -u | cut -d' ' -f1 | tr '\\n' ' '"),
         "status 0\ndorvik-clients: 2 hosts, 4 streams each\n8\nh1, 4 streams\nh2, 4 streams\n8\nh1\nh2\nsame\nh1 h2 ",
         "", 0, wrapped_run(four_streams, {"instants", "report"}), stand_ins + " && " + dorvik_wrapper("*) echo \"$3 "
         "$DORVIK_START_AT\" >> \"${3%/*}\"/instants;;"), "", 0, "", true},
    // Two streams that would write one file once %h and %j are filled in: refused before anything starts.
    Case{"clients_names_that_meet_refused", on_stand_ins("pdsh", "-w h1,h11 --streams 11 -o out -- 1 65536 "
         "\"$PWD\"/t.%h%j"), "", "dorvik-clients: the test file's name {*}/t.%h%j gives {*}/t.h111 to stream 11 of h1 and "
         "stream 1 of h11: set %h and %j apart, e.g. auto=/mnt/nfs/dorvik.%h.%j\n", 2, stand_in_files, stand_ins, "", 0,
         "", true},
    Case{"clients_streams_need_a_file_each", "exec \"$SOURCE\"/tools/dorvik-clients -w h1 --streams 2 -- 1 65536 t.%h",
         "", "dorvik-clients: with --streams 2 the test file's name (or the device) must hold %j, so that every stream "
         "writes a file of its own: e.g. auto=/mnt/nfs/dorvik.%h.%j\n", 2, {}, "", "", 0, "", true},
    // Three hundred hosts at once, played by one stand-in pdsh, with a limit of open files below what they need:
    // all run, and come in a person's order.
    Case{"clients_three_hundred_hosts", "mkdir bin && ln -s \"$TESTS\"/many_clients.py bin/pdsh && ulimit -Sn 256 && "
         "PATH=$PWD/bin:$PATH \"$SOURCE\"/tools/dorvik-clients -e pdsh --deadline 30 --progress 0 -w " + many_hosts(300) +
         " -o out -- 64 65536 /nonexistent/t.%h > report; echo \"status $?\"; grep -c '^h[0-9]* .* ok$' report; grep -E "
         "'^h[0-9]+ ' report | cut -d' ' -f1 | tr -d h | sort -nc && echo 'in order'", "status 0\n300\nin order\n", "",
         0, many_hosts_files(300), "", "", 0, "", true},
    Case{"clients_stalled_at_the_clock", on_stand_ins("pdsh", "--deadline 8 -w h1,noclock1 -o out -- 1 65536 "
         "\"$PWD\"/t.%h | grep '^noclock1' | sed -E 's/ +- +- +/ /'"), "noclock1 not ready within 8 s, stalled "
         "measuring its clock (0 of 8 round trips answered)" + slow_start_hint + "\n", "", 0,
         stand_in_run({"h1", "noclock1"}), stand_ins, "", 0, "", true},
    Case{"clients_one_host", on_stand_ins("pdsh", "-w h1 -o out -- 1 65536 \"$PWD\"/t.%h") + " | head -n 1",
         "dorvik-clients: 1 host, first start {*} UTC, outputs in out\n", "", 0, stand_in_run({"h1"}), stand_ins, "",
         0, "", true}),
    case_name);

// The whole run: the barrier between the phases, the command between them, the records on disk as they
// arrive, a clock set during a test, a stuck test, a full folder.

// A dorvik of slow1 that writes slowly: 20 ms a write, its write phase far longer than h1's.
const std::string slow_writer = dorvik_wrapper("*slow1) export LD_PRELOAD=$FAULT_LIBRARY DORVIK_FAULT=write_delay=20000 "
                                               "ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0;;");
// Every dorvik keeps its pages in the page cache once the file keep exists in the case's folder.
const std::string pages_kept = dorvik_wrapper("*) [ -e \"${3%/*}\"/../keep ] && export LD_PRELOAD=$FAULT_LIBRARY "
    "DORVIK_FAULT=keep_pages=1 ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0;;");
// The wall clock of stepin1 (0.9 s ahead once the file stepped exists) is set once its dorvik has written its
// first record; its writes take 16 ms each, so that the test goes on after the step.
const std::string step_in_the_test = dorvik_wrapper("*stepin1) export DORVIK_FAULT=$DORVIK_FAULT,write_delay=16000; "
    "\"$DORVIK\" \"$@\" & p=$!; until [ -s \"$3\" ]; do sleep 0.05; done; touch stepped; wait $p; exit $?;;");
// The dorvik of frozen1 hangs in its first write, as on a dead NFS server.
const std::string frozen_writer = dorvik_wrapper("*frozen1) export LD_PRELOAD=$FAULT_LIBRARY DORVIK_FAULT=write_delay="
    "600000000 ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0;;");
// The dorvik of slow1 takes a second to start (as a probe of a large device may): released only once it is ready.
const std::string slow_to_be_ready = dorvik_wrapper("*slow1) sleep 1;;");
// Whether the run's index holds at least a number of tests released, the ones before them ended.
std::string released(int tests)
{
    return "python3 -c 'import json, sys; sys.exit(len(json.load(open(\"out/clients.json\"))[\"tests\"]) < " +
           std::to_string(tests) + ")' 2> /dev/null";
}
// A recorded folder of format 3 written as format 4 keeps them: its samples in files of their own, its
// outputs' shares in bytes.
const std::string as_format_4 = "cp -r \"$TESTS\"/data/clients-throttled f && python3 -c 'import json, os\n"
    "d = json.load(open(\"f/clients.json\"))\nd[\"format\"] = 4\nfor h in d[\"hosts\"]:\n"
    "  out = open(\"f/\" + h[\"host\"] + \".out\", encoding=\"utf-8\").read()\n  at = 0\n"
    "  with open(\"f/\" + h[\"host\"] + \".samples\", \"w\") as f:\n    for t in h[\"tests\"]:\n"
    "      f.writelines(\"%d %r %d %d %d %d\\n\" % (t[\"index\"], *s) for s in t[\"samples\"])\n"
    "      t[\"samples\"] = len(t[\"samples\"])\n      t[\"out_bytes\"] = len(out[at:at + t[\"out_chars\"]].encode())\n"
    "      at += t[\"out_chars\"]\njson.dump(d, open(\"f/clients.json\", \"w\"))' && ";
const std::vector<std::string> format_4_files = {"f/", "f/127.0.0.2.err", "f/127.0.0.2.out", "f/127.0.0.2.samples",
    "f/127.0.0.3.err", "f/127.0.0.3.out", "f/127.0.0.3.samples", "f/127.0.0.4.err", "f/127.0.0.4.out",
    "f/127.0.0.4.samples", "f/127.0.0.5.err", "f/127.0.0.5.out", "f/127.0.0.5.samples", "f/clients.json"};

INSTANTIATE_TEST_SUITE_P(WholeRun, Arguments, testing::Values(
    // slow1 writes for far longer than h1: h1 reads only once slow1 has written, and the reads are all active
    // over most of their span.
    Case{"clients_barrier_between_phases", on_stand_ins("pdsh", "-w h1,slow1 -o out -- 1 65536 \"$PWD\"/t.%h > "
         "report; echo \"status $?\"; " + checks + "barrier out"), "status 0\nsame\n", "", 0,
         wrapped_run({"h1", "slow1"}, {"report"}), stand_ins + " && " + slow_writer, "", 0, "", true},
    // The command runs once a test, after every write and before any read; its failure is said, and the reads go
    // on.
    Case{"clients_between_phases", on_stand_ins("pdsh", "--between-phases 'date +%s.%N >> \"$PWD\"/between; exit 3' "
         "-w h1,h2 -o out -- 1 65536 \"$PWD\"/t.%h > report; echo \"status $?\"; grep '^between' report | sed -E "
         "'s/[0-9]+[.][0-9]+/T/g'; " + checks + "between out between"), "status 0\nbetween the phases: date +%s.%N >> "
         "\"{*}\"/between; exit 3: ran before 1 read, T to T s; 1 failed, and their reads went on\nbetween the phases of "
         "test 1: status 3 after T s\nsame\n", "", 0, stand_in_run({"h1", "h2"}, {"between", "report"}), stand_ins,
         "", 0, "", true},
    // On a device of the case's own, the reads come from the storage; where the pages are kept, the report
    // says that a cache served them.
    Case{"clients_cache_evidence", on_stand_ins("pdsh", "-w h1,h2 -o out -- 8 65536 \"$PWD\"/m/t.%h | grep -o "
         "'storage / programs read .*' | sed -E 's/ +/ /g; s/ [0-9.]+ / N /'; touch keep; rm -r out; ") +
         on_stand_ins("pdsh", "-w h1,h2 -o out -- 8 65536 \"$PWD\"/m/t.%h | grep -o 'storage / programs read .*' | "
         "sed -E 's/ +/ /g; s/ [0-9.]+ / N /; s/[0-9]+%/P/'"), "storage / programs read - N from the storage\nstorage / "
         "programs read - N read partly "
         "from a cache: P of its bytes\n", "", 0, wrapped_run({"h1", "h2"}, {"dev", "img", "keep", "m/",
         "m/lost+found/", "number"}), stand_ins + " && " + on_loop_ext4 + " && " + pages_kept, "", 0, "", true,
         "umount m; losetup -d $(cat dev)", has_loop_ext4},
    // Killed by SIGKILL once three tests of a series have ended: they are in the folder, and its report
    // gives them; no dorvik and no test file is left.
    Case{"clients_killed_mid_series", on_stand_ins("pdsh", "-w h1,h2 -o out -- auto=\"$PWD\"/t.%h > /dev/null 2>&1 & "
         "c=$!; ") + until(released(4), 300) + "kill -KILL $c; wait $c 2> /dev/null; " + until("! " + runs("t.h"), 30) +
         "\"$SOURCE\"/tools/dorvik-clients --report out > report; echo \"status $?\"; grep -c '^the controller ended "
         "before the run did' report; grep -c '^[0-9]* *[0-9]* *all bytes / span  ' report | awk '{ print ($1 >= 3) ? "
         "\"3 tests or more\" : $1 }'; ls t.* 2> /dev/null | wc -l", "status 1\n1\n3 tests or more\n0\n", "", 0,
         stand_in_run({"h1", "h2"}, {"report"}), stand_ins, "", 0, "", true},
    // stepin1's wall clock is set 0.9 s ahead in the middle of its test: measured and flagged, its figures kept.
    Case{"clients_clock_set_during_a_test", on_stand_ins("pdsh", "--skew-limit 0.6 -w h1,stepin1 -o out -- 1 4096 \"$PWD\"/t.%h > "
         "report; echo \"status $?\"; grep -E '^(stepin1 |clock moved)' report | sed -E 's/^stepin1 .* (ok.*)$/stepin1 "
         "\\1/'; grep -c '^1       4096    stepin1 ' report"), "status 0\nstepin1 ok  CLOCK MOVED\nclock moved: stepin1 "
         "+0.{N} s against the controller's during test 1 (its wall clock was set; its times are kept by its monotonic "
         "clock)\n1\n", "", 0, wrapped_run({"h1", "stepin1"}, {"report", "stepped"}), stand_ins + " && " +
         step_in_the_test, "", 0, "", true},
    // frozen1 moves no byte in its write phase: dropped at the deadline with its reason, its dorvik stopped and
    // its file deleted, and the run ends; h1 reads and ends.
    Case{"clients_stuck_test_dropped", on_stand_ins("pdsh", "--deadline 8 -w h1,frozen1 -o out -- 1 65536 "
         "\"$PWD\"/t.%h > report", "timeout -s KILL 120 ") + "; echo \"status $?\"; grep -E '^(h1|frozen1) ' report" +
         name_and_result + "; " + until("! " + runs("t.frozen1"), 30) + runs("t.frozen1") + " || echo 'no dorvik "
         "left'; ls t.* 2> /dev/null | wc -l", "status 1\nfrozen1 moved no byte for 8 s in the write phase of test 1: "
         "stopped (a stuck file system or server?)\nh1 ok\nno dorvik left\n0\n", "", 0,
         wrapped_run({"frozen1", "h1"}, {"report"}), stand_ins + " && " + frozen_writer, "", 0, "", true},
    // A folder on a file system that fills up: one message and status 1, the run stopped, its index whole.
    Case{"clients_folder_full", on_stand_ins("pdsh", "-w h1,h2 -o fs/out -- auto=\"$PWD\"/t.%h > report 2> "
         "error; echo \"status $?\"; sed -E 's/cannot write [^ ]+ in/cannot write FILE in/' error; python3 -c 'import "
         "json; json.load(open(\"fs/out/clients.json\")); print(\"the index is whole\")'; \"$SOURCE\"/tools/"
         "dorvik-clients --report fs/out > /dev/null; echo \"report status $?\"; ls t.* 2> /dev/null | wc -l"),
         "status 1\ndorvik-clients: cannot write FILE in the run's folder: No space left on device; the run was "
         "stopped, and what was written before is in fs/out\nthe index is whole\nreport status 1\n0\n", "", 0,
         with_links(stand_in_files, {"error", "fs/", "fs/out/", "fs/out/clients.json", "fs/out/h1.err", "fs/out/h1.out",
                                     "fs/out/h1.samples", "fs/out/h2.err", "fs/out/h2.out", "fs/out/h2.samples",
                                     "report"}), stand_ins + " && mkdir fs && mount -t tmpfs -o "
         "size=48k tmpfs fs", "", 0, "", true, "umount fs"},
    // The same run read from a folder of either form gives the same report, figure for figure.
    Case{"clients_records_in_files_read_alike", as_format_4 + "\"$SOURCE\"/tools/dorvik-clients --report f | tail -n "
         "+2 > four; \"$SOURCE\"/tools/dorvik-clients --report \"$TESTS\"/data/clients-throttled | tail -n +2 | diff - "
         "four && echo same", "same\n", "", 0, with_links(format_4_files, {"four"}), "", "", 0, "", true},
    // A last sample cut off by a full disk or a killed controller is left aside; a damaged line before it is not.
    Case{"clients_samples_cut_off_read", as_format_4 + "printf '9 12.5 4096' >> f/127.0.0.2.samples && \"$SOURCE\"/"
         "tools/dorvik-clients --report f | tail -n +2 > four; \"$SOURCE\"/tools/dorvik-clients --report \"$TESTS\"/"
         "data/clients-throttled | tail -n +2 | diff - four && echo same; sed -i '2s/ [0-9]*$//' f/127.0.0.3.samples; "
         "\"$SOURCE\"/tools/dorvik-clients --report f > /dev/null; echo \"status $?\"", "same\nstatus 2\n",
         "dorvik-clients: f: 127.0.0.3.samples: line 2 is not a sample\n", 0, with_links(format_4_files, {"four"}), "",
         "", 0, "", true},
    // slow1 takes a second to be ready: the test is released only then, and starts on time.
    Case{"clients_released_once_ready", on_stand_ins("pdsh", "--skew-limit 0.25 -w h1,slow1 -o out -- 1 65536 "
         "\"$PWD\"/t.%h > report; echo \"status $?\"; grep -c 'LATE START' report || true"), "status 0\n0\n", "", 0,
         wrapped_run({"h1", "slow1"}, {"report"}), stand_ins + " && " + slow_to_be_ready, "", 0, "", true},
    // The all-hosts storage rates of the time line are those of the four hosts' samples of their one device,
    // merged in time.
    Case{"clients_time_line_merged_in_order", checks + "timeline \"$TESTS\"/data/clients-throttled", "same\n", "", 0,
         {}, "", "", 0, "", true}),
    case_name);

// dorvik-clients through srun on the tests' own Slurm: three nodes n1 to n3 on this machine, the programs in
// bin/, an ssh there that notes it ran.
const std::string slurm_clients_setup = "mkdir bin shared && ln -s \"$DORVIK\" bin/dorvik && ln -s \"$SOURCE\"/tools/"
    "dorvik-clients bin/ && printf '#!/bin/sh\\ntouch %s/ssh-ran\\nexit 255\\n' \"$PWD\" > bin/ssh && chmod +x bin/ssh";
const std::vector<std::string> slurm_clients_files = {"bin/", "bin/dorvik-clients@", "bin/dorvik@", "bin/ssh",
                                                      "shared/"};
// Those files and the run's folder with the files of the given entries (hosts or streams).
std::vector<std::string> slurm_run(const std::vector<std::string> &entries, const std::vector<std::string> &replaced = {})
{
    std::vector<std::string> files = {"report", "out/", "out/clients.json"};
    for (const std::string &entry : entries)
        for (const char *kind : {".err", ".out", ".samples"})
            files.push_back("out/" + entry + kind);
    return with_links(slurm_clients_files, files, replaced);
}
const std::vector<std::string> three_nodes = {"n1", "n2", "n3"};
std::string on_slurm(const std::string &rest)
{
    return "PATH=$PWD/bin:$PATH " + slurm + "run " + rest;
}
// Each release a second ahead, so that a busy machine starts every node's dorvik before its instant; a busy
// machine's round trips may make each clock's error larger, which a limit of a second leaves out of the status.
const std::string srun_clients =
    "\"$SOURCE\"/tools/dorvik-clients -e srun --bin \"$PWD\"/bin --start-in 1 --skew-limit 1 --progress 0 ";
// Within 150 s no job or step is left in the queue, no dorvik or client of the case's runs, and no test file.
const std::string no_job = "[ -z \"$(" + slurm + "run squeue -h -s)$(" + slurm + "run squeue -h)\" ]";
const std::string slurm_left = until(no_job, 150) + no_job + " && echo 'no job left'; " +
    until("! " + runs("bin/dorvik"), 30) + runs("bin/dorvik") + " || echo 'no dorvik left'; echo \"files left: $(ls "
    "shared | wc -l)\"";
// The controller started outside an allocation in a session of its own (as a terminal's foreground job), and
// the test files of the nodes given made and those of the nodes written written whole (4 MiB: their writes
// over, their dorvik waiting for the read).
std::string slurm_writing(const std::string &rest, const std::vector<std::string> &nodes = three_nodes,
                          const std::vector<std::string> &written = {})
{
    std::string made = "true";
    for (const std::string &node : nodes)
        made += " && [ -s shared/d." + node + " ]";
    for (const std::string &node : written)
        made += " && [ \"$(stat -c %s shared/d." + node + " 2> /dev/null)\" = 4194304 ]";
    return on_slurm("setsid " + srun_clients + rest + " > report 2>&1 & c=$!; ") + until(made, 120) +
           "echo \"files while writing: $(ls shared | wc -l)\"; ";
}
const std::string slurm_up = slurm_clients_setup + " && " + slurm + "up";
// The widest spread, in as many rounds as the run had tests (three at least), of the starts of n dorvik run
// here at one instant, without Slurm: what this machine gives when it is busy (a node's run may begin only as
// a core comes free), in the file base.
std::string spread_here(int n, int rounds = 3)
{
    return "for r in $(seq " + std::to_string(rounds) + "); do at=$(python3 -c 'import time; print(f\"{time.time() + 0.5:.6f}\")'); for i in $(seq " +
           std::to_string(n) + "); do DORVIK_START_AT=$at DORVIK_START_FD=3 \"$DORVIK\" 1 65536 \"$PWD\"/base.$i "
           "3> base.start.$i > /dev/null & done; wait; sort -n base.start.* | awk 'NR == 1 { a = $1 } { b = $1 } END "
           "{ print b - a }'; rm -f base.*; done | sort -n | tail -n 1 > base; ";
}
// Whether the measured starts of the run lay within 10 ms of each other, by the controller's clock, or within
// what n runs of this machine gave at one instant (twice that, and 5 ms) when it is busier than that allows.
std::string within_10_ms(int n)
{
    return spread_here(n) + "grep -o '^start skew: [0-9.]*' report | awk -v b=$(cat base) '{ print ($3 <= 0.01 || "
           "$3 <= 2 * b + 0.005) ? \"started within 10 ms, or as this machine allowed\" : $0 \" (here \" b \")\" }'; "
           "rm base";
}
// The same for each test of a series of 20, within 50 ms.
std::string every_test_within_50_ms(int n)
{
    return spread_here(n, 20) + "grep -o 'worst of a test: [0-9.]*' report | awk -v b=$(cat base) '{ print ($5 <= 0.05 || "
           "$5 <= 2 * b + 0.005) ? \"every test within 50 ms, or as this machine allowed\" : $0 \" (here \" b \")\" }'; "
           "rm base";
}
// Runs the run (its report in report, its status in s) and judges its starts, three times at most until the
// judgement passes, and prints the last judgement at the end of the case's output (after its tail). Other
// work may hold one node back once, as it may the machine's own runs measured after it; a fault holds the
// starts apart every time.
std::string judged(const std::string &run, const std::string &judgement, const std::string &tail)
{
    return "for attempt in 1 2 3; do rm -rf out; " + run + " > report; s=$?; { " + judgement +
           "; } > judgement; grep -q 'as this machine allowed$' judgement && break; done; echo \"status $s\"; " + tail +
           "; cat judgement; rm judgement";
}

INSTANTIATE_TEST_SUITE_P(SlowSlurmClients, Arguments, testing::Values(
    // In an allocation of three nodes: each ok, the timed starts within 10 ms, no ssh.
    Case{"srun_three_nodes", judged(on_slurm("salloc -Q -N3 " + srun_clients + "-o out -- 8 65536 "
         "\"$PWD\"/shared/d.%h"), within_10_ms(3), "grep -E '^n[1-3] ' report" + name_and_result +
         "; test -e ssh-ran || echo 'no ssh'"), "status 0\nn1 ok\nn2 ok\nn3 ok\nno ssh\nstarted within 10 ms, "
         "or as this machine allowed\n", "", 0, slurm_run(three_nodes), slurm_up, "", 0, "", true,
         slurm + "down", slurm + "available"},
    // A series: each of its 20 tests starts on the three nodes within 50 ms.
    Case{"srun_series", judged(on_slurm("salloc -Q -N3 " + srun_clients + "-o out -- auto=\"$PWD\"/shared/d.%h"),
         every_test_within_50_ms(3), "grep -c '^[0-9]* *[0-9]* *all bytes / span ' report"), "status 0\n20\n"
         "every test within 50 ms, or as this machine allowed\n", "", 0, slurm_run(three_nodes), slurm_up, "", 0, "",
         true, slurm + "down", slurm + "available"},
    // Ctrl-C (SIGINT to the controller's process group) in the middle of the writes.
    Case{"srun_interrupted", slurm_writing("-w 'n[1-3]' -o out -- 400 16 \"$PWD\"/shared/d.%h") + "kill -INT -$c; "
         "wait $c; echo \"status $?\"; grep -c 'dorvik exited with status 0: dorvik: interrupted' report; " + slurm_left,
         "files while writing: 3\nstatus 130\n3\nno job left\nno dorvik left\nfiles left: 0\n", "", 0,
         slurm_run(three_nodes), slurm_up, "", 0, "", true, slurm + "down", slurm + "available"},
    Case{"srun_controller_killed", slurm_writing("-w 'n[1-3]' -o out -- 400 16 \"$PWD\"/shared/d.%h") + "kill -KILL "
         "$c; " + slurm_left, "files while writing: 3\nno job left\nno dorvik left\nfiles left: 0\n", "", 0,
         slurm_run(three_nodes), slurm_up, "", 0, "", true, slurm + "down",
         slurm + "available"},
    // n3's dorvik is stopped (SIGSTOP) in the middle of its writes (it writes slowly) while n1 and n2 wait for
    // the read: dropped at the deadline (12 s, time for a loaded machine to start every node) as stuck, the read
    // released for the others; its client has it go on to end, before Slurm would kill it with the step, and
    // nothing of the run is left.
    Case{"srun_dropped_node", slurm_writing("--deadline 12 -w 'n[1-3]' -o out -- 4 4096 \"$PWD\"/shared/d.%h", {"n3"},
                                        {"n1", "n2"}) +
         "pkill -STOP -f \"$PWD/shared/d.n3\"; wait $c; echo \"status $?\"; grep -E '^n[1-3] ' report" +
         name_and_result + "; " + slurm_left, "files while writing: 3\nstatus 1\n"
         "n1 ok\nn2 ok\nn3 moved no byte for 12 s in the write phase of test 1: stopped (a stuck file system or "
         "server?)\n"
         "no job left\nno dorvik left\nfiles left: 0\n", "", 0, slurm_run(three_nodes, {"bin/dorvik"}),
         slurm_clients_setup + " && " + dorvik_wrapper("*n3) export LD_PRELOAD=$FAULT_LIBRARY DORVIK_FAULT="
         "write_delay=8000 ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0;;") + " && " + slurm + "up", "", 0, "",
         true, slurm + "down", slurm + "available"},
    // Four streams on each of two nodes: eight files, eight rows, started within 10 ms.
    Case{"srun_streams", judged(on_slurm(srun_clients + "--streams 4 -w 'n[1-2]' -o out -- 1 65536 "
         "\"$PWD\"/shared/d.%h.%j"), within_10_ms(8), "grep -c '^1       65536   n[12]#[1-4] ' report; " + checks +
         "streams out 4"), "status 0\n8\nsame\nstarted within 10 ms, or as this machine allowed\n", "", 0,
         slurm_run({"n1#1", "n1#2", "n1#3", "n1#4", "n2#1", "n2#2", "n2#3", "n2#4"}), slurm_up, "", 0, "", true,
         slurm + "down", slurm + "available"}),
    case_name);

// Four clients on the device of known speed, 50 MiB/s (the throttled rig, under its limits), three
// times: both phases measured under the full load of all four, over most of their span, and the time line's
// storage columns holding every byte.
const std::string rig_script = "bash \"$TESTS\"/throttled_rig.sh ";
INSTANTIATE_TEST_SUITE_P(SlowRig, Arguments, testing::Values(
    Case{"four_clients_on_the_device_of_known_speed", "for run in 1 2 3; do rm -rf out; " + rig_script + "run env "
         "PATH=$PWD/bin:$PATH \"$SOURCE\"/tools/dorvik-clients -e pdsh --bin \"$PWD\"/bin --skew-limit 2 --progress 0 -w "
         "h1,h2,h3,h4 -o out -- 64 131072 \"$PWD\"/m/t.%h > report; echo \"status $?\"; " + checks + "rig out; done", [] {
             std::string run = "status 0\nwrite while all were active within 15% of 50 MiB/s: yes\nread while all were "
                               "active within 15% of 50 MiB/s: yes\nread window over half the read span: yes\nstorage "
                               "write over the time line within 15% of 256 MB: yes\nstorage read over the time line "
                               "within 15% of 256 MB: yes\n";
             return run + run + run;
         }(), "", 0, stand_in_run({"h1", "h2", "h3", "h4"}, {"m/", "m/lost+found/", "report"}), stand_ins + " && " +
         rig_script + "up 400M", "", 0, "", true, rig_script + "down",
         rig_script + "available && losetup -f && command -v mkfs.ext4"}),
    case_name);

// Two streams on stacked devices: ext4 on loop b over a file in memory, and ext4 on loop a over an image on
// b's file system (s1 leads to a, s2 to b). Every byte written to a reaches b too: b's counters alone are the
// storage's, and the time line's storage writes come to the 32 MB written (and their metadata), not 48. Both
// file systems are initialised whole when made, so that no background initialisation writes during the test.
const std::string stacked_mkfs = "mkfs.ext4 -q -E lazy_itable_init=0,lazy_journal_init=0 ";
const std::string stacked_up = "mkdir mem b a && mount -t tmpfs -o size=160m tmpfs mem && truncate -s 150M mem/b.img && "
    "losetup -f --show mem/b.img > devb && " + stacked_mkfs + "$(cat devb) && mount $(cat devb) b && truncate -s 60M "
    "b/a.img && losetup -f --show b/a.img > deva && " + stacked_mkfs + "$(cat deva) && mount $(cat deva) a && sync && "
    "ln -s a s1 && ln -s b s2";
const std::string stacked_down = "umount a; [ -s deva ] && losetup -d $(cat deva); umount b; [ -s devb ] && losetup -d "
    "$(cat devb); umount mem; rm -rf mem a b s1 s2 deva devb";
INSTANTIATE_TEST_SUITE_P(SlowStacked, Arguments, testing::Values(
    Case{"clients_on_stacked_loop_devices", "PATH=\"$BUILD\":$PATH \"$SOURCE\"/tools/dorvik-clients -e local --streams 2 "
         "--progress 0 -o out -- 16 65536 \"$PWD\"/s%j/t > report; echo \"status $?\"; grep -o 'storage: [0-9]* block "
         "devices*' report | sort -u; \"$SOURCE\"/tools/dorvik-report --timeline out | python3 -c 'import csv, sys\n"
         "rows = [r for r in csv.DictReader(sys.stdin) if r[\"host\"] == \"all hosts\"]\nmb = sum(float(b[\""
         "storage_write_mb_per_s\"]) * (float(b[\"seconds\"]) - float(a[\"seconds\"])) for a, b in zip(rows, rows[1:]))\n"
         "print(\"storage writes within 20% of 32 MB:\", \"yes\" if abs(mb - 32) <= 6.4 else mb)'; rm -r out report; " +
         stacked_down, "status 0\nstorage: 1 block device\nstorage writes within 20% of 32 MB: yes\n", "", 0, {},
         stacked_up, "", 0, "", true, stacked_down, "losetup -f && command -v mkfs.ext4"}),
    case_name);

// Three hundred hosts through the real pdsh, each a client of this machine behind a stand-in ssh.
INSTANTIATE_TEST_SUITE_P(SlowManyClients, Arguments, testing::Values(
    Case{"three_hundred_hosts_through_pdsh", "mkdir bin && ln -s \"$TESTS\"/stand_in_shell.py bin/ssh && ln -s "
         "\"$DORVIK\" bin/dorvik && ln -s \"$SOURCE\"/tools/dorvik-clients bin/ && PATH=$PWD/bin:$PATH "
         "\"$SOURCE\"/tools/dorvik-clients -e pdsh --bin \"$PWD\"/bin --deadline 300 --start-in 10 --skew-limit 10 "
         "--progress 0 -w " + many_hosts(300) + " -o out -- 1 65536 \"$PWD\"/t.%h > report; echo \"status $?\"; grep -c '^h[0-9]* .* ok$' "
         "report; grep '^h[0-9]* ' report | grep -v ' ok$' || :", "status 0\n300\n", "", 0, [] {
             std::vector<std::string> files = many_hosts_files(300);
             files.erase(std::find(files.begin(), files.end(), "bin/pdsh@"));
             for (const char *link : {"bin/dorvik-clients@", "bin/dorvik@", "bin/ssh@"})
                 files.push_back(link);
             return files;
         }(), "", "", 0, "", true, "", "command -v pdsh"}),
    case_name);

} // namespace

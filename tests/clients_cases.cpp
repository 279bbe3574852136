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
    "while all were active: the bytes all clients passed to or received from the system between the\n"
    "last start and the first end of the phase, over that window (- where there was none, or it was\n"
    "shorter than two samples of the counters, 0.2 s).\n";
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
        for (const char *kind : {".out", ".err"})
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
    text += "start skew: {*} s from the first start to the last; worst of a test: {*} s; by the controller's clock\n\n"
            "MB      reclen  host                          write MB/s   read MB/s\n";
    for (const std::string &host : client_hosts)
        text += megabytes + "       65536   " + host + "{*}\n";
    return text + megabytes + "       65536   all bytes / span{*}\n" + megabytes + "       65536   while all were "
           "active{*}\n" + megabytes + "       65536     over a window of (s){*}\n" + clients_footer;
}

const std::string figures_follow = "4 hosts; the figures follow from the outputs and the times; worst start skew "
                                   "within the limit\n";

// The many-clients cases, once through each parallel shell.
std::vector<Case> clients_cases()
{
    std::vector<Case> cases;
    for (const std::string shell : {"pdsh", "clush"}) {
        cases.push_back(Case{"four_clients_" + shell, "mkdir shared && " + clients + "run " + shell +
            " -w '127.0.0.[2-5]' -o out -- 5 65536 \"$PWD\"/shared/t.%h && " + clients + "check out",
            clients_report("5", false) + "status 0\n" + figures_follow, "", 0,
            collected(client_hosts, {"shared/"}), serve, "", 0, "", true, stop_serving, has_clients});
        cases.push_back(Case{"four_clients_on_sshfs_" + shell, clients + "run " + shell +
            " -w '127.0.0.[2-5]' -o out -- 5 65536 \"$PWD\"/mnt/t.%h && " + clients + "check out",
            clients_report("5", false) + "status 0\n" + figures_follow, "", 0,
            collected(client_hosts, {"mnt/", "remote/"}), sshfs + "start", "", 0, "", true, sshfs + "stop", has_clients});
        cases.push_back(Case{"series_" + shell, "mkdir shared && " + clients + "run " + shell +
            " --skew-limit 0.05 -w '127.0.0.[2-5]' -o out -- auto=\"$PWD\"/shared/t.%h > report.txt; tail -1 report.txt && " +
            clients + "check out", "status 0\n" + figures_follow, "", 0,
            collected(client_hosts, {"report.txt", "shared/"}), serve, "", 0, "", true, stop_serving, has_clients});
        std::vector<std::string> five = client_hosts;
        five.push_back("127.0.0.6");
        // The form --ssh -F/path, with the shell's own settings emptied.
        cases.push_back(Case{"dead_host_" + shell, "mkdir shared && PDSH_SSH_ARGS_APPEND= " + clients + "run " + shell +
            " --ssh -F$(cd .. && pwd)/ssh/ssh_config -w '127.0.0.[2-6]' -o out -- 5 65536 \"$PWD\"/shared/t.%h",
            clients_report("5", true) + "status 1\n", "", 0, collected(five, {"shared/"}), serve, "", 0, "", true,
            stop_serving, has_clients});
        cases.push_back(Case{"interrupt_" + shell, clients + "interrupt " + shell,
            "files while writing: 4\nno dorvik left within 5 s\nstatus 130\nfiles left: 0\nno ssh left\n4\n", "", 0,
            collected(client_hosts, {"shared/"}), serve, "", 0, "", true, stop_serving, has_clients});
        cases.push_back(Case{"controller_killed_" + shell, clients + "killed " + shell,
            "files while writing: 4\nno dorvik left within 10 s\nfiles left: 0\nno ssh left\n", "", 0,
            {"out/", "shared/"}, serve, "", 0, "", true, stop_serving, has_clients});
        cases.push_back(Case{"silent_host_" + shell, clients + "silent " + shell,
            "127.0.0.6           -                     -                     not ready within 3 s\nstatus 1\n", "", 0,
            collected(five, {"shared/"}), serve, "", 0, "", true, stop_serving, has_clients});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(SlowClients, Arguments, testing::ValuesIn(clients_cases()), case_name);

// dorvik-clients without a server: stand-ins for pdsh, clush and ssh run every
// "host" on this machine (a host named down* refuses the connection).
const std::string stand_ins = "mkdir bin && for n in pdsh clush ssh; do ln -s \"$TESTS\"/stand_in_shell.py bin/$n; "
                              "done && ln -s \"$DORVIK\" bin/dorvik && ln -s \"$SOURCE\"/tools/dorvik-clients bin/";
const std::vector<std::string> stand_in_files = {"bin/", "bin/clush@", "bin/dorvik-clients@", "bin/dorvik@",
                                                 "bin/pdsh@", "bin/ssh@"};

std::string on_stand_ins(const std::string &shell, const std::string &rest, const std::string &exec = "")
{
    return "PATH=$PWD/bin:$PATH " + exec + "\"$SOURCE\"/tools/dorvik-clients -e " + shell + " --bin \"$PWD\"/bin " +
           rest;
}

// The stand-ins' files and the folder out/ with the files of hosts, plus more.
std::vector<std::string> stand_in_run(const std::vector<std::string> &hosts, std::vector<std::string> more = {})
{
    std::vector<std::string> files = stand_in_files;
    files.insert(files.end(), more.begin(), more.end());
    files.push_back("out/");
    files.push_back("out/clients.json");
    for (const std::string &host : hosts)
        for (const char *kind : {".err", ".out"})
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

const std::string clients_usage = "usage: dorvik-clients -w HOSTS {*}\n       dorvik-clients --report FOLDER\n";
// A host of the stand-ins that refuses the connection, and two that run.
const std::string two_and_down =
    "dorvik-clients: 3 hosts, first start {*} UTC, outputs in out\n"
    "host                clock offset (s)      start - instant (s)   result\n"
    "down1               -                     -                     no answer: ssh: connect to host down1 port 22: "
    "Connection refused; {*}exited with exit code 255\n"
    "h1                  {*}ok\nh2                  {*}ok\n"
    "start skew: {*} s from the first start to the last; worst of a test: {*} s; by the controller's clock\n\n"
    "MB      reclen  host                          write MB/s   read MB/s\n"
    "1       65536   h1{*}\n1       65536   h2{*}\n1       65536   all bytes / span{*}\n"
    "1       65536   while all were active{*}\n1       65536     over a window of (s){*}\n" + clients_footer;
// A client that sends a malformed message (h2) and one that sends a line too long (h3).
const std::string bad_clients = "printf '#!/bin/sh\\ncase $2 in h2) echo DORVIK-CLIENTS HELLO; echo DORVIK-CLIENTS "
    "PONG zero 1; sleep 1;; h3) head -c 17000000 /dev/zero | tr \"\\\\\\\\0\" x; echo;; h4) echo DORVIK-CLIENTS "
    "HELLO; while read w n; do [ $w = PING ] && echo DORVIK-CLIENTS PONG $n 0; [ $w = GO ] && echo DORVIK-CLIENTS "
    "DONE 0 eyJzdGFydCI6ICJ4In0=; done;; *) exec \"$SOURCE\"/tools/"
    "dorvik-clients \"$@\";; esac\\n' > bin/fake && chmod +x bin/fake && ln -sf fake bin/dorvik-clients";
// Every byte the clients moved, from their counters, against the time line's aggregate drawn from them.
const std::string time_line_check = "python3 -c 'import json,sys; d=json.load(open(sys.argv[1]+\"/clients.json\")); "
    "moved=sum(t[\"samples\"][-1][1]+t[\"samples\"][-1][2] for h in d[\"hosts\"] for t in h[\"tests\"])/1048576; "
    "s=open(\"bin/gnuplot.in\").read().split(\"$line0 << EOD\\n\")[1].split(\"EOD\")[0].split(); "
    "v=[float(x) for x in s]; drawn=sum(v[i+1]*(v[i]-v[i-2]) for i in range(2,len(v),2)); print(\"same\" if abs(drawn-moved)<1e-3*moved else (drawn,moved))' ";

// A stand-in dorvik whose first test on the host slow1 writes slowly (2.5 ms a write: 6 MB in 4096-byte
// records takes about 4 s, longer than --deadline 3).
const std::string slow_first_test = "rm bin/dorvik && printf '#!/bin/sh\\ncase $3 in *slow1) [ -e slowed ] || "
    "{ touch slowed; export LD_PRELOAD=$FAULT_LIBRARY DORVIK_FAULT=write_delay=2500 "
    "ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0; };; esac\\nexec \"$DORVIK\" \"$@\"\\n' > bin/dorvik && "
    "chmod +x bin/dorvik";

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

INSTANTIATE_TEST_SUITE_P(Clients, Arguments, testing::Values(
    clients_again("series"), clients_again("throttled"), clients_again("interrupted"), clients_again("dropped"),
    clients_again("cdrom"),
    Case{"clients_csv_throttled", "cd \"$TESTS\"/data && \"$SOURCE\"/tools/dorvik-report clients-throttled | diff - "
         "expected/clients-throttled.csv && echo same", "same\n", "", 0, {}, "", "", 0, "", true},
    Case{"clients_csv_series", "cd \"$TESTS\"/data && \"$SOURCE\"/tools/dorvik-report clients-series | diff - "
         "expected/clients-series.csv && echo same", "same\n", "", 0, {}, "", "", 0, "", true},
    Case{"clients_time_line", "mkdir bin && printf '#!/bin/sh\\ncat > \"$0.in\"\\n' > bin/gnuplot && chmod +x "
         "bin/gnuplot && PATH=$PWD/bin:$PATH \"$SOURCE\"/tools/dorvik-plot -o c.png \"$TESTS\"/data/clients-throttled "
         "&& grep -c 'set object rect' bin/gnuplot.in && " + time_line_check + "\"$TESTS\"/data/clients-throttled",
         "dorvik-plot: wrote c.png\n2\nsame\n", "", 0, {"bin/", "bin/gnuplot", "bin/gnuplot.in"}, "", "", 0, "", true},
    Case{"clients_stand_in_pdsh", on_stand_ins("pdsh", "-w h1,h2,down1 -o out -- 1 65536 \"$PWD\"/t.%h"),
         two_and_down, "", 1, stand_in_run({"down1", "h1", "h2"}), stand_ins + " && mkdir out", "", 0, "", true},
    Case{"clients_stand_in_clush", on_stand_ins("clush", "-w h1,h2,down1 -o out -- 1 65536 \"$PWD\"/t.%h"),
         two_and_down, "", 1, stand_in_run({"down1", "h1", "h2"}), stand_ins, "", 0, "", true},
    // A client whose wall clock is 8 s ahead: its offset is measured and the start still holds.
    Case{"clients_clock_ahead", on_stand_ins("pdsh", "-w h1,ahead1 -o out -- 1 65536 \"$PWD\"/t.%h > report; s=$?; "
         "head -n 5 report; awk '$1 == \"ahead1\" && $2 > 7.99 && $2 < 8.01 { print \"offset 8 s\" }' report; "
         "echo \"status $s\""), "dorvik-clients: 2 hosts, first start {*} UTC, outputs in out\n"
         "host{*}\nahead1              +{*} ±0.{N}   +0.00{N}             ok\nh1                  {*}ok\n"
         "start skew: 0.00{*} s from the first start to the last; {*}\noffset 8 s\nstatus 0\n", "", 0,
         stand_in_run({"ahead1", "h1"}, {"report"}), stand_ins, "", 0, "", true},
    Case{"clients_interrupted", on_stand_ins("pdsh", "-w h1,h2 -o out -- 400 16 \"$PWD\"/t.%h", "exec "),
         "{*}\n{*}\nh1{*}dorvik exited with status 0: dorvik: interrupted\nh2{*}dorvik exited with status 0: dorvik: "
         "interrupted\n{*}\n\n{*}\n" + clients_footer, "", 130, stand_in_run({"h1", "h2"}), stand_ins, "",
         SIGINT, "file:t.h2", true},
    Case{"clients_cdrom_series", on_stand_ins("pdsh", "-w h1,h2 -o out -- cdrom=\"$PWD\"/zero > report.txt; echo "
         "\"status $?\"; grep -c '^1       [0-9]* *all bytes / span  ' report.txt"), "status 0\n4\n", "", 0,
         stand_in_run({"h1", "h2"}, {"report.txt", "zero%"}), stand_ins + " && mknod zero c 1 5", "", 0, "", true},
    Case{"clients_garbage_and_oversized", on_stand_ins("pdsh", "-w h1,h2,h3,h4 -o out -- 1 65536 \"$PWD\"/t.%h | "
         "sed -E 's/^(h[0-9]) +(-|[-+][0-9.]+ .[0-9.]+) +[^ ]+ +/\\1 /'"), "{*}\n{*}\nh1 ok\n"
         "h2 sent a malformed message ({*})\nh3 sent a line longer than 16777216 bytes\nh4 sent a malformed message "
         "(ValueError: a test's record lacks its times, outputs or status)\n{*}\n\n{*}\n1       65536   h1{*}\n"
         "1       65536   all bytes / span{*}\n1       65536   while all were active{*}\n"
         "1       65536     over a window{*}\n{*}\n{*}\n{*}\n{*}\n", "", 0,
         stand_in_run({"h1", "h2", "h3", "h4"}, {"bin/fake"}), stand_ins + " && " + bad_clients, "", 0, "", true},
    Case{"clients_live_line_on_a_terminal", "script -qc '" + on_stand_ins("pdsh", "-w h1,h2 -o out -- 10 16 "
         "\"$PWD\"/t.%h > /dev/null") + "' /dev/null | tr '\\r' '\\n' | grep -a -m1 -o '2 writing, 0 reading, "
         "0 syncing or between phases, 0 waiting; test 1 of 1, 0 to go; [0-9.]* MB/s; [0-9]* s'",
         "2 writing, 0 reading, 0 syncing or between phases, 0 waiting; test 1 of 1, 0 to go; {*} MB/s; {N} s\n", "",
         0, stand_in_run({"h1", "h2"}), stand_ins, "", 0, "", true, "", "command -v script"},
    Case{"clients_planted_link", "echo keep > victim && mkdir out && ln -s ../victim out/h1.out && " +
         on_stand_ins("pdsh", "-w h1 -o out -- 1 65536 \"$PWD\"/t.%h; echo \"status $?\"; cat victim"),
         "status 2\nkeep\n", "dorvik-clients: out exists and is not an empty folder; name a new one with -o\n", 0,
         {"bin/", "bin/clush@", "bin/dorvik-clients@", "bin/dorvik@", "bin/pdsh@", "bin/ssh@", "out/", "out/h1.out@",
          "victim"}, stand_ins, "", 0, "", true},
    Case{"clients_hostile_host", on_stand_ins("clush", "-w 'h1,x$(touch pwned)' -- 1 65536 \"$PWD\"/t.%h"), "",
         clients_usage + "dorvik-clients: error: -w 'h1,x$(touch pwned)': host names hold only letters, digits, '.', "
         "'-', '_', ':' and the ranges '[]' and ',', and none begins with '-'\n", 2, stand_in_files, stand_ins, "", 0,
         "", true},
    Case{"clients_host_like_an_option", on_stand_ins("pdsh", "-w h1,-oProxyCommand=x -- 1 65536 \"$PWD\"/t.%h"), "",
         clients_usage + "dorvik-clients: error: -w 'h1,-oProxyCommand=x': {*}\n", 2, stand_in_files, stand_ins,
         "", 0, "", true},
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
    Case{"clients_wait_at_the_barrier_is_no_silence", on_stand_ins("pdsh", "--deadline 3 -w h1,slow1 -o out -- "
         "auto=\"$PWD\"/t.%h > report; echo \"status $?\"; grep -E '^(h1|slow1) ' report | sed -E 's/ .* / /'"),
         "status 0\nh1 ok\nslow1 ok\n", "", 0, [] {
             std::vector<std::string> files = stand_in_run({"h1", "slow1"}, {"report", "slowed"});
             std::replace(files.begin(), files.end(), std::string("bin/dorvik@"), std::string("bin/dorvik"));
             return files;
         }(), stand_ins + " && " + slow_first_test, "", 0, "", true},
    Case{"clients_long_line_costs_its_length", line_cost, "in proportion\n", "", 0, {}, "", "", 0, "", true},
    Case{"clients_one_host", on_stand_ins("pdsh", "-w h1 -o out -- 1 65536 \"$PWD\"/t.%h") + " | head -n 1",
         "dorvik-clients: 1 host, first start {*} UTC, outputs in out\n", "", 0, stand_in_run({"h1"}), stand_ins, "",
         0, "", true}),
    case_name);

} // namespace

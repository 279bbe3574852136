// The cases of one machine without ssh and of a batch job's life: dorvik's --help and --version,
// dorvik-clients -e local, its progress off a terminal, its statuses, its help texts and messages, and the
// loopback rig of scripts/loopback-clients.
#include "cases.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <vector>

namespace {

const std::string checks = "python3 \"$TESTS\"/clients_check.py ";
// Waits, a tenth of a second at a time, until a shell condition holds, seconds at most.
std::string until(const std::string &condition, int seconds)
{
    return "i=0; until " + condition + "; do i=$((i + 1)); [ $i -lt " + std::to_string(seconds * 10) +
           " ] || break; sleep 0.1; done; ";
}
// The usage that dorvik-clients prints before a refusal of its options.
const std::string clients_usage = "usage: dorvik-clients -w HOSTS {*}\n       dorvik-clients -e srun {*}\n"
                                  "       dorvik-clients --report FOLDER\n";

// dorvik-clients on this machine alone: dorvik in bin/, beside an ssh, a pdsh and a clush that note they ran.
const std::string local_bin = "mkdir bin && ln -s \"$DORVIK\" bin/dorvik && for n in ssh pdsh clush; do printf "
                              "'#!/bin/sh\\ntouch \"%s\"/shell-ran\\nexit 255\\n' \"$PWD\" > bin/$n && chmod +x bin/$n; done";
const std::vector<std::string> local_bin_files = {"bin/", "bin/clush", "bin/dorvik@", "bin/pdsh", "bin/ssh"};
// The files of local_bin and more.
std::vector<std::string> local_files(std::vector<std::string> more, bool wrapped = false)
{
    more.insert(more.end(), local_bin_files.begin(), local_bin_files.end());
    if (wrapped)
        std::replace(more.begin(), more.end(), std::string("bin/dorvik@"), std::string("bin/dorvik"));
    return more;
}
// dorvik-clients -e local with the programs of bin/ and the rest of its words; the machine's short name in me.
std::string on_this_machine(const std::string &rest, const std::string &bin = "bin")
{
    return "me=$(hostname -s); PATH=$PWD/bin:$PATH \"$SOURCE\"/tools/dorvik-clients -e local --progress 0 --bin \"$PWD\"/" +
           bin + " " + rest;
}
// The report's lines with the machine's name as HOST.
const std::string as_host = " | sed \"s/^$me/HOST/\"";
// A dorvik in bin/ (in place of the link) that runs the real one after what the case gives for the test file
// (its third argument) it matches.
std::string dorvik_wrapper(const std::string &when)
{
    return "rm bin/dorvik && printf '%s\\n' '#!/bin/sh' 'case $3 in " + when + " esac' 'exec \"$DORVIK\" \"$@\"' > "
           "bin/dorvik && chmod +x bin/dorvik";
}
// Whether a client that dorvik-clients started in the case's folder runs.
// (The pattern does not match the shell that runs it.)
const std::string client_runs = "{ l=; for p in $(pgrep -f 'python[^ ]* [^ ]*dorvik-clients --client '); do [ "
                                "\"$(readlink /proc/$p/cwd)\" = \"$PWD\" ] && l=1; done; [ -n \"$l\" ]; }";
// Ends what a failed case may have left of its dorvik.
const std::string end_left_dorvik = "for p in $(pgrep -f \"$PWD/bin/dorvik 400\"); do kill $p; done";
// A run of 400 MB in 16-byte records on two streams, in the background (its pid in c), once both files exist.
const std::string local_writing = on_this_machine("--streams 2 -o out -- 400 16 \"$PWD\"/t.%j > report 2>&1 & c=$!; ") +
    until("[ -s t.1 ] && [ -s t.2 ]", 60);
// The dorvik of stream 2 times its phases on a clock that stands still: both take no time, and it gives the
// advice of a read time of zero instead of its figures.
const std::string frozen_stream = dorvik_wrapper("*.2) export LD_PRELOAD=$FAULT_LIBRARY DORVIK_FAULT=clock_frozen=1 "
    "ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0;;");
// Every dorvik waits until the file gate exists.
const std::string gated = "rm bin/dorvik && printf '#!/bin/sh\\nuntil [ -e \"%s\"/gate ]; do sleep 0.1; done\\nexec "
                          "\"%s\" \"$@\"\\n' \"$PWD\" \"$DORVIK\" > bin/dorvik && chmod +x bin/dorvik";

// The clients as child processes of dorvik-clients, with no shell: everything a remote run has.
INSTANTIATE_TEST_SUITE_P(Local, Arguments, testing::Values(
    // Four streams, a file each without %h: one row per stream, the figure of the host, the time line, no ssh or
    // parallel shell.
    Case{"local_streams", on_this_machine("--streams 4 --start-in 2 --skew-limit 2 -o out -- 16 65536 \"$PWD\"/t.%j "
         "> report; echo \"status $?\"; test -e shell-ran || echo 'no shell'; head -n 1 report | sed 's/, first.*//'; "
         "grep -E \"^16 +65536 +$me(#[1-4]|, 4 streams) \" report | sed -E \"s/^16 +65536 +$me/HOST/; s/  .*//\"; " +
         checks + "streams out 4; \"$SOURCE\"/tools/dorvik-report --timeline out | cut -d, -f2 | uniq | sed "
         "\"s/^$me/HOST/\" | tr '\\n' ' '; echo; ls out | sed \"s/^$me/HOST/\" | LC_ALL=C sort | tr '\\n' ' '; echo; rm -r out"),
         "status 0\nno shell\ndorvik-clients: 1 host, 4 streams each\nHOST#1\nHOST#2\nHOST#3\nHOST#4\nHOST, 4 "
         "streams\nsame\nhost all hosts HOST#1 HOST#2 HOST#3 HOST#4 \nHOST#1.err HOST#1.out HOST#1.samples HOST#2.err "
         "HOST#2.out HOST#2.samples HOST#3.err HOST#3.out HOST#3.samples HOST#4.err HOST#4.out HOST#4.samples "
         "clients.json \n", "", 0, local_files({"report"}), local_bin, "", 0,
         "", true},
    Case{"local_refuses_hosts", "exec \"$SOURCE\"/tools/dorvik-clients -e local -w h1 -- 1 65536 t", "",
         clients_usage + "dorvik-clients: error: -w does not go with -e local, whose one host is this machine\n", 2,
         {}, "", "", 0, "", true},
    // SIGINT and SIGTERM end every test at once; each stream's dorvik deletes its file and says so.
    Case{"local_interrupted", "for s in INT TERM; do rm -rf out; " + local_writing + "kill -$s $c; wait $c; echo "
         "\"$s: status $?, $(grep -c 'dorvik exited with status 0: dorvik: interrupted' report) interrupted, files "
         "left: $(ls t.* 2> /dev/null | wc -l)\"; done; rm -r out", "INT: status 130, 2 interrupted, files left: 0\n"
         "TERM: status 130, 2 interrupted, files left: 0\n", "", 0, local_files({"report"}), local_bin, "", 0, "",
         true, end_left_dorvik},
    // SIGKILL: the clients' input ends, and they end their tests.
    Case{"local_controller_killed", local_writing + "echo \"files while writing: $(ls t.* | wc -l)\"; kill -KILL $c; " +
         until("! pgrep -f \"$PWD/bin/dorvik 400\" > /dev/null && ! " + client_runs, 30) + "echo \"files left: $(ls "
         "t.* 2> /dev/null | wc -l)\"; pgrep -f \"$PWD/bin/dorvik 400\" > /dev/null && echo 'dorvik left'; " +
         client_runs + " && echo 'client left'; rm -r out", "files while writing: 2\nfiles left: 0\n", "", 0,
         local_files({"report"}), local_bin, "", 0, "", true, end_left_dorvik},
    // A start beyond --skew-limit is flagged and leaves the status 0; --strict makes it 1, for --report too.
    Case{"local_late_start_status", on_this_machine("--skew-limit 1e-7 -o a -- 1 65536 \"$PWD\"/t > report; echo "
         "\"status $?\"; grep -c '  LATE START$' report; grep -c '^late start: ' report; ") + on_this_machine(
         "--strict --skew-limit 1e-7 -o b -- 1 65536 \"$PWD\"/t > /dev/null; echo \"strict: status $?\"; "
         "\"$SOURCE\"/tools/dorvik-clients --report a > /dev/null; echo \"again: status $?\"; \"$SOURCE\"/tools/"
         "dorvik-clients --report a --strict > /dev/null; echo \"again, strict: status $?\"; rm -r a b"),
         "status 0\n1\n1\nstrict: status 1\nagain: status 0\nagain, strict: status 1\n", "", 0,
         local_files({"report"}), local_bin, "", 0, "", true},
    // A stream that gave no figure (the advice of a read time of zero) makes the status 1, and the report says so.
    Case{"local_missing_figure", on_this_machine("--streams 2 --skew-limit 2 -o out -- 1 65536 \"$PWD\"/t.%j > "
         "report; echo \"status $?\"; grep -E \"^($me#|no figure)\" report | sed -E \"s/$me/HOST/; s/^(HOST#.) .* "
         "(ok)$/\\1 \\2/\"; rm -r out"), "status 1\nHOST#1 ok\nHOST#2 ok\nno figure: HOST#2 gave none at 1 MB x 65536\n",
         "", 0, local_files({"report"}, true), local_bin + " && " + frozen_stream, "", 0, "", true},
    // A series with its output in files prints its progress before it ends: the first test is held at a gate
    // until its progress is out (a minute at most).
    Case{"local_progress_in_a_log", "{ " + until("grep -q starting progress 2> /dev/null", 60) + "touch gate; } & "
         "opener=$!; " + on_this_machine("--progress 0.2 --skew-limit 60 -o out -- auto=\"$PWD\"/t > report 2> "
         "progress; echo \"status $?\"; wait $opener; grep -m1 'starting' progress | sed -E 's/^dorvik-clients: [0-9]+ "
         "s: //'; grep -c '^6 *4096 *all bytes / span' report; rm -r out"), "status 0\ntest 1 of 20, starting dorvik: 1 "
         "starting dorvik; 0.0 MB written and 0.0 MB read so far in this test\n1\n", "", 0,
         local_files({"gate", "progress", "report"}, true), local_bin + " && " + gated, "", 0, "", true},
    // The programs not where --bin says: the reason says what to give.
    Case{"local_dorvik_missing", on_this_machine("-o out -- 1 65536 \"$PWD\"/t", "nowhere") + " > report; echo "
         "\"status $?\"; grep \"^$me \" report | sed -E \"s/^$me +- +- +//\"; rm -r out", "status 1\ndorvik is not installed there: {*}/nowhere/dorvik; --bin FOLDER names the folder of "
         "dorvik and dorvik-clients on the clients\n", "", 0, local_files({"report"}), local_bin, "", 0, "", true}),
    case_name);

// What dorvik --help prints for the program named.
std::string help_option(const std::string &program)
{
    return program + " 2.0.13-san (28-Feb-2008): a test of sequential file I/O\n\n" + usage +
           "The size counts in megabytes of 1,048,576 bytes (default 1); records are 16 to\n"
           "131073 bytes long (default 512); the test file, which the test creates and\n"
           "deletes, is #quarrow_NFS+SAN#.temp.bak in the working folder unless named.\n"
           "raw writes over a device from its first byte. dorvik help prints the\n"
           "program's notes; man dorvik tells the rest.\n";
}

// --help, -h and --version answer before anything is made; a file of that name is left alone. Any other word
// is a file name still.
INSTANTIATE_TEST_SUITE_P(HelpOptions, Arguments, testing::Values(
    Case{"double_dash_help", "--help", help_option("dorvik"), "", 0, {}},
    Case{"dash_h", "-h", help_option("dorvik"), "", 0, {}},
    Case{"version", "--version", "dorvik 2.0.13-san (28-Feb-2008)\n", "", 0, {}},
    Case{"long_version", "\"$DORVIK_LONG\" --version; \"$DORVIK_LONG\" -h | head -n 1", "dorvik_long 2.0.13-san "
         "(28-Feb-2008)\ndorvik_long 2.0.13-san (28-Feb-2008): a test of sequential file I/O\n", "", 0, {}, "", "", 0,
         "", true},
    Case{"file_named_help_kept", "\"$DORVIK\" --help > /dev/null && \"$DORVIK\" -h > /dev/null && \"$DORVIK\" "
         "--version > /dev/null && cat ./--help ./-h ./--version", "keep\nkeep\nkeep\n", "", 0, {"--help", "--version",
         "-h"}, "for f in --help -h --version; do echo keep > ./$f; done", "", 0, "", true},
    Case{"other_dash_word_is_a_name", "--helpme", full_test("1", "2048", "512", "--helpme"), "", 0, {}},
    Case{"help_after_a_size_is_a_name", "1 --help", full_test("1", "2048", "512", "--help"), "", 0, {}}),
    case_name);

// Stand-ins for pdsh, ssh and srun that run every host here (see stand_in_shell.py), and a scontrol that
// cannot reach Slurm.
const std::string stand_ins = "mkdir bin && for n in pdsh ssh srun; do ln -s \"$TESTS\"/stand_in_shell.py bin/$n; done "
    "&& ln -s \"$DORVIK\" bin/dorvik && ln -s \"$SOURCE\"/tools/dorvik-clients bin/ && printf '#!/bin/sh\\necho "
    "\"scontrol: fatal: Could not establish a configuration source\" >&2\\nexit 1\\n' > bin/scontrol && chmod +x "
    "bin/scontrol";
const std::vector<std::string> stand_in_files = {"bin/", "bin/dorvik-clients@", "bin/dorvik@", "bin/pdsh@",
                                                 "bin/scontrol", "bin/srun@", "bin/ssh@"};
std::vector<std::string> with_stand_ins(std::vector<std::string> more)
{
    more.insert(more.end(), stand_in_files.begin(), stand_in_files.end());
    return more;
}
std::string on_stand_ins(const std::string &shell, const std::string &rest)
{
    return "PATH=$PWD/bin:$PATH \"$SOURCE\"/tools/dorvik-clients -e " + shell + " --skew-limit 2 --progress 0 " + rest;
}

INSTANTIATE_TEST_SUITE_P(BatchMessages, Arguments, testing::Values(
    // On a terminal the line names the stage each client is in: noclock1 never answers the clock, h1 waits for
    // it, and once noclock1 is dropped h1 runs alone.
    Case{"live_line_names_the_stages", "script -qc '" + on_stand_ins("pdsh", "--bin \"$PWD\"/bin --deadline 10 -w "
         "h1,noclock1 -o out -- 10 16 \"$PWD\"/t.%h > /dev/null") + "' /dev/null | tr '\\r' '\\n' > line; grep -a -m1 "
         "-o 'test 1 of 1: 1 measuring clocks, 1 waiting; ' line; grep -a -m1 -o 'test 1 of 1: 1 writing, 1 dropped; ' "
         "line; rm line", "test 1 of 1: 1 measuring clocks, 1 waiting; \ntest 1 of 1: 1 writing, 1 dropped; \n", "", 0,
         with_stand_ins({"out/", "out/clients.json", "out/h1.err", "out/h1.out", "out/h1.samples",
                         "out/noclock1.err", "out/noclock1.out", "out/noclock1.samples"}), stand_ins, "", 0, "", true, "", "command -v script"},
    // dorvik-clients missing on a client: the shell's own words, and what to give.
    Case{"client_not_found_suggests_bin", on_stand_ins("pdsh", "--bin \"$PWD\"/nowhere -w h1 -o out -- 1 65536 "
         "\"$PWD\"/t.%h | grep '^h1 ' | sed -E 's/^h1 +- +- +//'"), "no answer: sh: 1: {*}/nowhere/dorvik-clients: not "
         "found; exited with exit code 127; --bin FOLDER names the folder of dorvik and dorvik-clients on "
         "the clients\n", "", 0, with_stand_ins({"out/", "out/clients.json", "out/h1.err", "out/h1.out", "out/h1.samples"}), stand_ins, "",
         0, "", true},
    Case{"slurm_down_said", "PATH=$PWD/bin:$PATH exec \"$SOURCE\"/tools/dorvik-clients -e srun -w 'n[1-3]' -- 1 65536 "
         "t.%h", "", "dorvik-clients: Slurm did not answer: scontrol show hostnames 'n[1-3]' failed: scontrol: fatal: "
         "Could not establish a configuration source; is Slurm up, and its configuration in place here?\n", 1,
         stand_in_files, stand_ins, "", 0, "", true}),
    case_name);

// A tool's --help on one line, its wrapping undone.
std::string help_of(const std::string &tool)
{
    return "\"$SOURCE\"/tools/" + tool + " --help | tr -s ' \\n' '  '";
}

INSTANTIATE_TEST_SUITE_P(BatchTools, Arguments, testing::Values(
    Case{"plot_help_takes_a_clients_folder", help_of("dorvik-plot") + " | grep -o '\\[SERIES_OUTPUT|CLIENTS_FOLDER"
         "\\|or one folder of dorvik-clients'", "[SERIES_OUTPUT|CLIENTS_FOLDER\nor one folder of dorvik-clients\n",
         "", 0, {}, "", "", 0, "", true},
    Case{"report_help_explains_compare_and_formats", help_of("dorvik-report") + " | grep -o 'compare OLD... -- "
         "NEW...: the new runs against the old\\|csv (the default)\\|json: every run\\|markdown: the rows'",
         "csv (the default)\njson: every run\nmarkdown: the rows\ncompare OLD... -- NEW...: the new runs against "
         "the old\n", "", 0, {}, "", "", 0, "", true},
    // Every aggregate row gives its rate in bytes per second beside its MB/s, the one the other to the last
    // digit printed.
    Case{"aggregate_rows_give_bytes_per_second", "for f in throttled series; do \"$SOURCE\"/tools/dorvik-report "
         "\"$TESTS\"/data/clients-$f; done | python3 -c 'import csv, sys\nrows = [r for r in csv.reader(sys.stdin) "
         "if r[9] == \"aggregate\"]\nfor r in rows:\n  for b, m in ((r[5], r[7]), (r[6], r[8])):\n"
         "    assert (b == \"\") == (m == \"\") and (m == \"\" or abs(int(b) / 1048576 - float(m)) <= 0.0005), r\n"
         "print(len(rows), \"aggregate rows\", sum(r[5] != \"\" for r in rows), \"with bytes per second\")'",
         "127 aggregate rows 86 with bytes per second\n", "", 0, {}, "", "", 0, "", true},
    // scripts/plant-faults hung up while it compiles its copy of the tree: the copy and every compiler go with it.
    Case{"plant_faults_hung_up", "TMPDIR=$PWD setsid \"$SOURCE\"/scripts/plant-faults --list list > out 2>&1 & p=$!; " +
         until("[ -n \"$(find plant-faults-*/build -path '*/dorvik.dir/src/*.o' 2> /dev/null)\" ]", 300) + "kill -HUP $p; wait $p; echo \"status $?\"; ls -d "
         "plant-faults-* 2> /dev/null | wc -l; " + until("! pgrep -f \"$PWD/plant-faults-\" > /dev/null", 30) +
         "pgrep -f \"$PWD/plant-faults-\" > /dev/null || echo 'no process left'", "status 129\n0\nno process left\n", "",
         0, {"list", "out"}, "printf 'name: x\\nwhat: y\\nfile: README.md\\nfind: dorvik\\nreplace: d\\n' > list", "", 0,
         "", true}),
    case_name);

// The loopback rig of scripts/loopback-clients, with this build's programs; the README's example with the
// case's folder for /tmp/rig.
const std::string rig = "\"$SOURCE\"/scripts/loopback-clients ";
const std::string rig_up = rig + "up \"$PWD\"/rig 16 --programs \"$BUILD\"";
const std::string readme_example = "example=$(grep -m1 '^    /tmp/rig/bin/dorvik-clients ' \"$SOURCE\"/README.md | sed "
                                   "\"s/^    //; s|/tmp/rig|$PWD/rig|g\"); ";
const std::string no_sshd_left = "pgrep -f \"$PWD/rig/sshd-\" > /dev/null || echo 'no sshd left'";
const std::string has_rig = "test -x /usr/sbin/sshd && command -v ssh-keygen && command -v pdsh && command -v ss";

INSTANTIATE_TEST_SUITE_P(SlowLoopback, Arguments, testing::Values(
    // Sixteen clients on 127.0.0.2 to 127.0.0.17: the command the rig prints is the README's, and runs them all.
    Case{"loopback_rig_runs_the_readme_example", rig_up + " > up.txt 2>&1; echo \"up: status $?\"; " + readme_example +
         "grep -qxF \"$example\" up.txt && echo \"the README's command\"; eval \"$example\" > report 2> /dev/null; echo \"status "
         "$?\"; grep -c '^127\\.0\\.0\\.[0-9]* .* ok\\( \\|$\\)' report; " + rig + "down \"$PWD\"/rig; echo \"down: status "
         "$?\"; " + no_sshd_left + "; rm -r rig up.txt report dorvik-clients-*", "up: status 0\nthe README's command\n"
         "status 0\n16\nloopback-clients: the servers of {*}/rig are down\ndown: status 0\nno sshd left\n", "", 0, {}, "",
         "", 0, "", true, rig + "down \"$PWD\"/rig", has_rig},
    // A port in use on one address is said at once, and no server is left. The case's listener binds as sshd
    // does, past the connections that the rig of the case before left waiting on that port; a rig that came up
    // all the same is taken down before its folder goes.
    Case{"loopback_rig_port_in_use", "python3 -c 'import socket, time\ns = socket.socket()\ns.setsockopt("
         "socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\ns.bind((\"127.0.0.9\", 22220))"
         "\ns.listen()\ntime.sleep(120)' & l=$!; " + until("ss -Hltn | grep -q '127.0.0.9:22220 '", 30) + rig_up +
         "; echo \"status $?\"; kill $l; ls rig | grep -c 'sshd-.*pid'; " + no_sshd_left + "; " + rig +
         "down \"$PWD\"/rig > /dev/null 2>&1; rm -r rig",
         "status 1\n0\nno sshd left\n", "loopback-clients: port 22220 is in use on 127.0.0.9: Address already in use "
         "(users:((\"python3\",pid={N},fd={N}))); give another with --port\n", 0, {}, "", "", 0, "", true,
         rig + "down \"$PWD\"/rig", has_rig}),
    case_name);

// The tests' own Slurm (three nodes n1 to n3 on this machine) and dorvik-clients in an allocation of them,
// every dorvik held at the gate.
const std::string slurm = "bash \"$TESTS\"/slurm_cluster.sh ";
const std::string slurm_gated = "mkdir bin shared && ln -s \"$DORVIK\" bin/dorvik && ln -s \"$SOURCE\"/tools/dorvik-clients "
                                "bin/ && " + gated + " && " + slurm + "up";
const std::string step_names = slurm + "run squeue -h -s -o %j";

INSTANTIATE_TEST_SUITE_P(SlowBatchSlurm, Arguments, testing::Values(
    // The step of the clients is named dorvik in squeue -s.
    Case{"srun_step_named_dorvik", slurm + "run salloc -Q -N3 \"$SOURCE\"/tools/dorvik-clients -e srun --bin "
         "\"$PWD\"/bin --skew-limit 60 -o out -- 1 65536 \"$PWD\"/shared/d.%h > report 2>&1 & c=$!; " +
         until(step_names + " | grep -qx dorvik", 120) + step_names + " | grep -x dorvik; touch gate; wait $c; echo "
         "\"status $?\"; rm -r out", "dorvik\nstatus 0\n", "", 0, {"bin/", "bin/dorvik", "bin/dorvik-clients@", "gate",
         "report", "shared/"}, slurm_gated, "", 0, "", true, slurm + "down", slurm + "available"}),
    case_name);

} // namespace

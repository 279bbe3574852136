// The cases of the verdicts of a comparison and of the environment every run records.
#include "cases.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// A script run in the case's folder (T), with R for dorvik-report, D for the recorded outputs and
// P for a python3 that finds the tools' package.
Case here(const std::string &name, const std::string &script, const std::string &out, const std::string &err = "",
          int status = 0, const std::vector<std::string> &files = {})
{
    return Case{name, "T=$PWD && D=\"$TESTS\"/data && R=\"$SOURCE\"/tools/dorvik-report && P=\"python3 -c\" && "
                "export PYTHONPATH=\"$SOURCE\"/tools PYTHONDONTWRITEBYTECODE=1 && " + script, out, err, status, files,
                "", "", 0, "", true};
}

// A truth that the verdicts hold on twenty synthetic trials of a fixed seed.
Case truth(const std::string &name, const std::string &said, const std::string &bound)
{
    std::string case_name = "truth_" + name;
    std::replace(case_name.begin(), case_name.end(), '-', '_');
    return Case{case_name, "exec \"$SOURCE\"/scripts/false-alarms --trials 20 --truth " + name,
                said + ": status 1 in {N} of 20 trials (" + bound + "): holds\n", "", 0, {}, "", "", 0, "", true};
}

INSTANTIATE_TEST_SUITE_P(Truths, Arguments, testing::Values(
    truth("drop-at-8-points", "25% drop at the 8 points of 6 and 8 MB, 5 runs a side", "at least 19"),
    truth("single-halved", "single test halved, 3 runs a side, 1% noise", "at least 20"),
    truth("equal-sides", "no change, 5 runs a side", "at most 1"),
    truth("scaled-runs", "no change, runs scaled together ±20%, 5 a side", "at most 1")), case_name);

// Student's t against its tables, the incomplete beta function against its sum, and weighted Holm.
const std::string known_values = "$P 'from dorvik_tools.verdicts import *\n"
    "for value in (t_cdf(2.776445, 4), t_cdf(-1, 1), t_cdf(1, 2), t_cdf(3, 30), t_tail(2.228139, 10), t_tail(-1, 1),\n"
    "              t_quantile(0.975, 1), t_quantile(0.995, 30), t_quantile(0.025, 5), incomplete_beta(2, 3, 0.4),\n"
    "              two_sided(-2.776445, 1, 4)):\n    print(f\"{value:.4f}\")\n"
    "print(sorted(holm({\"x\": (0.02, 0.1), \"y\": (0.5, 0.9)})), sorted(holm({\"z\": (0.03, 0.9), \"w\": (0.5, 0.1)})))'";
// Two runs of two points whose rates move together at one point only, and as one, for compare.
const std::string summary_forms = "for f in csv markdown; do $R --format $f compare $D/hand-a1.txt $D/hand-a2.txt -- "
    "$D/hand-c1.txt $D/hand-c2.txt 2>/dev/null | tail -3; done; $R --format json compare $D/hand-a1.txt $D/hand-a2.txt -- "
    "$D/hand-c1.txt $D/hand-c2.txt 2>/dev/null | $P 'import json, sys\nfor phase, g in json.load(sys.stdin)[\"grid\"].items(): "
    "print(phase, g[\"verdict\"], g[\"ratio\"], g[\"ratio_low\"], g[\"ratio_high\"], g[\"runs_needed\"])'";
// The recorded clients run, copied as r1, r2 and r3; in r2 every host's kernel edited, in r3 also its mount options.
const std::string edited_runs = "for i in 1 2 3; do cp -r $D/clients-environment r$i; done && $P 'import json, sys\n"
    "for path, changes in ((\"r2\", {\"kernel\": \"6.1.0-13-amd64\"}), (\"r3\", {\"kernel\": \"6.1.0-13-amd64\", "
    "\"mount_options\": \"rw,relatime,commit=17,data=journal\"})):\n"
    "    d = json.load(open(path + \"/clients.json\"))\n    for h in d[\"hosts\"]:\n        h[\"environment\"].update(changes)\n"
    "    json.dump(d, open(path + \"/clients.json\", \"w\"))' && ";
const std::vector<std::string> run_copies = [] {
    std::vector<std::string> files;
    for (const char *run : {"r1", "r2", "r3"})
        for (const char *file : {"/", "/clients.json", "/h1.err", "/h1.out", "/h2.err", "/h2.out"})
            files.push_back(std::string(run) + file);
    return files;
}();
const std::string recorded_kernel = "6.18.44-fc-v1403";

INSTANTIATE_TEST_SUITE_P(Comparisons, Arguments, testing::Values(
    here("t_distribution_known_values", known_values, "0.9750\n0.2500\n0.7887\n0.9973\n0.0250\n0.7500\n12.7062\n"
         "2.7500\n-2.5706\n0.5248\n0.0500\n[] ['z']\n"),
    // The same run given three times is one run: its noise is not measured, and it is not worse for it.
    here("same_run_three_times_is_one", "(cd $D && $R compare hand-a1.txt hand-a1.txt hand-a1.txt -- hand-b2.txt) > c; "
         "echo $?; cut -d, -f4,5,9,10 c | sed -n 2p; rm c", "1\n1,1,\"worse, noise not measured\"\n", "dorvik-report: write over the grid: same, "
         "noise not measured, ratio 0.949, 1 old and 1 new runs\ndorvik-report: read over the grid: same, noise not "
         "measured, ratio 1.000, 1 old and 1 new runs\ndorvik-report: warning: the old side gives the same run 3 times "
         "(hand-a1.txt (run 1)): it counts once\n"),
    // Each phase's verdict, ratio and interval: the last row of the CSV and of the Markdown, the advice
    // below the Markdown, and in JSON, where two runs a side give the grid's ratio.
    here("summary_in_every_format", summary_forms, "file,6,4096,2,2,100.136,75.340,0.752,noise,195.503,193.119,0.988,"
         "same,,,,\nfile,6,8192,2,2,300.407,352.859,1.175,noise,371.933,309.944,0.833,noise,,,,\nall points,,,2,2,,,"
         "0.938,same,,,0.906,same,0.441,1.997,0.680,1.207\n| all points |  |  | 2 | 2 |  |  | 0.938 | same |  |  | 0.906 "
         "| same | 0.441 | 1.997 | 0.680 | 1.207 |\n\nTo find a drop of 20% 4 times in 5, runs a side: write 7 at a "
         "single point, 5 over the grid; read 5 at a single point, 3 over the grid.\nwrite same 0.938 0.441 1.997 "
         "{'change_percent': 20.0, 'point': 7, 'grid': 5}\nread same 0.906 0.68 1.207 {'change_percent': 20.0, "
         "'point': 5, 'grid': 3}\n"),
    // A drop of 5% at every point with 1% noise is certain, and below the threshold: the same.
    here("threshold_is_a_floor", "\"$SOURCE\"/scripts/false-alarms --write . --runs 5 --drop 5 --noise 1 && $R compare "
         "old-* -- new-* 2>/dev/null | cut -d, -f9,13 | sort | uniq -c; rm old-* new-*",
         "     21 same,same\n      1 write_mark,read_mark\n"),
    here("side_on_another_kernel_refused", edited_runs + "$R compare r1 r2 -- r3", "",
         "dorvik-report: the old runs differ in kernel: " + recorded_kernel + " (r1) and 6.1.0-13-amd64 (r2); compare "
         "runs alike in it, or give --allow-mixed kernel\n", 2, run_copies),
    here("mixed_kernels_allowed", edited_runs + "$R --allow-mixed kernel compare r1 r2 -- r3 2>&1 >/dev/null | head -1",
         "dorvik-report: the sides differ in: kernel 6.1.0-13-amd64 or " + recorded_kernel + " → 6.1.0-13-amd64; mount "
         "options data=ordered → data=journal\n", "", 0, run_copies),
    // Sides on different kernels and mounts compare, and every form names how they differ.
    here("sides_differ_named", edited_runs + "$R compare r1 -- r3 2>&1 >/dev/null | head -1; $R --format markdown "
         "compare r1 -- r3 2>/dev/null | head -1; $R --format json compare r1 -- r3 2>/dev/null | $P 'import json, sys\n"
         "print(json.load(sys.stdin)[\"sides_differ\"])'", "dorvik-report: the sides differ in: kernel " + recorded_kernel +
         " → 6.1.0-13-amd64; mount options data=ordered → data=journal\nThe sides differ in: kernel " + recorded_kernel +
         " → 6.1.0-13-amd64; mount options data=ordered → data=journal.\n[{'field': 'kernel', 'old': ['" + recorded_kernel +
         "'], 'new': ['6.1.0-13-amd64']}, {'field': 'mount_options', 'old': ['rw,relatime,commit=17,data=ordered'], "
         "'new': ['rw,relatime,commit=17,data=journal']}]\n", "", 0, run_copies)), case_name);

// What describe() reads of the case's folder, against uname and findmnt.
const std::string this_folder = "$P 'import os, sys\nfrom dorvik_tools.environment import describe\n"
    "found = describe(\".\", \"sh\")\nfor field in (\"kernel\", \"fs_type\", \"mount_options\", \"device_number\", "
    "\"mount_point\"):\n    print(field, found[field])' > got && { echo \"kernel $(uname -r)\"; findmnt -no FSTYPE,OPTIONS,"
    "MAJ:MIN,TARGET -T . | awk '{ print \"fs_type \" $1; print \"mount_options \" $2; print \"device_number \" $3; "
    "print \"mount_point \" $4 }'; } > want && diff want got && echo same; rm got want";
// An NFS mount of the case's folder, as mountinfo and mountstats would give it.
const std::string nfs_mount = "printf '40 26 0:52 / %s rw,relatime - nfs4 server-a:/export rw,vers=4.2,rsize=1048576,"
    "wsize=524288,proto=tcp,addr=127.0.0.9\\n' \"$PWD\" > mountinfo && printf 'device server-a:/export mounted on %s with "
    "fstype nfs4 statvers=1.1\\n\\topts:\\trw,vers=4.2,rsize=1048576,wsize=524288,namlen=255,hard,proto=tcp,timeo=600\\n"
    "\\tage:\\t12\\n' \"$PWD\" > mountstats && $P 'from dorvik_tools import environment as e\n"
    "e.MOUNTINFO, e.MOUNTSTATS = \"mountinfo\", \"mountstats\"\nfound = e.describe(\".\", None)\n"
    "print(*(found[f] for f in (\"fs_type\", \"mount_source\", \"nfs_version\", \"nfs_rsize\", \"nfs_wsize\", \"nfs_proto\", "
    "\"nfs_server\")))\nprint(*e.lines(found)[:2], sep=\"\\n\")' | sed \"s|$PWD|HERE|\"";
// Descriptions a client or a folder may send: only texts of 256 characters at most.
const std::string checked_descriptions = "$P 'from dorvik_tools.environment import checked\n"
    "for value in (\"kernel\", {\"kernel\": \"x\" * 257}, {\"kernel\": 6}, {\"kernel\": \"6.1\", \"extra\": \"y\"}):\n"
    "    try:\n        found = checked(value)\n        print(found[\"kernel\"], found[\"fs_type\"], \"extra\" in found)\n"
    "    except ValueError as error:\n        print(error)'";
// The recorded run with a terminal's escape and a line break in its mount options, and one damaged.
const std::string hostile_options = "cp -r $D/clients-environment f && cp -r f g && $P 'import json\n"
    "d = json.load(open(\"f/clients.json\"))\nd[\"hosts\"][0][\"environment\"][\"mount_options\"] = \"rw,\\x1b[2Jx\\nnew\"\n"
    "json.dump(d, open(\"f/clients.json\", \"w\"))\nd = json.load(open(\"g/clients.json\"))\n"
    "d[\"hosts\"][0][\"environment\"] = 5\njson.dump(d, open(\"g/clients.json\", \"w\"))' && \"$SOURCE\"/tools/"
    "dorvik-clients --report f | grep -a '^environment of h1:'; $R --format markdown f | grep -a '^Environment of h1 ' | "
    "grep -ao 'options rw,[^;]*'; $R g; echo \"status $?\"; rm -r f g";
const std::string recorded_report = "cd $D && \"$SOURCE\"/tools/dorvik-clients --report clients-environment | diff - "
                                    "expected/clients-environment.txt && echo same";

INSTANTIATE_TEST_SUITE_P(Environment, Arguments, testing::Values(
    here("environment_of_this_folder", this_folder, "same\n"),
    here("environment_of_nfs", nfs_mount, "nfs4 server-a:/export 4.2 1048576 524288 tcp server-a\nkernel {*}, nfs4 from "
         "server-a:/export at HERE, options rw,relatime,vers=4.2,rsize=1048576,wsize=524288,proto=tcp,addr=127.0.0.9\n"
         "NFS version 4.2, rsize 1048576, wsize 524288, proto tcp, server server-a\n", "", 0, {"mountinfo", "mountstats"}),
    here("environment_checked", checked_descriptions, "an environment that is not described field by field\n"
         "an environment's kernel that is not a text of at most 256 characters\nan environment's kernel that is not a "
         "text of at most 256 characters\n6.1 unknown False\n"),
    here("environment_escaped_or_refused", hostile_options, "environment of h1: kernel " + recorded_kernel +
         ", ext4 from /dev/loop0 at /tmp/wt30-rec.GOsb/m, options rw,\\x1b[2Jx\\nnew\noptions rw,\\x1b[2Jx\\nnew\nstatus 2\n",
         "dorvik-report: g: a damaged folder of dorvik-clients: an environment that is not described field by field\n"),
    here("environment_in_the_clients_report", recorded_report, "same\n")), case_name);

// dorvik-clients on stand-ins for pdsh and ssh: every host runs here, on this machine.
const std::string stand_ins = "mkdir bin && for n in pdsh ssh; do ln -s \"$TESTS\"/stand_in_shell.py bin/$n; done && "
                              "ln -s \"$DORVIK\" bin/dorvik && ln -s \"$SOURCE\"/tools/dorvik-clients bin/";
const std::vector<std::string> stand_in_files = {"bin/", "bin/dorvik-clients@", "bin/dorvik@", "bin/pdsh@", "bin/ssh@"};
std::string on_stand_ins(const std::string &rest)
{
    return "PATH=$PWD/bin:$PATH \"$SOURCE\"/tools/dorvik-clients -e pdsh --bin \"$PWD\"/bin --skew-limit 2 --progress 0 " + rest;
}
// The stand-ins' files, the folder out/ with the files of hosts, and more.
std::vector<std::string> stand_in_run(const std::vector<std::string> &hosts, std::vector<std::string> more)
{
    more.insert(more.end(), stand_in_files.begin(), stand_in_files.end());
    more.push_back("out/");
    more.push_back("out/clients.json");
    for (const std::string &host : hosts)
        for (const char *kind : {".err", ".out", ".samples"})
            more.push_back("out/" + host + kind);
    return more;
}
// The client of h2 sends an environment whose kernel is 300 characters long.
const std::string bad_environment = "rm bin/dorvik-clients && bad=$(python3 -c 'import base64, json; print(base64."
    "urlsafe_b64encode(json.dumps({\"kernel\": \"x\" * 300}).encode()).decode())') && printf '%s\\n' '#!/bin/sh' "
    "'case $2 in h2) \"$SOURCE\"/tools/dorvik-clients \"$@\" | sed -u \"s/^\\(DORVIK-CLIENTS ENVIRONMENT 0 1 \\).*/\\1'$bad'/\";; "
    "*) exec \"$SOURCE\"/tools/dorvik-clients \"$@\";; esac' > bin/dorvik-clients && chmod +x bin/dorvik-clients";
// What the first host recorded: its kernel, file system, options and device against uname and findmnt, and the
// report's line that names the device.
const std::string recorded_here = "python3 -c 'import json, sys\ne = json.load(open(\"out/clients.json\"))[\"hosts\"][0]"
    "[\"environment\"]\nprint(e[\"kernel\"], e[\"fs_type\"], e[\"mount_options\"], e[\"device_number\"])' > got && "
    "echo \"$(uname -r) $(findmnt -no FSTYPE,OPTIONS,MAJ:MIN -T \"$WHERE\" | xargs)\" > want && diff want got && echo same; "
    "grep -c \"^  device $(lsblk -dno NAME \"$(findmnt -no SOURCE -T \"$WHERE\")\" 2>/dev/null || echo '[^ ]*') ("
    "$(findmnt -no MAJ:MIN -T \"$WHERE\" | xargs)), model \" report; rm got want";

INSTANTIATE_TEST_SUITE_P(EnvironmentClients, Arguments, testing::Values(
    Case{"clients_record_their_environment", "WHERE=$PWD && " + on_stand_ins("-w h1,h2 -o out -- 1 65536 \"$PWD\"/t.%h > "
         "report; echo \"status $?\"; grep -c '^environment of h1, h2: kernel ' report; ") + recorded_here,
         "status 0\n1\nsame\n1\n", "", 0, stand_in_run({"h1", "h2"}, {"report"}), stand_ins, "", 0, "", true},
    Case{"clients_malformed_environment", on_stand_ins("-w h1,h2 -o out -- 1 65536 \"$PWD\"/t.%h | grep -E '^h[12] ' | "
         "sed -E 's/^(h[12]) +(-|[-+][0-9.]+ .[0-9.]+) +[^ ]+ +/\\1 /'"), "h1 ok\nh2 sent a malformed message (ValueError: an "
         "environment's kernel that is not a text of at most 256 characters)\n", "", 0,
         [] {
             std::vector<std::string> files = stand_in_run({"h1", "h2"}, {});
             std::replace(files.begin(), files.end(), std::string("bin/dorvik-clients@"), std::string("bin/dorvik-clients"));
             return files;
         }(), stand_ins + " && " + bad_environment, "", 0, "", true}), case_name);

// An ext4 of the case's own, on a loop device over a file in its folder, mounted with a telling option.
const std::string ext4_commit_17 = "truncate -s 64M img && losetup -f --show img > dev && mkfs.ext4 -q $(cat dev) && "
                                   "mkdir m && mount -o commit=17 $(cat dev) m";

INSTANTIATE_TEST_SUITE_P(SlowEnvironment, Arguments, testing::Values(
    Case{"clients_on_ext4_with_commit_17", "WHERE=$PWD/m && " + on_stand_ins("-w h1 -o out -- 1 65536 \"$PWD\"/m/t.%h > "
         "report; echo \"status $?\"; ") + recorded_here + "; grep -o 'ext4 from /dev/loop[0-9]* at .*commit=17' report | "
         "sed \"s|$PWD|HERE|\"; python3 -c 'import json; e = json.load(open(\"out/clients.json\"))[\"hosts\"][0][\"environment\"]; "
         "print(e[\"device\"] == open(\"dev\").read().strip().split(\"/\")[-1], \"commit=17\" in e[\"mount_options\"])'",
         "status 0\nsame\n1\next4 from /dev/loop{N} at HERE/m, options rw,relatime,commit=17\nTrue True\n", "", 0,
         stand_in_run({"h1"}, {"dev", "img", "m/", "m/lost+found/", "report"}), stand_ins + " && " + ext4_commit_17, "",
         0, "", true, "umount m; losetup -d $(cat dev)", "losetup -f && command -v mkfs.ext4 && command -v lsblk"}),
    case_name);

} // namespace

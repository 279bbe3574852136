// The cases of the programs dorvik and dorvik_long: each row runs a program once in a folder of its own.
#include "cases.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {

// A run that stops at the checks of the arguments with message.
std::string refused(const std::string &message) { return banner + message; }

// The output up to the point where the write phase opens name.
std::string up_to_writing(const std::string &megabytes, const std::string &records,
                          const std::string &record_length, const std::string &name)
{
    std::string report = interactive_test(megabytes, records, record_length, name);
    return banner + report.substr(0, report.find("...") + 3);
}

const std::string interrupted = "\ndorvik: interrupted\n\ndeleting file: f\nexiting dorvik\n\n";
const std::string long_name(4096, 'n');
const std::string longest_name(4095, 'n');
const std::string make_nodes = "mknod zero c 1 5 && mknod null c 1 3 && mknod full c 1 7";
const std::vector<std::string> node_files = {"zero%", "null%", "full%"};
const std::string not_regular = "dorvik: Not a regular file; raw= and cdrom= are for devices\n";
const std::string is_link = "dorvik: Is a symbolic link, which file mode never follows; name the file itself, or a new one\n";
const std::string can_mount = "d=$(mktemp -d) && mount -t tmpfs tmpfs \"$d\" && umount \"$d\" && rmdir \"$d\"";
const std::string no_space = "dorvik: No space left on device\n";
const std::string too_long_record =
    "dorvik: the record length is too long, or negative; records of 16 to 131073 bytes are accepted\n";
const std::string too_short_record = "dorvik: the record length is too short; records of 16 to 131073 bytes are accepted\n";
const std::string negative_size_refused = "dorvik: the size is negative; give the file size in megabytes, 0 or more\n";
const std::string name_too_long = "dorvik: the file name is 4096 bytes long; names of up to 4095 bytes are accepted\n";
const std::string too_many = "dorvik: too many arguments; at most three are accepted (megabytes, record length, "
                             "file name), or one keyword\n";

TEST_P(Arguments, Run) { run_case(GetParam()); }

const std::string small_mount = "mkdir m && mount -t tmpfs -o size=512k tmpfs m";

// A negative size refused; inside a small file system, so that a run that
// took it for a huge one would fail at once instead of filling the disk.
Case negative_size(const std::string &name, const std::string &arguments)
{
    return Case{name, "cd m && exec \"$DORVIK\" " + arguments, refused("Error: Minimum file size is 0 megabytes\n"),
                negative_size_refused, 1, {"m/"}, small_mount, "", 0, "", true, "umount m", can_mount};
}

INSTANTIATE_TEST_SUITE_P(Cli, Arguments, testing::Values(
    Case{"no_arguments", "", banner + usage + "\n" + interactive_test("1", "2048", "512", default_name) +
         average_statistics + too_quick_advice, "", 0, {}},
    // In a small file system, where a run that kept the sign, and took the size for a huge one, fails at once.
    Case{"negative_single_size", "cd m && exec \"$DORVIK\" -5", full_test("5", "10240", "512", default_name), "", 0,
         {"m/"}, "mkdir m && mount -t tmpfs -o size=8m tmpfs m", "", 0, "", true, "umount m", can_mount},
    Case{"zero_is_a_name", "0", full_test("1", "2048", "512", "0"), "", 0, {}},
    Case{"word_is_a_name", "abc", full_test("1", "2048", "512", "abc"), "", 0, {}},
    Case{"size_with_trailing_text", "2MB", full_test("2", "4096", "512", default_name), "", 0, {}},
    Case{"zero_record_length_is_a_name", "10 0", full_test("10", "20480", "512", "0"), "", 0, {}},
    Case{"zero_record_length", "10 0 f", refused("Error: Minimum record length is 16 bytes\n"), too_short_record, 1, {}},
    Case{"largest_record", "10 131073 f", full_test("10", "79", "131073", "f"), "", 0, {}},
    Case{"record_too_long", "10 131074 f", refused("Error: Maximum record length is 131073 bytes\n"), too_long_record, 1, {}},
    Case{"negative_record_length", "10 -512 f", refused("Error: Maximum record length is 131073 bytes\n"), too_long_record, 1, {}},
    Case{"record_past_32_bits", "1 4294967312 f", refused("Error: Maximum record length is 131073 bytes\n"), too_long_record, 1, {}},
    Case{"record_too_short", "10 15 f", refused("Error: Minimum record length is 16 bytes\n"), too_short_record, 1, {}},
    Case{"shortest_record", "1 16 f", full_test("1", "65536", "16", "f"), "", 0, {}},
    Case{"record_not_dividing_size", "1 1000 f", full_test("1", "1048", "1000", "f"), "", 0, {}},
    Case{"size_zero", "0 512 f", full_test("0", "0", "512", "f"), "", 0, {}},
    negative_size("negative_size_with_name", "-5 512 f"),
    negative_size("negative_size_two_arguments", "-5 f"),
    negative_size("size_below_32_bits", "-99999999999 512 f"),
    Case{"four_arguments", "1 512 keep x", refused("dorvik: bad usage\n" + usage + "\n"), too_many, 1, {"keep"},
         "echo data > keep"},
    Case{"five_arguments", "1 512 keep x y", refused("dorvik: bad usage\n" + usage + "\n"), too_many, 1, {"keep"},
         "echo data > keep"},
    Case{"folder_missing", "1 512 nowhere/f", up_to_writing("1", "2048", "512", "nowhere/f") +
         "Cannot create temporary file: nowhere/f\n", "dorvik: No such file or directory\n", 1, {}},
    Case{"read_only_file_system", "1 512 m/f", up_to_writing("1", "2048", "512", "m/f") +
         "Cannot create temporary file: m/f\n", "dorvik: Read-only file system\n", 1, {"m/"},
         "mkdir m && mount -t tmpfs -o ro tmpfs m", "", 0, "", false, "umount m", can_mount},
    Case{"no_permission", "exec setpriv --reuid=nobody --regid=nogroup --clear-groups \"$DORVIK\" 1 512 d/f",
         up_to_writing("1", "2048", "512", "d/f") + "Cannot create temporary file: d/f\n",
         "dorvik: Permission denied\n", 1, {"d/"}, "mkdir d", "", 0, "", true, "", "command -v setpriv"},
    Case{"most_negative_single_size", "cd m && exec \"$DORVIK\" -2147483648",
         up_to_writing("2147483647", "4398046509056", "512", default_name) + "Error writing block 1024\n",
         no_space, 1, {"m/"}, "mkdir m && mount -t tmpfs -o size=512k tmpfs m", "", 0, "", true, "umount m",
         can_mount},
    Case{"name_too_long", "1 512 " + long_name, refused("Error: Maximum file name length is 4095 bytes\n"), name_too_long, 1, {}},
    Case{"longest_name", "1 512 " + longest_name, up_to_writing("1", "2048", "512", longest_name) +
         "Cannot create temporary file: " + longest_name + "\n", "dorvik: File name too long\n", 1, {}}), case_name);

// dorvik started in the background, $!, with the fault library's settings and
// arguments; a sanitizer build allows the library ahead of its runtime.
std::string in_background(const std::string &settings, const std::string &arguments)
{
    return "LD_PRELOAD=\"$FAULT_LIBRARY\" ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:verify_asan_link_order=0\" DORVIK_FAULT=" +
           settings + " \"$DORVIK\" " + arguments + " & ";
}

// Waits until the run started last stands at the gate name, or has ended.
std::string until_held(const std::string &name)
{
    return "until [ -e " + name + ".waiting ] || ! kill -0 $! 2>/dev/null; do sleep 0.01; done; ";
}

// A run on f while another is held by gate, a gate of the fault library, in
// one of its phases; the second is refused and the first ends undisturbed.
Case second_run(const std::string &name, const std::string &gate)
{
    return Case{name, in_background(gate + "=go", "1 4096 f > first") + until_held("go") +
                "\"$DORVIK\" 1 4096 f; s=$?; touch go; wait $! && echo first ended; rm first go*; exit $s",
                up_to_writing("1", "256", "4096", "f") + "Cannot create temporary file: f\nfirst ended\n",
                "dorvik: f is in use by another test\n", 1, {}, "", "", 0, "", true};
}

// A run started under chrt's option, held at its first write after the wait: its policy is policy again.
Case keeps_its_policy(const std::string &name, const std::string &option, const std::string &policy)
{
    return Case{"timed_work_under_" + name, "at=$(python3 -c 'import time; print(time.time() + 0.5)') && "
                "DORVIK_START_AT=$at chrt " + option + " 0 env " + in_background("write_gate=go", "1 4096 f > out") +
                until_held("go") + "chrt -p $(cat go.waiting) | sed -n '1s/.*: //p'; touch go; wait $!; s=$?; rm go* out; "
                "exit $s", policy + "\n", "", 0, {}, "", "", 0, "", true, "", "command -v chrt && chrt -f 1 true"};
}

// The run held at its first write until the case's action has run and let it go.
const std::string held_at_write = "write_gate=go";
const std::string held = "file:go.waiting";

// Run b creates f and is held at its lock; run a finds f, locks it and is held at its first write; b,
// refused, must leave f to a, which then ends undisturbed.
const std::string refused_run_and_winner =
    in_background("flock_gate=b-go", "1 4096 f > b 2>&1") + "b=$!; " + until_held("b-go") +
    in_background("write_gate=a-go", "1 4096 f > a 2>&1") + "a=$!; " + until_held("a-go") +
    "touch b-go; wait $b; echo \"refused: $?\"; touch a-go; wait $a; echo \"winner: $?\"; cat b a; rm a b *go*";

const std::string control_character = "dorvik: the name holds a line break or another control character, which would "
                                      "make the output unreadable; choose a name without one\n";

INSTANTIATE_TEST_SUITE_P(Target, Arguments, testing::Values(
    Case{"existing_file_is_replaced", "1 4096 f", full_test("1", "256", "4096", "f"), "", 0, {}, "echo old > f"},
    Case{"device_refused", "1 512 zero", up_to_writing("1", "2048", "512", "zero") +
         "Cannot create temporary file: zero\n", not_regular, 1, node_files, make_nodes},
    Case{"fifo_refused", "1 512 fifo", up_to_writing("1", "2048", "512", "fifo") +
         "Cannot create temporary file: fifo\n", not_regular, 1, {"fifo|"}, "mkfifo fifo"},
    Case{"folder_refused", "dir", up_to_writing("1", "2048", "512", "dir") +
         "Cannot create temporary file: dir\n", "dorvik: Is a directory\n", 1, {"dir/", "dir/keep"},
         "mkdir dir && touch dir/keep"},
    Case{"link_to_device_refused", "1 512 link", up_to_writing("1", "2048", "512", "link") +
         "Cannot create temporary file: link\n", is_link, 1, {"link@", "zero%", "null%", "full%"},
         make_nodes + " && ln -s zero link"},
    Case{"link_to_file_refused", "\"$DORVIK\" 1 512 link; s=$?; cat kept; exit $s",
         up_to_writing("1", "2048", "512", "link") + "Cannot create temporary file: link\nkeep\n", is_link, 1,
         {"link@", "kept"}, "echo keep > kept && ln -s kept link", "", 0, "", true},
    Case{"dangling_link_refused", "1 512 link", up_to_writing("1", "2048", "512", "link") +
         "Cannot create temporary file: link\n", is_link, 1, {"link@"}, "ln -s absent link"},
    Case{"link_in_folder_part", "1 512 linked/f", full_test("1", "2048", "512", "linked/f"), "", 0,
         {"linked@", "real/"}, "mkdir real && ln -s real linked"},
    Case{"page_cache_dropped_before_read", "1 512 f", full_test("1", "2048", "512", "f"), "", 0, {}, "",
         "cache_check=1"},
    Case{"failed_sync", "1 512 f", up_to_writing("1", "2048", "512", "f") + "Error syncing file: f\n",
         "dorvik: Input/output error\n", 1, {}, "", "fsync=5"},
    Case{"failed_sync_no_space", "1 512 f", up_to_writing("1", "2048", "512", "f") + "Error syncing file: f\n",
         "dorvik: No space left on device\n", 1, {}, "", "fsync=28"},
    Case{"sync_not_supported", "1 512 f", full_test("1", "2048", "512", "f"), "", 0, {}, "", "fsync=22"},
    Case{"sync_on_read_only_target", "1 512 f", full_test("1", "2048", "512", "f"), "", 0, {}, "", "fsync=30"},
    Case{"hard_link_refused", "\"$DORVIK\" 1 512 t; s=$?; cat important t; exit $s", up_to_writing("1", "2048", "512",
         "t") + "Cannot create temporary file: t\nkeep\nkeep\n", "dorvik: t has 2 links, and file mode would overwrite "
         "the data under every name; name a new file, or remove the other links\n", 1, {"important", "t"},
         "echo keep > important && ln important t", "", 0, "", true},
    Case{"link_put_in_place_before_open", "\"$DORVIK\" 1 512 link; s=$?; cat kept; exit $s",
         up_to_writing("1", "2048", "512", "link") + "Cannot create temporary file: link\nkeep\n", is_link, 1,
         {"link@", "kept"}, "echo keep > kept", "link_on_create=1", 0, "", true},
    Case{"file_mode_0640", "umask 022; \"$DORVIK\" 1 4096 f; s=$?; cat mode; rm mode go*; exit $s",
         full_test("1", "256", "4096", "f") + "640\n", "", 0, {}, "", held_at_write, 0, held, true, "", "",
         "stat -c %a f > mode; touch go"},
    Case{"folder_swapped_between_phases", "1 4096 d/f", full_test("1", "256", "4096", "d/f"), "", 0,
         {"d@", "moved/", "other/", "other/f", "go", "go.waiting"}, "mkdir d", held_at_write, 0, held, false, "", "",
         "mv d moved && mkdir other && echo keep > other/f && ln -s other d; touch go"},
    Case{"file_replaced_between_phases", "1 4096 f", up_to_writing("1", "256", "4096", "f") +
         "{T} secondsCannot open temporary file for read\n", "dorvik: the test file was replaced during the test\n", 1,
         {"f", "go", "go.waiting"}, "", held_at_write, 0, held, false, "", "", "rm f && echo other > f; touch go"},
    second_run("second_run_while_writing", "write_gate"),
    second_run("second_run_while_reading", "read_gate"),
    Case{"refused_run_leaves_the_winner_its_file", refused_run_and_winner, "refused: 1\nwinner: 0\n" +
         up_to_writing("1", "256", "4096", "f") + "Cannot create temporary file: f\ndorvik: f is in use by another test\n" +
         full_test("1", "256", "4096", "f"), "", 0, {}, "", "", 0, "", true},
    // b gets the lock only once a, which found b's file, has deleted it: b holds an unnamed file.
    Case{"lock_on_a_file_deleted_meanwhile", in_background("flock_gate=go", "1 4096 f > b 2>&1") + until_held("go") +
         "\"$DORVIK\" 1 4096 f > a; echo \"first: $?\"; touch go; wait $!; echo \"held: $?\"; cat b; rm a b go*",
         "first: 0\nheld: 1\n" +
         up_to_writing("1", "256", "4096", "f") + "Cannot create temporary file: f\ndorvik: f is in use by another test\n",
         "", 0, {}, "", "", 0, "", true},
    Case{"interrupt_between_create_and_lock", "1 4096 f", up_to_writing("1", "256", "4096", "f") + interrupted, "", 0,
         {"go.waiting"}, "", "flock_gate=go", SIGINT, "file:go.waiting"},
    Case{"control_character_refused", "1 512 'a\nb'", refused("Cannot create temporary file: a?b\n"),
         control_character, 1, {}},
    Case{"delete_character_refused", "1 512 'a\x7f" "b'", refused("Cannot create temporary file: a?b\n"),
         control_character, 1, {}},
    // U+0080, the first C1 control, in UTF-8.
    Case{"c1_control_refused", "'a\xc2\x80" "b'", refused("Cannot create temporary file: a?b\n"),
         control_character, 1, {}},
    // Around them, letters whose UTF-8 holds the same bytes: U+00A0 (C2 A0) and U+0100 (C4 80).
    Case{"neighbours_of_c1_accepted", "1 512 '\xc2\xa0\xc4\x80'", full_test("1", "2048", "512", "\xc2\xa0\xc4\x80"),
         "", 0, {}}), case_name);

// A signal sent while the run is held at its first write or its first read.
Case while_writing(const std::string &name, int signal, int status = 0)
{
    return Case{name + "_while_writing", "10 4096 f", up_to_writing("10", "2560", "4096", "f") + interrupted, "",
                status, {"go.waiting"}, "", held_at_write, signal, held};
}
Case while_reading(const std::string &name, int signal)
{
    return Case{name + "_while_reading", "10 4096 f", up_to_writing("10", "2560", "4096", "f") +
                "{T} seconds\nReading the file..." + interrupted, "", 0, {"go.waiting"}, "", "read_gate=go", signal,
                held};
}

INSTANTIATE_TEST_SUITE_P(Signal, Arguments, testing::Values(
    while_writing("interrupt", SIGINT), while_writing("terminate", SIGTERM), while_writing("hang_up", SIGHUP),
    while_writing("broken_pipe", SIGPIPE), while_reading("interrupt", SIGINT), while_reading("terminate", SIGTERM),
    while_reading("hang_up", SIGHUP),
    // SIGKILL, which no handler sees: what was printed before it is there all the same (and the file is left).
    Case{"killed_while_writing", "10 4096 f", up_to_writing("10", "2560", "4096", "f"), "", 128 + SIGKILL,
         {"f", "go.waiting"}, "", held_at_write, SIGKILL, held}), case_name);

// A signal whose default action ends the process: the test file goes, and
// the signal itself still ends the run.
std::vector<Case> fatal_signal_cases()
{
    std::vector<Case> cases;
    std::vector<std::pair<std::string, int>> signals = {{"quit", SIGQUIT}, {"illegal_instruction", SIGILL},
        {"trap", SIGTRAP}, {"abort", SIGABRT}, {"bus_error", SIGBUS}, {"floating_point", SIGFPE}, {"user1", SIGUSR1},
        {"segmentation_fault", SIGSEGV}, {"user2", SIGUSR2}, {"alarm", SIGALRM}, {"stack_fault", SIGSTKFLT},
        {"cpu_limit", SIGXCPU}, {"virtual_alarm", SIGVTALRM}, {"profiling", SIGPROF}, {"io_possible", SIGIO},
        {"power_failure", SIGPWR}, {"bad_system_call", SIGSYS}};
    for (int number = SIGRTMIN; number <= SIGRTMAX; number++)
        signals.emplace_back("realtime_" + std::to_string(number - SIGRTMIN), number);
    for (const auto &[name, number] : signals)
        cases.push_back(while_writing(name, number, 128 + number));
    return cases;
}

INSTANTIATE_TEST_SUITE_P(FatalSignal, Arguments, testing::ValuesIn(fatal_signal_cases()), case_name);

const std::vector<int> file_sizes = {6, 8, 12, 20, 36};
const std::vector<int> device_sizes = {1, 2, 4, 8, 16};
const std::vector<int> record_lengths = {4096, 8192, 16384, 32768};
const std::string completed = "Completed series of tests\n";

// A whole series of the short grid.
std::string series(const std::string &device, const std::vector<int> &sizes,
                   const std::string &written = "{R}")
{
    return banner + series_heading(device) + series_rows(sizes, record_lengths, written) +
           average_statistics + completed;
}

const std::string image = "truncate -s 40M img";

const std::string lost_output = "dorvik: standard output could not be written, so the results are lost\n";

// raw= on an image that make gave a signature: refused, and the signature,
// which blkid shows as key, still there (value; none where blkid sees several).
Case signature_case(const std::string &name, const std::string &make, const std::string &tool,
                    const std::string &key, const std::string &found, const std::string &value)
{
    return Case{name, "\"$DORVIK\" raw=img; s=$?; blkid -o value -s " + key + " img; exit $s", banner +
                series_heading("raw device img") + "Cannot open raw device: img\n" + (value.empty() ? "" : value + "\n"),
                "dorvik: img holds " +
                found + "; raw mode would overwrite it. If its data can go, erase its signatures first: wipefs -af img\n",
                1, {"img"}, "truncate -s 8M img && " + make, "", 0, "", true, "",
                "command -v blkid && command -v " + tool};
}

// raw= on an image with an ext4 that begins offset bytes into it, as where a
// partition table was lost: refused, and the ext4 still there.
Case ext4_inside_case(const std::string &name, const std::string &offset,
                      const std::string &make_image = "truncate -s 40M img")
{
    return Case{name, "\"$DORVIK\" raw=img; s=$?; blkid -p -O " + offset + " -o value -s TYPE img; exit $s", banner +
                series_heading("raw device img") + "Cannot open raw device: img\next4\n", "dorvik: img holds a file "
                "system of type ext4 (UUID {*}) at byte " + offset + "; raw mode would overwrite it. If its data can go, "
                "erase it first: dd if=/dev/zero of=img bs=1M count=16 conv=notrunc\n", 1, {"img"},
                make_image + " && mkfs.ext4 -q -F -E offset=" + offset + " img 8M", "", 0, "", true, "",
                "command -v blkid && command -v mkfs.ext4"};
}

// An image of 40 MB whose zeros hold, 1 MiB in, the two bytes of an HFS+
// superblock's magic and, where its block size stands, the four bytes given:
// what random bytes hold by chance in about one sector of 20000.
std::string hfsplus_magic_image(const std::string &block_size)
{
    return "truncate -s 40M img && printf H+ | dd of=img bs=1 seek=1049600 conv=notrunc status=none && printf '" +
           block_size + "' | dd of=img bs=1 seek=1049640 conv=notrunc status=none";
}

// 40 MB of random bytes, the same on every machine, as shred leaves a device:
// blkid finds an ext4dev superblock in them at byte 8415232, an HFS+ one at
// 16243200, both by chance.
const std::string random_image =
    "python3 -c 'import random, sys; random.seed(2); sys.stdout.buffer.write(random.randbytes(40 << 20))' > img";

// A series of the file grid on a clock whose n-th reading comes n seconds
// after the one before: test i writes in 4i + 3 seconds and reads in 4i + 5.
std::string ramped_series()
{
    std::string text = banner + series_heading("");
    char row[96];
    int test = 0;
    for (int size : file_sizes)
        for (int record_length : record_lengths) {
            double bytes = std::floor(size * 1048576.0 / record_length) * record_length;
            snprintf(row, sizeof row, "\t%-8d%-8d%-20lld%-20lld\n", size, record_length,
                     static_cast<long long>(bytes / (4 * test + 3)), static_cast<long long>(bytes / (4 * test + 5)));
            text += row;
            test++;
        }
    return text + average_statistics + completed;
}

// Why raw= and cdrom= refuse what is a kind of file other than a device or regular file.
std::string not_device(const std::string &kind)
{
    return " is " + kind + "; raw= and cdrom= take a device or a regular file\n";
}
const std::string empty_device = "dorvik: unexpected end of file after 0 bytes\n";

// dorvik run with arguments on tty, a link in the folder to a pseudo-terminal that this case opens and
// nobody reads or writes: at the most a minute for a refusal that must come at once.
std::string on_terminal(const std::string &arguments)
{
    return "exec python3 -c 'import os, pty, subprocess, sys\n"
           "master, terminal = pty.openpty()\n"
           "os.symlink(os.ttyname(terminal), \"tty\")\n"
           "sys.exit(subprocess.run([os.environ[\"DORVIK\"], sys.argv[1]], timeout=60).returncode)' " + arguments;
}

INSTANTIATE_TEST_SUITE_P(Series, Arguments, testing::Values(
    Case{"auto_on_named_file", "auto=f", series("", file_sizes), "", 0, {}},
    Case{"upper_case_auto", "AUTO=f", series("", file_sizes), "", 0, {}},
    Case{"auto_prefix_on_default_file", "automatic", series("", file_sizes), "", 0, {}},
    Case{"mixed_case_is_a_name", "Auto", full_test("1", "2048", "512", "Auto"), "", 0, {}},
    Case{"auto_empty_name", "auto=", banner + series_heading("") + "Cannot create temporary file: \n",
         "dorvik: No such file or directory\n", 1, {}},
    Case{"auto_name_too_long", "auto=" + long_name, refused("Error: Maximum file name length is 4095 bytes\n"),
         name_too_long, 1, {}},
    Case{"raw_default_missing", "raw", banner + series_heading("raw device " + default_name) +
         "Cannot open raw device: " + default_name + "\n", "dorvik: No such file or directory\n", 1, {}},
    // Only '=' right after the keyword names the target: this is a series on the default file.
    Case{"auto_prefix_with_equals_sign", "automatic=nowhere/f", series("", file_sizes), "", 0, {}},
    // A link such as those in /dev/disk/by-id leads raw= to its device, in both phases.
    Case{"raw_through_symbolic_link", "raw=link", series("raw device link", device_sizes), "", 0, {"img", "link@"},
         image + " && ln -s img link"},
    Case{"raw_prefix", "rawdisk", banner + series_heading("raw device " + default_name) +
         "Cannot open raw device: " + default_name + "\n", "dorvik: No such file or directory\n", 1, {}},
    Case{"raw_over_regular_file_twice", "\"$DORVIK\" raw=img >/dev/null && exec \"$DORVIK\" raw=img",
         series("raw device img", device_sizes), "", 0, {"img"}, image, "", 0, "", true},
    Case{"raw_on_zero_node", "RAW=zero", series("raw device zero", device_sizes), "", 0, node_files, make_nodes},
    Case{"raw_on_full_node", "raw=full", banner + series_heading("raw device full") + "Error writing block 0\n",
         "dorvik: No space left on device\n", 1, node_files, make_nodes},
    Case{"cdrom_on_zero_node", "cdrom=zero", series("CD-ROM device zero", device_sizes, "0                   "),
         "", 0, node_files, make_nodes},
    Case{"cdrom_cache_dropped", "cdrom=zero", series("CD-ROM device zero", device_sizes, "0                   "),
         "", 0, node_files, make_nodes, "cache_check=1"},
    Case{"cdrom_on_null_node", "CDROM=null", banner + series_heading("CD-ROM device null") +
         "Error reading block 0\n", empty_device, 1, node_files, make_nodes},
    Case{"cdrom_on_fifo_with_idle_writer", "sleep 60 > fifo & \"$DORVIK\" cdrom=fifo; s=$?; kill $!; exit $s",
         banner + series_heading("CD-ROM device fifo") + "Cannot open temporary file for read\n",
         "dorvik: fifo" + not_device("a FIFO"), 1, {"fifo|"}, "mkfifo fifo", "", 0, "", true},
    Case{"cdrom_on_folder", "cdrom=dir", banner + series_heading("CD-ROM device dir") +
         "Cannot open temporary file for read\n", "dorvik: dir" + not_device("a folder"), 1, {"dir/"}, "mkdir dir"},
    Case{"cdrom_name_with_control_character", "'cdrom=a\tb'", refused("Cannot open temporary file for read\n"),
         control_character, 1, {}},
    // U+009F, the last C1 control.
    Case{"cdrom_name_with_last_c1_control", "'cdrom=a\xc2\x9f" "b'", refused("Cannot open temporary file for read\n"),
         control_character, 1, {}},
    Case{"cdrom_ends_inside_a_record", "cdrom=img", banner + series_heading("CD-ROM device img") +
         "Error reading block 244\n", "dorvik: unexpected end of file after 1000000 bytes\n", 1, {"img"},
         "head -c 1000000 /dev/zero > img"},
    Case{"cdrom_missing", "cdrom=missing", banner + series_heading("CD-ROM device missing") +
         "Cannot open temporary file for read\n", "dorvik: missing: No such file or directory\n", 1, {}},
    // With no peer at all, opening a FIFO to write would wait forever, or fail
    // without blocking: the refusal says what it is, before any open.
    Case{"raw_on_fifo_without_peer", "exec timeout 10 \"$DORVIK\" raw=fifo",
         banner + series_heading("raw device fifo") + "Cannot open raw device: fifo\n",
         "dorvik: fifo" + not_device("a FIFO"), 1, {"fifo|"}, "mkfifo fifo", "", 0, "", true},
    Case{"raw_on_fifo_with_idle_reader", "sleep 60 < fifo & \"$DORVIK\" raw=fifo; s=$?; kill $!; exit $s",
         banner + series_heading("raw device fifo") + "Cannot open raw device: fifo\n",
         "dorvik: fifo" + not_device("a FIFO"), 1, {"fifo|"}, "mkfifo fifo", "", 0, "", true},
    Case{"raw_on_socket", "raw=sock", banner + series_heading("raw device sock") + "Cannot open raw device: sock\n",
         "dorvik: sock" + not_device("a socket"), 1, {"sock"}, "python3 -c \"import socket; "
         "socket.socket(socket.AF_UNIX).bind('sock')\"", "", 0, "", false, "", "command -v python3"},
    Case{"raw_name_with_control_character", "'raw=x\033[2Jy'", refused("Cannot open raw device: x?[2Jy\n"),
         control_character, 1, {}},
    // U+009B, a terminal's CSI in UTF-8, would start a command just as ESC [ does.
    Case{"raw_name_with_c1_control", "'raw=x\xc2\x9b" "2Jy'", refused("Cannot open raw device: x?2Jy\n"),
         control_character, 1, {}},
    Case{"raw_on_terminal", on_terminal("raw=tty"), banner + series_heading("raw device tty") +
         "Cannot open raw device: tty\n", "dorvik: tty is a terminal; raw= and cdrom= take a device or a regular file\n",
         1, {"tty@"}, "", "", 0, "", true, "", "command -v python3"},
    Case{"cdrom_on_terminal", on_terminal("cdrom=tty"), banner + series_heading("CD-ROM device tty") +
         "Cannot open temporary file for read\n", "dorvik: tty is a terminal; raw= and cdrom= take a device or a "
         "regular file\n", 1, {"tty@"}, "", "", 0, "", true, "", "command -v python3"},
    Case{"raw_on_locked_image", "flock img -c 'touch held; until [ -e done ]; do sleep 0.01; done' & "
         "until [ -e held ]; do sleep 0.01; done; \"$DORVIK\" raw=img; s=$?; touch done; wait; rm held done; exit $s", banner + series_heading("raw device img") +
         "Cannot open raw device: img\n", "dorvik: img is in use by another test\n", 1, {"img"}, image, "", 0, "",
         true, "", "command -v flock"},
    signature_case("raw_refuses_ext4_image", "mkfs.ext4 -q -F img", "mkfs.ext4", "TYPE", "a file system of type ext4 (UUID {*})",
                   "ext4"),
    signature_case("raw_refuses_swap_image", "mkswap img", "mkswap", "TYPE", "data of type swap (UUID {*})", "swap"),
    signature_case("raw_refuses_gpt_image", "echo label: gpt | sfdisk -q img", "sfdisk", "PTTYPE",
                   "a partition table of type gpt", "gpt"),
    signature_case("raw_refuses_luks_image", "echo -n pw | cryptsetup luksFormat -q --type luks1 "
                   "--pbkdf-force-iterations 1000 --key-file=- img", "cryptsetup", "TYPE",
                   "an encrypted volume of type crypto_LUKS (UUID {*})", "crypto_LUKS"),
    // An ext4 whose first sector holds a bfs superblock too: blkid cannot tell which is meant.
    signature_case("raw_refuses_two_signatures", "mkfs.ext4 -q -F img && truncate -s 1M bfs && mkfs.bfs bfs && "
                   "dd if=bfs of=img bs=512 count=1 conv=notrunc && rm bfs", "mkfs.bfs", "TYPE",
                   "more than one signature", ""),
    ext4_inside_case("raw_refuses_ext4_past_first_byte", "1048576"),
    // Where the first partition began on disks partitioned for DOS.
    ext4_inside_case("raw_refuses_ext4_at_sector_63", "32256"),
    ext4_inside_case("raw_refuses_ext4_in_last_sector_written", "16776704"),
    Case{"raw_spares_ext4_past_what_it_writes", "\"$DORVIK\" raw=img; s=$?; blkid -p -O 16777216 -o value -s TYPE img; "
         "exit $s", series("raw device img", device_sizes) + "ext4\n", "", 0, {"img"},
         "truncate -s 40M img && mkfs.ext4 -q -F -E offset=16777216 img 8M", "", 0, "", true, "",
         "command -v blkid && command -v mkfs.ext4"},
    Case{"raw_passes_over_chance_signature", "raw=img", series("raw device img", device_sizes),
         "dorvik: img: passed over 1 signature that is chance bytes, not data (hfsplus with a block size of "
         "161970845 bytes, at byte 1048576)\n", 0, {"img"}, hfsplus_magic_image("\\011\\247\\172\\235"), "", 0, "", false},
    Case{"raw_refuses_hfsplus_of_likely_block_size", "raw=img", banner + series_heading("raw device img") +
         "Cannot open raw device: img\n", "dorvik: img holds a file system of type hfsplus at byte 1048576; raw mode "
         "would overwrite it. If its data can go, erase it first: dd if=/dev/zero of=img bs=1M count=16 conv=notrunc\n",
         1, {"img"}, hfsplus_magic_image("\\0\\0\\020\\0"), "", 0, "", false, "", "command -v blkid"},
    Case{"raw_passes_over_random_bytes", "raw=img", series("raw device img", device_sizes), "dorvik: img: passed over "
         "2 signatures that are chance bytes, not data (the first: ext4dev with a block size no file system has, at "
         "byte 8415232)\n", 0, {"img"}, random_image, "", 0, "", false, "", "command -v python3"},
    ext4_inside_case("raw_refuses_ext4_past_chance_signatures", "9437184", random_image),
    // LUKS2 keeps a copy of its header 16 KiB in, which blkid also finds from
    // windows that begin up to 512 KiB before the volume.
    Case{"raw_refuses_luks2_where_it_begins", "raw=img", banner + series_heading("raw device img") +
         "Cannot open raw device: img\n", "dorvik: img holds an encrypted volume of type crypto_LUKS (UUID {*}) at byte "
         "2097152; raw mode would overwrite it. If its data can go, erase it first: dd if=/dev/zero of=img bs=1M "
         "count=16 conv=notrunc\n", 1, {"img"}, "truncate -s 8M luks && echo -n pw | cryptsetup luksFormat -q --type "
         "luks2 --pbkdf pbkdf2 --pbkdf-force-iterations 1000 --key-file=- luks 2>/dev/null && truncate -s 2M img && "
         "cat luks >> img && rm luks && truncate -s 40M img", "", 0, "", false, "", "command -v cryptsetup"},
    Case{"output_to_full_device", "exec \"$DORVIK\" cdrom=zero > full", "", lost_output, 1, node_files, make_nodes,
         "", 0, "", true},
    Case{"file_mode_rates_in_order", "auto=f", ramped_series(), "", 0, {}, "", "clock_ramp=1000000000"},
    // Held right after the first test has deleted its file, with signals held off: the signal waits,
    // and ends the run once the run is let go.
    Case{"interrupt_between_tests", "auto=f", banner + series_heading("") + series_rows({6}, {4096}) + interrupted,
         "", 0, {"go", "go.waiting"}, "", "unlink_gate=go", SIGINT, held, false, "", "", "touch go"},
    Case{"hang_up_between_tests", "auto=f", banner + series_heading("") + series_rows({6}, {4096}) + interrupted,
         "", 0, {"go", "go.waiting"}, "", "unlink_gate=go", SIGHUP, held, false, "", "", "touch go"},
    Case{"interrupt_raw_series", "raw=img", banner + series_heading("raw device img") +
         "\ndorvik: interrupted\n\nexiting dorvik\n\n", "", 0, {"img", "go.waiting"}, image, held_at_write, SIGINT,
         held},
    Case{"terminate_cdrom_series", "cdrom=zero", banner + series_heading("CD-ROM device zero") +
         "\ndorvik: interrupted\n\nexiting dorvik\n\n", "", 0, {"zero%", "null%", "full%", "go.waiting"}, make_nodes,
         "read_gate=go", SIGTERM, held}), case_name);

// dorvik run with a start instant SECONDS from now and the descriptor 3 on
// the file start: its output, how the start it reports lies against the
// instant, then check run on its output in the file out.
std::string started_at(const std::string &seconds, const std::string &arguments, const std::string &check = "")
{
    return "at=$(python3 -c 'import time; print(f\"{time.time() + " + seconds + ":.6f}\")') && "
           "{ DORVIK_START_AT=$at DORVIK_START_FD=3 \"$DORVIK\" " + arguments + " 3> start; echo $? > status; } | "
           "tee out; s=$(cat status); "
           "python3 -c 'import sys; b = [float(l) for l in open(\"start\")]; print(len(b), \"start\", "
           "\"at or after the instant\" if b[0] >= float(sys.argv[1]) else \"before the instant\")' $at; " +
           check + "rm start out status; exit $s";
}

// A malformed start setting: only the banner, the reason, status 1, nothing created.
Case start_refused(const std::string &name, const std::string &settings, const std::string &reason)
{
    return Case{name, settings + " exec \"$DORVIK\" 1 4096 f 4< /dev/null", banner, "dorvik: " + reason + "\n", 1,
                {}, "", "", 0, "", true};
}

const std::string not_an_instant = " is not an instant in seconds since the epoch, such as 1765200000.25";
const std::string not_a_descriptor = " is not a descriptor above 2 that is open for writing";

INSTANTIATE_TEST_SUITE_P(StartInstant, Arguments, testing::Values(
    // The file is made before the wait, and the write time leaves out the
    // wait from then to the instant: it writes 1 MB far faster than 5 s.
    Case{"waits_outside_the_timed_write", started_at("5", "1 4096 f", "awk -v at=$at '$1 < at { print \"made before "
         "the instant\" }' made; w=$(sed -n 's/^Writing.*[.][.][.]\\([0-9.]*\\) seconds$/\\1/p' out) && awk -v "
         "at=$at -v w=$w '$1 + w < at { print \"write time without the wait\" }' made; rm made; "), full_test("1", "256", "4096", "f") + "1 start at or "
         "after the instant\nmade before the instant\nwrite time without the wait\n", "", 0, {}, "", "", 0,
         "Writing the 1 Megabyte", true, "", "", "for i in $(seq 100000); do [ -e f ] && break; sleep 0.001; done; date +%s.%N > made"},
    // Let wait under a real-time policy, the run writes at the usual one: held at the report of its
    // start, its policy is already back.
    Case{"timed_work_without_real_time", "at=$(python3 -c 'import time; print(time.time() + 0.5)') && "
         "DORVIK_START_AT=$at DORVIK_START_FD=3 chrt -f 1 env " + in_background("write_gate=go", "1 4096 f 3> start > out") +
         until_held("go") + "chrt -p $(cat go.waiting) | sed -n '1s/.*: //p'; touch go; wait $!; s=$?; rm go* start out; "
         "exit $s", "SCHED_OTHER\n", "", 0, {}, "", "", 0, "", true, "", "command -v chrt && chrt -f 1 true"},
    // Started under chrt -b or -i, the run writes under that policy again after its wait.
    keeps_its_policy("batch", "-b", "SCHED_BATCH"),
    keeps_its_policy("idle", "-i", "SCHED_IDLE"),
    // The wait itself runs under a real-time policy (as root), so that a busy machine does not wake it late.
    Case{"waits_under_real_time", "at=$(python3 -c 'import time; print(time.time() + 2)') && DORVIK_START_AT=$at "
         "\"$DORVIK\" 1 4096 f > out & p=$!; until chrt -p $p 2>/dev/null | grep -q SCHED_FIFO || ! kill -0 $p "
         "2>/dev/null; do sleep 0.01; done; chrt -p $p | sed -n '1s/.*: //p'; wait $p; s=$?; rm out; exit $s",
         "SCHED_FIFO\n", "", 0, {}, "", "", 0, "", true, "", "command -v chrt && chrt -f 1 true"},
    Case{"cdrom_waits_before_its_first_read", started_at("0.5", "cdrom=zero"), series("CD-ROM device zero",
         device_sizes, "0                   ") + "1 start at or after the instant\n", "", 0, node_files, make_nodes,
         "", 0, "", true},
    Case{"series_waits_once", started_at("-5", "auto=f"), series("", file_sizes) + "1 start at or after the "
         "instant\n", "", 0, {}, "", "", 0, "", true},
    start_refused("not_a_number", "DORVIK_START_AT=soon", "DORVIK_START_AT=soon" + not_an_instant),
    start_refused("signed", "DORVIK_START_AT=+1765200000", "DORVIK_START_AT=+1765200000" + not_an_instant),
    start_refused("exponent", "DORVIK_START_AT=1e9", "DORVIK_START_AT=1e9" + not_an_instant),
    start_refused("empty", "DORVIK_START_AT=", "DORVIK_START_AT=" + not_an_instant),
    start_refused("finer_than_nanoseconds", "DORVIK_START_AT=1765200000.1234567891",
                  "DORVIK_START_AT=1765200000.1234567891" + not_an_instant),
    start_refused("an_hour_ahead", "DORVIK_START_AT=$(($(date +%s) + 3700))",
                  "DORVIK_START_AT={N} is more than an hour ahead of this machine's clock"),
    start_refused("descriptor_alone", "DORVIK_START_FD=1", "DORVIK_START_FD=1 is given without DORVIK_START_AT or DORVIK_INSTANT_FD"),
    start_refused("standard_output", "DORVIK_START_AT=1 DORVIK_START_FD=1", "DORVIK_START_FD=1" + not_a_descriptor),
    start_refused("closed_descriptor", "DORVIK_START_AT=1 DORVIK_START_FD=9", "DORVIK_START_FD=9" + not_a_descriptor),
    start_refused("read_only_descriptor", "DORVIK_START_AT=1 DORVIK_START_FD=4", "DORVIK_START_FD=4" +
                  not_a_descriptor)), case_name);

INSTANTIATE_TEST_SUITE_P(Help, Arguments, testing::Values(
    Case{"lower_case", "help", help_text(), "", 0, {}},
    Case{"upper_case", "HELP", help_text(), "", 0, {}},
    Case{"mixed_case_is_a_name", "Help", full_test("1", "2048", "512", "Help"), "", 0, {}},
    Case{"longer_word_is_a_name", "helpme", full_test("1", "2048", "512", "helpme"), "", 0, {}},
    Case{"with_name_is_a_name", "help=x", full_test("1", "2048", "512", "help=x"), "", 0, {}}), case_name);

const std::string mount_two_megabytes = "mkdir m && mount -t tmpfs -o size=2m tmpfs m";
// A loop device over img, its name in dev and a node for it, loop, in the case's folder.
std::string loop_device(const std::string &size)
{
    return "truncate -s " + size + " img && losetup -f --show img > dev && "
           "mknod loop b $((0x$(stat -c %t $(cat dev)))) $((0x$(stat -c %T $(cat dev))))";
}
const std::string detach_loop = "umount m; losetup -d $(cat dev)";
const std::string has_loop = "losetup -f && command -v mkfs.ext4 && " + can_mount;
const std::vector<std::string> loop_files = {"dev", "img", "loop%"};

// The advice a test gives when its read phase took no time at all.
std::string zero_read_advice(const std::string &megabytes, const std::string &half_record)
{
    return "\nI/O error during read.  Try again with the command:\n\n\tdorvik " + megabytes + " " + half_record +
           " \t(i.e. record size = " + half_record + " bytes)\n";
}

// The Average statistics of 1 MB written and read in seconds each, on a clock that steps.
std::string stepped_totals(const std::string &seconds)
{
    return "\n Average statistics\n####\t Total KB=     1024 (1024), read=" + seconds + " (sec), write=" + seconds +
           " (sec)\n####\t Average read=    0.20 MB/sec, write=    0.20 MB/sec\n\n";
}

const std::string frozen_times = "0.000000 seconds\nReading the file...0.000000 seconds\n";
const std::string nothing_accumulated = "\n Average statistics\n"
    "####\t Total KB=        0 (1024), read=0.00 (sec), write=0.00 (sec)\n"
    "####\t Average read=    0.00 MB/sec, write=    0.00 MB/sec\n\n";

// A series on a clock that never moves: every test gives the advice instead of a row.
std::string frozen_series()
{
    std::string text = banner + series_heading("");
    for (int size : file_sizes)
        for (int record_length : record_lengths)
            text += zero_read_advice(std::to_string(size), std::to_string(record_length / 2));
    return text + nothing_accumulated + completed;
}

INSTANTIATE_TEST_SUITE_P(Clock, Arguments, testing::Values(
    Case{"read_time_zero", "1 512 f", up_to_writing("1", "2048", "512", "f") + frozen_times +
         zero_read_advice("1", "256"), "", 0, {}, "", "clock_frozen=1"},
    Case{"read_time_zero_in_series", "auto=f", frozen_series(), "", 0, {}, "", "clock_frozen=1"},
    Case{"clock_fails", "1 512 f", up_to_writing("1", "2048", "512", "f") + frozen_times +
         zero_read_advice("1", "256"), "clock_gettime: Invalid argument\nclock_gettime: Invalid argument\n"
         "clock_gettime: Invalid argument\nclock_gettime: Invalid argument\n", 0, {}, "", "clock_error=22"},
    Case{"ten_seconds_no_advice", "1 512 f", up_to_writing("1", "2048", "512", "f") + "5.000000 seconds\n"
         "Reading the file...5.000000 seconds\n" + stepped_totals("5.00"), "", 0, {}, "", "clock_step=5000000000"},
    Case{"under_ten_seconds_advice", "1 512 f", up_to_writing("1", "2048", "512", "f") + "4.990000 seconds\n"
         "Reading the file...4.990000 seconds\n" + stepped_totals("4.99") +
         "\nThe test completed too quickly to give a good result\n"
         "You will get a more precise measure of this machine's\n"
         "performance by re-running dorvik using the command:\n\n\tdorvik 2 \t(i.e., file size = 2 megabytes)\n",
         "", 0, {}, "", "clock_step=4990000000"}), case_name);

INSTANTIATE_TEST_SUITE_P(Fault, Arguments, testing::Values(
    Case{"read_error_removes_file", "1 512 f", up_to_writing("1", "2048", "512", "f") +
         "{T} seconds\nReading the file...Error reading block 0\n", "dorvik: Input/output error\n", 1, {}, "",
         "read_error=5"},
    Case{"read_open_fails", "1 512 f", up_to_writing("1", "2048", "512", "f") +
         "{T} secondsCannot open temporary file for read\n", "dorvik: f: Permission denied\n", 1, {}, "",
         "open_error=13"},
    Case{"full_file_system", "3 4096 m/f", up_to_writing("3", "768", "4096", "m/f") + "Error writing block 512\n",
         "dorvik: No space left on device\n", 1, {"m/"}, mount_two_megabytes, "", 0, "", false, "umount m",
         can_mount},
    Case{"full_file_system_mid_record", "3 1000 m/f", up_to_writing("3", "3145", "1000", "m/f") +
         "Error writing block 2097\n", "dorvik: No space left on device\n", 1, {"m/"}, mount_two_megabytes, "", 0,
         "", false, "umount m", can_mount},
    Case{"file_size_limit_exactly_met", "ulimit -f 2048; exec \"$DORVIK\" 1 4096 f", full_test("1", "256", "4096", "f"),
         "", 0, {}, "", "", 0, "", true},
    // Closed descriptors must not be given to the target, or the rows would be written into it.
    Case{"output_descriptor_closed", "\"$DORVIK\" raw=img <&- >&-; s=$?; grep -ac '32768   ' img; exit $s", "0\n",
         lost_output, 1, {"img"}, image, "", 0, "", true},
    // Closed, standard error would be the next descriptor opened, and every reason would be written into it.
    Case{"error_descriptor_closed", in_background("write_gate=go", "1 4096 f 2>&-") + until_held("go") +
         "readlink /proc/$!/fd/2 > held; touch go; wait $!; s=$?; cat held; rm held go*; exit $s", full_test("1", "256", "4096", "f") + "/dev/null\n", "", 0, {}, "", "", 0, "",
         true},
    Case{"single_test_output_lost", "exec \"$DORVIK\" 1 4096 f > full", "", lost_output, 1, node_files, make_nodes, "",
         0, "", true},
    Case{"help_output_lost", "exec \"$DORVIK\" help > full", "", lost_output, 1, node_files, make_nodes, "", 0, "",
         true},
    Case{"write_takes_nothing", "1 4096 f", up_to_writing("1", "256", "4096", "f") + "Error writing block 2\n",
         no_space, 1, {}, "", "write_zero=3"},
    // A clock that moves 1 ms a reading, and 7 s while fsync runs: the write time must hold those 7 s.
    Case{"sync_inside_write_time", "1 4096 f", up_to_writing("1", "256", "4096", "f") + "7.001000 seconds\n"
         "Reading the file...0.001000 seconds\n\n Average statistics\n"
         "####\t Total KB=     1024 (1024), read=0.00 (sec), write=7.00 (sec)\n"
         "####\t Average read=   90.91 MB/sec, write=    0.14 MB/sec\n\n" + too_quick_advice, "", 0, {}, "",
         "clock_step=1000000,fsync_step=7000000000"},
    Case{"file_size_limit", "ulimit -f 200; exec \"$DORVIK\" 1 4096 f", up_to_writing("1", "256", "4096", "f") +
         "Error writing block 25\n", "dorvik: File too large\n", 1, {}, "", "", 0, "", true},
    Case{"end_of_device", "raw=loop", banner + series_heading("raw device loop") + series_rows({1, 2}, record_lengths) +
         "Error writing block 768\n", no_space, 1, loop_files, loop_device("3M"), "", 0, "", false, detach_loop,
         has_loop},
    Case{"read_past_end_of_device", "cdrom=loop", banner + series_heading("CD-ROM device loop") +
         series_rows({1, 2}, record_lengths, "0                   ") + "Error reading block 768\n",
         "dorvik: unexpected end of file after 3145728 bytes\n", 1, loop_files, loop_device("3M"), "", 0, "", false,
         detach_loop, has_loop},
    Case{"raw_refuses_mounted_device", "\"$DORVIK\" raw=loop; s=$?; cat m/kept; umount m && "
         "fsck.ext4 -n $(cat dev) >/dev/null 2>&1 && echo clean; exit $s", banner +
         series_heading("raw device loop") + "Cannot open raw device: loop\nkeep\nclean\n",
         "dorvik: Device or resource busy\n", 1, {"dev", "img", "loop%", "m/"}, loop_device("40M") +
         " && mkfs.ext4 -q $(cat dev) && mkdir m && mount $(cat dev) m && echo keep > m/kept", "", 0, "", true,
         detach_loop, has_loop},
    Case{"raw_refuses_file_system", "\"$DORVIK\" raw=loop; s=$?; fsck.ext4 -n $(cat dev) >/dev/null 2>&1 && "
         "echo clean; exit $s", banner + series_heading("raw device loop") + "Cannot open raw device: loop\nclean\n",
         "dorvik: loop holds a file system of type ext4 (UUID {*}); raw mode would overwrite it. If its data can go, "
         "erase its signatures first: wipefs -a loop\n", 1, loop_files, loop_device("40M") + " && mkfs.ext4 -q $(cat dev)",
         "", 0, "", true, detach_loop, has_loop},
    Case{"closed_pipe", "{ \"$DORVIK\" auto=f; echo \"status $?\" >&2; } | head -3",
         "\nDORVIK: Test of Sequential File I/O -- 2.0.13-san (28-Feb-2008)\n"
         "\tOperating System: POSIX 1003.1-1990 -- using fsync()\n", "status 0\n", 0, {}, "", "", 0, "", true},
    Case{"hostile_arguments", "exec bash \"$TESTS\"/hostile_arguments.sh 240 1", "240 runs, 0 failed\n", "", 0,
         {"m/"}, "mkdir m && mount -t tmpfs -o size=512k tmpfs m", "", 0, "", true, "umount m", can_mount}),
    case_name);


const std::vector<std::string> sshfs_files = {"mnt/", "remote/"};

// An sshfs mount over loopback: a test and a series run through it, then a
// server that goes away in the middle of the write phase.
INSTANTIATE_TEST_SUITE_P(SlowNetwork, Arguments, testing::Values(
    Case{"single_test", "5 4096 mnt/f", full_test("5", "1280", "4096", "mnt/f"), "", 0, sshfs_files,
         sshfs + "start", "", 0, "", false, sshfs + "stop", has_sshfs},
    Case{"series", "auto=mnt/f", series("", file_sizes), "", 0, sshfs_files, sshfs + "start", "", 0, "", false,
         sshfs + "stop", has_sshfs},
    Case{"server_gone", "50 4096 mnt/f", up_to_writing("50", "12800", "4096", "mnt/f") + "Error {*}\n",
         "dorvik: {*}\n", 1, {"mnt/", "remote/", "remote/f"}, sshfs + "start", "write_delay=1000", 0, "file:remote/f",
         false, sshfs + "stop", has_sshfs, sshfs + "cut"}),
    case_name);


// Under memcheck: no error, nothing definitely lost, the buffer released
// across the re-entries of a series. Sanitizer builds cannot run under it.
const std::string memcheck = "exec valgrind -q --error-exitcode=99 --leak-check=full "
                             "--errors-for-leak-kinds=definite \"$DORVIK\" ";
const std::string has_valgrind = "command -v valgrind && ! ldd \"$DORVIK\" | grep -q libasan";

INSTANTIATE_TEST_SUITE_P(SlowMemcheck, Arguments, testing::Values(
    Case{"single_test", memcheck + "2 4096 f", full_test("2", "512", "4096", "f"), "", 0, {}, "", "", 0, "", true,
         "", has_valgrind},
    Case{"help", memcheck + "help", help_text(), "", 0, {}, "", "", 0, "", true, "", has_valgrind},
    Case{"write_failure", memcheck + "raw=full", banner + series_heading("raw device full") +
         "Error writing block 0\n", "dorvik: No space left on device\n", 1, node_files, make_nodes, "", 0, "", true,
         "", has_valgrind},
    Case{"bad_usage", memcheck + "1 2 3 4 5", refused("dorvik: bad usage\n" + usage + "\n"), too_many, 1, {}, "", "",
         0, "", true, "", has_valgrind},
    Case{"signature_refused", memcheck + "raw=img", banner + series_heading("raw device img") +
         "Cannot open raw device: img\n", "dorvik: img holds a file system of type ext4 (UUID {*}); raw mode would "
         "overwrite it. If its data can go, erase its signatures first: wipefs -af img\n", 1, {"img"},
         "truncate -s 8M img && mkfs.ext4 -q -F img", "", 0, "", true, "", has_valgrind + " && command -v mkfs.ext4"},
    Case{"file_series", memcheck + "auto=f", series("", file_sizes), "", 0, {}, "", "", 0, "", true, "",
         has_valgrind},
    Case{"cdrom_series", memcheck + "cdrom=zero", series("CD-ROM device zero", device_sizes, "0                   "),
         "", 0, node_files, make_nodes, "", 0, "", true, "", has_valgrind}),
    case_name);

// These move gigabytes, on a file system in memory.
const std::string mount_memory = "mkdir m && mount -t tmpfs -o size=7g tmpfs m";

const std::string rig = "bash \"$TESTS\"/throttled_rig.sh ";
// The median write and read of five runs on the throttled device, held to 15% and 10% of its 50 MiB/s: a
// run slowed by other work on the machine, or one that a burst of the controller sped up, does not move it.
const std::string on_known_device = "for run in 1 2 3 4 5; do " + rig + "run \"$DORVIK\" 64 131072 m/f; done > runs.txt && "
    "\"$SOURCE\"/tools/dorvik-report runs.txt | awk -F, 'NR > 1 { n++; w[n] = $7 + 0; r[n] = $8 + 0 } END {"
    " for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) {"
    " if (w[j] < w[i]) { t = w[i]; w[i] = w[j]; w[j] = t } if (r[j] < r[i]) { t = r[i]; r[i] = r[j]; r[j] = t } }"
    " m = int((n + 1) / 2); printf \"write %s within 15%%: %s\\nread %s within 10%%: %s\\n\", w[m],"
    " (w[m] > 42.5 && w[m] < 57.5) ? \"yes\" : \"no\", r[m], (r[m] > 45 && r[m] < 55) ? \"yes\" : \"no\" }' && rm runs.txt";

INSTANTIATE_TEST_SUITE_P(Slow, Arguments, testing::Values(
    Case{"device_of_known_speed", on_known_device, "write {*} within 15%: yes\nread {*} within 10%: yes\n", "", 0,
         {"m/", "m/lost+found/"}, rig + "up", "", 0, "", true, rig + "down",
         rig + "available && losetup -f && command -v mkfs.ext4"},
    Case{"size_past_32_bits", "4097 131072 m/f", full_test("4097", "32776", "131072", "m/f"), "", 0, {"m/"},
         mount_memory, "", 0, "", false, "umount m", can_mount},
    Case{"long_series", "exec \"$DORVIK_LONG\" auto=m/f", banner + series_heading("") +
         series_rows({6, 8, 12, 20, 36, 68, 132, 260, 516}, {4096, 8192, 16384, 32768, 65536, 131072}) +
         average_statistics + completed, "", 0, {"m/"}, mount_memory, "", 0, "", true, "umount m", can_mount}),
    case_name);

} // namespace

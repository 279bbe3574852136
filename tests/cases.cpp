// The end-to-end cases: each row runs a program once in a folder of its own.
#include "driver.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {

const std::string default_name = "#quarrow_NFS+SAN#.temp.bak";

// One full interactive run: the report, the Average statistics and the advice.
std::string full_test(const std::string &megabytes, const std::string &records,
                      const std::string &record_length, const std::string &name)
{
    return banner + interactive_test(megabytes, records, record_length, name) + average_statistics +
           too_quick_advice;
}

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
const std::string negative_size = "dorvik: the size is negative; give the file size in megabytes, 0 or more\n";
const std::string name_too_long = "dorvik: the file name is 4096 bytes long; names of up to 4095 bytes are accepted\n";
const std::string too_many = "dorvik: too many arguments; at most three are accepted (megabytes, record length, "
                             "file name), or one keyword\n";

class Arguments : public testing::TestWithParam<Case> {};
TEST_P(Arguments, Run) { run_case(GetParam()); }

std::string case_name(const testing::TestParamInfo<Case> &info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Cli, Arguments, testing::Values(
    Case{"no_arguments", "", banner + usage + "\n" + interactive_test("1", "2048", "512", default_name) +
         average_statistics + too_quick_advice, "", 0, {}},
    Case{"negative_single_size", "-5", full_test("5", "10240", "512", default_name), "", 0, {}},
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
    Case{"negative_size_with_name", "-5 512 f", refused("Error: Minimum file size is 0 megabytes\n"), negative_size, 1, {}},
    Case{"negative_size_two_arguments", "-5 f", refused("Error: Minimum file size is 0 megabytes\n"), negative_size, 1, {}},
    Case{"size_below_32_bits", "-99999999999 512 f", refused("Error: Minimum file size is 0 megabytes\n"), negative_size, 1, {}},
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

// A run on f while another, slowed by fault, is in the phase that waits for,
// a shell test; the second is refused and the first ends undisturbed.
Case second_run(const std::string &name, const std::string &fault, const std::string &waits_for)
{
    return Case{name, "\"$DORVIK\" 1 4096 f > first & until " + waits_for + " 2>/dev/null; do sleep 0.01; done; "
                "\"$DORVIK\" 1 4096 f; s=$?; wait $! && echo first ended; rm first; exit $s",
                up_to_writing("1", "256", "4096", "f") + "Cannot create temporary file: f\nfirst ended\n",
                "dorvik: f is in use by another test\n", 1, {}, "", fault, 0, "", true};
}

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
    Case{"file_mode_0640", "umask 022; \"$DORVIK\" 1 4096 f; s=$?; cat mode; rm mode; exit $s",
         full_test("1", "256", "4096", "f") + "640\n", "", 0, {}, "", "write_delay=4000", 0, "file:f", true, "", "",
         "stat -c %a f > mode"},
    Case{"folder_swapped_between_phases", "1 4096 d/f", full_test("1", "256", "4096", "d/f"), "", 0,
         {"d@", "moved/", "other/", "other/f"}, "mkdir d", "write_delay=4000", 0, "file:d/f", false, "", "",
         "mv d moved && mkdir other && echo keep > other/f && ln -s other d"},
    Case{"file_replaced_between_phases", "1 4096 f", up_to_writing("1", "256", "4096", "f") +
         "{T} secondsCannot open temporary file for read\n", "dorvik: the test file was replaced during the test\n", 1,
         {"f"}, "", "write_delay=4000", 0, "file:f", false, "", "", "rm f && echo other > f"},
    second_run("second_run_while_writing", "write_delay=4000", "[ -s f ]"),
    second_run("second_run_while_reading", "read_delay=4000", "grep -q Reading first"),
    Case{"control_character_refused", "1 512 'a\nb'", refused("Cannot create temporary file: a?b\n"),
         control_character, 1, {}}), case_name);

INSTANTIATE_TEST_SUITE_P(Signal, Arguments, testing::Values(
    Case{"interrupt_while_writing", "10 4096 f", up_to_writing("10", "2560", "4096", "f") + interrupted,
         "", 0, {}, "", "write_delay=2000", SIGINT, "file:f"},
    Case{"terminate_while_writing", "10 4096 f", up_to_writing("10", "2560", "4096", "f") + interrupted,
         "", 0, {}, "", "write_delay=2000", SIGTERM, "file:f"},
    Case{"interrupt_while_reading", "10 4096 f", up_to_writing("10", "2560", "4096", "f") +
         "{T} seconds\nReading the file..." + interrupted, "", 0, {}, "", "read_delay=2000", SIGINT,
         "Reading the file..."},
    Case{"terminate_while_reading", "10 4096 f", up_to_writing("10", "2560", "4096", "f") +
         "{T} seconds\nReading the file..." + interrupted, "", 0, {}, "", "read_delay=2000", SIGTERM,
         "Reading the file..."},
    Case{"hang_up_while_writing", "10 4096 f", up_to_writing("10", "2560", "4096", "f") + interrupted,
         "", 0, {}, "", "write_delay=2000", SIGHUP, "file:f"},
    Case{"hang_up_while_reading", "10 4096 f", up_to_writing("10", "2560", "4096", "f") +
         "{T} seconds\nReading the file..." + interrupted, "", 0, {}, "", "read_delay=2000", SIGHUP,
         "Reading the file..."}), case_name);

// A signal whose default action ends the process: the test file goes, and
// the signal itself still ends the run.
std::vector<Case> fatal_signal_cases()
{
    std::vector<Case> cases;
    for (const auto &[name, number] : std::vector<std::pair<std::string, int>>{{"quit", SIGQUIT}, {"cpu_limit", SIGXCPU},
             {"user1", SIGUSR1}, {"user2", SIGUSR2}, {"alarm", SIGALRM}, {"virtual_alarm", SIGVTALRM},
             {"profiling", SIGPROF}})
        cases.push_back(Case{name + "_while_writing", "10 4096 f", up_to_writing("10", "2560", "4096", "f") +
                             interrupted, "", 128 + number, {}, "", "write_delay=2000", number, "file:f"});
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

const std::string help_text = banner + usage + "dorvik: help mode\n"
    "    'Quarrow' - Universal IO/NFS/SAN Benchmark Program\n"
    "    Adapted by Ivo Quarrow <ivo.quarrow@example.org> for ASM/SAN/NFS needs :-) \n"
    "    http://www.example.org/quarrow/  http://mirror.example.net/pub/quarrow/\n"
    "    $Id: dorvik.c,v 2.13 2008/02/28 17:42:05 iquarrow Exp $\n"
    "------------------------------------------------------------------\n"
    "    Modified/enhanced for NFS performance tuning....\n"
    "      + enhanced statistics\n"
    "      + auto-mode: blocksize for NFS monitoring (HFS/VxFS)\n"
    "      + uses fsync() to bypass disk cache\n"
    "      + designed to bypass the cache of Examplar StoreFrame 900 arrays\n"
    "      + fixed all errors DJGPP 2.7.2/DOS32, 2.9.5/cygwin claims\n"
    "      + fixed all errors DJGPP 2.7/Linux 2.0.32 claims\n"
    "      + fixed division by zero errors\n"
    "------------------------------------------------------------------\n"
    "    Modified for SAN (StoreFrame, VaultLine, DiskMesa) relative performance checking\n"
    "      + enhanced blocksize and buffersize\n"
    "      + works with gcc 3.2, 3.3\n"
    "      + fixed default filename (*NIX)\n"
    "------------------------------------------------------------------\n"
    "Bye!\n";

const std::string image = "truncate -s 40M img";

const std::string lost_output = "dorvik: standard output could not be written, so the results are lost\n";

// raw= on an image that make gave a signature: refused, and the signature,
// which blkid shows as key, still there.
Case signature_case(const std::string &name, const std::string &make, const std::string &tool,
                    const std::string &key, const std::string &found, const std::string &value)
{
    return Case{name, "\"$DORVIK\" raw=img; s=$?; blkid -o value -s " + key + " img; exit $s", banner +
                series_heading("raw device img") + "Cannot open raw device: img\n" + value + "\n", "dorvik: img holds " +
                found + "; raw mode would overwrite it. If its data can go, erase its signatures first: wipefs -af img\n",
                1, {"img"}, "truncate -s 8M img && " + make, "", 0, "", true, "",
                "command -v blkid && command -v " + tool};
}

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
    Case{"raw_on_locked_image", "flock img -c 'touch held; sleep 1' & until [ -e held ]; do sleep 0.01; done; "
         "\"$DORVIK\" raw=img; s=$?; wait; rm held; exit $s", banner + series_heading("raw device img") +
         "Cannot open raw device: img\n", "dorvik: img is in use by another test\n", 1, {"img"}, image, "", 0, "",
         true, "", "command -v flock"},
    signature_case("raw_refuses_ext4_image", "mkfs.ext4 -q -F img", "mkfs.ext4", "TYPE", "a file system of type ext4 (UUID {*})",
                   "ext4"),
    signature_case("raw_refuses_swap_image", "mkswap img", "mkswap", "TYPE", "data of type swap (UUID {*})", "swap"),
    signature_case("raw_refuses_gpt_image", "echo label: gpt | sfdisk -q img", "sfdisk", "PTTYPE",
                   "a partition table of type gpt", "gpt"),
    Case{"output_to_full_device", "exec \"$DORVIK\" cdrom=zero > full", "", lost_output, 1, node_files, make_nodes,
         "", 0, "", true},
    Case{"file_mode_rates_in_order", "auto=f", ramped_series(), "", 0, {}, "", "clock_ramp=1000000000"},
    Case{"interrupt_between_tests", "auto=f", banner + series_heading("") + series_rows({6}, {4096}) + interrupted,
         "", 0, {}, "", "unlink_delay=3000000", SIGINT, "\t6       4096    "},
    Case{"hang_up_between_tests", "auto=f", banner + series_heading("") + series_rows({6}, {4096}) + interrupted,
         "", 0, {}, "", "unlink_delay=3000000", SIGHUP, "\t6       4096    "},
    Case{"interrupt_raw_series", "raw=img", banner + series_heading("raw device img") +
         "\ndorvik: interrupted\n\nexiting dorvik\n\n", "", 0, {"img"}, image, "write_delay=2000", SIGINT,
         "bytes/sec read"},
    Case{"terminate_cdrom_series", "cdrom=zero", banner + series_heading("CD-ROM device zero") +
         "\ndorvik: interrupted\n\nexiting dorvik\n\n", "", 0, node_files, make_nodes, "read_delay=2000", SIGTERM,
         "bytes/sec read"}), case_name);

INSTANTIATE_TEST_SUITE_P(Help, Arguments, testing::Values(
    Case{"lower_case", "help", help_text, "", 0, {}},
    Case{"upper_case", "HELP", help_text, "", 0, {}},
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

const std::string sshfs = "bash \"$TESTS\"/sshfs_loopback.sh ";
const std::string has_sshfs = "command -v sshfs && test -x /usr/sbin/sshd && test -c /dev/fuse";
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
         clients_usage + "dorvik-clients: error: --ssh: No closing quotation\n", 2, {}, "", "", 0, "", true}),
    case_name);

const std::string plot = "\"$SOURCE\"/tools/dorvik-plot ";
const std::string has_gnuplot = "command -v gnuplot";
const std::string png_magic = " 211   P   N   G\n";
// For each tool, the options its page's SYNOPSIS names that its --help lacks (<)
// or the other way round (>); and how --help writes the host's placeholder.
const std::string options_agree =
    "for tool in report plot clients; do sed -n '/^\\.SH SYNOPSIS/,/^\\.SH DESCRIPTION/p' "
    "\"$SOURCE/man/dorvik-$tool.1\" | grep -o '\\\\-\\(\\\\-\\)\\?[a-z][a-z]*\\(\\\\-[a-z][a-z]*\\)*' | "
    "tr -d '\\\\' | sort -u > page && \"$SOURCE/tools/dorvik-$tool\" --help | "
    "grep -oE '^  -[a-z-]+(, --[a-z-]+)?' | tr -s ', ' '\\n' | grep -vx -e '' -e --help | sort -u > help && "
    "echo \"dorvik-$tool\" && diff page help; done; \"$SOURCE\"/tools/dorvik-clients --help | grep -o '%*h in'";

// A gnuplot on PATH that keeps the script it is given in script.gp.
const std::string gnuplot_stand_in = "mkdir bin && printf '#!/bin/sh\\ncat > script.gp\\n' > bin/gnuplot && chmod +x bin/gnuplot && "
                             "PATH=$PWD/bin:$PATH && ";
const std::vector<std::string> gnuplot_files = {"bin/", "bin/gnuplot", "script.gp"};
std::vector<std::string> installed(const std::string &prefix);
std::vector<std::string> with_gnuplot(std::vector<std::string> files)
{
    files.insert(files.end(), gnuplot_files.begin(), gnuplot_files.end());
    return files;
}

INSTANTIATE_TEST_SUITE_P(Tools, Arguments, testing::Values(
    Case{"series_to_png", plot + "-o chart.png \"$TESTS\"/data/series.txt && od -An -c -N4 chart.png",
         "dorvik-plot: wrote chart.png\n" + png_magic, "", 0, {"chart.png"}, "", "", 0, "", true, "", has_gnuplot},
    Case{"default_name_from_input", "cp \"$TESTS\"/data/series.txt run.txt && " + plot + "run.txt",
         "dorvik-plot: wrote run.png\n", "", 0, {"run.png", "run.txt"}, "", "", 0, "", true, "", has_gnuplot},
    Case{"standard_input_to_svg", plot + "-o chart.svg < \"$TESTS\"/data/series.txt && grep -c '<svg' chart.svg",
         "dorvik-plot: wrote chart.svg\n1\n", "", 0, {"chart.svg"}, "", "", 0, "", true, "", has_gnuplot},
    Case{"rows_replaced_by_advice", plot + "-o chart.png \"$TESTS\"/data/series-with-advice.txt",
         "dorvik-plot: wrote chart.png\n", "", 0, {"chart.png"}, "", "", 0, "", true, "", has_gnuplot},
    Case{"cdrom_series_reads_only", plot + "-o chart.png \"$TESTS\"/data/cdrom-series.txt",
         "dorvik-plot: wrote chart.png\n", "", 0, {"chart.png"}, "", "", 0, "", true, "", has_gnuplot},
    Case{"empty_input", "exec " + plot, "", "dorvik-plot: -: no dorvik output\n", 1, {}, "", "", 0,
         "", true, "", has_gnuplot},
    Case{"two_runs_compared", plot + "-o c.png -t before -t after \"$TESTS\"/data/series.txt \"$TESTS\"/data/"
         "raw-series.txt -s 8 && od -An -c -N4 c.png", "dorvik-plot: wrote c.png\n" + png_magic, "", 0, {"c.png"},
         "", "", 0, "", true, "", has_gnuplot},
    Case{"no_common_size", "exec " + plot + "\"$TESTS\"/data/hand-a1.txt \"$TESTS\"/data/raw-series.txt", "",
         "dorvik-plot: the inputs have no file size in common\n", 1, {}, "", "", 0, "", true, "", has_gnuplot},
    Case{"output_folder_missing", "exec " + plot + "-o nowhere/c.png \"$TESTS\"/data/long-series.txt", "",
         "dorvik-plot: cannot write nowhere/c.png: no folder nowhere\n", 1, {}, "", "", 0, "", true, "",
         has_gnuplot},
    Case{"fio_fails", "mkdir bin && printf '#!/bin/sh\\nexit 1\\n' > bin/fio && chmod +x bin/fio && "
         "PATH=$PWD/bin:$PATH exec \"$SOURCE\"/scripts/compare-with-fio . 1 1 4096", "{?}{*}\n{?}{*}\n",
         "compare-with-fio: fio write failed: \n", 1, {"bin/", "bin/fio"}, "", "", 0, "", true},
    Case{"fio_folder_missing", "exec \"$SOURCE\"/scripts/compare-with-fio nowhere", "",
         "compare-with-fio: no folder nowhere\n", 1, {}, "", "", 0, "", true},
    Case{"single_test_has_no_table", "exec " + plot + "\"$TESTS\"/data/single-test.txt", "",
         "dorvik-plot: no series table in {*}/single-test.txt\n", 1, {}, "", "", 0, "", true, "", has_gnuplot},
    Case{"compare_with_fio", "exec \"$SOURCE\"/scripts/compare-with-fio . 2 1 4096 16384",
         "| record length | dorvik write | fio write | dorvik read | fio read |\n|---|---|---|---|---|\n"
         "| 4096 | {N} | {N} | {N} | {N} |\n| 16384 | {N} | {N} | {N} | {N} |\n", "", 0, {}, "", "", 0, "", true, "",
         "command -v fio"},
    Case{"clients_need_a_file_per_host", "exec \"$SOURCE\"/tools/dorvik-clients -w '127.0.0.[2-5]' -- auto=/tmp/x",
         "", "dorvik-clients: the test file's name must hold %h, so that every client writes a file of its own "
         "(clients sharing one file truncate each other's data): e.g. auto=/mnt/nfs/dorvik.%h\n", 2, {}, "", "", 0,
         "", true},
    Case{"clients_default_name_refused", "exec \"$SOURCE\"/tools/dorvik-clients -w 127.0.0.2 -- 100 8192", "",
         "dorvik-clients: the test file's name must hold %h, so that every client writes a file of its own "
         "(clients sharing one file truncate each other's data): e.g. auto=/mnt/nfs/dorvik.%h\n", 2, {}, "", "", 0,
         "", true},
    // The README's first command: its arguments go to dorvik unchanged; without
    // any, the series on a file of its own in the working folder, here
    // interrupted in its first test.
    Case{"run_script_passes_its_arguments", "exec \"$SOURCE\"/scripts/run 1 512 f 2>/dev/null",
         full_test("1", "2048", "512", "f"), "", 0, {}, "", "", 0, "", true},
    Case{"run_script_runs_the_series_here", "exec \"$SOURCE\"/scripts/run 2>/dev/null", banner + series_heading("") +
         "{?}\t6       4096    {R}\n\ndorvik: interrupted\n\ndeleting file: dorvik-test.{N}\nexiting dorvik\n\n",
         "", 0, {}, "", "", SIGINT, "bytes/sec read", true},
    Case{"versions", "for tool in report plot clients; do \"$SOURCE\"/tools/dorvik-$tool --version; done",
         "dorvik-report " PROJECT_VERSION "\ndorvik-plot " PROJECT_VERSION "\ndorvik-clients " PROJECT_VERSION "\n",
         "", 0, {}, "", "", 0, "", true},
    Case{"help_and_synopsis_name_every_option", options_agree, "dorvik-report\ndorvik-plot\ndorvik-clients\n%h in\n",
         "", 0, {"help", "page"}, "", "", 0, "", true},
    Case{"clients_one_host", on_stand_ins("pdsh", "-w h1 -o out -- 1 65536 \"$PWD\"/t.%h") + " | head -n 1",
         "dorvik-clients: 1 host, first start {*} UTC, outputs in out\n", "", 0, stand_in_run({"h1"}), stand_ins, "",
         0, "", true},
    Case{"missing_input", "exec " + plot + "nothing.txt", "", "dorvik-plot: nothing.txt: No such file or directory\n", 1, {},
         "", "", 0, "", true, "", has_gnuplot},
    Case{"title_cannot_run_commands", plot + "-o c.png -t \"$(printf 'x\\nsystem \"touch MARK\"\\n#')\" \"$TESTS\"/data/"
         "series.txt", "dorvik-plot: wrote c.png\n", "", 0, {"c.png"}, "", "", 0, "", true, "", has_gnuplot},
    // The data handed to gnuplot: each input's write and read rates at the largest common size, 36 MB.
    Case{"chart_data_compared", gnuplot_stand_in + plot + "-o c.png -t run_1 -t \"it's\" \"$TESTS\"/data/series.txt \"$TESTS\"/data/"
         "long-series.txt && sed -n '/^set term/p;/^\\$data/,/^EOD/p;/title/p' script.gp", "dorvik-plot: wrote c.png\n"
         "set terminal pngcairo size 1200,500 noenhanced font 'sans,10'\n$data << EOD\n4096 288.492 1356.099\n"
         "8192 313.352 1455.687\n16384 516.705 786.877\n32768 392.536 685.984\n\n\n4096 1283.591 2275.380\n"
         "8192 2256.967 3773.736\n16384 3457.546 5603.001\n32768 4872.226 6531.251\n65536 6084.080 8736.664\n"
         "131072 7049.078 7093.217\nEOD\nset multiplot layout 1,2 title 'dorvik series compared at 36 MB'\n"
         "set title 'write'\nplot $data index 0 using 1:2 with linespoints lw 2 lt 1 title 'run_1', $data index 1 using "
         "1:2 with linespoints lw 2 lt 2 title 'it''s'\nset key outside right top title 'run'\nset title 'read'\nplot "
         "$data index 0 using 1:3 with linespoints lw 2 lt 1 title 'run_1', $data index 1 using 1:3 with linespoints lw "
         "2 lt 2 title 'it''s'\n", "", 0, gnuplot_files, "", "", 0, "", true},
    Case{"interrupted_chart_is_partial", gnuplot_stand_in + "cp \"$TESTS\"/data/interrupted.txt .run.txt && " + plot + "-o c.pdf "
         ".run.txt && " + plot + ".run.txt && grep -E '^set (term|multiplot)' script.gp", "dorvik-plot: wrote c.pdf\n"
         "dorvik-plot: wrote run.png\nset terminal pngcairo size 1200,500 noenhanced font 'sans,10'\nset multiplot "
         "layout 1,2 title 'dorvik series on a file (partial: dorvik: interrupted)'\n", "", 0,
         {"bin/", "bin/gnuplot", "script.gp", ".run.txt"}, "", "", 0, "", true},
    Case{"pdf_chart", plot + "-o c.pdf \"$TESTS\"/data/series.txt && od -An -c -N4 c.pdf", "dorvik-plot: wrote c.pdf\n"
         "   %   P   D   F\n", "", 0, {"c.pdf"}, "", "", 0, "", true, "", has_gnuplot},
    Case{"plot_refusals", "for options in '-o c.jpg' '-t a' '-t a -t b -t c'; do " + plot + "$options \"$TESTS\"/data/"
         "series.txt \"$TESTS\"/data/long-series.txt; echo $?; done", "1\n1\n1\n", "dorvik-plot: c.jpg: the chart's name "
         "must end in .png, .svg or .pdf\ndorvik-plot: 1 titles (-t) for 2 inputs: give one per input, or none\n"
         "dorvik-plot: 3 titles (-t) for 2 inputs: give one per input, or none\n", 0, {}, "", "", 0, "", true},
    // Removing the package removes all it installed: the tools, run as root, write no byte-code beside it.
    // PYTHONDONTWRITEBYTECODE, where it is set, would hide byte-code that the tools write on a user's machine.
    Case{"installed_tools_write_no_byte_code", gnuplot_stand_in + "unset PYTHONDONTWRITEBYTECODE && DESTDIR=\"$PWD/root\" cmake --install \"$BUILD\" --prefix "
         "/opt/dorvik >/dev/null && root/opt/dorvik/bin/dorvik-report --median \"$TESTS\"/data/hand-a1.txt >/dev/null && "
         "root/opt/dorvik/bin/dorvik-plot -o c.png \"$TESTS\"/data/series.txt && root/opt/dorvik/bin/dorvik-clients -h "
         ">/dev/null", "dorvik-plot: wrote c.png\n", "", 0, with_gnuplot(installed("root/opt/dorvik/")), "", "", 0, "",
         true}), case_name);

// dorvik-report run in the folder of the recorded outputs, its output and status held
// against a file in expected/ that was checked by hand.
Case report(const std::string &name, const std::string &arguments, const std::string &expected)
{
    return Case{name, "cd \"$TESTS\"/data && { \"$SOURCE\"/tools/dorvik-report " + arguments +
                "; echo \"status $?\"; } | diff - expected/" + expected + " && echo same", "same\n", "", 0, {}, "", "",
                0, "", true};
}

// A report that fails: its message and status (2: bad usage or input; 3: runs that cannot be compared).
Case report_error(const std::string &name, const std::string &arguments, const std::string &message, int status = 2)
{
    return Case{name, "cd \"$TESTS\"/data && exec \"$SOURCE\"/tools/dorvik-report " + arguments, "",
                "dorvik-report: " + message + "\n", status, {}, "", "", 0, "", true};
}

const std::string baseline = "--baseline hand-a1.txt --baseline hand-a2.txt --baseline hand-a3.txt ";

INSTANTIATE_TEST_SUITE_P(Report, Arguments, testing::Values(
    report("series_with_advice", "series-with-advice.txt", "series-with-advice.csv"),
    report("cdrom_series", "cdrom-series.txt", "cdrom-series.csv"),
    report("raw_series", "raw-series.txt", "raw-series.csv"),
    report("long_series", "long-series.txt", "long-series.csv"),
    report("single_test", "single-test.txt", "single-test.csv"),
    report("failed_single_test", "failed-single.txt", "failed-single.csv"),
    report("interrupted_single_test", "- < interrupted-single.txt", "interrupted-single.csv"),
    report("interrupted_series", "interrupted.txt", "interrupted.csv"),
    report("closed_pipe", "closed-pipe.txt", "closed-pipe.csv"),
    report("failed_series", "failed-series.txt", "failed-series.csv"),
    report("single_test_json", "--format json single-test.txt", "single-test.json"),
    report("failed_series_json", "--format json failed-series.txt", "failed-series.json"),
    report("markdown", "--format markdown interrupted.txt", "interrupted.md"),
    report("median", "--median hand-a1.txt hand-a2.txt hand-a3.txt", "median.csv"),
    report("baseline_at_threshold", baseline + "hand-b1.txt", "baseline.csv"),
    report("baseline_past_threshold", baseline + "--threshold 9.99 --format markdown hand-b1.txt", "worse.md"),
    report("one_byte_too_slow", "--baseline hand-a1.txt hand-b2.txt", "one-byte-too-slow.csv"),
    report_error("garbage", "garbage.txt", "garbage.txt:1: not dorvik output: 'hello'"),
    report_error("empty", "empty.txt", "empty.txt: no dorvik output"),
    report_error("missing_file", "nothing.txt", "nothing.txt: No such file or directory"),
    report_error("grids_differ", "--median series.txt failed-series.txt", "the runs differ in their grids: "
                 "failed-series.txt (run 1) lacks file 20 MB x 4096, file 20 MB x 8192, file 20 MB x 16384, file 20 MB x 32768, "
                 "file 36 MB x 4096, file 36 MB x 8192 and 2 more"),
    report_error("baseline_grid_differs", "--baseline hand-a1.txt cdrom-series.txt", "cannot compare: the sides "
                 "differ in their points: only old: file 6 MB x 4096, file 6 MB x 8192; only new: cdrom 1 MB x 4096, "
                 "cdrom 1 MB x 8192, cdrom 1 MB x 16384, cdrom 1 MB x 32768, cdrom 2 MB x 4096, cdrom 2 MB x 8192 and "
                 "14 more", 3),
    report("median_not_mean", "--median hand-a1.txt hand-a2.txt hand-m1.txt", "median-not-mean.csv"),
    report("exactly_ten_percent_is_the_same", "--baseline hand-a1.txt hand-b3.txt", "exactly-ten-percent.csv"),
    report("overlapping_runs_are_noise", "compare hand-a?.txt -- hand-c?.txt", "noise.csv"),
    report("every_new_run_below_is_worse", "compare hand-c?.txt -- hand-a?.txt", "significant-worse.csv"),
    report("two_runs_a_side_noise_not_measured", "compare hand-a1.txt hand-a2.txt -- hand-c1.txt hand-c2.txt",
           "noise-not-measured.csv"),
    report("clock_reasons_in_the_lines", "clock-fails.txt", "clock-fails.csv"),
    Case{"glob_after_baseline", "cd \"$TESTS\"/data && exec \"$SOURCE\"/tools/dorvik-report --baseline hand-a?.txt "
         "hand-b1.txt", "", "usage: {*}\n{*}\ndorvik-report: error: one --baseline with 3 new files (hand-a2.txt ...): "
         "for several old runs use: dorvik-report compare OLD... -- NEW...\n", 2, {}, "", "", 0, "", true},
    report_error("new_run_interrupted", "compare hand-a?.txt -- hand-b1.txt interrupted.txt", "cannot compare: a run "
                 "failed or is incomplete: interrupted.txt (run 1): dorvik: interrupted", 3),
    report_error("old_run_failed", "compare failed-series.txt -- series.txt", "cannot compare: a run failed or is "
                 "incomplete: failed-series.txt (run 1): Error writing block 4096; the sides differ in their points: "
                 "only old: none; only new: file 20 MB x 4096, file 20 MB x 8192, file 20 MB x 16384, file 20 MB x "
                 "32768, file 36 MB x 4096, file 36 MB x 8192 and 2 more", 3),
    report_error("missing_point", "compare hand-a1.txt -- - < long-series.txt", "cannot compare: the sides differ in "
                 "their points: only old: none; only new: file 6 MB x 16384, file 6 MB x 32768, file 6 MB x 65536, "
                 "file 6 MB x 131072, file 8 MB x 4096, file 8 MB x 8192 and 46 more", 3)), case_name);

// A script run in the folder of the recorded outputs, with R for dorvik-report and P for dorvik-plot.
Case in_data(const std::string &name, const std::string &script, const std::string &out, const std::string &err = "",
             int status = 0)
{
    return Case{name, "T=$PWD && cd \"$TESTS\"/data && R=\"$SOURCE\"/tools/dorvik-report && P=\"$SOURCE\"/tools/dorvik-plot && " +
                script, out, err, status, {}, "", "", 0, "", true};
}

const std::string a1_rows = "-,file,6,4096,100000000,200000000,95.367,190.735,ok,\n-,file,6,8192,300000000,"
                            "400000000,286.102,381.470,ok,\n";
// dorvik-clients folders damaged in turn: the status and the first word of each message.
const std::string damaged_folders = "mkdir -p \"$T\"/out && for doc in '' '[]' '{}' '{\"hosts\": 3}' "
    "'{\"hosts\": [{\"host\": \"../x\"}]}' '{\"hosts\": [{\"host\": \"a\"}]}' "
    "'{\"hosts\": [{\"host\": \"a\", \"reason\": null, \"start\": 1}]}'; do printf %s \"$doc\" > \"$T\"/out/clients.json; "
    "for tool in \"$R --median\" \"$R\" $P; do m=$($tool \"$T\"/out 2>&1 >/dev/null); echo \"$? ${m%%:*}\"; done; done; "
    "rm -r \"$T\"/out";

INSTANTIATE_TEST_SUITE_P(ReportInput, Arguments, testing::Values(
    // The row of 6 MB x 32768 is cut inside its write rate.
    in_data("cut_last_line_is_incomplete", "head -c 400 series.txt | $R | cut -d, -f3-", "size_mb,record_length,"
            "write_bytes_per_s,read_bytes_per_s,write_mb_per_s,read_mb_per_s,status,reason\n6,4096,117525630,424751058,"
            "112.081,405.074,ok,\n6,8192,552332595,252589273,526.745,240.888,ok,\n6,16384,583306786,252224605,556.285,"
            "240.540,ok,\n,,,,,,incomplete,line 11 is cut short: the output ends inside it\n"),
    in_data("crlf_same_on_standard_input", "sed 's/$/\\r/' series.txt > \"$T\"/crlf && $R < \"$T\"/crlf > \"$T\"/a && "
            "$R \"$T\"/crlf | sed \"s|$T/crlf|-|\" | diff - \"$T\"/a && $R series.txt | sed 's/^series.txt/-/' | "
            "diff - \"$T\"/a && echo same; rm \"$T\"/crlf \"$T\"/a", "same\n"),
    in_data("notes_kept_aside", "{ echo '# kernel 6.1, ext4 data=ordered'; cat hand-a1.txt; echo '#'; } | "
            "$R --format json | grep -A2 notes && { echo '# note'; cat hand-a1.txt; } | $R | tail -n +2",
            "      \"notes\": [\"# kernel 6.1, ext4 data=ordered\", \"#\"]\n    }\n  ]\n" + a1_rows),
    in_data("bytes_not_utf8_any_locale", "export PYTHONUTF8=0 PYTHONCOERCECLOCALE=0 LC_ALL=C; f=\"$T/$(printf '\\376')."
            "txt\" && sed \"s/auto-test mode $/auto-test mode raw device $(printf '\\377')/\" hand-a1.txt > \"$f\" && $R \"$f\" | "
            "tail -1 | sed \"s|$T/||\" && $R --format json < \"$f\" | grep device; rm \"$f\"; $R \"$T/$(printf '\\376\\nx')\"",
            "\xfe.txt,raw,6,8192,300000000,400000000,286.102,381.470,ok,\n      \"device\": \"\\udcff\",\n",
            "dorvik-report: {*}/\xfe\nx: No such file or directory\n", 2),
    in_data("csv_cells_are_never_formulas", "for name in =1+2 +x -x @x \"$(printf '\\tx')\" \"$(printf '\\rx')\"; do "
            "cp hand-a1.txt \"$T/$name\"; (cd \"$T\" && $R -- \"$name\" && rm -- \"$name\") | sed -n 2p | cut -d, -f1-3; done",
            "'=1+2,file,6\n'+x,file,6\n'-x,file,6\n'@x,file,6\n'\tx,file,6\n\"'\rx\",file,6\n"),
    in_data("markdown_rows_hold", "f=\"$(printf 'a|b\\nc\\\\')\" && cp hand-a1.txt \"$T/$f\" && (cd \"$T\" && $R --format "
            "markdown \"$f\" | sed -n 3p | cut -d' ' -f1-4; rm \"$f\")", "| a\\|b\\nc\\\\ | file\n"),
    in_data("bad_thresholds_refused", "for t in -1 -0.5 inf nan 1/0 x; do $R --threshold $t hand-a1.txt 2>&1 | tail -1; "
            "done", "dorvik-report: error: argument --threshold: a threshold is not negative: '-1'\n"
            "dorvik-report: error: argument --threshold: a threshold is not negative: '-0.5'\n"
            "dorvik-report: error: argument --threshold: not a number of percent: 'inf'\n"
            "dorvik-report: error: argument --threshold: not a number of percent: 'nan'\n"
            "dorvik-report: error: argument --threshold: not a number of percent: '1/0'\n"
            "dorvik-report: error: argument --threshold: not a number of percent: 'x'\n"),
    in_data("output_cannot_be_written", "$R hand-a1.txt > /dev/full; echo $?; $R hand-a1.txt >&-; echo $?", "2\n2\n",
            "dorvik-report: cannot write the report: No space left on device\n"
            "dorvik-report: cannot write the report: standard output is closed\n"),
    // Four hosts on one throttled device: all bytes over each phase's span (the report's
    // "all bytes / span" row), not each host as a repeated run.
    // A host whose phases cannot be timed: no window in which every client is known to be active.
    in_data("clients_window_needs_every_host", "cp -r clients-throttled \"$T\"/f && python3 -c 'import json, sys; "
            "d = json.load(open(sys.argv[1])); d[\"hosts\"][1][\"tests\"][0][\"chunks\"] = []; "
            "json.dump(d, open(sys.argv[1], \"w\"))' \"$T\"/f/clients.json && $R \"$T\"/f | grep -a '^while all' | "
            "cut -d, -f1,8,9 && rm -r \"$T\"/f", "while all were active,,\n"),
    in_data("clients_folder_reduced_on_aggregates", "$R --median clients-throttled | cut -d, -f1-5,9 && $R compare "
            "clients-throttled -- clients-throttled | cut -d, -f1-10 | tail -1", "mode,size_mb,record_length,runs,"
            "write_median_mb_per_s,read_median_mb_per_s\nclients,28,65536,1,105.758,49.884\nclients,28,65536,1,1,"
            "105.758,105.758,1.000,\"same, noise not measured\"\n"),
    in_data("damaged_clients_folders", damaged_folders, [] {
        std::string lines;
        for (int doc = 0; doc < 7; ++doc)
            lines += "2 dorvik-report\n2 dorvik-report\n1 dorvik-plot\n";
        return lines;
    }())), case_name);

const std::vector<std::string> installed_files = {
    "bin/", "bin/dorvik", "bin/dorvik-clients", "bin/dorvik-plot", "bin/dorvik-report", "bin/dorvik_long", "share/",
    "share/doc/", "share/doc/dorvik/", "share/doc/dorvik/README.md.gz", "share/doc/dorvik/changelog.gz", "share/doc/dorvik/copyright",
    "share/dorvik/", "share/dorvik/dorvik_tools/", "share/dorvik/dorvik_tools/__init__.py",
    "share/dorvik/dorvik_tools/charts.py", "share/dorvik/dorvik_tools/client.py",
    "share/dorvik/dorvik_tools/clients.py",
    "share/dorvik/dorvik_tools/controller.py", "share/dorvik/dorvik_tools/reader.py",
    "share/dorvik/dorvik_tools/report.py", "share/man/", "share/man/man1/",
    "share/man/man1/dorvik-clients.1.gz", "share/man/man1/dorvik-plot.1.gz", "share/man/man1/dorvik-report.1.gz",
    "share/man/man1/dorvik.1.gz", "share/man/man1/dorvik_long.1.gz"};

// The installed files under prefix, as the case's folder lists them.
std::vector<std::string> installed(const std::string &prefix)
{
    std::vector<std::string> paths = {"root/", "root/opt/", "root/opt/dorvik/"};
    for (const std::string &file : installed_files)
        paths.push_back(prefix + file);
    return paths;
}

// The package's files as rpm -qlp lists them: the files, and the folders of its own.
const std::string rpm_listing =
    "/usr/bin/dorvik\n/usr/bin/dorvik-clients\n/usr/bin/dorvik-plot\n/usr/bin/dorvik-report\n/usr/bin/dorvik_long\n"
    "/usr/share/doc/dorvik\n/usr/share/doc/dorvik/README.md.gz\n/usr/share/doc/dorvik/changelog.gz\n/usr/share/doc/dorvik/copyright\n/usr/share/dorvik\n"
    "/usr/share/dorvik/dorvik_tools\n/usr/share/dorvik/dorvik_tools/__init__.py\n"
    "/usr/share/dorvik/dorvik_tools/charts.py\n/usr/share/dorvik/dorvik_tools/client.py\n"
    "/usr/share/dorvik/dorvik_tools/clients.py\n"
    "/usr/share/dorvik/dorvik_tools/controller.py\n/usr/share/dorvik/dorvik_tools/reader.py\n"
    "/usr/share/dorvik/dorvik_tools/report.py\n"
    "/usr/share/man/man1/dorvik-clients.1.gz\n/usr/share/man/man1/dorvik-plot.1.gz\n"
    "/usr/share/man/man1/dorvik-report.1.gz\n/usr/share/man/man1/dorvik.1.gz\n/usr/share/man/man1/dorvik_long.1.gz\n";

// The same as dpkg-deb -c lists them: every folder too.
std::string deb_listing()
{
    std::string listing = "./usr/\n";
    for (const std::string &file : installed_files)
        listing += "./usr/" + file + "\n";
    return listing;
}

// Every page in man/, by name, and whatever groff finds wrong in it (nothing).
const std::string manual_pages = "LC_ALL=C; for page in \"$SOURCE\"/man/*.1; do basename \"$page\"; "
                                 "groff -man -ww -z \"$page\" 2>&1; done";
const std::string page_names = "dorvik-clients.1\ndorvik-plot.1\ndorvik-report.1\ndorvik.1\ndorvik_long.1\n";
const std::string make_package = "cpack -G \"DEB;RPM\" -B \"$PWD/pkg\" --config \"$BUILD/CPackConfig.cmake\" >/dev/null 2>&1 && ";
// The .deb installed by dpkg into a root of its own, every tool used (by
// Python as users run it, free to write byte-code), then purged: what is left
// of the root besides dpkg's own folder.
const std::string dpkg_root = "dpkg --root=\"$PWD/root\" --force-not-root --force-depends ";
const std::string install_use_purge = "unset PYTHONDONTWRITEBYTECODE && " + make_package + "mkdir -p root/var/lib/dpkg/info root/var/lib/dpkg/updates && "
    "touch root/var/lib/dpkg/status && " + dpkg_root + "-i pkg/dorvik_*.deb >/dev/null 2>&1 && cd root/usr/bin && "
    "./dorvik-report \"$TESTS\"/data/hand-a1.txt >/dev/null && ./dorvik-plot -o ../../../chart.svg \"$TESTS\"/data/series.txt && "
    "./dorvik-clients --version && ./dorvik help >/dev/null && cd ../../.. && " + dpkg_root + "--purge dorvik >/dev/null && "
    "ls root && rm -r pkg root chart.svg";

INSTANTIATE_TEST_SUITE_P(Install, Arguments, testing::Values(
    Case{"into_scratch_root", "DESTDIR=\"$PWD/root\" cmake --install \"$BUILD\" --prefix /opt/dorvik >/dev/null && "
         "exec root/opt/dorvik/bin/dorvik help", help_text, "", 0, installed("root/opt/dorvik/"), "", "", 0, "", true},
    Case{"installed_report_finds_its_reader", "DESTDIR=\"$PWD/root\" cmake --install \"$BUILD\" --prefix /opt/dorvik "
         ">/dev/null && cd / && exec \"$OLDPWD\"/root/opt/dorvik/bin/dorvik-report \"$TESTS\"/data/hand-a1.txt",
         "source,mode,size_mb,record_length,write_bytes_per_s,read_bytes_per_s,write_mb_per_s,read_mb_per_s,status,"
         "reason\n{*}/hand-a1.txt,file,6,4096,100000000,200000000,95.367,190.735,ok,\n"
         "{*}/hand-a1.txt,file,6,8192,300000000,400000000,286.102,381.470,ok,\n", "", 0,
         installed("root/opt/dorvik/"), "", "", 0, "", true},
    Case{"purge_after_use_leaves_nothing", install_use_purge, "dorvik-plot: wrote ../../../chart.svg\ndorvik-clients "
         PROJECT_VERSION "\nvar\n", "", 0, {}, "", "", 0, "", true, "", "command -v dpkg-shlibdeps && command -v gnuplot"},
    Case{"manual_pages_without_warnings", manual_pages, page_names, "", 0, {}, "", "", 0, "", true, "", "command -v groff"},
    // A sanitizer build adds its runtimes to Depends. Lintian finds nothing
    // beyond its informational level; no field or document names example.org.
    Case{"debian_package", make_package + "dpkg-deb -c pkg/dorvik_*.deb | awk '{ print $6 }' && "
         "dpkg-deb -f pkg/dorvik_*.deb Package Section Priority Maintainer Depends Recommends Homepage && "
         "TMPDIR=\"$PWD/pkg\" lintian --pedantic -E pkg/dorvik_*.deb 2>/dev/null && dpkg-deb -x pkg/dorvik_*.deb x && "
         "{ dpkg-deb -f pkg/dorvik_*.deb; zcat x/usr/share/doc/dorvik/*.gz; cat x/usr/share/doc/dorvik/copyright; } | "
         "grep -c example.org; rm -r pkg x", deb_listing() +
         "Package: dorvik\nSection: utils\nPriority: optional\nMaintainer: dorvik developers <dorvik@dorvik.invalid>\n"
         "Depends: python3, {*}libblkid1 (>= {*}), {*}libc6 (>= {*})\nRecommends: gnuplot-nox | gnuplot, pdsh, clustershell\n0\n", "", 0, {},
         "", "", 0, "", true, "", "command -v dpkg-shlibdeps && command -v lintian"},
    Case{"rpm_package", make_package + "rpm -qlp pkg/dorvik-*.rpm && r=$(rpm -qp --requires pkg/dorvik-*.rpm) && "
         "echo \"$r\" | grep -x python3 && echo \"$r\" | grep -xF 'libblkid.so.1()(64bit)' && rpm -qp --qf '%{SUMMARY}\\n%{LICENSE}\\n%{URL}\\n%{DESCRIPTION}\\n' pkg/dorvik-*.rpm | "
         "head -4 && rpm -qip pkg/dorvik-*.rpm | grep -c example.org; rm -r pkg", rpm_listing + "python3\nlibblkid.so.1()(64bit)\n"
         "benchmark of sequential file I/O for disks, NFS and SAN\nMIT\n(none)\n"
         "dorvik writes a file as a run of equal records, forces it to stable storage\n0\n", "", 0, {}, "", "", 0, "",
         true, "", "command -v rpmbuild"}), case_name);

// Under memcheck: no error, nothing definitely lost, the buffer released
// across the re-entries of a series. Sanitizer builds cannot run under it.
const std::string memcheck = "exec valgrind -q --error-exitcode=99 --leak-check=full "
                             "--errors-for-leak-kinds=definite \"$DORVIK\" ";
const std::string has_valgrind = "command -v valgrind && ! ldd \"$DORVIK\" | grep -q libasan";

INSTANTIATE_TEST_SUITE_P(SlowMemcheck, Arguments, testing::Values(
    Case{"single_test", memcheck + "2 4096 f", full_test("2", "512", "4096", "f"), "", 0, {}, "", "", 0, "", true,
         "", has_valgrind},
    Case{"help", memcheck + "help", help_text, "", 0, {}, "", "", 0, "", true, "", has_valgrind},
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
// The best write and read of three runs on the throttled device, held to 15% and 10% of its 50 MiB/s.
const std::string on_known_device = "for run in 1 2 3; do " + rig + "run \"$DORVIK\" 64 131072 m/f; done > runs.txt && "
    "\"$SOURCE\"/tools/dorvik-report runs.txt | awk -F, 'NR > 1 { if ($7 > w) w = $7; if ($8 > r) r = $8 } END {"
    " printf \"write %s within 15%%: %s\\nread %s within 10%%: %s\\n\", w, (w > 42.5 && w < 57.5) ? \"yes\" : \"no\","
    " r, (r > 45 && r < 55) ? \"yes\" : \"no\" }' && rm runs.txt";

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

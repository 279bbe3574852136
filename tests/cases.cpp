// The end-to-end cases: each row runs a program once in a folder of its own.
#include "driver.hpp"

#include <gtest/gtest.h>

#include <csignal>

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
const std::string not_regular = "dorvik: Not a regular file; raw= and cdrom= are for devices\n";

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
    Case{"zero_record_length", "10 0 f", refused("Error: Minimum record length is 16 bytes\n"), "", 1, {}},
    Case{"largest_record", "10 131073 f", full_test("10", "79", "131073", "f"), "", 0, {}},
    Case{"record_too_long", "10 131074 f", refused("Error: Maximum record length is 131073 bytes\n"), "", 1, {}},
    Case{"negative_record_length", "10 -512 f", refused("Error: Maximum record length is 131073 bytes\n"), "", 1, {}},
    Case{"record_past_32_bits", "1 4294967312 f", refused("Error: Maximum record length is 131073 bytes\n"), "", 1, {}},
    Case{"record_too_short", "10 15 f", refused("Error: Minimum record length is 16 bytes\n"), "", 1, {}},
    Case{"shortest_record", "1 16 f", full_test("1", "65536", "16", "f"), "", 0, {}},
    Case{"record_not_dividing_size", "1 1000 f", full_test("1", "1048", "1000", "f"), "", 0, {}},
    Case{"size_zero", "0 512 f", full_test("0", "0", "512", "f"), "", 0, {}},
    Case{"negative_size_with_name", "-5 512 f", refused("Error: Minimum file size is 0 megabytes\n"), "", 1, {}},
    Case{"negative_size_two_arguments", "-5 f", refused("Error: Minimum file size is 0 megabytes\n"), "", 1, {}},
    Case{"size_below_32_bits", "-99999999999 512 f", refused("Error: Minimum file size is 0 megabytes\n"), "", 1, {}},
    Case{"five_arguments", "1 512 keep x y", refused("dorvik: bad usage\n" + usage + "\n"), "", 1, {"keep"},
         "echo data > keep"},
    Case{"folder_missing", "1 512 nowhere/f", up_to_writing("1", "2048", "512", "nowhere/f") +
         "Cannot create temporary file: nowhere/f\n", "", 1, {}},
    Case{"name_too_long", "1 512 " + long_name, refused("Error: Maximum file name length is 4095 bytes\n"), "", 1, {}},
    Case{"longest_name", "1 512 " + longest_name, up_to_writing("1", "2048", "512", longest_name) +
         "Cannot create temporary file: " + longest_name + "\n", "", 1, {}}), case_name);

INSTANTIATE_TEST_SUITE_P(Target, Arguments, testing::Values(
    Case{"existing_file_is_replaced", "1 4096 f", full_test("1", "256", "4096", "f"), "", 0, {}, "echo old > f"},
    Case{"device_refused", "1 512 zero", up_to_writing("1", "2048", "512", "zero") +
         "Cannot create temporary file: zero\n", not_regular, 1, {"zero%", "null%", "full%"}, make_nodes},
    Case{"fifo_refused", "1 512 fifo", up_to_writing("1", "2048", "512", "fifo") +
         "Cannot create temporary file: fifo\n", not_regular, 1, {"fifo|"}, "mkfifo fifo"},
    Case{"folder_refused", "dir", up_to_writing("1", "2048", "512", "dir") +
         "Cannot create temporary file: dir\n", "dorvik: Is a directory\n", 1, {"dir/", "dir/keep"},
         "mkdir dir && touch dir/keep"},
    Case{"link_to_device_refused", "1 512 link", up_to_writing("1", "2048", "512", "link") +
         "Cannot create temporary file: link\n", not_regular, 1, {"link@", "zero%", "null%", "full%"},
         make_nodes + " && ln -s zero link"},
    Case{"failed_sync", "1 512 f", up_to_writing("1", "2048", "512", "f") + "Error syncing file: f\n",
         "dorvik: Input/output error\n", 1, {}, "", "fsync=5"},
    Case{"failed_sync_no_space", "1 512 f", up_to_writing("1", "2048", "512", "f") + "Error syncing file: f\n",
         "dorvik: No space left on device\n", 1, {}, "", "fsync=28"},
    Case{"sync_not_supported", "1 512 f", full_test("1", "2048", "512", "f"), "", 0, {}, "", "fsync=22"}), case_name);

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
         "Reading the file..."}), case_name);

} // namespace

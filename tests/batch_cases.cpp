// The cases of one machine without ssh and of a batch job's life: dorvik's --help and --version,
// dorvik-clients -e local, its progress off a terminal, its statuses, its help texts and messages, and the
// loopback rig of scripts/loopback-clients.
#include "cases.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <vector>

namespace {

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

} // namespace

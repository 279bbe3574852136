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
         "63 aggregate rows 23 with bytes per second\n", "", 0, {}, "", "", 0, "", true}),
    case_name);

} // namespace

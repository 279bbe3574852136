// A table-driven driver that runs the built programs end to end, each case
// in a temporary folder of its own, and compares what they leave behind.
#ifndef DORVIK_TESTS_DRIVER_HPP
#define DORVIK_TESTS_DRIVER_HPP

#include <ostream>
#include <string>
#include <vector>

// One end-to-end case: how to run the program and what must come of it.
struct Case {
    std::string name;            // the case's name in the test report
    std::string command;         // shell words after "exec $DORVIK", or a whole script if shell
    std::string out;             // expected standard output, with the masks of expand_masks;
                                 // lines that begin with {?} may be left out together
    std::string err;             // expected standard error, masked the same way
    int status = 0;              // expected exit status; 128 + N when signal N ends the program
    std::vector<std::string> files; // every path left in the folder; folders end in '/',
                                 // devices in '%', FIFOs in '|', links in '@'
    std::string setup = "";      // shell run in the folder before the program
    std::string fault = "";      // DORVIK_FAULT for the preloaded fault library; empty: none
    int signal = 0;              // signal sent once the output holds wait_for
    std::string wait_for = "";   // output text, or "file:" and a path, that triggers signal
    bool shell = false;          // command is a whole script: no exec, any shell syntax
    std::string teardown = "";   // shell run in the folder afterwards, pass or fail
    std::string needs = "";      // shell test that must succeed, or the case is skipped
    std::string action = "";     // shell run in the folder once wait_for has appeared
};

// Names the case in the test report.
std::ostream &operator<<(std::ostream &out, const Case &c);

// Runs c and reports every difference through GoogleTest.
void run_case(const Case &c);

// The banner every run from the command line begins with.
extern const std::string banner;
// The usage text as the program prints it.
extern const std::string usage;
// The interactive report of one test of megabytes in records of record_length
// on name, with the timings masked; records is the count the program must compute.
std::string interactive_test(const std::string &megabytes, const std::string &records,
                             const std::string &record_length, const std::string &name);
// The Average statistics block, figures masked.
extern const std::string average_statistics;
// The advice that follows a test under ten seconds, figures masked; the
// figure checks hold it to the times printed, so its lines are optional here.
extern const std::string too_quick_advice;
// The heading and header of a series; device is "" for a file, else the heading's words.
std::string series_heading(const std::string &device);
// The rows of a series over sizes x record lengths, rates masked; written
// is the written column, as CD-ROM mode prints a plain 0 there.
std::string series_rows(const std::vector<int> &sizes, const std::vector<int> &record_lengths,
                        const std::string &written = "{R}");

#endif

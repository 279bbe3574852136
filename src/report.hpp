// What a test prints about itself: the description before it, the row or
// the Average statistics after it, and the advice.
#ifndef DORVIK_REPORT_HPP
#define DORVIK_REPORT_HPP

#include <cstdint>

// Prints the four lines that say what an interactive test will do, and the
// start of the writing line.
void describe_test(int megabytes, uint32_t record_length, uint64_t record_count);

// Adds a test to run_totals and prints its row in a series, or its Average
// statistics and any advice in an interactive test.
void report(int megabytes, uint32_t record_length, uint64_t bytes, double write_time, double read_time);

// Prints the advice that takes the place of the figures when the read phase
// took no time at all.
void advise_after_zero_read_time(int megabytes, uint32_t record_length);

// Prints the Average statistics block of run_totals.
void print_average_statistics();

#endif

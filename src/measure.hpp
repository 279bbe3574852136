// One sequential test and the clock that times its two phases.
#ifndef DORVIK_MEASURE_HPP
#define DORVIK_MEASURE_HPP

#include <cstdint>

// Writes file_name as record_count records of record_length bytes from
// record_buffer, syncs it, reads it back, reports, cleans up and releases
// record_buffer; every failure ends the process with status 1.
void run_sequential_test(int megabytes, uint32_t record_length, uint64_t record_count);

// Seconds since the clock's first reading in this process.
double elapsed_seconds();

#endif

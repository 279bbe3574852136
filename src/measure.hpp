// The sequential write-and-read test, its clock and the run totals, and the
// process-wide state that the command line and the test share.
#ifndef DORVIK_MEASURE_HPP
#define DORVIK_MEASURE_HPP

#include <csignal>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

// Largest record in bytes; also the size of every record buffer.
constexpr uint32_t MAX_RECLEN = 131073;
// Smallest record in bytes.
constexpr uint32_t MIN_RECLEN = 16;
// Bytes in file_name, its terminating NUL included.
constexpr unsigned FILE_NAME_SIZE = 4096;
// Bytes in a megabyte; every size on the command line counts in these.
constexpr uint64_t MEGABYTE = 1048576;

// Name of the test file or device.
extern char file_name[FILE_NAME_SIZE];
// Raised by the keywords: print table rows instead of the interactive report.
extern volatile sig_atomic_t auto_mode;
// Raised by raw and cdrom: the target is an existing device, never created or unlinked.
extern volatile sig_atomic_t raw_mode;
// Raised by cdrom: the target is only read; the write phase is skipped.
extern volatile sig_atomic_t cdrom_mode;
// The running test's buffer of MAX_RECLEN bytes for every write and read;
// null between tests. Held here so that a failure's exit leaves it reachable.
extern unsigned char *record_buffer;
// 1 while an ordinary test file that this process created exists under file_name.
extern volatile sig_atomic_t test_file_exists;
// The folder that holds the target, open for the length of a test and -1
// otherwise: the target is reached through it, so that a folder of the path
// renamed during the test cannot lead the run to another file.
extern volatile sig_atomic_t target_folder;
// The target's name within target_folder: the last part of file_name.
extern const char *target_name;
// Device and inode of the target as the test first opened it; what is read
// and deleted later must still be that file. Set with signals held.
extern dev_t target_device;
extern ino_t target_inode;

// The wall-clock instant at which the first timed span of the process
// begins, from DORVIK_START_AT; used while start_instant_pending.
extern struct timespec start_instant;
// Set while the first timed span is still to wait for start_instant.
extern bool start_instant_pending;
// Descriptor from DORVIK_START_FD that is told when the first timed span
// began; -1 when none was given.
extern int start_report_fd;

// Bytes moved and seconds spent by every test that completed in this process.
struct run_totals_t {
    uint64_t total_bytes;       // record count x record length, summed over the tests
    double total_write_seconds; // sum of the write phases
    double total_read_seconds;  // sum of the read phases
};
// The totals of this process, zero at start and never reset.
extern run_totals_t run_totals;

// Writes file_name as record_count records of record_length bytes from
// record_buffer, syncs it, reads it back, reports, cleans up and releases
// record_buffer; every failure ends the process with status 1.
void run_sequential_test(int megabytes, uint32_t record_length, uint64_t record_count);

// Seconds since the clock's first reading in this process.
double elapsed_seconds();

// Prints the Average statistics block of run_totals.
void print_average_statistics();

// Reads DORVIK_START_AT and DORVIK_START_FD, which dorvik-clients sets so
// that its clients' timed spans begin at one instant; a malformed value ends
// the run with status 1 before anything is created.
void read_start_instant();

// Waits, once per process, until the wall clock reaches start_instant and
// tells start_report_fd when that was; returns at once when nothing is pending.
void wait_for_start_instant();

// Unlinks the test file if this process created it and it is still there,
// which a raw or CD-ROM target never is; signals are held off so that the
// interrupt handler never sees half of it. Safe to call from a signal handler.
void remove_test_file();

// Ends the run because the target cannot be used: the open-failure message
// of the mode on standard output, "dorvik: " and reason on standard error,
// status 1.
[[noreturn]] void refuse_target(const char *reason);

#endif

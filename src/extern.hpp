// The process-wide state, as every part of the program sees it: the limits
// of a test and each variable, defined in the file of the part that owns it
// and declared here once. It includes no header of the program.
#ifndef DORVIK_EXTERN_HPP
#define DORVIK_EXTERN_HPP

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

// The command line's (dorvik.cpp).

// Raised by the keywords: print table rows instead of the interactive report.
extern volatile sig_atomic_t auto_mode;
// Raised by raw and cdrom: the target is an existing device, never created or unlinked.
extern volatile sig_atomic_t raw_mode;
// Raised by cdrom: the target is only read; the write phase is skipped.
extern volatile sig_atomic_t cdrom_mode;
// The running test's buffer of MAX_RECLEN bytes for every write and read;
// null between tests. Held here so that a failure's exit leaves it reachable.
extern unsigned char *record_buffer;
// Bytes that a raw series writes from the first byte of its target: its
// largest test. The signature probe looks through all of them first.
extern uint64_t raw_span;

// The target's (target.cpp).

// Name of the test file or device.
extern char file_name[FILE_NAME_SIZE];
// 1 while this process holds the lock on the ordinary test file under
// file_name, which makes the file its own to delete; a raw or CD-ROM target never.
extern volatile sig_atomic_t test_file_exists;
// The folder that holds the target, open for the length of a test and -1
// otherwise: the target is reached through it, so that a folder of the path
// renamed during the test cannot lead the run to another file.
extern volatile sig_atomic_t target_folder;
// The target's name within target_folder: the last part of file_name.
extern const char *target_name;
// Device of the target as the test first opened it; what is read and
// deleted later must still be that file. Set with signals held.
extern dev_t target_device;
// Inode of the target, set with target_device.
extern ino_t target_inode;

// The start instant's (start_instant.cpp).

// The wall-clock instant at which the first timed span of the process
// begins, from DORVIK_START_AT; used while start_instant_pending.
extern struct timespec start_instant;
// Set while the first timed span is still to wait for start_instant.
extern bool start_instant_pending;
// Descriptor from DORVIK_START_FD that is told when the first timed span
// began (and when the run is ready for each instant); -1 when none was given.
extern int start_report_fd;
// Descriptor from DORVIK_INSTANT_FD from which the instants are read, one a
// line; -1 when none was given.
extern int instant_source_fd;

// The report's (report.cpp).

// Bytes moved and seconds spent by every test that completed in this process.
struct run_totals_t {
    uint64_t total_bytes;       // record count x record length, summed over the tests
    double total_write_seconds; // sum of the write phases
    double total_read_seconds;  // sum of the read phases
};
// The totals of this process, zero at start and never reset.
extern run_totals_t run_totals;

#endif

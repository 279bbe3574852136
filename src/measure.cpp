// One sequential test: write the target as a run of equal records, force it
// to stable storage, read it back, and time both phases. Inside the timed
// spans nothing runs but the measured work.
#include "measure.hpp"

#include "extern.hpp"
#include "report.hpp"
#include "start_instant.hpp"
#include "target.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Reading of the monotonic clock that elapsed_seconds counts from.
struct timespec clock_baseline;
// Whether clock_baseline has been taken.
bool clock_baseline_taken;

bool read_clock(struct timespec *now)
{
    if (clock_gettime(CLOCK_MONOTONIC, now) == 0)
        return true;
    perror("clock_gettime");
    return false;
}

// The file is deleted before its descriptor is closed: closing it would
// give up the lock, and another run could take the file meanwhile.
[[noreturn]] void fail_after_write(int fd, int error)
{
    errno = error;
    perror("dorvik");
    remove_test_file();
    close(fd);
    exit(1);
}

[[noreturn]] void fail_write(int fd, uint64_t record, int error)
{
    printf("Error writing block %llu\n", static_cast<unsigned long long>(record));
    fail_after_write(fd, error);
}

// A write that moved only part of a record is continued; the record fails
// only when the system reports an error or takes no more bytes (reported as
// a full device), so that the message carries the system's reason.
void finish_record(int fd, const unsigned char *buffer, ssize_t done,
                   uint32_t record_length, uint64_t record)
{
    while (done >= 0 && static_cast<size_t>(done) < record_length) {
        ssize_t more = write(fd, buffer + done, record_length - static_cast<size_t>(done));
        if (more == 0)
            fail_write(fd, record, ENOSPC);
        done = more < 0 ? more : done + more;
    }
    if (done < 0)
        fail_write(fd, record, errno);
}

// A target that cannot be synchronised (a character device, a read-only
// mount) is not a failure; anything else means the data may not be stored.
void check_sync(int fd, int result, int error)
{
    if (result == 0 || error == EINVAL || error == EROFS)
        return;
    printf("Error syncing file: %s\n", file_name);
    fail_after_write(fd, error);
}

double write_phase(uint32_t record_length, uint64_t record_count, unsigned char *buffer)
{
    int fd = open_for_write();
    wait_for_start_instant();
    double start = elapsed_seconds();
    for (uint64_t record = 0; record < record_count; record++) {
        memset(buffer, static_cast<unsigned char>(static_cast<unsigned>(rand()) * 255u), MAX_RECLEN);
        ssize_t done = write(fd, buffer, record_length);
        if (done != static_cast<ssize_t>(record_length))
            finish_record(fd, buffer, done, record_length, record);
    }
    int synced = fsync(fd);
    int sync_error = errno;
    double write_time = elapsed_seconds() - start;
    end_span("write", write_time);
    check_sync(fd, synced, sync_error);
    if (!auto_mode)
        printf("%f seconds", write_time);
    return write_time;
}

// A result of 0 is the end of the target, before the test's size was read:
// a device smaller than the test, or a file that something else cut short.
[[noreturn]] void fail_read(uint64_t record, uint32_t record_length, ssize_t done, int error)
{
    printf("Error reading block %llu\n", static_cast<unsigned long long>(record));
    if (done < 0) {
        fprintf(stderr, "dorvik: %s\n", strerror(error));
    } else {
        uint64_t read_so_far = record * record_length + static_cast<uint64_t>(done);
        fprintf(stderr, "dorvik: unexpected end of file after %llu bytes\n",
                static_cast<unsigned long long>(read_so_far));
    }
    remove_test_file();
    exit(1);
}

// As with writes, a read that returns part of a record is continued; the
// end of the file or an error fails the record.
void finish_read(int fd, unsigned char *buffer, ssize_t done, uint32_t record_length,
                 uint64_t record)
{
    while (done > 0 && static_cast<size_t>(done) < record_length) {
        ssize_t more = read(fd, buffer + done, record_length - static_cast<size_t>(done));
        if (more <= 0)
            fail_read(record, record_length, more < 0 ? more : done, errno);
        done += more;
    }
    if (done <= 0)
        fail_read(record, record_length, done, errno);
}

double read_phase(int fd, uint32_t record_length, uint64_t record_count, unsigned char *buffer)
{
    if (!auto_mode)
        printf("\nReading the file...");
    // The file was just written: without this the read would come from the
    // page cache and measure memory, not the storage.
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    wait_for_start_instant();
    double start = elapsed_seconds();
    for (uint64_t record = 0; record < record_count; record++) {
        ssize_t done = read(fd, buffer, record_length);
        if (done != static_cast<ssize_t>(record_length))
            finish_read(fd, buffer, done, record_length, record);
    }
    double read_time = elapsed_seconds() - start;
    end_span("read", read_time);
    if (!auto_mode)
        printf("%f seconds\n", read_time);
    return read_time;
}

} // namespace

double elapsed_seconds()
{
    if (!clock_baseline_taken)
        clock_baseline_taken = read_clock(&clock_baseline);
    struct timespec now;
    if (!clock_baseline_taken || !read_clock(&now))
        return 0.0;
    return static_cast<double>(now.tv_sec - clock_baseline.tv_sec) +
           static_cast<double>(now.tv_nsec - clock_baseline.tv_nsec) / 1e9;
}

void run_sequential_test(int megabytes, uint32_t record_length, uint64_t record_count)
{
    if (!auto_mode)
        describe_test(megabytes, record_length, record_count);
    double write_time = 0.0;
    open_target_folder();
    if (!cdrom_mode)
        write_time = write_phase(record_length, record_count, record_buffer);

    int fd = open_for_read();
    double read_time = read_phase(fd, record_length, record_count, record_buffer);
    if (read_time == 0.0)
        advise_after_zero_read_time(megabytes, record_length);
    else
        report(megabytes, record_length, record_count * record_length, write_time, read_time);

    close(fd);
    remove_test_file();
    release_target();
    free(record_buffer);
    record_buffer = nullptr;
}

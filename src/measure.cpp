// One sequential test: write the target as a run of equal records, force it
// to stable storage, read it back, time both phases and report.
#include "measure.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

char file_name[FILE_NAME_SIZE];
volatile sig_atomic_t auto_mode;
volatile sig_atomic_t raw_mode;
volatile sig_atomic_t cdrom_mode;
unsigned char *record_buffer;
volatile sig_atomic_t test_file_exists;
run_totals_t run_totals;

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

// Blocks every signal, so that on_interrupt sees test_file_exists and the
// file on disk agree; returns the mask to restore.
sigset_t hold_signals()
{
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
    return previous;
}

void release_signals(const sigset_t *previous)
{
    sigprocmask(SIG_SETMASK, previous, nullptr);
}

// Opens file_name without waiting: a FIFO with nobody at the other end
// fails or reads as empty at once instead of hanging the run.
int open_without_blocking(int flags, mode_t mode)
{
    int fd = open(file_name, flags | O_NONBLOCK | O_NOCTTY, mode);
    if (fd >= 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

const char link_refused[] =
    "Is a symbolic link, which file mode never follows; name the file itself, or a new one";

[[noreturn]] void refuse_create(const char *reason)
{
    printf("Cannot create temporary file: %s\n", file_name);
    fprintf(stderr, "dorvik: %s\n", reason);
    exit(1);
}

[[noreturn]] void refuse_non_regular(mode_t mode)
{
    if (S_ISLNK(mode))
        refuse_create(link_refused);
    refuse_create(S_ISDIR(mode) ? strerror(EISDIR) : "Not a regular file; raw= and cdrom= are for devices");
}

// File mode deletes its target afterwards, so it only ever creates or
// truncates a regular file: a device, FIFO, folder or socket is refused. A
// link is refused too, wherever it points: a link planted in a shared folder
// would otherwise have the run overwrite and leave behind a file it names.
int create_test_file()
{
    struct stat status;
    if (lstat(file_name, &status) == 0 && !S_ISREG(status.st_mode))
        refuse_non_regular(status.st_mode);

    sigset_t previous = hold_signals();
    int fd = open_without_blocking(O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0640);
    int error = errno;
    if (fd >= 0 && fstat(fd, &status) == 0 && !S_ISREG(status.st_mode)) {
        close(fd);
        release_signals(&previous);
        refuse_non_regular(status.st_mode);
    }
    if (fd >= 0)
        test_file_exists = 1;
    release_signals(&previous);

    // ELOOP is also what too many links in the folders give.
    if (fd < 0 && error == ELOOP && lstat(file_name, &status) == 0 && S_ISLNK(status.st_mode))
        refuse_create(link_refused);
    if (fd < 0)
        refuse_create(strerror(error));
    return fd;
}

int open_for_write()
{
    if (!raw_mode)
        return create_test_file();
    // O_EXCL makes Linux refuse a block device that is mounted, used as swap
    // or held by RAID, LVM or device-mapper, so that raw mode never writes
    // over a file system in use; it has no effect on other files.
    int fd = open_without_blocking(O_WRONLY | O_EXCL, 0);
    if (fd < 0) {
        printf("Cannot open raw device: %s\n", file_name);
        perror("dorvik");
        exit(1);
    }
    return fd;
}

[[noreturn]] void fail_after_write(int fd, int error)
{
    errno = error;
    perror("dorvik");
    close(fd);
    remove_test_file();
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
    check_sync(fd, synced, sync_error);
    if (!auto_mode)
        printf("%f seconds", write_time);
    close(fd);
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

int open_for_read()
{
    int fd = open_without_blocking(O_RDONLY, 0);
    if (fd < 0) {
        int error = errno;
        puts("Cannot open temporary file for read");
        fprintf(stderr, "dorvik: %s: %s\n", file_name, strerror(error));
        remove_test_file();
        exit(1);
    }
    return fd;
}

double read_phase(int fd, uint32_t record_length, uint64_t record_count, unsigned char *buffer)
{
    if (!auto_mode)
        printf("\nReading the file...");
    // The file was just written: without this the read would come from the
    // page cache and measure memory, not the storage.
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    double start = elapsed_seconds();
    for (uint64_t record = 0; record < record_count; record++) {
        ssize_t done = read(fd, buffer, record_length);
        if (done != static_cast<ssize_t>(record_length))
            finish_read(fd, buffer, done, record_length, record);
    }
    double read_time = elapsed_seconds() - start;
    if (!auto_mode)
        printf("%f seconds\n", read_time);
    return read_time;
}

void describe_test(int megabytes, uint32_t record_length, uint64_t record_count)
{
    printf("\tdorvik writes a %d Megabyte sequential file consisting of\n", megabytes);
    printf("\t%llu records which are each %u bytes in length.\n",
           static_cast<unsigned long long>(record_count), record_length);
    puts("\tIt then reads the file.  It prints the bytes-per-second");
    puts("\trate at which the computer can read and write files.\n");
    printf("\nWriting the %d Megabyte file, '%s'...", megabytes, file_name);
}

void advise_after_zero_read_time(int megabytes, uint32_t record_length)
{
    puts("\nI/O error during read.  Try again with the command:");
    printf("\n\tdorvik %d %u ", megabytes, record_length / 2);
    printf("\t(i.e. record size = %u bytes)\n", record_length / 2);
}

// A run under ten seconds is dominated by start-up costs and clock noise;
// suggest the size that would take about twenty at the pace just measured.
void advise_if_too_quick(int megabytes, double elapsed)
{
    if (!(10.0f > elapsed))
        return;
    puts("\nThe test completed too quickly to give a good result");
    puts("You will get a more precise measure of this machine's");
    puts("performance by re-running dorvik using the command:");
    double pace = static_cast<double>(megabytes) * 2 * 10.0 / elapsed;
    long long suggested = pace < 9.2e18 ? static_cast<long long>(pace) : LLONG_MAX;
    printf("\n\tdorvik %lld ", suggested);
    printf("\t(i.e., file size = %lld megabytes)\n", suggested);
}

long long rate(uint64_t bytes, double seconds)
{
    if (seconds == 0.0)
        return 0;
    return static_cast<long long>(static_cast<double>(bytes) / seconds);
}

void report(int megabytes, uint32_t record_length, uint64_t bytes, double write_time,
            double read_time)
{
    run_totals.total_bytes += bytes;
    run_totals.total_read_seconds += read_time;
    run_totals.total_write_seconds += write_time;
    if (auto_mode) {
        printf("\t%-8d%-8u%-20lld%-20lld\n", megabytes, record_length, rate(bytes, write_time),
               rate(bytes, read_time));
        return;
    }
    print_average_statistics();
    advise_if_too_quick(megabytes, write_time + read_time);
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

void remove_test_file()
{
    sigset_t previous = hold_signals();
    if (test_file_exists)
        unlink(file_name);
    test_file_exists = 0;
    release_signals(&previous);
}

void run_sequential_test(int megabytes, uint32_t record_length, uint64_t record_count)
{
    if (!auto_mode)
        describe_test(megabytes, record_length, record_count);
    double write_time = 0.0;
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
    free(record_buffer);
    record_buffer = nullptr;
}

void print_average_statistics()
{
    const run_totals_t &t = run_totals;
    double bytes = static_cast<double>(t.total_bytes);
    puts("\n Average statistics");
    printf("####\t Total KB= %8.0f (1024), read=%4.2f (sec), write=%4.2f (sec)\n",
           static_cast<double>(t.total_bytes >> 10), t.total_read_seconds, t.total_write_seconds);
    printf("####\t Average read=%8.2f MB/sec, write=%8.2f MB/sec\n",
           bytes / (t.total_read_seconds + 0.01) / 1024 / 1024,
           bytes / (t.total_write_seconds + 0.01) / 1024 / 1024);
    putchar('\n');
}

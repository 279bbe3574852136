// One sequential test: write the target as a run of equal records, force it
// to stable storage, read it back, time both phases and report.
#include "measure.hpp"

#include <blkid/blkid.h>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

char file_name[FILE_NAME_SIZE];
volatile sig_atomic_t auto_mode;
volatile sig_atomic_t raw_mode;
volatile sig_atomic_t cdrom_mode;
unsigned char *record_buffer;
volatile sig_atomic_t test_file_exists;
volatile sig_atomic_t target_folder = -1;
const char *target_name;
dev_t target_device;
ino_t target_inode;
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

const char link_refused[] =
    "Is a symbolic link, which file mode never follows; name the file itself, or a new one";

// The write phase's descriptor, held until the end of the test: the lock on
// it keeps a second run off the file for the whole test. -1 otherwise.
int held_target = -1;

bool is_target(const struct stat &status)
{
    return status.st_dev == target_device && status.st_ino == target_inode;
}

void remember_target(const struct stat &status)
{
    target_device = status.st_dev;
    target_inode = status.st_ino;
}

// Opens the target without waiting: a FIFO with nobody at the other end
// fails or reads as empty at once instead of hanging the run.
int open_target(int flags, mode_t mode)
{
    int fd = openat(target_folder, target_name, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd >= 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Opens the folder of file_name and points target_name at the rest; a name
// that ends in '/' names that folder itself.
void open_target_folder()
{
    static const char itself[] = ".";
    char folder[FILE_NAME_SIZE] = ".";
    const char *slash = strrchr(file_name, '/');
    target_name = file_name;
    if (slash != nullptr) {
        size_t length = slash == file_name ? 1 : static_cast<size_t>(slash - file_name);
        memcpy(folder, file_name, length);
        folder[length] = '\0';
        target_name = slash[1] == '\0' ? itself : slash + 1;
    }
    int fd = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        refuse_target(strerror(errno));
    target_folder = fd;
}

[[noreturn]] void refuse_with_name(const char *what)
{
    static char reason[FILE_NAME_SIZE + 256];
    snprintf(reason, sizeof reason, "%s %s", file_name, what);
    refuse_target(reason);
}

[[noreturn]] void refuse_non_regular(mode_t mode)
{
    if (S_ISLNK(mode))
        refuse_target(link_refused);
    refuse_target(S_ISDIR(mode) ? strerror(EISDIR) : "Not a regular file; raw= and cdrom= are for devices");
}

// Every other name of a file with several links would keep the data that
// the test overwrites, and the clean-up deletes only the name given.
void refuse_shared_file(int fd, const struct stat &status)
{
    if (!S_ISREG(status.st_mode)) {
        close(fd);
        refuse_non_regular(status.st_mode);
    }
    if (status.st_nlink > 1) {
        close(fd);
        char what[160];
        snprintf(what, sizeof what, "has %llu links, and file mode would overwrite the data under every name; "
                 "name a new file, or remove the other links", static_cast<unsigned long long>(status.st_nlink));
        refuse_with_name(what);
    }
}

// A second run on the same file would truncate it under the first one's
// feet; whoever holds the lock keeps the file for its whole test.
void lock_target(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return;
    int error = errno;
    close(fd);
    if (error == EWOULDBLOCK)
        refuse_with_name("is in use by another test");
    refuse_target(strerror(error));
}

void take_test_file(const struct stat &status)
{
    sigset_t previous = hold_signals();
    remember_target(status);
    test_file_exists = 1;
    release_signals(&previous);
}

// Opens the file named, creating it if need be, but never following a link:
// O_EXCL tells a file this run created from one it found.
int open_test_file()
{
    sigset_t previous = hold_signals();
    int fd = open_target(O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0640);
    int error = errno;
    struct stat status;
    if (fd >= 0 && fstat(fd, &status) == 0) {
        remember_target(status);
        test_file_exists = 1;
    }
    release_signals(&previous);
    if (fd < 0 && error == EEXIST)
        fd = open_target(O_WRONLY | O_NOFOLLOW, 0);
    if (fd >= 0)
        return fd;
    error = errno;
    // ELOOP is also what too many links in the folders give.
    if (error == ELOOP && fstatat(target_folder, target_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(status.st_mode))
        refuse_target(link_refused);
    refuse_target(strerror(error));
}

// File mode deletes its target afterwards, so it only ever uses a regular
// file of one link: a device, FIFO, folder or socket is refused, and so is a
// link wherever it points, as one planted in a shared folder would have the
// run overwrite and leave behind a file it names. Nothing is truncated
// before the file is known to be usable and locked.
int create_test_file()
{
    struct stat status;
    if (fstatat(target_folder, target_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(status.st_mode))
        refuse_non_regular(status.st_mode);
    int fd = open_test_file();
    if (fstat(fd, &status) != 0)
        refuse_target(strerror(errno));
    refuse_shared_file(fd, status);
    lock_target(fd);
    if (ftruncate(fd, 0) != 0)
        refuse_target(strerror(errno));
    take_test_file(status);
    return fd;
}

// raw= and cdrom= take a device or a regular file: a FIFO or a socket would
// hang the run or fail it halfway, and a folder cannot be read as data.
void refuse_unusable_device(const struct stat &status)
{
    if (S_ISFIFO(status.st_mode))
        refuse_with_name("is a FIFO; raw= and cdrom= take a device or a regular file");
    if (S_ISSOCK(status.st_mode))
        refuse_with_name("is a socket; raw= and cdrom= take a device or a regular file");
    if (S_ISDIR(status.st_mode))
        refuse_with_name("is a folder; raw= and cdrom= take a device or a regular file");
}

// Checked before the open, so that nothing is opened that could block, and
// again on the descriptor, in case the name was replaced in between.
int open_device(int flags, struct stat *status)
{
    if (fstatat(target_folder, target_name, status, 0) == 0)
        refuse_unusable_device(*status);
    int fd = open_target(flags, 0);
    if (fd < 0)
        return fd;
    if (fstat(fd, status) != 0)
        refuse_target(strerror(errno));
    refuse_unusable_device(*status);
    return fd;
}

// The kind of data a signature marks, as blkid classes it.
const char *signature_kind(const char *usage)
{
    if (strcmp(usage, "filesystem") == 0)
        return "a file system";
    if (strcmp(usage, "raid") == 0)
        return "a RAID or volume-manager member";
    if (strcmp(usage, "crypto") == 0)
        return "an encrypted volume";
    return "data";
}

// wipefs leaves a partition table in a regular file alone unless forced.
[[noreturn]] void refuse_overwrite(const char *found, bool image)
{
    char what[FILE_NAME_SIZE + 512];
    snprintf(what, sizeof what, "holds %s; raw mode would overwrite it. If its data can go, erase its "
             "signatures first: wipefs -a%s %s", found, image ? "f" : "", file_name);
    refuse_with_name(what);
}

// Says what the signature that probe found marks.
void describe_signature(blkid_probe probe, char *found, size_t size)
{
    const char *type = "unknown";
    const char *usage = "";
    const char *uuid = nullptr;
    const char *kind = "a partition table";
    if (blkid_probe_lookup_value(probe, "PTTYPE", &type, nullptr) != 0) {
        blkid_probe_lookup_value(probe, "TYPE", &type, nullptr);
        blkid_probe_lookup_value(probe, "USAGE", &usage, nullptr);
        blkid_probe_lookup_value(probe, "UUID", &uuid, nullptr);
        kind = signature_kind(usage);
    }
    snprintf(found, size, "%s of type %s%s%s%s", kind, type, uuid != nullptr ? " (UUID " : "",
             uuid != nullptr ? uuid : "", uuid != nullptr ? ")" : "");
}

// blkid's verdict on fd: 0 with found described, 1 for nothing found, -2
// for several signatures, -1 when it could not look.
int probe_signatures(int fd, char *found, size_t size)
{
    blkid_probe probe = blkid_new_probe();
    if (probe == nullptr)
        return -1;
    int result = -1;
    if (blkid_probe_set_device(probe, fd, 0, 0) == 0) {
        blkid_probe_enable_partitions(probe, 1);
        blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_USAGE | BLKID_SUBLKS_UUID);
        result = blkid_do_safeprobe(probe);
    }
    if (result == 0)
        describe_signature(probe, found, size);
    blkid_free_probe(probe);
    return result;
}

// Raw mode writes from the first byte, so a device or image that holds a
// file system, a partition table, RAID or LVM metadata or swap is refused:
// it may be in use elsewhere (a LUN mounted by another host is not busy
// here). blkid knows the signatures that mkfs, wipefs and blkid know. The
// write descriptor cannot be read, so a second one, checked to be the same
// file, is probed.
void refuse_recognised_data()
{
    int fd = open_target(O_RDONLY, 0);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0)
        refuse_target(strerror(errno));
    if (!is_target(status))
        refuse_target("the target was replaced while it was opened");
    char found[512];
    int result = probe_signatures(fd, found, sizeof found);
    close(fd);
    bool image = S_ISREG(status.st_mode);
    if (result == 0)
        refuse_overwrite(found, image);
    if (result == -2)
        refuse_overwrite("more than one signature", image);
    if (result < 0)
        refuse_target("its signatures could not be probed");
}

// O_EXCL makes Linux refuse a block device that is mounted, used as swap or
// held by RAID, LVM or device-mapper, so that raw mode never writes over a
// file system in use; it has no effect on other files.
int open_raw_target()
{
    struct stat status;
    int fd = open_device(O_WRONLY | O_EXCL, &status);
    if (fd < 0)
        refuse_target(strerror(errno));
    remember_target(status);
    if (S_ISREG(status.st_mode))
        lock_target(fd);
    if (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode))
        refuse_recognised_data();
    return fd;
}

int open_for_write()
{
    return raw_mode ? open_raw_target() : create_test_file();
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
    held_target = fd;
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

[[noreturn]] void fail_open_for_read(const char *reason)
{
    puts("Cannot open temporary file for read");
    fprintf(stderr, "dorvik: %s\n", reason);
    remove_test_file();
    exit(1);
}

// What is read and measured must be what was written: a name that leads
// elsewhere by now is refused, as is for cdrom= what cannot be read as data.
int open_for_read()
{
    struct stat status;
    int fd = cdrom_mode ? open_device(O_RDONLY, &status) : open_target(O_RDONLY | (raw_mode ? 0 : O_NOFOLLOW), 0);
    if (fd < 0) {
        static char reason[FILE_NAME_SIZE + 256];
        snprintf(reason, sizeof reason, "%s: %s", file_name, strerror(errno));
        fail_open_for_read(reason);
    }
    if (!cdrom_mode && (fstat(fd, &status) != 0 || !is_target(status)))
        fail_open_for_read("the test file was replaced during the test");
    return fd;
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

// Only the file this run created goes: whatever took its name meanwhile stays.
void remove_test_file()
{
    sigset_t previous = hold_signals();
    struct stat status;
    if (test_file_exists && fstatat(target_folder, target_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        is_target(status))
        unlinkat(target_folder, target_name, 0);
    test_file_exists = 0;
    release_signals(&previous);
}

void refuse_target(const char *reason)
{
    static char shown[FILE_NAME_SIZE];
    // A control character in the name would break the line, or forge others.
    for (size_t i = 0; i < sizeof shown; i++)
        shown[i] = iscntrl(static_cast<unsigned char>(file_name[i])) && file_name[i] != '\0' ? '?' : file_name[i];
    if (cdrom_mode)
        puts("Cannot open temporary file for read");
    else if (raw_mode)
        printf("Cannot open raw device: %s\n", shown);
    else
        printf("Cannot create temporary file: %s\n", shown);
    fprintf(stderr, "dorvik: %s\n", reason);
    remove_test_file();
    exit(1);
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
    if (held_target >= 0)
        close(held_target);
    held_target = -1;
    close(target_folder);
    target_folder = -1;
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

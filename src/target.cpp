// The target of a test: its name, the folder it is reached through, the
// checks and the lock before anything is written, and the deletion of the
// test file, which touches only the file this run created.
#include "target.hpp"

#include "extern.hpp"
#include "signatures.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

char file_name[FILE_NAME_SIZE];
volatile sig_atomic_t test_file_exists;
volatile sig_atomic_t target_folder = -1;
const char *target_name;
dev_t target_device;
ino_t target_inode;

namespace {

// The write phase's descriptor, held until the end of the test: the lock on
// it keeps a second run off the file for the whole test. -1 otherwise.
int held_target = -1;
// A test file this run created and has not locked yet, -1 otherwise. Until
// it holds the lock the file is not its own: another run may have found it
// and locked it first.
volatile sig_atomic_t created_test_file = -1;

const char link_refused[] =
    "Is a symbolic link, which file mode never follows; name the file itself, or a new one";

// Bytes of the control character that text begins with, 0 for none: a C0
// control or DEL, or a C1 control written in UTF-8 (U+0080 to U+009F, among
// them U+009B, which a terminal takes for the start of a command).
size_t control_length(const char *text)
{
    auto first = static_cast<unsigned char>(text[0]);
    if (first == 0)
        return 0;
    if (first < 0x20 || first == 0x7F)
        return 1;
    auto second = static_cast<unsigned char>(text[1]);
    if (first == 0xC2 && second >= 0x80 && second <= 0x9F)
        return 2;
    return 0;
}

bool has_control_character(const char *name)
{
    for (; *name != '\0'; name++)
        if (control_length(name) > 0)
            return true;
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

void remember_target(const struct stat &status)
{
    target_device = status.st_dev;
    target_inode = status.st_ino;
}

[[noreturn]] void refuse_non_regular(mode_t mode)
{
    if (S_ISLNK(mode))
        refuse_target(link_refused);
    refuse_target(S_ISDIR(mode) ? strerror(EISDIR) : "Not a regular file; raw= and cdrom= are for devices");
}

// Every other name of a file with several links would keep the data that
// the test overwrites, and the clean-up deletes only the name given.
void refuse_shared_file(const struct stat &status)
{
    if (!S_ISREG(status.st_mode))
        refuse_non_regular(status.st_mode);
    if (status.st_nlink > 1) {
        char what[160];
        snprintf(what, sizeof what, "has %llu links, and file mode would overwrite the data under every name; "
                 "name a new file, or remove the other links", static_cast<unsigned long long>(status.st_nlink));
        refuse_with_name(what);
    }
}

// A second run on the same file would truncate it under the first one's
// feet; whoever holds the lock keeps the file for its whole test. A refused
// run keeps its descriptor to the end, so that its clean-up can see that
// the lock is another's.
void lock_target(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return;
    if (errno == EWOULDBLOCK)
        refuse_with_name("is in use by another test");
    refuse_target(strerror(errno));
}

// The lock is on the file that fd opened; a run that held it before may
// have deleted that file since, or another taken its name.
void check_locked_file_is_named(const struct stat &locked)
{
    struct stat named;
    if (fstatat(target_folder, target_name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_dev != locked.st_dev || named.st_ino != locked.st_ino)
        refuse_with_name("is in use by another test");
}

void take_test_file(const struct stat &status)
{
    sigset_t previous = hold_signals();
    remember_target(status);
    test_file_exists = 1;
    created_test_file = -1;
    release_signals(&previous);
}

// Opens the file named, creating it if need be, but never following a link.
// O_EXCL tells a file this run created, which a signal before the lock may
// still delete, from one it found.
int open_test_file()
{
    sigset_t previous = hold_signals();
    int fd = open_target(O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0640);
    int error = errno;
    struct stat status;
    if (fd >= 0 && fstat(fd, &status) == 0) {
        remember_target(status);
        created_test_file = fd;
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
    refuse_shared_file(status);
    lock_target(fd);
    check_locked_file_is_named(status);
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
// again on the descriptor, in case the name was replaced in between. A
// terminal would take the records as typed text, or wait for a reader or a
// writer at its other end; the open, without waiting and without making it
// the controlling terminal, is what tells one.
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
    if (isatty(fd))
        refuse_with_name("is a terminal; raw= and cdrom= take a device or a regular file");
    return fd;
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

[[noreturn]] void fail_open_for_read(const char *reason)
{
    puts("Cannot open temporary file for read");
    fprintf(stderr, "dorvik: %s\n", reason);
    remove_test_file();
    exit(1);
}

} // namespace

// A name is refused before anything uses it if it is too long for file_name,
// or if it holds a line break or another control character, which would
// break every reader of the output or forge lines of figures.
void set_file_name(const char *name)
{
    size_t length = strlen(name);
    if (length >= FILE_NAME_SIZE) {
        printf("Error: Maximum file name length is %u bytes\n", FILE_NAME_SIZE - 1);
        fprintf(stderr, "dorvik: the file name is %zu bytes long; names of up to %u bytes are accepted\n", length,
                FILE_NAME_SIZE - 1);
        exit(1);
    }
    memcpy(file_name, name, length + 1);
    if (has_control_character(file_name))
        refuse_target("the name holds a line break or another control character, which would make the output "
                      "unreadable; choose a name without one");
}

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

int open_target(int flags, mode_t mode)
{
    int fd = openat(target_folder, target_name, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd >= 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool is_target(const struct stat &status)
{
    return status.st_dev == target_device && status.st_ino == target_inode;
}

int open_for_write()
{
    held_target = raw_mode ? open_raw_target() : create_test_file();
    return held_target;
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

void release_target()
{
    if (held_target >= 0)
        close(held_target);
    held_target = -1;
    close(target_folder);
    target_folder = -1;
}

// Only the run that holds the lock deletes, and only the file it locked:
// whatever took its name meanwhile stays. A file this run created but has
// not locked yet is its own only if the lock can still be had.
void remove_test_file()
{
    sigset_t previous = hold_signals();
    if (!test_file_exists && created_test_file >= 0 && flock(created_test_file, LOCK_EX | LOCK_NB) == 0)
        test_file_exists = 1;
    created_test_file = -1;
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
    size_t length = 0;
    for (const char *p = file_name; *p != '\0'; p++) {
        size_t control = control_length(p);
        shown[length++] = control > 0 ? '?' : *p;
        p += control > 1 ? control - 1 : 0;
    }
    shown[length] = '\0';
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

void refuse_with_name(const char *what)
{
    static char reason[FILE_NAME_SIZE * 3 + 512];
    snprintf(reason, sizeof reason, "%s %s", file_name, what);
    refuse_target(reason);
}

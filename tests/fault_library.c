/* Preloaded into the program by the tests to bring about what a healthy
 * machine will not do on demand: a failing fsync, or transfers slow enough
 * that a signal lands in the middle of a phase.  DORVIK_FAULT holds
 * comma-separated settings:
 *   fsync=N          fsync fails with errno N
 *   fsync_step=NS    fsync moves the clock of clock_step or clock_ramp NS nanoseconds on
 *   write_delay=US   each write to a file descriptor above 2 sleeps US microseconds first
 *                    (DORVIK_START_FD's and DORVIK_INSTANT_FD's descriptors are never delayed, held,
 *                    failed or logged)
 *   write_zero=N     the N-th write to a descriptor above 2, and every later one, returns 0
 *   first_write_log=NAME  dorvik appends "PID SECONDS BEFORE AFTER" to NAME in the working folder:
 *                    the wall clock at its first write to a descriptor above 2 other than
 *                    DORVIK_START_FD's, the first record of its test, and the wall clock just
 *                    before and just after the last reading of another clock that followed one
 *                    of the wall clock before that write, the start of its timed span
 *                    (scripts/start-skew)
 *   read_delay=US    each read sleeps US microseconds first
 *   unlink_delay=US  each unlinkat sleeps US microseconds after unlinking
 *   read_error=N     each read from a file descriptor above 2 fails with errno N
 *   clock_error=N    clock_gettime fails with errno N
 *   clock_frozen=1   clock_gettime of every clock but the wall clock (which a run's start
 *                    instant needs) always gives the time of its first reading
 *   clock_step=NS    each such reading is NS nanoseconds after the one before
 *   clock_ramp=NS    the n-th such reading is n x NS nanoseconds after the one before
 *   clock_ahead=MS   the wall clock (CLOCK_REALTIME) reads MS milliseconds ahead
 *   clock_ahead_after=MS  the same, once a file named "stepped" exists in the working folder
 *   open_error=N     opening a relative name read-only, other than a folder, fails with errno N
 *   link_on_create=1 a name opened to be created is first replaced by a symbolic link to "kept"
 *   cache_check=1    a read from a descriptor above 2 that posix_fadvise has not
 *                    dropped from the page cache since it was opened says so on stderr
 *   keep_pages=1     posix_fadvise drops nothing from the page cache, as on a mount that
 *                    ignores it (the read then comes from memory)
 *   flock_gate=NAME  the first flock writes its process id into NAME.waiting in the
 *                    working folder, then waits until a file NAME exists there
 *   write_gate=NAME  the same at the first write to a descriptor above 2
 *   read_gate=NAME   the same at the first read from a descriptor above 2
 *   unlink_gate=NAME the same right after the first unlinkat
 * A gate holds the program at a point until the case has done what it must
 * meanwhile, however slow the machine: the case waits for NAME.waiting, acts,
 * then creates NAME.
 */
#define _GNU_SOURCE
/* The plain and the 64-bit names are both defined here, each on its own. */
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

static long setting(const char *key)
{
    const char *faults = getenv("DORVIK_FAULT");
    size_t length = strlen(key);
    for (const char *p = faults; p != NULL && *p != '\0'; p = strchr(p, ',') ? strchr(p, ',') + 1 : NULL)
        if (strncmp(p, key, length) == 0 && p[length] == '=')
            return strtol(p + length + 1, NULL, 10);
    return 0;
}

/* The text of a setting, up to the next comma, in value; 0 when it is not set. */
static int text_setting(const char *key, char *value, size_t size)
{
    const char *faults = getenv("DORVIK_FAULT");
    size_t length = strlen(key);
    for (const char *p = faults; p != NULL && *p != '\0'; p = strchr(p, ',') ? strchr(p, ',') + 1 : NULL)
        if (strncmp(p, key, length) == 0 && p[length] == '=') {
            size_t end = strcspn(p + length + 1, ",");
            if (end == 0 || end >= size)
                return 0;
            memcpy(value, p + length + 1, end);
            value[end] = '\0';
            return 1;
        }
    return 0;
}

static void wait_at_gate(const char *key, int *passed)
{
    char name[200], waiting[220], writing[230], line[32];
    if (*passed || !text_setting(key, name, sizeof name))
        return;
    *passed = 1;
    /* The note appears whole: a case that finds it reads the process id. */
    snprintf(waiting, sizeof waiting, "%s.waiting", name);
    snprintf(writing, sizeof writing, "%s.new", waiting);
    FILE *note = fopen(writing, "w");
    if (note != NULL) {
        snprintf(line, sizeof line, "%d\n", (int)getpid());
        fputs(line, note);
        fclose(note);
        rename(writing, waiting);
    }
    while (access(name, F_OK) != 0)
        usleep(1000);
}

int flock(int fd, int operation)
{
    static int (*real_flock)(int, int);
    static int passed;
    if (real_flock == NULL)
        real_flock = (int (*)(int, int))dlsym(RTLD_NEXT, "flock");
    wait_at_gate("flock_gate", &passed);
    return real_flock(fd, operation);
}

static void pause_for(const char *key)
{
    long microseconds = setting(key);
    if (microseconds > 0)
        usleep((useconds_t)microseconds);
}

/* How far clock_step and clock_ramp have moved the clocks on from their first readings, in nanoseconds. */
static long long stepped;

int fsync(int fd)
{
    static int (*real_fsync)(int);
    stepped += setting("fsync_step");
    long error = setting("fsync");
    if (error != 0) {
        errno = (int)error;
        return -1;
    }
    if (real_fsync == NULL)
        real_fsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    return real_fsync(fd);
}

extern char *program_invocation_short_name;

/* Whether fd is one of the descriptors on which dorvik tells dorvik-clients
 * how its spans go or hears their instants: no data of the test, so neither
 * delayed, failed nor held at a gate. */
static int is_report(int fd)
{
    const char *report = getenv("DORVIK_START_FD");
    const char *instants = getenv("DORVIK_INSTANT_FD");
    return (report != NULL && fd == atoi(report)) || (instants != NULL && fd == atoi(instants));
}

/* When the first record of a test was written, by the wall clock, for a
 * measure of how far apart the clients' timed work really began. */
/* The wall clock just before and just after the last reading of another clock that followed one of the
 * wall clock. */
static struct timespec clock_read_before, clock_read_after;

static void log_first_write(ssize_t (*real_write)(int, const void *, size_t))
{
    static int logged;
    char name[200], line[128];
    if (logged || !text_setting("first_write_log", name, sizeof name) ||
        (strcmp(program_invocation_short_name, "dorvik") != 0 &&
         strcmp(program_invocation_short_name, "dorvik_long") != 0))
        return;
    logged = 1;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    int length = snprintf(line, sizeof line, "%d %lld.%09ld %lld.%09ld %lld.%09ld\n", (int)getpid(),
                          (long long)now.tv_sec, now.tv_nsec, (long long)clock_read_before.tv_sec,
                          clock_read_before.tv_nsec, (long long)clock_read_after.tv_sec, clock_read_after.tv_nsec);
    int log = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (log >= 0) {
        real_write(log, line, (size_t)length);
        close(log);
    }
}

ssize_t write(int fd, const void *buffer, size_t count)
{
    static ssize_t (*real_write)(int, const void *, size_t);
    if (real_write == NULL)
        real_write = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    static int passed;
    static long writes;
    if (fd > 2 && !is_report(fd)) {
        log_first_write(real_write);
        wait_at_gate("write_gate", &passed);
        pause_for("write_delay");
        long zero = setting("write_zero");
        if (zero > 0 && ++writes >= zero)
            return 0;
    }
    return real_write(fd, buffer, count);
}

/* Descriptors whose pages posix_fadvise dropped since they were opened. */
static char dropped[4096];

static int record_drop(int fd, off_t offset, off_t length, int advice, const char *name)
{
    static int (*real_fadvise)(int, off_t, off_t, int);
    if (real_fadvise == NULL)
        real_fadvise = (int (*)(int, off_t, off_t, int))dlsym(RTLD_NEXT, name);
    if (advice == POSIX_FADV_DONTNEED && setting("keep_pages"))
        return 0;
    if (fd >= 0 && fd < (int)sizeof dropped && offset == 0 && length == 0 && advice == POSIX_FADV_DONTNEED)
        dropped[fd] = 1;
    return real_fadvise(fd, offset, length, advice);
}

int posix_fadvise(int fd, off_t offset, off_t length, int advice)
{
    return record_drop(fd, offset, length, advice, "posix_fadvise");
}

int posix_fadvise64(int fd, off_t offset, off_t length, int advice)
{
    return record_drop(fd, offset, length, advice, "posix_fadvise64");
}

int close(int fd)
{
    static int (*real_close)(int);
    if (real_close == NULL)
        real_close = (int (*)(int))dlsym(RTLD_NEXT, "close");
    if (fd >= 0 && fd < (int)sizeof dropped)
        dropped[fd] = 0;
    return real_close(fd);
}

static int open_with(const char *name, const char *path, int flags, va_list arguments)
{
    int (*real_open)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, name);
    mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(arguments, int) : 0;
    long error = setting("open_error");
    if (error != 0 && path[0] != '/' && (flags & O_ACCMODE) == O_RDONLY && !(flags & O_DIRECTORY)) {
        errno = (int)error;
        return -1;
    }
    int fd = real_open(path, flags, mode);
    if (fd >= 0 && fd < (int)sizeof dropped)
        dropped[fd] = 0;
    return fd;
}

static int openat_with(const char *name, int folder, const char *path, int flags, va_list arguments)
{
    int (*real_openat)(int, const char *, int, ...) = (int (*)(int, const char *, int, ...))dlsym(RTLD_NEXT, name);
    mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(arguments, int) : 0;
    long error = setting("open_error");
    if (error != 0 && path[0] != '/' && (flags & O_ACCMODE) == O_RDONLY && !(flags & O_DIRECTORY)) {
        errno = (int)error;
        return -1;
    }
    if (setting("link_on_create") != 0 && (flags & O_CREAT)) {
        unlinkat(folder, path, 0);
        symlinkat("kept", folder, path);
    }
    int fd = real_openat(folder, path, flags, mode);
    if (fd >= 0 && fd < (int)sizeof dropped)
        dropped[fd] = 0;
    return fd;
}

int openat(int folder, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    int fd = openat_with("openat", folder, path, flags, arguments);
    va_end(arguments);
    return fd;
}

int openat64(int folder, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    int fd = openat_with("openat64", folder, path, flags, arguments);
    va_end(arguments);
    return fd;
}

int open(const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    int fd = open_with("open", path, flags, arguments);
    va_end(arguments);
    return fd;
}

int open64(const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    int fd = open_with("open64", path, flags, arguments);
    va_end(arguments);
    return fd;
}

ssize_t read(int fd, void *buffer, size_t count)
{
    static ssize_t (*real_read)(int, void *, size_t);
    if (real_read == NULL)
        real_read = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    if (is_report(fd))
        return real_read(fd, buffer, count);
    if (fd > 2 && setting("cache_check") != 0 && fd < (int)sizeof dropped && !dropped[fd]) {
        fprintf(stderr, "fault library: read from descriptor %d before its pages were dropped\n", fd);
        dropped[fd] = 1;
    }
    static int passed;
    if (fd > 2) {
        wait_at_gate("read_gate", &passed);
        pause_for("read_delay");
        long error = setting("read_error");
        if (error != 0) {
            errno = (int)error;
            return -1;
        }
    }
    return real_read(fd, buffer, count);
}

int unlinkat(int folder, const char *path, int flags)
{
    static int (*real_unlinkat)(int, const char *, int);
    if (real_unlinkat == NULL)
        real_unlinkat = (int (*)(int, const char *, int))dlsym(RTLD_NEXT, "unlinkat");
    static int passed;
    int result = real_unlinkat(folder, path, flags);
    pause_for("unlink_delay");
    wait_at_gate("unlink_gate", &passed);
    return result;
}

/* The wall clock as clock_ahead and clock_ahead_after set it. */
static int adjusted_wall_clock(int result, struct timespec *now)
{
    long ahead = setting("clock_ahead");
    if (ahead == 0 && setting("clock_ahead_after") != 0 && access("stepped", F_OK) == 0)
        ahead = setting("clock_ahead_after");
    if (result == 0 && ahead != 0) {
        long long nanoseconds = now->tv_nsec + ahead % 1000 * 1000000LL;
        now->tv_sec += (time_t)(ahead / 1000 + nanoseconds / 1000000000LL);
        now->tv_nsec = (long)(nanoseconds % 1000000000LL);
    }
    return result;
}

int clock_gettime(clockid_t clock, struct timespec *now)
{
    static int (*real_clock_gettime)(clockid_t, struct timespec *);
    long error = setting("clock_error");
    if (error != 0) {
        errno = (int)error;
        return -1;
    }
    static long long readings;
    long step = setting("clock_step");
    long ramp = setting("clock_ramp");
    if (real_clock_gettime == NULL)
        real_clock_gettime = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    if (clock != CLOCK_REALTIME && (setting("clock_frozen") != 0 || step > 0 || ramp > 0)) {
        /* Each clock starts from its own first reading. */
        static long long first[16];
        long long *base = &first[(unsigned)clock % 16];
        if (*base == 0) {
            struct timespec real;
            real_clock_gettime(clock, &real);
            *base = real.tv_sec * 1000000000LL + real.tv_nsec;
        }
        stepped += step + ++readings * ramp;
        now->tv_sec = (time_t)((*base + stepped) / 1000000000LL);
        now->tv_nsec = (long)((*base + stepped) % 1000000000LL);
        return 0;
    }
    /* dorvik reads the wall clock, then the monotonic clock, as its timed span begins. */
    static int after_wall_clock;
    if (clock == CLOCK_REALTIME) {
        after_wall_clock = 1;
        return adjusted_wall_clock(real_clock_gettime(clock, now), now);
    }
    if (!after_wall_clock)
        return real_clock_gettime(clock, now);
    after_wall_clock = 0;
    struct timespec before;
    real_clock_gettime(CLOCK_REALTIME, &before);
    int result = real_clock_gettime(clock, now);
    real_clock_gettime(CLOCK_REALTIME, &clock_read_after);
    clock_read_before = before;
    return result;
}

/* Preloaded into the program by the tests to bring about what a healthy
 * machine will not do on demand: a failing fsync, or transfers slow enough
 * that a signal lands in the middle of a phase.  DORVIK_FAULT holds
 * comma-separated settings:
 *   fsync=N          fsync fails with errno N
 *   write_delay=US   each write to a file descriptor above 2 sleeps US microseconds first
 *   read_delay=US    each read sleeps US microseconds first
 *   unlink_delay=US  each unlink sleeps US microseconds after unlinking
 *   read_error=N     each read from a file descriptor above 2 fails with errno N
 *   clock_error=N    clock_gettime fails with errno N
 *   clock_frozen=1   clock_gettime always gives the same time
 *   clock_scale=K    clock_gettime runs K times as fast as the real clock
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
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

static void pause_for(const char *key)
{
    long microseconds = setting(key);
    if (microseconds > 0)
        usleep((useconds_t)microseconds);
}

int fsync(int fd)
{
    static int (*real_fsync)(int);
    long error = setting("fsync");
    if (error != 0) {
        errno = (int)error;
        return -1;
    }
    if (real_fsync == NULL)
        real_fsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    return real_fsync(fd);
}

ssize_t write(int fd, const void *buffer, size_t count)
{
    static ssize_t (*real_write)(int, const void *, size_t);
    if (real_write == NULL)
        real_write = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    if (fd > 2)
        pause_for("write_delay");
    return real_write(fd, buffer, count);
}

ssize_t read(int fd, void *buffer, size_t count)
{
    static ssize_t (*real_read)(int, void *, size_t);
    if (real_read == NULL)
        real_read = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    if (fd > 2) {
        pause_for("read_delay");
        long error = setting("read_error");
        if (error != 0) {
            errno = (int)error;
            return -1;
        }
    }
    return real_read(fd, buffer, count);
}

int unlink(const char *path)
{
    static int (*real_unlink)(const char *);
    if (real_unlink == NULL)
        real_unlink = (int (*)(const char *))dlsym(RTLD_NEXT, "unlink");
    int result = real_unlink(path);
    pause_for("unlink_delay");
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
    if (setting("clock_frozen") != 0) {
        now->tv_sec = 1000;
        now->tv_nsec = 0;
        return 0;
    }
    if (real_clock_gettime == NULL)
        real_clock_gettime = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    int result = real_clock_gettime(clock, now);
    long scale = setting("clock_scale");
    if (result == 0 && scale > 1) {
        long long nanoseconds = ((long long)now->tv_sec * 1000000000LL + now->tv_nsec) % 1000000000000LL * scale;
        now->tv_sec = (time_t)(nanoseconds / 1000000000LL);
        now->tv_nsec = (long)(nanoseconds % 1000000000LL);
    }
    return result;
}

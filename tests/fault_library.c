/* Preloaded into the program by the tests to bring about what a healthy
 * machine will not do on demand: a failing fsync, or transfers slow enough
 * that a signal lands in the middle of a phase.  DORVIK_FAULT holds
 * comma-separated settings:
 *   fsync=N          fsync fails with errno N
 *   write_delay=US   each write to a file descriptor above 2 sleeps US microseconds first
 *   read_delay=US    each read sleeps US microseconds first
 *   unlink_delay=US  each unlink sleeps US microseconds after unlinking
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
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
        usleep((useconds_t)setting("write_delay"));
    return real_write(fd, buffer, count);
}

ssize_t read(int fd, void *buffer, size_t count)
{
    static ssize_t (*real_read)(int, void *, size_t);
    if (real_read == NULL)
        real_read = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    if (fd > 2)
        usleep((useconds_t)setting("read_delay"));
    return real_read(fd, buffer, count);
}

int unlink(const char *path)
{
    static int (*real_unlink)(const char *);
    if (real_unlink == NULL)
        real_unlink = (int (*)(const char *))dlsym(RTLD_NEXT, "unlink");
    int result = real_unlink(path);
    usleep((useconds_t)setting("unlink_delay"));
    return result;
}

// The instant at which the first timed span begins when several runs must
// start together: dorvik-clients gives every client one instant of the wall
// clock, and each run waits for it after opening its target, so that what
// starts together is the timed work itself, not the processes.
#include "start_instant.hpp"

#include "dorvik.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

struct timespec start_instant;
bool start_instant_pending;
int start_report_fd = -1;

namespace {

// When the first timed span began, by the wall clock, and whether that is
// still to be told: it is told once the span has ended, so that the telling
// wakes no process while the work begins.
struct timespec span_began;
bool start_to_tell;

// An instant given so far ahead is a mistake; waiting for it would look like a hang.
constexpr time_t LONGEST_WAIT_SECONDS = 3600;

[[noreturn]] void refuse_setting(const char *variable, const char *value, const char *what)
{
    fprintf(stderr, "dorvik: %s=%s is %s\n", variable, value, what);
    exit(1);
}

// Seconds since the epoch as digits, a point and up to nine more digits: no
// sign, exponent or white space, so that nothing is taken for what it is not.
bool read_instant(const char *text, struct timespec *instant)
{
    const char *point = strchr(text, '.');
    size_t whole = point != nullptr ? static_cast<size_t>(point - text) : strlen(text);
    size_t fraction = point != nullptr ? strlen(point + 1) : 0;
    if (whole == 0 || whole > 12 || fraction > 9 || strspn(text, "0123456789") != whole ||
        (point != nullptr && strspn(point + 1, "0123456789") != fraction))
        return false;
    instant->tv_sec = static_cast<time_t>(strtoll(text, nullptr, 10));
    long nanoseconds = 0;
    for (size_t i = 0; i < 9; i++)
        nanoseconds = nanoseconds * 10 + (i < fraction ? point[1 + i] - '0' : 0);
    instant->tv_nsec = nanoseconds;
    return true;
}

// A descriptor other than the standard ones, open for writing.
int read_report_fd(const char *text)
{
    if (strlen(text) == 0 || strlen(text) > 9 || strspn(text, "0123456789") != strlen(text))
        return -1;
    int fd = static_cast<int>(strtol(text, nullptr, 10));
    int flags = fcntl(fd, F_GETFL);
    if (fd <= STDERR_FILENO || flags < 0 || (flags & O_ACCMODE) == O_RDONLY)
        return -1;
    return fd;
}

bool has_come(const struct timespec &now)
{
    return now.tv_sec > start_instant.tv_sec ||
           (now.tv_sec == start_instant.tv_sec && now.tv_nsec >= start_instant.tv_nsec);
}

void report_start(const struct timespec &began)
{
    if (start_report_fd < 0)
        return;
    char line[48];
    int length = snprintf(line, sizeof line, "%lld.%09ld\n", static_cast<long long>(began.tv_sec), began.tv_nsec);
    ssize_t written = write(start_report_fd, line, static_cast<size_t>(length));
    (void)written;
}

// The wait runs under a real-time policy where this user may (as root), so
// that a busy machine does not wake the run late; the open of the target and
// the probe of its signatures, which may take seconds of processor time, are
// behind it, and sleeping under the policy takes nothing from anyone.
void enter_real_time()
{
    struct sched_param waiting = {};
    waiting.sched_priority = 1;
    sched_setscheduler(0, SCHED_FIFO, &waiting);
}

// The measured work must never run under a real-time policy. The start is
// read after the policy is gone: a run that other runs then keep off the
// processor reports a later start, which is what happened.
void leave_real_time()
{
    struct sched_param usual = {};
    if (sched_getscheduler(0) != SCHED_OTHER)
        sched_setscheduler(0, SCHED_OTHER, &usual);
}

} // namespace

void read_start_instant()
{
    const char *instant = getenv("DORVIK_START_AT");
    const char *report = getenv("DORVIK_START_FD");
    if (report != nullptr && instant == nullptr)
        refuse_setting("DORVIK_START_FD", report, "given without DORVIK_START_AT");
    if (instant == nullptr)
        return;
    if (!read_instant(instant, &start_instant))
        refuse_setting("DORVIK_START_AT", instant, "not an instant in seconds since the epoch, such as "
                       "1765200000.25");
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (start_instant.tv_sec - now.tv_sec > LONGEST_WAIT_SECONDS)
        refuse_setting("DORVIK_START_AT", instant, "more than an hour ahead of this machine's clock");
    if (report != nullptr) {
        start_report_fd = read_report_fd(report);
        if (start_report_fd < 0)
            refuse_setting("DORVIK_START_FD", report, "not a descriptor above 2 that is open for writing");
    }
    start_instant_pending = true;
}

// Reads the wall clock as the sleep goes, so that a clock set while waiting
// moves the start with it, as it moves everyone else's.
void wait_for_start_instant()
{
    if (!start_instant_pending)
        return;
    start_instant_pending = false;
    enter_real_time();
    struct timespec now = {};
    while (clock_gettime(CLOCK_REALTIME, &now) == 0 && !has_come(now)) {
        struct timespec rest = {start_instant.tv_sec - now.tv_sec, start_instant.tv_nsec - now.tv_nsec};
        if (rest.tv_nsec < 0) {
            rest.tv_sec--;
            rest.tv_nsec += 1000000000L;
        }
        nanosleep(&rest, nullptr);
    }
    leave_real_time();
    clock_gettime(CLOCK_REALTIME, &span_began);
    start_to_tell = true;
}

void tell_start()
{
    if (start_to_tell)
        report_start(span_began);
    start_to_tell = false;
}

// The instants at which timed spans begin when several runs must start
// together: dorvik-clients gives every client one instant of the wall clock,
// and each run waits for it after opening its target, so that what starts
// together is the timed work itself, not the processes. Given in the
// environment, one instant starts the first span. Read from a descriptor,
// one instant starts the write span and another the read span, so that
// every run has written before any run reads; the run says on the report
// descriptor when it is ready for each, and when each span began and ended.
#include "start_instant.hpp"

#include "extern.hpp"
#include "target.hpp"

#include <cerrno>
#include <csignal>
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
int instant_source_fd = -1;

namespace {

// When the timed span that followed the last wait began, by the wall clock
// and by the monotonic clock, and whether that span is still to be told: it
// is told once it has ended, so that the telling wakes no process while the
// work begins.
struct timespec span_began;
struct timespec span_began_monotonic;
bool span_to_tell;
// The write span, told when the run is ready for its read span's instant:
// once its pages are dropped, so that no run reads while another writes.
struct timespec write_span_began;
double write_span_seconds;
bool write_span_to_tell;

// The policy the run had before its wait, and its parameters: the measured
// work runs under it again, unless it was a real-time one.
int usual_policy = SCHED_OTHER;
struct sched_param usual_parameters;

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

// A descriptor other than the standard ones, open for writing (for reading
// when reading is set).
int read_fd_setting(const char *text, bool reading)
{
    if (strlen(text) == 0 || strlen(text) > 9 || strspn(text, "0123456789") != strlen(text))
        return -1;
    int fd = static_cast<int>(strtol(text, nullptr, 10));
    int flags = fcntl(fd, F_GETFL);
    if (fd <= STDERR_FILENO || flags < 0 || (flags & O_ACCMODE) == (reading ? O_WRONLY : O_RDONLY))
        return -1;
    return fd;
}

bool has_come(const struct timespec &now)
{
    return now.tv_sec > start_instant.tv_sec ||
           (now.tv_sec == start_instant.tv_sec && now.tv_nsec >= start_instant.tv_nsec);
}

void tell(const char *line, int length)
{
    if (start_report_fd < 0 || length <= 0)
        return;
    ssize_t written = write(start_report_fd, line, static_cast<size_t>(length));
    (void)written;
}

void report_start(const struct timespec &began)
{
    char line[48];
    tell(line, snprintf(line, sizeof line, "%lld.%09ld\n", static_cast<long long>(began.tv_sec), began.tv_nsec));
}

// "PHASE BEGAN ENDED": the monotonic clock's reading at which a phase's span
// began, and that reading plus the span's length: a wall clock set during
// the test moves neither. dorvik-clients runs on the same machine, and reads
// the same clock.
void report_span(const char *phase, const struct timespec &began, double seconds)
{
    double ended = static_cast<double>(began.tv_sec) + static_cast<double>(began.tv_nsec) / 1e9 + seconds;
    char line[96];
    tell(line, snprintf(line, sizeof line, "%s %lld.%09ld %.6f\n", phase, static_cast<long long>(began.tv_sec),
                        began.tv_nsec, ended));
}

// The end of the instants, or "stop": the run ends as an interrupted run
// does, its test file deleted. The handler never returns; _exit covers a
// SIGTERM that this process has blocked.
[[noreturn]] void stop_waiting()
{
    kill(getpid(), SIGTERM);
    _exit(0);
}

// Reads the next instant from instant_source_fd: one line, read a byte at a
// time so that nothing of a later line is taken.
void read_next_instant()
{
    char line[64];
    size_t length = 0;
    for (;;) {
        char byte = 0;
        ssize_t got = read(instant_source_fd, &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            stop_waiting();
        if (byte == '\n')
            break;
        if (length + 1 < sizeof line)
            line[length++] = byte;
    }
    line[length] = '\0';
    if (strcmp(line, "stop") == 0)
        stop_waiting();
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (!read_instant(line, &start_instant) || start_instant.tv_sec - now.tv_sec > LONGEST_WAIT_SECONDS) {
        fprintf(stderr, "dorvik: DORVIK_INSTANT_FD gave '%.40s', not an instant within an hour of this machine's "
                "clock\n", line);
        remove_test_file();
        exit(1);
    }
}

// Says that the run is ready for its next instant, and reads it.
void take_next_instant()
{
    if (write_span_to_tell)
        report_span("write", write_span_began, write_span_seconds);
    else
        tell("ready\n", 6);
    write_span_to_tell = false;
    read_next_instant();
}

// The wait runs under a real-time policy where this user may (as root), so
// that a busy machine does not wake the run late; the open of the target and
// the probe of its signatures, which may take seconds of processor time, are
// behind it, and sleeping under the policy takes nothing from anyone.
void enter_real_time()
{
    usual_policy = sched_getscheduler(0);
    if (usual_policy < 0 || sched_getparam(0, &usual_parameters) != 0)
        usual_policy = SCHED_OTHER;
    struct sched_param waiting = {};
    waiting.sched_priority = 1;
    sched_setscheduler(0, SCHED_FIFO, &waiting);
}

// Whether policy (with its flags) is a real-time one.
bool is_real_time(int policy)
{
    int plain = policy & ~SCHED_RESET_ON_FORK;
    return plain == SCHED_FIFO || plain == SCHED_RR || plain == SCHED_DEADLINE;
}

// The measured work must never run under a real-time policy: it runs under
// the policy the run was started with (a run under chrt -b or -i keeps it),
// or the usual one. The start is read after the real-time policy is gone: a
// run that other runs then keep off the processor reports a later start,
// which is what happened.
void leave_real_time()
{
    if (!is_real_time(usual_policy)) {
        sched_setscheduler(0, usual_policy, &usual_parameters);
        return;
    }
    struct sched_param usual = {};
    sched_setscheduler(0, SCHED_OTHER, &usual);
}

// Instants from a descriptor: the report descriptor is needed to say when
// the run is ready for each.
void read_instant_source(const char *source, const char *report)
{
    if (report == nullptr)
        refuse_setting("DORVIK_INSTANT_FD", source, "given without DORVIK_START_FD");
    instant_source_fd = read_fd_setting(source, true);
    if (instant_source_fd < 0)
        refuse_setting("DORVIK_INSTANT_FD", source, "not a descriptor above 2 that is open for reading");
    start_report_fd = read_fd_setting(report, false);
    if (start_report_fd < 0)
        refuse_setting("DORVIK_START_FD", report, "not a descriptor above 2 that is open for writing");
    start_instant_pending = true;
}

} // namespace

void read_start_instant()
{
    const char *instant = getenv("DORVIK_START_AT");
    const char *report = getenv("DORVIK_START_FD");
    const char *source = getenv("DORVIK_INSTANT_FD");
    if (source != nullptr && instant != nullptr)
        refuse_setting("DORVIK_INSTANT_FD", source, "given with DORVIK_START_AT: give one or the other");
    if (source != nullptr) {
        read_instant_source(source, report);
        return;
    }
    if (report != nullptr && instant == nullptr)
        refuse_setting("DORVIK_START_FD", report, "given without DORVIK_START_AT or DORVIK_INSTANT_FD");
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
        start_report_fd = read_fd_setting(report, false);
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
    if (instant_source_fd >= 0)
        take_next_instant();
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
    clock_gettime(CLOCK_MONOTONIC, &span_began_monotonic);
    span_to_tell = true;
}

void end_span(const char *phase, double seconds)
{
    if (!span_to_tell)
        return;
    span_to_tell = false;
    if (instant_source_fd < 0) {
        report_start(span_began);
    } else if (strcmp(phase, "write") == 0) {
        write_span_began = span_began_monotonic;
        write_span_seconds = seconds;
        write_span_to_tell = true;
        start_instant_pending = true;
    } else {
        report_span(phase, span_began_monotonic, seconds);
    }
}

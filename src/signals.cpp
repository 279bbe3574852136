// How a signal ends a run: a user's interrupt and its kin end it quietly
// with status 0, every other signal that would end the process ends it as
// that signal does, and both delete the test file first.
#include "signals.hpp"

#include "extern.hpp"
#include "target.hpp"

#include <algorithm>
#include <csignal>
#include <iterator>
#include <unistd.h>

namespace {

// Writes text with write(2) alone: the interrupt handler may run in the
// middle of any stdio call.
void write_text(const char *text)
{
    size_t length = 0;
    while (text[length] != '\0')
        length++;
    ssize_t written = write(STDOUT_FILENO, text, length);
    (void)written;
}

// Signals that end the run with status 0, as a user's interrupt does.
const int quiet_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
// Signals that end the run as they would have without a handler, so that a
// shell or a batch system still sees what ended it: every other signal whose
// default action ends the process and that can be caught, and with them the
// real-time signals, SIGRTMIN to SIGRTMAX, whose numbers are known only when
// the program runs. Those that report a fault of the program itself (SIGSEGV,
// SIGBUS, SIGILL, SIGFPE, SIGABRT) may also come from kill, and the test file
// goes either way.
const int fatal_signals[] = {SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV, SIGUSR2,
                             SIGALRM, SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSYS};

bool is_quiet(int signal_number)
{
    return std::any_of(std::begin(quiet_signals), std::end(quiet_signals),
                       [signal_number](int quiet) { return quiet == signal_number; });
}

// Ends the run on a signal. It unlinks only a file this process created:
// before the create, file_name may name something the run has not touched.
extern "C" void on_interrupt(int signal_number)
{
    write_text("\ndorvik: interrupted\n\n");
    if (!raw_mode) {
        write_text("deleting file: ");
        write_text(file_name);
        write_text("\n");
        remove_test_file();
    }
    write_text("exiting dorvik\n\n");
    if (is_quiet(signal_number))
        _exit(0);
    // Ended by the signal itself, with the default action that the handler replaced.
    signal(signal_number, SIG_DFL);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, signal_number);
    sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
    raise(signal_number);
}

} // namespace

// Every signal that would end the process takes the test file with it. A
// file-size limit must fail the write with EFBIG, not kill the process and
// leave the file behind.
void install_handlers()
{
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    sigfillset(&action.sa_mask);
    for (int signal_number : quiet_signals)
        sigaction(signal_number, &action, nullptr);
    for (int signal_number : fatal_signals)
        sigaction(signal_number, &action, nullptr);
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; signal_number++)
        sigaction(signal_number, &action, nullptr);
    signal(SIGXFSZ, SIG_IGN);
}

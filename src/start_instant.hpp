// The instant at which the first timed span begins when dorvik-clients
// starts several runs together.
#ifndef DORVIK_START_INSTANT_HPP
#define DORVIK_START_INSTANT_HPP

// Reads DORVIK_START_AT and DORVIK_START_FD, which dorvik-clients sets so
// that its clients' timed spans begin at one instant; a malformed value ends
// the run with status 1 before anything is created.
void read_start_instant();

// Waits, once per process, until the wall clock reaches start_instant, and
// notes when the timed span that follows began; returns at once when nothing
// is pending.
void wait_for_start_instant();

// Tells start_report_fd when the first timed span began, once that span has
// ended; does nothing at any other time.
void tell_start();

#endif

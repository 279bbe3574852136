// The instants at which timed spans begin when dorvik-clients starts
// several runs together.
#ifndef DORVIK_START_INSTANT_HPP
#define DORVIK_START_INSTANT_HPP

// Reads DORVIK_START_AT, DORVIK_START_FD and DORVIK_INSTANT_FD, which
// dorvik-clients sets so that its clients' timed spans begin at one instant;
// a malformed value ends the run with status 1 before anything is created.
void read_start_instant();

// Waits until the wall clock reaches the pending instant, and notes when the
// timed span that follows began; returns at once when nothing is pending.
// With instants read from a descriptor it first says that the run is ready
// (or how its write span went) and reads the instant; the end of the
// descriptor ends the run as an interrupt does.
void wait_for_start_instant();

// Called once the timed span of phase ("write" or "read") has ended, seconds
// long: tells start_report_fd when the span that followed the last wait
// began (and with instants from a descriptor, when it ended; the write
// span's instants are told at the wait for the read span's instant, which it
// makes pending). Does nothing for a span that followed no wait.
void end_span(const char *phase, double seconds);

#endif

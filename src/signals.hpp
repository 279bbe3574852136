// How a signal ends a run.
#ifndef DORVIK_SIGNALS_HPP
#define DORVIK_SIGNALS_HPP

// Installs the handler that deletes the test file for every signal that
// would end the run, and ignores SIGXFSZ.
void install_handlers();

#endif

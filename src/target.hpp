// The target of a test: its name, the folder it is reached through, how it
// is opened, locked and refused, and how the test file is deleted.
#ifndef DORVIK_TARGET_HPP
#define DORVIK_TARGET_HPP

#include <sys/stat.h>

// Copies name into file_name; a name too long for it, or one that holds a
// control character, ends the run with status 1 before anything uses it.
void set_file_name(const char *name);

// Opens the folder of file_name and points target_name at the rest; a name
// that ends in '/' names that folder itself.
void open_target_folder();

// Opens the target for the write phase, checked, locked and, in file mode,
// truncated: the test file of file mode, or raw mode's device or image.
// Every refusal ends the run.
int open_for_write();

// Opens the target for the read phase; it must still be the file the write
// phase wrote, or for cdrom= something that can be read as data.
int open_for_read();

// Opens the target without waiting: a FIFO with nobody at the other end
// fails or reads as empty at once instead of hanging the run.
int open_target(int flags, mode_t mode);

// Whether status is the target as the test first opened it.
bool is_target(const struct stat &status);

// Closes what the test held open: the write phase's descriptor, and with it
// its lock, and the folder.
void release_target();

// Unlinks the test file if this process holds its lock and it is still
// there, which a raw or CD-ROM target never is; signals are held off so that
// the interrupt handler never sees half of it. Safe to call from a signal handler.
void remove_test_file();

// Ends the run because the target cannot be used: the open-failure message
// of the mode on standard output, "dorvik: " and reason on standard error,
// status 1.
[[noreturn]] void refuse_target(const char *reason);

// Ends the run with reason "file_name what".
[[noreturn]] void refuse_with_name(const char *what);

#endif

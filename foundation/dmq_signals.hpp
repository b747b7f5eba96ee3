#pragma once
// Signal names for log and stop texts, and the two routines with which the daemon detaches from
// its terminal after the fork.
#include "foundation/dmq_types.hpp"

namespace zel {

// "SIGTERM" and the like for the platform's signal numbers; otherwise "Signal #" and the number.
UnicodeString SignalNameU(int sig);

// Descriptors 0, 1 and 2 onto "/dev/null" (0 for reading, 1 and 2 for writing). Returns 0, or the
// errno value of the first step that failed (the others are still done).
int RedirectStdToNull() noexcept;

// Opens "/dev/null" onto each of descriptors 0, 1 and 2 that is closed, so that the program's
// own descriptors (pipes, sockets, files) never take a standard number that a later redirect or a
// child would overwrite. Returns 0, or the errno value of the first step that failed.
int FillClosedStdHandles() noexcept;

// Closes every open descriptor from 3 to 1023.
void CloseExtraHandles() noexcept;

}  // namespace zel

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

// Closes every open descriptor from 3 to 1023.
void CloseExtraHandles() noexcept;

}  // namespace zel

#pragma once
// Readiness for a service manager (systemd's notify protocol): one datagram of "KEY=VALUE" lines
// to the unix datagram socket that NOTIFY_SOCKET names, a path or, with a leading "@", a name in
// the abstract namespace. The manager then counts the start as done only when the server listens,
// and a start that fails is reported as failed.
#include "foundation/dmq_types.hpp"

namespace zel {

// The socket NOTIFY_SOCKET names, taken out of the environment so that the programs the server
// starts do not inherit it; empty when no service manager waits. It changes the environment: call
// it before any thread exists.
AnsiString TakeNotifySocketName();

// Sends State (such as "READY=1") to the socket SocketName; 0 or the errno value (EINVAL for a
// name that is neither an absolute path nor "@" and a name, or does not fit an address).
int SendServiceNotify(AnsiView SocketName, AnsiView State);

}  // namespace zel

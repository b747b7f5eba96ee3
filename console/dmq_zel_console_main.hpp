#pragma once
// The console program: the server daemon and its own control tool in one executable. It reads the
// command line (flags, one command word, its parameters, an optional configuration file name) and
// runs one command: a local one (a file name, the PID file, a signal to the daemon, a manager
// password written into the configuration), one request to a running daemon, or the server itself
// in the foreground ("DEBUG": log on standard output; "RUN": log in the log file) or as a daemon
// ("DAEMON"). Every path ends with one of the exit codes below.
#include <cstdint>

#include "foundation/dmq_types.hpp"

namespace zel {

// Process exit codes.
inline constexpr int ZELExitOk = 0;
inline constexpr int ZELExitUsage = 1;            // bad flags, command word or parameters
inline constexpr int ZELExitNoConfig = 2;         // the configuration file does not exist
inline constexpr int ZELExitError = 3;            // no UTF-8, an error, a failed start
inline constexpr int ZELExitDaemonRunning = 4;    // "DAEMON" with the PID file present
inline constexpr int ZELExitBadPidFile = 5;       // a PID file without a valid number
inline constexpr int ZELExitChangesLost = 6;      // a server that stopped with list changes not saved
inline constexpr int ZELExitManagerNotFound = 8;  // "SETMANPASSADDR" with no or several sections
inline constexpr int ZELExitDaemonCommand = 16;   // a daemon command that could not be sent

// The daemon parent waits this long for the child's report that the service started.
inline constexpr int ZELDaemonStartLimitMs = 30000;

// "Tolvenar-Server-r6583-<platform> [<config>] started as daemon with PID=<pid> [<PID file>]".
UnicodeString FormatDaemonStartLine(UnicodeView ConfigFileName, int32_t Pid, UnicodeView PidFileName);

// The whole program; the process's exit code. Call it first thing in main: it blocks the signals
// that its signal thread takes before any thread exists. DefaultConfigFileName is the
// configuration used when the command line names none (relative: against the program's directory).
int ZELServerConsoleMain(int argc, char** argv, AnsiView DefaultConfigFileName);

}  // namespace zel

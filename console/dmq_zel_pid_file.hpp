#pragma once
// The daemon's PID file, held for the daemon's life. It is created exclusively, so two daemons
// starting at once never both run on one file, and it carries a write lock (fcntl) that only the
// running daemon holds: a PID in the file counts as the daemon only while that process holds the
// lock, so a stale file whose number the system gave to another process never gets it signalled.
// A file whose lock nobody holds was left by a daemon that died without removing it (a kill, a
// crash): the next daemon takes it over by taking its lock, which only one process can win.
//
// The lock belongs to the process and ends when any descriptor of the file is closed in it: the
// daemon opens the file only here.
#include <sys/types.h>

#include <cerrno>

#include "foundation/dmq_types.hpp"

namespace zel {

class TZELPidFile {
public:
    TZELPidFile() = default;
    TZELPidFile(const TZELPidFile&) = delete;
    TZELPidFile& operator=(const TZELPidFile&) = delete;
    // Removes the file when this object created it (see Remove).
    ~TZELPidFile();

    // Creates Name (system charset) exclusively, locks it and writes Pid and a line feed. 0, or
    // the errno value: EEXIST when the file exists (or another process locked it first); nothing
    // of this call is left behind on failure.
    int Create(AnsiView Name, pid_t Pid);
    // Create, or else the take-over of a stale file of that name: a file whose lock no process
    // holds, when it is plainly a PID file of this server (a regular file of one link, owned by
    // the effective user, empty or holding a number and a line feed), is locked, emptied and
    // written with Pid, and Stale is set. EEXIST while a process holds the lock; a refusal code
    // (PidFileRefusalText) when the name holds anything else; else 0 or the errno value.
    int Acquire(AnsiView Name, pid_t Pid, bool& Stale);
    // The number the stale file taken over held: 0 when it held none.
    pid_t TakenOverPid() const noexcept { return TakenOverPid_; }
    // Unlinks the file if the name still leads to the file this object created (an operator may
    // have deleted it and another daemon made a new one), then closes it. Failures are ignored.
    void Remove() noexcept;
    bool Held() const noexcept { return Fd_ >= 0; }

private:
    // The take-over of an existing file: 0, EEXIST, a refusal, ENOENT when the name vanished or
    // now leads to another file (try again), or the errno value.
    int TakeOver(const AnsiString& Name, pid_t Pid);

    AnsiString Name_;
    int Fd_ = -1;
    pid_t TakenOverPid_ = 0;
};

// A PID file's content that is no process id of ours.
constexpr int ErrPidFileNotAPid = EBADMSG;

// What a refusal of Acquire says the file is ("is a symbolic link", ...); empty for other codes.
AnsiString PidFileRefusalText(int Code);

// Why a stale PID file that held the number Held was taken over, for the start's warning: "it held
// no process id" (Held 0); "no process of this server held its lock" when Held names a live
// process (another program the system gave the number since, maybe another user's); else "no
// process held it".
AnsiString StalePidFileReason(pid_t Held);

// The process holding the lock of the PID file Name: 0 when none holds it (or the file cannot be
// opened).
pid_t PidFileLockHolder(AnsiView Name) noexcept;

// True when Pid is the daemon of the PID file Name: it exists and holds the file's lock.
bool PidFileDaemonAlive(AnsiView Name, pid_t Pid) noexcept;

}  // namespace zel

#include "net/dmq_waiter2_pipe.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "foundation/dmq_fileutils.hpp"

namespace zel {

TWaiter2Pipe::TWaiter2Pipe(int32_t maxResources) : TWaiter2Base(maxResources) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw EWaiterErrorCreatePipe(SysErrorText(errno));
    pipeRead_ = fds[0];
    pipeWrite_ = fds[1];
    pipeIdent_ = pipeRead_;
    try {
        pipeResource_ = AddResource(nullptr, pipeRead_);
        ClearInterrupt();
    } catch (...) {
        ClosePipe();
        throw;
    }
}

TWaiter2Pipe::~TWaiter2Pipe() { ClosePipe(); }

void TWaiter2Pipe::ClosePipe() {
    if (pipeRead_ >= 0) ::close(pipeRead_);
    pipeRead_ = -1;
    if (pipeWrite_ >= 0) ::close(pipeWrite_);
    pipeWrite_ = -1;
}

void TWaiter2Pipe::Interrupt() {
    // A pending wake-up ends the owner's wait already: one byte serves any number of callers.
    if (wakePending_.exchange(true, std::memory_order_acq_rel)) return;
    const char b = 1;
    for (;;) {
        if (::write(pipeWrite_, &b, 1) >= 0) return;
        int e = errno;
        if (e == EINTR) continue;
        // A full pipe already holds a pending wake-up.
        if (e == 0 || e == EAGAIN) return;
        wakePending_.store(false, std::memory_order_release);
        throw EWaiterErrorWritePipe(SysErrorText(e));
    }
}

void TWaiter2Pipe::ClearInterrupt() {
    char buf[1024];
    for (;;) {
        ssize_t n = ::read(pipeRead_, buf, sizeof buf);
        if (n == ssize_t(sizeof buf)) continue;
        if (n >= 0) break;
        int e = errno;
        if (e == EINTR) continue;
        if (e == EAGAIN || e == EINPROGRESS) break;
        throw EWaiterErrorWritePipe(SysErrorText(e));
    }
    // Cleared only after the drain. An Interrupt that still found the flag set is served by the
    // wake-up the owner is returning now (the acquire makes its caller's work visible). Cleared
    // before, a byte written in between could be drained and leave the flag set over an empty
    // pipe, and every later Interrupt would be lost.
    wakePending_.exchange(false, std::memory_order_acq_rel);
}

}  // namespace zel

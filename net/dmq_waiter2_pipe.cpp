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
    const char b = 1;
    for (;;) {
        if (::write(pipeWrite_, &b, 1) >= 0) return;
        int e = errno;
        if (e == EINTR) continue;
        // A full pipe already holds a pending wake-up.
        if (e == 0 || e == EAGAIN) return;
        throw EWaiterErrorWritePipe(SysErrorText(e));
    }
}

void TWaiter2Pipe::ClearInterrupt() {
    char buf[1024];
    for (;;) {
        ssize_t n = ::read(pipeRead_, buf, sizeof buf);
        if (n == ssize_t(sizeof buf)) continue;
        if (n >= 0) return;
        int e = errno;
        if (e == EINTR) continue;
        if (e == EAGAIN || e == EINPROGRESS) return;
        throw EWaiterErrorWritePipe(SysErrorText(e));
    }
}

}  // namespace zel

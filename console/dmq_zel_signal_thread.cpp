#include "console/dmq_zel_signal_thread.hpp"

#include <cerrno>
#include <ctime>

namespace zel {

TZELSignalThread::TZELSignalThread(const sigset_t& Signals) : Signals_(Signals) {}

TZELSignalThread::~TZELSignalThread() { TerminateAndWait(); }

void TZELSignalThread::Execute() {
    const timespec wait{0, kWaitMs * 1000000L};
    while (!Terminated()) {
        siginfo_t info;
        const int sig = sigtimedwait(&Signals_, &info, &wait);
        if (sig <= 0) continue;  // the time-out (EAGAIN) or EINTR: look at the flag again
        if (OnSignal) GuardedCall([&] { OnSignal(sig); }, [](const char*, const std::string&) {});
    }
}

}  // namespace zel

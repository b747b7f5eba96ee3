#include "service/dmq_zel_svc_timer.hpp"

#include "net/dmq_sock.hpp"

namespace zel {

// The waiter watches nothing but its own wake-up pipe.
TZELTimer::TZELTimer() : waiter_(std::make_unique<TWaiter2Socket>(0)) {}

TZELTimer::~TZELTimer() {
    // Execute uses the waiter and the handlers: end it before they go.
    TerminateAndWait();
}

void TZELTimer::TerminatedSet() { waiter_->Interrupt(); }

void TZELTimer::StartStop(bool Start) {
    // The flag before the wake, so the woken thread always sees it.
    if (Start)
        startRequest_.store(true, std::memory_order_release);
    else
        stopRequest_.store(true, std::memory_order_release);
    waiter_->Interrupt();
}

void TZELTimer::Wake() { waiter_->Interrupt(); }

void TZELTimer::ReportError(const char* ClassName, const std::string& Message) {
    if (!OnError) return;
    UnicodeString text = u"Work loop: ";
    text += DecodeUtf8U(ClassName);
    text += u": ";
    text += DecodeUtf8U(Message);
    OnError(text);
}

bool TZELTimer::Step() {
    const uint32_t now = GetTickMs();
    const int32_t d = static_cast<int32_t>(now - base_);
    uint32_t wait;
    if (d < 0) {
        // The base only moves forward in whole steps it has already reached; should it ever be
        // ahead, never sleep longer than one step.
        wait = base_ - now;
        if (wait > kTickMs) wait = kTickMs;
    } else {
        // Whole steps only, so a slow handler or an early wake never shifts the grid.
        base_ += static_cast<uint32_t>(d) / kTickMs * kTickMs;
        wait = kTickMs - static_cast<uint32_t>(d) % kTickMs;
    }
    if (wait == 0) wait = kTickMs;
    waiter_->WaitForInterrupt(wait);
    if (stopRequest_.load(std::memory_order_acquire) || Terminated()) return false;
    if (OnTimer) OnTimer();
    return true;
}

void TZELTimer::Execute() {
    executeStarted_.store(true, std::memory_order_release);
    auto report = [this](const char* cls, const std::string& msg) { ReportError(cls, msg); };
    while (!Terminated()) {
        if (startRequest_.exchange(false, std::memory_order_acq_rel)) {
            if (!running_.load(std::memory_order_relaxed)) {
                base_ = GetTickMs();
                running_.store(true, std::memory_order_release);
            }
        }
        if (stopRequest_.exchange(false, std::memory_order_acq_rel))
            running_.store(false, std::memory_order_release);
        if (running_.load(std::memory_order_relaxed)) {
            for (;;) {
                if (Terminated()) break;
                bool goOn = true;
                GuardedCall([&] { goOn = Step(); }, report);
                if (!goOn) break;
            }
            // Take the stop request (and any start behind it) before sleeping: sleeping with the
            // stop still pending would let it swallow the next start request.
            continue;
        }
        // Not ticking: sleep until a start or stop request, a wake or the end.
        GuardedCall([&] { waiter_->WaitForInterrupt(WAITER_INFINITE); }, report);
    }
    running_.store(false, std::memory_order_release);
}

}  // namespace zel

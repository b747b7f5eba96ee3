#pragma once
// The timer thread of the service: calls OnTimer on a fixed 100 ms grid, and at once whenever
// another thread wakes it (every post to the service queue does). It knows nothing of the
// service beyond its two handlers.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "foundation/dmq_thread.hpp"
#include "foundation/dmq_types.hpp"
#include "net/dmq_waiter2_socket.hpp"

namespace zel {

class TZELTimer : public TThread {
public:
    using TErrorEvent = std::function<void(const UnicodeString& Text)>;
    using TTimerEvent = std::function<void()>;

    static constexpr uint32_t kTickMs = 100;

    // Created stopped and not ticking: set the handlers, then Start(); the tick begins with
    // StartStop(true).
    TZELTimer();
    ~TZELTimer() override;

    // Any thread.
    void StartStop(bool Start);
    void Wake();

    // Set by the thread once its loop has begun; the service polls it after Start().
    bool ExecuteStarted() const noexcept { return executeStarted_.load(std::memory_order_acquire); }
    bool Running() const noexcept { return running_.load(std::memory_order_acquire); }

    // Set before Start(); both run only on the timer thread.
    TErrorEvent OnError;
    TTimerEvent OnTimer;

protected:
    void Execute() override;
    void TerminatedSet() override;

private:
    // One wait to the next grid point and one tick; false when the running loop must end.
    bool Step();
    void ReportError(const char* ClassName, const std::string& Message);

    std::unique_ptr<TWaiter2Socket> waiter_;
    std::atomic<bool> executeStarted_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> startRequest_{false};
    std::atomic<bool> stopRequest_{false};
    // Start of the current step; timer thread only.
    uint32_t base_ = 0;
};

}  // namespace zel

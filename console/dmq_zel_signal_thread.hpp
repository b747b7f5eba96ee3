#pragma once
// The one thread that takes the program's signals. The main program blocks them first thing,
// before any other thread exists, so every thread inherits the block and no signal ever interrupts
// a thread in the middle of an allocation or a lock; this thread takes them with sigtimedwait and
// hands each to OnSignal as an ordinary call, which may allocate, lock and post.
#include <signal.h>

#include <functional>

#include "foundation/dmq_thread.hpp"

namespace zel {

class TZELSignalThread : public TThread {
public:
    // How long one wait lasts before the thread looks at its terminate flag again.
    static constexpr int kWaitMs = 100;

    // Signals: the set to take; they must be blocked in every thread before this one starts.
    explicit TZELSignalThread(const sigset_t& Signals);
    ~TZELSignalThread() override;

    // Runs on this thread for each signal taken; set before Start().
    std::function<void(int Signal)> OnSignal;

protected:
    void Execute() override;

private:
    sigset_t Signals_;
};

}  // namespace zel

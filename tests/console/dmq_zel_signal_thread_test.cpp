#include "console/dmq_zel_signal_thread.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace zel {
namespace {

using namespace std::chrono_literals;

// A signal sent to the process before the thread runs waits for it; each is handed over once, on
// the thread; the thread ends promptly when asked.
TEST(SignalThread, TakesBlockedSignalsAndEnds) {
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &set, &old), 0);
    ASSERT_EQ(kill(getpid(), SIGUSR1), 0);  // pending until the thread takes it

    std::atomic<int> usr1{0}, usr2{0};
    std::atomic<bool> onMain{false};
    const std::thread::id main = std::this_thread::get_id();
    {
        TZELSignalThread t(set);
        t.OnSignal = [&](int Sig) {
            if (std::this_thread::get_id() == main) onMain = true;
            (Sig == SIGUSR1 ? usr1 : usr2)++;
        };
        t.Start();
        ASSERT_EQ(kill(getpid(), SIGUSR2), 0);
        const auto end = std::chrono::steady_clock::now() + 5s;
        while ((usr1 == 0 || usr2 == 0) && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
        const auto stop = std::chrono::steady_clock::now();
        t.TerminateAndWait();
        EXPECT_LT(std::chrono::steady_clock::now() - stop, 1s);
    }
    EXPECT_EQ(usr1, 1);
    EXPECT_EQ(usr2, 1);
    EXPECT_FALSE(onMain);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace
}  // namespace zel

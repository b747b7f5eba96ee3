#include "service/dmq_zel_svc_timer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/dmq_types.hpp"
#include "net/dmq_sock.hpp"

namespace zel {
namespace {

using namespace std::chrono_literals;

// Records the tick of every OnTimer call and the error texts; the tests wait on it with limits.
struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<uint32_t> calls;
    std::vector<UnicodeString> errors;
    // Per call number (1-based): how long the handler stalls, and whether it raises.
    int stallAt = 0;
    int stallMs = 0;
    int throwAt = 0;
    uint32_t stallEnd = 0;

    void Hook(TZELTimer& t) {
        t.OnTimer = [this] {
            int n;
            {
                std::lock_guard<std::mutex> l(m);
                calls.push_back(GetTickMs());
                n = int(calls.size());
            }
            cv.notify_all();
            if (n == stallAt) {
                std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
                std::lock_guard<std::mutex> l(m);
                stallEnd = GetTickMs();
            }
            if (n == throwAt) throw EConvertError("boom");
        };
        t.OnError = [this](const UnicodeString& s) {
            std::lock_guard<std::mutex> l(m);
            errors.push_back(s);
        };
    }
    size_t Count() {
        std::lock_guard<std::mutex> l(m);
        return calls.size();
    }
    bool WaitCount(size_t n, std::chrono::milliseconds limit = 3000ms) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, limit, [&] { return calls.size() >= n; });
    }
    std::vector<uint32_t> Calls() {
        std::lock_guard<std::mutex> l(m);
        return calls;
    }
};

void StartThread(TZELTimer& t) {
    t.Start();
    for (int i = 0; i < 250 && !t.ExecuteStarted(); ++i) std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(t.ExecuteStarted());
}

// Phase of a tick on the 100 ms grid of ref, in -49..50 ms.
int32_t Phase(uint32_t tick, uint32_t ref) {
    int32_t p = int32_t((tick - ref) % TZELTimer::kTickMs);
    return p > 50 ? p - int32_t(TZELTimer::kTickMs) : p;
}

// A tick on the grid: ticks only ever come late, so the least late one marks the grid.
uint32_t GridRef(const std::vector<uint32_t>& ticks) {
    int32_t least = 0;
    for (uint32_t t : ticks) least = std::min(least, Phase(t, ticks[0]));
    return ticks[0] + uint32_t(least);
}

// Ticks more than 30 ms behind their grid point. A shifted grid moves every later tick, so
// allowing one such tick leaves room for a scheduling hiccup without hiding a fault.
size_t LateTicks(const std::vector<uint32_t>& ticks) {
    const uint32_t ref = GridRef(ticks);
    size_t late = 0;
    for (uint32_t t : ticks)
        if ((t - ref) % TZELTimer::kTickMs > 30) ++late;
    return late;
}

TEST(ZELTimer, NoTickBeforeStartEvenWhenWoken) {
    Recorder r;
    TZELTimer t;
    r.Hook(t);
    StartThread(t);
    for (int i = 0; i < 5; ++i) {
        t.Wake();
        std::this_thread::sleep_for(30ms);
    }
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(r.Count(), 0u);
    EXPECT_FALSE(t.Running());
}

TEST(ZELTimer, TicksOnGridStopsAndRestartsFromNewGrid) {
    Recorder r;
    TZELTimer t;
    r.Hook(t);
    StartThread(t);
    const uint32_t started = GetTickMs();
    t.StartStop(true);
    ASSERT_TRUE(r.WaitCount(6));
    const uint32_t elapsed = GetTickMs() - started;
    // Six ticks of 100 ms: about 600 ms.
    EXPECT_GE(elapsed, 500u);
    EXPECT_LT(elapsed, 1500u);
    EXPECT_LE(LateTicks(r.Calls()), 1u);

    // Stop right after a tick, restart in the middle of the old step: the first tick comes a
    // whole step after the restart, not at the old grid's next point.
    size_t n = r.Count();
    ASSERT_TRUE(r.WaitCount(n + 1));
    const uint32_t last = r.Calls().back();
    t.StartStop(false);
    std::this_thread::sleep_for(300ms);
    n = r.Count();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(r.Count(), n) << "ticks after a stop request";
    EXPECT_FALSE(t.Running());

    for (int i = 0; i < 200 && std::abs(Phase(GetTickMs(), last)) < 40; ++i) std::this_thread::sleep_for(1ms);
    const uint32_t restart = GetTickMs();
    t.StartStop(true);
    ASSERT_TRUE(r.WaitCount(n + 1));
    const uint32_t first = r.Calls()[n];
    EXPECT_GE(first - restart, 75u);
    EXPECT_LT(first - restart, 300u);
}

TEST(ZELTimer, SlowHandlerAndWakeKeepTheGrid) {
    Recorder r;
    r.stallAt = 2;
    r.stallMs = 250;
    TZELTimer t;
    r.Hook(t);
    StartThread(t);
    t.StartStop(true);
    ASSERT_TRUE(r.WaitCount(6));
    auto calls = r.Calls();
    // After the stall the next tick comes at the next grid point (50 ms later for a stall of
    // exactly 250 ms), not a whole step after the handler returned.
    uint32_t stallEnd;
    {
        std::lock_guard<std::mutex> l(r.m);
        stallEnd = r.stallEnd;
    }
    EXPECT_LT(calls[2] - stallEnd, 100u);
    EXPECT_LE(LateTicks(calls), 1u);

    // A wake in the middle of a step ticks at once, and the ticks after it stay on the grid.
    const uint32_t ref = GridRef(calls);
    for (int i = 0; i < 200 && std::abs(Phase(GetTickMs(), ref) - 50) > 5; ++i) std::this_thread::sleep_for(1ms);
    const uint32_t woke = GetTickMs();
    const size_t n = r.Count();
    t.Wake();
    ASSERT_TRUE(r.WaitCount(n + 4));
    calls = r.Calls();
    EXPECT_LT(calls[n] - woke, 40u) << "the wake did not tick at once";
    std::vector<uint32_t> onGrid(calls.begin(), calls.begin() + long(n));
    onGrid.insert(onGrid.end(), calls.begin() + long(n) + 1, calls.end());
    EXPECT_LE(LateTicks(onGrid), 1u);
}

TEST(ZELTimer, HandlerExceptionIsReportedAndSurvived) {
    Recorder r;
    r.throwAt = 2;
    TZELTimer t;
    r.Hook(t);
    StartThread(t);
    t.StartStop(true);
    ASSERT_TRUE(r.WaitCount(4));
    std::lock_guard<std::mutex> l(r.m);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0], u"Work loop: EConvertError: boom");
}

TEST(ZELTimer, EndsPromptlyInEveryState) {
    // Never started, idle, and ticking with a handler that keeps waking the timer.
    { TZELTimer t; }
    {
        TZELTimer t;
        StartThread(t);
    }
    Recorder r;
    const uint32_t before = GetTickMs();
    {
        TZELTimer t;
        r.Hook(t);
        StartThread(t);
        t.StartStop(true);
        ASSERT_TRUE(r.WaitCount(2));
        for (int i = 0; i < 50; ++i) t.Wake();
    }
    EXPECT_LT(GetTickMs() - before, 2000u);
}

}  // namespace
}  // namespace zel

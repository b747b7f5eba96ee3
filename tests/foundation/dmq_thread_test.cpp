#include "foundation/dmq_thread.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace zel {
namespace {

using namespace std::chrono_literals;

class TLoopThread : public TThread {
public:
    ~TLoopThread() override { TerminateAndWait(); }
    std::atomic<int> passes{0};
    std::atomic<int> wakeups{0};
    std::atomic<size_t> stack_size{0};
    std::string reported;

protected:
    void Execute() override {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            size_t sz = 0;
            pthread_attr_getstacksize(&attr, &sz);
            stack_size = sz;
            pthread_attr_destroy(&attr);
        }
        while (!Terminated()) {
            // Each pass is guarded: a failing pass is reported and the loop goes on.
            GuardedCall(
                [this] {
                    if (++passes == 2) throw EThread("pass failed");
                },
                [this](const char* cls, const std::string& msg) { reported = std::string(cls) + ": " + msg; });
            std::this_thread::sleep_for(1ms);
        }
    }
    void TerminatedSet() override { ++wakeups; }
};

TEST(Thread, RunsAfterStartSurvivesAGuardedFailureAndStops) {
    TLoopThread t;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(t.passes.load(), 0) << "no Execute before Start";
    t.Start();
    for (int i = 0; i < 2000 && t.passes.load() < 5; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_GE(t.passes.load(), 5);
    t.TerminateAndWait();
    EXPECT_TRUE(t.Finished());
    EXPECT_EQ(t.wakeups.load(), 1);
    EXPECT_EQ(t.reported, "EThread: pass failed");
    EXPECT_GE(t.stack_size.load(), TThread::kStackSize);
}

class TThrowingThread : public TThread {
public:
    ~TThrowingThread() override { TerminateAndWait(); }
    std::string reported;

protected:
    void Execute() override { throw std::runtime_error("boom"); }
    void HandleException(const char* cls, const std::string& msg) override {
        reported = std::string(cls) + ": " + msg;
    }
};

TEST(Thread, EscapingExceptionIsReportedAndEndsTheThread) {
    TThrowingThread t;
    t.Start();
    t.WaitFor();
    EXPECT_TRUE(t.Finished());
    EXPECT_EQ(t.reported, "Exception: boom");
}

class TSyncThread : public TThread {
public:
    ~TSyncThread() override { TerminateAndWait(); }
    std::atomic<bool> ran_on_main{false};
    std::atomic<bool> error_came_back{false};

protected:
    void Execute() override {
        Synchronize([this] { ran_on_main = TThread::IsMainThread(); });
        try {
            Synchronize([] { throw EThread("in main"); });
        } catch (const EThread&) {
            error_came_back = true;
        }
    }
};

TEST(Thread, SynchronizeRunsOnTheMainThreadWhileItWaits) {
    ASSERT_TRUE(TThread::IsMainThread());
    TSyncThread t;
    t.Start();
    t.WaitFor();  // serves the calls
    EXPECT_TRUE(t.ran_on_main.load());
    EXPECT_TRUE(t.error_came_back.load());
}

TEST(Thread, CheckSynchronizeServesCallsFromManyThreads) {
    std::atomic<int> count{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&count] {
            for (int k = 0; k < 25; ++k) TThread::Synchronize([&count] { ++count; });
        });
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (count.load() < 100 && std::chrono::steady_clock::now() < deadline) TThread::CheckSynchronize(50);
    for (auto& th : threads) th.join();
    EXPECT_EQ(count.load(), 100);
}

TEST(CriticalSection, GuardsACounter) {
    struct {
        TCriticalSection cs;
        long counter ZEL_GUARDED_BY(cs) = 0;
    } shared;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&shared] {
            for (int k = 0; k < 10000; ++k) {
                TCriticalSectionLock lock(shared.cs);
                ++shared.counter;
            }
        });
    for (auto& th : threads) th.join();
    TCriticalSectionLock lock(shared.cs);
    EXPECT_EQ(shared.counter, 40000);
}

// A derived thread that forgets to end its Execute in its own destructor: in debug and sanitizer
// builds the base destructor stops the program instead of letting Execute run on a half-destroyed
// object.
TEST(ThreadDeathTest, DestroyedWhileExecuteRunsAborts) {
#if ZEL_THREAD_LIFETIME_CHECK
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct TForgetful : TThread {
        void Execute() override {
            while (!Terminated()) std::this_thread::sleep_for(1ms);
        }
    };
    EXPECT_DEATH(
        {
            auto* t = new TForgetful;
            t->Start();
            delete t;
        },
        // ThreadSanitizer sees the same fault first (the destructor's vptr write races with Execute).
        "Execute is still running|data race on vptr");
    // One that ends its thread first is fine, also when Execute has already returned.
    TThrowingThread done;
    done.Start();
    done.WaitFor();
#else
    GTEST_SKIP() << "release build: the check is on in debug and sanitizer builds";
#endif
}

}  // namespace
}  // namespace zel

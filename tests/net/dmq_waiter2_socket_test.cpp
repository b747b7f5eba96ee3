#include "net/dmq_waiter2_socket.hpp"

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/loopback.hpp"

using namespace zel;
using namespace zeltest;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

struct Seen {
    TWaiter2Resource* resource;
    uint8_t events;
    int32_t pass;
};

// Wait with both hooks; records every OnEvent call and how many before-events calls came first.
struct Recorder {
    std::vector<Seen> seen;
    int before = 0;
    bool beforeFirst = true;
    TWaiterResult Wait(TWaiter2Socket& w, uint32_t timeout, int32_t passes = 1) {
        TWaiter2WaitRequest req;
        req.UserData = this;
        req.Timeout = timeout;
        req.Passes = passes;
        req.OnBeforeEvents = [](TWaiter2Event& e) {
            auto* self = static_cast<Recorder*>(e.UserData);
            EXPECT_EQ(e.Resource, nullptr);
            if (!self->seen.empty()) self->beforeFirst = false;
            ++self->before;
        };
        req.OnEvent = [](TWaiter2Event& e) {
            auto* self = static_cast<Recorder*>(e.UserData);
            self->seen.push_back({e.Resource, e.Events, e.Pass});
        };
        return w.Wait(req);
    }
};

void Send1(int fd) { ASSERT_EQ(send(fd, "x", 1, MSG_NOSIGNAL), 1); }

// Registers p.a, then closes it while a copy lives on (as a child between fork and exec holds
// one), frees its record and makes the old file readable: its epoll entry stays behind, stale.
// Returns the copy for the caller to close; -1 when a step failed.
int LeaveStaleEntry(TWaiter2Socket& w, TcpPair& p, uint8_t bits) {
    const int copy = fcntl(p.a, F_DUPFD_CLOEXEC, 0);
    TWaiter2Resource* r = w.AddResource(nullptr, p.a);
    const bool registered = w.SetResourceEvents(r, bits) == 0;
    close(p.a);
    p.a = -1;
    w.FreeResource(r);
    if (copy < 0 || !registered || send(p.b, "x", 1, MSG_NOSIGNAL) != 1 || !PollFor(copy, POLLIN, 1000)) {
        if (copy >= 0) close(copy);
        return -1;
    }
    return copy;
}

// CPU time of the calling thread, user and system, in milliseconds.
long ThreadCpuMs() {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000L + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000L;
}

TEST(Waiter, CapacityAndTheResourceTable) {
    struct Case {
        int32_t arg, max;
    };
    for (Case c : {Case{0, 0}, Case{-5, 0}, Case{3, 3}}) {
        SCOPED_TRACE(c.arg);
        TWaiter2Socket w(c.arg);
        EXPECT_EQ(w.Limit(), 1000000);
        EXPECT_EQ(w.MaxResources(), c.max);
        EXPECT_EQ(w.ResourceSize(), 64u);
        EXPECT_EQ(w.LastIndex(), 0) << "the wake-up pipe holds slot 0";
        EXPECT_EQ(w.Resource(0), w.PipeResource());
        EXPECT_EQ(w.PipeResource()->Handle, w.PipeRead());
        EXPECT_TRUE(fcntl(w.PipeRead(), F_GETFD) & FD_CLOEXEC);
        EXPECT_TRUE(fcntl(w.PipeWrite(), F_GETFD) & FD_CLOEXEC);
        EXPECT_TRUE(fcntl(w.KQueue(), F_GETFD) & FD_CLOEXEC);
        for (int32_t i = 0; i < c.max; ++i) w.AddResource(nullptr, 100 + i);
        try {
            w.AddResource(nullptr, 99);
            ADD_FAILURE() << "no exception";
        } catch (const EWaiterNoFreeResources& e) {
            EXPECT_STREQ(e.what(), "No free wait resources");
            EXPECT_STREQ(e.ClassName(), "EWaiterNoFreeResources");
        }
    }
}

TEST(Waiter, FreeingKeepsSlotsDenseAndInOrder) {
    TWaiter2Socket w(3);
    int d[3];
    TWaiter2Resource* r[3];
    for (int i = 0; i < 3; ++i) r[i] = w.AddResource(&d[i], 10 + i);
    w.FreeResource(r[0]);  // slot 1
    ASSERT_EQ(w.LastIndex(), 2);
    EXPECT_EQ(w.Resource(1), r[1]);
    EXPECT_EQ(w.Resource(2), r[2]);
    EXPECT_EQ(r[1]->Index, 1);
    EXPECT_EQ(r[2]->Index, 2);
    EXPECT_EQ(r[2]->Data, &d[2]);
    w.FreeResourceAt(2);
    EXPECT_EQ(w.LastIndex(), 1);
    w.AddResource(nullptr, 20);
    w.AddResource(nullptr, 21);
    EXPECT_THROW(w.AddResource(nullptr, 22), EWaiterNoFreeResources);
}

TEST(Waiter, TimeoutLimits) {
    TWaiter2Socket w(0);
    try {
        w.WaitForInterrupt(86390001u);
        ADD_FAILURE() << "no exception";
    } catch (const EWaiterTooLargeTime& e) {
        EXPECT_STREQ(e.what(), "Timeout is too large: 86390001");
    }
    // The largest limit and no limit are accepted; a pending wake-up ends them at once.
    for (uint32_t t : {86390000u, WAITER_INFINITE}) {
        w.Interrupt();
        EXPECT_EQ(w.WaitForInterrupt(t), TWaiterResult::wr_Interrupt);
    }
    auto t0 = steady_clock::now();
    EXPECT_EQ(w.WaitForInterrupt(40), TWaiterResult::wr_Timeout);
    EXPECT_GE(steady_clock::now() - t0, milliseconds(35));
}

TEST(Waiter, ManyWakeUpsMakeOneInterrupt) {
    TWaiter2Socket w(0);
    for (int i = 0; i < 10; ++i) w.Interrupt();
    EXPECT_EQ(w.WaitForInterrupt(1000), TWaiterResult::wr_Interrupt);
    EXPECT_EQ(w.WaitForInterrupt(20), TWaiterResult::wr_Timeout);
    // A full pipe is a pending wake-up, not an error.
    for (int i = 0; i < 100000; ++i) w.Interrupt();
    EXPECT_EQ(w.WaitForInterrupt(1000), TWaiterResult::wr_Interrupt);
    EXPECT_EQ(w.WaitForInterrupt(0), TWaiterResult::wr_Timeout);
}

TEST(Waiter, WaitForInterruptRefusesRegisteredResources) {
    TWaiter2Socket w(1);
    TWaiter2Resource* r = w.AddResource(nullptr, 0);
    try {
        w.WaitForInterrupt(0);
        ADD_FAILURE() << "no exception";
    } catch (const EWaiterTooManyResources& e) {
        EXPECT_STREQ(e.what(), "Too many resources");
    }
    w.FreeResource(r);
    EXPECT_EQ(w.WaitForInterrupt(0), TWaiterResult::wr_Timeout);
}

class WaiterFamily : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        if (!MakeTcpPair(GetParam(), p)) GTEST_SKIP() << FamilyName(GetParam()) << " not available";
    }
    TcpPair p;
};

TEST_P(WaiterFamily, SocketEventAndWakeUpInOneBatch) {
    TWaiter2Socket w(2);
    int data;
    TWaiter2Resource* r = w.AddResource(&data, p.a);
    ASSERT_EQ(w.SetResourceEvents(r, 1), 0);
    Send1(p.b);
    ASSERT_TRUE(PollFor(p.a, POLLIN, 1000));
    w.Interrupt();
    Recorder rec;
    EXPECT_EQ(rec.Wait(w, 1000, 2), TWaiterResult::wr_Interrupt);
    ASSERT_EQ(rec.seen.size(), 2u) << "once per pass";
    EXPECT_EQ(rec.before, 1);
    EXPECT_TRUE(rec.beforeFirst);
    EXPECT_EQ(rec.seen[0].resource, r);
    EXPECT_EQ(rec.seen[0].events, 1);
    EXPECT_EQ(rec.seen[0].pass, 1);
    EXPECT_EQ(rec.seen[1].pass, 0);
    EXPECT_EQ(rec.seen[0].resource->Data, &data);

    // The wake-up was drained; the socket alone gives wr_Descriptor, with and without a hook.
    Recorder rec2;
    EXPECT_EQ(rec2.Wait(w, 1000), TWaiterResult::wr_Descriptor);
    EXPECT_EQ(rec2.seen.size(), 1u);
    TWaiter2WaitRequest plain;
    plain.Timeout = 1000;
    EXPECT_EQ(w.Wait(plain), TWaiterResult::wr_Descriptor);

    // A closing resource gets no further events.
    r->Closing = 1;
    Recorder rec3;
    EXPECT_EQ(rec3.Wait(w, 1000), TWaiterResult::wr_Descriptor);
    EXPECT_TRUE(rec3.seen.empty());
}

TEST_P(WaiterFamily, ReadAndWriteInterestFollowTheBits) {
    TWaiter2Socket w(1);
    TWaiter2Resource* r = w.AddResource(nullptr, p.a);
    Recorder rec;
    EXPECT_EQ(rec.Wait(w, 20), TWaiterResult::wr_Timeout) << "nothing watched yet";

    ASSERT_EQ(w.SetResourceEvents(r, 3), 0);
    EXPECT_TRUE(r->ReadActive);
    EXPECT_TRUE(r->WriteActive);
    EXPECT_EQ(rec.Wait(w, 1000), TWaiterResult::wr_Descriptor);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0].events, 2) << "writable, nothing to read";

    Send1(p.b);
    ASSERT_TRUE(PollFor(p.a, POLLIN, 1000));
    rec.seen.clear();
    EXPECT_EQ(rec.Wait(w, 1000), TWaiterResult::wr_Descriptor);
    ASSERT_EQ(rec.seen.size(), 2u);
    EXPECT_EQ(rec.seen[0].events | rec.seen[1].events, 3);

    // 3 -> 7: the read filter stays registered and keeps its bits.
    ASSERT_EQ(w.SetResourceEvents(r, 7), 0);
    EXPECT_EQ(r->CurrentEvents, 7);
    EXPECT_EQ(r->ReadLink.Bits, 1);
    ASSERT_EQ(w.SetResourceEvents(r, 1), 0);
    EXPECT_FALSE(r->WriteActive);
    rec.seen.clear();
    EXPECT_EQ(rec.Wait(w, 1000), TWaiterResult::wr_Descriptor);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0].events, 1);

    ASSERT_EQ(w.SetResourceEvents(r, 0), 0);
    EXPECT_FALSE(r->ReadActive);
    rec.seen.clear();
    EXPECT_EQ(rec.Wait(w, 20), TWaiterResult::wr_Timeout);
    ASSERT_EQ(w.SetResourceEvents(r, 2), 0);
    w.FreeResource(r);  // deletes the write filter
    EXPECT_EQ(rec.Wait(w, 20), TWaiterResult::wr_Timeout);
}

TEST_P(WaiterFamily, PeerResetEndsInAReadEvent) {
    TWaiter2Socket w(1);
    TWaiter2Resource* r = w.AddResource(nullptr, p.a);
    ASSERT_EQ(w.SetResourceEvents(r, 1), 0);
    CloseWithReset(p.b);
    Recorder rec;
    EXPECT_EQ(rec.Wait(w, 2000), TWaiterResult::wr_Descriptor);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0].resource, r);
}

INSTANTIATE_TEST_SUITE_P(Loopback, WaiterFamily, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& info) { return info.param == AF_INET6 ? "IPv6" : "IPv4"; });

// An owner that closes a socket before it frees its record, while a copy of the descriptor lives
// on (a child between fork and exec): the freed record must never be handed to OnEvent, also
// after the descriptor number is reused. AddressSanitizer reports any touch of the freed record.
TEST(Waiter, ClosedDescriptorNeverReachesAFreedRecord) {
    TWaiter2Socket w(2);
    TcpPair old, fresh;
    ASSERT_TRUE(MakeTcpPair(AF_INET, old));
    ASSERT_TRUE(MakeTcpPair(AF_INET, fresh));
    const int number = old.a;
    const int copy = LeaveStaleEntry(w, old, 1);
    ASSERT_GE(copy, 0);
    // Given to another file before the next wait, which may open descriptors of its own.
    ASSERT_EQ(dup3(fresh.a, number, O_CLOEXEC), number);

    Recorder rec;
    EXPECT_EQ(rec.Wait(w, 50), TWaiterResult::wr_Timeout);
    TWaiter2Resource* now = w.AddResource(nullptr, number);
    ASSERT_EQ(w.SetResourceEvents(now, 1), 0);
    EXPECT_EQ(rec.Wait(w, 50), TWaiterResult::wr_Timeout);
    Send1(fresh.b);
    EXPECT_EQ(rec.Wait(w, 1000), TWaiterResult::wr_Descriptor);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0].resource, now);
    w.FreeResource(now);
    close(number);
    close(copy);
}

// An owner that closes its socket before it frees the record, and meanwhile another socket gets
// the same number and is registered: the new registration is watched (kqueue dropped the old one
// at the close) and reports with its own record only, also while a copy of the old socket lives
// on with data waiting, and the old record's late free leaves it in place.
TEST(Waiter, ReusedDescriptorNumberIsWatchedAgain) {
    for (bool copyLivesOn : {false, true}) {
        SCOPED_TRACE(copyLivesOn ? "copy of the old socket" : "old socket gone");
        TWaiter2Socket w(2);
        TcpPair old, fresh;
        ASSERT_TRUE(MakeTcpPair(AF_INET, old));
        ASSERT_TRUE(MakeTcpPair(AF_INET, fresh));
        int copy = copyLivesOn ? fcntl(old.a, F_DUPFD_CLOEXEC, 0) : -1;
        int number = old.a;
        int d1, d2;
        TWaiter2Resource* before = w.AddResource(&d1, number);
        ASSERT_EQ(w.SetResourceEvents(before, 1), 0);
        close(old.a);
        old.a = -1;
        ASSERT_EQ(dup3(fresh.a, number, O_CLOEXEC), number);
        TWaiter2Resource* now = w.AddResource(&d2, number);
        ASSERT_EQ(w.SetResourceEvents(now, 1), 0);
        if (copyLivesOn) Send1(old.b);  // the old file readable: never reported as the new one
        Recorder rec;
        EXPECT_EQ(rec.Wait(w, 100), TWaiterResult::wr_Timeout);
        Send1(fresh.b);
        ASSERT_EQ(rec.Wait(w, 300), TWaiterResult::wr_Descriptor);
        ASSERT_EQ(rec.seen.size(), 1u);
        EXPECT_EQ(rec.seen[0].resource, now);
        EXPECT_EQ(rec.seen[0].resource->Data, &d2);

        w.FreeResource(before);  // its delete must not remove the new registration
        rec.seen.clear();
        ASSERT_EQ(rec.Wait(w, 300), TWaiterResult::wr_Descriptor);
        ASSERT_EQ(rec.seen.size(), 1u);
        EXPECT_EQ(rec.seen[0].resource, now);
        w.FreeResource(now);
        EXPECT_EQ(rec.Wait(w, 50), TWaiterResult::wr_Timeout) << "the new owner's delete works";
        close(number);
        if (copy >= 0) close(copy);
    }
}

// One record kept across a close and reuse of its number (write filter on, then read asked
// for): the close dropped the write filter, and both are registered for the new socket.
TEST(Waiter, RecordKeptAcrossReuseRegistersBothFilters) {
    TWaiter2Socket w(1);
    TcpPair old, fresh;
    ASSERT_TRUE(MakeTcpPair(AF_INET, old));
    ASSERT_TRUE(MakeTcpPair(AF_INET, fresh));
    const int number = old.a;
    TWaiter2Resource* r = w.AddResource(nullptr, number);
    ASSERT_EQ(w.SetResourceEvents(r, 2), 0);
    close(old.a);
    old.a = -1;
    ASSERT_EQ(dup3(fresh.a, number, O_CLOEXEC), number);
    ASSERT_EQ(w.SetResourceEvents(r, 3), 0);
    EXPECT_TRUE(r->ReadActive);
    EXPECT_TRUE(r->WriteActive);
    Send1(fresh.b);
    ASSERT_TRUE(PollFor(number, POLLIN, 1000));
    Recorder rec;
    ASSERT_EQ(rec.Wait(w, 1000), TWaiterResult::wr_Descriptor);
    ASSERT_EQ(rec.seen.size(), 2u);
    EXPECT_EQ(rec.seen[0].events | rec.seen[1].events, 3);
    w.FreeResource(r);
    close(number);
}

// A socket closed (and freed) while a copy of it lives on, as in a child between fork and exec,
// stays in the epoll set with data waiting: the wait must still sleep, not spin on its events,
// and the live registrations must survive whatever clears it out.
TEST(Waiter, StaleEntryDoesNotMakeTheWaitSpin) {
    TWaiter2Socket w(2);
    TcpPair old, live;
    ASSERT_TRUE(MakeTcpPair(AF_INET, old));
    ASSERT_TRUE(MakeTcpPair(AF_INET, live));
    int d;
    TWaiter2Resource* keep = w.AddResource(&d, live.a);
    ASSERT_EQ(w.SetResourceEvents(keep, 1), 0);
    const int copy = LeaveStaleEntry(w, old, 3);
    ASSERT_GE(copy, 0);

    Recorder rec;
    const long cpu0 = ThreadCpuMs();
    const auto t0 = steady_clock::now();
    EXPECT_EQ(rec.Wait(w, 500), TWaiterResult::wr_Timeout);
    const auto wall = std::chrono::duration_cast<milliseconds>(steady_clock::now() - t0).count();
    const long cpu = ThreadCpuMs() - cpu0;
    EXPECT_GE(wall, 450);
    EXPECT_LT(cpu, 100) << "the wait spun on the stale entry";

    Send1(live.b);
    ASSERT_EQ(rec.Wait(w, 1000), TWaiterResult::wr_Descriptor);
    ASSERT_EQ(rec.seen.size(), 1u);
    EXPECT_EQ(rec.seen[0].resource, keep);
    w.Interrupt();
    EXPECT_EQ(rec.Wait(w, 1000), TWaiterResult::wr_Interrupt) << "the wake-up pipe is watched still";
    close(copy);
}

// A filter that cannot be registered is reported to the owner, which closes that connection;
// the record then says that nothing is watched, and asking again tries again.
TEST(Waiter, FailedRegistrationIsReturned) {
    // A number that names no open file (one closed here would be taken by the next waiter).
    const int closed = 999999;
    ASSERT_EQ(fcntl(closed, F_GETFD), -1);
    char name[] = "/tmp/zelwaiterXXXXXX";
    const int file = mkostemp(name, O_CLOEXEC);
    ASSERT_GE(file, 0);
    unlink(name);
    struct Case {
        const char* what;
        int fd;
        uint8_t bits;
        int error;
    };
    std::vector<Case> cases = {{"closed descriptor, read", closed, 1, EBADF},
                               {"closed descriptor, write", closed, 2, EBADF}};
#ifndef ZEL_HAVE_KQUEUE
    cases.push_back({"regular file (not pollable)", file, 3, EPERM});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TWaiter2Socket w(1);
        TWaiter2Resource* r = w.AddResource(nullptr, c.fd);
        EXPECT_EQ(w.SetResourceEvents(r, c.bits), c.error);
        EXPECT_FALSE(r->ReadActive);
        EXPECT_FALSE(r->WriteActive);
        EXPECT_EQ(r->CurrentEvents, 0);
        EXPECT_EQ(w.SetResourceEvents(r, c.bits), c.error) << "tried again, not taken as set";
        w.FreeResource(r);
        w.Interrupt();
        EXPECT_EQ(w.WaitForInterrupt(1000), TWaiterResult::wr_Interrupt) << "the waiter stays usable";
    }
    close(file);
}

// Wake-ups from many threads write one byte while one is pending, and none is lost.
TEST(Waiter, PendingWakeUpWritesOneByte) {
    TWaiter2Socket w(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 250; ++i) w.Interrupt();
        });
    for (auto& t : threads) t.join();
    int bytes = -1;
    ASSERT_EQ(ioctl(w.PipeRead(), FIONREAD, &bytes), 0);
    EXPECT_EQ(bytes, 1);
    EXPECT_EQ(w.WaitForInterrupt(1000), TWaiterResult::wr_Interrupt);
    EXPECT_EQ(w.WaitForInterrupt(0), TWaiterResult::wr_Timeout);
    w.Interrupt();
    EXPECT_EQ(w.WaitForInterrupt(1000), TWaiterResult::wr_Interrupt) << "a drained wake-up can be sent again";
}

// Four threads post work and wake the owner, which sleeps whenever it has seen all that was
// posted: a wait that runs out while posts are unseen is a lost wake-up.
TEST(Waiter, NoWakeUpIsLostBetweenThreads) {
    TWaiter2Socket w(0);
    constexpr int kThreads = 4, kPosts = 250;
    std::atomic<int> posted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPosts; ++i) {
                posted.fetch_add(1);
                w.Interrupt();
                if ((i + t) % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    int seen = 0, lost = 0;
    while (seen < kThreads * kPosts && lost == 0) {
        if (posted.load() > seen) {
            seen = posted.load();
            continue;
        }
        if (w.WaitForInterrupt(2000) == TWaiterResult::wr_Timeout && posted.load() > seen) ++lost;
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(seen, kThreads * kPosts);
}

// Other threads wake the owner at any time; every wake-up ends the wait in hand or the next one.
TEST(Waiter, InterruptFromOtherThreads) {
    TWaiter2Socket w(0);
    std::atomic<int> round{0};
    std::atomic<bool> stop{false};
    constexpr int kRounds = 200;
    std::thread waker([&] {
        int seen = -1;
        auto end = steady_clock::now() + std::chrono::seconds(20);
        while (!stop && steady_clock::now() < end) {
            int r = round.load();
            if (r != seen) {
                seen = r;
                w.Interrupt();
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::thread noise([&] {
        for (int i = 0; i < 2000 && !stop; ++i) w.Interrupt();
    });
    int interrupts = 0;
    for (int i = 0; i < kRounds; ++i) {
        if (w.WaitForInterrupt(5000) == TWaiterResult::wr_Interrupt) ++interrupts;
        round.store(i + 1);
    }
    stop = true;
    waker.join();
    noise.join();
    EXPECT_EQ(interrupts, kRounds);
}

}  // namespace

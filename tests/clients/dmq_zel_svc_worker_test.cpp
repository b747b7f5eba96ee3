#include "clients/dmq_zel_svc_worker.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "clients/dmq_zel_svc_server_snps.hpp"
#include "tests/support/client_service.hpp"
#include "tests/support/loopback.hpp"
#include "tests/support/stand_in_worker.hpp"

namespace zel {
namespace {

using namespace std::chrono_literals;
using test::ConnectLine;
using test::ServeUntil;
using test::TClientService;
using test::TTestClient;

bool Contains(const std::string& S, const std::string& Part) { return S.find(Part) != std::string::npos; }

// The number of the worker that serves the client on ClientPort (-1: none); timer thread.
int32_t WorkerOf(TClientService& T, uint16_t ClientPort) {
    TZELSVCContextSNPS* m = T.Member(ClientPort);
    TZELSVCWorkerBase* w = m ? m->Worker.load() : nullptr;
    return w ? w->Number() : -1;
}

// Two clients per worker: five clients make three workers. A close lets a later worker hand its
// last client to the emptied entry, the worker left without clients ends, and the moved client's
// output goes out at once. An unknown queue code is logged and the worker goes on. The final
// terminate stops every client with fsdc_ServerStopped, and each worker's stop record comes after
// the close records of its clients.
TEST(ZELSVCWorker, WorkersFillDriftAndEnd) {
    test::TClientSettings set;
    set.ClientsPerThread = 2;
    set.ThreadCacheTime = 1;
    TClientService t(set);
    ASSERT_TRUE(t.Start());
    std::vector<TTestClient> c(5);
    for (auto& x : c) {
        ASSERT_TRUE(x.Connect(t.Port));
        ASSERT_TRUE(x.Send(ConnectLine()));
        ASSERT_TRUE(x.WaitLoginAnswer());
    }
    std::vector<int32_t> placed;
    size_t workers = 0;
    t.OnTimer([&] {
        workers = t.S->Workers().size();
        for (auto& x : c) placed.push_back(WorkerOf(t, x.LocalPort));
    });
    EXPECT_EQ(workers, 3u);
    EXPECT_EQ(placed, (std::vector<int32_t>{0, 0, 1, 1, 2}));

    c[0].Close();
    EXPECT_FALSE(t.WaitDisconnect(c[0].LocalPort).empty());
    int32_t moved = -1;
    ASSERT_TRUE(ServeUntil(
        [&] {
            t.OnTimer([&] {
                workers = t.S->Workers().size();
                moved = WorkerOf(t, c[4].LocalPort);
            });
            return workers == 2 && moved == 0;
        },
        5000ms));
    const auto sent = std::chrono::steady_clock::now();
    t.OnTimer([&] { t.Member(c[4].LocalPort)->vSend("hello\r\n"); });
    EXPECT_TRUE(c[4].ReadUntil([](const std::string& R) { return Contains(R, "hello\r\n"); }, 2000));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 500ms);

    t.OnTimer([&] {
        auto* w = static_cast<TZELSVCWorker*>(t.S->Workers()[0].get());
        auto item = std::make_unique<TZELSVCWorkerQueueItem>();
        item->Command = static_cast<TZELSVCWorkerCommand>(7);
        w->Queue().Push(std::move(item));
        w->MarkHasWork();
    });
    EXPECT_TRUE(ServeUntil([&] { return t.Log.Has(u"ERROR: Worker[0]: QUEUE: Unknown command"); }));
    ASSERT_TRUE(c[1].Send("P\r\n"));
    EXPECT_TRUE(c[1].ReadFor(200));

    std::atomic<int> closes{0}, closesAfterStop{0};
    t.Net->OnRecord = [&](TZELSVCNetQueueRecord& R) {
        if (static_cast<int>(R.Command) != 40) return;
        ++closes;
        bool listed = false;
        for (const auto& w : t.S->Workers()) listed = listed || w.get() == R.Obj1;
        if (!listed) ++closesAfterStop;
    };
    t.S->PostServiceTerminate();
    for (int i = 1; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(c[size_t(i)].WaitClosed(3000));
        EXPECT_TRUE(Contains(t.WaitDisconnect(c[size_t(i)].LocalPort), "DISCONNECT_SERVER_STOP"));
    }
    ASSERT_TRUE(ServeUntil([&] {
        t.OnTimer([&] { workers = t.S->Workers().size(); });
        return workers == 0;
    }));
    EXPECT_EQ(closes.load(), 4);
    EXPECT_EQ(closesAfterStop.load(), 0);
}

// With KeepHotThread the worker made at the start stays through its idle reports and serves the
// first client.
TEST(ZELSVCWorker, IdleWorkerReportsAndTheHotOneStays) {
    test::TClientSettings set;
    set.ThreadCacheTime = 1;
    set.KeepHotThread = true;
    TClientService t(set);
    ASSERT_TRUE(t.Start());
    t.S->PostCreateWorker();
    size_t workers = 0;
    ASSERT_TRUE(ServeUntil([&] {
        t.OnTimer([&] { workers = t.S->Workers().size(); });
        return workers == 1;
    }));
    test::ServeFor(2500ms);
    t.OnTimer([&] { workers = t.S->Workers().size(); });
    EXPECT_EQ(workers, 1u);
    TTestClient c;
    ASSERT_TRUE(c.Connect(t.Port));
    ASSERT_TRUE(c.Send(ConnectLine()));
    EXPECT_TRUE(c.WaitLoginAnswer());
    t.OnTimer([&] { workers = t.S->Workers().size(); });
    EXPECT_EQ(workers, 1u);
}

// A worker that ends before it served its queue stops each context still queued to it (code 40
// with fsdc_ServerStopped, then 48) and answers a return request with 49 ("none left"), so that
// the asking worker's reserved entry is given back; code 52 comes last.
TEST(ZELSVCWorker, EndingWorkerStopsWhatIsQueuedToIt) {
    using C = TZELSVCNetQueueCommand;
    TZELService s(u"/etc/server.ini", TZELServiceConfig{});
    zeltest::TcpPair p;
    ASSERT_TRUE(zeltest::MakeTcpPair(AF_INET, p));
    std::unique_ptr<TZELSVCContextSNPS> ctx = CreateWrkCtx<TZELSVCContextSNPS>(&s, p.b, "127.0.0.1", 4000, 0);
    p.b = -1;
    test::StandInWorker asker;
    auto w = std::make_unique<TZELSVCWorker>(s);
    w->PostNewContext(ctx.get());
    w->PostReturnEntry(&asker);
    w->TerminateWorker();
    w->StartWorker();
    w->JoinWorker();

    // Records carry the bases' addresses.
    const void* worker = static_cast<TZELSVCWorkerBase*>(w.get());
    const void* asking = static_cast<TZELSVCWorkerBase*>(&asker);
    const std::vector<std::pair<C, const void*>> expected = {
        {C::fsnq_ClientDisconnected, static_cast<TZELSVCWrkCtxBase*>(ctx.get())},
        {C::fsnq_WorkerClosedContext, worker},
        {C::fsnq_WorkerNoContext, asking},
        {C::fsnq_WorkerStopped, worker},
    };
    std::unique_ptr<TZELSVCNetQueueRecord> r;
    for (const auto& [code, obj] : expected) {
        ASSERT_TRUE(s.ServQueue().Pop(r));
        EXPECT_EQ(r->Command, code);
        const void* named = code == C::fsnq_ClientDisconnected ? static_cast<const void*>(r->Owner)
                            : code == C::fsnq_WorkerNoContext   ? r->Obj2
                                                                : r->Obj1;
        EXPECT_EQ(named, obj);
    }
    EXPECT_FALSE(s.ServQueue().Pop(r));
    EXPECT_EQ(ctx->Cause(), TZELSVCDisconnectCause::fsdc_ServerStopped);
    EXPECT_EQ(ctx->Worker.load(), nullptr);
    char byte;
    EXPECT_EQ(recv(p.a, &byte, 1, 0), 0);
}

// A wake-up costs what it has to do: of 500 quiet clients and one that is sent output, the service
// passes look at the one (the list of contexts with work), and at every client only in the
// once-a-second walk.
TEST(ZELSVCWorker, WakeUpServesTheContextWithWorkAlone) {
    test::TClientSettings set;
    set.ClientsPerThread = 501;
    set.ActivityTimeout = 60;
    set.MaxTotalConnections = 1000;
    TClientService t(set);
    ASSERT_TRUE(t.Start());
    std::vector<TTestClient> c(501);
    for (auto& x : c) {
        ASSERT_TRUE(x.Connect(t.Port));
        ASSERT_TRUE(x.Send(ConnectLine()));
    }
    for (auto& x : c) ASSERT_TRUE(x.WaitLoginAnswer());
    TZELSVCWorker* w = nullptr;
    int32_t registered = 0;
    ASSERT_TRUE(ServeUntil(
        [&] {
            t.OnTimer([&] {
                if (t.S->Workers().size() != 1) return;
                w = static_cast<TZELSVCWorker*>(t.S->Workers()[0].get());
                registered = w->Registered();
            });
            return registered == 501;
        },
        10000ms));
    TTestClient& busy = c.back();
    test::ServeFor(300ms);
    const uint64_t visits0 = w->PassVisits(), walks0 = w->SecondWalks();
    constexpr int kRounds = 20;
    for (int i = 0; i < kRounds; ++i) {
        const std::string line = "out" + std::to_string(i) + "\r\n";
        const auto sent = std::chrono::steady_clock::now();
        t.OnTimer([&] { t.Member(busy.LocalPort)->vSend(line); });
        ASSERT_TRUE(busy.ReadUntil([&](const std::string& R) { return Contains(R, line); }, 3000)) << i;
        EXPECT_LT(std::chrono::steady_clock::now() - sent, 1000ms) << i;
    }
    const uint64_t walks = w->SecondWalks() - walks0;
    const uint64_t listed = w->PassVisits() - visits0 - walks * 501;
    // One look per round, a few for what else came (the walk's own count is exact).
    EXPECT_GE(listed, uint64_t(kRounds));
    EXPECT_LE(listed, uint64_t(3 * kRounds));
    for (size_t i = 0; i + 1 < c.size(); ++i) {
        c[i].ReadFor(0);
        EXPECT_FALSE(c[i].Closed) << i;
    }
}

// A sender that read a worker the context has left (between two workers, or owned by another):
// the mark never stays set on a context that is on no list, or its posts would list it no more.
TEST(ZELSVCWorker, PostThroughALeftWorkerLeavesNoStaleMark) {
    test::TClientSettings set;
    TClientService t(set);
    TZELSVCWorker left(*t.S), owner(*t.S);
    auto c = CreateWrkCtx<TZELSVCContextSNPS>(t.S.get(), -1, "10.0.0.1", 7, 0);
    c->Worker.store(&left);
    c->RequestFlush();
    EXPECT_FALSE(c->WorkListed.load());
    // Listed by the owner it has now: the mark stays with that list, and a second post adds nothing.
    c->WorkOwner.store(&owner);
    c->RequestFlush();
    EXPECT_TRUE(c->WorkListed.load());
    c->RequestFlush();
    EXPECT_TRUE(c->WorkListed.load());
    c->WorkOwner.store(nullptr);
}

}  // namespace
}  // namespace zel

#include "service/dmq_zel_svc_connections.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_svc_timer.hpp"
#include "tests/support/loopback.hpp"
#include "tests/support/service_fixture.hpp"
#include "tests/support/stand_in_network.hpp"
#include "tests/support/stand_in_worker.hpp"

namespace zel {
namespace {

using namespace std::chrono_literals;
using test::ServeUntil;
using DC = TZELSVCDisconnectCause;

// A worker of two entries that notes what the service asks of it.
class TNotingWorker : public test::StandInWorker {
public:
    int32_t Capacity() const override { return 2; }
    void PostNewContext(TZELSVCWrkCtxBase* C) override { New.push_back(C); }
    void PostReturnEntry(TZELSVCWorkerBase* T) override { Returns.push_back(T); }
    void PostCheckContext(TZELSVCWrkCtxBase* C) override { Checks.push_back(C); }
    std::vector<TZELSVCWrkCtxBase*> New, Checks;
    std::vector<TZELSVCWorkerBase*> Returns;
};

std::atomic<int> g_freed{0};

// A client context that owns its socket.
class TSocketContext : public test::TStandInContext {
public:
    TSocketContext(int Handle, AnsiView PeerAddress) : TStandInContext(1), Handle_(Handle) { Peer.assign(PeerAddress); }
    ~TSocketContext() override {
        ::close(Handle_);
        ++g_freed;
    }
    TZELSVCWorkerBase* Worker = nullptr;
    void SetWorker(TZELSVCWorkerBase* W) noexcept override { Worker = W; }

private:
    int Handle_;
};

class TNotingFactory : public test::StandInFactory {
public:
    std::unique_ptr<TZELSVCWorkerBase> CreateWorker(TZELService&) override {
        auto w = std::make_unique<TNotingWorker>();
        Made.push_back(w.get());
        return w;
    }
    std::unique_ptr<TZELSVCWrkCtxBase> CreateClientContext(TZELService&, int Handle, AnsiView Peer, int32_t,
                                                           int32_t) override {
        return std::make_unique<TSocketContext>(Handle, Peer);
    }
    std::vector<TNotingWorker*> Made;  // timer thread
};

// A started service (no bindings) whose tick first runs the test's calls.
class TDispatchService {
public:
    TDispatchService() {
        S = std::make_unique<TZELService>(u"/etc/server.ini", TZELServiceConfig{});
        auto f = std::make_unique<TNotingFactory>();
        Factory = f.get();
        S->SetFactory(std::move(f));
        S->LogClientLevel = 6;
        Log.Install(*S);
        S->OnTick = [this] {
            std::vector<std::function<void()>> run;
            {
                std::lock_guard<std::mutex> g(Lock_);
                run.swap(Pending_);
            }
            for (auto& fn : run) fn();
            S->TimerTick();
        };
        S->Start();
        S->RequestServiceStart();
        ServeUntil([&] { return S->ServiceStarted(); });
    }
    ~TDispatchService() {
        // The stand-in workers never close or end by themselves.
        OnTimer([&] {
            for (int32_t i = 0; i < S->UndefinedConnections().Count(); ++i)
                S->PostContextClosed(static_cast<TZELSVCWrkCtxBase*>(S->UndefinedConnections().Get(i)), nullptr);
            for (const auto& w : S->Workers()) S->PostWorkerStopped(w.get());
        });
        S->RequestStop(u"test");
        S->WaitFor();
    }
    void OnTimer(const std::function<void()>& Fn) {
        std::atomic<bool> done{false};
        {
            std::lock_guard<std::mutex> g(Lock_);
            Pending_.push_back([&] {
                Fn();
                done = true;
            });
        }
        S->Timer().Wake();
        ServeUntil([&] { return done.load(); });
    }
    // Posts a new client connection on one end of a fresh pair; the other end is returned.
    int NewClient(int32_t Port = 4000) {
        zeltest::TcpPair p;
        EXPECT_TRUE(zeltest::MakeTcpPair(AF_INET, p));
        S->PostNewClientConnection(p.b, "127.0.0.1", Port, 0);
        p.b = -1;
        const int a = p.a;
        p.a = -1;
        return a;
    }
    // The records posted so far are dispatched.
    void Settle() {
        OnTimer([] {});
        OnTimer([] {});
    }
    TNotingWorker* W(size_t I) { return Factory->Made[I]; }

    test::TLogCapture Log;
    std::unique_ptr<TZELService> S;
    TNotingFactory* Factory = nullptr;

private:
    std::mutex Lock_;
    std::vector<std::function<void()>> Pending_;
};

// A worker ended by code 51 keeps its free entries until its code 52; it is never given a new
// context meanwhile, and code 52 takes it off the list and renumbers the rest.
TEST(ZELServiceConnections, EndingWorkerIsNeverPicked) {
    TDispatchService t;
    const int a = t.NewClient();
    t.Settle();
    ASSERT_EQ(t.Factory->Made.size(), 1u);
    TZELSVCWrkCtxBase* first = t.W(0)->New.at(0);
    t.S->PostContextClosed(first, t.W(0));
    t.S->PostWorkerClosedContexts(t.W(0));
    t.S->PostWorkerWaiting(t.W(0));
    const int b = t.NewClient();
    t.Settle();
    EXPECT_TRUE(t.W(0)->WorkerTerminated());
    EXPECT_EQ(t.W(0)->New.size(), 1u);
    ASSERT_EQ(t.Factory->Made.size(), 2u);
    EXPECT_EQ(t.W(1)->New.size(), 1u);
    t.S->PostWorkerStopped(t.W(0));
    t.Settle();
    size_t workers = 0;
    t.OnTimer([&] { workers = t.S->Workers().size(); });
    EXPECT_EQ(workers, 1u);
    EXPECT_EQ(t.W(1)->Number(), 0);
    EXPECT_EQ(t.S->ConnectionCount(), 1);
    // Records that still name the freed worker are dropped without touching it (AddressSanitizer
    // finds a read of it).
    TZELSVCWorkerBase* freed = t.W(0);
    const int32_t free1 = t.W(1)->FreeCount(), reserved1 = t.W(1)->ReservedCount();
    t.S->PostWorkerNoContext(freed);
    t.S->PostWorkerClosedContexts(freed);
    t.S->PostWorkerWaiting(freed);
    t.S->PostWorkerStopped(freed);
    t.Settle();
    t.OnTimer([&] { workers = t.S->Workers().size(); });
    EXPECT_EQ(workers, 1u);
    EXPECT_EQ(t.W(1)->FreeCount(), free1);
    EXPECT_EQ(t.W(1)->ReservedCount(), reserved1);
    ::close(a);
    ::close(b);
}

// A close frees a worker entry and asks the last worker that serves a client to hand one back;
// "none left" and the hand-over settle the counts; a hand-over whose target ended stops the
// context where it is.
TEST(ZELServiceConnections, ClosesDriftClientsForward) {
    TDispatchService t;
    int fds[3];
    for (int& fd : fds) fd = t.NewClient();
    t.Settle();
    ASSERT_EQ(t.Factory->Made.size(), 2u);
    TNotingWorker* w0 = t.W(0);
    TNotingWorker* w1 = t.W(1);
    t.S->PostContextClosed(w0->New.at(0), w0);
    t.S->PostWorkerClosedContexts(w0);
    t.Settle();
    ASSERT_EQ(w1->Returns.size(), 1u);
    EXPECT_EQ(w1->Returns[0], w0);
    EXPECT_EQ(w0->ReservedCount(), 1);
    EXPECT_EQ(w0->FreeCount(), 0);

    t.S->PostWorkerNoContext(w0);
    t.Settle();
    EXPECT_EQ(w0->ReservedCount(), 0);
    EXPECT_EQ(w0->FreeCount(), 1);

    auto* moving = static_cast<TSocketContext*>(w1->New.at(0));
    w0->SetCounts(0, 1);  // as a second request would leave it
    t.S->PostWorkerHandOverContext(w1, w0, moving);
    t.Settle();
    EXPECT_EQ(moving->Worker, w0);
    ASSERT_EQ(w0->Checks.size(), 1u);
    EXPECT_EQ(w0->ReservedCount(), 0);
    EXPECT_EQ(w1->FreeCount(), 2);

    TNotingWorker gone;
    t.S->PostWorkerHandOverContext(w0, &gone, moving);
    t.Settle();
    ASSERT_EQ(moving->Aborts.size(), 1u);
    EXPECT_EQ(moving->Aborts[0], DC::fsdc_ServerStopped);
    for (int fd : fds) ::close(fd);
}

// Refusals are logged with the peer and the cause and close the socket; a close whose address
// counter is missing is logged, and the context is still freed and counted down.
TEST(ZELServiceConnections, RefusalsAndCounterErrors) {
    TDispatchService t;
    t.OnTimer([&] {
        t.S->MaxTotalConnections = 1;
        t.S->MaxConnectionsPerAddress = 0;
    });
    const int a = t.NewClient(4000);
    const int b = t.NewClient(4001);
    t.Settle();
    EXPECT_TRUE(ServeUntil([&] { return t.Log.Has(u"Client: 127.0.0.1:4001 DISCONNECT_LIMIT_TOTAL"); }));
    char c;
    EXPECT_EQ(recv(b, &c, 1, 0), 0);

    zeltest::TcpPair p;
    ASSERT_TRUE(zeltest::MakeTcpPair(AF_INET, p));
    t.S->PostNewCommandConnection(p.b, "::1", 5000, 0);
    p.b = -1;
    EXPECT_TRUE(ServeUntil(
        [&] { return t.Log.Has(u"Command: [::1]:5000 DISCONNECT_INTERNAL_ERROR: No command context factory"); }));
    EXPECT_EQ(recv(p.a, &c, 1, 0), 0);

    // Counters were not kept when the context came in.
    const int before = g_freed.load();
    t.OnTimer([&] { t.S->MaxConnectionsPerAddress = 2; });
    t.S->PostContextClosed(t.W(0)->New.at(0), t.W(0));
    t.Settle();
    EXPECT_TRUE(ServeUntil([&] { return t.Log.Has(u"ERROR: Disconnect not found address on Address counter"); }));
    EXPECT_EQ(g_freed.load(), before + 1);
    EXPECT_EQ(t.S->ConnectionCount(), 0);
    ::close(a);
    ::close(b);
}

// A handshake of a context that has no network, or that is no longer waiting for one, aborts it
// with fsdc_ServerError; the first stays listed until its close.
TEST(ZELServiceConnections, HandshakeWithoutNetworkIsAborted) {
    TDispatchService t;
    const int a = t.NewClient();
    t.Settle();
    auto* listed = static_cast<TSocketContext*>(t.W(0)->New.at(0));
    t.S->PostClientHandshakeDone(listed);
    test::TStandInContext stray(77);
    t.S->PostClientHandshakeDone(&stray);
    t.Settle();
    EXPECT_EQ(listed->Aborts, std::vector<DC>{DC::fsdc_ServerError});
    EXPECT_EQ(stray.Aborts, std::vector<DC>{DC::fsdc_ServerError});
    int32_t count = 0;
    t.OnTimer([&] { count = t.S->UndefinedConnections().Count(); });
    EXPECT_EQ(count, 1);
    ::close(a);
}

}  // namespace
}  // namespace zel

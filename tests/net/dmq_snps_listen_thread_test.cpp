#include "net/dmq_snps_listen_thread.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "foundation/dmq_syscharset.hpp"
#include "tests/support/loopback.hpp"

using namespace zel;
using namespace zeltest;

namespace {

struct AcceptRec {
    int handle;
    AnsiString peerIP;
    int32_t peerPort;
    AnsiString localIP;
    int32_t localPort;
    int32_t kind;
    UnicodeString name;
};

std::string A(const UnicodeString& s) { return UnicodeToUtf8A(s); }

// Records the listener's events (they arrive on the listener thread).
class ListenerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        L.OnStarted = [this](TSynapseListenerThread*) { Note([&] { ++started; }); };
        L.OnStopped = [this](TSynapseListenerThread*) { Note([&] { ++stopped; }); };
        L.OnFinished = [this](TSynapseListenerThread*) { Note([&] { finished = true; }); };
        L.OnBindingStarted = [this](TSynapseListenerThread*, TSynapseBinding* b) {
            Note([&] { ports[b] = b->Socket->GetLocalSinPort(); });
        };
        L.OnBindingStopped = [this](TSynapseListenerThread*, TSynapseBinding*) { Note([&] { ++bindingStops; }); };
        L.OnBindingError = [this](TSynapseListenerThread*, TSynapseBinding* b, const std::exception& e) {
            Note([&] { bindingErrors.push_back(A(b->Name) + "|" + e.what()); });
        };
        L.OnError = [this](TSynapseListenerThread*, const UnicodeString& t) { Note([&] { errors.push_back(A(t)); }); };
    }
    void TearDown() override {
        L.TerminateAndWakeUp();
        L.WaitFor();
        EXPECT_TRUE(finished);
        for (const auto& a : accepts) close(a.handle);
    }

    template <class F>
    void Note(F f) {
        std::lock_guard<std::mutex> g(m);
        f();
        cv.notify_all();
    }
    template <class P>
    bool WaitUntil(P pred, int ms = 3000) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::milliseconds(ms), pred);
    }
    // An accept handler that keeps every handle for the test.
    TSynapseAcceptEvent Keep() {
        return [this](int h, const AnsiString& pip, int32_t pport, const AnsiString& lip, int32_t lport, int32_t kind,
                      const UnicodeString& name) {
            Note([&] { accepts.push_back({h, pip, pport, lip, lport, kind, name}); });
        };
    }
    int PortOf(TSynapseBinding* b) {
        std::lock_guard<std::mutex> g(m);
        auto it = ports.find(b);
        return it == ports.end() ? 0 : it->second;
    }
    // A connected client socket (blocking), or -1.
    static int Dial(int family, int port) {
        int c = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage ss;
        socklen_t len = LoopbackAddr(family, uint16_t(port), ss);
        if (connect(c, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
            close(c);
            return -1;
        }
        return c;
    }

    std::mutex m;
    std::condition_variable cv;
    int started = 0, stopped = 0, bindingStops = 0;
    bool finished = false;
    std::map<TSynapseBinding*, int> ports;
    std::vector<std::string> bindingErrors, errors;
    std::vector<AcceptRec> accepts;
    TSynapseListenerThread L;
};

}  // namespace

TEST(ListenerBindings, AnyAndLocalhostForms) {
    const struct {
        bool any;
        TSynapseListenerIPVersions v;
        std::vector<std::string> hosts;
    } cases[] = {
        {true, TSynapseListenerIPVersions::ipver_46, {"::0", "0.0.0.0"}},
        {true, TSynapseListenerIPVersions::ipver_4, {"0.0.0.0"}},
        {true, TSynapseListenerIPVersions::ipver_6, {"::0"}},
        {false, TSynapseListenerIPVersions::ipver_46, {"::1", "127.0.0.1"}},
        {false, TSynapseListenerIPVersions::ipver_6, {"::1"}},
    };
    for (const auto& c : cases) {
        TSynapseListenerThread l;
        if (c.any) l.AddAny(u"Client", u"10024", c.v, nullptr);
        else l.AddLocalhost(u"Command", u"10023", c.v, nullptr);
        ASSERT_EQ(l.Bindings().size(), c.hosts.size());
        for (size_t i = 0; i < c.hosts.size(); ++i) {
            const TSynapseBinding& b = *l.Bindings()[i];
            EXPECT_EQ(A(b.Host), c.hosts[i]);
            const bool six = c.hosts[i].find(':') != std::string::npos;
            EXPECT_EQ(b.IPv6, six);
            EXPECT_EQ(b.V6Only, six);
            EXPECT_EQ(b.Port, c.any ? u"10024" : u"10023");
        }
    }
}

TEST_F(ListenerFixture, AcceptsOnBothFamiliesAndHandsOverAddresses) {
    L.AddLocalhost(u"Command", u"0", TSynapseListenerIPVersions::ipver_46, Keep());
    L.Start();
    L.StartListening();
    ASSERT_TRUE(WaitUntil([&] { return started == 1; }));
    EXPECT_TRUE(L.Listening());
    EXPECT_THROW(L.AddNewBinding(u"x", u"127.0.0.1", u"0", false, false, nullptr), Exception);
    const struct {
        int family;
        TSynapseBinding* b;
        const char* ip;
        int32_t kind;
    } cases[] = {
        {AF_INET6, L.Bindings()[0].get(), "0:0:0:0:0:0:0:1", 3},
        {AF_INET, L.Bindings()[1].get(), "127.0.0.1", 0},
    };
    for (const auto& c : cases) {
        const int port = PortOf(c.b);
        ASSERT_GT(port, 0);
        const size_t before = accepts.size();
        // Several at once: the binding is drained in one go.
        int clients[3];
        for (int& k : clients) k = Dial(c.family, port);
        ASSERT_TRUE(WaitUntil([&] { return accepts.size() == before + 3; }));
        std::lock_guard<std::mutex> g(m);
        for (size_t i = before; i < accepts.size(); ++i) {
            const AcceptRec& a = accepts[i];
            EXPECT_EQ(a.peerIP, c.ip);
            EXPECT_EQ(a.localIP, c.ip);
            EXPECT_EQ(a.localPort, port);
            EXPECT_EQ(a.kind, c.kind);
            EXPECT_EQ(a.name, u"Command");
            EXPECT_NE(fcntl(a.handle, F_GETFD) & FD_CLOEXEC, 0);
            bool matched = false;
            for (int k : clients) matched = matched || LocalPort(k) == a.peerPort;
            EXPECT_TRUE(matched) << a.peerPort;
        }
        for (int k : clients) close(k);
    }
    EXPECT_TRUE(errors.empty());
}

// A small configured backlog never reaches the platform as such: while the listener is busy in
// one accept, a burst of peers still completes its handshakes at once (a queue of a few would drop
// the SYNs of everyone behind a flood for a second each).
TEST_F(ListenerFixture, BurstCompletesWhileTheListenerIsBusyDespiteASmallBacklog) {
    L.Backlog = 2;
    std::atomic<bool> release{false};
    L.AddLocalhost(u"Client", u"0", TSynapseListenerIPVersions::ipver_4,
                   [&](int h, const AnsiString&, int32_t, const AnsiString&, int32_t, int32_t, const UnicodeString&) {
                       // Busy until the test has counted (at most 5 s).
                       for (int i = 0; i < 500 && !release.load(); ++i)
                           std::this_thread::sleep_for(std::chrono::milliseconds(10));
                       close(h);
                   });
    L.Start();
    L.StartListening();
    ASSERT_TRUE(WaitUntil([&] { return started == 1; }));
    const int port = PortOf(L.Bindings()[0].get());
    ASSERT_GT(port, 0);
    const int first = Dial(AF_INET, port);  // the one the listener is busy with
    ASSERT_GE(first, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    constexpr int kBurst = 30;
    std::vector<pollfd> burst;
    for (int i = 0; i < kBurst; ++i) {
        const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_storage ss;
        const socklen_t len = LoopbackAddr(AF_INET, uint16_t(port), ss);
        const int rc = connect(c, reinterpret_cast<sockaddr*>(&ss), len);
        ASSERT_TRUE(rc == 0 || errno == EINPROGRESS);
        burst.push_back({c, POLLOUT, 0});
    }
    // Well within the first SYN retransmission (1 s).
    int done = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (done < kBurst && std::chrono::steady_clock::now() < end) {
        done = 0;
        poll(burst.data(), burst.size(), 20);
        for (const pollfd& p : burst) done += (p.revents & POLLOUT) != 0 ? 1 : 0;
    }
    EXPECT_EQ(done, kBurst);
    release = true;
    for (const pollfd& p : burst) close(p.fd);
    close(first);
}

TEST_F(ListenerFixture, BusyPortFailsOnlyItsBindingAndStopStartReopens) {
    const int busy = BoundSocket(AF_INET);
    ASSERT_EQ(listen(busy, 1), 0);
    const std::string busyPort = std::to_string(LocalPort(busy));
    L.AddNewBinding(u"Busy", u"127.0.0.1", UnicodeString(busyPort.begin(), busyPort.end()), false, false, Keep());
    TSynapseBinding* ok = L.AddNewBinding(u"Client", u"127.0.0.1", u"0", false, false, Keep());
    L.Start();
    L.StartListening();
    ASSERT_TRUE(WaitUntil([&] { return started == 1; }));
    {
        std::lock_guard<std::mutex> g(m);
        ASSERT_EQ(bindingErrors.size(), 1u);
        EXPECT_EQ(bindingErrors[0], FormatA("Busy|Bind: Socket error %d: Address already in use", EADDRINUSE));
    }
    for (int round = 0; round < 2; ++round) {
        const int port = PortOf(ok);
        ASSERT_GT(port, 0);
        const int c = Dial(AF_INET, port);
        ASSERT_GE(c, 0);
        ASSERT_TRUE(WaitUntil([&] { return accepts.size() == size_t(round + 1); }));
        close(c);
        L.StopListening();
        ASSERT_TRUE(WaitUntil([&] { return stopped == round + 1; }));
        EXPECT_EQ(bindingStops, round + 1) << "one per open binding";
        EXPECT_LT(Dial(AF_INET, port), 0) << "closed after the stop";
        {
            std::lock_guard<std::mutex> g(m);
            ports.clear();
        }
        L.StartListening();
        ASSERT_TRUE(WaitUntil([&] { return started == round + 2; }));
    }
    close(busy);
}

TEST_F(ListenerFixture, NothingOpensThenIdleUntilAskedAgain) {
    const int busy = BoundSocket(AF_INET);
    ASSERT_EQ(listen(busy, 1), 0);
    const std::string p = std::to_string(LocalPort(busy));
    L.AddNewBinding(u"Busy", u"127.0.0.1", UnicodeString(p.begin(), p.end()), false, false, Keep());
    L.Start();
    L.StartListening();
    ASSERT_TRUE(WaitUntil([&] { return bindingErrors.size() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return !L.ListenRequested(); }));
    EXPECT_EQ(started, 0);
    close(busy);  // the port is free now
    L.StartListening();
    ASSERT_TRUE(WaitUntil([&] { return started == 1; }));
}

// Bindings can be added only until a start is requested: the listener thread may be opening the
// list from then on. Each binding added while a start comes in is either opened or refused.
TEST_F(ListenerFixture, AddBindingRefusedOnceAStartIsRequested) {
    L.AddNewBinding(u"Client", u"127.0.0.1", u"0", false, false, Keep());
    L.StartListening();  // the thread does not run yet: the request alone refuses
    try {
        L.AddNewBinding(u"Late", u"127.0.0.1", u"0", false, false, Keep());
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Already listening");
    }
    L.StopListening();
    L.AddNewBinding(u"Client", u"127.0.0.1", u"0", false, false, Keep());

    std::atomic<int> added{2};
    std::thread adder([&] {
        for (int i = 0; i < 100; ++i) {
            try {
                L.AddNewBinding(u"Racing", u"127.0.0.1", u"0", false, false, Keep());
                ++added;
            } catch (const Exception&) {
                return;
            }
            std::this_thread::yield();
        }
    });
    L.Start();
    L.StartListening();
    adder.join();
    ASSERT_TRUE(WaitUntil([&] { return started == 1; }));
    std::lock_guard<std::mutex> g(m);
    EXPECT_EQ(L.Bindings().size(), size_t(added.load()));
    EXPECT_EQ(ports.size(), L.Bindings().size()) << "every binding in the list was opened";
    EXPECT_TRUE(bindingErrors.empty());
}

TEST_F(ListenerFixture, NoHandlerClosesAtOnce) {
    TSynapseBinding* b = L.AddNewBinding(u"Client", u"::1", u"0", true, true, nullptr);
    L.Start();
    L.StartListening();
    ASSERT_TRUE(WaitUntil([&] { return started == 1; }));
    const int c = Dial(AF_INET6, PortOf(b));
    ASSERT_GE(c, 0);
    ASSERT_TRUE(PollFor(c, POLLIN, 3000));
    char x;
    EXPECT_LE(recv(c, &x, 1, 0), 0);
    close(c);
}

TEST_F(ListenerFixture, MoreBindingsThanDefaultWaiterSlots) {
    const int n = TSynapseListenerThread::kDefaultWaiterResources + 10;
    std::vector<TSynapseBinding*> bs;
    for (int i = 0; i < n; ++i) bs.push_back(L.AddNewBinding(u"Client", u"127.0.0.1", u"0", false, false, Keep()));
    L.Start();
    L.StartListening();
    ASSERT_TRUE(WaitUntil([&] { return started == 1; }));
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(bindingErrors.empty());
    const int c = Dial(AF_INET, PortOf(bs.back()));
    ASSERT_TRUE(WaitUntil([&] { return accepts.size() == 1; }));
    close(c);
}

TEST_F(ListenerFixture, PeerGoneBeforeAcceptIsNeverHandedOver) {
    // Shared with the handler, which may still run when the test body has returned.
    struct Gate {
        std::mutex m;
        std::condition_variable cv;
        bool release = false;
    };
    auto gate = std::make_shared<Gate>();
    TSynapseBinding* b = L.AddNewBinding(
        u"Client", u"127.0.0.1", u"0", false, false,
        [this, gate](int h, const AnsiString& pip, int32_t pport, const AnsiString& lip, int32_t lport, int32_t kind,
            const UnicodeString& name) {
            Note([&] { accepts.push_back({h, pip, pport, lip, lport, kind, name}); });
            // Hold the listener on the first connection while the test prepares the second.
            std::unique_lock<std::mutex> g(gate->m);
            gate->cv.wait_for(g, std::chrono::seconds(3), [&] { return gate->release; });
        });
    L.Start();
    L.StartListening();
    ASSERT_TRUE(WaitUntil([&] { return started == 1; }));
    const int port = PortOf(b);
    const int first = Dial(AF_INET, port);
    ASSERT_TRUE(WaitUntil([&] { return accepts.size() == 1; }));
    int gone = Dial(AF_INET, port);
    ASSERT_GE(gone, 0);
    CloseWithReset(gone);  // reset while it waits in the accept queue
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::lock_guard<std::mutex> g(gate->m);
        gate->release = true;
    }
    gate->cv.notify_all();
    ASSERT_TRUE(WaitUntil([&] { return !errors.empty(); }));
    EXPECT_EQ(errors[0].rfind(FormatA("getpeername: Socket error %d: ", ENOTCONN), 0), 0u) << errors[0];
    const int third = Dial(AF_INET, port);
    ASSERT_TRUE(WaitUntil([&] { return accepts.size() == 2; }));
    {
        std::lock_guard<std::mutex> g(m);
        EXPECT_EQ(accepts[1].peerPort, int32_t(LocalPort(third)));
    }
    close(first);
    close(third);
}

TEST_F(ListenerFixture, OutOfDescriptorsPausesAndKeepsBindings) {
    TSynapseBinding* b = L.AddNewBinding(u"Client", u"127.0.0.1", u"0", false, false, Keep());
    L.Start();
    L.StartListening();
    ASSERT_TRUE(WaitUntil([&] { return started == 1; }));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(c, 0);
    const int probe = dup(0);  // the lowest free descriptor
    ASSERT_GE(probe, 0);
    close(probe);
    rlimit low = saved;
    low.rlim_cur = rlim_t(probe);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    sockaddr_storage ss;
    const socklen_t len = LoopbackAddr(AF_INET, uint16_t(PortOf(b)), ss);
    const int rc = connect(c, reinterpret_cast<sockaddr*>(&ss), len);
    const bool sawError = rc == 0 && WaitUntil([&] { return !errors.empty(); });
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(sawError);
    ASSERT_TRUE(WaitUntil([&] { return accepts.size() == 1; }, 5000)) << "accepted after the pause";
    std::lock_guard<std::mutex> g(m);
    EXPECT_EQ(errors[0], FormatA("accept: Socket error %d: Too many open files", EMFILE));
    EXPECT_EQ(bindingStops, 0) << "the bindings stay open";
    EXPECT_EQ(started, 1);
    close(c);
}

TEST_F(ListenerFixture, TerminateWhileListeningClosesEverything) {
    L.AddLocalhost(u"Client", u"0", TSynapseListenerIPVersions::ipver_46, Keep());
    L.Start();
    L.StartListening();
    ASSERT_TRUE(WaitUntil([&] { return started == 1; }));
    L.TerminateAndWakeUp();
    ASSERT_TRUE(WaitUntil([&] { return finished; }));
    EXPECT_EQ(bindingStops, 2);
    EXPECT_EQ(stopped, 1);
    EXPECT_FALSE(L.Listening());
}

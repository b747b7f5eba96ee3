#include "service/dmq_zel_svc_server_id.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "net/dmq_snps_listen_thread.hpp"
#include "service/dmq_zel_svc_listener_snps.hpp"
#include "service/dmq_zel_svc_timer.hpp"
#include "foundation/dmq_fileutils.hpp"
#include "tests/support/loopback.hpp"
#include "tests/support/service_fixture.hpp"
#include "tests/support/stand_in_network.hpp"
#include "tests/support/temp_dir.hpp"
#include "service/dmq_zel_svc_networks_list.hpp"

namespace zel {
namespace {

using namespace std::chrono_literals;
using test::ServeFor;
using test::ServeUntil;
using C = TZELSVCNetQueueCommand;

std::unique_ptr<TZELService> NewService() {
    return std::make_unique<TZELService>(u"/etc/server.ini", TZELServiceConfig{});
}

// True when the peer of Fd has closed (reads end of stream within a second).
bool PeerClosed(int Fd) {
    if (!zeltest::PollFor(Fd, POLLIN, 1000)) return false;
    char c;
    return recv(Fd, &c, 1, 0) == 0;
}

// A service with no networks, workers or links starts, listens, takes a connection, logs and ends.
TEST(ZELService, StartsListensAndStopsCleanly) {
    // Declared before the service: its thread uses them until the service is gone.
    test::TTickRecorder tick;
    test::TLogCapture log;
    auto s = NewService();
    tick.Install(*s);
    log.Install(*s);
    s->ListenLocalhost(u"Client", u"0", TSynapseListenerIPVersions::ipver_4, s->ClientAcceptHandler());
    s->Start();
    s->RequestServiceStart();

    const std::regex started("Start listening: Client: 127\\.0\\.0\\.1:([0-9]+)");
    std::smatch m;
    std::string line;
    ASSERT_TRUE(ServeUntil([&] {
        for (const UnicodeString& l : log.Lines) {
            line = test::Narrow(l);
            if (std::regex_match(line, m, started)) return true;
        }
        return false;
    }));
    const uint16_t port = uint16_t(std::stoi(m[1].str()));
    ASSERT_NE(port, 0);

    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss;
    const socklen_t len = zeltest::LoopbackAddr(AF_INET, port, ss);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&ss), len), 0);
    ASSERT_TRUE(ServeUntil([&] { return tick.Count(C::fsnq_NewClientConnection) == 1; }));
    const test::TTaken t = tick.Taken().back();
    EXPECT_EQ(t.Text1, "127.0.0.1");
    EXPECT_EQ(t.Value2, zeltest::LocalPort(client));
    EXPECT_EQ(t.Value3, 0);  // peer address kind: IPv4
    EXPECT_GE(t.Socket, 0);

    s->AddLogLine(u"from the main thread");
    EXPECT_TRUE(s->RequestStop(u"SIGTERM"));
    s->WaitFor();
    EXPECT_EQ(s->StopText(), u"SIGTERM");
    EXPECT_EQ(tick.Count(C::fsnq_ServiceStop), 1);
    EXPECT_EQ(tick.Count(C::fsnq_ServiceTerminate), 1);
    EXPECT_TRUE(log.Has(u"from the main thread"));
    EXPECT_TRUE(log.HasPrefix(u"Stop listening: Client: 127.0.0.1:"));
    EXPECT_TRUE(s->Listener().Finished());
    EXPECT_TRUE(s->Timer().Finished());
    ::close(client);
}

// The threads that Start() creates never take the signals of the program's signal thread; the
// caller's own mask is left as it was.
TEST(ZELService, ServerThreadsBlockTheProgramSignals) {
    sigset_t before, after;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    std::atomic<int> blocked{-1};
    test::TTickRecorder tick;
    auto s = NewService();
    tick.Install(*s);
    tick.Probe = [&] {
        sigset_t m;
        pthread_sigmask(SIG_SETMASK, nullptr, &m);
        int n = 0;
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) n += sigismember(&m, sig);
        blocked = n;
    };
    s->Start();
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    s->RequestServiceStart();
    ASSERT_TRUE(ServeUntil([&] { return blocked >= 0; }));
    EXPECT_EQ(blocked, 5);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2})
        EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig)) << sig;
}

// Eight threads ask at once: one call acts, its text stays, one terminate job is posted.
TEST(ZELService, FirstStopRequestWins) {
    auto s = NewService();
    std::atomic<bool> go{false};
    std::atomic<int> winner{-1};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            while (!go) std::this_thread::yield();
            if (s->RequestStop(WidenStrU("reason " + std::to_string(i)))) winner = i;
        });
    go = true;
    for (auto& t : threads) t.join();
    ASSERT_GE(winner, 0);
    EXPECT_EQ(s->StopText(), WidenStrU("reason " + std::to_string(winner)));
    EXPECT_EQ(s->MainQueue().Count(), 1);
    std::unique_ptr<TZELSVCMainQueueRec> r;
    ASSERT_TRUE(s->MainQueue().Pop(r));
    EXPECT_EQ(r->Kind, TZELSVCMainQueueCommand::fsmq_Terminate);
    EXPECT_FALSE(s->RequestStop(u"late"));
    EXPECT_EQ(s->StopText(), WidenStrU("reason " + std::to_string(winner)));
}

// After the stop the thread waits for the connections, command contexts and workers; the final
// terminate event is posted once, when no connection and no command context is left.
TEST(ZELService, EndWaitsForWhatIsStillOpen) {
    struct Case {
        const char* what;
        int32_t connections, commandContexts, workers;
        bool terminateWhileHeld;
    } cases[] = {
        {"client connection", 1, 0, 0, false},
        {"command context", 0, 1, 0, false},
        {"worker", 0, 0, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TTickRecorder tick;
        auto s = NewService();
        tick.Install(*s);
        for (int i = 0; i < c.connections; ++i) s->IncConnectionCount();
        s->PublishContextCounts(c.commandContexts, c.workers);
        s->Start();
        s->RequestStop(u"test");
        ServeFor(300ms);
        EXPECT_FALSE(s->Finished());
        EXPECT_EQ(tick.Count(C::fsnq_ServiceTerminate), c.terminateWhileHeld ? 1 : 0);
        for (int i = 0; i < c.connections; ++i) s->DecConnectionCount();
        s->PublishContextCounts(0, 0);
        ASSERT_TRUE(ServeUntil([&] { return s->Finished(); }));
        s->WaitFor();
        EXPECT_EQ(tick.Count(C::fsnq_ServiceTerminate), 1);
    }
}

// Freed with no stop request, started or not, the service ends its threads and returns; lines that
// nobody takes (no OnLog) are dropped, never blocking the thread.
TEST(ZELService, FreedWithoutStopRequestReturns) {
    NewService().reset();
    auto s = NewService();
    s->Start();
    std::atomic<bool> stop{false};
    std::thread pusher([&] {
        while (!stop) s->AddLogLine(u"line nobody takes");
    });
    std::this_thread::sleep_for(100ms);
    s->StopAndWait();
    stop = true;
    pusher.join();
    EXPECT_TRUE(s->Finished());
    s.reset();
}

// A log handler that raises (a full disk) costs that delivery only: the loop reports it, goes on,
// and the service still stops.
TEST(ZELService, LogHandlerRaisingOnce) {
    std::vector<UnicodeString> lines;
    int calls = 0;
    auto s = NewService();
    s->OnLog = [&](TZELService* Sender) {
        if (++calls == 1) throw EFileException("disk full");
        UnicodeString l;
        while (Sender->PopLogLine(l)) lines.push_back(l);
    };
    s->Start();
    s->AddLogLine(u"first");
    ASSERT_TRUE(ServeUntil([&] { return calls >= 2; }));
    s->AddLogLine(u"second");
    ASSERT_TRUE(ServeUntil([&] {
        for (auto& l : lines)
            if (l == u"second") return true;
        return false;
    }));
    bool reported = false;
    for (auto& l : lines) reported |= l == u"ERROR: Service thread: main loop: EFileException: disk full";
    EXPECT_TRUE(reported);
    s->StopAndWait();
    EXPECT_TRUE(s->Finished());
}

// A handler that always raises: each report is dropped, and the thread neither spins nor hangs.
TEST(ZELService, LogHandlerAlwaysRaising) {
    std::atomic<int> calls{0};
    auto s = NewService();
    s->OnLog = [&](TZELService*) {
        ++calls;
        throw EFileException("disk full");
    };
    s->Start();
    for (int i = 0; i < 5; ++i) s->AddLogLine(u"lost");
    ServeFor(200ms);
    const int after = calls;
    EXPECT_LT(after, 20);
    s->StopAndWait();
    EXPECT_TRUE(s->Finished());
}

TEST(ZELService, AcceptWhileNotStartedClosesTheHandle) {
    auto s = NewService();
    zeltest::TcpPair p;
    ASSERT_TRUE(zeltest::MakeTcpPair(AF_INET, p));
    s->AcceptClient(p.b, "127.0.0.1", 1234, "127.0.0.1", 80, 0, u"Client");
    p.b = -1;
    EXPECT_TRUE(PeerClosed(p.a));
    EXPECT_EQ(s->ServQueue().Count(), 0);
}

// A new connection still queued when the service goes is closed with it.
TEST(ZELService, QueuedConnectionIsClosedAtDestruction) {
    auto s = NewService();
    zeltest::TcpPair p;
    ASSERT_TRUE(zeltest::MakeTcpPair(AF_INET, p));
    s->PostNewClientConnection(p.b, "127.0.0.1", 1234, 0);
    p.b = -1;
    EXPECT_FALSE(zeltest::PollFor(p.a, POLLIN, 50));
    s.reset();
    EXPECT_TRUE(PeerClosed(p.a));
}

TEST(ZELService, ReopenRequestAfterTerminationPostsNothing) {
    auto s = NewService();
    s->RequestReopenLog();
    EXPECT_EQ(s->MainQueue().Count(), 1);
    s->Terminate();
    s->RequestReopenLog();
    EXPECT_EQ(s->MainQueue().Count(), 1);
}

TEST(ZELService, ListFilesResolveAgainstTheDataDirOfTheMoment) {
    auto s = NewService();
    const UnicodeString base = s->BaseDir();
    s->SetAdminsFileName(u"admins.dat");
    EXPECT_EQ(s->AdminsFileName(), base + u"/admins.dat");
    s->SetDataDir(u"/var/db/zel");
    s->SetMutesFileName(u"mutes.dat");
    s->SetOwnerFileName(u"/etc/owner.dat");
    EXPECT_EQ(s->MutesFileName(), u"/var/db/zel/mutes.dat");
    EXPECT_EQ(s->OwnerFileName(), u"/etc/owner.dat");
    EXPECT_EQ(s->AdminsFileName(), base + u"/admins.dat");  // set before: unchanged
    s->SetDataDir(u"data");
    EXPECT_EQ(s->DataDir(), base + u"/data");
    s->SetDataChangeScript(u"");
    EXPECT_EQ(s->DataChangeScript(), u"");
    s->SetDataChangeScript(u"bin/changed.sh");
    EXPECT_EQ(s->DataChangeScript(), base + u"/bin/changed.sh");
}

TEST(ZELService, UniqueIdsAreStampAndGrowingHexCounter) {
    auto s = NewService();
    const std::regex form("[0-9]{17}\\.([0-9A-F]{6,})");
    std::smatch m;
    std::string a = test::Narrow(s->NewUniqueId()), b = test::Narrow(s->NewUniqueId());
    ASSERT_TRUE(std::regex_match(a, m, form)) << a;
    EXPECT_EQ(m[1].str(), "000001");
    ASSERT_TRUE(std::regex_match(b, m, form)) << b;
    EXPECT_EQ(m[1].str(), "000002");
}


// ---------------------------------------------------------------------------------------------
// Service start, run on the main thread (its log calls then run at once).

class ServiceStartTest : public test::TempDirTest {
protected:
    // A service whose networks come from Lines (one per line) through the stand-in factory; the
    // manager sections whose bits are in Enabled are on.
    void Make(const std::string& Lines, uint32_t Enabled) {
        Put(Path("networks.cfg"), Lines);
        s = NewService();
        s->SetFactory(std::make_unique<test::StandInFactory>());
        log.Install(*s);
        tick.Install(*s);
        s->SetNetworksFileName(WidenStrU(Path("networks.cfg")));
        TZELSvcSysmanParams p[3];
        for (int i = 0; i < 3; ++i) p[i].ManagerEnabled = (Enabled >> i & 1) != 0;
        s->SetManagerParams(p);
    }
    int64_t MaskOf(int32_t I) {
        return static_cast<test::StandInFileNetwork*>(s->Networks().Networks(I))->LinksMask;
    }

    test::TTickRecorder tick;
    test::TLogCapture log;
    std::unique_ptr<TZELService> s;
};

// The slots in service: the enabled sections that some network outside STANDALONE selects; every
// network is told the result.
TEST_F(ServiceStartTest, ManagersMaskIsEnabledSectionsAndWhatNetworksAsk) {
    struct Case {
        const char* Networks;
        uint32_t Enabled;
        uint32_t Mask;
    };
    const Case cases[] = {
        {"A\nB|ManagerMode=ZEL;ManagersMask=6\n", 3, 2},   // B asks 1 and 2; only 0 and 1 are on
        {"A\nB\n", 7, 0},                                   // all STANDALONE: no link at all
        {"A|ManagerMode=N;ManagersMask=4\n", 3, 0},         // the only section asked is off
        {"A|ManagerMode=L;ManagersMask=1\nB|ManagerMode=Z;ManagersMask=4\n", 5, 5},
        {"A|ManagersMask=7\n", 7, 0},                       // a mask alone does not ask
    };
    for (const Case& c : cases) {
        Make(c.Networks, c.Enabled);
        s->ServiceStart();
        EXPECT_EQ(s->ManagersMask(), c.Mask) << c.Networks;
        for (int32_t i = 0; i < s->Networks().Count(); ++i) EXPECT_EQ(MaskOf(i), int64_t(c.Mask)) << c.Networks;
        s.reset();
    }
}

// The log of a start: the networks file, one " Net: " line per network (options only when any
// differ), the default network and country; then the timer ticks and a hot worker is asked for.
TEST_F(ServiceStartTest, LogsNetworksDefaultsAndStartsTheTimer) {
    Make("# rooms\nLobby\nDX|ManagersMask=3\n", 0);
    s->SetDefaultNetworkName(u"DX");
    s->KeepHotThread = true;
    s->Start();
    s->ServiceStart();
    EXPECT_TRUE(s->ServiceStarted());
    const std::vector<UnicodeString> want = {
        u"List of networks is loaded: " + WidenStrU(Path("networks.cfg")),
        u" Net: \"Lobby\"",
        u" Net: \"DX\", options: ManagersMask=3",
        u"Default network: \"DX\"",
    };
    EXPECT_EQ(log.Lines, want);
    EXPECT_EQ(s->DefaultNetwork(), s->Networks().Networks(1));
    ASSERT_TRUE(ServeUntil([&] { return tick.Count(C::fsnq_CreateWorker) == 1; }));
    // A second start does nothing.
    log.Lines.clear();
    s->ServiceStart();
    EXPECT_TRUE(log.Lines.empty());
}

// "Default country" only together with a default network name; an unknown default network is
// not named.
TEST_F(ServiceStartTest, DefaultCountryNeedsADefaultNetworkName) {
    for (const char16_t* network : {u"", u"Nowhere"}) {
        Put(Path("networks.cfg"), "A\n");
        TZELServiceConfig c;
        c.DefaultCountry = u"DL";
        c.DefaultNetworkName = network;
        c.NetworksFileName = WidenStrU(Path("networks.cfg"));
        s = std::make_unique<TZELService>(u"/etc/server.ini", c);
        s->SetFactory(std::make_unique<test::StandInFactory>());
        log.Lines.clear();
        log.Install(*s);
        s->ServiceStart();
        EXPECT_EQ(log.Has(u"Default country: \"DL\""), network[0] != 0);
        EXPECT_FALSE(log.HasPrefix(u"Default network: "));
        EXPECT_EQ(s->DefaultNetwork(), nullptr);
        s.reset();
    }
}

// What a killed save left beside a list file outside DataDir (the mover's target-side tree and a
// backup) goes at the next start; nothing else there does, nor anything of another prefix.
TEST_F(ServiceStartTest, StartSweepsTheDirectoryOfEveryListFile) {
    Make("A\n", 0);
    const std::string other = Path("other");
    std::filesystem::create_directories(other + "/.ZELSVC$0A1B2C3D4E/M");
    Put(other + "/.ZELSVC$0A1B2C3D4E/M/mutes.dat", "staged\n");
    Put(other + "/.ZELSVC$0A1B2C3D4E.mutes.dat", "old\n");
    const std::vector<std::string> stay = {".TMP$0A1B2C3D4E", ".ZELSVC$short", "mutes.dat", "notes.txt"};
    for (const std::string& n : stay) Put(other + "/" + n, "x\n");
    s->SetDataDir(WidenStrU(dir_));
    s->SetMutesFileName(WidenStrU(other + "/mutes.dat"));
    s->ServiceStart();
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(other)) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, stay);
}

// No network in the file, or a file that cannot be read: the default set runs.
TEST_F(ServiceStartTest, NoNetworksGiveTheDefaultSet) {
    for (bool unreadable : {false, true}) {
        Make("# nothing\n", 0);
        if (unreadable) {
            std::filesystem::remove(Path("networks.cfg"));
            std::filesystem::create_directory(Path("networks.cfg"));
        }
        s->ServiceStart();
        EXPECT_EQ(log.HasPrefix(u"ERROR: Networks: "), unreadable);
        EXPECT_TRUE(log.Has(u"WARNING: Networks: No networks found: use simple set of networks"));
        ASSERT_EQ(s->Networks().Count(), 2);
        EXPECT_EQ(s->Networks().Networks(0)->NetworkName(), u"Test");
        EXPECT_EQ(s->Networks().Networks(1)->NetworkName(), u"Net01");
        s.reset();
        log.Lines.clear();
        std::filesystem::remove_all(Path("networks.cfg"));
    }
}

// A start that fails (the server charset cannot be used) leaves the service stopped, so that
// the start can be tried again.
TEST_F(ServiceStartTest, FailedStartClearsTheStartedFlag) {
    Make("A\n", 0);
    s->SetServerCharsetName(u"NO-SUCH-CHARSET");
    EXPECT_ANY_THROW(s->ServiceStart());
    EXPECT_FALSE(s->ServiceStarted());
    EXPECT_FALSE(s->Timer().Running());
}
}  // namespace
}  // namespace zel

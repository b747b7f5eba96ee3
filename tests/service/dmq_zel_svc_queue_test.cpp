#include "service/dmq_zel_svc_queue.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/dmq_exception.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_svc_tick.hpp"
#include "tests/support/loopback.hpp"
#include "tests/support/service_fixture.hpp"
#include "tests/support/stand_in_network.hpp"

namespace zel {
namespace {

using C = TZELSVCNetQueueCommand;

int g_payloads = 0;
struct TCountedPayload : TZELSVCListPayload {
    TCountedPayload() { ++g_payloads; }
    ~TCountedPayload() override { --g_payloads; }
};

// True when the peer of Fd closes within Ms (end of stream).
bool PeerClosed(int Fd, int Ms) {
    if (!zeltest::PollFor(Fd, POLLIN, Ms)) return false;
    char c;
    return recv(Fd, &c, 1, 0) == 0;
}

// A record disposes of what it owns: its list payloads always, the socket of a new connection
// unless a handler took it; a number in Value1 of any other code is no socket.
TEST(ZELSVCNetQueueRecord, DisposesOfWhatItOwns) {
    struct Case {
        C command;
        bool take;
        bool closed;
    } cases[] = {
        {C::fsnq_NewClientConnection, false, true},
        {C::fsnq_NewCommandConnection, false, true},
        {C::fsnq_NewClientConnection, true, false},
        {C::fsnq_CommandReply, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.command));
        zeltest::TcpPair p;
        ASSERT_TRUE(zeltest::MakeTcpPair(AF_INET, p));
        int taken = -1;
        {
            TZELSVCNetQueueRecord r;
            r.Command = c.command;
            r.Value1 = p.b;
            r.Payload = std::make_unique<TCountedPayload>();
            r.Objects.push_back(std::make_unique<TCountedPayload>());
            r.Objects.push_back(nullptr);
            if (c.take) taken = r.TakeSocket();
        }
        EXPECT_EQ(g_payloads, 0);
        if (c.take) {
            EXPECT_EQ(taken, p.b);
        }
        EXPECT_EQ(PeerClosed(p.a, c.closed ? 1000 : 50), c.closed);
        if (c.closed) p.b = -1;
    }
}

TEST(ZELService, PostersSetTheirCodeAndFields) {
    TZELService s(u"/etc/server.ini", TZELServiceConfig{});
    const std::vector<std::pair<void (TZELService::*)(), C>> dirty = {
        {&TZELService::PostDirtyAdmins, C::fsnq_DirtyAdmins}, {&TZELService::PostDirtyMutes, C::fsnq_DirtyMutes},
        {&TZELService::PostDirtyBlocks, C::fsnq_DirtyBlocks}, {&TZELService::PostDirtyRights, C::fsnq_DirtyRights},
        {&TZELService::PostDirtyModes, C::fsnq_DirtyModes},   {&TZELService::PostDirtyNotices, C::fsnq_DirtyNotices},
        {&TZELService::PostDirtyOwner, C::fsnq_DirtyOwner},   {&TZELService::PostServiceTerminate, C::fsnq_ServiceTerminate},
    };
    for (auto& [post, code] : dirty) (s.*post)();
    test::TStandInContext requester(5);
    s.PostCommandReply(&requester, 4, "+OK\r\n");
    zeltest::TcpPair p;
    ASSERT_TRUE(zeltest::MakeTcpPair(AF_INET, p));
    s.PostNewClientConnection(p.b, "::1", 4321, 3);
    // Service stop: only while started, once.
    s.StopService();
    s.ServiceStart();
    s.StopService();
    s.StopService();

    std::unique_ptr<TZELSVCNetQueueRecord> r;
    for (auto& [post, code] : dirty) {
        ASSERT_TRUE(s.ServQueue().Pop(r));
        EXPECT_EQ(r->Command, code);
        EXPECT_EQ(r->Owner, nullptr);
    }
    ASSERT_TRUE(s.ServQueue().Pop(r));
    EXPECT_EQ(r->Command, C::fsnq_CommandReply);
    EXPECT_EQ(r->Owner, &requester);
    EXPECT_EQ(r->OwnerId, 4u);
    EXPECT_EQ(r->Text1, "+OK\r\n");
    ASSERT_TRUE(s.ServQueue().Pop(r));
    EXPECT_EQ(r->Command, C::fsnq_NewClientConnection);
    EXPECT_EQ(r->Value1, p.b);
    EXPECT_EQ(r->Text1, "::1");
    EXPECT_EQ(r->Value2, 4321);
    EXPECT_EQ(r->Value3, 3);
    ASSERT_TRUE(s.ServQueue().Pop(r));
    EXPECT_EQ(r->Command, C::fsnq_ServiceStop);
    EXPECT_FALSE(s.ServiceStarted());
    EXPECT_FALSE(s.ServQueue().Pop(r));
    p.b = -1;  // the connection record closed it
}

// The contexts' posters: handshake done and login refused carry the context (and the answer); a
// context's close is posted once, whichever of the two close codes comes first.
TEST(ZELService, ContextPostersAndTheOnceOnlyClose) {
    TZELService s(u"/etc/server.ini", TZELServiceConfig{});
    test::TStandInContext client(3), command(4);
    int worker = 0;
    static constexpr char kAnswer[] = "2014004\r\n<AL>BLOCK</AL>\r\n\0x";  // the bytes, a NUL among them
    const AnsiString answer(kAnswer, sizeof kAnswer - 1);
    s.PostClientHandshakeDone(&client);
    s.PostLoginRefused(&client, answer);
    EXPECT_TRUE(s.PostContextClosed(&client, &worker));
    EXPECT_FALSE(s.PostContextClosed(&client, &worker));
    EXPECT_FALSE(s.PostCommandContextClosed(&client, nullptr));
    EXPECT_TRUE(s.PostCommandContextClosed(&command, &worker));
    EXPECT_FALSE(s.PostCommandContextClosed(&command, &worker));
    EXPECT_TRUE(client.ClosedPosted());

    struct Want {
        C Command;
        TZELSVCWrkCtxBase* Owner;
        void* Obj1;
        AnsiString Text1;
    } want[] = {
        {C::fsnq_ClientHandshakeDone, &client, nullptr, ""},
        {C::fsnq_LoginRefused, &client, nullptr, answer},
        {C::fsnq_ClientDisconnected, &client, &worker, ""},
        {C::fsnq_CommandDisconnected, &command, &worker, ""},
    };
    std::unique_ptr<TZELSVCNetQueueRecord> r;
    for (const Want& w : want) {
        ASSERT_TRUE(s.ServQueue().Pop(r));
        EXPECT_EQ(r->Command, w.Command);
        EXPECT_EQ(r->Owner, w.Owner);
        EXPECT_EQ(r->Obj1, w.Obj1);
        EXPECT_EQ(r->Text1, w.Text1);
    }
    EXPECT_FALSE(s.ServQueue().Pop(r));
}

// ---------------------------------------------------------------------------------------------
// The dispatcher.

// A network that notes every record handed to it ("A 13 v60 t=ID p" for code 13 with Value1 60,
// Text1 "ID" and a payload) into a log shared by the networks, and keeps them until its run.
class RecordingNetwork : public test::StandInNetwork {
public:
    RecordingNetwork(UnicodeView Name, std::vector<std::string>& Log) : Log_(Log) { Name_ = UnicodeString(Name); }
    void AddPending(std::unique_ptr<TZELSVCNetQueueRecord>&& Rec) override {
        if (RaiseOnAdd) throw Exception("no room");
        std::string e = test::Narrow(Name_) + " " + std::to_string(int(Rec->Command));
        if (Rec->Value1 != 0) e += " v" + std::to_string(Rec->Value1);
        if (!Rec->Text1.empty()) e += " t=" + Rec->Text1;
        if (Rec->Payload) e += " p";
        Log_.push_back(e);
        StandInNetwork::AddPending(std::move(Rec));
    }
    void PrepareCmdList(TZELCmdListBlock& Block) override {
        const std::string n = test::Narrow(Name_);
        Texts_[0] = "NL-" + n + "\r\n";
        Texts_[1] = "CL-" + n + "\r\n";
        Texts_[2] = "ML-" + n + "\r\n";
        Block.NetworkLine = Texts_[0];
        Block.ClientCount = Members;
        Block.ClientLines = Members > 0 ? AnsiView(Texts_[1]) : AnsiView();
        Block.MemberLines = Members > 0 ? AnsiView(Texts_[2]) : AnsiView();
    }
    void ReleasePending() { (void)Pending_.TakeAll(); }

    bool RaiseOnAdd = false;
    int32_t Members = 0;

private:
    std::vector<std::string>& Log_;
    std::string Texts_[3];
};

// A service whose seams note what reaches them, into the same log; the test thread dispatches.
class DispatchService : public TZELService {
public:
    DispatchService() : TZELService(u"/etc/server.ini", TZELServiceConfig{}) {
        A = AddNetwork(u"A");
        B = AddNetwork(u"B");
        CommandContexts().Add(static_cast<TZELSVCWrkCtxBase*>(&Requester));
    }
    // The service owns its command contexts; the requester is a member, so it leaves the list first.
    ~DispatchService() override {
        StopAndWait();
        CommandContexts().Remove(static_cast<TZELSVCWrkCtxBase*>(&Requester));
    }

    RecordingNetwork* AddNetwork(UnicodeView Name) {
        auto n = std::make_unique<RecordingNetwork>(Name, Log);
        RecordingNetwork* p = n.get();
        Networks().Add(std::move(n));
        return p;
    }
    // Dispatches until the queue is empty (answers posted by a handler come in a later batch).
    void DispatchAll() {
        for (int i = 0; i < 10 && ServQueue().Count() > 0; ++i) DispatchServiceQueue();
    }
    std::vector<std::string> LogLines() {
        std::vector<std::string> lines;
        UnicodeString l;
        while (PopLogLine(l)) lines.push_back(test::Narrow(l));
        return lines;
    }

    std::vector<std::string> Log;
    RecordingNetwork* A;
    RecordingNetwork* B;
    test::TAnswerContext Requester{9};
    bool ManagerLinkTakes = false;
    int RaiseOn = -1;  // a code whose clients' handler raises "Command context not found"

protected:
    void DispatchClientsRecord(std::unique_ptr<TZELSVCNetQueueRecord>& Rec) override {
        Log.push_back("clients " + std::to_string(int(Rec->Command)));
        if (int(Rec->Command) == RaiseOn) throw Exception("Command context not found");
    }
    void AbortUndefinedConnections(TZELSVCDisconnectCause Cause) override {
        Log.push_back("abort " + std::to_string(int(Cause)));
    }
    void DispatchMoveRecord(std::unique_ptr<TZELSVCNetQueueRecord>& Rec) override {
        Log.push_back("move " + std::to_string(int(Rec->Command)));
    }
    bool HandOverManagerDisconnect(const TZELSVCNetQueueRecord& Rec) override {
        Log.push_back("link " + std::to_string(int(Rec.Command)) + " v" + std::to_string(Rec.Value1));
        return ManagerLinkTakes;
    }
};

std::unique_ptr<TZELSVCNetQueueRecord> Record(int Code, TZELSVCWrkCtxBase* Owner = nullptr, void* Obj2 = nullptr,
                                              int32_t Value1 = 0) {
    auto r = std::make_unique<TZELSVCNetQueueRecord>();
    r->Command = static_cast<C>(Code);
    r->Owner = Owner;
    r->Obj2 = Obj2;
    r->Value1 = Value1;
    return r;
}

// Each code reaches its handler or its network(s): broadcasts from the last network to the first,
// installs with each network's own payload, and the flags word's bits.
TEST(ServiceDispatch, RoutesEachCode) {
    const int stopped = int(TZELSVCDisconnectCause::fsdc_ServerStopped);
    const int byOwner = int(TZELSVCDisconnectCause::fsdc_ByOwner);
    using S = DispatchService;
    struct Case {
        const char* name;
        std::function<void(S&)> post;
        std::vector<std::string> events;
        uint32_t flags;
    } cases[] = {
        {"mute", [](S& s) { s.PostCommandMute("ID", s.B, 60, true); }, {"B 13 v60"}, 0},
        {"admin", [](S& s) { s.PostCommandAdmin("ID", s.A, true); }, {"A 15 v1 t=ID"}, 0},
        {"talk mode", [](S& s) { s.PostCommandTalkMode(s.B, -1, &s.Requester); }, {"B 20 v-1"}, 0},
        {"net manager mode", [](S& s) { s.PostCommandSetNetManagerMode(s.A, 2); }, {"A 27 v2"}, 0},
        {"manager answer", [](S& s) { s.PostServQueue(Record(44, nullptr, s.B, 1)); }, {"B 44 v1"}, 0},
        // Every time: a network may have taken a mode of its own in between.
        {"server manager mode, every time",
         [](S& s) {
             s.PostCommandSetServerManagerMode(2);
             s.PostCommandSetServerManagerMode(2);
             s.PostCommandSetServerManagerMode(0);
             s.PostCommandSetServerManagerMode(4);
         },
         {"B 26 v2", "A 26 v2", "B 26 v2", "A 26 v2", "B 26", "A 26"}, 0},
        {"link up and down",
         [](S& s) {
             s.PostServQueue(Record(45, nullptr, nullptr, 1));
             s.PostServQueue(Record(46, nullptr, nullptr, 2));
         },
         {"B 45 v1", "A 45 v1", "B 46 v2", "A 46 v2"}, 0},
        {"disconnect all", [](S& s) { s.PostCommandDisconnect(nullptr, "", &s.Requester); },
         {"abort " + std::to_string(byOwner), "B 82", "A 82"}, 0},
        {"disconnect network", [](S& s) { s.PostCommandDisconnect(s.A, "", &s.Requester); }, {"A 82"}, 0},
        {"disconnect client", [](S& s) { s.PostCommandDisconnect(s.A, "ID", &s.Requester); }, {"A 35 t=ID"}, 0},
        {"service stop", [](S& s) { s.PostServQueue(Record(53)); }, {"abort " + std::to_string(stopped), "B 81", "A 81"}, 0},
        {"install with save",
         [](S& s) {
             std::vector<std::unique_ptr<TZELSVCListPayload>> lists;
             lists.push_back(std::make_unique<TCountedPayload>());
             lists.push_back(nullptr);
             s.PostInstallMutes(std::move(lists), true);
         },
         {"B 1 v1", "A 1 v1 p"}, ZELSVCFlagMutes},
        {"install without save",
         [](S& s) {
             std::vector<std::unique_ptr<TZELSVCListPayload>> lists;
             for (int i = 0; i < 2; ++i) lists.push_back(std::make_unique<TCountedPayload>());
             s.PostInstallRights(std::move(lists), false);
         },
         {"B 3 p", "A 3 p"}, 0},
        {"dirty marks",
         [](S& s) {
             s.PostDirtyAdmins();
             s.PostDirtyRights();
             s.PostDirtyOwner();
         },
         {}, ZELSVCFlagAdmins | ZELSVCFlagRights | ZELSVCFlagOwner},
        {"flush of a gone requester", [](S& s) { s.PostCommandFlushData(nullptr); }, {},
         ZELSVCFlagAllListsButOwner | ZELSVCFlagFlushAnswers},
        {"moves",
         [](S& s) {
             s.PostClientMoveRequest(&s.Requester, s.B, "ID", 0);
             s.PostCommandMoveClient(&s.Requester, s.A, s.B, "ID", 10);
             s.PostCountdownExpired(&s.Requester, s.B, s.A);
         },
         {"move 28", "move 29", "move 30"}, 0},
        {"clients' codes",
         [](S& s) {
             s.PostNewCommandConnection(-1, "127.0.0.1", 1, 0);
             s.PostNewClientConnection(-1, "127.0.0.1", 2, 0);
             for (int code : {38, 39, 40, 41, 47, 48, 49, 50, 51, 52}) s.PostServQueue(Record(code));
             s.PostServiceTerminate();
         },
         {"clients 36", "clients 37", "clients 38", "clients 39", "clients 40", "clients 41", "clients 47",
          "clients 48", "clients 49", "clients 50", "clients 51", "clients 52", "clients 54"},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        S s;
        c.post(s);
        s.DispatchAll();
        EXPECT_EQ(s.Log, c.events);
        EXPECT_EQ(s.ServiceFlags(), c.flags);
        s.A->ReleasePending();
        s.B->ReleasePending();
    }
    EXPECT_EQ(g_payloads, 0);
}

// A client's and a network's own codes, and 25 and 32, go to the network of the context that
// posted them.
TEST(ServiceDispatch, ClientCodesGoToThePostersNetwork) {
    DispatchService s;
    test::TClientContext inA(1, s.A), inB(2, s.B), nowhere(3, nullptr);
    TZELSVCClientCommandArgs text;
    text.Text1 = "hello";
    s.PostClientCommand(static_cast<C>(62), &inA, text);
    s.PostClientCommand(static_cast<C>(55), &inB);
    s.PostClientCommand(static_cast<C>(83), &inB);
    s.PostClientCommand(static_cast<C>(60), &nowhere);  // in no network: dropped
    s.PostServQueue(Record(25, &inA));
    s.PostServQueue(Record(32, &inB));
    s.DispatchAll();
    EXPECT_EQ(s.Log, (std::vector<std::string>{"A 62 t=hello", "B 55", "B 83", "A 25", "B 32"}));
}

// The answers that the dispatcher writes itself, byte for byte; a requester that is no longer a
// command context, or carries another number now, gets none.
TEST(ServiceDispatch, AnswersLiveRequestersOnly) {
    using S = DispatchService;
    struct Case {
        const char* name;
        std::function<void(S&)> post;
        std::vector<AnsiString> answers;
    } cases[] = {
        {"list all", [](S& s) { s.PostCommandListAll(&s.Requester); },
         {"+6\r\nNL-A\r\n1\r\nCL-A\r\nML-A\r\nNL-B\r\n0\r\n"}},
        {"list one", [](S& s) { s.PostCommandListNetwork(s.B, &s.Requester); }, {"+2\r\nNL-B\r\n0\r\n"}},
        {"threads", [](S& s) { s.PostCommandThreads(&s.Requester); }, {"+2\r\n5\r\n0\r\n"}},
        {"reply", [](S& s) { s.PostCommandReply(&s.Requester, 9, "+OK\r\n"); }, {"+OK\r\n"}},
        {"link index out of range", [](S& s) { s.PostCommandDisconnectManagerByIndex(3, &s.Requester); },
         {"-NOTCONNECTED\r\n"}},
        {"no link at index", [](S& s) { s.PostCommandDisconnectManagerByIndex(1, &s.Requester); },
         {"-NOTCONNECTED\r\n"}},
        {"no link at address", [](S& s) { s.PostCommandDisconnectManagerByAddress("m.example", 10025, &s.Requester); },
         {"-NOTCONNECTED\r\n"}},
        {"a link takes it",
         [](S& s) {
             s.ManagerLinkTakes = true;
             s.PostCommandDisconnectManagerByIndex(0, &s.Requester);
         },
         {}},
        {"renumbered requester",
         [](S& s) {
             s.PostCommandListAll(&s.Requester);
             s.PostCommandReply(&s.Requester, 9, "+OK\r\n");
             s.Requester.SetNumber(10);
         },
         {}},
        {"gone requester",
         [](S& s) {
             s.CommandContexts().Remove(static_cast<TZELSVCWrkCtxBase*>(&s.Requester));
             s.PostCommandThreads(&s.Requester);
             s.PostCommandDisconnectManagerByIndex(7, &s.Requester);
         },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        S s;
        s.A->Members = 1;
        s.Workers().push_back(std::make_unique<test::StandInWorker>(10, 4, 1));
        s.Workers().push_back(std::make_unique<test::StandInWorker>(10, 10, 0));
        c.post(s);
        s.DispatchAll();
        EXPECT_EQ(s.Requester.Texts(), c.answers);
    }
}

// A handler that raises costs only its own record: the rest of the batch is handled, the failure is
// logged as the tick's error line, and every payload is freed once, also that of an install whose
// hand-over raised.
TEST(ServiceDispatch, RaisingRecordCostsOnlyItself) {
    DispatchService s;
    s.RaiseOn = 41;
    test::TClientContext client(1, s.A);
    std::vector<std::unique_ptr<TZELSVCListPayload>> lists;
    for (int i = 0; i < 2; ++i) lists.push_back(std::make_unique<TCountedPayload>());
    s.A->RaiseOnAdd = false;
    s.B->RaiseOnAdd = true;  // the install's first hand-over (the last network) raises
    s.PostInstallAdmins(std::move(lists), true);
    for (int i = 0; i < 10; ++i) {
        if (i == 4) s.PostServQueue(Record(41));
        else s.PostClientCommand(static_cast<C>(57), &client);
    }
    s.DispatchAll();
    std::vector<std::string> want{"clients 41"};
    want.insert(want.begin(), 4, "A 57");
    want.insert(want.end(), 5, "A 57");
    EXPECT_EQ(s.Log, want);
    EXPECT_EQ(s.A->PendingCount(), 9);
    EXPECT_EQ(g_payloads, 0);
    EXPECT_EQ(s.ServiceFlags(), 0u);  // the failed install set no bit
    EXPECT_EQ(s.LogLines(), (std::vector<std::string>{"ERROR: Timer: Work loop: Exception: no room",
                                                      "ERROR: Timer: Work loop: Exception: Command context not found"}));
}

// The refusal lines of the clients' connection handlers.
TEST(ServiceDispatch, RefusalLines) {
    using D = TZELSVCDisconnectCause;
    struct Case {
        D cause;
        UnicodeView prefix;
        AnsiView address;
        const char* line;
    } cases[] = {
        {D::fsdc_MaxConnectionPerAddress, u"Client:", "127.0.0.1", "Client: 127.0.0.1:5555 DISCONNECT_LIMIT_ADDRESS"},
        {D::fsdc_MaxTotalConnections, u"Client:", "::1", "Client: [::1]:5555 DISCONNECT_LIMIT_TOTAL"},
        {D::fsdc_ServInternalError, u"Command:", "127.0.0.1",
         "Command: 127.0.0.1:5555 DISCONNECT_INTERNAL_ERROR: no descriptors"},
        {D::fsdc_ServOutOfMemory, u"Client:", "::1", "Client: [::1]:5555 DISCONNECT_OUT_OF_MEMORY"},
    };
    DispatchService s;
    for (const Case& c : cases) {
        TZELSVCNetQueueRecord r;
        r.Text1 = AnsiString(c.address);
        r.Value1 = -1;
        r.Value2 = 5555;
        s.LogRefusedConnection(c.cause, c.prefix, "no descriptors", r);
        EXPECT_EQ(s.LogLines(), std::vector<std::string>{c.line});
    }
}

// A network that counts the client records it runs and, as a network does, marks the pass active
// when it ran any; the timer thread is its only user.
class CountingNetwork : public test::StandInNetwork {
public:
    CountingNetwork(TZELService& S, std::atomic<int>& Ran) : Ran(Ran), S_(S) {
        Name_ = u"Count";
        LastRun_ = GetTickMs();
    }
    void ProcessQueue(bool Housekeeping) override {
        if (Housekeeping) LastRun_ += 500;
        const auto records = Pending_.TakeAll();
        if (!records.empty()) S_.SetServiceFlags(ZELSVCFlagNetworkActivity);
        for (const auto& r : records) Ran += r->Command == static_cast<C>(60);
    }
    // Outside the network, which the service frees when its thread ends.
    std::atomic<int>& Ran;

private:
    TZELService& S_;
};

// Eight threads post while the timer runs: every record reaches the network once.
TEST(ServiceDispatchThread, ManyPostersWhileTheTimerRuns) {
    constexpr int kThreads = 8, kPerThread = 1000;
    auto s = std::make_unique<TZELService>(u"/etc/server.ini", TZELServiceConfig{});
    std::atomic<int> ran{0};
    auto owned = std::make_unique<CountingNetwork>(*s, ran);
    CountingNetwork* net = owned.get();
    s->SetFactory(std::make_unique<test::HandOverFactory>(std::move(owned)));
    std::vector<std::unique_ptr<test::TClientContext>> clients;
    for (int i = 0; i < kThreads; ++i) clients.push_back(std::make_unique<test::TClientContext>(i + 1, net));
    s->Start();
    s->RequestServiceStart();
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) s->PostClientCommand(static_cast<C>(60), clients[size_t(t)].get());
        });
    for (std::thread& p : posters) p.join();
    EXPECT_TRUE(test::ServeUntil([&] { return ran == kThreads * kPerThread; }, std::chrono::milliseconds(10000)));
    s->StopAndWait();
    EXPECT_EQ(ran, kThreads * kPerThread);
}

}  // namespace
}  // namespace zel

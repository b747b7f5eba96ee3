#include "service/dmq_zel_svc_queue.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <memory>
#include <vector>

#include "service/dmq_zel_svc_server_id.hpp"
#include "tests/support/loopback.hpp"
#include "tests/support/service_fixture.hpp"

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
    s.PostClientHandshakeDone(&client);
    s.PostLoginRefused(&client, AnsiView("2014004\r\n<AL>BLOCK</AL>\r\n\0x", 29));
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
        {C::fsnq_LoginRefused, &client, nullptr, AnsiString("2014004\r\n<AL>BLOCK</AL>\r\n\0x", 29)},
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

}  // namespace
}  // namespace zel

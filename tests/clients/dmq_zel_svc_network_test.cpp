#include "clients/dmq_zel_svc_network.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "clients/dmq_zel_svc_context.hpp"
#include "clients/dmq_zel_svc_context_parrot.hpp"
#include "foundation/dmq_file_mover.hpp"
#include "foundation/dmq_hex.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_utils.hpp"
#include "service/dmq_zel_svc_admins_list.hpp"
#include "service/dmq_zel_svc_datafile.hpp"
#include "service/dmq_zel_svc_modes_list.hpp"
#include "service/dmq_zel_svc_muteblock_list.hpp"
#include "service/dmq_zel_svc_notices_list.hpp"
#include "service/dmq_zel_svc_reread.hpp"
#include "tests/support/client_packets.hpp"
#include "tests/support/client_service.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel::test {
namespace {

using DC = TZELSVCDisconnectCause;
using NS = TZELNetClientState;

// The fields of a connect line that make a member's list entry and sort key.
struct TLoginFields {
    std::string Call, Mail, Net;
    std::string Band = "PC Only", City = "Town", Country = "Land";
};

// A connect line of these fields, with extension flags when Cef is not 0 (and the UTF-8 part, of
// the same values, where they ask for UTF-8).
std::string LoginOf(const TLoginFields& F, int Cef = 0) {
    std::string l = "CT:<VX>2014004</VX><EA>" + F.Mail + "</EA><PW>pw</PW><ON>" + F.Call + "</ON><BC>" + F.Band +
                    "</BC><CT>" + F.City + "</CT><NN>" + F.Country + "</NN><NT>" + F.Net + "</NT>";
    if (Cef != 0) l += "<CEF>" + std::to_string(Cef) + "</CEF>";
    if (Cef & 8) {
        std::string u8(1, char('0' + int(ClientTypeFromBand(F.Band))));
        for (const auto& [k, v] : std::vector<std::pair<char, std::string>>{
                 {'0', F.Mail}, {'1', "pw"}, {'2', F.Call}, {'3', F.Band}, {'6', F.City}, {'5', F.Country}})
            u8 += k + EncodeTlvLength(static_cast<int32_t>(v.size())) + v;
        l += "<U8TF>" + u8 + "</U8TF>";
    }
    return l + "\r\n";
}

// A connect line with its own e-mail, callsign and network.
std::string Login(const std::string& Call, const std::string& Mail, const std::string& Net) {
    return LoginOf({Call, Mail, Net});
}

// The access level of a login answer, "" when none came.
std::string AccessLevel(const std::string& Received) {
    const size_t a = Received.find("<AL>");
    const size_t b = a == std::string::npos ? a : Received.find("</AL>", a);
    return b == std::string::npos ? std::string() : Received.substr(a + 4, b - a - 4);
}

// A file line of an administrator or a block of Mail in network Net.
std::string AdminLine(const std::string& Net, const std::string& Mail) {
    TZELServNetworkRec rec;
    rec.Name = DecodeUtf8U(Net);
    StandInFileNetwork owner(rec);
    TZELSVCAdmin a(owner);
    TZELSVCAdminData d;
    d.Id = CalcSourceId(Mail);
    d.Time = 1700000000;
    d.ON = "ADM";
    a.AssignData(d);
    return a.FileLine;
}
std::string BlockLine(const std::string& Net, const std::string& Mail) {
    TZELServNetworkRec rec;
    rec.Name = DecodeUtf8U(Net);
    StandInFileNetwork owner(rec);
    TZELSVCMuteBlock b(owner);
    TZELSVCMuteBlockData d;
    d.Id = CalcSourceId(Mail);
    d.Start = 1700000000;
    d.ON = "BLK";
    TStringBldA bld;
    b.AssignData(d, bld);
    return b.FileLine;
}

// Link Link reports up or down to the network, as the service hands it on (codes 45, 46).
void LinkState(TZELServNetwork* Net, int32_t Link, bool Up) {
    if (Up)
        Net->PostLinkUp(Link);
    else
        Net->PostLinkDown(Link);
    Net->ProcessQueue(false);
}

// The Parrot as far as a network sees it: a client without a socket that joins without a login.
class TParrotStandIn : public TZELSVCContext {
public:
    explicit TParrotStandIn(TZELService* S) : TZELSVCContext(S, -1, "", 0, 0) {
        Id = CalcSourceId("parrot@example.org");
        Callsign = "PARROT";
        CallsignKey = PadKey8A(Callsign);
        Country = "Land";
        ClientFlags.fetch_or(ZELClientParrot);
        BuildListEntries();
    }
    void vSend(AnsiView) override {}
    void vSendNoFlush(AnsiView) override {}
    void vSendLoginAnswer(AnsiView) override {}
    void vSendAndClose(AnsiView) override {}
    void vAttach(TZELSVCWaitRecord&) override {}
    TZELSVCWrkResult vHandleRead(TZELSVCWaitRecord&) override { return TZELSVCWrkResult::wkr_Keep; }
    TZELSVCWrkResult vPrepareWait(TZELSVCWaitRecord&) override { return TZELSVCWrkResult::wkr_Keep; }
    bool vCheckIdleTimeout(TZELSVCWaitRecord&) override { return false; }
};

// The real networks of a networks file, a service on a loopback port, and a clock the test moves.
class NetworkTest : public TempDirTest {
protected:
    // Lines of the networks file; Files: data files written before the start (name, content).
    void StartWith(const std::string& Networks,
                   const std::vector<std::pair<std::string, std::string>>& Files = {}) {
        Put(Path("networks.cfg"), Networks);
        for (auto& [name, text] : Files) Put(Path(name), text);
        TClientSettings set;
        set.RealNetworks = true;
        set.ActivityTimeout = 30;
        set.Setup = [this](TZELService& S) {
            S.SetDataDir(DecodeUtf8U(dir_));
            S.SetNetworksFileName(DecodeUtf8U(Path("networks.cfg")));
            S.SetAdminsFileName(u"admins.dat");
            S.SetMutesFileName(u"mutes.dat");
            S.SetBlocksFileName(u"blocks.dat");
            S.SetRightsFileName(u"rights.dat");
            S.SetModesFileName(u"modes.dat");
            S.SetNoticesFileName(u"notices.dat");
            S.SetOwnerFileName(u"owner.dat");
            S.TickClock = [this] { return GetTickMs() + Offset.load(); };
            if (!ServerOwnerMail.empty()) S.SetServerOwnerEMail(DecodeUtf8U(ServerOwnerMail));
            S.LogClientLevel = ServerLogLevel;
        };
        Svc = std::make_unique<TClientService>(set);
        ASSERT_TRUE(Svc->Start());
    }
    void TearDown() override {
        Stop();
        TempDirTest::TearDown();
    }
    // The service ends (every context freed) within the bound.
    bool Stop() {
        if (!Svc) return true;
        Svc->S->RequestStop(u"test");
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            if (Svc->S->Finished()) break;
            TThread::CheckSynchronize(20);
        }
        const bool ended = Svc->S->Finished();
        if (ended) Svc.reset();
        return ended;
    }

    // Connects, sends the line and waits for the login answer; the access level.
    std::string Join(TTestClient& C, const std::string& Line) {
        if (!C.Connect(Svc->Port) || !C.Send(Line)) return "no connection";
        C.WaitLoginAnswer();
        return AccessLevel(C.Received);
    }
    // Serves the log until Cond holds (timer-thread state read through OnTimer).
    bool Until(const std::function<bool()>& Cond, int Ms = 8000) {
        return ServeUntil(Cond, std::chrono::milliseconds(Ms));
    }
    // On the timer thread: the groups of every network are sound; "" when so.
    std::string Groups() {
        std::string fault;
        Svc->OnTimer([&] {
            for (int32_t i = 0; i < Svc->S->Networks().Count(); ++i) {
                auto* n = dynamic_cast<TZELServNetwork*>(Svc->S->Networks().Networks(i));
                const std::string f = n->CheckGroups();
                if (!f.empty()) fault = f;
            }
        });
        return fault;
    }
    int32_t Members(UnicodeView Net) {
        int32_t n = -1;
        Svc->OnTimer([&] { n = Svc->RealNet(Net)->MemberCount(); });
        return n;
    }
    int32_t Held(UnicodeView Net) {
        int32_t n = -1;
        Svc->OnTimer([&] { n = Svc->RealNet(Net)->HeldCount(); });
        return n;
    }
    DC CauseOf(const TTestClient& C) {
        TFreedContext f{};
        Until([&] { return Svc->Probe.Find(C.LocalPort, f); });
        return f.Cause;
    }

    // Whether the log holds a line of the client on Port with Text in it. A mark logged on the
    // timer thread and awaited first makes sure every line of what ran before it has arrived.
    bool ClientLogged(uint16_t Port, const std::string& Text) {
        const std::string head = "Client: 127.0.0.1 " + std::to_string(Port) + " ";
        for (const UnicodeString& l : Svc->Log.Lines) {
            const std::string line = Narrow(l);
            if (line.rfind(head, 0) == 0 && line.find(Text) != std::string::npos) return true;
        }
        return false;
    }
    bool LogMark() {
        const UnicodeString mark = u"mark " + WidenStrU(std::to_string(++marks_));
        Svc->OnTimer([&] { Svc->S->AddLogLine(mark); });
        return Until([&] { return Svc->Log.Has(mark); });
    }

    std::unique_ptr<TClientService> Svc;
    std::atomic<uint32_t> Offset{0};
    std::string ServerOwnerMail;
    int32_t ServerLogLevel = 6;

private:
    int marks_ = 0;
};

TEST_F(NetworkTest, QuitAndReconnectFreesEveryClientOnce) {
    StartWith("Test\n");
    for (int round = 0; round < 3; ++round) {
        TTestClient c;
        ASSERT_EQ(Join(c, Login("N0CALL", "same@example.org", "Test")), "OK") << round;
        ASSERT_TRUE(Until([&] { return Members(u"Test") == 1; }));
        EXPECT_EQ(Groups(), "");
        c.Close();
        ASSERT_TRUE(Until([&] { return Svc->Probe.FreedTotal() == round + 1; }));
        EXPECT_EQ(CauseOf(c), DC::fsdc_GracefullDisconnect);
    }
    EXPECT_EQ(Held(u"Test"), 0);
    EXPECT_EQ(Groups(), "");
    EXPECT_TRUE(Until([&] { return Svc->S->ConnectionCount() == 0; }));
    EXPECT_TRUE(Svc->Probe.FreedOnce());
    EXPECT_TRUE(Stop());
}

TEST_F(NetworkTest, JoinChecksRefuseWithTheirCause) {
    StartWith(
        "Test\n"
        "Two|MaxClients=2\n"
        "Uniq|UniqCallsign=yes\n"
        "Owned|OwnerEMail=boss@example.org\n");
    // Three joins within one housekeeping window: the third finds the network full.
    {
        TTestClient a, b, c;
        ASSERT_TRUE(a.Connect(Svc->Port) && b.Connect(Svc->Port) && c.Connect(Svc->Port));
        a.Send(Login("A1", "a1@example.org", "Two"));
        b.Send(Login("A2", "a2@example.org", "Two"));
        c.Send(Login("A3", "a3@example.org", "Two"));
        int ok = 0;
        TTestClient* refused = nullptr;
        for (TTestClient* t : {&a, &b, &c}) {
            t->WaitLoginAnswer();
            const std::string al = AccessLevel(t->Received);
            if (al == "OK") ++ok;
            if (al == "ERROR") refused = t;
        }
        EXPECT_EQ(ok, 2);
        ASSERT_NE(refused, nullptr);
        EXPECT_TRUE(refused->WaitClosed(3000));
        EXPECT_EQ(CauseOf(*refused), DC::fsdc_NetMaxClients);
    }
    // A second login of one e-mail is refused; the first member stays.
    TTestClient first, second;
    ASSERT_EQ(Join(first, Login("D1", "dup@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Test") >= 1; }));
    EXPECT_EQ(Join(second, Login("D2", "dup@example.org", "Test")), "DUPL");
    EXPECT_EQ(CauseOf(second), DC::fsdc_ServerDuplicate);
    bool stillThere = false;
    Svc->OnTimer([&] { stillThere = Svc->RealNet(u"Test")->MemberById(CalcSourceId("dup@example.org")) != nullptr; });
    EXPECT_TRUE(stillThere);
    EXPECT_FALSE(first.ReadFor(300) == false);
    // One callsign twice: refused only where UniqCallsign is on.
    TTestClient u1, u2, t1, t2;
    EXPECT_EQ(Join(u1, Login("SAME", "u1@example.org", "Uniq")), "OK");
    EXPECT_EQ(Join(u2, Login("SAME", "u2@example.org", "Uniq")), "DUPL");
    EXPECT_EQ(CauseOf(u2), DC::fsdc_ServerDuplicate);
    EXPECT_EQ(Join(t1, Login("SAME", "t1@example.org", "Test")), "OK");
    EXPECT_EQ(Join(t2, Login("SAME", "t2@example.org", "Test")), "OK");
    // An owner by OwnerEMail.
    TTestClient boss;
    EXPECT_EQ(Join(boss, Login("BOSS", "boss@example.org", "Owned")), "NETOWNER");
    EXPECT_EQ(Groups(), "");
    EXPECT_TRUE(Stop());
    EXPECT_TRUE(Svc == nullptr);
}

// Every drop path ends the same way: the client leaves Members at once, and it is freed once,
// after its disconnect, in no group or index; the service then still ends.
TEST_F(NetworkTest, DroppedClientsAreFreedOnceAfterTheirDisconnect) {
    StartWith("Test\nTimed|ClientSessionMaxTime=2\n");
    TTestClient timed;
    ASSERT_EQ(Join(timed, Login("T1", "t1@example.org", "Timed")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Timed") == 1; }));
    // The session limit: the clock jumps past it.
    Offset += 5000;
    EXPECT_TRUE(timed.WaitClosed(5000));
    EXPECT_EQ(CauseOf(timed), DC::fsdc_SessionTimeLimit);
    EXPECT_TRUE(Until([&] { return Held(u"Timed") == 0; }));

    // ConnectionMode on: a member without a rights entry is dropped at once.
    TTestClient open;
    ASSERT_EQ(Join(open, Login("O1", "o1@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Test") == 1; }));
    Svc->OnTimer([&] {
        auto r = std::make_unique<TZELSVCNetQueueRecord>();
        r->Command = TZELSVCNetQueueCommand::fsnq_InstallModes;
        auto p = std::make_unique<TZELSVCModesPayload>();
        p->Modes = 256;
        r->Payload = std::move(p);
        Svc->RealNet(u"Test")->AddPending(std::move(r));
    });
    EXPECT_TRUE(open.WaitClosed(5000));
    EXPECT_EQ(CauseOf(open), DC::fsdc_ServerAccessDenied);
    EXPECT_TRUE(Until([&] { return Held(u"Test") == 0; }));
    EXPECT_EQ(Groups(), "");
    Svc->OnTimer([&] {
        auto r = std::make_unique<TZELSVCNetQueueRecord>();
        r->Command = TZELSVCNetQueueCommand::fsnq_InstallModes;
        Svc->RealNet(u"Test")->AddPending(std::move(r));
    });

    // Service stop kicks every client (members and those still joining) and the service ends.
    TTestClient m1, m2;
    ASSERT_EQ(Join(m1, Login("M1", "m1@example.org", "Test")), "OK");
    ASSERT_EQ(Join(m2, Login("M2", "m2@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Test") == 2; }));
    ASSERT_EQ(Groups(), "");
    Svc->S->RequestStop(u"test");
    for (TTestClient* c : {&m1, &m2}) {
        EXPECT_TRUE(c->WaitClosed(3000));
        EXPECT_EQ(CauseOf(*c), DC::fsdc_ServerStopped);
    }
    EXPECT_TRUE(Svc->Probe.FreedOnce());
    EXPECT_TRUE(Stop());
}

TEST_F(NetworkTest, KickAllByOwnerFreesAndResumes) {
    StartWith("Test\n");
    TTestClient a, b;
    ASSERT_EQ(Join(a, Login("K1", "k1@example.org", "Test")), "OK");
    ASSERT_EQ(Join(b, Login("K2", "k2@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Test") == 2; }));
    Svc->OnTimer([&] { Svc->RealNet(u"Test")->PostKickAllByOwner(); });
    EXPECT_TRUE(a.WaitClosed(3000));
    EXPECT_TRUE(b.WaitClosed(3000));
    EXPECT_EQ(CauseOf(a), DC::fsdc_ByOwner);
    EXPECT_EQ(CauseOf(b), DC::fsdc_ByOwner);
    EXPECT_TRUE(Until([&] { return Held(u"Test") == 0 && Svc->S->ConnectionCount() == 0; }));
    bool stopped = true;
    EXPECT_TRUE(Until([&] {
        Svc->OnTimer([&] { stopped = Svc->RealNet(u"Test")->Stopped(); });
        return !stopped;
    }));
    // The network takes clients again.
    TTestClient c;
    EXPECT_EQ(Join(c, Login("K1", "k1@example.org", "Test")), "OK");
    EXPECT_EQ(Groups(), "");
    EXPECT_TRUE(Svc->Probe.FreedOnce());
}

// Many pending records, every one of them failing, ahead of a disconnect: each failure is logged
// on its own and the disconnect still frees its client.
TEST_F(NetworkTest, FailingRecordsCostOnlyThemselves) {
    StartWith("Test\n");
    TTestClient a;
    ASSERT_EQ(Join(a, Login("F1", "f1@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Test") == 1; }));
    Svc->SetEveryTick([&] {
        TZELSVCNetworkBase* n = Svc->S->Networks().Find(u"Test");
        for (int i = 0; i < 40; ++i) {
            auto r = std::make_unique<TZELSVCNetQueueRecord>();
            r->Command = static_cast<TZELSVCNetQueueCommand>(6);
            n->AddPending(std::move(r));
        }
    });
    a.Close();
    EXPECT_TRUE(Until([&] { return Svc->Probe.FreedTotal() == 1; }));
    Svc->SetEveryTick({});
    EXPECT_TRUE(Until([&] { return Svc->S->ConnectionCount() == 0; }));
    EXPECT_EQ(Held(u"Test"), 0);
    EXPECT_TRUE(Svc->Log.HasPrefix(u"ERROR: Network \"Test\": Unknown network command: 6") ||
                Svc->Log.HasPrefix(u"ERROR: Network \"Test\": Exception: Unknown network command: 6"));
}

TEST_F(NetworkTest, QuarantineEndsAtTheFirstHousekeepingAfterItsTime) {
    StartWith("Test|QuarantineTime=3000\n");
    TTestClient a;
    ASSERT_EQ(Join(a, Login("Q1", "q1@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] {
        int32_t q = 0;
        Svc->OnTimer([&] { q = Svc->RealNet(u"Test")->GroupCount(NS::ncs_Quarantine); });
        return q == 1;
    }));
    ServeUntil([] { return false; }, std::chrono::milliseconds(600));
    EXPECT_EQ(Members(u"Test"), 0);
    Offset += 3000;
    EXPECT_TRUE(Until([&] { return Members(u"Test") == 1; }, 3000));
    EXPECT_EQ(Groups(), "");
}

// The join's list checks: a blocked user is refused (the block's own cause kept), a blocked
// administrator comes in, ConnectionMode keeps out whoever has no rights entry but an owner.
TEST_F(NetworkTest, ListsDecideTheJoin) {
    ServerOwnerMail = "srv@example.org";
    StartWith("Test\nClosed|OwnerEMail=boss@example.org\n",
              {{"admins.dat", AdminLine("Test", "ba@example.org")},
               {"blocks.dat", BlockLine("Test", "bu@example.org") + BlockLine("Test", "ba@example.org")},
               {"modes.dat", BuildModesLine("Closed", true, false)},
               {"notices.dat", BuildNoticeLine("Closed", {"Members only", "Members only"}) +
                                   BuildNoticeLine("Test", {"Not shown", "Not shown"})}});
    TTestClient user, admin, closed, boss;
    EXPECT_EQ(Join(user, Login("BU", "bu@example.org", "Test")), "BLOCK");
    EXPECT_EQ(CauseOf(user), DC::fsdc_ServerAdminBlock);
    EXPECT_EQ(Join(admin, Login("BA", "ba@example.org", "Test")), "ADMIN");
    EXPECT_EQ(Join(closed, Login("CU", "cu@example.org", "Closed")), "BLOCK");
    EXPECT_EQ(CauseOf(closed), DC::fsdc_ServerAccessDenied);
    EXPECT_EQ(Join(boss, Login("BOSS", "boss@example.org", "Closed")), "NETOWNER");
    // The server owner comes in as the owner and is stored in the owner file.
    TTestClient srv;
    EXPECT_EQ(Join(srv, Login("SRV", "srv@example.org", "Closed")), "OWNER");
    EXPECT_TRUE(Until([&] { return Get(Path("owner.dat")).find(StrToHexA("SRV")) != std::string::npos; }));
    // The notice text is the login answer's message only while a mode switch is on.
    EXPECT_NE(boss.Received.find("<MT>Members only</MT>"), std::string::npos);
    EXPECT_NE(admin.Received.find("<MT></MT>"), std::string::npos);
    EXPECT_EQ(Groups(), "");
}

// Entries of networks the networks file does not define are dropped with one warning; the file
// is rewritten at start only when every networks line loaded.
TEST_F(NetworkTest, UnknownNetworksCostNoFileWhileTheNetworksFileIsFaulty) {
    const std::string admins = AdminLine("Test", "ba@example.org") + AdminLine("Gone", "g1@example.org") +
                               AdminLine("Gone", "g2@example.org");
    StartWith("Test\nBroken|CharsetName=NO-SUCH-CHARSET\n", {{"admins.dat", admins}});
    int warnings = 0;
    for (const UnicodeString& l : Svc->Log.Lines)
        if (Narrow(l).find("\"Gone\"") != std::string::npos) ++warnings;
    EXPECT_EQ(warnings, 1);
    ServeUntil([] { return false; }, std::chrono::milliseconds(800));
    EXPECT_EQ(Get(Path("admins.dat")), admins);
    // The known network's entries are in place (its administrator's login is a real change).
    TTestClient admin;
    EXPECT_EQ(Join(admin, Login("BA", "ba@example.org", "Test")), "ADMIN");
    admin.Close();
    ASSERT_TRUE(Stop());

    // Mended: the file loses the unknown network's entries at once.
    StartWith("Test\n", {{"admins.dat", admins}});
    EXPECT_TRUE(Until([&] { return Get(Path("admins.dat")).find(AdminLine("Test", "ba@example.org")) != std::string::npos &&
                                   Get(Path("admins.dat")) != admins; }));
    EXPECT_EQ(Get(Path("admins.dat")).find(AdminLine("Gone", "g1@example.org")), std::string::npos);
}

// A list file that exists but cannot be read starts empty and is never saved over.
TEST_F(NetworkTest, UnreadableListFileBlocksItsSaves) {
    ASSERT_EQ(::mkdir(Path("blocks.dat").c_str(), 0700), 0);
    StartWith("Test\n");
    EXPECT_EQ(Svc->S->ListLoad(TZELSVCMainQueueCommand::fsmq_SaveBlocks).State, TZELListLoadState::lls_Failed);
    EXPECT_EQ(Svc->S->ListLoad(TZELSVCMainQueueCommand::fsmq_SaveMutes).State, TZELListLoadState::lls_Missing);
    EXPECT_TRUE(Svc->Log.HasPrefix(u"ERROR: Read blocks: "));
    EXPECT_FALSE(Svc->Log.HasPrefix(u"ERROR: Read mutes: "));
}

// A timed move keeps the home network and comes back to it; the origin lets go of the client at
// once, so it can be moved there again.
TEST_F(NetworkTest, TimedMoveReturnsHome) {
    StartWith("Test\nAway\n");
    TTestClient a;
    ASSERT_EQ(Join(a, Login("MV", "mv@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Test") == 1; }));
    TAnswerContext req(4242);
    Svc->OnTimer([&] { Svc->S->CommandContexts().Add(&req); });
    TZELSVCNetworkBase* home = Svc->S->Networks().Find(u"Test");
    TZELSVCNetworkBase* away = Svc->S->Networks().Find(u"Away");
    const AnsiString id = CalcSourceId("mv@example.org");
    const AnsiString ok(ChannelCommandAnswerInfo(TZELChannelCommandAnswer::fsca_OK).Wire);
    const AnsiString denied(ChannelCommandAnswerInfo(TZELChannelCommandAnswer::fsca_Denied).Wire);

    Svc->S->PostCommandMoveClient(&req, home, away, id, 2);
    ASSERT_TRUE(Until([&] { return req.Texts().size() == 1; }));
    EXPECT_EQ(req.Texts()[0], ok);
    EXPECT_TRUE(Until([&] { return Members(u"Away") == 1 && Held(u"Test") == 0; }));
    // On a timed move already: a second timed move is refused.
    Svc->S->PostCommandMoveClient(&req, away, home, id, 5);
    ASSERT_TRUE(Until([&] { return req.Texts().size() == 2; }));
    EXPECT_EQ(req.Texts()[1], denied);
    // The countdown brings it home; the network it visited keeps nothing of it.
    EXPECT_TRUE(Until([&] { return Members(u"Test") == 1 && Held(u"Away") == 0; }, 6000));
    EXPECT_EQ(Groups(), "");
    // And it can go there again (permanently).
    Svc->S->PostCommandMoveClient(&req, home, away, id, 0);
    ASSERT_TRUE(Until([&] { return req.Texts().size() == 3; }));
    EXPECT_EQ(req.Texts()[2], ok);
    EXPECT_TRUE(Until([&] { return Members(u"Away") == 1; }));
    EXPECT_FALSE(a.Closed);
    EXPECT_TRUE(a.ReadFor(100));
    Svc->OnTimer([&] { Svc->S->CommandContexts().Remove(&req); });
    a.Close();
    EXPECT_TRUE(Until([&] { return Svc->S->ConnectionCount() == 0; }));
    EXPECT_EQ(Groups(), "");
}

// Outside STANDALONE a client waits for the managers' verdicts; a refusing verdict refuses it,
// and a network left without a manager admits those still waiting.
TEST_F(NetworkTest, ManagerVerdictsAndTheFallBackToStandalone) {
    StartWith("Test\nMgr|ManagerMode=ZEL;ManagersMask=1\n");
    TZELServNetwork* mgr = Svc->RealNet(u"Mgr");
    // No manager section is enabled: the network runs as STANDALONE; link 0 comes up.
    Svc->OnTimer([&] { LinkState(mgr, 0, true); });
    TTestClient wrong, waiting;
    ASSERT_TRUE(wrong.Connect(Svc->Port) && wrong.Send(Login("W1", "w1@example.org", "Mgr")));
    ASSERT_TRUE(waiting.Connect(Svc->Port) && waiting.Send(Login("W2", "w2@example.org", "Mgr")));
    ASSERT_TRUE(Until([&] {
        int32_t n = 0;
        Svc->OnTimer([&] { n = mgr->GroupCount(NS::ncs_AwaitingAuth); });
        return n == 2;
    }));
    EXPECT_FALSE(waiting.WaitLoginAnswer(300));
    const AnsiString id = CalcSourceId("w1@example.org");
    Svc->OnTimer([&] {
        TZELSVCContext* c = mgr->ClientById(id);
        ASSERT_NE(c, nullptr);
        Svc->S->PostManagerAnswer(c, c->Number(), mgr, 3, 0, 0, "", id);
    });
    wrong.WaitLoginAnswer();
    EXPECT_EQ(AccessLevel(wrong.Received), "WRONG");
    EXPECT_EQ(CauseOf(wrong), DC::fsdc_ManagerWrongPassword);
    // The link is gone: the waiting client goes on as in STANDALONE.
    Svc->OnTimer([&] { LinkState(mgr, 0, false); });
    EXPECT_TRUE(waiting.WaitLoginAnswer());
    EXPECT_EQ(AccessLevel(waiting.Received), "OK");
    EXPECT_TRUE(Until([&] { return Members(u"Mgr") == 1; }));
    // Once at the start (no link up yet) and once for the drop, with the rise between them.
    const auto count = [&](const std::string& Text) {
        int n = 0;
        for (const UnicodeString& l : Svc->Log.Lines) n += Narrow(l).find(Text) != std::string::npos;
        return n;
    };
    EXPECT_TRUE(Until([&] { return count("\"Mgr\": WARNING: no active managers for the net(room)") == 2; }));
    EXPECT_EQ(count("\"Mgr\": managers active for the net(room) again; net(room) manager mode back to ZEL"), 1);
    EXPECT_EQ(count("\"Test\": "), 0);
    EXPECT_EQ(Groups(), "");
}

// The Parrot joins without a login, is found as the Parrot, is never dropped for its session
// time nor by a kick all, and keeps its id from a client's login.
TEST_F(NetworkTest, ParrotJoinsWithoutALoginAndStays) {
    StartWith("Test|ClientSessionMaxTime=1;UniqCallsign=yes\n");
    auto parrot = CreateWrkCtx<TParrotStandIn>(Svc->S.get());
    TZELServNetwork* net = Svc->RealNet(u"Test");
    uint8_t found = 0;
    Svc->OnTimer([&] {
        net->ParrotJoin(parrot.get());
        TZELSVCWrkCtxBase* c = nullptr;
        found = net->FindActiveClient(parrot->Id, c);
    });
    EXPECT_EQ(found, ZELFindParrot);
    EXPECT_EQ(Members(u"Test"), 1);
    TTestClient same;
    EXPECT_EQ(Join(same, Login("PARROT", "other@example.org", "Test")), "DUPL");
    Offset += 5000;
    Svc->OnTimer([&] { net->PostKickAllByOwner(); });
    ServeUntil([] { return false; }, std::chrono::milliseconds(700));
    EXPECT_EQ(Members(u"Test"), 1);
    EXPECT_EQ(Groups(), "");
    ASSERT_TRUE(Stop());
}

// A network's own LogClientLevel decides its client lines (logins and disconnects): 0 under a
// server at 2 (and later 6) logs none, 6 under a server at 2 logs them. A network without one
// follows the server's level, also when the command port changes it.
TEST_F(NetworkTest, NetworkLogLevelDecidesItsClientLines) {
    ServerLogLevel = 2;
    // Same gives the server's level of now as its own: it keeps it when the server's changes.
    StartWith("Quiet|LogClientLevel=0\nLoud|LogClientLevel=6\nPlain\nSame|LogClientLevel=2\n");
    TTestClient q, l, p;
    ASSERT_EQ(Join(q, Login("QQ", "q@example.org", "Quiet")), "OK");
    ASSERT_EQ(Join(l, Login("LL", "l@example.org", "Loud")), "OK");
    ASSERT_EQ(Join(p, Login("PP", "p@example.org", "Plain")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Quiet") == 1 && Members(u"Loud") == 1 && Members(u"Plain") == 1; }));
    ASSERT_TRUE(LogMark());
    EXPECT_FALSE(ClientLogged(q.LocalPort, " LOGIN"));
    EXPECT_TRUE(ClientLogged(l.LocalPort, " LOGIN"));
    EXPECT_FALSE(ClientLogged(p.LocalPort, " LOGIN"));
    for (TTestClient* c : {&q, &l, &p}) c->Close();
    ASSERT_TRUE(Until([&] { return Svc->Probe.FreedTotal() == 3; }));
    ASSERT_TRUE(LogMark());
    EXPECT_FALSE(ClientLogged(q.LocalPort, "DISCONNECT_BY_CLIENT"));
    EXPECT_TRUE(ClientLogged(l.LocalPort, "DISCONNECT_BY_CLIENT"));
    EXPECT_FALSE(ClientLogged(p.LocalPort, "DISCONNECT_BY_CLIENT"));

    // The operator raises the server's level (as "00b:" does).
    Svc->S->LogClientLevel = 6;
    TTestClient q2, p2, s2;
    ASSERT_EQ(Join(q2, Login("QQ", "q@example.org", "Quiet")), "OK");
    ASSERT_EQ(Join(p2, Login("PP", "p@example.org", "Plain")), "OK");
    ASSERT_EQ(Join(s2, Login("SS", "s@example.org", "Same")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Quiet") == 1 && Members(u"Plain") == 1 && Members(u"Same") == 1; }));
    ASSERT_TRUE(LogMark());
    EXPECT_FALSE(ClientLogged(q2.LocalPort, " LOGIN"));
    EXPECT_TRUE(ClientLogged(p2.LocalPort, " LOGIN"));
    EXPECT_FALSE(ClientLogged(s2.LocalPort, " LOGIN"));
    EXPECT_EQ(Groups(), "");
}

// ---------------------------------------------------------------------------------------------
// Floor, relay and member lists.

// A member's view: the lines of a full list or the entries a difference client keeps.
struct TListView {
    std::vector<std::string> Ids;
    std::vector<int> Status;
};

std::string Between(const std::string& S, const std::string& A, const std::string& B) {
    const size_t a = S.find(A);
    if (a == std::string::npos) return "";
    const size_t b = S.find(B, a + A.size());
    return b == std::string::npos ? "" : S.substr(a + A.size(), b - a - A.size());
}

// The items of a compact entry line (hex head, TLV items, CRLF): the id (item 8) and the status.
void CompactItems(const std::string& E, std::string& Id, int& Status) {
    Status = std::stoi(E.substr(0, 2), nullptr, 16) & 3;
    size_t p = 2;
    while (p + 3 <= E.size() && E[p] != '\r') {
        const char tag = E[p];
        size_t len = std::stoul(E.substr(p + 1, 2), nullptr, 16);
        size_t hl = 3;
        if (len >= 0x80) {
            const size_t n = len & 0x7F;
            len = std::stoul(E.substr(p + 3, 2 * n), nullptr, 16);
            hl += 2 * n;
        }
        if (tag == '8') Id = E.substr(p + hl, len);
        p += hl + len;
    }
}

TListView FullView(const TPkt& P) {
    TListView v;
    size_t at = P.Bytes.find("\r\n", 3) + 2;
    while (at < P.Bytes.size()) {
        const size_t e = P.Bytes.find("\r\n", at) + 2;
        const std::string line = P.Bytes.substr(at, e - at);
        v.Ids.push_back(Between(line, "<ID>", "</ID>"));
        v.Status.push_back((Between(line, "<S>", "</S>")[0] - '0') % 5);
        at = e;
    }
    return v;
}

// Applies a difference packet, line after line, as a client does.
void ApplyDiff(const TPkt& P, TListView& V) {
    size_t at = 11;
    while (at < P.Bytes.size()) {
        const size_t e = P.Bytes.find("\r\n", at) + 2;
        const std::string line = P.Bytes.substr(at, e - at);
        at = e;
        const size_t pos = std::stoul(line.substr(0, 4), nullptr, 16);
        const char op = line[4];
        const std::string rest = line.substr(5);
        ASSERT_LE(pos, V.Ids.size()) << line;
        if (op == '-') {
            const size_t n = std::stoul(rest);
            ASSERT_LE(pos + n, V.Ids.size());
            V.Ids.erase(V.Ids.begin() + long(pos), V.Ids.begin() + long(pos + n));
            V.Status.erase(V.Status.begin() + long(pos), V.Status.begin() + long(pos + n));
        } else if (op == '+' || op == '=') {
            std::string id;
            int st = 0;
            CompactItems(rest, id, st);
            if (op == '+') {
                V.Ids.insert(V.Ids.begin() + long(pos), id);
                V.Status.insert(V.Status.begin() + long(pos), st);
            } else {
                ASSERT_LT(pos, V.Ids.size());
                V.Ids[pos] = id;
                V.Status[pos] = st;
            }
        } else if (op == '*') {
            ASSERT_LT(pos, V.Ids.size());
            V.Status[pos] = std::stoi(rest.substr(0, 2), nullptr, 16) & 3;
        } else {
            ADD_FAILURE() << "bad difference line " << line;
        }
    }
}

// A connect line with extension flags (and the UTF-8 part where they ask for UTF-8).
std::string LoginExt(const std::string& Call, const std::string& Mail, const std::string& Net, int Cef) {
    return LoginOf({Call, Mail, Net}, Cef);
}

// The members a difference client keeps: its first list (the full one in UTF-8 form) with every
// difference after it applied; Started is false when no full list came.
TListView DiffView(const TMember& M, bool& Started) {
    TListView v;
    Started = false;
    for (const TPkt& p : M.P) {
        if (p.Type == 131) {
            v = TListView{};
            size_t at = p.Bytes.find("\r\n", 3) + 2;
            while (at < p.Bytes.size()) {
                const size_t e = p.Bytes.find("\r\n", at) + 2;
                std::string id;
                int st = 0;
                CompactItems(p.Bytes.substr(at, e - at), id, st);
                v.Ids.push_back(id);
                v.Status.push_back(st);
                at = e;
            }
            Started = true;
        } else if (p.Type == 132 && Started) {
            ApplyDiff(p, v);
        }
    }
    return v;
}

// The last full list (8-bit form) a member got.
TListView LastFullView(const TMember& M) {
    TListView v;
    for (const TPkt& p : M.P)
        if (p.Type == 3) v = FullView(p);
    return v;
}

constexpr int kCefCount = 2, kCefDiff = 11, kCefShort = 16, kCefCacheCount = 0x80A;

class FloorTest : public NetworkTest {
protected:
    // Joins M with Line and starts its packet stream after the login answer.
    void JoinMember(TMember& M, const std::string& Line, const std::string& Mail) {
        M.Mail = Mail;
        ASSERT_NE(Join(M.C, Line), "");
        const size_t a = M.C.Received.find("\r\n");
        M.Parsed = M.C.Received.find("\r\n", a + 2) + 2;
    }
    TZELServNetwork* Net() { return Svc->RealNet(u"Test"); }
    // On the timer thread: the member's published index.
    uint16_t IndexOf(const std::string& Mail) {
        uint16_t i = 0;
        Svc->OnTimer([&] {
            if (TZELSVCContext* c = Net()->MemberById(CalcSourceId(Mail))) i = c->ListIndex;
        });
        return i;
    }
    TZELSVCContext* Talker() {
        TZELSVCContext* t = nullptr;
        Svc->OnTimer([&] { t = Net()->Talker(); });
        return t;
    }
    static std::string Block(char Fill, size_t N = 325) { return std::string(N, Fill); }
};

TEST_F(FloorTest, GrantRelayReleasePauseAndLimits) {
    StartWith("Test|SpeechPause=2000;SpeechLimit=yes;MaxSpeechTime=60\n");
    TMember a, b, c;  // full list, count, difference
    JoinMember(a, Login("AAA", "a@example.org", "Test"), "a@example.org");
    JoinMember(b, LoginExt("BBB", "b@example.org", "Test", kCefCount), "b@example.org");
    JoinMember(c, LoginExt("CCC", "c@example.org", "Test", kCefDiff), "c@example.org");
    // Each gets its list in its own form, three members at last.
    ASSERT_GE(a.WaitFor([](const TPkt& p) { return p.Type == 3 && FullView(p).Ids.size() == 3; }), 0);
    ASSERT_GE(b.WaitFor([](const TPkt& p) { return p.Type == 130 && p.Bytes == "\x82" "3\r\n"; }), 0);
    ASSERT_GE(c.WaitFor([](const TPkt& p) { return p.Type == 131; }), 0);
    const int full = a.WaitFor([](const TPkt& p) { return p.Type == 3 && FullView(p).Ids.size() == 3; });
    const TListView view = FullView(a.P[size_t(full)]);
    // Until the first list the limit is OutputBufferLimit; then the full list's length x 3 plus
    // 1700 x the activity time-out in seconds.
    int32_t limit = 0;
    Svc->OnTimer([&] { limit = Net()->OutputLimit(); });
    EXPECT_EQ(limit, int32_t(a.P[size_t(full)].Bytes.size()) * 3 + 1700 * 30);
    const uint16_t ia = IndexOf("a@example.org");
    ASSERT_GE(ia, 1);
    EXPECT_EQ(view.Ids[ia - 1u], CalcSourceId("a@example.org"));

    // The grant carries the talker's index; its voice reaches the others byte-exact, not itself.
    size_t na = a.P.size(), nb = b.P.size(), nc = c.P.size();
    ASSERT_TRUE(a.C.Send("TX0\r\n"));
    const int g = a.WaitFor([](const TPkt& p) { return p.Type == 1; }, na);
    ASSERT_GE(g, 0);
    EXPECT_EQ(a.P[size_t(g)].Index(), ia);
    ASSERT_TRUE(a.C.Send("TX1\r\n" + Block('v')));
    std::string expect = std::string(1, '\x02') + char(ia >> 8) + char(ia & 0xFF) + Block('v');
    for (TMember* m : {&b, &c})
        EXPECT_GE(m->WaitFor([&](const TPkt& p) { return p.Bytes == expect; }, m == &b ? nb : nc), 0);
    // A request while A talks is refused without an answer.
    nb = b.P.size();
    ASSERT_TRUE(b.C.Send("TX0\r\n"));
    b.Pump(400);
    EXPECT_FALSE(b.Has([](const TPkt& p) { return p.Type == 1; }, nb));
    a.Pump(50);
    EXPECT_FALSE(a.Has([&](const TPkt& p) { return p.Bytes == expect; }, na));

    // RX0: the packet 0 to everybody, the former talker included; the pause refuses at once.
    na = a.P.size(), nb = b.P.size(), nc = c.P.size();
    ASSERT_TRUE(a.C.Send("RX0\r\n"));
    for (TMember* m : {&a, &b, &c})
        EXPECT_GE(m->WaitFor([](const TPkt& p) { return p.Type == 0; }, m == &a ? na : m == &b ? nb : nc), 0);
    EXPECT_TRUE(Until([&] { return Talker() == nullptr; }));
    nb = b.P.size();
    ASSERT_TRUE(b.C.Send("TX0\r\n"));
    b.Pump(300);
    EXPECT_FALSE(b.Has([](const TPkt& p) { return p.Type == 1; }, nb));
    // After the pause the next request succeeds.
    Offset += 2000;
    b.Pump(600);
    ASSERT_TRUE(b.C.Send("TX0\r\n"));
    EXPECT_GE(b.WaitFor([](const TPkt& p) { return p.Type == 1; }, nb), 0);

    // The speech limit: past MaxSpeechTime the floor goes and the block is not relayed. The talker
    // speaks within the activity time-out all along, so only the limit ends its turn, and it stays.
    ASSERT_TRUE(b.C.Send("TX1\r\n" + Block('1')));
    ASSERT_GE(a.WaitFor([](const TPkt& p) { return p.Type == 2 && p.Bytes[3] == '1'; }), 0);
    for (const char f : {'3', '4'}) {
        Offset += 25000;
        na = a.P.size();
        ASSERT_TRUE(b.C.Send("TX1\r\n" + Block(f)));
        ASSERT_GE(a.WaitFor([f](const TPkt& p) { return p.Type == 2 && p.Bytes[3] == f; }, na), 0);
    }
    na = a.P.size();
    Offset += 11000;
    ASSERT_TRUE(b.C.Send("TX1\r\n" + Block('2')));
    EXPECT_GE(a.WaitFor([](const TPkt& p) { return p.Type == 0; }, na), 0);
    a.Pump(300);
    EXPECT_FALSE(a.Has([](const TPkt& p) { return p.Type == 2 && p.Bytes[3] == '2'; }, na));
    EXPECT_TRUE(Until([&] { return Talker() == nullptr; }));
    EXPECT_FALSE(b.C.WaitClosed(300));

    // A talker silent beyond the activity time-out plus 2 s is dropped; the floor is free again.
    Offset += 2000;
    nc = c.P.size();
    ASSERT_TRUE(c.C.Send("TX0\r\n"));
    ASSERT_GE(c.WaitFor([](const TPkt& p) { return p.Type == 1; }, nc), 0);
    na = a.P.size();
    Offset += 30000 + 2001;
    EXPECT_TRUE(c.C.WaitClosed(5000));
    EXPECT_EQ(CauseOf(c.C), DC::fsdc_TxTempViolation);
    EXPECT_GE(a.WaitFor([](const TPkt& p) { return p.Type == 0; }, na), 0);
    Offset += 2000;
    a.Pump(600);
    na = a.P.size();
    ASSERT_TRUE(a.C.Send("TX0\r\n"));
    EXPECT_GE(a.WaitFor([](const TPkt& p) { return p.Type == 1; }, na), 0);
    EXPECT_EQ(Groups(), "");
}

// Wherever the tick stands at the start (low, just below 2^31, in its upper half, about to wrap),
// the networks' housekeeping runs: clients become members once their quarantine is over, a timed
// mute ends, and the speech limit frees the floor, across 2^31 and the wrap too.
TEST_F(FloorTest, HousekeepingRunsWhereverTheTickStarts) {
    const uint32_t starts[] = {1000u, 0x80000000u - 20000u, 0xA0000000u, 0u - 20000u};
    const AnsiString muted = CalcSourceId("b@example.org");
    for (const uint32_t start : starts) {
        SCOPED_TRACE(start);
        Offset = start - GetTickMs();
        StartWith("Test|QuarantineTime=1000;SpeechLimit=yes;MaxSpeechTime=20\n");
        TMember a, b;
        JoinMember(a, Login("AAA", "a@example.org", "Test"), "a@example.org");
        JoinMember(b, Login("BBB", "b@example.org", "Test"), "b@example.org");
        ASSERT_TRUE(Until([&] {
            int32_t q = 0;
            Svc->OnTimer([&] { q = Net()->GroupCount(NS::ncs_Quarantine); });
            return q == 2;
        }));
        Offset += 1000;
        ASSERT_TRUE(Until([&] { return Members(u"Test") == 2; }));

        // A mute of one second ends by itself.
        Svc->S->PostCommandMute(muted, Net(), 1, true);
        const auto mutedNow = [&] {
            uint32_t f = 0;
            Svc->OnTimer([&] {
                if (TZELSVCContext* m = Net()->MemberById(muted)) f = m->ClientFlags.load();
            });
            return (f & ZELClientMuted) != 0;
        };
        ASSERT_TRUE(Until(mutedNow));
        EXPECT_TRUE(Until([&] { return !mutedNow(); }));

        // A turn past MaxSpeechTime is ended by the housekeeping (the talker stays: it is not
        // yet silent for the activity time-out).
        const size_t na = a.P.size();
        ASSERT_TRUE(a.C.Send("TX0\r\n"));
        ASSERT_GE(a.WaitFor([](const TPkt& p) { return p.Type == 1; }, na), 0);
        ServeUntil([] { return false; }, std::chrono::milliseconds(600));
        ASSERT_NE(Talker(), nullptr);
        Offset += 20000;
        EXPECT_TRUE(Until([&] { return Talker() == nullptr; }));
        EXPECT_EQ(Members(u"Test"), 2);
        EXPECT_EQ(Groups(), "");
        ASSERT_TRUE(Stop());
    }
}

TEST_F(FloorTest, ShortBlocksReachEachFormOnce) {
    StartWith("Test|ShortFrames=yes\n");
    TMember t, s, f;
    JoinMember(t, LoginExt("TTT", "t@example.org", "Test", kCefShort), "t@example.org");
    JoinMember(s, LoginExt("SSS", "s@example.org", "Test", kCefShort), "s@example.org");
    JoinMember(f, Login("FFF", "f@example.org", "Test"), "f@example.org");
    ASSERT_GE(f.WaitFor([](const TPkt& p) { return p.Type == 3 && FullView(p).Ids.size() == 3; }), 0);
    ASSERT_TRUE(t.C.Send("TX0\r\n"));
    ASSERT_GE(t.WaitFor([](const TPkt& p) { return p.Type == 1; }), 0);
    const uint16_t it = IndexOf("t@example.org");
    const std::string idx = std::string(1, char(it >> 8)) + char(it & 0xFF);
    std::string all;
    for (char k = 'a'; k < 'f'; ++k) {
        ASSERT_TRUE(t.C.Send("TX8\r\n" + Block(k, 65)));
        all += Block(k, 65);
    }
    for (char k = 'a'; k < 'f'; ++k)
        EXPECT_GE(s.WaitFor([&](const TPkt& p) { return p.Bytes == "\x81" + idx + Block(k, 65); }), 0) << k;
    EXPECT_GE(f.WaitFor([&](const TPkt& p) { return p.Bytes == "\x02" + idx + all; }), 0);
    f.Pump(100);
    EXPECT_FALSE(f.Has([](const TPkt& p) { return p.Type == 129; }));
    EXPECT_FALSE(s.Has([&](const TPkt& p) { return p.Type == 2 && p.Bytes.substr(3, 65) == Block('a', 65); }));

    // A release after three: one padded packet, then 0.
    const size_t nf = f.P.size();
    for (char k = 'p'; k < 's'; ++k) ASSERT_TRUE(t.C.Send("TX8\r\n" + Block(k, 65)));
    ASSERT_GE(s.WaitFor([&](const TPkt& p) { return p.Bytes == "\x81" + idx + Block('r', 65); }), 0);
    ASSERT_TRUE(t.C.Send("RX0\r\n"));
    const int padded = f.WaitFor([](const TPkt& p) { return p.Type == 2 && p.Bytes[3] == 'p'; }, nf);
    ASSERT_GE(padded, 0);
    const std::string& pk = f.P[size_t(padded)].Bytes;
    EXPECT_EQ(pk.substr(3, 195), Block('p', 65) + Block('q', 65) + Block('r', 65));
    EXPECT_EQ(StrToHexA(pk.substr(198, 65)),
              "204817D684028024499224890280244992248902802449922489028024499224098274614D28004892244992280048922449922800489224499228004892244992");
    EXPECT_GE(f.WaitFor([](const TPkt& p) { return p.Type == 0; }, size_t(padded) + 1), 0);
}


// Joins, leaves, status changes: a difference client that applies every packet ends with the
// full-list client's members, order and status.
TEST_F(FloorTest, DifferenceListFollowsTheFullList) {
    StartWith("Test\n");
    TMember full, diff;
    JoinMember(full, Login("FULL", "full@example.org", "Test"), "full@example.org");
    JoinMember(diff, LoginExt("DIFF", "diff@example.org", "Test", kCefDiff), "diff@example.org");
    std::vector<std::unique_ptr<TMember>> others;
    uint32_t seed = 12345;
    const auto rnd = [&](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    int serial = 0;
    for (int step = 0; step < 40; ++step) {
        const uint32_t what = rnd(4);
        if (what == 0 || others.size() < 2) {
            auto m = std::make_unique<TMember>();
            const std::string mail = "m" + std::to_string(serial) + "@example.org";
            // Callsigns spread over the sort order, so joins land anywhere in the list.
            const std::string call = std::string(1, char('A' + rnd(26))) + "X" + std::to_string(serial++);
            JoinMember(*m, Login(call, mail, "Test"), mail);
            others.push_back(std::move(m));
        } else if (what == 1) {
            const size_t i = rnd(uint32_t(others.size()));
            others[i]->C.Close();
            others.erase(others.begin() + long(i));
        } else {
            TMember& m = *others[rnd(uint32_t(others.size()))];
            ASSERT_TRUE(m.C.Send("ST:" + std::to_string(rnd(3)) + "\r\n"));
        }
        if (rnd(3) == 0) Offset += 0;  // several changes share one housekeeping now and then
        else std::this_thread::sleep_for(std::chrono::milliseconds(rnd(2) == 0 ? 0 : 60));
    }
    for (auto& m : others) ASSERT_TRUE(m->C.Send("P\r\n"));
    // Let the last changes go out, then compare.
    const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < settle) {
        full.Pump(50);
        diff.Pump(50);
    }
    const TListView byFull = LastFullView(full);
    bool started = false;
    const TListView byDiff = DiffView(diff, started);
    ASSERT_TRUE(started);
    EXPECT_EQ(byDiff.Ids, byFull.Ids);
    EXPECT_EQ(byDiff.Status, byFull.Status);
    EXPECT_EQ(byFull.Ids.size(), others.size() + 2);
    EXPECT_EQ(Groups(), "");
    // The command channel's block lists the same members: a client and a member line each, the
    // member line with the peer's address alone.
    std::string client, member;
    int32_t count = -1;
    Svc->OnTimer([&] {
        TZELCmdListBlock b;
        Net()->PrepareCmdList(b);
        count = b.ClientCount;
        client = std::string(b.ClientLines);
        member = std::string(b.MemberLines);
    });
    ASSERT_EQ(count, int32_t(byFull.Ids.size()));
    size_t at = 0, i = 0;
    while (at < member.size()) {
        const size_t e = member.find("\r\n", at) + 2;
        TZELCmdMemberLine m;
        ASSERT_TRUE(ReadCmdMemberLine(AnsiView(member).substr(at, e - at), m));
        EXPECT_EQ(m.Address, "127.0.0.1");
        EXPECT_EQ(CalcSourceId(m.EMail), byFull.Ids[i++]);
        at = e;
    }
    EXPECT_EQ(i, byFull.Ids.size());
    EXPECT_NE(client.find(byFull.Ids[0]), std::string::npos);
}

// The member list comes out in the order of the list sort key: client type (crosslinks, then
// gateways, then PCs), country, city, callsign and band, each compared byte by byte; the Parrot,
// whose key begins with a blank, heads it. The difference list and the indexes follow that order.
TEST_F(FloorTest, MembersAreListedInSortKeyOrder) {
    StartWith("Test|ParrotEnable=yes\n");
    struct TRow {
        const char *Call, *Band, *City, *Country;
    };
    // In list order.
    const TRow rows[] = {
        {"K1XL", "Crosslink", "Boston", "US"},    {"OE3GW", "145.500", "Krems", "AT"},
        {"OE3GW", "438.025", "Krems", "AT"},      {"DL0GW", "430.100", "Berlin", "DE"},
        {"OE1AAA", "PC Only", "Wien", "AT"},      {"DL9ZZZ", "PC Only", "Aachen", "DE"},
        {"DL1ALI", "PC Only", "Berlin", "DE"},    {"DL1BOB", "PC Only", "Berlin", "DE"},
        {"DL1CAR", "PC Only", "Berlin", "DE"},    {"DL1DAV", "PC Only", "Berlin", "DE"},
        {"DL1ERI", "PC Only", "Berlin", "DE"},    {"DL1FRA", "PC Only", "Berlin", "DE"},
        {"DL1FRANKFURT", "PC Only", "Berlin", "DE"}, {"DL3KIE", "PC Only", "Kiel", "DE"},
        {"DL2KOE", "PC Only", "K\xC3\xB6ln", "DE"}, {"K1ABC", "PC Only", "Boston", "US"},
    };
    constexpr size_t n = std::size(rows);
    const size_t full = 6, diff = 7;
    const auto mail = [](size_t i) { return "r" + std::to_string(i) + "@example.org"; };
    std::vector<TMember> m(n);
    // The difference client first, so that every other join reaches it as a difference; the
    // others in a scrambled order.
    std::vector<size_t> order{diff};
    for (size_t k = 0; k < n; ++k)
        if ((k * 7 + 3) % n != diff) order.push_back((k * 7 + 3) % n);
    for (size_t i : order) {
        const TLoginFields f{rows[i].Call, mail(i), "Test", rows[i].Band, rows[i].City, rows[i].Country};
        JoinMember(m[i], LoginOf(f, i == diff ? kCefDiff : 0), mail(i));
    }
    std::vector<std::string> expect{Svc->S->ParrotId()};
    for (size_t i = 0; i < n; ++i) expect.push_back(CalcSourceId(mail(i)));

    const int all = m[full].WaitFor([&](const TPkt& p) { return p.Type == 3 && FullView(p).Ids.size() == n + 1; });
    ASSERT_GE(all, 0);
    EXPECT_EQ(FullView(m[full].P[size_t(all)]).Ids, expect);
    bool started = false;
    TListView byDiff;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((byDiff = DiffView(m[diff], started)).Ids.size() != n + 1 && std::chrono::steady_clock::now() < end)
        m[diff].Pump(50);
    EXPECT_TRUE(started);
    EXPECT_EQ(byDiff.Ids, expect);
    uint16_t parrot = 0;
    Svc->OnTimer([&] { parrot = Net()->ParrotBot()->ListIndex; });
    EXPECT_EQ(parrot, 1);
    std::vector<size_t> indexes, places;
    for (size_t i = 0; i < n; ++i) {
        indexes.push_back(IndexOf(mail(i)));
        places.push_back(i + 2);
    }
    EXPECT_EQ(indexes, places);
    EXPECT_EQ(Groups(), "");
}

// "stop" and "start" change the Parrot's description, and each change goes out at once: a
// difference client gets the "=" line of the bot (first in the list), a full-list client the list
// with the new description.
TEST_F(FloorTest, ParrotDescriptionChangeIsPublished) {
    StartWith("Test|ParrotEnable=yes;ParrotStartStopEnable=yes\n");
    TMember full, diff;
    JoinMember(diff, LoginExt("DIFF", "diff@example.org", "Test", kCefDiff), "diff@example.org");
    JoinMember(full, Login("FULL", "full@example.org", "Test"), "full@example.org");
    ASSERT_GE(full.WaitFor([](const TPkt& p) { return p.Type == 3 && FullView(p).Ids.size() == 3; }), 0);
    bool started = false;
    ASSERT_TRUE(diff.WaitFor([&](const TPkt&) { return DiffView(diff, started).Ids.size() == 3; }) >= 0);
    for (const auto& turn : {std::pair<std::string, std::string>{"stop", "Silent bird"},
                             std::pair<std::string, std::string>{"start", "Talkative bird"}}) {
        // Named references: clang 14 cannot capture a structured binding in a lambda.
        const std::string& word = turn.first;
        const std::string& desc = turn.second;
        SCOPED_TRACE(word);
        const size_t mf = full.P.size(), md = diff.P.size();
        ASSERT_TRUE(full.C.Send("TM:<MS>" + word + "</MS>\r\n"));
        const std::string item = "4" + EncodeTlvLength(int32_t(desc.size())) + desc + "\r\n";
        EXPECT_GE(diff.WaitFor(
                      [&](const TPkt& p) {
                          return p.Type == 132 && p.Bytes.find("\r\n0000=") != std::string::npos &&
                                 p.Bytes.find(item) != std::string::npos;
                      },
                      md, 1000),
                  0);
        EXPECT_GE(full.WaitFor(
                      [&](const TPkt& p) { return p.Type == 3 && p.Bytes.find("<DS>" + desc + "</DS>") != std::string::npos; },
                      mf, 1000),
                  0);
    }
    EXPECT_EQ(DiffView(diff, started).Ids, LastFullView(full).Ids);
    EXPECT_EQ(Groups(), "");
}

// However the talker goes (disconnect, session time, kick all, mute, made ListenOnly), the others
// hear 0 at once and the next request gets the floor.
TEST_F(FloorTest, TalkerThatGoesFreesTheFloor) {
    StartWith("Test|ClientSessionMaxTime=100\n");
    enum class Way { Disconnect, Mute, ListenOnly, Session, KickAll, Last };
    int serial = 0;
    std::unique_ptr<TMember> l;
    for (Way w : {Way::Disconnect, Way::Mute, Way::ListenOnly, Way::Session, Way::KickAll, Way::Last}) {
        SCOPED_TRACE(int(w));
        if (!l) {
            // The session limit and kick all drop the listener too: a new one joins.
            l = std::make_unique<TMember>();
            const std::string mail = "l" + std::to_string(serial++) + "@example.org";
            JoinMember(*l, Login("LIS" + std::to_string(serial), mail, "Test"), mail);
        }
        TMember t;
        const std::string mail = "t" + std::to_string(serial++) + "@example.org";
        JoinMember(t, Login("TALK" + std::to_string(serial), mail, "Test"), mail);
        ASSERT_TRUE(Until([&] { return IndexOf(mail) != 0; }));
        ASSERT_TRUE(t.C.Send("TX0\r\n"));
        ASSERT_GE(t.WaitFor([](const TPkt& p) { return p.Type == 1; }), 0);
        if (w == Way::Last) break;
        // Idle packets stop while someone talks: the listener's last one passes first.
        l->Pump(600);
        const size_t nl = l->P.size();
        switch (w) {
            case Way::Disconnect: t.C.Close(); break;
            case Way::Session: Offset += 100000; break;
            case Way::KickAll:
                Svc->OnTimer([&] {
                    Net()->PostKickAllByOwner();
                    Net()->ProcessQueue(false);
                });
                break;
            case Way::Mute: Svc->OnTimer([&] { Net()->MuteClientById(CalcSourceId(mail)); }); break;
            case Way::ListenOnly: Svc->OnTimer([&] { Net()->SetTalkMode(true); }); break;
            default: break;
        }
        // A mute or a change of rights acts on the timer thread at once.
        if (w == Way::Mute || w == Way::ListenOnly) {
            EXPECT_EQ(Talker(), nullptr);
        }
        if (w == Way::ListenOnly) Svc->OnTimer([&] { Net()->SetTalkMode(false); });
        EXPECT_TRUE(Until([&] { return Talker() == nullptr; }));
        if (w == Way::Session || w == Way::KickAll) {
            EXPECT_TRUE(t.C.WaitClosed(5000));
            EXPECT_TRUE(l->C.WaitClosed(5000));
            l.reset();
            EXPECT_TRUE(Until([&] { return Held(u"Test") == 0; }));
            EXPECT_EQ(Groups(), "");
            continue;
        }
        EXPECT_GE(l->WaitFor([](const TPkt& p) { return p.Type == 0; }, nl, 300), 0);
        // The floor is free for the next one.
        const size_t n = l->P.size();
        ASSERT_TRUE(l->C.Send("TX0\r\n"));
        EXPECT_GE(l->WaitFor([](const TPkt& p) { return p.Type == 1; }, n), 0);
        ASSERT_TRUE(l->C.Send("RX0\r\n"));
        EXPECT_TRUE(Until([&] { return Talker() == nullptr; }));
        EXPECT_EQ(Groups(), "");
    }
    EXPECT_TRUE(Svc->Probe.FreedOnce());
}

// A save cut short by a crash leaves staged files and backups in the data directory; the next
// start removes them before it reads the lists, and the list that was replaced keeps its new file.
TEST_F(NetworkTest, StartSweepsWhatACrashedSaveLeft) {
    const std::string line = AdminLine("Test", "ba@example.org");
    Put(Path("admins.dat"), "");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        TFileMoverData* m = FileMoverCreate(DataFileMoverPrefix, dir_);
        Put(FileMoverAddFile(FileMoverAddSynchro(m, dir_), "admins.dat"), line);
        FileMoverCopyUp(m);
        FileMoverMoveUp(m);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    const auto entries = [&] {
        std::vector<std::string> e;
        for (const auto& d : std::filesystem::directory_iterator(dir_)) e.push_back(d.path().filename().string());
        std::sort(e.begin(), e.end());
        return e;
    };
    ASSERT_GT(entries().size(), 1u);
    StartWith("Test\n");
    EXPECT_EQ(entries(), (std::vector<std::string>{"admins.dat", "networks.cfg"}));
    TTestClient admin;
    EXPECT_EQ(Join(admin, Login("BA", "ba@example.org", "Test")), "ADMIN");
}


// 33 distinct speakers: the 33rd takes the least recently used position, and a caching member is
// sent the evicted speaker's entry again when it talks once more.
TEST_F(FloorTest, SpeakerCacheEvictsTheLeastRecentlyUsed) {
    StartWith("Test|SpeechPause=0\n");
    TMember cache;
    JoinMember(cache, LoginExt("CACHE", "cache@example.org", "Test", kCefCacheCount), "cache@example.org");
    std::vector<std::unique_ptr<TMember>> talkers;
    // One turn of S: the listener's cache texts that came with its block (145 and 146 packets).
    const auto turn = [&](TMember& S, char Fill) {
        const size_t n = cache.P.size();
        EXPECT_TRUE(S.C.Send("TX0\r\n"));
        EXPECT_GE(S.WaitFor([](const TPkt& p) { return p.Type == 1; }, S.P.size()), 0);
        // The grant may come before this wait started: take the last one.
        EXPECT_TRUE(S.C.Send("TX1\r\n" + Block(Fill)));
        const int v = cache.WaitFor([&](const TPkt& p) { return p.Type == 2 && p.Bytes[3] == Fill; }, n);
        EXPECT_GE(v, 0);
        EXPECT_TRUE(S.C.Send("RX0\r\n"));
        EXPECT_TRUE(Until([&] { return Talker() == nullptr; }));
        std::vector<TPkt> texts;
        for (size_t i = n; v >= 0 && i < size_t(v); ++i)
            if (cache.P[i].Type == 145 || cache.P[i].Type == 146) texts.push_back(cache.P[i]);
        return texts;
    };
    std::map<std::string, int> posOf;
    for (int i = 0; i < 33; ++i) {
        auto m = std::make_unique<TMember>();
        const std::string mail = "s" + std::to_string(i) + "@example.org";
        JoinMember(*m, Login("SP" + std::to_string(i), mail, "Test"), mail);
        ASSERT_TRUE(Until([&] { return IndexOf(mail) != 0; }));
        const std::vector<TPkt> t = turn(*m, char('A' + i % 26));
        // A new speaker: its entry under a position, then the position.
        ASSERT_EQ(t.size(), 2u) << i;
        EXPECT_EQ(t[0].Type, 145);
        EXPECT_NE(t[0].Bytes.find(CalcSourceId(mail)), std::string::npos);
        EXPECT_EQ(t[1].Type, 146);
        EXPECT_EQ(t[1].Bytes.substr(1, 2), t[0].Bytes.substr(1, 2));
        posOf[mail] = std::stoi(t[0].Bytes.substr(1, 2), nullptr, 16);
        talkers.push_back(std::move(m));
    }
    // The 33rd reused the first speaker's position.
    EXPECT_EQ(posOf["s32@example.org"], posOf["s0@example.org"]);
    // The first speaker again: evicted, so its entry comes again under a new position.
    const std::vector<TPkt> again = turn(*talkers[0], 'z');
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0].Type, 145);
    EXPECT_NE(again[0].Bytes.find(CalcSourceId("s0@example.org")), std::string::npos);
    EXPECT_EQ(std::stoi(again[0].Bytes.substr(1, 2), nullptr, 16), posOf["s1@example.org"]);
    // A speaker still cached is told only its position.
    const std::vector<TPkt> cached = turn(*talkers[5], 'y');
    ASSERT_EQ(cached.size(), 1u);
    EXPECT_EQ(cached[0].Type, 146);
    EXPECT_EQ(std::stoi(cached[0].Bytes.substr(1, 2), nullptr, 16), posOf["s5@example.org"]);
    EXPECT_EQ(Groups(), "");
}

// A listener that stops reading is dropped for bandwidth, leaves the others' lists, and is freed
// after its disconnect.
TEST_F(FloorTest, StalledListenerIsDroppedForBandwidth) {
    StartWith("Test|SpeechPause=0\n");
    TMember t, full;
    JoinMember(t, Login("TALK", "t@example.org", "Test"), "t@example.org");
    JoinMember(full, Login("FULL", "f@example.org", "Test"), "f@example.org");
    TTestClient slow;
    const int small = 4096;
    slow.Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(setsockopt(slow.Fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    {
        sockaddr_storage ss;
        const socklen_t len = zeltest::LoopbackAddr(AF_INET, Svc->Port, ss);
        ASSERT_EQ(connect(slow.Fd, reinterpret_cast<sockaddr*>(&ss), len), 0);
        slow.LocalPort = zeltest::LocalPort(slow.Fd);
    }
    ASSERT_TRUE(slow.Send(Login("SLOW", "slow@example.org", "Test")));
    ASSERT_TRUE(slow.WaitLoginAnswer());
    ASSERT_GE(full.WaitFor([](const TPkt& p) { return p.Type == 3 && FullView(p).Ids.size() == 3; }), 0);
    ASSERT_TRUE(t.C.Send("TX0\r\n"));
    ASSERT_GE(t.WaitFor([](const TPkt& p) { return p.Type == 1; }), 0);
    // The talker talks on; the full-list member keeps reading, the slow one reads nothing.
    const std::string block = "TX1\r\n" + Block('b');
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    TFreedContext f{};
    bool dropped = false;
    while (!dropped && std::chrono::steady_clock::now() < end) {
        // Fast, but slower than the send buffer's hard cap fills between two housekeepings.
        for (int i = 0; i < 30; ++i) ASSERT_TRUE(t.C.Send(block));
        full.Pump(20);
        t.Pump(0);
        dropped = Svc->Probe.Find(slow.LocalPort, f);
    }
    ASSERT_TRUE(dropped);
    EXPECT_EQ(f.Cause, DC::fsdc_BandWidthLimit);
    // The others' lists lose it.
    const int two = full.WaitFor([](const TPkt& p) { return p.Type == 3 && FullView(p).Ids.size() == 2; });
    ASSERT_GE(two, 0);
    EXPECT_EQ(Members(u"Test"), 2);
    // The output limit follows the 8-bit full list: a lower one only after half the activity
    // time-out (30 s here).
    const int32_t lower = int32_t(full.P[size_t(two)].Bytes.size()) * 3 + 1700 * 30;
    int32_t limit = 0;
    Svc->OnTimer([&] { limit = Net()->OutputLimit(); });
    EXPECT_GT(limit, lower);
    Offset += 15000;
    EXPECT_TRUE(Until([&] {
        Svc->OnTimer([&] { limit = Net()->OutputLimit(); });
        return limit == lower;
    }));
    EXPECT_EQ(Groups(), "");
}


// The network's lists go to the administrators and owners as they are admitted, in their order;
// a user gets none.
TEST_F(FloorTest, ListPacketsReachAdministratorsAndOwners) {
    StartWith("Test|OwnerEMail=boss@example.org\n", {{"admins.dat", AdminLine("Test", "adm@example.org")}});
    TMember owner, admin, user;
    // One at a time: the clients admitted together all get what the first of them asked for.
    const auto join = [&](TMember& M, const std::string& Line, const std::string& Mail) {
        JoinMember(M, Line, Mail);
        ASSERT_GE(M.WaitFor([](const TPkt& p) { return p.Type == 3 || p.Type == 131 || p.Type == 132; }), 0);
        M.Pump(700);
    };
    join(owner, Login("BOSS", "boss@example.org", "Test"), "boss@example.org");
    join(admin, LoginExt("ADM", "adm@example.org", "Test", kCefDiff), "adm@example.org");
    join(user, Login("USER", "user@example.org", "Test"), "user@example.org");
    const auto types = [](const TMember& M) {
        std::vector<int> t;
        for (const TPkt& p : M.P)
            if (p.Type >= 6 && p.Type != 129 && p.Type != 130 && p.Type != 131 && p.Type != 132 && p.Type != 137)
                t.push_back(p.Type);
        return t;
    };
    // Blocks, mutes, administrators, mode switches, rights, notices.
    EXPECT_EQ(types(owner), (std::vector<int>{8, 9, 6, 10, 7, 11}));
    // The administrator's entry took its client's values at its admission: a changed list, to all.
    EXPECT_EQ(types(admin), (std::vector<int>{134, 135, 136}));
    EXPECT_TRUE(types(user).empty());
    for (const TPkt& p : owner.P) {
        if (p.Type == 6) {
            EXPECT_NE(p.Bytes.find("<ID>" + CalcSourceId("adm@example.org") + "</ID>"), std::string::npos);
        }
        if (p.Type == 10) {
            EXPECT_EQ(p.Bytes, "\x0A" "2\r\n0\r\n0\r\n");
        }
    }
}

// Texts that could forge an element are refused where they enter: connect-line fields (WRONG),
// list-file lines (dropped). No member then receives an element it did not come from: every ID
// in every packet is a real member's or a real entry's, and every packet frames.
TEST_F(FloorTest, NoMemberReceivesAnElementItDidNotComeFrom) {
    const std::string fake = CalcSourceId("forged@example.org");
    const std::string idTag = "<ID>" + fake + "</ID>";
    const auto hex = [](const std::string& T) { return std::string(StrToHexA(T)); };
    const std::string admins = AdminLine("Test", "adm@example.org") + "Test|" + CalcSourceId("x1@example.org") + "|" +
                               hex("\r\n2") + "|||" + hex("A") + "|1|u1\r\n" + "Test|" +
                               CalcSourceId("x2@example.org") + "||||" + hex("X</ON>" + idTag + "<ON>") + "|1|u1\r\n";
    const std::string mutes =
        "Test|" + CalcSourceId("x3@example.org") + "|" + hex("M</AI>" + idTag + "<AI>") + "|||||1|u1\r\n";
    const std::string rights = "Test|1|" + hex("good@example.org") + "|||||1|u1\r\nTest|1|" +
                               hex("r@x.y</ID>" + idTag) + "|||||1|u1\r\n";
    const std::string notices = "Test|" + hex("one\r\n" + idTag) + "|\r\n";
    StartWith("Test|OwnerEMail=boss@example.org\n",
              {{"admins.dat", admins}, {"mutes.dat", mutes}, {"rights.dat", rights}, {"notices.dat", notices}});

    // Each connect-line field that lands in a list entry, forged: refused with WRONG.
    const std::string plain = Login("F", "f@example.org", "Test");
    const auto forged = [&](const std::string& Element, const std::string& Value) {
        std::string l = plain;
        const size_t a = l.find("<" + Element + ">");
        if (a == std::string::npos) return l.substr(0, l.size() - 2) + "<" + Element + ">" + Value + "</" + Element + ">\r\n";
        const size_t b = l.find("</" + Element + ">", a);
        return l.replace(a + Element.size() + 2, b - a - Element.size() - 2, Value);
    };
    for (const char* element : {"CT", "ON", "NN", "BC", "DS", "EA"}) {
        TTestClient f;
        EXPECT_EQ(Join(f, forged(element, "A" + idTag + "B")), "WRONG") << element;
        EXPECT_EQ(CauseOf(f), DC::fsdc_ServerWrongPasssword) << element;
    }

    TMember owner, user;
    JoinMember(owner, Login("BOSS", "boss@example.org", "Test"), "boss@example.org");
    ASSERT_GE(owner.WaitFor([](const TPkt& p) { return p.Type == 11; }), 0);
    JoinMember(user, Login("USER", "user@example.org", "Test"), "user@example.org");
    ASSERT_GE(owner.WaitFor([](const TPkt& p) { return p.Type == 3 && FullView(p).Ids.size() == 2; }), 0);
    ASSERT_GE(user.WaitFor([](const TPkt& p) { return p.Type == 3 && FullView(p).Ids.size() == 2; }), 0);
    const std::vector<std::string> real = {CalcSourceId("boss@example.org"), CalcSourceId("user@example.org"),
                                           CalcSourceId("adm@example.org"), "good@example.org"};
    for (TMember* m : {&owner, &user}) {
        SCOPED_TRACE(m->Mail);
        m->Pump(300);
        EXPECT_EQ(m->Parsed, m->C.Received.size()) << "every packet frames";
        EXPECT_EQ(m->C.Received.find(fake), std::string::npos);
        for (const TPkt& p : m->P)
            for (size_t at = p.Bytes.find("<ID>"); at != std::string::npos; at = p.Bytes.find("<ID>", at + 4)) {
                const size_t end = p.Bytes.find("</ID>", at);
                ASSERT_NE(end, std::string::npos);
                const std::string id = p.Bytes.substr(at + 4, end - at - 4);
                EXPECT_NE(std::find(real.begin(), real.end(), id), real.end()) << int(p.Type) << ": " << id;
            }
    }
    // The owner got each list, holding only the good entries.
    for (const TPkt& p : owner.P) {
        const std::map<int, std::string> heads = {{6, "\x06" "1\r\n"}, {9, "\x09" "0\r\n"}, {7, "\x07" "1\r\n"},
                                                  {11, "\x0B" "1\r\n\r\n"}};
        const auto h = heads.find(p.Type);
        if (h != heads.end()) {
            EXPECT_EQ(p.Bytes.substr(0, h->second.size()), h->second) << int(p.Type);
        }
    }
    EXPECT_EQ(Groups(), "");
}

// The command port's changes of the lists reach their files (mutes, blocks and notices too), act
// on the online members at once, and the switches let members in or out.
TEST_F(NetworkTest, CommandPortChangesReachTheFilesAndTheMembers) {
    StartWith("Test\n");
    TZELServNetwork* net = Svc->RealNet(u"Test");
    TTestClient muted, blocked, admin, user;
    ASSERT_EQ(Join(muted, Login("MU", "mu@example.org", "Test")), "OK");
    ASSERT_EQ(Join(blocked, Login("BL", "bl@example.org", "Test")), "OK");
    ASSERT_EQ(Join(admin, Login("AD", "ad@example.org", "Test")), "OK");
    ASSERT_EQ(Join(user, Login("US", "us@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Test") == 4; }));
    const AnsiString mu = CalcSourceId("mu@example.org"), bl = CalcSourceId("bl@example.org"),
                     ad = CalcSourceId("ad@example.org");
    const auto flags = [&](const AnsiString& Id) {
        uint32_t f = 0;
        Svc->OnTimer([&] {
            if (TZELSVCContext* c = net->MemberById(Id)) f = c->ClientFlags.load();
        });
        return f;
    };

    Svc->S->PostCommandMute(mu, net, 0, true);
    EXPECT_TRUE(Until([&] { return Get(Path("mutes.dat")).find(mu) != std::string::npos; }));
    EXPECT_NE(flags(mu) & ZELClientMuted, 0u);
    Svc->S->PostCommandBlock(bl, net, 0, true);
    EXPECT_EQ(CauseOf(blocked), DC::fsdc_ServerBlock);
    EXPECT_TRUE(Until([&] { return Get(Path("blocks.dat")).find(bl) != std::string::npos; }));
    Svc->S->PostCommandAdmin(ad, net, true);
    EXPECT_EQ(CauseOf(admin), DC::fsdc_ChangeRole);
    EXPECT_TRUE(Until([&] { return Get(Path("admins.dat")).find(ad) != std::string::npos; }));
    Svc->S->PostCommandNoticeSet("Hello", "Hello", net);
    EXPECT_TRUE(Until([&] { return Get(Path("notices.dat")).find(StrToHexA("Hello")) != std::string::npos; }));

    // Unmute: the member talks again and the file loses the entry.
    Svc->S->PostCommandMute(mu, net, 0, false);
    EXPECT_TRUE(Until([&] { return Get(Path("mutes.dat")).find(mu) == std::string::npos; }));
    EXPECT_EQ(flags(mu) & ZELClientMuted, 0u);
    // The blocked client comes back BLOCK, the administrator as ADMIN.
    TTestClient blocked2, admin2;
    EXPECT_EQ(Join(blocked2, Login("BL", "bl@example.org", "Test")), "BLOCK");
    EXPECT_EQ(Join(admin2, Login("AD", "ad@example.org", "Test")), "ADMIN");

    // The connection switch with a right for one: the others lose access at once.
    Svc->S->PostCommandRight("us@example.org", net, true);
    EXPECT_TRUE(Until([&] { return Get(Path("rights.dat")).find(StrToHexA("US")) != std::string::npos; }));
    Svc->S->PostCommandConnMode(net, 1, nullptr);
    EXPECT_EQ(CauseOf(muted), DC::fsdc_ServerAccessDenied);
    EXPECT_TRUE(Until([&] { return Members(u"Test") == 1; }));
    EXPECT_TRUE(Until([&] { return !Get(Path("modes.dat")).empty(); }));
    // Disconnect by id: the last member goes with the owner's cause.
    Svc->S->PostCommandDisconnect(net, CalcSourceId("us@example.org"), nullptr);
    EXPECT_EQ(CauseOf(user), DC::fsdc_ByOwner);
    EXPECT_TRUE(Until([&] { return Members(u"Test") == 0; }));
    EXPECT_EQ(Groups(), "");
}

// A temporary mute from the command port ends by itself: the member is unmuted and the file
// rewritten without it; a restart on the same directory keeps a permanent one.
TEST_F(NetworkTest, TemporaryMuteExpiresAndAPermanentOneSurvivesARestart) {
    StartWith("Test\n");
    TZELServNetwork* net = Svc->RealNet(u"Test");
    TTestClient c;
    ASSERT_EQ(Join(c, Login("MU", "mu@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Test") == 1; }));
    const AnsiString mu = CalcSourceId("mu@example.org"), other = CalcSourceId("other@example.org");
    Svc->S->PostCommandMute(mu, net, 1, true);
    Svc->S->PostCommandMute(other, net, 0, true);
    EXPECT_TRUE(Until([&] {
        const std::string f = Get(Path("mutes.dat"));
        return f.find(mu) != std::string::npos && f.find(other) != std::string::npos;
    }));
    EXPECT_TRUE(Until([&] { return Get(Path("mutes.dat")).find(mu) == std::string::npos; }));
    uint32_t f = ZELClientMuted;
    EXPECT_TRUE(Until([&] {
        Svc->OnTimer([&] {
            if (TZELSVCContext* m = net->MemberById(mu)) f = m->ClientFlags.load();
        });
        return (f & ZELClientMuted) == 0;
    }));
    c.Close();
    ASSERT_TRUE(Stop());
    StartWith("Test\n");
    size_t n = 0;
    EXPECT_TRUE(Until([&] {
        Svc->OnTimer([&] { n = size_t(Svc->RealNet(u"Test")->MuteList().Count()); });
        return n == 1;
    })) << n;
    EXPECT_NE(Get(Path("mutes.dat")).find(other), std::string::npos);
}

// Client commands over loopback: an administrator mutes a member (file and flag), texts reach
// their members byte-exact, and a private text never reaches a client still waiting for its login
// answer.
// A text to all reaches the cache-list and speaker-info members with the sender's texts first: the
// cache entry (byte 145) and the position text (byte 147) once per position, the sender text (byte
// 143) once per sender; a plain member gets the text alone, and the sender nothing.
TEST_F(FloorTest, TextToAllCarriesTheSenderTexts) {
    StartWith("Test\n");
    TMember cache, speaker, plain, sender;
    JoinMember(cache, LoginExt("CA", "ca@example.org", "Test", kCefCacheCount), "ca@example.org");
    JoinMember(speaker, LoginExt("SP", "sp@example.org", "Test", 0x8A), "sp@example.org");
    JoinMember(plain, Login("PL", "pl@example.org", "Test"), "pl@example.org");
    JoinMember(sender, Login("SE", "se@example.org", "Test"), "se@example.org");
    ASSERT_TRUE(Until([&] { return Members(u"Test") == 4; }));
    const std::string id = CalcSourceId("se@example.org");
    // What came before the text Body in M's stream since Mark.
    const auto before = [&](TMember& M, size_t Mark, const std::string& Body) {
        const std::string text = "\x04" "3\r\n" + id + "\r\n" + Body + "\r\nA\r\n";
        EXPECT_TRUE(M.C.ReadUntil([&](const std::string& R) { return R.find(text, Mark) != std::string::npos; }, 5000))
            << Body;
        const size_t at = M.C.Received.find(text, Mark);
        return at == std::string::npos ? std::string() : M.C.Received.substr(Mark, at - Mark);
    };
    size_t mc = cache.C.Received.size(), ms = speaker.C.Received.size(), mp = plain.C.Received.size();
    ASSERT_TRUE(sender.C.Send("TM:<MS>one</MS>\r\n"));
    const std::string c1 = before(cache, mc, "one"), s1 = before(speaker, ms, "one"), p1 = before(plain, mp, "one");
    const size_t entry = c1.find('\x91');
    ASSERT_NE(entry, std::string::npos) << "cache entry";
    EXPECT_NE(c1.find(id, entry), std::string::npos);
    const std::string pos = c1.substr(entry + 1, 2);
    EXPECT_EQ(c1.substr(c1.size() - 5), "\x93" + pos + "\r\n") << "position text last";
    const size_t who = s1.find('\x8F');
    ASSERT_NE(who, std::string::npos) << "sender text";
    EXPECT_NE(s1.find(id, who), std::string::npos);
    EXPECT_EQ(p1.find('\x8F'), std::string::npos);
    EXPECT_EQ(p1.find('\x93'), std::string::npos);

    // The same sender again: nothing new before the text.
    mc = cache.C.Received.size();
    ms = speaker.C.Received.size();
    ASSERT_TRUE(sender.C.Send("TM:<MS>two</MS>\r\n"));
    const std::string c2 = before(cache, mc, "two"), s2 = before(speaker, ms, "two");
    EXPECT_EQ(c2.find('\x91'), std::string::npos);
    EXPECT_EQ(c2.find('\x93'), std::string::npos);
    EXPECT_EQ(s2.find('\x8F'), std::string::npos);
    sender.C.ReadFor(200);
    EXPECT_EQ(sender.C.Received.find("\r\none\r\n"), std::string::npos);
    EXPECT_EQ(Groups(), "");
}

// The speaker (142), sender (143) and cache (145) texts carry the talker's entry as it is now:
// after "ST:2" they begin with the new status digits (a PC's type bits 0x20 and the status, as the
// lists show them), and a later change goes out anew with the next talk.
TEST_F(FloorTest, SpeakerTextsCarryTheCurrentStatus) {
    StartWith("Test\n");
    TMember talker, speaker, cache, diff;  // speaker texts, a speaker cache (both with counts), differences
    JoinMember(speaker, LoginExt("SP", "sp@example.org", "Test", 0x8A), "sp@example.org");
    JoinMember(cache, LoginExt("CA", "ca@example.org", "Test", kCefCacheCount), "ca@example.org");
    JoinMember(diff, LoginExt("DI", "di@example.org", "Test", kCefDiff), "di@example.org");
    JoinMember(talker, Login("TA", "ta@example.org", "Test"), "ta@example.org");
    ASSERT_TRUE(Until([&] { return IndexOf("ta@example.org") != 0; }));
    const std::string id = CalcSourceId("ta@example.org");
    // The status change as the difference list shows it.
    const auto setStatus = [&](char Digit) {
        const size_t md = diff.P.size();
        ASSERT_TRUE(talker.C.Send(std::string("ST:") + Digit + "\r\n"));
        const std::string line = std::string("*2") + Digit + "\r\n";
        ASSERT_GE(diff.WaitFor([&](const TPkt& p) { return p.Type == 132 && p.Bytes.find(line) != std::string::npos; }, md),
                  0);
    };
    // A turn with one block; the texts that came to M with it.
    const auto talk = [&](TMember& M, uint8_t Type) {
        const size_t mark = M.P.size(), mt = talker.P.size();
        EXPECT_TRUE(talker.C.Send("TX0\r\n"));
        EXPECT_GE(talker.WaitFor([](const TPkt& p) { return p.Type == 1; }, mt), 0);
        EXPECT_TRUE(talker.C.Send("TX1\r\n" + Block('v') + "RX0\r\n"));
        const int voice = M.WaitFor([](const TPkt& p) { return p.Type == 2; }, mark);
        EXPECT_GE(voice, 0);
        EXPECT_GE(M.WaitFor([](const TPkt& p) { return p.Type == 0; }, size_t(voice + 1)), 0);
        EXPECT_TRUE(Until([&] { return Talker() == nullptr; }));
        std::vector<std::string> texts;
        for (size_t i = mark; i < M.P.size(); ++i)
            if (M.P[i].Type == Type) texts.push_back(M.P[i].Bytes);
        return texts;
    };
    setStatus('2');
    std::vector<std::string> t = talk(speaker, 142);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].substr(1, 2), "22");
    EXPECT_NE(t[0].find(id), std::string::npos);
    // The cache entry (after the byte 145 and the position) came with this first talk.
    const int entry = cache.WaitFor([](const TPkt& p) { return p.Type == 145; });
    ASSERT_GE(entry, 0);
    EXPECT_EQ(cache.P[size_t(entry)].Bytes.substr(3, 2), "22");

    const size_t ms = speaker.P.size();
    ASSERT_TRUE(talker.C.Send("TM:<MS>hello</MS>\r\n"));
    const int sender = speaker.WaitFor([](const TPkt& p) { return p.Type == 143; }, ms);
    ASSERT_GE(sender, 0);
    EXPECT_EQ(speaker.P[size_t(sender)].Bytes.substr(1, 2), "22");

    setStatus('1');
    const size_t mc = cache.P.size();
    t = talk(speaker, 142);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].substr(1, 2), "21");
    // The cache member held the entry of before: it is sent the new one.
    const int renewed = cache.WaitFor([](const TPkt& p) { return p.Type == 145; }, mc);
    ASSERT_GE(renewed, 0);
    EXPECT_EQ(cache.P[size_t(renewed)].Bytes.substr(3, 2), "21");
    EXPECT_EQ(Groups(), "");
}

TEST_F(NetworkTest, ClientMutesAndTexts) {
    StartWith("Test\nMgr|ManagerMode=ZEL;ManagersMask=1\n", {{"admins.dat", AdminLine("Test", "ad@example.org")}});
    TZELServNetwork* net = Svc->RealNet(u"Test");
    TTestClient admin, u1, u2;
    ASSERT_EQ(Join(admin, Login("AD", "ad@example.org", "Test")), "ADMIN");
    ASSERT_EQ(Join(u1, Login("U1", "u1@example.org", "Test")), "OK");
    ASSERT_EQ(Join(u2, Login("U2", "u2@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Test") == 3; }));
    const std::string ad = CalcSourceId("ad@example.org"), i1 = CalcSourceId("u1@example.org"),
                      i2 = CalcSourceId("u2@example.org");
    ASSERT_TRUE(admin.Send("MC:<IP>" + i1 + "</IP>\r\n"));
    EXPECT_TRUE(Until([&] { return Get(Path("mutes.dat")).find(i1) != std::string::npos; }));
    uint32_t f = 0;
    Svc->OnTimer([&] { f = net->MemberById(i1)->ClientFlags.load(); });
    EXPECT_NE(f & ZELClientMuted, 0u);

    u1.Received.clear();
    u2.Received.clear();
    admin.Received.clear();
    ASSERT_TRUE(admin.Send("TM:<MS>hello all</MS>\r\n"));
    const std::string all = "\x04" "3\r\n" + ad + "\r\nhello all\r\nA\r\n";
    EXPECT_TRUE(u1.ReadUntil([&](const std::string& R) { return R.find(all) != std::string::npos; }, 5000));
    EXPECT_TRUE(u2.ReadUntil([&](const std::string& R) { return R.find(all) != std::string::npos; }, 5000));
    ASSERT_TRUE(u2.Send("TM:<MS>psst</MS><ID>" + i1 + "</ID>\r\n"));
    const std::string priv = "\x04" "3\r\n" + i2 + "\r\npsst\r\nP\r\n";
    EXPECT_TRUE(u1.ReadUntil([&](const std::string& R) { return R.find(priv) != std::string::npos; }, 5000));
    admin.ReadFor(200);
    EXPECT_EQ(admin.Received.find("hello all"), std::string::npos);
    EXPECT_EQ(admin.Received.find("psst"), std::string::npos);

    // In the manager network a client waits for its verdict while a member writes to it.
    TZELServNetwork* mgr = Svc->RealNet(u"Mgr");
    TTestClient sender, waiting;
    ASSERT_EQ(Join(sender, Login("SE", "se@example.org", "Mgr")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Mgr") == 1; }));
    Svc->OnTimer([&] { LinkState(mgr, 0, true); });
    ASSERT_TRUE(waiting.Connect(Svc->Port) && waiting.Send(Login("WA", "wa@example.org", "Mgr")));
    ASSERT_TRUE(Until([&] {
        int32_t n = 0;
        Svc->OnTimer([&] { n = mgr->GroupCount(NS::ncs_AwaitingAuth); });
        return n == 1;
    }));
    ASSERT_TRUE(sender.Send("TM:<MS>too early</MS><ID>" + CalcSourceId("wa@example.org") + "</ID>\r\n"));
    sender.ReadFor(300);
    Svc->OnTimer([&] { LinkState(mgr, 0, false); });
    EXPECT_TRUE(waiting.WaitLoginAnswer());
    EXPECT_EQ(AccessLevel(waiting.Received), "OK");
    waiting.ReadFor(300);
    EXPECT_EQ(waiting.Received.find("too early"), std::string::npos);
    EXPECT_EQ(Groups(), "");
}

// A Parrot that may not be muted (ParrotMuteEnable off) gets no mute entry, in the list or the
// file; one that may is muted and listed.
TEST_F(NetworkTest, ParrotMuteIsListedOnlyWhereItHolds) {
    const AnsiString other = CalcSourceId("u1@example.org");
    for (const bool enable : {false, true}) {
        SCOPED_TRACE(enable);
        std::filesystem::remove(Path("mutes.dat"));
        StartWith(std::string("Test|ParrotEnable=yes;ParrotMuteEnable=") + (enable ? "yes" : "no") + "\n",
                  {{"admins.dat", AdminLine("Test", "ad@example.org")}});
        TZELServNetwork* net = Svc->RealNet(u"Test");
        const AnsiString parrot = Svc->S->ParrotId();
        TTestClient admin, u1;
        ASSERT_EQ(Join(admin, Login("AD", "ad@example.org", "Test")), "ADMIN");
        ASSERT_EQ(Join(u1, Login("U1", "u1@example.org", "Test")), "OK");
        ASSERT_TRUE(Until([&] { return Members(u"Test") == 3; }));
        // The second mute is handled after the first: its save shows the first's outcome too.
        ASSERT_TRUE(admin.Send("MC:<IP>" + parrot + "</IP>\r\n"));
        ASSERT_TRUE(admin.Send("MC:<IP>" + other + "</IP>\r\n"));
        ASSERT_TRUE(Until([&] { return Get(Path("mutes.dat")).find(other) != std::string::npos; }));
        EXPECT_EQ(Get(Path("mutes.dat")).find(parrot) != std::string::npos, enable);
        int32_t entries = 0;
        uint32_t flags = 0;
        Svc->OnTimer([&] {
            entries = net->MuteList().Count();
            flags = net->ParrotBot()->ClientFlags.load();
        });
        EXPECT_EQ(entries, enable ? 2 : 1);
        EXPECT_EQ((flags & ZELClientMuted) != 0, enable);
        ASSERT_TRUE(Stop());
    }
}

// The owner's UTF-8 part (a client that may move others lists by differences, which needs one).
std::string BossUtf8Part() {
    std::string s = "2";
    for (const auto& [k, v] : std::vector<std::pair<char, std::string>>{
             {'0', "boss@example.org"}, {'1', "pw"}, {'2', "BOSS"}, {'3', "PC Only"}, {'6', "Town"}})
        s += k + EncodeTlvLength(static_cast<int32_t>(v.size())) + v;
    return s;
}

// The owner of "Test", logged in with its UTF-8 part.
std::string BossLogin() {
    return "CT:<VX>2014004</VX><EA>boss@example.org</EA><PW>pw</PW><ON>BOSS</ON>"
           "<BC>PC Only</BC><CT>Town</CT><NN>Land</NN><NT>Test</NT><CEF>1027</CEF><U8TF>" +
           BossUtf8Part() + "</U8TF>\r\n";
}

// Blocks, administrators and switches from clients; a refused line leaves every file as it was
// and the other members where they are.
TEST_F(NetworkTest, ClientBlocksAdminsAndSwitches) {
    StartWith("Test|OwnerEMail=boss@example.org\nOther\n", {{"admins.dat", AdminLine("Test", "ad@example.org")}});
    TZELServNetwork* net = Svc->RealNet(u"Test");
    TTestClient admin, boss, u1, u2, u3;
    ASSERT_EQ(Join(admin, Login("AD", "ad@example.org", "Test")), "ADMIN");
    ASSERT_EQ(Join(boss, BossLogin()), "NETOWNER");
    ASSERT_EQ(Join(u1, Login("U1", "u1@example.org", "Test")), "OK");
    ASSERT_EQ(Join(u2, Login("U2", "u2@example.org", "Test")), "OK");
    ASSERT_EQ(Join(u3, Login("U3", "u3@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Test") == 5; }));
    const std::string i1 = CalcSourceId("u1@example.org"), i2 = CalcSourceId("u2@example.org"),
                      i3 = CalcSourceId("u3@example.org");
    const auto flags = [&](const std::string& Id) {
        uint32_t f = 0;
        Svc->OnTimer([&] {
            if (TZELSVCContext* c = net->MemberById(Id)) f = c->ClientFlags.load();
        });
        return f;
    };

    // A user's administrator command: refused, nothing written, nobody else touched.
    // The administrator's join refreshes its entry first.
    ASSERT_TRUE(Until([&] { return Get(Path("admins.dat")).find(StrToHexA("Town")) != std::string::npos; }));
    const std::string adminsBefore = Get(Path("admins.dat"));
    ASSERT_TRUE(u3.Send("BC:<IP>" + i1 + "</IP>\r\n"));
    EXPECT_EQ(CauseOf(u3), DC::fsdc_PrivilegeViolation);
    ASSERT_TRUE(Until([&] { return Members(u"Test") == 4; }));
    EXPECT_EQ(Get(Path("admins.dat")), adminsBefore);
    EXPECT_EQ(Get(Path("blocks.dat")), "");

    ASSERT_TRUE(admin.Send("BC:<IP>" + i2 + "</IP>\r\n"));
    EXPECT_EQ(CauseOf(u2), DC::fsdc_ServerBlock);
    EXPECT_TRUE(Until([&] { return Get(Path("blocks.dat")).find(i2) != std::string::npos; }));
    TTestClient u2b;
    EXPECT_EQ(Join(u2b, Login("U2", "u2@example.org", "Test")), "BLOCK");

    TTestClient u3b;
    ASSERT_EQ(Join(u3b, Login("U3", "u3@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] { return flags(i3) != 0; }));
    ASSERT_TRUE(boss.Send("AA:<IP>" + i3 + "</IP>\r\n"));
    EXPECT_EQ(CauseOf(u3b), DC::fsdc_ChangeRole);
    EXPECT_TRUE(Until([&] { return Get(Path("admins.dat")).find(i3) != std::string::npos; }));
    TTestClient u3c;
    ASSERT_EQ(Join(u3c, Login("U3", "u3@example.org", "Test")), "ADMIN");
    ASSERT_TRUE(Until([&] { return flags(i3) != 0; }));
    ASSERT_TRUE(boss.Send("DA:<IP>" + i3 + "</IP>\r\n"));
    EXPECT_EQ(CauseOf(u3c), DC::fsdc_ChangeRole);
    EXPECT_TRUE(Until([&] { return Get(Path("admins.dat")).find(i3) == std::string::npos; }));
    TTestClient u3d;
    EXPECT_EQ(Join(u3d, Login("U3", "u3@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] { return flags(i3) != 0; }));

    // Talk mode: members without a marked right listen only, at once; ETX and RTX change it.
    ASSERT_TRUE(Until([&] { return flags(i1) != 0; }));
    ASSERT_TRUE(boss.Send("TXR:1\r\n"));
    EXPECT_TRUE(Until([&] { return (flags(i1) & ZELClientListenOnly) != 0; }));
    ASSERT_TRUE(boss.Send("AT:<EA>u1@example.org</EA>\r\nETX:<EA>u1@example.org</EA>\r\n"));
    EXPECT_TRUE(Until([&] { return (flags(i1) & ZELClientListenOnly) == 0; }));
    ASSERT_TRUE(boss.Send("RTX:<EA>u1@example.org</EA>\r\n"));
    EXPECT_TRUE(Until([&] { return (flags(i1) & ZELClientListenOnly) != 0; }));
    EXPECT_TRUE(Until([&] { return Get(Path("rights.dat")).find(StrToHexA("U1")) != std::string::npos; }));

    // Connection mode: who has no right leaves.
    ASSERT_TRUE(boss.Send("ENA:1\r\n"));
    EXPECT_EQ(CauseOf(u3d), DC::fsdc_ServerAccessDenied);
    EXPECT_EQ(CauseOf(admin), DC::fsdc_ServerAccessDenied);
    EXPECT_TRUE(Until([&] { return Members(u"Test") == 2; }));
    EXPECT_TRUE(Until([&] { return !Get(Path("modes.dat")).empty(); }));

    // The owner moves a member to the other network.
    ASSERT_TRUE(boss.Send("MVU:" + EncodeTlvLength(24) + i1 + EncodeTlvLength(5) + "Other" + "00\r\n"));
    EXPECT_TRUE(Until([&] { return Members(u"Other") == 1; }));
    EXPECT_EQ(Groups(), "");
}

// An owner's lines in one write with its close: each acts in order while the owner leaves (the
// text reaches the others, the mute and the block their members and files, the move its member),
// and the owner is freed once, after them.
TEST_F(NetworkTest, LeavingClientsLastLinesAct) {
    StartWith("Test|OwnerEMail=boss@example.org\nOther\n");
    TZELServNetwork* net = Svc->RealNet(u"Test");
    TTestClient boss, w, x, y, z;
    ASSERT_EQ(Join(boss, BossLogin()), "NETOWNER");
    ASSERT_EQ(Join(w, Login("W", "w@example.org", "Test")), "OK");
    ASSERT_EQ(Join(x, Login("X", "x@example.org", "Test")), "OK");
    ASSERT_EQ(Join(y, Login("Y", "y@example.org", "Test")), "OK");
    ASSERT_EQ(Join(z, Login("Z", "z@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Test") == 5; }));
    const std::string ix = CalcSourceId("x@example.org"), iy = CalcSourceId("y@example.org"),
                      iz = CalcSourceId("z@example.org");
    w.Received.clear();
    ASSERT_TRUE(boss.Send("TM:<MS>last words</MS>\r\nMC:<IP>" + ix + "</IP>\r\nBC:<IP>" + iy + "</IP>\r\nMVU:" +
                          EncodeTlvLength(24) + iz + EncodeTlvLength(5) + "Other" + "00\r\n"));
    boss.Close();
    EXPECT_TRUE(w.ReadUntil([&](const std::string& R) { return R.find("last words") != std::string::npos; }, 5000));
    EXPECT_EQ(CauseOf(y), DC::fsdc_ServerBlock);
    EXPECT_TRUE(Until([&] { return Members(u"Other") == 1; }));
    EXPECT_TRUE(Until([&] { return Get(Path("mutes.dat")).find(ix) != std::string::npos; }));
    EXPECT_TRUE(Until([&] { return Get(Path("blocks.dat")).find(iy) != std::string::npos; }));
    uint32_t f = 0;
    Svc->OnTimer([&] {
        if (TZELSVCContext* c = net->MemberById(ix)) f = c->ClientFlags.load();
    });
    EXPECT_NE(f & ZELClientMuted, 0u);
    EXPECT_TRUE(Until([&] { return Held(u"Test") == 2; }));
    EXPECT_EQ(Groups(), "");
}

// Lines in one write with the connect line act once their client is a member, in order; over
// the bound of lines kept meanwhile, the rest are dropped and counted in the log. A client that
// leaves at once, before it is a member, has its line either act (it became one first) or
// dropped with the log line; it is freed once and the groups stay sound.
TEST_F(NetworkTest, EarlyLinesActOnceMemberOrAreDropped) {
    StartWith("Test\n");
    TTestClient w, e;
    ASSERT_EQ(Join(w, Login("W", "w@example.org", "Test")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Test") == 1; }));
    const auto text = [](int N) {
        const std::string n = std::to_string(N);
        return "early" + std::string(3 - n.size(), '0') + n;
    };
    std::string lines;
    for (int i = 1; i <= 40; ++i) lines += "TM:<MS>" + text(i) + "</MS>\r\n";
    ASSERT_EQ(Join(e, Login("E", "e@example.org", "Test") + lines), "OK");
    EXPECT_TRUE(w.ReadUntil([&](const std::string& R) { return R.find(text(32)) != std::string::npos; }, 5000));
    ASSERT_TRUE(LogMark());
    w.ReadFor(200);
    size_t at = 0;
    int got = 0;
    for (int i = 1; i <= 40; ++i) {
        const size_t p = w.Received.find(text(i));
        if (p == std::string::npos) continue;
        EXPECT_GT(p, at) << "in order: " << text(i);
        at = p;
        ++got;
    }
    EXPECT_GE(got, 32);
    if (got < 40) {
        EXPECT_TRUE(ClientLogged(e.LocalPort, "LINES_DROPPED Count=" + std::to_string(40 - got)));
    }
    for (int i = 1; i <= 3; ++i) {
        SCOPED_TRACE("leaving at once " + std::to_string(i));
        TTestClient l;
        const std::string bye = "gone" + std::to_string(i);
        ASSERT_EQ(Join(l, Login("L" + std::to_string(i), "l@example.org", "Test") + "TM:<MS>" + bye + "</MS>\r\n"),
                  "OK");
        l.Close();
        TFreedContext f{};
        ASSERT_TRUE(Until([&] { return Svc->Probe.Find(l.LocalPort, f); }));
        ASSERT_TRUE(LogMark());
        w.ReadFor(100);
        const bool relayed = w.Received.find(bye) != std::string::npos;
        EXPECT_NE(relayed, ClientLogged(l.LocalPort, "LINES_DROPPED Count=1"));
    }
    // W and E are left.
    EXPECT_TRUE(Until([&] { return Held(u"Test") == 2; }));
    EXPECT_EQ(Groups(), "");
}

// A refusing answer after the fall to STANDALONE is stored and changes nothing; an answer for a
// context that is gone is not followed to it.
TEST_F(NetworkTest, LateVerdictsChangeNothing) {
    StartWith("Mgr|ManagerMode=ZEL;ManagersMask=1\n");
    TZELServNetwork* mgr = Svc->RealNet(u"Mgr");
    TTestClient c, gone;
    ASSERT_EQ(Join(c, Login("C1", "c1@example.org", "Mgr")), "OK");
    ASSERT_EQ(Join(gone, Login("C2", "c2@example.org", "Mgr")), "OK");
    ASSERT_TRUE(Until([&] { return Members(u"Mgr") == 2; }));
    const AnsiString id = CalcSourceId("c1@example.org"), goneId = CalcSourceId("c2@example.org");
    TZELSVCContext* stale = nullptr;
    uint32_t staleNumber = 0;
    Svc->OnTimer([&] {
        stale = mgr->ClientById(goneId);
        staleNumber = stale->Number();
        TZELSVCContext* m = mgr->ClientById(id);
        Svc->S->PostManagerAnswer(m, m->Number(), mgr, 3, 0, 0, "", id);
    });
    gone.Close();
    ASSERT_TRUE(Until([&] { return Svc->Probe.FreedTotal() == 1; }));
    Svc->OnTimer([&] { Svc->S->PostManagerAnswer(stale, staleNumber, mgr, 4, 0, 0, "", goneId); });
    c.ReadFor(500);
    EXPECT_FALSE(c.Closed);
    EXPECT_EQ(Members(u"Mgr"), 1);
    for (const UnicodeString& l : Svc->Log.Lines) {
        EXPECT_EQ(Narrow(l).find("must not be STANDALONE"), std::string::npos);
    }
    EXPECT_EQ(Groups(), "");
}

// The floor's housekeeping runs once per 500 ms cadence: an idle member gets one idle packet per
// cadence, and a member that toggles its status every 50 ms costs the others at most one list per
// cadence.
TEST_F(FloorTest, HousekeepingPacketsComeOncePerCadence) {
    StartWith("Test\n");
    TMember a, toggler;
    JoinMember(a, Login("AAA", "a@example.org", "Test"), "a@example.org");
    JoinMember(toggler, Login("TOG", "tog@example.org", "Test"), "tog@example.org");
    ASSERT_GE(a.WaitFor([](const TPkt& p) { return p.Type == 3 && FullView(p).Ids.size() == 2; }), 0);
    const auto count = [&](uint8_t Type, size_t From) {
        return std::count_if(a.P.begin() + long(From), a.P.end(), [&](const TPkt& p) { return p.Type == Type; });
    };
    // Idle: the window spans at most 3000 / 500 + 1 cadences (a late timer only makes fewer).
    a.Pump(0);
    size_t from = a.P.size();
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(3000);
    while (std::chrono::steady_clock::now() < end) a.Pump(20);
    const long idle = count(0, from);
    EXPECT_GE(idle, 2);
    EXPECT_LE(idle, 8);
    // Status toggled every 10 ms while the timer thread is held 600 ms at a time, so each
    // cadence's batch of records holds status changes: still one list per cadence.
    from = a.P.size();
    std::atomic<bool> done{false};
    std::thread tog([&] {
        for (int i = 0; i < 1000 && !done.load(); ++i) {
            if (!toggler.C.Send(i % 2 ? "ST:1\r\n" : "ST:0\r\n")) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    constexpr int kHolds = 6;
    for (int k = 0; k < kHolds; ++k) {
        Svc->OnTimer([] { std::this_thread::sleep_for(std::chrono::milliseconds(600)); });
        a.Pump(0);
    }
    done = true;
    tog.join();
    a.Pump(100);
    ASSERT_TRUE(toggler.C.Send("ST:2\r\n"));
    const long lists = count(3, from);
    EXPECT_GE(lists, 2);
    EXPECT_LE(lists, kHolds + 2);
    // The last status still arrives.
    EXPECT_GE(a.WaitFor([](const TPkt& p) { return p.Type == 3 && FullView(p).Status.size() == 2 &&
                                                    (FullView(p).Status[0] == 2 || FullView(p).Status[1] == 2); },
                        from),
              0);
    EXPECT_EQ(Groups(), "");
}

// A listener that stops reading is dropped for bandwidth on the kernel's default socket sizes,
// although the kernel grows its send buffer to megabytes: the socket's unsent bytes count.
TEST_F(FloorTest, StalledReaderIsDroppedOnDefaultSocketSizes) {
    StartWith("Test|SpeechPause=0\n");
    TMember t, full;
    JoinMember(t, Login("TALK", "t@example.org", "Test"), "t@example.org");
    JoinMember(full, Login("FULL", "f@example.org", "Test"), "f@example.org");
    TTestClient slow;
    ASSERT_EQ(Join(slow, Login("SLOW", "slow@example.org", "Test")), "OK");
    ASSERT_GE(full.WaitFor([](const TPkt& p) { return p.Type == 3 && FullView(p).Ids.size() == 3; }), 0);
    ASSERT_TRUE(t.C.Send("TX0\r\n"));
    ASSERT_GE(t.WaitFor([](const TPkt& p) { return p.Type == 1; }), 0);
    // About 33 KB/s to each listener: the program's own buffer stays empty while the kernel takes
    // the backlog, which alone would hold the slow one for minutes.
    const std::string block = "TX1\r\n" + Block('s');
    // Within the activity time-out (30 s), which would drop it with another cause.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(25);
    TFreedContext f{};
    bool dropped = false;
    while (!dropped && std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(t.C.Send(block));
        full.Pump(50);
        t.Pump(0);
        dropped = Svc->Probe.Find(slow.LocalPort, f);
    }
    ASSERT_TRUE(dropped);
    EXPECT_EQ(f.Cause, DC::fsdc_BandWidthLimit);
    EXPECT_FALSE(full.C.Closed);
    EXPECT_EQ(Members(u"Test"), 2);
    EXPECT_EQ(Groups(), "");
}

// Verdicts found by the client's address among many waiting clients and members: each gets its
// own, whichever group it is in.
TEST_F(NetworkTest, ManyWaitingClientsGetTheirOwnVerdicts) {
    StartWith("Mgr|ManagerMode=ZEL;ManagersMask=1\n");
    TZELServNetwork* mgr = Svc->RealNet(u"Mgr");
    Svc->OnTimer([&] { LinkState(mgr, 0, true); });
    constexpr int kClients = 40;
    std::vector<std::unique_ptr<TTestClient>> cs;
    const auto mail = [](int i) { return "w" + std::to_string(i) + "@example.org"; };
    for (int i = 0; i < kClients; ++i) {
        cs.push_back(std::make_unique<TTestClient>());
        ASSERT_TRUE(cs.back()->Connect(Svc->Port));
        ASSERT_TRUE(cs.back()->Send(Login("W" + std::to_string(i), mail(i), "Mgr")));
    }
    ASSERT_TRUE(Until([&] {
        int32_t n = 0;
        Svc->OnTimer([&] { n = mgr->GroupCount(NS::ncs_AwaitingAuth); });
        return n == kClients;
    }));
    EXPECT_EQ(Groups(), "");
    // Every third is refused (wrong password), the others accepted; answered in reverse order.
    Svc->OnTimer([&] {
        for (int i = kClients - 1; i >= 0; --i) {
            const AnsiString id = CalcSourceId(mail(i));
            TZELSVCContext* c = mgr->ClientById(id);
            ASSERT_NE(c, nullptr);
            Svc->S->PostManagerAnswer(c, c->Number(), mgr, i % 3 == 0 ? 3 : ZELLoginAccepted, 0, 0, "", id);
        }
    });
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(cs[size_t(i)]->WaitLoginAnswer()) << i;
        EXPECT_EQ(AccessLevel(cs[size_t(i)]->Received), i % 3 == 0 ? "WRONG" : "OK") << i;
    }
    const int accepted = kClients - (kClients + 2) / 3;
    ASSERT_TRUE(Until([&] { return Members(u"Mgr") == accepted; }));
    EXPECT_EQ(Groups(), "");
    // Verdicts on members (a link that came up asks again): the refused ones are dropped.
    Svc->OnTimer([&] {
        for (int i = 1; i < kClients; ++i) {
            if (i % 3 == 0) continue;
            const AnsiString id = CalcSourceId(mail(i));
            TZELSVCContext* c = mgr->ClientById(id);
            ASSERT_NE(c, nullptr);
            Svc->S->PostManagerAnswer(c, c->Number(), mgr, i % 3 == 1 ? 4 : ZELLoginAccepted, 0, 0, "", id);
        }
    });
    for (int i = 1; i < kClients; ++i) {
        if (i % 3 != 1) continue;
        EXPECT_TRUE(cs[size_t(i)]->WaitClosed(5000)) << i;
        EXPECT_EQ(CauseOf(*cs[size_t(i)]), DC::fsdc_ManagerBlock) << i;
    }
    int kept = 0;
    for (int i = 0; i < kClients; ++i) kept += i % 3 == 2;
    EXPECT_TRUE(Until([&] { return Members(u"Mgr") == kept; }));
    for (int i = 0; i < kClients; ++i) {
        if (i % 3 != 2) continue;
        EXPECT_FALSE(cs[size_t(i)]->Closed) << i;
    }
    EXPECT_EQ(Groups(), "");
}

}  // namespace
}  // namespace zel::test

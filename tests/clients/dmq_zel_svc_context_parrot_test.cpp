#include "clients/dmq_zel_svc_context_parrot.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "clients/dmq_zel_svc_network.hpp"
#include "foundation/dmq_hex.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_utils.hpp"
#include "tests/support/client_packets.hpp"
#include "tests/support/client_service.hpp"
#include "tests/support/stand_in_network.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel::test {
namespace {

using Mode = TZELSVCContextParrot::TMode;

// What the bot posted, as the network's pending commands received it.
struct TPosted {
    int Code;
    std::string Text1, Text2;
    uint32_t At;  // the service's tick when it arrived
};

// The bot's network: the options the test sets, and every record the dispatcher hands it.
class ParrotNetwork : public StandInNetwork {
public:
    explicit ParrotNetwork(const TZELService& S) : S_(S) { Name_ = u"Echo"; }
    TZELSVCParrotOptions& Parrot() { return Options_.Parrot; }
    void AddPending(std::unique_ptr<TZELSVCNetQueueRecord>&& Rec) override {
        Posted.push_back({static_cast<int>(Rec->Command), Rec->Text1, Rec->Text2, S_.CurrentTick()});
    }
    std::vector<TPosted> Posted;

private:
    const TZELService& S_;
};

// The bot driven directly: a service that is never started, whose tick reads the test's clock;
// what the bot posts goes through the real service queue and dispatcher to its network.
class ParrotTest : public ::testing::Test {
protected:
    ParrotTest() : S(u"/etc/server.ini", TZELServiceConfig{}), Net(S) {
        Now = 100000;
        S.TickClock = [this] { return Now; };
        Net.Parrot().ParrotStartStopEnable = true;
        Net.Parrot().ParrotPause = 1000;
    }
    void Make() {
        P = CreateWrkCtx<TZELSVCContextParrot>(&S, &Net);
        Collect();
    }
    // The clock at T; the service's tick dispatches what was posted so far.
    void Collect() { S.TimerTick(); }
    void At(uint32_t T) {
        Now = T;
        Collect();
    }
    // One network tick of the bot at T (posts collected).
    void TickAt(uint32_t T) {
        At(T);
        P->Tick(T);
        Collect();
    }
    static std::string Voice(int I) {
        std::string v(328, char('a' + I % 26));
        v[0] = 2;
        v[1] = 0;
        v[2] = 7;
        v[3] = char(I);
        v[4] = char(I >> 8);
        return v;
    }
    // N voice packets, 200 ms apart, then the floor is free.
    void Talk(int N) {
        for (int i = 0; i < N; ++i) {
            At(Now + 200);
            P->vSend(Voice(i));
        }
        P->vSend(std::string(1, '\0'));
        Collect();
    }
    void Grant() {
        P->vSend(std::string("\x01\x00\x01", 3));
        Collect();
    }
    void Text(const std::string& Message, char Type = 4) {
        P->vSend(BuildTextPacket(Type, CalcSourceId("talker@example.org"), Message, false));
        Collect();
    }
    std::vector<TPosted> Take() { return std::exchange(Net.Posted, {}); }
    int Count(const std::vector<TPosted>& V, int Code) {
        int n = 0;
        for (const TPosted& p : V) n += p.Code == Code;
        return n;
    }
    // Ticks every 100 ms until the bot is idle (at most Limit ms); what it posted.
    std::vector<TPosted> ReplayToEnd(uint32_t Limit = 60000) {
        const uint32_t end = Now + Limit;
        while (P->Mode() != Mode::pm_Idle && Now < end) TickAt(Now + 100);
        return Take();
    }

    uint32_t Now = 0;
    TZELService S;
    ParrotNetwork Net;
    std::unique_ptr<TZELSVCContextParrot> P;
};

TEST_F(ParrotTest, CreatedAsTheDesignSays) {
    Make();
    EXPECT_EQ(P->Name(), u"Parrot");
    EXPECT_EQ(P->Id, S.ParrotId());
    EXPECT_EQ(P->Id, CalcSourceId(" "));
    EXPECT_EQ(P->Handle.load(), -1);
    EXPECT_EQ(P->ClientFlags.load(), 0x300D20u);
    EXPECT_EQ(P->Phase, 1);
    EXPECT_EQ(P->ClientType, TZELClientType::clt_PC);
    EXPECT_EQ(P->Callsign, "The Parrot");
    EXPECT_EQ(P->Description, "Talkative bird");
    EXPECT_EQ(P->Country, "The tree");
    EXPECT_EQ(P->City, "The branch");
    EXPECT_EQ(P->Band, "Parrot");
    EXPECT_EQ(P->SortKey, BufToSortKeyA(" 0", 2));
    EXPECT_NE(P->ClassicEntry.find("<ON>The Parrot</ON>"), std::string::npos);
    EXPECT_NE(P->CompactEntry.find("The Parrot"), std::string::npos);
    EXPECT_EQ(P->Mode(), Mode::pm_Idle);
    EXPECT_TRUE(P->Enabled());
    // No worker ever stops it.
    EXPECT_THROW(P->vExecStop(nullptr), Exception);
    EXPECT_EQ(std::string(P->GreetingPacket()),
              BuildTextPacket(4, P->Id, "Parrot is started. Type message \"stop\" to stop parrot.", false));
    EXPECT_TRUE(Take().empty());
}

TEST_F(ParrotTest, RecordsPausesRequestsAndReplaysAtThePaceOfSpeech) {
    Make();
    Talk(20);
    EXPECT_EQ(P->Mode(), Mode::pm_Pausing);
    EXPECT_EQ(P->FrameCount(), 20u);
    EXPECT_EQ(P->BlockCount(), 1u);
    const uint32_t released = Now;
    // Within the pause no request; from then on one at every tick until the grant.
    for (uint32_t t = released + 100; t < released + 1000; t += 100) TickAt(t);
    EXPECT_TRUE(Take().empty());
    for (uint32_t t = released + 1000; t <= released + 1200; t += 100) TickAt(t);
    const std::vector<TPosted> requests = Take();
    EXPECT_EQ(requests.size(), 3u);
    EXPECT_EQ(Count(requests, 59), 3);

    Grant();
    const uint32_t granted = Now;
    EXPECT_EQ(P->Mode(), Mode::pm_Replaying);
    std::vector<TPosted> out = Take();
    ASSERT_EQ(out.size(), 1u);  // one frame at once
    for (const TPosted& p : ReplayToEnd()) out.push_back(p);
    ASSERT_EQ(out.size(), 21u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(out[size_t(i)].Code, 60) << i;
        EXPECT_EQ(out[size_t(i)].Text1, Voice(i)) << i;
        EXPECT_EQ(out[size_t(i)].At, granted + 200u * uint32_t(i)) << i;
    }
    EXPECT_EQ(out.back().Code, 58);
    EXPECT_EQ(P->FrameCount(), 0u);
    EXPECT_EQ(P->BlockCount(), 0u);
    // The floor free that follows the release changes nothing.
    P->vSend(std::string(1, '\0'));
    Collect();
    EXPECT_EQ(P->Mode(), Mode::pm_Idle);
    EXPECT_TRUE(Take().empty());
}

TEST_F(ParrotTest, RepeatsAndStalls) {
    Net.Parrot().ParrotRepeatCount = 2;
    Make();
    Talk(3);
    TickAt(Now + 1000);
    ASSERT_EQ(Count(Take(), 59), 1);
    Grant();
    const std::vector<TPosted> out = ReplayToEnd();
    std::vector<std::string> frames;
    for (const TPosted& p : out)
        if (p.Code == 60) frames.push_back(p.Text1);
    // Two plays of the three frames.
    const std::vector<std::string> twice{Voice(0), Voice(1), Voice(2), Voice(0), Voice(1), Voice(2)};
    EXPECT_EQ(frames, twice);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().Code, 58);

    // A stall of a second: the five frames it missed go out in one step.
    Net.Parrot().ParrotRepeatCount = 1;
    P = CreateWrkCtx<TZELSVCContextParrot>(&S, &Net);
    Talk(12);
    TickAt(Now + 1000);
    Grant();
    Take();
    TickAt(Now + 1000);
    const std::vector<TPosted> burst = Take();
    EXPECT_EQ(Count(burst, 60), 5);
    EXPECT_EQ(burst.back().Text1, Voice(5));
}

TEST_F(ParrotTest, RecordingBounds) {
    const struct {
        uint32_t MaxRecordMs;
        bool Disabled;
        int Offered;
        uint32_t Stored;
    } cases[] = {
        {60000, false, 400, 300},
        {300000, false, 2000, 1500},
        {300000, true, 50, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.MaxRecordMs);
        Net.Parrot().ParrotMaxRecordTime = c.MaxRecordMs;
        P = CreateWrkCtx<TZELSVCContextParrot>(&S, &Net);
        if (c.Disabled) Text("stop");
        Take();
        for (int i = 0; i < c.Offered; ++i) P->vSend(Voice(i));
        EXPECT_EQ(P->FrameCount(), c.Stored);
        EXPECT_EQ(P->RecordedMs(), c.Stored * 200);
        // Blocks of 50 frames, made only as needed.
        EXPECT_EQ(P->BlockCount(), (c.Stored + 49) / 50);
        if (c.Stored > 0) {
            EXPECT_EQ(std::string(P->Frame(c.Stored - 1)), Voice(int(c.Stored) - 1));
        }
        // A packet that is not a whole voice packet is never stored.
        P->vSend(std::string(100, '\x02'));
        EXPECT_EQ(P->FrameCount(), c.Stored);
        P->vSend(std::string(1, '\0'));
        // Disabled: the pause ends at once, nothing is asked for.
        EXPECT_EQ(P->Mode(), c.Disabled ? Mode::pm_Idle : Mode::pm_Pausing);
        TickAt(Now + 5000);
        EXPECT_EQ(Count(Take(), 59), c.Disabled ? 0 : 1);
    }
}

// The START and STOP texts: Enabled, the description, the status record and the answer, which
// goes to all members as the bot's own "TM:" line.
TEST_F(ParrotTest, StartAndStopTexts) {
    const std::string startedLong = "Parrot is started. Type message \"stop\" to stop parrot.";
    const std::string startedAlready = "Parrot is started already. Type message \"stop\" to stop parrot.";
    const std::string stoppedLong = "Parrot is stopped. Type message \"start\" to start parrot.";
    const std::string stoppedAlready = "Parrot is stopped already. Type message \"start\" to start parrot.";
    const struct {
        bool StartStop;
        bool Silent;  // MessageDisabled
        bool Before;
        std::string Message;
        char Type;
        bool After;
        std::string Answer;  // "-": the command did not count (no status record either)
    } cases[] = {
        {true, false, true, "START", 4, true, startedAlready},
        {true, false, true, "stop", 4, false, stoppedLong},
        {true, false, false, "start", 4, true, startedLong},
        {true, false, false, "STOP", 4, false, stoppedAlready},
        {true, false, true, "Start ", 4, true, startedAlready},
        {true, false, false, " \tsTaRt ", 4, true, startedLong},
        {true, false, true, "stopp", 4, true, "-"},
        {true, false, true, "please stop", 4, true, "-"},
        {true, false, true, "Stop", '\x85', false, stoppedLong},
        {false, false, true, "start", 4, true, "Parrot is started already."},
        {false, false, true, "stop", 4, true, "Parrot can not be stopped."},
        {true, true, true, "stop", 4, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Message + (c.StartStop ? " start/stop" : " fixed") + (c.Before ? " on" : " off"));
        Net.Parrot().ParrotStartStopEnable = c.StartStop;
        Net.Parrot().ParrotMessageDisable = c.Silent;
        P = CreateWrkCtx<TZELSVCContextParrot>(&S, &Net);
        if (!c.Before) Text("stop");
        ASSERT_EQ(P->Enabled(), c.Before);
        Take();
        const uint32_t serial = P->EntrySerial;
        Text(c.Message, c.Type);
        const std::vector<TPosted> out = Take();
        EXPECT_EQ(P->Enabled(), c.After);
        EXPECT_EQ(P->Description, c.After ? "Talkative bird" : "Silent bird");
        if (c.Answer == "-") {
            EXPECT_TRUE(out.empty());
            EXPECT_EQ(P->EntrySerial, serial);
            continue;
        }
        EXPECT_EQ(P->EntrySerial, serial + 1);
        EXPECT_NE(P->ClientFlags.load() & ZELClientEntryChanged, 0u);
        EXPECT_NE(P->ClassicEntry.find(P->Description), std::string::npos);
        EXPECT_EQ(P->SortKey, BufToSortKeyA(" 0", 2));
        ASSERT_GE(out.size(), 1u);
        EXPECT_EQ(out[0].Code, 83);
        if (c.Answer.empty()) {
            EXPECT_EQ(out.size(), 1u);
            EXPECT_TRUE(P->GreetingPacket().empty());
            continue;
        }
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[1].Code, 62);
        EXPECT_EQ(out[1].Text1, "");
        EXPECT_EQ(out[1].Text2, BuildTextPacket(4, P->Id, c.Answer, false));
        // The greeting follows the state.
        const std::string greeting = c.StartStop ? (c.After ? startedLong : stoppedLong)
                                                 : (c.After ? "Parrot is started." : "Parrot is stopped.");
        EXPECT_EQ(std::string(P->GreetingPacket()), BuildTextPacket(4, P->Id, greeting, false));
    }
    // A START to a stopped bot that cannot be switched has no text; a packet too short or
    // without its third line is no command.
    Net.Parrot().ParrotStartStopEnable = true;
    Net.Parrot().ParrotMessageDisable = false;
    P = CreateWrkCtx<TZELSVCContextParrot>(&S, &Net);
    Take();
    for (const std::string& bad : {std::string("\x04" "3\r\nSTOP"), std::string("\x04" "3\r\nidididid\r\n"),
                                   std::string("\x04stop")}) {
        P->vSend(bad);
        Collect();
    }
    EXPECT_TRUE(Take().empty());
    EXPECT_TRUE(P->Enabled());
    // The message is read up to its line end, within the packet.
    P->vSend(std::string("\x04" "3\r\nid\r\nstop"));
    Collect();
    EXPECT_FALSE(P->Enabled());
}

// STOP while the recording plays: the replay ends before the frames go, and no later step reads
// them (under ASan a read of freed frames fails the test).
TEST_F(ParrotTest, StopDuringAReplayEndsIt) {
    Make();
    Talk(20);
    TickAt(Now + 1000);
    Grant();
    TickAt(Now + 100);
    TickAt(Now + 100);
    Take();
    Text("stop");
    const std::vector<TPosted> out = Take();
    EXPECT_EQ(P->Mode(), Mode::pm_Idle);
    EXPECT_EQ(P->FrameCount(), 0u);
    EXPECT_EQ(P->BlockCount(), 0u);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].Code, 58);
    EXPECT_EQ(out[1].Code, 83);
    EXPECT_EQ(out[2].Code, 62);
    for (int i = 0; i < 10; ++i) TickAt(Now + 200);
    EXPECT_TRUE(Take().empty());
    // A replay cut by a floor-free packet ends the same way.
    Text("start");
    Talk(5);
    TickAt(Now + 1000);
    Grant();
    Take();
    P->vSend(std::string(1, '\0'));
    Collect();
    EXPECT_EQ(P->Mode(), Mode::pm_Idle);
    EXPECT_EQ(P->FrameCount(), 0u);
    const std::vector<TPosted> cut = Take();
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].Code, 58);
}

// A grant with nothing to play is given back at once, so the floor never stays with the bot.
TEST_F(ParrotTest, GrantWithNothingToPlayIsReleased) {
    Make();
    Grant();
    std::vector<TPosted> out = Take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Code, 58);
    EXPECT_EQ(P->Mode(), Mode::pm_Idle);
    // A late grant for a request made before STOP dropped the recording.
    Talk(5);
    TickAt(Now + 1000);
    ASSERT_EQ(Count(Take(), 59), 1);
    Text("stop");
    Take();
    Grant();
    out = Take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Code, 58);
    EXPECT_EQ(P->Mode(), Mode::pm_Idle);
}

// The network makes, joins and frees its bot (ASan reports a leak otherwise).
TEST_F(ParrotTest, TheNetworkOwnsItsBot) {
    TZELServNetworkRec rec;
    rec.Name = u"Echo";
    {
        TZELServNetwork plain(S, rec);
        EXPECT_EQ(plain.ParrotBot(), nullptr);
        EXPECT_EQ(plain.MemberCount(), 0);
    }
    rec.Options.Parrot.ParrotEnable = true;
    auto net = std::make_unique<TZELServNetwork>(S, rec);
    TZELSVCContextParrot* bot = net->ParrotBot();
    ASSERT_NE(bot, nullptr);
    EXPECT_EQ(bot->Network(), net.get());
    EXPECT_EQ(net->MemberCount(), 1);
    EXPECT_EQ(net->MemberById(S.ParrotId()), bot);
    EXPECT_EQ(net->CheckGroups(), "");
    TZELSVCWrkCtxBase* found = nullptr;
    EXPECT_EQ(net->FindActiveClient(S.ParrotId(), found), ZELFindParrot);
    for (int i = 0; i < 120; ++i) bot->vSend(Voice(i));
    EXPECT_EQ(bot->BlockCount(), 3u);
    // Muting the bot needs ParrotMuteEnable.
    net->MuteClientById(S.ParrotId());
    EXPECT_EQ(bot->ClientFlags.load() & ZELClientMuted, 0u);
    net.reset();
    rec.Options.Parrot.ParrotMuteEnable = true;
    net = std::make_unique<TZELServNetwork>(S, rec);
    net->MuteClientById(S.ParrotId());
    EXPECT_NE(net->ParrotBot()->ClientFlags.load() & ZELClientMuted, 0u);
}

// ---------------------------------------------------------------------------------------------
// End to end: the real networks on loopback.

class ParrotLoopback : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        Put(Path("networks.cfg"), "Echo|ParrotEnable=yes;ParrotStartStopEnable=yes;ParrotPause=100\n"
                                  "Short|ParrotEnable=yes;ParrotPause=100;ShortFrames=yes\n");
        TClientSettings set;
        set.RealNetworks = true;
        set.ActivityTimeout = 30;
        set.Setup = [this](TZELService& S) {
            S.SetDataDir(DecodeUtf8U(dir_));
            S.SetNetworksFileName(DecodeUtf8U(Path("networks.cfg")));
        };
        Svc = std::make_unique<TClientService>(set);
        ASSERT_TRUE(Svc->Start());
    }
    void TearDown() override {
        Svc.reset();
        TempDirTest::TearDown();
    }
    // Ext: more tags of the connect line.
    void JoinMember(TMember& M, const std::string& Call, const std::string& Net = "Echo", const std::string& Ext = "") {
        M.Mail = Call + "@example.org";
        ASSERT_TRUE(M.C.Connect(Svc->Port));
        ASSERT_TRUE(M.C.Send("CT:<VX>2014004</VX><EA>" + M.Mail + "</EA><PW>pw</PW><ON>" + Call +
                             "</ON><BC>PC Only</BC><CT>Town</CT><NN>Land</NN><NT>" + Net + "</NT>" + Ext + "\r\n"));
        ASSERT_TRUE(M.C.WaitLoginAnswer());
        const size_t a = M.C.Received.find("\r\n");
        M.Parsed = M.C.Received.find("\r\n", a + 2) + 2;
    }
    uint16_t BotIndex(UnicodeView Net = u"Echo") {
        uint16_t i = 0;
        Svc->OnTimer([&] { i = Svc->RealNet(Net)->ParrotBot()->ListIndex; });
        return i;
    }
    static bool IsText(const TPkt& P, const std::string& Message) {
        return P.Type == 4 && P.Bytes.find("\r\n" + Message + "\r\n") != std::string::npos;
    }

    std::unique_ptr<TClientService> Svc;
};

TEST_F(ParrotLoopback, EchoesATalkToEveryMember) {
    TMember a, b;
    JoinMember(a, "AAA");
    JoinMember(b, "BBB");
    // Each is greeted by the bot.
    const std::string greeting = "Parrot is started. Type message \"stop\" to stop parrot.";
    for (TMember* m : {&a, &b}) ASSERT_GE(m->WaitFor([&](const TPkt& p) { return IsText(p, greeting); }), 0);
    // Both are listed beside the bot before A talks.
    ASSERT_GE(b.WaitFor([](const TPkt& p) { return p.Type == 3 && p.Bytes.find("<ON>AAA</ON>") != std::string::npos; }),
              0);
    const uint16_t bot = BotIndex();
    ASSERT_GE(bot, 1);

    const size_t fromA = a.P.size(), fromB = b.P.size();
    ASSERT_TRUE(a.C.Send("TX0\r\n"));
    ASSERT_GE(a.WaitFor([](const TPkt& p) { return p.Type == 1; }, fromA), 0);
    std::vector<std::string> blocks;
    for (int i = 0; i < 10; ++i) {
        blocks.push_back(std::string(325, char('A' + i)));
        ASSERT_TRUE(a.C.Send("TX1\r\n" + blocks.back()));
    }
    ASSERT_TRUE(a.C.Send("RX0\r\n"));
    // B hears A's ten blocks, then the floor is free.
    ASSERT_GE(b.WaitFor([&](const TPkt& p) { return p.Type == 2 && p.Bytes.substr(3) == blocks[9]; }, fromB), 0);

    // After the pause the bot plays the ten blocks back to both, with its own index, a frame
    // per 200 ms, and gives the floor back.
    for (TMember* m : {&a, &b}) {
        SCOPED_TRACE(m->Mail);
        const size_t from = m == &a ? fromA : fromB;
        std::vector<std::chrono::steady_clock::time_point> when;
        std::vector<size_t> at;
        size_t next = from;
        for (int i = 0; i < 10; ++i) {
            const int k = m->WaitFor(
                [&](const TPkt& p) { return p.Type == 2 && p.Index() == bot && p.Bytes.substr(3) == blocks[size_t(i)]; },
                next, 6000);
            ASSERT_GE(k, 0) << "echo " << i;
            next = size_t(k) + 1;
            at.push_back(size_t(k));
            when.push_back(std::chrono::steady_clock::now());
        }
        ASSERT_GE(m->WaitFor([](const TPkt& p) { return p.Type == 0; }, next, 3000), 0);
        if (m == &a) {
            // Read as they came (the second member's are read afterwards, all at once).
            const auto spread = std::chrono::duration_cast<std::chrono::milliseconds>(when.back() - when.front());
            EXPECT_GE(spread.count(), 1000);
            EXPECT_LE(spread.count(), 5000);
        }
    }

    // "stop" to all: both members get the stopped text; a further talk is not played back.
    const std::string stopped = "Parrot is stopped. Type message \"start\" to start parrot.";
    const size_t markA = a.P.size(), markB = b.P.size();
    ASSERT_TRUE(b.C.Send("TM:<MS>stop</MS>\r\n"));
    for (TMember* m : {&a, &b})
        EXPECT_GE(m->WaitFor([&](const TPkt& p) { return IsText(p, stopped); }, m == &a ? markA : markB), 0)
            << m->Mail;
    const size_t quiet = b.P.size();
    ASSERT_TRUE(a.C.Send("TX0\r\n"));
    ASSERT_GE(a.WaitFor([](const TPkt& p) { return p.Type == 1; }, a.P.size()), 0);
    ASSERT_TRUE(a.C.Send("TX1\r\n" + blocks[0]));
    ASSERT_TRUE(a.C.Send("RX0\r\n"));
    b.Pump(1500);
    EXPECT_FALSE(b.Has([&](const TPkt& p) { return p.Type == 2 && p.Index() == bot; }, quiet));
}

// A talker that mixes short frames and full blocks is heard in the order it spoke: a member
// without short frames gets the frames before a full block padded with silence, then the block,
// then the rest padded at the release; the Parrot plays the same order back.
TEST_F(ParrotLoopback, MixedShortFramesAndBlocksKeepTheirOrder) {
    TMember t, f;
    JoinMember(t, "TTT", "Short", "<CEF>16</CEF>");
    JoinMember(f, "FFF", "Short");
    ASSERT_GE(f.WaitFor([](const TPkt& p) { return p.Type == 3 && p.Bytes.find("<ON>TTT</ON>") != std::string::npos; }),
              0);
    const uint16_t bot = BotIndex(u"Short");
    ASSERT_GE(bot, 1);
    const size_t fromF = f.P.size();
    ASSERT_TRUE(t.C.Send("TX0\r\n"));
    ASSERT_GE(t.WaitFor([](const TPkt& p) { return p.Type == 1; }), 0);
    const auto frame = [](char Fill) { return std::string(65, Fill); };
    for (char k : {'a', 'b', 'c'}) ASSERT_TRUE(t.C.Send("TX8\r\n" + frame(k)));
    ASSERT_TRUE(t.C.Send("TX1\r\n" + std::string(325, 'V')));
    for (char k : {'d', 'e'}) ASSERT_TRUE(t.C.Send("TX8\r\n" + frame(k)));
    ASSERT_TRUE(t.C.Send("RX0\r\n"));

    const std::string silence =
        "204817D684028024499224890280244992248902802449922489028024499224098274614D28004892244992280048922449922800489224499228004892244992";
    const std::vector<std::string> spoken = {
        StrToHexA(frame('a') + frame('b') + frame('c')) + silence + silence,
        StrToHexA(std::string(325, 'V')),
        StrToHexA(frame('d') + frame('e')) + silence + silence + silence,
    };
    // The blocks of one sender, in the order received, as hex; the housekeeping's silence while
    // the talker pauses is no block of its own.
    const std::string pause = silence + silence + silence + silence + silence;
    const auto blocksOf = [&](size_t From, bool FromBot) {
        std::vector<std::string> v;
        for (size_t i = From; i < f.P.size(); ++i) {
            if (f.P[i].Type != 2 || (f.P[i].Index() == bot) != FromBot) continue;
            std::string hex = StrToHexA(f.P[i].Bytes.substr(3));
            if (hex != pause) v.push_back(std::move(hex));
        }
        return v;
    };
    ASSERT_GE(f.WaitFor([&](const TPkt&) { return blocksOf(fromF, false).size() >= spoken.size(); }, fromF), 0);
    EXPECT_EQ(blocksOf(fromF, false), spoken);
    ASSERT_GE(f.WaitFor([&](const TPkt&) { return blocksOf(fromF, true).size() >= spoken.size(); }, fromF, 8000), 0);
    EXPECT_EQ(blocksOf(fromF, true), spoken);
}

}  // namespace
}  // namespace zel::test

#include "clients/dmq_zel_svc_floor.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "clients/dmq_zel_svc_context.hpp"
#include "clients/dmq_zel_svc_packets.hpp"
#include "tests/support/socketless_client.hpp"

namespace zel {
namespace {

using TCtx = test::SocketlessClient;
using NS = TZELNetClientState;

std::unique_ptr<TCtx> Member(uint16_t Index = 1) {
    auto c = CreateWrkCtx<TCtx>(nullptr, -1, "10.0.0.1", 1, 0);
    c->NetState = NS::ncs_Member;
    c->ClientFlags = ZELNetFlagLoggedIn;  // joined: none of the login's initial bits
    c->ListIndex = Index;
    return c;
}

TZELSVCNetworkOptions Options(uint32_t Pause, bool Limit = true, uint32_t MaxSpeech = 10000) {
    TZELSVCNetworkOptions o;
    o.SpeechPause = Pause;
    o.SpeechLimit = Limit;
    o.MaxSpeechTime = MaxSpeech;
    return o;
}

bool Holds(const TCtx& C) { return (C.ClientFlags.load() & ZELClientHoldsFloor) != 0; }

// The request and release table: who gets the floor, when, and what a grant and a release change.
TEST(FloorRulesTest, GrantsOneTalkerAndHoldsTheFloorThroughThePause) {
    TZELNetFloor f(Options(1000));
    auto a = Member(1), b = Member(2);
    EXPECT_EQ(f.Talker(), nullptr);
    EXPECT_EQ(f.MemberFlagMask() & ZELNetFlagLoggedIn, 0u);

    ASSERT_TRUE(f.Grant(*a, 5000));
    EXPECT_EQ(f.Talker(), a.get());
    EXPECT_TRUE(Holds(*a));
    EXPECT_EQ(a->FloorStart, 5000u);
    EXPECT_EQ(a->LastVoice, 5000u);
    EXPECT_EQ(f.TalkerIndex(), 1);
    EXPECT_NE(f.MemberFlagMask() & ZELNetFlagLoggedIn, 0u);
    EXPECT_FALSE(f.Grant(*b, 5001)) << "a second talker";
    EXPECT_FALSE(f.Grant(*a, 5001)) << "the talker again";

    f.Release(*b, 6000);  // not the talker: nothing changes
    EXPECT_EQ(f.Talker(), a.get());
    EXPECT_FALSE(f.PauseActive());

    f.Release(*a, 6000);
    EXPECT_EQ(f.Talker(), nullptr);
    EXPECT_FALSE(Holds(*a));
    EXPECT_EQ(f.TalkerIndex(), 0);
    EXPECT_EQ(f.MemberFlagMask() & ZELNetFlagLoggedIn, 0u);
    EXPECT_TRUE(f.PauseActive());

    EXPECT_FALSE(f.Grant(*b, 6999)) << "within the pause";
    EXPECT_TRUE(f.PauseActive());
    EXPECT_TRUE(f.Grant(*b, 7000)) << "the first request after the pause";
    EXPECT_FALSE(f.PauseActive());
    f.Release(*b, 7100);
    f.Tick(8099);
    EXPECT_TRUE(f.PauseActive());
    f.Tick(8100);
    EXPECT_FALSE(f.PauseActive());
}

TEST(FloorRulesTest, NoPauseWithoutSpeechPauseAndNoGrantBeforeTheJoinEnds) {
    TZELNetFloor f(Options(0));
    auto a = Member(1);
    ASSERT_TRUE(f.Grant(*a, 100));
    f.Release(*a, 200);
    EXPECT_FALSE(f.PauseActive());
    EXPECT_TRUE(f.Grant(*a, 200));
    f.Release(*a, 300);

    const struct {
        NS State;
        uint32_t Flags;
        bool Granted;
    } cases[] = {
        {NS::ncs_Member, 0, true},
        {NS::ncs_Member, ZELClientJoining, false},
        {NS::ncs_Approved, 0, false},
        {NS::ncs_Newbie, 0, false},
        {NS::ncs_Aborted, 0, false},
    };
    for (const auto& k : cases) {
        auto c = Member(3);
        c->NetState = k.State;
        c->ClientFlags = ZELNetFlagLoggedIn | k.Flags;
        EXPECT_EQ(f.Grant(*c, 400), k.Granted) << int(k.State) << " " << k.Flags;
        if (f.Talker() == c.get()) f.Release(*c, 400);
        EXPECT_EQ(f.Talker(), nullptr);
    }
}

TEST(FloorRulesTest, RequestStopAndAnswerRulesFollowTheFlags) {
    const struct {
        uint32_t Flags;
        bool MayAsk, MayStop;
    } cases[] = {
        {0, true, false},
        {ZELClientListenOnly, false, false},
        {ZELClientMuted, false, false},
        {ZELClientHoldsFloor, true, true},
        {ZELClientHoldsFloor | ZELClientJoining, true, false},
        {ZELClientHoldsFloor | ZELClientClosing, true, false},
        {ZELClientHoldsFloor | ZELClientMuted, false, true},
    };
    for (const auto& k : cases) {
        EXPECT_EQ(TZELNetFloor::MayAsk(k.Flags), k.MayAsk) << k.Flags;
        EXPECT_EQ(TZELNetFloor::MayStop(k.Flags), k.MayStop) << k.Flags;
    }

    TZELNetFloor f(Options(0));
    auto a = Member(0x0102), b = Member(2);
    EXPECT_FALSE(f.GrantAnswerDue(*a));
    ASSERT_TRUE(f.Grant(*a, 1));
    EXPECT_TRUE(f.GrantAnswerDue(*a));
    EXPECT_FALSE(f.GrantAnswerDue(*b));
    a->ClientFlags.fetch_or(ZELClientClosing);
    EXPECT_FALSE(f.GrantAnswerDue(*a));
    const auto p = TZELNetFloor::GrantPacket(a->ListIndex);
    EXPECT_EQ(std::string(p.data(), p.size()), std::string("\x01\x01\x02", 3));
}

// The speech check: the turn's length (SpeechLimit, MaxSpeechTime) and the talker's silence (the
// activity time-out plus 2 s).
TEST(FloorRulesTest, SpeechCheckFindsTheEndOfTheTurnAndASilentTalker) {
    constexpr uint32_t kActivity = 30000;
    const struct {
        bool Limit;
        uint32_t SinceStart, SinceVoice;
        TZELNetSpeech Found;
    } cases[] = {
        {true, 0, 0, TZELNetSpeech::nsp_Within},
        {true, 9999, 0, TZELNetSpeech::nsp_Within},
        {true, 10000, 0, TZELNetSpeech::nsp_Over},
        {true, 10000, kActivity + 2001, TZELNetSpeech::nsp_Over},
        {true, 9999, kActivity + 2000, TZELNetSpeech::nsp_Within},
        {true, 9999, kActivity + 2001, TZELNetSpeech::nsp_Silent},
        {false, 500000, 0, TZELNetSpeech::nsp_Within},
        {false, 500000, kActivity + 2001, TZELNetSpeech::nsp_Silent},
    };
    for (const auto& k : cases) {
        TZELNetFloor f(Options(0, k.Limit, 10000));
        auto a = Member(1);
        const uint32_t start = 0xFFFFF000u;  // the tick wraps within the turn
        ASSERT_TRUE(f.Grant(*a, start));
        const uint32_t now = start + k.SinceStart;
        a->LastVoice = now - k.SinceVoice;
        EXPECT_EQ(f.CheckSpeech(*a, now, kActivity), k.Found) << k.Limit << " " << k.SinceStart << " " << k.SinceVoice;
    }
}

TEST(FloorRulesTest, OnlyTheTalkerSendsBlocksOfTheRightSizeAndFlags) {
    TZELNetFloor f(Options(0));
    auto a = Member(1), b = Member(2);
    ASSERT_TRUE(f.Grant(*a, 1));
    a->ClientFlags.fetch_or(0x4000);
    EXPECT_TRUE(f.TakesVoice(*a, ZELNetVoicePacketSize));
    EXPECT_FALSE(f.TakesVoice(*a, ZELNetVoicePacketSize - 1));
    EXPECT_TRUE(f.TakesShort(*a, ZELNetShortPacketSize));
    EXPECT_FALSE(f.TakesShort(*a, ZELNetVoicePacketSize));
    b->ClientFlags.fetch_or(ZELNetFlagLoggedIn | ZELClientHoldsFloor | 0x4000);
    EXPECT_FALSE(f.TakesVoice(*b, ZELNetVoicePacketSize)) << "not the talker";
    for (uint32_t bit : {ZELClientListenOnly, ZELClientMuted, ZELClientJoining, ZELClientClosing}) {
        a->ClientFlags.fetch_or(bit);
        EXPECT_FALSE(f.TakesVoice(*a, ZELNetVoicePacketSize)) << bit;
        EXPECT_FALSE(f.TakesShort(*a, ZELNetShortPacketSize)) << bit;
        a->ClientFlags.fetch_and(~bit);
    }
    a->ClientFlags.fetch_and(~0x4000u);
    EXPECT_TRUE(f.TakesVoice(*a, ZELNetVoicePacketSize));
    EXPECT_FALSE(f.TakesShort(*a, ZELNetShortPacketSize)) << "takes no short frames";
}

AnsiString ShortBlock(char Fill) {
    AnsiString b(ZELNetShortPacketSize, Fill);
    b[0] = ZELPacketShortBlock;
    return b;
}

// Short frames go out as one voice packet: five of them at once, fewer padded with silence.
TEST(FloorRulesTest, CollectorPadsMissingFramesWithSilence) {
    TZELNetFloor f(Options(0));
    auto a = Member(0x0A0B);
    ASSERT_TRUE(f.Grant(*a, 1));
    const AnsiString silence = f.SilenceVoice();
    ASSERT_EQ(silence.size(), ZELNetVoicePacketSize);
    EXPECT_EQ(silence.substr(0, 3), AnsiString("\x02\x0A\x0B", 3));
    EXPECT_EQ(f.SilenceShort().size(), ZELNetShortPacketSize);
    EXPECT_EQ(f.SilenceShort().substr(3), silence.substr(3, 65));

    for (char c : {'a', 'b', 'c'}) EXPECT_FALSE(f.CollectShort(ShortBlock(c)));
    EXPECT_EQ(f.CollectorCount(), 3);
    const AnsiString packet = f.TakeCollector();
    EXPECT_EQ(f.CollectorCount(), 0);
    ASSERT_EQ(packet.size(), ZELNetVoicePacketSize);
    EXPECT_EQ(packet.substr(0, 3), AnsiString("\x02\x0A\x0B", 3));
    EXPECT_EQ(packet.substr(3, 65 * 3), AnsiString(65, 'a') + AnsiString(65, 'b') + AnsiString(65, 'c'));
    EXPECT_EQ(packet.substr(3 + 65 * 3), silence.substr(3 + 65 * 3));

    for (char c : {'1', '2', '3', '4'}) EXPECT_FALSE(f.CollectShort(ShortBlock(c)));
    EXPECT_TRUE(f.CollectShort(ShortBlock('5')));
    EXPECT_EQ(f.TakeCollector().substr(3 + 65 * 4), AnsiString(65, '5'));

    // A new turn starts with an empty collector.
    EXPECT_FALSE(f.CollectShort(ShortBlock('x')));
    f.Release(*a, 2);
    ASSERT_TRUE(f.Grant(*a, 3));
    EXPECT_EQ(f.CollectorCount(), 0);
}

TEST(FloorRulesTest, SilenceIsDueHalfASecondAfterTheLastRelay) {
    TZELNetFloor f(Options(0));
    auto a = Member(1);
    ASSERT_TRUE(f.Grant(*a, 10000));
    f.NoteVoice(*a, 10000);
    EXPECT_EQ(a->LastVoice, 10000u);
    EXPECT_FALSE(f.SilenceDue(10499));
    EXPECT_TRUE(f.SilenceDue(10500));
    EXPECT_FALSE(f.SilenceDue(10999)) << "the burst starts anew";
    EXPECT_TRUE(f.SilenceDue(11000));
}

TEST(FloorRulesTest, SpeakerTextIsRebuiltOnlyForANewSpeakerKey) {
    TZELNetFloor f(Options(0));
    auto a = Member(1);
    EXPECT_FALSE(f.SpeakerTextStale()) << "nobody talks";
    ASSERT_TRUE(f.Grant(*a, 1));
    EXPECT_TRUE(f.SpeakerTextStale());
    f.SetSpeakerText("entry");
    EXPECT_EQ(f.SpeakerText(), AnsiString(1, ZELPacketSpeaker) + "entry");
    EXPECT_FALSE(f.SpeakerTextStale());
    f.Release(*a, 2);
    ASSERT_TRUE(f.Grant(*a, 3));
    EXPECT_FALSE(f.SpeakerTextStale()) << "the same speaker, the same entry";
    ++a->EntrySerial;
    EXPECT_TRUE(f.SpeakerTextStale());
}

}  // namespace
}  // namespace zel

#include "clients/dmq_zel_svc_context.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "tests/support/client_login_env.hpp"

namespace zel {
namespace {

using namespace test;

TEST(ZELSVCContext, ManagerAcceptTable) {
    const char* table[4] = {"111111", "111111", "111001", "110000"};
    for (int m = 0; m < 4; ++m)
        for (uint8_t a = 0; a < 6; ++a)
            EXPECT_EQ(TZELSVCContext::ManagerAccepts(static_cast<Mode>(m), a), table[m][a] == '1') << m << a;
}

TEST(ZELSVCContext, ManagerVerdict) {
    struct Row {
        const char* Name;
        Mode NetMode;
        uint32_t Mask;
        std::array<uint8_t, 3> Answers;
        bool Accepted;
        uint8_t Reason;  // 99: unchanged
    } rows[] = {
        {"no link selected", Mode::smm_ZEL, 0, {3, 3, 3}, false, 99},
        {"one link, no answer yet", Mode::smm_ZEL, 2, {3, 0, 3}, true, 0},
        {"one link, WRONG", Mode::smm_ZEL, 2, {1, 3, 1}, false, 3},
        {"one link, OK", Mode::smm_ZEL, 4, {3, 3, 1}, true, 0},
        {"one link, ERROR under LIGHT", Mode::smm_Light, 1, {2, 3, 3}, true, 0},
        {"three links, DUPL first", Mode::smm_ZEL, 7, {2, 5, 3}, false, 5},
        {"three links, WRONG before BLOCK", Mode::smm_ZEL, 7, {4, 3, 2}, false, 3},
        {"three links, BLOCK before ERROR", Mode::smm_ZEL, 7, {4, 2, 4}, false, 4},
        {"three links, one accepts", Mode::smm_Light, 7, {4, 2, 3}, true, 0},
        {"three links, all ERROR", Mode::smm_ZEL, 7, {2, 2, 2}, false, 2},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        TEnv e;
        e.Test->ManagerMode = r.NetMode;
        e.Test->Mask = r.Mask;
        auto c = e.NewClient();
        c->Net = e.Test;
        c->ResetManagerAnswers(r.NetMode);
        for (int i = 0; i < 3; ++i) c->ManagerInfo[i].Answer = r.Answers[i];
        c->RemarkManagerAnswers(r.NetMode);
        uint8_t reason = 99;
        EXPECT_EQ(c->ManagerVerdict(reason), r.Accepted);
        if (!r.Accepted) {
            EXPECT_EQ(reason, r.Reason);
        }
    }
    TEnv e;
    auto c = e.NewClient();
    uint8_t reason = 0;
    try {
        c->ManagerVerdict(reason);
        ADD_FAILURE();
    } catch (const Exception& x) {
        EXPECT_EQ(x.Message(), "Manager mode must not be STANDALONE");
    }
    c->Net = e.Test;
    EXPECT_THROW(c->ManagerVerdict(reason), Exception);
}

// Construction clears all three links' records; a cleared link drops one from the count.
TEST(ZELSVCContext, ManagerRecords) {
    TEnv e;
    auto c = e.NewClient();
    for (const TZELSVCContextManagerInfo& m : c->ManagerInfo) {
        EXPECT_TRUE(m.Session.empty());
        EXPECT_EQ(m.Answer, 0);
        EXPECT_FALSE(m.Accept);
    }
    for (TZELSVCContextManagerInfo& m : c->ManagerInfo) m = {"s", 3, false};
    c->ManagerAnswerCount = 3;
    c->ClearManagerAnswer(2, Mode::smm_ZEL);
    EXPECT_EQ(c->ManagerAnswerCount, 2);
    EXPECT_TRUE(c->ManagerInfo[2].Session.empty());
    EXPECT_EQ(c->ManagerInfo[2].Answer, 0);
    EXPECT_TRUE(c->ManagerInfo[2].Accept);
    EXPECT_EQ(c->ManagerInfo[1].Session, "s");
    c->ResetManagerAnswers(Mode::smm_ZEL);
    EXPECT_EQ(c->ManagerAnswerCount, 0);
    EXPECT_TRUE(c->ManagerInfo[1].Session.empty());
}

TEST(ZELSVCContext, ListEntries) {
    TEnv e;
    auto c = e.NewClient();
    c->ParseConnectString(Join(BaseTags()));
    ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
    const std::string id = CalcSourceId("a@b.c");
    EXPECT_EQ(c->ClassicEntry, "<S>0</S><M>0</M><NN>Land</NN><CT>Town</CT><BC>PC Only</BC><CL>2</CL><ON>CALL</ON>"
                               "<ID>" + id + "</ID><DS></DS>\r\n");
    // Flags 0x700820 and 63 = 0x20; an empty description is its tag and "00".
    EXPECT_EQ(c->CompactEntry, "20" "504Land" "604Town" "307PC Only" "204CALL" "818" + id + "400" "\r\n");
    EXPECT_EQ(c->CompactEntryUtf8, c->CompactEntry);
    EXPECT_TRUE(static_cast<const TZELSVCWrkCtxBase&>(*c).ManagerUtf8Part().empty());

    c->ClientFlags.fetch_or(ZELClientListenOnly | ZELClientMuted | 2);
    c->WriteEntryStatus();
    EXPECT_EQ(c->ClassicEntry[ZELEntryStatusPos], '7');
    EXPECT_EQ(c->ClassicEntry[ZELEntryMutedPos], '1');
    EXPECT_EQ(c->ClassicEntry.substr(0, 16), "<S>7</S><M>1</M>");

    auto u = e.NewClient();
    u->ParseConnectString(Join(With(With(BaseTags(), "CEF", "9"), "U8TF",
                                    U8('2', {{'0', "a@b.c"}, {'1', "pw"}, {'2', "C\xC3\xA4"}, {'3', "B"}, {'6', "T"}}))));
    ASSERT_EQ(u->HandshakeResult, ZELLoginAccepted);
    // 0x700820 with list format 1 (0x100) and UTF-8 (0x80), and 191: 0xA0.
    EXPECT_EQ(u->CompactEntryUtf8, "A0" "500" "601T" "301B" "203C\xC3\xA4" "818" + id + "400" "\r\n");
    // The link reads the part through the work context base.
    EXPECT_EQ(static_cast<const TZELSVCWrkCtxBase&>(*u).ManagerUtf8Part(),
              "<U8TF>2" "005a@b.c" "102pw" "203C\xC3\xA4" "301B" "400" "500" "601T" "</U8TF>");

    // Without a UTF-8 part, 8-bit fields that are not valid in the server's charset (UTF-8 here)
    // reach UTF-8 members converted: each byte that does not convert is a "?".
    auto raw = e.NewClient();
    raw->ParseConnectString(Join(With(With(BaseTags(), "ON", "\xff\xfe\x80"), "DS", "Gr\xC3\xBC\xC3\x9F" "e\xE9")));
    ASSERT_EQ(raw->HandshakeResult, ZELLoginAccepted);
    EXPECT_EQ(raw->CompactEntry.substr(0, 32), "20" "504Land" "604Town" "307PC Only" "203\xff\xfe\x80");
    EXPECT_EQ(raw->CompactEntryUtf8,
              "20" "504Land" "604Town" "307PC Only" "203???" "818" + id + "408Gr\xC3\xBC\xC3\x9F" "e?" "\r\n");
    EXPECT_TRUE(IsValidUtf8A(raw->CompactEntryUtf8));
}

// A move into a network of another charset: the 8-bit texts are the client's texts in that
// charset, cut to their caps at whole characters; the UTF-16 texts stay, and the UTF-8 entry of a
// client without a UTF-8 part carries them whole.
TEST(ZELSVCContext, MovedTextsAreTheClientsTextsInTheNewCharset) {
    TEnv e;
    e.Zurich->SetCharsetName(u"CP1251");
    std::string city8, cityUtf8;  // 64 letters Ж: 64 bytes in CP1251, 128 in UTF-8
    for (int i = 0; i < 64; ++i) {
        city8 += "\xC6";
        cityUtf8 += "\xD0\x96";
    }
    auto c = e.NewClient();
    c->ParseConnectString(Join(With(With(BaseTags(), "NT", "Z\xFCrich"), "CT", city8)));
    ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
    ASSERT_EQ(c->Net, e.Zurich);
    ASSERT_EQ(c->CityU.size(), 64u);
    c->Net = e.Test;  // UTF-8, the server's
    c->RemakeNetworkTexts();
    EXPECT_EQ(c->City, cityUtf8.substr(0, 64));
    EXPECT_EQ(c->CityU.size(), 64u);
    EXPECT_NE(c->CompactEntry.find("640" + cityUtf8.substr(0, 64)), std::string::npos) << c->CompactEntry;
    EXPECT_NE(c->CompactEntryUtf8.find(cityUtf8), std::string::npos) << c->CompactEntryUtf8;
    // And back: the texts as at the login.
    c->Net = e.Zurich;
    c->RemakeNetworkTexts();
    EXPECT_EQ(c->City, city8);
    EXPECT_EQ(c->CallsignKey, PadKey8A("CALL"));
}

// The success script's eight client texts, read as the link reads them (through the base): the
// UTF-8 part's values where the client sent one, else the 8-bit fields; the network the client
// is in, by its UTF-8 name or its 8-bit one.
TEST(ZELSVCContext, ManagerScriptTextsThroughTheBase) {
    TEnv e;
    const std::string id = CalcSourceId("a@b.c");
    const struct {
        const char* Name;
        std::string Line;
        std::array<UnicodeString, 8> Want;
    } cases[] = {
        {"8-bit fields",
         Join(With(With(BaseTags(), "DS", "Desc"), "NT", "Net01")),
         {u"a@b.c", u"CALL", u"PC Only", u"Town", u"Land", u"Desc", WidenStrU(id), u"Net01"}},
        {"UTF-8 part",
         Join(With(With(With(BaseTags(), "CEF", "9"), "NT", "Z\xfcrich"), "U8TF",
                   U8('2', {{'0', "a@b.c"}, {'1', "pw"}, {'2', "C\xC3\xA4"}, {'3', "B\xC3\xA4nd"}, {'6', "T"},
                            {'4', "D\xC3\xA9"}, {'5', "L\xC3\xA4nd"}, {'7', "Z\xC3\xBCrich"}}))),
         {u"a@b.c", u"C\u00e4", u"B\u00e4nd", u"T", u"L\u00e4nd", u"D\u00e9", WidenStrU(id), u"Z\u00fcrich"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        auto ctx = e.NewClient();
        ctx->ParseConnectString(c.Line);
        ASSERT_EQ(ctx->HandshakeResult, ZELLoginAccepted);
        std::array<UnicodeString, 8> texts;
        static_cast<const TZELSVCWrkCtxBase&>(*ctx).ManagerScriptTexts(texts);
        for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(Narrow(texts[i]), Narrow(c.Want[i])) << i;
    }
}

TEST(ZELSVCContext, SortKeyOrdersByTypeCountryCityCallsignBandNumber) {
    TEnv e;
    auto key = [&](const TTags& Tags) {
        auto c = e.NewClient();
        c->ParseConnectString(Join(Tags));
        EXPECT_EQ(c->HandshakeResult, ZELLoginAccepted);
        return c->SortKey;
    };
    const std::string a = key(BaseTags());
    const std::string b = key(BaseTags());  // a later context: its number orders it after
    const std::string gateway = key(With(BaseTags(), "BC", "2m"));
    const std::string country = key(With(BaseTags(), "NN", "Lane"));
    const std::string city = key(With(BaseTags(), "CT", "Towo"));
    EXPECT_EQ(a.size(), 96u);  // 92 bytes padded to a multiple of 8
    EXPECT_LT(CompareKey8(a, b), 0);
    EXPECT_LT(CompareKey8(gateway, a), 0);
    EXPECT_LT(CompareKey8(a, country), 0);
    EXPECT_LT(CompareKey8(a, city), 0);
    EXPECT_LT(CompareKey8(city, country), 0);
}

TEST(ZELSVCContext, LogLines) {
    TEnv e;
    auto c = e.NewClient();
    c->ParseConnectString(Join(With(With(With(BaseTags(), "CEF", "14"), "DS", "d"), "U8TF",
                                    U8('2', {{'0', "a@b.c"}, {'1', "pw"}, {'2', "C\xC3\xA4"}, {'3', "B"}, {'6', "T"}}))));
    ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
    c->ManagerInfo[1].Session = "S1";
    c->Privilege = TZELClientPrivilege::clpr_NETOWNER;
    c->ClientFlags.fetch_or(ZELClientListenOnly);
    TStringBldU b;
    c->AddLogDescription(b);
    const std::string id = CalcSourceId("a@b.c");
    EXPECT_EQ(Narrow(StrBldUView(b)), " EMail=`a@b.c` Call=`C\xE4` Net=`Test` MID1=`S1` SID=`" + id +
                                          "` City=`T` Band=`B` Descr=`d` Country=`Land` Priv=NETOWNER"
                                          " ListenOnly UTF8 SoundAck ListFormat=COUNT");

    EXPECT_EQ(c->LogName, u"Client: 10.0.0.1 7");
    c->SetDisconnectCause(DC::fsdc_ClientWrongCommand);
    c->LastErrorText = u"Invalid MC command: MC:";
    c->SetDisconnectText("bad\\\x01");
    EXPECT_EQ(c->DisconnectLogLine(),
              u"Client: 10.0.0.1 7 DISCONNECT_INVALID_COMMAND WRONG_CMD=`Invalid MC command: MC:` "
              u"ERROR_TEXT=`bad\\x5C\\x01`");
    // A client's own bytes (a refused line, the connect line) are read in the server's charset,
    // then their control characters escaped: characters, never mojibake or raw controls.
    EXPECT_EQ(c->LogTextOf("Gr\xC3\xBC\xC3\x9F" "e\x1B[m\xC2\x85"), u"Gr\u00fc\u00dfe\\x1B[m\\x85");

    auto actor = e.NewClient();
    actor->ParseConnectString(Join(With(With(BaseTags(), "EA", "o@p.q"), "ON", "OWN")));
    actor->Privilege = TZELClientPrivilege::clpr_SERVOWNER;
    auto target = e.NewClient();
    target->ParseConnectString(Join(BaseTags()));
    EXPECT_EQ(Narrow(target->ActionLogLine(*actor, u" MUTED")),
              "Client: 10.0.0.1 7 MUTED: by=SERVOWNER byCall=`OWN` byEMail=`o@p.q` EMail=`a@b.c` Call=`CALL` "
              "Net=`Test` SID=`" + id + "` City=`Town` Band=`PC Only` Country=`Land` ListFormat=ZEL");
}

TEST(ZELSVCContext, ConstructionState) {
    TEnv e;
    auto c = e.NewClient();
    EXPECT_EQ(c->Tag, ZELWrkCtxTagClient);
    EXPECT_EQ(c->ClientFlags.load(), ZELClientFlagsInitial);
    EXPECT_EQ(c->State, 1);
    EXPECT_EQ(c->Phase, 0);
    EXPECT_EQ(c->ServerVersion, 2014004);
    EXPECT_EQ(c->ClientVersion, 2014004);
    EXPECT_EQ(c->Caps, 0u);
    EXPECT_EQ(c->Name(), u"10.0.0.17");
    for (int32_t i : c->ListCacheIndex) EXPECT_EQ(i, -1);
    EXPECT_GE(c->RecvLine.Capacity(), 250);
    EXPECT_GE(c->Answer.Capacity(), 150);
    EXPECT_FALSE(c->vIsOutputOverLimit(0));
    EXPECT_EQ(TZELSVCContext::CapsOfVersion(2010001), ZELCapsKP | ZELCapsOwnerWord);
    EXPECT_EQ(TZELSVCContext::CapsOfVersion(2010002), ZELCapsOwnerWord);
    EXPECT_EQ(TZELSVCContext::CapsOfVersion(2012003), 0u);
    EXPECT_EQ(TZELSVCContext::CapsOfVersion(2014003), ZELCapsOwnTexts);
}

}  // namespace
}  // namespace zel

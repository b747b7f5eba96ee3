#include "service/dmq_zel_cmd_proto.hpp"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "foundation/dmq_ansi_unicode_converter.hpp"

namespace zel {
namespace {

using A = TZELChannelCommandAnswer;
using C = TZELCmdRequestCode;

const AnsiString Id = "kAFQmDzST7DWlj99KOF]cgkd";   // the id of "abc"
const AnsiString Id2 = "1B2M2Y8AsgTpgAmY7PhCfgR5";  // the id of ""

// Prepares and parses a line as the daemon does; false when either step refuses it.
bool Parse(AnsiView Raw, TZELCmdRequest& R) {
    AnsiView line;
    return PrepareCmdRequestLine(Raw, line) == TZELCmdLineKind::fclk_Request && ParseCmdRequest(line, R);
}

AnsiString Str(const TStringBldA& B) { return StrBldAToStr(B); }

// Splits an answer into its lines without their CR LF.
std::vector<AnsiString> Lines(AnsiView Text) {
    std::vector<AnsiString> r;
    size_t pos = 0;
    while (pos < Text.size()) {
        const size_t end = Text.find("\r\n", pos);
        r.emplace_back(Text.substr(pos, end - pos));
        pos = end + 2;
    }
    return r;
}

// ---------------------------------------------------------------------------------------------
// Request lines: golden bytes per family, and each line read back by the daemon's parser.

TEST(CmdProtoRequestTest, GoldenLinesAndRoundTrip) {
    const struct {
        AnsiString Line;
        AnsiString Expected;
        C Code;
    } cases[] = {
        {MakeCmdSetManagerPasswordByIndex(2, "pw"), "001:01202pw\r\n", C::fcrq_SetManagerPasswordByIndex},
        {MakeCmdSetManagerPasswordByAddress("sysman.example", "secret"), "002:0Esysman.example06secret\r\n",
         C::fcrq_SetManagerPasswordByAddress},
        {MakeCmdReread(TZELCmdRereadList::fcrl_Admins, ""), "003:00\r\n", C::fcrq_RereadAdmins},
        {MakeCmdReread(TZELCmdRereadList::fcrl_Notices, "/tmp/n.dat"), "008:0A/tmp/n.dat\r\n",
         C::fcrq_RereadNotices},
        {MakeCmdListNetwork("Main"), "00C:04Main\r\n", C::fcrq_List},
        {MakeCmdMute("Main", 0, Id, true), "00D:04Main0018" + Id + "1\r\n", C::fcrq_Mute},
        {MakeCmdMute("Main", 600, Id, false), "00D:04Main03600" "18" + Id + "0\r\n", C::fcrq_Mute},
        {MakeCmdBlock("Main", 4294967295u, Id, true), "00E:04Main0A4294967295" "18" + Id + "1\r\n",
         C::fcrq_Block},
        {MakeCmdAdmin("Main", Id, true), "00F:04Main18" + Id + "1\r\n", C::fcrq_Admin},
        {MakeCmdRight("Main", "a@b.c", false), "00G:04Main05a@b.c0\r\n", C::fcrq_Right},
        {MakeCmdRightMark("Main", "a@b.c", true), "00H:04Main05a@b.c1\r\n", C::fcrq_RightMark},
        {MakeCmdNoticeSet("Main", "Hello"), "00I:04Main05Hello\r\n", C::fcrq_NoticeSet},
        {MakeCmdNoticeClear("Main"), "00J:04Main\r\n", C::fcrq_NoticeClear},
        {MakeCmdConnMode("Main", ZELCmdFlagQuery), "00K:04Main?\r\n", C::fcrq_ConnMode},
        {MakeCmdTalkMode("Main", ZELCmdFlagOn), "00L:04Main1\r\n", C::fcrq_TalkMode},
        {MakeCmdServerManagerMode(TZELSystemManagerMode::smm_ZEL), "00N:03\r\n", C::fcrq_ServerManagerMode},
        {MakeCmdNetManagerMode("Main", TZELSystemManagerMode::smm_Light), "00O:04Main02\r\n",
         C::fcrq_NetManagerMode},
        {MakeCmdMoveClient(Id, "Main", "Test", 600), "00S:18" + Id + "04Main04Test820258\r\n",
         C::fcrq_MoveClient},
        {MakeCmdMoveClient(Id, "Main", "Test", 0), "00S:18" + Id + "04Main04Test00\r\n", C::fcrq_MoveClient},
        {MakeCmdMoveClient(Id, "Main", "Test", 4294967295u), "00S:18" + Id + "04Main04Test84FFFFFFFF\r\n",
         C::fcrq_MoveClient},
        {MakeCmdDisconnect("", ""), "00T:0000\r\n", C::fcrq_Disconnect},
        {MakeCmdDisconnect("Main", ""), "00T:04Main00\r\n", C::fcrq_Disconnect},
        {MakeCmdDisconnect("Main", Id), "00T:04Main18" + Id + "\r\n", C::fcrq_Disconnect},
        // The last item's trailing blank would be cut by the daemon's trimming of the line.
        {MakeCmdLogText(" hello world \t"), "00W:0Bhello world\r\n", C::fcrq_LogText},
        {MakeCmdDisconnectManagerByIndex(2), "00Y:02\r\n", C::fcrq_DisconnectManagerByIndex},
        {MakeCmdDisconnectManagerByAddress("host", 10024), "00Z:04host0510024\r\n",
         C::fcrq_DisconnectManagerByAddress},
        {MakeCmdSetLogLevel(6), "00b:016\r\n", C::fcrq_LogLevel},
        {AnsiString(ZELCmdLineRereadAll), "009:00\r\n", C::fcrq_RereadAll},
        {AnsiString(ZELCmdLineStop), "00B:00\r\n", C::fcrq_Stop},
        {AnsiString(ZELCmdLineListAll), "00C:00\r\n", C::fcrq_List},
        {AnsiString(ZELCmdLineReopenLog), "00M:00\r\n", C::fcrq_ReopenLog},
        {AnsiString(ZELCmdLineThreads), "00P:00\r\n", C::fcrq_Threads},
        {AnsiString(ZELCmdLineFlushData), "00Q:00\r\n", C::fcrq_FlushData},
        {AnsiString(ZELCmdLineUptime), "00R:00\r\n", C::fcrq_Uptime},
        {AnsiString(ZELCmdLinePid), "00X:00\r\n", C::fcrq_Pid},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.Line, c.Expected);
        TZELCmdRequest r;
        EXPECT_TRUE(Parse(c.Line, r)) << c.Line;
        EXPECT_EQ(r.Code, c.Code) << c.Line;
    }
}

TEST(CmdProtoRequestTest, ParsedFields) {
    TZELCmdRequest r;
    ASSERT_TRUE(Parse(MakeCmdMute("Main", 600, Id, true), r));
    EXPECT_EQ(r.Network.Bytes, "Main");
    EXPECT_EQ(r.Network.Text, u"Main");
    EXPECT_EQ(r.Client.Bytes, Id);
    EXPECT_EQ(r.Seconds, 600);
    EXPECT_EQ(r.Flag, '1');

    ASSERT_TRUE(Parse(MakeCmdMoveClient(Id, "Main", "Test", 600), r));
    EXPECT_EQ(r.Client.Bytes, Id);
    EXPECT_EQ(r.Network.Bytes, "Main");
    EXPECT_EQ(r.Target.Bytes, "Test");
    EXPECT_EQ(r.Seconds, 600);

    ASSERT_TRUE(Parse(MakeCmdSetManagerPasswordByAddress("sysman.example", "secret"), r));
    EXPECT_EQ(r.Address.Bytes, "sysman.example");
    EXPECT_EQ(r.Text.Bytes, "secret");
    ASSERT_TRUE(Parse(MakeCmdSetManagerPasswordByIndex(1, "pw"), r));
    EXPECT_EQ(r.Index, 1);
    ASSERT_TRUE(Parse(MakeCmdDisconnectManagerByAddress("host", 10024), r));
    EXPECT_EQ(r.Port, 10024);
    ASSERT_TRUE(Parse(MakeCmdNetManagerMode("Main", TZELSystemManagerMode::smm_Notify), r));
    EXPECT_EQ(r.ManagerMode, TZELSystemManagerMode::smm_Notify);
    ASSERT_TRUE(Parse(MakeCmdDisconnectManagerByIndex(2), r));
    EXPECT_EQ(r.Index, 2);
    EXPECT_FALSE(Parse(MakeCmdDisconnectManagerByIndex(3), r));
    EXPECT_FALSE(Parse(MakeCmdDisconnectManagerByIndex(12), r));
    ASSERT_TRUE(Parse(MakeCmdSetLogLevel(6), r));
    EXPECT_EQ(r.LogLevel, 6);

    // A network name in UTF-8 keeps its bytes and its UTF-16 form; a 4-byte character is a
    // surrogate pair.
    ASSERT_TRUE(Parse("00C:08Z\xC3\xBC" "r\xF0\x9F\x98\x80", r));
    EXPECT_EQ(r.Network.Bytes, "Z\xC3\xBC" "r\xF0\x9F\x98\x80");
    EXPECT_EQ(r.Network.Text, u"Z\u00FCr\U0001F600");
    ASSERT_TRUE(Parse("00C:00", r));
    EXPECT_FALSE(r.Network.Given());
}

TEST(CmdProtoRequestTest, ItemReading) {
    const struct {
        const char* Line;
        bool Ok;
        const char* Value;  // the notice text of "00I:" lines
    } cases[] = {
        {"00I:04Main05Hello", true, "Hello"},
        {"00I:8104Main8105Hello", true, "Hello"},         // non-minimal lengths
        {"00I:8400000004Main05Hello", true, "Hello"},     // four length bytes
        {"00I:850000000004Main05Hello", false, ""},       // five length bytes
        {"00I:04Main0aHelloWorld", true, "HelloWorld"},   // lower-case hex
        {"00I:04Main08 Hel lo\t", false, ""},             // the line's trimming cut the last value
        {"00I:04Main09 \tHel lo\t ", false, ""},
        {"00I:04Main09 \tHel\tlo!", true, "Hel\tlo!"},   // values trimmed, TAB inside kept
        {"00I:04Main06Hello", false, ""},                 // length beyond the line
        {"00I:04Main0GHello", false, ""},                 // not hex
        {"00I:04Main0", false, ""},                       // fewer than two digits
        {"00I:04Main82", false, ""},                      // length bytes missing
        {"00I:04Main03   x", false, ""},                  // empty value: not given
        {"00I:04Main02\xC3\x28", false, ""},              // broken UTF-8
        {"00I:04Main02\xC0\xAF", false, ""},              // overlong form
        {"00I:04Main03\xED\xA0\x80", false, ""},          // surrogate
        {"00I:04Main02\xE2\x82", false, ""},              // cut-off sequence
        {"00I:04Main04\xF4\x90\x80\x80", false, ""},      // above U+10FFFF
        {"00I:04\xFFMain05Hello", false, ""},             // a network name must be UTF-8 too
    };
    for (const auto& c : cases) {
        TZELCmdRequest r;
        EXPECT_EQ(Parse(c.Line, r), c.Ok) << c.Line;
        if (c.Ok) {
            EXPECT_EQ(r.Network.Bytes, "Main");
            EXPECT_EQ(r.Text.Bytes, c.Value) << c.Line;
        }
    }
}

TEST(CmdProtoRequestTest, CodesFlagsModesAndTrailingCharacters) {
    const AnsiString net = "04Main";
    const AnsiString cli = "18" + Id;
    const struct {
        AnsiString Line;
        bool Ok;
    } cases[] = {
        {"00A:00", true}, {"00A:xyz", true}, {"00A:", false}, {"00A:0", false},  // 5 bytes or less
        {"00B:00", true}, {"00B:8100", true}, {"00B:0100", false}, {"00B:zz", false},
        {"00X:00", true}, {"00X:", false},
        {"00d:" + net, false}, {"00a:00", false}, {"00U:00", false}, {"00V:00", false},
        {"01X:00", false}, {"00X;00", false}, {"0 X:00", false},
        // flags: exactly one last character
        {"00F:" + net + cli + "1", true}, {"00F:" + net + cli + "0", true},
        {"00F:" + net + cli + "2", false}, {"00F:" + net + cli + "?", false},
        {"00F:" + net + cli + "10", false}, {"00F:" + net + cli, false},
        {"00F:" + net + "05abcde1", false},  // not an id
        {"00F:" + net + "18" + Id.substr(0, 23) + "X1", false},  // wrong check character
        {"00F:00" + cli + "1", false},        // network required
        {"00K:" + net + "?", true}, {"00K:" + net + "0", true}, {"00L:" + net + "1", true},
        {"00K:" + net + "?1", false}, {"00K:" + net + "x", false}, {"00K:" + net, false},
        {"00G:" + net + "05a@b.c1", true}, {"00H:" + net + "001", false},
        // modes: exactly "00" to "03"
        {"00N:00", true}, {"00N:03", true}, {"00N:04", false}, {"00N:13", false},
        {"00N:030", false}, {"00N:3x", false},
        {"00O:" + net + "03", true}, {"00O:" + net + "031", false}, {"00O:" + net + "3", false},
        {"00Y:00", true}, {"00Y:02", true}, {"00Y:03", false}, {"00Y:020", false}, {"00Y:2x", false},
        // rereads: only "004:" to "008:" refuse what follows the item
        {"003:00x", true}, {"004:00", true}, {"004:00x", false},
        {"008:05a.dat", true}, {"008:05a.datx", false},
        {"009:00", true}, {"009:01x", false},
        // log level 0 to 6, decimal digits only
        {"00b:016", true}, {"00b:010", true}, {"00b:017", false}, {"00b:02+6", false}, {"00b:00", false},
        {"00b:0206", true},
        // manager index 0 to 2, both values given
        {"001:01202pw", true}, {"001:01302pw", false}, {"001:01200", false},
        {"002:04host02pw", true}, {"002:04host00", false}, {"002:0002pw", false},
        {"00Z:04host0510024", true}, {"00Z:04host010", false}, {"00Z:04host0565536", false},
        {"00Z:04host00", false},
        // disconnect: a missing last item is empty; a client needs a network and a valid id
        {"00T:00", true}, {"00T:0000", true}, {"00T:" + net, true}, {"00T:" + net + "00", true},
        {"00T:" + net + cli, true}, {"00T:00" + cli, false}, {"00T:" + net + "05abcde", false},
        // move: optional number in length form, nothing after it
        {"00S:" + cli + net + "04Test", true}, {"00S:" + cli + net + "04Test820258", true},
        {"00S:" + cli + net + "04Test820258x", false}, {"00S:" + cli + net + "04Test8202", false},
        {"00S:" + cli + net + "04Test8500000000000001", false}, {"00S:" + cli + net + "00", false},
        {"00S:05abcde" + net + "04Test", false},
        {"00I:" + net + "00", false}, {"00J:" + net, true}, {"00J:00", false}, {"00W:00", false},
    };
    for (const auto& c : cases) {
        TZELCmdRequest r;
        EXPECT_EQ(Parse(c.Line, r), c.Ok) << c.Line;
    }
}

TEST(CmdProtoRequestTest, DisconnectLeavesMissingValuesEmpty) {
    TZELCmdRequest r;
    ASSERT_TRUE(Parse("00T:04Main", r));
    EXPECT_EQ(r.Network.Bytes, "Main");
    EXPECT_FALSE(r.Client.Given());
    ASSERT_TRUE(Parse("00T:0000", r));
    EXPECT_FALSE(r.Network.Given());
    EXPECT_FALSE(r.Client.Given());
}

// Times up to 4294967295 are read strictly and capped at 2147483647, so no record ever holds a
// wrapped negative time (a permanent mute in place of a long one).
TEST(CmdProtoRequestTest, TimesParsedStrictlyAndClamped) {
    const AnsiString cli = "18" + Id;
    const struct {
        AnsiString Time;  // the time item's value
        bool Ok;
        int32_t Seconds;
    } mutes[] = {
        {"", true, 0},
        {"0", true, 0},
        {"600", true, 600},
        {"0000600", true, 600},
        {"2147483647", true, 2147483647},
        {"2147483648", true, 2147483647},
        {"4294967295", true, 2147483647},
        {"4294967296", false, 0},
        {"99999999999999999999", false, 0},
        {"-1", false, 0},
        {"+5", false, 0},
        {"1 2", false, 0},
        {"12a", false, 0},
    };
    for (const auto& m : mutes) {
        for (char code : {'D', 'E'}) {
            const AnsiString line = AnsiString("00") + code + ":04Main" +
                                    EncodeTlvLength(static_cast<int32_t>(m.Time.size())) + m.Time + cli + "1";
            TZELCmdRequest r;
            EXPECT_EQ(Parse(line, r), m.Ok) << line;
            if (m.Ok) {
                EXPECT_EQ(r.Seconds, m.Seconds) << line;
            }
        }
    }
    const struct {
        const char* Number;
        int32_t Seconds;
    } moves[] = {
        {"", 0}, {"00", 0}, {"7F", 127}, {"80", 128}, {"8105", 5}, {"820258", 600},
        {"847FFFFFFF", 2147483647}, {"8480000000", 2147483647}, {"84FFFFFFFF", 2147483647},
    };
    for (const auto& m : moves) {
        TZELCmdRequest r;
        const AnsiString line = "00S:" + cli + "04Main04Test" + m.Number;
        ASSERT_TRUE(Parse(line, r)) << line;
        EXPECT_EQ(r.Seconds, m.Seconds) << line;
    }
    EXPECT_EQ(ClampCmdTime(4294967295u), 2147483647);
    EXPECT_EQ(ClampCmdTime(7), 7);
}

TEST(CmdProtoRequestTest, PrepareLine) {
    AnsiView line;
    EXPECT_EQ(PrepareCmdRequestLine("", line), TZELCmdLineKind::fclk_Blank);
    EXPECT_EQ(PrepareCmdRequestLine(" \t \r\n", line), TZELCmdLineKind::fclk_Blank);
    ASSERT_EQ(PrepareCmdRequestLine("\t 00X:00 \r\n", line), TZELCmdLineKind::fclk_Request);
    EXPECT_EQ(line, "00X:00");
    ASSERT_EQ(PrepareCmdRequestLine("00X:00", line), TZELCmdLineKind::fclk_Request);
    EXPECT_EQ(PrepareCmdRequestLine(AnsiView("00X:\x00" "00\r\n", 9), line), TZELCmdLineKind::fclk_Invalid);
    EXPECT_EQ(PrepareCmdRequestLine("00W:03\x1b[m\r\n", line), TZELCmdLineKind::fclk_Invalid);
    EXPECT_EQ(PrepareCmdRequestLine("00W:03a\rb\r\n", line), TZELCmdLineKind::fclk_Invalid);
    EXPECT_EQ(PrepareCmdRequestLine("00W:03a\tb\r\n", line), TZELCmdLineKind::fclk_Request);
    // A second CR before the LF is a control byte of the line: the collector takes LF and one CR
    // and hands over "00A:00\r"; nothing strips the other.
    EXPECT_EQ(PrepareCmdRequestLine("00A:00\r\r\n", line), TZELCmdLineKind::fclk_Invalid);
    EXPECT_EQ(PrepareCmdRequestLine("00A:00\r", line), TZELCmdLineKind::fclk_Invalid);

    // 3000 bytes with the LF pass, 3001 do not, whether or not the LF is still there.
    const AnsiString value(2990, 'x');
    const AnsiString fits = "00W:820BAE" + value + "\r\n";
    ASSERT_EQ(fits.size(), 3002u);
    const AnsiString fitsLf = fits.substr(0, 2999) + "\n";
    EXPECT_EQ(PrepareCmdRequestLine(fitsLf, line), TZELCmdLineKind::fclk_Request);
    EXPECT_EQ(PrepareCmdRequestLine(fitsLf.substr(0, 2999), line), TZELCmdLineKind::fclk_Request);
    EXPECT_EQ(PrepareCmdRequestLine(fits.substr(0, 3000) + "\n", line), TZELCmdLineKind::fclk_Invalid);
    EXPECT_EQ(PrepareCmdRequestLine(fits.substr(0, 3000), line), TZELCmdLineKind::fclk_Invalid);

    // A long value written by the builder reads back whole.
    TZELCmdRequest r;
    const AnsiString notice(200, 'n');
    const AnsiString req = MakeCmdNoticeSet("Main", notice);
    EXPECT_EQ(req.substr(0, 14), "00I:04Main81C8");
    ASSERT_TRUE(Parse(req, r));
    EXPECT_EQ(r.Text.Bytes, notice);
}

// ---------------------------------------------------------------------------------------------
// Answers.

TEST(CmdProtoAnswerTest, SimpleAndCountLines) {
    EXPECT_EQ(ReadCmdSimpleAnswer(""), A::fsca_NoAnswer);
    EXPECT_EQ(ReadCmdSimpleAnswer(" \r\n"), A::fsca_NoAnswer);
    EXPECT_EQ(ReadCmdSimpleAnswer("+OK\r\n"), A::fsca_OK);
    EXPECT_EQ(ReadCmdSimpleAnswer("+"), A::fsca_OK);
    EXPECT_EQ(ReadCmdSimpleAnswer("+anything"), A::fsca_OK);
    EXPECT_EQ(ReadCmdSimpleAnswer("-nonet"), A::fsca_Unknown);
    EXPECT_EQ(ReadCmdSimpleAnswer("-NONETWORK"), A::fsca_Unknown);
    EXPECT_EQ(ReadCmdSimpleAnswer("hello"), A::fsca_Unknown);
    // Every answer line the daemon sends reads back as its own answer.
    for (int i = 1; i < ZELChannelCommandAnswerCount; ++i) {
        const auto a = static_cast<A>(i);
        const AnsiView wire = ChannelCommandAnswerInfo(a).Wire;
        if (wire.empty()) continue;
        EXPECT_EQ(ReadCmdSimpleAnswer(wire), a) << wire;
        int32_t n = -1;
        EXPECT_EQ(ReadCmdCountLine(wire, n), a) << wire;
        EXPECT_EQ(n, -1);
    }

    const struct {
        const char* Line;
        A Answer;
        int32_t Count;
    } counts[] = {
        {"+0\r\n", A::fsca_OK, 0},
        {"+1", A::fsca_OK, 1},
        {"+999999999", A::fsca_OK, 999999999},
        {"+2147483647", A::fsca_OK, 2147483647},
        {"+2147483648", A::fsca_Unknown, -1},
        {"+OK", A::fsca_Unknown, -1},
        {"+", A::fsca_Unknown, -1},
        {"+-1", A::fsca_Unknown, -1},
        {"+ 1", A::fsca_Unknown, -1},
        {"1", A::fsca_Unknown, -1},
        {"", A::fsca_NoAnswer, -1},
        {"-WHAT", A::fsca_Unknown, -1},
    };
    for (const auto& c : counts) {
        int32_t n = -1;
        EXPECT_EQ(ReadCmdCountLine(c.Line, n), c.Answer) << c.Line;
        EXPECT_EQ(n, c.Count) << c.Line;
    }
}

TEST(CmdProtoAnswerTest, UptimePidThreads) {
    const struct {
        int64_t Seconds;
        const char* Text;
    } uptimes[] = {
        {0, "+1\r\nServer uptime: 0s / 0 seconds\r\n"},
        {65, "+1\r\nServer uptime: 1m05s / 65 seconds\r\n"},
        {3600, "+1\r\nServer uptime: 1h00m00s / 3600 seconds\r\n"},
        {93784, "+1\r\nServer uptime: 1d02h03m04s / 93784 seconds\r\n"},
    };
    for (const auto& u : uptimes) {
        TStringBldA b;
        AddCmdUptimeAnswer(b, u.Seconds);
        EXPECT_EQ(Str(b), u.Text);
    }
    TStringBldA b;
    AddCmdPidAnswer(b, 4242);
    EXPECT_EQ(Str(b), "+1\r\n4242\r\n");
    StrBldAReset(b);
    const int32_t workers[] = {3, 0, 17};
    AddCmdThreadsAnswer(b, workers);
    EXPECT_EQ(Str(b), "+3\r\n3\r\n0\r\n17\r\n");
    StrBldAReset(b);
    AddCmdThreadsAnswer(b, {});
    EXPECT_EQ(Str(b), "+0\r\n");
}

// ---------------------------------------------------------------------------------------------
// List answers.

class CmdProtoListTest : public ::testing::Test {
protected:
    // Network "Main": the Parrot and one client; network "Empty": nobody.
    void SetUp() override {
        AddCmdNetworkLine(mainNet_, "Main", "CP1251", Id2);
        AddCmdClientLine(mainClients_, 0x20,
                         {"The tree", "The branch", "Parrot", "*PARROT*", Id2, "Silent bird"});
        AddCmdClientLine(mainClients_, 0x8D,
                         {"Deutschland", "M\xC3\xBCnchen", "145.500", "DL1ABC", Id, "Hi"});
        TZELCmdMemberLine parrot;
        parrot.Address = "";
        AddCmdMemberLine(mainMembers_, parrot);
        TZELCmdMemberLine m;
        m.Privilege = TZELClientPrivilege::clpr_ADMIN;
        m.Address = "192.0.2.7";
        m.EMail = "dl1abc@example.org";
        m.ManagerIds[1] = "sm1-id";
        m.ExtensionFlags = 0x108;
        AddCmdMemberLine(mainMembers_, m);
        AddCmdNetworkLine(emptyNet_, "Empty", "UTF-8", Id2);
    }

    AnsiString Answer() {
        const TZELCmdListBlock blocks[] = {
            {StrBldAView(mainNet_), 2, StrBldAView(mainClients_), StrBldAView(mainMembers_)},
            {StrBldAView(emptyNet_), 0, {}, {}},
        };
        TStringBldA b;
        AddCmdListAnswer(b, blocks);
        return Str(b);
    }

    TStringBldA mainNet_, mainClients_, mainMembers_, emptyNet_;
};

TEST_F(CmdProtoListTest, BlockOrderAndLineCount) {
    const AnsiString expected =
        "+8\r\n"
        "04Main06CP125118" + Id2 + "\r\n"
        "2\r\n"
        "20" "5" "08" "The tree" "6" "0A" "The branch" "3" "06" "Parrot" "2" "08" "*PARROT*" "8" "18" + Id2 +
        "4" "0B" "Silent bird" "\r\n"
        "8D" "5" "0B" "Deutschland" "6" "08" "M\xC3\xBC" "nchen" "3" "07" "145.500" "2" "06" "DL1ABC"
        "8" "18" + Id + "4" "02" "Hi" "\r\n"
        "0" "00" "00" "03" "000000" "0" "\r\n"
        "1" "09192.0.2.7" "12dl1abc@example.org" "03" "00" "06sm1-id" "00" "264\r\n"
        "05Empty05UTF-818" + Id2 + "\r\n"
        "0\r\n";
    EXPECT_EQ(Answer(), expected);
}

TEST_F(CmdProtoListTest, ReadBack) {
    const std::vector<AnsiString> lines = Lines(Answer());
    int32_t count = 0;
    ASSERT_EQ(ReadCmdCountLine(lines[0], count), A::fsca_OK);
    ASSERT_EQ(static_cast<size_t>(count), lines.size() - 1);

    std::vector<TZELCmdListNetwork> nets;
    ASSERT_TRUE(ReadCmdListAnswer(std::span(lines).subspan(1), nets));
    ASSERT_EQ(nets.size(), 2u);
    EXPECT_EQ(nets[0].Network.Name, "Main");
    EXPECT_EQ(nets[0].Network.CharsetName, "CP1251");
    EXPECT_EQ(nets[0].Network.ParrotId, Id2);
    ASSERT_EQ(nets[0].ClientLines.size(), 2u);
    ASSERT_EQ(nets[0].Members.size(), 2u);
    const TZELCmdMemberLine& m = nets[0].Members[1];
    EXPECT_EQ(m.Privilege, TZELClientPrivilege::clpr_ADMIN);
    EXPECT_EQ(m.Address, "192.0.2.7");
    EXPECT_EQ(m.EMail, "dl1abc@example.org");
    EXPECT_EQ(m.ManagerIds[0], "");
    EXPECT_EQ(m.ManagerIds[1], "sm1-id");
    EXPECT_EQ(m.ManagerIds[2], "");
    EXPECT_EQ(m.ExtensionFlags, 0x108u);

    TZELClientRec rec;
    DecodeClientLine(nets[0].ClientLines[1], rec, nullptr);
    EXPECT_EQ(rec.Id, WidenStrU(Id));
    EXPECT_EQ(rec.City, u"M\u00FCnchen");
    EXPECT_EQ(rec.Callsign, u"DL1ABC");

    EXPECT_EQ(nets[1].Network.Name, "Empty");
    EXPECT_TRUE(nets[1].ClientLines.empty());
    EXPECT_TRUE(nets[1].Members.empty());
}

TEST_F(CmdProtoListTest, UnreadableLinesEndTheListing) {
    const std::vector<AnsiString> all = Lines(Answer());
    const std::span<const AnsiString> body = std::span(all).subspan(1);

    // Cut short: the last network line has no count; the first block is kept.
    std::vector<TZELCmdListNetwork> nets;
    EXPECT_FALSE(ReadCmdListAnswer(body.first(body.size() - 1), nets));
    EXPECT_EQ(nets.size(), 1u);
    // Cut inside the first block's member lines.
    nets.clear();
    EXPECT_FALSE(ReadCmdListAnswer(body.first(5), nets));
    EXPECT_TRUE(nets.empty());

    // A huge announced count is refused before anything is taken.
    std::vector<AnsiString> lines(body.begin(), body.end());
    lines[1] = "999999999";
    nets.clear();
    EXPECT_FALSE(ReadCmdListAnswer(lines, nets));
    EXPECT_TRUE(nets.empty());

    const char* badMembers[] = {
        "4" "00" "00" "03" "000000" "0",           // privilege
        "0" "00" "00" "03" "000000",               // no flags
        "0" "00" "00" "03" "000000" "1x",          // flags not decimal
        "0" "00" "00" "03" "0000" "0",             // an id item missing
        "0" "05ab" "00" "03" "000000" "0",         // item length beyond the line
    };
    for (const char* bad : badMembers) {
        TZELCmdMemberLine m;
        EXPECT_FALSE(ReadCmdMemberLine(bad, m)) << bad;
        lines = std::vector<AnsiString>(body.begin(), body.end());
        lines[5] = bad;
        nets.clear();
        EXPECT_FALSE(ReadCmdListAnswer(lines, nets)) << bad;
    }
    TZELCmdMemberLine m;
    // A fourth id is read over.
    EXPECT_TRUE(ReadCmdMemberLine("3" "8100" "00" "04" "00" "00" "00" "03abc" "7\r\n", m));
    EXPECT_EQ(m.Privilege, TZELClientPrivilege::clpr_SERVOWNER);
    EXPECT_EQ(m.ExtensionFlags, 7u);

    TZELCmdNetworkLine n;
    EXPECT_FALSE(ReadCmdNetworkLine("04Main05UTF-8", n));
    EXPECT_FALSE(ReadCmdNetworkLine("04Main05UTF-800x", n));
    EXPECT_TRUE(ReadCmdNetworkLine("04Main05UTF-800\r\n", n));
}

// ---------------------------------------------------------------------------------------------
// Client lines.

TEST(CmdProtoClientLineTest, Status) {
    TZELClientRec r;
    ASSERT_TRUE(DecodeClientStatus("8E", r));
    EXPECT_EQ(r.VisibleStatus, 2);
    EXPECT_EQ(r.ListenOnly, 1);
    EXPECT_EQ(r.Muted, 1);
    EXPECT_EQ(r.ClientType, 0);
    EXPECT_EQ(r.Utf8, 1);
    ASSERT_TRUE(DecodeClientStatus("21", r));
    EXPECT_EQ(r.VisibleStatus, 1);
    EXPECT_EQ(r.ClientType, 2);
    EXPECT_EQ(r.Utf8, 0);
    for (const char* bad : {"03", "30", "G0", "0", ""}) EXPECT_FALSE(DecodeClientStatus(bad, r)) << bad;
}

TEST(CmdProtoClientLineTest, ValuesAndSkippedTags) {
    TZELClientRec r;
    // 8-bit form without a converter: byte by byte; tags 0, 1, 7 and unknown ones read over.
    DecodeClientLine("10" "002xy" "101q" "203ABC" "700" "Z02zz" "803\xE9t\xE9" "400" "\r\n", r, nullptr);
    EXPECT_EQ(r.Callsign, u"ABC");
    EXPECT_EQ(r.Id, u"\u00E9t\u00E9");
    EXPECT_EQ(r.Description, u"");
    EXPECT_EQ(r.ClientType, 1);

    TAnsiUnicodeConverter cp1251;
    cp1251.SetCharset(u"CP1251");
    DecodeClientLine("002" "02\xC0\xE1", r, &cp1251);
    EXPECT_EQ(r.Callsign, u"\u0410\u0431");
    EXPECT_EQ(r.Id, u"");  // the record is cleared first
    // Bit 7: UTF-8 whatever the converter.
    DecodeClientLine("802" "04\xD0\x90\xD0\xB1", r, &cp1251);
    EXPECT_EQ(r.Callsign, u"\u0410\u0431");
}

TEST(CmdProtoClientLineTest, Errors) {
    const struct {
        AnsiString Line;
        const char* Message;
    } cases[] = {
        {"", "Data is too short"},
        {"8\r\n", "Data is too short"},
        {"G0", "Invalid status"},
        {"33", "Invalid status"},
        {"00" "5", "Invalid TLV"},
        {"00" "50", "Invalid TLV"},
        {"00" "505abc", "Invalid TLV"},
        {"00" "5ZZabc", "Invalid TLV"},
        {"00" "5850000000001a", "Invalid TLV"},
        {"00" "502a\x01", "Invalid format client line"},
        {AnsiString("00" "502a\0", 7), "Invalid format client line"},
    };
    for (const auto& c : cases) {
        TZELClientRec r;
        try {
            DecodeClientLine(c.Line, r, nullptr);
            ADD_FAILURE() << "no error for " << c.Line;
        } catch (const EZELClientLineError& e) {
            EXPECT_STREQ(e.what(), c.Message) << c.Line;
        }
    }
}

}  // namespace
}  // namespace zel

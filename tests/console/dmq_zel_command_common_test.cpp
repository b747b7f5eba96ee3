#include "console/dmq_zel_command_common.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_strbld_a.hpp"
#include "service/dmq_zel_utils.hpp"
#include "tests/support/script_peer.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

using C = TZELConsoleCommand;
using Args = std::vector<AnsiString>;
using test::NowMs;
using test::ReadLineFrom;
using test::ScriptPeer;
using test::WaitPeerClose;
using test::WriteAllTo;

constexpr const char* kId = "kAFQmDzST7DWlj99KOF]cgkd";

TConsoleCommandLine Parse(const Args& A) {
    TConsoleCommandLine cmd;
    EXPECT_NE(ParseConsoleCommandLine(A, cmd), C::cmd_None) << A[0];
    return cmd;
}

std::string SocketErrorLine(const std::string& Prefix, int Code) {
    return Prefix + ": Socket error " + std::to_string(Code) + ": " + std::strerror(Code) + "\n";
}

// ---------------------------------------------------------------------------------------------
// Request bytes.

struct RequestCase {
    Args Words;
    std::string Line;
    bool List;
    const char* Prefix;
};

TEST(CommandRequestTest, EachWordFamilySendsItsLine) {
    const std::string id = kId;
    const RequestCase cases[] = {
        {{"DSETMANPASSIDX", "1", "secret"}, "001:011" "06secret\r\n", false, "ERROR: Set password for manager"},
        {{"DSETMANPASSADDR", "sysman.example", "pw"}, "002:0Esysman.example02pw\r\n", false,
         "ERROR: Set password for manager"},
        {{"DREREADADMINS"}, "003:00\r\n", false, "ERROR: Reread default list of admins"},
        {{"DREREADNOTICES"}, "008:00\r\n", false, "ERROR: Reread default list of notices"},
        {{"DREREADALL"}, "009:00\r\n", false, "ERROR: Reread all default files"},
        {{"DSTOP"}, "00B:00\r\n", false, "ERROR: stop"},
        {{"LIST"}, "00C:00\r\n", true, "ERROR: List of clients for the whole server"},
        {{"LISTNET", "Main"}, "00C:04Main\r\n", true, "ERROR: List of clients for the network"},
        {{"MUTE", "Main", id}, "00D:04Main0018" + id + "1\r\n", false, "ERROR: Mute client"},
        {{"MUTETEMP", "Main", "1h", id}, "00D:04Main043600" "18" + id + "1\r\n", false, "ERROR: Mute client"},
        {{"UNMUTE", "Main", id}, "00D:04Main0018" + id + "0\r\n", false, "ERROR: Unmute client"},
        // Beyond 32 bits the time is capped, never wrapped.
        {{"BLOCKTEMP", "Main", "49711d", id}, "00E:04Main0A4294967295" "18" + id + "1\r\n", false,
         "ERROR: Block client"},
        {{"UNBLOCK", "Main", id}, "00E:04Main0018" + id + "0\r\n", false, "ERROR: Unblock client"},
        // The client goes as the low byte of each unit, not as UTF-8.
        {{"ADMINADD", "Main", "ab\xC3\xA9"}, "00F:04Main03ab\xE9" "1\r\n", false, "ERROR: Admin add"},
        {{"ADMINDEL", "Main", id}, "00F:04Main18" + id + "0\r\n", false, "ERROR: Admin delete"},
        {{"RIGHTADD", "Main", "op@x.org"}, "00G:04Main08op@x.org1\r\n", false, "ERROR: Right add"},
        {{"RIGHTUNMARK", "Main", "op@x.org"}, "00H:04Main08op@x.org0\r\n", false, "ERROR: Right unmark"},
        {{"NOTICESET", "Netz\xC3\xA4", "Hi there"}, "00I:06Netz\xC3\xA4" "08Hi there\r\n", false,
         "ERROR: set notice"},
        {{"NOTICECLEAR", "Main"}, "00J:04Main\r\n", false, "ERROR: clear notice"},
        {{"CONNENABLE", "Main"}, "00K:04Main1\r\n", false, "ERROR: Enable to connect listed only"},
        {{"CONNSTATUS", "Main"}, "00K:04Main?\r\n", true, "ERROR: conn status"},
        {{"TALKDISABLE", "Main"}, "00L:04Main0\r\n", false, "ERROR: Disable to speak marked only"},
        {{"TALKSTATUS", "Main"}, "00L:04Main?\r\n", true, "ERROR: talk status"},
        {{"DREOPENLOG"}, "00M:00\r\n", false, "ERROR: reopen log"},
        {{"DSERVMANMODE", "ZEL"}, "00N:03\r\n", false, "ERROR: server manager mode"},
        {{"DNETMANMODE", "Main", "LIGHT"}, "00O:04Main02\r\n", false, "ERROR: network manager mode"},
        {{"THREADS"}, "00P:00\r\n", true, "ERROR: Number of client connections on worker threads"},
        {{"FLUSHDATA"}, "00Q:00\r\n", false, "ERROR: flush data"},
        {{"UPTIME"}, "00R:00\r\n", true, "ERROR: uptime"},
        {{"CLIENTMOVE", id, "A", "B"}, "00S:18" + id + "01A01B00\r\n", false, "ERROR: move client"},
        {{"MOVETEMP", id, "10m", "A", "B"}, "00S:18" + id + "01A01B820258\r\n", false, "ERROR: temp move client"},
        {{"DISCONNECTALL"}, "00T:0000\r\n", false, "ERROR: disconnect all"},
        {{"DISCONNECTNET", "Main"}, "00T:04Main00\r\n", false, "ERROR: disconnect network"},
        {{"DISCONNECTCLI", "Main", id}, "00T:04Main18" + id + "\r\n", false, "ERROR: disconnect client"},
        // Control characters but the tab are dropped before the text goes out.
        {{"LOGTEXT", "a\tb\x01" "c"}, "00W:04a\tbc\r\n", false, "ERROR: log text"},
        {{"DPID"}, "00X:00\r\n", true, "ERROR: dpid"},
        {{"DISCONNECTMANIDX", "1"}, "00Y:01\r\n", false, "ERROR: disconnect manager by index"},
        {{"DISCONNECTMANADDRPORT", "host", "10025"}, "00Z:04host0510025\r\n", false,
         "ERROR: disconnect manager by address/port"},
        {{"SETLOGLEVEL", "4"}, "00b:014\r\n", false, "ERROR: log level"},
        {{"MEMORYREPORT"}, "", false, "ERROR: Memory report"},
    };
    for (const RequestCase& c : cases) {
        const TZELDaemonRequest r = BuildDaemonRequest(Parse(c.Words), nullptr);
        EXPECT_EQ(r.Line, c.Line) << c.Words[0];
        EXPECT_EQ(r.ListAnswer, c.List) << c.Words[0];
        EXPECT_EQ(r.ErrorPrefix, WidenStrU(c.Prefix)) << c.Words[0];
    }
}

TEST(CommandRequestTest, ListFileNamesGoOutAbsolute) {
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    const std::string path = std::string(cwd) + "/lists/mutes.dat";
    const TZELDaemonRequest r = BuildDaemonRequest(Parse({"FREREADMUTES", "lists/./mutes.dat"}), nullptr);
    EXPECT_EQ(r.Line, "004:" + EncodeTlvLength(static_cast<int32_t>(path.size())) + path + "\r\n");
    EXPECT_EQ(r.ErrorPrefix, WidenStrU("ERROR: Reread list of muted clients: \"" + path + "\""));
    const TZELDaemonRequest a = BuildDaemonRequest(Parse({"FREREADADMINS", "/x/admins.dat"}), nullptr);
    EXPECT_EQ(a.Line, "003:0D/x/admins.dat\r\n");
    EXPECT_EQ(a.ErrorPrefix, u"ERROR: Reread list of admins \"/x/admins.dat\"");
}

TEST(CommandRequestTest, PasswordIsReadThroughTheConsoleConverter) {
    TAnsiUnicodeConverter latin1;
    latin1.SetCharset(u"ISO-8859-1");
    TConsoleCommandLine cmd = Parse({"DSETMANPASSIDX", "2", "x"});
    cmd.ManagerPassword = "p\xE4ss";
    EXPECT_EQ(BuildDaemonRequest(cmd, &latin1).Line, "001:012" "05p\xC3\xA4ss\r\n");
}

TEST(CommandRequestTest, DaemonWordsAreTheChannelOnes) {
    for (int n = 0; n <= static_cast<int>(C::cmd_LogFileName); ++n) {
        const auto code = static_cast<C>(n);
        const bool expected = n == 8 || (n >= 10 && n <= 57) || (n >= 61 && n <= 66);
        EXPECT_EQ(IsDaemonCommand(code), expected) << n;
        TConsoleCommandLine cmd;
        cmd.Command = code;
        if (expected)
            EXPECT_FALSE(BuildDaemonRequest(cmd, nullptr).ErrorPrefix.empty()) << n;
        else
            EXPECT_THROW(BuildDaemonRequest(cmd, nullptr), Exception) << n;
    }
}

// ---------------------------------------------------------------------------------------------
// Exchanges against a scripted daemon.

class CommandExchangeTest : public test::TempDirTest {
protected:
    struct Result {
        int Code;
        std::string Out;
    };

    Result Run(const Args& Words, uint16_t Port, uint8_t IPVersion = 1, bool Enabled = true) {
        TZELServiceConfig cfg;
        cfg.SystemCharsetName = u"UTF-8";
        cfg.Command.CommandEnabled = Enabled;
        cfg.Command.CommandPort = Port;
        cfg.Command.CommandIPVersion = IPVersion;
        TTextFile out;
        EXPECT_EQ(TryRewriteTextName(out, Path("out.txt")), 0);
        const int code = RunDaemonCommand(Parse(Words), cfg, out);
        EXPECT_EQ(TryCloseText(out), 0);
        return {code, Get(Path("out.txt"))};
    }

    // A daemon that reads the request, writes Answer, and then closes or (Hold) waits for the
    // console to close.
    static ScriptPeer::Handler Answering(std::string Answer, bool Hold, std::string* Request = nullptr) {
        return [Answer, Hold, Request](int fd) {
            const std::string line = ReadLineFrom(fd);
            if (Request != nullptr) *Request = line;
            WriteAllTo(fd, Answer);
            if (Hold) WaitPeerClose(fd);
        };
    }
};

TEST_F(CommandExchangeTest, RefusedConnectionIsASocketError) {
    const Result r = Run({"DPID"}, test::FreeLoopbackPort());
    EXPECT_EQ(r.Code, 16);
    EXPECT_EQ(r.Out, SocketErrorLine("ERROR: dpid", ECONNREFUSED));
}

// A daemon that takes the request and says nothing is a time-out of the socket after the reply
// time-out, for one-line and counted answers alike; never "Answer timed out".
TEST_F(CommandExchangeTest, SilentDaemonIsETIMEDOUTAfterTheReplyTimeout) {
    for (const auto& [word, prefix] : {std::pair{"DSTOP", "ERROR: stop"}, std::pair{"UPTIME", "ERROR: uptime"}}) {
        ScriptPeer peer(Answering("", true));
        const int64_t t0 = NowMs();
        const Result r = Run({word}, peer.Port());
        const int64_t spent = NowMs() - t0;
        EXPECT_EQ(r.Code, 16) << word;
        EXPECT_EQ(r.Out, SocketErrorLine(prefix, ETIMEDOUT)) << word;
        EXPECT_GE(spent, 900) << word;
        EXPECT_LT(spent, 2500) << word;
    }
}

TEST_F(CommandExchangeTest, CloseWithoutALineIsNoAnswer) {
    for (const auto& [word, prefix] : {std::pair{"DSTOP", "ERROR: stop"}, std::pair{"DPID", "ERROR: dpid"}}) {
        for (const char* sent : {"", "+O"}) {
            ScriptPeer peer(Answering(sent, false));
            const Result r = Run({word}, peer.Port());
            EXPECT_EQ(r.Code, 16) << word << sent;
            EXPECT_EQ(r.Out, std::string(prefix) + ": No answer\n") << word << sent;
        }
    }
}

TEST_F(CommandExchangeTest, AnswerLinesGiveTheirTextAndExitCode) {
    struct Case {
        const char* Word;
        const char* Answer;
        const char* Text;  // nullptr: nothing printed
        int Code;
    };
    const Case cases[] = {
        {"DSTOP", "+OK\r\n", nullptr, 0},
        {"DSTOP", "+ whatever\r\n", nullptr, 0},
        {"DSTOP", "-NONET\r\n", "Wrong network", 16},
        {"DSTOP", "-NOSUPPORT\r\n", "Not supported", 20},
        {"DSTOP", "-NOCLIENT\r\n", "No client online", 16},
        {"DSTOP", "-FAKE\r\n", "Fake", 16},
        {"DSTOP", "-DENIED\r\n", "Operation denied", 18},
        {"DSTOP", "-BUSY\r\n", "Busy", 21},
        {"DSTOP", "-NOTCONNECTED\r\n", "Not connected", 19},
        {"DSTOP", "-NOTADMIN\r\n", "Not admin", 18},
        {"DSTOP", "-NOTOWNER\r\n", "Not owner", 18},
        {"DSTOP", "-NOLIST\r\n", "No clients list mode", 20},
        {"DSTOP", "-ERROR\r\n", "Operation error", 16},
        {"DSTOP", "  \r\n", "No answer", 16},
        {"DSTOP", "WHAT\r\n", "Unknown answer", 16},
        {"DSTOP", "-NONETWORK\r\n", "Unknown answer", 16},
        {"UPTIME", "-BUSY\r\n", "Busy", 21},
        {"UPTIME", "WHAT\r\n", "Unknown answer", 16},
        {"UPTIME", "+x\r\n", "Unknown answer", 16},
        {"UPTIME", "+0\r\n", nullptr, 0},
    };
    for (const Case& c : cases) {
        ScriptPeer peer(Answering(c.Answer, true));
        const Result r = Run({c.Word}, peer.Port());
        const std::string prefix = std::string(c.Word) == "DSTOP" ? "ERROR: stop" : "ERROR: uptime";
        EXPECT_EQ(r.Code, c.Code) << c.Answer;
        EXPECT_EQ(r.Out, c.Text != nullptr ? prefix + ": " + c.Text + "\n" : "") << c.Answer;
    }
}

// A count that the lines never fill: the deadline cuts the list, and nothing of it is printed,
// however large the announced count.
TEST_F(CommandExchangeTest, ListCutByTheDeadlineIsAnswerTimedOut) {
    for (const char* answer : {"+3\r\nServer uptime: 1s\r\n", "+999999999\r\na\r\nb\r\nc\r\n"}) {
        ScriptPeer peer(Answering(answer, true));
        const int64_t t0 = NowMs();
        const Result r = Run({"UPTIME"}, peer.Port());
        const int64_t spent = NowMs() - t0;
        EXPECT_EQ(r.Code, 16) << answer;
        EXPECT_EQ(r.Out, "ERROR: uptime: Answer timed out\n") << answer;
        EXPECT_LT(spent, 2500) << answer;
    }
}

TEST_F(CommandExchangeTest, ListEndedByTheDaemonIsASocketErrorWithNothingPrinted) {
    ScriptPeer peer(Answering("+999999999\r\na\r\nb\r\n", false));
    const Result r = Run({"UPTIME"}, peer.Port());
    EXPECT_EQ(r.Code, 16);
    EXPECT_EQ(r.Out, SocketErrorLine("ERROR: uptime", ECONNRESET));
}

TEST_F(CommandExchangeTest, OverlongAnswerLineIsRefused) {
    ScriptPeer peer(Answering("+OK" + std::string(70000, 'x') + "\r\n", true));
    const Result r = Run({"DSTOP"}, peer.Port());
    EXPECT_EQ(r.Code, 16);
    EXPECT_EQ(r.Out, SocketErrorLine("ERROR: stop", ENOBUFS));
}

TEST_F(CommandExchangeTest, AnswersArePrintedByTheirCommand) {
    struct Case {
        Args Words;
        const char* Answer;
        const char* Request;
        const char* Out;
    };
    const Case cases[] = {
        {{"DPID"}, "+1\r\n4242\r\n", "00X:00\r\n", "4242\n"},
        {{"UPTIME"}, "+1\r\nServer uptime: 1d02h03m04s / 93784 seconds\r\n", "00R:00\r\n",
         "Server uptime: 1d02h03m04s / 93784 seconds\n"},
        {{"CONNSTATUS", "Main"}, "+1\r\n0\r\n", "00K:04Main?\r\n", "0\n"},
        {{"THREADS"}, "+2\r\n3\r\n0\r\n", "00P:00\r\n",
         "Working thread #0: 3 connection(s)\nWorking thread #1: 0 connection(s)\n"},
        {{"MUTE", "Main", kId}, "+OK\r\n", nullptr, ""},
    };
    for (const Case& c : cases) {
        std::string request;
        Result r;
        {
            ScriptPeer peer(Answering(c.Answer, true, &request));
            r = Run(c.Words, peer.Port());
        }
        EXPECT_EQ(r.Code, 0) << c.Words[0];
        EXPECT_EQ(r.Out, c.Out) << c.Words[0];
        const std::string expected =
            c.Request != nullptr ? std::string(c.Request) : "00D:04Main0018" + std::string(kId) + "1\r\n";
        EXPECT_EQ(request, expected) << c.Words[0];
    }
}

TEST_F(CommandExchangeTest, IPv6OnlyConnectsToTheIPv6Loopback) {
    ScriptPeer peer(Answering("+OK\r\n", true), AF_INET6);
    const Result r = Run({"DSTOP"}, peer.Port(), 2);
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(peer.Accepted(), 1);
}

TEST_F(CommandExchangeTest, NoConnectionWhenDisabledOrForMemoryReport) {
    ScriptPeer peer(Answering("+OK\r\n", true));
    const Result off = Run({"DSTOP"}, peer.Port(), 1, false);
    EXPECT_EQ(off.Code, 16);
    EXPECT_EQ(off.Out, "ERROR: Commands for daemon are not allowed\n");
    const Result mem = Run({"MEMORYREPORT"}, peer.Port());
    EXPECT_EQ(mem.Code, 20);
    EXPECT_EQ(mem.Out, "ERROR: Memory report: Not supported\n");
    EXPECT_EQ(peer.Accepted(), 0);
}

// ---------------------------------------------------------------------------------------------
// List printer.

constexpr const char* kParrot = "ParrotParrotParrotParr00";

struct ListClient {
    uint8_t Status;
    TZELCmdClientFields Fields;
    TZELCmdMemberLine Member;
};

void AddBlock(TStringBldA& B, AnsiView Name, AnsiView Charset, const std::vector<ListClient>& Clients) {
    AddCmdNetworkLine(B, Name, Charset, kParrot);
    StrBldAAdd(B, std::to_string(Clients.size()));
    StrBldAAddCRLF(B);
    for (const ListClient& c : Clients) AddCmdClientLine(B, c.Status, c.Fields);
    for (const ListClient& c : Clients) AddCmdMemberLine(B, c.Member);
}

std::vector<AnsiString> SplitLines(AnsiView Text) {
    std::vector<AnsiString> lines;
    size_t start = 0;
    for (size_t p; (p = Text.find("\r\n", start)) != AnsiView::npos; start = p + 2)
        lines.emplace_back(Text.substr(start, p - start));
    return lines;
}

ListClient Parrot() {
    ListClient c{0x20, {}, {}};
    c.Fields.Callsign = "PARROT";
    c.Fields.Id = kParrot;
    return c;
}

// A UTF-8 client: not available, PC, muted, listen-only; an administrator with two manager ids.
ListClient ClientA() {
    ListClient c{0xAD, {"Deutschland", "K\xC3\xB6ln", "2m", "DL1AB", "IdA", "Hi"}, {}};
    c.Member.Privilege = TZELClientPrivilege::clpr_ADMIN;
    c.Member.Address = "10.0.0.1";
    c.Member.EMail = "m\xFCller@x.de";  // in the network's charset
    c.Member.ManagerIds[1] = "m1";
    c.Member.ManagerIds[2] = "m2";
    c.Member.ExtensionFlags = 5;
    return c;
}

// An 8-bit client in the network's charset: absent, gateway.
ListClient ClientB() {
    ListClient c{0x12, {"CZ", "Plze\xF2", "70cm", "OK1XY", "IdB", ""}, {}};
    c.Member.Address = "10.0.0.2";
    c.Member.EMail = "b@y.cz";
    return c;
}

class ClientListTest : public test::TempDirTest {
protected:
    std::string Print(const std::vector<AnsiString>& Lines, const TConsoleListFlags& Flags, char16_t Delimiter,
                      TAnsiUnicodeConverter* Converter) {
        TTextFile out;
        EXPECT_EQ(TryRewriteTextName(out, Path("list.txt")), 0);
        EXPECT_EQ(PrintClientList(out, Lines, Flags, Delimiter, Converter), 0);
        EXPECT_EQ(TryCloseText(out), 0);
        return Get(Path("list.txt"));
    }
};

TEST_F(ClientListTest, PrinterTable) {
    TStringBldA b;
    AddBlock(b, "Main", "ISO-8859-2", {Parrot(), ClientA(), ClientB()});
    AddBlock(b, "Quiet", "UTF-8", {Parrot()});
    AddBlock(b, "Void", "", {});
    const std::vector<AnsiString> lines = SplitLines(StrBldAView(b));
    const std::string a = "DL1AB;K\xC3\xB6ln;2m;Hi;Deutschland";
    const std::string bb = "OK1XY;Plze\xC5\x88;70cm;;CZ";
    const std::string lettersA = UnicodeToUtf8A(ExtensionFlagsToLetters(5));
    const std::string lettersB = UnicodeToUtf8A(ExtensionFlagsToLetters(0));
    TConsoleListFlags flat;
    flat.Flat = true;
    TConsoleListFlags empty;
    empty.ShowEmptyNetworks = true;
    TConsoleListFlags flatEmpty = flat;
    flatEmpty.ShowEmptyNetworks = true;
    TConsoleListFlags full;
    full.ShowEMails = full.ShowIPs = full.ShowIds = full.ShowManagerIds = full.ShowProtoFlags = true;
    struct Case {
        const char* Name;
        TConsoleListFlags Flags;
        char16_t Delimiter;
        std::string Out;
    };
    const Case cases[] = {
        {"nested", {}, u';', "Main:\n    " + a + "\n    " + bb + "\n"},
        {"flat", flat, u';', "Main;" + a + "\nMain;" + bb + "\n"},
        {"empty networks", empty, u';', "Main:\n    " + a + "\n    " + bb + "\nQuiet:\nVoid:\n"},
        {"flat with empty networks", flatEmpty, u';', "Main;" + a + "\nMain;" + bb + "\n"},
        {"full, other delimiter", full, u'|',
         "Main:\n    DL1AB|K\xC3\xB6ln|2m|Hi|Deutschland|m\xC3\xBCller@x.de|10.0.0.1|IdA|1=m1,2=m2|nPMLA/" +
             lettersA + "\n    OK1XY|Plze\xC5\x88|70cm||CZ|b@y.cz|10.0.0.2|IdB||gG.../" + lettersB + "\n"},
    };
    TAnsiUnicodeConverter utf8;
    utf8.SetCharset(u"UTF-8");
    for (const Case& c : cases) EXPECT_EQ(Print(lines, c.Flags, c.Delimiter, &utf8), c.Out) << c.Name;
}

TEST_F(ClientListTest, UnreadableLineEndsTheListing) {
    TStringBldA b;
    AddBlock(b, "Main", "UTF-8", {ClientA()});
    AddBlock(b, "Next", "UTF-8", {ClientA(), ClientA()});
    AddBlock(b, "Last", "UTF-8", {ClientA()});
    std::vector<AnsiString> lines = SplitLines(StrBldAView(b));
    // The second client line of "Next" cannot be read: its network shows the client before it,
    // and nothing after it is listed.
    lines[7] = "ZZ";
    TConsoleListFlags flat;
    flat.Flat = true;
    const std::string a = "DL1AB;K\xC3\xB6ln;2m;Hi;Deutschland";
    EXPECT_EQ(Print(lines, flat, u';', nullptr), "Main;" + a + "\nNext;" + a + "\n");
    // A network line that cannot be read ends it as well.
    lines = SplitLines(StrBldAView(b));
    lines[4] = "garbage";
    EXPECT_EQ(Print(lines, flat, u';', nullptr), "Main;" + a + "\n");
}

}  // namespace
}  // namespace zel

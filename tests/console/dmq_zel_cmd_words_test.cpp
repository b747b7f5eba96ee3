#include "console/dmq_zel_cmd_words.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/dmq_fileutils.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

using C = TZELConsoleCommand;
using Args = std::vector<AnsiString>;

UnicodeString U(const std::string& s) { return WidenStrU(s); }

std::vector<std::string> SplitWords(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> r;
    for (std::string w; in >> w;) r.push_back(w);
    return r;
}

// Every code with its words in table order.
TEST(CmdWordsTest, WordTableHoldsEveryAliasInOrder) {
    const std::vector<std::pair<int, std::string>> expected = {
        {1, "DAEMON DEAMON DEMON"},
        {2, "PIDFILENAME"},
        {3, "STOP"},
        {4, "DELETEPIDFILE"},
        {5, "REOPENLOG"},
        {6, "PID"},
        {7, "SETMANPASSIDX"},
        {8, "DSETMANPASSIDX DAEMONSETMANPASSIDX"},
        {9, "SETMANPASSADDR"},
        {10, "DSETMANPASSADDR DAEMONSETMANPASSADDR"},
        {11, "DREREADADMINS"},
        {12, "FREREADADMINS"},
        {13, "DREREADMUTES"},
        {14, "FREREADMUTES"},
        {15, "DREREADBLOCKS"},
        {16, "FREREADBLOCKS"},
        {17, "DREREADRIGHTS"},
        {18, "FREREADRIGHTS"},
        {19, "DREREADMODES"},
        {20, "FREREADMODES"},
        {21, "DREREADNOTICES"},
        {22, "FREREADNOTICES"},
        {23, "DREREADALL"},
        {24, "MEMORYREPORT"},
        {25, "DSERVMANMODE"},
        {26, "DNETMANMODE"},
        {27, "FLUSHDATA"},
        {28, "THREADS"},
        {29, "LISTNET NETLIST"},
        {30, "DISCONNECTMANIDX"},
        {31, "DISCONNECTMANADDRPORT"},
        {32, "SETLOGLEVEL LOGLEVELSET"},
        {33, "DISCONNECTALL ALLDISCONNECT"},
        {34, "DISCONNECTCLI CLIDISCONNECT DISCONNECTCLIENT CLIENTDISCONNECT"},
        {35, "DISCONNECTNET NETDISCONNECT DISCONNECTNETWORK NETWORKDISCONNECT"},
        {36, "CONNENABLE ENABLECONN"},
        {37, "CONNDISABLE DISABLECONN"},
        {38, "CONNSTATUS STATUSCONN"},
        {39, "TALKENABLE ENABLETALK"},
        {40, "TALKDISABLE DISABLETALK"},
        {41, "TALKSTATUS STATUSTALK"},
        {42, "CLIENTMOVE MOVECLIENT MOVE"},
        {43, "MOVETEMP TEMPMOVE MOVECLIENTTEMP CLIENTMOVETEMP TEMPMOVECLIENT TEMPCLIENTMOVE"},
        {44, "RIGHTADD ADDRIGHT"},
        {45, "RIGHTDEL DELRIGHT"},
        {46, "RIGHTMARK MARKRIGHT"},
        {47, "RIGHTUNMARK UNMARKRIGHT"},
        {48, "ADMINADD ADDADMIN"},
        {49, "ADMINDEL DELADMIN"},
        {50, "MUTE"},
        {51, "MUTETEMP TEMPMUTE"},
        {52, "UNMUTE"},
        {53, "BLOCK"},
        {54, "BLOCKTEMP TEMPBLOCK"},
        {55, "UNBLOCK"},
        {56, "NOTICESET SETNOTICE"},
        {57, "NOTICECLEAR CLEARNOTICE NOTICECLR CLRNOTICE"},
        {58, "RUN NOSTDOUT"},
        {59, "DEBUG"},
        {60, "HELP"},
        {61, "LIST LISTALL ALLLIST"},
        {62, "DREOPENLOG"},
        {63, "DSTOP"},
        {64, "UPTIME"},
        {65, "LOGTEXT"},
        {66, "DPID"},
        {67, "SERVERID CLIENTID"},
        {68, "LOGFILENAME"},
    };
    std::vector<std::pair<int, std::string>> rows;
    for (const auto& [code, list] : expected) {
        for (const auto& w : SplitWords(list)) rows.emplace_back(code, w);
    }
    ASSERT_EQ(rows.size(), ZELCommandLineCommandDetect.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(ZELCommandLineCommandDetect[i].Word, U(rows[i].second)) << i;
        EXPECT_EQ(static_cast<int>(ZELCommandLineCommandDetect[i].Code), rows[i].first) << rows[i].second;
    }
}

// Any ASCII letter case finds the word; only an exact match counts.
TEST(CmdWordsTest, DetectMatchesExactlyAfterAsciiUpperCasing) {
    for (const auto& row : ZELCommandLineCommandDetect) {
        std::string lower, mixed;
        for (size_t i = 0; i < row.Word.size(); ++i) {
            const char c = static_cast<char>(row.Word[i]);
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            mixed += i % 2 != 0 ? c : lower.back();
        }
        for (const auto& w : {lower, mixed}) {
            bool hasSuffix = false;
            UnicodeString suffix;
            EXPECT_EQ(DetectCommandWord(U(w), hasSuffix, suffix), row.Code) << w;
            EXPECT_FALSE(hasSuffix);
        }
    }
    const struct {
        UnicodeString Word;
        C Code;
    } cases[] = {
        {u"Daemon", C::cmd_Daemon},  {u"deamon", C::cmd_Daemon}, {u"DeMoN", C::cmd_Daemon},
        {u"DAEMO", C::cmd_None},     {u"DAEMONS", C::cmd_None},  {u" STOP", C::cmd_None},
        {u"", C::cmd_None},          {u"serverid", C::cmd_ServerId}, {u"clientid", C::cmd_ServerId},
        // Only a..z are upper-cased: a long s (U+017F) or a dotless i are no ASCII letters.
        {u"\u017Ftop", C::cmd_None}, {u"l\u0131st", C::cmd_None},
    };
    for (const auto& c : cases) {
        bool hasSuffix = false;
        UnicodeString suffix;
        EXPECT_EQ(DetectCommandWord(c.Word, hasSuffix, suffix), c.Code);
    }
}

TEST(CmdWordsTest, DetectKeepsTheSuffixOfAKnownWord) {
    const struct {
        UnicodeString Word;
        C Code;
        bool HasSuffix;
        UnicodeString Suffix;
    } cases[] = {
        {u"list:AbC:d", C::cmd_List, true, u"AbC:d"},
        {u"Help:", C::cmd_Help, true, u""},
        {u"nosuch:x", C::cmd_None, false, u""},
        {u":list", C::cmd_None, false, u""},
    };
    for (const auto& c : cases) {
        bool hasSuffix = false;
        UnicodeString suffix = u"untouched";
        EXPECT_EQ(DetectCommandWord(c.Word, hasSuffix, suffix), c.Code);
        EXPECT_EQ(hasSuffix, c.HasSuffix);
        if (c.HasSuffix) {
            EXPECT_EQ(suffix, c.Suffix);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Flags.

std::string FlagText(const TConsoleListFlags& f) {
    std::string s = std::to_string(static_cast<int>(f.Charset));
    for (bool b : {f.ShowIds, f.ShowIPs, f.ShowEMails, f.ShowProtoFlags, f.Flat, f.ShowEmptyNetworks, f.ShowManagerIds})
        s += b ? '1' : '0';
    return s;
}

TEST(CmdWordsTest, FlagsCountOnlyBeforeTheWord) {
    // Flag text: charset, then ids, IPs, e-mails, proto, flat, empty, manager ids.
    const struct {
        Args Params;
        C Code;
        std::string Flags;
        AnsiString Config;
    } cases[] = {
        {{}, C::cmd_Debug, "00000000", "server.ini"},
        {{"-f", "list"}, C::cmd_List, "01111001", "server.ini"},
        {{"--FULL", "-l", "-T", "list"}, C::cmd_List, "01111111", "server.ini"},
        {{"-i", "-D", "--email", "--Proto", "list"}, C::cmd_List, "01111000", "server.ini"},
        {{"--man", "list"}, C::cmd_List, "00000001", "server.ini"},
        {{"--mananager", "list"}, C::cmd_List, "00000001", "server.ini"},
        {{"-M", "list"}, C::cmd_List, "00000001", "server.ini"},
        {{" -u\t", "list"}, C::cmd_List, "10000000", "server.ini"},
        {{"--UTF", "list"}, C::cmd_List, "10000000", "server.ini"},
        {{"--Utf8", "list"}, C::cmd_List, "10000000", "server.ini"},
        {{"-a", "list"}, C::cmd_List, "20000000", "server.ini"},
        {{"--ansi", "list"}, C::cmd_List, "20000000", "server.ini"},
        {{"-o", "list"}, C::cmd_List, "30000000", "server.ini"},
        {{"--OEM", "list"}, C::cmd_List, "30000000", "server.ini"},
        // Flags alone: the default word.
        {{"-f", "-e"}, C::cmd_Debug, "01111001", "server.ini"},
        // The help's spelling is no flag: it is taken as the word and refused.
        {{"--managerid", "list"}, C::cmd_None, "", ""},
        {{"-u", "-a", "list"}, C::cmd_None, "", ""},
        {{"--utf8", "-u", "list"}, C::cmd_None, "", ""},
        {{"-o", "-f", "--ansi"}, C::cmd_None, "", ""},
        // After the word a flag is a parameter: here the configuration name.
        {{"list", "-f"}, C::cmd_List, "00000000", "-f"},
        {{"-d", "stop", "-u"}, C::cmd_Stop, "01000000", "-u"},
    };
    for (const auto& c : cases) {
        TConsoleCommandLine cmd;
        EXPECT_EQ(ParseConsoleCommandLine(c.Params, cmd), c.Code) << testing::PrintToString(c.Params);
        EXPECT_EQ(cmd.Command, c.Code);
        if (c.Code == C::cmd_None) continue;
        EXPECT_EQ(FlagText(cmd.ListFlags), c.Flags) << testing::PrintToString(c.Params);
        EXPECT_EQ(cmd.ConfigFileName, c.Config);
    }
}

TEST(CmdWordsTest, ParseListFlagsAdvancesOverFlagsOnly) {
    const Args params = {"stop", "-f", "-L", "list", "-e"};
    TConsoleListFlags flags;
    int32_t index = 1, remaining = 4;
    EXPECT_TRUE(ParseListFlags(params, index, remaining, flags));
    EXPECT_EQ(index, 3);
    EXPECT_EQ(remaining, 2);
    EXPECT_EQ(FlagText(flags), "01111101");

    // Remaining bounds the loop even where more parameters follow.
    TConsoleListFlags f2;
    index = 1;
    remaining = 1;
    EXPECT_TRUE(ParseListFlags(params, index, remaining, f2));
    EXPECT_EQ(index, 2);
    EXPECT_EQ(remaining, 0);
    EXPECT_EQ(FlagText(f2), "01111001");

    const Args twoCharsets = {"-u", "-e", "-o", "list"};
    TConsoleListFlags f3;
    index = 0;
    remaining = 4;
    EXPECT_FALSE(ParseListFlags(twoCharsets, index, remaining, f3));
}

// ---------------------------------------------------------------------------------------------
// Parameter grammar.

// Help by suffix, usage for an unknown word with a suffix.
TEST(CmdWordsTest, KnownWordWithColonIsHelp) {
    const struct {
        Args Params;
        C Code;
    } cases[] = {
        {{"LIST:anything"}, C::cmd_Help},
        {{"daemon:"}, C::cmd_Help},
        // The help takes no parameters: a word after it is no configuration name.
        {{"mute:x", "net"}, C::cmd_Help},
        {{"help", "extra", "more"}, C::cmd_Help},
        {{"-f", "stop:x"}, C::cmd_Help},
        {{"nosuch:x"}, C::cmd_None},
        {{"nosuch"}, C::cmd_None},
        {{"  "}, C::cmd_None},
    };
    for (const auto& c : cases) {
        TConsoleCommandLine cmd;
        EXPECT_EQ(ParseConsoleCommandLine(c.Params, cmd), c.Code) << testing::PrintToString(c.Params);
        EXPECT_EQ(cmd.ConfigFileName, "server.ini");
    }
}

struct GrammarCase {
    Args Params;
    C Code;
    // Expected fields, "key=value" separated by "|": cfg, net, net2, cli, addr, pw, idx, lvl, mode,
    // port, time.
    std::string Fields;
};

std::map<std::string, std::string> FieldsOf(const TConsoleCommandLine& c) {
    auto a = [](const UnicodeString& u) { return NarrowStrA(u); };
    return {
        {"cfg", c.ConfigFileName},
        {"net", a(c.NetworkName)},
        {"net2", a(c.TargetNetworkName)},
        {"cli", a(c.ClientText)},
        {"addr", a(c.ManagerAddress)},
        {"pw", c.ManagerPassword},
        {"idx", std::to_string(c.ManagerIndex)},
        {"lvl", std::to_string(c.LogLevel)},
        {"mode", std::to_string(static_cast<int>(c.ManagerMode))},
        {"port", std::to_string(c.ManagerPort)},
        {"time", std::to_string(c.TempTime)},
    };
}

void CheckGrammar(const std::vector<GrammarCase>& cases) {
    for (const auto& c : cases) {
        const std::string where = testing::PrintToString(c.Params);
        TConsoleCommandLine cmd;
        ASSERT_EQ(ParseConsoleCommandLine(c.Params, cmd), c.Code) << where;
        if (c.Code == C::cmd_None) continue;
        const auto got = FieldsOf(cmd);
        std::istringstream in(c.Fields);
        for (std::string kv; std::getline(in, kv, '|');) {
            const size_t eq = kv.find('=');
            ASSERT_NE(eq, std::string::npos) << kv;
            EXPECT_EQ(got.at(kv.substr(0, eq)), kv.substr(eq + 1)) << where << " " << kv;
        }
    }
}

TEST(CmdWordsTest, GrammarReadsTrimmedValuesInOrder) {
    CheckGrammar({
        {{"stop"}, C::cmd_Stop, "cfg=server.ini"},
        {{"stop", " my.ini "}, C::cmd_Stop, "cfg=my.ini"},
        {{"stop", "my.ini", "extra"}, C::cmd_Stop, "cfg=my.ini"},
        {{"stop", " "}, C::cmd_None, ""},
        {{"setmanpassidx", "1", " PasS wd ", "c.ini"}, C::cmd_SetManPassIdx, "idx=1|pw=PasS wd|cfg=c.ini"},
        {{"dsetmanpassidx", "3", "pw"}, C::cmd_None, ""},
        {{"setmanpassidx", "1"}, C::cmd_None, ""},
        {{"setmanpassaddr", "sm.example.org", "pw"}, C::cmd_SetManPassAddr, "addr=sm.example.org|pw=pw"},
        {{"dservmanmode", "light"}, C::cmd_DServManMode, "mode=2"},
        {{"dservmanmode", " 3 "}, C::cmd_DServManMode, "mode=3"},
        {{"dservmanmode", "4"}, C::cmd_None, ""},
        {{"dservmanmode", "bogus"}, C::cmd_None, ""},
        {{"dnetmanmode", "NET", "z", "c.ini"}, C::cmd_DNetManMode, "net=NET|mode=3|cfg=c.ini"},
        {{"disconnectmanidx", "2"}, C::cmd_DisconnectManIdx, "idx=2"},
        {{"disconnectmanidx", "3"}, C::cmd_None, ""},
        {{"disconnectmanidx", "-1"}, C::cmd_None, ""},
        {{"setloglevel", "6"}, C::cmd_SetLogLevel, "lvl=6"},
        {{"setloglevel", "0", "c.ini"}, C::cmd_SetLogLevel, "lvl=0|cfg=c.ini"},
        {{"setloglevel", "7"}, C::cmd_None, ""},
        {{"setloglevel", "x"}, C::cmd_None, ""},
        // The port ends the parameters: no configuration name follows.
        {{"disconnectmanaddrport", "sm.host", " 5000 ", "c.ini"}, C::cmd_DisconnectManAddrPort,
         "addr=sm.host|port=5000|cfg=server.ini"},
        {{"disconnectmanaddrport", "sm.host", "65536"}, C::cmd_None, ""},
        {{"disconnectmanaddrport", "sm.host", "0"}, C::cmd_None, ""},
        {{"disconnectmanaddrport", "sm.host"}, C::cmd_None, ""},
        {{"listnet", " Net 1 "}, C::cmd_ListNet, "net=Net 1"},
        {{"listnet"}, C::cmd_None, ""},
        {{"logtext", "text to log", "c.ini"}, C::cmd_LogText, "net=text to log|cfg=c.ini"},
        {{"mute", " NET ", " ID "}, C::cmd_Mute, "net=NET|cli=ID"},
        {{"mute", "NET", ""}, C::cmd_None, ""},
        {{"mute", "NET"}, C::cmd_None, ""},
        {{"noticeset", "NET", "Closed today", "c.ini"}, C::cmd_NoticeSet, "net=NET|cli=Closed today|cfg=c.ini"},
        {{"move", "ID", "FROM", "TO", "c.ini"}, C::cmd_ClientMove, "cli=ID|net=FROM|net2=TO|cfg=c.ini"},
        {{"move", "ID", "FROM"}, C::cmd_None, ""},
        {{"serverid", " a@b.c "}, C::cmd_ServerId, "cli=a@b.c|cfg=server.ini"},
        {{"serverid", "a@b.c", "c.ini"}, C::cmd_ServerId, "cli=a@b.c|cfg=server.ini"},
        {{"serverid"}, C::cmd_None, ""},
    });
}

// MUTETEMP and BLOCKTEMP: network, duration, client; MOVETEMP: client, duration, source, target.
TEST(CmdWordsTest, TemporaryCommandsTakeTheDurationInTheirOwnPlace) {
    CheckGrammar({
        {{"mutetemp", "NET", "1h30m", "ID"}, C::cmd_MuteTemp, "net=NET|cli=ID|time=5400"},
        {{"tempblock", "NET", " 90 ", "ID", "c.ini"}, C::cmd_BlockTemp, "net=NET|cli=ID|time=90|cfg=c.ini"},
        {{"mutetemp", "NET", "ID", "1h"}, C::cmd_None, ""},
        {{"mutetemp", "NET", "1h"}, C::cmd_None, ""},
        // 4294967296 seconds and more become 4294967295.
        {{"mutetemp", "NET", "49710d6h28m16s", "ID"}, C::cmd_MuteTemp, "time=4294967295"},
        {{"mutetemp", "NET", "137y", "ID"}, C::cmd_MuteTemp, "time=4294967295"},
        {{"blocktemp", "NET", "49710d6h28m15s", "ID"}, C::cmd_BlockTemp, "time=4294967295"},
        {{"blocktemp", "NET", "49710d6h28m14s", "ID"}, C::cmd_BlockTemp, "time=4294967294"},
        {{"movetemp", "ID", "1d", "FROM", "TO"}, C::cmd_MoveTemp, "cli=ID|net=FROM|net2=TO|time=86400"},
        {{"movetemp", "ID", "24855d3h14m6s", "FROM", "TO"}, C::cmd_MoveTemp, "time=2147483646"},
        {{"movetemp", "ID", "24855d3h14m8s", "FROM", "TO"}, C::cmd_MoveTemp, "time=2147483647"},
        {{"movetemp", "ID", "69y", "FROM", "TO"}, C::cmd_MoveTemp, "time=2147483647"},
        {{"movetemp", "ID", "FROM", "1d", "TO"}, C::cmd_None, ""},
        {{"movetemp", "ID", "1d", "FROM"}, C::cmd_None, ""},
    });
    TConsoleCommandLine cmd;
    ASSERT_EQ(ParseConsoleCommandLine({"mutetemp", "N", "1d2h", "C"}, cmd), C::cmd_MuteTemp);
    EXPECT_EQ(cmd.TempDuration.Days, 1);
    EXPECT_EQ(cmd.TempDuration.Hours, 2);
}

class CmdWordsFileTest : public test::TempDirTest {};

// A list file name is made absolute against the working directory.
TEST_F(CmdWordsFileTest, ListFileNameResolvesAgainstTheWorkingDirectory) {
    char old[PATH_MAX];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    const std::string cwd = std::filesystem::current_path().string();
    TConsoleCommandLine rel, abs, none;
    const C r1 = ParseConsoleCommandLine({"frereadmutes", " sub/../mutes.dat ", "c.ini"}, rel);
    const C r2 = ParseConsoleCommandLine({"FREREADRIGHTS", "/data/rights.dat"}, abs);
    const C r3 = ParseConsoleCommandLine({"frereadadmins"}, none);
    ASSERT_EQ(chdir(old), 0);
    ASSERT_EQ(r1, C::cmd_FRereadMutes);
    EXPECT_EQ(NarrowStrA(rel.ListFileName), cwd + "/mutes.dat");
    EXPECT_EQ(rel.ConfigFileName, "c.ini");
    ASSERT_EQ(r2, C::cmd_FRereadRights);
    EXPECT_EQ(NarrowStrA(abs.ListFileName), "/data/rights.dat");
    EXPECT_EQ(r3, C::cmd_None);
}

// ---------------------------------------------------------------------------------------------
// Texts.

std::string ReplaceAll(std::string s, const std::string& from, const std::string& to) {
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size())) s.replace(p, from.size(), to);
    return s;
}

TEST_F(CmdWordsFileTest, UsageAndHelpMatchTheGoldenFile) {
    const std::string golden =
        Get(std::filesystem::path(__FILE__).parent_path().append("dmq_zel_cmd_words_golden.txt").string());
    ASSERT_FALSE(golden.empty());
    const std::string program = std::filesystem::path(GetExeFileNameA()).filename().string();
    const std::string expected =
        ReplaceAll(ReplaceAll(golden, "@PLATFORM@", std::string(ZELPlatformText())), "@PROGRAM@", program);

    TTextFile out;
    ASSERT_EQ(TryRewriteTextName(out, Path("out.txt")), 0);
    EXPECT_EQ(PrintUsage(out, nullptr, ConsoleBannerLine()), 0);
    EXPECT_EQ(PrintServerHelp(out, nullptr), 0);
    ASSERT_EQ(TryCloseText(out), 0);
    const std::string got = Get(Path("out.txt"));
    EXPECT_EQ(got, expected);

    // The help is the last 76 lines; without a banner the usage starts with its error line.
    const size_t helpStart = expected.find("ZELServer-console", 1);
    ASSERT_NE(helpStart, std::string::npos);
    const std::string help = expected.substr(helpStart);
    EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 76);
    ASSERT_EQ(TryRewriteTextName(out, Path("usage.txt")), 0);
    EXPECT_EQ(PrintUsage(out, nullptr, u""), 0);
    ASSERT_EQ(TryCloseText(out), 0);
    EXPECT_EQ(Get(Path("usage.txt")), expected.substr(expected.find('\n') + 1, helpStart - expected.find('\n') - 1));
}

TEST(CmdWordsTest, PlatformTextsComeFromTheBuildTarget) {
    EXPECT_EQ(ConsoleBannerLine(), u"ZELServer-console (" + U(std::string(ZELPlatformText())) + u") revision 6583");
    EXPECT_EQ(ServerProductText(), u"Tolvenar-Server-r6583-" + U(std::string(ZELPlatformText())));
}

// A closed output gives the write error; the printers never raise for it.
TEST(CmdWordsTest, PrintersReportAFailedWrite) {
    TTextFile closed;
    EXPECT_NE(PrintServerHelp(closed, nullptr), 0);
    EXPECT_NE(PrintUsage(closed, nullptr, ConsoleBannerLine()), 0);
}

}  // namespace
}  // namespace zel

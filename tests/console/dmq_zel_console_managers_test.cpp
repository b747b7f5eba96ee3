// The real program with System Managers of the test (tests/support/fake_manager.hpp) on
// 127.0.0.1: verdicts while links are down or drop, the mode changes of the command port, and
// which managers hear a client's logout.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "service/dmq_zel_utils.hpp"
#include "tests/support/fake_manager.hpp"
#include "tests/support/server_process.hpp"
#include "tests/support/zel_client.hpp"

namespace zel {
namespace {

using namespace std::chrono_literals;
using test::FakeManager;
using test::TReply;
using test::WaitUntil;

bool StartsWith(const std::string& S, const std::string& P) { return S.compare(0, P.size(), P) == 0; }

// The value of element Tag in Text, "" when absent.
std::string Element(const std::string& Text, const std::string& Tag) {
    const size_t a = Text.find("<" + Tag + ">");
    const size_t b = a == std::string::npos ? a : Text.find("</" + Tag + ">", a);
    return b == std::string::npos ? std::string() : Text.substr(a + Tag.size() + 2, b - a - Tag.size() - 2);
}

// How a manager of the test answers a client's "CC:" line, by the client's e-mail: a line to
// send ("WRONG", "BLOCK", an accepting line), "" to keep silent, "close" to drop the link.
using TPolicy = std::function<std::string(const std::string& EMail)>;

// A manager that takes the handshake, answers keep-alives and answers clients by Policy; every
// connection after the first is refused at its handshake (a dropped link stays down).
std::unique_ptr<FakeManager> Manager(TPolicy Policy) {
    return std::make_unique<FakeManager>([Policy](int Conn, const std::string& Line) -> TReply {
        if (StartsWith(Line, "SC:")) return Conn == 0 ? TReply{"<AL>0</AL>\r\nF\r\n"} : TReply{"", true};
        if (Line == "P") return {"F\r\n"};
        if (!StartsWith(Line, "CC:")) return {};
        const std::string answer = Policy(Element(Line, "EA"));
        if (answer == "close") return {"", true};
        return {answer.empty() ? std::string() : answer + "\r\n"};
    });
}

// The answer of one e-mail's first word ("wrong1@..." gives "WRONG", "ok..." accepts).
std::string ByName(const std::string& EMail) {
    if (StartsWith(EMail, "wrong")) return "WRONG";
    if (StartsWith(EMail, "block")) return "BLOCK";
    if (StartsWith(EMail, "ok")) return "<SID>s-" + EMail + "</SID>";
    return "";
}

// The live manager's answers (ByName) in a ZEL and a LIGHT network, each the client's outcome.
const struct {
    const char* Mail;
    const char* Net;
    const char* Outcome;
} kLiveVerdicts[] = {
    {"wrong1@example.org", "Full", "WRONG/Z"}, {"block1@example.org", "Full", "BLOCK/Z"},
    {"ok1@example.org", "Full", "OK/Z"},       {"wrong2@example.org", "Light", "WRONG/L"},
    {"block2@example.org", "Light", "BLOCK/L"}, {"ok2@example.org", "Light", "OK/L"},
};

int Occurrences(const std::string& Text, const std::string& Part) {
    int n = 0;
    for (size_t at = Text.find(Part); at != std::string::npos; at = Text.find(Part, at + 1)) ++n;
    return n;
}

int CountPrefix(FakeManager& M, const std::string& Prefix) {
    int n = 0;
    for (const auto& g : M.Lines()) n += StartsWith(g.Line, Prefix);
    return n;
}

// One server: Ports are the manager sections' ports (0: the section is off), Networks the
// networks file, Server more lines of [Server].
class Managers : public ::testing::Test {
protected:
    // Section holds more lines of every enabled manager section, System more lines of [System].
    void Start(const std::vector<uint16_t>& Ports, const std::string& Networks, const std::string& Server = "",
               const std::string& Section = "", const std::string& System = "") {
        ASSERT_TRUE(sd_.Ok());
        sd_.Put("networks.cfg", Networks);
        std::string ini = test::ReadWholeFile(sd_.Config("server.ini", true, "", System, Server));
        const size_t at = ini.find("[Manager]");
        ASSERT_NE(at, std::string::npos);
        ini.erase(at);
        static const char* const kNames[] = {"Manager", "Manager1", "Manager2"};
        for (size_t i = 0; i < 3; ++i) {
            ini += std::string("[") + kNames[i] + "]\n";
            if (i >= Ports.size() || Ports[i] == 0) {
                ini += "ManagerEnabled=0\n";
                continue;
            }
            ini += "ManagerEnabled=1\nManagerAddress=127.0.0.1\nManagerPort=" + std::to_string(Ports[i]) +
                   "\nManagerAuthEMail=server@example.org\nManagerAuthPassword=pw\nManagerDelayAfterConnect=1\n"
                   "ManagerReconnectInterval=3600\nManagerLogDebug=1\nManagerConnectTimeout=2\n" + Section;
        }
        sd_.Put("server.ini", ini);
        cfg_ = sd_.Path("server.ini");
        pid_ = sd_.Spawn({"run", cfg_}, "server");
        ASSERT_TRUE(sd_.WaitForLog("Start listening: Client")) << sd_.Get("zel.log");
        ASSERT_TRUE(sd_.WaitForLog("Start listening: Command")) << sd_.Get("zel.log");
    }
    void TearDown() override {
        if (pid_ > 0) {
            EXPECT_TRUE(sd_.StopsOnSigterm(pid_));
        }
    }
    // Link Index reports itself operating (and so comes up in the networks before any later login).
    bool Operating(int Index) { return sd_.WaitForLog("Manager[" + std::to_string(Index) + "]: operating"); }
    test::TProgramRun Word(std::vector<std::string> Args) {
        Args.push_back(cfg_);
        return sd_.Run(Args, "word");
    }
    // A login answer's AL text and its manager mode letter, as "WRONG/L" or "OK/N"; "" when none
    // came within the bound.
    static std::string Outcome(test::TZelClient& C, const std::string& Line = "") {
        const std::string al = C.Login(Line, 8000);
        if (al.empty()) return "";
        const std::string em = Element(C.Answer, "EM");
        return em.empty() ? al : al + "/" + em;
    }
    std::string Login(const std::string& Mail, const std::string& Net) {
        test::TZelClient c;
        if (!c.Connect(sd_.ClientPort)) return "no connection";
        return Outcome(c, test::ConnectLine(Mail, "N0" + std::to_string(++calls_), Net));
    }

    test::TServerDir sd_;
    std::string cfg_;
    pid_t pid_ = -1;
    int calls_ = 0;
};

// A link that is down never overrules a live one: with the second section unreachable the live
// manager's refusal stands, its acceptance admits; a network whose two links are both down runs
// as STANDALONE, and a switch to LIGHT there still answers "S".
TEST_F(Managers, UnreachableLinkCountsForNothing) {
    auto live = Manager(ByName);
    Start({live->Port(), test::FreeLoopbackPort(), test::FreeLoopbackPort()},
          "Full|ManagerMode=ZEL;ManagersMask=3\nLight|ManagerMode=LIGHT;ManagersMask=3\n"
          "Dead|ManagerMode=NOTIFY;ManagersMask=6\n");
    ASSERT_TRUE(Operating(0));
    for (const auto& c : kLiveVerdicts) {
        SCOPED_TRACE(c.Mail);
        EXPECT_EQ(Login(c.Mail, c.Net), c.Outcome);
    }
    EXPECT_EQ(Login("wrong3@example.org", "Dead"), "OK/S");
    EXPECT_EQ(Word({"dnetmanmode", "Dead", "LIGHT"}).Code, 0);
    EXPECT_EQ(Login("wrong4@example.org", "Dead"), "OK/S");
    // Only the live link was asked, and only the clients of networks it serves.
    EXPECT_EQ(CountPrefix(*live, "CC:"), int(std::size(kLiveVerdicts)));
}

// Both links hold the clients' requests; the second drops them, and the first answers only
// after that: its refusals stand, its acceptances admit.
TEST_F(Managers, DroppedLinkCountsForNothing) {
    // Silent on every request but the last, it drops the link with that.
    auto held = std::make_shared<std::atomic<int>>(0);
    auto dropping = Manager(
        [held](const std::string&) { return ++*held == int(std::size(kLiveVerdicts)) ? "close" : ""; });
    auto live = Manager([&dropping](const std::string& Mail) {
        WaitUntil([&] { return dropping->EndedAt(0) != 0; }, 8s);
        return ByName(Mail);
    });
    Start({live->Port(), dropping->Port()}, "Full|ManagerMode=ZEL;ManagersMask=3\nLight|ManagerMode=LIGHT;ManagersMask=3\n");
    ASSERT_TRUE(Operating(0));
    ASSERT_TRUE(Operating(1));
    const auto& cases = kLiveVerdicts;
    std::vector<std::unique_ptr<test::TZelClient>> clients;
    for (const auto& c : cases) {
        clients.push_back(std::make_unique<test::TZelClient>());
        ASSERT_TRUE(clients.back()->Connect(sd_.ClientPort));
        ASSERT_TRUE(clients.back()->Send(test::ConnectLine(c.Mail, "N0" + std::to_string(++calls_), c.Net)));
    }
    for (size_t i = 0; i < clients.size(); ++i) {
        SCOPED_TRACE(cases[i].Mail);
        EXPECT_EQ(Outcome(*clients[i]), cases[i].Outcome);
    }
}

// Three links: the one client that links 0 and 1 refuse and link 2 accepts is admitted, and its
// logout goes to link 2 alone. Then link 0 drops a client's request and links 1 and 2 refuse it:
// refused.
TEST_F(Managers, LogoutOnlyToTheAcceptingManagerAndThreeLinksOneDropping) {
    auto m0 = Manager([](const std::string& Mail) { return StartsWith(Mail, "both") ? "close" : "WRONG"; });
    auto later = [&m0](const std::string& Mail) {
        if (StartsWith(Mail, "both")) {
            WaitUntil([&] { return m0->EndedAt(0) != 0; }, 8s);
            return std::string("WRONG");
        }
        return std::string();
    };
    auto m1 = Manager([later](const std::string& Mail) { return StartsWith(Mail, "mixed") ? "BLOCK" : later(Mail); });
    auto m2 = Manager([later](const std::string& Mail) {
        return StartsWith(Mail, "mixed") ? "<SID>session</SID>" : later(Mail);
    });
    Start({m0->Port(), m1->Port(), m2->Port()}, "Full|ManagerMode=ZEL\n");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Operating(i));
    {
        test::TZelClient c;
        ASSERT_TRUE(c.Connect(sd_.ClientPort));
        EXPECT_EQ(Outcome(c, test::ConnectLine("mixed@example.org", "MIXED", "Full")), "OK/Z");
    }
    ASSERT_TRUE(WaitUntil([&] { return CountPrefix(*m2, "CD:") == 1; }));
    // Every link handles its lines in order: once links 0 and 1 have the next client's request,
    // a logout sent before it would be there.
    EXPECT_EQ(Login("both@example.org", "Full"), "WRONG/Z");
    EXPECT_EQ(CountPrefix(*m0, "CD:"), 0);
    EXPECT_EQ(CountPrefix(*m1, "CD:"), 0);
    EXPECT_EQ(CountPrefix(*m1, "CC:"), 2);
}

// The mode in force follows every command, back to the configured one: "dnetmanmode" on a network
// with a mode of its own, "dservmanmode" on one without (which the other ignores). A client that
// waits for its verdict gets its answer at once when its network turns STANDALONE.
TEST_F(Managers, ModeChangesCanBeUndoneAndStandaloneReleasesTheWaiting) {
    auto m = Manager([](const std::string& Mail) { return StartsWith(Mail, "hold") ? "" : "WRONG"; });
    Start({m->Port()}, "Main|ManagerMode=NOTIFY\nOther\n", "ManagerMode=NOTIFY\n");
    ASSERT_TRUE(Operating(0));
    int n = 0;
    const auto login = [&](const std::string& Net) { return Login("wrong" + std::to_string(++n) + "@example.org", Net); };
    EXPECT_EQ(login("Main"), "OK/N");
    EXPECT_EQ(Word({"dnetmanmode", "Main", "LIGHT"}).Code, 0);
    EXPECT_EQ(login("Main"), "WRONG/L");
    EXPECT_EQ(Word({"dnetmanmode", "Main", "NOTIFY"}).Code, 0);
    EXPECT_EQ(login("Main"), "OK/N");

    EXPECT_EQ(login("Other"), "OK/N");
    EXPECT_EQ(Word({"dservmanmode", "LIGHT"}).Code, 0);
    EXPECT_EQ(login("Other"), "WRONG/L");
    EXPECT_EQ(login("Main"), "OK/N");
    EXPECT_EQ(Word({"dservmanmode", "NOTIFY"}).Code, 0);
    EXPECT_EQ(login("Other"), "OK/N");

    test::TZelClient waiting;
    ASSERT_TRUE(waiting.Connect(sd_.ClientPort));
    ASSERT_TRUE(waiting.Send(test::ConnectLine("hold@example.org", "HOLD", "Main")));
    ASSERT_TRUE(WaitUntil([&] { return CountPrefix(*m, "CC:<EA>hold") == 1; }));
    EXPECT_EQ(Word({"dnetmanmode", "Main", "STANDALONE"}).Code, 0);
    EXPECT_EQ(Outcome(waiting), "OK/S");
}

// What a manager receives of a client with a UTF-8 part (ManagerUnicode is on by default): the
// "CC:" line carries the part as the client's texts make it. ManagerSuccessAuthScript gets the
// client's texts (the UTF-8 forms), its address, the answer line, the index and the manager.
TEST_F(Managers, ManagerReceivesTheUtf8PartAndTheScriptTheClientsTexts) {
    const std::string script = sd_.Path("success.sh"), args = sd_.Path("args.txt");
    sd_.Put("success.sh", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + args + ".new && mv " + args +
                              ".new " + args + "\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    auto m = Manager(ByName);
    Start({m->Port()}, "Full|ManagerMode=ZEL\n", "", "ManagerSuccessAuthScript=" + script + "\n");
    ASSERT_TRUE(Operating(0));
    const std::string mail = "ok-u8@example.org";
    std::string part = "2";
    for (const auto& [key, value] : std::vector<std::pair<char, std::string>>{
             {'0', mail}, {'1', "pw"}, {'2', "C\xC3\xA4LL"}, {'3', "B\xC3\xA4nd"}, {'4', "D\xC3\xA9sc"},
             {'5', "L\xC3\xA4nd"}, {'6', "T\xC3\xB6wn"}})
        part += key + EncodeTlvLength(int32_t(value.size())) + value;
    std::string line = test::ConnectLine(mail, "CALL", "Full", "9");
    line.insert(line.size() - 2, "<U8TF>" + part + "</U8TF>");
    test::TZelClient c;
    ASSERT_TRUE(c.Connect(sd_.ClientPort));
    ASSERT_EQ(Outcome(c, line), "OK/Z");

    std::string cc;
    for (const auto& g : m->Lines())
        if (StartsWith(g.Line, "CC:")) cc = g.Line;
    EXPECT_EQ(cc.substr(cc.find("<NTU>")), "<NTU>Full</NTU><IP>127.0.0.1</IP><U8TF>" + part + "</U8TF>");

    ASSERT_TRUE(WaitUntil([&] { return !sd_.Get("args.txt").empty(); }, 10s));
    const std::vector<std::string> want = {mail,
                                           "C\xC3\xA4LL",
                                           "B\xC3\xA4nd",
                                           "T\xC3\xB6wn",
                                           "L\xC3\xA4nd",
                                           "D\xC3\xA9sc",
                                           CalcSourceId(mail),
                                           "Full",
                                           "127.0.0.1",
                                           "<SID>s-" + mail + "</SID>",
                                           "0",
                                           "127.0.0.1",
                                           std::to_string(m->Port())};
    EXPECT_EQ(test::SplitLines(sd_.Get("args.txt")), want);
}

// A success script that writes megabytes to its standard output and error, once per accepted
// login: nothing of it reaches the server's own output or its log.
TEST_F(Managers, ScriptOutputStaysOutOfTheServersOutput) {
    const std::string script = sd_.Path("noisy.sh");
    sd_.Put("noisy.sh", "#!/bin/sh\nhead -c 4000000 /dev/zero | tr '\\0' o\nhead -c 4000000 /dev/zero | tr '\\0' e >&2\n"
                        ": > " + sd_.Path("done-$1") + "\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    auto m = Manager(ByName);
    Start({m->Port()}, "Full|ManagerMode=ZEL\n", "", "ManagerSuccessAuthScript=" + script + "\n");
    ASSERT_TRUE(Operating(0));
    for (const char* mail : {"ok-noisy1@example.org", "ok-noisy2@example.org"}) {
        EXPECT_EQ(Login(mail, "Full"), "OK/Z");
        // The script's first argument is the client's e-mail: it has written everything once
        // its mark is there.
        EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(sd_.Path(std::string("done-") + mail)); }, 20s));
    }
    for (const char* name : {"server.out", "server.err", "zel.log"}) {
        SCOPED_TRACE(name);
        EXPECT_LT(sd_.Get(name).size(), 65536u);
    }
}

// One answer is lost; then a login comes every third of the answer bound (ClientActivityTimeout)
// with verdicts that alternate. No client ever gets another client's verdict: each gets its own,
// or is let in as STANDALONE while the link is reset, and once the link is back the manager's
// verdicts reach their clients again.
TEST_F(Managers, LostAnswerMisroutesNoVerdict) {
    FakeManager m([](int Conn, const std::string& Line) -> TReply {
        if (StartsWith(Line, "SC:")) return {"<AL>0</AL>\r\nF\r\n"};
        if (Line == "P") return {"F\r\n"};
        if (!StartsWith(Line, "CC:")) return {};
        const std::string mail = Element(Line, "EA");
        if (Conn == 0 && mail == "wrong0@example.org") return {};
        return {ByName(mail) + "\r\n"};
    });
    Start({m.Port()}, "Full|ManagerMode=ZEL\n", "ClientActivityTimeout=3\n", "ManagerDelayAfterConnect=0\n");
    ASSERT_TRUE(Operating(0));
    const auto mail = [](int I) { return (I % 2 == 0 ? "wrong" : "ok") + std::to_string(I) + "@example.org"; };
    // What each may come out with: its own verdict, STANDALONE, or nothing (closed while waiting).
    const auto check = [&](int I, const std::string& Got) {
        SCOPED_TRACE(mail(I));
        const std::string own = I % 2 == 0 ? "WRONG/Z" : "OK/Z";
        EXPECT_TRUE(Got == own || Got == "OK/S" || Got.empty()) << Got;
    };
    std::vector<std::unique_ptr<test::TZelClient>> clients;
    const auto login = [&](int I) {
        clients.push_back(std::make_unique<test::TZelClient>());
        ASSERT_TRUE(clients.back()->Connect(sd_.ClientPort));
        ASSERT_TRUE(clients.back()->Send(test::ConnectLine(mail(I), "N" + std::to_string(I), "Full")));
    };
    for (int i = 0; i < 6; ++i) {
        login(i);
        std::this_thread::sleep_for(1s);
    }
    for (size_t i = 0; i < clients.size(); ++i) check(int(i), Outcome(*clients[i]));
    EXPECT_TRUE(sd_.LogHas(" ms: reconnecting; ")) << sd_.Get("zel.log");
    // Back up: every verdict reaches its own client.
    ASSERT_TRUE(WaitUntil([&] { return m.Connections() == 2; }, 10s));
    // Up at the start, and again now.
    ASSERT_TRUE(WaitUntil([&] { return Occurrences(sd_.Get("zel.log"), "managers active for the net(room) again") == 2; }))
        << sd_.Get("zel.log");
    for (int i = 6; i < 10; ++i) EXPECT_EQ(Login(mail(i), "Full"), i % 2 == 0 ? "WRONG/Z" : "OK/Z") << mail(i);
}

// A manager that answers each login within 50 ms, pipelined: a burst of 200 logins is through in
// about the time of the burst, far from the 10 s that one login per round trip would take, and
// every client gets its own verdict.
TEST_F(Managers, BurstOfLoginsIsPipelined) {
    FakeManager m([](int, const std::string& Line) -> TReply {
        if (StartsWith(Line, "SC:")) return {"<AL>0</AL>\r\nF\r\n"};
        if (Line == "P") return {"F\r\n"};
        if (!StartsWith(Line, "CC:")) return {};
        return {ByName(Element(Line, "EA")) + "\r\n", false, 50};
    });
    Start({m.Port()}, "Full|ManagerMode=ZEL\n",
          "MaxConnectionsPerAddress=1000\nMaxWaitConnections=1000\nClientActivityTimeout=30\n",
          "ManagerDelayAfterConnect=0\n");
    ASSERT_TRUE(Operating(0));
    constexpr int kLogins = 200;
    const auto mail = [](int I) { return (I % 2 == 0 ? "wrong" : "ok") + std::to_string(I) + "@example.org"; };
    std::vector<std::unique_ptr<test::TZelClient>> clients;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kLogins; ++i) {
        clients.push_back(std::make_unique<test::TZelClient>());
        ASSERT_TRUE(clients.back()->Connect(sd_.ClientPort));
        ASSERT_TRUE(clients.back()->Send(test::ConnectLine(mail(i), "B" + std::to_string(i), "Full")));
    }
    for (int i = 0; i < kLogins; ++i) EXPECT_EQ(Outcome(*clients[size_t(i)]), i % 2 == 0 ? "WRONG/Z" : "OK/Z") << i;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("%d logins through a manager answering in 50 ms: %lld ms\n", kLogins, (long long)took.count());
    EXPECT_LT(took, 6s);
}

// A manager that answers every login in order after 300 ms sends one line too many once, after its
// tenth answer, while 40 logins come at 5 a second, refused and accepted in turn. No client ever
// gets another client's verdict: an empty line answers nothing, so each gets its own; a line that
// is no answer resets the link, and the clients of that moment get in as STANDALONE.
// The parameter: the extra line is a text (else an empty line).
class ManagerLineTooMany : public Managers, public ::testing::WithParamInterface<bool> {};

TEST_P(ManagerLineTooMany, MisroutesNoVerdict) {
    const bool resets = GetParam();
    const std::string extra = resets ? "hello manager\r\n" : "\r\n";
    auto answered = std::make_shared<std::atomic<int>>(0);
    FakeManager m([extra, answered](int, const std::string& Line) -> TReply {
        if (StartsWith(Line, "SC:")) return {"<AL>0</AL>\r\nF\r\n"};
        if (Line == "P") return {"F\r\n"};
        if (!StartsWith(Line, "CC:")) return {};
        return {ByName(Element(Line, "EA")) + "\r\n" + (++*answered == 10 ? extra : ""), false, 300};
    });
    Start({m.Port()}, "Full|ManagerMode=ZEL\n", "MaxConnectionsPerAddress=1000\nMaxWaitConnections=1000\n",
          "ManagerDelayAfterConnect=0\n");
    ASSERT_TRUE(Operating(0));
    constexpr int kLogins = 40;
    const auto mail = [](int I) { return (I % 2 == 0 ? "wrong" : "ok") + std::to_string(I) + "@example.org"; };
    std::vector<std::unique_ptr<test::TZelClient>> clients;
    for (int i = 0; i < kLogins; ++i) {
        clients.push_back(std::make_unique<test::TZelClient>());
        ASSERT_TRUE(clients.back()->Connect(sd_.ClientPort));
        ASSERT_TRUE(clients.back()->Send(test::ConnectLine(mail(i), "X" + std::to_string(i), "Full")));
        std::this_thread::sleep_for(200ms);
    }
    int standalone = 0;
    for (int i = 0; i < kLogins; ++i) {
        SCOPED_TRACE(mail(i));
        const std::string own = i % 2 == 0 ? "WRONG/Z" : "OK/Z";
        const std::string got = Outcome(*clients[size_t(i)]);
        standalone += got == "OK/S";
        if (resets)
            EXPECT_TRUE(got == own || got == "OK/S") << got;
        else
            EXPECT_EQ(got, own);
    }
    if (resets) {
        EXPECT_GT(standalone, 0);
        EXPECT_TRUE(sd_.LogHas("Manager[0]: unreadable answer: \"hello manager\": reconnecting; ")) << sd_.Get("zel.log");
        EXPECT_EQ(m.Connections(), 2);
    } else {
        EXPECT_FALSE(sd_.LogHas("reconnecting")) << sd_.Get("zel.log");
        EXPECT_EQ(m.Connections(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(ExtraLine, ManagerLineTooMany, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& I) { return I.param ? "Text" : "EmptyLine"; });

// ClientActivityTimeout 3 and a manager that answers every login in order after 1.8 s, with a login
// every 100 ms: no request is held so long that its client gives up, and each gets its own verdict.
TEST_F(Managers, SlowManagerAnswersEveryLoginInTime) {
    FakeManager m([](int, const std::string& Line) -> TReply {
        if (StartsWith(Line, "SC:")) return {"<AL>0</AL>\r\nF\r\n"};
        if (Line == "P") return {"F\r\n"};
        if (!StartsWith(Line, "CC:")) return {};
        return {ByName(Element(Line, "EA")) + "\r\n", false, 1800};
    });
    Start({m.Port()}, "Full|ManagerMode=ZEL\n",
          "ClientActivityTimeout=3\nMaxConnectionsPerAddress=1000\nMaxWaitConnections=1000\n",
          "ManagerDelayAfterConnect=0\n");
    ASSERT_TRUE(Operating(0));
    constexpr int kLogins = 36;
    const auto mail = [](int I) { return (I % 2 == 0 ? "wrong" : "ok") + std::to_string(I) + "@example.org"; };
    std::vector<std::unique_ptr<test::TZelClient>> clients;
    for (int i = 0; i < kLogins; ++i) {
        clients.push_back(std::make_unique<test::TZelClient>());
        ASSERT_TRUE(clients.back()->Connect(sd_.ClientPort));
        ASSERT_TRUE(clients.back()->Send(test::ConnectLine(mail(i), "S" + std::to_string(i), "Full")));
        std::this_thread::sleep_for(100ms);
    }
    for (int i = 0; i < kLogins; ++i)
        EXPECT_EQ(Outcome(*clients[size_t(i)]), i % 2 == 0 ? "WRONG/Z" : "OK/Z") << mail(i);
    EXPECT_FALSE(sd_.LogHas("reconnecting")) << sd_.Get("zel.log");
    EXPECT_EQ(m.Connections(), 1);
}

// The only manager is unreachable: the network admits everyone as STANDALONE, and the log says so
// from the start, naming the network.
TEST_F(Managers, UnreachableManagerAtStartIsLogged) {
    Start({test::FreeLoopbackPort()}, "Full|ManagerMode=ZEL\nFree\n");
    EXPECT_TRUE(sd_.WaitForLog("\"Full\": WARNING: no active managers for the net(room); switching "
                               "net(room) manager mode to STANDALONE",
                               5s))
        << sd_.Get("zel.log");
    EXPECT_EQ(Login("wrong1@example.org", "Full"), "OK/S");
    EXPECT_FALSE(sd_.LogHas("\"Free\": WARNING"));
}

// A timed move into a manager network whose verdict takes longer than the move: the client goes
// home once the verdict has admitted it, not never.
TEST_F(Managers, TimedMoveEndsAfterTheHeldVerdict) {
    FakeManager m([](int, const std::string& Line) -> TReply {
        if (StartsWith(Line, "SC:")) return {"<AL>0</AL>\r\nF\r\n"};
        if (Line == "P") return {"F\r\n"};
        if (!StartsWith(Line, "CC:")) return {};
        return {"<SID>held</SID>\r\n", false, 4000};
    });
    Start({m.Port()}, "Home\nAway|ManagerMode=ZEL\n", "", "ManagerDelayAfterConnect=0\n", "LogClientLevel=5\n");
    ASSERT_TRUE(Operating(0));
    test::TZelClient c;
    ASSERT_TRUE(c.Connect(sd_.ClientPort));
    ASSERT_EQ(Outcome(c, test::ConnectLine("mover@example.org", "MOVER", "Home")), "OK/S");
    ASSERT_TRUE(sd_.WaitForLog(" LOGIN"));
    ASSERT_EQ(Word({"movetemp", CalcSourceId("mover@example.org"), "2s", "Home", "Away"}).Code, 0);
    ASSERT_TRUE(WaitUntil([&] { return CountPrefix(m, "CC:<EA>mover@") == 1; }));
    EXPECT_TRUE(sd_.WaitForLog("MOVE_AUTO_BACK NetTo=`Home`", 15s)) << sd_.Get("zel.log");
    const std::string log = sd_.Get("zel.log");
    EXPECT_LT(log.find("MOVED NetFrom=`Home`"), log.find("MOVE_AUTO_BACK")) << log;
}

}  // namespace
}  // namespace zel

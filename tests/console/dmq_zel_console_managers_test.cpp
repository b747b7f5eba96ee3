// The real program with System Managers of the test (tests/support/fake_manager.hpp) on
// 127.0.0.1: verdicts while links are down or drop, the mode changes of the command port, and
// which managers hear a client's logout.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

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

int CountPrefix(FakeManager& M, const std::string& Prefix) {
    int n = 0;
    for (const auto& g : M.Lines()) n += StartsWith(g.Line, Prefix);
    return n;
}

// One server: Ports are the manager sections' ports (0: the section is off), Networks the
// networks file, Server more lines of [Server].
class Managers : public ::testing::Test {
protected:
    void Start(const std::vector<uint16_t>& Ports, const std::string& Networks, const std::string& Server = "") {
        ASSERT_TRUE(sd_.Ok());
        sd_.Put("networks.cfg", Networks);
        std::string ini = test::ReadWholeFile(sd_.Config("server.ini", true, "", "", Server));
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
                   "ManagerReconnectInterval=3600\nManagerLogDebug=1\nManagerConnectTimeout=2\n";
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

}  // namespace
}  // namespace zel

#include "service/dmq_zel_svc_sysman.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "tests/support/fake_manager.hpp"
#include "tests/support/script_peer.hpp"
#include "tests/support/scripted_peer.hpp"
#include "tests/support/service_fixture.hpp"
#include "tests/support/stand_in_network.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

using C = TZELSVCNetQueueCommand;
using test::NowMs;
using test::PollFd;
using test::WriteAllTo;
using namespace std::chrono_literals;

using test::FakeManager;
using test::TReply;

bool StartsWith(const std::string& S, const std::string& P) { return S.compare(0, P.size(), P) == 0; }

int CountPrefix(FakeManager& M, int Conn, const std::string& Prefix) {
    int n = 0;
    for (const std::string& l : M.LinesOf(Conn)) n += StartsWith(l, Prefix);
    return n;
}

// The usual manager: accepts the handshake, answers keep-alives; Auth answers the client lines.
FakeManager::TScript Manager(std::function<TReply(int, const std::string&)> Auth = nullptr) {
    return [Auth](int Conn, const std::string& Line) -> TReply {
        if (StartsWith(Line, "SC:")) return {"<AL>0</AL>\r\nF\r\n"};
        if (Line == "P") return {"F\r\n"};
        if (Auth) return Auth(Conn, Line);
        return {};
    };
}

// ---------------------------------------------------------------------------------------------
// The service side: a service that is not started, whose queue and log the test reads.

struct TRecord {
    C Command;
    TZELSVCWrkCtxBase* Owner;
    uint32_t OwnerId;
    void* Obj2;
    std::string Text1, Text2;
    int32_t Value1, Value2, Value3;
    int64_t At;
};

class Harness {
public:
    Harness() : service_(u"/etc/server.ini", TZELServiceConfig{}) {}

    TZELService& Service() { return service_; }

    // Takes what waits in the service queue and the log.
    void Drain() {
        std::unique_ptr<TZELSVCNetQueueRecord> batch[32];
        int32_t n;
        while ((n = service_.ServQueue().PopMany(batch, 32)) > 0)
            for (int32_t i = 0; i < n; ++i) {
                const TZELSVCNetQueueRecord& r = *batch[i];
                records_.push_back({r.Command, r.Owner, r.OwnerId, r.Obj2, r.Text1, r.Text2, r.Value1, r.Value2,
                                    r.Value3, NowMs()});
            }
        UnicodeString line;
        while (service_.PopLogLine(line)) log_.push_back(UnicodeToUtf8A(line));
    }
    // Drains until Cond holds or Limit passed.
    bool Until(const std::function<bool()>& Cond, std::chrono::milliseconds Limit = 5000ms) {
        const int64_t end = NowMs() + Limit.count();
        for (;;) {
            Drain();
            if (Cond()) return true;
            if (NowMs() >= end) return false;
            std::this_thread::sleep_for(5ms);
        }
    }
    std::vector<TRecord> Of(C Command) {
        Drain();
        std::vector<TRecord> r;
        for (const TRecord& t : records_)
            if (t.Command == Command) r.push_back(t);
        return r;
    }
    int Count(C Command) { return int(Of(Command).size()); }
    bool Logged(const std::string& Line) {
        Drain();
        for (const std::string& l : log_)
            if (l == Line) return true;
        return false;
    }
    bool LoggedPrefix(const std::string& Prefix) {
        Drain();
        for (const std::string& l : log_)
            if (StartsWith(l, Prefix)) return true;
        return false;
    }
    bool LogMentions(const std::string& Text) {
        Drain();
        for (const std::string& l : log_)
            if (l.find(Text) != std::string::npos) return true;
        return false;
    }
    std::string LogText() {
        Drain();
        std::string s;
        for (const std::string& l : log_) s += l + "\n";
        return s;
    }

private:
    TZELService service_;
    std::vector<TRecord> records_;
    std::vector<std::string> log_;
};

// A client as the link reads it.
class Client : public test::TStandInContext {
public:
    explicit Client(uint32_t N, std::string Id = "ID000000000000000000001")
        : TStandInContext(N), id_(std::move(Id)) {}
    AnsiString ManagerRequestText() const override {
        return "CC:<EA>ham@example.org</EA><PW>clientpw</PW><ON>DL1ABC</ON><CL>2</CL><BC>PC Only</BC>"
               "<NN>Germany</NN><CT>Berlin</CT><DS>x</DS><NT>Net</NT>";
    }
    AnsiString ManagerUtf8Part() const override { return "<U8TF>2" "0" "0F" "ham@example.org" "1" "08" "clientpw" "</U8TF>"; }
    AnsiString ManagerPeerAddress() const override { return "192.0.2.7"; }
    AnsiString ManagerClientId() const override { return id_; }
    void ManagerScriptTexts(std::array<UnicodeString, 8>& T) const override {
        T = {u"ham@example.org", u"DL1ABC", u"PC Only", u"Berlin", u"Germany", u"x y", u"ID1", u"Net"};
    }
    uint8_t ManagerLinkState(int32_t Index) const override { return state_[size_t(Index)]; }
    void SetManagerLinkState(int32_t Index, uint8_t State) override { state_[size_t(Index)] = State; }

private:
    std::string id_;
    std::array<uint8_t, 3> state_{};
};

class Network : public test::StandInNetwork {
public:
    explicit Network(uint32_t Mask = 7) {
        Name_ = u"Net";
        Options_.ManagersMask = int32_t(Mask);
    }
};

TZELSvcSysmanParams LinkParams(uint16_t Port) {
    TZELSvcSysmanParams p;
    p.ManagerEnabled = true;
    p.ManagerAddress = u"127.0.0.1";
    p.ManagerPort = Port;
    p.ManagerAuthEMail = u"srv@example.org";
    p.ManagerAuthPassword = u"secret";
    p.PresentServerAddress = u"zel.b\u00FCcher.example";
    p.PresentServerPort = u"10024";
    p.ServerVersion = 2014004;
    p.ManagerReconnectInterval = 1;
    p.ManagerDelayAfterConnect = 1;
    p.ManagerLogDebug = 5;
    p.ManagerLogErrors = true;
    p.ManagerUnicode = true;
    p.SubstituteSource = true;
    p.Connection.ManagerConnectTimeout = 3000;
    p.Connection.ManagerActivityTimeout = 5000;
    return p;
}

const std::string kHandshake =
    "SC:<VX>2014004</VX><SN>zel.xn--bcher-kva.example</SN><PT>10024</PT><OW>srv@example.org</OW>"
    "<PW>secret</PW>\r\n";

std::unique_ptr<TZELSvcSysMan> StartedLink(Harness& H, const TZELSvcSysmanParams& P, uint32_t KeepAliveMs = 3000,
                                           uint32_t ShortPauseMs = 3000) {
    auto l = std::make_unique<TZELSvcSysMan>(H.Service(), 0, P);
    l->KeepAliveMs = KeepAliveMs;
    l->ShortPauseMs = ShortPauseMs;
    l->Start();
    l->StartLink();
    return l;
}

// A link to a manager at Port that operates at its acknowledgement, its timing set by Tune first.
std::unique_ptr<TZELSvcSysMan> TunedLink(Harness& H, uint16_t Port, const std::function<void(TZELSvcSysMan&)>& Tune) {
    TZELSvcSysmanParams p = LinkParams(Port);
    p.ManagerDelayAfterConnect = 0;
    auto l = std::make_unique<TZELSvcSysMan>(H.Service(), 0, p);
    Tune(*l);
    l->Start();
    l->StartLink();
    return l;
}

// ---------------------------------------------------------------------------------------------

TEST(SysManLines, BuildersAndMasking) {
    TZELSysManQueueData r;
    r.Text1 = "CC:<EA>a@b</EA><PW>pw</PW>";
    r.Text2 = "<U8TF>2" "0" "03" "a@b" "1" "02" "pw" "</U8TF>";
    r.Text3 = "192.0.2.7";
    r.Text4 = "ID1";
    r.NetName = "Net\xE4";
    r.NetNameUtf8 = "Net\xC3\xA4";
    TStringBldA b;
    const struct {
        bool Unicode, Substitute;
        std::string Line;
    } auth[] = {
        {true, true, r.Text1 + "<NTU>Net\xC3\xA4</NTU><IP>127.0.0.1</IP>" + r.Text2 + "\r\n"},
        {true, false, r.Text1 + "<NTU>Net\xC3\xA4</NTU><IP>192.0.2.7</IP>" + r.Text2 + "\r\n"},
        {false, false, r.Text1 + "<IP>192.0.2.7</IP>\r\n"},
    };
    for (const auto& c : auth) {
        BuildSysManAuthLine(b, r, c.Unicode, c.Substitute);
        EXPECT_EQ(std::string(StrBldAView(b)), c.Line);
    }
    BuildSysManLogoutLine(b, r, true);
    EXPECT_EQ(std::string(StrBldAView(b)), "CD:<ID>ID1</ID><NT>Net\xE4</NT><NTU>Net\xC3\xA4</NTU>\r\n");
    BuildSysManLogoutLine(b, r, false);
    EXPECT_EQ(std::string(StrBldAView(b)), "CD:<ID>ID1</ID><NT>Net\xE4</NT>\r\n");

    const struct {
        std::string In, Out;
    } masks[] = {
        {"SC:<VX>1</VX><PW>secret</PW>\r\n", "SC:<VX>1</VX><PW>***</PW>\r\n"},
        {r.Text1 + r.Text2, "CC:<EA>a@b</EA><PW>***</PW><U8TF>2" "0" "03" "a@b" "1" "02" "***</U8TF>"},
        // A part that cannot be read is masked whole.
        {"<U8TF>2" "1" "7F" "pw</U8TF>", "<U8TF>***</U8TF>"},
        {"<PW>open", "<PW>open"},
    };
    for (const auto& m : masks) EXPECT_EQ(MaskSysManSecrets(m.In), m.Out);

    EXPECT_EQ(SysManServerName(u"zel.example.org"), "zel.example.org");
    EXPECT_EQ(SysManServerName(u"zel.b\u00FCcher.example"), "zel.xn--bcher-kva.example");
    const struct {
        const char* Line;
        int32_t Result;
    } results[] = {{"BLOCK", 4},
                   {"WRONG", 3},
                   {"ERROR", 2},
                   {"DUPL", 5},
                   {"<MID>1</MID>", 1},
                   {" <MID>1</MID>\t<SID>a<b</SID> ", 1},
                   {"<A>1</A><B>2</B><C>3</C><D>4</D><E>5</E><F>6</F><G>7</G><H>8</H><I>9</I><J>10</J>"
                    "<K>11</K><L>12</L><M>13</M><N>14</N><O>15</O><P>16</P><Q>17</Q>", 1},
                   // Answers nobody: no refusal word and no element list.
                   {"", 0},
                   {"   ", 0},
                   {"wrong", 0},
                   {"WRONG ", 0},
                   {"hello manager", 0},
                   {"<MID>1</MID> trailing", 0},
                   {"<MID>1", 0},
                   {"<MID>1</MID>\r", 0},
                   {"<MID>1\x01</MID>", 0}};
    for (const auto& c : results) EXPECT_EQ(SysManAnswerResult(c.Line), c.Result) << c.Line;

    // The handshake answer's code; a refused line leaves the code alone.
    const struct {
        std::string Line;
        bool Ok;
        int32_t Code;
    } codes[] = {
        {"<AL>0</AL>", true, 0},          {"<X>1</X> <AL>-5</AL>", true, -5}, {"<AL>7</AL><AL>1</AL>", true, 7},
        {"<AL>abc</AL>", false, 99},      {"<AL></AL>", false, 99},           {"<AL>0", false, 99},
        {"<AL>2147483648</AL>", false, 99}, {"", false, 99},                  {"<al>0</al>", false, 99},
        {"<AL>0</AL>\x01", false, 99},
    };
    for (const auto& c : codes) {
        int32_t code = 99;
        EXPECT_EQ(ReadSysManHandshakeCode(c.Line, code), c.Ok) << c.Line;
        EXPECT_EQ(code, c.Code) << c.Line;
    }
}

// The whole exchange with a manager, with the client's address and with the substitute.
TEST(SysManLink, TranscriptWithVerdictsKeepAlivesAndLogout) {
    for (const bool substitute : {true, false}) {
        SCOPED_TRACE(substitute);
        std::atomic<int> auths{0};
        FakeManager m(Manager([&](int, const std::string& Line) -> TReply {
            if (!StartsWith(Line, "CC:")) return {};
            return {++auths == 1 ? "WRONG\r\n" : "<MID>77</MID>\r\n"};
        }));
        Harness h;
        TZELSvcSysmanParams p = LinkParams(m.Port());
        p.SubstituteSource = substitute;
        auto link = StartedLink(h, p, 300);

        ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; }));
        EXPECT_EQ(m.Raw(0).substr(0, kHandshake.size()), kHandshake);
        // Up only after the delay that follows the acknowledgement.
        EXPECT_GE(h.Of(C::fsnq_ManagerLinkUp)[0].At - m.Lines()[0].At, 900);
        EXPECT_EQ(link->State(), SYSMAN_OPERATING);

        Client a(11), b(12);
        Network net;
        link->AuthClient(&a, &net, 5);
        link->AuthClient(&b, &net, 6);
        ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerAuthAnswer) == 2; }));
        const auto answers = h.Of(C::fsnq_ManagerAuthAnswer);
        EXPECT_EQ(answers[0].Owner, &a);
        EXPECT_EQ(answers[0].OwnerId, 11u);
        EXPECT_EQ(answers[0].Obj2, static_cast<void*>(static_cast<TZELSVCNetworkBase*>(&net)));
        EXPECT_EQ(answers[0].Value1, SYSMAN_RESULT_WRONG);
        EXPECT_EQ(answers[0].Value2, 0);
        EXPECT_EQ(answers[0].Value3, 5);
        EXPECT_EQ(answers[0].Text1, "ID000000000000000000001");
        EXPECT_EQ(answers[0].Text2, "");
        EXPECT_EQ(answers[1].Owner, &b);
        EXPECT_EQ(answers[1].Value1, SYSMAN_RESULT_OK);
        EXPECT_EQ(answers[1].Text2, "<MID>77</MID>");
        EXPECT_EQ(answers[1].Value3, 6);

        const std::string ip = substitute ? "127.0.0.1" : "192.0.2.7";
        const std::string authLine = a.ManagerRequestText() + "<NTU>Net</NTU><IP>" + ip + "</IP>" + a.ManagerUtf8Part();
        EXPECT_EQ(m.Count(authLine), 2);

        link->ClientLogout("ID1", "Net", "Net");
        ASSERT_TRUE(h.Until([&] { return m.Count("CD:<ID>ID1</ID><NT>Net</NT><NTU>Net</NTU>") == 1; }));
        // Keep-alives went out and were answered: the link stayed up.
        ASSERT_TRUE(h.Until([&] { return m.Count("P") >= 2; }));
        EXPECT_EQ(h.Count(C::fsnq_ManagerLinkDown), 0);
        EXPECT_TRUE(h.Logged("Manager[0]: got Pong - \"F\""));
        EXPECT_TRUE(h.Logged("Manager[0]: got: \"WRONG\""));

        // The passwords never reach the log.
        EXPECT_TRUE(h.Logged("Manager[0]: handshake string: " + kHandshake.substr(0, kHandshake.find("<PW>")) +
                             "<PW>***</PW>\\x0D\\x0A"));
        EXPECT_TRUE(h.LoggedPrefix("Manager[0]: put: CC:<EA>ham@example.org</EA><PW>***</PW>"));
        EXPECT_FALSE(h.LogMentions("secret")) << h.LogText();
        EXPECT_FALSE(h.LogMentions("clientpw")) << h.LogText();
        link.reset();
        // Leaving State 9 at the end is a link down too.
        EXPECT_EQ(h.Count(C::fsnq_ManagerLinkDown), 1);
    }
}

// Each way a connection fails: the log line, pending requests answered with 0, link down only
// when the link was operating, and the next connect after the reconnect interval (1 s), not sooner.
class SysManScripts : public test::TempDirTest {
protected:
    // An executable script that writes its arguments, one a line, into Out (into Out.<pid> with
    // PerRun, for runs that may overlap); the file appears whole.
    std::string ArgsScript(const std::string& Name, const std::string& Out, bool PerRun = false) {
        const std::string script = Path(Name);
        const std::string suffix = PerRun ? ".$$" : "";
        Put(script, "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '" + Out + ".tmp'" + suffix + "\nmv '" +
                        Out + ".tmp'" + suffix + " '" + Out + "'" + suffix + "\n");
        EXPECT_EQ(chmod(script.c_str(), 0755), 0);
        return script;
    }
};

TEST_F(SysManScripts, FailuresPauseForTheReconnectInterval) {
    const std::string argsFile = Path("args");
    const std::string script = ArgsScript("invalid.sh", argsFile);

    struct Case {
        const char* What;
        std::string Answer;  // to the handshake of the first connection
        bool AuthThenClose;  // two requests go out once up; the manager closes on the second
        bool Operating;      // the link reaches State 9 before it fails
        int Activity;        // ManagerActivityTimeout, ms
        std::string Log;
    };
    const std::vector<Case> cases = {
        {"AL -4", "<AL>-4</AL>\r\n", false, false, 5000,
         "ERROR: Manager[0]: manager returned code [-4]: invalid e-mail and/or password"},
        {"AL -5", "<AL>-5</AL>\r\n", false, false, 5000,
         "ERROR: Manager[0]: manager returned code [-5]: no working ZEL server at zel.b\xC3\xBC" "cher.example:10024"},
        {"AL 7", "<AL>7</AL>\r\n", false, false, 5000, "ERROR: Manager[0]: manager returned code 7"},
        {"no AL", "<XX>0</XX>\r\n", false, false, 5000, "ERROR: Manager[0]: got invalid answer: <XX>0</XX>"},
        {"AL abc", "<AL>abc</AL>\r\n", false, false, 5000, "ERROR: Manager[0]: got invalid answer: <AL>abc</AL>"},
        {"empty AL", "<AL></AL>\r\n", false, false, 5000, "ERROR: Manager[0]: got invalid answer: <AL></AL>"},
        {"FF", "<AL>0</AL>\r\nFF\r\n", false, false, 5000, "ERROR: Manager[0]: got wrong ack: FF"},
        {"silence after F", "<AL>0</AL>\r\nF\r\n", false, true, 3000, "ERROR: Manager[0]: timed out"},
        {"close with two pending", "<AL>0</AL>\r\nF\r\n", true, true, 5000, "ERROR: Manager[0]: manager disconnected"},
    };
    // The cases run side by side, each with its own manager, service and link.
    struct Run {
        std::unique_ptr<FakeManager> M;
        std::unique_ptr<Harness> H;
        std::unique_ptr<TZELSvcSysMan> L;
        Client A{1}, B{2};
        Network N;
    };
    std::vector<std::unique_ptr<Run>> runs;
    for (const Case& c : cases) {
        auto r = std::make_unique<Run>();
        const bool closeOnAuth = c.AuthThenClose;
        const std::string answer = c.Answer;
        std::shared_ptr<std::atomic<int>> auths = std::make_shared<std::atomic<int>>(0);
        r->M = std::make_unique<FakeManager>([answer, closeOnAuth, auths](int Conn, const std::string& Line) -> TReply {
            if (StartsWith(Line, "SC:")) return {Conn == 0 ? answer : "<AL>0</AL>\r\nF\r\n"};
            if (Line == "P") return {closeOnAuth || Conn > 0 ? "F\r\n" : ""};
            if (StartsWith(Line, "CC:") && closeOnAuth && ++*auths == 2) return {"", true};
            return {};
        });
        r->H = std::make_unique<Harness>();
        TZELSvcSysmanParams p = LinkParams(r->M->Port());
        p.Connection.ManagerActivityTimeout = c.Activity;
        p.ManagerInvalidPasswordScript = WidenStrU(script);
        p.ConfigFileName = u"/etc/server.ini";
        r->L = StartedLink(*r->H, p);
        runs.push_back(std::move(r));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        Run& r = *runs[i];
        SCOPED_TRACE(c.What);
        if (c.AuthThenClose) {
            ASSERT_TRUE(r.H->Until([&] { return r.H->Count(C::fsnq_ManagerLinkUp) == 1; }));
            r.L->AuthClient(&r.A, &r.N, 0);
            r.L->AuthClient(&r.B, &r.N, 0);
        }
        ASSERT_TRUE(r.H->Until([&] { return r.M->Connections() >= 2; }, 8000ms)) << r.H->LogText();
        EXPECT_TRUE(r.H->Logged(c.Log)) << r.H->LogText();
        EXPECT_TRUE(r.H->Logged("Manager[0]: pause 1 seconds"));
        const int64_t gap = r.M->AcceptedAt(1) - r.M->EndedAt(0);
        EXPECT_GE(gap, 900) << "reconnected too soon";
        EXPECT_LE(gap, 2500);
        EXPECT_EQ(r.H->Count(C::fsnq_ManagerLinkDown), c.Operating ? 1 : 0);
        if (c.AuthThenClose) {
            const auto answers = r.H->Of(C::fsnq_ManagerAuthAnswer);
            ASSERT_EQ(answers.size(), 2u);
            EXPECT_EQ(answers[0].Value1, SYSMAN_RESULT_NONE);
            EXPECT_EQ(answers[1].Value1, SYSMAN_RESULT_NONE);
        }
    }
    // AL -4 ran the invalid-password program with the link's data.
    std::string args;
    for (int i = 0; i < 300 && (args = Get(argsFile)).empty(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(args, "0\n127.0.0.1\n" + std::to_string(runs[0]->M->Port()) +
                        "\nsrv@example.org\nzel.b\xC3\xBC" "cher.example\n10024\n/etc/server.ini\n");
    EXPECT_TRUE(runs[0]->H->LoggedPrefix("EXEC: " + script + " 0 127.0.0.1 "));
}

// Every operating line but "F", "OK" and the empty line answers the oldest pending request; a
// line with nothing pending is dropped. An accepted client runs the success program with its 13
// arguments.
TEST_F(SysManScripts, OperatingLinesAnswerInOrderAndAcceptedRunsTheScript) {
    // Each run leaves its own file: the two accepted clients' runs may overlap.
    const std::string argsFile = Path("args");
    const std::string script = ArgsScript("success.sh", argsFile, true);
    // One reply per request, in order; the first comes after an unsolicited "OK", a pong and an
    // empty line, none of which answers.
    const std::vector<std::string> replies = {"OK\r\nF\r\n\r\n<SID>1</SID>\r\n", "BLOCK\r\n", "ERROR\r\n", "DUPL\r\n",
                                              "<MID>9</MID>\r\n<XX>unasked</XX>\r\n"};
    std::atomic<int> auths{0};
    FakeManager m(Manager([&](int, const std::string& Line) -> TReply {
        if (!StartsWith(Line, "CC:")) return {};
        const int i = auths++;
        return {i < int(replies.size()) ? replies[size_t(i)] : ""};
    }));
    Harness h;
    TZELSvcSysmanParams p = LinkParams(m.Port());
    p.ManagerDelayAfterConnect = 0;
    p.ManagerSuccessAuthScript = WidenStrU(script);
    auto link = StartedLink(h, p);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; }));

    // The first has no description: its program run gets an empty argument.
    class NoDescription : public Client {
    public:
        using Client::Client;
        void ManagerScriptTexts(std::array<UnicodeString, 8>& T) const override {
            Client::ManagerScriptTexts(T);
            T[5].clear();
        }
    };
    NoDescription first(1);
    Client second(2), third(3), fourth(4), fifth(5);
    Client* const clients[] = {&first, &second, &third, &fourth, &fifth};
    Network net;
    // One at a time, so that each reply meets exactly one pending request.
    for (size_t i = 0; i < 5; ++i) {
        link->AuthClient(clients[i], &net, int32_t(i));
        ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerAuthAnswer) == int(i) + 1; })) << h.LogText();
    }
    std::this_thread::sleep_for(200ms);
    const auto answers = h.Of(C::fsnq_ManagerAuthAnswer);
    ASSERT_EQ(answers.size(), 5u);  // the unasked line answered nothing
    const struct {
        int32_t Result;
        std::string Text;
    } want[] = {{SYSMAN_RESULT_OK, "<SID>1</SID>"},
                {SYSMAN_RESULT_BLOCK, ""},
                {SYSMAN_RESULT_ERROR, ""},
                {SYSMAN_RESULT_DUPL, ""},
                {SYSMAN_RESULT_OK, "<MID>9</MID>"}};
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(answers[i].Owner, clients[i]);
        EXPECT_EQ(answers[i].Value3, int32_t(i));
        EXPECT_EQ(answers[i].Value1, want[i].Result);
        EXPECT_EQ(answers[i].Text2, want[i].Text);
    }
    EXPECT_EQ(link->State(), SYSMAN_OPERATING);
    EXPECT_EQ(h.Count(C::fsnq_ManagerLinkDown), 0);

    // The program runs of the two accepted clients.
    const auto runWith = [&](const std::string& Answer) {
        for (const auto& e : std::filesystem::directory_iterator(dir_)) {
            const std::string name = e.path().string();
            if (name.rfind(argsFile + ".", 0) != 0 || name.find(".tmp") != std::string::npos) continue;
            const std::string got = Get(name);
            if (got.find("\n192.0.2.7\n" + Answer + "\n") != std::string::npos) return got;
        }
        return std::string();
    };
    std::string args;
    for (int i = 0; i < 300 && ((args = runWith("<MID>9</MID>")).empty() || runWith("<SID>1</SID>").empty()); ++i)
        std::this_thread::sleep_for(10ms);
    // The program runner hands the empty description on as one blank.
    EXPECT_NE(runWith("<SID>1</SID>").find("\nGermany\n \nID1\n"), std::string::npos) << runWith("<SID>1</SID>");
    EXPECT_EQ(args, "ham@example.org\nDL1ABC\nPC Only\nBerlin\nGermany\nx y\nID1\nNet\n192.0.2.7\n<MID>9</MID>\n0\n"
                    "127.0.0.1\n" + std::to_string(m.Port()) + "\n");
    // The logged command line quotes the argument that holds a blank.
    EXPECT_TRUE(h.LoggedPrefix("EXEC: " + script + " ham@example.org DL1ABC \"PC Only\"")) << h.LogText();
}

// A line longer than the limit is a read failure, never an answer; one at the limit is an answer.
TEST(SysManLink, OverlongLineIsAFailureNotAVerdict) {
    const struct {
        size_t Length;
        int32_t Result;
        int Downs;
    } cases[] = {{510, SYSMAN_RESULT_OK, 0}, {600, SYSMAN_RESULT_NONE, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Length);
        // An element list of Length bytes.
        const std::string answer = "<SID>" + std::string(c.Length - 11, 'a') + "</SID>";
        FakeManager m(Manager([&](int, const std::string& Line) -> TReply {
            return {StartsWith(Line, "CC:") ? answer + "\r\n" : ""};
        }));
        Harness h;
        TZELSvcSysmanParams p = LinkParams(m.Port());
        p.ManagerDelayAfterConnect = 0;
        auto link = StartedLink(h, p);
        ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; }));
        Client a(1);
        Network n;
        link->AuthClient(&a, &n, 0);
        ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerAuthAnswer) == 1; }));
        std::this_thread::sleep_for(100ms);
        const auto answers = h.Of(C::fsnq_ManagerAuthAnswer);
        ASSERT_EQ(answers.size(), 1u) << "one verdict only";
        EXPECT_EQ(answers[0].Value1, c.Result);
        EXPECT_EQ(answers[0].Text2, c.Result == SYSMAN_RESULT_OK ? answer : "");
        EXPECT_EQ(h.Count(C::fsnq_ManagerLinkDown), c.Downs);
        EXPECT_EQ(h.Logged("ERROR: Manager[0]: read error: line longer than 512 bytes"), c.Downs == 1);
    }
}

TEST(SysManLink, DisconnectCommandConnectedAndIdle) {
    FakeManager m(Manager());
    Harness h;
    test::TStandInContext requester(9);

    // Idle: never started.
    {
        TZELSvcSysMan idle(h.Service(), 1, LinkParams(m.Port()));
        idle.Start();
        idle.Disconnect(&requester, 41, true);
        idle.Disconnect(&requester, 40, false);
        ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_CommandReply) == 1; }));
        std::this_thread::sleep_for(50ms);
        const auto replies = h.Of(C::fsnq_CommandReply);
        ASSERT_EQ(replies.size(), 1u) << "no answer unless wanted";
        EXPECT_EQ(replies[0].Text1, "-NOTCONNECTED\r\n");
        EXPECT_EQ(replies[0].Owner, &requester);
        EXPECT_EQ(replies[0].OwnerId, 41u);
        EXPECT_EQ(m.Connections(), 0);
    }

    // Connected: "+OK", link down, and a new connection after the short pause.
    TZELSvcSysmanParams p = LinkParams(m.Port());
    p.ManagerDelayAfterConnect = 0;
    auto link = StartedLink(h, p, 3000, 600);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; }));
    Client a(1);
    Network n;
    link->AuthClient(&a, &n, 0);  // the manager never answers it
    ASSERT_TRUE(h.Until([&] { return CountPrefix(m, 0, "CC:") == 1; }));
    link->Disconnect(&requester, 42, true);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_CommandReply) == 2; }));
    EXPECT_EQ(h.Of(C::fsnq_CommandReply)[1].Text1, "+OK\r\n");
    EXPECT_EQ(h.Of(C::fsnq_CommandReply)[1].OwnerId, 42u);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkDown) == 1; }));
    ASSERT_EQ(h.Count(C::fsnq_ManagerAuthAnswer), 1);
    EXPECT_EQ(h.Of(C::fsnq_ManagerAuthAnswer)[0].Value1, SYSMAN_RESULT_NONE);
    ASSERT_TRUE(h.Until([&] { return m.Connections() == 2; }));
    const int64_t gap = m.AcceptedAt(1) - m.EndedAt(0);
    EXPECT_GE(gap, 500);
    EXPECT_LE(gap, 950) << "the short pause, not the reconnect interval";
    EXPECT_TRUE(h.Logged("Manager[0]: got command disconnect manager"));
    EXPECT_TRUE(h.Logged("Manager[0]: disconnected on disconnect command"));
    EXPECT_TRUE(h.Logged("Manager[0]: pause at least 1 seconds"));
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 2; }));
}

// A new password reaches the next handshake: at once (after the short pause) while connected,
// and it cuts a long pause after a failure short.
TEST(SysManLink, NewPasswordReconnectsAndShortensTheLongPause) {
    FakeManager m([](int Conn, const std::string& Line) -> TReply {
        if (StartsWith(Line, "SC:")) return {Conn == 1 ? "<AL>-1</AL>\r\n" : "<AL>0</AL>\r\nF\r\n"};
        if (Line == "P") return {"F\r\n"};
        return {};
    });
    Harness h;
    TZELSvcSysmanParams p = LinkParams(m.Port());
    p.ManagerDelayAfterConnect = 0;
    p.ManagerReconnectInterval = 60;
    auto link = StartedLink(h, p, 3000, 500);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; }));
    link->NewPassword(u"secret");  // unchanged while connected: nothing happens
    link->NewPassword(u"pw2");
    ASSERT_TRUE(h.Until([&] { return m.Connections() == 2 && m.LinesOf(1).size() == 1; }));
    EXPECT_NE(m.LinesOf(1)[0].find("<PW>pw2</PW>"), std::string::npos);
    EXPECT_EQ(h.Count(C::fsnq_ManagerLinkDown), 1);
    // The second connection is refused: a pause of 60 s, cut short by the next password.
    ASSERT_TRUE(h.Until([&] { return h.Logged("Manager[0]: pause 60 seconds"); }));
    std::this_thread::sleep_for(200ms);
    link->NewPassword(u"pw3");
    ASSERT_TRUE(h.Until([&] { return m.Connections() == 3 && m.LinesOf(2).size() == 1; }, 3000ms));
    EXPECT_NE(m.LinesOf(2)[0].find("<PW>pw3</PW>"), std::string::npos);
    EXPECT_GE(m.AcceptedAt(2) - m.EndedAt(1), 400);
    EXPECT_TRUE(h.Logged("Manager[0]: got new password: ***"));
    EXPECT_TRUE(h.Logged("Manager[0]: disconnect on new password"));
    EXPECT_FALSE(h.LogMentions("pw2")) << h.LogText();
}

// Through loopback SOCKS and HTTP CONNECT proxies that then play the manager, or refuse: a refusal
// is logged with the proxy's own answer, so that it reads otherwise than a proxy that is down. A
// manager given by an international name reaches a SOCKS proxy in its ASCII form, as an HTTP one.
TEST(SysManLink, ThroughProxies) {
    using zeltest::PeerEnd;
    using zeltest::PeerStep;
    using zeltest::ScriptedPeer;
    auto B = [](std::initializer_list<int> v) {
        std::string s;
        for (int c : v) s += char(c);
        return s;
    };
    const uint16_t target = 10025;
    const std::string port = B({target >> 8, target & 0xFF});
    const std::string manager = "<AL>0</AL>\r\nF\r\n";
    const std::string socks5Ok = B({5, 0, 0, 1, 127, 0, 0, 1, 0, 1});
    const std::string idn = "xn--bcher-kva.example";
    const struct {
        const char* What;
        TZELProxyType Type;
        const char16_t* User;
        const char16_t* Manager;
        std::vector<PeerStep> Steps;
        const char* Refusal;  // the error line's text after the prefix; nullptr: the link comes up
    } cases[] = {
        {"socks5", TZELProxyType::ZEL_PROXY_TYPE_SOCKS5, u"", u"127.0.0.1",
         {{B({5, 1, 0}), B({5, 0})}, {B({5, 1, 0, 1, 127, 0, 0, 1}) + port, socks5Ok}, {kHandshake, manager}},
         nullptr},
        {"socks5, international name", TZELProxyType::ZEL_PROXY_TYPE_SOCKS5, u"", u"b\u00fccher.example",
         {{B({5, 1, 0}), B({5, 0})},
          {B({5, 1, 0, 3, int(idn.size())}) + idn + port, socks5Ok},
          {kHandshake, manager}},
         nullptr},
        {"socks4a, international name", TZELProxyType::ZEL_PROXY_TYPE_SOCKS4, u"", u"b\u00fccher.example",
         {{B({4, 1}) + port + B({0, 0, 0, 1, 0}) + idn + B({0}), B({0, 90, 0, 0, 0, 0, 0, 0})},
          {kHandshake, manager}},
         nullptr},
        {"http", TZELProxyType::ZEL_PROXY_TYPE_HTTP, u"", u"127.0.0.1",
         {{"CONNECT 127.0.0.1:10025 HTTP/1.0\r\n\r\n", "HTTP/1.1 200 Connection established\r\n\r\n"},
          {kHandshake, manager}},
         nullptr},
        {"socks5 refused", TZELProxyType::ZEL_PROXY_TYPE_SOCKS5, u"", u"127.0.0.1",
         {{B({5, 1, 0}), B({5, 0})}, {B({5, 1, 0, 1, 127, 0, 0, 1}) + port, B({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})}},
         "Network subsystem is unusable; proxy answer: SOCKS5 reply 5 (connection refused)"},
        {"socks5 without an acceptable method", TZELProxyType::ZEL_PROXY_TYPE_SOCKS5, u"", u"127.0.0.1",
         {{B({5, 1, 0}), B({5, 0xFF})}},
         "Network subsystem is unusable; proxy answer: SOCKS5 method 255 (no acceptable method)"},
        {"socks5 wrong password", TZELProxyType::ZEL_PROXY_TYPE_SOCKS5, u"bob", u"127.0.0.1",
         {{B({5, 2, 0, 2}), B({5, 2})}, {B({1, 3, 'b', 'o', 'b', 2, 'p', 'w'}), B({1, 1})}},
         "Network subsystem is unusable; proxy answer: SOCKS5 authentication status 1 (user name or password "
         "refused)"},
        {"socks4 refused", TZELProxyType::ZEL_PROXY_TYPE_SOCKS4, u"", u"127.0.0.1",
         {{B({4, 1}) + port + B({127, 0, 0, 1, 0}), B({0, 91, 0, 0, 0, 0, 0, 0})}},
         "Network subsystem is unusable; proxy answer: SOCKS4 reply 91 (request rejected or failed)"},
        {"http refused", TZELProxyType::ZEL_PROXY_TYPE_HTTP, u"", u"127.0.0.1",
         {{"CONNECT 127.0.0.1:10025 HTTP/1.0\r\n\r\n", "HTTP/1.1 403 Forbidden\r\n\r\n"}},
         "Connection refused; proxy answer: HTTP/1.1 403 Forbidden"},
        {"http wrong password", TZELProxyType::ZEL_PROXY_TYPE_HTTP, u"bob", u"127.0.0.1",
         {{"CONNECT 127.0.0.1:10025 HTTP/1.0\r\nProxy-Authorization: Basic Ym9iOnB3\r\n\r\n",
           "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n"}},
         "Connection refused; proxy answer: HTTP/1.0 407 Proxy Authentication Required"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        ScriptedPeer proxy(AF_INET, c.Steps, c.Refusal != nullptr ? PeerEnd::Close : PeerEnd::Hold);
        Harness h;
        TZELSvcSysmanParams p = LinkParams(target);
        p.ManagerAddress = c.Manager;
        p.Connection.ProxyType = c.Type;
        p.Connection.ProxyAddress = u"127.0.0.1";
        p.Connection.ProxyPort = proxy.Port();
        p.Connection.ProxyUsername = c.User;
        p.Connection.ProxyPassword = u"pw";
        p.ManagerDelayAfterConnect = 0;
        auto link = StartedLink(h, p);
        if (c.Refusal != nullptr) {
            const std::string line = std::string("ERROR: Manager[0]: connect error: ") + c.Refusal;
            ASSERT_TRUE(h.Until([&] { return h.Logged(line); })) << h.LogText();
            ASSERT_TRUE(h.Until([&] { return link->State() == SYSMAN_PAUSE; }));
            EXPECT_TRUE(h.Logged("Manager[0]: pause 1 seconds"));
        } else {
            ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; })) << h.LogText();
        }
        link.reset();
        proxy.Join();
        if (c.Refusal == nullptr) {
            EXPECT_NE(proxy.got.find(kHandshake), std::string::npos);
        }
    }
    // A proxy that is down has no answer to show.
    Harness h;
    TZELSvcSysmanParams p = LinkParams(target);
    p.Connection.ProxyType = TZELProxyType::ZEL_PROXY_TYPE_HTTP;
    p.Connection.ProxyAddress = u"127.0.0.1";
    p.Connection.ProxyPort = test::FreeLoopbackPort();
    auto link = StartedLink(h, p);
    ASSERT_TRUE(h.Until([&] { return h.Logged("ERROR: Manager[0]: connect error: Connection refused"); }))
        << h.LogText();
}

// Through Debian's tinyproxy: a CONNECT it allows brings the link up; its refusals (a port it
// does not allow, no credentials, a wrong password) are logged with its own status lines.
class RealHttpProxy : public test::TempDirTest {
protected:
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        TempDirTest::TearDown();
    }
    // Starts tinyproxy on a free loopback port that lets CONNECT through to AllowedPort only, for
    // the user "bob" with the password "pw"; false when it does not listen within 5 s.
    bool Start(uint16_t AllowedPort) {
        port_ = test::FreeLoopbackPort();
        Put(Path("tinyproxy.conf"), "Port " + std::to_string(port_) +
                                        "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\nMaxClients 20\n"
                                        "ConnectPort " + std::to_string(AllowedPort) + "\nBasicAuth bob pw\n");
        const std::string conf = Path("tinyproxy.conf"), log = Path("tinyproxy.log");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::execl(kProgram, kProgram, "-d", "-c", conf.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const int64_t end = NowMs() + 5000;
        while (NowMs() < end) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port_);
            const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(fd);
            if (up) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    static constexpr const char* kProgram = "/usr/bin/tinyproxy";
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

TEST_F(RealHttpProxy, LinkThroughItAndItsRefusals) {
    ASSERT_EQ(::access(kProgram, X_OK), 0) << "tinyproxy is missing: scripts/install-deps.sh installs it";
    FakeManager m(Manager());
    ASSERT_TRUE(Start(m.Port())) << Get(Path("tinyproxy.log"));
    const struct {
        const char* What;
        uint16_t Target;
        const char16_t* User;
        const char16_t* Password;
        const char* Refusal;  // nullptr: the link comes up
    } cases[] = {
        {"allowed", m.Port(), u"bob", u"pw", nullptr},
        {"port not allowed", test::FreeLoopbackPort(), u"bob", u"pw", "HTTP/1.0 403 Access violation"},
        {"no credentials", m.Port(), u"", u"", "HTTP/1.0 407 Proxy Authentication Required"},
        {"wrong password", m.Port(), u"bob", u"nope", "HTTP/1.0 401 Unauthorized"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        Harness h;
        TZELSvcSysmanParams p = LinkParams(c.Target);
        p.ManagerDelayAfterConnect = 0;
        p.Connection.ProxyType = TZELProxyType::ZEL_PROXY_TYPE_HTTP;
        p.Connection.ProxyAddress = u"127.0.0.1";
        p.Connection.ProxyPort = port_;
        p.Connection.ProxyUsername = c.User;
        p.Connection.ProxyPassword = c.Password;
        auto link = StartedLink(h, p);
        if (c.Refusal == nullptr) {
            EXPECT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; })) << h.LogText();
        } else {
            const std::string line =
                std::string("ERROR: Manager[0]: connect error: Connection refused; proxy answer: ") + c.Refusal;
            EXPECT_TRUE(h.Until([&] { return h.Logged(line); })) << h.LogText();
        }
    }
}

// A manager address in brackets, as the start-up line prints an IPv6 one, is that address.
TEST(SysManLink, BracketedIPv6ManagerAddress) {
    using zeltest::PeerEnd;
    using zeltest::ScriptedPeer;
    ScriptedPeer manager(AF_INET6, {{kHandshake, "<AL>0</AL>\r\nF\r\n"}}, PeerEnd::Hold);
    if (manager.Port() == 0) GTEST_SKIP() << "no IPv6 loopback";
    Harness h;
    TZELSvcSysmanParams p = LinkParams(manager.Port());
    p.ManagerAddress = u"[::1]";
    p.ManagerDelayAfterConnect = 0;
    auto link = StartedLink(h, p);
    EXPECT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; })) << h.LogText();
    link.reset();
}

// The keep-alive runs at half the activity time-out when that is shorter than 3 s, so the answer
// to it never races the read time-out.
TEST(SysManLink, ShortActivityTimeoutStaysUp) {
    FakeManager m(Manager());
    Harness h;
    TZELSvcSysmanParams p = LinkParams(m.Port());
    p.ManagerDelayAfterConnect = 0;
    p.Connection.ManagerActivityTimeout = 3000;
    auto link = StartedLink(h, p);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; }));
    std::this_thread::sleep_for(10s);
    EXPECT_EQ(h.Count(C::fsnq_ManagerLinkDown), 0) << h.LogText();
    EXPECT_EQ(m.Connections(), 1);
    EXPECT_GE(m.Count("P"), 5);
}

// A manager that streams lines after the handshake holds nothing up: the link still ends its
// delay and operates, writes its requests and keep-alives, and ends at once when terminated.
TEST(SysManLink, StreamingManagerHoldsNothingUp) {
    std::mutex mu;
    std::string got;
    std::atomic<bool> stop{false};
    test::ScriptPeer peer([&](int Fd) {
        if (!StartsWith(test::ReadLineFrom(Fd), "SC:")) return;
        test::WriteAllTo(Fd, "<AL>0</AL>\r\nF\r\n");
        std::string chunk;
        for (int i = 0; i < 4096; ++i) chunk += "OK\r\n";
        const int64_t end = NowMs() + 15000;
        while (!stop && NowMs() < end) {
            if (send(Fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) return;
            char buf[4096];
            const ssize_t n = recv(Fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN)) return;
            if (n > 0) {
                std::lock_guard<std::mutex> g(mu);
                got.append(buf, size_t(n));
            }
            (void)PollFd(Fd, POLLIN | POLLOUT, 5);
        }
    });
    Harness h;
    TZELSvcSysmanParams p = LinkParams(peer.Port());
    p.ManagerLogDebug = 1;
    auto link = StartedLink(h, p, 300);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; })) << h.LogText();
    Client a(1);
    Network n;
    link->AuthClient(&a, &n, 0);
    EXPECT_TRUE(h.Until([&] {
        std::lock_guard<std::mutex> g(mu);
        return got.find("CC:") != std::string::npos && got.find("P\r\n") != std::string::npos;
    }));
    const int64_t t0 = NowMs();
    link.reset();
    EXPECT_LT(NowMs() - t0, 1000);
    stop = true;
}

// A manager that never answers one request: once it is older than a client's login may wait, the
// link closes (the pending request answered with 0) and connects anew after the short pause, and
// the verdicts there reach the clients they are meant for.
TEST(SysManLink, UnansweredRequestResetsTheLink) {
    FakeManager m(Manager([](int Conn, const std::string& Line) -> TReply {
        if (!StartsWith(Line, "CC:") || Conn == 0) return {};
        return {"WRONG\r\n"};
    }));
    Harness h;
    auto link = TunedLink(h, m.Port(), [](TZELSvcSysMan& L) {
        L.ShortPauseMs = 300;
        L.AnswerLimitMs = 800;
    });
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; }));
    Client a(1), b(2);
    Network n;
    const int64_t asked = NowMs();
    link->AuthClient(&a, &n, 0);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerAuthAnswer) == 1; }));
    EXPECT_GE(NowMs() - asked, 750);
    EXPECT_EQ(h.Of(C::fsnq_ManagerAuthAnswer)[0].Owner, &a);
    EXPECT_EQ(h.Of(C::fsnq_ManagerAuthAnswer)[0].Value1, SYSMAN_RESULT_NONE);
    EXPECT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkDown) == 1; }));
    EXPECT_TRUE(h.LogMentions(" ms: reconnecting; 1 login answered without a verdict")) << h.LogText();
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 2; }));
    link->AuthClient(&b, &n, 0);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerAuthAnswer) == 2; }));
    EXPECT_EQ(h.Of(C::fsnq_ManagerAuthAnswer)[1].Owner, &b);
    EXPECT_EQ(h.Of(C::fsnq_ManagerAuthAnswer)[1].Value1, SYSMAN_RESULT_WRONG);
    EXPECT_EQ(m.Connections(), 2);
}

// A client whose request names it: "CC:<EA>c<N>@example.org</EA>".
class Numbered : public Client {
public:
    using Client::Client;
    AnsiString ManagerRequestText() const override {
        return "CC:<EA>c" + std::to_string(Number()) + "@example.org</EA>";
    }
};

// The number a request line names, -1 for none.
int RequestNumber(const std::string& Line) {
    if (!StartsWith(Line, "CC:<EA>c")) return -1;
    return std::atoi(Line.c_str() + 8);
}

// What the manager of these tests answers client N: even ones are refused, odd ones accepted.
std::string VerdictOf(int N) { return N % 2 == 0 ? "WRONG" : "<MID>" + std::to_string(N) + "</MID>"; }

// Answers match requests by order alone. Once the oldest pending request has waited clearly longer
// than this manager's answers take, new requests wait until it is answered and then go out
// together; so after a lost answer they never reach the manager, and the reset answers them with 0
// along with the one left unanswered.
TEST(SysManLink, BusyPendingListHoldsNewRequests) {
    std::atomic<bool> early{false}, heldAfterLoss{false};
    std::atomic<int> together{0};
    // The next line that is no keep-alive (those are answered), or "" after TimeoutMs.
    const auto request = [](int Fd, int TimeoutMs) {
        const int64_t end = NowMs() + TimeoutMs;
        for (;;) {
            const int64_t left = end - NowMs();
            if (left <= 0) return std::string();
            const std::string l = test::ReadLineFrom(Fd, int(left));
            if (l != "P\r\n") return l;
            WriteAllTo(Fd, "F\r\n");
        }
    };
    test::ScriptPeer peer([&](int Fd) {
        if (!StartsWith(test::ReadLineFrom(Fd), "SC:")) return;
        WriteAllTo(Fd, "<AL>0</AL>\r\nF\r\n");
        // The first is answered at once: that is how quick this manager is.
        if (!StartsWith(request(Fd, 3000), "CC:")) return;
        WriteAllTo(Fd, "WRONG\r\n");
        if (!StartsWith(request(Fd, 3000), "CC:")) return;
        // The two posted while this one is overdue are held until it is answered.
        early = !request(Fd, 600).empty();
        WriteAllTo(Fd, "<MID>2</MID>\r\n");
        for (int i = 0; i < 2; ++i) together += StartsWith(request(Fd, 3000), "CC:");
        WriteAllTo(Fd, "<MID>3</MID>\r\n<MID>4</MID>\r\n");
        // This answer is lost: the request after it stays held until the reset closes the link.
        if (!StartsWith(request(Fd, 3000), "CC:")) return;
        heldAfterLoss = !request(Fd, 5000).empty();
    });
    Harness h;
    auto link = TunedLink(h, peer.Port(), [](TZELSvcSysMan& L) {
        L.HoldAfterMs = 200;
        L.AnswerLimitMs = 1500;
    });
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; }));
    Client a(1), b(2), c(3), d(4), e(5), f(6);
    Network n;
    link->AuthClient(&a, &n, 0);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerAuthAnswer) == 1; }));
    link->AuthClient(&b, &n, 0);
    std::this_thread::sleep_for(300ms);
    link->AuthClient(&c, &n, 0);
    link->AuthClient(&d, &n, 0);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerAuthAnswer) == 4; }));
    const struct {
        const Client* Owner;
        int32_t Result;
        const char* Text;
    } want[] = {{&a, SYSMAN_RESULT_WRONG, ""},         {&b, SYSMAN_RESULT_OK, "<MID>2</MID>"},
                {&c, SYSMAN_RESULT_OK, "<MID>3</MID>"}, {&d, SYSMAN_RESULT_OK, "<MID>4</MID>"},
                {&e, SYSMAN_RESULT_NONE, ""},           {&f, SYSMAN_RESULT_NONE, ""}};
    link->AuthClient(&e, &n, 0);
    std::this_thread::sleep_for(300ms);
    link->AuthClient(&f, &n, 0);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerAuthAnswer) == 6; }));
    const auto answers = h.Of(C::fsnq_ManagerAuthAnswer);
    for (size_t i = 0; i < std::size(want); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(answers[i].Owner, want[i].Owner);
        EXPECT_EQ(answers[i].Value1, want[i].Result);
        EXPECT_EQ(answers[i].Text2, want[i].Text);
    }
    EXPECT_TRUE(h.LogMentions(" ms: reconnecting; 2 logins answered without a verdict")) << h.LogText();
    link.reset();
    EXPECT_FALSE(early);
    EXPECT_EQ(together, 2);
    EXPECT_FALSE(heldAfterLoss);
}

// A manager that takes half the clients' wait over every answer, with a request every 50 ms: none
// is held so long that its answer comes later than its client waits, and each gets its own.
TEST(SysManLink, SteadySlowManagerAnswersEveryLoginInTime) {
    constexpr uint32_t kLimitMs = 1500;
    FakeManager m(Manager([](int, const std::string& Line) -> TReply {
        const int n = RequestNumber(Line);
        if (n < 0) return {};
        return {VerdictOf(n) + "\r\n", false, int(kLimitMs) * 8 / 15};
    }));
    Harness h;
    auto link = TunedLink(h, m.Port(), [](TZELSvcSysMan& L) { L.AnswerLimitMs = kLimitMs; });
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; }));
    std::vector<std::unique_ptr<Numbered>> clients;
    std::vector<int64_t> posted;
    Network n;
    for (uint32_t i = 0; i < 40; ++i) {
        clients.push_back(std::make_unique<Numbered>(i));
        posted.push_back(NowMs());
        link->AuthClient(clients.back().get(), &n, int32_t(i));
        // Draining meanwhile: each answer is timed as it comes.
        (void)h.Until([] { return false; }, 50ms);
    }
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerAuthAnswer) == 40; }, 10s)) << h.LogText();
    for (const TRecord& r : h.Of(C::fsnq_ManagerAuthAnswer)) {
        const int i = r.Value3;
        SCOPED_TRACE(i);
        ASSERT_GE(i, 0);
        ASSERT_LT(i, 40);
        EXPECT_EQ(r.Owner, clients[size_t(i)].get());
        EXPECT_EQ(r.Value1, i % 2 == 0 ? SYSMAN_RESULT_WRONG : SYSMAN_RESULT_OK);
        EXPECT_EQ(r.Text2, i % 2 == 0 ? "" : VerdictOf(i));
        EXPECT_LT(r.At - posted[size_t(i)], int64_t(kLimitMs)) << "answered after its client gave up";
    }
    EXPECT_EQ(h.Count(C::fsnq_ManagerLinkDown), 0) << h.LogText();
    EXPECT_EQ(m.Connections(), 1);
}

// One line more than the requests, while a request is pending: an empty line answers nothing and
// every client gets its own verdict; a line that is no answer answers nobody, is logged, and
// resets the link (what is pending answered with 0); after the reset the verdicts match again.
TEST(SysManLink, ExtraLineAnswersNobody) {
    const struct {
        const char* What;
        std::string Extra;
        bool Resets;
    } cases[] = {{"empty line", "\r\n", false},
                 {"text", "hello manager\r\n", true},
                 {"secret in the text", "echo <PW>clientpw</PW> \x01\r\n", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const std::string extra = c.Extra;
        FakeManager m(Manager([extra](int Conn, const std::string& Line) -> TReply {
            const int n = RequestNumber(Line);
            if (n < 0) return {};
            return {VerdictOf(n) + "\r\n" + (n == 1 && Conn == 0 ? extra : ""), false, 100};
        }));
        Harness h;
        auto link = TunedLink(h, m.Port(), [](TZELSvcSysMan& L) { L.ShortPauseMs = 300; });
        ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; }));
        Numbered a(1), b(2), d(3);
        Network n;
        link->AuthClient(&a, &n, 1);
        link->AuthClient(&b, &n, 2);
        ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerAuthAnswer) == 2; }));
        std::this_thread::sleep_for(300ms);
        auto answers = h.Of(C::fsnq_ManagerAuthAnswer);
        ASSERT_EQ(answers.size(), 2u);
        EXPECT_EQ(answers[0].Owner, &a);
        EXPECT_EQ(answers[0].Value1, SYSMAN_RESULT_OK);
        EXPECT_EQ(answers[0].Text2, "<MID>1</MID>");
        EXPECT_EQ(answers[1].Owner, &b);
        EXPECT_EQ(answers[1].Value1, c.Resets ? SYSMAN_RESULT_NONE : SYSMAN_RESULT_WRONG);
        EXPECT_EQ(h.Count(C::fsnq_ManagerLinkDown), c.Resets ? 1 : 0);
        if (c.Resets) {
            const std::string shown = c.Extra.substr(0, c.Extra.size() - 2);
            const std::string logged = shown == "hello manager" ? shown : "echo <PW>***</PW> \\x01";
            EXPECT_TRUE(h.Logged("ERROR: Manager[0]: unreadable answer: \"" + logged +
                                 "\": reconnecting; 1 login answered without a verdict"))
                << h.LogText();
            EXPECT_FALSE(h.LogMentions("clientpw")) << h.LogText();
            ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 2; }));
        }
        link->AuthClient(&d, &n, 3);
        ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerAuthAnswer) == 3; }));
        answers = h.Of(C::fsnq_ManagerAuthAnswer);
        EXPECT_EQ(answers[2].Owner, &d);
        EXPECT_EQ(answers[2].Text2, "<MID>3</MID>");
        EXPECT_EQ(m.Connections(), c.Resets ? 2 : 1);
    }
}

// A stop followed by authentication requests in the same batch answers every one of them.
TEST(SysManLink, StopThenAuthInOneBatchAnswersZero) {
    FakeManager m(Manager());
    Harness h;
    TZELSvcSysmanParams p = LinkParams(m.Port());
    p.ManagerDelayAfterConnect = 0;
    auto link = StartedLink(h, p);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; }));
    std::vector<std::unique_ptr<Client>> clients;
    for (uint32_t i = 0; i < 20; ++i) clients.push_back(std::make_unique<Client>(i));
    Network n;
    link->StopLink();
    for (auto& c : clients) link->AuthClient(c.get(), &n, 0);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerAuthAnswer) == 20; }));
    for (const TRecord& r : h.Of(C::fsnq_ManagerAuthAnswer)) EXPECT_EQ(r.Value1, SYSMAN_RESULT_NONE);
    ASSERT_TRUE(h.Until([&] { return link->State() == SYSMAN_IDLE && h.Count(C::fsnq_ManagerLinkDown) == 1; }));
    for (const auto& l : m.Lines()) EXPECT_FALSE(StartsWith(l.Line, "CC:")) << "nothing sent after the stop";
}

// A link through an HTTP proxy at Port that never answers, its connect bounded by ConnectTimeout.
TZELSvcSysmanParams SilentProxyParams(uint16_t Port, int32_t ConnectTimeout) {
    TZELSvcSysmanParams p = LinkParams(10025);
    p.Connection.ProxyType = TZELProxyType::ZEL_PROXY_TYPE_HTTP;
    p.Connection.ProxyAddress = u"127.0.0.1";
    p.Connection.ProxyPort = Port;
    p.Connection.ManagerConnectTimeout = ConnectTimeout;
    return p;
}

// Terminate ends a connect in progress at once: here the answer of a proxy that never answers.
TEST(SysManLink, TerminateEndsAConnectAtOnce) {
    zeltest::TcpListener silent(AF_INET);  // accepts nothing, answers nothing
    ASSERT_NE(silent.port, 0);
    Harness h;
    auto link = StartedLink(h, SilentProxyParams(silent.port, 20000));
    ASSERT_TRUE(h.Until([&] { return link->State() == SYSMAN_CONNECT; }));
    std::this_thread::sleep_for(300ms);
    const int64_t start = NowMs();
    link.reset();
    EXPECT_LT(NowMs() - start, 1000);
    EXPECT_FALSE(h.LoggedPrefix("ERROR: Manager[0]: connect error")) << h.LogText();
}

// A request posted while the link connects does not cut the connect short: the connect runs to
// its own end (here the time-out of a proxy that never answers) and the request is answered after.
TEST(SysManLink, RequestDuringAConnectLetsItRunOn) {
    zeltest::TcpListener silent(AF_INET);  // accepts nothing, answers nothing
    ASSERT_NE(silent.port, 0);
    Harness h;
    auto link = StartedLink(h, SilentProxyParams(silent.port, 1500));
    ASSERT_TRUE(h.Until([&] { return link->State() == SYSMAN_CONNECT; }));
    std::this_thread::sleep_for(200ms);
    const int64_t posted = NowMs();
    test::TStandInContext requester(9);
    link->Disconnect(&requester, 7, true);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_CommandReply) == 1; }));
    EXPECT_GE(NowMs() - posted, 1000) << "the connect was cut short";
    EXPECT_EQ(h.Of(C::fsnq_CommandReply)[0].Text1, "-NOTCONNECTED\r\n");
    EXPECT_TRUE(h.LoggedPrefix("ERROR: Manager[0]: connect error: ")) << h.LogText();
    EXPECT_FALSE(h.Logged("ERROR: Manager[0]: connect error: Interrupted system call")) << h.LogText();
}

// Requests left in the queue and in the pending list are freed with the link (AddressSanitizer
// checks that nothing leaks).
TEST(SysManLink, FreedWithQueuedAndPendingRequests) {
    Harness h;
    test::TStandInContext requester(1);
    {
        TZELSvcSysMan idle(h.Service(), 0, LinkParams(1));  // never started
        for (int i = 0; i < 200; ++i) idle.Disconnect(&requester, uint32_t(i), true);
        idle.NewPassword(u"x");
    }
    EXPECT_EQ(h.Count(C::fsnq_CommandReply), 0);

    FakeManager m(Manager());
    TZELSvcSysmanParams p = LinkParams(m.Port());
    p.ManagerDelayAfterConnect = 0;
    auto link = StartedLink(h, p);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_ManagerLinkUp) == 1; }));
    Client a(1), b(2);
    Network n;
    link->AuthClient(&a, &n, 0);
    link->AuthClient(&b, &n, 0);
    ASSERT_TRUE(h.Until([&] { return CountPrefix(m, 0, "CC:") == 2; }));
    link.reset();
    // The end of the loop answers what was pending.
    EXPECT_EQ(h.Count(C::fsnq_ManagerAuthAnswer), 2);
}

// ---------------------------------------------------------------------------------------------
// The service's slots.

TEST(SysManService, SlotsAuthenticationAndDisconnectCommands) {
    Harness h;
    TZELService& s = h.Service();
    TZELSvcSysmanParams params[3] = {LinkParams(1), LinkParams(2), LinkParams(3)};
    params[1].ManagerEnabled = false;
    params[2].ManagerAddress = u"Manager.Example.ORG";
    s.SetManagerParams(params);
    // Section 1 is disabled, section 0 is not used by any network.
    EXPECT_EQ(s.CreateManagerLinks(2 | 4), 4u);
    EXPECT_EQ(s.ManagerLink(0), nullptr);
    EXPECT_EQ(s.ManagerLink(1), nullptr);
    ASSERT_NE(s.ManagerLink(2), nullptr);
    EXPECT_EQ(s.ManagerLink(3), nullptr);
    EXPECT_EQ(s.ManagerLink(-1), nullptr);
    EXPECT_EQ(s.CreateManagerLinks(7), 5u);
    ASSERT_NE(s.ManagerLink(0), nullptr);

    // Links not operating answer at once with 0, once per link and client.
    Client a(7);
    Network all(7), second(4);
    s.SysManAuthenticateClient(&a, &all);
    s.SysManAuthenticateClient(&a, &all);
    auto answers = h.Of(C::fsnq_ManagerAuthAnswer);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].Value2, 0);
    EXPECT_EQ(answers[1].Value2, 2);
    EXPECT_EQ(answers[0].Value1, SYSMAN_RESULT_NONE);
    EXPECT_EQ(answers[0].OwnerId, 7u);
    EXPECT_EQ(a.ManagerLinkState(0), 1);
    EXPECT_EQ(a.ManagerLinkState(1), 0);
    EXPECT_EQ(a.ManagerLinkState(2), 1);
    Client b(8);
    s.SysManAuthenticateClientAt(0, &b, &second, 3);  // not in that network's mask
    s.SysManAuthenticateClientAt(2, &b, &second, 3);
    answers = h.Of(C::fsnq_ManagerAuthAnswer);
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[2].Value2, 2);
    EXPECT_EQ(answers[2].Value3, 3);

    test::TStandInContext requester(5);
    s.SysManDisconnectByIndex(1, &requester, 1);
    s.SysManDisconnectByAddress("manager.example.org", 3, &requester, 2);
    s.SysManDisconnectByAddress("manager.example.org", 4, &requester, 3);
    EXPECT_EQ(s.FindManagerLink("MANAGER.example.org", 3), 2);
    EXPECT_EQ(s.FindManagerLink("127.0.0.1", 1), 0);
    EXPECT_EQ(s.FindManagerLink("127.0.0.1", 2), -1);
    ASSERT_TRUE(h.Until([&] { return h.Count(C::fsnq_CommandReply) == 3; }));
    for (const TRecord& r : h.Of(C::fsnq_CommandReply)) EXPECT_EQ(r.Text1, "-NOTCONNECTED\r\n");

    s.PostManagerLinkState(2, true);
    s.PostManagerLinkState(1, false);
    EXPECT_EQ(h.Of(C::fsnq_ManagerLinkUp)[0].Value1, 2);
    EXPECT_EQ(h.Of(C::fsnq_ManagerLinkDown)[0].Value1, 1);
}

// The links end and go with the service; a started link connects.
TEST(SysManService, StartedLinksConnectAndEndWithTheService) {
    FakeManager m(Manager());
    auto h = std::make_unique<Harness>();
    TZELSvcSysmanParams params[3] = {LinkParams(m.Port()), LinkParams(1), LinkParams(1)};
    params[1].ManagerEnabled = params[2].ManagerEnabled = false;
    h->Service().SetManagerParams(params);
    ASSERT_EQ(h->Service().CreateManagerLinks(1), 1u);
    h->Service().StartManagerLinks();
    ASSERT_TRUE(h->Until([&] { return m.Connections() == 1 && !m.LinesOf(0).empty(); }));
    h.reset();
    EXPECT_TRUE(test::ServeUntil([&] { return m.EndedAt(0) != 0; }, 2000ms));
}

}  // namespace
}  // namespace zel

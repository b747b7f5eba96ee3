#include "clients/dmq_zel_svc_server_snps.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "clients/dmq_zel_svc_worker.hpp"
#include "net/dmq_sock.hpp"
#include "tests/support/client_service.hpp"
#include "tests/support/loopback.hpp"

namespace zel {
namespace {

using namespace std::chrono_literals;
using test::ConnectLine;
using test::ServeFor;
using test::ServeUntil;
using test::TClientService;
using test::TTestClient;
using Clock = std::chrono::steady_clock;

bool Contains(const std::string& S, const std::string& Part) { return S.find(Part) != std::string::npos; }

double CpuSeconds() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// The connection count between two ticks: a context is freed and counted down in the same tick,
// so a count read as soon as the free is seen may not have caught up yet.
int32_t SettledConnections(TClientService& T) {
    int32_t n = -1;
    T.OnTimer([&] { n = T.S->ConnectionCount(); });
    return n;
}

// A client that logs in and reads its answer.
void LogIn(TClientService& T, TTestClient& C, const std::string& Callsign = "N0CALL") {
    ASSERT_TRUE(C.Connect(T.Port));
    ASSERT_TRUE(C.Send(ConnectLine(Callsign)));
    ASSERT_TRUE(C.WaitLoginAnswer());
    ASSERT_TRUE(Contains(C.Received, "<AL>OK</AL>")) << C.Received;
}

// Each state has its own time-out and cause; all five run side by side (handshake 1 s, activity
// 3 s). Input never re-arms the handshake time-out: a client that dribbles is still cut.
// Only the exact keep-alives and block announcements are known; every other line is refused.
TEST(ZELSVCContextSNPS, OperatingLineKinds) {
    using K = TZELOperatingLineKind;
    const struct {
        const char* Line;
        K Kind;
    } rows[] = {{"P", K::oplk_Handled}, {"-", K::oplk_Handled}, {"TX1", K::oplk_Voice}, {"TX8", K::oplk_Short},
                {"", K::oplk_Refused},  {"p", K::oplk_Refused}, {"TX1 ", K::oplk_Refused}, {"TX2", K::oplk_Refused},
                {"P\r", K::oplk_Refused}, {"tx8", K::oplk_Refused}};
    for (const auto& r : rows) EXPECT_EQ(ClassifyOperatingLine(r.Line), r.Kind) << r.Line;
}

TEST(ZELSVCContextSNPS, TimeOutsByState) {
    TClientService t;
    ASSERT_TRUE(t.Start());
    struct Case {
        const char* name;
        double after;  // s from the start of the case's clock
        const char* cause;
    };
    const Case cases[] = {
        {"silence before the prefix", 1.0, "HANDSHAKE_TIMEOUT"},
        {"a byte every 200 ms", 1.0, "HANDSHAKE_TIMEOUT"},
        {"login pending", 3.0, "DISCONNECT_MANAGER_TIMEOUT"},
        {"no KP line", 3.0, "DISCONNECT_KP_ANSWER_TIMEOUT"},
        {"silence while operating", 3.0, "DISCONNECT_TIMEOUT"},
    };
    TTestClient c[5];
    Clock::time_point start[5];
    for (auto& x : c) ASSERT_TRUE(x.Connect(t.Port));
    start[0] = start[1] = Clock::now();
    ASSERT_TRUE(c[2].Send(ConnectLine("HOLD")));
    start[2] = Clock::now();
    ASSERT_TRUE(c[3].Send(ConnectLine("OLDKP", 2010001)));
    ASSERT_TRUE(c[3].WaitLoginAnswer());
    start[3] = Clock::now();
    EXPECT_TRUE(Contains(c[3].Received, "<KP>111111</KP>"));
    ASSERT_TRUE(c[4].Send(ConnectLine()));
    ASSERT_TRUE(c[4].WaitLoginAnswer());
    ASSERT_TRUE(c[4].Send("P\r\n"));
    start[4] = Clock::now();

    const std::string dribble = ConnectLine();
    double closedAt[5] = {0, 0, 0, 0, 0};
    size_t sent = 0;
    const auto end = Clock::now() + 8s;
    while (Clock::now() < end) {
        bool all = true;
        for (int i = 0; i < 5; ++i) {
            if (closedAt[i] == 0 && !c[i].ReadFor(0)) closedAt[i] = std::chrono::duration<double>(Clock::now() - start[i]).count();
            all = all && closedAt[i] != 0;
        }
        if (all) break;
        if (closedAt[1] == 0 && sent < dribble.size() &&
            Clock::now() - start[1] >= std::chrono::milliseconds(200 * (sent + 1)))
            c[1].Send(dribble.substr(sent++, 1));
        ServeFor(10ms);
    }
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_GE(closedAt[i], cases[i].after - 0.15);
        EXPECT_LE(closedAt[i], cases[i].after + 1.6);
        const std::string line = t.WaitDisconnect(c[i].LocalPort);
        EXPECT_TRUE(Contains(line, cases[i].cause)) << line;
    }
    EXPECT_GE(sent, 3u);
}


// What a connection sends first decides: another protocol is closed without a byte and its first
// line is kept (up to 100 bytes); a line of 4095 bytes and CR LF passes, 4096 do not, and the
// client is cut without the server reading on to the line feed; a voice block cut short by the
// end of the stream posts nothing, a whole one posts one record; a refusal is read in full before
// the end of the stream.
TEST(ZELSVCContextSNPS, Framing) {
    TClientService t;
    ASSERT_TRUE(t.Start());

    TTestClient web;
    ASSERT_TRUE(web.Connect(t.Port));
    ASSERT_TRUE(web.Send("GET / HTTP/1.1\r\nHost: example.org\r\n\r\n"));
    EXPECT_TRUE(web.WaitClosed(3000));
    EXPECT_EQ(web.Received, "");
    EXPECT_TRUE(Contains(t.WaitDisconnect(web.LocalPort), "DISCONNECT_INVALID_HANDSHAKE"));
    test::TFreedContext freed;
    ASSERT_TRUE(ServeUntil([&] { return t.Probe.Find(web.LocalPort, freed); }));
    EXPECT_EQ(freed.ConnectText, "GET / HTTP/1.1");

    TTestClient junk;
    ASSERT_TRUE(junk.Connect(t.Port));
    ASSERT_TRUE(junk.Send("xyz" + std::string(300, 'a') + "\r\n"));
    EXPECT_TRUE(junk.WaitClosed(3000));
    ASSERT_TRUE(ServeUntil([&] { return t.Probe.Find(junk.LocalPort, freed); }));
    EXPECT_EQ(freed.ConnectText, "xyz" + std::string(100, 'a'));

    // The connect line padded by an unknown tag to exactly N bytes before its CR LF.
    const auto padded = [](size_t N) {
        std::string line = ConnectLine();
        line.resize(line.size() - 2);
        const size_t fill = N - (line.size() - 3) - 9;
        return line + "<XX>" + std::string(fill, 'p') + "</XX>" + "\r\n";
    };
    TTestClient fits, over, endless;
    ASSERT_TRUE(fits.Connect(t.Port));
    ASSERT_TRUE(fits.Send(padded(4095)));
    EXPECT_TRUE(fits.WaitLoginAnswer());
    ASSERT_TRUE(over.Connect(t.Port));
    ASSERT_TRUE(over.Send(padded(4096)));
    EXPECT_TRUE(over.WaitClosed(3000));
    EXPECT_EQ(over.Received, "");
    EXPECT_TRUE(Contains(t.WaitDisconnect(over.LocalPort), "DISCONNECT_TOO_LONG"));
    // No line feed ever comes: the limit alone ends it.
    ASSERT_TRUE(endless.Connect(t.Port));
    ASSERT_TRUE(endless.Send("CT:" + std::string(5000, 'q')));
    EXPECT_TRUE(endless.WaitClosed(800));
    EXPECT_TRUE(Contains(t.WaitDisconnect(endless.LocalPort), "DISCONNECT_TOO_LONG"));

    TTestClient cut, whole;
    LogIn(t, cut);
    ASSERT_TRUE(cut.Send("TX1\r\n" + std::string(200, 'v')));
    ServeFor(200ms);
    cut.Close();
    EXPECT_FALSE(t.WaitDisconnect(cut.LocalPort).empty());
    EXPECT_EQ(t.Net->Codes[60].load(), 0);
    LogIn(t, whole);
    ASSERT_TRUE(whole.Send("TX1\r\n" + std::string(325, 'v') + "P\r\n"));
    EXPECT_TRUE(ServeUntil([&] { return t.Net->Codes[60].load() == 1; }));

    TTestClient refused;
    ASSERT_TRUE(refused.Connect(t.Port));
    std::string line = ConnectLine();
    line.replace(line.find("N0CALL@example.org"), 18, "@");
    ASSERT_TRUE(refused.Send(line));
    EXPECT_TRUE(refused.WaitClosed(3000));
    EXPECT_TRUE(Contains(refused.Received, "<AL>BLOCK</AL>")) << refused.Received;
    EXPECT_EQ(refused.Received.substr(refused.Received.size() - 2), "\r\n");
    EXPECT_TRUE(Contains(t.WaitDisconnect(refused.LocalPort), "DISCONNECT_SERVER_BLOCK"));
}

// Operating lines: the keep-alives "P" and "-" keep the client; a short block ("TX8" and 65 bytes)
// is posted (code 61) only while the client holds the floor (0x1000); any other line ends the
// client, its text kept for the log.
TEST(ZELSVCContextSNPS, OperatingLines) {
    TClientService t;
    ASSERT_TRUE(t.Start());
    TTestClient plain, floor, wrong;
    LogIn(t, plain);
    LogIn(t, floor);
    LogIn(t, wrong);
    t.OnTimer([&] { t.Member(floor.LocalPort)->ClientFlags.fetch_or(0x1000); });
    const std::string block = "TX8\r\n" + std::string(65, 's');
    ASSERT_TRUE(plain.Send("P\r\n-\r\n" + block + "P\r\n"));
    ASSERT_TRUE(floor.Send(block + "-\r\n"));
    ASSERT_TRUE(wrong.Send("P\r\nXYZ 1\r\n"));
    EXPECT_TRUE(wrong.WaitClosed(3000));
    const std::string line = t.WaitDisconnect(wrong.LocalPort);
    EXPECT_TRUE(Contains(line, "DISCONNECT_INVALID_COMMAND")) << line;
    EXPECT_TRUE(Contains(line, "XYZ 1")) << line;
    EXPECT_TRUE(ServeUntil([&] { return t.Net->Codes[61].load() == 1; }));
    EXPECT_TRUE(plain.ReadFor(300));
    EXPECT_TRUE(floor.ReadFor(0));
    EXPECT_EQ(t.Net->Codes[61].load(), 1);
    EXPECT_EQ(t.DisconnectLine(plain.LocalPort), "");
    EXPECT_EQ(t.DisconnectLine(floor.LocalPort), "");
}

// The floor and status lines: TX0, RX0 and a valid ST: are posted (ST: with its digit); a bad
// status line closes the client with its reason, a control byte in it as an invalid character.
TEST(ZELSVCContextSNPS, FloorAndStatusLines) {
    TClientService t;
    ASSERT_TRUE(t.Start());
    std::atomic<int> status{-1};
    t.Net->OnRecord = [&](const TZELSVCNetQueueRecord& R) {
        if (static_cast<int>(R.Command) == 57) status = R.Value1;
    };
    TTestClient c;
    LogIn(t, c);
    ASSERT_TRUE(c.Send("TX0\r\nRX0\r\nST:2\r\n"));
    EXPECT_TRUE(ServeUntil([&] { return t.Net->Codes[57].load() == 1; }));
    EXPECT_EQ(t.Net->Codes[59].load(), 1);
    EXPECT_EQ(t.Net->Codes[58].load(), 1);
    EXPECT_EQ(status.load(), 2);
    for (const auto& [line, cause] : std::vector<std::pair<std::string, std::string>>{
             {"ST:3", "WRONG_CMD=`Invalid status command: \"ST:3\"`"}, {"ST:12", "Invalid status command"},
             {std::string("ST:\x01"), "DISCONNECT_INVALID_CHARACTERS"},
             // The line is read as the server's charset (UTF-8) reads it: "Grüße", not its bytes
             // one by one (the log line is narrowed to one byte per character here).
             {"ST:Gr\xC3\xBC\xC3\x9F" "e", "WRONG_CMD=`Invalid status command: \"ST:Gr\xFC\xDF" "e\"`"},
             {"XY:Gr\xC3\xBC\xC3\x9F" "e\x7F", "WRONG_CMD=`XY:Gr\xFC\xDF" "e\\x7F`"}}) {
        TTestClient bad;
        LogIn(t, bad);
        ASSERT_TRUE(bad.Send(line + "\r\n"));
        EXPECT_TRUE(bad.WaitClosed(3000)) << line;
        EXPECT_TRUE(Contains(t.WaitDisconnect(bad.LocalPort), cause)) << line << ": " << t.WaitDisconnect(bad.LocalPort);
    }
}

// Bytes that follow the connect line before the answer (a keep-alive, even a voice block) are
// kept while the login is pending and read once the client operates.
TEST(ZELSVCContextSNPS, InputDuringLoginIsReadAfterTheAnswer) {
    TClientService t;
    ASSERT_TRUE(t.Start());
    TTestClient c;
    ASSERT_TRUE(c.Connect(t.Port));
    ASSERT_TRUE(c.Send(ConnectLine() + "P\r\nTX1\r\n" + std::string(325, 'v')));
    ASSERT_TRUE(c.WaitLoginAnswer());
    EXPECT_TRUE(ServeUntil([&] { return t.Net->Codes[60].load() == 1; }));
    EXPECT_EQ(t.Net->Codes[55].load(), 1);
    EXPECT_TRUE(c.ReadFor(300));
    EXPECT_EQ(t.DisconnectLine(c.LocalPort), "");
}

// While the login is pending the early bytes stay unread without waking the worker again and
// again; a login answer larger than the sockets hold is written in full before the client
// operates (code 55) and before its early bytes are read.
TEST(ZELSVCContextSNPS, HeldLoginNeitherSpinsNorOperatesEarly) {
    test::TClientSettings set;
    set.ActivityTimeout = 20;
    set.OutputBufferLimit = 4 << 20;  // the answer fits under the send buffer's cap
    TClientService t(set);
    ASSERT_TRUE(t.Start());
    TTestClient c;
    ASSERT_TRUE(c.Connect(t.Port));
    ASSERT_TRUE(c.Send(ConnectLine("HOLD")));
    ASSERT_TRUE(ServeUntil([&] { return t.Net->Codes[38].load() == 1; }));
    // These wait in the socket itself, ready to be read all the time.
    ASSERT_TRUE(c.Send("P\r\nTX1\r\n" + std::string(325, 'v')));
    const auto waits = [&] {
        uint64_t n = 0;
        t.OnTimer([&] {
            for (const auto& w : t.S->Workers()) n += static_cast<TZELSVCWorker*>(w.get())->WaitReturns();
        });
        return n;
    };
    const uint64_t before = waits();
    ServeFor(1500ms);
    EXPECT_LT(waits() - before, 10u);

    const std::string answer(16 << 20, 'a');
    t.OnTimer([&] { t.Member(c.LocalPort)->vSendLoginAnswer(answer); });
    ServeFor(300ms);
    EXPECT_EQ(t.Net->Codes[55].load(), 0);
    EXPECT_EQ(t.Net->Codes[60].load(), 0);
    EXPECT_TRUE(c.ReadUntil([&](const std::string& R) { return R.size() >= answer.size(); }, 10000));
    EXPECT_EQ(c.Received.size(), answer.size());
    EXPECT_TRUE(ServeUntil([&] { return t.Net->Codes[60].load() == 1; }));
    EXPECT_EQ(t.Net->Codes[55].load(), 1);
    EXPECT_EQ(t.DisconnectLine(c.LocalPort), "");
}

// A descriptor the waiter cannot watch (a regular file) is not left waiting for events that never
// come: the context is closed at once with an internal-error cause and the waiter's reason.
TEST(ZELSVCContextSNPS, FailedRegistrationClosesTheClient) {
    TClientService t;
    ASSERT_TRUE(t.Start());
    char name[] = "/tmp/zel_snps_XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ::unlink(name);
    constexpr uint16_t kPort = 65001;
    t.S->PostNewClientConnection(fd, "127.0.0.1", kPort, 0);
    const std::string line = t.WaitDisconnect(kPort, 3000ms);
    EXPECT_TRUE(Contains(line, "DISCONNECT_INTERNAL_ERROR")) << line;
    EXPECT_TRUE(Contains(line, "Waiter: ")) << line;
    test::TFreedContext freed;
    EXPECT_TRUE(ServeUntil([&] { return t.Probe.Find(kPort, freed); }));
    EXPECT_EQ(SettledConnections(t), 0);
}

// A client that stops reading: while its socket takes nothing the bytes queued now count, so it is
// reported over the limit (the bandwidth drop); past the send buffer's cap it is dropped as out of
// memory instead of growing for ever.
TEST(ZELSVCContextSNPS, StalledReaderIsOverTheLimitAndCapped) {
    TClientService t;
    ASSERT_TRUE(t.Start());
    TTestClient c;
    ASSERT_TRUE(c.Connect(t.Port));
    ASSERT_TRUE(c.Send(ConnectLine()));
    ASSERT_TRUE(c.WaitLoginAnswer());
    const int32_t limit = t.S->OutputBufferLimit;
    const std::string chunk(64 * 1024, 'x');
    bool over = false, dropped = false;
    for (int i = 0; i < 200 && !dropped; ++i) {
        t.OnTimer([&] {
            TZELSVCContextSNPS* m = t.Member(c.LocalPort);
            if (!m) {
                dropped = true;
                return;
            }
            m->vSend(chunk);
            over = over || m->vIsOutputOverLimit(limit);
        });
        ServeFor(20ms);
    }
    EXPECT_TRUE(over);
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(Contains(t.WaitDisconnect(c.LocalPort), "DISCONNECT_OUT_OF_MEMORY"));
}

// A final answer to a peer that never reads: the connection ends at the activity time-out from
// the moment the answer was queued, and the worker does not spin meanwhile.
TEST(ZELSVCContextSNPS, FinalAnswerToANonReaderEndsAtTheDeadline) {
    test::TClientSettings set;
    set.OutputBufferLimit = 4 << 20;  // the answer fits under the send buffer's cap
    TClientService t(set);
    ASSERT_TRUE(t.Start());
    TTestClient c;
    ASSERT_TRUE(c.Connect(t.Port));
    ASSERT_TRUE(c.Send(ConnectLine()));
    ASSERT_TRUE(c.WaitLoginAnswer());
    // More than the sockets' buffers hold.
    const std::string big(24 << 20, 'z');
    // The deadline runs from the queueing on the timer thread, which a loaded (sanitizer) run may
    // reach well after the call was made.
    Clock::time_point queued;
    t.OnTimer([&] {
        queued = Clock::now();
        t.Member(c.LocalPort)->vSendAndClose(big);
    });
    const auto waitStart = Clock::now();
    const double cpu0 = CpuSeconds();
    const std::string line = t.WaitDisconnect(c.LocalPort);
    const auto end = Clock::now();
    const double took = std::chrono::duration<double>(end - queued).count();
    const double waited = std::chrono::duration<double>(end - waitStart).count();
    const double cpu = CpuSeconds() - cpu0;
    EXPECT_TRUE(Contains(line, "DISCONNECT_TIMEOUT")) << line;
    EXPECT_GE(took, 2.8);
    EXPECT_LE(took, 4.6);
    EXPECT_LT(cpu, 0.5 * waited + 0.1);
}

// A final answer queued on the timer thread after the worker's pass took its time is no deadline
// long past: it waits for the socket instead of being cut at once.
TEST(ZELSVCContextSNPS, FinalAnswerQueuedAfterThePassTookItsTimeWaits) {
    TZELService s(u"/etc/server.ini", TZELServiceConfig{});
    s.OutputBufferLimit = 4 << 20;  // the answer fits under the send buffer's cap
    zeltest::TcpPair p;
    ASSERT_TRUE(zeltest::MakeTcpPair(AF_INET, p));
    std::unique_ptr<TZELSVCContextSNPS> ctx = CreateWrkCtx<TZELSVCContextSNPS>(&s, p.b, "127.0.0.1", 4000, 0);
    p.b = -1;
    TZELSVCWaitRecord wait;
    wait.Now = GetTickMs();
    ctx->vAttach(wait);
    wait.Now = GetTickMs();
    const uint32_t passNow = wait.Now;
    while (GetTickMs() - passNow < 5) std::this_thread::sleep_for(1ms);
    // More than the sockets' buffers hold, while the peer reads nothing.
    ctx->vSendAndClose(std::string(24 << 20, 'z'));
    EXPECT_EQ(ctx->vHandleRead(wait), TZELSVCWrkResult::wkr_Keep);
    EXPECT_FALSE(ctx->vCheckIdleTimeout(wait));
}

// 200 clients quit or are aborted while the timer thread keeps sending to all of them: each
// context is freed exactly once and the connection count returns to 0.
TEST(ZELSVCContextSNPS, ClientsEndWhileTheTimerSends) {
    test::TClientSettings set;
    set.ClientsPerThread = 50;
    TClientService t(set);
    ASSERT_TRUE(t.Start());
    constexpr int kClients = 200;
    std::vector<TTestClient> c(kClients);
    for (auto& x : c) {
        ASSERT_TRUE(x.Connect(t.Port));
        ASSERT_TRUE(x.Send(ConnectLine()));
    }
    for (auto& x : c) ASSERT_TRUE(x.WaitLoginAnswer());
    const std::string packet(328, 'p');
    t.SetEveryTick([&] {
        for (TZELSVCContext* m : t.Net->Members) m->vSendNoFlush(packet);
        for (TZELSVCContext* m : t.Net->Members) m->RequestFlush();
    });
    ServeFor(100ms);
    for (int i = 0; i < kClients; i += 2) c[size_t(i)].Close();
    int aborted = 0;
    t.OnTimer([&] {
        for (int i = 1; i < kClients; i += 2)
            if (TZELSVCContextSNPS* m = t.Member(c[size_t(i)].LocalPort)) {
                m->AbortWithCause(TZELSVCDisconnectCause::fsdc_ServerTerminate);
                ++aborted;
            }
    });
    EXPECT_EQ(aborted, kClients / 2);
    EXPECT_TRUE(ServeUntil([&] { return t.Probe.FreedTotal() == kClients; }, 10000ms));
    EXPECT_TRUE(t.Probe.FreedOnce());
    EXPECT_EQ(t.Probe.MadeCount(), kClients);
    EXPECT_EQ(SettledConnections(t), 0);
    t.SetEveryTick(nullptr);
    for (int i = 1; i < kClients; i += 2) {
        EXPECT_TRUE(c[size_t(i)].WaitClosed(2000));
        const std::string line = t.WaitDisconnect(c[size_t(i)].LocalPort);
        EXPECT_TRUE(Contains(line, "DISCONNECT_TERMINATED_BY_SERVER")) << line;
    }
}

// With MaxConnectionsPerAddress 2 a third connection from the address is refused (and closed
// without a byte); after one closes, the next is taken; after the stop every new one is refused.
TEST(ZELSVCContextSNPS, ConnectionLimits) {
    test::TClientSettings set;
    set.MaxConnectionsPerAddress = 2;
    TClientService t(set);
    ASSERT_TRUE(t.Start());
    TTestClient a, b, third, fourth;
    LogIn(t, a);
    LogIn(t, b);
    ASSERT_TRUE(third.Connect(t.Port));
    EXPECT_TRUE(third.WaitClosed(3000));
    EXPECT_EQ(third.Received, "");
    const std::string refused = "Client: 127.0.0.1:" + std::to_string(third.LocalPort) + " DISCONNECT_LIMIT_ADDRESS";
    EXPECT_TRUE(ServeUntil([&] { return t.Log.Has(WidenStrU(refused)); }));
    a.Close();
    EXPECT_FALSE(t.WaitDisconnect(a.LocalPort).empty());
    LogIn(t, fourth);

    // Stopped: a connection that the listener handed over just before comes too late.
    t.S->StopService();
    zeltest::TcpPair late;
    ASSERT_TRUE(zeltest::MakeTcpPair(AF_INET, late));
    const int32_t port = zeltest::LocalPort(late.a);
    t.S->PostNewClientConnection(late.b, "127.0.0.1", port, 0);
    late.b = -1;
    const std::string stopped = "Client: 127.0.0.1:" + std::to_string(port) + " DISCONNECT_SERVER_STOP";
    EXPECT_TRUE(ServeUntil([&] { return t.Log.Has(WidenStrU(stopped)); }));
    char byte;
    EXPECT_EQ(recv(late.a, &byte, 1, 0), 0);
    // Everyone else is stopped too, and the service ends.
    EXPECT_TRUE(b.WaitClosed(3000));
    EXPECT_TRUE(fourth.WaitClosed(3000));
    t.Stop();
    EXPECT_EQ(t.S->ConnectionCount(), 0);
}

}  // namespace
}  // namespace zel

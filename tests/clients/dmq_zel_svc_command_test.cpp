// The command-port context against a running service: real listener, workers and timer thread
// over loopback; the blocking test client plays the console.
#include "clients/dmq_zel_svc_command.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "service/dmq_zel_cmd_proto.hpp"
#include "tests/support/client_service.hpp"

namespace zel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kId = "kAFQmDzST7DWlj99KOF]cgkd";

std::string PidAnswer() { return "+1\r\n" + std::to_string(::getpid()) + "\r\n"; }

size_t CountOf(const std::string& Text, const std::string& Part) {
    size_t n = 0;
    for (size_t i = Text.find(Part); i != std::string::npos; i = Text.find(Part, i + Part.size())) ++n;
    return n;
}

class CommandContextTest : public ::testing::Test {
protected:
    void SetUp() override {
        Svc.S->CommandLogLevel = 1;
        ASSERT_TRUE(Svc.Start());
    }

    // A connection that sends Request and reads until Until holds (or 3 s pass).
    std::string Ask(const std::string& Request, const std::function<bool(const std::string&)>& Until) {
        TTestClient c;
        EXPECT_TRUE(c.Connect(Svc.CommandPort));
        EXPECT_TRUE(c.Send(Request));
        c.ReadUntil(Until, 3000);
        return c.Received;
    }
    std::string AskLine(const std::string& Request) {
        return Ask(Request, [](const std::string& R) { return R.find("\r\n") != std::string::npos; });
    }
    // F sends Requests at once; meanwhile another connection is answered.
    void FloodWhileAnotherIsServed(TTestClient& F, const std::string& Requests) {
        ASSERT_TRUE(F.Connect(Svc.CommandPort));
        ASSERT_TRUE(F.Send(Requests));
        TTestClient other;
        ASSERT_TRUE(other.Connect(Svc.CommandPort));
        ASSERT_TRUE(other.Send(ZELCmdLinePid.data()));
        EXPECT_TRUE(other.ReadUntil([](const std::string& R) { return CountOf(R, "\r\n") == 2; }, 3000));
        EXPECT_EQ(other.Received, PidAnswer());
    }

    TClientService Svc;
};

// Each hostile line ends its connection without an answer, while another connection is served.
TEST_F(CommandContextTest, HostileLinesCloseWithoutAnswerWhileOthersAreServed) {
    // A line of exactly 3000 bytes with its LF is still a request; one more byte is not.
    const std::string head = MakeCmdLogText(std::string(2988, 'x'));
    ASSERT_EQ(head.size(), 3000u);
    EXPECT_EQ(AskLine(head), "+OK\r\n");
    const std::string tooLong = MakeCmdLogText(std::string(2989, 'x'));
    ASSERT_EQ(tooLong.size(), 3001u);

    const struct {
        const char* Name;
        std::string Bytes;
    } cases[] = {
        {"3001 bytes", tooLong},
        {"NUL", std::string("00X:00\0\r\n", 9)},
        {"ESC", "00A:00\x1b\r\n"},
        {"second CR", "00A:00\r\r\n"},
        {"manager password cutting its element", MakeCmdSetManagerPasswordByIndex(0, "se</PW><XX>cret")},
        {"length beyond the line", "00W:05abc\r\n"},
        {"length not hex", "00W:G1abc\r\n"},
        {"broken UTF-8", MakeCmdLogText("\xC3\x28")},
        {"unknown code", "00V:00\r\n"},
        {"too short", "00A:\r\n"},
        {"log level 7", MakeCmdSetLogLevel(7)},
        {"flag other than 0 and 1", "00J:04Test\r\n" + std::string("00D:04Test0018" + kId + "2\r\n")},
        {"client without network", "00T:0018" + kId + "\r\n"},
        {"move within one network", "00S:18" + kId + "04Test04Test00\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TTestClient bad;
        ASSERT_TRUE(bad.Connect(Svc.CommandPort));
        ASSERT_TRUE(bad.Send(c.Bytes));
        TTestClient good;
        ASSERT_TRUE(good.Connect(Svc.CommandPort));
        ASSERT_TRUE(good.Send(ZELCmdLinePid.data()));
        EXPECT_TRUE(good.ReadUntil([](const std::string& R) { return CountOf(R, "\r\n") == 2; }, 3000));
        EXPECT_EQ(good.Received, PidAnswer());
        EXPECT_TRUE(bad.WaitClosed(2000)) << "closed at once, not by the time-out";
        // The one case with an earlier valid request gets that answer only.
        const std::string expected = std::string(c.Name) == "flag other than 0 and 1" ? "+OK\r\n" : "";
        EXPECT_EQ(bad.Received, expected);
    }
}

TEST_F(CommandContextTest, BurstsAreAnsweredInFull) {
    std::string burst;
    for (int i = 0; i < 40; ++i) burst += i % 2 ? "00A:00\r\n" : "00R:00\r\n";
    TTestClient c;
    ASSERT_TRUE(c.Connect(Svc.CommandPort));
    ASSERT_TRUE(c.Send(burst));
    EXPECT_TRUE(c.ReadUntil([](const std::string& R) { return CountOf(R, "\r\n") == 60; }, 5000));
    EXPECT_EQ(CountOf(c.Received, "+OK\r\n"), 20u);
    EXPECT_EQ(CountOf(c.Received, "+1\r\nServer uptime: "), 20u);
    // Answers in request order.
    EXPECT_EQ(c.Received.rfind("+1\r\n", 0), 0u);
    EXPECT_FALSE(c.Closed);

    // A flood is taken 32 lines at a time: another connection is served meanwhile, and every
    // request of the flood is answered.
    std::string flood;
    for (int i = 0; i < 3000; ++i) flood += "00A:00\r\n";
    TTestClient f;
    FloodWhileAnotherIsServed(f, flood);
    EXPECT_TRUE(f.ReadUntil([](const std::string& R) { return CountOf(R, "\r\n") == 3000; }, 10000));
    EXPECT_EQ(f.Received.size(), 3000u * 5);
}

// A line must be complete within 3000 ms of the start of its read; a blank line does not re-arm
// that, nor does a line held open.
TEST_F(CommandContextTest, LineTimeOutIsNotRearmedByBlankLinesOrAPartialLine) {
    std::atomic<bool> stop{false};
    struct TResult {
        double Seconds = 0;
        bool Closed = false;
        std::string Received;
    } blank, partial;
    auto run = [&](TResult& Out, bool Blank) {
        TTestClient c;
        if (!c.Connect(Svc.CommandPort)) return;
        const auto start = Clock::now();
        if (!Blank) c.Send("00A:00");
        while (!c.Closed && Clock::now() - start < 6s && !stop) {
            if (Blank) c.Send(" \r\n");
            c.ReadUntil([](const std::string&) { return false; }, 1000);
        }
        Out.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
        Out.Closed = c.Closed;
        Out.Received = c.Received;
    };
    std::thread a([&] { run(blank, true); });
    std::thread b([&] { run(partial, false); });
    // The log's lines are served meanwhile.
    ServeUntil([&] { return false; }, 4800ms);
    a.join();
    b.join();
    for (const TResult* r : {&blank, &partial}) {
        EXPECT_TRUE(r->Closed);
        EXPECT_GE(r->Seconds, 2.9);
        EXPECT_LE(r->Seconds, 4.5);
        EXPECT_EQ(r->Received, "");
    }
    // And a valid request re-arms it: an answered connection stays past the first 3000 ms.
    TTestClient c;
    ASSERT_TRUE(c.Connect(Svc.CommandPort));
    std::this_thread::sleep_for(2000ms);
    ASSERT_TRUE(c.Send("00A:00\r\n"));
    c.ReadFor(2000);
    EXPECT_FALSE(c.Closed);
    EXPECT_EQ(c.Received, "+OK\r\n");
    ServeUntil([&] { return Svc.Log.Has(u"Command: 127.0.0.1 " + WidenStrU(std::to_string(c.LocalPort)) +
                                             u" CONNECT"); },
               2000ms);
    EXPECT_TRUE(Svc.Log.Has(u"Command: 127.0.0.1 " + WidenStrU(std::to_string(c.LocalPort)) + u" CONNECT"));
}

// Answers now, answers from the service, unknown networks, and what reaches the network.
TEST_F(CommandContextTest, RequestsReachTheServiceAndAreAnswered) {
    std::atomic<int32_t> muteTime{-1};
    Svc.OnTimer([&] {
        Svc.Net->OnRecord = [&](TZELSVCNetQueueRecord& R) {
            if (R.Command == TZELSVCNetQueueCommand::fsnq_CmdMute) muteTime = R.Value1;
        };
    });
    TTestClient c;
    ASSERT_TRUE(c.Connect(Svc.CommandPort));
    const auto exchange = [&](const std::string& Request, size_t Lines) {
        c.Received.clear();
        EXPECT_TRUE(c.Send(Request));
        c.ReadUntil([&](const std::string& R) { return CountOf(R, "\r\n") >= Lines; }, 3000);
        return c.Received;
    };
    EXPECT_EQ(exchange(MakeCmdListNetwork("Nowhere"), 1), "-NONET\r\n");
    EXPECT_EQ(exchange(MakeCmdMute("Nowhere", 10, kId, true), 1), "-NONET\r\n");
    EXPECT_EQ(exchange(MakeCmdMoveClient(kId, "Test", "Nowhere", 0), 1), "-NONET\r\n");
    // The list answer comes from the timer thread: "+" 2N+2, the network line, the count.
    const std::string list = exchange(MakeCmdListNetwork("Test"), 3);
    EXPECT_EQ(list.substr(0, 4), "+2\r\n");
    EXPECT_EQ(CountOf(list, "\r\n"), 3u);
    EXPECT_EQ(exchange(ZELCmdLineListAll.data(), 5).substr(0, 4), "+4\r\n");
    // Two networks' blocks; the threads answer: "+" workers, then each one's count.
    const std::string threads = exchange(ZELCmdLineThreads.data(), 2);
    EXPECT_EQ(threads.substr(0, 4), "+1\r\n");
    // A mute of the longest time lands in the record as the longest signed time.
    EXPECT_EQ(exchange("00D:04Test0A4294967295" + std::string("18") + kId + "1\r\n", 1), "+OK\r\n");
    ServeUntil([&] { return muteTime.load() >= 0; }, 2000ms);
    EXPECT_EQ(muteTime.load(), 2147483647);
    EXPECT_EQ(exchange(MakeCmdSetLogLevel(3), 1), "+OK\r\n");
    EXPECT_EQ(Svc.S->LogClientLevel.load(), 3);
    EXPECT_EQ(exchange(MakeCmdLogText("operator note"), 1), "+OK\r\n");
    ServeUntil([&] { return Svc.Log.Has(u"operator note"); }, 2000ms);
    EXPECT_TRUE(Svc.Log.Has(u"operator note"));
    // No System Manager link: the disconnect is answered by the service.
    EXPECT_EQ(exchange(MakeCmdDisconnectManagerByIndex(1), 1), "-NOTCONNECTED\r\n");
    EXPECT_EQ(exchange(ZELCmdLinePid.data(), 2), PidAnswer());
    EXPECT_FALSE(c.Closed);
}

// A peer that pipelines requests answered by the service has one of them in the service's queue
// at a time: the queue stays short, every request is answered in order, and another connection is
// served meanwhile.
TEST_F(CommandContextTest, PipelinedLaterRequestsAreTakenOneAtATime) {
    constexpr int kRequests = 400;
    std::string flood;
    for (int i = 0; i < kRequests; ++i) flood += ZELCmdLineListAll.data();
    TTestClient f;
    FloodWhileAnotherIsServed(f, flood);
    int32_t most = 0;
    // Two networks, no clients: "+4" and four lines per answer.
    EXPECT_TRUE(f.ReadUntil(
        [&](const std::string& R) {
            most = std::max(most, Svc.S->ServQueue().Count());
            return CountOf(R, "\r\n") == 5u * kRequests;
        },
        30000));
    EXPECT_EQ(CountOf(f.Received, "+4\r\n"), size_t(kRequests));
    EXPECT_LE(most, 4);
    EXPECT_FALSE(f.Closed);
}

// Requests answered at once that hand work on are taken one at a time too: the next line is read
// only once the work is taken. A peer pipelining mutes has a record or two in the service queue,
// one reread of all lists in the main queue; every request is answered and others are served.
TEST_F(CommandContextTest, PipelinedAtOnceRequestsAreTakenOneAtATime) {
    constexpr int kRequests = 2000;
    struct Case {
        const char* What;
        std::string Line;
        int Requests;
    } cases[] = {
        {"mutes", MakeCmdMute("Test", 10, kId, true), kRequests},
        {"notices", MakeCmdNoticeClear("Test"), kRequests},
        {"log texts", MakeCmdLogText("note"), kRequests},
        {"rereads of all lists", std::string(ZELCmdLineRereadAll), 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        std::string flood;
        for (int i = 0; i < c.Requests; ++i) flood += c.Line;
        TTestClient f;
        FloodWhileAnotherIsServed(f, flood);
        int32_t mostService = 0, mostMain = 0;
        // The service thread's log lines are served meanwhile.
        EXPECT_TRUE(ServeUntil(
            [&] {
                mostService = std::max(mostService, Svc.S->ServQueue().Count());
                mostMain = std::max(mostMain, Svc.S->MainQueue().Count());
                f.ReadStep(0);
                return CountOf(f.Received, "\r\n") == size_t(c.Requests);
            },
            30000ms));
        EXPECT_EQ(f.Received.size(), size_t(c.Requests) * 5);
        EXPECT_LE(mostService, 4);
        // A reread of all, and saves of the lists it changed.
        EXPECT_LE(mostMain, 8);
        EXPECT_FALSE(f.Closed);
    }
}

// A peer that sends requests and never reads: once more than the bound of unsent output waits, the
// connection is closed, and the service holds no more of its answers.
TEST_F(CommandContextTest, PeerThatNeverReadsIsClosedOnceItsOutputPassesTheBound) {
    struct TLimit {
        TLimit() { TZELSVCCommand::PendingOutputLimit = 64 * 1024; }
        ~TLimit() { TZELSVCCommand::PendingOutputLimit = TZELSVCCommand::kMaxPendingOutput; }
    } limit;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    // A small receive window: the answers pile up in the server, not in this socket.
    const int small = 4096;
    ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    sockaddr_storage ss;
    const socklen_t len = zeltest::LoopbackAddr(AF_INET, Svc.CommandPort, ss);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&ss), len), 0);
    std::string chunk;
    for (int i = 0; i < 2048; ++i) chunk += "00A:00\r\n";
    bool closed = false;
    size_t sent = 0;
    const auto end = Clock::now() + 20s;
    while (!closed && Clock::now() < end && sent < (size_t(64) << 20)) {
        const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            closed = true;  // reset by the server
            break;
        }
        pollfd p{fd, POLLOUT, 0};
        (void)::poll(&p, 1, 50);
        if (p.revents & (POLLERR | POLLHUP)) closed = true;
    }
    ::close(fd);
    EXPECT_TRUE(closed) << sent << " bytes sent";
    const auto logged = [&] {
        for (const UnicodeString& l : Svc.Log.Lines)
            if (l.find(u"bytes of answers unsent") != UnicodeString::npos) return true;
        return false;
    };
    EXPECT_TRUE(ServeUntil(logged, 5000ms));
}

// A peer that floods requests from a socket with a small receive window and reads nothing, until
// the server closes the connection or Limit passes; true when it was closed.
bool FloodUntilClosed(uint16_t Port, std::chrono::milliseconds Limit) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int small = 4096;
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_storage ss;
    const socklen_t len = zeltest::LoopbackAddr(AF_INET, Port, ss);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        ::close(fd);
        return false;
    }
    std::string chunk;
    for (int i = 0; i < 2048; ++i) chunk += "00A:00\r\n";
    bool closed = false;
    const auto end = Clock::now() + Limit;
    while (!closed && Clock::now() < end) {
        const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            closed = true;
            break;
        }
        pollfd p{fd, POLLOUT, 0};
        (void)::poll(&p, 1, 50);
        if (p.revents & (POLLERR | POLLHUP)) closed = true;
    }
    ::close(fd);
    return closed;
}

// Peers that never read, each far below its own bound: once their buffers together hold more than
// the bound of all command connections, each is closed at its next answer, while a peer that reads
// its answers is still answered; closed, they hold nothing more.
TEST_F(CommandContextTest, PeersThatNeverReadAreClosedOnceTogetherTheyPassTheBound) {
    struct TLimit {
        TLimit() { TZELSVCCommand::HeldOutputLimit = 256 * 1024; }
        ~TLimit() { TZELSVCCommand::HeldOutputLimit = TZELSVCCommand::kMaxHeldOutput; }
    } limit;
    // A peer that reads its answers, in service before the floods come: its answers go out
    // whatever the others hold.
    TTestClient reader;
    ASSERT_TRUE(reader.Connect(Svc.CommandPort));
    ASSERT_TRUE(reader.Send(ZELCmdLinePid.data()));
    ASSERT_TRUE(reader.ReadUntil([](const std::string& R) { return CountOf(R, "\r\n") == 2; }, 5000));
    std::atomic<int> closed{0};
    std::vector<std::thread> peers;
    for (int i = 0; i < 4; ++i)
        peers.emplace_back([&] {
            if (FloodUntilClosed(Svc.CommandPort, 20s)) ++closed;
        });
    for (int i = 2; i <= 6; ++i) {
        ASSERT_TRUE(reader.Send(ZELCmdLinePid.data()));
        EXPECT_TRUE(reader.ReadUntil([&](const std::string& R) { return CountOf(R, "\r\n") == size_t(2 * i); }, 10000));
    }
    reader.Close();
    for (std::thread& t : peers) t.join();
    EXPECT_EQ(closed.load(), 4);
    const auto logged = [&] {
        for (const UnicodeString& l : Svc.Log.Lines)
            if (l.find(u"bytes of answers unsent while command connections hold") != UnicodeString::npos) return true;
        return false;
    };
    EXPECT_TRUE(ServeUntil(logged, 5000ms));
    // Every context freed: nothing is counted any more.
    EXPECT_TRUE(ServeUntil([] { return TZELSVCCommand::HeldOutput() == 0; }, 5000ms)) << TZELSVCCommand::HeldOutput();
    EXPECT_EQ(AskLine(ZELCmdLinePid.data()), PidAnswer());
}

// More command connections than the service takes at once: the one beyond is closed at once and
// logged; once one of them is gone, a new one is served.
class CommandLimitTest : public CommandContextTest {
protected:
    void SetUp() override {
        Svc.S->MaxCommandConnections = 2;
        CommandContextTest::SetUp();
    }
};

TEST_F(CommandLimitTest, ConnectionsBeyondTheLimitAreRefused) {
    TTestClient first, second, third;
    ASSERT_TRUE(first.Connect(Svc.CommandPort));
    ASSERT_TRUE(second.Connect(Svc.CommandPort));
    // Both are taken before the third comes: each answers.
    ASSERT_TRUE(first.Send(ZELCmdLinePid.data()));
    ASSERT_TRUE(second.Send(ZELCmdLinePid.data()));
    EXPECT_TRUE(first.ReadUntil([](const std::string& R) { return CountOf(R, "\r\n") == 2; }, 3000));
    EXPECT_TRUE(second.ReadUntil([](const std::string& R) { return CountOf(R, "\r\n") == 2; }, 3000));
    ASSERT_TRUE(third.Connect(Svc.CommandPort));
    EXPECT_TRUE(third.WaitClosed(3000));
    EXPECT_EQ(third.Received, "");
    const UnicodeString line = u"Command: 127.0.0.1:" + WidenStrU(std::to_string(third.LocalPort)) +
                               u" DISCONNECT_MAX_COMMAND_CONNECTIONS";
    EXPECT_TRUE(ServeUntil([&] { return Svc.Log.Has(line); }, 3000ms));
    first.Close();
    // The close reaches the service on its own time: a new connection is served once it did.
    bool served = false;
    for (int i = 0; i < 50 && !served; ++i) {
        TTestClient next;
        ASSERT_TRUE(next.Connect(Svc.CommandPort));
        (void)next.Send(ZELCmdLinePid.data());
        served = next.ReadUntil([](const std::string& R) { return CountOf(R, "\r\n") == 2; }, 1000);
        if (!served) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(served);
}

// At the service's stop a command connection that keeps polling is closed within its grace, so
// the service can end.
TEST_F(CommandContextTest, ServiceStopClosesAPollingConnection) {
    TTestClient c;
    ASSERT_TRUE(c.Connect(Svc.CommandPort));
    ASSERT_TRUE(c.Send(ZELCmdLineUptime.data()));
    ASSERT_TRUE(c.ReadUntil([](const std::string& R) { return CountOf(R, "\r\n") == 2; }, 3000));
    std::atomic<bool> closed{false};
    std::thread poller([&] {
        const auto end = Clock::now() + 6s;
        while (!c.Closed && Clock::now() < end) {
            c.Send(ZELCmdLineUptime.data());
            c.ReadFor(100);
        }
        closed = c.Closed;
    });
    const auto start = Clock::now();
    Svc.S->RequestStop(u"test");
    ServeUntil([&] { return closed.load(); }, 6000ms);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    poller.join();
    EXPECT_TRUE(closed.load());
    EXPECT_LT(seconds, 3.0);
}

TEST_F(CommandContextTest, StopIsAnsweredBeforeTheServiceStops) {
    TTestClient c;
    ASSERT_TRUE(c.Connect(Svc.CommandPort));
    ASSERT_TRUE(c.Send(ZELCmdLineStop.data()));
    EXPECT_TRUE(c.ReadUntil([](const std::string& R) { return R == "+OK\r\n"; }, 3000));
    EXPECT_FALSE(Svc.Log.HasPrefix(u"Stop listening")) << "the answer comes first";
    EXPECT_TRUE(ServeUntil([&] { return Svc.Log.HasPrefix(u"Stop listening"); }, 5000ms));
    EXPECT_EQ(Svc.S->StopText(), u"Stop command");
    EXPECT_TRUE(c.WaitClosed(5000));
}

}  // namespace
}  // namespace zel::test

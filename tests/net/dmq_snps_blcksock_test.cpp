#include "net/dmq_snps_blcksock.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "foundation/dmq_syscharset.hpp"
#include "net/dmq_collector_socket.hpp"
#include "net/dmq_sock.hpp"
#include "tests/support/loopback.hpp"
#include "tests/support/scripted_peer.hpp"

using namespace zel;
using namespace zeltest;

namespace {

UnicodeString U(const std::string& s) { return UnicodeString(s.begin(), s.end()); }

// A client socket connected to a fresh loopback listener, with the accepted peer handle.
struct Connected {
    TcpListener l;
    TTCPBlockSocket s;
    int peer = -1;
    explicit Connected(int family) : l(family) {
        s.RaiseExcept = false;
        s.Connect(U(FamilyName(family)), U(std::to_string(l.port)));
        if (s.LastError() == 0) peer = l.Accept();
    }
    ~Connected() {
        if (peer >= 0) close(peer);
    }
    void PeerSend(const std::string& d) const { ASSERT_EQ(send(peer, d.data(), d.size(), MSG_NOSIGNAL), ssize_t(d.size())); }
};

class BlockSocketFamily : public ::testing::TestWithParam<int> {};

// Milliseconds added to every reading of the monotonic clock in this program while a test sets
// them: the tick then stands where it does on a host that has been up for weeks.
std::atomic<uint32_t> MonotonicShiftMs{0};

}  // namespace

extern "C" int clock_gettime(clockid_t Clock, timespec* Ts) noexcept {
    const int rc = static_cast<int>(::syscall(SYS_clock_gettime, Clock, Ts));
    const uint32_t shift = MonotonicShiftMs.load(std::memory_order_relaxed);
    if (rc == 0 && Clock == CLOCK_MONOTONIC && shift != 0) {
        Ts->tv_sec += static_cast<time_t>(shift / 1000);
        Ts->tv_nsec += static_cast<long>(shift % 1000) * 1000000L;
        if (Ts->tv_nsec >= 1000000000L) {
            Ts->tv_nsec -= 1000000000L;
            ++Ts->tv_sec;
        }
    }
    return rc;
}

TEST(BlockSocket, ErrorDescriptions) {
    const struct {
        int32_t code;
        const char* text;
    } cases[] = {
        {0, ""},
        {-7, "Host not found"},
        {-2, "Network subsystem is unusable"},
        {ECONNREFUSED, "Connection refused"},
        {ETIMEDOUT, "Connection timed out"},
        {ECONNRESET, "Connection reset by peer"},
        {ENOBUFS, "No Buffer space available"},
        {EAGAIN, "Operation would block"},
        {ENOLINK, "Other socket error (67)"},  // 67 on this platform, not in the table
        {99999, "Other socket error (99999)"},
    };
    static_assert(ENOLINK == 67);
    for (const auto& c : cases) EXPECT_EQ(TBlockSocket::GetErrorDesc(c.code), c.text) << c.code;
}

TEST_P(BlockSocketFamily, RefusedConnectReportsOrRaises) {
    const int family = GetParam();
    const int bound = BoundSocket(family);  // holds a port nobody listens on
    ASSERT_GE(bound, 0);
    const UnicodeString port = U(std::to_string(LocalPort(bound)));
    for (int32_t timeout : {0, 2000}) {
        TTCPBlockSocket s;
        s.RaiseExcept = false;
        s.ConnectionTimeout = timeout;
        s.Connect(U(FamilyName(family)), port);
        EXPECT_EQ(s.LastError(), ECONNREFUSED) << timeout;
        EXPECT_EQ(s.LastErrorDesc(), u"Connection refused");
        EXPECT_FALSE(s.NonBlocking());
        EXPECT_EQ(fcntl(s.Handle(), F_GETFL) & O_NONBLOCK, 0) << "blocking mode restored";
        EXPECT_NE(fcntl(s.Handle(), F_GETFD) & FD_CLOEXEC, 0);
    }
    TTCPBlockSocket r;
    try {
        r.Connect(U(FamilyName(family)), port);
        FAIL() << "no exception";
    } catch (const ESynapseError& e) {
        EXPECT_EQ(e.ErrorCode, ECONNREFUSED);
        EXPECT_EQ(e.Message(), FormatA("Socket error %d: Connection refused", ECONNREFUSED));
        EXPECT_STREQ(e.ClassName(), "ESynapseError");
    }
    close(bound);
}

TEST(BlockSocket, ConnectTimesOutAgainstFullBacklog) {
    TcpListener l(AF_INET, 0);
    ASSERT_NE(l.port, 0);
    // Fill the accept queue; further handshakes are then dropped and never complete.
    std::vector<int> fillers;
    for (int i = 0; i < 8; ++i) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_storage ss;
        socklen_t len = LoopbackAddr(AF_INET, l.port, ss);
        (void)connect(c, reinterpret_cast<sockaddr*>(&ss), len);
        fillers.push_back(c);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    TTCPBlockSocket s;
    s.RaiseExcept = false;
    s.ConnectionTimeout = 300;
    const auto t0 = std::chrono::steady_clock::now();
    s.Connect(u"127.0.0.1", U(std::to_string(l.port)));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(s.LastError(), ETIMEDOUT);
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(fcntl(s.Handle(), F_GETFL) & O_NONBLOCK, 0) << "blocking mode restored";
    for (int c : fillers) close(c);
}

TEST_P(BlockSocketFamily, LinesAcrossPackets) {
    Connected c(GetParam());
    ASSERT_GE(c.peer, 0);
    // Two lines in one packet: the second comes from the line buffer without waiting.
    c.PeerSend("abc\r\ndef\r\n");
    EXPECT_EQ(c.s.RecvString(2000), "abc");
    EXPECT_EQ(c.s.LineBuffer(), "def\r\n");
    EXPECT_EQ(c.s.RecvString(0), "def");
    EXPECT_EQ(c.s.LastError(), 0);
    // One line over three packets, with a CR LF split between two of them.
    std::thread t([&] {
        for (const char* part : {"hel", "lo\r", "\nnext"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            send(c.peer, part, strlen(part), MSG_NOSIGNAL);
        }
    });
    EXPECT_EQ(c.s.RecvString(2000), "hello");
    t.join();
    // A half line, then the peer closes: the error, an empty result, the half line kept.
    c.PeerSend("-more");
    shutdown(c.peer, SHUT_WR);
    EXPECT_EQ(c.s.RecvString(2000), "");
    EXPECT_EQ(c.s.LastError(), ECONNRESET);
    EXPECT_EQ(c.s.LineBuffer(), "next-more");
}

TEST(BlockSocket, RecvTimesOutAndRaisesOnlyWhenAsked) {
    Connected c(AF_INET);
    ASSERT_GE(c.peer, 0);
    c.PeerSend("partial");
    EXPECT_EQ(c.s.RecvString(100), "");
    EXPECT_EQ(c.s.LastError(), ETIMEDOUT);
    EXPECT_EQ(c.s.LineBuffer(), "partial");
    c.s.RaiseExcept = true;
    EXPECT_THROW(c.s.RecvString(50), ESynapseError);
    EXPECT_EQ(c.s.LineBuffer(), "partial") << "bytes survive the exception";
    c.PeerSend("!\r\n");
    EXPECT_EQ(c.s.RecvString(2000), "partial!");
}

TEST(BlockSocket, LineLengthIsBounded) {
    const struct {
        int32_t max;
        std::string data;
        int32_t error;
        std::string line;
    } cases[] = {
        {10, "0123456789\r\n", 0, "0123456789"},
        {10, "0123456789A\r\n", ENOBUFS, ""},
        {0, std::string(size_t(kDefaultMaxLineLength), 'x') + "\r\n", 0, std::string(size_t(kDefaultMaxLineLength), 'x')},
        // No line end at all: the default bound stops the collecting.
        {0, std::string(size_t(kDefaultMaxLineLength) * 3, 'y'), ENOBUFS, ""},
    };
    for (const auto& k : cases) {
        Connected c(AF_INET);
        ASSERT_GE(c.peer, 0);
        c.s.MaxLineLength = k.max;
        std::thread t([&] { send(c.peer, k.data.data(), k.data.size(), MSG_NOSIGNAL); });
        const AnsiString got = c.s.RecvString(2000);
        t.join();
        EXPECT_EQ(c.s.LastError(), k.error) << k.max << " " << k.data.size();
        EXPECT_EQ(got, k.line);
        EXPECT_LE(c.s.LineBuffer().size(), size_t(kDefaultMaxLineLength) + 65536 + 2);
    }
}

TEST(BlockSocket, SendDataDeliversEverythingOnAFullNonBlockingSocket) {
    Connected c(AF_INET);
    ASSERT_GE(c.peer, 0);
    c.s.SetSizeSendBuffer(4096);
    c.s.SetNonBlockMode(true);
    std::string data(3 * 1024 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + i / 4096);
    std::string got;
    std::thread reader([&] {
        char buf[8192];
        while (got.size() < data.size() && PollFor(c.peer, POLLIN, 5000)) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));  // a slow reader
            const ssize_t r = recv(c.peer, buf, sizeof buf, 0);
            if (r <= 0) break;
            got.append(buf, size_t(r));
        }
    });
    EXPECT_EQ(c.s.SendData(data.data(), int32_t(data.size())), int32_t(data.size()));
    EXPECT_EQ(c.s.LastError(), 0);
    reader.join();
    EXPECT_TRUE(got == data);
    EXPECT_EQ(c.s.SendCounter(), data.size());
}

TEST(BlockSocket, DelayedOptionsApplyInOrderAtCreation) {
    std::vector<std::pair<THookSocketReason, UnicodeString>> events;
    int created = -1;
    TTCPBlockSocket s;
    s.SetSizeRecvBuffer(4096);
    s.EnableNoDelay(true);
    s.SetSizeRecvBuffer(16384);  // the later setting wins
    s.SetNonBlockMode(true);
    EXPECT_EQ(s.Handle(), -1);
    // The any-address with port 0 on a fresh socket binds nothing.
    s.Bind(u"0.0.0.0", u"0");
    EXPECT_EQ(s.Handle(), -1);
    EXPECT_EQ(s.LastError(), 0);
    s.OnStatus = [&](TBlockSocket*, THookSocketReason r, const UnicodeString& v) { events.emplace_back(r, v); };
    s.OnExtSocketCreated = [&](TBlockSocket*, int h) { created = h; };
    s.Bind(u"127.0.0.1", u"0");
    ASSERT_NE(s.Handle(), -1);
    EXPECT_EQ(created, s.Handle());
    EXPECT_TRUE(s.IsBound());
    EXPECT_GT(s.GetLocalSinPort(), 0);
    EXPECT_EQ(s.GetLocalSinIP(), "127.0.0.1");
    int v = 0;
    socklen_t len = sizeof v;
    getsockopt(s.Handle(), SOL_SOCKET, SO_RCVBUF, &v, &len);
    EXPECT_EQ(v, 2 * 16384);  // Linux reports the doubled size it keeps
    getsockopt(s.Handle(), IPPROTO_TCP, TCP_NODELAY, &v, &len);
    EXPECT_EQ(v, 1);
    EXPECT_NE(fcntl(s.Handle(), F_GETFL) & O_NONBLOCK, 0);
    bool sawCreate = false, sawBind = false;
    for (const auto& [r, val] : events) {
        if (r == THookSocketReason::HR_SocketCreate) sawCreate = val == u"IPv4";
        if (r == THookSocketReason::HR_Bind) sawBind = val == u"127.0.0.1:0";
    }
    EXPECT_TRUE(sawCreate);
    EXPECT_TRUE(sawBind);
}

TEST_P(BlockSocketFamily, ListenAcceptAndPeerTexts) {
    const int family = GetParam();
    TTCPBlockSocket l;
    l.Bind(U(FamilyName(family)), u"0");
    l.Listen(4);
    const int32_t port = l.GetLocalSinPort();
    ASSERT_GT(port, 0);
    TTCPBlockSocket c;
    c.Connect(U(FamilyName(family)), U(std::to_string(port)));
    ASSERT_TRUE(l.CanAccept(2000));
    const int h = l.Accept();
    ASSERT_GE(h, 0);
    EXPECT_NE(fcntl(h, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(c.GetRemoteSinPort(), port);
    EXPECT_EQ(c.GetRemoteSinIP(), family == AF_INET6 ? "0:0:0:0:0:0:0:1" : "127.0.0.1");
    EXPECT_TRUE(c.IP6Used() == (family == AF_INET6));
    // Closing half-closes first: the peer reads an orderly end of data.
    c.SendString("bye");
    c.CloseSocket();
    EXPECT_EQ(c.Handle(), -1);
    char buf[8];
    ASSERT_TRUE(PollFor(h, POLLIN, 2000));
    EXPECT_EQ(recv(h, buf, sizeof buf, 0), 3);
    EXPECT_EQ(recv(h, buf, sizeof buf, 0), 0);
    close(h);
}

TEST(BlockSocket, WaitHooksReplacePoll) {
    Connected c(AF_INET);
    ASSERT_GE(c.peer, 0);
    int calls = 0;
    c.s.OnExtCanRead = [&](TBlockSocket*, int32_t timeout, int32_t& err) {
        ++calls;
        EXPECT_EQ(timeout, 1234);
        err = EINTR;  // as if the owner's waiter was woken
        return false;
    };
    EXPECT_EQ(c.s.RecvString(1234), "");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(c.s.LastError(), EINTR);
}

// Under a bandwidth limit, a socket made while the tick is in the upper half of its range sends
// at once: its limiter starts from the tick, not from 0, which would lie weeks ahead. The send
// runs in a child, which is killed should it sleep.
TEST(BlockSocket, BandwidthLimitSendsAtOnceInTheTicksUpperHalf) {
    const pid_t child = ::fork();
    if (child == 0) {
        MonotonicShiftMs = 0xA0000000u - GetTickMs();
        Connected c(AF_INET);
        if (c.peer < 0 || GetTickMs() < 0xA0000000u) ::_exit(2);
        c.s.MaxSendBandwidth = 1 << 20;
        const std::string text = "limited";
        c.s.SendData(text.data(), int32_t(text.size()));
        ::_exit(c.s.LastError() == 0 ? 0 : 3);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    bool ended = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(ended = ::waitpid(child, &status, WNOHANG) == child) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    EXPECT_TRUE(ended) << "the first send sleeps";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(BlockSocket, StopFlagAbortsSend) {
    Connected c(AF_INET);
    ASSERT_GE(c.peer, 0);
    c.s.StopFlag = true;
    EXPECT_EQ(c.s.SendData("x", 1), 0);
    EXPECT_EQ(c.s.LastError(), ECONNABORTED);
    EXPECT_FALSE(c.s.StopFlag);
}

INSTANTIATE_TEST_SUITE_P(Loopback, BlockSocketFamily, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& info) { return std::string(info.param == AF_INET6 ? "IPv6" : "IPv4"); });

// ---------------------------------------------------------------------------------------------
// Proxy tunnels, against a scripted proxy peer.

namespace {

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += char(b);
    return s;
}

UnicodeString PortU(const ScriptedPeer& p) { return U(std::to_string(p.Port())); }

// The bytes of an IPv4 or IPv6 loopback address and a port as SOCKS sends them.
const std::string kPort8080 = B({0x1F, 0x90});
const std::string kIp4Lo = B({127, 0, 0, 1});
const std::string kIp6Lo = std::string(15, '\0') + '\x01';

TTCPBlockSocket* Socks(TTCPBlockSocket& s, int family, const ScriptedPeer& p, TSocksType type) {
    s.RaiseExcept = false;
    s.SocksIP = U(FamilyName(family));
    s.SocksPort = PortU(p);
    s.SocksType = type;
    s.SocksTimeout = 2000;
    return &s;
}

// The target's first line, sent together with the proxy's last answer, read from the bare
// socket as the System Manager link reads it (through a collector): the tunnel took none of it.
void ExpectTargetLineOnSocket(TTCPBlockSocket& s, const std::string& line) {
    EXPECT_TRUE(s.LineBuffer().empty());
    TCollectorSocket col(256, s.Handle());
    std::string got;
    col.StartReadLineStrNoTimeout(got, 100);
    TCollectResult r = TCollectResult::colres_Nothing;
    for (int i = 0; i < 200 && r == TCollectResult::colres_Nothing; ++i) {
        PollFor(s.Handle(), POLLIN, 10);
        r = col.Collect(GetTickMs());
    }
    EXPECT_EQ(r, TCollectResult::colres_Complete);
    EXPECT_EQ(got, line);
}

// The tunnel carries the target's bytes both ways.
void ExpectEcho(TTCPBlockSocket& s) {
    s.SendString("ping\r\n");
    EXPECT_EQ(s.RecvString(2000), "ping");
    EXPECT_EQ(s.LastError(), 0);
}

}  // namespace

TEST(SocksTunnel, EachProtocolAuthenticationAndAddressType) {
    const std::string name = "manager.example.org";
    const struct {
        const char* what;
        int family;
        TSocksType type;
        const char* user;
        const char* pass;
        bool resolver;
        const char* target;
        std::vector<PeerStep> steps;
        const char* respIP;
        int respPort;
    } cases[] = {
        {"socks5 none, IPv4", AF_INET, TSocksType::ST_Socks5, "", "secret", true, "127.0.0.1",
         {{B({5, 1, 0}), B({5, 0})},
          {B({5, 1, 0, 1}) + kIp4Lo + kPort8080, B({5, 0, 0, 1, 10, 0, 0, 1, 0x04, 0xD2})}},
         "10.0.0.1", 1234},
        {"socks5 user and password, name", AF_INET6, TSocksType::ST_Socks5, "user", "pass", true, name.c_str(),
         {{B({5, 2, 0, 2}), B({5, 2})},
          {B({1, 4}) + "user" + B({4}) + "pass", B({1, 0})},
          {B({5, 1, 0, 3, int(name.size())}) + name + kPort8080,
           // a name in the reply, followed at once by the target's first bytes
           B({5, 0, 0, 3, 5}) + "proxy" + B({0, 80}) + "hello\r\n"}},
         "proxy", 80},
        {"socks5, IPv6 target and reply", AF_INET, TSocksType::ST_Socks5, "", "", true, "::1",
         {{B({5, 1, 0}), B({5, 0})},
          {B({5, 1, 0, 4}) + kIp6Lo + kPort8080, B({5, 0, 0, 4}) + kIp6Lo + B({0, 1})}},
         "::1", 1},
        {"socks5, name resolved here", AF_INET, TSocksType::ST_Socks5, "", "", false, "localhost",
         {{B({5, 1, 0}), B({5, 0})},
          {B({5, 1, 0, 1}) + kIp4Lo + kPort8080, B({5, 0, 0, 1, 1, 2, 3, 4, 0, 9})}},
         "1.2.3.4", 9},
        {"socks4, IPv4 with user id", AF_INET, TSocksType::ST_Socks4, "uid", "", true, "127.0.0.1",
         {{B({4, 1}) + kPort8080 + kIp4Lo + "uid" + B({0}), B({0, 90, 0x12, 0x34, 192, 168, 1, 2})}},
         "192.168.1.2", 0x1234},
        {"socks4a, name", AF_INET6, TSocksType::ST_Socks4, "", "", true, name.c_str(),
         {{B({4, 1}) + kPort8080 + B({0, 0, 0, 1, 0}) + name + B({0}), B({0, 90, 0, 0, 0, 0, 0, 0})}},
         "0.0.0.0", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedPeer p(c.family, c.steps);
        TTCPBlockSocket s;
        Socks(s, c.family, p, c.type);
        s.SocksUsername = U(c.user);
        s.SocksPassword = U(c.pass);
        s.SocksResolver = c.resolver;
        s.HTTPTunnelIP = u"127.0.0.1";  // SOCKS wins over the HTTP tunnel
        s.HTTPTunnelPort = u"1";
        int after = 0;
        s.OnAfterConnect = [&](TBlockSocket*) { ++after; };
        s.Connect(U(c.target), u"8080");
        ASSERT_EQ(s.LastError(), 0) << UnicodeToUtf8A(s.LastErrorDesc());
        EXPECT_EQ(after, 1);
        EXPECT_TRUE(s.UsingSocks());
        EXPECT_EQ(s.SocksLastError(), c.type == TSocksType::ST_Socks4 ? 90 : 0);
        EXPECT_EQ(s.SocksResponseIP(), U(c.respIP));
        EXPECT_EQ(s.SocksResponsePort(), U(std::to_string(c.respPort)));
        EXPECT_EQ(s.GetLocalSinIP(), c.respIP);
        EXPECT_EQ(s.GetLocalSinPort(), c.respPort);
        EXPECT_EQ(s.GetRemoteSinIP(), c.target);
        EXPECT_EQ(s.GetRemoteSinPort(), 8080);
        if (c.steps.back().Answer.find("hello") != std::string::npos) ExpectTargetLineOnSocket(s, "hello");
        EXPECT_TRUE(s.LineBuffer().empty());
        ExpectEcho(s);
        s.CloseSocket();
        EXPECT_FALSE(s.UsingSocks());
        p.Join();
        std::string want;
        for (const auto& st : c.steps) want += st.Expect;
        EXPECT_EQ(p.got, want);
    }
}

TEST(SocksTunnel, RefusalsAndBrokenAnswers) {
    const std::string req5 = B({5, 1, 0, 1}) + kIp4Lo + kPort8080;
    const std::string req4 = B({4, 1}) + kPort8080 + kIp4Lo + B({0});
    const struct {
        const char* what;
        TSocksType type;
        const char* user;
        std::vector<PeerStep> steps;
        PeerEnd end;
        int32_t error;
        int32_t socksError;
    } cases[] = {
        {"no acceptable method", TSocksType::ST_Socks5, "", {{B({5, 1, 0}), B({5, 0xFF})}}, PeerEnd::Hold, -2, -1},
        {"method not offered", TSocksType::ST_Socks5, "", {{B({5, 1, 0}), B({5, 2})}}, PeerEnd::Hold, -2, -1},
        {"wrong version", TSocksType::ST_Socks5, "", {{B({5, 1, 0}), B({4, 0})}}, PeerEnd::Hold, -2, -1},
        {"password refused", TSocksType::ST_Socks5, "u",
         {{B({5, 2, 0, 2}), B({5, 2})}, {B({1, 1}) + "u" + B({0}), B({1, 1})}}, PeerEnd::Hold, -2, -1},
        {"socks5 refused", TSocksType::ST_Socks5, "",
         {{B({5, 1, 0}), B({5, 0})}, {req5, B({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})}}, PeerEnd::Hold, -2, 5},
        {"unknown address type", TSocksType::ST_Socks5, "",
         {{B({5, 1, 0}), B({5, 0})}, {req5, B({5, 0, 0, 0, 0, 0, 0, 0, 0, 0})}}, PeerEnd::Hold, -2, 0},
        {"reply cut off", TSocksType::ST_Socks5, "",
         {{B({5, 1, 0}), B({5, 0})}, {req5, B({5, 0, 0, 4, 1, 2, 3})}}, PeerEnd::Close, ECONNRESET, 0},
        {"socks4 rejected", TSocksType::ST_Socks4, "", {{req4, B({0, 91, 0, 0, 0, 0, 0, 0})}}, PeerEnd::Hold, -2, 91},
        // 0 is SOCKS5's success, not SOCKS4's grant
        {"socks4 code 0", TSocksType::ST_Socks4, "", {{req4, B({0, 0, 0, 0, 0, 0, 0, 0})}}, PeerEnd::Hold, -2, 0},
        {"socks4 wrong version", TSocksType::ST_Socks4, "", {{req4, B({4, 90, 0, 0, 0, 0, 0, 0})}}, PeerEnd::Hold, -2, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedPeer p(AF_INET, c.steps, c.end);
        TTCPBlockSocket s;
        Socks(s, AF_INET, p, c.type);
        s.SocksUsername = U(c.user);
        int after = 0;
        s.OnAfterConnect = [&](TBlockSocket*) { ++after; };
        s.Connect(u"127.0.0.1", u"8080");
        EXPECT_EQ(s.LastError(), c.error);
        EXPECT_EQ(s.SocksLastError(), c.socksError);
        EXPECT_FALSE(s.UsingSocks());
        EXPECT_EQ(after, 0);
        EXPECT_NE(s.Handle(), -1) << "stays connected to the proxy; the owner closes it";
        EXPECT_EQ(s.GetRemoteSinPort(), int32_t(p.Port())) << "the proxy, not the target";
        s.CloseSocket();
        p.Join();
        EXPECT_EQ(p.after, "") << "nothing sent after the failed step";
    }
    // With RaiseExcept the negotiation failure raises once, as -2.
    ScriptedPeer p(AF_INET, {{B({5, 1, 0}), B({5, 0xFF})}}, PeerEnd::Hold);
    int errors = 0;
    TTCPBlockSocket s;
    Socks(s, AF_INET, p, TSocksType::ST_Socks5);
    s.RaiseExcept = true;
    s.OnStatus = [&](TBlockSocket*, THookSocketReason r, const UnicodeString&) { errors += r == THookSocketReason::HR_Error; };
    try {
        s.Connect(u"127.0.0.1", u"8080");
        ADD_FAILURE() << "no exception";
    } catch (const ESynapseError& e) {
        EXPECT_EQ(e.ErrorCode, -2);
        EXPECT_EQ(e.Message(), "Socket error -2: Network subsystem is unusable");
    }
    EXPECT_EQ(errors, 1);
}

TEST(SocksTunnel, OverlongTextsAreRefusedBeforeAnythingIsSent) {
    const std::string n255(255, 'n'), n256(256, 'n');
    const struct {
        TSocksType type;
        std::string target, user, pass;
        int32_t error;
    } cases[] = {
        {TSocksType::ST_Socks5, n256, "", "", EMSGSIZE},
        {TSocksType::ST_Socks5, "h", n256, "p", EMSGSIZE},
        {TSocksType::ST_Socks5, "h", "u", n256, EMSGSIZE},
        {TSocksType::ST_Socks4, n256, "", "", EMSGSIZE},
        {TSocksType::ST_Socks4, "h", std::string("a\0b", 3), "", EMSGSIZE},  // would end the user id early
        {TSocksType::ST_Socks5, n255, "", "", 0},                             // the longest that fits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target.size() * 1000 + c.user.size() * 10 + c.pass.size());
        // A proxy that accepts everything and answers SOCKS5 with a name reply.
        std::vector<PeerStep> steps = {
            {B({5, 1, 0}), B({5, 0})},
            {B({5, 1, 0, 3, 255}) + n255 + kPort8080, B({5, 0, 0, 1, 0, 0, 0, 0, 0, 0})}};
        ScriptedPeer p(AF_INET, c.error == 0 ? steps : std::vector<PeerStep>{}, PeerEnd::Hold);
        TTCPBlockSocket s;
        Socks(s, AF_INET, p, c.type);
        s.SocksUsername = UnicodeString(c.user.begin(), c.user.end());
        s.SocksPassword = U(c.pass);
        s.Connect(U(c.target), u"8080");
        EXPECT_EQ(s.LastError(), c.error);
        if (c.error != 0) {
            EXPECT_EQ(s.Handle(), -1) << "not even connected to the proxy";
            // Release the proxy's accept by connecting without a tunnel.
            TTCPBlockSocket k;
            k.RaiseExcept = false;
            k.Connect(u"127.0.0.1", PortU(p));
            k.CloseSocket();
        }
        s.CloseSocket();
        p.Join();
        EXPECT_EQ(p.got + p.after, c.error == 0 ? steps[0].Expect + steps[1].Expect : "");
    }
}

// SocksTimeout bounds the whole exchange, not each read: a proxy that answers one byte at a time,
// each well within the time-out, still fails at the deadline.
TEST(SocksTunnel, OneDeadlineForTheWholeExchange) {
    const std::string req5 = B({5, 1, 0, 1}) + kIp4Lo + kPort8080;
    const struct {
        const char* what;
        std::vector<PeerStep> steps;
        int32_t timeout;
    } cases[] = {
        {"silent", {{B({5, 1, 0}), ""}}, 200},
        {"silent after the greeting", {{B({5, 1, 0}), B({5, 0})}}, 200},
        {"one byte at a time",
         {{B({5, 1, 0}), B({5, 0}), 0, 300}, {req5, B({5, 0, 0, 1, 10, 0, 0, 1, 0x04, 0xD2}), 0, 300}}, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedPeer p(AF_INET6, c.steps, PeerEnd::Hold);
        TTCPBlockSocket s;
        Socks(s, AF_INET6, p, TSocksType::ST_Socks5);
        s.SocksTimeout = c.timeout;
        const auto t0 = std::chrono::steady_clock::now();
        s.Connect(u"127.0.0.1", u"8080");
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(s.LastError(), ETIMEDOUT);
        EXPECT_FALSE(s.UsingSocks());
        EXPECT_GE(ms, c.timeout - 20);
        EXPECT_LT(ms, c.timeout + 700);
        s.CloseSocket();
    }
}

// ---------------------------------------------------------------------------------------------

namespace {

struct HttpCase {
    const char* what;
    const char* target;
    const char* user;
    const char* pass;
    std::string request;  // what the proxy must read
    std::string answer;
    int32_t error;
    int32_t code;
    const char* text;
};

struct HttpRun {
    std::vector<std::pair<THookSocketReason, UnicodeString>> status, tunnelStatus;
    std::vector<std::pair<int32_t, UnicodeString>> answers;
    int after = 0;
    void Hook(TTCPBlockSocket& s) {
        s.OnStatus = [this](TBlockSocket*, THookSocketReason r, const UnicodeString& v) { status.emplace_back(r, v); };
        s.OnHTTPTunnelStatus = [this](TBlockSocket*, THookSocketReason r, const UnicodeString& v) { tunnelStatus.emplace_back(r, v); };
        s.OnHTTPTunnelConnectAnswer = [this](TBlockSocket*, int32_t c, const UnicodeString& t) { answers.emplace_back(c, t); };
        s.OnAfterConnect = [this](TBlockSocket*) { ++after; };
    }
    static int Count(const std::vector<std::pair<THookSocketReason, UnicodeString>>& v, THookSocketReason r) {
        int n = 0;
        for (const auto& e : v) n += e.first == r;
        return n;
    }
};

void Http(TTCPBlockSocket& s, int family, const ScriptedPeer& p) {
    s.RaiseExcept = false;
    s.HTTPTunnelIP = U(FamilyName(family));
    s.HTTPTunnelPort = PortU(p);
    s.HTTPTunnelTimeout = 2000;
}

}  // namespace

TEST(HttpTunnel, ConnectAnswersAndAuthorization) {
    const std::string ok = "HTTP/1.1 200 Connection established\r\nVia: test\r\nX-A: b\r\n\r\nhello\r\n";
    const HttpCase cases[] = {
        {"no user", "127.0.0.1", "", "", "CONNECT 127.0.0.1:8080 HTTP/1.0\r\n\r\n", ok, 0, 200, "Connection established"},
        {"password without user", "127.0.0.1", "", "pw", "CONNECT 127.0.0.1:8080 HTTP/1.0\r\n\r\n",
         "HTTP/1.0 200 OK\n\n", 0, 200, "OK"},
        {"basic authorization", "manager.example.org", "user", "pass",
         "CONNECT manager.example.org:8080 HTTP/1.0\r\nProxy-Authorization: Basic dXNlcjpwYXNz\r\n\r\n", ok, 0, 200,
         "Connection established"},
        {"IPv6 target", "::1", "", "", "CONNECT [::1]:8080 HTTP/1.0\r\n\r\n", "HTTP/1.1 299 Fine  \r\n\r\n", 0, 299, "Fine"},
        {"international name", "b\xC3\xBC" "cher.example", "", "", "CONNECT xn--bcher-kva.example:8080 HTTP/1.0\r\n\r\n",
         ok, 0, 200, "Connection established"},
        {"forbidden", "127.0.0.1", "", "", "CONNECT 127.0.0.1:8080 HTTP/1.0\r\n\r\n",
         "HTTP/1.1 403 Forbidden\r\n\r\n", ECONNREFUSED, 403, "Forbidden"},
        {"gateway time-out", "127.0.0.1", "", "", "CONNECT 127.0.0.1:8080 HTTP/1.0\r\n\r\n",
         "HTTP/1.1 504 Gateway Timeout\r\n\r\n", ECONNREFUSED, 504, "Gateway Timeout"},
        {"status line too short", "127.0.0.1", "", "", "CONNECT 127.0.0.1:8080 HTTP/1.0\r\n\r\n", "HTTP/1.1 20\r\n\r\n",
         ECONNREFUSED, -1, ""},
        {"status not a number", "127.0.0.1", "", "", "CONNECT 127.0.0.1:8080 HTTP/1.0\r\n\r\n", "HTTP/1.1 +20 OK\r\n\r\n",
         ECONNREFUSED, -1, "OK"},
        {"not HTTP", "127.0.0.1", "", "", "CONNECT 127.0.0.1:8080 HTTP/1.0\r\n\r\n", "SSH-2.0-OpenSSH_9 200\r\n",
         ECONNREFUSED, -1, "SSH_9 200"},
        {"headers cut off", "127.0.0.1", "", "", "CONNECT 127.0.0.1:8080 HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\nVia: x\r\n",
         ECONNRESET, 200, "OK"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int family = c.target[0] == ':' ? AF_INET6 : AF_INET;
        ScriptedPeer p(family, {{c.request, c.answer}}, c.error == ECONNRESET ? PeerEnd::Close : PeerEnd::Echo);
        HttpRun run;  // outlives the socket, whose close still reports
        TTCPBlockSocket s;
        Http(s, family, p);
        s.HTTPTunnelUser = U(c.user);
        s.HTTPTunnelPass = U(c.pass);
        run.Hook(s);
        s.Connect(Utf8BufToUnicodeU(c.target, int32_t(strlen(c.target))), u"8080");
        EXPECT_EQ(s.LastError(), c.error) << UnicodeToUtf8A(s.LastErrorDesc());
        ASSERT_EQ(run.answers.size(), 1u);
        EXPECT_EQ(run.answers[0].first, c.code);
        EXPECT_EQ(run.answers[0].second, U(c.text));
        // The connect to the proxy reports to the tunnel's handler, not to OnStatus.
        EXPECT_EQ(HttpRun::Count(run.tunnelStatus, THookSocketReason::HR_Connect), 1);
        EXPECT_EQ(HttpRun::Count(run.status, THookSocketReason::HR_SocketCreate), 0);
        EXPECT_EQ(s.HTTPTunnel(), c.error == 0);
        EXPECT_EQ(run.after, c.error == 0 ? 1 : 0);
        if (c.error == 0) {
            EXPECT_EQ(HttpRun::Count(run.status, THookSocketReason::HR_Connect), 1);
            EXPECT_EQ(s.GetRemoteSinIP(), c.target);
            EXPECT_EQ(s.GetRemoteSinPort(), 8080);
            if (c.answer == ok) ExpectTargetLineOnSocket(s, "hello");
            ExpectEcho(s);
        } else {
            EXPECT_EQ(s.GetRemoteSinPort(), int32_t(p.Port()));
            EXPECT_EQ(HttpRun::Count(run.status, THookSocketReason::HR_Error), 1);
            // A refusal other than 504 also reaches the tunnel's handler.
            const bool refused = c.error == ECONNREFUSED && c.code != 504;
            EXPECT_EQ(HttpRun::Count(run.tunnelStatus, THookSocketReason::HR_Error), refused ? 1 : 0);
            if (refused) { EXPECT_EQ(run.tunnelStatus.back().second, U(std::to_string(ECONNREFUSED) + ",Connection refused")); }
        }
        s.CloseSocket();
        EXPECT_FALSE(s.HTTPTunnel());
        p.Join();
        EXPECT_EQ(p.got, c.request);
    }
}

TEST(HttpTunnel, AnswerIsBoundedInLengthLinesAndTime) {
    const std::string req = "CONNECT 127.0.0.1:8080 HTTP/1.0\r\n\r\n";
    std::string headers100, headers101;
    for (int i = 0; i < 100; ++i) headers100 += "H" + std::to_string(i) + ": v\r\n";
    headers101 = headers100 + "H100: v\r\n";
    const struct {
        const char* what;
        std::vector<PeerStep> steps;
        int32_t timeout;
        int32_t error;
        int maxMs;
    } cases[] = {
        {"100 header lines", {{req, "HTTP/1.1 200 OK\r\n" + headers100 + "\r\n"}}, 2000, 0, 2000},
        {"101 header lines", {{req, "HTTP/1.1 200 OK\r\n" + headers101 + "\r\n"}}, 2000, ENOBUFS, 2000},
        {"header line of 8 KiB", {{req, "HTTP/1.1 200 OK\r\nX: " + std::string(8192 - 4, 'v') + "\r\n\r\n"}}, 2000, 0, 2000},
        {"header line too long", {{req, "HTTP/1.1 200 OK\r\nX: " + std::string(8192, 'v') + "\r\n\r\n"}}, 2000, ENOBUFS, 2000},
        {"status line without end", {{req, "HTTP/1.1 200 " + std::string(20000, 'v')}}, 2000, ENOBUFS, 2000},
        {"silent proxy", {{req, ""}}, 200, ETIMEDOUT, 1500},
        // Each line comes well within the time-out, but all of them together do not.
        {"trickling headers",
         {{req, "HTTP/1.1 200 OK\r\n"}, {"", "A: 1\r\n", 120}, {"", "B: 2\r\n", 120}, {"", "C: 3\r\n", 120},
          {"", "D: 4\r\n", 120}, {"", "\r\n", 120}},
         300, ETIMEDOUT, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedPeer p(AF_INET, c.steps, PeerEnd::Hold);
        TTCPBlockSocket s;
        Http(s, AF_INET, p);
        s.HTTPTunnelTimeout = c.timeout;
        s.MaxLineLength = 4;  // the tunnel's own bounds apply, and this one comes back
        const auto t0 = std::chrono::steady_clock::now();
        s.Connect(u"127.0.0.1", u"8080");
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(s.LastError(), c.error);
        EXPECT_EQ(s.HTTPTunnel(), c.error == 0);
        EXPECT_LT(ms, c.maxMs);
        if (c.error == ETIMEDOUT) { EXPECT_GE(ms, c.timeout - 20); }
        EXPECT_EQ(s.MaxLineLength, 4);
        EXPECT_TRUE(s.InterPacketTimeout);
        s.CloseSocket();
    }
    // With RaiseExcept a refusal raises 61.
    ScriptedPeer p(AF_INET, {{req, "HTTP/1.1 403 Forbidden\r\n\r\n"}}, PeerEnd::Hold);
    TTCPBlockSocket s;
    Http(s, AF_INET, p);
    s.RaiseExcept = true;
    try {
        s.Connect(u"127.0.0.1", u"8080");
        ADD_FAILURE() << "no exception";
    } catch (const ESynapseError& e) {
        EXPECT_EQ(e.ErrorCode, ECONNREFUSED);
    }
}

TEST(HttpTunnel, ProxyNotReachableReportsToTunnelHandler) {
    const int bound = BoundSocket(AF_INET);
    ASSERT_GE(bound, 0);
    HttpRun run;
    TTCPBlockSocket s;
    s.RaiseExcept = false;
    s.HTTPTunnelIP = u"127.0.0.1";
    s.HTTPTunnelPort = U(std::to_string(LocalPort(bound)));
    run.Hook(s);
    s.Connect(u"127.0.0.1", u"8080");
    EXPECT_EQ(s.LastError(), ECONNREFUSED);
    EXPECT_EQ(HttpRun::Count(run.tunnelStatus, THookSocketReason::HR_Error), 1);
    EXPECT_TRUE(run.status.empty());
    EXPECT_TRUE(run.answers.empty());
    close(bound);
}

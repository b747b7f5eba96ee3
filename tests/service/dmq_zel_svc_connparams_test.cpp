#include "service/dmq_zel_svc_connparams.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <thread>

#include "net/dmq_waiter2_socket.hpp"
#include "tests/support/script_peer.hpp"

namespace zel {
namespace {

using test::NowMs;
using test::ReadExactFrom;
using test::ReadLineFrom;
using test::ScriptPeer;
using test::WaitPeerClose;
using test::WriteAllTo;

UnicodeString PortU(uint16_t Port) { return WidenStrU(std::to_string(Port)); }

TEST(ConnParamsTest, WaiterResultsMapToSocketErrors) {
    struct Case {
        TWaiterResult Result;
        int32_t WaiterError;
        int32_t Expected;
    };
    const Case cases[] = {
        {TWaiterResult::wr_Timeout, 0, ETIMEDOUT},
        {TWaiterResult::wr_Descriptor, 0, 0},
        {TWaiterResult::wr_Interrupt, 0, EINTR},
        {TWaiterResult::wr_Error, EBADF, EBADF},
        // A failed wait without a code must not read as ready.
        {TWaiterResult::wr_Error, 0, EINVAL},
        {static_cast<TWaiterResult>(9), 0, EINVAL},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WaiterResultToSocketError(c.Result, c.WaiterError), c.Expected) << static_cast<int>(c.Result);
}

// A blocking socket whose waits run on a waiter, as the links and the console set it up.
class ConnParamsSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        socket_.RaiseExcept = false;
        hooks_.Install(socket_);
    }

    TZELConnectionParams ProxyParams(TZELProxyType Type, uint16_t ProxyPort) {
        TZELConnectionParams p;
        p.ProxyType = Type;
        p.ProxyAddress = u"127.0.0.1";
        p.ProxyPort = ProxyPort;
        return p;
    }

    TWaiter2Socket waiter_{1};
    TZELSocketWaiterHooks hooks_{waiter_};
    TTCPBlockSocket socket_;
};

TEST_F(ConnParamsSocketTest, SocketCreationRegistersOneRecordAtATime) {
    ScriptPeer peer([](int fd) {
        WriteAllTo(fd, "hello\r\n");
        WaitPeerClose(fd);
    });
    for (int round = 0; round < 2; ++round) {
        socket_.Connect(u"127.0.0.1", PortU(peer.Port()));
        ASSERT_EQ(socket_.LastError(), 0);
        // The pipe's record and the socket's: an earlier socket's record is gone.
        EXPECT_EQ(waiter_.LastIndex(), 1);
        ASSERT_NE(hooks_.Resource(), nullptr);
        EXPECT_EQ(hooks_.Resource()->Handle, socket_.Handle());
        EXPECT_EQ(socket_.RecvString(2000), "hello");
        socket_.CloseSocket();
    }
    hooks_.Release();
    EXPECT_EQ(waiter_.LastIndex(), 0);
}

TEST_F(ConnParamsSocketTest, RefusedConnectReportsTheConnectError) {
    socket_.ConnectionTimeout = 1500;
    socket_.Connect(u"127.0.0.1", PortU(test::FreeLoopbackPort()));
    EXPECT_EQ(socket_.LastError(), ECONNREFUSED);
}

TEST_F(ConnParamsSocketTest, SilentPeerEndsTheReadWithETIMEDOUT) {
    ScriptPeer peer([](int fd) { WaitPeerClose(fd); });
    socket_.Connect(u"127.0.0.1", PortU(peer.Port()));
    ASSERT_EQ(socket_.LastError(), 0);
    const int64_t t0 = NowMs();
    EXPECT_EQ(socket_.RecvString(200), "");
    EXPECT_EQ(socket_.LastError(), ETIMEDOUT);
    const int64_t spent = NowMs() - t0;
    EXPECT_GE(spent, 150);
    EXPECT_LT(spent, 1500);
    socket_.CloseSocket();
}

TEST_F(ConnParamsSocketTest, WakingTheWaiterEndsASocketWaitWithEINTR) {
    ScriptPeer peer([](int fd) { WaitPeerClose(fd); });
    socket_.Connect(u"127.0.0.1", PortU(peer.Port()));
    ASSERT_EQ(socket_.LastError(), 0);
    std::thread waker([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        waiter_.Interrupt();
    });
    const int64_t t0 = NowMs();
    EXPECT_EQ(socket_.RecvString(5000), "");
    const int64_t spent = NowMs() - t0;
    waker.join();
    EXPECT_EQ(socket_.LastError(), EINTR);
    EXPECT_LT(spent, 3000);
    socket_.CloseSocket();
}

// A proxy that takes the connection and never answers: the exchange is bounded by the link's
// connect time-out, not by the socket's own long defaults nor by the proxy connect time-out.
TEST_F(ConnParamsSocketTest, SilentProxyFailsWithinManagerConnectTimeout) {
    for (TZELProxyType type : {TZELProxyType::ZEL_PROXY_TYPE_HTTP, TZELProxyType::ZEL_PROXY_TYPE_SOCKS4,
                               TZELProxyType::ZEL_PROXY_TYPE_SOCKS5}) {
        ScriptPeer peer([](int fd) { WaitPeerClose(fd); });
        TZELConnectionParams p = ProxyParams(type, peer.Port());
        p.ManagerConnectTimeout = 300;
        p.ProxyConnectTimeout = 4000;
        ApplyConnectionParams(socket_, p);
        const int64_t t0 = NowMs();
        socket_.Connect(u"127.0.0.1", u"4321");
        const int64_t spent = NowMs() - t0;
        EXPECT_EQ(socket_.LastError(), ETIMEDOUT) << static_cast<int>(type);
        EXPECT_GE(spent, 250) << static_cast<int>(type);
        EXPECT_LT(spent, 2500) << static_cast<int>(type);
        socket_.CloseSocket();
    }
}

// What each proxy kind sends for the target 127.0.0.1:4321 with user "bob" and password "pw", and
// the answer that opens the tunnel.
struct ProxyCase {
    TZELProxyType Type;
    const char* User;
    std::string Request;
    std::string Answer;
};

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += static_cast<char>(c);
    return s;
}

TEST_F(ConnParamsSocketTest, ProxyExchangeUsesAddressPortAndCredentials) {
    const ProxyCase cases[] = {
        {TZELProxyType::ZEL_PROXY_TYPE_HTTP, "bob",
         "CONNECT 127.0.0.1:4321 HTTP/1.0\r\nProxy-Authorization: Basic Ym9iOnB3\r\n\r\n",
         "HTTP/1.0 200 Connection established\r\n\r\n"},
        // No user name: no authorization line, although a password is set.
        {TZELProxyType::ZEL_PROXY_TYPE_HTTP, "", "CONNECT 127.0.0.1:4321 HTTP/1.0\r\n\r\n",
         "HTTP/1.0 200 OK\r\n\r\n"},
        {TZELProxyType::ZEL_PROXY_TYPE_SOCKS4, "bob",
         Bytes({4, 1, 0x10, 0xE1, 127, 0, 0, 1}) + "bob" + Bytes({0}), Bytes({0, 90, 0, 0, 0, 0, 0, 0})},
        {TZELProxyType::ZEL_PROXY_TYPE_SOCKS5, "bob",
         Bytes({5, 2, 0, 2}) + Bytes({1, 3}) + "bob" + Bytes({2}) + "pw" + Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0x10, 0xE1}),
         Bytes({5, 2}) + Bytes({1, 0}) + Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x10, 0xE1})},
    };
    for (const ProxyCase& c : cases) {
        std::string received;
        {
            ScriptPeer peer([&](int fd) {
                // SOCKS5 answers each step before the next one comes.
                if (c.Type == TZELProxyType::ZEL_PROXY_TYPE_SOCKS5) {
                    received = ReadExactFrom(fd, 4);
                    WriteAllTo(fd, c.Answer.substr(0, 2));
                    received += ReadExactFrom(fd, 8);
                    WriteAllTo(fd, c.Answer.substr(2, 2));
                    received += ReadExactFrom(fd, 10);
                    WriteAllTo(fd, c.Answer.substr(4));
                } else {
                    received = ReadExactFrom(fd, c.Request.size());
                    WriteAllTo(fd, c.Answer);
                }
                WaitPeerClose(fd);
            });
            TZELConnectionParams p = ProxyParams(c.Type, peer.Port());
            p.ProxyUsername = WidenStrU(c.User);
            p.ProxyPassword = u"pw";
            ApplyConnectionParams(socket_, p);
            socket_.Connect(u"127.0.0.1", u"4321");
            EXPECT_EQ(socket_.LastError(), 0) << static_cast<int>(c.Type);
            EXPECT_EQ(socket_.GetRemoteSinPort(), 4321) << static_cast<int>(c.Type);
            socket_.CloseSocket();
        }
        EXPECT_EQ(received, c.Request) << static_cast<int>(c.Type);
    }
}

TEST_F(ConnParamsSocketTest, DirectKindsClearAnEarlierProxyAndKeepTheTimeouts) {
    TZELConnectionParams socks = ProxyParams(TZELProxyType::ZEL_PROXY_TYPE_SOCKS5, 1080);
    socks.ProxyUsername = u"bob";
    ApplyConnectionParams(socket_, socks);
    TZELConnectionParams http = ProxyParams(TZELProxyType::ZEL_PROXY_TYPE_HTTP, 3128);
    http.ProxyUsername = u"bob";
    ApplyConnectionParams(socket_, http);
    EXPECT_TRUE(socket_.SocksIP.empty());
    EXPECT_EQ(socket_.HTTPTunnelPort, u"3128");
    for (TZELProxyType type : {TZELProxyType::ZEL_PROXY_TYPE_NONE, TZELProxyType::ZEL_PROXY_TYPE_SYSTEM}) {
        TZELConnectionParams p = ProxyParams(type, 3128);
        p.ManagerConnectTimeout = 1234;
        p.ManagerPreferIPv4 = false;
        ApplyConnectionParams(socket_, p);
        EXPECT_TRUE(socket_.SocksIP.empty());
        EXPECT_TRUE(socket_.HTTPTunnelIP.empty());
        EXPECT_TRUE(socket_.HTTPTunnelUser.empty());
        EXPECT_EQ(socket_.ConnectionTimeout, 1234);
        EXPECT_FALSE(socket_.PreferIP4);
    }
}

}  // namespace
}  // namespace zel

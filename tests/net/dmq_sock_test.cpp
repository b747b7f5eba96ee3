#include "net/dmq_sock.hpp"

#include "net/dmq_snps_addr.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace zel {
namespace {

TEST(SockTick, WrapsAndComparesByUnsignedDifference) {
    struct Case { time_t sec; long nsec; uint32_t tick; };
    const Case cases[] = {
        {0, 0, 0u},
        {1, 999999999, 1999u},
        {4294967, 295000000, 0xFFFFFFFFu},   // last tick before the wrap
        {4294967, 296000000, 0u},            // wrapped
        {4294967 * 2 + 1, 0, 4294967u * 2000u + 1000u},
    };
    for (const Case& c : cases) {
        timespec ts{};
        ts.tv_sec = c.sec;
        ts.tv_nsec = c.nsec;
        EXPECT_EQ(TickMsFromTimespec(ts), c.tick) << c.sec << "s " << c.nsec << "ns";
    }
    // A time-out armed just before the wrap expires by difference, as the callers compare.
    const uint32_t start = TickMsFromTimespec(timespec{4294967, 290000000});
    const uint32_t before = TickMsFromTimespec(timespec{4294967, 295000000});
    const uint32_t after = TickMsFromTimespec(timespec{4294967, 306000000});
    EXPECT_FALSE(static_cast<uint32_t>(before - start) >= 10u);
    EXPECT_TRUE(static_cast<uint32_t>(after - start) >= 10u);
    EXPECT_EQ(static_cast<uint32_t>(after - start), 16u);
}

TEST(SockTick, FollowsTheMonotonicClock) {
    const uint32_t t0 = GetTickMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const uint32_t d = GetTickMs() - t0;
    EXPECT_GE(d, 29u);
    EXPECT_LT(d, 5000u);
}

TEST(SockText, HostAndPort) {
    struct Case { const char* host; const char* port; const char* text; };
    const Case cases[] = {
        {"::0", "1", "[::]:1"},
        {"[::0]", "1", "[::]:1"},
        {"[fe80::1]", "1", "[fe80::1]:1"},
        {"127.0.0.1", "10024", "127.0.0.1:10024"},
        {"::1", "10024", "[::1]:10024"},
        {"::", "7", "[::]:7"},
        {"::00", "7", "[::00]:7"},
        {"host.example", "http", "host.example:http"},
        {"", "5", ":5"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatHostPortA(c.host, c.port), c.text) << c.host;
        const UnicodeString host = WidenStrU(c.host), port = WidenStrU(c.port);
        EXPECT_EQ(FormatHostPortU(host, port), WidenStrU(c.text)) << c.host;
        TStringBldU b;
        StrBldUInit(b, 0);
        StrBldUAdd(b, u"at ");
        AppendHostPortU(b, host, port);
        EXPECT_EQ(StrBldUToStr(b), u"at " + WidenStrU(c.text)) << c.host;
    }
}

TEST(SockText, ErrorText) {
    // The code the resolver gives for an unknown host, not a code it never returns.
    TSockAddrAny sin{};
    const int32_t notFound = SetVarSin(sin, "::1", "80", TSocketFamily::SF_IP4, true);  // no IPv4 address
    EXPECT_EQ(notFound, SNPS_HOST_NOT_FOUND);
    EXPECT_EQ(SockErrorText(notFound, u"whatever"), u"Socket error -7: Host not found");
    EXPECT_EQ(SockErrorText(-1001, u"whatever"), u"Socket error -1001: whatever");
    EXPECT_EQ(SockErrorText(ECONNREFUSED, u"Connection refused"),
              u"Socket error " + WidenStrU(std::to_string(ECONNREFUSED)) + u": Connection refused");
    EXPECT_EQ(SockErrorText(0, u""), u"Socket error 0: ");
}

// A connected pair over loopback: the accepted end is non-blocking.
class SockPair : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        const int family = GetParam();
        sockaddr_storage ss{};
        socklen_t len;
        if (family == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof(*a);
        } else {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            len = sizeof(*a);
        }
        listener_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(listener_, 0);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&ss), len) != 0)
            GTEST_SKIP() << "no loopback for family " << family;
        ASSERT_EQ(listen(listener_, 4), 0);
        ASSERT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&ss), &len), 0);
        client_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(client_, 0);
        ASSERT_EQ(connect(client_, reinterpret_cast<sockaddr*>(&ss), len), 0);
        server_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(server_, 0);
        ASSERT_EQ(SockSetNonBlocking(server_), 0);
    }
    void TearDown() override {
        for (int* h : {&server_, &client_, &listener_})
            if (*h >= 0) close(*h);
    }
    // Reads until want bytes arrived or about 2 s passed.
    std::string RecvAll(size_t want) {
        std::string got;
        char buf[256];
        for (int i = 0; i < 200 && got.size() < want; ++i) {
            size_t n = 99;
            const int r = SockRecv(server_, buf, sizeof(buf), MSG_NOSIGNAL, n);
            if (r != 0) break;
            got.append(buf, n);
            if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return got;
    }
    int listener_ = -1, client_ = -1, server_ = -1;
};

TEST_P(SockPair, ReceiveNothingDataAndOrderlyClose) {
    char buf[16];
    size_t n = 99;
    EXPECT_EQ(SockRecv(server_, buf, sizeof(buf), MSG_NOSIGNAL, n), 0);
    EXPECT_EQ(n, 0u);

    size_t sent = 0;
    ASSERT_EQ(SockSend(client_, "hello", 5, 0, sent), 0);
    EXPECT_EQ(sent, 5u);
    EXPECT_EQ(RecvAll(5), "hello");

    // A zero-length read is not the peer's close.
    n = 99;
    EXPECT_EQ(SockRecv(server_, buf, 0, 0, n), 0);
    EXPECT_EQ(n, 0u);

    ASSERT_EQ(close(client_), 0);
    client_ = -1;
    int r = 0;
    for (int i = 0; i < 200; ++i) {
        n = 99;
        r = SockRecv(server_, buf, sizeof(buf), 0, n);
        if (r != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(r, ECONNRESET);
    EXPECT_EQ(n, 0u);
}

TEST_P(SockPair, SendOnFullSocketAndToClosedPeerNeverRaises) {
    const int small = 4096;
    setsockopt(server_, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    static char block[65536];
    std::memset(block, 'x', sizeof(block));
    size_t n = 0;
    int r = 0;
    bool full = false;
    for (int i = 0; i < 10000 && !full; ++i) {
        r = SockSend(server_, block, sizeof(block), 0, n);
        ASSERT_EQ(r, 0);
        full = (n == 0);
    }
    EXPECT_TRUE(full);

    // The peer goes away: later sends fail with an error code and no SIGPIPE ends the test.
    close(client_);
    client_ = -1;
    r = 0;
    for (int i = 0; i < 200 && r == 0; ++i) {
        r = SockSend(server_, block, 1, 0, n);
        if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(r == EPIPE || r == ECONNRESET) << r;
    EXPECT_EQ(n, 0u);
}

TEST_P(SockPair, OptionsAndClose) {
    int v = 0;
    socklen_t len = sizeof(v);
    ASSERT_EQ(SockSetNoDelay(server_, true), 0);
    ASSERT_EQ(getsockopt(server_, IPPROTO_TCP, TCP_NODELAY, &v, &len), 0);
    EXPECT_NE(v, 0);
    ASSERT_EQ(SockSetNoDelay(server_, false), 0);
    ASSERT_EQ(getsockopt(server_, IPPROTO_TCP, TCP_NODELAY, &v, &len), 0);
    EXPECT_EQ(v, 0);
    ASSERT_EQ(SockSetReuseAddr(server_, true), 0);
    ASSERT_EQ(getsockopt(server_, SOL_SOCKET, SO_REUSEADDR, &v, &len), 0);
    EXPECT_NE(v, 0);
    EXPECT_NE(fcntl(server_, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(SockSetPlatformOption(server_, 1), 0);

    int h = server_;
    EXPECT_EQ(SockCloseVar(h), 0);
    EXPECT_EQ(h, -1);
    EXPECT_EQ(SockCloseVar(h), 0);
    EXPECT_EQ(SockClose(server_), EBADF);
    EXPECT_EQ(SockSetNonBlocking(server_), EBADF);
    size_t n = 7;
    char c;
    EXPECT_EQ(SockRecv(server_, &c, 1, 0, n), EBADF);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(SockSend(server_, "x", 1, 0, n), EBADF);
    server_ = -1;
}

INSTANTIATE_TEST_SUITE_P(Loopback, SockPair, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& info) { return info.param == AF_INET ? "IPv4" : "IPv6"; });

TEST(SockResolve, HostIPv4) {
    auto e = ResolveHostIPv4("127.0.0.1");
    ASSERT_NE(e, nullptr);
    ASSERT_FALSE(e->Addresses.empty());
    const uint32_t a = e->Addresses[0];
    const auto* b = reinterpret_cast<const unsigned char*>(&a);
    EXPECT_EQ(b[0], 127);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(b[2], 0);
    EXPECT_EQ(b[3], 1);

    auto l = ResolveHostIPv4("localhost");
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->Name, u"localhost");
    ASSERT_FALSE(l->Addresses.empty());
    EXPECT_EQ(l->Addresses[0], htonl(INADDR_LOOPBACK));

    EXPECT_EQ(ResolveHostIPv4(nullptr), nullptr);
    EXPECT_EQ(ResolveHostIPv4(""), nullptr);
}

}  // namespace
}  // namespace zel

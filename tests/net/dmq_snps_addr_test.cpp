#include "net/dmq_snps_addr.hpp"

#include "net/dmq_sock.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

namespace zel {
namespace {

TEST(AddrText, IsIP) {
    struct Case { const char* text; bool ok; };
    const Case cases[] = {
        {"127.0.0.1", true}, {"0.0.0.0", true}, {"255.255.255.255", true}, {"010.1.1.1", true},
        {"256.1.1.1", false}, {"1.2.3", false}, {"1.2.3.4.", false}, {"1..2.3", false},
        {"1.2.3.4 ", false}, {"", false}, {"a.b.c.d", false}, {"0001.1.1.1", false},
        {"::1", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsIP(c.text), c.ok) << c.text;
    EXPECT_EQ(IPToID("10.1.2.255"), AnsiString("\x0A\x01\x02\xFF", 4));
    EXPECT_EQ(IPToID("nonsense"), AnsiString(4, '\0'));
}

TEST(AddrText, IPv6ParseAndFormat) {
    struct Case { const char* text; bool ok; const char* canonical; };
    const Case cases[] = {
        {"::1", true, "::1"},
        {"::", true, "::"},
        {"::0", true, "::"},
        {"1::", true, "1::"},
        {"fe80::1", true, "FE80::1"},
        {"2001:db8:0:0:1:0:0:1", true, "2001:DB8::1:0:0:1"},   // first of equal runs
        {"2001:0db8:0000:0000:0000:ff00:0042:8329", true, "2001:DB8::FF00:42:8329"},
        {"1:2:3:4:5:6:7:8", true, "1:2:3:4:5:6:7:8"},
        {"1:0:2:3:4:5:6:7", true, "1::2:3:4:5:6:7"},
        {"::ffff:10.0.0.1", true, "::FFFF:A00:1"},
        {"1:2:3:4:5:6:1.2.3.4", true, "1:2:3:4:5:6:102:304"},
        {"1:2:3:4:5:6:7", false, ""},
        {"1:2:3:4:5:6:7:8:9", false, ""},
        {"1::2::3", false, ""},
        {":::", false, ""},
        {":1::", false, ""},
        {"1:::2", false, ""},
        {"1::2:", false, ""},
        {"12345::", false, ""},
        {"g::", false, ""},
        {"1.2.3.4::", false, ""},
        {"::1.2.3", false, ""},
        {"1:2:3:4:5:6:7:1.2.3.4", false, ""},
        {"1::2:3:4:5:6:7:8", false, ""},
        {"", false, ""},
        {"127.0.0.1", false, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsIP6(c.text), c.ok) << c.text;
        EXPECT_EQ(IsIP6U(WidenStrU(c.text)), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(Ip6ToStr(StrToIp6(c.text)), c.canonical) << c.text;
            EXPECT_EQ(Ip6ToStrU(StrToIp6(c.text)), WidenStrU(c.canonical)) << c.text;
            // The written form reads back to the same bytes.
            EXPECT_EQ(StrToIp6(Ip6ToStr(StrToIp6(c.text))), StrToIp6(c.text)) << c.text;
        } else {
            EXPECT_EQ(StrToIp6(c.text), TIp6Bytes{}) << c.text;
        }
    }
    EXPECT_FALSE(IsIP6U(u"::\u0131"));
    EXPECT_EQ(StrToIp6("::ffff:10.0.0.1")[10], 0xFF);
    EXPECT_EQ(StrToIp6("::ffff:10.0.0.1")[12], 10);
}

TEST(AddrLookup, PortsAndServiceNames) {
    struct Case { const char* port; uint16_t value; };
    const Case cases[] = {
        {"10024", 10024}, {"0", 0}, {"65535", 65535}, {"65536", 0}, {"99999999999", 0},
        {"no-such-service-name", 0}, {"", 0}, {"-1", 0}, {"12a", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(ResolvePort(c.port), c.value) << c.port;
    // Service names come from the system's database, which a minimal system may lack.
    const servent* se = getservbyname("http", "tcp");
    EXPECT_EQ(ResolvePort("http"), se ? ntohs(static_cast<uint16_t>(se->s_port)) : 0);
}

TEST(AddrLookup, ConcurrentLookupsAgree) {
    const uint16_t http = ResolvePort("http");
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                TSockAddrAny a{};
                if (SetVarSin(a, "10.9.8.7", "http", TSocketFamily::SF_Any, true) != 0 ||
                    GetSinIP(a) != "10.9.8.7" || GetSinPort(a) != http)
                    ++bad;
                auto e = ResolveHostIPv4("localhost");
                if (!e || e->Addresses.empty() || e->Addresses[0] != htonl(INADDR_LOOPBACK)) ++bad;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(AddrLookup, SetVarSinRules) {
    struct Case {
        const char* ip; TSocketFamily family; bool prefer4; int32_t result; int af; const char* text;
    };
    using F = TSocketFamily;
    const Case cases[] = {
        {"localhost", F::SF_Any, true, 0, AF_INET, "127.0.0.1"},
        {"LocalHost", F::SF_Any, false, 0, AF_INET6, "0:0:0:0:0:0:0:1"},
        {"localhost", F::SF_IP6, true, 0, AF_INET6, "0:0:0:0:0:0:0:1"},
        {"0.0.0.0", F::SF_Any, false, 0, AF_INET, "0.0.0.0"},   // IPv6 first, then IPv4
        {"::0", F::SF_Any, true, 0, AF_INET6, "0:0:0:0:0:0:0:0"},
        {"::1", F::SF_IP4, true, SNPS_HOST_NOT_FOUND, AF_UNSPEC, ""},
        {"127.0.0.1", F::SF_IP6, true, SNPS_HOST_NOT_FOUND, AF_UNSPEC, ""},
        {"10.1.2.3", F::SF_IP4, true, 0, AF_INET, "10.1.2.3"},
        {"fe80::a:B", F::SF_Any, true, 0, AF_INET6, "FE80:0:0:0:0:0:A:B"},
        {"::ffff:10.0.0.1", F::SF_IP6, true, 0, AF_INET6, "10.0.0.1"},
        {"", F::SF_Any, true, SNPS_HOST_NOT_FOUND, AF_UNSPEC, ""},
    };
    for (const Case& c : cases) {
        TSockAddrAny a{};
        EXPECT_EQ(SetVarSin(a, c.ip, "10024", c.family, c.prefer4), c.result) << c.ip;
        EXPECT_EQ(a.sa.sa_family, c.af) << c.ip;
        EXPECT_EQ(GetSinIP(a), c.text) << c.ip;
        EXPECT_EQ(GetSinPort(a), c.result == 0 ? 10024 : 0) << c.ip;
    }
    // A name with a NUL byte is never looked up cut short.
    TSockAddrAny a{};
    EXPECT_EQ(SetVarSin(a, AnsiView("localhost\0evil", 14), "1", F::SF_IP4, true),
              SNPS_HOST_NOT_FOUND);
}

TEST(AddrLookup, ResolveNameToIP) {
    std::vector<AnsiString> list{"old"};
    ResolveNameToIP("localhost", TSocketFamily::SF_Any, list);
    EXPECT_EQ(list, (std::vector<AnsiString>{"127.0.0.1", "::1"}));
    ResolveNameToIP("localhost", TSocketFamily::SF_IP4, list);
    EXPECT_EQ(list, (std::vector<AnsiString>{"127.0.0.1"}));
    ResolveNameToIP("::1", TSocketFamily::SF_Any, list);
    EXPECT_EQ(list, (std::vector<AnsiString>{"0:0:0:0:0:0:0:1"}));
}

TEST(AddrKinds, KindIpAndPortOfEachFamily) {
    struct Case { const char* ip; int32_t kind; const char* text; };
    const Case cases[] = {
        {"10.0.0.1", 0, "10.0.0.1"},
        {"::ffff:10.0.0.1", 1, "10.0.0.1"},
        {"::1", 3, "0:0:0:0:0:0:0:1"},
        {"2001:db8::ff", 3, "2001:DB8:0:0:0:0:0:FF"},
    };
    for (const Case& c : cases) {
        TSockAddrAny a{};
        ASSERT_EQ(SetVarSin(a, c.ip, "7", TSocketFamily::SF_Any, true), 0) << c.ip;
        EXPECT_EQ(GetSinKind(a), c.kind) << c.ip;
        EXPECT_EQ(GetSinIP(a), c.text) << c.ip;
        EXPECT_EQ(GetSinPort(a), 7) << c.ip;
    }
    TSockAddrAny none{};
    EXPECT_EQ(GetSinKind(none), AF_UNSPEC);
    EXPECT_EQ(GetSinIP(none), "");
    none.sa.sa_family = AF_UNIX;
    EXPECT_EQ(GetSinKind(none), AF_UNIX);
}

bool CloseOnExec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

class AddrLoopback : public ::testing::TestWithParam<const char*> {};

TEST_P(AddrLoopback, BindListenConnectAcceptAndAddresses) {
    const AnsiString host = GetParam();
    TSockAddrAny addr{};
    ASSERT_EQ(SetVarSin(addr, host, "0", TSocketFamily::SF_Any, true), 0);
    const int ls = SnpsSocket(addr.sa.sa_family, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_GE(ls, 0);
    EXPECT_TRUE(CloseOnExec(ls));
    if (SnpsBind(ls, addr) != 0) {
        SnpsCloseSocket(ls);
        GTEST_SKIP() << "no loopback " << host;
    }
    ASSERT_EQ(SnpsListen(ls, 4), 0);
    TSockAddrAny local{};
    ASSERT_EQ(GetSockNameAddr(ls, local), 0);
    const int32_t port = GetSinPort(local);
    ASSERT_GT(port, 0);
    EXPECT_EQ(GetSinIP(local), GetSinIP(addr));

    TSockAddrAny target{};
    ASSERT_EQ(SetVarSin(target, host, std::to_string(port), TSocketFamily::SF_Any, true), 0);
    const int cs = SnpsSocket(target.sa.sa_family, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_GE(cs, 0);
    ASSERT_EQ(SnpsConnect(cs, target), 0);

    TSockAddrAny peer{};
    const int as = SnpsAccept(ls, peer, SOCK_NONBLOCK);
    ASSERT_GE(as, 0);
    EXPECT_TRUE(CloseOnExec(as));
    EXPECT_NE(fcntl(as, F_GETFL) & O_NONBLOCK, 0);
    TSockAddrAny clientLocal{}, peer2{};
    ASSERT_EQ(GetSockNameAddr(cs, clientLocal), 0);
    ASSERT_EQ(GetPeerNameAddr(as, peer2), 0);
    EXPECT_EQ(GetSinPort(peer), GetSinPort(clientLocal));
    EXPECT_EQ(GetSinIP(peer2), GetSinIP(addr));
    EXPECT_EQ(GetSinKind(peer2), addr.sa.sa_family == AF_INET ? 0 : 3);

    ASSERT_EQ(SnpsSend(cs, "abc", 3, 0), 3);
    int waiting = 0;
    for (int i = 0; i < 200 && waiting < 3; ++i) {
        ASSERT_EQ(SnpsIoctl(as, FIONREAD, waiting), 0);
        if (waiting < 3) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(waiting, 3);
    char buf[8];
    EXPECT_EQ(SnpsRecv(as, buf, sizeof(buf), 0), 3);

    // A send to a peer that is gone fails with an error, never with SIGPIPE.
    ASSERT_EQ(SnpsShutdown(as, SHUT_RDWR), 0);
    ssize_t r = 0;
    for (int i = 0; i < 200 && r >= 0; ++i) {
        r = SnpsSend(cs, "x", 1, 0);
        if (r >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LT(r, 0);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;

    int optval = 0;
    socklen_t optlen = sizeof(optval);
    ASSERT_EQ(SnpsGetSockOpt(cs, SOL_SOCKET, SO_TYPE, &optval, optlen), 0);
    EXPECT_EQ(optval, SOCK_STREAM);
    for (int h : {as, cs, ls}) EXPECT_EQ(SnpsCloseSocket(h), 0);
}

INSTANTIATE_TEST_SUITE_P(Hosts, AddrLoopback, ::testing::Values("127.0.0.1", "::1"),
                         [](const auto& info) { return info.index == 0 ? "IPv4" : "IPv6"; });

TEST(AddrSelect, DescriptorSetRefusesHandlesOutsideItsBits) {
    fd_set set;
    SnpsFDZero(set);
    EXPECT_TRUE(SnpsFDSet(3, set));
    EXPECT_TRUE(SnpsFDIsSet(3, set));
    SnpsFDClr(3, set);
    EXPECT_FALSE(SnpsFDIsSet(3, set));
    EXPECT_FALSE(SnpsFDSet(FD_SETSIZE, set));
    EXPECT_FALSE(SnpsFDSet(-1, set));
    EXPECT_FALSE(SnpsFDIsSet(FD_SETSIZE, set));

    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ASSERT_EQ(write(p[1], "x", 1), 1);
    SnpsFDZero(set);
    ASSERT_TRUE(SnpsFDSet(p[0], set));
    timeval tv{1, 0};
    EXPECT_EQ(SnpsSelect(p[0] + 1, &set, nullptr, nullptr, &tv), 1);
    EXPECT_TRUE(SnpsFDIsSet(p[0], set));
    close(p[0]);
    close(p[1]);
}

}  // namespace
}  // namespace zel

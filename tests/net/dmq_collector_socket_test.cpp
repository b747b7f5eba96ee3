#include "net/dmq_collector_socket.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "net/dmq_sock.hpp"
#include "tests/support/loopback.hpp"

using namespace zel;
using namespace zeltest;
using R = TCollectResult;

namespace {

// Collects until something other than "nothing yet" comes, waiting for input between passes.
R CollectFor(TCollectorSocket& c, int ms) {
    for (int i = 0; i < ms / 10; ++i) {
        R r = c.Collect(GetTickMs());
        if (r != R::colres_Nothing) return r;
        PollFor(c.Handle, POLLIN, 10);
    }
    return R::colres_Nothing;
}

class CollectorSocket : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        if (!MakeTcpPair(GetParam(), p)) GTEST_SKIP() << FamilyName(GetParam()) << " not available";
        SetNonBlocking(p.a);
    }
    void Send(const std::string& s) { ASSERT_EQ(send(p.b, s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size())); }
    TcpPair p;
};

TEST_P(CollectorSocket, PrefixThenLinesThenABlock) {
    TCollectorSocket c(2048, p.a);
    char prefix[3];
    c.StartReadBytesNoTimeout(prefix, 3);
    EXPECT_EQ(c.Collect(GetTickMs()), R::colres_Nothing);
    Send("CT:hello\r\nTX1");
    ASSERT_EQ(CollectFor(c, 2000), R::colres_Complete);
    EXPECT_EQ(std::string(prefix, 3), "CT:");
    TStringBldA line;
    c.StartReadLineNoTimeout(line, 4096);
    ASSERT_EQ(CollectFor(c, 2000), R::colres_Complete);
    EXPECT_EQ(StrBldAToStr(line), "hello");
    c.StartReadLineNoTimeout(line, 4096);
    ASSERT_EQ(CollectFor(c, 100), R::colres_Nothing) << "no line feed yet";
    Send("\n" + std::string(325, 'v'));
    ASSERT_EQ(CollectFor(c, 2000), R::colres_Complete);
    EXPECT_EQ(StrBldAToStr(line), "TX1");
    std::string block(325, 0);
    c.StartReadBytesNoTimeout(block.data(), 325);
    ASSERT_EQ(CollectFor(c, 2000), R::colres_Complete);
    EXPECT_EQ(block, std::string(325, 'v'));
    EXPECT_EQ(c.BytesReceived, 3u + 7u + 4u + 325u);
}

TEST_P(CollectorSocket, PeerClosingCutsNothingIntoAWholeBlock) {
    struct Case {
        const char* name;
        bool reset;
    };
    for (Case k : {Case{"FIN", false}, Case{"RST", true}}) {
        SCOPED_TRACE(k.name);
        TcpPair t;
        ASSERT_TRUE(MakeTcpPair(GetParam(), t));
        SetNonBlocking(t.a);
        TCollectorSocket c(2048, t.a);
        c.DropPartialAtEnd = true;
        c.Reset();  // the owner's setting outlives a reset
        std::string block(325, 0);
        c.StartReadBytesNoTimeout(block.data(), 325);
        ASSERT_EQ(send(t.b, "half", 4, MSG_NOSIGNAL), 4);
        ASSERT_TRUE(PollFor(t.a, POLLIN, 1000));
        EXPECT_EQ(c.Collect(GetTickMs()), R::colres_Nothing);
        if (k.reset)
            CloseWithReset(t.b);
        else
            shutdown(t.b, SHUT_WR);
        EXPECT_EQ(CollectFor(c, 2000), R::colres_EndOfStream);
        EXPECT_EQ(c.LastCount(), 4u);
        EXPECT_TRUE(c.EndSeen());
    }
}

TEST_P(CollectorSocket, IdleProbeEndsOnInputOrClose) {
    TCollectorSocket c(128, p.a);
    c.StartIdleNow();
    EXPECT_EQ(c.Collect(GetTickMs()), R::colres_Nothing) << "a quiet socket";
    Send("x");
    ASSERT_TRUE(PollFor(p.a, POLLIN, 1000));
    EXPECT_EQ(c.Collect(GetTickMs()), R::colres_EndOfStream);
    EXPECT_EQ(c.TimeoutLength, 0u);

    TcpPair t;
    ASSERT_TRUE(MakeTcpPair(GetParam(), t));
    TCollectorSocket quiet(128, t.a);
    EXPECT_EQ(quiet.Collect(GetTickMs()), R::colres_Nothing);
    shutdown(t.b, SHUT_WR);
    ASSERT_TRUE(PollFor(t.a, POLLIN, 1000));
    EXPECT_EQ(quiet.Collect(GetTickMs()), R::colres_EndOfStream);
    EXPECT_TRUE(quiet.EndSeen());
}

// A peer that streams one line without a line feed as fast as it can: each call stops at its
// read budget, so the owner's time-out fires while the flood goes on.
TEST_P(CollectorSocket, EndlessLineReturnsWithinTheCallBudget) {
    using namespace std::chrono;
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        const std::string chunk(65536, 'x');
        const auto end = steady_clock::now() + seconds(3);
        while (!stop && steady_clock::now() < end)
            if (PollFor(p.b, POLLOUT, 50)) send(p.b, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    });
    TCollectorSocket c(4096, p.a);
    c.ArmLength = 300;
    TStringBldA line;
    c.StartReadLine(line, 4096, GetTickMs());
    const auto t0 = steady_clock::now();
    R r = R::colres_Nothing;
    uint64_t mostPerCall = 0;
    auto longest = steady_clock::duration::zero();
    while (r == R::colres_Nothing && steady_clock::now() - t0 < seconds(3)) {
        PollFor(p.a, POLLIN, 50);
        const uint64_t before = c.BytesReceived;
        const auto c0 = steady_clock::now();
        r = c.Collect(GetTickMs());
        longest = std::max(longest, steady_clock::now() - c0);
        mostPerCall = std::max(mostPerCall, c.BytesReceived - before);
        if (r == R::colres_Nothing && c.BytesReceived - before >= COLLECTOR_BYTES_PER_CALL) {
            EXPECT_TRUE(c.MoreWaiting());
        }
    }
    const auto total = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    stop = true;
    flood.join();
    EXPECT_EQ(r, R::colres_Timeout);
    EXPECT_TRUE(c.TooLong());
    EXPECT_EQ(line.Len(), 4096);
    EXPECT_GT(c.BytesReceived, 0u);
    EXPECT_LE(mostPerCall, COLLECTOR_BYTES_PER_CALL + c.BufferSize());
    EXPECT_LT(duration_cast<milliseconds>(longest).count(), 100);
    EXPECT_GE(total, 290);
    EXPECT_LT(total, 1500);
}

INSTANTIATE_TEST_SUITE_P(Loopback, CollectorSocket, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& info) { return info.param == AF_INET6 ? "IPv6" : "IPv4"; });

TEST(CollectorSocketErrors, ReadErrorKeepsCodeAndText) {
    TCollectorSocket c(128, -1);
    std::string s;
    c.StartReadLineStrNoTimeout(s, 10);
    EXPECT_EQ(c.Collect(GetTickMs()), R::colres_ReadError);
    EXPECT_EQ(c.ErrorCode(), EBADF);
    EXPECT_FALSE(c.ErrorText().empty());
}

}  // namespace

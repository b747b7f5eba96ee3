#include "net/dmq_collector_socket.hpp"

#include <gtest/gtest.h>

#include <string>

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

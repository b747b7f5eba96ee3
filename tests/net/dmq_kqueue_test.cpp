#include "net/dmq_kqueue.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "tests/support/loopback.hpp"

using namespace zel;
using namespace zeltest;

namespace {

int R_TAG, W_TAG;  // user pointers of the read and the write filter

struct Got {
    int read = 0, write = 0;
    bool readEof = false, writeEof = false;
};

// One wait, sorted by filter; every event must carry the user pointer of its filter.
Got WaitOnce(TKQueue& kq, int fd, uint32_t ms) {
    TKEvent ev[4];
    int n = kq.KEvent(nullptr, 0, ev, 4, ms);
    EXPECT_GE(n, 0);
    Got g;
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(ev[i].ident, uintptr_t(fd));
        if (ev[i].filter == kqf_Read) {
            EXPECT_EQ(ev[i].udata, &R_TAG);
            ++g.read;
            g.readEof = ev[i].flags & kqe_EOF;
        } else {
            EXPECT_EQ(ev[i].filter, kqf_Write);
            EXPECT_EQ(ev[i].udata, &W_TAG);
            ++g.write;
            g.writeEof = ev[i].flags & kqe_EOF;
        }
    }
    return g;
}

int Change(TKQueue& kq, int fd, int16_t filter, uint16_t flags) {
    TKEvent c = KEventRec(uintptr_t(fd), filter, flags, filter == kqf_Read ? &R_TAG : &W_TAG);
    return kq.KEvent(&c, 1, nullptr, 0, 0);
}

class KQueueFamily : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        ASSERT_EQ(kq.Open(), 0);
        if (!MakeTcpPair(GetParam(), p)) GTEST_SKIP() << FamilyName(GetParam()) << " not available";
    }
    TKQueue kq;
    TcpPair p;
};

TEST_P(KQueueFamily, ReadAndWriteFiltersAreIndependent) {
    ASSERT_EQ(Change(kq, p.a, kqf_Write, kqe_Add), 0);
    Got g = WaitOnce(kq, p.a, 1000);
    EXPECT_EQ(g.write, 1);
    EXPECT_EQ(g.read, 0);

    ASSERT_EQ(Change(kq, p.a, kqf_Read, kqe_Add), 0);
    EXPECT_EQ(WaitOnce(kq, p.a, 30).read, 0) << "nothing to read yet";
    ASSERT_EQ(send(p.b, "x", 1, MSG_NOSIGNAL), 1);
    g = WaitOnce(kq, p.a, 1000);
    EXPECT_EQ(g.read, 1);
    EXPECT_EQ(g.write, 1);

    ASSERT_EQ(Change(kq, p.a, kqf_Write, kqe_Delete), 0);
    g = WaitOnce(kq, p.a, 1000);
    EXPECT_EQ(g.read, 1);
    EXPECT_EQ(g.write, 0);
    EXPECT_FALSE(g.readEof);

    // Re-adding the write filter while the read filter stays.
    ASSERT_EQ(Change(kq, p.a, kqf_Write, kqe_Add), 0);
    ASSERT_EQ(Change(kq, p.a, kqf_Read, kqe_Delete), 0);
    g = WaitOnce(kq, p.a, 1000);
    EXPECT_EQ(g.read, 0);
    EXPECT_EQ(g.write, 1);

    ASSERT_EQ(Change(kq, p.a, kqf_Write, kqe_Delete), 0);
    TKEvent ev[4];
    EXPECT_EQ(kq.KEvent(nullptr, 0, ev, 4, 30), 0);
    // Deleting what is not registered fails as on kqueue.
    EXPECT_EQ(Change(kq, p.a, kqf_Read, kqe_Delete), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_P(KQueueFamily, PeerCloseReachesTheActiveFilter) {
    struct Case {
        const char* name;
        bool reset;
        int16_t filter;
    };
    const Case cases[] = {{"FIN, read", false, kqf_Read},
                          {"RST, read", true, kqf_Read},
                          {"RST, write", true, kqf_Write}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TKQueue q;
        ASSERT_EQ(q.Open(), 0);
        TcpPair t;
        ASSERT_TRUE(MakeTcpPair(GetParam(), t));
        if (c.reset) {
            CloseWithReset(t.b);
            ASSERT_TRUE(PollFor(t.a, POLLIN, 1000));
        } else {
            ASSERT_EQ(shutdown(t.b, SHUT_WR), 0);
        }
        ASSERT_EQ(Change(q, t.a, c.filter, kqe_Add), 0);
        Got g = WaitOnce(q, t.a, 1000);
        if (c.filter == kqf_Read) {
            EXPECT_EQ(g.read, 1);
            EXPECT_EQ(g.write, 0);
            EXPECT_TRUE(g.readEof);
        } else {
            EXPECT_EQ(g.read, 0) << "hang-up is reported only on the active filter";
            EXPECT_EQ(g.write, 1);
            EXPECT_TRUE(g.writeEof);
        }
    }
}

TEST_P(KQueueFamily, ConnectToClosedPortReportsWriteWithError) {
    int bound = BoundSocket(GetParam());
    ASSERT_GE(bound, 0);
    int s = socket(GetParam(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(s, 0);
    sockaddr_storage ss;
    socklen_t len = LoopbackAddr(GetParam(), LocalPort(bound), ss);
    int rc = connect(s, reinterpret_cast<sockaddr*>(&ss), len);
    if (rc != 0 && errno == EINPROGRESS) {
        ASSERT_EQ(Change(kq, s, kqf_Write, kqe_Add), 0);
        Got g = WaitOnce(kq, s, 2000);
        EXPECT_EQ(g.write, 1);
        EXPECT_TRUE(g.writeEof);
        int err = 0;
        socklen_t el = sizeof err;
        getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &el);
        EXPECT_EQ(err, ECONNREFUSED);
        EXPECT_EQ(Change(kq, s, kqf_Write, kqe_Delete), 0);
    } else {
        EXPECT_EQ(errno, ECONNREFUSED);
    }
    close(s);
    close(bound);
}

INSTANTIATE_TEST_SUITE_P(Loopback, KQueueFamily, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& info) { return info.param == AF_INET6 ? "IPv6" : "IPv4"; });

TEST(KQueue, DescriptorIsCloseOnExecAndBadChangesFail) {
    TKQueue kq;
    ASSERT_EQ(kq.Open(), 0);
    EXPECT_TRUE(fcntl(kq.Handle(), F_GETFD) & FD_CLOEXEC);
    TKEvent bad = KEventRec(uintptr_t(0), 7, kqe_Add, nullptr);
    EXPECT_EQ(kq.KEvent(&bad, 1, nullptr, 0, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    close(fds[1]);
    int closed = fds[1];
    EXPECT_EQ(Change(kq, closed, kqf_Read, kqe_Add), -1);
    EXPECT_EQ(errno, EBADF);
    close(fds[0]);
}

// A descriptor closed while a copy of its file lives on keeps its epoll entry; once the number
// is reused and registered again, only the new registration may report events.
TEST(KQueue, StaleEntryOfClosedDescriptorIsNeverReported) {
    TKQueue kq;
    ASSERT_EQ(kq.Open(), 0);
    TcpPair old;
    ASSERT_TRUE(MakeTcpPair(AF_INET, old));
    int copy = fcntl(old.a, F_DUPFD_CLOEXEC, 0);
    ASSERT_GE(copy, 0);
    int number = old.a;
    ASSERT_EQ(Change(kq, number, kqf_Read, kqe_Add), 0);
    close(old.a);
    old.a = -1;
    Change(kq, number, kqf_Read, kqe_Delete);  // after the close: the entry itself stays behind
    ASSERT_EQ(send(old.b, "stale", 5, MSG_NOSIGNAL), 5);
    TcpPair fresh;
    ASSERT_TRUE(MakeTcpPair(AF_INET, fresh));
    // The number now names another file (before a wait, which may open a descriptor of its own).
    ASSERT_EQ(dup3(fresh.a, number, O_CLOEXEC), number);

    TKEvent ev[4];
    EXPECT_EQ(kq.KEvent(nullptr, 0, ev, 4, 50), 0);
    ASSERT_EQ(Change(kq, number, kqf_Read, kqe_Add), 0);
    EXPECT_EQ(kq.KEvent(nullptr, 0, ev, 4, 50), 0) << "the old file's data must not show up";
    ASSERT_EQ(send(fresh.b, "y", 1, MSG_NOSIGNAL), 1);
    ASSERT_EQ(kq.KEvent(nullptr, 0, ev, 4, 1000), 1);
    EXPECT_EQ(ev[0].ident, uintptr_t(number));
    EXPECT_EQ(ev[0].udata, &R_TAG);
    Change(kq, number, kqf_Read, kqe_Delete);
    close(number);
    close(copy);
}

// Add, close, reuse the number, add again: the new file is watched (kqueue dropped the first
// registration at the close) and reported once with the new pointer; the first owner's delete,
// carrying its generation, leaves the new registration alone.
TEST(KQueue, ReusedNumberGetsANewGeneration) {
    TKQueue kq;
    ASSERT_EQ(kq.Open(), 0);
    TcpPair old, fresh;
    ASSERT_TRUE(MakeTcpPair(AF_INET, old));
    ASSERT_TRUE(MakeTcpPair(AF_INET, fresh));
    const int number = old.a;
    uint32_t first = 0, again = 0, second = 0;
    ASSERT_EQ(kq.AddFilter(number, kqf_Read, &W_TAG, first), 0);
    EXPECT_NE(first, 0u);
    ASSERT_EQ(kq.AddFilter(number, kqf_Read, &W_TAG, again), 0);
    EXPECT_EQ(again, first) << "the same file keeps its registration";
    close(old.a);
    old.a = -1;
    ASSERT_EQ(dup3(fresh.a, number, O_CLOEXEC), number);
    ASSERT_EQ(kq.AddFilter(number, kqf_Read, &R_TAG, second), 0);
    EXPECT_NE(second, first);
    ASSERT_EQ(send(fresh.b, "y", 1, MSG_NOSIGNAL), 1);
    TKEvent ev[4];
    ASSERT_EQ(kq.KEvent(nullptr, 0, ev, 4, 300), 1);
    EXPECT_EQ(ev[0].udata, &R_TAG);

    EXPECT_EQ(kq.DeleteFilter(number, kqf_Read, first), ENOENT);
    EXPECT_EQ(kq.KEvent(nullptr, 0, ev, 4, 300), 1) << "still registered";
    EXPECT_EQ(kq.DeleteFilter(number, kqf_Read, second), 0);
    EXPECT_EQ(kq.KEvent(nullptr, 0, ev, 4, 30), 0);
    close(number);
}

TEST(KQueue, TimeoutIsKept) {
    TKQueue kq;
    ASSERT_EQ(kq.Open(), 0);
    TKEvent ev[2];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(kq.KEvent(nullptr, 0, ev, 2, 60), 0);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 55);
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(kq.KEvent(nullptr, 0, ev, 2, 0), 0);
}

}  // namespace

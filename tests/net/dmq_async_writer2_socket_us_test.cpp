#include "net/dmq_async_writer2_socket_us.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <vector>

#include "tests/support/loopback.hpp"

using namespace zel;
using namespace zeltest;

namespace {

std::vector<uint8_t> Pattern(size_t from, size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t((from + i) % 251);
    return v;
}

// Reads what has arrived at fd (non-blocking) into out; bounded by the time limit.
void ReadUntil(int fd, std::vector<uint8_t>& out, size_t total, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    uint8_t buf[65536];
    while (out.size() < total && std::chrono::steady_clock::now() < end) {
        if (!PollFor(fd, POLLIN, 50)) continue;
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
}

TEST(AsyncWriterUnSafe, SizesAndGrowth) {
    struct Case {
        int32_t size;
        size_t capacity;
    };
    for (Case c : {Case{-1, 256}, Case{100, 256}, Case{256, 256}, Case{300, 384}, Case{1024, 1024}}) {
        TAsyncWriter2SocketThreadUnSafe w(c.size);
        EXPECT_EQ(w.Capacity(), c.capacity) << c.size;
        EXPECT_EQ(w.InitialSize(), c.capacity);
        EXPECT_EQ(w.TailFree(), c.capacity);
        EXPECT_EQ(w.Pending(), 0u);
    }
    TAsyncWriter2SocketThreadUnSafe w(256);
    w.Write("", 0);
    EXPECT_EQ(w.Pending(), 0u);
    auto data = Pattern(0, 1000);
    w.Write(data.data(), data.size());
    EXPECT_EQ(w.Capacity(), 1920u);
    EXPECT_EQ(w.Pending(), 1000u);
    EXPECT_EQ(w.TailFree(), 920u);
    EXPECT_EQ(0, memcmp(w.ReadPtr(), data.data(), data.size()));
}

TEST(AsyncWriterUnSafe, WriteBeyondTheCapFailsAsOutOfMemory) {
    TAsyncWriter2SocketThreadUnSafe w(256, -1, 4096);
    auto data = Pattern(0, 4000);
    w.Write(data.data(), data.size());
    EXPECT_LE(w.Capacity(), 4096u);
    EXPECT_THROW(w.Write(data.data(), 97), std::bad_alloc);
    EXPECT_EQ(w.Pending(), 4000u) << "a refused write changes nothing";
    w.Write(data.data(), 96);
    EXPECT_EQ(w.Pending(), 4096u);
    EXPECT_EQ(0, memcmp(w.ReadPtr(), data.data(), 4000));
}

TEST(AsyncWriterUnSafe, SendFailuresKeepTheBytes) {
    TcpPair p;
    ASSERT_TRUE(MakeTcpPair(AF_INET, p));
    CloseWithReset(p.b);
    ASSERT_TRUE(PollFor(p.a, POLLIN, 1000));
    struct Case {
        const char* name;
        int handle;
    };
    for (Case c : {Case{"reset peer", p.a}, Case{"no socket", -1}}) {
        SCOPED_TRACE(c.name);
        TAsyncWriter2SocketThreadUnSafe w(256, c.handle);
        EXPECT_TRUE(w.Send()) << "nothing pending";
        w.Write("abc", 3);
        bool ok = w.Send();
        if (ok && c.handle >= 0) ok = w.Send();  // the first may still go out before the reset is seen
        EXPECT_FALSE(ok);
        EXPECT_NE(w.ErrorCode(), 0);
        EXPECT_EQ(w.Pending(), 3u);
        EXPECT_EQ(w.QueuedAfterSend(), 3u);
        EXPECT_EQ(w.ErrorText().rfind(u"Socket error ", 0), 0u);
    }
}

// The socket takes only part: the rest stays at ReadPtr, a later write compacts into the space
// already sent, and draining delivers the stream intact.
TEST(AsyncWriterUnSafe, PartialSendCompactionAndDrain) {
    for (int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(FamilyName(family));
        TcpPair p;
        if (!MakeTcpPair(family, p)) continue;
        int small = 4096;
        setsockopt(p.a, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        SetNonBlocking(p.a);
        TAsyncWriter2SocketThreadUnSafe w(256, p.a);
        size_t written = 0;
        auto add = [&](size_t n) {
            auto d = Pattern(written, n);
            w.Write(d.data(), n);
            written += n;
        };
        add(size_t(256) << 10);
        ASSERT_TRUE(w.Send());
        ASSERT_TRUE(w.Blocked());
        ASSERT_GT(w.FrontFree(), 0u);
        EXPECT_EQ(w.QueuedAfterSend(), w.Pending());
        auto next = Pattern(written - w.Pending(), 64);
        EXPECT_EQ(0, memcmp(w.ReadPtr(), next.data(), next.size())) << "the unsent rest";
        size_t cap = w.Capacity();
        size_t tail = w.TailFree();
        ASSERT_LT(tail + 1, w.FrontFree() + tail);
        add(tail + 1);
        EXPECT_EQ(w.Capacity(), cap) << "compacted, not grown";
        EXPECT_EQ(w.FrontFree(), 0u);

        std::vector<uint8_t> got;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while ((w.Pending() > 0 || got.size() < written) && std::chrono::steady_clock::now() < end) {
            ASSERT_TRUE(w.Send());
            ReadUntil(p.b, got, got.size() + 1, 10);
        }
        ASSERT_EQ(got.size(), written);
        EXPECT_TRUE(got == Pattern(0, written));
        EXPECT_FALSE(w.Blocked());
        EXPECT_EQ(w.QueuedAfterSend(), 0u);
    }
}

}  // namespace

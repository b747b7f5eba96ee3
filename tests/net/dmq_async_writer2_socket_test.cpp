#include "net/dmq_async_writer2_socket.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>
#include <vector>

#include "tests/support/loopback.hpp"

using namespace zel;
using namespace zeltest;
using std::chrono::steady_clock;

namespace {

uint8_t PatternByte(size_t i) { return uint8_t((i * 7 + i / 251) % 256); }

void Drain(int fd) {
    uint8_t buf[65536];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

TEST(AsyncWriterSafe, GrownBufferShrinksAfterLightSends) {
    TcpPair p;
    ASSERT_TRUE(MakeTcpPair(AF_INET, p));
    SetNonBlocking(p.a);
    TAsyncWriter2SocketThreadSafe w(1024, p.a);
    std::vector<uint8_t> burst(1600, 'b');
    w.Write(burst.data(), burst.size());
    ASSERT_EQ(w.Capacity(), 3968u);
    ASSERT_TRUE(w.Send());
    EXPECT_EQ(w.Pending(), 0u);
    EXPECT_EQ(w.SmallSends(), 1u);
    int light = 0;
    for (; light < 200 && w.Capacity() == 3968u; ++light) {
        w.Write("0123456789", 10);
        ASSERT_TRUE(w.Send());
        Drain(p.b);
    }
    EXPECT_EQ(light, 119) << "120 light sends in a row, the burst's own included";
    EXPECT_EQ(w.Capacity(), 2048u);
    EXPECT_EQ(w.SmallSends(), 0u);
    // Never below the initial size: at 2048 the half would be 1024, not above the initial 1024.
    for (int i = 0; i < 300; ++i) {
        w.Write("x", 1);
        ASSERT_TRUE(w.Send());
        Drain(p.b);
    }
    EXPECT_EQ(w.Capacity(), 2048u);
}

// A peer that stops reading: no send succeeds any more, yet the queue the over-limit test reads
// keeps growing, and the buffer stops at its cap instead of growing for ever.
TEST(AsyncWriterSafe, QueueOfAStalledPeerIsSeenAndCapped) {
    TcpPair p;
    ASSERT_TRUE(MakeTcpPair(AF_INET, p));
    int small = 4096;
    setsockopt(p.a, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    SetNonBlocking(p.a);
    constexpr size_t kCap = 2u << 20;
    TAsyncWriter2SocketThreadSafe w(1024, p.a, kCap);
    std::vector<uint8_t> chunk(4096, 'q');
    size_t lastQueued = 0;
    bool grewWhileBlocked = false, capped = false;
    for (int i = 0; i < 2000 && !capped; ++i) {
        try {
            w.Write(chunk.data(), chunk.size());
        } catch (const std::bad_alloc&) {
            capped = true;
            break;
        }
        ASSERT_TRUE(w.Send());
        EXPECT_EQ(w.QueuedAfterSend(), w.Pending());
        if (w.Blocked() && w.QueuedAfterSend() > lastQueued && lastQueued > 0) grewWhileBlocked = true;
        lastQueued = w.QueuedAfterSend();
    }
    EXPECT_TRUE(grewWhileBlocked);
    EXPECT_TRUE(capped);
    EXPECT_GT(w.QueuedAfterSend(), kCap - chunk.size());
    EXPECT_LE(w.Capacity(), kCap);
}

// A producing thread appends a patterned stream in uneven pieces while a sending thread pushes
// it through a small socket buffer (partial sends, Blocked) and the main thread reads it back.
TEST(AsyncWriterSafe, ConcurrentWriteAndSendDeliverTheStreamIntact) {
    for (int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(FamilyName(family));
        TcpPair p;
        if (!MakeTcpPair(family, p)) continue;
        int small = 8192;
        setsockopt(p.a, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        SetNonBlocking(p.a);
        TAsyncWriter2SocketThreadSafe w(1024, p.a);
        constexpr size_t kTotal = 1u << 20;
        const auto deadline = steady_clock::now() + std::chrono::seconds(30);
        std::atomic<bool> produced{false}, failed{false}, sawBlocked{false};

        std::thread producer([&] {
            std::vector<uint8_t> piece;
            size_t at = 0, step = 1;
            while (at < kTotal && steady_clock::now() < deadline) {
                size_t n = std::min(kTotal - at, (step * 613) % 7001 + 1);
                piece.resize(n);
                for (size_t i = 0; i < n; ++i) piece[i] = PatternByte(at + i);
                w.Write(piece.data(), n);
                at += n;
                ++step;
                if (step % 16 == 0) std::this_thread::yield();
            }
            produced = true;
        });
        std::thread sender([&] {
            while (steady_clock::now() < deadline) {
                if (!w.Send()) {
                    failed = true;
                    return;
                }
                if (w.Blocked()) {
                    sawBlocked = true;
                    PollFor(p.a, POLLOUT, 50);
                } else if (w.Pending() == 0) {
                    if (produced) return;
                    std::this_thread::yield();
                }
            }
        });

        // The reader starts late, so that the socket fills and sends go out in part.
        for (int i = 0; i < 400 && !sawBlocked; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        size_t got = 0, bad = 0;
        uint8_t buf[16384];
        while (got < kTotal && steady_clock::now() < deadline) {
            if (!PollFor(p.b, POLLIN, 50)) continue;
            ssize_t n = recv(p.b, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) continue;
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] != PatternByte(got + size_t(i))) ++bad;
            got += size_t(n);
        }
        producer.join();
        sender.join();
        EXPECT_FALSE(failed);
        EXPECT_EQ(got, kTotal);
        EXPECT_EQ(bad, 0u);
        EXPECT_TRUE(sawBlocked) << "the socket should have taken some sends only in part";
        EXPECT_EQ(w.Pending(), 0u);
    }
}

}  // namespace

namespace {

// Once the owner closed the buffer (handle -1), a late producer queues nothing; before, it does.
TEST(AsyncWriterSafe, WriteIfOpenQueuesNothingOnceClosed) {
    TcpPair p;
    ASSERT_TRUE(MakeTcpPair(AF_INET, p));
    TAsyncWriter2SocketThreadSafe w(1024, p.a);
    EXPECT_TRUE(w.WriteIfOpen("abc", 3));
    EXPECT_EQ(w.Pending(), 3u);
    w.Reset();
    w.SetHandle(-1);
    EXPECT_FALSE(w.WriteIfOpen("abc", 3));
    EXPECT_EQ(w.Pending(), 0u);
}

}  // namespace

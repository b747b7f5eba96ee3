#include "foundation/dmq_fifo_ts.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace zel {
namespace {

void* P(uintptr_t v) { return reinterpret_cast<void*>(v); }
uintptr_t V(void* p) { return reinterpret_cast<uintptr_t>(p); }

// Records every disposal; as every queue with its own FreeItem, it empties itself on destruction.
class TRecordingFifo : public TFifoThreadSafe {
public:
    TRecordingFifo(int32_t blockSize, std::vector<uintptr_t>& freed)
        : TFifoThreadSafe(blockSize), freed_(freed) {}
    ~TRecordingFifo() override { Clear(); }

protected:
    void FreeItem(void* Item) override { freed_.push_back(V(Item)); }

private:
    std::vector<uintptr_t>& freed_;
};

TEST(FifoThreadSafe, BlockSizeIsClamped) {
    struct { int32_t asked, got; } cases[] = {{5, 16}, {-1, 16}, {16, 16}, {64, 64}, {4096, 4096}, {100000, 4096}};
    for (auto c : cases) EXPECT_EQ(TFifoThreadSafe(c.asked).BlockSize(), c.got) << c.asked;
}

TEST(FifoThreadSafe, BatchPopTakesTheHeadBlockOnly) {
    TFifoThreadSafe q(16);
    for (uintptr_t i = 1; i <= 17; ++i) q.Push(P(i));
    EXPECT_EQ(q.Count(), 17);
    void* out[100];
    EXPECT_EQ(q.PopMany(out, 0), 0);
    ASSERT_EQ(q.PopMany(out, 100), 16);
    for (uintptr_t i = 0; i < 16; ++i) EXPECT_EQ(V(out[i]), i + 1);
    ASSERT_EQ(q.PopMany(out, 100), 1);
    EXPECT_EQ(V(out[0]), 17u);
    EXPECT_EQ(q.PopMany(out, 100), 0);
    void* item = P(99);
    EXPECT_FALSE(q.Pop(item));
    EXPECT_EQ(V(item), 99u);
    EXPECT_EQ(q.Count(), 0);
}

TEST(FifoThreadSafe, RingWrapsWithinOneBlock) {
    TFifoThreadSafe q(16);
    uintptr_t next = 1, expect = 1;
    for (int i = 0; i < 8; ++i) q.Push(P(next++));
    for (int i = 0; i < 100; ++i) {  // indices run many times past the block's end
        q.Push(P(next++));
        void* item;
        ASSERT_TRUE(q.Pop(item));
        ASSERT_EQ(V(item), expect++);
    }
    for (int i = 0; i < 8; ++i) q.Push(P(next++));
    // Still one block: a full block's worth comes back in one batch, in order.
    void* out[100];
    ASSERT_EQ(q.PopMany(out, 100), 16);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(V(out[i]), expect++);
    // Emptied, it is used again from slot 0.
    for (int i = 0; i < 16; ++i) q.Push(P(next++));
    EXPECT_EQ(q.PopMany(out, 100), 16);
}

TEST(FifoThreadSafe, DerivedQueueDisposesOfLeftoversOldestFirst) {
    std::vector<uintptr_t> freed;
    {
        TRecordingFifo q(16, freed);
        for (uintptr_t i = 1; i <= 70; ++i) q.Push(P(i));
        void* item;
        ASSERT_TRUE(q.Pop(item));  // the consumer owns what it took
    }
    ASSERT_EQ(freed.size(), 69u);
    for (size_t i = 0; i < freed.size(); ++i) EXPECT_EQ(freed[i], i + 2);

    freed.clear();
    TRecordingFifo q(16, freed);
    for (uintptr_t i = 1; i <= 40; ++i) q.Push(P(i));
    q.Clear();
    EXPECT_EQ(freed.size(), 40u);
    EXPECT_EQ(q.Count(), 0);
    q.Push(P(7));  // usable after Clear
    void* item;
    ASSERT_TRUE(q.Pop(item));
    EXPECT_EQ(V(item), 7u);
}

// Several producers, one batch consumer: nothing lost, nothing twice, each producer's order kept.
TEST(FifoThreadSafe, ProducersAndBatchConsumerLoseNothing) {
    constexpr int kProducers = 4;
    constexpr uintptr_t kPerProducer = 20000;
    TFifoThreadSafe q(16);
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            while (!go.load()) std::this_thread::yield();
            for (uintptr_t s = 0; s < kPerProducer; ++s)
                q.Push(P((static_cast<uintptr_t>(p) << 32 | s) + 1));
        });
    }
    std::vector<uintptr_t> nextSeq(kProducers, 0);
    uintptr_t received = 0;
    bool ordered = true;
    go.store(true);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    void* batch[32];
    while (received < kProducers * kPerProducer && std::chrono::steady_clock::now() < deadline) {
        int32_t n = q.PopMany(batch, 32);
        if (n == 0) std::this_thread::yield();
        for (int32_t i = 0; i < n; ++i) {
            uintptr_t v = V(batch[i]) - 1;
            uintptr_t p = v >> 32, s = v & 0xFFFFFFFFu;
            if (p >= kProducers || s != nextSeq[p]) ordered = false;
            else ++nextSeq[p];
            ++received;
        }
    }
    for (auto& t : producers) t.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(received, kProducers * kPerProducer);
    for (int p = 0; p < kProducers; ++p) EXPECT_EQ(nextSeq[p], kPerProducer);
    EXPECT_EQ(q.Count(), 0);
}

}  // namespace
}  // namespace zel

#include "foundation/dmq_fifo_ts.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace zel {
namespace {

// An item that notes its disposal in a shared log (when it has one).
struct TItem {
    uintptr_t V;
    std::vector<uintptr_t>* Freed = nullptr;
    ~TItem() {
        if (Freed) Freed->push_back(V);
    }
};
using TQueue = TFifoThreadSafe<TItem>;

std::unique_ptr<TItem> Item(uintptr_t v, std::vector<uintptr_t>* freed = nullptr) {
    return std::unique_ptr<TItem>(new TItem{v, freed});
}

TEST(FifoThreadSafe, BlockSizeIsClamped) {
    struct { int32_t asked, got; } cases[] = {{5, 16}, {-1, 16}, {16, 16}, {64, 64}, {4096, 4096}, {100000, 4096}};
    for (auto c : cases) EXPECT_EQ(TQueue(c.asked).BlockSize(), c.got) << c.asked;
}

TEST(FifoThreadSafe, BatchPopTakesTheHeadBlockOnly) {
    TQueue q(16);
    for (uintptr_t i = 1; i <= 17; ++i) q.Push(Item(i));
    EXPECT_EQ(q.Count(), 17);
    std::unique_ptr<TItem> out[100];
    EXPECT_EQ(q.PopMany(out, 0), 0);
    ASSERT_EQ(q.PopMany(out, 100), 16);
    for (uintptr_t i = 0; i < 16; ++i) EXPECT_EQ(out[i]->V, i + 1);
    ASSERT_EQ(q.PopMany(out, 100), 1);
    EXPECT_EQ(out[0]->V, 17u);
    EXPECT_EQ(q.PopMany(out, 100), 0);
    auto item = Item(99);
    EXPECT_FALSE(q.Pop(item));
    EXPECT_EQ(item->V, 99u);
    EXPECT_EQ(q.Count(), 0);
}

TEST(FifoThreadSafe, RingWrapsWithinOneBlock) {
    TQueue q(16);
    uintptr_t next = 1, expect = 1;
    for (int i = 0; i < 8; ++i) q.Push(Item(next++));
    for (int i = 0; i < 100; ++i) {  // indices run many times past the block's end
        q.Push(Item(next++));
        std::unique_ptr<TItem> item;
        ASSERT_TRUE(q.Pop(item));
        ASSERT_EQ(item->V, expect++);
    }
    for (int i = 0; i < 8; ++i) q.Push(Item(next++));
    // Still one block: a full block's worth comes back in one batch, in order.
    std::unique_ptr<TItem> out[16];
    ASSERT_EQ(q.PopMany(out, 16), 16);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i]->V, expect++);
    // Emptied, it is used again from slot 0.
    for (int i = 0; i < 16; ++i) q.Push(Item(next++));
    EXPECT_EQ(q.PopMany(out, 16), 16);
}

TEST(FifoThreadSafe, LeftoversAreDisposedOfOldestFirst) {
    std::vector<uintptr_t> freed;
    {
        TQueue q(16);
        for (uintptr_t i = 1; i <= 70; ++i) q.Push(Item(i, &freed));
        std::unique_ptr<TItem> taken;
        ASSERT_TRUE(q.Pop(taken));
        taken->Freed = nullptr;  // the consumer owns what it took
    }
    ASSERT_EQ(freed.size(), 69u);
    for (size_t i = 0; i < freed.size(); ++i) EXPECT_EQ(freed[i], i + 2);

    freed.clear();
    TQueue q(16);
    for (uintptr_t i = 1; i <= 40; ++i) q.Push(Item(i, &freed));
    q.Clear();
    EXPECT_EQ(freed.size(), 40u);
    EXPECT_EQ(q.Count(), 0);
    q.Push(Item(7));  // usable after Clear
    std::unique_ptr<TItem> item;
    ASSERT_TRUE(q.Pop(item));
    EXPECT_EQ(item->V, 7u);
}

// A queue with its own deleter disposes of leftovers through it; a slot that receives a popped
// item disposes of what it held before.
int g_released = 0;
struct TCountingDeleter {
    void operator()(TItem* p) const noexcept {
        ++g_released;
        delete p;
    }
};

TEST(FifoThreadSafe, OwnDeleterDisposesOfLeftovers) {
    g_released = 0;
    {
        TFifoThreadSafe<TItem, TCountingDeleter> q(16);
        for (uintptr_t i = 1; i <= 20; ++i) q.Push(std::unique_ptr<TItem, TCountingDeleter>(new TItem{i}));
        std::unique_ptr<TItem, TCountingDeleter> out[4];
        ASSERT_EQ(q.PopMany(out, 4), 4);
        ASSERT_EQ(q.PopMany(out, 4), 4);  // the first four go as their slots are refilled
        EXPECT_EQ(g_released, 4);
    }
    EXPECT_EQ(g_released, 20);
}

// Several producers, one batch consumer: nothing lost, nothing twice, each producer's order kept.
TEST(FifoThreadSafe, ProducersAndBatchConsumerLoseNothing) {
    constexpr int kProducers = 4;
    constexpr uintptr_t kPerProducer = 20000;
    TQueue q(16);
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            while (!go.load()) std::this_thread::yield();
            for (uintptr_t s = 0; s < kPerProducer; ++s) q.Push(Item(static_cast<uintptr_t>(p) << 32 | s));
        });
    }
    std::vector<uintptr_t> nextSeq(kProducers, 0);
    uintptr_t received = 0;
    bool ordered = true;
    go.store(true);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::unique_ptr<TItem> batch[32];
    while (received < kProducers * kPerProducer && std::chrono::steady_clock::now() < deadline) {
        int32_t n = q.PopMany(batch, 32);
        if (n == 0) std::this_thread::yield();
        for (int32_t i = 0; i < n; ++i) {
            uintptr_t v = batch[i]->V;
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

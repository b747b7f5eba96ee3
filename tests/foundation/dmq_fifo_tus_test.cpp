#include "foundation/dmq_fifo_tus.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "tests/support/alloc_failure.hpp"

namespace zel {
namespace {

struct TItem {
    uintptr_t V;
    std::vector<uintptr_t>* Freed = nullptr;
    ~TItem() {
        if (Freed) Freed->push_back(V);
    }
};
using TQueue = TFifoThreadUnSafe<TItem>;

std::unique_ptr<TItem> Item(uintptr_t v, std::vector<uintptr_t>* freed = nullptr) {
    return std::unique_ptr<TItem>(new TItem{v, freed});
}

TEST(FifoThreadUnSafe, OrderAcrossBlocksAndReuse) {
    TQueue q(5);
    EXPECT_EQ(q.BlockSize(), 16);
    EXPECT_EQ(TQueue(128).BlockSize(), 128);
    for (int round = 0; round < 3; ++round) {
        for (uintptr_t i = 1; i <= 50; ++i) q.Push(Item(i));
        EXPECT_EQ(q.Count(), 50);
        for (uintptr_t i = 1; i <= 50; ++i) {
            std::unique_ptr<TItem> item;
            ASSERT_NE(q.Front(), nullptr);
            ASSERT_EQ(q.Front()->V, i);
            ASSERT_TRUE(q.Pop(item));
            ASSERT_EQ(item->V, i);
        }
        auto item = Item(99);
        EXPECT_EQ(q.Front(), nullptr);
        EXPECT_FALSE(q.Pop(item));
        EXPECT_EQ(item->V, 99u);
    }
}

TEST(FifoThreadUnSafe, LeftoversAreDisposedOfOldestFirst) {
    std::vector<uintptr_t> freed;
    {
        TQueue q(16);
        for (uintptr_t i = 1; i <= 70; ++i) q.Push(Item(i, &freed));
    }
    ASSERT_EQ(freed.size(), 70u);
    for (size_t i = 0; i < freed.size(); ++i) EXPECT_EQ(freed[i], i + 1);
}

// A push that cannot get its new block leaves the item with the caller and the queue as it was.
TEST(FifoThreadUnSafe, FailedPushKeepsTheItemWithTheCaller) {
    TQueue q(16);
    for (uintptr_t i = 1; i <= 16; ++i) q.Push(Item(i));
    auto item = Item(17);
    EXPECT_TRUE(test::FailsForLackOfMemory([&] { q.Push(std::move(item)); }));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->V, 17u);
    EXPECT_EQ(q.Count(), 16);
    q.Push(std::move(item));
    EXPECT_EQ(q.Count(), 17);
}

}  // namespace
}  // namespace zel

#include "foundation/dmq_fifo_tus.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace zel {
namespace {

void* P(uintptr_t v) { return reinterpret_cast<void*>(v); }
uintptr_t V(void* p) { return reinterpret_cast<uintptr_t>(p); }

class TRecordingFifo : public TFifoThreadUnSafe {
public:
    TRecordingFifo(int32_t blockSize, std::vector<uintptr_t>& freed)
        : TFifoThreadUnSafe(blockSize), freed_(freed) {}
    ~TRecordingFifo() override { Clear(); }

protected:
    void FreeItem(void* Item) override { freed_.push_back(V(Item)); }

private:
    std::vector<uintptr_t>& freed_;
};

TEST(FifoThreadUnSafe, OrderAcrossBlocksAndReuse) {
    TFifoThreadUnSafe q(5);
    EXPECT_EQ(q.BlockSize(), 16);
    EXPECT_EQ(TFifoThreadUnSafe(128).BlockSize(), 128);
    for (int round = 0; round < 3; ++round) {
        for (uintptr_t i = 1; i <= 50; ++i) q.Push(P(i));
        EXPECT_EQ(q.Count(), 50);
        for (uintptr_t i = 1; i <= 50; ++i) {
            void* item;
            ASSERT_TRUE(q.Pop(item));
            ASSERT_EQ(V(item), i);
        }
        void* item = P(99);
        EXPECT_FALSE(q.Pop(item));
        EXPECT_EQ(V(item), 99u);
    }
}

TEST(FifoThreadUnSafe, DerivedQueueDisposesOfLeftoversOldestFirst) {
    std::vector<uintptr_t> freed;
    {
        TRecordingFifo q(16, freed);
        for (uintptr_t i = 1; i <= 70; ++i) q.Push(P(i));
    }
    ASSERT_EQ(freed.size(), 70u);
    for (size_t i = 0; i < freed.size(); ++i) EXPECT_EQ(freed[i], i + 1);
}

}  // namespace
}  // namespace zel

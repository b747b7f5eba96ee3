#pragma once
// First-in first-out queue of owned items for any number of producer and consumer threads.
// Every operation takes the queue's own lock once, only for the index work; nothing blocks waiting
// for items (consumers sleep on a waiter and are woken by the producer after its Push).
//
// Items go in and come out as std::unique_ptr; leftovers are disposed of by the queue's deleter
// outside the lock, so disposal may do anything but raise, and no derived destructor is needed.
#include <cstdint>
#include <memory>

#include "foundation/dmq_fifo_tus.hpp"
#include "foundation/dmq_thread.hpp"

namespace zel {

// The locked chain of untyped pointers under the typed queue; it disposes of nothing.
class TFifoLockedChain {
public:
    explicit TFifoLockedChain(int32_t BlockSize) : Chain_(BlockSize) {}
    TFifoLockedChain(const TFifoLockedChain&) = delete;
    TFifoLockedChain& operator=(const TFifoLockedChain&) = delete;

    void Push(void* Item);
    // Up to N oldest items from the head block only. N below 1 returns 0 without taking the lock.
    int32_t PopMany(void** Items, int32_t N);
    int32_t Count();
    int32_t BlockSize() const noexcept { return Chain_.BlockSize(); }

private:
    TCriticalSection Lock_;
    TFifoChain Chain_;
};

// Items of T, disposed of by Deleter (stateless, default-constructible) when left in the queue.
template <class T, class Deleter = std::default_delete<T>>
class TFifoThreadSafe {
public:
    using TItem = std::unique_ptr<T, Deleter>;

    // BlockSize is clamped to 16..4096.
    explicit TFifoThreadSafe(int32_t BlockSize) : Chain_(BlockSize) {}
    ~TFifoThreadSafe() { Clear(); }
    TFifoThreadSafe(const TFifoThreadSafe&) = delete;
    TFifoThreadSafe& operator=(const TFifoThreadSafe&) = delete;

    // Takes the item over; when the push raises (std::bad_alloc) the caller still owns it.
    void Push(TItem&& Item) {
        Chain_.Push(Item.get());
        (void)Item.release();
    }
    // The oldest item into Item (its former content is disposed of); false when empty, Item unchanged.
    bool Pop(TItem& Item) {
        void* raw;
        if (Chain_.PopMany(&raw, 1) == 0) return false;
        Item.reset(static_cast<T*>(raw));
        return true;
    }
    // Up to N oldest items into Items[0, result), from the head block only: fewer than N may come
    // back while later blocks hold more (take the rest on the next pass). N below 1 returns 0.
    int32_t PopMany(TItem* Items, int32_t N) {
        if (N < 1) return 0;
        void* onStack[kStackBatch];
        std::unique_ptr<void*[]> onHeap;
        void** raw = onStack;
        if (N > kStackBatch) {
            onHeap.reset(new void*[static_cast<size_t>(N)]);
            raw = onHeap.get();
        }
        const int32_t n = Chain_.PopMany(raw, N);
        for (int32_t i = 0; i < n; ++i) Items[i].reset(static_cast<T*>(raw[i]));
        return n;
    }
    // Disposes of every item, oldest first.
    void Clear() noexcept {
        void* batch[kStackBatch];
        int32_t n;
        while ((n = Chain_.PopMany(batch, kStackBatch)) > 0)
            for (int32_t i = 0; i < n; ++i) Deleter()(static_cast<T*>(batch[i]));
    }
    int32_t Count() { return Chain_.Count(); }
    int32_t BlockSize() const noexcept { return Chain_.BlockSize(); }

private:
    static constexpr int32_t kStackBatch = 64;

    TFifoLockedChain Chain_;
};

}  // namespace zel

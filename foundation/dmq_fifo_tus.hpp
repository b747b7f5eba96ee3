#pragma once
// First-in first-out queue of owned items for one thread, and the block chain that the locked
// queue shares with it.
//
// Items live in a chain of blocks of BlockSize slots, each block a ring; a block is added only when
// the tail block is full and freed only once a non-tail head block is emptied, so a queue that stays
// within one block never allocates. The queue owns its items while they are in it and passes them
// on as std::unique_ptr; leftovers are disposed of by the queue's deleter, so a queue needs no
// virtual disposal and no derived destructor.
#include <cstdint>
#include <memory>
#include <utility>

namespace zel {

struct TFifoBlock;

// The blocks and their indices, of untyped pointers; no lock, no disposal. Used by both queue kinds.
class TFifoChain {
public:
    static constexpr int32_t kMinBlockSize = 16;
    static constexpr int32_t kMaxBlockSize = 4096;

    // BlockSize is clamped to [kMinBlockSize, kMaxBlockSize].
    explicit TFifoChain(int32_t BlockSize);
    ~TFifoChain();
    TFifoChain(const TFifoChain&) = delete;
    TFifoChain& operator=(const TFifoChain&) = delete;

    // Raises std::bad_alloc (queue unchanged) when a new block is needed and cannot be had.
    void Push(void* Item);
    // Takes up to N items from the head block only. A head block emptied and not the tail is
    // unlinked and handed back in Emptied, for the caller to free (after releasing its lock).
    int32_t TakeFromHead(void** Items, int32_t N, TFifoBlock*& Emptied) noexcept;
    static void FreeBlock(TFifoBlock* Block) noexcept;
    // The oldest item, left in place; nullptr when empty.
    void* Front() const noexcept;

    int32_t Count() const noexcept { return Count_; }
    int32_t BlockSize() const noexcept { return BlockSize_; }

private:
    TFifoBlock* Head_ = nullptr;
    TFifoBlock* Tail_ = nullptr;
    int32_t Count_ = 0;
    int32_t BlockSize_ = 0;
};

// Items of T, disposed of by Deleter (stateless, default-constructible) when left in the queue.
template <class T, class Deleter = std::default_delete<T>>
class TFifoThreadUnSafe {
public:
    using TItem = std::unique_ptr<T, Deleter>;

    // BlockSize is raised to at least 16 (callers give at most 4096).
    explicit TFifoThreadUnSafe(int32_t BlockSize) : Chain_(BlockSize) {}
    ~TFifoThreadUnSafe() { Clear(); }
    TFifoThreadUnSafe(const TFifoThreadUnSafe&) = delete;
    TFifoThreadUnSafe& operator=(const TFifoThreadUnSafe&) = delete;

    // Takes the item over; when the push raises (std::bad_alloc) the caller still owns it.
    void Push(TItem&& Item) {
        Chain_.Push(Item.get());
        (void)Item.release();
    }
    // The oldest item into Item (its former content is disposed of); false when empty, Item unchanged.
    bool Pop(TItem& Item) noexcept {
        void* raw;
        TFifoBlock* emptied;
        if (Chain_.TakeFromHead(&raw, 1, emptied) == 0) return false;
        TFifoChain::FreeBlock(emptied);
        Item.reset(static_cast<T*>(raw));
        return true;
    }
    // Disposes of every item, oldest first.
    void Clear() noexcept {
        void* batch[64];
        while (Chain_.Count() >= 1) {
            TFifoBlock* emptied;
            const int32_t n = Chain_.TakeFromHead(batch, 64, emptied);
            TFifoChain::FreeBlock(emptied);
            for (int32_t i = 0; i < n; ++i) Deleter()(static_cast<T*>(batch[i]));
        }
    }
    // The oldest item, still owned by the queue; nullptr when empty.
    T* Front() const noexcept { return static_cast<T*>(Chain_.Front()); }
    int32_t Count() const noexcept { return Chain_.Count(); }
    int32_t BlockSize() const noexcept { return Chain_.BlockSize(); }

private:
    TFifoChain Chain_;
};

}  // namespace zel

#pragma once
// First-in first-out queue of untyped pointers for one thread, and the block chain that the
// locked queue shares with it.
//
// Items live in a chain of blocks of BlockSize slots, each block a ring; a block is added only when
// the tail block is full and freed only once a non-tail head block is emptied, so a queue that stays
// within one block never allocates. The queue owns its items while they are in it; leftovers are
// disposed of through the virtual FreeItem.
//
// A base destructor cannot reach a derived FreeItem: every queue that overrides FreeItem calls
// Clear() in its own destructor.
#include <cstdint>

namespace zel {

struct TFifoBlock;

// The blocks and their indices; no lock, no disposal. Used by both queue kinds.
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

    int32_t Count() const noexcept { return Count_; }
    int32_t BlockSize() const noexcept { return BlockSize_; }

private:
    TFifoBlock* Head_ = nullptr;
    TFifoBlock* Tail_ = nullptr;
    int32_t Count_ = 0;
    int32_t BlockSize_ = 0;
};

class TFifoThreadUnSafe {
public:
    // BlockSize is raised to at least 16 (callers give at most 4096).
    explicit TFifoThreadUnSafe(int32_t BlockSize);
    // Disposes of leftovers through the base FreeItem only: see the note at the top.
    virtual ~TFifoThreadUnSafe();
    TFifoThreadUnSafe(const TFifoThreadUnSafe&) = delete;
    TFifoThreadUnSafe& operator=(const TFifoThreadUnSafe&) = delete;

    void Push(void* Item);
    // The oldest item; false when the queue is empty.
    bool Pop(void*& Item) noexcept;
    // FreeItem for every item, oldest first.
    void Clear();
    int32_t Count() const noexcept { return Chain_.Count(); }
    int32_t BlockSize() const noexcept { return Chain_.BlockSize(); }

protected:
    // Disposal of one leftover item; nothing in the base. Must not touch this queue.
    virtual void FreeItem(void* Item);

private:
    TFifoChain Chain_;
};

}  // namespace zel

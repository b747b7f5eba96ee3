#pragma once
// First-in first-out queue of untyped pointers for any number of producer and consumer threads.
// Every operation takes the queue's own lock once, only for the index work; nothing blocks waiting
// for items (consumers sleep on a waiter and are woken by the producer after its Push).
//
// A base destructor cannot reach a derived FreeItem: every queue that overrides FreeItem calls
// Clear() in its own destructor.
#include <cstdint>

#include "foundation/dmq_fifo_tus.hpp"
#include "foundation/dmq_thread.hpp"

namespace zel {

class TFifoThreadSafe {
public:
    // BlockSize is clamped to 16..4096.
    explicit TFifoThreadSafe(int32_t BlockSize);
    // Disposes of leftovers through the base FreeItem only: see the note at the top.
    virtual ~TFifoThreadSafe();
    TFifoThreadSafe(const TFifoThreadSafe&) = delete;
    TFifoThreadSafe& operator=(const TFifoThreadSafe&) = delete;

    void Push(void* Item);
    // The oldest item; false when the queue is empty.
    bool Pop(void*& Item);
    // Up to N oldest items into Items, from the head block only: fewer than N may come back while
    // later blocks hold more (take the rest on the next pass). N below 1 returns 0 at once.
    int32_t PopMany(void** Items, int32_t N);
    // FreeItem for every item, oldest first, with the lock held.
    void Clear();
    int32_t Count();
    int32_t BlockSize() const noexcept { return Chain_.BlockSize(); }

protected:
    // Disposal of one leftover item; nothing in the base. Runs under the queue's lock, so it must
    // not touch this queue.
    virtual void FreeItem(void* Item);

private:
    TCriticalSection Lock_;
    TFifoChain Chain_;
};

}  // namespace zel

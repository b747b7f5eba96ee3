#include "foundation/dmq_fifo_ts.hpp"

#include <mutex>

namespace zel {

void TFifoLockedChain::Push(void* Item) {
    std::lock_guard<TCriticalSection> g(Lock_);
    Chain_.Push(Item);
}

int32_t TFifoLockedChain::PopMany(void** Items, int32_t N) {
    if (N < 1) return 0;
    TFifoBlock* emptied;
    int32_t n;
    {
        std::lock_guard<TCriticalSection> g(Lock_);
        n = Chain_.TakeFromHead(Items, N, emptied);
    }
    // Freed outside the lock: producers need not wait for the allocator.
    TFifoChain::FreeBlock(emptied);
    return n;
}

int32_t TFifoLockedChain::Count() {
    std::lock_guard<TCriticalSection> g(Lock_);
    return Chain_.Count();
}

}  // namespace zel

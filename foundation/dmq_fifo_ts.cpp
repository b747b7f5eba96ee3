#include "foundation/dmq_fifo_ts.hpp"

#include <mutex>

namespace zel {

TFifoThreadSafe::TFifoThreadSafe(int32_t BlockSize) : Chain_(BlockSize) {}

TFifoThreadSafe::~TFifoThreadSafe() { Clear(); }

void TFifoThreadSafe::Push(void* Item) {
    std::lock_guard<TCriticalSection> g(Lock_);
    Chain_.Push(Item);
}

bool TFifoThreadSafe::Pop(void*& Item) { return PopMany(&Item, 1) == 1; }

int32_t TFifoThreadSafe::PopMany(void** Items, int32_t N) {
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

void TFifoThreadSafe::Clear() {
    void* batch[64];
    std::lock_guard<TCriticalSection> g(Lock_);
    while (Chain_.Count() >= 1) {
        TFifoBlock* emptied;
        int32_t n = Chain_.TakeFromHead(batch, 64, emptied);
        TFifoChain::FreeBlock(emptied);
        for (int32_t i = 0; i < n; ++i) FreeItem(batch[i]);
    }
}

int32_t TFifoThreadSafe::Count() {
    std::lock_guard<TCriticalSection> g(Lock_);
    return Chain_.Count();
}

void TFifoThreadSafe::FreeItem(void*) {}

}  // namespace zel

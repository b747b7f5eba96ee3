#include "foundation/dmq_fifo_tus.hpp"

#include <algorithm>
#include <new>

namespace zel {

// The header; the BlockSize item slots follow it in the same allocation.
struct TFifoBlock {
    TFifoBlock* Next;
    uint16_t WriteIndex;
    uint16_t ReadIndex;
    int16_t Count;

    void** Items() noexcept { return reinterpret_cast<void**>(this + 1); }
};
static_assert(sizeof(TFifoBlock) % alignof(void*) == 0);

namespace {

TFifoBlock* NewBlock(int32_t blockSize) {
    size_t bytes = sizeof(TFifoBlock) + sizeof(void*) * static_cast<size_t>(blockSize);
    auto* b = static_cast<TFifoBlock*>(::operator new(bytes));
    b->Next = nullptr;
    b->WriteIndex = 0;
    b->ReadIndex = 0;
    b->Count = 0;
    return b;
}

}  // namespace

TFifoChain::TFifoChain(int32_t BlockSize)
    : BlockSize_(std::clamp(BlockSize, kMinBlockSize, kMaxBlockSize)) {
    Head_ = Tail_ = NewBlock(BlockSize_);
}

TFifoChain::~TFifoChain() {
    while (Head_) {
        TFifoBlock* next = Head_->Next;
        FreeBlock(Head_);
        Head_ = next;
    }
}

void TFifoChain::FreeBlock(TFifoBlock* Block) noexcept { ::operator delete(Block); }

// A head block emptied while another follows is unlinked at once, so the head holds the oldest.
void* TFifoChain::Front() const noexcept { return Count_ > 0 ? Head_->Items()[Head_->ReadIndex] : nullptr; }

void TFifoChain::Push(void* Item) {
    if (Tail_->Count >= BlockSize_) {
        TFifoBlock* b = NewBlock(BlockSize_);
        Tail_->Next = b;
        Tail_ = b;
    }
    Tail_->Items()[Tail_->WriteIndex] = Item;
    Tail_->WriteIndex = static_cast<uint16_t>(Tail_->WriteIndex + 1 == BlockSize_ ? 0 : Tail_->WriteIndex + 1);
    ++Tail_->Count;
    ++Count_;
}

int32_t TFifoChain::TakeFromHead(void** Items, int32_t N, TFifoBlock*& Emptied) noexcept {
    Emptied = nullptr;
    int32_t n = 0;
    TFifoBlock* h = Head_;
    while (n < N && h->Count > 0) {
        Items[n++] = h->Items()[h->ReadIndex];
        h->ReadIndex = static_cast<uint16_t>(h->ReadIndex + 1 == BlockSize_ ? 0 : h->ReadIndex + 1);
        --h->Count;
    }
    Count_ -= n;
    if (n > 0 && h->Count == 0) {
        if (h != Tail_) {
            Head_ = h->Next;
            Emptied = h;
        } else {
            h->ReadIndex = 0;
            h->WriteIndex = 0;
        }
    }
    return n;
}

}  // namespace zel

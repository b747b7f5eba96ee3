#include "foundation/dmq_fifo_string_u_ts.hpp"

#include <memory>
#include <utility>

namespace zel {

TFifoStringThreadSafeU::~TFifoStringThreadSafeU() { Clear(); }

void TFifoStringThreadSafeU::Push(UnicodeString S) {
    auto owned = std::make_unique<UnicodeString>(std::move(S));
    TFifoThreadSafe::Push(owned.get());
    owned.release();
}

bool TFifoStringThreadSafeU::Pop(UnicodeString& S) {
    void* item;
    if (!TFifoThreadSafe::Pop(item)) return false;
    std::unique_ptr<UnicodeString> owned(static_cast<UnicodeString*>(item));
    S = std::move(*owned);
    return true;
}

void TFifoStringThreadSafeU::FreeItem(void* Item) { delete static_cast<UnicodeString*>(Item); }

}  // namespace zel

#include "foundation/dmq_fifo_string_u_ts.hpp"

#include <memory>
#include <utility>

namespace zel {

void TFifoStringThreadSafeU::Push(UnicodeString S) { Fifo_.Push(std::make_unique<UnicodeString>(std::move(S))); }

bool TFifoStringThreadSafeU::Pop(UnicodeString& S) {
    std::unique_ptr<UnicodeString> owned;
    if (!Fifo_.Pop(owned)) return false;
    S = std::move(*owned);
    return true;
}

}  // namespace zel

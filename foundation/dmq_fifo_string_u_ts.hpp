#pragma once
// Thread-safe queue of UTF-16 strings (the log lines); the queue owns each queued string.
#include <cstdint>

#include "foundation/dmq_fifo_ts.hpp"
#include "foundation/dmq_types.hpp"

namespace zel {

class TFifoStringThreadSafeU {
public:
    // BlockSize is clamped to 16..4096.
    explicit TFifoStringThreadSafeU(int32_t BlockSize) : Fifo_(BlockSize) {}

    void Push(UnicodeString S);
    // Hands the oldest string over to S; false when empty (S unchanged).
    bool Pop(UnicodeString& S);
    void Clear() noexcept { Fifo_.Clear(); }
    int32_t Count() { return Fifo_.Count(); }
    int32_t BlockSize() const noexcept { return Fifo_.BlockSize(); }

private:
    TFifoThreadSafe<UnicodeString> Fifo_;
};

}  // namespace zel

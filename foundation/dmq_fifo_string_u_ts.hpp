#pragma once
// Thread-safe queue of UTF-16 strings (the log lines); the queue owns each queued string.
#include "foundation/dmq_fifo_ts.hpp"
#include "foundation/dmq_types.hpp"

namespace zel {

class TFifoStringThreadSafeU : public TFifoThreadSafe {
public:
    using TFifoThreadSafe::TFifoThreadSafe;
    ~TFifoStringThreadSafeU() override;

    void Push(UnicodeString S);
    // Hands the oldest string over to S; false when empty (S unchanged).
    bool Pop(UnicodeString& S);

protected:
    void FreeItem(void* Item) override;

private:
    // Items are owned strings: raw pointers must not go in or come out.
    using TFifoThreadSafe::PopMany;
};

}  // namespace zel

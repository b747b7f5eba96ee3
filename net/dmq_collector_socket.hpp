#pragma once
// The collector over a non-blocking socket handle.
#include "net/dmq_collector_base.hpp"

namespace zel {

class TCollectorSocket : public TCollectorBase {
public:
    explicit TCollectorSocket(int32_t size, int handle = -1) : TCollectorBase(size), Handle(handle) {}

    int Handle;

protected:
    // One non-blocking receive; the peer's close and a reset are the end of the stream. The idle
    // probe (count 0) reports the end of the stream once anything is readable: nothing may
    // arrive while the owner expects no input, and a level-triggered wait would spin on it.
    TCollectorReadResult ReadSource(void* dest, uint32_t count, uint32_t& got) override;
};

}  // namespace zel

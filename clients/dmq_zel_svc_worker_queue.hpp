#pragma once
// The queue through which the service (timer thread) hands a worker its commands: take a new
// context, hand one context back, take a context over from another worker. Any thread pushes, only
// the worker pops; a leftover item is freed with the queue (the context it names is not: the
// worker that ends stops the contexts still queued to it first).
#include <cstdint>

#include "foundation/dmq_fifo_ts.hpp"

namespace zel {

class TZELSVCWorkerBase;
class TZELSVCWrkCtx;

enum class TZELSVCWorkerCommand : uint8_t {
    fswc_AddContext = 0,       // Context: a new context
    fswc_ReturnFreeEntry = 1,  // Target: the worker that asks for a context
    fswc_CheckContext = 2      // Context: a context taken over from another worker
};

struct TZELSVCWorkerQueueItem {
    TZELSVCWorkerCommand Command = TZELSVCWorkerCommand::fswc_AddContext;
    TZELSVCWrkCtx* Context = nullptr;  // codes 0 and 2; not owned
    TZELSVCWorkerBase* Target = nullptr;  // code 1; not owned
};

class TZELSVCWorkerQueue : public TFifoThreadSafe<TZELSVCWorkerQueueItem> {
public:
    static constexpr int32_t kBlockSize = 32;

    TZELSVCWorkerQueue() : TFifoThreadSafe(kBlockSize) {}
};

}  // namespace zel

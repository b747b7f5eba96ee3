#pragma once
// The service's handling of connections and workers, on the timer thread: the service-queue codes
// 36 to 41 and 47 to 54 (of 35 and 53 the undefined-connection half), the hand-over of contexts
// to workers (AssignToWorker, CreateWorker, RenumberWorkers), the address counters and the
// refusal lines. The handlers are methods of TZELService (declared with it); this unit holds
// their bookkeeping record.
//
// Lifetime of a client context: code 37 creates it (undefined-connection list, connection count
// and address counter up) and hands it to a worker; code 38 hands it to its network; the worker's
// final stop posts code 40, on which the service (or the network after it) frees it. Only the
// timer thread frees contexts.
//
// Workers drift their clients towards the front of the list (code 48 asks a later worker to hand
// one back), so that the last workers empty and end (codes 51, 52).
#include <cstdint>
#include <memory>

#include "service/dmq_zel_svc_bases.hpp"

namespace zel {

// One worker of the service's worker list; its index is the worker's number.
struct TZELSVCWorkerSlot {
    std::unique_ptr<TZELSVCWorkerBase> Worker;
    int32_t FreeCount = 0;      // entries not given out
    int32_t ReservedCount = 0;  // entries kept for a context another worker hands back

    int32_t Used() const noexcept { return Worker->Capacity() - FreeCount - ReservedCount; }
};

}  // namespace zel

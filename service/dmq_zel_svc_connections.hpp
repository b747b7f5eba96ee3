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

// The contexts a worker serves: capacity - free - reserved (timer thread).
int32_t WorkerUsedCount(const TZELSVCWorkerBase& Worker) noexcept;

}  // namespace zel

#include "service/dmq_zel_svc_sysman_queue.hpp"

namespace zel {

std::unique_ptr<TZELSysManQueueData> NewSysManRequest(TZELSysManRequestKind Kind) {
    auto r = std::make_unique<TZELSysManQueueData>();
    r->Kind = Kind;
    return r;
}

}  // namespace zel

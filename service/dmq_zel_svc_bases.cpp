#include "service/dmq_zel_svc_bases.hpp"

namespace zel {

// Out of line, so each base has one home for its vtable.
TZELSVCWrkCtxBase::~TZELSVCWrkCtxBase() = default;
TZELSVCWorkerBase::~TZELSVCWorkerBase() = default;
TZELSVCNetworkBase::~TZELSVCNetworkBase() = default;
TZELSVCFactory::~TZELSVCFactory() = default;

}  // namespace zel

#include "service/dmq_zel_svc_bases.hpp"

#include "net/dmq_sock.hpp"

namespace zel {

// Out of line, so each base has one home for its vtable.
TZELSVCWrkCtxBase::~TZELSVCWrkCtxBase() = default;
TZELSVCWorkerBase::~TZELSVCWorkerBase() = default;
TZELSVCNetworkBase::~TZELSVCNetworkBase() = default;
TZELSVCFactory::~TZELSVCFactory() = default;

std::unique_ptr<TZELSVCWorkerBase> TZELSVCFactory::CreateWorker(TZELService&) {
    throw Exception("No worker factory");
}

std::unique_ptr<TZELSVCWrkCtxBase> TZELSVCFactory::CreateClientContext(TZELService&, int Handle, AnsiView, int32_t,
                                                                       int32_t) {
    SockClose(Handle);
    throw Exception("No client context factory");
}

std::unique_ptr<TZELSVCWrkCtxBase> TZELSVCFactory::CreateCommandContext(TZELService&, int Handle, AnsiView, int32_t,
                                                                        int32_t) {
    SockClose(Handle);
    throw Exception("No command context factory");
}

}  // namespace zel

#include "clients/dmq_zel_svc_factory.hpp"

#include "clients/dmq_zel_svc_command.hpp"
#include "clients/dmq_zel_svc_network.hpp"
#include "clients/dmq_zel_svc_server_snps.hpp"
#include "clients/dmq_zel_svc_worker.hpp"

namespace zel {

std::unique_ptr<TZELSVCNetworkBase> TZELSVCClientsFactory::CreateNetwork(const TZELServNetworkRec& Rec) {
    return std::make_unique<TZELServNetwork>(S_, Rec);
}

std::unique_ptr<TZELSVCWorkerBase> TZELSVCClientsFactory::CreateWorker(TZELService& Service) {
    return std::make_unique<TZELSVCWorker>(Service);
}

std::unique_ptr<TZELSVCWrkCtxBase> TZELSVCClientsFactory::CreateClientContext(TZELService& Service, int Handle,
                                                                             AnsiView PeerText, int32_t PeerPort,
                                                                             int32_t Extra) {
    return CreateSocketWrkCtx<TZELSVCContextSNPS>(Service, Handle, PeerText, PeerPort, Extra);
}

std::unique_ptr<TZELSVCWrkCtxBase> TZELSVCClientsFactory::CreateCommandContext(TZELService& Service, int Handle,
                                                                              AnsiView PeerText, int32_t PeerPort,
                                                                              int32_t Extra) {
    return CreateSocketWrkCtx<TZELSVCCommand>(Service, Handle, PeerText, PeerPort, Extra);
}

}  // namespace zel

#pragma once
// TZELSVCServerFactory: what the running server makes through the service's factory: the worker
// threads, the socket client contexts (code 37) and the command-port contexts (code 36). The
// networks come from the network class; until it is installed here the factory makes none, and
// the service runs without networks as it does without a factory.
#include <memory>

#include "service/dmq_zel_svc_bases.hpp"

namespace zel {

class TZELSVCServerFactory : public TZELSVCFactory {
public:
    std::unique_ptr<TZELSVCNetworkBase> CreateNetwork(const TZELServNetworkRec& Rec) override;
    std::unique_ptr<TZELSVCWorkerBase> CreateWorker(TZELService& Service) override;
    std::unique_ptr<TZELSVCWrkCtxBase> CreateClientContext(TZELService& Service, int Handle, AnsiView PeerText,
                                                           int32_t PeerPort, int32_t Extra) override;
    std::unique_ptr<TZELSVCWrkCtxBase> CreateCommandContext(TZELService& Service, int Handle, AnsiView PeerText,
                                                            int32_t PeerPort, int32_t Extra) override;
};

}  // namespace zel

#pragma once
// The factory the program installs on its service: the networks, the worker threads, the socket
// client contexts and the command-port contexts of this library.
#include <memory>

#include "service/dmq_zel_svc_bases.hpp"

namespace zel {

class TZELSVCClientsFactory : public TZELSVCFactory {
public:
    // The networks belong to Service.
    explicit TZELSVCClientsFactory(TZELService& Service) : S_(Service) {}

    std::unique_ptr<TZELSVCNetworkBase> CreateNetwork(const TZELServNetworkRec& Rec) override;
    std::unique_ptr<TZELSVCWorkerBase> CreateWorker(TZELService& Service) override;
    std::unique_ptr<TZELSVCWrkCtxBase> CreateClientContext(TZELService& Service, int Handle, AnsiView PeerText,
                                                           int32_t PeerPort, int32_t Extra) override;
    std::unique_ptr<TZELSVCWrkCtxBase> CreateCommandContext(TZELService& Service, int Handle, AnsiView PeerText,
                                                            int32_t PeerPort, int32_t Extra) override;

private:
    TZELService& S_;
};

}  // namespace zel

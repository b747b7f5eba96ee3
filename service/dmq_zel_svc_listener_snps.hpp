#pragma once
// The listener thread of the client and command ports: the socket layer's listener with the
// server's listen backlog and a text builder for its log lines.
#include <cstdint>

#include "foundation/dmq_types.hpp"
#include "net/dmq_snps_listen_thread.hpp"

namespace zel {

class TZELSVCListenerSNPS : public TSynapseListenerThread {
public:
    // Backlog: the server's MaxWaitConnections (the listener opens with at least its default).
    explicit TZELSVCListenerSNPS(int32_t Backlog);
    ~TZELSVCListenerSNPS() override;

    // The listener's handlers build their log lines here; listener thread only.
    TStringBldU LogBld;
};

}  // namespace zel

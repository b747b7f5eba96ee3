#include "service/dmq_zel_svc_listener_snps.hpp"

namespace zel {

TZELSVCListenerSNPS::TZELSVCListenerSNPS(int32_t Backlog_) {
    Backlog = Backlog_;
    StrBldUInit(LogBld, 100);
}

TZELSVCListenerSNPS::~TZELSVCListenerSNPS() {
    // The handlers use LogBld: the thread ends before it goes.
    TerminateAndWait();
}

}  // namespace zel

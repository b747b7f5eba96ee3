#pragma once
// A client context without a socket that keeps what it was asked to send: the login half of the
// client context runs on it as on a real one.
#include "clients/dmq_zel_svc_context.hpp"

namespace zel::test {

class SocketlessClient : public TZELSVCContext {
public:
    using TZELSVCContext::TZELSVCContext;
    void vAttach(TZELSVCWaitRecord&) override {}
    TZELSVCWrkResult vHandleRead(TZELSVCWaitRecord&) override { return TZELSVCWrkResult::wkr_Keep; }
    TZELSVCWrkResult vPrepareWait(TZELSVCWaitRecord&) override { return TZELSVCWrkResult::wkr_Keep; }
    bool vCheckIdleTimeout(TZELSVCWaitRecord&) override { return false; }
    void vSend(AnsiView B) override { Sent += B; }
    void vSendNoFlush(AnsiView B) override { Sent += B; }
    void vSendLoginAnswer(AnsiView B) override { LoginAnswer.assign(B); }
    void vSendAndClose(AnsiView B) override { Sent += B; }

    AnsiString Sent, LoginAnswer;
};

}  // namespace zel::test

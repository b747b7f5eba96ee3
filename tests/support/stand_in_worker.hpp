#pragma once
// A worker that answers every operation of the abstract worker base harmlessly. Tests derive their
// small workers from it and override only what they watch; whoever adds an operation to the base
// adds its default here.
#include "service/dmq_zel_svc_bases.hpp"

namespace zel::test {

class StandInWorker : public TZELSVCWorkerBase {
public:
    void MarkHasWork() noexcept override {}
    void SetNumber(int32_t N) override { Number_ = N; }
    int32_t Number() const noexcept override { return Number_; }
    void PostNewContext(TZELSVCWrkCtxBase*) override {}
    void PostReturnEntry(TZELSVCWorkerBase*) override {}
    void PostCheckContext(TZELSVCWrkCtxBase*) override {}
    void StartWorker() override {}
    void TerminateWorker() override { Terminated_ = true; }
    bool WorkerTerminated() const noexcept override { return Terminated_; }
    void JoinWorker() override {}
    void StopLeftContexts() override {}
    void SetCounts(int32_t Free, int32_t Reserved) override {
        Free_ = Free;
        Reserved_ = Reserved;
    }
    bool TakeHasWork() override { return false; }
    void WakeUp() override {}
    int32_t Capacity() const override { return 1; }
    int32_t FreeCount() const override { return Free_; }
    int32_t ReservedCount() const override { return Reserved_; }

protected:
    int32_t Number_ = -1;
    int32_t Free_ = 1;
    int32_t Reserved_ = 0;
    bool Terminated_ = false;
};

}  // namespace zel::test

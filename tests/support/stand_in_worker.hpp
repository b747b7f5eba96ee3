#pragma once
// A worker that answers every operation of the abstract worker base harmlessly. Tests derive their
// small workers from it and override only what they watch; whoever adds an operation to the base
// adds its default here.
#include <atomic>

#include "service/dmq_zel_svc_bases.hpp"

namespace zel::test {

class StandInWorker : public TZELSVCWorkerBase {
public:
    explicit StandInWorker(int32_t Capacity = 1, int32_t Free = 1, int32_t Reserved = 0)
        : Capacity_(Capacity), Free_(Free), Reserved_(Reserved) {}
    void MarkHasWork() noexcept override { HasWork = true; }
    bool TakeHasWork() override { return HasWork.exchange(false); }
    void WakeUp() override { ++Wakes; }
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
    int32_t Capacity() const override { return Capacity_; }
    int32_t FreeCount() const override { return Free_; }
    int32_t ReservedCount() const override { return Reserved_; }

    std::atomic<bool> HasWork{false};
    std::atomic<int> Wakes{0};

protected:
    int32_t Capacity_;
    int32_t Number_ = -1;
    int32_t Free_;
    int32_t Reserved_;
    bool Terminated_ = false;
};

}  // namespace zel::test

#pragma once
// A worker thread: serves many work contexts (client and command connections) through one waiter.
// It takes contexts over from the service through its queue, lets each read and write when its
// socket is ready, checks every context for idleness once a second, stops the contexts that
// finished and reports each change to the service queue (codes 48 to 52).
//
// Only the worker thread touches the waiter's registrations, the contexts' sockets and collectors
// and the stop list. Other threads reach a worker through its queue (locked), HasWork (atomic) and
// WakeUp (the waiter's pipe).
//
// Loop, top to bottom (Execute):
//   idle wait (pipe only; code 51 every IdleTimeoutMs)
//   repeat: queue step + stop step; service pass + stop step;
//           wait on the sockets (1 s) until the queue fills, a context yields, or a wake-up
//   at the end: stop every context left (registered or still queued), then code 52
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "clients/dmq_zel_svc_worker_queue.hpp"
#include "clients/dmq_zel_svc_wrkctx.hpp"
#include "foundation/dmq_thread.hpp"
#include "foundation/dmq_types.hpp"
#include "net/dmq_waiter2_socket.hpp"
#include "service/dmq_zel_svc_bases.hpp"

namespace zel {

class TZELService;

class TZELSVCWorker : public TThread, public TZELSVCWorkerBase {
public:
    // Items taken off the queue in one step.
    static constexpr int32_t kQueueBatch = 16;
    // Wait on the sockets; the idle checks run once a second.
    static constexpr uint32_t kWaitMs = 1000;
    static constexpr uint32_t kSecondMs = 1000;
    // Pause after an exception in one pass of the loop.
    static constexpr uint32_t kErrorPauseMs = 50;

    // Capacity: the service's ClientsPerThread; IdleTimeoutMs: its ThreadCacheTime in ms. The
    // thread is not started: call Start().
    explicit TZELSVCWorker(TZELService& Service);
    ~TZELSVCWorker() override;

    // ---- Service dispatcher (timer thread) -----------------------------------------------------
    void SetNumber(int32_t N) override;
    int32_t Number() const noexcept override { return Number_.load(std::memory_order_acquire); }
    void PostNewContext(TZELSVCWrkCtxBase* Context) override;
    void PostReturnEntry(TZELSVCWorkerBase* Target) override;
    void PostCheckContext(TZELSVCWrkCtxBase* Context) override;
    void StartWorker() override { Start(); }
    void TerminateWorker() override { Terminate(); }
    bool WorkerTerminated() const noexcept override { return Terminated(); }
    void JoinWorker() override { WaitFor(); }
    void StopLeftContexts() override;
    void SetCounts(int32_t Free, int32_t Reserved) override {
        FreeCount_ = Free;
        ReservedCount_ = Reserved;
    }
    // ---- Service tick and dispatcher (timer thread) -------------------------------------------
    bool TakeHasWork() override { return HasWork_.exchange(false, std::memory_order_acq_rel); }
    void WakeUp() override;
    int32_t Capacity() const override { return Capacity_; }
    int32_t FreeCount() const override { return FreeCount_; }
    int32_t ReservedCount() const override { return ReservedCount_; }

    // ---- Work contexts (any thread): the context's RequestFlush marks its worker.
    void MarkHasWork() noexcept override { HasWork_.store(true, std::memory_order_release); }
    // Puts the context on the list the next service pass drains, while this worker owns it.
    void NoteWork(TZELSVCWrkCtxBase* Context) noexcept override;

    TZELService& Service() const noexcept { return Service_; }
    // Items are pushed by the Post... operations; a push of its own must mark the worker too.
    TZELSVCWorkerQueue& Queue() noexcept { return Queue_; }
    // The number of contexts registered; worker thread (tests read it after the thread ended).
    int32_t Registered() const noexcept { return Waiter_.LastIndex(); }
    // Wait returns of the socket wait (benchmarks).
    uint64_t WaitReturns() const noexcept { return WaitReturns_.load(std::memory_order_relaxed); }
    // Contexts the service passes looked at (the work list's and the once-a-second walks'), and
    // the walks among them (tests and benchmarks).
    uint64_t PassVisits() const noexcept { return PassVisits_.load(std::memory_order_relaxed); }
    uint64_t SecondWalks() const noexcept { return SecondWalks_.load(std::memory_order_relaxed); }

protected:
    void Execute() override;
    void TerminatedSet() override;

private:
    void Push(TZELSVCWorkerCommand Command, TZELSVCWrkCtx* Context, TZELSVCWorkerBase* Target);
    // The pass of the main loop; returns at the end of the thread's work.
    void Loop();
    // Sleeps on the pipe alone while no context is registered; code 51 at every time-out.
    void IdleWait();
    void QueueStep();
    void TakeOver(TZELSVCWrkCtx* Context, bool Check);
    // Dispatches one context; Events: what fired (0 from the service pass).
    void Dispatch(TWaiter2Resource* Entry, uint8_t Events);
    void DispatchEvent(TWaiter2Event& Ev);
    // The service pass: the contexts of the work list (Priority first) unless IdleOnly, then,
    // once a second, the walk over every context: the idle checks, and any context with work
    // that did not come through the list.
    void ServicePass(bool IdleOnly);
    void DrainWorkList();
    // The marked context onto the work list; one that finds no room loses its mark.
    void Relist(TZELSVCWrkCtx* Context) ZEL_REQUIRES(WorkLock_);
    // Registers the context on the work list's side (owner, listed for the first pass).
    void OwnWork(TZELSVCWrkCtx* Context);
    // Takes the context off this worker's work list before it leaves the worker.
    void DisownWork(TZELSVCWrkCtx* Context);
    bool SecondPassed() noexcept;
    // Marks the entry for the stop step, with Cause unless one is set.
    void Mark(TWaiter2Resource* Entry, TZELSVCWrkResult Result);
    static void SetResultCause(TZELSVCWrkCtx* Context, TZELSVCWrkResult Result);
    void MarkWithCause(TWaiter2Resource* Entry, TZELSVCDisconnectCause Cause);
    // Applies the wanted events; a failure marks the context (internal error).
    void ApplyEvents(TWaiter2Resource* Entry);
    void StopStep();
    // Unregisters, stops (code 40 is the last touch of the context), then code 48.
    void StopContext(TWaiter2Resource* Entry);
    void StopUnregistered(TZELSVCWrkCtx* Context, bool Report);
    void Finish();
    // Stops the contexts still queued; code 1 is answered with code 49. Report: post code 48.
    void DrainQueue(bool Report);
    const UnicodeString& LogPrefix();
    void LogError(UnicodeView Text);

    static TZELSVCWrkCtx* Context(const TWaiter2Resource* Entry) {
        return static_cast<TZELSVCWrkCtx*>(Entry->Data);
    }
    static bool Priority(const TZELSVCWrkCtx* Context);

    TZELService& Service_;
    TZELSVCWorkerQueue Queue_;
    TWaiter2Socket Waiter_;
    std::vector<TWaiter2Resource*> StopList_;
    // Contexts with work, posted by any thread; each at most once (its WorkListed). Capacity for
    // every context the worker can hold, so a post never allocates.
    TCriticalSection WorkLock_;
    std::vector<TZELSVCWrkCtx*> WorkList_ ZEL_GUARDED_BY(WorkLock_);
    // The list taken by the pass being run (worker thread).
    std::vector<TZELSVCWrkCtx*> WorkTaken_;
    std::vector<TZELSVCWrkCtx*> WorkLater_;
    const int32_t Capacity_;
    // The service's bookkeeping; timer thread.
    int32_t FreeCount_;
    int32_t ReservedCount_ = 0;
    const uint32_t IdleTimeoutMs_;
    uint32_t LastSecond_;
    TZELSVCWaitRecord WaitRecord_{};
    uint8_t LastEvents_ = 0;
    std::atomic<int32_t> Number_{-1};
    int32_t PrefixNumber_ = -2;  // the number LogPrefix_ was built for; worker thread
    UnicodeString LogPrefix_;
    bool LeaveWait_ = false;
    std::atomic<bool> HasWork_{false};
    std::atomic<uint64_t> WaitReturns_{0};
    std::atomic<uint64_t> PassVisits_{0};
    std::atomic<uint64_t> SecondWalks_{0};
};

}  // namespace zel

#include "clients/dmq_zel_svc_worker.hpp"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "clients/dmq_zel_svc_context.hpp"
#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_server_id.hpp"

namespace zel {

namespace {

void Pause(uint32_t Ms) { std::this_thread::sleep_for(std::chrono::milliseconds(Ms)); }

}  // namespace

TZELSVCWorker::TZELSVCWorker(TZELService& Service)
    : Service_(Service),
      Waiter_(Service.ClientsPerThread()),
      Capacity_(Service.ClientsPerThread()),
      FreeCount_(Capacity_),
      IdleTimeoutMs_(static_cast<uint32_t>(Service.ThreadCacheTime) * 1000u),
      LastSecond_(GetTickMs()) {
    // The stop list never grows inside the loop.
    StopList_.reserve(static_cast<size_t>(Capacity_));
    {
        TCriticalSectionLock g(WorkLock_);
        WorkList_.reserve(static_cast<size_t>(Capacity_) + 1);
    }
    WorkTaken_.reserve(static_cast<size_t>(Capacity_) + 1);
    WorkLater_.reserve(static_cast<size_t>(Capacity_) + 1);
    LogPrefix_.reserve(200);
}

TZELSVCWorker::~TZELSVCWorker() { TerminateAndWait(); }

void TZELSVCWorker::SetNumber(int32_t N) { Number_.store(N, std::memory_order_release); }

void TZELSVCWorker::Push(TZELSVCWorkerCommand Command, TZELSVCWrkCtx* Context, TZELSVCWorkerBase* Target) {
    auto item = std::make_unique<TZELSVCWorkerQueueItem>();
    item->Command = Command;
    item->Context = Context;
    item->Target = Target;
    Queue_.Push(std::move(item));
    // Not woken here: the service's next tick wakes every worker that has work.
    MarkHasWork();
}

void TZELSVCWorker::PostNewContext(TZELSVCWrkCtxBase* Context) {
    Push(TZELSVCWorkerCommand::fswc_AddContext, static_cast<TZELSVCWrkCtx*>(Context), nullptr);
}

void TZELSVCWorker::PostReturnEntry(TZELSVCWorkerBase* Target) {
    Push(TZELSVCWorkerCommand::fswc_ReturnFreeEntry, nullptr, Target);
}

void TZELSVCWorker::PostCheckContext(TZELSVCWrkCtxBase* Context) {
    Push(TZELSVCWorkerCommand::fswc_CheckContext, static_cast<TZELSVCWrkCtx*>(Context), nullptr);
}

// The mark (WorkListed) and the list agree: a context is never marked while on no list, as its
// posts would then never list it again. The other way (listed, not marked) only lists it twice.
void TZELSVCWorker::NoteWork(TZELSVCWrkCtxBase* Base) noexcept {
    auto* ctx = static_cast<TZELSVCWrkCtx*>(Base);
    TZELSVCWorkerBase* owner;
    {
        TCriticalSectionLock g(WorkLock_);
        owner = ctx->WorkOwner.load();
        if (owner == this) {
            // Within the reserve (each owned context at most once) unless a hand-over overlapped.
            Relist(ctx);
            return;
        }
    }
    // The sender read a worker the context has left. Between two workers the mark goes: the one
    // that takes it over lists it anyway; one that owns it already lists it now.
    if (owner != nullptr)
        owner->NoteWork(ctx);
    else
        ctx->WorkListed.store(false);
}

void TZELSVCWorker::Relist(TZELSVCWrkCtx* Ctx) {
    try {
        WorkList_.push_back(Ctx);
    } catch (...) {
        Ctx->WorkListed.store(false);
    }
}

void TZELSVCWorker::OwnWork(TZELSVCWrkCtx* Ctx) {
    TCriticalSectionLock g(WorkLock_);
    Ctx->WorkOwner.store(this);
    // Listed at once: what was queued while it travelled, or a stop it needs, is served in the
    // first pass.
    Ctx->WorkListed.store(true);
    WorkList_.push_back(Ctx);
}

void TZELSVCWorker::DisownWork(TZELSVCWrkCtx* Ctx) {
    TCriticalSectionLock g(WorkLock_);
    if (Ctx->WorkOwner.load() != this) return;
    Ctx->WorkOwner.store(nullptr);
    // Twice at most, when a post overlapped the take-over's own listing.
    WorkList_.erase(std::remove(WorkList_.begin(), WorkList_.end(), Ctx), WorkList_.end());
}

void TZELSVCWorker::WakeUp() { Waiter_.Interrupt(); }

void TZELSVCWorker::TerminatedSet() { Waiter_.Interrupt(); }

const UnicodeString& TZELSVCWorker::LogPrefix() {
    const int32_t n = Number();
    if (n != PrefixNumber_) {
        PrefixNumber_ = n;
        LogPrefix_ = u"Worker[";
        LogPrefix_ += WidenStrU(std::to_string(n));
        LogPrefix_ += u"]: ";
    }
    return LogPrefix_;
}

void TZELSVCWorker::LogError(UnicodeView Text) {
    UnicodeString line(ZELLogPrefixError);
    line += LogPrefix();
    line += Text;
    Service_.WorkerLog(line);
}

// ---------------------------------------------------------------------------------------------
// The thread.

void TZELSVCWorker::Execute() {
    GuardedCall([this] { IdleWait(); }, [this](const char* Cls, const std::string& Msg) {
        LogError(u"Main loop: " + DecodeUtf8U(Cls) + u": " + DecodeUtf8U(Msg));
    });
    while (!Terminated()) {
        const bool ok = GuardedCall([this] { Loop(); }, [this](const char* Cls, const std::string& Msg) {
            LogError(u"Main loop: " + DecodeUtf8U(Cls) + u": " + DecodeUtf8U(Msg));
        });
        if (!ok) Pause(kErrorPauseMs);
    }
    Finish();
}

void TZELSVCWorker::IdleWait() {
    while (!Terminated()) {
        if (Waiter_.WaitForInterrupt(IdleTimeoutMs_) != TWaiterResult::wr_Timeout) return;
        Service_.PostWorkerWaiting(this);
    }
}

void TZELSVCWorker::Loop() {
    TWaiter2WaitRequest req;
    req.OnBeforeEvents = [this](TWaiter2Event&) { WaitRecord_.Now = GetTickMs(); };
    req.OnEvent = [this](TWaiter2Event& Ev) { DispatchEvent(Ev); };
    req.Timeout = kWaitMs;
    req.Passes = 2;
    for (;;) {
        if (Terminated()) return;
        WaitRecord_.Now = GetTickMs();
        if (Queue_.Count() > 0) {
            QueueStep();
            StopStep();
        }
        if (Registered() > 0) {
            ServicePass(false);
            StopStep();
        }
        for (;;) {
            if (Queue_.Count() > 0) break;
            if (Terminated()) return;
            // A context that left with input still waiting is served again at once, but the other
            // contexts' events are collected first, by a wait that does not block: a peer that
            // never pauses (a flood of requests answered at once) must not starve the rest.
            const bool leave = LeaveWait_;
            LeaveWait_ = false;
            if (!leave && Registered() == 0) {
                IdleWait();
                break;
            }
            req.Timeout = leave ? 0 : kWaitMs;
            const TWaiterResult r = Waiter_.Wait(req);
            WaitReturns_.fetch_add(1, std::memory_order_relaxed);
            WaitRecord_.Now = GetTickMs();
            if (r == TWaiterResult::wr_Interrupt) {
                StopStep();
                break;
            }
            if (r == TWaiterResult::wr_Error) {
                StopStep();
                LogError(u"Wait: " + SysCharsetToUnicodeProc(SysErrorText(Waiter_.LastError())));
                Pause(kErrorPauseMs);
                break;
            }
            StopStep();
            // Also after sockets were served: a worker whose sockets never rest still checks its
            // idle contexts once a second.
            ServicePass(true);
            StopStep();
            if (leave) break;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Queue step.

void TZELSVCWorker::QueueStep() {
    std::unique_ptr<TZELSVCWorkerQueueItem> items[kQueueBatch];
    const int32_t n = Queue_.PopMany(items, kQueueBatch);
    for (int32_t i = 0; i < n; ++i) {
        TZELSVCWorkerQueueItem& item = *items[i];
        GuardedCall(
            [&] {
                switch (item.Command) {
                case TZELSVCWorkerCommand::fswc_AddContext:
                    TakeOver(item.Context, false);
                    break;
                case TZELSVCWorkerCommand::fswc_CheckContext:
                    TakeOver(item.Context, true);
                    break;
                case TZELSVCWorkerCommand::fswc_ReturnFreeEntry: {
                    TWaiter2Resource* entry = nullptr;
                    for (int32_t k = Waiter_.LastIndex(); k >= 1 && !entry; --k)
                        if (!Waiter_.Resource(k)->Closing) entry = Waiter_.Resource(k);
                    if (!entry) {
                        Service_.PostWorkerNoContext(item.Target);
                        break;
                    }
                    TZELSVCWrkCtx* ctx = Context(entry);
                    DisownWork(ctx);
                    Waiter_.FreeResource(entry);
                    ctx->WaitEntry = nullptr;
                    ctx->CloseParked();
                    // The context is the service's until the target takes it over.
                    Service_.PostWorkerHandOverContext(this, item.Target, ctx);
                    break;
                }
                default:
                    LogError(u"QUEUE: Unknown command");
                }
            },
            [this](const char* Cls, const std::string& Msg) {
                LogError(u"QUEUE: " + DecodeUtf8U(Cls) + u": " + DecodeUtf8U(Msg));
            });
    }
}

void TZELSVCWorker::TakeOver(TZELSVCWrkCtx* Ctx, bool Check) {
    TWaiter2Resource* entry;
    try {
        entry = Waiter_.AddResource(Ctx, Ctx->Handle.load(std::memory_order_acquire));
    } catch (...) {
        // Never served here: stopped at once, so that the service frees it.
        Ctx->SetDisconnectCause(TZELSVCDisconnectCause::fsdc_ServInternalError);
        StopUnregistered(Ctx, true);
        throw;
    }
    Ctx->WaitEntry = entry;
    Ctx->Worker.store(this, std::memory_order_release);
    OwnWork(Ctx);
    WaitRecord_.Handle = Ctx->Handle.load(std::memory_order_acquire);
    WaitRecord_.Fired = 0;
    try {
        if (!Check) {
            Ctx->vAttach(WaitRecord_);
            ApplyEvents(entry);
            return;
        }
        const TZELSVCWrkResult r = Ctx->vPrepareWait(WaitRecord_);
        if (r == TZELSVCWrkResult::wkr_Keep) {
            ApplyEvents(entry);
            return;
        }
        // Finished while it travelled: the service pass dispatches it and it closes there.
        Ctx->StopPending.store(1, std::memory_order_release);
        SetResultCause(Ctx, r);
    } catch (...) {
        MarkWithCause(entry, TZELSVCDisconnectCause::fsdc_ServInternalError);
        throw;
    }
}

// ---------------------------------------------------------------------------------------------
// Dispatch.

bool TZELSVCWorker::Priority(const TZELSVCWrkCtx* Ctx) {
    if (Ctx->Tag == ZELWrkCtxTagClient) return (static_cast<const TZELSVCContext*>(Ctx)->AcceptedFlags & 0x3u) != 0;
    if (Ctx->Tag == ZELWrkCtxTagCommand) return false;
    throw Exception("Unknown context tag");
}

void TZELSVCWorker::DispatchEvent(TWaiter2Event& Ev) {
    TWaiter2Resource* entry = Ev.Resource;
    if (entry->Closing) return;
    if (Priority(Context(entry)) != (Ev.Pass == 1)) return;
    Dispatch(entry, Ev.Events);
}

void TZELSVCWorker::Dispatch(TWaiter2Resource* Entry, uint8_t Events) {
    TZELSVCWrkCtx* ctx = Context(Entry);
    LastEvents_ = Events;
    WaitRecord_.Handle = ctx->Handle.load(std::memory_order_acquire);
    WaitRecord_.Fired = Events;
    const TZELSVCWrkResult r = ctx->vHandleRead(WaitRecord_);
    if (r == TZELSVCWrkResult::wkr_Keep)
        ApplyEvents(Entry);
    else if (r == TZELSVCWrkResult::wkr_LeaveWait) {
        LeaveWait_ = true;
        // Its SendFlags tell it to read on in the next pass.
        ctx->ListWork();
    }
    else
        Mark(Entry, r);
}

void TZELSVCWorker::ApplyEvents(TWaiter2Resource* Entry) {
    const int e = Waiter_.SetResourceEvents(Entry, WaitRecord_.Events);
    if (e == 0) return;
    // Waiting for events that never come would keep the connection for ever.
    TZELSVCWrkCtx* ctx = Context(Entry);
    ctx->SetDisconnectText("Waiter: " + SysErrorText(e));
    MarkWithCause(Entry, TZELSVCDisconnectCause::fsdc_ServInternalError);
}

void TZELSVCWorker::SetResultCause(TZELSVCWrkCtx* Ctx, TZELSVCWrkResult Result) {
    if (Result == TZELSVCWrkResult::wkr_CloseTimeout)
        Ctx->vSetTimeoutCause();
    else if (Result == TZELSVCWrkResult::wkr_CloseOutOfMemory)
        Ctx->SetDisconnectCause(TZELSVCDisconnectCause::fsdc_ServOutOfMemory);
    else if (Result != TZELSVCWrkResult::wkr_Close)
        Ctx->SetDisconnectCause(TZELSVCDisconnectCause::fsdc_ServInternalError);
}

void TZELSVCWorker::Mark(TWaiter2Resource* Entry, TZELSVCWrkResult Result) {
    SetResultCause(Context(Entry), Result);
    if (Entry->Closing) return;
    Entry->Closing = 1;
    StopList_.push_back(Entry);
}

void TZELSVCWorker::MarkWithCause(TWaiter2Resource* Entry, TZELSVCDisconnectCause Cause) {
    Context(Entry)->SetDisconnectCause(Cause);
    Mark(Entry, TZELSVCWrkResult::wkr_Close);
}

bool TZELSVCWorker::SecondPassed() noexcept {
    if (WaitRecord_.Now - LastSecond_ < kSecondMs) return false;
    // By exactly one second: a worker that fell behind catches up one second per pass.
    LastSecond_ += kSecondMs;
    return true;
}

void TZELSVCWorker::ServicePass(bool IdleOnly) {
    const bool second = SecondPassed();
    if (!IdleOnly) DrainWorkList();
    if (!second) return;
    SecondWalks_.fetch_add(1, std::memory_order_relaxed);
    PassVisits_.fetch_add(uint64_t(Waiter_.LastIndex()), std::memory_order_relaxed);
    for (int32_t i = Waiter_.LastIndex(); i >= 1; --i) {
        TWaiter2Resource* entry = Waiter_.Resource(i);
        if (entry->Closing) continue;
        TZELSVCWrkCtx* ctx = Context(entry);
        if (ctx->StopPending.load(std::memory_order_acquire) != 0 ||
            ctx->SendFlags.load(std::memory_order_acquire) != 0) {
            Dispatch(entry, 0);
        } else if (ctx->vCheckIdleTimeout(WaitRecord_)) {
            Mark(entry, TZELSVCWrkResult::wkr_CloseTimeout);
        }
    }
}

void TZELSVCWorker::DrainWorkList() {
    WorkTaken_.clear();
    {
        TCriticalSectionLock g(WorkLock_);
        WorkTaken_.swap(WorkList_);
    }
    if (WorkTaken_.empty()) return;
    PassVisits_.fetch_add(WorkTaken_.size(), std::memory_order_relaxed);
    WorkLater_.clear();
    size_t done = 0, later = 0;
    const auto serve = [this](TZELSVCWrkCtx* Ctx) {
        TWaiter2Resource* entry = Ctx->WaitEntry;
        if (entry == nullptr || entry->Closing) return;
        if (Ctx->StopPending.load(std::memory_order_acquire) != 0 ||
            Ctx->SendFlags.load(std::memory_order_acquire) != 0)
            Dispatch(entry, 0);
    };
    try {
        // Off the list before its flags are read: work queued from here on lists it again.
        for (; done < WorkTaken_.size(); ++done) {
            TZELSVCWrkCtx* ctx = WorkTaken_[done];
            ctx->WorkListed.store(false);
            if (Priority(ctx))
                serve(ctx);
            else
                WorkLater_.push_back(ctx);
        }
        for (; later < WorkLater_.size(); ++later) serve(WorkLater_[later]);
    } catch (...) {
        // What was not served goes back on the list for the next pass, the context that raised
        // excepted. Those not yet looked at are still marked; the others are marked again unless
        // a post listed them meanwhile. One that finds no room loses its mark.
        TCriticalSectionLock g(WorkLock_);
        for (size_t i = done + 1; i < WorkTaken_.size(); ++i) Relist(WorkTaken_[i]);
        for (size_t i = done < WorkTaken_.size() ? 0 : later + 1; i < WorkLater_.size(); ++i)
            if (!WorkLater_[i]->WorkListed.exchange(true)) Relist(WorkLater_[i]);
        WorkTaken_.clear();
        WorkLater_.clear();
        throw;
    }
    WorkTaken_.clear();
    WorkLater_.clear();
}

// ---------------------------------------------------------------------------------------------
// Stopping.

void TZELSVCWorker::StopStep() {
    while (!StopList_.empty()) {
        TWaiter2Resource* entry = StopList_.back();
        StopList_.pop_back();
        StopContext(entry);
    }
}

void TZELSVCWorker::StopContext(TWaiter2Resource* Entry) {
    TZELSVCWrkCtx* ctx = Context(Entry);
    // Unregistered first: once code 40 is posted the timer thread may free the context.
    DisownWork(ctx);
    Waiter_.FreeResource(Entry);
    ctx->WaitEntry = nullptr;
    ctx->CloseParked();
    StopUnregistered(ctx, true);
}

void TZELSVCWorker::StopUnregistered(TZELSVCWrkCtx* Ctx, bool Report) {
    GuardedCall([&] { Ctx->vExecStop(Report ? this : nullptr); },
                [this](const char* Cls, const std::string& Msg) {
                    LogError(u"Stop: " + DecodeUtf8U(Cls) + u": " + DecodeUtf8U(Msg));
                });
    if (Report) Service_.PostWorkerClosedContexts(this);
}

void TZELSVCWorker::DrainQueue(bool Report) {
    std::unique_ptr<TZELSVCWorkerQueueItem> items[kQueueBatch];
    int32_t n;
    while ((n = Queue_.PopMany(items, kQueueBatch)) > 0) {
        for (int32_t i = 0; i < n; ++i) {
            TZELSVCWorkerQueueItem& item = *items[i];
            GuardedCall(
                [&] {
                    if (item.Command == TZELSVCWorkerCommand::fswc_AddContext ||
                        item.Command == TZELSVCWorkerCommand::fswc_CheckContext) {
                        item.Context->SetDisconnectCause(TZELSVCDisconnectCause::fsdc_ServerStopped);
                        StopUnregistered(item.Context, Report);
                    } else if (item.Command == TZELSVCWorkerCommand::fswc_ReturnFreeEntry) {
                        Service_.PostWorkerNoContext(item.Target);
                    }
                },
                [this](const char* Cls, const std::string& Msg) {
                    LogError(u"QUEUE: " + DecodeUtf8U(Cls) + u": " + DecodeUtf8U(Msg));
                });
        }
    }
}

void TZELSVCWorker::Finish() {
    const auto report = [this](const char* Cls, const std::string& Msg) {
        LogError(u"Main loop: " + DecodeUtf8U(Cls) + u": " + DecodeUtf8U(Msg));
    };
    GuardedCall([this] { StopStep(); }, report);
    while (Registered() > 0) {
        TWaiter2Resource* entry = Waiter_.Resource(Waiter_.LastIndex());
        GuardedCall(
            [&] {
                Context(entry)->SetDisconnectCause(TZELSVCDisconnectCause::fsdc_ServerStopped);
                StopContext(entry);
            },
            report);
        // A stop that raised before the unregister must not hold the loop.
        if (Waiter_.LastIndex() > 0 && Waiter_.Resource(Waiter_.LastIndex()) == entry) Waiter_.FreeResource(entry);
    }
    GuardedCall([this] { DrainQueue(true); }, report);
    GuardedCall([this] { Service_.PostWorkerStopped(this); }, report);
}

// Timer thread, after the thread ended: what was queued after the thread's own drain.
void TZELSVCWorker::StopLeftContexts() { DrainQueue(false); }

}  // namespace zel

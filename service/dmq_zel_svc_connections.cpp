#include "service/dmq_zel_svc_connections.hpp"

#include <cstdint>
#include <string>

#include "foundation/dmq_zel_classes.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_queue.hpp"
#include "service/dmq_zel_svc_server_id.hpp"

namespace zel {

namespace {

using C = TZELSVCNetQueueCommand;

intptr_t CounterOf(const TZELSortedAnsiStringList& L, int32_t I) noexcept {
    return reinterpret_cast<intptr_t>(L.Items(I).Obj);
}

void* CounterValue(intptr_t N) noexcept { return reinterpret_cast<void*>(N); }

}  // namespace

bool TZELService::DispatchConnectionRecord(std::unique_ptr<TZELSVCNetQueueRecord>& Rec) {
    TZELSVCNetQueueRecord& r = *Rec;
    switch (r.Command) {
    case C::fsnq_NewCommandConnection:
        NewConnection(r, false);
        return true;
    case C::fsnq_NewClientConnection:
        NewConnection(r, true);
        return true;
    case C::fsnq_ClientHandshakeDone:
        ClientHandshakeDone(Rec);
        return true;
    case C::fsnq_LoginRefused:
        r.Owner->SendFinalAnswer(r.Text1);
        return true;
    case C::fsnq_ClientDisconnected:
        ClientDisconnected(Rec);
        return true;
    case C::fsnq_CommandDisconnected:
        CommandDisconnected(r);
        return true;
    case C::fsnq_CreateWorker:
        if (KeepHotThread && Workers_.empty() && !WorkersTerminated_) CreateWorker();
        return true;
    case C::fsnq_WorkerClosedContext:
        WorkerClosedContext(r);
        return true;
    case C::fsnq_WorkerNoContext:
        if (TZELSVCWorkerSlot* t = FindWorker(r.Obj2)) {
            --t->ReservedCount;
            ++t->FreeCount;
        }
        return true;
    case C::fsnq_WorkerHandOverContext:
        WorkerHandOverContext(r);
        return true;
    case C::fsnq_WorkerWaiting:
        WorkerWaiting(r);
        return true;
    case C::fsnq_WorkerStopped:
        WorkerStopped(r);
        return true;
    case C::fsnq_ServiceTerminate:
        TerminateWorkers();
        return true;
    default:
        return false;
    }
}

// ---------------------------------------------------------------------------------------------
// New connections (codes 36 and 37).

void TZELService::NewConnection(TZELSVCNetQueueRecord& Rec, bool Client) {
    TZELSVCDisconnectCause cause = TZELSVCDisconnectCause::fsdc_DisconnectWithoutAuth;
    std::string message;
    AnsiString key;
    // After the stop (code 53) nothing may be added: the end waits for every connection.
    if (ConnectionsStopped_) cause = TZELSVCDisconnectCause::fsdc_ServerStopped;
    if (Client && cause == TZELSVCDisconnectCause::fsdc_DisconnectWithoutAuth) {
        if (MaxConnectionsPerAddress > 0) {
            key = PadKey8A(Rec.Text1);
            const int32_t i = AddressCounters_.IndexOf(key);
            if (i >= 0 && CounterOf(AddressCounters_, i) >= MaxConnectionsPerAddress)
                cause = TZELSVCDisconnectCause::fsdc_MaxConnectionPerAddress;
        }
        if (cause == TZELSVCDisconnectCause::fsdc_DisconnectWithoutAuth && ConnectionCount() >= MaxTotalConnections)
            cause = TZELSVCDisconnectCause::fsdc_MaxTotalConnections;
    }
    std::unique_ptr<TZELSVCWrkCtxBase> ctx;
    TZELSortedObjectList& list = Client ? UndefinedList_ : CommandContexts_;
    if (cause == TZELSVCDisconnectCause::fsdc_DisconnectWithoutAuth) {
        try {
            if (!Factory_) throw Exception("No factory");
            // The factory owns the socket from here on: it closes it when it fails.
            const int h = Rec.TakeSocket();
            ctx = Client ? Factory_->CreateClientContext(*this, h, Rec.Text1, Rec.Value2, Rec.Value3)
                         : Factory_->CreateCommandContext(*this, h, Rec.Text1, Rec.Value2, Rec.Value3);
            list.Add(ctx.get());
            try {
                AssignToWorker(ctx.get());
            } catch (...) {
                list.Remove(ctx.get());
                throw;
            }
        } catch (const std::bad_alloc&) {
            cause = TZELSVCDisconnectCause::fsdc_ServOutOfMemory;
        } catch (const std::exception& e) {
            cause = TZELSVCDisconnectCause::fsdc_ServInternalError;
            message = e.what();
        }
    }
    if (cause == TZELSVCDisconnectCause::fsdc_DisconnectWithoutAuth) {
        (void)ctx.release();  // the list holds it now
        if (Client) {
            if (MaxConnectionsPerAddress > 0) {
                int32_t i;
                if (AddressCounters_.Find(key, i))
                    AddressCounters_.SetObject(i, CounterValue(CounterOf(AddressCounters_, i) + 1));
                else
                    AddressCounters_.Insert(i, key, CounterValue(1));
            }
            IncConnectionCount();
        }
        PublishCounts();
        return;
    }
    // Refused: the context (when made) or the factory closed the socket; else it is closed here.
    ctx.reset();
    int h = Rec.TakeSocket();
    SockCloseVar(h);
    if (Client ? LogClientLevel >= DisconnectCauseInfo(cause).Level : CommandLogLevel >= 0)
        LogRefusedConnection(cause, Client ? UnicodeView(u"Client:") : UnicodeView(u"Command:"), message, Rec);
}

void TZELService::LogRefusedConnection(TZELSVCDisconnectCause Cause, UnicodeView Prefix, AnsiView Message,
                                       const TZELSVCNetQueueRecord& Rec) {
    UnicodeString line(Prefix);
    line += u' ';
    line += FormatHostPortU(WidenStrU(Rec.Text1), WidenStrU(std::to_string(Rec.Value2)));
    line += u' ';
    line += DisconnectCauseInfo(Cause).Text;
    if (Cause == TZELSVCDisconnectCause::fsdc_ServInternalError) {
        line += u": ";
        line += DecodeUtf8U(Message);
    }
    AddLogLine(std::move(line));
}

// ---------------------------------------------------------------------------------------------
// Client codes 38 and 40, command code 41.

void TZELService::ClientHandshakeDone(std::unique_ptr<TZELSVCNetQueueRecord>& Rec) {
    TZELSVCWrkCtxBase* ctx = Rec->Owner;
    TZELSVCNetworkBase* net = ctx->ContextNetwork();
    if (net && UndefinedList_.Remove(ctx) >= 0) {
        net->AddPending(std::move(Rec));
        return;
    }
    ctx->AbortWithCause(TZELSVCDisconnectCause::fsdc_ServerError);
}

void TZELService::CountDownAddress(const TZELSVCWrkCtxBase& Context) {
    if (MaxConnectionsPerAddress <= 0) return;
    // Logged, not raised: the context must still be freed and counted down.
    const AnsiString key = PadKey8A(Context.PeerText());
    const int32_t i = AddressCounters_.IndexOf(key);
    if (i < 0) {
        NetworksError(u"Disconnect not found address on Address counter");
        return;
    }
    const intptr_t n = CounterOf(AddressCounters_, i) - 1;
    if (n < 0) NetworksError(u"Address Counter is negative");
    if (n <= 0)
        AddressCounters_.Delete(i);
    else
        AddressCounters_.SetObject(i, CounterValue(n));
}

void TZELService::LogDisconnect(const TZELSVCWrkCtxBase& Context, bool WithText) {
    if (LogClientLevel >= DisconnectCauseInfo(Context.DisconnectCause()).Level)
        AddLogLine(Context.DisconnectLine(WithText));
}

void TZELService::FreeContext(TZELSVCWrkCtxBase* Context) noexcept { delete Context; }

void TZELService::ClientDisconnected(std::unique_ptr<TZELSVCNetQueueRecord>& Rec) {
    TZELSVCWrkCtxBase* ctx = Rec->Owner;
    CountDownAddress(*ctx);
    if (UndefinedList_.Remove(ctx) >= 0) {
        LogDisconnect(*ctx, true);
        FreeContext(ctx);
        DecConnectionCount();
        return;
    }
    if (TZELSVCNetworkBase* net = ctx->ContextNetwork()) {
        // The network finishes the disconnect (and frees the context).
        net->AddPending(std::move(Rec));
        return;
    }
    ctx->ContextError(u"client disconnect: not found in undefined and network not assigned");
    // Its worker let go of it: this only sets the cause.
    ctx->AbortWithCause(TZELSVCDisconnectCause::fsdc_ServerError);
    LogDisconnect(*ctx, false);
    FreeContext(ctx);
    DecConnectionCount();
}

void TZELService::CommandDisconnected(TZELSVCNetQueueRecord& Rec) {
    if (CommandContexts_.Remove(Rec.Owner) < 0) throw Exception("Command context not found");
    FreeContext(Rec.Owner);
    PublishCounts();
}

bool TZELService::IsCommandContext(const TZELSVCWrkCtxBase* Context) const noexcept {
    return CommandContexts_.IndexOf(Context) >= 0;
}

void TZELService::AbortUndefinedConnections(TZELSVCDisconnectCause Cause) {
    for (int32_t i = UndefinedList_.Count() - 1; i >= 0; --i) {
        auto* ctx = static_cast<TZELSVCWrkCtxBase*>(UndefinedList_.Get(i));
        if (!ctx->ClosedPosted()) ctx->AbortWithCause(Cause);
    }
}

void TZELService::StopUndefinedConnections() {
    ConnectionsStopped_ = true;
    AbortUndefinedConnections(TZELSVCDisconnectCause::fsdc_ServerStopped);
}

// ---------------------------------------------------------------------------------------------
// Workers.

TZELSVCWorkerSlot* TZELService::FindWorker(const void* Worker) noexcept {
    const auto* w = static_cast<const TZELSVCWorkerBase*>(Worker);
    if (!w) return nullptr;
    const int32_t n = w->Number();
    if (n >= 0 && n < WorkerListCount() && Workers_[static_cast<size_t>(n)].Worker.get() == w)
        return &Workers_[static_cast<size_t>(n)];
    return nullptr;
}

void TZELService::PublishCounts() noexcept {
    PublishContextCounts(CommandContexts_.Count(), WorkerListCount());
}

TZELSVCWorkerBase* TZELService::CreateWorker() {
    if (WorkersTerminated_) throw Exception("Service is terminating");
    if (!Factory_) throw Exception("No factory");
    TZELSVCWorkerSlot slot;
    slot.Worker = Factory_->CreateWorker(*this);
    slot.FreeCount = slot.Worker->Capacity();
    TZELSVCWorkerBase* w = slot.Worker.get();
    Workers_.push_back(std::move(slot));
    RenumberWorkers();
    try {
        w->StartWorker();
    } catch (...) {
        Workers_.pop_back();
        throw;
    }
    PublishCounts();
    return w;
}

void TZELService::RenumberWorkers() {
    for (int32_t i = WorkerListCount() - 1; i >= 0; --i) Workers_[static_cast<size_t>(i)].Worker->SetNumber(i);
}

TZELSVCWorkerBase* TZELService::AssignToWorker(TZELSVCWrkCtxBase* Context) {
    TZELSVCWorkerSlot* slot = nullptr;
    // A worker that is ending never serves a new context.
    for (TZELSVCWorkerSlot& s : Workers_)
        if (s.FreeCount > 0 && !s.Worker->WorkerTerminated()) {
            slot = &s;
            break;
        }
    if (!slot) slot = FindWorker(CreateWorker());
    slot->Worker->PostNewContext(Context);
    --slot->FreeCount;
    return slot->Worker.get();
}

void TZELService::WorkerClosedContext(TZELSVCNetQueueRecord& Rec) {
    TZELSVCWorkerSlot* w = FindWorker(Rec.Obj1);
    if (!w) return;
    ++w->FreeCount;
    // An ending worker takes nothing over.
    if (w->Worker->WorkerTerminated()) return;
    const int32_t from = w->Worker->Number();
    for (int32_t i = WorkerListCount() - 1; i > from; --i) {
        TZELSVCWorkerSlot& v = Workers_[static_cast<size_t>(i)];
        const int32_t used = v.Used();
        if (used < 0) throw Exception("Wrong active clients in worker");
        if (used == 0 || v.Worker->WorkerTerminated()) continue;
        --w->FreeCount;
        ++w->ReservedCount;
        v.Worker->PostReturnEntry(w->Worker.get());
        return;
    }
}

void TZELService::WorkerHandOverContext(TZELSVCNetQueueRecord& Rec) {
    if (TZELSVCWorkerSlot* source = FindWorker(Rec.Obj1)) ++source->FreeCount;
    TZELSVCWorkerSlot* target = FindWorker(Rec.Obj2);
    if (!target) {
        // The worker that asked ended meanwhile: nobody serves the context any more.
        Rec.Owner->StopUnserved(TZELSVCDisconnectCause::fsdc_ServerStopped);
        return;
    }
    --target->ReservedCount;
    // Set before the worker is told, so that output queued meanwhile marks the new worker.
    Rec.Owner->SetWorker(target->Worker.get());
    target->Worker->PostCheckContext(Rec.Owner);
}

void TZELService::WorkerWaiting(TZELSVCNetQueueRecord& Rec) {
    TZELSVCWorkerSlot* w = FindWorker(Rec.Obj1);
    if (!w || w->Worker->WorkerTerminated()) return;
    if (w->FreeCount != w->Worker->Capacity() || w->ReservedCount != 0) return;
    if (KeepHotThread) {
        // The last worker that is not ending stays.
        int32_t live = 0;
        for (const TZELSVCWorkerSlot& s : Workers_) live += s.Worker->WorkerTerminated() ? 0 : 1;
        if (live <= 1) return;
    }
    w->Worker->TerminateWorker();
}

void TZELService::WorkerStopped(TZELSVCNetQueueRecord& Rec) {
    TZELSVCWorkerSlot* w = FindWorker(Rec.Obj1);
    if (!w) return;
    std::unique_ptr<TZELSVCWorkerBase> worker = std::move(w->Worker);
    Workers_.erase(Workers_.begin() + worker->Number());
    RenumberWorkers();
    PublishCounts();
    // Code 52 is the worker's last post: the join is short.
    worker->JoinWorker();
    worker->StopLeftContexts();
}

void TZELService::TerminateWorkers() {
    WorkersTerminated_ = true;
    for (int32_t i = WorkerListCount() - 1; i >= 0; --i) Workers_[static_cast<size_t>(i)].Worker->TerminateWorker();
}

// Shut-down without the timer thread: the workers end, then the contexts they left are freed.
void TZELService::FreeLeftContexts() noexcept {
    for (TZELSVCWorkerSlot& s : Workers_) s.Worker->TerminateWorker();
    for (TZELSVCWorkerSlot& s : Workers_) {
        s.Worker->JoinWorker();
        s.Worker->StopLeftContexts();
    }
    Workers_.clear();
    for (int32_t i = UndefinedList_.Count() - 1; i >= 0; --i)
        FreeContext(static_cast<TZELSVCWrkCtxBase*>(UndefinedList_.Get(i)));
    for (int32_t i = CommandContexts_.Count() - 1; i >= 0; --i)
        FreeContext(static_cast<TZELSVCWrkCtxBase*>(CommandContexts_.Get(i)));
    UndefinedList_ = TZELSortedObjectList();
    CommandContexts_ = TZELSortedObjectList();
}

}  // namespace zel

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

int32_t WorkerUsedCount(const TZELSVCWorkerBase& Worker) noexcept {
    return Worker.Capacity() - Worker.FreeCount() - Worker.ReservedCount();
}

void TZELService::DispatchClientsRecord(std::unique_ptr<TZELSVCNetQueueRecord>& Rec) {
    TZELSVCNetQueueRecord& r = *Rec;
    switch (r.Command) {
    case C::fsnq_NewCommandConnection:
        NewConnection(r, false);
        return;
    case C::fsnq_NewClientConnection:
        NewConnection(r, true);
        return;
    case C::fsnq_ClientHandshakeDone:
        ClientHandshakeDone(Rec);
        return;
    case C::fsnq_LoginRefused:
        r.Owner->SendFinalAnswer(r.Text1);
        return;
    case C::fsnq_ClientDisconnected:
        ClientDisconnected(Rec);
        return;
    case C::fsnq_CommandDisconnected:
        CommandDisconnected(r);
        return;
    case C::fsnq_CreateWorker:
        if (KeepHotThread && Workers_.empty() && !WorkersTerminated_) CreateWorker();
        return;
    case C::fsnq_WorkerClosedContext:
        WorkerClosedContext(r);
        return;
    case C::fsnq_WorkerNoContext:
        if (TZELSVCWorkerBase* t = FindWorker(r.Obj2)) t->SetCounts(t->FreeCount() + 1, t->ReservedCount() - 1);
        return;
    case C::fsnq_WorkerHandOverContext:
        WorkerHandOverContext(r);
        return;
    case C::fsnq_WorkerWaiting:
        WorkerWaiting(r);
        return;
    case C::fsnq_WorkerStopped:
        WorkerStopped(r);
        return;
    case C::fsnq_ServiceTerminate:
        TerminateWorkers();
        return;
    default:
        return;
    }
}

// ---------------------------------------------------------------------------------------------
// New connections (codes 36 and 37).

void TZELService::NewConnection(TZELSVCNetQueueRecord& Rec, bool Client) {
    TZELSVCDisconnectCause cause = TZELSVCDisconnectCause::fsdc_DisconnectWithoutAuth;
    std::string message;
    AnsiString key;
    // Once stopped (code 53 is on its way) nothing may be added: the end waits for every
    // connection, and nothing would abort this one.
    if (!ServiceStarted()) cause = TZELSVCDisconnectCause::fsdc_ServerStopped;
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
    if (!Client && cause == TZELSVCDisconnectCause::fsdc_DisconnectWithoutAuth &&
        CommandContexts_.Count() >= MaxCommandConnections)
        cause = TZELSVCDisconnectCause::fsdc_MaxCommandConnections;
    std::unique_ptr<TZELSVCWrkCtxBase> ctx;
    TZELSortedObjectList& list = Client ? UndefinedConnections_ : CommandContexts_;
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

// ---------------------------------------------------------------------------------------------
// Client codes 38 and 40, command code 41.

void TZELService::ClientHandshakeDone(std::unique_ptr<TZELSVCNetQueueRecord>& Rec) {
    TZELSVCWrkCtxBase* ctx = Rec->Owner;
    TZELSVCNetworkBase* net = ctx->Network();
    if (net && UndefinedConnections_.Remove(ctx) >= 0) {
        ForwardToNetwork(net, Rec);
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
    if (UndefinedConnections_.Remove(ctx) >= 0) {
        LogDisconnect(*ctx, true);
        FreeContext(ctx);
        DecConnectionCount();
        return;
    }
    if (TZELSVCNetworkBase* net = ctx->Network()) {
        // The network finishes the disconnect (and frees the context).
        ForwardToNetwork(net, Rec);
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

void TZELService::AbortUndefinedConnections(TZELSVCDisconnectCause Cause) {
    for (int32_t i = UndefinedConnections_.Count() - 1; i >= 0; --i) {
        auto* ctx = static_cast<TZELSVCWrkCtxBase*>(UndefinedConnections_.Get(i));
        if (!ctx->ClosedPosted()) ctx->AbortWithCause(Cause);
    }
}

void TZELService::CloseCommandContexts(TZELSVCDisconnectCause Cause) {
    // The end waits for every command context: one that a peer keeps busy must still go.
    for (int32_t i = CommandContexts_.Count() - 1; i >= 0; --i) {
        auto* ctx = static_cast<TZELSVCWrkCtxBase*>(CommandContexts_.Get(i));
        if (!ctx->ClosedPosted()) ctx->CloseWhenSent(Cause);
    }
}

// ---------------------------------------------------------------------------------------------
// Workers.

TZELSVCWorkerBase* TZELService::FindWorker(const void* Worker) const noexcept {
    // By identity alone: a record may name a worker that code 52 has joined and freed, which must
    // not be touched (not even its number read) before it is found in the list.
    if (!Worker) return nullptr;
    for (const auto& w : Workers_)
        if (static_cast<const void*>(w.get()) == Worker) return w.get();
    return nullptr;
}

void TZELService::PublishCounts() noexcept {
    PublishContextCounts(CommandContexts_.Count(), static_cast<int32_t>(Workers_.size()));
}

TZELSVCWorkerBase* TZELService::CreateWorker() {
    if (WorkersTerminated_) throw Exception("Service is terminating");
    if (!Factory_) throw Exception("No factory");
    std::unique_ptr<TZELSVCWorkerBase> made = Factory_->CreateWorker(*this);
    TZELSVCWorkerBase* w = made.get();
    w->SetCounts(w->Capacity(), 0);
    Workers_.push_back(std::move(made));
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
    for (size_t i = Workers_.size(); i-- > 0;) Workers_[i]->SetNumber(static_cast<int32_t>(i));
}

TZELSVCWorkerBase* TZELService::AssignToWorker(TZELSVCWrkCtxBase* Context) {
    TZELSVCWorkerBase* w = nullptr;
    // A worker that is ending never serves a new context.
    for (const auto& p : Workers_)
        if (p->FreeCount() > 0 && !p->WorkerTerminated()) {
            w = p.get();
            break;
        }
    if (!w) w = CreateWorker();
    w->PostNewContext(Context);
    w->SetCounts(w->FreeCount() - 1, w->ReservedCount());
    return w;
}

void TZELService::WorkerClosedContext(TZELSVCNetQueueRecord& Rec) {
    TZELSVCWorkerBase* w = FindWorker(Rec.Obj1);
    if (!w) return;
    w->SetCounts(w->FreeCount() + 1, w->ReservedCount());
    // An ending worker takes nothing over.
    if (w->WorkerTerminated()) return;
    for (int32_t i = static_cast<int32_t>(Workers_.size()) - 1; i > w->Number(); --i) {
        TZELSVCWorkerBase& v = *Workers_[static_cast<size_t>(i)];
        const int32_t used = WorkerUsedCount(v);
        if (used < 0) throw Exception("Wrong active clients in worker");
        if (used == 0 || v.WorkerTerminated()) continue;
        w->SetCounts(w->FreeCount() - 1, w->ReservedCount() + 1);
        v.PostReturnEntry(w);
        return;
    }
}

void TZELService::WorkerHandOverContext(TZELSVCNetQueueRecord& Rec) {
    if (TZELSVCWorkerBase* source = FindWorker(Rec.Obj1))
        source->SetCounts(source->FreeCount() + 1, source->ReservedCount());
    TZELSVCWorkerBase* target = FindWorker(Rec.Obj2);
    if (!target) {
        // The worker that asked ended meanwhile: nobody serves the context any more.
        Rec.Owner->StopUnserved(TZELSVCDisconnectCause::fsdc_ServerStopped);
        return;
    }
    target->SetCounts(target->FreeCount(), target->ReservedCount() - 1);
    // Set before the worker is told, so that output queued meanwhile marks the new worker.
    Rec.Owner->SetWorker(target);
    target->PostCheckContext(Rec.Owner);
}

void TZELService::WorkerWaiting(TZELSVCNetQueueRecord& Rec) {
    TZELSVCWorkerBase* w = FindWorker(Rec.Obj1);
    if (!w || w->WorkerTerminated()) return;
    if (w->FreeCount() != w->Capacity() || w->ReservedCount() != 0) return;
    if (KeepHotThread) {
        // The last worker that is not ending stays.
        int32_t live = 0;
        for (const auto& p : Workers_) live += p->WorkerTerminated() ? 0 : 1;
        if (live <= 1) return;
    }
    w->TerminateWorker();
}

void TZELService::WorkerStopped(TZELSVCNetQueueRecord& Rec) {
    TZELSVCWorkerBase* w = FindWorker(Rec.Obj1);
    if (!w) return;
    std::unique_ptr<TZELSVCWorkerBase> worker = std::move(Workers_[static_cast<size_t>(w->Number())]);
    Workers_.erase(Workers_.begin() + w->Number());
    RenumberWorkers();
    PublishCounts();
    // Code 52 is the worker's last post: the join is short.
    worker->JoinWorker();
    worker->StopLeftContexts();
}

void TZELService::TerminateWorkers() {
    WorkersTerminated_ = true;
    for (size_t i = Workers_.size(); i-- > 0;) Workers_[i]->TerminateWorker();
}

// Shut-down without the timer thread: the workers end, then the contexts they left are freed.
void TZELService::FreeLeftContexts() noexcept {
    for (const auto& p : Workers_) p->TerminateWorker();
    for (const auto& p : Workers_) {
        p->JoinWorker();
        p->StopLeftContexts();
    }
    Workers_.clear();
    for (int32_t i = UndefinedConnections_.Count() - 1; i >= 0; --i) {
        FreeContext(static_cast<TZELSVCWrkCtxBase*>(UndefinedConnections_.Get(i)));
        DecConnectionCount();
    }
    for (int32_t i = CommandContexts_.Count() - 1; i >= 0; --i)
        FreeContext(static_cast<TZELSVCWrkCtxBase*>(CommandContexts_.Get(i)));
    UndefinedConnections_ = TZELSortedObjectList();
    CommandContexts_ = TZELSortedObjectList();
    PublishCounts();
}

}  // namespace zel

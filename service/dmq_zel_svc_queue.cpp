#include "service/dmq_zel_svc_queue.hpp"

#include <memory>
#include <utility>

#include "net/dmq_sock.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_listener_snps.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_svc_timer.hpp"

namespace zel {

TZELSVCListPayload::~TZELSVCListPayload() = default;

namespace {

bool CarriesSocket(TZELSVCNetQueueCommand c) {
    return c == TZELSVCNetQueueCommand::fsnq_NewCommandConnection ||
           c == TZELSVCNetQueueCommand::fsnq_NewClientConnection;
}

std::unique_ptr<TZELSVCNetQueueRecord> NewRecord(TZELSVCNetQueueCommand Command) {
    auto r = std::make_unique<TZELSVCNetQueueRecord>();
    r->Command = Command;
    return r;
}

}  // namespace

TZELSVCNetQueueRecord::~TZELSVCNetQueueRecord() {
    if (CarriesSocket(Command) && Value1 >= 0) SockCloseVar(Value1);
}

int TZELSVCNetQueueRecord::TakeSocket() noexcept {
    const int h = Value1;
    Value1 = -1;
    return h;
}

// ---------------------------------------------------------------------------------------------
// Posters.

void TZELService::PostServQueue(std::unique_ptr<TZELSVCNetQueueRecord>&& Rec, bool Wake) {
    ServQueue_.Push(std::move(Rec));
    if (Wake) Timer_->Wake();
}

void TZELService::PostDirty(TZELSVCNetQueueCommand Command) { PostServQueue(NewRecord(Command)); }

void TZELService::PostDirtyAdmins() { PostDirty(TZELSVCNetQueueCommand::fsnq_DirtyAdmins); }
void TZELService::PostDirtyMutes() { PostDirty(TZELSVCNetQueueCommand::fsnq_DirtyMutes); }
void TZELService::PostDirtyBlocks() { PostDirty(TZELSVCNetQueueCommand::fsnq_DirtyBlocks); }
void TZELService::PostDirtyRights() { PostDirty(TZELSVCNetQueueCommand::fsnq_DirtyRights); }
void TZELService::PostDirtyModes() { PostDirty(TZELSVCNetQueueCommand::fsnq_DirtyModes); }
void TZELService::PostDirtyNotices() { PostDirty(TZELSVCNetQueueCommand::fsnq_DirtyNotices); }
void TZELService::PostDirtyOwner() { PostDirty(TZELSVCNetQueueCommand::fsnq_DirtyOwner); }

void TZELService::PostCommandReply(TZELSVCWrkCtxBase* Requester, uint32_t Id, AnsiView Text) {
    auto r = NewRecord(TZELSVCNetQueueCommand::fsnq_CommandReply);
    r->Owner = Requester;
    r->OwnerId = Id;
    r->Text1.assign(Text);
    PostServQueue(std::move(r));
}

void TZELService::PostNewConnection(TZELSVCNetQueueCommand Command, int Socket, AnsiView Address, int32_t Port,
                                    int32_t Extra) {
    std::unique_ptr<TZELSVCNetQueueRecord> r;
    try {
        r = std::make_unique<TZELSVCNetQueueRecord>();
    } catch (...) {
        SockCloseVar(Socket);
        throw;
    }
    // From here on the record owns the socket and closes it should posting fail.
    r->Command = Command;
    r->Value1 = Socket;
    r->Value2 = Port;
    r->Value3 = Extra;
    r->Text1.assign(Address);
    PostServQueue(std::move(r));
}

void TZELService::PostNewCommandConnection(int Socket, AnsiView Address, int32_t Port, int32_t Extra) {
    PostNewConnection(TZELSVCNetQueueCommand::fsnq_NewCommandConnection, Socket, Address, Port, Extra);
}

void TZELService::PostNewClientConnection(int Socket, AnsiView Address, int32_t Port, int32_t Extra) {
    PostNewConnection(TZELSVCNetQueueCommand::fsnq_NewClientConnection, Socket, Address, Port, Extra);
}

void TZELService::PostServiceTerminate() { PostServQueue(NewRecord(TZELSVCNetQueueCommand::fsnq_ServiceTerminate)); }

// ---------------------------------------------------------------------------------------------
// Posters of the worker threads (codes 47 to 52).

void TZELService::PostCreateWorker() { PostServQueue(NewRecord(TZELSVCNetQueueCommand::fsnq_CreateWorker)); }

namespace {

std::unique_ptr<TZELSVCNetQueueRecord> WorkerRecord(TZELSVCNetQueueCommand Command, TZELSVCWorkerBase* Obj1,
                                                    TZELSVCWorkerBase* Obj2) {
    auto r = NewRecord(Command);
    r->Obj1 = Obj1;
    r->Obj2 = Obj2;
    return r;
}

}  // namespace

void TZELService::PostWorkerClosedContexts(TZELSVCWorkerBase* Worker) {
    PostServQueue(WorkerRecord(TZELSVCNetQueueCommand::fsnq_WorkerClosedContext, Worker, nullptr));
}

void TZELService::PostWorkerNoContext(TZELSVCWorkerBase* Target) {
    PostServQueue(WorkerRecord(TZELSVCNetQueueCommand::fsnq_WorkerNoContext, nullptr, Target));
}

void TZELService::PostWorkerHandOverContext(TZELSVCWorkerBase* Source, TZELSVCWorkerBase* Target,
                                            TZELSVCWrkCtxBase* Context) {
    auto r = WorkerRecord(TZELSVCNetQueueCommand::fsnq_WorkerHandOverContext, Source, Target);
    r->Owner = Context;
    PostServQueue(std::move(r));
}

void TZELService::PostWorkerWaiting(TZELSVCWorkerBase* Worker) {
    PostServQueue(WorkerRecord(TZELSVCNetQueueCommand::fsnq_WorkerWaiting, Worker, nullptr));
}

void TZELService::PostWorkerStopped(TZELSVCWorkerBase* Worker) {
    PostServQueue(WorkerRecord(TZELSVCNetQueueCommand::fsnq_WorkerStopped, Worker, nullptr));
}

void TZELService::StopService() {
    if (!ServiceStarted_.exchange(false, std::memory_order_acq_rel)) return;
    Listener_->StopListening();
    PostServQueue(NewRecord(TZELSVCNetQueueCommand::fsnq_ServiceStop));
}

void TZELService::StopServiceAndListener() {
    StopService();
    Listener_->TerminateAndWakeUp();
}

// ---------------------------------------------------------------------------------------------
// Posters of the client and command contexts (codes 38 to 41).

void TZELService::PostClientHandshakeDone(TZELSVCWrkCtxBase* Context) {
    auto r = NewRecord(TZELSVCNetQueueCommand::fsnq_ClientHandshakeDone);
    r->Owner = Context;
    PostServQueue(std::move(r));
}

void TZELService::PostLoginRefused(TZELSVCWrkCtxBase* Context, AnsiView Answer) {
    auto r = NewRecord(TZELSVCNetQueueCommand::fsnq_LoginRefused);
    r->Owner = Context;
    r->Text1.assign(Answer);
    PostServQueue(std::move(r));
}

namespace {

// The record is made before the flag is taken, so that a failed allocation leaves the flag clear
// for a later attempt.
std::unique_ptr<TZELSVCNetQueueRecord> NewClosedRecord(TZELSVCNetQueueCommand Command, TZELSVCWrkCtxBase* Context,
                                                       void* Value) {
    auto r = NewRecord(Command);
    if (!Context->MarkClosedPosted()) return nullptr;
    r->Owner = Context;
    r->Obj1 = Value;
    return r;
}

}  // namespace

bool TZELService::PostContextClosed(TZELSVCWrkCtxBase* Context, void* Value) {
    auto r = NewClosedRecord(TZELSVCNetQueueCommand::fsnq_ClientDisconnected, Context, Value);
    if (!r) return false;
    PostServQueue(std::move(r));
    return true;
}

bool TZELService::PostCommandContextClosed(TZELSVCWrkCtxBase* Context, void* Value) {
    auto r = NewClosedRecord(TZELSVCNetQueueCommand::fsnq_CommandDisconnected, Context, Value);
    if (!r) return false;
    PostServQueue(std::move(r));
    return true;
}

}  // namespace zel

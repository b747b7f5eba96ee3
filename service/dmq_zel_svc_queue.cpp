#include "service/dmq_zel_svc_queue.hpp"

#include <memory>
#include <utility>

#include "net/dmq_sock.hpp"
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

// ---- System Manager links ----

void TZELService::PostManagerAnswer(TZELSVCWrkCtxBase* Client, uint32_t ClientId, TZELSVCNetworkBase* Network,
                                    int32_t Result, int32_t Index, int32_t Value, AnsiView Text,
                                    AnsiView ClientIdText) {
    auto r = NewRecord(TZELSVCNetQueueCommand::fsnq_ManagerAuthAnswer);
    r->Owner = Client;
    r->OwnerId = ClientId;
    r->Obj2 = Network;
    r->Text1.assign(ClientIdText);
    r->Text2.assign(Text);
    r->Value1 = Result;
    r->Value2 = Index;
    r->Value3 = Value;
    PostServQueue(std::move(r));
}

void TZELService::PostManagerLinkState(int32_t Index, bool Up) {
    auto r = NewRecord(Up ? TZELSVCNetQueueCommand::fsnq_ManagerLinkUp : TZELSVCNetQueueCommand::fsnq_ManagerLinkDown);
    r->Value1 = Index;
    PostServQueue(std::move(r));
}

// ---- end of the System Manager links' posters

void TZELService::StopService() {
    if (!ServiceStarted_.exchange(false, std::memory_order_acq_rel)) return;
    Listener_->StopListening();
    PostServQueue(NewRecord(TZELSVCNetQueueCommand::fsnq_ServiceStop));
}

void TZELService::StopServiceAndListener() {
    StopService();
    Listener_->TerminateAndWakeUp();
}

}  // namespace zel

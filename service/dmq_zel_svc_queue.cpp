#include "service/dmq_zel_svc_queue.hpp"

#include <memory>
#include <utility>

#include "foundation/dmq_exception.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_cmd_proto.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_listener_snps.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_svc_tick.hpp"
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

// A record naming a requester: Owner and the number it carries now.
std::unique_ptr<TZELSVCNetQueueRecord> NewRequest(TZELSVCNetQueueCommand Command, TZELSVCWrkCtxBase* Requester) {
    auto r = NewRecord(Command);
    r->Owner = Requester;
    if (Requester != nullptr) r->OwnerId = Requester->Number();
    return r;
}

TZELSVCNetworkBase* NetworkOf(void* Obj) noexcept { return static_cast<TZELSVCNetworkBase*>(Obj); }

// The changed bit that codes 0 to 5 (with Save) and 6 to 12 set.
constexpr uint32_t kInstallBits[6] = {ZELSVCFlagAdmins, ZELSVCFlagMutes,  ZELSVCFlagBlocks,
                                      ZELSVCFlagRights, ZELSVCFlagModes,  ZELSVCFlagNotices};
constexpr uint32_t kDirtyBits[7] = {ZELSVCFlagAdmins, ZELSVCFlagMutes,   ZELSVCFlagBlocks, ZELSVCFlagRights,
                                    ZELSVCFlagModes,  ZELSVCFlagNotices, ZELSVCFlagOwner};


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

void TZELService::PostInstall(TZELSVCNetQueueCommand Command, std::vector<std::unique_ptr<TZELSVCListPayload>>&& Lists,
                              bool Save) {
    auto r = NewRecord(Command);
    r->Objects = std::move(Lists);
    r->Value1 = Save ? 1 : 0;
    PostServQueue(std::move(r), false);
}

void TZELService::PostInstallAdmins(std::vector<std::unique_ptr<TZELSVCListPayload>>&& Lists, bool Save) {
    PostInstall(TZELSVCNetQueueCommand::fsnq_InstallAdmins, std::move(Lists), Save);
}
void TZELService::PostInstallMutes(std::vector<std::unique_ptr<TZELSVCListPayload>>&& Lists, bool Save) {
    PostInstall(TZELSVCNetQueueCommand::fsnq_InstallMutes, std::move(Lists), Save);
}
void TZELService::PostInstallBlocks(std::vector<std::unique_ptr<TZELSVCListPayload>>&& Lists, bool Save) {
    PostInstall(TZELSVCNetQueueCommand::fsnq_InstallBlocks, std::move(Lists), Save);
}
void TZELService::PostInstallRights(std::vector<std::unique_ptr<TZELSVCListPayload>>&& Lists, bool Save) {
    PostInstall(TZELSVCNetQueueCommand::fsnq_InstallRights, std::move(Lists), Save);
}
void TZELService::PostInstallModes(std::vector<std::unique_ptr<TZELSVCListPayload>>&& Lists, bool Save) {
    PostInstall(TZELSVCNetQueueCommand::fsnq_InstallModes, std::move(Lists), Save);
}
void TZELService::PostInstallNotices(std::vector<std::unique_ptr<TZELSVCListPayload>>&& Lists, bool Save) {
    PostInstall(TZELSVCNetQueueCommand::fsnq_InstallNotices, std::move(Lists), Save);
}

void TZELService::PostToNetwork(TZELSVCNetQueueCommand Command, TZELSVCNetworkBase* Network, AnsiView Text1,
                                AnsiView Text2, int32_t Value1, int32_t Value2) {
    auto r = NewRecord(Command);
    r->Obj2 = Network;
    r->Text1.assign(Text1);
    r->Text2.assign(Text2);
    r->Value1 = Value1;
    r->Value2 = Value2;
    PostServQueue(std::move(r));
}

void TZELService::PostCommandMute(AnsiView ClientId, TZELSVCNetworkBase* Network, int32_t Time, bool On) {
    PostToNetwork(TZELSVCNetQueueCommand::fsnq_CmdMute, Network, {}, ClientId, Time, On ? 1 : 0);
}
void TZELService::PostCommandBlock(AnsiView ClientId, TZELSVCNetworkBase* Network, int32_t Time, bool On) {
    PostToNetwork(TZELSVCNetQueueCommand::fsnq_CmdBlock, Network, {}, ClientId, Time, On ? 1 : 0);
}
void TZELService::PostCommandAdmin(AnsiView ClientId, TZELSVCNetworkBase* Network, bool Add) {
    PostToNetwork(TZELSVCNetQueueCommand::fsnq_CmdAdmin, Network, ClientId, {}, Add ? 1 : 0, 0);
}
void TZELService::PostCommandRight(AnsiView Key, TZELSVCNetworkBase* Network, bool Add) {
    PostToNetwork(TZELSVCNetQueueCommand::fsnq_CmdRight, Network, Key, {}, Add ? 1 : 0, 0);
}
void TZELService::PostCommandRightMark(AnsiView Key, TZELSVCNetworkBase* Network, bool Mark) {
    PostToNetwork(TZELSVCNetQueueCommand::fsnq_CmdRightMark, Network, Key, {}, Mark ? 1 : 0, 0);
}
void TZELService::PostCommandNoticeSet(AnsiView NoticeCharset, AnsiView NoticeUtf8, TZELSVCNetworkBase* Network) {
    PostToNetwork(TZELSVCNetQueueCommand::fsnq_CmdNotice, Network, NoticeCharset, NoticeUtf8, 0, 0);
}
void TZELService::PostCommandNoticeClear(TZELSVCNetworkBase* Network) {
    PostToNetwork(TZELSVCNetQueueCommand::fsnq_CmdNotice, Network, {}, {}, 0, 0);
}
void TZELService::PostCommandSetServerManagerMode(int32_t Mode) {
    PostToNetwork(TZELSVCNetQueueCommand::fsnq_SetServerManagerMode, nullptr, {}, {}, Mode, 0);
}
void TZELService::PostCommandSetNetManagerMode(TZELSVCNetworkBase* Network, int32_t Mode) {
    PostToNetwork(TZELSVCNetQueueCommand::fsnq_SetNetManagerMode, Network, {}, {}, Mode, 0);
}

void TZELService::PostRequest(TZELSVCNetQueueCommand Command, TZELSVCWrkCtxBase* Requester,
                              TZELSVCNetworkBase* Network, int32_t Value1) {
    auto r = NewRequest(Command, Requester);
    r->Obj2 = Network;
    r->Value1 = Value1;
    PostServQueue(std::move(r));
}

void TZELService::PostCommandConnMode(TZELSVCNetworkBase* Network, int32_t Mode, TZELSVCWrkCtxBase* Requester) {
    PostRequest(TZELSVCNetQueueCommand::fsnq_CmdConnMode, Requester, Network, Mode);
}
void TZELService::PostCommandTalkMode(TZELSVCNetworkBase* Network, int32_t Mode, TZELSVCWrkCtxBase* Requester) {
    PostRequest(TZELSVCNetQueueCommand::fsnq_CmdTalkMode, Requester, Network, Mode);
}
void TZELService::PostCommandListNetwork(TZELSVCNetworkBase* Network, TZELSVCWrkCtxBase* Requester) {
    PostRequest(TZELSVCNetQueueCommand::fsnq_CmdListNetwork, Requester, Network, 0);
}
void TZELService::PostCommandListAll(TZELSVCWrkCtxBase* Requester) {
    PostRequest(TZELSVCNetQueueCommand::fsnq_CmdListAll, Requester, nullptr, 0);
}
void TZELService::PostCommandThreads(TZELSVCWrkCtxBase* Requester) {
    PostRequest(TZELSVCNetQueueCommand::fsnq_CmdThreads, Requester, nullptr, 0);
}
void TZELService::PostCommandFlushData(TZELSVCWrkCtxBase* Requester) {
    PostRequest(TZELSVCNetQueueCommand::fsnq_CmdFlushData, Requester, nullptr, 0);
}
void TZELService::PostCommandDisconnectManagerByIndex(int32_t Index, TZELSVCWrkCtxBase* Requester) {
    PostRequest(TZELSVCNetQueueCommand::fsnq_CmdDisconnectManagerByIndex, Requester, nullptr, Index);
}

void TZELService::PostCommandDisconnectManagerByAddress(AnsiView Address, int32_t Port,
                                                        TZELSVCWrkCtxBase* Requester) {
    auto r = NewRequest(TZELSVCNetQueueCommand::fsnq_CmdDisconnectManagerByAddress, Requester);
    r->Text1.assign(Address);
    r->Value1 = Port;
    PostServQueue(std::move(r));
}

void TZELService::PostCommandDisconnect(TZELSVCNetworkBase* Network, AnsiView ClientId, TZELSVCWrkCtxBase* Requester) {
    auto r = NewRequest(TZELSVCNetQueueCommand::fsnq_CmdDisconnect, Requester);
    r->Obj2 = Network;
    r->Text1.assign(ClientId);
    PostServQueue(std::move(r));
}

void TZELService::PostClientMoveRequest(TZELSVCWrkCtxBase* Requester, TZELSVCNetworkBase* Target, AnsiView ClientId,
                                        int32_t Time) {
    auto r = NewRequest(TZELSVCNetQueueCommand::fsnq_MoveClient, Requester);
    r->Obj2 = Target;
    r->Text1.assign(ClientId);
    r->Value1 = Time;
    PostServQueue(std::move(r));
}

void TZELService::PostCommandMoveClient(TZELSVCWrkCtxBase* Requester, TZELSVCNetworkBase* Source,
                                        TZELSVCNetworkBase* Target, AnsiView ClientId, int32_t Time) {
    auto r = NewRequest(TZELSVCNetQueueCommand::fsnq_CmdMoveClient, Requester);
    r->Obj1 = Source;
    r->Obj2 = Target;
    r->Text1.assign(ClientId);
    r->Value1 = Time;
    PostServQueue(std::move(r));
}

void TZELService::PostCountdownExpired(TZELSVCWrkCtxBase* Client, TZELSVCNetworkBase* Network,
                                       TZELSVCNetworkBase* Home) {
    auto r = NewRecord(TZELSVCNetQueueCommand::fsnq_CountdownExpired);
    r->Owner = Client;
    r->Obj1 = Network;
    r->Obj2 = Home;
    PostServQueue(std::move(r));
}

void TZELService::PostClientCommand(TZELSVCNetQueueCommand Command, TZELSVCWrkCtxBase* Context,
                                    const TZELSVCClientCommandArgs& Args) {
    auto r = NewRequest(Command, Context);
    r->Obj1 = Args.Obj1;
    r->Obj2 = Args.Obj2;
    r->Text1.assign(Args.Text1);
    r->Text2.assign(Args.Text2);
    r->Text3.assign(Args.Text3);
    r->Value1 = Args.Value1;
    r->Value2 = Args.Value2;
    r->Value3 = Args.Value3;
    PostServQueue(std::move(r));
}

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

// The dispatcher (timer thread).

void TZELService::DispatchServiceQueue() {
    std::unique_ptr<TZELSVCNetQueueRecord> batch[kServQueueBatch];
    const int32_t n = ServQueue_.PopMany(batch, kServQueueBatch);
    // One record's failure costs only that record: a lost close or worker record would leak its
    // context and counts, so that the server never ends.
    for (int32_t i = 0; i < n; ++i) {
        GuardedCall([&] { DispatchRecord(batch[i]); },
                    [this](const char* ClassName, const std::string& Message) { LogTickError(ClassName, Message); });
        batch[i].reset();
    }
}

void TZELService::DispatchRecord(std::unique_ptr<TZELSVCNetQueueRecord>& Rec) {
    using C = TZELSVCNetQueueCommand;
    TZELSVCNetQueueRecord& r = *Rec;
    const int code = static_cast<int>(r.Command);
    if (code >= ZELSVCFirstNetworkCode && code <= ZELSVCLastNetworkCode) {
        if (r.Owner != nullptr) ForwardToNetwork(r.Owner->Network(), Rec);
        return;
    }
    switch (r.Command) {
        case C::fsnq_InstallAdmins: case C::fsnq_InstallMutes: case C::fsnq_InstallBlocks:
        case C::fsnq_InstallRights: case C::fsnq_InstallModes: case C::fsnq_InstallNotices:
            InstallLists(r);
            return;
        case C::fsnq_DirtyAdmins: case C::fsnq_DirtyMutes: case C::fsnq_DirtyBlocks: case C::fsnq_DirtyRights:
        case C::fsnq_DirtyModes: case C::fsnq_DirtyNotices: case C::fsnq_DirtyOwner:
            Flags_ |= kDirtyBits[code - static_cast<int>(C::fsnq_DirtyAdmins)];
            return;
        case C::fsnq_CmdMute: case C::fsnq_CmdBlock: case C::fsnq_CmdAdmin: case C::fsnq_CmdRight:
        case C::fsnq_CmdRightMark: case C::fsnq_CmdNotice: case C::fsnq_CmdConnMode: case C::fsnq_CmdTalkMode:
        case C::fsnq_SetNetManagerMode: case C::fsnq_ManagerAuthAnswer:
            ForwardToNetwork(NetworkOf(r.Obj2), Rec);
            return;
        case C::fsnq_CmdListNetwork:
            if (LiveRequester(r)) SendListAnswer(*r.Owner, NetworkOf(r.Obj2));
            return;
        case C::fsnq_CmdListAll:
            if (LiveRequester(r)) SendListAnswer(*r.Owner, nullptr);
            return;
        case C::fsnq_CmdThreads:
            if (LiveRequester(r)) SendThreadsAnswer(*r.Owner);
            return;
        case C::fsnq_CmdFlushData:
            // Saved in every case: a requester that left meanwhile still asked for it.
            Flags_ |= ZELSVCFlagAllListsButOwner | ZELSVCFlagFlushAnswers;
            if (LiveRequester(r)) {
                FlusherQueue_.PushContext(r.Owner);
                ++FlushItemsPending_;
            }
            return;
        case C::fsnq_Unposted25: case C::fsnq_Unposted32:
            if (r.Owner != nullptr) ForwardToNetwork(r.Owner->Network(), Rec);
            return;
        case C::fsnq_SetServerManagerMode:
            // Forwarded even when it repeats the last one: a network may have been given another
            // mode of its own since, and the server-wide word brings it back.
            if (r.Value1 < 0 || r.Value1 > 3) return;
            ServerManagerMode_ = static_cast<TZELSystemManagerMode>(r.Value1);
            PostToNetworks(C::fsnq_SetServerManagerMode, r.Value1);
            return;
        case C::fsnq_MoveClient: case C::fsnq_CmdMoveClient: case C::fsnq_CountdownExpired:
            DispatchMoveRecord(Rec);
            return;
        case C::fsnq_CommandReply:
            if (LiveRequester(r)) r.Owner->SendCommandText(r.Text1);
            return;
        case C::fsnq_CmdDisconnectManagerByIndex: case C::fsnq_CmdDisconnectManagerByAddress: {
            const bool indexValid =
                r.Command == C::fsnq_CmdDisconnectManagerByAddress || (r.Value1 >= 0 && r.Value1 <= 2);
            if (!indexValid || !HandOverManagerDisconnect(r))
                PostCommandReply(r.Owner, r.OwnerId,
                                 ChannelCommandAnswerInfo(TZELChannelCommandAnswer::fsca_NotConnectedToServer).Wire);
            return;
        }
        case C::fsnq_CmdDisconnect:
            DisconnectCommand(Rec);
            return;
        case C::fsnq_NewCommandConnection: case C::fsnq_NewClientConnection: case C::fsnq_ClientHandshakeDone:
        case C::fsnq_LoginRefused: case C::fsnq_ClientDisconnected: case C::fsnq_CommandDisconnected:
        case C::fsnq_CreateWorker: case C::fsnq_WorkerClosedContext: case C::fsnq_WorkerNoContext:
        case C::fsnq_WorkerHandOverContext: case C::fsnq_WorkerWaiting: case C::fsnq_WorkerStopped:
        case C::fsnq_ServiceTerminate:
            DispatchClientsRecord(Rec);
            return;
        case C::fsnq_ManagerLinkUp: case C::fsnq_ManagerLinkDown:
            PostToNetworks(r.Command, r.Value1);
            return;
        case C::fsnq_ServiceStop:
            AbortUndefinedConnections(TZELSVCDisconnectCause::fsdc_ServerStopped);
            CloseCommandContexts(TZELSVCDisconnectCause::fsdc_ServerStopped);
            PostToNetworks(C::fsnq_KickAllStopped, 0);
            return;
        default:
            throw Exception(FormatA("Unknown service queue command: %d", code));
    }
}

void TZELService::ForwardToNetwork(TZELSVCNetworkBase* Network, std::unique_ptr<TZELSVCNetQueueRecord>& Rec) {
    if (Network == nullptr) return;
    Network->AddPending(std::move(Rec));
}

void TZELService::PostToNetworks(TZELSVCNetQueueCommand Command, int32_t Value1) {
    for (int32_t i = Networks_.Count() - 1; i >= 0; --i) {
        auto r = NewRecord(Command);
        r->Value1 = Value1;
        Networks_.Networks(i)->AddPending(std::move(r));
    }
}

bool TZELService::LiveRequester(const TZELSVCNetQueueRecord& Rec) const noexcept {
    return Rec.Owner != nullptr && CommandContexts_.IndexOf(static_cast<const void*>(Rec.Owner)) >= 0 &&
           Rec.Owner->Number() == Rec.OwnerId;
}

// Codes 0 to 5: each network gets its own payload in a record of its own, from the last network
// to the first.
void TZELService::InstallLists(TZELSVCNetQueueRecord& Rec) {
    for (int32_t i = Networks_.Count() - 1; i >= 0; --i) {
        auto r = NewRecord(Rec.Command);
        if (static_cast<size_t>(i) < Rec.Objects.size()) r->Payload = std::move(Rec.Objects[static_cast<size_t>(i)]);
        r->Value1 = Rec.Value1;
        Networks_.Networks(i)->AddPending(std::move(r));
    }
    if (Rec.Value1 != 0) Flags_ |= kInstallBits[static_cast<int>(Rec.Command)];
}

void TZELService::DisconnectCommand(std::unique_ptr<TZELSVCNetQueueRecord>& Rec) {
    TZELSVCNetworkBase* network = NetworkOf(Rec->Obj2);
    if (network == nullptr) {
        AbortUndefinedConnections(TZELSVCDisconnectCause::fsdc_ByOwner);
        PostToNetworks(TZELSVCNetQueueCommand::fsnq_KickAllByOwner, 0);
    } else if (Rec->Text1.empty()) {
        network->AddPending(NewRecord(TZELSVCNetQueueCommand::fsnq_KickAllByOwner));
    } else {
        ForwardToNetwork(network, Rec);
    }
}

void TZELService::SendListAnswer(TZELSVCWrkCtxBase& Requester, TZELSVCNetworkBase* Only) {
    std::vector<TZELCmdListBlock> blocks;
    if (Only != nullptr) {
        Only->PrepareCmdList(blocks.emplace_back());
    } else {
        blocks.resize(static_cast<size_t>(Networks_.Count()));
        for (int32_t i = 0; i < Networks_.Count(); ++i) Networks_.Networks(i)->PrepareCmdList(blocks[size_t(i)]);
    }
    StrBldAReset(AnswerBld_);
    AddCmdListAnswer(AnswerBld_, blocks);
    Requester.SendCommandText(StrBldAView(AnswerBld_));
}

void TZELService::SendThreadsAnswer(TZELSVCWrkCtxBase& Requester) {
    std::vector<int32_t> used;
    used.reserve(Workers_.size());
    for (const auto& w : Workers_) used.push_back(w->Capacity() - w->FreeCount() - w->ReservedCount());
    StrBldAReset(AnswerBld_);
    AddCmdThreadsAnswer(AnswerBld_, used);
    Requester.SendCommandText(StrBldAView(AnswerBld_));
}

// ---------------------------------------------------------------------------------------------
// Seams: the defaults keep the record for release.

namespace {
using C = TZELSVCNetQueueCommand;
}  // namespace

void TZELService::DispatchMoveRecord(std::unique_ptr<TZELSVCNetQueueRecord>& Rec) {
    TZELSVCNetQueueRecord& r = *Rec;
    switch (r.Command) {
        case C::fsnq_MoveClient: {
            // The requester must still be a member of its network; one that is leaving is, until
            // its disconnect, which comes after this line.
            TZELSVCNetworkBase* net = r.Owner != nullptr ? r.Owner->Network() : nullptr;
            if (net == nullptr || !net->IsRequestingMember(r.Owner, r.OwnerId)) return;
            r.Obj1 = net;
            MoveClient(r);
            return;
        }
        case C::fsnq_CmdMoveClient:
            if (LiveRequester(r)) MoveClient(r);
            return;
        case C::fsnq_CountdownExpired:
            if (TemporaryMoves_.IndexOf(r.Owner) >= 0) ReturnMovedClient(r);
            return;
        default:
            return;
    }
}

void TZELService::SetOwner(AnsiView ON, AnsiView ON8) {
    ServerOwner_.ON = AnsiString(ON);
    ServerOwner_.ON8 = AnsiString(ON8);
    SetServiceFlags(ZELSVCFlagOwner);
}

bool TZELService::IsNetwork(const void* Obj) const noexcept {
    for (int32_t i = 0; i < Networks_.Count(); ++i)
        if (Networks_.Networks(i) == Obj) return true;
    return false;
}

void TZELService::MoveClient(TZELSVCNetQueueRecord& Rec) {
    const auto answer = [&](TZELChannelCommandAnswer A) {
        // Only a command connection is answered; a client's own request gets no reply line.
        if (Rec.Command == C::fsnq_CmdMoveClient && LiveRequester(Rec))
            Rec.Owner->SendCommandText(ChannelCommandAnswerInfo(A).Wire);
    };
    if (!IsNetwork(Rec.Obj1) || !IsNetwork(Rec.Obj2)) return answer(TZELChannelCommandAnswer::fsca_NoNetwork);
    TZELSVCNetworkBase* source = NetworkOf(Rec.Obj1);
    TZELSVCNetworkBase* target = NetworkOf(Rec.Obj2);
    RunNetworkWhenDue(*source);
    RunNetworkWhenDue(*target);
    TZELSVCWrkCtxBase* client = nullptr;
    const uint8_t found = source->FindActiveClient(Rec.Text1, client);
    if (found == 5) return answer(TZELChannelCommandAnswer::fsca_NotSupported);
    if (found != 0 || client == nullptr) return answer(TZELChannelCommandAnswer::fsca_NoClientOnline);
    if (!target->CanAcceptClient(client)) return answer(TZELChannelCommandAnswer::fsca_Denied);
    if (TemporaryMoves_.IndexOf(client) >= 0) {
        // Only a permanent move home ends a timed move.
        if (client->HomeNetwork() != target || Rec.Value1 >= 1) return answer(TZELChannelCommandAnswer::fsca_Denied);
        TemporaryMoves_.Remove(client);
    } else if (Rec.Value1 > 0) {
        TemporaryMoves_.Add(client);
    }
    source->RemoveClient(client);
    client->SetMoveCountdown(Rec.Value1 > 0 ? Rec.Value1 : 0);
    target->AddMovedClient(client, 1, Rec.Value1 > 0 ? Rec.Value1 : 0);
    answer(TZELChannelCommandAnswer::fsca_OK);
}

void TZELService::ReturnMovedClient(TZELSVCNetQueueRecord& Rec) {
    if (!IsNetwork(Rec.Obj1) || !IsNetwork(Rec.Obj2)) {
        TemporaryMoves_.Remove(Rec.Owner);
        return;
    }
    TZELSVCNetworkBase* current = NetworkOf(Rec.Obj1);
    TZELSVCNetworkBase* home = NetworkOf(Rec.Obj2);
    RunNetworkWhenDue(*current);
    RunNetworkWhenDue(*home);
    // A client freed meanwhile left the list with its disconnect.
    if (TemporaryMoves_.IndexOf(Rec.Owner) < 0) return;
    TZELSVCWrkCtxBase* client = Rec.Owner;
    if (!current->IsActiveMember(client, client->Number()) && client->Network() == current) {
        // Not admitted yet (its verdict, quarantine or first housekeeping still ahead): the time
        // is over, so it goes home at the first second that finds it a member.
        client->SetMoveCountdown(1);
        return;
    }
    TemporaryMoves_.Remove(client);
    if (!current->IsActiveMember(client, client->Number()) || !home->CanAcceptClient(client)) return;
    current->RemoveClient(client);
    home->AddMovedClient(client, 2, 0);
}
bool TZELService::HandOverManagerDisconnect(const TZELSVCNetQueueRecord& Rec) {
    const int32_t index = Rec.Command == TZELSVCNetQueueCommand::fsnq_CmdDisconnectManagerByIndex
                              ? Rec.Value1
                              : FindManagerLink(Rec.Text1, Rec.Value1);
    if (ManagerLink(index) == nullptr) return false;
    // The link answers the requester itself, by its state ("+OK\r\n" or "-NOTCONNECTED\r\n").
    SysManDisconnectByIndex(index, Rec.Owner, Rec.OwnerId);
    return true;
}

}  // namespace zel

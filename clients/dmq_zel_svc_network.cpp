#include "clients/dmq_zel_svc_network.hpp"

#include <algorithm>
#include <ctime>
#include <new>
#include <string>
#include <utility>

#include "clients/dmq_zel_svc_connect_line.hpp"
#include "clients/dmq_zel_svc_context.hpp"
#include "clients/dmq_zel_svc_context_parrot.hpp"
#include "clients/dmq_zel_svc_packets.hpp"
#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_exception.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_svc_tick.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

namespace {

using DC = TZELSVCDisconnectCause;
using NS = TZELNetClientState;

// Network codes handled here (the service forwards 0 to 5, 38, 40, 44 to 46 and 55 to 83).
using Q = TZELSVCNetQueueCommand;

constexpr uint32_t kRunMs = 500;

// The lines a client may send before it is a member and still have them act: one batch of the
// service tick; it is a member at the next housekeeping, at most 500 ms after its client ready.
constexpr int32_t kMaxDeferredLines = 32;

// The commands a client sends in its lines (codes 62 to 80), run by RunClientCommand.
bool IsClientCommand(Q Code) {
    switch (Code) {
        case Q::fsnq_ClientMessage: case Q::fsnq_ClientMessageExt: case Q::fsnq_ClientMute: case Q::fsnq_ClientUnmute:
        case Q::fsnq_ClientBlock: case Q::fsnq_ClientUnblock: case Q::fsnq_ClientAddAdmin:
        case Q::fsnq_ClientDeleteAdmin: case Q::fsnq_ClientConnModeOn: case Q::fsnq_ClientConnModeOff:
        case Q::fsnq_ClientTalkModeOn: case Q::fsnq_ClientTalkModeOff: case Q::fsnq_ClientAddRight:
        case Q::fsnq_ClientDeleteRight: case Q::fsnq_ClientMarkRight: case Q::fsnq_ClientUnmarkRight:
        case Q::fsnq_ClientNotice: case Q::fsnq_ClientNoticeUtf8:
            return true;
        default:
            return false;
    }
}

UnicodeView StateName(NS S) {
    switch (S) {
        case NS::ncs_None: return u"none";
        case NS::ncs_Newbie: return u"newbie";
        case NS::ncs_Quarantine: return u"QUARANTINE";
        case NS::ncs_Approved: return u"approved";
        case NS::ncs_DeleteHold: return u"delete";
        case NS::ncs_Member: return u"visual";
        case NS::ncs_Aborted: return u"aborted";
        case NS::ncs_DisposeHold: return u"dispose";
        case NS::ncs_AwaitingAuth: return u"awaiting";
        case NS::ncs_MovingOut: return u"moving";
    }
    return u"?";
}

// The states a manager's verdict is looked for in.
bool Answerable(NS S) {
    return S == NS::ncs_AwaitingAuth || S == NS::ncs_Newbie || S == NS::ncs_Quarantine || S == NS::ncs_Approved ||
           S == NS::ncs_Member;
}

bool Erase(std::vector<TZELSVCContext*>& G, TZELSVCContext* C) {
    const auto it = std::find(G.begin(), G.end(), C);
    if (it == G.end()) return false;
    G.erase(it);
    return true;
}

uint32_t ApprovedDirtyBits(uint32_t Flags) {
    switch (Flags & ZELClientRoleMask) {
        case ZELClientRoleOwner: return 0x5551;
        case ZELClientRoleAdmin: return 0x51;
        default: return ZELNetDirtyMembers;
    }
}

DC CauseOfResult(uint8_t Result) {
    switch (Result) {
        case ZELLoginWrong: return DC::fsdc_ServerWrongPasssword;
        case ZELLoginBlock: return DC::fsdc_ServerBlock;
        case ZELLoginDupl: return DC::fsdc_ServerDuplicate;
        default: return DC::fsdc_ServerError;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Creation.

TZELServNetwork::TZELServNetwork(TZELService& Service, const TZELServNetworkRec& Rec)
    : S_(Service), Name_(TrimU(Rec.Name)), Options_(Rec.Options), Lists_(Options_.OutputBufferLimit) {
    NameUtf8_ = UnicodeToUtf8A(Name_);
    // The clients see the name (and their owners' e-mails are read) in the network's charset.
    TAnsiUnicodeConverter conv;
    try {
        const UnicodeString cs = NetworkCharsetName(this, S_.GetServerCharsetName());
        if (!cs.empty()) conv.SetCharset(cs);
        NameA_ = conv.FromUnicode(Name_);
    } catch (const std::exception&) {
        NameA_ = NameUtf8_;
    }
    // A level of the network's own holds, even one equal to the server's at start; otherwise the
    // network follows the server's level, which the command port may change.
    if (Options_.LogClientLevelSet) OwnLogLevel_ = Options_.LogClientLevel;
    for (const UnicodeString& mail : Options_.OwnerEMail) {
        const UnicodeString t = TrimU(mail);
        if (!t.empty()) OwnerIds_.push_back(CalcSourceId(UnicodeToUtf8A(t)));
    }
    StrBldAInit(AnswerBld_, 200);
    StrBldAInit(ListBld_, 200);
    StrBldAInit(MemberBld_, 500);
    InitFloor();
    Now_ = S_.CurrentTick();
    LastRun_ = Now_;
    ModeInForce_ = Options_.ManagerMode;
    CheckManagers(7);
    if (Options_.Parrot.ParrotEnable) {
        ParrotBot_ = CreateWrkCtx<TZELSVCContextParrot>(&S_, this);
        ParrotJoin(ParrotBot_.get());
    }
}

TZELServNetwork::~TZELServNetwork() { FreeAll(); }

void TZELServNetwork::FreeAll() noexcept {
    // Only the service's tail gets here with contexts left (their workers are gone).
    std::vector<TZELSVCContext*> all;
    for (auto& [k, c] : Members_) all.push_back(c);
    for (TGroup* g : {&AwaitingAuth_, &Newbies_, &Approved_, &Quarantine_, &Aborted_, &DeleteHold_, &DisposeHold_,
                      &MovingOut_})
        all.insert(all.end(), g->begin(), g->end());
    Members_.clear();
    Answerable_.clear();
    for (TGroup* g : {&AwaitingAuth_, &Newbies_, &Approved_, &Quarantine_, &Aborted_, &DeleteHold_, &DisposeHold_,
                      &MovingOut_})
        g->clear();
    for (TZELSVCContext* c : all)
        if (c != Parrot_) delete c;
    // No worker ever holds the bot: the network that made it frees it.
    Parrot_ = nullptr;
    ParrotBot_.reset();
}

void TZELServNetwork::SetLogHooks(TZELSVCLogHook Info, TZELSVCLogHook Error) {
    Info_ = std::move(Info);
    Error_ = std::move(Error);
}

void TZELServNetwork::LogError(UnicodeView Text) {
    if (Error_)
        Error_(Text);
    else
        S_.NetworksError(Text);
}

bool TZELServNetwork::RereadCompareAttr() const { return S_.RereadCompareAttr; }

int32_t TZELServNetwork::ClientLogLevel() const noexcept {
    return OwnLogLevel_ >= 0 ? OwnLogLevel_ : S_.LogClientLevel.load(std::memory_order_relaxed);
}
AnsiString TZELServNetwork::ServerId() const { return S_.ParrotId(); }

AnsiString TZELServNetwork::MessageText() const {
    switch (Options_.AccessInfoMode) {
        case TZELSVCAccessInfoMode::fsaim_Always: return Notices_.Notice1;
        case TZELSVCAccessInfoMode::fsaim_Never: return AnsiString();
        default: return ConnectionMode_ || TalkMode_ ? Notices_.Notice1 : AnsiString();
    }
}

AnsiString TZELServNetwork::MessageTextUtf8() const {
    switch (Options_.AccessInfoMode) {
        case TZELSVCAccessInfoMode::fsaim_Always: return Notices_.Notice2;
        case TZELSVCAccessInfoMode::fsaim_Never: return AnsiString();
        default: return ConnectionMode_ || TalkMode_ ? Notices_.Notice2 : AnsiString();
    }
}

int32_t TZELServNetwork::SpeechLimitSeconds() const {
    return Options_.SpeechLimit ? static_cast<int32_t>(Options_.MaxSpeechTime / 1000) : 0;
}

bool TZELServNetwork::IsNetOwnerId(AnsiView Id) const {
    return std::find(OwnerIds_.begin(), OwnerIds_.end(), Id) != OwnerIds_.end();
}

// ---------------------------------------------------------------------------------------------
// Groups.

TZELServNetwork::TGroup* TZELServNetwork::GroupOf(NS State) {
    return const_cast<TGroup*>(static_cast<const TZELServNetwork*>(this)->GroupOf(State));
}

const TZELServNetwork::TGroup* TZELServNetwork::GroupOf(NS State) const {
    switch (State) {
        case NS::ncs_Newbie: return &Newbies_;
        case NS::ncs_Quarantine: return &Quarantine_;
        case NS::ncs_Approved: return &Approved_;
        case NS::ncs_DeleteHold: return &DeleteHold_;
        case NS::ncs_Aborted: return &Aborted_;
        case NS::ncs_DisposeHold: return &DisposeHold_;
        case NS::ncs_AwaitingAuth: return &AwaitingAuth_;
        case NS::ncs_MovingOut: return &MovingOut_;
        default: return nullptr;
    }
}

void TZELServNetwork::Enter(TZELSVCContext* C, NS State) {
    if (State == NS::ncs_Member) {
        Members_.emplace(C->SortKey, C);
        Dirty_ |= ZELNetDirtyMembers;
    } else {
        TGroup* g = GroupOf(State);
        // A context is in the group its state names, and only there: no walk of the group.
        if (C->NetState == State) {
            if (State == NS::ncs_DeleteHold) throw Exception("Already in <delete> hold");
            if (State == NS::ncs_DisposeHold) throw Exception("Already in <dispose> hold");
            throw Exception("Already in group");
        }
        g->push_back(C);
    }
    if (Answerable(State)) Answerable_.insert(C);
    C->NetState = State;
}

void TZELServNetwork::Leave(TZELSVCContext* C) {
    if (C->NetState == NS::ncs_Member) {
        const auto it = Members_.find(C->SortKey);
        if (it != Members_.end() && it->second == C) Members_.erase(it);
        // The listed members keep no pointer to a context that may be freed before the next list:
        // its slot stays empty, so the difference still tells the members who left.
        Lists_.Unlist(C);
        Dirty_ |= ZELNetDirtyMembers;
    } else if (TGroup* g = GroupOf(C->NetState)) {
        Erase(*g, C);
        if (C->NetState == NS::ncs_Approved) Dirty_ |= ZELNetDirtyMembers;
    }
    if (Answerable(C->NetState)) Answerable_.erase(C);
    C->NetState = NS::ncs_None;
}

int32_t TZELServNetwork::ClientCount() const noexcept {
    return static_cast<int32_t>(Members_.size() + Newbies_.size() + Quarantine_.size() + Approved_.size());
}

int32_t TZELServNetwork::HeldCount() const noexcept {
    size_t n = Members_.size();
    for (const TGroup* g : {&AwaitingAuth_, &Newbies_, &Approved_, &Quarantine_, &Aborted_, &DeleteHold_,
                            &DisposeHold_, &MovingOut_})
        n += g->size();
    return static_cast<int32_t>(n);
}

int32_t TZELServNetwork::GroupCount(NS State) const noexcept {
    if (State == NS::ncs_Member) return MemberCount();
    const TGroup* g = GroupOf(State);
    return g ? static_cast<int32_t>(g->size()) : 0;
}

std::string TZELServNetwork::CheckGroups() const {
    std::map<const TZELSVCContext*, int> seen;
    for (const auto& [k, c] : Members_) {
        if (c->NetState != NS::ncs_Member || k != c->SortKey) return "member with another state or key";
        ++seen[c];
    }
    for (NS s : {NS::ncs_Newbie, NS::ncs_Quarantine, NS::ncs_Approved, NS::ncs_DeleteHold, NS::ncs_Aborted,
                 NS::ncs_DisposeHold, NS::ncs_AwaitingAuth, NS::ncs_MovingOut}) {
        for (const TZELSVCContext* c : *GroupOf(s)) {
            if (c->NetState != s) return "context in a group its state does not name";
            ++seen[c];
        }
    }
    for (const auto& [c, n] : seen)
        if (n != 1) return "context in more than one group";
    for (const auto& [k, c] : IdIndex_) {
        if (!seen.count(c)) return "id index names a context in no group";
        if (!c->Indexed || c->Id != k) return "id index out of step";
    }
    for (const auto& [k, c] : CallsignIndex_)
        if (!seen.count(c) || c->CallsignKey != k) return "callsign index out of step";
    const std::vector<TZELSVCContext*>& listed = Lists_.Listed();
    for (const TZELSVCContext* c : listed)
        if (c != nullptr && (!seen.count(c) || c->NetState != NS::ncs_Member)) return "listed context not a member";
    for (size_t i = 0; i < listed.size(); ++i)
        if (listed[i] != nullptr && listed[i]->ListIndex != i + 1) return "listed member off its index";
    size_t answerable = 0;
    for (const auto& [c, n] : seen) {
        if (!Answerable(c->NetState)) continue;
        ++answerable;
        if (Answerable_.count(c) == 0) return "waiting context not in the verdict index";
    }
    if (answerable != Answerable_.size()) return "verdict index names a context in no waiting group";
    for (const auto& q : Requests_)
        for (const TZELSVCContext* c : q)
            if (!seen.count(c)) return "list request of a context in no group";
    if (Talker() != nullptr && !seen.count(Talker())) return "talker in no group";
    for (const auto& [c, n] : seen)
        if (c->Indexed && (IdIndex_.count(c->Id) == 0 || IdIndex_.at(c->Id) != c)) return "indexed context not in index";
    return std::string();
}

TZELSVCContext* TZELServNetwork::ClientById(AnsiView Id) const {
    const auto it = IdIndex_.find(AnsiString(Id));
    return it == IdIndex_.end() ? nullptr : it->second;
}

TZELSVCContext* TZELServNetwork::MemberById(AnsiView Id) const {
    const auto it = IdIndex_.find(AnsiString(Id));
    if (it == IdIndex_.end()) return nullptr;
    TZELSVCContext* c = it->second;
    if (c->NetState != NS::ncs_Member || (c->ClientFlags.load() & ZELClientClosing) != 0) return nullptr;
    return c;
}

TZELSVCContext* TZELServNetwork::AdmittedById(AnsiView Id) const {
    const auto it = IdIndex_.find(AnsiString(Id));
    if (it == IdIndex_.end()) return nullptr;
    TZELSVCContext* c = it->second;
    if ((c->ClientFlags.load() & ZELClientClosing) != 0) return nullptr;
    switch (c->NetState) {
        case NS::ncs_Member:
        case NS::ncs_AwaitingAuth:
        case NS::ncs_Newbie:
        case NS::ncs_Quarantine:
        case NS::ncs_Approved:
            return c;
        default:
            return nullptr;
    }
}

TZELSVCContext* TZELServNetwork::AsClient(TZELSVCWrkCtxBase* C) const { return dynamic_cast<TZELSVCContext*>(C); }

// ---------------------------------------------------------------------------------------------
// Exits.

void TZELServNetwork::ExitMembers(TZELSVCContext* C) {
    if (C->NetState == NS::ncs_Member) {
        Leave(C);
        C->ClientFlags.fetch_and(~ZELClientChanged);
    }
    for (auto& q : Requests_) Erase(q, C);
    ReleaseAndFree(C);
    Cache_.Remove(*C);
    // What it was told here means nothing in a network it joins next.
    C->CacheBitmap = 0;
    C->ToldPos = -1;
    C->ToldMsgPos = -1;
    C->ToldTalkerKey = ~uint64_t(0);
    C->ListIndex = 0;
    // The managers that hold a session for the client learn that it left.
    for (int32_t i = 0; i < 3; ++i) {
        if (C->LinkStates[size_t(i)] == 2 && (ActiveMask_ & (1u << i)) != 0) S_.SysManClientLeft(i, C->Id, this);
        C->LinkStates[size_t(i)] = 0;
        C->ManagerInfo[size_t(i)].Answer = 0;
    }
}

void TZELServNetwork::DropMember(TZELSVCContext* C, DC Cause) {
    ExitMembers(C);
    C->ClientFlags.fetch_or(ZELClientClosing);
    Enter(C, NS::ncs_Aborted);
    C->AbortWithCause(Cause);
}

void TZELServNetwork::DeleteHold(TZELSVCContext* C, DC Cause) {
    ExitMembers(C);
    Leave(C);
    C->ClientFlags.fetch_or(ZELClientClosing);
    Enter(C, NS::ncs_DeleteHold);
    C->AbortWithCause(Cause);
}

void TZELServNetwork::DropClient(TZELSVCContext* C, DC Cause) {
    switch (C->NetState) {
        case NS::ncs_Member:
            DropMember(C, Cause);
            return;
        case NS::ncs_AwaitingAuth:
        case NS::ncs_Newbie:
        case NS::ncs_Quarantine:
        case NS::ncs_Approved:
            DeleteHold(C, Cause);
            return;
        default:
            return;
    }
}

void TZELServNetwork::CleanIndexes(TZELSVCContext* C) {
    const auto id = IdIndex_.find(C->Id);
    const bool idMatch = id != IdIndex_.end() && id->second == C;
    auto call = CallsignIndex_.end();
    bool callMatch = true;
    if (Options_.UniqCallsign) {
        call = CallsignIndex_.find(C->CallsignKey);
        callMatch = call != CallsignIndex_.end() && call->second == C;
    }
    if (!(idMatch && callMatch))
        LogError(idMatch || (Options_.UniqCallsign && callMatch) ? u"_CleaningFromDupl: synchro mismatch #1"
                                                                 : u"_CleaningFromDupl: synchro mismatch #0");
    // What maps to this context goes in any case: no index keeps a context that is freed.
    if (idMatch) IdIndex_.erase(id);
    if (Options_.UniqCallsign && call != CallsignIndex_.end() && call->second == C) CallsignIndex_.erase(call);
    for (auto& q : Requests_) Erase(q, C);
    C->Indexed = false;
}

void TZELServNetwork::Dispose(TZELSVCContext* C) {
    Enter(C, NS::ncs_DisposeHold);
    if (C->Indexed) CleanIndexes(C);
}

void TZELServNetwork::ClientDisconnected(TZELSVCContext* C) {
    C->SetDisconnectCause(DC::fsdc_GracefullDisconnect);
    switch (C->NetState) {
        case NS::ncs_DisposeHold:
            throw Exception("Already in <dispose> hold");
        case NS::ncs_None:
            LogError(u"client disconnect: not in a group of its network");
            break;
        default:
            ExitMembers(C);
            Leave(C);
            break;
    }
    Dispose(C);
    if (ClientLogLevel() >= DisconnectCauseInfo(C->Cause()).Level) S_.AddLogLine(C->DisconnectLine(true));
}

void TZELServNetwork::KickAll(DC Cause) {
    std::vector<TZELSVCContext*> members;
    for (auto& [k, c] : Members_)
        if (c != Parrot_) members.push_back(c);
    for (TZELSVCContext* c : members) DropMember(c, Cause);
    for (TGroup* g : {&AwaitingAuth_, &Newbies_, &Approved_, &Quarantine_}) {
        const TGroup copy = *g;
        for (TZELSVCContext* c : copy) DeleteHold(c, Cause);
    }
    Stopped_ = true;
    KickPending_ = true;
}

// ---------------------------------------------------------------------------------------------
// The join.

void TZELServNetwork::LogClient(TZELSVCContext* C, UnicodeView Text, bool Description) {
    TStringBldU b;
    StrBldUAdd(b, C->LogName);
    StrBldUAdd(b, Text);
    if (Description) C->AddLogDescription(b);
    S_.AddLogLine(StrBldUToStr(b));
}

void TZELServNetwork::AddClient(TZELSVCContext* C, int32_t Kind, int32_t MoveTime) {
    if (Kind != ZELJoinLogin) {
        // The origin lets go of the client first: it keeps no pointer to a context it no longer
        // serves, and a client moved away can come back.
        if (C->NetState == NS::ncs_MovingOut)
            if (auto* origin = dynamic_cast<TZELServNetwork*>(C->OriginNet)) origin->Leave(C);
        const UnicodeString charset = C->TextCharset();
        C->Net = this;
        // Its texts are this network's clients' texts now.
        if (C->TextCharset() != charset) C->RemakeNetworkTexts();
    }
    if (S_.LogClientLevel >= 5) {
        if (Kind == ZELJoinLogin) {
            UnicodeString t = u" HANDSHAKE_STR_OK ";
            t += C->LogTextOf(C->ConnectText);
            LogClient(C, t, false);
        } else {
            UnicodeString t;
            if (Kind == ZELJoinMove && MoveTime >= 1) {
                t = u" MOVE_TEMP Time=`" + WidenStrU(std::to_string(MoveTime)) + u"` NetTo=`";
            } else {
                t = Kind == ZELJoinMove ? u" MOVE NetTo=`" : u" MOVE_AUTO_BACK NetTo=`";
            }
            t += Name_;
            t += u"`";
            LogClient(C, t, true);
        }
    }
    const bool moved = Kind != ZELJoinLogin;
    if (Kind == ZELJoinMove && MoveTime >= 1)
        C->HomeNet = C->OriginNet;
    else if (moved)
        C->HomeNet = nullptr;

    uint8_t kind = ZELLoginAccepted;
    DC cause = DC::fsdc_DisconnectWithoutAuth;
    // Capacity counts every client on its way in, so joins within one housekeeping pass cannot
    // overfill the network.
    if (Options_.MaxClients > 0 && ClientCount() >= Options_.MaxClients) {
        kind = ZELLoginError;
        cause = DC::fsdc_NetMaxClients;
    } else if (IdIndex_.count(C->Id) != 0 ||
               (Options_.UniqCallsign && CallsignIndex_.count(C->CallsignKey) != 0)) {
        kind = ZELLoginDupl;
        cause = DC::fsdc_ServerDuplicate;
    } else {
        C->JoinPrepare(*this);
        if (C->HandshakeResult != ZELLoginAccepted) {
            kind = C->HandshakeResult >= ZELLoginError && C->HandshakeResult <= ZELLoginDupl ? C->HandshakeResult
                                                                                            : ZELLoginError;
            cause = CauseOfResult(C->HandshakeResult);
        }
    }
    if (kind != ZELLoginAccepted) {
        if (moved) {
            // A moved client gets no second login answer: it is closed with the cause.
            C->SetDisconnectCause(cause);
            DeleteHold(C, cause);
        } else {
            Refuse(C, kind, cause);
        }
        return;
    }

    C->ListCacheBits = 0;
    IdIndex_.emplace(C->Id, C);
    if (Options_.UniqCallsign) {
        try {
            CallsignIndex_.emplace(C->CallsignKey, C);
        } catch (...) {
            IdIndex_.erase(C->Id);
            throw;
        }
    }
    C->Indexed = true;
    C->JoinTime = Now_;
    C->Moved = moved;
    if (EffectiveMode_ == TZELSystemManagerMode::smm_Standalone) {
        C->ResetManagerAnswers(EffectiveMode_);
        Enter(C, NS::ncs_Newbie);
        if (moved)
            ClientReady(C);
        else
            C->SendAcceptedLogin();
        return;
    }
    C->ResetManagerAnswers(EffectiveMode_);
    C->LinkStates = {};
    Enter(C, NS::ncs_AwaitingAuth);
    S_.SysManAuthenticateClient(C, this);
}

void TZELServNetwork::Refuse(TZELSVCContext* C, uint8_t Kind, DC Cause) {
    C->SetDisconnectCause(Cause);
    C->ClientFlags.fetch_or(ZELClientClosing);
    Leave(C);
    Enter(C, NS::ncs_DeleteHold);
    C->BuildRefusal(AnswerBld_, Kind);
    C->vSendAndClose(StrBldAView(AnswerBld_));
}

uint8_t TZELServNetwork::MemberCanStay(TZELSVCContext* C) {
    const uint32_t flags = C->ClientFlags.load();
    if ((flags & ZELClientRoleMask) == ZELClientRoleOwner || (flags & ZELClientParrot) != 0 || C == Parrot_) return 0;
    const TZELSVCAccess* entry = nullptr;
    if (ConnectionMode_ || TalkMode_) entry = Rights_.Find(C->EMailKey);
    if (ConnectionMode_ && entry == nullptr) return 2;
    const bool mayTalk = TalkMode_ ? entry != nullptr && entry->Data.Mark != 0 : true;
    const bool listenOnly = (flags & ZELClientListenOnly) != 0;
    if (listenOnly == !mayTalk) return 0;
    if (mayTalk) {
        C->ClientFlags.fetch_and(~ZELClientListenOnly);
    } else {
        C->ClientFlags.fetch_or(ZELClientListenOnly);
        // A talker that may no longer talk gives the floor back at once.
        ReleaseAndFree(C);
    }
    C->ClientFlags.fetch_or(ZELClientChanged);
    C->WriteEntryStatus();
    return 1;
}

void TZELServNetwork::Approve(TZELSVCContext* C) {
    Dirty_ |= ApprovedDirtyBits(C->ClientFlags.load());
    Enter(C, NS::ncs_Approved);
}

void TZELServNetwork::ClientReady(TZELSVCContext* C) {
    if (C->NetState != NS::ncs_Newbie) return;
    Leave(C);
    if (Options_.QuarantineTime != 0) {
        C->QuarantineStart = Now_;
        Enter(C, NS::ncs_Quarantine);
        return;
    }
    Approve(C);
}

void TZELServNetwork::PromoteQuarantined() {
    for (size_t i = Quarantine_.size(); i-- > 0;) {
        TZELSVCContext* c = Quarantine_[i];
        if (Now_ - c->QuarantineStart < Options_.QuarantineTime) continue;
        Leave(c);
        Approve(c);
    }
}

void TZELServNetwork::AdmitApproved() {
    // Approved stays filled: the welcome step of the housekeeping walks it once more.
    TZELSVCListClientData data;
    for (size_t i = Approved_.size(); i-- > 0;) {
        TZELSVCContext* c = Approved_[i];
        c->ClientFlags.fetch_and(~ZELClientChanged);
        c->LastSecond = Now_;
        c->SessionLeft = Options_.ClientSessionMaxTime;
        if (c->Moved && (c->AcceptedFlags & ZELExtNetChangeInfo) != 0 && c->BuildStateAnswer(AnswerBld_))
            c->vSend(StrBldAView(AnswerBld_));
        if (c->RefreshMarks != 0) {
            c->FillListClientData(data);
            if ((c->RefreshMarks & TZELSVCContext::kRefreshMuted) && Mutes_.Find(c->Id) &&
                MuteBlockListAddClient(Mutes_, data, data, 0, *this, ListBld_)) {
                Dirty_ |= 0x18;
                S_.SetServiceFlags(ZELSVCFlagMutes);
            }
            if ((c->RefreshMarks & TZELSVCContext::kRefreshBlocked) && Blocks_.Find(c->Id) &&
                MuteBlockListAddClient(Blocks_, data, data, 0, *this, ListBld_)) {
                Dirty_ |= 0x60;
                S_.SetServiceFlags(ZELSVCFlagBlocks);
            }
            if ((c->RefreshMarks & TZELSVCContext::kRefreshAdmin) && Admins_.Find(c->Id) &&
                AdminsListAddClient(Admins_, data, *this)) {
                Dirty_ |= 0x180;
                S_.SetServiceFlags(ZELSVCFlagAdmins);
            }
            if ((c->RefreshMarks & TZELSVCContext::kRefreshRights) && Rights_.Find(c->EMailKey) &&
                AccessListAddClient(Rights_, data, *this)) {
                Dirty_ |= 0x1800;
                S_.SetServiceFlags(ZELSVCFlagRights);
            }
            if (c->RefreshMarks & TZELSVCContext::kRefreshOwner) {
                S_.SetOwner(c->Callsign, c->CallsignUtf8);
            }
            c->RefreshMarks = 0;
        }
        if (ClientLogLevel() >= 4) {
            if (c->Moved && c->OriginNet != nullptr)
                LogClient(c, u" MOVED NetFrom=`" + c->OriginNet->NetworkName() + u"`", true);
            else
                LogClient(c, u" LOGIN", true);
        }
    }
}

void TZELServNetwork::CountSessionTime() {
    std::vector<TZELSVCContext*> over;
    for (auto& [k, c] : Members_) {
        if (c == Parrot_ || (c->ClientFlags.load() & ZELClientParrot) != 0) continue;
        while (Now_ - c->LastSecond >= 1000) {
            c->LastSecond += 1000;
            --c->SessionLeft;
        }
        if (c->SessionLeft < 1) over.push_back(c);
    }
    for (TZELSVCContext* c : over) DropMember(c, DC::fsdc_SessionTimeLimit);
}

void TZELServNetwork::ProcessAccessModes() {
    for (NS s : {NS::ncs_Member, NS::ncs_Quarantine, NS::ncs_Approved, NS::ncs_Newbie}) {
        std::vector<TZELSVCContext*> clients;
        if (s == NS::ncs_Member) {
            for (auto& [k, c] : Members_) clients.push_back(c);
        } else {
            clients = *GroupOf(s);
        }
        for (TZELSVCContext* c : clients) {
            try {
                const uint8_t r = MemberCanStay(c);
                if (r == 1 && s == NS::ncs_Member) Dirty_ |= ZELNetDirtyStatus;
                if (r == 2) DropClient(c, DC::fsdc_ServerAccessDenied);
            } catch (const std::exception& e) {
                UnicodeString t = u"process_access_modes: ";
                t += StateName(s);
                t += u": ";
                t += DecodeUtf8U(ExceptionClassName(e));
                t += u": ";
                t += DecodeUtf8U(e.what());
                LogError(t);
                const bool oom = dynamic_cast<const std::bad_alloc*>(&e) != nullptr;
                if (!oom) c->SetDisconnectText(e.what());
                DropClient(c, oom ? DC::fsdc_ServOutOfMemory : DC::fsdc_ServInternalError);
            }
        }
    }
}

bool TZELServNetwork::SetConnectionMode(bool On) {
    if (ConnectionMode_ == On) return false;
    ConnectionMode_ = On;
    ProcessAccessModes();
    return true;
}

bool TZELServNetwork::SetTalkMode(bool On) {
    if (TalkMode_ == On) return false;
    TalkMode_ = On;
    ProcessAccessModes();
    return true;
}

void TZELServNetwork::ParrotJoin(TZELSVCContext* Parrot) {
    IdIndex_.emplace(Parrot->Id, Parrot);
    try {
        if (Options_.UniqCallsign) CallsignIndex_.emplace(Parrot->CallsignKey, Parrot);
        try {
            Enter(Parrot, NS::ncs_Member);
        } catch (...) {
            if (Options_.UniqCallsign) CallsignIndex_.erase(Parrot->CallsignKey);
            throw;
        }
    } catch (...) {
        IdIndex_.erase(Parrot->Id);
        throw;
    }
    Parrot->Indexed = true;
    Parrot_ = Parrot;
    Lists_.ListAll(Members_);
}

// ---------------------------------------------------------------------------------------------
// Moves.

uint8_t TZELServNetwork::FindActiveClient(AnsiView Id, TZELSVCWrkCtxBase*& Client) {
    Client = nullptr;
    TZELSVCContext* c = MemberById(Id);
    if (c == nullptr) return ZELFindAbsent;
    if (c == Parrot_) return ZELFindParrot;
    Client = c;
    return ZELFindFound;
}

bool TZELServNetwork::CanAcceptClient(TZELSVCWrkCtxBase* Client) {
    TZELSVCContext* c = AsClient(Client);
    if (c == nullptr) return false;
    if (Options_.MaxClients > 0 && ClientCount() >= Options_.MaxClients) return false;
    if (std::find(MovingOut_.begin(), MovingOut_.end(), c) != MovingOut_.end()) return false;
    if (IdIndex_.count(c->Id) != 0) return false;
    if (Options_.UniqCallsign && CallsignIndex_.count(c->CallsignKey) != 0) return false;
    if (Blocks_.Find(c->Id) != nullptr) return false;
    // The access check on a copy of the flags: a refusal here changes nothing on the client.
    const uint32_t flags = c->ClientFlags.load();
    if ((flags & ZELClientRoleMask) == ZELClientRoleOwner) return true;
    if (ConnectionMode_ && Rights_.Find(c->EMailKey) == nullptr) return false;
    return true;
}

bool TZELServNetwork::IsActiveMember(TZELSVCWrkCtxBase* Client, uint32_t Session) {
    return IsRequestingMember(Client, Session) && (AsClient(Client)->ClientFlags.load() & ZELClientClosing) == 0;
}

bool TZELServNetwork::IsRequestingMember(TZELSVCWrkCtxBase* Client, uint32_t Session) {
    TZELSVCContext* c = AsClient(Client);
    if (c == nullptr || c->Number() != Session) return false;
    const auto it = IdIndex_.find(c->Id);
    return it != IdIndex_.end() && it->second == c && c->NetState == NS::ncs_Member;
}

void TZELServNetwork::RemoveClient(TZELSVCWrkCtxBase* Client) {
    TZELSVCContext* c = AsClient(Client);
    if (c == nullptr || c->NetState != NS::ncs_Member) return;
    c->ClientFlags.fetch_and(~ZELClientChanged);
    ExitMembers(c);
    c->ResetManagerAnswers(EffectiveMode_);
    if (c->Indexed) CleanIndexes(c);
    Enter(c, NS::ncs_MovingOut);
    c->OriginNet = this;
    AppendOwn(Q::fsnq_MemberListChanged, 0);
    ProcessQueue(false);
}

void TZELServNetwork::AddMovedClient(TZELSVCWrkCtxBase* Client, int32_t Kind, int32_t MoveTime) {
    if (TZELSVCContext* c = AsClient(Client)) AddClient(c, Kind, MoveTime);
}

// ---------------------------------------------------------------------------------------------
// The dispatcher.

void TZELServNetwork::AppendOwn(TZELSVCNetQueueCommand Code, int32_t Value) {
    auto r = std::make_unique<TZELSVCNetQueueRecord>();
    r->Command = Code;
    r->Value1 = Value;
    Pending_.Add(std::move(r));
}

void TZELServNetwork::PostKickAllStopped() { AppendOwn(Q::fsnq_KickAllStopped, 0); }
void TZELServNetwork::PostKickAllByOwner() { AppendOwn(Q::fsnq_KickAllByOwner, 0); }
void TZELServNetwork::PostFlagSet(int32_t Value) { AppendOwn(Q::fsnq_SetStopped, Value); }
void TZELServNetwork::PostFlagClear(int32_t Value) { AppendOwn(Q::fsnq_ClearStopped, Value); }
void TZELServNetwork::PostLinkUp(int32_t Index) { AppendOwn(Q::fsnq_ManagerLinkUp, Index); }
void TZELServNetwork::PostLinkDown(int32_t Index) { AppendOwn(Q::fsnq_ManagerLinkDown, Index); }

void TZELServNetwork::ProcessQueue(bool Housekeeping) {
    Now_ = S_.CurrentTick();
    if (Housekeeping) {
        // Exactly 500 ms on, so the cadence never drifts; a clock far ahead (the first run, a
        // stalled timer) is met at once instead of with a run per tick until it catches up.
        if (static_cast<int32_t>(Now_ - LastRun_) >= static_cast<int32_t>(2 * kRunMs))
            LastRun_ = Now_;
        else
            LastRun_ += kRunMs;
    }
    TZELSVCPendingCommands::TRecords recs = Pending_.TakeAll();
    if (!recs.empty()) S_.SetServiceFlags(ZELSVCFlagNetworkActivity);
    if (Housekeeping) this->Housekeeping(true);
    for (auto& r : recs) {
        // One record that fails costs only itself: the records after it (a disconnect among them)
        // still run.
        try {
            if (!DeferClientCommand(r)) RunRecord(*r);
        } catch (const std::exception& e) {
            S_.LogNetworkError(*this, e);
        }
        if (Stopped_) Dirty_ |= ZELNetDirtyHousekeep;
        r.reset();
        if (Dirty_ & ZELNetDirtyHousekeep) this->Housekeeping(false);
    }
    // A removal run from inside (RemoveClient) appends while the loop runs: those run next time.
    // The floor's part (idle packets, acknowledgements, silence) ran with the first: once per
    // cadence.
    if (Housekeeping || (Dirty_ & ZELNetDirtyHousekeep)) this->Housekeeping(false);
}

void TZELServNetwork::RunRecord(TZELSVCNetQueueRecord& Rec) {
    const TZELSVCNetQueueCommand code = Rec.Command;
    if (code <= Q::fsnq_InstallNotices) {
        InstallRecord(Rec);
        return;
    }
    // Only the records a client posted about itself are followed to it: a verdict (44) or a
    // command-port request may name a context that is gone.
    // The floor and block codes (56 to 61) are the client's own too.
    const bool fromClient =
        code == Q::fsnq_ClientHandshakeDone || code == Q::fsnq_ClientDisconnected || code == Q::fsnq_ClientReady ||
        (code >= Q::fsnq_ClientOperating && code <= Q::fsnq_ClientShortBlock);
    TZELSVCContext* c = fromClient ? AsClient(Rec.Owner) : nullptr;
    switch (code) {
        case Q::fsnq_ClientHandshakeDone:
            if (c) AddClient(c, ZELJoinLogin, 0);
            return;
        case Q::fsnq_ClientDisconnected:
            if (c) ClientDisconnected(c);
            return;
        case Q::fsnq_SetStopped:
            Stopped_ = true;
            return;
        case Q::fsnq_ClearStopped:
            Stopped_ = false;
            return;
        case Q::fsnq_ManagerAuthAnswer:
            ManagerAnswer(Rec);
            return;
        case Q::fsnq_ManagerLinkUp:
        case Q::fsnq_ManagerLinkDown:
            LinkChanged(Rec.Value1, code == Q::fsnq_ManagerLinkUp);
            return;
        case Q::fsnq_ClientReady:
            if (c) ClientReady(c);
            return;
        case Q::fsnq_KickAllStopped:
            KickAll(DC::fsdc_ServerStopped);
            return;
        case Q::fsnq_KickAllByOwner:
            KickAll(DC::fsdc_ByOwner);
            return;
        case Q::fsnq_MemberListChanged:
            Dirty_ |= ZELNetDirtyHousekeep | ZELNetDirtyMembers;
            return;
        case Q::fsnq_CmdMute: case Q::fsnq_CmdBlock: case Q::fsnq_CmdAdmin: case Q::fsnq_CmdRight:
        case Q::fsnq_CmdRightMark: case Q::fsnq_CmdNotice: case Q::fsnq_CmdConnMode: case Q::fsnq_CmdTalkMode:
        case Q::fsnq_SetServerManagerMode: case Q::fsnq_SetNetManagerMode: case Q::fsnq_CmdDisconnect:
            RunCommandPort(Rec);
            return;
        default:
            if (IsClientCommand(code)) {
                RunClientCommand(Rec);
                return;
            }
            break;
    }
    if (c == nullptr || !RunFloorRecord(code, *c, Rec))
        throw Exception(FormatA("Unknown network command: %d", static_cast<int>(code)));
}

bool TZELServNetwork::RunFloorRecord(TZELSVCNetQueueCommand Code, TZELSVCContext& C, TZELSVCNetQueueRecord& Rec) {
    switch (Code) {
        case Q::fsnq_ClientOperating:
            // The worker owns the protocol state; the network only has the output flushed.
            C.RequestFlush();
            return true;
        case Q::fsnq_ClientStatus:
            SetStatus(&C, Rec.Value1);
            return true;
        case Q::fsnq_ClientStopTalking:
            StopTalking(&C);
            return true;
        case Q::fsnq_ClientRequestFloor:
            RequestFloor(&C);
            return true;
        case Q::fsnq_ClientVoiceBlock:
            VoiceBlock(&C, Rec.Text1);
            return true;
        case Q::fsnq_ClientShortBlock:
            ShortBlock(&C, Rec.Text1);
            return true;
        default:
            return false;
    }
}

void TZELServNetwork::Housekeeping(bool Full) {
    // 1. Expired mutes and blocks.
    if (Mutes_.Count() > 0 || Blocks_.Count() > 0) {
        const int64_t now = static_cast<int64_t>(std::time(nullptr));
        if (Mutes_.Count() > 0 && MuteBlockListRemoveExpired(Mutes_, now, false, *this)) {
            Dirty_ |= ZELNetDirtyMutes;
            S_.SetServiceFlags(ZELSVCFlagMutes);
        }
        if (Blocks_.Count() > 0 && MuteBlockListRemoveExpired(Blocks_, now, true, *this)) {
            Dirty_ |= ZELNetDirtyBlocks;
            S_.SetServiceFlags(ZELSVCFlagBlocks);
        }
    }
    // 2. Session time, quarantine, admission.
    if (Options_.ClientSessionMaxTime > 0) CountSessionTime();
    if (!Quarantine_.empty()) PromoteQuarantined();
    if (!Approved_.empty()) AdmitApproved();
    // Admitted clients are members from here on.
    const TGroup welcome = Approved_;
    for (TZELSVCContext* c : welcome) {
        Leave(c);
        Enter(c, NS::ncs_Member);
    }
    // 3. and 4. The member lists and the output limit. A change of status alone waits for the
    // cadence's first run: one member toggling its status costs every member one list per cadence.
    const bool statusOnly = (Dirty_ & ZELNetDirtyMemberLists) == ZELNetDirtyStatus;
    const uint32_t deferred = statusOnly && !Full ? ZELNetDirtyStatus : 0;
    if ((Dirty_ & ZELNetDirtyMemberLists) != 0 && deferred == 0) MemberListDiff();
    if (Dirty_ & (ZELNetDirtyMembers | ZELNetDirtyEntry)) {
        Lists_.BuildFull(Members_);
        if (ListedCount() > 0) SendMemberLists();
        Lists_.UpdateOutputLimit(Options_.OutputBufferFactor, S_.ClientActivityTimeout(), Now_);
    } else if ((Dirty_ & ZELNetDirtyStatus) && deferred == 0 && ListedCount() > 0) {
        Lists_.BuildFull(Members_);
        SendMemberLists();
    }
    Dirty_ &= ~ZELNetDirtyMemberLists | deferred;
    // 5. The floor.
    if (Full) FloorHousekeeping();
    // 6. A lowered output limit takes effect after half the activity time-out.
    Lists_.ApplyLowerLimit(Now_, S_.ClientActivityTimeoutMs() / 2);
    // 7. Bandwidth: a member whose output backs up beyond the limit is dropped. Once per cadence:
    // the count asks the kernel for each member's socket.
    if (Full) {
        std::vector<TZELSVCContext*> over;
        for (auto& [k, c] : Members_)
            if (c != Parrot_ && c->vIsOutputOverLimit(OutputLimit())) over.push_back(c);
        for (TZELSVCContext* c : over) DropMember(c, DC::fsdc_BandWidthLimit);
    }
    // 8. The network's lists to those that may see them.
    SendListPackets(welcome);
    // 9. Welcome: the admitted clients are no longer joining; the Parrot greets them.
    const AnsiView greeting = ParrotBot_ ? ParrotBot_->GreetingPacket() : AnsiView();
    AnsiString parrotSender;
    if (!greeting.empty()) {
        StrBldAReset(TextBld_);
        StrBldAAddChar(TextBld_, ZELPacketMessageSender);
        AddCompactEntry(TextBld_, ParrotBot_.get());
        parrotSender.assign(StrBldAView(TextBld_));
    }
    for (auto it = welcome.rbegin(); it != welcome.rend(); ++it) {
        TZELSVCContext* c = *it;
        if (c->NetState != NS::ncs_Member) continue;
        // No greeting text is defined for the server: the welcome sends none of its own.
        const uint32_t f = c->ClientFlags.load();
        if (!greeting.empty() && (f & ZELClientClosing) == 0) {
            // The sender text once, for a client that takes speaker texts or keeps a cache.
            if ((f & 0x2800080u) == 0x2000080u || (f & 0x4800080u) == 0x4000080u) {
                c->vSendNoFlush(parrotSender);
                c->ToldMsgPos = -1;
                c->ToldMsgKey = ~uint64_t(0);
            }
            c->vSend(greeting);
        }
        c->ClientFlags.fetch_and(~ZELClientJoining);
        c->Moved = false;
        if ((c->ClientFlags.load() & (ZELClientClosing | ZELClientHoldsFloor)) == ZELClientHoldsFloor) {
            char state[3] = {ZELPacketFloorGrant, 0, 0};
            PutIndex(state + 1, c->ListIndex);
            c->vSend(AnsiView(state, 3));
        }
    }
    // The new members' early lines run once the housekeeping is done, as lines that came after it
    // would; the others go now, before their contexts are freed.
    TRecordList early = SettleDeferred();
    // 10. Free the disposed contexts; each was one open connection.
    const TGroup dispose = std::exchange(DisposeHold_, TGroup());
    for (TZELSVCContext* c : dispose) {
        S_.TemporaryMoves().Remove(c);
        delete c;
        S_.DecConnectionCount();
    }
    if (KickPending_ && Aborted_.empty() && DeleteHold_.empty()) {
        KickPending_ = false;
        Stopped_ = false;
    }
    // 11. A member dropped by the steps after the lists (floor, bandwidth) is published at the
    // next housekeeping; everything else was handled.
    Dirty_ &= ZELNetDirtyMemberLists;
    if (!early.empty()) RunDeferred(early);
}

bool TZELServNetwork::DeferClientCommand(std::unique_ptr<TZELSVCNetQueueRecord>& Rec) {
    if (!IsClientCommand(Rec->Command)) return false;
    TZELSVCContext* c = AsClient(Rec->Owner);
    // Lines read after the client ready reach the network before the housekeeping makes the
    // client a member: they act once it is one, after the others got its list entry.
    if (c == nullptr || c->NetState != NS::ncs_Approved) return false;
    if (c->DeferredLines >= kMaxDeferredLines) {
        ++c->DeferredDropped;
        Rec.reset();
        return true;
    }
    Deferred_.push_back(std::move(Rec));
    ++c->DeferredLines;
    return true;
}

TZELServNetwork::TRecordList TZELServNetwork::SettleDeferred() {
    TRecordList run;
    if (Deferred_.empty()) return run;
    TRecordList all = std::exchange(Deferred_, TRecordList());
    // Every sender is still here: a context is freed only below, in the housekeeping that runs
    // this first, and its lines were kept while it was Approved.
    std::vector<TZELSVCContext*> senders;
    for (auto& r : all) {
        TZELSVCContext* c = AsClient(r->Owner);
        if (c->NetState == NS::ncs_Approved) {
            Deferred_.push_back(std::move(r));
            continue;
        }
        if (c->DeferredLines > 0 && std::find(senders.begin(), senders.end(), c) == senders.end())
            senders.push_back(c);
        if (c->NetState == NS::ncs_Member)
            run.push_back(std::move(r));
        else
            ++c->DeferredDropped;
    }
    for (TZELSVCContext* c : senders) {
        if (c->DeferredDropped > 0 && ClientLogLevel() >= 1)
            LogClient(c,
                      u" LINES_DROPPED Count=" + WidenStrU(std::to_string(c->DeferredDropped)) +
                          (c->NetState == NS::ncs_Member ? u" (over the limit before the login completed)"
                                                         : u" (left before the login completed)"),
                      true);
        c->DeferredLines = 0;
        c->DeferredDropped = 0;
    }
    return run;
}

void TZELServNetwork::RunDeferred(TRecordList& Lines) {
    for (auto& r : Lines) {
        // A sender dropped meanwhile (bandwidth, a block by an earlier line) is no member: the
        // command ignores it, as it would any line of a dropped member.
        try {
            RunClientCommand(*r);
        } catch (const std::exception& e) {
            S_.LogNetworkError(*this, e);
        }
        r.reset();
    }
}

}  // namespace zel

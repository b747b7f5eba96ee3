#include "clients/dmq_zel_svc_network.hpp"

#include <algorithm>
#include <ctime>
#include <new>
#include <string>
#include <utility>

#include "clients/dmq_zel_svc_context.hpp"
#include "clients/dmq_zel_svc_context_parrot.hpp"
#include "clients/dmq_zel_svc_packets.hpp"
#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_exception.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_reread.hpp"
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
constexpr uint32_t kMemberListBits = ZELNetDirtyMembers | ZELNetDirtyStatus | ZELNetDirtyEntry;

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

DC CauseOfVerdict(uint8_t Reason) {
    switch (Reason) {
        case ZELLoginWrong: return DC::fsdc_ManagerWrongPassword;
        case ZELLoginBlock: return DC::fsdc_ManagerBlock;
        case ZELLoginDupl: return DC::fsdc_ManagerDuplicate;
        default: return DC::fsdc_ManagerError;
    }
}

int32_t BitCount3(uint32_t M) { return int32_t((M & 1) != 0) + int32_t((M & 2) != 0) + int32_t((M & 4) != 0); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Creation.

TZELServNetwork::TZELServNetwork(TZELService& Service, const TZELServNetworkRec& Rec)
    : S_(Service), Name_(TrimU(Rec.Name)), Options_(Rec.Options) {
    NameUtf8_ = UnicodeToUtf8A(Name_);
    // The clients see the name (and their owners' e-mails are read) in the network's charset.
    TAnsiUnicodeConverter conv;
    try {
        const UnicodeString cs = !Options_.CharsetName.empty() ? Options_.CharsetName : S_.GetServerCharsetName();
        if (!cs.empty()) conv.SetCharset(cs);
        NameA_ = conv.FromUnicode(Name_);
    } catch (const std::exception&) {
        NameA_ = NameUtf8_;
    }
    // A level of the network's own (its options print it, as it differs from the server's) holds;
    // otherwise the network follows the server's level, which the command port may change.
    if (Options_.LogClientLevel != ClampLogClientLevel(S_.LogClientLevel.load(std::memory_order_relaxed)))
        OwnLogLevel_ = Options_.LogClientLevel;
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

void TZELServNetwork::PrepareCmdList(TZELCmdListBlock& Block) {
    StrBldAReset(ListBld_);
    const UnicodeString cs = !Options_.CharsetName.empty() ? Options_.CharsetName : S_.GetServerCharsetName();
    AddCmdNetworkLine(ListBld_, NameUtf8_, UnicodeToUtf8A(cs), S_.ParrotId());
    Block = TZELCmdListBlock{};
    Block.NetworkLine = StrBldAView(ListBld_);
    PrepareCmdMembers(Block);
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
        // A listed member sits at its published index, so one drop costs no walk of the list.
        const size_t at = size_t(C->ListIndex) - 1;
        if (C->ListIndex != 0 && at < ListedMembers_.size() && ListedMembers_[at] == C)
            ListedMembers_[at] = nullptr;
        else
            std::replace(ListedMembers_.begin(), ListedMembers_.end(), C, static_cast<TZELSVCContext*>(nullptr));
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
    for (const TZELSVCContext* c : ListedMembers_)
        if (c != nullptr && (!seen.count(c) || c->NetState != NS::ncs_Member)) return "listed context not a member";
    for (size_t i = 0; i < ListedMembers_.size(); ++i)
        if (ListedMembers_[i] != nullptr && ListedMembers_[i]->ListIndex != i + 1) return "listed member off its index";
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
        C->Net = this;
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
    ListedMembers_.clear();
    for (auto& [k, c] : Members_) ListedMembers_.push_back(c);
    Renumber();
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
    TZELSVCContext* c = AsClient(Client);
    if (c == nullptr || c->Number() != Session) return false;
    const auto it = IdIndex_.find(c->Id);
    return it != IdIndex_.end() && it->second == c && c->NetState == NS::ncs_Member &&
           (c->ClientFlags.load() & ZELClientClosing) == 0;
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
// The System Managers.

void TZELServNetwork::CheckManagers(uint32_t LinksMask) {
    // The links the service keeps: each one serves the network only while it reports itself up
    // (codes 45 and 46), so a link that never connects is never waited for.
    if ((static_cast<uint32_t>(Options_.ManagersMask) & LinksMask & 7u) == 0 &&
        ModeInForce_ != TZELSystemManagerMode::smm_Standalone && Info_)
        Info_(u"WARNING: no active managers for the net(room); switching net(room) manager mode to STANDALONE");
    UpdateManagers(false);
}

void TZELServNetwork::UpdateManagers(bool Warn) {
    const TZELSystemManagerMode was = EffectiveMode_;
    ActiveMask_ = static_cast<uint32_t>(Options_.ManagersMask) & LinksUp_ & 7u;
    ActiveCount_ = BitCount3(ActiveMask_);
    EffectiveMode_ = ActiveMask_ == 0 ? TZELSystemManagerMode::smm_Standalone : ModeInForce_;
    if (EffectiveMode_ == was) return;
    if (EffectiveMode_ == TZELSystemManagerMode::smm_Standalone) {
        if (Warn && ModeInForce_ != TZELSystemManagerMode::smm_Standalone && Info_)
            Info_(u"WARNING: no active managers for the net(room); switching net(room) manager mode to STANDALONE");
        ReleaseAwaiting();
        return;
    }
    RejudgeClients();
    // Clients admitted without managers are asked now.
    if (was == TZELSystemManagerMode::smm_Standalone) AskLinks(ActiveMask_);
}

void TZELServNetwork::ReleaseAwaiting() {
    // Nobody judges the clients that wait for verdicts now: they go on as in STANDALONE.
    const TGroup waiting = AwaitingAuth_;
    for (TZELSVCContext* c : waiting) {
        Leave(c);
        c->ResetManagerAnswers(EffectiveMode_);
        Enter(c, NS::ncs_Newbie);
        if (c->Moved)
            ClientReady(c);
        else
            c->SendAcceptedLogin();
    }
}

std::vector<TZELSVCContext*> TZELServNetwork::ManagedClients() const {
    std::vector<TZELSVCContext*> clients;
    for (const auto& [k, c] : Members_)
        if (c != Parrot_) clients.push_back(c);
    for (const TGroup* g : {&Quarantine_, &Newbies_, &Approved_, &AwaitingAuth_})
        clients.insert(clients.end(), g->begin(), g->end());
    return clients;
}

bool TZELServNetwork::AllAnswered(const TZELSVCContext* C) const {
    for (int32_t i = 0; i < 3; ++i)
        if ((ActiveMask_ & (1u << i)) != 0 && C->ManagerInfo[size_t(i)].Answer == 0) return false;
    return ActiveMask_ != 0;
}

void TZELServNetwork::RejudgeClients() {
    for (TZELSVCContext* c : ManagedClients()) {
        c->RemarkManagerAnswers(EffectiveMode_);
        if (c->NetState == NS::ncs_AwaitingAuth) {
            if (AllAnswered(c)) TakeVerdict(c);
            continue;
        }
        uint8_t reason = 0;
        if (c->ManagerVerdict(reason)) continue;
        const DC cause = CauseOfVerdict(reason);
        c->SetDisconnectCause(cause);
        DropClient(c, cause);
    }
}

void TZELServNetwork::AskLinks(uint32_t Links) {
    for (TZELSVCContext* c : ManagedClients())
        for (int32_t i = 0; i < 3; ++i)
            if ((Links & (1u << i)) != 0) S_.SysManAuthenticateClientAt(i, c, this);
}

TZELSVCContext* TZELServNetwork::FindWaiting(const void* Client) const {
    // By address first: the record's context may be gone, and only a context found here is used.
    const auto it = Answerable_.find(static_cast<const TZELSVCContext*>(Client));
    return it == Answerable_.end() ? nullptr : const_cast<TZELSVCContext*>(*it);
}

void TZELServNetwork::ManagerAnswer(TZELSVCNetQueueRecord& Rec) {
    const int32_t link = Rec.Value2;
    if (link < 0 || link > 2) return;
    TZELSVCContext* c = FindWaiting(Rec.Owner);
    if (c == nullptr || c->Number() != Rec.OwnerId) {
        // The manager keeps a session for a client that is gone: it hears that the client left.
        if (Rec.Value1 == 1) S_.SysManClientLeft(link, Rec.Text1, this);
        return;
    }
    const uint8_t result = Rec.Value1 >= 0 && Rec.Value1 <= 5 ? static_cast<uint8_t>(Rec.Value1) : ZELLoginError;
    if (result == 0) {
        // No verdict (the link is not operating, or lost the request): it counts for nothing, and
        // the link is asked again when it comes back.
        c->ClearManagerAnswer(link, EffectiveMode_);
        c->LinkStates[size_t(link)] = 0;
        return;
    }
    TZELSVCContextManagerInfo& info = c->ManagerInfo[size_t(link)];
    info.Answer = result;
    info.Session = result == ZELLoginAccepted ? Rec.Text2 : AnsiString();
    info.Accept = TZELSVCContext::ManagerAccepts(EffectiveMode_, result);
    // Only a manager that accepted holds a session (and hears the client's logout).
    c->LinkStates[size_t(link)] = result == ZELLoginAccepted ? 2 : 1;
    if (c->NetState == NS::ncs_Member && ClientLogLevel() >= 4)
        LogClient(c, u" MANAGER_AUTH MIDX=" + WidenStrU(std::to_string(link)), true);
    // After the fall to STANDALONE an answer is kept, but no verdict is taken on it; the verdict
    // waits for every link that serves the network.
    if (EffectiveMode_ == TZELSystemManagerMode::smm_Standalone || (ActiveMask_ & (1u << link)) == 0 ||
        !AllAnswered(c))
        return;
    c->RemarkManagerAnswers(EffectiveMode_);
    TakeVerdict(c);
}

void TZELServNetwork::TakeVerdict(TZELSVCContext* c) {
    uint8_t reason = 0;
    const bool accepted = c->ManagerVerdict(reason);
    const DC cause = CauseOfVerdict(reason);
    switch (c->NetState) {
        case NS::ncs_AwaitingAuth:
            Leave(c);
            if (accepted) {
                if (c->Moved) {
                    Approve(c);
                } else {
                    Enter(c, NS::ncs_Newbie);
                    c->SendAcceptedLogin();
                }
            } else if (c->Moved) {
                c->SetDisconnectCause(cause);
                DeleteHold(c, cause);
            } else {
                Refuse(c, reason >= ZELLoginError && reason <= ZELLoginDupl ? reason : ZELLoginError, cause);
            }
            return;
        case NS::ncs_Newbie:
        case NS::ncs_Quarantine:
        case NS::ncs_Approved:
            if (!accepted) DeleteHold(c, cause);
            return;
        case NS::ncs_Member:
            if (!accepted) DropMember(c, cause);
            return;
        default:
            return;
    }
}

void TZELServNetwork::LinkChanged(int32_t Link, bool Up) {
    if (Link < 0 || Link > 2) return;
    const uint32_t bit = 1u << Link;
    if (Up) {
        LinksUp_ |= bit;
    } else {
        LinksUp_ &= ~bit;
        // Its answers go with it: it holds no session any more.
        for (TZELSVCContext* c : ManagedClients()) {
            c->ClearManagerAnswer(Link, EffectiveMode_);
            c->LinkStates[size_t(Link)] = 0;
        }
    }
    const TZELSystemManagerMode was = EffectiveMode_;
    UpdateManagers(true);
    if (EffectiveMode_ == TZELSystemManagerMode::smm_Standalone) return;
    if (Up) {
        // A rise from STANDALONE asked every link already.
        if (was != TZELSystemManagerMode::smm_Standalone && (ActiveMask_ & bit) != 0) AskLinks(bit);
        return;
    }
    // The clients waiting for it are judged by the links still up.
    const TGroup waiting = AwaitingAuth_;
    for (TZELSVCContext* c : waiting) {
        if (c->NetState != NS::ncs_AwaitingAuth || !AllAnswered(c)) continue;
        c->RemarkManagerAnswers(EffectiveMode_);
        TakeVerdict(c);
    }
}

// ---------------------------------------------------------------------------------------------
// Data lists' notices.

void TZELServNetwork::ClientRoleChangedById(AnsiView Id) {
    if (TZELSVCContext* c = MemberById(Id)) {
        if (c != Parrot_) DropMember(c, DC::fsdc_ChangeRole);
    }
}

void TZELServNetwork::MuteClientById(AnsiView Id) {
    TZELSVCContext* c = MemberById(Id);
    if (c == nullptr || (c == Parrot_ && !Options_.Parrot.ParrotMuteEnable)) return;
    if ((c->ClientFlags.fetch_or(ZELClientMuted) & ZELClientMuted) != 0) return;
    ReleaseAndFree(c);
    c->ClientFlags.fetch_or(ZELClientChanged);
    c->WriteEntryStatus();
    Dirty_ |= ZELNetDirtyStatus;
}

void TZELServNetwork::UnmuteClientById(AnsiView Id) {
    TZELSVCContext* c = MemberById(Id);
    if (c == nullptr) return;
    if ((c->ClientFlags.fetch_and(~ZELClientMuted) & ZELClientMuted) == 0) return;
    c->ClientFlags.fetch_or(ZELClientChanged);
    c->WriteEntryStatus();
    Dirty_ |= ZELNetDirtyStatus;
}

void TZELServNetwork::BlockClientById(AnsiView Id) {
    TZELSVCContext* c = MemberById(Id);
    if (c == nullptr || c == Parrot_ || (c->ClientFlags.load() & ZELClientRoleMask) == ZELClientRoleOwner) return;
    DropMember(c, DC::fsdc_ServerBlock);
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
            RunRecord(*r);
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
        case Q::fsnq_ClientMessage: case Q::fsnq_ClientMessageExt: case Q::fsnq_ClientMute: case Q::fsnq_ClientUnmute:
        case Q::fsnq_ClientBlock: case Q::fsnq_ClientUnblock: case Q::fsnq_ClientAddAdmin:
        case Q::fsnq_ClientDeleteAdmin: case Q::fsnq_ClientConnModeOn: case Q::fsnq_ClientConnModeOff:
        case Q::fsnq_ClientTalkModeOn: case Q::fsnq_ClientTalkModeOff: case Q::fsnq_ClientAddRight:
        case Q::fsnq_ClientDeleteRight: case Q::fsnq_ClientMarkRight: case Q::fsnq_ClientUnmarkRight:
        case Q::fsnq_ClientNotice: case Q::fsnq_ClientNoticeUtf8:
            RunClientCommand(Rec);
            return;
        default:
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

void TZELServNetwork::InstallRecord(TZELSVCNetQueueRecord& Rec) {
    // The service marks the file for saving by the record's own flag (Value1); the network marks
    // only what its members are to be sent.
    switch (Rec.Command) {
        case Q::fsnq_InstallAdmins: {
            auto* p = dynamic_cast<TZELSVCAdminsPayload*>(Rec.Payload.get());
            TZELSVCAdminRecordList empty;
            TZELSVCAdminRecordList& recs = p && p->Records ? *p->Records : empty;
            if (AdminsListMerge(Admins_, recs, *this)) {
                Admins_.RebuildTimeIndex();
                Dirty_ |= ZELNetDirtyAdmins;
            }
            return;
        }
        case Q::fsnq_InstallMutes:
        case Q::fsnq_InstallBlocks: {
            const bool blocks = Rec.Command == TZELSVCNetQueueCommand::fsnq_InstallBlocks;
            auto* p = dynamic_cast<TZELSVCMuteBlocksPayload*>(Rec.Payload.get());
            TZELSVCMuteBlockRecordList empty;
            TZELSVCMuteBlockRecordList& recs = p && p->Records ? *p->Records : empty;
            TZELSVCMuteBlockList& list = blocks ? Blocks_ : Mutes_;
            if (MuteBlockListMerge(list, recs, *this, blocks, ListBld_)) {
                list.RebuildTimeIndex();
                Dirty_ |= blocks ? ZELNetDirtyBlocks : ZELNetDirtyMutes;
            }
            return;
        }
        case Q::fsnq_InstallRights: {
            auto* p = dynamic_cast<TZELSVCRightsPayload*>(Rec.Payload.get());
            TZELSVCAccessRecordList empty;
            TZELSVCAccessRecordList& recs = p && p->Records ? *p->Records : empty;
            if (AccessListMerge(Rights_, recs, *this)) {
                Rights_.RebuildTimeIndex();
                Dirty_ |= ZELNetDirtyRights;
                ProcessAccessModes();
            }
            return;
        }
        case Q::fsnq_InstallModes: {
            auto* p = dynamic_cast<TZELSVCModesPayload*>(Rec.Payload.get());
            const int32_t modes = p ? p->Modes : 0;
            const bool conn = (modes & 0xFF00) != 0, talk = (modes & 0xFF) != 0;
            if (conn == ConnectionMode_ && talk == TalkMode_) return;
            ConnectionMode_ = conn;
            TalkMode_ = talk;
            Dirty_ |= ZELNetDirtyModes;
            ProcessAccessModes();
            return;
        }
        case Q::fsnq_InstallNotices: {
            auto* p = dynamic_cast<TZELSVCNoticesPayload*>(Rec.Payload.get());
            TZELSVCNoticeData n = p ? p->Notice : TZELSVCNoticeData{};
            if (n.Notice1 == Notices_.Notice1 && n.Notice2 == Notices_.Notice2) return;
            Notices_ = std::move(n);
            Dirty_ |= ZELNetDirtyNotices;
            return;
        }
        default:
            return;
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
    const bool statusOnly = (Dirty_ & kMemberListBits) == ZELNetDirtyStatus;
    const uint32_t deferred = statusOnly && !Full ? ZELNetDirtyStatus : 0;
    if ((Dirty_ & kMemberListBits) != 0 && deferred == 0) MemberListDiff();
    if (Dirty_ & (ZELNetDirtyMembers | ZELNetDirtyEntry)) {
        BuildFullLists();
        if (ListedCount() > 0) SendMemberLists();
        UpdateOutputLimit();
    } else if ((Dirty_ & ZELNetDirtyStatus) && deferred == 0 && ListedCount() > 0) {
        BuildFullLists();
        SendMemberLists();
    }
    Dirty_ &= ~kMemberListBits | deferred;
    // 5. The floor.
    if (Full) FloorHousekeeping();
    // 6. A lowered output limit takes effect after half the activity time-out.
    if (LowerPending_ && Now_ - LowerSince_ >= S_.ClientActivityTimeoutMs() / 2) {
        LowerPending_ = false;
        OutputLimit_ = LowerLimit_;
    }
    // 7. Bandwidth: a member whose output backs up beyond the limit is dropped. Once per cadence:
    // the count asks the kernel for each member's socket.
    if (Full) {
        std::vector<TZELSVCContext*> over;
        for (auto& [k, c] : Members_)
            if (c != Parrot_ && c->vIsOutputOverLimit(OutputLimit_)) over.push_back(c);
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
    Dirty_ &= kMemberListBits;
}

// ---------------------------------------------------------------------------------------------
// Floor and relay.

namespace {

TZELNetRelayGroup Group(uint32_t Mask, uint32_t Value) { return TZELNetRelayGroup{Mask, Value}; }

uint64_t KeyOf(const TZELSVCContext* C) { return ZELNetSpeakerKey(*C); }

}  // namespace

void TZELServNetwork::InitFloor() {
    StrBldAInit(TextBld_, 500);
    OutputLimit_ = Options_.OutputBufferLimit > 0 ? Options_.OutputBufferLimit : 131072;
}

void TZELServNetwork::PutIndex(char* P, uint16_t Index) const noexcept { PutPacketIndex(P, Index); }

uint16_t TZELServNetwork::TalkerIndex() const noexcept { return Floor_.TalkerIndex(); }

void TZELServNetwork::Tick(uint32_t Now) {
    Floor_.Tick(Now);
    if (ParrotBot_ && ParrotBot_->WantsTick()) ParrotBot_->Tick(Now);
}

bool TZELServNetwork::GrantFloor(TZELSVCContext* C) {
    if (!Floor_.Grant(*C, Now_)) return false;
    CacheTouch(C);
    if (Floor_.SpeakerTextStale()) {
        StrBldAReset(TextBld_);
        AddCompactEntry(TextBld_, C);
        Floor_.SetSpeakerText(StrBldAView(TextBld_));
    }
    return true;
}

TZELSVCContext* TZELServNetwork::ReleaseFloor(TZELSVCContext* C) {
    if (C == nullptr || Floor_.Talker() != C) return nullptr;
    if (Floor_.CollectorCount() > 0) SendCollector();
    Floor_.Release(*C, Now_);
    return C;
}

void TZELServNetwork::ReleaseAndFree(TZELSVCContext* C) {
    if (ReleaseFloor(C) != nullptr) SendFloorFree(nullptr);
}

void TZELServNetwork::SendFloorFree(TZELSVCContext* Skip) {
    static const char floorFree = ZELPacketFloorFree;
    TZELNetRelayRecord r;
    r.Skip = Skip;
    r.Packet = AnsiView(&floorFree, 1);
    r.Packets = Group(ZELClientClosing, 0);
    SendToMembers(r);
}

void TZELServNetwork::SendToMembers(const TZELNetRelayRecord& R) {
    const uint32_t mask = Floor_.MemberFlagMask();
    for (auto it = Members_.rbegin(); it != Members_.rend(); ++it) {
        TZELSVCContext* c = it->second;
        if (c == R.Skip) continue;
        if ((mask & c->ClientFlags.load(std::memory_order_relaxed) & R.Packets.Mask) == R.Packets.Value)
            c->vSend(R.Packet);
    }
}

void TZELServNetwork::RelayToMembers(const TZELNetRelayRecord& R) {
    const TZELSVCContext* talker = Floor_.Talker();
    const int32_t pos = talker ? talker->CachePos : -1;
    const uint32_t bit = pos >= 0 ? 1u << pos : 0;
    const uint32_t mask = Floor_.MemberFlagMask();
    const uint64_t key = Floor_.TalkerKey();
    for (auto it = Members_.rbegin(); it != Members_.rend(); ++it) {
        TZELSVCContext* c = it->second;
        if (c == R.Skip) continue;
        const uint32_t m = mask & c->ClientFlags.load(std::memory_order_relaxed);
        if ((m & R.Speaker.Mask) == R.Speaker.Value && c->ToldTalkerKey != key) {
            c->ToldTalkerKey = key;
            c->vSendNoFlush(Floor_.SpeakerText());
        }
        if (bit != 0 && (m & R.Cache.Mask) == R.Cache.Value) {
            if ((c->CacheBitmap & bit) == 0) {
                c->CacheBitmap |= bit;
                c->vSendNoFlush(Cache_.CacheText());
            }
            if (c->ToldPos != pos) {
                c->ToldPos = pos;
                c->vSendNoFlush(Cache_.PosText());
            }
        }
        if ((m & R.Packets.Mask) == R.Packets.Value) c->vSend(R.Packet);
    }
}

bool TZELServNetwork::SpeechCheck(TZELSVCContext* C) {
    if (C == Parrot_ || (C->ClientFlags.load() & ZELClientParrot) != 0) return true;
    switch (Floor_.CheckSpeech(*C, Now_, S_.ClientActivityTimeoutMs())) {
        case TZELNetSpeech::nsp_Within:
            return true;
        case TZELNetSpeech::nsp_Silent:
            DropMember(C, DC::fsdc_TxTempViolation);
            return false;
        case TZELNetSpeech::nsp_Over:
            break;
    }
    ReleaseAndFree(C);
    return false;
}

void TZELServNetwork::RequestFloor(TZELSVCContext* C) {
    // A refused request gets no answer.
    const uint32_t flags = C->ClientFlags.load();
    if ((flags & ZELClientHoldsFloor) == 0 && (!TZELNetFloor::MayAsk(flags) || !GrantFloor(C))) return;
    if (!Floor_.GrantAnswerDue(*C)) return;
    const auto grant = TZELNetFloor::GrantPacket(C->ListIndex);
    C->vSend(AnsiView(grant.data(), grant.size()));
}

void TZELServNetwork::StopTalking(TZELSVCContext* C) {
    if (TZELNetFloor::MayStop(C->ClientFlags.load())) ReleaseAndFree(C);
}

void TZELServNetwork::SetStatus(TZELSVCContext* C, int32_t Status) {
    if (Status < 0 || Status > 3) return;
    const uint32_t old = C->ClientFlags.load();
    if ((old & ZELClientStatusMask) == static_cast<uint32_t>(Status)) return;
    C->ClientFlags.fetch_and(~ZELClientStatusMask);
    C->ClientFlags.fetch_or(static_cast<uint32_t>(Status) | ZELClientChanged);
    C->WriteEntryStatus();
    if (C->NetState == NS::ncs_Member) Dirty_ |= ZELNetDirtyStatus;
}

void TZELServNetwork::VoiceBlock(TZELSVCContext* C, AnsiString& Block) {
    if (!Floor_.TakesVoice(*C, Block.size())) return;
    // The block that ends the turn is not relayed.
    if (!SpeechCheck(C)) return;
    Floor_.NoteVoice(*C, Now_);
    Cache_.TextsFor(*C);
    Block[0] = ZELPacketVoice;
    PutIndex(Block.data() + 1, C->ListIndex);
    TZELNetRelayRecord r;
    r.Skip = C;
    r.Packet = Block;
    r.Speaker = Group(0x2C00080, 0x2000080);
    r.Cache = Group(0x4C00080, 0x4000080);
    r.Packets = Group(0xC00000, 0);
    RelayToMembers(r);
}

void TZELServNetwork::ShortBlock(TZELSVCContext* C, AnsiString& Block) {
    if (!Floor_.TakesShort(*C, Block.size())) return;
    if (!SpeechCheck(C)) return;
    Floor_.NoteVoice(*C, Now_);
    Cache_.TextsFor(*C);
    Block[0] = ZELPacketShortBlock;
    PutIndex(Block.data() + 1, C->ListIndex);
    TZELNetRelayRecord r;
    r.Skip = C;
    r.Packet = Block;
    r.Speaker = Group(0x2C04080, 0x2004080);
    r.Cache = Group(0x4C04080, 0x4004080);
    r.Packets = Group(0xC04000, 0x4000);
    RelayToMembers(r);
    if (Floor_.CollectShort(Block)) SendCollector();
}

void TZELServNetwork::SendCollector() {
    const AnsiString& packet = Floor_.TakeCollector();
    Cache_.TextsFor(*Floor_.Talker());
    TZELNetRelayRecord r;
    r.Skip = Floor_.Talker();
    r.Packet = packet;
    r.Speaker = Group(0x2C04080, 0x2000080);
    r.Cache = Group(0x4C04080, 0x4000080);
    r.Packets = Group(0xC04000, 0);
    RelayToMembers(r);
}

// ---------------------------------------------------------------------------------------------
// Speaker cache.

void TZELServNetwork::ClearCacheBit(int32_t Pos) {
    const uint32_t bit = ~(1u << Pos);
    for (auto& [k, c] : Members_)
        if (c->ClientFlags.load(std::memory_order_relaxed) & ZELClientCacheList) c->CacheBitmap &= bit;
}

// ---------------------------------------------------------------------------------------------
// Floor housekeeping.

void TZELServNetwork::FloorHousekeeping() {
    static const char floorFree = ZELPacketFloorFree;
    static const char ack = ZELPacketSoundAck;
    TZELNetRelayRecord r;
    TZELSVCContext* t = Floor_.Talker();
    if (t == nullptr) {
        r.Packet = AnsiView(&floorFree, 1);
        r.Packets = Group(0xC00800, 0);
        SendToMembers(r);
        return;
    }
    if (!SpeechCheck(t)) return;
    if ((t->ClientFlags.load() & 0x802000u) == 0x2000u) t->vSend(AnsiView(&ack, 1));
    if (!Floor_.SilenceDue(Now_)) return;
    r.Skip = t;
    r.Packet = AnsiView(&ack, 1);
    r.Packets = Group(0x803400, 0x2000);
    SendToMembers(r);
    r.Packet = Floor_.SilenceShort();
    r.Packets = Group(0x807400, 0x4000);
    SendToMembers(r);
    r.Packet = Floor_.SilenceVoice();
    r.Packets = Group(0x807400, 0);
    SendToMembers(r);
}

// ---------------------------------------------------------------------------------------------
// Member lists.

std::vector<const TZELSVCContext*> TZELServNetwork::ListedOrder() const {
    std::vector<const TZELSVCContext*> v;
    for (const TZELSVCContext* c : ListedMembers_)
        if (c) v.push_back(c);
    return v;
}

void TZELServNetwork::AddCompactEntry(TStringBldA& B, const TZELSVCContext* C) const {
    // The head digits follow the flags of now (the entries were built at the connect parse, before
    // the join set status, mute and talk right); the items stand as built. Lists, speaker, sender
    // and cache texts all take the entry from here.
    const uint32_t flags = C->ClientFlags.load(std::memory_order_relaxed);
    const AnsiString& e = C->CompactEntryUtf8;  // only UTF-8 members take compact entries
    StrBldAAddHexByte(B, static_cast<uint8_t>(flags & ((flags & ZELClientUtf8) ? 191u : 63u)));
    if (e.size() > 2) StrBldAAdd(B, AnsiView(e).substr(2));
}

void TZELServNetwork::Renumber() {
    uint16_t i = 0;
    for (TZELSVCContext* c : ListedMembers_) c->ListIndex = ++i;
}

void TZELServNetwork::MemberListDiff() {
    TStringBldA& b = TextBld_;
    StrBldAReset(b);
    StrBldAAddChar(b, ZELPacketMemberDiff);
    StrBldAAddChar(b, '\0');
    StrBldAAddChar(b, '\0');
    StrBldAAdd(b, "000000\r\n");
    int32_t lines = 0;
    bool addRemove = false, entry = false, status = false;
    const auto pos = [&](size_t p) {
        StrBldAAddHexByte(b, static_cast<uint8_t>(p >> 8));
        StrBldAAddHexByte(b, static_cast<uint8_t>(p & 0xFF));
        ++lines;
    };
    std::vector<TZELSVCContext*> next;
    next.reserve(Members_.size());
    size_t i = 0;
    auto j = Members_.begin();
    // Members keep their relative order (the sort key never changes), so one pass merges.
    while (i < ListedMembers_.size() || j != Members_.end()) {
        const auto gone = [&] { return ListedMembers_[i] == nullptr || j == Members_.end(); };
        if (i < ListedMembers_.size() && gone()) {
            size_t n = 0;
            while (i < ListedMembers_.size() && gone()) ++i, ++n;
            pos(next.size());
            StrBldAAddChar(b, '-');
            StrBldAAddInt(b, static_cast<int32_t>(n));
            StrBldAAddCRLF(b);
            addRemove = true;
            continue;
        }
        TZELSVCContext* c = j->second;
        const uint32_t flags = c->ClientFlags.load();
        if (i == ListedMembers_.size() || ListedMembers_[i] != c) {
            pos(next.size());
            StrBldAAddChar(b, '+');
            AddCompactEntry(b, c);
            addRemove = true;
        } else {
            ++i;
            if (flags & ZELClientEntryChanged) {
                pos(next.size());
                StrBldAAddChar(b, '=');
                AddCompactEntry(b, c);
                entry = true;
                ++c->EntrySerial;
            } else if (flags & ZELClientChanged) {
                // The speaker and sender texts carry the status digits too: the next ones go out
                // anew.
                ++c->EntrySerial;
                pos(next.size());
                StrBldAAddChar(b, '*');
                const size_t at = static_cast<size_t>(b.Len());
                AddCompactEntry(b, c);
                b.Truncate(static_cast<int32_t>(at + 2));
                StrBldAAddCRLF(b);
                status = true;
            }
        }
        c->ClientFlags.fetch_and(~(ZELClientEntryChanged | ZELClientChanged));
        next.push_back(c);
        ++j;
    }
    ListedMembers_ = std::move(next);
    DiffText_.assign(StrBldAView(b));
    const std::string count = std::to_string(lines);
    DiffText_.replace(3 + 6 - count.size(), count.size(), count);
    // The bits name what the lines hold, whoever asked for the merge: an entry changed on its
    // own (the Parrot's description) goes out as the full lists too.
    Dirty_ &= ~kMemberListBits;
    if (addRemove) Dirty_ |= ZELNetDirtyMembers;
    if (entry) Dirty_ |= ZELNetDirtyEntry;
    if (status) Dirty_ |= ZELNetDirtyStatus;
    if (lines > 0) Renumber();
}

void TZELServNetwork::BuildFullLists() {
    TStringBldA& b = TextBld_;
    const int32_t n = ListedCount();
    bool counts = false;
    for (const auto& [k, c] : Members_)
        if ((c->ClientFlags.load(std::memory_order_relaxed) & ZELClientListFormatMask) == 0x200) counts = true;
    for (int form = 0; form < 2; ++form) {
        StrBldAReset(b);
        StrBldAAddChar(b, form == 0 ? ZELPacketMemberList : ZELPacketMemberListUtf8);
        StrBldAAdd(b, AnsiView("\0\0", 2));
        StrBldAAddInt(b, n);
        StrBldAAddCRLF(b);
        for (const TZELSVCContext* c : ListedMembers_) {
            if (form == 0)
                StrBldAAdd(b, c->ClassicEntry);
            else
                AddCompactEntry(b, c);
        }
        (form == 0 ? FullText_ : FullTextUtf8_).assign(StrBldAView(b));
    }
    if (counts) {
        StrBldAReset(b);
        StrBldAAddChar(b, ZELPacketMemberCount);
        StrBldAAddInt(b, n);
        StrBldAAddCRLF(b);
        CountText_.assign(StrBldAView(b));
    }
}

void TZELServNetwork::SendMemberLists() {
    const uint16_t t = TalkerIndex();
    for (AnsiString* s : {&FullText_, &FullTextUtf8_, &DiffText_})
        if (s->size() >= 3) PutIndex(s->data() + 1, t);
    TZELNetRelayRecord r;
    if (!CountText_.empty()) {
        r.Packet = CountText_;
        r.Packets = Group(0x800700, 0x200);
        SendToMembers(r);
    }
    r.Packet = FullTextUtf8_;
    r.Packets = Group(0xC00780, 0x400380);
    SendToMembers(r);
    r.Packet = DiffText_;
    r.Packets = Group(0xC00780, 0x380);
    SendToMembers(r);
    r.Packet = FullText_;
    r.Packets = Group(0x800700, 0);
    SendToMembers(r);
    ListsPublished_ = true;
}

void TZELServNetwork::UpdateOutputLimit() {
    const int64_t limit = static_cast<int64_t>(FullText_.size()) * Options_.OutputBufferFactor +
                          1700 * static_cast<int64_t>(S_.ClientActivityTimeout());
    const int32_t lim = limit > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(limit);
    if (!ListsPublished_) return;
    // OutputBufferLimit holds only until the first list: then the list's own limit, at once.
    if (lim >= OutputLimit_ || !LimitFromList_) {
        LimitFromList_ = true;
        OutputLimit_ = lim;
        LowerPending_ = false;
    } else if (!LowerPending_ || lim != LowerLimit_) {
        // A lower limit waits, so a short dip in the list does not cut slow readers off.
        if (!LowerPending_) LowerSince_ = Now_;
        LowerPending_ = true;
        LowerLimit_ = lim;
    }
}

// ---------------------------------------------------------------------------------------------
// The command channel's member lines.

void TZELServNetwork::PrepareCmdMembers(TZELCmdListBlock& Block) {
    StrBldAReset(MemberBld_);
    StrBldAReset(CmdMemberBld_);
    int32_t n = 0;
    TZELCmdMemberLine line;
    for (const TZELSVCContext* c : ListedMembers_) {
        if (c == nullptr) continue;
        ++n;
        const uint32_t flags = c->ClientFlags.load(std::memory_order_relaxed);
        const bool utf8 = (flags & ZELClientUtf8) != 0;
        TZELCmdClientFields f;
        f.Country = utf8 ? AnsiView(c->CountryUtf8) : AnsiView(c->Country);
        f.City = utf8 ? AnsiView(c->CityUtf8) : AnsiView(c->City);
        f.Band = utf8 ? AnsiView(c->BandUtf8) : AnsiView(c->Band);
        f.Callsign = utf8 ? AnsiView(c->CallsignUtf8) : AnsiView(c->Callsign);
        f.Id = c->Id;
        f.Description = utf8 ? AnsiView(c->DescriptionUtf8) : AnsiView(c->Description);
        AddCmdClientLine(MemberBld_, static_cast<uint8_t>(flags & (utf8 ? 0xBFu : 0x3Fu)), f);
        line.Privilege = c->Privilege;
        line.Address = c->PeerText();
        line.EMail = c->EMail;
        for (int32_t i = 0; i < 3; ++i) {
            const TZELSVCContextManagerInfo& m = c->ManagerInfo[size_t(i)];
            line.ManagerIds[i] = (ActiveMask_ & (1u << i)) != 0 && m.Answer != 0 ? m.Session : AnsiString();
        }
        line.ExtensionFlags = c->AcceptedFlags.load(std::memory_order_relaxed);
        AddCmdMemberLine(CmdMemberBld_, line);
    }
    Block.ClientCount = n;
    Block.ClientLines = StrBldAView(MemberBld_);
    Block.MemberLines = StrBldAView(CmdMemberBld_);
}

// ---------------------------------------------------------------------------------------------
// The network's list packets.

namespace {

template <class L>
void BuildEntryPackets(AnsiString& Ansi, AnsiString& Utf8, char TypeA, char TypeU, const L& List) {
    for (int form = 0; form < 2; ++form) {
        AnsiString& t = form == 0 ? Ansi : Utf8;
        t.assign(1, form == 0 ? TypeA : TypeU);
        t += std::to_string(List.Count());
        t += "\r\n";
        for (int32_t i = 0; i < List.Count(); ++i) t += form == 0 ? List.Get(i)->ProtoLine : List.Get(i)->CommandLine;
    }
}

}  // namespace

void TZELServNetwork::SendListPackets(const std::vector<TZELSVCContext*>& Approved) {
    // Blocks, mutes, administrators, mode switches, rights, notices; each: the queue of Requests_,
    // the changed bit and the send-to-the-queue bit.
    struct TStep {
        int Queue;
        uint32_t Changed, ToQueue;
    };
    static constexpr TStep kSteps[] = {{1, 0x20, 0x40},   {0, 0x8, 0x10},     {2, 0x80, 0x100},
                                       {3, 0x200, 0x400}, {4, 0x800, 0x1000}, {5, 0x2000, 0x4000}};
    AnsiString ansi, utf8;
    for (const TStep& st : kSteps) {
        if ((Dirty_ & (st.Changed | st.ToQueue)) == 0) continue;
        bool modes = false;
        switch (st.Queue) {
            case 0: BuildEntryPackets(ansi, utf8, ZELPacketMutes, ZELPacketMutesUtf8, Mutes_); break;
            case 1: BuildEntryPackets(ansi, utf8, ZELPacketBlocks, ZELPacketBlocksUtf8, Blocks_); break;
            case 2: BuildEntryPackets(ansi, utf8, ZELPacketAdmins, ZELPacketAdminsUtf8, Admins_); break;
            case 3:
                modes = true;
                ansi = AnsiString(1, ZELPacketModes) + "2\r\n" + (ConnectionMode_ ? '1' : '0') + "\r\n" +
                       (TalkMode_ ? '1' : '0') + "\r\n";
                break;
            case 4: BuildEntryPackets(ansi, utf8, ZELPacketRights, ZELPacketRightsUtf8, Rights_); break;
            default:
                ansi = AnsiString(1, ZELPacketNotice) + "1\r\n" + Notices_.Notice1 + "\r\n";
                utf8 = Notices_.Notice2.empty()
                           ? ansi
                           : AnsiString(1, ZELPacketNoticeUtf8) + "1\r\n" + Notices_.Notice2 + "\r\n";
                break;
        }
        std::vector<TZELSVCContext*>& queue = Requests_[st.Queue];
        const auto send = [&](TZELSVCContext* c) {
            const uint32_t f = c->ClientFlags.load(std::memory_order_relaxed);
            if (modes) {
                if ((f & 0x980400u) == 0x180000u) c->vSendNoFlush(ansi);
            } else if ((f & 0x880480u) == 0x80080u) {
                c->vSendNoFlush(utf8);
            } else if ((f & 0x880480u) == 0x80000u) {
                c->vSendNoFlush(ansi);
            }
        };
        if (Dirty_ & st.Changed) {
            for (auto it = Members_.rbegin(); it != Members_.rend(); ++it) send(it->second);
        } else {
            for (TZELSVCContext* c : Approved)
                if (c->NetState == NS::ncs_Member) send(c);
            for (TZELSVCContext* c : queue)
                if (std::find(Approved.begin(), Approved.end(), c) == Approved.end()) send(c);
        }
        queue.clear();
    }
}

// ---------------------------------------------------------------------------------------------
// Commands: list changes, switches, notices and the command port's requests.

namespace {

// The send-to-the-queue and changed bits of each list, in the order of TListKind (the changed bits
// equal the service's save bits).
constexpr uint32_t ListSendBit(int List) { return 0x10u << (2 * List); }
constexpr uint32_t ListChangedBit(int List) { return 0x8u << (2 * List); }
constexpr uint8_t kServerLevel = static_cast<uint8_t>(TZELClientPrivilege::clpr_SERVOWNER);

bool IsOwnerRole(const TZELSVCContext* C) { return (C->ClientFlags.load() & ZELClientRoleMask) == ZELClientRoleOwner; }

}  // namespace

void TZELServNetwork::QueueListRequest(TZELSVCContext* C, TListKind List) {
    auto& q = Requests_[List];
    if (std::find(q.begin(), q.end(), C) == q.end()) q.push_back(C);
    Dirty_ |= ListSendBit(List);
}

void TZELServNetwork::MarkListChanged(TListKind List) {
    Dirty_ |= ListChangedBit(List);
    S_.SetServiceFlags(ListChangedBit(List));
}

TZELSVCListClientData TZELServNetwork::ServerSetter() const {
    TZELSVCListClientData d;
    d.Id = ServerId();
    d.Privilege = TZELClientPrivilege::clpr_SERVOWNER;
    if (Parrot_ != nullptr) {
        d.ON = Parrot_->Callsign;
        d.ON8 = Parrot_->CallsignUtf8;
    }
    return d;
}

TZELSVCContext* TZELServNetwork::ListTarget(AnsiView Id, TZELSVCListClientData& Data) const {
    TZELSVCContext* c = MemberById(Id);
    Data = TZELSVCListClientData{};
    if (c != nullptr) {
        c->FillListClientData(Data);
    } else {
        Data.Id.assign(Id);
        Data.Online = false;
    }
    return c;
}

bool TZELServNetwork::IsServerOwnerId(AnsiView Id) const {
    const UnicodeString mail = TrimU(S_.ServerOwnerEMail());
    return !mail.empty() && CalcSourceId(UnicodeToUtf8A(mail)) == Id;
}

void TZELServNetwork::AddMute(const TZELSVCListClientData& Setter, AnsiView Id, int32_t Duration) {
    TZELSVCListClientData target;
    if (ListTarget(Id, target) != nullptr) MuteClientById(Id);
    if (MuteBlockListAddClient(Mutes_, target, Setter, Duration > 0 ? Duration : 0, *this, ListBld_))
        MarkListChanged(lkMutes);
}

void TZELServNetwork::RemoveMute(AnsiView Id, AnsiView RequesterId, uint8_t Level) {
    if (!MuteBlockListRemove(Mutes_, Id, RequesterId, Level, *this)) return;
    MarkListChanged(lkMutes);
    UnmuteClientById(Id);
}

void TZELServNetwork::AddBlock(const TZELSVCListClientData& Setter, AnsiView Id, int32_t Duration) {
    TZELSVCListClientData target;
    TZELSVCContext* c = ListTarget(Id, target);
    // Owners, the Parrot and the server owner are never blocked.
    if (c != nullptr ? c == Parrot_ || IsOwnerRole(c) : IsServerOwnerId(Id)) return;
    if (!MuteBlockListAddClient(Blocks_, target, Setter, Duration > 0 ? Duration : 0, *this, ListBld_)) return;
    MarkListChanged(lkBlocks);
    if (c != nullptr) DropMember(c, DC::fsdc_ServerBlock);
}

void TZELServNetwork::RemoveBlock(AnsiView Id, AnsiView RequesterId, uint8_t Level) {
    if (MuteBlockListRemove(Blocks_, Id, RequesterId, Level, *this)) MarkListChanged(lkBlocks);
}

void TZELServNetwork::AddAdmin(TZELSVCContext* Requester, AnsiView Id) {
    TZELSVCListClientData target;
    TZELSVCContext* c = ListTarget(Id, target);
    if (c != nullptr ? c == Parrot_ || IsOwnerRole(c) : IsNetOwnerId(Id) || IsServerOwnerId(Id)) return;
    if (!AdminsListAddClient(Admins_, target, *this)) return;
    MarkListChanged(lkAdmins);
    if (c == nullptr) return;
    if (Requester != nullptr && Options_.LogAdmin) S_.AddLogLine(c->ActionLogLine(*Requester, u" ADDED_INTO_ADMINS"));
    DropMember(c, DC::fsdc_ChangeRole);
}

void TZELServNetwork::RemoveAdmin(AnsiView Id) {
    if (!AdminsListRemove(Admins_, Id)) return;
    MarkListChanged(lkAdmins);
    ClientRoleChangedById(Id);
}

void TZELServNetwork::AddRight(AnsiView EMail) {
    const AnsiString mail = TrimA(EMail);
    AnsiString key;
    if (mail.empty() || !TryPadKey8A(mail, key)) return;
    TZELSVCListClientData target;
    TZELSVCContext* online = nullptr;
    for (auto& [k, c] : Members_)
        if (c != Parrot_ && c->EMailKey == key && (c->ClientFlags.load() & ZELClientClosing) == 0) online = c;
    if (online != nullptr) {
        online->FillListClientData(target);
    } else {
        target.EMail = mail;
        target.EMailKey = key;
        target.Online = false;
    }
    if (!AccessListAddClient(Rights_, target, *this)) return;
    MarkListChanged(lkRights);
    ProcessAccessModes();
}

void TZELServNetwork::RemoveRight(AnsiView EMail) {
    AnsiString key;
    if (!TryPadKey8A(TrimA(EMail), key) || !AccessListRemove(Rights_, key)) return;
    MarkListChanged(lkRights);
    ProcessAccessModes();
}

void TZELServNetwork::MarkRight(AnsiView EMail, bool Mark) {
    AnsiString key;
    if (!TryPadKey8A(TrimA(EMail), key) || !AccessListSetMark(Rights_, key, Mark ? 1 : 0)) return;
    MarkListChanged(lkRights);
    ProcessAccessModes();
}

bool TZELServNetwork::SetNotices(AnsiView Notice1, AnsiView Notice2) {
    AnsiString n1 = TrimA(Notice1), n2 = TrimA(Notice2);
    if (n1 == Notices_.Notice1 && n2 == Notices_.Notice2) return false;
    Notices_.Notice1 = std::move(n1);
    Notices_.Notice2 = std::move(n2);
    MarkListChanged(lkNotices);
    return true;
}

void TZELServNetwork::SwitchChanged() {
    Dirty_ |= ZELNetDirtyModes | ZELNetDirtyRights;
    S_.SetServiceFlags(ZELSVCFlagModes);
}

void TZELServNetwork::SetManagerMode(int32_t Mode, bool ServerWide) {
    // The configured mode is a value like any other, so an operator can always return to it; a
    // network with a mode of its own follows only its own command.
    if (Mode < 0 || Mode > 3 || (ServerWide && Options_.ManagerModeSet)) return;
    ModeInForce_ = static_cast<TZELSystemManagerMode>(Mode);
    UpdateManagers(false);
}

bool TZELServNetwork::DisconnectById(AnsiView Id) {
    TZELSVCContext* found = MemberById(Id);
    if (found == Parrot_) found = nullptr;
    for (const TGroup* g : {&AwaitingAuth_, &Newbies_, &Approved_, &Quarantine_}) {
        if (found != nullptr) break;
        for (TZELSVCContext* c : *g)
            if (c->Id == Id) found = c;
    }
    if (found == nullptr) return false;
    found->SetDisconnectCause(DC::fsdc_ByOwner);
    DropClient(found, DC::fsdc_ByOwner);
    return true;
}

bool TZELServNetwork::SenderCached(const TZELSVCContext* Target, const TZELSVCContext* Sender) const {
    return Sender->CachePos >= 0 && (Target->CacheBitmap & (1u << Sender->CachePos)) != 0;
}

void TZELServNetwork::TextMessage(TZELSVCContext* Sender, const TZELSVCNetQueueRecord& Rec) {
    const bool ext = Rec.Command == Q::fsnq_ClientMessageExt;
    const auto packetFor = [&](const TZELSVCContext* T) -> const AnsiString& {
        return ext && (T->ClientFlags.load() & ZELClientUtf8) != 0 ? Rec.Text3 : Rec.Text2;
    };
    // The sender texts: byte 143 and the sender's entry; byte 147 and its cache position.
    const auto senderText = [&] {
        StrBldAReset(TextBld_);
        StrBldAAddChar(TextBld_, ZELPacketMessageSender);
        AddCompactEntry(TextBld_, Sender);
        return AnsiString(StrBldAView(TextBld_));
    };
    const auto positionText = [&] {
        StrBldAReset(TextBld_);
        StrBldAAddChar(TextBld_, ZELPacketMessagePosition);
        StrBldAAddHexByte(TextBld_, static_cast<uint8_t>(Sender->CachePos));
        StrBldAAddCRLF(TextBld_);
        return AnsiString(StrBldAView(TextBld_));
    };
    if (!Rec.Text1.empty()) {
        // Only to a member past its login answer: a client that still waits for it would read the
        // text inside its answer.
        TZELSVCContext* t = MemberById(Rec.Text1);
        if (t == nullptr || (t->ClientFlags.load() & (ZELClientJoining | ZELClientClosing)) != 0) return;
        const uint32_t f = t->ClientFlags.load();
        if ((f & ZELClientCacheList) != 0 && SenderCached(t, Sender)) {
            if (t->ToldMsgPos != Sender->CachePos) {
                t->ToldMsgPos = Sender->CachePos;
                t->vSendNoFlush(positionText());
            }
        } else if ((f & 0x6800080u) == 0x2000080u || (f & 0x6800080u) == 0x4000080u) {
            t->vSendNoFlush(senderText());
            t->ToldMsgPos = -1;
            t->ToldMsgKey = ~uint64_t(0);
        }
        t->vSend(packetFor(t));
        return;
    }
    // To all, by the relay's groups, the sender skipped: the cache group gets the sender's cache
    // entry (once per position) and its position text, the speaker group the sender text once per
    // sender change, every member not closing the text.
    CacheTouch(Sender);
    const int32_t pos = Sender->CachePos;
    const uint32_t bit = 1u << pos;
    const uint64_t key = KeyOf(Sender);
    AnsiString sender, position;
    for (auto it = Members_.rbegin(); it != Members_.rend(); ++it) {
        TZELSVCContext* m = it->second;
        if (m == Sender) continue;
        const uint32_t f = m->ClientFlags.load();
        if ((f & 0x4800080u) == 0x4000080u) {
            if ((m->CacheBitmap & bit) == 0) {
                m->CacheBitmap |= bit;
                m->vSendNoFlush(Cache_.CacheText());
            }
            if (m->ToldMsgPos != pos) {
                m->ToldMsgPos = pos;
                if (position.empty()) position = positionText();
                m->vSendNoFlush(position);
            }
        }
        if ((f & 0x2800080u) == 0x2000080u && m->ToldMsgKey != key) {
            m->ToldMsgKey = key;
            if (sender.empty()) sender = senderText();
            m->vSendNoFlush(sender);
        }
        if ((f & ZELClientClosing) == 0) m->vSend(packetFor(m));
    }
}

void TZELServNetwork::RunClientCommand(TZELSVCNetQueueRecord& Rec) {
    TZELSVCContext* c = AsClient(Rec.Owner);
    if (c == nullptr || c->NetState != NS::ncs_Member || (c->ClientFlags.load() & ZELClientClosing) != 0) return;
    const TZELSVCNetQueueCommand code = Rec.Command;
    const uint8_t level = static_cast<uint8_t>(c->Privilege);
    TZELSVCListClientData me;
    c->FillListClientData(me);
    switch (code) {
        case Q::fsnq_ClientMessage:
        case Q::fsnq_ClientMessageExt:
            TextMessage(c, Rec);
            return;
        case Q::fsnq_ClientMute:
        case Q::fsnq_ClientUnmute:
            QueueListRequest(c, lkMutes);
            if (code == Q::fsnq_ClientMute)
                AddMute(me, Rec.Text1, Rec.Value1);
            else
                RemoveMute(Rec.Text1, c->Id, level);
            return;
        case Q::fsnq_ClientBlock:
        case Q::fsnq_ClientUnblock:
            QueueListRequest(c, lkBlocks);
            if (code == Q::fsnq_ClientBlock)
                AddBlock(me, Rec.Text1, Rec.Value1);
            else
                RemoveBlock(Rec.Text1, c->Id, level);
            return;
        case Q::fsnq_ClientAddAdmin:
        case Q::fsnq_ClientDeleteAdmin:
            QueueListRequest(c, lkAdmins);
            if (code == Q::fsnq_ClientAddAdmin)
                AddAdmin(c, Rec.Text1);
            else
                RemoveAdmin(Rec.Text1);
            return;
        case Q::fsnq_ClientConnModeOn:
        case Q::fsnq_ClientConnModeOff:
        case Q::fsnq_ClientTalkModeOn:
        case Q::fsnq_ClientTalkModeOff: {
            QueueListRequest(c, lkModes);
            Dirty_ |= ListSendBit(lkRights);
            const bool on = code == Q::fsnq_ClientConnModeOn || code == Q::fsnq_ClientTalkModeOn;
            if (code <= Q::fsnq_ClientConnModeOff ? SetConnectionMode(on) : SetTalkMode(on)) SwitchChanged();
            return;
        }
        case Q::fsnq_ClientAddRight:
        case Q::fsnq_ClientDeleteRight:
        case Q::fsnq_ClientMarkRight:
        case Q::fsnq_ClientUnmarkRight:
            QueueListRequest(c, lkRights);
            if (Rec.Text1.empty()) return;
            if (code == Q::fsnq_ClientAddRight)
                AddRight(Rec.Text1);
            else if (code == Q::fsnq_ClientDeleteRight)
                RemoveRight(Rec.Text1);
            else
                MarkRight(Rec.Text1, code == Q::fsnq_ClientMarkRight);
            return;
        case Q::fsnq_ClientNotice:
        case Q::fsnq_ClientNoticeUtf8:
            QueueListRequest(c, lkNotices);
            SetNotices(Rec.Text1, code == Q::fsnq_ClientNoticeUtf8 ? AnsiView(Rec.Text2) : AnsiView());
            return;
        default:
            throw Exception(FormatA("Unknown network command: %d", static_cast<int>(code)));
    }
}

void TZELServNetwork::RunCommandPort(TZELSVCNetQueueRecord& Rec) {
    switch (Rec.Command) {
        case Q::fsnq_CmdMute:
            if (Rec.Value2 != 0)
                AddMute(ServerSetter(), Rec.Text2, Rec.Value1);
            else
                RemoveMute(Rec.Text2, ServerId(), kServerLevel);
            return;
        case Q::fsnq_CmdBlock:
            if (Rec.Value2 != 0)
                AddBlock(ServerSetter(), Rec.Text2, Rec.Value1);
            else
                RemoveBlock(Rec.Text2, ServerId(), kServerLevel);
            return;
        case Q::fsnq_CmdAdmin:
            if (Rec.Value1 != 0)
                AddAdmin(nullptr, Rec.Text1);
            else
                RemoveAdmin(Rec.Text1);
            return;
        case Q::fsnq_CmdRight:
            if (Rec.Value1 != 0)
                AddRight(Rec.Text1);
            else
                RemoveRight(Rec.Text1);
            return;
        case Q::fsnq_CmdRightMark:
            MarkRight(Rec.Text1, Rec.Value1 != 0);
            return;
        case Q::fsnq_CmdNotice:
            SetNotices(Rec.Text1, Rec.Text2);
            return;
        case Q::fsnq_CmdConnMode:
        case Q::fsnq_CmdTalkMode: {
            const bool conn = Rec.Command == TZELSVCNetQueueCommand::fsnq_CmdConnMode;
            if (Rec.Value1 == -1) {
                // The service hands the answer only to the requester that is still there.
                S_.PostCommandReply(Rec.Owner, Rec.OwnerId,
                                    (conn ? ConnectionMode_ : TalkMode_) ? "+1\r\n1\r\n" : "+1\r\n0\r\n");
                return;
            }
            if (Rec.Value1 != 0 && Rec.Value1 != 1) return;
            if (conn ? SetConnectionMode(Rec.Value1 == 1) : SetTalkMode(Rec.Value1 == 1)) SwitchChanged();
            return;
        }
        case Q::fsnq_SetServerManagerMode:
        case Q::fsnq_SetNetManagerMode:
            SetManagerMode(Rec.Value1, Rec.Command == TZELSVCNetQueueCommand::fsnq_SetServerManagerMode);
            return;
        case Q::fsnq_CmdDisconnect:
            S_.PostCommandReply(Rec.Owner, Rec.OwnerId, DisconnectById(Rec.Text1) ? "+OK\r\n" : "-NOCLIENT\r\n");
            return;
        default:
            throw Exception(FormatA("Unknown network command: %d", static_cast<int>(Rec.Command)));
    }
}

}  // namespace zel

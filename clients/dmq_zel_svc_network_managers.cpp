// TZELServNetwork and the System Managers (the class is declared in
// clients/dmq_zel_svc_network.hpp; these methods are the part of their role): which links serve
// the network, the mode in force, the answers on a client (code 44), the links that come up and go
// down (45, 46), and the verdicts taken on them.
#include "clients/dmq_zel_svc_context.hpp"
#include "clients/dmq_zel_svc_network.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_types.hpp"

namespace zel {

namespace {

using DC = TZELSVCDisconnectCause;
using NS = TZELNetClientState;

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
// The System Managers.

void TZELServNetwork::CheckManagers(uint32_t /*LinksMask*/) {
    // Whatever links the service keeps, each one serves the network only while it reports itself
    // up (codes 45 and 46), so a link that never connects is never waited for. Until one is up the
    // network runs as STANDALONE, which the start's check logs.
    UpdateManagers();
}

void TZELServNetwork::UpdateManagers() {
    const TZELSystemManagerMode was = EffectiveMode_;
    ActiveMask_ = static_cast<uint32_t>(Options_.ManagersMask) & LinksUp_ & 7u;
    ActiveCount_ = BitCount3(ActiveMask_);
    EffectiveMode_ = ActiveMask_ == 0 ? TZELSystemManagerMode::smm_Standalone : ModeInForce_;
    NoteStandaloneFall();
    if (EffectiveMode_ == was) return;
    if (EffectiveMode_ == TZELSystemManagerMode::smm_Standalone) {
        ReleaseAwaiting();
        return;
    }
    RejudgeClients();
    // Clients admitted without managers are asked now.
    if (was == TZELSystemManagerMode::smm_Standalone) AskLinks(ActiveMask_);
}

void TZELServNetwork::NoteStandaloneFall() {
    // A manager network without a link up admits everyone: the operator is told once per fall,
    // and again when a link takes over. The constructor's check runs before the hooks are set.
    if (!Info_) return;
    const bool fallen = ActiveMask_ == 0 && ModeInForce_ != TZELSystemManagerMode::smm_Standalone;
    if (fallen == FellToStandalone_) return;
    FellToStandalone_ = fallen;
    if (fallen) {
        Info_(u"WARNING: no active managers for the net(room); switching net(room) manager mode to STANDALONE");
    } else if (ActiveMask_ != 0) {
        Info_(u"managers active for the net(room) again; net(room) manager mode back to " +
              UnicodeString(ZELSystemManagerModeTexts[static_cast<size_t>(EffectiveMode_)]));
    }
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
    UpdateManagers();
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

}  // namespace zel

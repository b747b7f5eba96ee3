// TZELServNetwork's data lists and mode switches (the class is declared in
// clients/dmq_zel_svc_network.hpp; these methods are the part of their role): the installs of the
// lists read (codes 0 to 5), the list notices of the network base, the edits that the client
// commands (62 to 80) and the command port's requests (13 to 20, 26, 27, 35) ask for, and the list
// packets the housekeeping sends; the command channel's list answer.
#include <algorithm>
#include <string>
#include <utility>

#include "clients/dmq_zel_svc_connect_line.hpp"
#include "clients/dmq_zel_svc_context.hpp"
#include "clients/dmq_zel_svc_network.hpp"
#include "clients/dmq_zel_svc_packets.hpp"
#include "foundation/dmq_exception.hpp"
#include "service/dmq_zel_svc_reread.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_svc_tick.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

namespace {

using DC = TZELSVCDisconnectCause;
using NS = TZELNetClientState;
using Q = TZELSVCNetQueueCommand;

// The send-to-the-queue and changed bits of each list, in the order of TListKind (the changed bits
// equal the service's save bits).
constexpr uint32_t ListSendBit(int List) { return 0x10u << (2 * List); }
constexpr uint32_t ListChangedBit(int List) { return 0x8u << (2 * List); }
constexpr uint8_t kServerLevel = static_cast<uint8_t>(TZELClientPrivilege::clpr_SERVOWNER);

bool IsOwnerRole(const TZELSVCContext* C) { return (C->ClientFlags.load() & ZELClientRoleMask) == ZELClientRoleOwner; }

// The entry packets of a list in both forms: type byte, count, CR LF and each entry's line.
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

// ---------------------------------------------------------------------------------------------
// Installs of the lists read.

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

// ---------------------------------------------------------------------------------------------
// Data lists' notices.

// These act on a client wherever it is from its admission on: one that is still on its way in
// (awaiting its verdicts, before its client ready, in quarantine, approved) took its role, mute
// and block from the lists at its join, and would otherwise become a member without the change.

void TZELServNetwork::ClientRoleChangedById(AnsiView Id) {
    if (TZELSVCContext* c = AdmittedById(Id)) {
        if (c != Parrot_) DropClient(c, DC::fsdc_ChangeRole);
    }
}

void TZELServNetwork::MuteClientById(AnsiView Id) {
    TZELSVCContext* c = AdmittedById(Id);
    if (c == nullptr || (c == Parrot_ && !Options_.Parrot.ParrotMuteEnable)) return;
    if ((c->ClientFlags.fetch_or(ZELClientMuted) & ZELClientMuted) != 0) return;
    ReleaseAndFree(c);
    c->ClientFlags.fetch_or(ZELClientChanged);
    c->WriteEntryStatus();
    Dirty_ |= ZELNetDirtyStatus;
}

void TZELServNetwork::UnmuteClientById(AnsiView Id) {
    TZELSVCContext* c = AdmittedById(Id);
    if (c == nullptr) return;
    if ((c->ClientFlags.fetch_and(~ZELClientMuted) & ZELClientMuted) == 0) return;
    c->ClientFlags.fetch_or(ZELClientChanged);
    c->WriteEntryStatus();
    Dirty_ |= ZELNetDirtyStatus;
}

void TZELServNetwork::BlockClientById(AnsiView Id) {
    TZELSVCContext* c = AdmittedById(Id);
    if (c == nullptr || c == Parrot_ || (c->ClientFlags.load() & ZELClientRoleMask) == ZELClientRoleOwner) return;
    DropClient(c, DC::fsdc_ServerBlock);
}

// ---------------------------------------------------------------------------------------------
// List edits, mode switches and the command port's requests.

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
    TZELSVCContext* c = AdmittedById(Id);
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
    TZELSVCContext* c = ListTarget(Id, target);
    // A Parrot that may not be muted gets no entry either: owners and the file would show a mute
    // that does not hold.
    if (c != nullptr && c == Parrot_ && !Options_.Parrot.ParrotMuteEnable) return;
    if (c != nullptr) MuteClientById(Id);
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
    if (c != nullptr) DropClient(c, DC::fsdc_ServerBlock);
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
    DropClient(c, DC::fsdc_ChangeRole);
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
    UpdateManagers();
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

// ---------------------------------------------------------------------------------------------
// The client commands and the command port's records.

void TZELServNetwork::RunClientCommand(TZELSVCNetQueueRecord& Rec) {
    TZELSVCContext* c = AsClient(Rec.Owner);
    // A member that is leaving (its end of stream, or a line refused after this one) is still
    // here until its disconnect, which comes after its lines: what it sent before acts, with the
    // rights it had. A member the network dropped has left Members and its lines no longer act.
    if (c == nullptr || c->NetState != NS::ncs_Member) return;
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

// ---------------------------------------------------------------------------------------------
// The network's list packets.

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
// The command channel's list answer: the network line, then the client and member lines in list
// order.

void TZELServNetwork::PrepareCmdList(TZELCmdListBlock& Block) {
    StrBldAReset(ListBld_);
    const UnicodeString cs = NetworkCharsetName(this, S_.GetServerCharsetName());
    AddCmdNetworkLine(ListBld_, NameUtf8_, UnicodeToUtf8A(cs), S_.ParrotId());
    Block = TZELCmdListBlock{};
    Block.NetworkLine = StrBldAView(ListBld_);
    PrepareCmdMembers(Block);
}

void TZELServNetwork::PrepareCmdMembers(TZELCmdListBlock& Block) {
    StrBldAReset(MemberBld_);
    StrBldAReset(CmdMemberBld_);
    int32_t n = 0;
    TZELCmdMemberLine line;
    for (const TZELSVCContext* c : Lists_.Listed()) {
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

}  // namespace zel

// TZELServNetwork's floor and relay (the class is declared in clients/dmq_zel_svc_network.hpp;
// these methods are the part of their role): the grant and release through the floor, the voice
// and short blocks relayed to the members' send buffers with the speaker and cache texts, the
// floor housekeeping's packets, the member lists' hand-over and the text messages.
#include <string>

#include "clients/dmq_zel_svc_context.hpp"
#include "clients/dmq_zel_svc_context_parrot.hpp"
#include "clients/dmq_zel_svc_network.hpp"
#include "clients/dmq_zel_svc_packets.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

namespace {

using DC = TZELSVCDisconnectCause;
using NS = TZELNetClientState;
using Q = TZELSVCNetQueueCommand;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Floor and relay.

namespace {

TZELNetRelayGroup Group(uint32_t Mask, uint32_t Value) { return TZELNetRelayGroup{Mask, Value}; }

uint64_t KeyOf(const TZELSVCContext* C) { return ZELNetSpeakerKey(*C); }

}  // namespace

void TZELServNetwork::InitFloor() {
    StrBldAInit(TextBld_, 500);
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
    // Short frames spoken before this block go out first, padded as at the release, so that the
    // members without short frames hear them in the order spoken.
    if (Floor_.CollectorCount() > 0) SendCollector();
    RelayBlock(C, Block, ZELPacketVoice, 0);
}

// A block of the talker to the members, with its sender index: a voice block (ShortBit 0) to
// every member, a short block (ShortBit 0x4000) to the members that take short frames.
void TZELServNetwork::RelayBlock(TZELSVCContext* C, AnsiString& Block, char Type, uint32_t ShortBit) {
    Floor_.NoteVoice(*C, Now_);
    Cache_.TextsFor(*C);
    Block[0] = Type;
    PutIndex(Block.data() + 1, C->ListIndex);
    TZELNetRelayRecord r;
    r.Skip = C;
    r.Packet = Block;
    r.Speaker = Group(0x2C00080 | ShortBit, 0x2000080 | ShortBit);
    r.Cache = Group(0x4C00080 | ShortBit, 0x4000080 | ShortBit);
    r.Packets = Group(0xC00000 | ShortBit, ShortBit);
    RelayToMembers(r);
}

void TZELServNetwork::ShortBlock(TZELSVCContext* C, AnsiString& Block) {
    if (!Floor_.TakesShort(*C, Block.size())) return;
    if (!SpeechCheck(C)) return;
    RelayBlock(C, Block, ZELPacketShortBlock, 0x4000);
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
    // Short frames spoken before the pause go out before its silence, padded as at the release.
    if (Floor_.CollectorCount() > 0) SendCollector();
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

void TZELServNetwork::MemberListDiff() {
    const TZELNetListChanges changes = Lists_.Merge(Members_);
    // A changed status or entry raised its holder's speaker key: the caching members drop it.
    if (changes.Entry || changes.Status) Cache_.RenewChanged();
    // The bits name what the lines hold, whoever asked for the merge: an entry changed on its
    // own (the Parrot's description) goes out as the full lists too.
    Dirty_ &= ~ZELNetDirtyMemberLists;
    if (changes.Members) Dirty_ |= ZELNetDirtyMembers;
    if (changes.Entry) Dirty_ |= ZELNetDirtyEntry;
    if (changes.Status) Dirty_ |= ZELNetDirtyStatus;
}

void TZELServNetwork::SendMemberLists() {
    Lists_.Publish(TalkerIndex(), [this](AnsiView Text, uint32_t Mask, uint32_t Value) {
        TZELNetRelayRecord r;
        r.Packet = Text;
        r.Packets = TZELNetRelayGroup{Mask, Value};
        SendToMembers(r);
    });
}

// ---------------------------------------------------------------------------------------------
// Text messages.

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

}  // namespace zel

#include "clients/dmq_zel_svc_context_parrot.hpp"

#include <cstring>
#include <new>

#include "clients/dmq_zel_svc_packets.hpp"
#include "foundation/dmq_zel_classes.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_svc_queue.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

namespace {

using Q = TZELSVCNetQueueCommand;

constexpr char kTalkative[] = "Talkative bird";
constexpr char kSilent[] = "Silent bird";

// The line of P that starts at Pos, up to its CR or LF (or the end of P); Pos moves past its line
// end. False when the line has no line end.
bool NextLine(AnsiView P, size_t& Pos, AnsiView& Line) {
    size_t e = Pos;
    while (e < P.size() && P[e] != '\r' && P[e] != '\n') ++e;
    Line = P.substr(Pos, e - Pos);
    if (e == P.size()) {
        Pos = e;
        return false;
    }
    if (P[e] == '\r') ++e;
    if (e < P.size() && P[e] == '\n') ++e;
    Pos = e;
    return true;
}

// The message of a text packet: its third line (after the count line and the sender's id line),
// read strictly within the packet; false when the packet has no third line.
bool MessageOf(AnsiView Packet, AnsiView& Message) {
    size_t pos = 1;
    AnsiView line;
    if (!NextLine(Packet, pos, line) || !NextLine(Packet, pos, line)) return false;
    NextLine(Packet, pos, Message);
    return true;
}

}  // namespace

TZELSVCContextParrot::TZELSVCContextParrot(TZELService* Owner, TZELSVCNetworkBase* Network)
    : TZELSVCContext(Owner, -1, AnsiView(), 0, 0) {
    if (Network != nullptr) Options_ = Network->NetworkOptions().Parrot;
    Net = Network;
    ClientFlags.store(kFlags);
    Phase = 1;
    State = 0;
    ClientType = TZELClientType::clt_PC;
    // Plain ASCII: the same bytes in every 8-bit character set and in UTF-8.
    Country = CountryUtf8 = "The tree";
    CountryU = u"The tree";
    City = CityUtf8 = "The branch";
    CityU = u"The branch";
    Band = BandUtf8 = "Parrot";
    BandU = u"Parrot";
    Callsign = CallsignUtf8 = "The Parrot";
    CallsignU = u"The Parrot";
    SetDescription(kTalkative);
    Id = Owner != nullptr ? Owner->ParrotId() : CalcSourceId(" ");
    CallsignKey = PadKey8A(Callsign);
    LogName = u"Client: Parrot";
    StartedLong_ =
        BuildTextPacket(ZELPacketText, Id, "Parrot is started. Type message \"stop\" to stop parrot.", false);
    StoppedLong_ =
        BuildTextPacket(ZELPacketText, Id, "Parrot is stopped. Type message \"start\" to start parrot.", false);
    StartedShort_ = BuildTextPacket(ZELPacketText, Id, "Parrot is started.", false);
    StoppedShort_ = BuildTextPacket(ZELPacketText, Id, "Parrot is stopped.", false);
    RebuildEntries();
}

TZELSVCContextParrot::~TZELSVCContextParrot() = default;

uint32_t TZELSVCContextParrot::CurrentTick() const noexcept {
    return Owner != nullptr ? Owner->CurrentTick() : GetTickMs();
}

AnsiView TZELSVCContextParrot::Frame(uint32_t I) const {
    if (I >= FrameCount_) return AnsiView();
    return AnsiView(Blocks_[I / kFramesPerBlock]->data() + (I % kFramesPerBlock) * kFrameBytes, kFrameBytes);
}

AnsiView TZELSVCContextParrot::GreetingPacket() const {
    if (Options_.ParrotMessageDisable) return AnsiView();
    if (Options_.ParrotStartStopEnable) return Enabled_ ? StartedLong_ : StoppedLong_;
    return Enabled_ ? StartedShort_ : StoppedShort_;
}

// ---------------------------------------------------------------------------------------------
// Packets from the network.

void TZELSVCContextParrot::vSend(AnsiView Packet) {
    if (Packet.empty()) return;
    const uint32_t now = CurrentTick();
    LastActivity = now;
    switch (Packet[0]) {
        case ZELPacketVoice:
            Record(Packet);
            return;
        case ZELPacketFloorFree:
            FloorFree(now);
            return;
        case ZELPacketFloorGrant:
            FloorGranted(now);
            return;
        case ZELPacketText:
        case ZELPacketTextUtf8:
            TextCommand(Packet);
            return;
        default:
            return;
    }
}

void TZELSVCContextParrot::Record(AnsiView Packet) {
    // Only whole voice packets as the network relays them.
    if (Packet.size() != kFrameBytes) return;
    // A talk that comes while pausing continues the stored frames.
    if (Mode_ == pm_Idle || Mode_ == pm_Pausing) Mode_ = pm_Recording;
    if (Mode_ != pm_Recording || !Enabled_) return;
    if (RecordedMs_ >= Options_.ParrotMaxRecordTime || FrameCount_ >= kMaxFrames) return;
    if (FrameCount_ == Blocks_.size() * kFramesPerBlock) {
        // Out of memory costs the rest of this recording, never the relay that called us.
        try {
            Blocks_.push_back(std::make_unique<TBlock>());
        } catch (const std::bad_alloc&) {
            return;
        }
    }
    std::memcpy(Blocks_[FrameCount_ / kFramesPerBlock]->data() + (FrameCount_ % kFramesPerBlock) * kFrameBytes,
                Packet.data(), kFrameBytes);
    ++FrameCount_;
    RecordedMs_ += kFrameMs;
}

void TZELSVCContextParrot::FloorFree(uint32_t Now) {
    switch (Mode_) {
        case pm_Recording:
            if (FrameCount_ > 0) {
                PauseStart_ = Now;
                Mode_ = pm_Pausing;
            } else {
                Mode_ = pm_Idle;
            }
            return;
        case pm_Replaying:
            // Somebody took the floor away: the replay is cut.
            StopReplay();
            return;
        default:
            return;
    }
}

void TZELSVCContextParrot::FloorGranted(uint32_t Now) {
    if (Mode_ == pm_Replaying) return;
    if (Mode_ != pm_Pausing || FrameCount_ == 0) {
        // Nothing to play (a late grant for a request made before the recording went): the floor
        // goes back at once, or it would stay with the bot, to which no speech limit applies.
        if (Mode_ == pm_Pausing) {
            StopReplay();
        } else {
            Post(Q::fsnq_ClientStopTalking);
        }
        return;
    }
    ReplayTick_ = Now - kFrameMs;
    ReplayIndex_ = 0;
    RepeatsLeft_ = Options_.ParrotRepeatCount;
    Mode_ = pm_Replaying;
    ReplayStep(Now);
}

// ---------------------------------------------------------------------------------------------
// Timing.

void TZELSVCContextParrot::Tick(uint32_t Now) {
    if (Mode_ == pm_Pausing) {
        if (FrameCount_ == 0) {
            Mode_ = pm_Idle;
        } else if (Now - PauseStart_ >= Options_.ParrotPause) {
            Post(Q::fsnq_ClientRequestFloor);
        }
    } else if (Mode_ == pm_Replaying) {
        ReplayStep(Now);
    }
}

void TZELSVCContextParrot::ReplayStep(uint32_t Now) {
    if (FrameCount_ == 0) {
        // The recording went meanwhile: nothing may be read.
        StopReplay();
        return;
    }
    // Whole frames since the last one: one per 200 ms on average, those missed in a stall at once.
    uint32_t n = (Now - ReplayTick_) / kFrameMs;
    while (n > 0 && Mode_ == pm_Replaying) {
        Post(Q::fsnq_ClientVoiceBlock, Frame(ReplayIndex_));
        ReplayTick_ += kFrameMs;
        --n;
        if (++ReplayIndex_ >= FrameCount_) {
            ReplayIndex_ = 0;
            if (RepeatsLeft_ > 0 && --RepeatsLeft_ == 0) break;
        }
    }
    if (RepeatsLeft_ == 0) StopReplay();
}

void TZELSVCContextParrot::StopReplay() {
    Mode_ = pm_Idle;
    DropRecording();
    Post(Q::fsnq_ClientStopTalking);
}

void TZELSVCContextParrot::DropRecording() noexcept {
    FrameCount_ = 0;
    RecordedMs_ = 0;
    ReplayIndex_ = 0;
    Blocks_.clear();
}

// ---------------------------------------------------------------------------------------------
// START and STOP.

void TZELSVCContextParrot::TextCommand(AnsiView Packet) {
    if (Packet.size() < 8) return;
    AnsiView message;
    if (!MessageOf(Packet, message)) return;
    const AnsiString word = AsciiUpperCaseA(TrimA(message));
    const bool start = word == "START";
    if (!start && word != "STOP") return;
    const bool was = Enabled_;
    if (Options_.ParrotStartStopEnable) {
        Enabled_ = start;
        if (!start) {
            // A replay in progress reads the frames: it stops before they go.
            if (Mode_ == pm_Replaying)
                StopReplay();
            else
                DropRecording();
        }
    }
    StateChanged();
    if (Options_.ParrotMessageDisable) return;
    if (Options_.ParrotStartStopEnable) {
        if (start)
            Answer(was ? "Parrot is started already. Type message \"stop\" to stop parrot."
                       : "Parrot is started. Type message \"stop\" to stop parrot.");
        else
            Answer(was ? "Parrot is stopped. Type message \"start\" to start parrot."
                       : "Parrot is stopped already. Type message \"start\" to start parrot.");
        return;
    }
    // The state cannot change here; a START to a stopped bot has no text.
    if (Enabled_)
        Answer(start ? "Parrot is started already." : "Parrot can not be stopped.");
    else if (!start)
        Answer("Parrot is stopped already.");
}

void TZELSVCContextParrot::StateChanged() {
    SetDescription(Enabled_ ? kTalkative : kSilent);
    ++EntrySerial;
    ClientFlags.fetch_or(ZELClientEntryChanged);
    RebuildEntries();
    Post(Q::fsnq_MemberListChanged);
}

void TZELSVCContextParrot::SetDescription(AnsiView Text) {
    Description.assign(Text);
    DescriptionUtf8.assign(Text);
    DescriptionU = WidenStrU(Text);
}

void TZELSVCContextParrot::RebuildEntries() {
    BuildListEntries();
    // The bot heads the member list; the key never changes while the network holds it by it.
    SortKey = BufToSortKeyA(" 0", 2);
}

void TZELSVCContextParrot::Answer(AnsiView Text) {
    AnsiString line = "TM:<ID></ID><MS>";
    line += Text;
    line += "</MS>";
    DispatchCommandLine(line);
}

void TZELSVCContextParrot::Post(TZELSVCNetQueueCommand Code, AnsiView Text1) {
    if (Owner == nullptr) return;
    TZELSVCClientCommandArgs a;
    a.Text1 = Text1;
    Owner->PostClientCommand(Code, this, a);
}

}  // namespace zel

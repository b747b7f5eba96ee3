#include "clients/dmq_zel_svc_floor.hpp"

#include <algorithm>
#include <string>

#include "clients/dmq_zel_svc_context.hpp"
#include "clients/dmq_zel_svc_packets.hpp"
#include "clients/dmq_zel_svc_speaker_cache.hpp"

namespace zel {

namespace {

// Listeners of a silent talker hear from the network this often.
constexpr uint32_t kFloorAckBurst = 500;
constexpr size_t kFrame = 65;
constexpr int32_t kFramesPerVoice = 5;
constexpr char kSilenceFrameHex[] =
    "204817d684028024499224890280244992248902802449922489028024499224098274614d28004892244992280048922449922800489224499228004892244992";

AnsiString SilenceFrame() {
    AnsiString f;
    for (size_t i = 0; i + 1 < sizeof(kSilenceFrameHex); i += 2)
        f.push_back(static_cast<char>(std::stoi(std::string(kSilenceFrameHex + i, 2), nullptr, 16)));
    return f;
}

}  // namespace

TZELNetFloor::TZELNetFloor(const TZELSVCNetworkOptions& Options)
    : SpeechLimit_(Options.SpeechLimit), MaxSpeechTime_(Options.MaxSpeechTime), SpeechPause_(Options.SpeechPause) {
    const AnsiString frame = SilenceFrame();
    SilenceShort_.assign(3, '\0');
    SilenceShort_[0] = ZELPacketShortBlock;
    SilenceShort_ += frame;
    SilenceVoice_.assign(3, '\0');
    SilenceVoice_[0] = ZELPacketVoice;
    for (int32_t i = 0; i < kFramesPerVoice; ++i) SilenceVoice_ += frame;
    Collector_ = SilenceVoice_;
}

uint16_t TZELNetFloor::TalkerIndex() const noexcept { return Talker_ ? Talker_->ListIndex : 0; }

void TZELNetFloor::Tick(uint32_t Now) noexcept {
    if (PauseActive_ && Now - ReleaseTime_ >= SpeechPause_) PauseActive_ = false;
}

bool TZELNetFloor::Grant(TZELSVCContext& C, uint32_t Now) {
    if (Talker_ != nullptr) return false;
    Tick(Now);
    if (PauseActive_) return false;
    // Only a member past its join talks: anyone else has no published index.
    if (C.NetState != TZELNetClientState::ncs_Member || (C.ClientFlags.load() & ZELClientJoining) != 0) return false;
    Talker_ = &C;
    CollectorCount_ = 0;
    C.ClientFlags.fetch_or(ZELClientHoldsFloor);
    C.FloorStart = Now;
    C.LastVoice = Now;
    MemberFlagMask_ |= ZELNetFlagLoggedIn;
    return true;
}

void TZELNetFloor::Release(TZELSVCContext& C, uint32_t Now) {
    if (Talker_ != &C) return;
    C.ClientFlags.fetch_and(~ZELClientHoldsFloor);
    MemberFlagMask_ &= ~ZELNetFlagLoggedIn;
    Talker_ = nullptr;
    if (SpeechPause_ > 0) {
        PauseActive_ = true;
        ReleaseTime_ = Now;
    }
}

bool TZELNetFloor::MayAsk(uint32_t Flags) noexcept { return (Flags & (ZELClientListenOnly | ZELClientMuted)) == 0; }

bool TZELNetFloor::MayStop(uint32_t Flags) noexcept {
    return (Flags & (ZELClientClosing | ZELClientJoining | ZELClientHoldsFloor)) == ZELClientHoldsFloor;
}

bool TZELNetFloor::GrantAnswerDue(const TZELSVCContext& C) const noexcept {
    return Talker_ == &C && (C.ClientFlags.load() & (ZELClientClosing | ZELClientJoining)) == 0;
}

std::array<char, 3> TZELNetFloor::GrantPacket(uint16_t Index) noexcept {
    std::array<char, 3> p{ZELPacketFloorGrant, 0, 0};
    PutPacketIndex(p.data() + 1, Index);
    return p;
}

TZELNetSpeech TZELNetFloor::CheckSpeech(const TZELSVCContext& C, uint32_t Now, uint32_t ActivityMs) const noexcept {
    if (!SpeechLimit_ || Now - C.FloorStart < MaxSpeechTime_)
        return Now - C.LastVoice > ActivityMs + 2000 ? TZELNetSpeech::nsp_Silent : TZELNetSpeech::nsp_Within;
    return TZELNetSpeech::nsp_Over;
}

bool TZELNetFloor::TakesVoice(const TZELSVCContext& C, size_t Size) const noexcept {
    return Talker_ == &C && Size == ZELNetVoicePacketSize && (C.ClientFlags.load() & 0xC0180Cu) == 0x1800u;
}

bool TZELNetFloor::TakesShort(const TZELSVCContext& C, size_t Size) const noexcept {
    return Talker_ == &C && Size == ZELNetShortPacketSize && (C.ClientFlags.load() & 0xC0580Cu) == 0x5800u;
}

void TZELNetFloor::NoteVoice(TZELSVCContext& C, uint32_t Now) noexcept {
    LastVoiceRelay_ = Now;
    C.LastVoice = Now;
}

bool TZELNetFloor::SpeakerTextStale() const noexcept {
    return Talker_ != nullptr && TalkerKey_ != ZELNetSpeakerKey(*Talker_);
}

void TZELNetFloor::SetSpeakerText(AnsiView Entry) {
    TalkerKey_ = ZELNetSpeakerKey(*Talker_);
    SpeakerText_.assign(1, ZELPacketSpeaker);
    SpeakerText_ += Entry;
}

bool TZELNetFloor::CollectShort(AnsiView Block) {
    const ptrdiff_t at = 3 + CollectorCount_ * static_cast<ptrdiff_t>(kFrame);
    std::copy(Block.begin() + 3, Block.end(), Collector_.begin() + at);
    return ++CollectorCount_ == kFramesPerVoice;
}

const AnsiString& TZELNetFloor::TakeCollector() {
    for (int32_t i = CollectorCount_; i < kFramesPerVoice; ++i)
        std::copy_n(SilenceVoice_.begin() + 3, kFrame, Collector_.begin() + 3 + i * static_cast<ptrdiff_t>(kFrame));
    CollectorCount_ = 0;
    Collector_[0] = ZELPacketVoice;
    PutPacketIndex(Collector_.data() + 1, TalkerIndex());
    return Collector_;
}

bool TZELNetFloor::SilenceDue(uint32_t Now) noexcept {
    if (Now - LastVoiceRelay_ < kFloorAckBurst) return false;
    LastVoiceRelay_ = Now;
    return true;
}

const AnsiString& TZELNetFloor::SilenceShort() {
    PutPacketIndex(SilenceShort_.data() + 1, TalkerIndex());
    return SilenceShort_;
}

const AnsiString& TZELNetFloor::SilenceVoice() {
    PutPacketIndex(SilenceVoice_.data() + 1, TalkerIndex());
    return SilenceVoice_;
}

}  // namespace zel

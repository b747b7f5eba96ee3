#pragma once
// TZELNetFloor: a network's floor. One member talks at a time; the floor grants and releases the
// turn, runs the pause after it, checks the turn's length and the talker's silence, and keeps the
// packets of a turn (the silence packets and the collector of short frames). It sends nothing: the
// network relays what the floor prepares and acts on its checks.
//
// Invariant: there is at most one talker; the talker holds ZELClientHoldsFloor, and
// MemberFlagMask carries ZELNetFlagLoggedIn exactly while there is a talker; no grant is made
// while the pause after a release runs; the collector holds CollectorCount (0 to 4) frames of the
// present turn.
//
// Threads: the network's (the timer thread), without locks.
#include <array>
#include <cstdint>

#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_params.hpp"

namespace zel {

class TZELSVCContext;

// The logged-in bit that MemberFlagMask lacks while nobody talks.
inline constexpr uint32_t ZELNetFlagLoggedIn = 0x800;

// Packet sizes of a turn: a voice packet of five frames, a short packet of one.
inline constexpr size_t ZELNetVoicePacketSize = 328;
inline constexpr size_t ZELNetShortPacketSize = 68;

// A packet's sender index, big-endian, at P.
inline void PutPacketIndex(char* P, uint16_t Index) noexcept {
    P[0] = static_cast<char>(Index >> 8);
    P[1] = static_cast<char>(Index & 0xFF);
}

// What the speech check found on a talker.
enum class TZELNetSpeech : uint8_t {
    nsp_Within,  // within its turn
    nsp_Silent,  // silent beyond the activity time-out: it is to be aborted
    nsp_Over,    // its turn is over: the floor is to be released
};

class TZELNetFloor {
public:
    // The turn's limits (SpeechLimit, MaxSpeechTime, SpeechPause) from the network's options.
    explicit TZELNetFloor(const TZELSVCNetworkOptions& Options);

    TZELSVCContext* Talker() const noexcept { return Talker_; }
    bool PauseActive() const noexcept { return PauseActive_; }
    uint32_t MemberFlagMask() const noexcept { return MemberFlagMask_; }
    // The talker's list index (0: nobody talks).
    uint16_t TalkerIndex() const noexcept;

    // The pause ends once SpeechPause has passed since the release.
    void Tick(uint32_t Now) noexcept;
    // C becomes the talker when nobody talks, no pause runs and it is a member past its join;
    // its turn starts at Now.
    bool Grant(TZELSVCContext& C, uint32_t Now);
    // Only for the talker (the caller sends the collected frames first): the flag goes, nobody
    // talks, and with a SpeechPause the pause starts at Now.
    void Release(TZELSVCContext& C, uint32_t Now);

    // A member with these flags that does not hold the floor may ask for it (may talk, not muted).
    static bool MayAsk(uint32_t Flags) noexcept;
    // A holder of the floor with these flags may give it back (not joining, not closing).
    static bool MayStop(uint32_t Flags) noexcept;
    // C holds the floor and is neither joining nor closing: it is told of its grant.
    bool GrantAnswerDue(const TZELSVCContext& C) const noexcept;
    // The grant answer (and the floor state of a welcome): byte 1 and the index.
    static std::array<char, 3> GrantPacket(uint16_t Index) noexcept;

    // The speech check on the talker (not for the Parrot), ActivityMs the clients' activity
    // time-out.
    TZELNetSpeech CheckSpeech(const TZELSVCContext& C, uint32_t Now, uint32_t ActivityMs) const noexcept;
    // A voice block (Size bytes) or a short block the talker may send now.
    bool TakesVoice(const TZELSVCContext& C, size_t Size) const noexcept;
    bool TakesShort(const TZELSVCContext& C, size_t Size) const noexcept;
    // A block from the talker was relayed at Now.
    void NoteVoice(TZELSVCContext& C, uint32_t Now) noexcept;

    // The speaker text (byte 142 and the talker's entry) is not the talker's; SetSpeakerText
    // makes it so with the talker's entry.
    bool SpeakerTextStale() const noexcept;
    void SetSpeakerText(AnsiView Entry);
    const AnsiString& SpeakerText() const noexcept { return SpeakerText_; }
    uint64_t TalkerKey() const noexcept { return TalkerKey_; }

    // A short block's frame into the collector; true when it holds five (send it out then).
    bool CollectShort(AnsiView Block);
    int32_t CollectorCount() const noexcept { return CollectorCount_; }
    // The collector as one voice packet with the talker's index, the missing frames silence;
    // empty afterwards.
    const AnsiString& TakeCollector();

    // Housekeeping while someone talks: true when no block was relayed for the burst time (the
    // listeners then get the acknowledgement and silence; the burst starts anew at Now).
    bool SilenceDue(uint32_t Now) noexcept;
    // The silence packets with the talker's index.
    const AnsiString& SilenceShort();
    const AnsiString& SilenceVoice();

private:
    bool SpeechLimit_;
    uint32_t MaxSpeechTime_;
    uint32_t SpeechPause_;

    TZELSVCContext* Talker_ = nullptr;
    uint64_t TalkerKey_ = ~uint64_t(0);
    uint32_t MemberFlagMask_ = ~ZELNetFlagLoggedIn;
    bool PauseActive_ = false;
    uint32_t ReleaseTime_ = 0;
    uint32_t LastVoiceRelay_ = 0;
    AnsiString SilenceVoice_, SilenceShort_, Collector_;
    int32_t CollectorCount_ = 0;
    AnsiString SpeakerText_;
};

}  // namespace zel

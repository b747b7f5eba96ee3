#pragma once
// TZELSVCContextParrot: the echo bot of a network. It is a member without a socket: the network
// sends it the same packets as any member (vSend), and it records a talker's voice packets, waits
// a pause once the floor is free, asks for the floor and plays the recording back at the pace it
// was spoken (one 328-byte packet per 200 ms), RepeatCount times. Members switch it with the text
// messages "start" and "stop".
//
// Modes: 0 idle -> 1 recording (a voice packet) -> 2 pausing (the floor free, frames stored; else
// back to 0) -> floor requests once PauseMs has passed -> 3 replaying (the grant) -> 0 after the
// last repeat, when the replay is cut by a floor-free packet, or when the recording is dropped.
// Leaving mode 3 always posts the release, and a grant that finds nothing to replay is answered
// with the release too, so the floor never stays with the bot.
//
// Threads and ownership: the network creates, joins, ticks and frees it, all on the timer thread;
// no worker ever holds it (Handle -1, no code 40). Re-entrancy: the network calls vSend while it
// walks its members, so the bot only changes its own state and posts records (58, 59, 60, 62, 83)
// to the service queue; it never calls into the network.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "clients/dmq_zel_svc_context.hpp"
#include "service/dmq_zel_svc_params.hpp"

namespace zel {

class TZELSVCContextParrot : public TZELSVCContext {
public:
    static constexpr uint32_t kFrameBytes = 328;
    static constexpr uint32_t kFramesPerBlock = 50;
    static constexpr uint32_t kMaxFrames = 1500;
    static constexpr uint32_t kFrameMs = 200;
    static constexpr uint32_t kFlags = 0x300D20;

    enum TMode : uint8_t { pm_Idle = 0, pm_Recording = 1, pm_Pausing = 2, pm_Replaying = 3 };

    // Owner may be null (tests); Network gives the options and is the network the bot is in.
    // Create it with CreateWrkCtx.
    TZELSVCContextParrot(TZELService* Owner, TZELSVCNetworkBase* Network);
    ~TZELSVCContextParrot() override;

    // ---- Work context: nothing to flush, attach or read; no worker serves it.
    AnsiString vGetIdText() const override { return "Parrot"; }
    void vFlush() override {}
    void vAbortConnection() override {}
    void vAttach(TZELSVCWaitRecord&) override {}
    TZELSVCWrkResult vHandleRead(TZELSVCWaitRecord&) override { return TZELSVCWrkResult::wkr_CloseInternalError; }
    TZELSVCWrkResult vPrepareWait(TZELSVCWaitRecord&) override { return TZELSVCWrkResult::wkr_CloseInternalError; }
    bool vCheckIdleTimeout(TZELSVCWaitRecord&) override { return true; }
    TZELSVCNetworkBase* Network() const override { return Net; }

    // ---- Packets from the network (timer thread).
    void vSend(AnsiView Packet) override;
    void vSendNoFlush(AnsiView Packet) override { vSend(Packet); }
    void vSendLoginAnswer(AnsiView) override {}
    void vSendAndClose(AnsiView) override {}

    // The network's tick (every 100 ms step), while the bot pauses or replays.
    void Tick(uint32_t Now);
    // The greeting text packet of the current state; empty with MessageDisabled.
    AnsiView GreetingPacket() const;
    // Whether the network's tick has work for the bot.
    bool WantsTick() const noexcept { return Mode_ == pm_Pausing || Mode_ == pm_Replaying; }

    // ---- Inspection (timer thread, tests).
    TMode Mode() const noexcept { return Mode_; }
    uint32_t FrameCount() const noexcept { return FrameCount_; }
    uint32_t RecordedMs() const noexcept { return RecordedMs_; }
    size_t BlockCount() const noexcept { return Blocks_.size(); }
    bool Enabled() const noexcept { return Enabled_; }
    const TZELSVCParrotOptions& Options() const noexcept { return Options_; }
    // Frame I of the recording (I below FrameCount).
    AnsiView Frame(uint32_t I) const;

private:
    using TBlock = std::array<char, kFrameBytes * kFramesPerBlock>;

    uint32_t CurrentTick() const noexcept;
    void Record(AnsiView Packet);
    void FloorFree(uint32_t Now);
    void FloorGranted(uint32_t Now);
    void ReplayStep(uint32_t Now);
    // Mode 0, the recording dropped, the release posted.
    void StopReplay();
    void DropRecording() noexcept;
    void TextCommand(AnsiView Packet);
    // Description, entries and the status record after a START or STOP.
    void StateChanged();
    void SetDescription(AnsiView Text);
    // The three list entries again; the sort key stays the bot's own.
    void RebuildEntries();
    void Answer(AnsiView Text);
    void Post(TZELSVCNetQueueCommand Code, AnsiView Text1 = AnsiView());

    TZELSVCParrotOptions Options_;
    std::vector<std::unique_ptr<TBlock>> Blocks_;
    uint32_t FrameCount_ = 0;
    uint32_t RecordedMs_ = 0;
    TMode Mode_ = pm_Idle;
    uint32_t PauseStart_ = 0;
    uint32_t ReplayTick_ = 0;
    bool Enabled_ = true;
    uint32_t ReplayIndex_ = 0;
    uint32_t RepeatsLeft_ = 0;
    // Started and stopped, with and without the advice to type start or stop.
    AnsiString StartedLong_, StoppedLong_, StartedShort_, StoppedShort_;
};

}  // namespace zel

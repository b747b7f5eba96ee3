#pragma once
// TZELSVCContextSNPS: a client of the voice network on a TCP socket. A collector assembles its
// input (the 3-byte prefix, the connect line, operating lines and voice blocks) and a locked send
// buffer holds its output; the worker drives it through vAttach, vHandleRead, vPrepareWait and
// vCheckIdleTimeout, and the networks (timer thread) queue output through the four send
// operations.
//
// States (Phase/State):  0/1 prefix -> 1/1 connect line -> 1/2 login pending -> [1/3 KP] ->
// 1/0 operating -> 2/4 closed. The time-out in force: handshake from vAttach (never re-armed by
// input), the activity time-out from the connect line while the login is pending, from the
// answer's last byte while the KP line is awaited, from each complete line or block while
// operating, and from the final answer while it is sent.
//
// Threads: only the owning worker reads, sends and closes; the timer thread appends under the
// send buffer's lock and sets SendFlags bits with fetch_or. No read interest while input is not
// read (login pending, closing), write interest only while the send buffer is blocked.
#include <atomic>
#include <cstdint>

#include "clients/dmq_zel_svc_context.hpp"
#include "net/dmq_async_writer2_socket.hpp"
#include "net/dmq_collector_socket.hpp"

namespace zel {

// An operating client's line: handled here (keep-alive), a voice or short block announced, or
// left to the client commands (TZELSVCContext::DispatchCommandLine).
enum class TZELOperatingLineKind : uint8_t { oplk_Handled, oplk_Voice, oplk_Short, oplk_Refused };
TZELOperatingLineKind ClassifyOperatingLine(AnsiView Line) noexcept;

class TZELSVCContextSNPS : public TZELSVCContext {
public:
    static constexpr int32_t kCollectorSize = 2048;
    static constexpr int32_t kWriterSize = 1024;
    // The longest line, its carriage return included.
    static constexpr uint32_t kMaxLine = 4096;
    // What an invalid prefix's first line keeps for the log.
    static constexpr uint32_t kMaxBadConnectText = 100;
    // Bytes read from the socket in one step after which the context yields to the others.
    static constexpr uint64_t kYieldBytes = 32;
    static constexpr uint32_t kVoiceBlock = 328;
    static constexpr uint32_t kShortBlock = 68;
    // The send buffer's hard cap, in multiples of OutputBufferLimit x OutputBufferFactor: far
    // above the bandwidth drop, far below what a stalled reader could otherwise take.
    static constexpr size_t kWriterCapFactor = 4;

    // Takes Handle over once fully made (a failure leaves it to the caller); create it with
    // CreateWrkCtx.
    TZELSVCContextSNPS(TZELService* Owner, int32_t Handle, AnsiView PeerText, int32_t ConnValue, int32_t Extra);
    ~TZELSVCContextSNPS() override;

    // ---- Worker.
    void vFlush() override;
    void vAbortConnection() override;
    void vSetTimeoutCause() override;
    void vAttach(TZELSVCWaitRecord& Wait) override;
    TZELSVCWrkResult vHandleRead(TZELSVCWaitRecord& Wait) override;
    TZELSVCWrkResult vPrepareWait(TZELSVCWaitRecord& Wait) override;
    bool vCheckIdleTimeout(TZELSVCWaitRecord& Wait) override;
    void vExecStop(TZELSVCWorkerBase* Worker) override;
    void vCloseSocket() override;

    // ---- Networks and service (any thread). A closed or aborted context queues nothing.
    void vSend(AnsiView Bytes) override;
    void vSendNoFlush(AnsiView Bytes) override;
    void vSendLoginAnswer(AnsiView Bytes) override;
    void vSendAndClose(AnsiView Bytes) override;
    // Over Limit: the bytes still queued after the last send attempt, or, while the socket takes
    // nothing (no attempt is made then), the bytes queued now.
    // The writer's bytes and the bytes the kernel holds for the socket (not sent yet, or sent and
    // not acknowledged: a stalled reader acknowledges nothing), against Limit.
    bool vIsOutputOverLimit(int32_t Limit) const override;

    // ---- Service dispatcher.
    void SendFinalAnswer(AnsiView Answer) override { vSendAndClose(Answer); }
    UnicodeString DisconnectLine(bool WithText) const override;
    TZELSVCNetworkBase* Network() const override { return Net; }

    // Send attempts made (worker thread; read by benchmarks once the worker rests).
    uint64_t SendCalls() const noexcept { return SendCalls_; }

private:
    // Bytes the kernel holds for the socket that the peer has not acknowledged (0 where the
    // platform does not tell).
    size_t KernelQueued() const noexcept;
    // Bytes ever appended to the writer (any thread adds); the kernel's count when last asked and
    // the bytes handed to the kernel by then (the network's thread alone).
    std::atomic<uint64_t> Appended_{0};
    mutable uint64_t KernelAtAsk_ = 0;
    mutable uint64_t HandedAtAsk_ = 0;
    TZELSVCWrkResult HandleRead(TZELSVCWaitRecord& Wait);
    TZELSVCWrkResult InputLoop(TZELSVCWaitRecord& Wait);
    TZELSVCWrkResult LineComplete(TZELSVCWaitRecord& Wait, bool& Continue);
    TZELSVCWrkResult InvalidPrefix(uint32_t Now);
    // Steps 9 and 10: operating (or awaiting the KP line), a line read armed from Now.
    TZELSVCWrkResult EnterOperation(TZELSVCWaitRecord& Wait);
    TZELSVCWrkResult NextLine(TZELSVCWaitRecord& Wait, bool& Continue);
    // The floor and status lines (TX0, RX0, ST:): true when Line is one of them; Refused then says
    // whether it was refused (its cause or error text set for the close).
    bool FloorLine(AnsiView Line, bool& Refused);
    // Client codes, posted with this context as owner: 55 ready, 57 status (Value1), 58 RX0,
    // 59 TX0, 60 voice block, 61 short block.
    void PostClientRecord(TZELSVCNetQueueCommand Code, AnsiView Text1, int32_t Value1 = 0);
    TZELSVCWrkResult WaitStep(TZELSVCWaitRecord& Wait);
    TZELSVCWrkResult WriteError();
    TZELSVCWrkResult Failed(TZELSVCDisconnectCause Cause, AnsiView Text);
    void FillWait(TZELSVCWaitRecord& Wait) const;
    bool TimedOut(uint32_t Now);
    // One send attempt, unless the socket was not reported writable while the buffer is blocked;
    // false on a write error.
    bool TrySend(const TZELSVCWaitRecord& Wait);
    void Close();
    // The four send operations share this; Flags: the SendFlags bits to set.
    void Queue(AnsiView Bytes, uint16_t Flags, bool Flush, bool Final);

    TCollectorSocket Collector_;
    TAsyncWriter2SocketThreadSafe Writer_;
    char PrefixBuf_[3] = {};
    AnsiString BlockBuf_;
    uint8_t BlockKind_ = 0;  // 0 none, 1 voice block, 2 short block
    // The final answer's deadline is armed once, from the tick it was queued at.
    std::atomic<uint32_t> FinalTick_{0};
    bool FinalArmed_ = false;
    uint64_t SendCalls_ = 0;
};

}  // namespace zel

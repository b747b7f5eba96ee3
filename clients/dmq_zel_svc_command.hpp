#pragma once
// TZELSVCCommand: the daemon's end of one command-port connection. A worker serves it like a
// client: a collector reads request lines, the codec (service/dmq_zel_cmd_proto) checks and
// decodes them, the simple ones are answered at once and the others are handed to the service
// queue or the main queue with the context as requester; the service writes those answers later
// into the locked send buffer, and the worker sends them.
//
// Lines: at most 3000 bytes with the LF, each within 3000 ms from the moment its read starts (a
// blank line does not re-arm that time-out). An invalid request gets no answer: what is queued is
// sent first, then the connection closes with fsdc_CommandWrongCommand. One call takes at most 32
// lines; the rest waits for the worker's next round, none is lost.
//
// One request at a time: after a request whose answer comes later (from the service), the next
// line is read only once that answer is queued; after a request answered at once that hands work
// on (a mute, a reread of all lists, ...), only once that work was taken: a fence behind it (an
// empty reply, through the queue the work went to) comes back. So a peer that pipelines requests
// never has more than one request's work in the service's queues (it waits at most
// kAnswerTimeout, then the connection closes). At the service's stop the context reads no more,
// sends what is queued and closes within kStopGrace.
//
// A peer that sends requests and never reads: once more than kMaxPendingOutput waits unsent, the
// next answer closes the connection (fsdc_BandWidthLimit) instead of growing the buffer. Any one
// answer, however long (the client list of a full server), is taken while less than that waits.
// All command connections together: their send buffers are counted (HeldOutput, the memory they
// hold); once that passes kMaxHeldOutput, the next answer to a peer that still has answers unsent
// closes its connection the same way, while a peer that reads its answers is still answered. With
// the service's limit on command connections at once this bounds what local peers can make the
// server hold. A closed connection gives its buffer back at once (and large frees are returned to
// the system).
//
// Threads: only the owning worker reads, sends and closes; the timer thread appends later answers
// under the send buffer's lock (SendText, SendRaw, vSendAnswer) and marks the worker for a flush.
#include <atomic>
#include <cstdint>
#include <memory>

#include "clients/dmq_zel_svc_wrkctx.hpp"
#include "foundation/dmq_strbld_a.hpp"
#include "net/dmq_async_writer2_socket.hpp"
#include "net/dmq_collector_socket.hpp"
#include "service/dmq_zel_cmd_proto.hpp"

namespace zel {

class TZELSVCCommand : public TZELSVCWrkCtx {
public:
    static constexpr int32_t kCollectorSize = 2048;
    static constexpr int32_t kWriterSize = 2048;
    static constexpr int32_t kLineCapacity = 120;
    // The time-out from construction until the worker attaches the context, and per line after.
    static constexpr uint32_t kConstructTimeout = 10000;  // ms
    static constexpr uint32_t kLineTimeout = 3000;        // ms
    // Lines one call takes before it hands the worker back to the other connections.
    static constexpr int32_t kLinesPerCall = 32;
    // The longest wait for a later answer, and the grace for the output at the service's stop.
    static constexpr uint32_t kAnswerTimeout = 10000;  // ms
    static constexpr uint32_t kStopGrace = 1000;       // ms
    static constexpr size_t kMaxPendingOutput = size_t(16) << 20;
    // The bound in force: kMaxPendingOutput, lowered by tests that would not fill it in time.
    static inline std::atomic<size_t> PendingOutputLimit{kMaxPendingOutput};
    static constexpr size_t kMaxHeldOutput = size_t(64) << 20;
    // The bound in force for all command connections together; lowered by tests.
    static inline std::atomic<size_t> HeldOutputLimit{kMaxHeldOutput};
    // The bytes the send buffers of all command connections hold (their capacity).
    static size_t HeldOutput() noexcept { return HeldOutput_.load(std::memory_order_relaxed); }

    // Takes Handle over once fully made (a failure leaves it to the caller); create it with
    // CreateSocketWrkCtx.
    TZELSVCCommand(TZELService* Owner, int32_t Handle, AnsiView PeerText, int32_t ConnValue, int32_t Extra);
    ~TZELSVCCommand() override;

    // "Command: <peer> <port>".
    AnsiString vGetIdText() const override;

    // ---- Worker.
    void vFlush() override;
    void vAbortConnection() override { vCloseSocket(); }
    void vAttach(TZELSVCWaitRecord& Wait) override;
    TZELSVCWrkResult vHandleRead(TZELSVCWaitRecord& Wait) override;
    TZELSVCWrkResult vPrepareWait(TZELSVCWaitRecord& Wait) override;
    bool vCheckIdleTimeout(TZELSVCWaitRecord& Wait) override;
    // Closes, then posts code 41 once: the worker's last touch of the context.
    void vExecStop(TZELSVCWorkerBase* Worker) override;
    void vCloseSocket() override;

    // ---- Later answers (any thread; the timer thread in the server). A closed context queues
    // nothing.
    void SendRaw(const void* Buffer, size_t Length);
    // An empty text writes nothing: it is a fence come back, and the next line may be read.
    void SendText(AnsiView Text);
    // The answer's line unless AlreadyAnswered (answers without a line write nothing).
    void vSendAnswer(bool AlreadyAnswered, TZELChannelCommandAnswer Answer) override;
    void SendCommandText(AnsiView Text) override { SendText(Text); }
    // Code 53 (timer thread): the worker stops reading and closes once the output is sent.
    void CloseWhenSent(TZELSVCDisconnectCause Cause) override;

private:
    TZELSVCWrkResult HandleRead(TZELSVCWaitRecord& Wait);
    // A complete line: Continue set when the loop goes on.
    TZELSVCWrkResult LineComplete(TZELSVCWaitRecord& Wait, bool& Continue);
    // Acts on a decoded request and queues its answer when it has one now; false when the request
    // is invalid after all (no link with that address, a move within one network, no service).
    bool Execute(const TZELCmdRequest& Request);
    TZELSVCNetworkBase* FindNetwork(const TZELCmdValue& Name) const;
    TZELSVCWrkResult InvalidRequest(TZELSVCWaitRecord& Wait);
    TZELSVCWrkResult Closing(TZELSVCWaitRecord& Wait);
    TZELSVCWrkResult Failed(TZELSVCDisconnectCause Cause, AnsiView Text);
    TZELSVCWrkResult WriteError();
    // One send attempt unless the socket is blocked and was not reported writable; false on a
    // write error. A stop asked for goes once its answer is out.
    bool TrySend(const TZELSVCWaitRecord& Wait);
    void StopWhenSent();
    // Later: a producer's answer (flagged for the worker's flush); else the worker's own answer.
    void Queue(AnsiView Bytes, bool Later);
    void Now(AnsiView Bytes) { Queue(Bytes, false); }
    void FillWait(TZELSVCWaitRecord& Wait) const;
    bool TimedOut(uint32_t Now) { return Collector_.GetRemainingTime(Now) == 0; }
    // The request just handled is answered later: no line is read until the answer is queued.
    void AwaitAnswer() noexcept { AnswerAwaited_.store(true, std::memory_order_release); }
    // The request just handled handed work to the service queue: "+OK" now, and no line is read
    // until a fence posted behind the work comes back through that queue.
    void NowOkAwaitingServiceQueue();
    // Neither a line is being read nor the context closing: a later answer is awaited or has come.
    bool BetweenRequests() const { return !Closing_ && Collector_.Mode() == TCollectorMode::colm_Idle; }
    void BeginDrain(uint32_t Now);
    // HeldOutput_ brought up to what this buffer holds now (any thread: the sum stays exact).
    void Account() noexcept;
    bool SendOnce();

    TCollectorSocket Collector_;
    TAsyncWriter2SocketThreadSafe Writer_;
    TStringBldA LineBld_;
    // Worker thread only.
    int32_t LinesTaken_ = 0;
    bool Closing_ = false;
    bool StopAfterSend_ = false;
    // Set by the worker for a request answered later; cleared by the producer once the answer is
    // in the send buffer.
    std::atomic<bool> AnswerAwaited_{false};
    // This context's part of HeldOutput_.
    std::atomic<size_t> Accounted_{0};
    static inline std::atomic<size_t> HeldOutput_{0};
};

}  // namespace zel

#include "clients/dmq_zel_svc_server_snps.hpp"

#include <sys/ioctl.h>
#if defined(__linux__)
#include <linux/sockios.h>
#endif

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_queue.hpp"
#include "service/dmq_zel_svc_server_id.hpp"

namespace zel {

namespace {

using R = TZELSVCWrkResult;
using DC = TZELSVCDisconnectCause;
using Q = TZELSVCNetQueueCommand;

constexpr uint32_t kClosingFlag = ZELClientClosing;
constexpr uint32_t kInactiveFlag = 0x400000;
constexpr uint32_t kFloorFlag = 0x1000;

size_t WriterCap(const TZELService* Owner) {
    const size_t limit = Owner ? size_t(Owner->OutputBufferLimit > 0 ? Owner->OutputBufferLimit : 131072) : 131072;
    const size_t factor = Owner ? size_t(Owner->OutputBufferFactor > 0 ? Owner->OutputBufferFactor : 3) : 3;
    return limit * factor * TZELSVCContextSNPS::kWriterCapFactor;
}

}  // namespace

// Keep-alives and the block announcements are known here; every other line goes to the client
// commands (DispatchCommandLine), which refuse what they do not know.
TZELOperatingLineKind ClassifyOperatingLine(AnsiView Line) noexcept {
    if (Line == "P" || Line == "-") return TZELOperatingLineKind::oplk_Handled;
    if (Line == "TX1") return TZELOperatingLineKind::oplk_Voice;
    if (Line == "TX8") return TZELOperatingLineKind::oplk_Short;
    return TZELOperatingLineKind::oplk_Refused;
}

TZELSVCContextSNPS::TZELSVCContextSNPS(TZELService* Owner, int32_t Handle, AnsiView PeerText, int32_t ConnValue,
                                       int32_t Extra)
    // The base gets the handle last: should anything here fail, the caller still owns it.
    : TZELSVCContext(Owner, -1, PeerText, ConnValue, Extra),
      Collector_(kCollectorSize, Handle),
      Writer_(kWriterSize, Handle, WriterCap(Owner)) {
    Collector_.OnError = [this](TCollectorBase&, const UnicodeString& Text) { LogError(u"Collector: " + Text); };
    Collector_.DropPartialAtEnd = true;
    // A line over the limit ends the client at once, without reading on to its line feed.
    Collector_.OverflowPolicy = TCollectorOverflow::colo_Result;
    (void)SockSetNoDelay(Handle, true);
    (void)SockSetNonBlocking(Handle);
    (void)SockSetReuseAddr(Handle, true);
    if (Owner && Owner->LogClientLevel > 4) Owner->AddLogLine(LogName + u" CONNECT");
    this->Handle.store(Handle, std::memory_order_release);
}

TZELSVCContextSNPS::~TZELSVCContextSNPS() { TZELSVCContextSNPS::vCloseSocket(); }

// ---------------------------------------------------------------------------------------------
// Closing.

void TZELSVCContextSNPS::vCloseSocket() {
    TZELSVCWrkCtx::vCloseSocket();
    // Pending output is dropped; with the handle gone, late producers queue nothing.
    Writer_.Reset();
    Writer_.SetHandle(-1);
    Collector_.Handle = -1;
}

void TZELSVCContextSNPS::vAbortConnection() { vCloseSocket(); }

void TZELSVCContextSNPS::Close() {
    ClientFlags.fetch_or(kClosingFlag, std::memory_order_acq_rel);
    vAbortConnection();
    if (Phase != 2) {
        Phase = 2;
        State = 4;
    }
    vCloseSocket();
}

void TZELSVCContextSNPS::vExecStop(TZELSVCWorkerBase* Worker) {
    vCloseSocket();
    ClientFlags.fetch_or(kClosingFlag, std::memory_order_acq_rel);
    SendFlags.store(ZELSendAbort, std::memory_order_release);
    this->Worker.store(nullptr, std::memory_order_release);
    // The last touch: once posted, the timer thread may free the context.
    if (Owner) Owner->PostContextClosed(this, Worker);
}

void TZELSVCContextSNPS::vSetTimeoutCause() {
    DC c = DC::fsdc_ClientTimeout;
    if (Phase == 0)
        c = DC::fsdc_HandshakeTimeout;
    else if (Phase == 1 && State == 1)
        c = DC::fsdc_HandshakeTimeout;
    else if (Phase == 1 && State == 2)
        c = DC::fsdc_ManagerTimeout;
    else if (Phase == 1 && State == 3)
        c = DC::fsdc_KPAnswerTimeout;
    SetDisconnectCause(c);
}

// ---------------------------------------------------------------------------------------------
// Output.

void TZELSVCContextSNPS::Queue(AnsiView Bytes, uint16_t Flags, bool Flush, bool Final) {
    if (SendFlags.load(std::memory_order_acquire) & ZELSendAbort) {
        if (Flush) RequestFlush();
        return;
    }
    try {
        if (Writer_.WriteIfOpen(Bytes.data(), Bytes.size())) {
            Appended_.fetch_add(Bytes.size(), std::memory_order_acq_rel);
            if (Final) {
                FinalTick_.store(GetTickMs(), std::memory_order_relaxed);
                ClientFlags.fetch_or(kClosingFlag, std::memory_order_acq_rel);
            }
            SendFlags.fetch_or(Flags, std::memory_order_acq_rel);
        }
    } catch (const std::bad_alloc&) {
        // Also the send buffer's cap: a reader that stalls this long is dropped.
        SetDisconnectCause(DC::fsdc_ServOutOfMemory);
        SendFlags.fetch_or(ZELSendAbort, std::memory_order_acq_rel);
        ClientFlags.fetch_or(kClosingFlag, std::memory_order_acq_rel);
    } catch (const std::exception& e) {
        SetDisconnectCause(DC::fsdc_ServInternalError);
        SetDisconnectText(e.what());
        SendFlags.fetch_or(ZELSendAbort, std::memory_order_acq_rel);
        ClientFlags.fetch_or(kClosingFlag, std::memory_order_acq_rel);
    }
    if (Flush)
        RequestFlush();
    else
        ListWork();
}

void TZELSVCContextSNPS::vSend(AnsiView Bytes) { Queue(Bytes, ZELSendOutputQueued, true, false); }
void TZELSVCContextSNPS::vSendNoFlush(AnsiView Bytes) { Queue(Bytes, ZELSendOutputQueued, false, false); }
void TZELSVCContextSNPS::vSendLoginAnswer(AnsiView Bytes) { Queue(Bytes, ZELSendLoginAnswer, true, false); }
void TZELSVCContextSNPS::vSendAndClose(AnsiView Bytes) { Queue(Bytes, ZELSendFinalAnswer, true, true); }

void TZELSVCContextSNPS::vFlush() {
    if (Writer_.Pending() > 0) {
        ++SendCalls_;
        (void)Writer_.Send();
    }
}

size_t TZELSVCContextSNPS::KernelQueued() const noexcept {
    const int h = Handle.load(std::memory_order_acquire);
    if (h < 0) return 0;
    int n = 0;
#if defined(SIOCOUTQ)
    if (::ioctl(h, SIOCOUTQ, &n) != 0) return 0;
#elif defined(FIONWRITE)
    if (::ioctl(h, FIONWRITE, &n) != 0) return 0;
#endif
    return n > 0 ? size_t(n) : 0;
}

bool TZELSVCContextSNPS::vIsOutputOverLimit(int32_t Limit) const {
    if (Limit < 0) return true;
    // No send is tried while the socket takes nothing, so the count of the last attempt would
    // freeze below the limit for a reader that stalled.
    const size_t queued = Writer_.Blocked() ? Writer_.Pending() : Writer_.QueuedAfterSend();
    if (queued > size_t(Limit)) return true;
    // The kernel grows a connection's send buffer to megabytes and takes a stalled reader's
    // backlog first: what it holds (unsent, or sent and not acknowledged) counts as the program's
    // own. It holds at most what it held
    // when last asked plus what was handed to it since, so it is asked only when that could pass
    // the limit (an idle client's socket is seldom asked). Pending first: a later count of the
    // appended bytes only makes the bound larger.
    const uint64_t pending = Writer_.Pending();
    const uint64_t appended = Appended_.load(std::memory_order_acquire);
    const uint64_t handed = appended - std::min(pending, appended);
    const uint64_t since = handed >= HandedAtAsk_ ? handed - HandedAtAsk_ : handed;
    if (queued + KernelAtAsk_ + since <= uint64_t(Limit)) return false;
    KernelAtAsk_ = KernelQueued();
    HandedAtAsk_ = handed;
    return queued + KernelAtAsk_ > size_t(Limit);
}

bool TZELSVCContextSNPS::TrySend(const TZELSVCWaitRecord& Wait) {
    if (Writer_.Pending() == 0) return true;
    if (Writer_.Blocked() && !(Wait.Fired & 0x2)) return true;
    ++SendCalls_;
    return Writer_.Send();
}

// ---------------------------------------------------------------------------------------------
// Waiting.

bool TZELSVCContextSNPS::TimedOut(uint32_t Now) { return Collector_.GetRemainingTime(Now) == 0; }

void TZELSVCContextSNPS::FillWait(TZELSVCWaitRecord& Wait) const {
    Wait.Handle = Handle.load(std::memory_order_acquire);
    uint8_t ev = 0;
    // Read only while a request is in hand: level-triggered readiness on bytes left unread
    // (login pending, final answer) would wake the worker for ever.
    if (Collector_.Mode() != TCollectorMode::colm_Idle) ev |= 0x1;
    if (Writer_.Blocked()) ev |= 0x2;
    Wait.Events = ev;
}

TZELSVCWrkResult TZELSVCContextSNPS::WaitStep(TZELSVCWaitRecord& Wait) {
    if (TimedOut(Wait.Now)) {
        vSetTimeoutCause();
        Close();
        return R::wkr_CloseInternalError;
    }
    FillWait(Wait);
    return R::wkr_Keep;
}

void TZELSVCContextSNPS::vAttach(TZELSVCWaitRecord& Wait) {
    Collector_.ArmLength = Owner ? Owner->ClientHandshakeTimeoutMs() : 2000;
    Collector_.StartReadBytes(PrefixBuf_, 3, Wait.Now);
    FillWait(Wait);
}

TZELSVCWrkResult TZELSVCContextSNPS::vPrepareWait(TZELSVCWaitRecord& Wait) {
    if (TimedOut(Wait.Now)) {
        vSetTimeoutCause();
        Close();
        return R::wkr_CloseTimeout;
    }
    FillWait(Wait);
    return R::wkr_Keep;
}

bool TZELSVCContextSNPS::vCheckIdleTimeout(TZELSVCWaitRecord& Wait) {
    if (!TimedOut(Wait.Now)) return false;
    vSetTimeoutCause();
    Close();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Reading.

TZELSVCWrkResult TZELSVCContextSNPS::Failed(TZELSVCDisconnectCause C, AnsiView Text) {
    SetDisconnectCause(C);
    if (!Text.empty()) SetDisconnectText(Text);
    SendFlags.fetch_or(ZELSendAbort, std::memory_order_acq_rel);
    ClientFlags.fetch_or(kClosingFlag, std::memory_order_acq_rel);
    vCloseSocket();
    return C == DC::fsdc_ServOutOfMemory ? R::wkr_CloseOutOfMemory : R::wkr_CloseInternalError;
}

TZELSVCWrkResult TZELSVCContextSNPS::vHandleRead(TZELSVCWaitRecord& Wait) {
    try {
        return HandleRead(Wait);
    } catch (const std::bad_alloc&) {
        return Failed(DC::fsdc_ServOutOfMemory, {});
    } catch (const std::exception& e) {
        return Failed(DC::fsdc_ServInternalError, e.what());
    }
}

TZELSVCWrkResult TZELSVCContextSNPS::WriteError() {
    SetDisconnectCause(DC::fsdc_SocketError);
    SetDisconnectText("Write error: " + SysErrorText(Writer_.ErrorCode()));
    Close();
    return R::wkr_CloseInternalError;
}

TZELSVCWrkResult TZELSVCContextSNPS::HandleRead(TZELSVCWaitRecord& Wait) {
    const uint16_t f = SendFlags.load(std::memory_order_acquire);
    if (f & ZELSendAbort) {
        (void)SockSetPlatformOption(Handle.load(std::memory_order_acquire), 1);
        Close();
        return R::wkr_CloseInternalError;
    }
    if (Phase == 2) {
        Close();
        return R::wkr_CloseInternalError;
    }
    if (f & ZELSendFinalAnswer) {
        if (!FinalArmed_) {
            // Input is dropped from now on; a peer that never reads is dropped at the deadline.
            FinalArmed_ = true;
            Collector_.Reset();
            Collector_.TimeoutLength = Owner ? Owner->ClientActivityTimeoutMs() : 8000;
            // The answer may have been queued after this pass took its time: a start ahead of
            // Now counts from Now, never as a deadline long past.
            const uint32_t queued = FinalTick_.load(std::memory_order_relaxed);
            Collector_.TimeoutStart = static_cast<int32_t>(Wait.Now - queued) < 0 ? Wait.Now : queued;
        }
        if (!TrySend(Wait)) return WriteError();
        if (Writer_.Pending() > 0) return WaitStep(Wait);
        SendFlags.store(ZELSendAbort, std::memory_order_release);
        Close();
        return R::wkr_CloseInternalError;
    }
    if (f & ZELSendLoginAnswer) {
        if (State != 2) {
            Close();
            return R::wkr_CloseInternalError;
        }
        if (!TrySend(Wait)) return WriteError();
        // Operating only once the answer's last byte is out.
        if (Writer_.Pending() > 0) return WaitStep(Wait);
        StopPending.store(0, std::memory_order_release);
        SendFlags.fetch_and(uint16_t(~f), std::memory_order_acq_rel);
        return EnterOperation(Wait);
    }
    StopPending.store(0, std::memory_order_release);
    // Only the bits seen here: a bit set meanwhile brings the worker back.
    SendFlags.fetch_and(uint16_t(~f), std::memory_order_acq_rel);
    Collector_.BytesReceived = 0;
    if (!TrySend(Wait)) return WriteError();
    if (!(f & ZELSendMoreInput) && !(Wait.Fired & 0x1)) return WaitStep(Wait);
    return InputLoop(Wait);
}

TZELSVCWrkResult TZELSVCContextSNPS::InputLoop(TZELSVCWaitRecord& Wait) {
    const uint32_t now = Wait.Now;
    for (;;) {
        if (Collector_.BytesReceived > kYieldBytes) {
            Collector_.BytesReceived = 0;
            SendFlags.fetch_or(ZELSendMoreInput, std::memory_order_acq_rel);
            return R::wkr_LeaveWait;
        }
        // No request in hand (login pending, answer being sent): the input waits.
        if (Collector_.Mode() == TCollectorMode::colm_Idle) return WaitStep(Wait);
        switch (Collector_.Collect(now)) {
        case TCollectResult::colres_Nothing:
            return WaitStep(Wait);
        case TCollectResult::colres_EndOfStream:
            Close();
            return R::wkr_Close;
        case TCollectResult::colres_ReadError:
            SetDisconnectCause(DC::fsdc_SocketError);
            SetDisconnectText("Read error [" + std::to_string(Collector_.ErrorCode()) +
                              "]: " + UnicodeToSysCharsetProc(Collector_.ErrorText()));
            Close();
            return R::wkr_CloseInternalError;
        case TCollectResult::colres_Timeout:
            // The cause first: the close moves the context to the closing phase, whose cause
            // would hide the state that ran out of time.
            vSetTimeoutCause();
            Close();
            return R::wkr_CloseInternalError;
        case TCollectResult::colres_TooLong:
            SetDisconnectCause(DC::fsdc_TooLongString);
            Close();
            return R::wkr_CloseInternalError;
        case TCollectResult::colres_Complete:
            break;
        }
        LastActivity = now;
        bool cont = false;
        const R r = LineComplete(Wait, cont);
        if (!cont) return r;
    }
}

TZELSVCWrkResult TZELSVCContextSNPS::InvalidPrefix(uint32_t Now) {
    ConnectText.assign(PrefixBuf_, 3);
    // What else of the first line has come already, up to 100 bytes, for the log.
    AnsiString rest;
    Collector_.TimeoutLength = 0;
    Collector_.OverflowPolicy = TCollectorOverflow::colo_Cut;
    Collector_.StartReadLineStrNoTimeout(rest, kMaxBadConnectText);
    (void)Collector_.Collect(Now);
    ConnectText += rest;
    SetDisconnectCause(DC::fsdc_InvalidConnectString);
    Close();
    return R::wkr_CloseInternalError;
}

TZELSVCWrkResult TZELSVCContextSNPS::LineComplete(TZELSVCWaitRecord& Wait, bool& Continue) {
    const uint32_t now = Wait.Now;
    if (Phase == 0) {
        if (std::memcmp(PrefixBuf_, "CT:", 3) != 0) return InvalidPrefix(now);
        Collector_.StartReadLineNoTimeout(RecvLine, kMaxLine);
        Phase = 1;
        State = 1;
        Continue = true;
        return R::wkr_Keep;
    }
    switch (State) {
    case 1: {
        const AnsiView line = StrBldAView(RecvLine);
        ParseConnectString(line);
        const uint8_t result = HandshakeResult;
        if (result == 0) {
            SetDisconnectCause(DC::fsdc_InvalidConnectString);
            Close();
            return R::wkr_CloseInternalError;
        }
        if (result == 1) {
            State = 2;
            StrBldAReset(RecvLine);
            // Bytes after the connect line stay buffered and are read once the client operates.
            Collector_.ArmLength = Owner ? Owner->ClientActivityTimeoutMs() : 8000;
            Collector_.StartIdle(now);
            if (Owner) Owner->PostClientHandshakeDone(this);
            return WaitStep(Wait);
        }
        RefuseHandshake();
        return WaitStep(Wait);
    }
    case 2:
        return WaitStep(Wait);
    case 3:
        LastActivity = now;
        State = 0;
        PostClientRecord(Q::fsnq_ClientReady, {});
        return NextLine(Wait, Continue);
    default:
        break;
    }
    if (BlockKind_ != 0) {
        const uint32_t size = BlockKind_ == 1 ? kVoiceBlock : kShortBlock;
        // A block cut short by the end of the stream never reaches here; only a whole one is posted.
        if (Collector_.LastCount() == size - 3) {
            const uint32_t flags = ClientFlags.load(std::memory_order_acquire);
            if (BlockKind_ == 1 && !(flags & (kClosingFlag | kInactiveFlag)))
                PostClientRecord(Q::fsnq_ClientVoiceBlock, BlockBuf_);
            if (BlockKind_ == 2 && (flags & kFloorFlag) && !(flags & kInactiveFlag))
                PostClientRecord(Q::fsnq_ClientShortBlock, BlockBuf_);
        }
        BlockKind_ = 0;
        return NextLine(Wait, Continue);
    }
    const AnsiView line = StrBldAView(RecvLine);
    const TZELOperatingLineKind kind = ClassifyOperatingLine(line);
    if (kind == TZELOperatingLineKind::oplk_Handled) return NextLine(Wait, Continue);
    if (kind == TZELOperatingLineKind::oplk_Voice || kind == TZELOperatingLineKind::oplk_Short) {
        BlockKind_ = kind == TZELOperatingLineKind::oplk_Voice ? 1 : 2;
        const uint32_t size = BlockKind_ == 1 ? kVoiceBlock : kShortBlock;
        BlockBuf_.assign(size, '\0');
        // The payload rides on the time-out of the line that announced it.
        Collector_.StartReadBytesNoTimeout(BlockBuf_.data() + 3, size - 3);
        Continue = true;
        return R::wkr_Keep;
    }
    bool refused = false;
    if (FloorLine(line, refused)) {
        if (!refused) return NextLine(Wait, Continue);
    } else if (DispatchCommandLine(line)) {
        return NextLine(Wait, Continue);
    }
    if (SetDisconnectCause(DC::fsdc_ClientWrongCommand) && LastErrorText.empty()) LastErrorText = LogTextOf(line);
    Close();
    return R::wkr_CloseInternalError;
}

// The floor and status lines of an operating client.
bool TZELSVCContextSNPS::FloorLine(AnsiView Line, bool& Refused) {
    Refused = false;
    if (Line == "TX0") {
        PostClientRecord(Q::fsnq_ClientRequestFloor, {});
        return true;
    }
    if (Line == "RX0") {
        if ((ClientFlags.load(std::memory_order_acquire) & (kClosingFlag | kInactiveFlag)) == 0)
            PostClientRecord(Q::fsnq_ClientStopTalking, {});
        return true;
    }
    if (Line.size() < 3 || Line.substr(0, 3) != "ST:") return false;
    if (Line.size() == 4 && Line[3] >= '0' && Line[3] <= '2') {
        PostClientRecord(Q::fsnq_ClientStatus, {}, Line[3] - '0');
        return true;
    }
    if (HasCtrlCharsBuf(Line.data(), static_cast<int32_t>(Line.size()))) SetDisconnectCause(DC::fsdc_InvalidCharacter);
    LastErrorText = u"Invalid status command: \"" + LogTextOf(Line) + u"\"";
    Refused = true;
    return true;
}

void TZELSVCContextSNPS::PostClientRecord(TZELSVCNetQueueCommand Code, AnsiView Text1, int32_t Value1) {
    if (!Owner) return;
    auto r = std::make_unique<TZELSVCNetQueueRecord>();
    r->Command = Code;
    r->Owner = this;
    r->OwnerId = Number();
    r->Text1.assign(Text1);
    r->Value1 = Value1;
    Owner->PostServQueue(std::move(r));
}

TZELSVCWrkResult TZELSVCContextSNPS::EnterOperation(TZELSVCWaitRecord& Wait) {
    const uint32_t now = Wait.Now;
    if (Caps & 0x1) {
        State = 3;
    } else {
        LastActivity = now;
        State = 0;
        PostClientRecord(Q::fsnq_ClientReady, {});
    }
    bool cont = false;
    const R r = NextLine(Wait, cont);
    return cont ? InputLoop(Wait) : r;
}

TZELSVCWrkResult TZELSVCContextSNPS::NextLine(TZELSVCWaitRecord& Wait, bool& Continue) {
    Collector_.ArmLength = Owner ? Owner->ClientActivityTimeoutMs() : 8000;
    Collector_.StartReadLine(RecvLine, kMaxLine, Wait.Now);
    if (Collector_.GetBufferedCount() > 0) {
        Continue = true;
        return R::wkr_Keep;
    }
    return WaitStep(Wait);
}

// ---------------------------------------------------------------------------------------------

UnicodeString TZELSVCContextSNPS::DisconnectLine(bool) const { return DisconnectLogLine(); }

}  // namespace zel

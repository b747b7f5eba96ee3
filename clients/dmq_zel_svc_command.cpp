#include "clients/dmq_zel_svc_command.hpp"

#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <new>
#include <string>

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_svc_networks_list.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_svc_server_types.hpp"
#include "service/dmq_zel_svc_sysman.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

namespace {

using R = TZELSVCWrkResult;
using DC = TZELSVCDisconnectCause;
using Q = TZELCmdRequestCode;
using A = TZELChannelCommandAnswer;

// A buffer at least this large, given back at a close, is returned to the system too: the
// allocator keeps freed heap memory otherwise, and a flood of peers would leave it held.
constexpr size_t kTrimAfterFree = size_t(1) << 20;

// The collector's bound counts the bytes before the LF.
constexpr uint32_t kMaxLineBytes = uint32_t(ZELCmdMaxLineLength) - 1;

constexpr std::string_view kOk = "+OK\r\n";

AnsiView Wire(A Answer) { return ChannelCommandAnswerInfo(Answer).Wire; }

}  // namespace

TZELSVCCommand::TZELSVCCommand(TZELService* Owner, int32_t Handle, AnsiView PeerText, int32_t ConnValue,
                               int32_t Extra)
    // The base gets the handle last: should anything here fail, the caller still owns it.
    : TZELSVCWrkCtx(Owner, -1, PeerText, ConnValue, Extra),
      Collector_(kCollectorSize, Handle),
      Writer_(kWriterSize, Handle) {
    Tag = ZELWrkCtxTagCommand;
    StrBldAInit(LineBld_, kLineCapacity);
    Collector_.OnError = [this](TCollectorBase&, const UnicodeString& Text) { LogError(u"Collector: " + Text); };
    // A line over the limit ends the connection at once, without reading on to its line feed; a
    // line cut by the peer's close is no request.
    Collector_.OverflowPolicy = TCollectorOverflow::colo_Result;
    Collector_.DropPartialAtEnd = true;
    Collector_.ArmLength = kConstructTimeout;
    Collector_.StartIdleNow();
    (void)SockSetNoDelay(Handle, true);
    (void)SockSetNonBlocking(Handle);
    (void)SockSetReuseAddr(Handle, true);
    if (Owner && Owner->CommandLogLevel > 0) Owner->AddLogLine(WidenStrU(vGetIdText()) + u" CONNECT");
    this->Handle.store(Handle, std::memory_order_release);
    Account();
}

TZELSVCCommand::~TZELSVCCommand() {
    TZELSVCCommand::vCloseSocket();
    HeldOutput_.fetch_sub(Accounted_.exchange(0, std::memory_order_acq_rel), std::memory_order_relaxed);
}

void TZELSVCCommand::Account() noexcept {
    const size_t now = Writer_.Capacity();
    const size_t was = Accounted_.exchange(now, std::memory_order_acq_rel);
    // Unsigned: a smaller buffer wraps the addition into the subtraction it is.
    HeldOutput_.fetch_add(now - was, std::memory_order_relaxed);
}

AnsiString TZELSVCCommand::vGetIdText() const { return "Command: " + PeerText() + " " + ConnText(); }

// ---------------------------------------------------------------------------------------------
// Closing. Every close result leaves the socket to vExecStop, which the worker runs after it took
// the socket out of its waiter: the number is never reused while the waiter still names it.

void TZELSVCCommand::vCloseSocket() {
    TZELSVCWrkCtx::vCloseSocket();
    // With the handle gone, a later answer queues nothing: the number may already be another's.
    // The buffer goes back to its first size now, not when the service frees the context.
    const size_t held = Writer_.Capacity();
    Writer_.Release();
    Writer_.SetHandle(-1);
    Collector_.Handle = -1;
    Account();
#if defined(__GLIBC__)
    if (held >= kTrimAfterFree) (void)::malloc_trim(0);
#else
    (void)held;
#endif
}

void TZELSVCCommand::vExecStop(TZELSVCWorkerBase* Worker) {
    vCloseSocket();
    SendFlags.store(ZELSendAbort, std::memory_order_release);
    this->Worker.store(nullptr, std::memory_order_release);
    // The stop was answered; it goes even when the answer could not be sent.
    if (StopAfterSend_ && Owner) {
        StopAfterSend_ = false;
        Owner->RequestStop(u"Stop command");
    }
    // The last touch: once posted, the timer thread may free the context.
    if (Owner) Owner->PostCommandContextClosed(this, Worker);
}

// ---------------------------------------------------------------------------------------------
// Output.

void TZELSVCCommand::Queue(AnsiView Bytes, bool Later) {
    if (Bytes.empty()) {
        if (!Later) return;
        // A fence: the work of the last request was taken; the worker reads on.
        AnswerAwaited_.store(false, std::memory_order_release);
        SendFlags.fetch_or(ZELSendOutputQueued, std::memory_order_acq_rel);
        RequestFlush();
        return;
    }
    if (SendFlags.load(std::memory_order_acquire) & ZELSendAbort) return;
    const size_t pending = Writer_.Pending();
    const size_t held = HeldOutput();
    const bool ownBound = pending > PendingOutputLimit.load(std::memory_order_relaxed);
    if (ownBound || (pending > 0 && held > HeldOutputLimit.load(std::memory_order_relaxed))) {
        // Once: the abort flag stops every later answer above.
        const AnsiString text =
            ownBound ? FormatA("%zu bytes of answers unsent: closed", pending)
                     : FormatA("%zu bytes of answers unsent while command connections hold %zu: closed", pending, held);
        SetDisconnectCause(DC::fsdc_BandWidthLimit);
        SetDisconnectText(text);
        SendFlags.fetch_or(ZELSendAbort, std::memory_order_acq_rel);
        LogError(WidenStrU(text));
        RequestFlush();
        return;
    }
    try {
        // The worker's own answers are sent by the step that wrote them.
        if (Writer_.WriteIfOpen(Bytes.data(), Bytes.size()) && Later) {
            // The answer is whole in the buffer: the worker may read the next request.
            AnswerAwaited_.store(false, std::memory_order_release);
            SendFlags.fetch_or(ZELSendOutputQueued, std::memory_order_acq_rel);
        }
    } catch (const std::bad_alloc&) {
        SetDisconnectCause(DC::fsdc_ServOutOfMemory);
        SendFlags.fetch_or(ZELSendAbort, std::memory_order_acq_rel);
    } catch (const std::exception& e) {
        SetDisconnectCause(DC::fsdc_ServInternalError);
        SetDisconnectText(e.what());
        SendFlags.fetch_or(ZELSendAbort, std::memory_order_acq_rel);
    }
    Account();
    if (Later || (SendFlags.load(std::memory_order_acquire) & ZELSendAbort)) RequestFlush();
}

void TZELSVCCommand::SendRaw(const void* Buffer, size_t Length) {
    Queue(AnsiView(static_cast<const char*>(Buffer), Length), true);
}

void TZELSVCCommand::SendText(AnsiView Text) { Queue(Text, true); }

void TZELSVCCommand::vSendAnswer(bool AlreadyAnswered, TZELChannelCommandAnswer Answer) {
    if (!AlreadyAnswered) Queue(Wire(Answer), true);
}

void TZELSVCCommand::CloseWhenSent(TZELSVCDisconnectCause Cause) {
    SetDisconnectCause(Cause);
    SendFlags.fetch_or(ZELSendDrainClose, std::memory_order_acq_rel);
    RequestFlush();
}

// A send shrinks a buffer that holds little: the count follows.
bool TZELSVCCommand::SendOnce() {
    const bool ok = Writer_.Send();
    Account();
    return ok;
}

void TZELSVCCommand::vFlush() {
    if (Writer_.Pending() > 0) (void)SendOnce();
}

bool TZELSVCCommand::TrySend(const TZELSVCWaitRecord& Wait) {
    if (Writer_.Pending() > 0 && !(Writer_.Blocked() && !(Wait.Fired & 0x2)) && !SendOnce()) return false;
    StopWhenSent();
    return true;
}

void TZELSVCCommand::StopWhenSent() {
    if (!StopAfterSend_ || Writer_.Pending() > 0 || !Owner) return;
    StopAfterSend_ = false;
    Owner->RequestStop(u"Stop command");
}

void TZELSVCCommand::NowOkAwaitingServiceQueue() {
    Now(kOk);
    AwaitAnswer();
    Owner->PostCommandReply(this, Number(), {});
}

// ---------------------------------------------------------------------------------------------
// Waiting.

void TZELSVCCommand::FillWait(TZELSVCWaitRecord& Wait) const {
    Wait.Handle = Handle.load(std::memory_order_acquire);
    uint8_t ev = 0;
    // No read interest once closing or between requests: unread input would wake the worker for
    // ever.
    if (!Closing_ && Collector_.Mode() != TCollectorMode::colm_Idle) ev |= 0x1;
    if (Writer_.Pending() > 0 && Writer_.Blocked()) ev |= 0x2;
    Wait.Events = ev;
}

void TZELSVCCommand::vAttach(TZELSVCWaitRecord& Wait) {
    Collector_.Reset();
    Collector_.ArmLength = kLineTimeout;
    Collector_.StartReadLine(LineBld_, kMaxLineBytes, Wait.Now);
    FillWait(Wait);
}

TZELSVCWrkResult TZELSVCCommand::vPrepareWait(TZELSVCWaitRecord& Wait) {
    if (TimedOut(Wait.Now)) {
        return R::wkr_CloseTimeout;
    }
    FillWait(Wait);
    return R::wkr_Keep;
}

bool TZELSVCCommand::vCheckIdleTimeout(TZELSVCWaitRecord& Wait) {
    if (!TimedOut(Wait.Now)) return false;
    vSetTimeoutCause();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Reading.

TZELSVCWrkResult TZELSVCCommand::Failed(TZELSVCDisconnectCause Cause, AnsiView Text) {
    SetDisconnectCause(Cause);
    if (!Text.empty()) SetDisconnectText(Text);
    return Cause == DC::fsdc_ServOutOfMemory ? R::wkr_CloseOutOfMemory : R::wkr_CloseInternalError;
}

TZELSVCWrkResult TZELSVCCommand::WriteError() {
    return Failed(DC::fsdc_SocketError, "Write error: " + SysErrorText(Writer_.ErrorCode()));
}

TZELSVCWrkResult TZELSVCCommand::vHandleRead(TZELSVCWaitRecord& Wait) {
    try {
        return HandleRead(Wait);
    } catch (const std::bad_alloc&) {
        return Failed(DC::fsdc_ServOutOfMemory, {});
    } catch (const std::exception& e) {
        return Failed(DC::fsdc_ServInternalError, e.what());
    }
}

TZELSVCWrkResult TZELSVCCommand::Closing(TZELSVCWaitRecord& Wait) {
    if (Writer_.Pending() == 0) return R::wkr_CloseInternalError;
    if (!TrySend(Wait)) return WriteError();
    if (Writer_.Pending() == 0) return R::wkr_CloseInternalError;
    FillWait(Wait);
    return R::wkr_Keep;
}

void TZELSVCCommand::BeginDrain(uint32_t Now) {
    Closing_ = true;
    // What the peer sent since is not read; the grace bounds the wait for a peer that reads
    // nothing.
    Collector_.Reset();
    Collector_.ArmLength = kStopGrace;
    Collector_.StartIdle(Now);
}

TZELSVCWrkResult TZELSVCCommand::HandleRead(TZELSVCWaitRecord& Wait) {
    const uint16_t f = SendFlags.load(std::memory_order_acquire);
    if (f & ZELSendAbort) return R::wkr_CloseInternalError;
    StopPending.store(0, std::memory_order_release);
    // Only the bits seen here: a bit set meanwhile brings the worker back.
    SendFlags.fetch_and(uint16_t(~f), std::memory_order_acq_rel);
    if ((f & ZELSendDrainClose) && !Closing_) BeginDrain(Wait.Now);
    LinesTaken_ = 0;
    for (;;) {
        // An invalid request was seen, or the service stops: the cause is set; what was queued
        // goes out first.
        if (Closing_) return Closing(Wait);
        if (BetweenRequests()) {
            if (AnswerAwaited_.load(std::memory_order_acquire)) {
                if (!TrySend(Wait)) return WriteError();
                FillWait(Wait);
                return R::wkr_Keep;
            }
            Collector_.ArmLength = kLineTimeout;
            Collector_.StartReadLine(LineBld_, kMaxLineBytes, Wait.Now);
        }
        if (LinesTaken_ > kLinesPerCall) {
            LinesTaken_ = 0;
            SendFlags.fetch_or(ZELSendMoreInput, std::memory_order_acq_rel);
            return R::wkr_LeaveWait;
        }
        switch (Collector_.Collect(Wait.Now)) {
        case TCollectResult::colres_Nothing:
            if (!TrySend(Wait)) return WriteError();
            FillWait(Wait);
            return R::wkr_Keep;
        case TCollectResult::colres_EndOfStream:
            return R::wkr_Close;
        case TCollectResult::colres_ReadError:
            return Failed(DC::fsdc_SocketError, "Read error [" + std::to_string(Collector_.ErrorCode()) +
                                                    "]: " + UnicodeToSysCharsetProc(Collector_.ErrorText()));
        case TCollectResult::colres_Timeout:
            vSetTimeoutCause();
            return R::wkr_CloseTimeout;
        case TCollectResult::colres_TooLong:
            // A hostile line, as an invalid request: closed at once.
            return Failed(DC::fsdc_CommandWrongCommand, {});
        case TCollectResult::colres_Complete:
            break;
        }
        ++LinesTaken_;
        bool cont = false;
        const R r = LineComplete(Wait, cont);
        if (!cont) return r;
    }
}

TZELSVCWrkResult TZELSVCCommand::LineComplete(TZELSVCWaitRecord& Wait, bool& Continue) {
    AnsiView line;
    switch (PrepareCmdRequestLine(StrBldAView(LineBld_), line)) {
    case TZELCmdLineKind::fclk_Blank:
        // The time-out of the line in hand goes on.
        Collector_.StartReadLineNoTimeout(LineBld_, kMaxLineBytes);
        Continue = true;
        return R::wkr_Keep;
    case TZELCmdLineKind::fclk_Invalid:
        return InvalidRequest(Wait);
    case TZELCmdLineKind::fclk_Request:
        break;
    }
    TZELCmdRequest request;
    if (!ParseCmdRequest(line, request) || !Execute(request)) return InvalidRequest(Wait);
    if (!TrySend(Wait)) return WriteError();
    if (AnswerAwaited_.load(std::memory_order_acquire)) {
        // No line until the answer is queued (the answer's flush brings the worker back); the
        // collector's time-out now bounds the wait for it.
        Collector_.ArmLength = kAnswerTimeout;
        Collector_.StartIdle(Wait.Now);
    } else {
        Collector_.StartReadLine(LineBld_, kMaxLineBytes, Wait.Now);
    }
    Continue = true;
    return R::wkr_Keep;
}

TZELSVCWrkResult TZELSVCCommand::InvalidRequest(TZELSVCWaitRecord& Wait) {
    SetDisconnectCause(DC::fsdc_CommandWrongCommand);
    if (Writer_.Pending() == 0 || !TrySend(Wait) || Writer_.Pending() == 0) return R::wkr_CloseInternalError;
    // No new read: the earlier answer goes out, then the connection closes (or the read
    // time-out ends it).
    Closing_ = true;
    FillWait(Wait);
    return R::wkr_Keep;
}

TZELSVCNetworkBase* TZELSVCCommand::FindNetwork(const TZELCmdValue& Name) const {
    const TZELNetworksList* list = Owner ? Owner->LoginNetworks() : nullptr;
    if (list == nullptr || !Name.Given()) return nullptr;
    if (TZELSVCNetworkBase* n = list->Find(Name.Text)) return n;
    // Names of the networks file that are no UTF-8: the bytes taken one to one as units.
    return list->Find(WidenStrU(Name.Bytes));
}

bool TZELSVCCommand::Execute(const TZELCmdRequest& Request) {
    if (Owner == nullptr) return false;
    TZELService& s = *Owner;
    TZELSVCNetworkBase* net = nullptr;
    // Requests on a network: an unknown one is answered and the connection stays.
    switch (Request.Code) {
    case Q::fcrq_List:
    case Q::fcrq_Disconnect:
        if (!Request.Network.Given()) break;
        [[fallthrough]];
    case Q::fcrq_Mute:
    case Q::fcrq_Block:
    case Q::fcrq_Admin:
    case Q::fcrq_Right:
    case Q::fcrq_RightMark:
    case Q::fcrq_NoticeSet:
    case Q::fcrq_NoticeClear:
    case Q::fcrq_ConnMode:
    case Q::fcrq_TalkMode:
    case Q::fcrq_NetManagerMode:
    case Q::fcrq_MoveClient:
        net = FindNetwork(Request.Network);
        if (net == nullptr) {
            Now(Wire(A::fsca_NoNetwork));
            return true;
        }
        break;
    default:
        break;
    }

    const UnicodeView file = Request.Text.Text;
    // A new manager password goes out as a tagged element: refused as a section's would be.
    const bool passwordRequest = Request.Code == Q::fcrq_SetManagerPasswordByIndex ||
                                 Request.Code == Q::fcrq_SetManagerPasswordByAddress;
    if (passwordRequest && !IsSafeElementTextU(Request.Text.Text)) return false;
    switch (Request.Code) {
    case Q::fcrq_SetManagerPasswordByIndex:
        if (TZELSvcSysMan* link = s.ManagerLink(Request.Index)) link->NewPassword(Request.Text.Text);
        NowOkAwaitingServiceQueue();
        return true;
    case Q::fcrq_SetManagerPasswordByAddress: {
        bool found = false;
        for (int32_t i = 0; i < 3; ++i) {
            TZELSvcSysMan* link = s.ManagerLink(i);
            if (link == nullptr || link->ManagerAddress() != Request.Address.Text) continue;
            link->NewPassword(Request.Text.Text);
            found = true;
        }
        if (!found) return false;
        NowOkAwaitingServiceQueue();
        return true;
    }
    case Q::fcrq_RereadAdmins: AwaitAnswer(); s.PostRereadAdmins(file, this); return true;
    case Q::fcrq_RereadMutes: AwaitAnswer(); s.PostRereadMutes(file, this); return true;
    case Q::fcrq_RereadBlocks: AwaitAnswer(); s.PostRereadBlocks(file, this); return true;
    case Q::fcrq_RereadRights: AwaitAnswer(); s.PostRereadRights(file, this); return true;
    case Q::fcrq_RereadModes: AwaitAnswer(); s.PostRereadModes(file, this); return true;
    case Q::fcrq_RereadNotices: AwaitAnswer(); s.PostRereadNotices(file, this); return true;
    case Q::fcrq_RereadAll:
        // Answered now; the reread of all answers the fence once it ran.
        Now(kOk);
        AwaitAnswer();
        s.PostMainRequest(TZELSVCMainQueueCommand::fsmq_RereadAll, this);
        return true;
    case Q::fcrq_Ping:
        Now(kOk);
        return true;
    case Q::fcrq_Stop:
        // The stop begins once the answer is out (StopWhenSent).
        Now(kOk);
        StopAfterSend_ = true;
        return true;
    case Q::fcrq_List:
        AwaitAnswer();
        if (net)
            s.PostCommandListNetwork(net, this);
        else
            s.PostCommandListAll(this);
        return true;
    case Q::fcrq_Mute:
    case Q::fcrq_Block:
        if (Request.Code == Q::fcrq_Mute)
            s.PostCommandMute(Request.Client.Bytes, net, Request.Seconds, Request.Flag == ZELCmdFlagOn);
        else
            s.PostCommandBlock(Request.Client.Bytes, net, Request.Seconds, Request.Flag == ZELCmdFlagOn);
        NowOkAwaitingServiceQueue();
        return true;
    case Q::fcrq_Admin:
        s.PostCommandAdmin(Request.Client.Bytes, net, Request.Flag == ZELCmdFlagOn);
        NowOkAwaitingServiceQueue();
        return true;
    case Q::fcrq_Right:
        s.PostCommandRight(Request.Text.Bytes, net, Request.Flag == ZELCmdFlagOn);
        NowOkAwaitingServiceQueue();
        return true;
    case Q::fcrq_RightMark:
        s.PostCommandRightMark(Request.Text.Bytes, net, Request.Flag == ZELCmdFlagOn);
        NowOkAwaitingServiceQueue();
        return true;
    case Q::fcrq_NoticeSet: {
        // The network's clients read the notice in its character set (bytes of the units when it
        // has none); the UTF-8 form goes along.
        const UnicodeString& charset = net->NetworkOptions().CharsetName;
        AnsiString text;
        if (charset.empty()) {
            text = NarrowStrA(Request.Text.Text);
        } else {
            TAnsiUnicodeConverter conv;
            conv.SetCharset(charset);
            text = conv.FromUnicode(Request.Text.Text);
        }
        s.PostCommandNoticeSet(text, Request.Text.Bytes, net);
        NowOkAwaitingServiceQueue();
        return true;
    }
    case Q::fcrq_NoticeClear:
        s.PostCommandNoticeClear(net);
        NowOkAwaitingServiceQueue();
        return true;
    case Q::fcrq_ConnMode:
    case Q::fcrq_TalkMode: {
        const bool query = Request.Flag == ZELCmdFlagQuery;
        const int32_t mode = query ? -1 : (Request.Flag == ZELCmdFlagOn ? 1 : 0);
        // A query is answered by the network; a change at once.
        TZELSVCWrkCtxBase* requester = query ? this : nullptr;
        if (query) AwaitAnswer();
        if (Request.Code == Q::fcrq_ConnMode)
            s.PostCommandConnMode(net, mode, requester);
        else
            s.PostCommandTalkMode(net, mode, requester);
        if (!query) {
            NowOkAwaitingServiceQueue();
        }
        return true;
    }
    case Q::fcrq_ReopenLog:
        Now(kOk);
        AwaitAnswer();
        s.PostMainRequest(TZELSVCMainQueueCommand::fsmq_ReopenLog, this);
        return true;
    case Q::fcrq_ServerManagerMode:
        s.PostCommandSetServerManagerMode(static_cast<int32_t>(Request.ManagerMode));
        NowOkAwaitingServiceQueue();
        return true;
    case Q::fcrq_NetManagerMode:
        s.PostCommandSetNetManagerMode(net, static_cast<int32_t>(Request.ManagerMode));
        NowOkAwaitingServiceQueue();
        return true;
    case Q::fcrq_Threads:
        AwaitAnswer();
        s.PostCommandThreads(this);
        return true;
    case Q::fcrq_FlushData:
        AwaitAnswer();
        s.PostCommandFlushData(this);
        return true;
    case Q::fcrq_Uptime: {
        TStringBldA b;
        AddCmdUptimeAnswer(b, s.SecondsCounted());
        Now(StrBldAView(b));
        return true;
    }
    case Q::fcrq_MoveClient: {
        TZELSVCNetworkBase* target = FindNetwork(Request.Target);
        if (target == nullptr) {
            Now(Wire(A::fsca_NoNetwork));
            return true;
        }
        if (target == net) return false;
        AwaitAnswer();
        s.PostCommandMoveClient(this, net, target, Request.Client.Bytes, Request.Seconds);
        return true;
    }
    case Q::fcrq_Disconnect:
        if (Request.Client.Given()) AwaitAnswer();
        s.PostCommandDisconnect(net, Request.Client.Bytes, this);
        // One client is answered by its network; all clients, or a network's, at once.
        if (!Request.Client.Given()) {
            NowOkAwaitingServiceQueue();
        }
        return true;
    case Q::fcrq_LogText:
        s.AddLogLine(Request.Text.Text);
        NowOkAwaitingServiceQueue();
        return true;
    case Q::fcrq_Pid: {
        TStringBldA b;
        AddCmdPidAnswer(b, ::getpid());
        Now(StrBldAView(b));
        return true;
    }
    case Q::fcrq_DisconnectManagerByIndex:
        AwaitAnswer();
        s.PostCommandDisconnectManagerByIndex(Request.Index, this);
        return true;
    case Q::fcrq_DisconnectManagerByAddress:
        AwaitAnswer();
        s.PostCommandDisconnectManagerByAddress(Request.Address.Bytes, Request.Port, this);
        return true;
    case Q::fcrq_LogLevel:
        s.LogClientLevel.store(Request.LogLevel, std::memory_order_relaxed);
        Now(kOk);
        return true;
    }
    return false;
}

}  // namespace zel

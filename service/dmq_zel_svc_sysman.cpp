#include "service/dmq_zel_svc_sysman.hpp"

#include <algorithm>
#include <cerrno>
#include <string>

#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "foundation/dmq_zel_classes.hpp"
#include "net/dmq_snps_addr.hpp"
#include "net/dmq_snps_idn.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

namespace {

constexpr AnsiView kKeepAlive = "P\r\n";
constexpr AnsiView kReplyOK = "+OK\r\n";
constexpr AnsiView kReplyNotConnected = "-NOTCONNECTED\r\n";
constexpr AnsiView kSubstitutedSource = "127.0.0.1";
constexpr AnsiView kMask = "***";

UnicodeString DecimalU(int64_t N) { return WidenStrU(std::to_string(N)); }

// A manager's bytes as a script argument: UTF-8 when they are, else widened byte by byte.
UnicodeString BytesToU(AnsiView S) { return IsValidUtf8A(S) ? DecodeUtf8U(S) : WidenStrU(S); }

bool ConnectedState(uint8_t S) { return S >= SYSMAN_HANDSHAKE && S <= SYSMAN_OPERATING; }

// The host to connect to: "[::1]", the form the start-up line prints, names the IPv6 address
// inside its brackets.
UnicodeString ConnectHost(UnicodeView Address) {
    if (Address.size() > 2 && Address.front() == u'[' && Address.back() == u']' &&
        IsIP6U(Address.substr(1, Address.size() - 2)))
        return UnicodeString(Address.substr(1, Address.size() - 2));
    return UnicodeString(Address);
}

// Refusals of the handshake answer: AL and its text.
struct TRefusal {
    int32_t Code;
    UnicodeView Text;
};
constexpr TRefusal kRefusals[] = {
    {-1, u"access denied (ip blocked)"},
    {-3, u"no e-mail"},
    {-4, u"invalid e-mail and/or password"},
    {-5, u"no working ZEL server at "},
    {-8, u"[temporary] administrative block"},
    {-9, u"e-mail already used from other server"},
};

// Masks the password item of a UTF-8 part: "<U8TF>", the type digit, then tag byte, hex-coded
// length and value per item. Appends to Out; false when the part cannot be read.
bool MaskUtf8Part(AnsiView Part, AnsiString& Out) {
    if (Part.empty()) return true;
    AnsiString s(Part.substr(0, 1));
    AnsiView rest = Part.substr(1);
    while (!rest.empty()) {
        const char tag = rest.front();
        rest.remove_prefix(1);
        const AnsiView before = rest;
        int32_t len = 0;
        if (!ReadTlvLengthBounded(rest, len)) return false;
        s += tag;
        s += before.substr(0, before.size() - rest.size());
        s += tag == '1' ? kMask : rest.substr(0, size_t(len));
        rest.remove_prefix(size_t(len));
    }
    Out += s;
    return true;
}

// Replaces the value of every element Tag by Fn's output.
template <class F>
AnsiString MaskElements(AnsiView Line, AnsiView Open, AnsiView Close, F&& Fn) {
    AnsiString out;
    size_t pos = 0;
    for (;;) {
        const size_t open = Line.find(Open, pos);
        if (open == AnsiView::npos) break;
        const size_t value = open + Open.size();
        const size_t close = Line.find(Close, value);
        if (close == AnsiView::npos) break;
        out += Line.substr(pos, value - pos);
        Fn(Line.substr(value, close - value), out);
        out += Close;
        pos = close + Close.size();
    }
    out += Line.substr(pos);
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Wire lines.

AnsiString SysManServerName(UnicodeView Address) {
    AnsiString a = IDNToASCII(Address);
    // The converter marks what it could not convert with '?'.
    if (std::count(a.begin(), a.end(), '?') != std::count(Address.begin(), Address.end(), u'?'))
        return UnicodeToUtf8A(Address);
    return a;
}

void BuildSysManHandshake(TStringBldA& B, const TZELSvcSysmanParams& Params) {
    StrBldAReset(B);
    StrBldAAdd(B, "SC:");
    StrBldAAddElement(B, "VX", std::to_string(Params.ServerVersion));
    StrBldAAddElement(B, "SN", SysManServerName(Params.PresentServerAddress));
    StrBldAAddElement(B, "PT", UnicodeToUtf8A(Params.PresentServerPort));
    StrBldAAddElement(B, "OW", UnicodeToUtf8A(Params.ManagerAuthEMail));
    StrBldAAddElementLn(B, "PW", UnicodeToUtf8A(Params.ManagerAuthPassword));
}

void BuildSysManAuthLine(TStringBldA& B, const TZELSysManQueueData& R, bool ManagerUnicode, bool SubstituteSource) {
    StrBldAReset(B);
    StrBldAAdd(B, R.Text1);
    if (ManagerUnicode) StrBldAAddElement(B, "NTU", R.NetNameUtf8);
    StrBldAAddElement(B, "IP", SubstituteSource ? kSubstitutedSource : AnsiView(R.Text3));
    if (ManagerUnicode && !R.Text2.empty()) StrBldAAdd(B, R.Text2);
    StrBldAAddCRLF(B);
}

void BuildSysManLogoutLine(TStringBldA& B, const TZELSysManQueueData& R, bool ManagerUnicode) {
    StrBldAReset(B);
    StrBldAAdd(B, "CD:");
    StrBldAAddElement(B, "ID", R.Text4);
    StrBldAAddElement(B, "NT", R.NetName);
    if (ManagerUnicode) StrBldAAddElement(B, "NTU", R.NetNameUtf8);
    StrBldAAddCRLF(B);
}

AnsiString MaskSysManSecrets(AnsiView Line) {
    const AnsiString pw =
        MaskElements(Line, "<PW>", "</PW>", [](AnsiView, AnsiString& Out) { Out += kMask; });
    return MaskElements(pw, "<U8TF>", "</U8TF>", [](AnsiView Part, AnsiString& Out) {
        if (!MaskUtf8Part(Part, Out)) Out += kMask;
    });
}

int32_t SysManAnswerResult(AnsiView Line) noexcept {
    if (Line == "BLOCK") return SYSMAN_RESULT_BLOCK;
    if (Line == "WRONG") return SYSMAN_RESULT_WRONG;
    if (Line == "ERROR") return SYSMAN_RESULT_ERROR;
    if (Line == "DUPL") return SYSMAN_RESULT_DUPL;
    // One element is enough to tell a list; the rest are parsed and dropped.
    TTaggedField field;
    TTaggedFieldParser parser;
    parser.Fields = &field;
    parser.Capacity = 1;
    return ParseTaggedFields(parser, Line.data(), static_cast<int32_t>(Line.size())) > 0 ? SYSMAN_RESULT_OK
                                                                                          : SYSMAN_RESULT_NONE;
}

// ---------------------------------------------------------------------------------------------
// Construction and posting.

TZELSvcSysMan::TZELSvcSysMan(TZELService& Service, int32_t Index, const TZELSvcSysmanParams& Params)
    : Service_(Service),
      Index_(Index),
      Params_(Params),
      HasSuccessScript_(!Params.ManagerSuccessAuthScript.empty()),
      Waiter_(1),
      Hooks_(Waiter_),
      Collector_(kCollectorSize),
      Writer_(kWriterSize) {
    LogPrefix_ = u"Manager[" + DecimalU(Index) + u"]: ";
    // Only the end of the thread cuts a connect or proxy exchange short; a request posted
    // meanwhile (a client's authentication) waits for its outcome instead of failing it.
    Hooks_.AbortOnWake = [this] { return Terminated(); };
    StrBldAInit(LineBuilder_, 256);
    StrBldAInit(RequestBuilder_, 128);
    StrBldAInit(LineIn_, int32_t(SYSMAN_MAX_LINE) + 1);
    StrBldUInit(LogBuilder_, 200);
    AnswerLimitMs = std::max<uint32_t>(Service.ClientActivityTimeoutMs(), 1000u);
    // A line cut short by the manager's close is no answer.
    Collector_.DropPartialAtEnd = true;
    Collector_.OverflowPolicy = TCollectorOverflow::colo_Result;
}

TZELSvcSysMan::~TZELSvcSysMan() { TerminateAndWait(); }

void TZELSvcSysMan::TerminatedSet() { Waiter_.Interrupt(); }

void TZELSvcSysMan::Post(TRequest R) {
    Requests_.Push(std::move(R));
    Waiter_.Interrupt();
}

void TZELSvcSysMan::StartLink() {
    if (State() == SYSMAN_IDLE) Post(NewSysManRequest(TZELSysManRequestKind::fsmr_Connect));
}

void TZELSvcSysMan::StopLink() { Post(NewSysManRequest(TZELSysManRequestKind::fsmr_Stop)); }

void TZELSvcSysMan::AuthClient(TZELSVCWrkCtxBase* Context, TZELSVCNetworkBase* Network, int32_t Value) {
    if (State() != SYSMAN_OPERATING) {
        Service_.PostManagerAnswer(Context, Context->Number(), Network, SYSMAN_RESULT_NONE, Index_, Value,
                                   AnsiView(), Context->ManagerClientId());
        return;
    }
    TRequest r = NewSysManRequest(TZELSysManRequestKind::fsmr_AuthClient);
    r->ClientId = Context->Number();
    r->Text1 = Context->ManagerRequestText();
    r->Text2 = Context->ManagerUtf8Part();
    r->Text3 = Context->ManagerPeerAddress();
    r->Text4 = Context->ManagerClientId();
    r->NetNameUtf8 = Network->ListNameUtf8();
    if (HasSuccessScript_) Context->ManagerScriptTexts(r->Script);
    r->Network = Network;
    r->Context = Context;
    r->Value = Value;
    Post(std::move(r));
}

void TZELSvcSysMan::ClientLogout(AnsiView Id, AnsiView NetName, AnsiView NetNameUtf8) {
    if (State() != SYSMAN_OPERATING) return;
    TRequest r = NewSysManRequest(TZELSysManRequestKind::fsmr_ClientLogout);
    r->Text4.assign(Id);
    r->NetName.assign(NetName);
    r->NetNameUtf8.assign(NetNameUtf8);
    Post(std::move(r));
}

void TZELSvcSysMan::Disconnect(TZELSVCWrkCtxBase* Requester, uint32_t RequestId, bool WantAnswer) {
    TRequest r = NewSysManRequest(TZELSysManRequestKind::fsmr_Disconnect);
    r->Context = Requester;
    r->Value = static_cast<int32_t>(RequestId);
    r->WantAnswer = WantAnswer;
    Post(std::move(r));
}

void TZELSvcSysMan::NewPassword(UnicodeView Password) {
    TRequest r = NewSysManRequest(TZELSysManRequestKind::fsmr_NewPassword);
    r->Password.assign(Password);
    Post(std::move(r));
}

// ---------------------------------------------------------------------------------------------
// Log lines.

TStringBldU& TZELSvcSysMan::LogBegin(bool Error) {
    LogBuilder_.Reset();
    if (Error) StrBldUAdd(LogBuilder_, u"ERROR: ");
    StrBldUAdd(LogBuilder_, LogPrefix_);
    return LogBuilder_;
}

void TZELSvcSysMan::LogEnd() { Service_.AddLogLine(StrBldUToStr(LogBuilder_)); }

void TZELSvcSysMan::Log(UnicodeView Text) {
    StrBldUAdd(LogBegin(false), Text);
    LogEnd();
}

void TZELSvcSysMan::LogError(UnicodeView Text) {
    if (!Params_.ManagerLogErrors) return;
    StrBldUAdd(LogBegin(true), Text);
    LogEnd();
}

void TZELSvcSysMan::LogWithLine(UnicodeView Text, AnsiView Line, bool Error, bool Quoted) {
    if (Error && !Params_.ManagerLogErrors) return;
    TStringBldU& b = LogBegin(Error);
    StrBldUAdd(b, Text);
    if (Quoted) StrBldUAddChar(b, u'"');
    StrBldUAddEscapedA(b, Line);
    if (Quoted) StrBldUAddChar(b, u'"');
    LogEnd();
}

// ---------------------------------------------------------------------------------------------
// The thread.

void TZELSvcSysMan::ReportException(const char* ClassName, const std::string& Message) {
    if (!Params_.ManagerLogErrors) return;
    TStringBldU& b = LogBegin(true);
    StrBldUAdd(b, DecodeUtf8U(ClassName));
    StrBldUAddColonSpace(b);
    StrBldUAdd(b, DecodeUtf8U(Message));
    LogEnd();
}

void TZELSvcSysMan::Execute() {
    const auto report = [this](const char* ClassName, const std::string& Message) {
        ReportException(ClassName, Message);
    };
    while (!Terminated()) {
        // A fault that repeats (no memory) must not spin the thread.
        if (!GuardedCall([this] { Pass(); }, report) && !Terminated()) Waiter_.WaitForInterrupt(100);
    }
    GuardedCall(
        [this] {
            const bool operating = State() == SYSMAN_OPERATING;
            State_.store(SYSMAN_IDLE, std::memory_order_release);
            CloseConnection();
            if (operating) Service_.PostManagerLinkState(Index_, false);
        },
        report);
}

void TZELSvcSysMan::Pass() {
    // The wake-ups of the requests taken below are served by taking them; left pending, one would
    // end the next socket wait (a connect) for nothing. A request pushed after this wakes anew.
    Waiter_.ClearInterrupt();
    HandleRequests();
    if (Terminated()) return;
    if (Writer_.Pending() > 0 && !SendOutput()) return;
    switch (State()) {
        case SYSMAN_IDLE:
            AnswerPending();
            Sleep(WAITER_INFINITE);
            return;
        case SYSMAN_STOP:
            GoIdle();
            return;
        case SYSMAN_CONNECT:
            Connect();
            return;
        case SYSMAN_PAUSE:
            Pause(DisconnectTime_, ReconnectPause_);
            return;
        case SYSMAN_SHORT_PAUSE:
            Pause(PauseStart_, ShortPauseMs);
            return;
        default:
            Connected();
            return;
    }
}

bool TZELSvcSysMan::RequestsWaiting() { return Requests_.Count() > 0; }

void TZELSvcSysMan::Sleep(uint32_t Timeout) {
    if (RequestsWaiting()) return;
    Waiter_.WaitForInterrupt(Timeout);
}

// ---------------------------------------------------------------------------------------------
// Requests.

void TZELSvcSysMan::HandleRequests() {
    TRequest batch[kRequestBatch];
    const int32_t n = Requests_.PopMany(batch, kRequestBatch);
    for (int32_t i = 0; i < n; ++i) {
        // One request that fails must not cost the rest of the batch their answers.
        GuardedCall([&] { HandleRequest(std::move(batch[i])); },
                    [this](const char* ClassName, const std::string& Message) { ReportException(ClassName, Message); });
    }
}

// A connect or stop request changes the State in the middle of a batch; the requests after it
// are handled in the new State (answered, stored), never dropped unanswered.
void TZELSvcSysMan::HandleRequest(TRequest R) {
    switch (R->Kind) {
        case TZELSysManRequestKind::fsmr_AuthClient:
            if (State() != SYSMAN_OPERATING || Terminated()) {
                Answer(*R, SYSMAN_RESULT_NONE, AnsiView());
                return;
            }
            if (Held_.Count() > 0 || HoldNew(GetTickMs())) {
                Held_.Push(std::move(R));
                return;
            }
            SendAuth(std::move(R));
            return;
        case TZELSysManRequestKind::fsmr_ClientLogout:
            if (State() != SYSMAN_OPERATING) return;
            BuildSysManLogoutLine(RequestBuilder_, *R, Params_.ManagerUnicode);
            Writer_.Write(RequestBuilder_.Buf(), size_t(RequestBuilder_.Len()));
            if (Debug(3)) LogWithLine(u"put: ", StrBldAView(RequestBuilder_), false);
            return;
        case TZELSysManRequestKind::fsmr_Connect:
            if (State() == SYSMAN_IDLE) State_.store(SYSMAN_CONNECT, std::memory_order_release);
            return;
        case TZELSysManRequestKind::fsmr_Stop:
            RequestStop();
            return;
        case TZELSysManRequestKind::fsmr_Disconnect:
            HandleDisconnect(*R);
            return;
        case TZELSysManRequestKind::fsmr_NewPassword:
            HandleNewPassword(*R);
            return;
    }
}

void TZELSvcSysMan::HandleDisconnect(const TZELSysManQueueData& R) {
    if (Debug(1)) Log(u"got command disconnect manager");
    const uint32_t id = static_cast<uint32_t>(R.Value);
    if (!ConnectedState(State())) {
        if (R.WantAnswer) Service_.PostCommandReply(R.Context, id, kReplyNotConnected);
        return;
    }
    if (Debug(2)) Log(u"disconnected on disconnect command");
    if (R.WantAnswer) Service_.PostCommandReply(R.Context, id, kReplyOK);
    StopAndPause();
}

void TZELSvcSysMan::HandleNewPassword(const TZELSysManQueueData& R) {
    const bool changed = R.Password != Params_.ManagerAuthPassword;
    if (changed) {
        Params_.ManagerAuthPassword = R.Password;
        // The password itself never goes to the log.
        if (Debug(1)) Log(u"got new password: ***");
    }
    const uint8_t state = State();
    if (changed && ConnectedState(state)) {
        if (Debug(2)) Log(u"disconnect on new password");
        StopAndPause();
    } else if (state == SYSMAN_PAUSE) {
        // The long pause after a failure becomes the short one, counted from the failure.
        PauseStart_ = DisconnectTime_;
        State_.store(SYSMAN_SHORT_PAUSE, std::memory_order_release);
    }
}

void TZELSvcSysMan::RequestStop() {
    SavedState_ = State();
    State_.store(SYSMAN_STOP, std::memory_order_release);
    Writer_.Reset();
}

void TZELSvcSysMan::GoIdle() {
    State_.store(SYSMAN_IDLE, std::memory_order_release);
    CloseConnection();
    if (SavedState_ == SYSMAN_OPERATING) Service_.PostManagerLinkState(Index_, false);
    SavedState_ = SYSMAN_IDLE;
}

void TZELSvcSysMan::StopAndPause() {
    RequestStop();
    GoIdle();
    PauseStart_ = GetTickMs();
    State_.store(SYSMAN_SHORT_PAUSE, std::memory_order_release);
    if (Debug(1)) Log(u"pause at least " + DecimalU((ShortPauseMs + 999) / 1000) + u" seconds");
}

void TZELSvcSysMan::SendAuth(TRequest R) {
    BuildSysManAuthLine(RequestBuilder_, *R, Params_.ManagerUnicode, Params_.SubstituteSource);
    Writer_.Write(RequestBuilder_.Buf(), size_t(RequestBuilder_.Len()));
    if (Debug(3)) LogWithLine(u"put: ", MaskSysManSecrets(StrBldAView(RequestBuilder_)), false);
    R->SentTick = GetTickMs();
    if (Pending_.Count() == 0) BusySince_ = R->SentTick;
    Pending_.Push(std::move(R));
}

bool TZELSvcSysMan::HoldNew(uint32_t Now) const {
    const TZELSysManQueueData* oldest = Pending_.Front();
    if (oldest == nullptr) return false;
    const uint32_t waited = Now - oldest->SentTick;
    // Nothing is known of this manager's pace yet: a held request waits for the first answer and
    // then for its own, so a manager answering within 65 % of the clients' wait loses no login.
    if (!AnswerMeasured_) return waited > AnswerLimitMs / 10 * 3;
    const uint64_t usual = UsualAnswerMs_;
    if (waited > std::max<uint64_t>(2 * usual, HoldAfterMs)) return true;
    return Now - BusySince_ >= HoldAfterMs && 2 * usual + HoldAfterMs <= AnswerLimitMs;
}

void TZELSvcSysMan::ReleaseHeld(uint32_t Now) {
    if (Held_.Count() == 0 || HoldNew(Now)) return;
    TRequest r;
    while (Held_.Pop(r)) SendAuth(std::move(r));
}

void TZELSvcSysMan::MeasureAnswer(uint32_t Took) {
    if (!AnswerMeasured_ || Took > UsualAnswerMs_) {
        UsualAnswerMs_ = Took;
        AnswerMeasured_ = true;
        return;
    }
    UsualAnswerMs_ -= (UsualAnswerMs_ - Took) / 8;
}

void TZELSvcSysMan::Answer(const TZELSysManQueueData& R, int32_t Result, AnsiView Text) {
    Service_.PostManagerAnswer(R.Context, R.ClientId, R.Network, Result, Index_, R.Value, Text, R.Text4);
}

int32_t TZELSvcSysMan::AnswerPending() {
    int32_t n = 0;
    TRequest r;
    for (TZELSysManReqQueue* q : {&Pending_, &Held_})
        for (; q->Pop(r); ++n) Answer(*r, SYSMAN_RESULT_NONE, AnsiView());
    return n;
}

// ---------------------------------------------------------------------------------------------
// Connection.

bool TZELSvcSysMan::SendOutput() {
    if (!Writer_.Send()) {
        WriteError();
        return false;
    }
    LastPingTime_ = GetTickMs();
    return true;
}

void TZELSvcSysMan::Pause(uint32_t Start, uint32_t Length) {
    const uint32_t spent = GetTickMs() - Start;
    if (spent >= Length) {
        State_.store(SYSMAN_CONNECT, std::memory_order_release);
        return;
    }
    Sleep(Length - spent);
}

void TZELSvcSysMan::Connect() {
    AnswerPending();
    ReconnectPause_ = static_cast<uint32_t>(std::max(Params_.ManagerReconnectInterval, 0)) * 1000u;
    CloseConnection();
    Socket_ = std::make_unique<TTCPBlockSocket>();
    TTCPBlockSocket& s = *Socket_;
    s.RaiseExcept = false;
    Hooks_.Install(s);
    ApplyConnectionParams(s, Params_.Connection);
    s.SetNonBlockMode(true);
    s.EnableReuse(true);
    s.EnableNoDelay(true);
    s.ResetLastError();
    const uint32_t start = GetTickMs();
    s.Connect(ConnectHost(Params_.ManagerAddress), DecimalU(Params_.ManagerPort));
    if (s.LastError() != 0) {
        // A connect that the end of the thread cut off is no error of the manager's. A proxy that
        // refused is told apart from one that is down by its own answer.
        if (!Terminated()) {
            const UnicodeString text = u"connect error: " + s.LastErrorDesc();
            if (s.ProxyAnswer().empty())
                LogError(text);
            else
                LogWithLine(text + u"; proxy answer: ", s.ProxyAnswer(), true);
        }
        Fail();
        return;
    }
    if (Debug(3)) Log(u"connect OK (" + DecimalU(GetTickMs() - start) + u"ms)");
    BuildSysManHandshake(LineBuilder_, Params_);
    Writer_.Reset();
    Writer_.SetHandle(s.Handle());
    Collector_.Reset();
    Collector_.Handle = s.Handle();
    Writer_.Write(LineBuilder_.Buf(), size_t(LineBuilder_.Len()));
    if (!SendOutput()) return;
    if (Debug(3)) LogWithLine(u"handshake string: ", MaskSysManSecrets(StrBldAView(LineBuilder_)), false);
    HandshakeStart_ = GetTickMs();
    ArmRead(HandshakeTimeoutMs, HandshakeStart_);
    State_.store(SYSMAN_HANDSHAKE, std::memory_order_release);
}

void TZELSvcSysMan::ArmRead(uint32_t Timeout, uint32_t Now) {
    Collector_.ArmLength = Timeout;
    Collector_.StartReadLine(LineIn_, SYSMAN_MAX_LINE, Now);
}

uint32_t TZELSvcSysMan::KeepAlivePeriod() const noexcept {
    uint32_t period = std::max(KeepAliveMs, 1u);
    const int32_t activity = Params_.Connection.ManagerActivityTimeout;
    if (activity > 1) period = std::min(period, static_cast<uint32_t>(activity) / 2);
    return period;
}

bool TZELSvcSysMan::AnswerOverdue(uint32_t Now) {
    const TZELSysManQueueData* oldest = Pending_.Front();
    if (oldest == nullptr || Now - oldest->SentTick < AnswerLimitMs) return false;
    // The answers of this connection can no longer be matched to their requests.
    const UnicodeString waited = DecimalU(Now - oldest->SentTick);
    LogError(u"no answer for " + waited + u" ms: reconnecting" + AnswerPendingText());
    StopAndPause();
    return true;
}

UnicodeString TZELSvcSysMan::AnswerPendingText() {
    const int32_t answered = AnswerPending();
    return u"; " + DecimalU(answered) + (answered == 1 ? u" login" : u" logins") + u" answered without a verdict";
}

void TZELSvcSysMan::UnreadableAnswer(AnsiView Line) {
    // Whatever it answers, the answers after it can no longer be matched to their requests.
    const UnicodeString answered = AnswerPendingText();
    if (Params_.ManagerLogErrors) {
        TStringBldU& b = LogBegin(true);
        StrBldUAdd(b, u"unreadable answer: \"");
        StrBldUAddEscapedA(b, MaskSysManSecrets(Line));
        StrBldUAdd(b, u"\": reconnecting");
        StrBldUAdd(b, answered);
        LogEnd();
    }
    StopAndPause();
}

void TZELSvcSysMan::Connected() {
    uint32_t now = GetTickMs();
    bool more = false;
    // A manager that streams lines must not hold the link: after a share of lines it looks at the
    // end of the thread, its requests and the keep-alive before it reads on.
    for (int32_t lines = 0;;) {
        if (lines >= kLinesPerPass || Terminated()) {
            more = true;
            break;
        }
        const TCollectResult r = Collector_.Collect(now);
        if (r == TCollectResult::colres_Complete) {
            ++lines;
            // The line is copied: the next read reuses the builder.
            const AnsiString line(StrBldAView(LineIn_));
            if (!HandleLine(line, now)) return;
            now = GetTickMs();
            ArmRead(static_cast<uint32_t>(Params_.Connection.ManagerActivityTimeout), now);
            continue;
        }
        if (r == TCollectResult::colres_Nothing) {
            more = Collector_.MoreWaiting();
            break;
        }
        ReadFailure(r);
        return;
    }

    const uint8_t state = State();
    const uint32_t period = KeepAlivePeriod();
    const uint32_t delay = static_cast<uint32_t>(std::max(Params_.ManagerDelayAfterConnect, 0)) * 1000u;
    if (state >= SYSMAN_DELAY) {
        const uint32_t spent = now - LastPingTime_;
        if (spent >= period) {
            Writer_.Write(kKeepAlive.data(), kKeepAlive.size());
            if (!Writer_.Send()) {
                WriteError();
                return;
            }
            LastPingTime_ += spent / period * period;
        }
        if (state == SYSMAN_DELAY && now - DelayStart_ >= delay) EnterOperating(0);
    }
    if (AnswerOverdue(now)) return;

    if (more || RequestsWaiting()) return;
    int64_t wait = Collector_.GetRemainingTime(now);
    if (state >= SYSMAN_DELAY) {
        const int64_t toPing = int64_t(period) - int64_t(now - LastPingTime_);
        wait = wait < 0 ? toPing : std::min(wait, toPing);
        if (State() == SYSMAN_DELAY) wait = std::min(wait, int64_t(delay) - int64_t(now - DelayStart_));
        if (const TZELSysManQueueData* oldest = Pending_.Front())
            wait = std::min(wait, int64_t(AnswerLimitMs) - int64_t(now - oldest->SentTick));
        wait = std::max<int64_t>(wait, 0);
    }
    if (wait == 0) return;
    const uint8_t bits = WAITER_READ_BITS | (Writer_.Pending() > 0 ? WAITER_WRITE_BITS : 0);
    const int32_t error = Hooks_.WaitFor(bits, wait < 0 ? -1 : static_cast<int32_t>(std::max<int64_t>(wait, 0)));
    if (error != 0 && error != ETIMEDOUT && error != EINTR) WaitFailure(error);
}

bool TZELSvcSysMan::HandleLine(AnsiView Line, uint32_t Now) {
    switch (State()) {
        case SYSMAN_HANDSHAKE:
            return HandleAnswer(Line, Now);
        case SYSMAN_ACK:
            if (Line != "F") {
                LogWithLine(u"got wrong ack: ", Line, true);
                Fail();
                return false;
            }
            if (Debug(3)) Log(u"got ack (" + DecimalU(Now - HandshakeStart_) + u"ms)");
            if (Params_.ManagerDelayAfterConnect < 1) {
                EnterOperating(1);
            } else {
                DelayStart_ = Now;
                State_.store(SYSMAN_DELAY, std::memory_order_release);
                if (Debug(1))
                    Log(u"delaying for " + DecimalU(Params_.ManagerDelayAfterConnect) + u" sec(s)");
            }
            return true;
        default:
            return HandleOperatingLine(Line, Now);
    }
}

bool ReadSysManHandshakeCode(AnsiView Line, int32_t& Code) {
    TTaggedField fields[SYSMAN_MAX_ANSWER_ELEMENTS];
    TTaggedFieldParser parser;
    parser.Fields = fields;
    parser.Capacity = SYSMAN_MAX_ANSWER_ELEMENTS;
    if (ParseTaggedFields(parser, Line.data(), static_cast<int32_t>(Line.size())) < 0) return false;
    const TTaggedField* al = FindTaggedField(parser, "AL");
    int32_t code = 0;
    if (al == nullptr || al->ValueLen < 1 || !TryBufToInt32A(al->Value, al->ValueLen, code)) return false;
    Code = code;
    return true;
}

bool TZELSvcSysMan::HandleAnswer(AnsiView Line, uint32_t Now) {
    if (Debug(3)) LogWithLine(u"handshake answer (" + DecimalU(Now - HandshakeStart_) + u"ms): ", Line, false);
    int32_t code = 0;
    if (!ReadSysManHandshakeCode(Line, code)) {
        LogWithLine(u"got invalid answer: ", Line, true);
        Fail();
        return false;
    }
    if (code != 0) {
        RefusedByManager(code);
        Fail();
        return false;
    }
    State_.store(SYSMAN_ACK, std::memory_order_release);
    return true;
}

void TZELSvcSysMan::RefusedByManager(int32_t Code) {
    if (Params_.ManagerLogErrors) {
        const TRefusal* known = nullptr;
        for (const TRefusal& r : kRefusals)
            if (r.Code == Code) known = &r;
        TStringBldU& b = LogBegin(true);
        StrBldUAdd(b, u"manager returned code ");
        if (known == nullptr) {
            StrBldUAddInt(b, Code);
        } else {
            StrBldUAddChar(b, u'[');
            StrBldUAddInt(b, Code);
            StrBldUAdd(b, u"]: ");
            StrBldUAdd(b, known->Text);
            if (Code == -5) AppendHostPortU(b, Params_.PresentServerAddress, Params_.PresentServerPort);
        }
        LogEnd();
    }
    if (Code == -4 && !Params_.ManagerInvalidPasswordScript.empty()) RunInvalidPasswordScript();
}

void TZELSvcSysMan::EnterOperating(int32_t DebugAbove) {
    State_.store(SYSMAN_OPERATING, std::memory_order_release);
    if (Debug(DebugAbove)) Log(u"operating");
    Service_.PostManagerLinkState(Index_, true);
}

bool TZELSvcSysMan::HandleOperatingLine(AnsiView Line, uint32_t Now) {
    if (Line == "F") {
        if (Debug(4)) Log(u"got Pong - \"F\"");
        return true;
    }
    // An empty line is a line end doubled (CRLF CRLF), no answer.
    if (Line == "OK" || Line.empty()) return true;
    if (Debug(3)) LogWithLine(u"got: ", MaskSysManSecrets(Line), false, true);
    const int32_t result = SysManAnswerResult(Line);
    if (result == SYSMAN_RESULT_NONE) {
        UnreadableAnswer(Line);
        return false;
    }
    TRequest r;
    if (!Pending_.Pop(r)) return true;
    MeasureAnswer(Now - r->SentTick);
    Answer(*r, result, result == SYSMAN_RESULT_OK ? Line : AnsiView());
    ReleaseHeld(Now);
    if (result == SYSMAN_RESULT_OK && HasSuccessScript_) RunSuccessScript(*r, Line);
    return true;
}

void TZELSvcSysMan::ReadFailure(TCollectResult Result) {
    switch (Result) {
        case TCollectResult::colres_Timeout: {
            const uint8_t s = State();
            LogError(s == SYSMAN_HANDSHAKE ? u"handshake answer timeout" : s == SYSMAN_ACK ? u"handshake timeout" : u"timed out");
            break;
        }
        case TCollectResult::colres_EndOfStream:
            LogError(u"manager disconnected");
            break;
        case TCollectResult::colres_TooLong:
            LogError(u"read error: line longer than " + DecimalU(SYSMAN_MAX_LINE) + u" bytes");
            break;
        default:
            LogError(u"read error: " + Collector_.ErrorText());
            break;
    }
    Fail();
}

void TZELSvcSysMan::WaitFailure(int32_t Error) {
    const uint8_t s = State();
    if (s == SYSMAN_HANDSHAKE)
        LogError(u"wait handshake answer err");
    else if (s == SYSMAN_ACK)
        LogError(u"wait handshake error");
    else
        LogError(u"wait error: " + SysCharsetToUnicodeProc(SysErrorText(Error)));
    Fail();
}

void TZELSvcSysMan::WriteError() {
    LogError(u"write error: " + Writer_.ErrorText());
    Fail();
}

void TZELSvcSysMan::Fail() {
    const bool operating = State() == SYSMAN_OPERATING;
    CloseConnection();
    if (operating) Service_.PostManagerLinkState(Index_, false);
    State_.store(SYSMAN_PAUSE, std::memory_order_release);
    DisconnectTime_ = GetTickMs();
    if (Debug(3)) Log(u"pause " + DecimalU(Params_.ManagerReconnectInterval) + u" seconds");
}

void TZELSvcSysMan::CloseConnection() {
    Hooks_.Release();
    if (Socket_) Socket_->CloseSocket();
    Writer_.Reset();
    Writer_.SetHandle(-1);
    Collector_.Reset();
    Collector_.Handle = -1;
    AnswerPending();
}

// ---------------------------------------------------------------------------------------------
// External programs.

void TZELSvcSysMan::RunScript(const UnicodeString& Program, int32_t Count, const UnicodeView* Args) {
    TStringBldU line;
    StrBldUInit(line, 300);
    StrBldUAddParam(line, Program);
    for (int32_t i = 0; i < Count; ++i) {
        StrBldUAddSpace(line);
        StrBldUAddParam(line, Args[i]);
    }
    const UnicodeView a[13] = {
        Count > 0 ? Args[0] : UnicodeView(),   Count > 1 ? Args[1] : UnicodeView(),
        Count > 2 ? Args[2] : UnicodeView(),   Count > 3 ? Args[3] : UnicodeView(),
        Count > 4 ? Args[4] : UnicodeView(),   Count > 5 ? Args[5] : UnicodeView(),
        Count > 6 ? Args[6] : UnicodeView(),   Count > 7 ? Args[7] : UnicodeView(),
        Count > 8 ? Args[8] : UnicodeView(),   Count > 9 ? Args[9] : UnicodeView(),
        Count > 10 ? Args[10] : UnicodeView(), Count > 11 ? Args[11] : UnicodeView(),
        Count > 12 ? Args[12] : UnicodeView()};
    const int32_t r = ExecProgram(Program, Count, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9],
                                  a[10], a[11], a[12]);
    if (r == 0) {
        if (Service_.LogExec) Service_.AddLogLine(u"EXEC: " + StrBldUToStr(line));
        return;
    }
    LogError(u"EXEC: " + StrBldUToStr(line));
}

// Arguments: the client's eight texts (TZELSysManScriptText order), its address, the manager's
// answer line, the manager index, ManagerAddress and ManagerPort.
void TZELSvcSysMan::RunSuccessScript(const TZELSysManQueueData& R, AnsiView Line) {
    const UnicodeString address = WidenStrU(R.Text3);
    const UnicodeString answer = BytesToU(Line);
    const UnicodeString index = DecimalU(Index_);
    const UnicodeString port = DecimalU(Params_.ManagerPort);
    const UnicodeView args[13] = {R.Script[0], R.Script[1], R.Script[2], R.Script[3], R.Script[4],
                                  R.Script[5], R.Script[6], R.Script[7], address,     answer,
                                  index,       Params_.ManagerAddress,   port};
    RunScript(Params_.ManagerSuccessAuthScript, 13, args);
}

// Arguments: the manager index, ManagerAddress, ManagerPort, ManagerAuthEMail,
// PresentServerAddress, PresentServerPort and the configuration file.
void TZELSvcSysMan::RunInvalidPasswordScript() {
    const UnicodeString index = DecimalU(Index_);
    const UnicodeString port = DecimalU(Params_.ManagerPort);
    const UnicodeView args[7] = {index,
                                 Params_.ManagerAddress,
                                 port,
                                 Params_.ManagerAuthEMail,
                                 Params_.PresentServerAddress,
                                 Params_.PresentServerPort,
                                 Params_.ConfigFileName};
    RunScript(Params_.ManagerInvalidPasswordScript, 7, args);
}

// ---------------------------------------------------------------------------------------------
// The service's link slots.

uint32_t TZELService::CreateManagerLinks(uint32_t UsedMask) {
    uint32_t present = 0;
    for (int32_t i = 0; i < 3; ++i) {
        const uint32_t bit = 1u << i;
        if (!ManagerParams_[i].ManagerEnabled || (UsedMask & bit) == 0) continue;
        // A service start that failed after this step may run again: the link stays.
        if (!Links_[i]) {
            auto link = std::make_unique<TZELSvcSysMan>(*this, i, ManagerParams_[i]);
            link->Start();
            Links_[i] = std::move(link);
        }
        present |= bit;
    }
    return present;
}

void TZELService::StartManagerLinks() {
    for (const auto& link : Links_)
        if (link) link->StartLink();
}

TZELSvcSysMan* TZELService::ManagerLink(int32_t Index) const noexcept {
    return Index >= 0 && Index < 3 ? Links_[Index].get() : nullptr;
}

void TZELService::SysManAuthenticateClient(TZELSVCWrkCtxBase* Client, TZELSVCNetworkBase* Network) {
    for (int32_t i = 0; i < 3; ++i) SysManAuthenticateClientAt(i, Client, Network);
}

void TZELService::SysManAuthenticateClientAt(int32_t Index, TZELSVCWrkCtxBase* Client, TZELSVCNetworkBase* Network,
                                             int32_t Value) {
    TZELSvcSysMan* link = ManagerLink(Index);
    if (link == nullptr || (Network->ManagersMask() & (1u << Index)) == 0) return;
    // Asked already, or answered: one request per link and client.
    if (Client->ManagerLinkState(Index) != 0) return;
    Client->SetManagerLinkState(Index, 1);
    link->AuthClient(Client, Network, Value);
}

void TZELService::SysManClientLeft(int32_t Index, AnsiView ClientId, TZELSVCNetworkBase* Network) {
    TZELSvcSysMan* link = ManagerLink(Index);
    if (link == nullptr) return;
    link->ClientLogout(ClientId, Network->ManagerNetworkName(), Network->ListNameUtf8());
}

void TZELService::SysManDisconnectByIndex(int32_t Index, TZELSVCWrkCtxBase* Requester, uint32_t RequestId) {
    if (TZELSvcSysMan* link = ManagerLink(Index)) {
        link->Disconnect(Requester, RequestId, true);
        return;
    }
    PostCommandReply(Requester, RequestId, "-NOTCONNECTED\r\n");
}

void TZELService::SysManDisconnectByAddress(AnsiView Address, int32_t Port, TZELSVCWrkCtxBase* Requester,
                                            uint32_t RequestId) {
    SysManDisconnectByIndex(FindManagerLink(Address, Port), Requester, RequestId);
}

int32_t TZELService::FindManagerLink(AnsiView Address, int32_t Port) const {
    const UnicodeString address = AsciiUpperCaseU(DecodeUtf8U(Address));
    for (int32_t i = 0; i < 3; ++i) {
        const TZELSvcSysMan* link = Links_[i].get();
        if (link != nullptr && link->ManagerPort() == Port && AsciiUpperCaseU(link->ManagerAddress()) == address)
            return i;
    }
    return -1;
}

void TZELService::StopLinks() noexcept {
    // All are told first, so that they end side by side.
    for (const auto& link : Links_)
        if (link) link->Terminate();
    for (const auto& link : Links_)
        if (link) link->WaitFor();
}

void TZELService::FreeLinks() noexcept {
    for (auto& link : Links_) link.reset();
}

}  // namespace zel

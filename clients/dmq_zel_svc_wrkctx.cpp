#include "clients/dmq_zel_svc_wrkctx.hpp"

#include <sys/socket.h>

#include <mutex>
#include <string>

#include "net/dmq_sock.hpp"
#include "service/dmq_zel_svc_server_id.hpp"

namespace zel {

TZELSVCWrkCtx::TZELSVCWrkCtx(TZELService* Owner, int32_t Handle, AnsiView PeerText, int32_t ConnValue,
                             int32_t Extra)
    : Owner(Owner),
      Handle(Handle),
      Extra(Extra),
      Number_(Owner ? static_cast<uint32_t>(Owner->NextContextNumber()) : 1u),
      PeerText_(PeerText),
      ConnText_(std::to_string(ConnValue)) {
    IdText_ = PeerText_ + ConnText_;
}

TZELSVCWrkCtx::~TZELSVCWrkCtx() {
    WaitEntry = nullptr;
    TZELSVCWrkCtx::vCloseSocket();
    CloseParked();
}

void TZELSVCWrkCtx::AfterConstruction() {
    Name_ = WidenStrU(vGetIdText());
    if (Owner == nullptr) return;
    OnLogText = [](TZELSVCWrkCtx& c, UnicodeView Text) { c.Owner->ContextLog(c.Name(), Text); };
    OnLogError = [](TZELSVCWrkCtx& c, UnicodeView Text) { c.Owner->ContextErrorLog(c.Name(), Text); };
}

bool TZELSVCWrkCtx::MarkClosedPosted() noexcept {
    return !ClosedPosted_.exchange(true, std::memory_order_acq_rel);
}

void TZELSVCWrkCtx::AbortWithCause(TZELSVCDisconnectCause Cause) {
    SetDisconnectCause(Cause);
    SendFlags.fetch_or(ZELSendAbort, std::memory_order_acq_rel);
    RequestFlush();
}

void TZELSVCWrkCtx::StopUnserved(TZELSVCDisconnectCause Cause) {
    SetDisconnectCause(Cause);
    vExecStop(nullptr);
}

UnicodeString TZELSVCWrkCtx::DisconnectLine(bool WithText) const {
    UnicodeString line = Name_;
    line += u' ';
    line += DisconnectCauseInfo(Cause()).Text;
    if (WithText && HasCauseText()) {
        line += u": ";
        line += EscapeCtrlCharsU(CauseText());
    }
    return line;
}

void TZELSVCWrkCtx::vFlush() { throw Exception("TZELSVCWrkCtx.vFlush"); }

void TZELSVCWrkCtx::vAbortConnection() { throw Exception("TZELSVCWrkCtx.vAbortConnection"); }

void TZELSVCWrkCtx::vSetTimeoutCause() { SetDisconnectCause(TZELSVCDisconnectCause::fsdc_ClientTimeout); }

void TZELSVCWrkCtx::vExecStop(TZELSVCWorkerBase*) { throw Exception("TZELSVCWrkCtx.vExecStop"); }

void TZELSVCWrkCtx::vCloseSocket() {
    // Exchange, so that a worker and a late caller never close the same number twice.
    const int32_t h = Handle.exchange(-1, std::memory_order_acq_rel);
    if (h < 0) return;
    if (WaitEntry != nullptr) {
        // The peer sees the end now; the number stays ours until the worker unregisters it.
        ::shutdown(h, SHUT_RDWR);
        ParkedHandle = h;
        return;
    }
    SockClose(h);
}

void TZELSVCWrkCtx::CloseParked() noexcept {
    if (ParkedHandle < 0) return;
    SockClose(ParkedHandle);
    ParkedHandle = -1;
}

void TZELSVCWrkCtx::vSendAnswer(bool, TZELChannelCommandAnswer) {}

bool TZELSVCWrkCtx::SetDisconnectCause(TZELSVCDisconnectCause Cause) noexcept {
    const uint8_t c = static_cast<uint8_t>(Cause);
    if (c == 0) return false;
    uint8_t expected = 0;
    return Cause_.compare_exchange_strong(expected, c, std::memory_order_acq_rel);
}

bool TZELSVCWrkCtx::SetDisconnectText(AnsiView Text) {
    std::lock_guard<TCriticalSection> g(CauseTextLock_);
    if (CauseTextSet_.load(std::memory_order_relaxed)) return false;
    CauseText_.assign(Text);
    CauseTextSet_.store(true, std::memory_order_release);
    return true;
}

AnsiString TZELSVCWrkCtx::CauseText() const {
    std::lock_guard<TCriticalSection> g(CauseTextLock_);
    return CauseText_;
}

void TZELSVCWrkCtx::RequestFlush() noexcept {
    TZELSVCWorkerBase* w = Worker.load(std::memory_order_acquire);
    if (w == nullptr) return;
    if (!WorkListed.exchange(true)) w->NoteWork(this);
    w->MarkHasWork();
}

void TZELSVCWrkCtx::ListWork() noexcept {
    TZELSVCWorkerBase* w = Worker.load(std::memory_order_acquire);
    if (w != nullptr && !WorkListed.exchange(true)) w->NoteWork(this);
}

void TZELSVCWrkCtx::LogText(UnicodeView Text) {
    if (OnLogText) OnLogText(*this, Text);
}

void TZELSVCWrkCtx::LogError(UnicodeView Text) {
    if (OnLogError) OnLogError(*this, Text);
}

}  // namespace zel

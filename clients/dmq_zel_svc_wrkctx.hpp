#pragma once
// TZELSVCWrkCtx: the base of every connection a worker thread serves (a client on a socket, a
// command-port connection) and of the Parrot. It holds what the worker, the service and the
// networks need of any connection: the owning service, the socket handle, a serial number,
// identity texts, the first disconnect cause and text, two log hooks and the worker that owns it,
// and it declares the operations through which a worker drives a connection without knowing its
// kind.
//
// Threads: the owning worker reads, sends and closes; the timer thread (networks, service
// dispatcher) queues output and aborts. Everything both touch is atomic: producers add bits with
// fetch_or, the first cause wins by compare-exchange from 0, the disconnect text is set once
// under a lock.
//
// Lifetime: create a context with CreateWrkCtx<T>(...), never with new alone: the identity text
// comes from the virtual vGetIdText, which only the finished object answers for its own class, so
// Name and the log hooks are set after the most-derived constructor has run. Each class closes
// what it owns in its own destructor (a virtual call there never reaches a derived class).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "foundation/dmq_thread.hpp"
#include "foundation/dmq_types.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_cmd_proto.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_globals.hpp"

namespace zel {

class TZELService;
struct TWaiter2Resource;

// What the worker hands to vAttach, vHandleRead, vPrepareWait and vCheckIdleTimeout.
struct TZELSVCWaitRecord {
    uint32_t Now = 0;     // in: the current tick
    int32_t Handle = -1;  // out: the handle to wait on
    uint8_t Events = 1;   // out: the wanted events, 1 read, 3 read and write
    uint8_t Fired = 0;    // in: the events that fired, 0x1 readable, 0x2 writable
};

// Results of vHandleRead and vPrepareWait, read by the worker.
enum class TZELSVCWrkResult : uint8_t {
    wkr_Keep,                // keep waiting
    wkr_LeaveWait,           // leave the wait loop now: more input is waiting
    wkr_Close,               // close
    wkr_CloseTimeout,        // close after vSetTimeoutCause
    wkr_CloseOutOfMemory,    // close with fsdc_ServOutOfMemory unless a cause is set
    wkr_CloseInternalError,  // close with fsdc_ServInternalError unless a cause is set
};

// SendFlags bits.
inline constexpr uint16_t ZELSendOutputQueued = 0x1;   // output was queued since the last flush
inline constexpr uint16_t ZELSendAbort = 0x2;          // stop at the next worker step
inline constexpr uint16_t ZELSendLoginAnswer = 0x4;    // the accepted-login answer is queued
inline constexpr uint16_t ZELSendFinalAnswer = 0x8;    // close once the queued answer is sent
inline constexpr uint16_t ZELSendMoreInput = 0x10;     // more input buffered than one step takes
inline constexpr uint16_t ZELSendDrainClose = 0x20;    // read no more; close once the output is sent

// Tag: the kind of connection the worker dispatches.
inline constexpr uint32_t ZELWrkCtxTagClient = 0;
inline constexpr uint32_t ZELWrkCtxTagCommand = 0x123455AA;

class TZELSVCWrkCtx : public TZELSVCWrkCtxBase {
public:
    using TLogEvent = std::function<void(TZELSVCWrkCtx& Context, UnicodeView Text)>;

    // Takes Handle over (closed by the destructor). Number comes from the service's counter, 1
    // without an owner. Finish the object with AfterConstruction (CreateWrkCtx does).
    TZELSVCWrkCtx(TZELService* Owner, int32_t Handle, AnsiView PeerText, int32_t ConnValue, int32_t Extra);
    ~TZELSVCWrkCtx() override;

    // Name := the identity text widened; the service's context log lines become the log hooks.
    void AfterConstruction();

    // ---- TZELSVCWrkCtxBase
    uint32_t Number() const override { return Number_; }
    bool ClosedPosted() const noexcept override { return ClosedPosted_.load(std::memory_order_acquire); }
    bool MarkClosedPosted() noexcept override;
    void AbortWithCause(TZELSVCDisconnectCause Cause) override;
    // Service dispatcher (connections and hand-overs).
    void SetWorker(TZELSVCWorkerBase* W) noexcept override { Worker.store(W, std::memory_order_release); }
    // Cause, then the final stop without a worker (its close record is posted here).
    void StopUnserved(TZELSVCDisconnectCause Cause) override;
    // Name, a blank and the cause's text; ": " + the disconnect text with WithText.
    UnicodeString DisconnectLine(bool WithText) const override;
    TZELSVCDisconnectCause DisconnectCause() const noexcept override { return Cause(); }
    void ContextError(UnicodeView Text) override { LogError(Text); }

    // ---- The operations the worker and the service drive.
    // Raises "TZELSVCWrkCtx.vFlush": a kind that is flushed overrides it.
    virtual void vFlush();
    // Raises "TZELSVCWrkCtx.vAbortConnection".
    virtual void vAbortConnection();
    virtual AnsiString vGetIdText() const { return IdText_; }
    // fsdc_ClientTimeout unless a cause is set.
    virtual void vSetTimeoutCause();
    virtual bool vIsValid() const { return true; }
    virtual void vAttach(TZELSVCWaitRecord& Wait) = 0;
    virtual TZELSVCWrkResult vHandleRead(TZELSVCWaitRecord& Wait) = 0;
    virtual TZELSVCWrkResult vPrepareWait(TZELSVCWaitRecord& Wait) = 0;
    // True when the context ran out of time.
    virtual bool vCheckIdleTimeout(TZELSVCWaitRecord& Wait) = 0;
    // The final stop, once, by the owning worker. Raises "TZELSVCWrkCtx.vExecStop".
    virtual void vExecStop(TZELSVCWorkerBase* Worker);
    // Closes Handle (SO_REUSEADDR first) and sets it to -1; a second call does nothing. While a
    // worker's waiter still holds the number (WaitEntry set), the socket is only shut down and its
    // number kept until the worker has taken it out of the waiter (CloseParked): closed at once,
    // the number could be reused by another thread before the worker's unregistering names it.
    virtual void vCloseSocket();
    // The worker, right after unregistering: closes a number vCloseSocket kept.
    void CloseParked() noexcept;
    // Answer to a command-channel request; nothing here.
    virtual void vSendAnswer(bool AlreadyAnswered, TZELChannelCommandAnswer Answer);

    // ---- Cause, text, flush, log (any thread).
    // Stores Cause only when none is set; cause 0 means none and is never stored. True when stored.
    bool SetDisconnectCause(TZELSVCDisconnectCause Cause) noexcept;
    // Stores Text only when no text is set. True when stored.
    bool SetDisconnectText(AnsiView Text);
    // Puts the context on its worker's list of contexts with work (once until the worker takes
    // it) and marks the worker for the next service tick's wake-up.
    void RequestFlush() noexcept;
    // The list alone, without the mark: the worker's next wake-up serves the context.
    void ListWork() noexcept;
    void LogText(UnicodeView Text);
    void LogError(UnicodeView Text);

    TZELSVCDisconnectCause Cause() const noexcept {
        return static_cast<TZELSVCDisconnectCause>(Cause_.load(std::memory_order_acquire));
    }
    bool HasCause() const noexcept { return Cause_.load(std::memory_order_acquire) != 0; }
    AnsiString CauseText() const;
    bool HasCauseText() const noexcept { return CauseTextSet_.load(std::memory_order_acquire); }

    // Set once; read-only afterwards.
    const UnicodeString& Name() const noexcept { return Name_; }
    const AnsiString& IdText() const noexcept { return IdText_; }
    const AnsiString& ConnText() const noexcept { return ConnText_; }
    const AnsiString& PeerText() const noexcept override { return PeerText_; }

    // Fields shared with the worker, the service and the networks.
    TLogEvent OnLogText;
    TLogEvent OnLogError;
    TZELService* const Owner;
    // Set by the worker when a re-check found the context finished; cleared with SendFlags.
    std::atomic<uint16_t> StopPending{0};
    // ZELSend... bits; producers add with fetch_or.
    std::atomic<uint16_t> SendFlags{0};
    // -1 once closed.
    std::atomic<int32_t> Handle;
    const int32_t Extra;
    // ZELWrkCtxTagClient or ZELWrkCtxTagCommand, set by the derived constructor.
    uint32_t Tag = 0;
    // The waiter record the worker registered the context under (worker thread only).
    TWaiter2Resource* WaitEntry = nullptr;
    // The worker that took the context over.
    std::atomic<TZELSVCWorkerBase*> Worker{nullptr};
    // On a worker's list of contexts with work, or on its way there (any thread).
    std::atomic<bool> WorkListed{false};
    // The worker whose list may take the context: set and cleared by that worker under its list's
    // lock, read by producers under the same lock.
    std::atomic<TZELSVCWorkerBase*> WorkOwner{nullptr};
    // A shut-down number waiting for the worker's unregistering (worker thread; the destructor
    // closes one that is left).
    int32_t ParkedHandle = -1;

private:
    uint32_t Number_;
    std::atomic<uint8_t> Cause_{0};
    std::atomic<bool> CauseTextSet_{false};
    std::atomic<bool> ClosedPosted_{false};
    mutable TCriticalSection CauseTextLock_;
    AnsiString CauseText_;
    UnicodeString Name_;
    AnsiString PeerText_;
    AnsiString ConnText_;
    AnsiString IdText_;
};

// The one way to create a work context: constructs T, then finishes it (AfterConstruction). A
// failure frees what was built and passes the exception on.
template <class T, class... A>
std::unique_ptr<T> CreateWrkCtx(A&&... Args) {
    auto p = std::make_unique<T>(std::forward<A>(Args)...);
    p->AfterConstruction();
    return p;
}

// The same for a context on a socket: the context owns Handle once made; a failure closes Handle
// and passes the exception on (the factory's contract).
template <class T>
std::unique_ptr<T> CreateSocketWrkCtx(TZELService& Service, int Handle, AnsiView PeerText, int32_t PeerPort,
                                      int32_t Extra) {
    std::unique_ptr<T> p;
    try {
        p = std::make_unique<T>(&Service, Handle, PeerText, PeerPort, Extra);
    } catch (...) {
        SockClose(Handle);
        throw;
    }
    p->AfterConstruction();
    return p;
}

}  // namespace zel

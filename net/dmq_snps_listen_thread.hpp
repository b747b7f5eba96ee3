#pragma once
// The listener thread: listens on any number of bindings (name, host, port) through one wait
// and hands every accepted connection, as a bare handle with its addresses, to the binding's
// accept handler. Other threads only request listening on or off and wake the thread.
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "foundation/dmq_thread.hpp"
#include "foundation/dmq_types.hpp"
#include "net/dmq_snps_blcksock.hpp"
#include "net/dmq_waiter2_socket.hpp"

namespace zel {

// The values of the IP version option (0 both, 1 IPv4 only, 2 IPv6 only).
enum class TSynapseListenerIPVersions : uint8_t { ipver_46, ipver_4, ipver_6 };

// Handle (now the handler's to keep or close), peer IP and port, local IP and port, peer address
// kind (GetSinKind: 0 IPv4, 1 IPv4-mapped IPv6, 3 other IPv6) and the binding's name.
using TSynapseAcceptEvent = std::function<void(int Handle, const AnsiString& PeerIP, int32_t PeerPort,
                                               const AnsiString& LocalIP, int32_t LocalPort, int32_t PeerKind,
                                               const UnicodeString& Name)>;

class TSynapseBinding {
public:
    TSynapseBinding(UnicodeString Name, UnicodeString Host, UnicodeString Port, bool IPv6, bool V6Only,
                    TSynapseAcceptEvent OnAccept);
    ~TSynapseBinding();
    TSynapseBinding(const TSynapseBinding&) = delete;
    TSynapseBinding& operator=(const TSynapseBinding&) = delete;

    UnicodeString Name;
    UnicodeString Host;
    UnicodeString Port;
    bool IPv6;
    bool V6Only;
    TSynapseAcceptEvent OnAccept;
    // The listening socket while the binding is open.
    std::unique_ptr<TTCPBlockSocket> Socket;
    TWaiter2Resource* Resource = nullptr;
    bool Ready = false;
    // How the last opening of this binding went: 0 opened; else the socket error of the failing
    // step (-1 for a failure without one) and the exception's message. Written by the listener
    // thread before its opening pass is counted (OpenPasses).
    int32_t OpenError = 0;
    AnsiString OpenErrorText;
};

class TSynapseListenerThread : public TThread {
public:
    using TNotify = std::function<void(TSynapseListenerThread* Sender)>;
    using TBindingNotify = std::function<void(TSynapseListenerThread* Sender, TSynapseBinding* Binding)>;
    using TBindingError =
        std::function<void(TSynapseListenerThread* Sender, TSynapseBinding* Binding, const std::exception& E)>;
    using TTextNotify = std::function<void(TSynapseListenerThread* Sender, const UnicodeString& Text)>;

    // Waiter slots before the bindings ask for more.
    static constexpr int32_t kDefaultWaiterResources = 60;
    static constexpr int32_t kDefaultBacklog = 1024;
    // Accepting pauses this long when the process or the system runs out of descriptors or memory.
    static constexpr uint32_t kAcceptPauseMs = 1000;
    // Pause before a reopen that opened nothing is tried again.
    static constexpr uint32_t kRetryPauseMs = 1000;

    // The thread is created stopped; call Start() once the object is complete.
    TSynapseListenerThread();
    ~TSynapseListenerThread() override;

    // Raises "Already listening" while listening or once a start is requested. The listener
    // owns the binding.
    void AddBinding(std::unique_ptr<TSynapseBinding> Binding);
    TSynapseBinding* AddNewBinding(UnicodeString Name, UnicodeString Host, UnicodeString Port, bool IPv6,
                                   bool V6Only, TSynapseAcceptEvent OnAccept);
    void AddAny(const UnicodeString& Name, const UnicodeString& Port, TSynapseListenerIPVersions IPVersions,
                const TSynapseAcceptEvent& OnAccept);
    void AddLocalhost(const UnicodeString& Name, const UnicodeString& Port, TSynapseListenerIPVersions IPVersions,
                      const TSynapseAcceptEvent& OnAccept);

    // Any thread.
    void StartListening();
    void StopListening();
    void TerminateAndWakeUp();

    bool ExecuteStarted() const noexcept { return started_.load(std::memory_order_acquire); }
    bool ExecuteFinished() const noexcept { return finished_.load(std::memory_order_acquire); }
    bool Listening() const noexcept { return listening_.load(std::memory_order_acquire); }
    bool ListenRequested() const noexcept { return listenRequested_.load(std::memory_order_acquire); }
    // Opening passes over all bindings finished so far (successful or not). Once it has grown past
    // a value read before StartListening, every binding's OpenError tells how that pass went.
    uint32_t OpenPasses() const noexcept { return openPasses_.load(std::memory_order_acquire); }
    // Waits until OpenPasses() is above After, at most TimeoutMs; whether it is.
    bool WaitForOpenPass(uint32_t After, uint32_t TimeoutMs) const;

    // Set-up phase only (before Start or while idle), like the bindings.
    const std::vector<std::unique_ptr<TSynapseBinding>>& Bindings() const noexcept { return bindings_; }
    // Listener thread only.
    const std::vector<TSynapseBinding*>& ActiveBindings() const noexcept { return active_; }

    // The least listen backlog the bindings open with; never below kDefaultBacklog.
    int32_t Backlog = kDefaultBacklog;

    TNotify OnInvalidPeerName;
    TBindingError OnBindingError;
    TBindingNotify OnBindingStarted;
    TBindingNotify OnBindingStopped;
    TTextNotify OnError;
    TNotify OnFinished;
    TNotify OnStopped;
    TNotify OnStarted;
    TTextNotify OnInfo;

protected:
    void Execute() override;
    void TerminatedSet() override;

private:
    void Wake();
    void OpenBindings();
    void OpenBinding(TSynapseBinding& B);
    void EnsureWaiterSize(size_t Needed);
    void AcceptLoop();
    // Accepts until the binding is drained, or until accepting must pause or all bindings reopen.
    void AcceptOn(TSynapseBinding& B);
    void HandOver(TSynapseBinding& B, int Handle);
    void CloseBindings();
    // False (after OnError) when a binding could not be watched again.
    bool SetWatching(bool On);
    void FireError(const UnicodeString& Text);

    std::vector<std::unique_ptr<TSynapseBinding>> bindings_;
    // Makes AddBinding's check and append one step against StartListening and the listener
    // thread's copy of the list.
    TCriticalSection bindingsLock_;
    std::vector<TSynapseBinding*> active_;
    // The listener thread's own waiter. Only the listener thread replaces it (under waiterLock_,
    // when the bindings outgrow it), so its own reads need no lock (OwnWaiter); other threads reach
    // it only under waiterLock_ to wake it.
    TWaiter2Socket& OwnWaiter() ZEL_NO_THREAD_SAFETY_ANALYSIS { return *waiter_; }
    TCriticalSection waiterLock_;
    std::unique_ptr<TWaiter2Socket> waiter_ ZEL_GUARDED_BY(waiterLock_);

    std::atomic<bool> started_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> listening_{false};
    std::atomic<bool> listenRequested_{false};
    std::atomic<uint32_t> openPasses_{0};
    bool retryPending_ = false;
    // The current opening follows an error: opening nothing is retried, never given up.
    bool reopening_ = false;
    bool pauseBeforeOpen_ = false;
    // Out of descriptors or memory: accepting pauses, the bindings stay open.
    bool pauseRequested_ = false;
};

}  // namespace zel

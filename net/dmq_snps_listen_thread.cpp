#include "net/dmq_snps_listen_thread.hpp"

#include <algorithm>
#include <chrono>
#include <thread>
#include <cerrno>
#include <cstring>

#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "net/dmq_snps_addr.hpp"
#include "net/dmq_sock.hpp"

namespace zel {

namespace {

// The read bit with which every listening socket is watched.
constexpr uint8_t kListenEvents = 4;

// "Socket error <errno>: <the system's text>".
UnicodeString ErrnoText(int e) { return SockErrorText(e, SysCharsetToUnicodeProc(SysErrorText(e))); }

// Errors that belong to the one connection being accepted, not to the listening socket:
// Linux reports pending network errors of the new connection through accept.
bool IsConnectionError(int e) {
    switch (e) {
        case ECONNABORTED:
        case ENETDOWN:
        case EPROTO:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return true;
        default:
            return false;
    }
}

// Out of descriptors or memory: reopening the bindings would fail too, so only pause.
bool IsShortage(int e) { return e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM; }

// Connection errors in a row after which a binding counts as drained for this wake-up.
constexpr int kMaxConnectionErrorsInRow = 64;

}  // namespace

TSynapseBinding::TSynapseBinding(UnicodeString Name_, UnicodeString Host_, UnicodeString Port_, bool IPv6_,
                                 bool V6Only_, TSynapseAcceptEvent OnAccept_)
    : Name(std::move(Name_)),
      Host(std::move(Host_)),
      Port(std::move(Port_)),
      IPv6(IPv6_),
      V6Only(V6Only_),
      OnAccept(std::move(OnAccept_)) {}

TSynapseBinding::~TSynapseBinding() = default;

// ---------------------------------------------------------------------------------------------

TSynapseListenerThread::TSynapseListenerThread()
    : waiter_(std::make_unique<TWaiter2Socket>(kDefaultWaiterResources)) {}

TSynapseListenerThread::~TSynapseListenerThread() {
    try {
        if (Started() && !ExecuteFinished()) {
            listenRequested_.store(false, std::memory_order_release);
            Terminate();
        }
        WaitFor();
    } catch (...) {
    }
    // Last first, each freeing its socket.
    active_.clear();
    while (!bindings_.empty()) bindings_.pop_back();
}

void TSynapseListenerThread::AddBinding(std::unique_ptr<TSynapseBinding> Binding) {
    std::lock_guard<TCriticalSection> g(bindingsLock_);
    // Once a start is requested the listener thread may be opening the bindings already.
    if (Listening() || ListenRequested()) throw Exception("Already listening");
    bindings_.push_back(std::move(Binding));
}

TSynapseBinding* TSynapseListenerThread::AddNewBinding(UnicodeString Name, UnicodeString Host, UnicodeString Port,
                                                       bool IPv6, bool V6Only, TSynapseAcceptEvent OnAccept) {
    auto b = std::make_unique<TSynapseBinding>(std::move(Name), std::move(Host), std::move(Port), IPv6, V6Only,
                                               std::move(OnAccept));
    TSynapseBinding* p = b.get();
    AddBinding(std::move(b));
    return p;
}

void TSynapseListenerThread::AddAny(const UnicodeString& Name, const UnicodeString& Port,
                                    TSynapseListenerIPVersions IPVersions, const TSynapseAcceptEvent& OnAccept) {
    if (IPVersions != TSynapseListenerIPVersions::ipver_4) AddNewBinding(Name, u"::0", Port, true, true, OnAccept);
    if (IPVersions != TSynapseListenerIPVersions::ipver_6) AddNewBinding(Name, u"0.0.0.0", Port, false, false, OnAccept);
}

void TSynapseListenerThread::AddLocalhost(const UnicodeString& Name, const UnicodeString& Port,
                                          TSynapseListenerIPVersions IPVersions, const TSynapseAcceptEvent& OnAccept) {
    if (IPVersions != TSynapseListenerIPVersions::ipver_4) AddNewBinding(Name, u"::1", Port, true, true, OnAccept);
    if (IPVersions != TSynapseListenerIPVersions::ipver_6)
        AddNewBinding(Name, u"127.0.0.1", Port, false, false, OnAccept);
}

void TSynapseListenerThread::Wake() {
    TCriticalSectionLock g(waiterLock_);
    if (waiter_) waiter_->Interrupt();
}

void TSynapseListenerThread::StartListening() {
    {
        // A binding being added now is either in the list before the request or refused.
        std::lock_guard<TCriticalSection> g(bindingsLock_);
        listenRequested_.store(true, std::memory_order_release);
    }
    Wake();
}

bool TSynapseListenerThread::WaitForOpenPass(uint32_t After, uint32_t TimeoutMs) const {
    // A listener never started makes no pass: nothing to wait for.
    if (!Started()) return false;
    const uint32_t start = GetTickMs();
    while (OpenPasses() == After) {
        if (GetTickMs() - start >= TimeoutMs || ExecuteFinished()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void TSynapseListenerThread::StopListening() {
    listenRequested_.store(false, std::memory_order_release);
    Wake();
}

void TSynapseListenerThread::TerminateAndWakeUp() { Terminate(); }

void TSynapseListenerThread::TerminatedSet() { Wake(); }

void TSynapseListenerThread::FireError(const UnicodeString& Text) {
    if (OnError) OnError(this, Text);
}

// ---------------------------------------------------------------------------------------------

void TSynapseListenerThread::Execute() {
    started_.store(true, std::memory_order_release);
    GuardedCall([&] { OwnWaiter().WaitForInterrupt(WAITER_INFINITE); }, [](const char*, const std::string&) {});
    while (!Terminated()) {
        const bool ok = GuardedCall(
            [&] {
                const bool requested = ListenRequested();
                if (!Listening() && !requested) {
                    reopening_ = false;
                    pauseBeforeOpen_ = false;
                    OwnWaiter().WaitForInterrupt(WAITER_INFINITE);
                } else if (!Listening()) {
                    OpenBindings();
                } else {
                    AcceptLoop();
                    CloseBindings();
                }
            },
            [&](const char*, const std::string& message) { FireError(Utf8BufToUnicodeU(message.data(), int32_t(message.size()))); });
        if (!ok) {
            if (Listening()) {
                // Close everything and open it again.
                listenRequested_.store(false, std::memory_order_release);
                retryPending_ = true;
            } else {
                // The opening failed half-way: nothing may stay open unwatched; while listening
                // is wanted, try again after a pause.
                if (!active_.empty()) {
                    retryPending_ = ListenRequested();
                    GuardedCall([&] { CloseBindings(); }, [](const char*, const std::string&) {});
                    retryPending_ = false;
                }
                if (ListenRequested()) {
                    reopening_ = true;
                    pauseBeforeOpen_ = true;
                }
            }
        }
    }
    GuardedCall(
        [&] {
            retryPending_ = false;
            if (!active_.empty() || Listening()) CloseBindings();
        },
        [](const char*, const std::string&) {});
    finished_.store(true, std::memory_order_release);
    if (OnFinished) GuardedCall([&] { OnFinished(this); }, [](const char*, const std::string&) {});
}

void TSynapseListenerThread::EnsureWaiterSize(size_t Needed) {
    if (Needed <= static_cast<size_t>(OwnWaiter().MaxResources())) return;
    auto bigger = std::make_unique<TWaiter2Socket>(static_cast<int32_t>(Needed));
    {
        TCriticalSectionLock g(waiterLock_);
        waiter_.swap(bigger);
    }
    // A wake-up may have gone to the old waiter; the loop re-checks its flags anyway.
    OwnWaiter().Interrupt();
}

void TSynapseListenerThread::OpenBinding(TSynapseBinding& B) {
    auto s = std::make_unique<TTCPBlockSocket>();
    s->RaiseExcept = false;
    s->Family = B.IPv6 ? TSocketFamily::SF_IP6 : TSocketFamily::SF_IP4;
    if (B.IPv6 && B.V6Only) s->EnableV6Only(true);
    auto check = [&s, &B](const char* step) {
        B.OpenError = s->LastError();
        if (s->LastError() != 0)
            throw Exception(FormatA("%s: Socket error %d: %s", step, s->LastError(),
                                    UnicodeToUtf8A(s->LastErrorDesc()).c_str()));
    };
    s->SetNonBlockMode(true);
    check("Setting nonblocking mode");
    s->EnableReuse(true);
    check("Reuse");
    s->Bind(B.Host, B.Port);
    check("Bind");
    s->SetLinger(false, 0);
    check("Linger");
    s->EnableReuse(true);
    check("Reuse");
    // Backlog is a lower bound: a queue of a few lets a handful of flooding peers drop the SYNs of
    // every other client for a second each, so the platform gets at least the socket class's
    // 1024 (and caps it at its own maximum).
    s->Listen(std::max(Backlog, kDefaultBacklog));
    check("Listen");
    B.Socket = std::move(s);
}

void TSynapseListenerThread::OpenBindings() {
    if (pauseBeforeOpen_) {
        pauseBeforeOpen_ = false;
        OwnWaiter().WaitForInterrupt(kRetryPauseMs);
        if (!ListenRequested() || Terminated()) return;
    }
    std::vector<TSynapseBinding*> bindings;
    {
        std::lock_guard<TCriticalSection> g(bindingsLock_);
        bindings.reserve(bindings_.size());
        for (auto& bp : bindings_) bindings.push_back(bp.get());
    }
    // One slot per binding besides the wake-up pipe.
    EnsureWaiterSize(bindings.size());
    for (TSynapseBinding* b : bindings) {
        bool opened = false;
        b->OpenError = 0;
        b->OpenErrorText.clear();
        try {
            OpenBinding(*b);
            active_.push_back(b);
            opened = true;
        } catch (const std::exception& e) {
            b->Socket.reset();
            if (b->OpenError == 0) b->OpenError = -1;
            b->OpenErrorText = e.what();
            if (OnBindingError) OnBindingError(this, b, e);
        }
        if (opened && OnBindingStarted) OnBindingStarted(this, b);
    }
    // Counted once every binding was tried, whatever follows (a failed registration is an error of
    // the accept loop's kind, not of a binding).
    openPasses_.fetch_add(1, std::memory_order_acq_rel);
    if (active_.empty()) {
        if (reopening_) {
            // After an error the request stays: try again after a pause.
            pauseBeforeOpen_ = true;
        } else {
            listenRequested_.store(false, std::memory_order_release);
        }
        return;
    }
    for (TSynapseBinding* b : active_) {
        b->Resource = OwnWaiter().AddResource(b, b->Socket->Handle());
        // A binding that is never watched would never accept: close all and open them again.
        if (const int e = OwnWaiter().SetResourceEvents(b->Resource, kListenEvents); e != 0)
            throw Exception("kevent: " + UnicodeToUtf8A(ErrnoText(e)));
    }
    listening_.store(true, std::memory_order_release);
    reopening_ = false;
    if (OnStarted) OnStarted(this);
}

bool TSynapseListenerThread::SetWatching(bool On) {
    for (TSynapseBinding* b : active_) {
        if (!b->Resource) continue;
        if (const int e = OwnWaiter().SetResourceEvents(b->Resource, On ? kListenEvents : 0); e != 0) {
            FireError(u"kevent: " + ErrnoText(e));
            return false;
        }
    }
    return true;
}

void TSynapseListenerThread::AcceptLoop() {
    bool paused = false;
    uint32_t pauseStart = 0;
    while (ListenRequested() && !Terminated()) {
        TWaiter2WaitRequest req;
        req.OnEvent = [](TWaiter2Event& e) {
            if (e.Resource && e.Resource->Data) static_cast<TSynapseBinding*>(e.Resource->Data)->Ready = true;
        };
        req.UserData = this;
        req.Passes = 1;
        req.Timeout = WAITER_MAX_TIMEOUT;
        if (paused) {
            const uint32_t spent = GetTickMs() - pauseStart;
            req.Timeout = spent >= kAcceptPauseMs ? 0 : kAcceptPauseMs - spent;
        }
        const TWaiterResult r = OwnWaiter().Wait(req);
        if (paused) {
            if (GetTickMs() - pauseStart >= kAcceptPauseMs) {
                paused = false;
                if (!SetWatching(true)) {
                    listenRequested_.store(false, std::memory_order_release);
                    retryPending_ = true;
                    return;
                }
            }
            continue;
        }
        if (r == TWaiterResult::wr_Error) {
            listenRequested_.store(false, std::memory_order_release);
            retryPending_ = true;
            return;
        }
        if (r == TWaiterResult::wr_Timeout) continue;
        // Events that came together with a wake-up were delivered too.
        for (TSynapseBinding* b : active_) {
            if (!b->Ready) continue;
            b->Ready = false;
            AcceptOn(*b);
            if (retryPending_) return;
            if (pauseRequested_) {
                pauseRequested_ = false;
                for (TSynapseBinding* x : active_) x->Ready = false;
                (void)SetWatching(false);
                paused = true;
                pauseStart = GetTickMs();
                break;
            }
            if (!ListenRequested() || Terminated()) return;
        }
    }
}

void TSynapseListenerThread::AcceptOn(TSynapseBinding& B) {
    int errorsInRow = 0;
    while (!Terminated()) {
        const int h = B.Socket->Accept();
        if (h != -1) {
            errorsInRow = 0;
            HandOver(B, h);
            continue;
        }
        const int e = B.Socket->LastError();
        if (e == 0 || e == EAGAIN || e == EWOULDBLOCK) return;
        if (IsConnectionError(e)) {
            FireError(u"accept: got already closed connection: " + ErrnoText(e));
            if (++errorsInRow >= kMaxConnectionErrorsInRow) return;
            continue;
        }
        FireError(u"accept: " + ErrnoText(e));
        if (IsShortage(e)) {
            pauseRequested_ = true;
        } else {
            listenRequested_.store(false, std::memory_order_release);
            retryPending_ = true;
        }
        return;
    }
}

void TSynapseListenerThread::HandOver(TSynapseBinding& B, int Handle) {
    // Each failure ends the work on this handle: it is closed and never handed on.
    TSockAddrAny peer{};
    if (GetPeerNameAddr(Handle, peer) != 0) {
        const int e = errno;
        SockCloseVar(Handle);
        FireError(u"getpeername: " + ErrnoText(e));
        return;
    }
    const int32_t kind = GetSinKind(peer);
    const AnsiString peerIP = GetSinIP(peer);
    const int32_t peerPort = GetSinPort(peer);
    if (peerPort <= 0 || peerIP.empty()) {
        SockCloseVar(Handle);
        if (OnInvalidPeerName) OnInvalidPeerName(this);
        return;
    }
    TSockAddrAny local{};
    if (GetSockNameAddr(Handle, local) != 0) {
        const int e = errno;
        SockCloseVar(Handle);
        FireError(u"getsockname: " + ErrnoText(e));
        return;
    }
    if (!B.OnAccept) {
        SockCloseVar(Handle);
        return;
    }
    B.OnAccept(Handle, peerIP, peerPort, GetSinIP(local), GetSinPort(local), kind, B.Name);
}

void TSynapseListenerThread::CloseBindings() {
    while (!active_.empty()) {
        TSynapseBinding* b = active_.front();
        if (b->Resource) {
            OwnWaiter().FreeResource(b->Resource);
            b->Resource = nullptr;
        }
        if (b->Socket) {
            b->Socket->CloseSocket();
            b->Socket.reset();
        }
        b->Ready = false;
        active_.erase(active_.begin());
        if (OnBindingStopped) OnBindingStopped(this, b);
    }
    if (retryPending_) {
        retryPending_ = false;
        reopening_ = true;
        // Requested again before listening ends, so that no binding is added in between.
        listenRequested_.store(true, std::memory_order_release);
        listening_.store(false, std::memory_order_release);
    } else {
        listening_.store(false, std::memory_order_release);
        if (OnStopped) OnStopped(this);
    }
}

}  // namespace zel

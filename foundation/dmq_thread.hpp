#pragma once
// Thread base of every server thread, the lock, and the hand-over of a call to the main thread.
#include <pthread.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "foundation/dmq_exception.hpp"

namespace zel {

ZEL_DECLARE_EXCEPTION(EThread, Exception);

class TCriticalSection {
public:
    TCriticalSection() = default;
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;

    void Enter() { m_.lock(); }
    void Leave() { m_.unlock(); }
    bool TryEnter() { return m_.try_lock(); }
    // BasicLockable, so std::lock_guard<TCriticalSection> works.
    void lock() { m_.lock(); }
    void unlock() { m_.unlock(); }

private:
    std::mutex m_;
};

// Runs f; an escaping exception is handed to report(className, message) instead of
// propagating, so a thread loop survives it. Returns false when f raised.
template <class F, class R>
bool GuardedCall(F&& f, R&& report) noexcept {
    try {
        f();
        return true;
    } catch (const std::exception& e) {
        try { report(ExceptionClassName(e), std::string(e.what())); } catch (...) {}
    } catch (...) {
        try { report("Exception", std::string("unknown exception")); } catch (...) {}
    }
    return false;
}

// A thread is created stopped: construct the whole object, then call Start(), so Execute
// never runs on a half-built object. A derived class whose Execute uses its own members
// calls TerminateAndWait() in its own destructor; the base destructor only joins.
class TThread {
public:
    static constexpr size_t kStackSize = 4u * 1024u * 1024u;

    TThread() = default;
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Raises EThread when the thread cannot be created; a second call does nothing.
    void Start();
    // Sets the flag and calls TerminatedSet() so a sleeping thread can be woken.
    void Terminate();
    bool Terminated() const noexcept { return terminated_.load(std::memory_order_acquire); }
    // Waits for the end of Execute. On the main thread it serves Synchronize calls meanwhile.
    void WaitFor();
    void TerminateAndWait();
    bool Started() const noexcept { return started_; }
    bool Finished() const noexcept { return finished_.load(std::memory_order_acquire); }

    // Runs fn on the main thread and waits until it has run; an exception raised by fn is
    // raised again here. Called on the main thread, it runs fn at once.
    static void Synchronize(const std::function<void()>& fn);
    // Main thread: runs the queued Synchronize calls, waiting up to timeoutMs for one to
    // arrive (0: no wait). Returns true when it ran at least one.
    static bool CheckSynchronize(int timeoutMs = 0);
    static bool IsMainThread() noexcept;

protected:
    virtual void Execute() = 0;
    virtual void TerminatedSet() {}
    // An exception that escaped Execute; the thread then ends. Default: a line on stderr.
    virtual void HandleException(const char* className, const std::string& message);

private:
    static void* Entry(void* self);

    pthread_t handle_{};
    bool started_ = false;
    bool joined_ = false;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
};

}  // namespace zel

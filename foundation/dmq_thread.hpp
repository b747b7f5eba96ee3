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

// Clang's thread-safety annotations (no effect with other compilers). A lock is a capability;
// members it protects are ZEL_GUARDED_BY it; -Wthread-safety then proves every access holds it.
#if defined(__clang__)
#define ZEL_TSA(x) __attribute__((x))
#else
#define ZEL_TSA(x)
#endif
#define ZEL_CAPABILITY(x) ZEL_TSA(capability(x))
#define ZEL_SCOPED_CAPABILITY ZEL_TSA(scoped_lockable)
#define ZEL_GUARDED_BY(x) ZEL_TSA(guarded_by(x))
#define ZEL_PT_GUARDED_BY(x) ZEL_TSA(pt_guarded_by(x))
#define ZEL_ACQUIRE(...) ZEL_TSA(acquire_capability(__VA_ARGS__))
#define ZEL_RELEASE(...) ZEL_TSA(release_capability(__VA_ARGS__))
#define ZEL_TRY_ACQUIRE(...) ZEL_TSA(try_acquire_capability(__VA_ARGS__))
#define ZEL_REQUIRES(...) ZEL_TSA(requires_capability(__VA_ARGS__))
#define ZEL_EXCLUDES(...) ZEL_TSA(locks_excluded(__VA_ARGS__))
#define ZEL_NO_THREAD_SAFETY_ANALYSIS ZEL_TSA(no_thread_safety_analysis)

// Debug and sanitizer builds check the thread base's contract at run time (see ~TThread).
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZEL_SANITIZER_BUILD 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZEL_SANITIZER_BUILD 1
#endif
#if !defined(NDEBUG) || defined(ZEL_SANITIZER_BUILD)
#define ZEL_THREAD_LIFETIME_CHECK 1
#else
#define ZEL_THREAD_LIFETIME_CHECK 0
#endif

class ZEL_CAPABILITY("mutex") TCriticalSection {
public:
    TCriticalSection() = default;
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;

    void Enter() ZEL_ACQUIRE() { m_.lock(); }
    void Leave() ZEL_RELEASE() { m_.unlock(); }
    bool TryEnter() ZEL_TRY_ACQUIRE(true) { return m_.try_lock(); }
    // BasicLockable; prefer TCriticalSectionLock, which the analysis understands.
    void lock() ZEL_ACQUIRE() { m_.lock(); }
    void unlock() ZEL_RELEASE() { m_.unlock(); }

private:
    std::mutex m_;
};

// Holds a critical section for its own lifetime.
class ZEL_SCOPED_CAPABILITY TCriticalSectionLock {
public:
    explicit TCriticalSectionLock(TCriticalSection& cs) ZEL_ACQUIRE(cs) : cs_(cs) { cs_.Enter(); }
    ~TCriticalSectionLock() ZEL_RELEASE() { cs_.Leave(); }
    TCriticalSectionLock(const TCriticalSectionLock&) = delete;
    TCriticalSectionLock& operator=(const TCriticalSectionLock&) = delete;

private:
    TCriticalSection& cs_;
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
// never runs on a half-built object. A derived class ends its thread in its own destructor
// (TerminateAndWait()), so Execute never runs on a half-destroyed one either: in debug and
// sanitizer builds the base destructor aborts with a message when Execute is still running;
// in release builds it sets Terminated and joins.
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

#include "foundation/dmq_thread.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <thread>

namespace zel {
namespace {

// Static initialisation runs on the main thread, before any other thread exists.
const std::thread::id g_main_thread = std::this_thread::get_id();

struct SyncCall {
    const std::function<void()>* fn;
    bool done = false;
    std::exception_ptr error;
};

std::mutex& SyncMutex() {
    static std::mutex m;
    return m;
}
std::condition_variable& SyncArrived() {  // a call queued or a thread finished
    static std::condition_variable cv;
    return cv;
}
std::condition_variable& SyncDone() {
    static std::condition_variable cv;
    return cv;
}
std::deque<SyncCall*>& SyncQueue() {
    static std::deque<SyncCall*> q;
    return q;
}

}  // namespace

bool TThread::IsMainThread() noexcept { return std::this_thread::get_id() == g_main_thread; }

TThread::~TThread() {
    if (!started_ || joined_) return;
    if (ZEL_THREAD_LIFETIME_CHECK && !Finished()) {
        // The derived part is gone already while its Execute may still use it.
        std::fprintf(stderr,
                     "TThread destroyed while Execute is still running: the derived class must call "
                     "TerminateAndWait() in its destructor\n");
        std::abort();
    }
    terminated_.store(true, std::memory_order_release);
    pthread_join(handle_, nullptr);
}

void TThread::Start() {
    if (started_) return;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStackSize);
    int rc = pthread_create(&handle_, &attr, &TThread::Entry, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) throw EThread(FormatA("Thread creation error: %s", std::strerror(rc)));
    started_ = true;
}

void* TThread::Entry(void* self) {
    auto* t = static_cast<TThread*>(self);
    GuardedCall([t] { t->Execute(); },
                [t](const char* cls, const std::string& msg) { t->HandleException(cls, msg); });
    {
        std::lock_guard<std::mutex> lock(SyncMutex());
        t->finished_.store(true, std::memory_order_release);
    }
    SyncArrived().notify_all();
    return nullptr;
}

void TThread::HandleException(const char* className, const std::string& message) {
    std::fprintf(stderr, "Thread: %s: %s\n", className, message.c_str());
}

void TThread::Terminate() {
    terminated_.store(true, std::memory_order_release);
    TerminatedSet();
}

void TThread::WaitFor() {
    if (!started_ || joined_) return;
    if (IsMainThread()) {
        // Serve the synchronized calls of the thread we wait for, or it could never finish.
        while (!Finished()) CheckSynchronize(100);
        CheckSynchronize(0);
    }
    pthread_join(handle_, nullptr);
    joined_ = true;
}

void TThread::TerminateAndWait() {
    Terminate();
    WaitFor();
}

void TThread::Synchronize(const std::function<void()>& fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    SyncCall call{&fn, false, nullptr};
    std::unique_lock<std::mutex> lock(SyncMutex());
    SyncQueue().push_back(&call);
    SyncArrived().notify_all();
    SyncDone().wait(lock, [&call] { return call.done; });
    if (call.error) std::rethrow_exception(call.error);
}

bool TThread::CheckSynchronize(int timeoutMs) {
    std::unique_lock<std::mutex> lock(SyncMutex());
    if (SyncQueue().empty() && timeoutMs > 0) {
        SyncArrived().wait_for(lock, std::chrono::milliseconds(timeoutMs));
    }
    bool ran = false;
    while (!SyncQueue().empty()) {
        SyncCall* call = SyncQueue().front();
        SyncQueue().pop_front();
        lock.unlock();
        try {
            (*call->fn)();
        } catch (...) {
            call->error = std::current_exception();
        }
        lock.lock();
        call->done = true;
        ran = true;
    }
    if (ran) SyncDone().notify_all();
    return ran;
}

}  // namespace zel

#include "net/dmq_async_writer2_socket.hpp"

namespace zel {

using Guard = TCriticalSectionLock;

TAsyncWriter2SocketThreadSafe::TAsyncWriter2SocketThreadSafe(int32_t size, int handle,
                                                             size_t maxSize)
    : Base(size, handle, maxSize) {}

void TAsyncWriter2SocketThreadSafe::Reset() {
    Guard g(lock_);
    Base::Reset();
    smallSends_ = 0;
}

void TAsyncWriter2SocketThreadSafe::Release() {
    Guard g(lock_);
    Base::Reset();
    smallSends_ = 0;
    if (capacity_ > initialSize_) Reallocate(initialSize_);
}

void TAsyncWriter2SocketThreadSafe::Write(const void* bytes, size_t count) {
    if (count == 0) return;
    Guard g(lock_);
    Base::Write(bytes, count);
}

bool TAsyncWriter2SocketThreadSafe::WriteIfOpen(const void* bytes, size_t count) {
    Guard g(lock_);
    if (Base::Handle() == -1) return false;
    Base::Write(bytes, count);
    return true;
}

bool TAsyncWriter2SocketThreadSafe::Send() {
    Guard g(lock_);
    size_t sent;
    if (!SendStep(sent)) return false;
    if (sent == 0) return true;
    size_t half = (capacity_ / 2 + 127) & ~size_t(127);
    if (Base::Pending() < half && initialSize_ < half) {
        if (++smallSends_ >= ASYNC_WRITER_SHRINK_SENDS) {
            smallSends_ = 0;
            Reallocate(half);
        }
    } else {
        smallSends_ = 0;
    }
    return true;
}

int TAsyncWriter2SocketThreadSafe::Handle() const { Guard g(lock_); return Base::Handle(); }
void TAsyncWriter2SocketThreadSafe::SetHandle(int handle) { Guard g(lock_); Base::SetHandle(handle); }
size_t TAsyncWriter2SocketThreadSafe::Capacity() const { Guard g(lock_); return Base::Capacity(); }
size_t TAsyncWriter2SocketThreadSafe::InitialSize() const { Guard g(lock_); return initialSize_; }
size_t TAsyncWriter2SocketThreadSafe::Pending() const { Guard g(lock_); return Base::Pending(); }
size_t TAsyncWriter2SocketThreadSafe::FrontFree() const { Guard g(lock_); return Base::FrontFree(); }
size_t TAsyncWriter2SocketThreadSafe::TailFree() const { Guard g(lock_); return Base::TailFree(); }
size_t TAsyncWriter2SocketThreadSafe::QueuedAfterSend() const { Guard g(lock_); return queuedAfterSend_; }
uint32_t TAsyncWriter2SocketThreadSafe::SmallSends() const { Guard g(lock_); return smallSends_; }
bool TAsyncWriter2SocketThreadSafe::Blocked() const { Guard g(lock_); return blocked_; }
int32_t TAsyncWriter2SocketThreadSafe::ErrorCode() const { Guard g(lock_); return errorCode_; }
UnicodeString TAsyncWriter2SocketThreadSafe::ErrorText() const { Guard g(lock_); return errorText_; }

}  // namespace zel

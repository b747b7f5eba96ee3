#pragma once
// Send buffer of one non-blocking socket with its own lock: any thread appends while the owning
// thread sends. A buffer that grew for a burst shrinks back after a run of light sends.
#include "foundation/dmq_thread.hpp"
#include "net/dmq_async_writer2_socket_us.hpp"

namespace zel {

// Light sends in a row after which a grown buffer returns to half its size.
constexpr uint32_t ASYNC_WRITER_SHRINK_SENDS = 120;

class TAsyncWriter2SocketThreadSafe : private TAsyncWriter2SocketThreadUnSafe {
public:
    explicit TAsyncWriter2SocketThreadSafe(int32_t size, int handle = -1,
                                           size_t maxSize = ASYNC_WRITER_MAX_SIZE);

    void Reset();
    // Reset, and the buffer back to its initial size: a closed owner holds no more than that.
    void Release();
    void Write(const void* bytes, size_t count);
    // Write, only while the buffer has a socket (handle not -1): false and nothing queued once the
    // owner closed it and set the handle to -1. Check and append are one step under the lock.
    bool WriteIfOpen(const void* bytes, size_t count);
    bool Send();

    // Each read takes the lock: other threads ask while the owner sends.
    int Handle() const;
    void SetHandle(int handle);
    size_t Capacity() const;
    size_t InitialSize() const;
    size_t Pending() const;
    size_t FrontFree() const;
    size_t TailFree() const;
    size_t QueuedAfterSend() const;
    uint32_t SmallSends() const;
    bool Blocked() const;
    int32_t ErrorCode() const;
    UnicodeString ErrorText() const;

private:
    using Base = TAsyncWriter2SocketThreadUnSafe;
    // Guards smallSends_ and every field of the base.
    mutable TCriticalSection lock_;
    uint32_t smallSends_ ZEL_GUARDED_BY(lock_) = 0;
};

}  // namespace zel

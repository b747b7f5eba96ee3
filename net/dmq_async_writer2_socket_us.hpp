#pragma once
// Send buffer of one non-blocking socket, without a lock (one thread appends and sends).
//
//   0          ReadPos          WritePos          Capacity
//   | FrontFree | Pending bytes   | TailFree        |
//
// Write appends (compacting or growing first), Send makes one send attempt of the pending bytes.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/dmq_types.hpp"

namespace zel {

// The most that a send buffer holds: a peer that stops reading must not eat the memory. A Write
// beyond it fails as out of memory (std::bad_alloc) and leaves the buffer as it was.
constexpr size_t ASYNC_WRITER_MAX_SIZE = size_t(64) << 20;

class TAsyncWriter2SocketThreadUnSafe {
public:
    // size below 256 becomes 256; rounded up to a multiple of 128.
    explicit TAsyncWriter2SocketThreadUnSafe(int32_t size, int handle = -1,
                                             size_t maxSize = ASYNC_WRITER_MAX_SIZE);
    TAsyncWriter2SocketThreadUnSafe(const TAsyncWriter2SocketThreadUnSafe&) = delete;
    TAsyncWriter2SocketThreadUnSafe& operator=(const TAsyncWriter2SocketThreadUnSafe&) = delete;

    void Reset();
    void Write(const void* bytes, size_t count);
    // One send attempt: true when sent (also in part) or nothing was pending; false on failure
    // with ErrorCode and ErrorText set; the bytes then stay pending.
    bool Send();

    int Handle() const { return handle_; }
    void SetHandle(int handle) { handle_ = handle; }
    size_t Capacity() const { return capacity_; }
    size_t InitialSize() const { return initialSize_; }
    size_t Pending() const { return writePos_ - readPos_; }
    size_t FrontFree() const { return readPos_; }
    size_t TailFree() const { return capacity_ - writePos_; }
    // Pending as it was after the last send attempt.
    size_t QueuedAfterSend() const { return queuedAfterSend_; }
    bool Blocked() const { return blocked_; }
    int32_t ErrorCode() const { return errorCode_; }
    const UnicodeString& ErrorText() const { return errorText_; }
    const uint8_t* ReadPtr() const { return buffer_.get() + readPos_; }

protected:
    // The send attempt itself; sent = bytes the socket took.
    bool SendStep(size_t& sent);
    // Moves the pending bytes to the start of a new block of newCapacity bytes.
    void Reallocate(size_t newCapacity);

    std::unique_ptr<uint8_t[]> buffer_;
    size_t readPos_ = 0;
    size_t writePos_ = 0;
    size_t capacity_ = 0;
    size_t initialSize_ = 0;
    size_t maxSize_;
    size_t queuedAfterSend_ = 0;
    bool blocked_ = false;
    int handle_;
    int32_t errorCode_ = 0;
    UnicodeString errorText_;
};

}  // namespace zel

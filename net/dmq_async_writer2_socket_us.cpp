#include "net/dmq_async_writer2_socket_us.hpp"

#include <cstring>
#include <new>

#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "net/dmq_sock.hpp"

namespace zel {

namespace {

size_t RoundUp128(size_t n) { return (n + 127) & ~size_t(127); }

}  // namespace

TAsyncWriter2SocketThreadUnSafe::TAsyncWriter2SocketThreadUnSafe(int32_t size, int handle,
                                                                 size_t maxSize)
    : maxSize_(maxSize), handle_(handle) {
    capacity_ = RoundUp128(size_t(size < 256 ? 256 : size));
    initialSize_ = capacity_;
    buffer_.reset(new uint8_t[capacity_]);
    Reset();
}

void TAsyncWriter2SocketThreadUnSafe::Reset() {
    readPos_ = writePos_ = 0;
    queuedAfterSend_ = 0;
    blocked_ = false;
}

void TAsyncWriter2SocketThreadUnSafe::Reallocate(size_t newCapacity) {
    size_t pending = Pending();
    std::unique_ptr<uint8_t[]> block(new uint8_t[newCapacity]);
    if (pending) std::memcpy(block.get(), buffer_.get() + readPos_, pending);
    buffer_ = std::move(block);
    capacity_ = newCapacity;
    readPos_ = 0;
    writePos_ = pending;
}

void TAsyncWriter2SocketThreadUnSafe::Write(const void* bytes, size_t count) {
    if (count == 0) return;
    size_t pending = Pending();
    if (count > maxSize_ || pending > maxSize_ - count) throw std::bad_alloc();
    if (TailFree() < count) {
        if (FrontFree() + TailFree() < count) {
            size_t s = capacity_ + count;
            size_t grown = (s + s / 2 + 127) & ~size_t(127);
            // Growth stops at the cap, but always leaves room for what is asked.
            if (grown > maxSize_) grown = RoundUp128(maxSize_);
            if (grown < pending + count) grown = pending + count;
            Reallocate(grown);
        } else {
            std::memmove(buffer_.get(), buffer_.get() + readPos_, pending);
            readPos_ = 0;
            writePos_ = pending;
        }
    }
    std::memcpy(buffer_.get() + writePos_, bytes, count);
    writePos_ += count;
}

bool TAsyncWriter2SocketThreadUnSafe::SendStep(size_t& sent) {
    sent = 0;
    size_t pending = Pending();
    if (pending == 0) {
        blocked_ = false;
        queuedAfterSend_ = 0;
        return true;
    }
    int rc = SockSend(handle_, buffer_.get() + readPos_, pending, 0, sent);
    if (rc != 0) {
        sent = 0;
        errorCode_ = rc;
        errorText_ = SockErrorText(rc, SysCharsetToUnicodeProc(SysErrorText(rc)));
        // Also a failed attempt counts, so that the over-limit test sees what is queued.
        queuedAfterSend_ = pending;
        return false;
    }
    blocked_ = sent < pending;
    if (sent >= pending) {
        readPos_ = writePos_ = 0;
    } else {
        readPos_ += sent;
    }
    // After every attempt, also one that sent nothing: a peer that stops reading must show
    // its growing queue.
    queuedAfterSend_ = Pending();
    return true;
}

bool TAsyncWriter2SocketThreadUnSafe::Send() {
    size_t sent;
    return SendStep(sent);
}

}  // namespace zel

#include "net/dmq_collector_base.hpp"

#include <algorithm>
#include <cstring>

#include "foundation/dmq_memory.hpp"
#include "net/dmq_sock.hpp"

namespace zel {

TCollectorBase::TCollectorBase(int32_t size) {
    bufferSize_ = size < 128 ? 128u : (uint32_t(size) + 127u) & ~127u;
    buffer_.reset(new char[bufferSize_]);
}

void TCollectorBase::Reset() {
    readPos_ = writePos_ = 0;
    mode_ = TCollectorMode::colm_Idle;
    endSeen_ = false;
    tooLong_ = false;
    TimeoutLength = COLLECTOR_NO_TIMEOUT;
}

void TCollectorBase::CheckIdle() const {
    if (mode_ != TCollectorMode::colm_Idle) throw ECollectorBusy("Collector busy");
}

void TCollectorBase::Arm(uint32_t now) {
    TimeoutLength = ArmLength;
    if (ArmLength != 0 && ArmLength != COLLECTOR_NO_TIMEOUT) TimeoutStart = now;
}

void TCollectorBase::StartReadBytesNoTimeout(void* target, uint32_t count) {
    CheckIdle();
    target_ = static_cast<uint8_t*>(target);
    wanted_ = count;
    done_ = 0;
    lastCount_ = 0;
    tooLong_ = false;
    mode_ = TCollectorMode::colm_Bytes;
}

void TCollectorBase::StartReadBytes(void* target, uint32_t count, uint32_t now) {
    StartReadBytesNoTimeout(target, count);
    Arm(now);
}

void TCollectorBase::BeginLine(uint32_t maxLength) {
    tooLong_ = false;
    maxLength_ = maxLength;
}

void TCollectorBase::StartReadLineNoTimeout(TStringBldA& builder, uint32_t maxLength) {
    CheckIdle();
    BeginLine(maxLength);
    StrBldAReset(builder);
    targetBld_ = &builder;
    mode_ = TCollectorMode::colm_LineBld;
}

void TCollectorBase::StartReadLine(TStringBldA& builder, uint32_t maxLength, uint32_t now) {
    StartReadLineNoTimeout(builder, maxLength);
    Arm(now);
}

void TCollectorBase::StartReadLineStrNoTimeout(AnsiString& target, uint32_t maxLength) {
    CheckIdle();
    BeginLine(maxLength);
    target.clear();
    targetStr_ = &target;
    mode_ = TCollectorMode::colm_LineStr;
}

void TCollectorBase::StartReadLineStr(AnsiString& target, uint32_t maxLength, uint32_t now) {
    StartReadLineStrNoTimeout(target, maxLength);
    Arm(now);
}

void TCollectorBase::StartIdle(uint32_t now) {
    CheckIdle();
    Arm(now);
}

void TCollectorBase::StartIdleNow() { StartIdle(GetTickMs()); }

int64_t TCollectorBase::GetRemainingTime(uint32_t now) {
    if (TimeoutLength == COLLECTOR_NO_TIMEOUT) return -1;
    uint32_t spent = now - TimeoutStart;
    if (TimeoutLength == 0 || spent >= TimeoutLength) {
        TimeoutLength = 0;
        return 0;
    }
    return int64_t(TimeoutLength - spent);
}

int64_t TCollectorBase::GetRemainingTimeNow() { return GetRemainingTime(GetTickMs()); }

uint32_t TCollectorBase::LineLength() const {
    return mode_ == TCollectorMode::colm_LineBld ? uint32_t(targetBld_->Len()) : uint32_t(targetStr_->size());
}

bool TCollectorBase::AppendLine(const char* p, uint32_t n) {
    uint32_t len = LineLength();
    uint32_t room = len >= maxLength_ ? 0 : maxLength_ - len;
    if (n > room) {
        if (OverflowPolicy == TCollectorOverflow::colo_Result) return false;
        if (OverflowPolicy == TCollectorOverflow::colo_Raise) {
            mode_ = TCollectorMode::colm_Idle;
            throw ECollectorExceededStringLength("Collector got too long string");
        }
        n = room;
        tooLong_ = true;
    }
    if (n == 0) return true;
    if (mode_ == TCollectorMode::colm_LineBld)
        StrBldAAddBuf(*targetBld_, p, int32_t(n));
    else
        targetStr_->append(p, n);
    return true;
}

TCollectResult TCollectorBase::ReadMore(bool& read, const char* unknownText) {
    read = false;
    if (readPos_ == writePos_) readPos_ = writePos_ = 0;
    uint32_t space = bufferSize_ - writePos_;
    uint32_t got = 0;
    switch (ReadSource(buffer_.get() + writePos_, space, got)) {
    case TCollectorReadResult::colrr_OK:
        moreWaiting_ = got > 0 && got == space;
        if (got == 0) return TCollectResult::colres_Nothing;
        BytesReceived += got;
        ++callReads_;
        callBytes_ += got;
        writePos_ += got;
        read = true;
        return TCollectResult::colres_Nothing;
    case TCollectorReadResult::colrr_EOF:
        endSeen_ = true;
        mode_ = TCollectorMode::colm_Idle;
        return TCollectResult::colres_EndOfStream;
    case TCollectorReadResult::colrr_Error:
        mode_ = TCollectorMode::colm_Idle;
        TimeoutLength = 0;
        if (OnError) OnError(*this, errorText_);
        return TCollectResult::colres_ReadError;
    }
    throw ECollectorError(unknownText);
}

bool TCollectorBase::BudgetSpent() {
    if (callReads_ < COLLECTOR_READS_PER_CALL && callBytes_ < COLLECTOR_BYTES_PER_CALL) return false;
    moreWaiting_ = true;
    return true;
}

TCollectResult TCollectorBase::CollectLine() {
    for (;;) {
        char* start = buffer_.get() + readPos_;
        uint32_t unread = writePos_ - readPos_;
        if (char* lf = ScanLF(start, int32_t(unread))) {
            uint32_t n = uint32_t(lf - start);
            if (!AppendLine(start, n)) {
                mode_ = TCollectorMode::colm_Idle;
                return TCollectResult::colres_TooLong;
            }
            readPos_ += n + 1;
            if (readPos_ == writePos_) readPos_ = writePos_ = 0;
            // A cut line lost its end, so a carriage return kept from it is data, not the end.
            if (!tooLong_) {
                if (mode_ == TCollectorMode::colm_LineBld) {
                    StrBldADropTrailingCR(*targetBld_);
                } else if (!targetStr_->empty() && targetStr_->back() == '\r') {
                    targetStr_->pop_back();
                }
            }
            mode_ = TCollectorMode::colm_Idle;
            return TCollectResult::colres_Complete;
        }
        if (!AppendLine(start, unread)) {
            mode_ = TCollectorMode::colm_Idle;
            return TCollectResult::colres_TooLong;
        }
        readPos_ = writePos_ = 0;
        if (BudgetSpent()) return TCollectResult::colres_Nothing;
        bool read;
        uint32_t lineLen = LineLength();
        TCollectResult r = ReadMore(read, "Unknown collector read result {1}");
        if (read) continue;
        if (r == TCollectResult::colres_EndOfStream && lineLen > 0 && !DropPartialAtEnd)
            return TCollectResult::colres_Complete;
        return r;
    }
}

TCollectResult TCollectorBase::CollectBytes() {
    for (;;) {
        if (done_ >= wanted_) {
            mode_ = TCollectorMode::colm_Idle;
            lastCount_ = done_;
            return TCollectResult::colres_Complete;
        }
        uint32_t take = std::min(writePos_ - readPos_, wanted_ - done_);
        if (take) {
            std::memcpy(target_ + done_, buffer_.get() + readPos_, take);
            done_ += take;
            readPos_ += take;
            if (readPos_ == writePos_) readPos_ = writePos_ = 0;
            continue;
        }
        if (BudgetSpent()) return TCollectResult::colres_Nothing;
        bool read;
        TCollectResult r = ReadMore(read, "Unknown collector read result {2}");
        if (read) continue;
        // A block cut off by the end of the stream is never whole: it is not delivered as
        // complete; LastCount tells how much of it came.
        if (r == TCollectResult::colres_EndOfStream) lastCount_ = done_;
        return r;
    }
}

TCollectResult TCollectorBase::Collect(uint32_t now) {
    callReads_ = 0;
    callBytes_ = 0;
    TCollectResult r;
    switch (mode_) {
    case TCollectorMode::colm_Idle: {
        uint32_t got = 0;
        switch (ReadSource(buffer_.get() + writePos_, 0, got)) {
        case TCollectorReadResult::colrr_EOF:
            endSeen_ = true;
            TimeoutLength = 0;
            return TCollectResult::colres_EndOfStream;
        case TCollectorReadResult::colrr_Error:
            if (OnError) OnError(*this, errorText_);
            return TCollectResult::colres_ReadError;
        default:
            r = TCollectResult::colres_Nothing;
        }
        break;
    }
    case TCollectorMode::colm_LineStr:
    case TCollectorMode::colm_LineBld:
        r = CollectLine();
        break;
    case TCollectorMode::colm_Bytes:
        r = CollectBytes();
        break;
    default:
        throw ECollectorInvalidMode("Collector mode is invalide");
    }
    if (r == TCollectResult::colres_Nothing && TimeoutLength != COLLECTOR_NO_TIMEOUT &&
        (TimeoutLength == 0 || now - TimeoutStart >= TimeoutLength)) {
        TimeoutLength = 0;
        mode_ = TCollectorMode::colm_Idle;
        return TCollectResult::colres_Timeout;
    }
    return r;
}

}  // namespace zel

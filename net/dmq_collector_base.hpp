#pragma once
// Assembles input from a non-blocking source into what a protocol needs: one line ended by a line
// feed, or an exact number of bytes. Never blocks; carries one time-out for the request in hand.
//
//   Buffer: [ consumed | ReadPos .. WritePos unread | free ]
#include <cstdint>
#include <functional>
#include <memory>

#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_types.hpp"

namespace zel {

ZEL_DECLARE_EXCEPTION(ECollectorError, Exception);
ZEL_DECLARE_EXCEPTION(ECollectorBusy, ECollectorError);
ZEL_DECLARE_EXCEPTION(ECollectorInvalidMode, ECollectorError);
ZEL_DECLARE_EXCEPTION(ECollectorExceededStringLength, ECollectorError);

enum class TCollectorReadResult : uint8_t { colrr_OK, colrr_EOF, colrr_Error };

enum class TCollectorMode : uint8_t { colm_Idle, colm_LineStr, colm_Bytes, colm_LineBld };

// What to do with a line longer than MaxLength (the carriage return before the line feed counts).
enum class TCollectorOverflow : uint8_t { colo_Cut, colo_Result, colo_Raise };

// Results of Collect.
enum class TCollectResult : uint8_t {
    colres_Nothing,      // nothing completed yet
    colres_Complete,     // the request completed
    colres_EndOfStream,
    colres_ReadError,
    colres_Timeout,
    colres_TooLong       // overflow policy colo_Result
};

constexpr uint32_t COLLECTOR_NO_TIMEOUT = 0xFFFFFFFFu;

// The most that one Collect call reads (whichever bound comes first) before it returns
// colres_Nothing with MoreWaiting set: a peer that streams without a line end must not hold the
// owner's thread, which checks the time-out and serves its other connections between calls.
constexpr uint32_t COLLECTOR_READS_PER_CALL = 16;
constexpr uint32_t COLLECTOR_BYTES_PER_CALL = 64 * 1024;

class TCollectorBase {
public:
    using TErrorHook = std::function<void(TCollectorBase& owner, const UnicodeString& text)>;

    // size raised to the next multiple of 128, at least 128.
    explicit TCollectorBase(int32_t size);
    virtual ~TCollectorBase() = default;
    TCollectorBase(const TCollectorBase&) = delete;
    TCollectorBase& operator=(const TCollectorBase&) = delete;

    // Empties the buffer and ends the request; DropPartialAtEnd is the owner's setting and stays.
    void Reset();
    void StartReadBytes(void* target, uint32_t count, uint32_t now);
    void StartReadBytesNoTimeout(void* target, uint32_t count);
    void StartReadLine(TStringBldA& builder, uint32_t maxLength, uint32_t now);
    void StartReadLineNoTimeout(TStringBldA& builder, uint32_t maxLength);
    void StartReadLineStr(AnsiString& target, uint32_t maxLength, uint32_t now);
    void StartReadLineStrNoTimeout(AnsiString& target, uint32_t maxLength);
    void StartIdle(uint32_t now);
    void StartIdleNow();

    uint32_t GetBufferedCount() const { return writePos_ - readPos_; }
    // -1 without a time-out, 0 once it has run out, else the milliseconds left.
    int64_t GetRemainingTime(uint32_t now);
    int64_t GetRemainingTimeNow();
    TCollectResult Collect(uint32_t now);

    // The owner's settings.
    uint32_t ArmLength = COLLECTOR_NO_TIMEOUT;  // the time-out that a start with a tick arms
    uint32_t TimeoutLength = COLLECTOR_NO_TIMEOUT;  // 0: run out
    uint32_t TimeoutStart = 0;
    bool DropPartialAtEnd = false;
    TCollectorOverflow OverflowPolicy = TCollectorOverflow::colo_Cut;
    TErrorHook OnError;
    uint64_t BytesReceived = 0;  // reset by the owner

    TCollectorMode Mode() const { return mode_; }
    uint32_t BufferSize() const { return bufferSize_; }
    uint32_t MaxLength() const { return maxLength_; }
    uint32_t Done() const { return done_; }
    uint32_t Wanted() const { return wanted_; }
    uint32_t LastCount() const { return lastCount_; }
    bool EndSeen() const { return endSeen_; }
    bool TooLong() const { return tooLong_; }
    // The last read filled the free space, or the call stopped at its read budget.
    bool MoreWaiting() const { return moreWaiting_; }
    int32_t ErrorCode() const { return errorCode_; }
    const UnicodeString& ErrorText() const { return errorText_; }

protected:
    // Reads up to count bytes: colrr_OK with got bytes (0: nothing there), colrr_EOF, or
    // colrr_Error with ErrorCode and ErrorText set. A count of 0 probes for the end of stream.
    virtual TCollectorReadResult ReadSource(void* dest, uint32_t count, uint32_t& got) = 0;

    int32_t errorCode_ = 0;
    UnicodeString errorText_;

private:
    void CheckIdle() const;
    void Arm(uint32_t now);
    void BeginLine(uint32_t maxLength);
    uint32_t LineLength() const;
    // Appends under the overflow policy; false when policy colo_Result refuses.
    bool AppendLine(const char* p, uint32_t n);
    TCollectResult CollectLine();
    TCollectResult CollectBytes();
    // One read into the free space; colres_Nothing with read = true when bytes came.
    TCollectResult ReadMore(bool& read, const char* unknownText);
    // True (with MoreWaiting set) once this call has read its share.
    bool BudgetSpent();

    std::unique_ptr<char[]> buffer_;
    uint32_t bufferSize_;
    uint32_t writePos_ = 0;
    uint32_t readPos_ = 0;
    uint8_t* target_ = nullptr;
    AnsiString* targetStr_ = nullptr;
    TStringBldA* targetBld_ = nullptr;
    uint32_t done_ = 0;
    uint32_t lastCount_ = 0;
    uint32_t wanted_ = 0;
    uint32_t maxLength_ = 0;
    TCollectorMode mode_ = TCollectorMode::colm_Idle;
    bool endSeen_ = false;
    bool tooLong_ = false;
    bool moreWaiting_ = false;
    // Reads and bytes of the Collect call in hand.
    uint32_t callReads_ = 0;
    uint32_t callBytes_ = 0;
};

}  // namespace zel

#pragma once
// Basic types, exceptions and the text routines that every unit stands on, with the
// UTF-16 string builder TStringBldU. Plain functions without shared state; safe on any thread.
// The memory routines (scans, counts, IntToBufA/U) are in dmq_memory, included here.
//
// Signatures: text input as views; a "Buf" form takes (pointer, Int32 length) and a length below 1
// means nothing. "Byte below 32" and the like always compare the unsigned byte value.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/dmq_exception.hpp"
#include "foundation/dmq_memory.hpp"

namespace zel {

// Text inside the system: UTF-16 units. 8-bit text: bytes (may hold NUL).
using UnicodeString = std::u16string;
using AnsiString = std::string;
using UnicodeView = std::u16string_view;
using AnsiView = std::string_view;

using ArrayOfPointers = std::vector<void*>;

// Upper-case hex digits, shared by every writer of hex text.
inline constexpr char HexDigitsUpper[] = "0123456789ABCDEF";

enum class TWaiterResult : uint8_t { wr_Timeout, wr_Descriptor, wr_Interrupt, wr_Error };

ZEL_DECLARE_EXCEPTION(ELineLengthTooLong, Exception);
ZEL_DECLARE_EXCEPTION(EWaiterException, Exception);
ZEL_DECLARE_EXCEPTION(EWaiterTooLargeTime, EWaiterException);
ZEL_DECLARE_EXCEPTION(EWaiterNoFreeResources, EWaiterException);
ZEL_DECLARE_EXCEPTION(EWaiterTooManyResources, EWaiterException);
ZEL_DECLARE_EXCEPTION(EWaiterErrorFcntl, EWaiterException);
ZEL_DECLARE_EXCEPTION(EWaiterErrorCreatePipe, EWaiterException);
ZEL_DECLARE_EXCEPTION(EWaiterErrorWritePipe, EWaiterException);
ZEL_DECLARE_EXCEPTION(EWaiterErrorKQueue, EWaiterException);
// The run-time's conversion error, the parent of the hex decoder's errors.
ZEL_DECLARE_EXCEPTION(EConvertError, Exception);

// ---------------------------------------------------------------------------------------------
// UTF-16 string builder. The text is Buf()[0, Len()); the buffer's length is Capacity() always, and
// only the builder's own operations change it. StrBldUReset empties it for reuse. Appenders grow
// by half again, rounded to 64 units (a fresh builder holds 128 units, the 129th grows it to 256),
// and raise only std::bad_alloc, leaving the builder unchanged.

class TStringBldU {
public:
    const UnicodeString& Buf() const noexcept { return Buf_; }
    int32_t Len() const noexcept { return Len_; }
    int32_t Capacity() const noexcept { return Capacity_; }

    // Appends n units that write(dest) puts at dest (exactly n, without raising); a source inside
    // the builder's own text stays valid while write runs.
    template <class Write>
    void Append(size_t n, Write&& write) {
        const UnicodeString old = Grow(n);
        write(Buf_.data() + Len_);
        Len_ += static_cast<int32_t>(n);
    }
    void Init(int32_t wanted);
    void Reset() noexcept { Len_ = 0; }

private:
    // Makes room for n more units; returns the replaced buffer (empty when none was replaced).
    [[nodiscard]] UnicodeString Grow(size_t n);

    UnicodeString Buf_;
    int32_t Len_ = 0;
    int32_t Capacity_ = 0;
};

void StrBldUInit(TStringBldU& b, int32_t wanted);
void StrBldUAddChar(TStringBldU& b, char16_t c);
void StrBldUAddSpace(TStringBldU& b);
void StrBldUAddColonSpace(TStringBldU& b);
// Bytes widened one to one; bytes below 32 and the backslash as "\xHH" (upper-case hex).
void StrBldUAddEscapedA(TStringBldU& b, AnsiView s);
void StrBldUAddInt(TStringBldU& b, int32_t v);
void StrBldUAdd(TStringBldU& b, UnicodeView s);
// A blank, then the text (the blank also when the text is empty).
void StrBldUAddSpaceStr(TStringBldU& b, UnicodeView s);
UnicodeString StrBldUToStr(const TStringBldU& b);
// The text in use, without a copy (valid until the next append).
inline UnicodeView StrBldUView(const TStringBldU& b) noexcept {
    return UnicodeView(b.Buf().data(), static_cast<size_t>(b.Len()));
}
// Len 0, keeping the buffer.
inline void StrBldUReset(TStringBldU& b) noexcept { b.Reset(); }

// ---------------------------------------------------------------------------------------------
// Durations.

struct TDurationRec {
    int32_t Years = 0;
    int32_t Months = 0;
    int32_t Days = 0;
    int32_t Hours = 0;
    int32_t Minutes = 0;
    int32_t Seconds = 0;
};

// "1d2h30m", "1d 2h", "90 ", "10" (seconds). Zeroes d first; true when at least one field was given.
bool TryParseDurationU(UnicodeView s, TDurationRec& d);
// Sum of the fields above 0 in seconds (a year is 31556736 s, a month 2629728 s).
int64_t DurationToSeconds(const TDurationRec& d) noexcept;
// Days, hours, minutes and seconds (truncating toward zero); Years and Months 0.
TDurationRec SecondsToDuration(int64_t s) noexcept;
// 0s, 1m05s, 1h00m00s, 1d01h01m01s: the largest non-zero unit plain, each further one two digits.
UnicodeString FormatDurationU(int64_t s);

// ---------------------------------------------------------------------------------------------
// Case, narrowing, widening, scanning, trimming.

// Only a..z turned to A..Z; every other byte or unit unchanged (no locale).
AnsiString AsciiUpperCaseA(AnsiView s);
UnicodeString AsciiUpperCaseU(UnicodeView s);

// Each UTF-16 unit reduced to its low byte (no conversion).
AnsiString NarrowStrA(UnicodeView s);
// Writes count bytes; returns dest + count (dest when count < 1).
char* UnicodeBufToAnsiBuf(char* dest, const char16_t* src, int32_t count) noexcept;

// Each byte becomes one UTF-16 unit of the same value (no conversion).
UnicodeString WidenStrU(AnsiView s);
UnicodeString WidenBufU(const char* p, int32_t len);
// Writes count units; returns dest + count (dest when count < 1).
char16_t* AnsiBufToUnicodeBuf(char16_t* dest, const char* src, int32_t count) noexcept;

// First unit equal to c among count units at p, or nullptr (as ScanWord).
const char16_t* ScanWideChar(char16_t c, const char16_t* p, int32_t count) noexcept;
// 1-based index of the first c in s; 0 if none.
int32_t CharPosU(char16_t c, UnicodeView s) noexcept;

// Remove from both ends (from the end only) every unit <= 32 and U+0085, U+00A0, U+3000.
UnicodeString TrimU(UnicodeView s);
UnicodeString TrimRightU(UnicodeView s);
// Remove bytes <= 32 from both ends (from the start only).
AnsiString TrimA(AnsiView s);
AnsiString TrimLeftA(AnsiView s);

// The control-character test of every text check: a byte or unit below 32 other than TAB.
constexpr bool IsCtrlChar(uint32_t c) noexcept { return c < 32 && c != 9; }
// True when such a byte (unit) occurs.
bool HasCtrlCharsBuf(const char* p, int32_t len) noexcept;
bool HasCtrlCharsU(UnicodeView s) noexcept;

// ---------------------------------------------------------------------------------------------
// UTF-8.

// The one UTF-8 sequence validator behind every UTF-8 routine (validity, decoders, the pure-code
// UTF-8 conversion): the sequence at p[0, len) as a code point and its byte length (1 to 4), or 0
// for a bad sequence: a byte that starts none, a bad continuation byte, a sequence cut off by len,
// an overlong form, a surrogate or a value above U+10FFFF. len below 1 gives 0.
int32_t DecodeUtf8Sequence(const char* p, int32_t len, char32_t& cp) noexcept;
// Writes cp as one UTF-16 unit, or as a surrogate pair above U+FFFF; returns the end.
char16_t* PutUtf16(char16_t* dest, char32_t cp) noexcept;

// True when s is well-formed UTF-8 (so that decoding to UTF-16 and encoding again gives the same
// bytes).
bool IsValidUtf8A(AnsiView s) noexcept;
// Bytes that are not continuation bytes (10xxxxxx).
int32_t Utf8CharCount(const char* p, int32_t len) noexcept;
// Byte length of the first n characters (each lead byte with the continuation bytes behind it).
int32_t Utf8CharsByteLen(const char* p, int32_t len, int32_t n) noexcept;
// UTF-8 length counted per unit: 1 below 128, 2 below 2048, else 3.
int32_t Utf8LengthOfU(UnicodeView s) noexcept;
// The system's own decoder: stops at the first bad sequence, keeping what was decoded before it;
// characters beyond U+FFFF become surrogate pairs.
UnicodeString DecodeUtf8BufU(const char* p, int32_t len);
UnicodeString DecodeUtf8U(AnsiView s);

// Bytes widened; bytes below 32 and the backslash written as "\xHH".
UnicodeString EscapeCtrlCharsU(AnsiView s);
UnicodeString EscapeCtrlCharsBufU(const char* p, int32_t len);

// ---------------------------------------------------------------------------------------------
// Decimal writers and strict parsers.

// The absolute value as exactly width digits (leading zeros, higher digits dropped); returns
// buffer + width; width < 1 writes nothing. The most negative Int32 is handled in unsigned.
char* IntToFixedDigitsA(char* buffer, int32_t v, int32_t width) noexcept;
char16_t* IntToFixedDigitsU(char16_t* buffer, int32_t v, int32_t width) noexcept;

// len = buffer size on entry. Zero at buffer[len-1], the text right-aligned before it in positions
// len-2 down to 1; raises "Buffer too small" when that is not enough (or len < 2). The most negative
// value needs len >= 12 (it may then start at position 0). On success len := text length and the
// result points at its first character.
char* IntToBufCheckedA(char* buffer, int32_t v, int32_t& len);

// Strict parsers: leading characters below 33 skipped, an optional sign, then only decimal digits
// to the end (no trailing blanks), exact range. The variable is untouched on failure.
// The pointer forms read a zero-terminated text (a null pointer fails); the view and Buf forms
// read exactly their length, so a NUL inside is an ordinary non-digit and fails the parse.
bool TryStrToInt32A(const char* s, int32_t& v) noexcept;
bool TryStrToInt32A(AnsiView s, int32_t& v) noexcept;
bool TryStrToInt32U(const char16_t* s, int32_t& v) noexcept;
bool TryStrToInt32U(UnicodeView s, int32_t& v) noexcept;
bool TryBufToInt32A(const char* p, int32_t len, int32_t& v) noexcept;
bool TryStrToInt64U(const char16_t* s, int64_t& v) noexcept;
bool TryStrToInt64U(UnicodeView s, int64_t& v) noexcept;
bool TryBufToInt64A(const char* p, int32_t len, int64_t& v) noexcept;

// A 64-bit number first (value = number != 0); then TRUE YES ON T Y / FALSE NO OFF F N in any ASCII
// case; anything else returns false and leaves v unchanged.
bool TryStrToBoolU(UnicodeView s, bool& v) noexcept;

// ---------------------------------------------------------------------------------------------
// Raise "Line too long" (ELineLengthTooLong) and "Buffer too small" (Exception).
[[noreturn]] void RaiseLineTooLong();
[[noreturn]] void RaiseBufferTooSmall();

}  // namespace zel

#pragma once
// Date-time values (double days since 1899-12-30, local time, the fraction being the time of
// day), their time-stamp texts, the time-stamp parser and the conversion to Unix seconds.
#include <cstdint>

#include "foundation/dmq_types.hpp"

namespace zel {

using TDateTime = double;

// 1970-01-01 as a date-time value.
constexpr double UnixDateDelta = 25569.0;

struct TDateTimeRec {
    int32_t Year = 0;
    int32_t Month = 0;
    int32_t Day = 0;
    int32_t Hour = 0;
    int32_t Minute = 0;
    int32_t Second = 0;
    int32_t MilliSecond = 0;
};

// Year 1..9999, month 1..12, a day of that month.
bool TryEncodeDate(int32_t year, int32_t month, int32_t day, TDateTime& d) noexcept;
// Hour below 24, minute and second below 60, millisecond below 1000.
bool TryEncodeTime(int32_t hour, int32_t minute, int32_t second, int32_t ms, TDateTime& t) noexcept;
// Both of the above; false when either is invalid.
bool TryEncodeDateTime(const TDateTimeRec& r, TDateTime& t) noexcept;
// Rounded to the nearest millisecond, carrying into the next second, minute and day.
TDateTimeRec DecodeDateTime(TDateTime t) noexcept;

// The current local date and time, to the millisecond.
TDateTime Now();

// YYYYMMDDhhmmsszzz (17 digits).
UnicodeString FormatTimestampCompactU(TDateTime t);
// YYYY-MM-DD hh:mm:ss.zzz (23 characters).
UnicodeString FormatTimestampU(TDateTime t);
// The 23 characters, ":" and a blank: 25 bytes into buf, no terminator. Returns buf + 25.
char* FormatLogTimestampA(char* buf, TDateTime t) noexcept;

// Reads both stamp forms (any non-digit separators). errPos is 0 on success, else the 1-based
// position of the failure; t is changed only on success.
void ParseTimestampA(AnsiView s, TDateTime& t, int32_t& errPos) noexcept;
bool TryParseTimestampA(AnsiView s, TDateTime& t) noexcept;

// The Unix seconds of a local date-time, each date with its own offset from UTC (daylight
// saving time decided for that date).
int64_t DateTimeToUnixSec(TDateTime t) noexcept;
// Seconds to add to the current local time to get UTC.
int32_t GetUtcOffset() noexcept;
// The current time in whole seconds since 1970.
int64_t GetUnixTime() noexcept;

}  // namespace zel

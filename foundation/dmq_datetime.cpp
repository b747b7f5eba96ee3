#include "foundation/dmq_datetime.hpp"

#include <sys/time.h>

#include <cmath>
#include <ctime>

namespace zel {

namespace {

constexpr int64_t MSecsPerDay = 86400000;

int64_t FloorDiv(int64_t a, int64_t b) noexcept {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) noexcept {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int32_t& year, int32_t& month, int32_t& day) noexcept {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int32_t>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    month = static_cast<int32_t>(m);
    day = static_cast<int32_t>(d);
}

bool IsLeapYear(int32_t y) noexcept { return (y % 4 == 0) && ((y % 100 != 0) || (y % 400 == 0)); }

int32_t DaysInMonth(int32_t y, int32_t m) noexcept {
    static const int32_t days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : days[m - 1];
}

// Writes YYYY-MM-DD hh:mm:ss.zzz (23 characters), or the compact 17 digits without separators.
template <typename Ch>
Ch* WriteStamp(Ch* p, TDateTime t, bool compact) noexcept {
    const TDateTimeRec r = DecodeDateTime(t);
    auto put = [&](int32_t v, int32_t width) {
        if constexpr (sizeof(Ch) == 1)
            p = IntToFixedDigitsA(p, v, width);
        else
            p = IntToFixedDigitsU(p, v, width);
    };
    auto sep = [&](char c) {
        if (!compact) *p++ = static_cast<Ch>(c);
    };
    put(r.Year, 4);
    sep('-');
    put(r.Month, 2);
    sep('-');
    put(r.Day, 2);
    sep(' ');
    put(r.Hour, 2);
    sep(':');
    put(r.Minute, 2);
    sep(':');
    put(r.Second, 2);
    sep('.');
    put(r.MilliSecond, 3);
    return p;
}

inline bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

bool TryEncodeDate(int32_t year, int32_t month, int32_t day, TDateTime& d) noexcept {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return false;
    d = static_cast<double>(DaysFromCivil(year, month, day)) + UnixDateDelta;
    return true;
}

bool TryEncodeTime(int32_t hour, int32_t minute, int32_t second, int32_t ms, TDateTime& t) noexcept {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || ms < 0 || ms > 999)
        return false;
    t = static_cast<double>(((hour * 60 + minute) * 60 + second) * 1000 + ms) / static_cast<double>(MSecsPerDay);
    return true;
}

bool TryEncodeDateTime(const TDateTimeRec& r, TDateTime& t) noexcept {
    TDateTime d, tm;
    if (!TryEncodeDate(r.Year, r.Month, r.Day, d) || !TryEncodeTime(r.Hour, r.Minute, r.Second, r.MilliSecond, tm))
        return false;
    t = d + tm;
    return true;
}

TDateTimeRec DecodeDateTime(TDateTime t) noexcept {
    TDateTimeRec r;
    // Out of the calendar's range (or not a number): the zero day.
    if (!std::isfinite(t) || std::fabs(t) > 4.0e6) t = 0;
    // Rounding the whole value (not each field) carries 23:59:59.9996 into the next day.
    const int64_t total = std::llround(t * static_cast<double>(MSecsPerDay));
    const int64_t days = FloorDiv(total, MSecsPerDay);
    int64_t ms = total - days * MSecsPerDay;
    CivilFromDays(days - static_cast<int64_t>(UnixDateDelta), r.Year, r.Month, r.Day);
    r.MilliSecond = static_cast<int32_t>(ms % 1000);
    ms /= 1000;
    r.Second = static_cast<int32_t>(ms % 60);
    ms /= 60;
    r.Minute = static_cast<int32_t>(ms % 60);
    r.Hour = static_cast<int32_t>(ms / 60);
    return r;
}

TDateTime Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm lt {};
    localtime_r(&ts.tv_sec, &lt);
    const int64_t days = DaysFromCivil(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
    const int64_t ms = ((static_cast<int64_t>(lt.tm_hour) * 60 + lt.tm_min) * 60 + lt.tm_sec) * 1000 + ts.tv_nsec / 1000000;
    return static_cast<double>(days) + UnixDateDelta + static_cast<double>(ms) / static_cast<double>(MSecsPerDay);
}

UnicodeString FormatTimestampCompactU(TDateTime t) {
    UnicodeString s(17, u'0');
    WriteStamp(s.data(), t, true);
    return s;
}

UnicodeString FormatTimestampU(TDateTime t) {
    UnicodeString s(23, u'0');
    WriteStamp(s.data(), t, false);
    return s;
}

char* FormatLogTimestampA(char* buf, TDateTime t) noexcept {
    char* p = WriteStamp(buf, t, false);
    *p++ = ':';
    *p++ = ' ';
    return p;
}

void ParseTimestampA(AnsiView s, TDateTime& t, int32_t& errPos) noexcept {
    static const int32_t widths[6] = {4, 2, 2, 2, 2, 2};
    int32_t values[6];
    int32_t starts[6];
    const size_t len = s.size();
    size_t i = 0;
    for (int g = 0; g < 6; ++g) {
        while (i < len && !IsDigit(s[i])) ++i;
        starts[g] = static_cast<int32_t>(i + 1);
        int32_t v = 0;
        for (int32_t k = 0; k < widths[g]; ++k) {
            if (i >= len || !IsDigit(s[i])) {
                errPos = starts[g];
                return;
            }
            v = v * 10 + (s[i] - '0');
            ++i;
        }
        values[g] = v;
    }
    while (i < len && !IsDigit(s[i])) ++i;
    int64_t frac = 0;
    int64_t scale = 1;
    for (int k = 0; k < 12 && i < len && IsDigit(s[i]); ++k, ++i) {
        frac = frac * 10 + (s[i] - '0');
        scale *= 10;
    }
    while (i < len && IsDigit(s[i])) ++i;
    while (i < len && !IsDigit(s[i])) ++i;
    if (i < len) {
        errPos = static_cast<int32_t>(i + 1);
        return;
    }
    TDateTime date, time;
    if (!TryEncodeDate(values[0], values[1], values[2], date)) {
        errPos = starts[0];
        return;
    }
    if (!TryEncodeTime(values[3], values[4], values[5], 0, time)) {
        errPos = starts[3];
        return;
    }
    t = date + time + static_cast<double>(frac) / static_cast<double>(scale) / 86400.0;
    errPos = 0;
}

bool TryParseTimestampA(AnsiView s, TDateTime& t) noexcept {
    int32_t errPos = 0;
    ParseTimestampA(s, t, errPos);
    return errPos == 0;
}

int64_t DateTimeToUnixSec(TDateTime t) noexcept {
    const TDateTimeRec r = DecodeDateTime(t);
    const int64_t localSecs =
        (DaysFromCivil(r.Year, r.Month, r.Day) * 24 + r.Hour) * 3600 + static_cast<int64_t>(r.Minute) * 60 + r.Second;
    // The date's own local fields, daylight saving left to the library: the offset of that day,
    // not today's.
    struct tm lt {};
    lt.tm_year = r.Year - 1900;
    lt.tm_mon = r.Month - 1;
    lt.tm_mday = r.Day;
    lt.tm_hour = r.Hour;
    lt.tm_min = r.Minute;
    lt.tm_sec = r.Second;
    lt.tm_isdst = -1;
    lt.tm_wday = -1;  // mktime sets it on success; -1 is also a valid result time
    const time_t u = mktime(&lt);
    if (lt.tm_wday == -1) return localSecs + GetUtcOffset();
    return static_cast<int64_t>(u);
}

int32_t GetUtcOffset() noexcept {
    const time_t now = time(nullptr);
    struct tm lt {};
    if (localtime_r(&now, &lt) == nullptr) return 0;
    return static_cast<int32_t>(-lt.tm_gmtoff);
}

int64_t GetUnixTime() noexcept {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec);
}

}  // namespace zel

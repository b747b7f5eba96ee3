#include "foundation/dmq_datetime.hpp"

#include <stdlib.h>
#include <time.h>

#include <cmath>
#include <string>

#include <gtest/gtest.h>

namespace zel {
namespace {

TDateTime Make(int y, int mo, int d, int h, int mi, int s, int ms) {
    TDateTime t = 0;
    EXPECT_TRUE(TryEncodeDateTime(TDateTimeRec{y, mo, d, h, mi, s, ms}, t));
    return t;
}

// Sets TZ for one test and puts the old value back.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        const char* old = getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

TEST(DateTime, EncodingAndDecoding) {
    TDateTime t = 0;
    EXPECT_TRUE(TryEncodeDate(1899, 12, 30, t));
    EXPECT_EQ(t, 0.0);
    EXPECT_TRUE(TryEncodeDate(1970, 1, 1, t));
    EXPECT_EQ(t, UnixDateDelta);
    EXPECT_TRUE(TryEncodeDate(2024, 2, 29, t));
    EXPECT_FALSE(TryEncodeDate(2023, 2, 29, t));
    EXPECT_FALSE(TryEncodeDate(2024, 13, 1, t));
    EXPECT_FALSE(TryEncodeDate(0, 1, 1, t));
    EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, t));
    EXPECT_FALSE(TryEncodeTime(0, 60, 0, 0, t));
    const TDateTimeRec r = DecodeDateTime(Make(2024, 3, 5, 7, 8, 9, 10));
    EXPECT_EQ(r.Year, 2024);
    EXPECT_EQ(r.Month, 3);
    EXPECT_EQ(r.Day, 5);
    EXPECT_EQ(r.Hour, 7);
    EXPECT_EQ(r.Minute, 8);
    EXPECT_EQ(r.Second, 9);
    EXPECT_EQ(r.MilliSecond, 10);
}

TEST(DateTime, TimestampTextsRoundToTheMillisecondWithCarry) {
    struct {
        TDateTime t;
        const char16_t* text;
        const char16_t* compact;
    } const rows[] = {
        {Make(2024, 3, 5, 7, 8, 9, 10), u"2024-03-05 07:08:09.010", u"20240305070809010"},
        // A value a hair below the full second must not print as .999 of the second before.
        {Make(2024, 3, 5, 7, 8, 9, 0) - 1e-11, u"2024-03-05 07:08:09.000", u"20240305070809000"},
        {Make(2024, 12, 31, 23, 59, 59, 999) + 0.0006 / 86400.0, u"2025-01-01 00:00:00.000",
         u"20250101000000000"},
        {Make(1899, 12, 30, 0, 0, 0, 0), u"1899-12-30 00:00:00.000", u"18991230000000000"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(FormatTimestampU(r.t), r.text);
        EXPECT_EQ(FormatTimestampCompactU(r.t), r.compact);
    }
    char buf[26];
    buf[25] = 'X';
    EXPECT_EQ(FormatLogTimestampA(buf, Make(2024, 1, 31, 23, 59, 58, 123)), buf + 25);
    EXPECT_EQ(std::string(buf, 26), "2024-01-31 23:59:58.123: X");
}

TEST(DateTime, ParseTimestamp) {
    const TDateTime want = Make(2024, 3, 5, 7, 8, 9, 10);
    struct {
        const char* text;
        int32_t errPos;
    } const rows[] = {
        {"20240305070809010", 0},
        {"2024-03-05 07:08:09.010", 0},
        {"2024-03-05 07:08:09.010: some text", 0},
        {"2024-03-05 07:08:09.01000000000000099", 0},  // digits beyond 12 are skipped
        {"2024-03-05 07:08:09.010 7", 25},
        {"2024-13-01 00:00:00", 1},
        {"2024-01-01 25:00:00", 12},
        {"2024-1-01", 6},
        {"2024-01", 8},
        {"", 1},
    };
    for (const auto& r : rows) {
        TDateTime t = -1;
        int32_t pos = -1;
        ParseTimestampA(r.text, t, pos);
        EXPECT_EQ(pos, r.errPos) << r.text;
        if (r.errPos == 0) {
            EXPECT_NEAR(t, want, 1e-9) << r.text;
            EXPECT_EQ(FormatTimestampU(t), u"2024-03-05 07:08:09.010");
        } else {
            EXPECT_EQ(t, -1) << r.text;
        }
        EXPECT_EQ(TryParseTimestampA(r.text, t), r.errPos == 0);
    }
    TDateTime t = 0;
    ASSERT_TRUE(TryParseTimestampA("2024-03-05 07:08:09", t));
    EXPECT_EQ(FormatTimestampU(t), u"2024-03-05 07:08:09.000");
}

TEST(DateTime, UnixSecondsUseTheDatesOwnOffset) {
    ScopedTz tz("CET-1CEST,M3.5.0,M10.5.0/3");
    struct {
        TDateTime local;
        int64_t unix;
    } const rows[] = {
        {Make(2024, 1, 15, 12, 0, 0, 0), 1705316400},  // 11:00 UTC, winter
        {Make(2024, 7, 1, 12, 0, 0, 0), 1719828000},   // 10:00 UTC, summer
        {Make(1970, 1, 1, 1, 0, 0, 0), 0},
        {Make(2024, 7, 1, 12, 0, 0, 999), 1719828000},  // milliseconds dropped
    };
    for (const auto& r : rows) EXPECT_EQ(DateTimeToUnixSec(r.local), r.unix);
}

TEST(DateTime, OffsetAndNowUnderFixedZones) {
    {
        ScopedTz tz("EST5");
        EXPECT_EQ(GetUtcOffset(), 5 * 3600);
        EXPECT_EQ(DateTimeToUnixSec(Make(1970, 1, 1, 0, 0, 0, 0)), GetUtcOffset());
    }
    {
        ScopedTz tz("UTC0");
        EXPECT_EQ(GetUtcOffset(), 0);
        const int64_t before = GetUnixTime();
        const TDateTime now = Now();
        const int64_t after = GetUnixTime();
        const int64_t fromNow = DateTimeToUnixSec(now);
        EXPECT_GE(fromNow, before);
        EXPECT_LE(fromNow, after);
        EXPECT_NEAR((now - UnixDateDelta) * 86400.0, static_cast<double>(time(nullptr)), 2.0);
    }
}

}  // namespace
}  // namespace zel

#include "foundation/dmq_types.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "tests/support/alloc_failure.hpp"

using zel::test::FailsForLackOfMemory;

namespace zel {
namespace {

UnicodeString U(const char* ascii) { return WidenStrU(ascii); }

// ---------------------------------------------------------------------------------------------
// TStringBldU

TEST(StringBldU, FreshBuilderHolds128AndThe129thUnitGrowsTo256) {
    TStringBldU b;
    StrBldUInit(b, 0);
    EXPECT_EQ(b.Capacity(), 128);
    EXPECT_EQ(b.Len(), 0);
    EXPECT_EQ(b.Buf().size(), 128u);
    for (int i = 0; i < 128; ++i) StrBldUAddChar(b, u'a');
    EXPECT_EQ(b.Capacity(), 128);
    StrBldUAddChar(b, u'b');
    EXPECT_EQ(b.Capacity(), 256);
    EXPECT_EQ(b.Buf().size(), 256u);
    EXPECT_EQ(StrBldUToStr(b), UnicodeString(128, u'a') + u"b");
}

TEST(StringBldU, InitAndGrowthFollowTheFormula) {
    struct Case {
        int32_t wanted, capacity;
    } cases[] = {{-5, 128}, {64, 128}, {100, 192}, {128, 192}, {1000, 1536}};
    for (auto c : cases) {
        TStringBldU b;
        StrBldUInit(b, c.wanted);
        EXPECT_EQ(b.Capacity(), c.capacity) << c.wanted;
    }
    TStringBldU b;
    StrBldUInit(b, 0);
    StrBldUAdd(b, UnicodeString(300, u'x'));  // need 300: 300 + 150 + 63 = 513 -> 512
    EXPECT_EQ(b.Capacity(), 512);
    EXPECT_EQ(b.Len(), 300);
    // A default (never initialised) builder grows from nothing by the same rule.
    TStringBldU d;
    StrBldUAddChar(d, u'z');
    EXPECT_EQ(d.Capacity(), 64);
    EXPECT_EQ(StrBldUToStr(d), u"z");
}

TEST(StringBldU, Appenders) {
    TStringBldU b;
    StrBldUInit(b, 0);
    StrBldUAdd(b, u"Worker[");
    StrBldUAddInt(b, 3);
    StrBldUAddChar(b, u']');
    StrBldUAddColonSpace(b);
    StrBldUAddInt(b, INT32_MIN);
    StrBldUAddSpace(b);
    StrBldUAddInt(b, INT32_MAX);
    StrBldUAddSpaceStr(b, u"x");
    StrBldUAdd(b, u"");
    EXPECT_EQ(StrBldUToStr(b), u"Worker[3]: -2147483648 2147483647 x");
    EXPECT_EQ(StrBldUView(b), u"Worker[3]: -2147483648 2147483647 x");
}

TEST(StringBldU, AddSpaceStrWithEmptyTextAppendsOneBlank) {
    TStringBldU b;
    StrBldUInit(b, 0);
    StrBldUAddSpaceStr(b, u"");
    EXPECT_EQ(StrBldUToStr(b), u" ");
}

TEST(StringBldU, AddEscapedAppendsNineUnitsForATabBackslash) {
    // Mended fault: the Part's edge case says ten units; its own rule (1 + 4 + 4) gives nine.
    TStringBldU b;
    StrBldUInit(b, 0);
    StrBldUAddEscapedA(b, "a\t\\");
    EXPECT_EQ(b.Len(), 9);
    EXPECT_EQ(StrBldUToStr(b), u"a\\x09\\x5C");
}

TEST(StringBldU, AddEscapedGrowsOnceForTheWholeText) {
    TStringBldU b;
    StrBldUInit(b, 0);
    StrBldUAdd(b, UnicodeString(100, u'.'));
    // 40 control bytes: 100 + 160 = 260 needed at once: 260 + 130 + 63 = 453 -> 448.
    StrBldUAddEscapedA(b, AnsiString(40, '\x01'));
    EXPECT_EQ(b.Len(), 260);
    EXPECT_EQ(b.Capacity(), 448);
    EXPECT_EQ(StrBldUToStr(b).substr(100, 8), u"\\x01\\x01");
}

TEST(StringBldU, OutOfMemoryLeavesTheBuilderUnchanged) {
    TStringBldU b;
    StrBldUInit(b, 0);
    StrBldUAdd(b, UnicodeString(128, u'q'));
    const UnicodeString before = StrBldUToStr(b);
    EXPECT_TRUE(FailsForLackOfMemory([&] { StrBldUAddChar(b, u'x'); }));
    EXPECT_TRUE(FailsForLackOfMemory([&] { StrBldUAddEscapedA(b, "\x01"); }));
    EXPECT_TRUE(FailsForLackOfMemory([&] { StrBldUInit(b, 5000); }));
    EXPECT_EQ(b.Len(), 128);
    EXPECT_EQ(b.Capacity(), 128);
    EXPECT_EQ(b.Buf().size(), 128u);
    EXPECT_EQ(StrBldUToStr(b), before);
    StrBldUAddChar(b, u'x');  // and it still works afterwards
    EXPECT_EQ(b.Len(), 129);
}

TEST(StringBldU, AppendingItsOwnTextAcrossAGrowth) {
    TStringBldU b;
    StrBldUInit(b, 0);
    StrBldUAdd(b, UnicodeString(100, u'r'));
    StrBldUAdd(b, StrBldUView(b));  // 200 units: the old buffer must outlive the copy
    EXPECT_EQ(b.Capacity(), 320);
    EXPECT_EQ(StrBldUToStr(b), UnicodeString(200, u'r'));
    StrBldUAddSpaceStr(b, StrBldUView(b).substr(0, 150));
    EXPECT_EQ(StrBldUToStr(b), UnicodeString(200, u'r') + u" " + UnicodeString(150, u'r'));
}

// ---------------------------------------------------------------------------------------------
// Escaping

TEST(Escape, ControlBytesAndBackslashAsUpperCaseHex) {
    struct Case {
        AnsiString in;
        const char16_t* out;
    } cases[] = {
        {"", u""},
        {"plain", u"plain"},
        {AnsiString("\x00\x1f\x20", 3), u"\\x00\\x1F "},
        {"a\\b", u"a\\x5Cb"},
        {"\r\n", u"\\x0D\\x0A"},
        {"\x7f\xe9", u"\x7f\xe9"},  // bytes from 32 up (but the backslash) are only widened
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EscapeCtrlCharsU(c.in), c.out);
        EXPECT_EQ(EscapeCtrlCharsBufU(c.in.data(), static_cast<int32_t>(c.in.size())), c.out);
        TStringBldU b;
        StrBldUInit(b, 0);
        StrBldUAddEscapedA(b, c.in);
        EXPECT_EQ(StrBldUToStr(b), c.out);
    }
    EXPECT_EQ(EscapeCtrlCharsBufU("\x01", 0), u"");
}

// ---------------------------------------------------------------------------------------------
// Durations

TEST(Duration, ParseValidTexts) {
    struct Case {
        const char* text;
        TDurationRec want;
    } cases[] = {
        {"10", {0, 0, 0, 0, 0, 10}},
        {"1d2h30m", {0, 0, 1, 2, 30, 0}},
        {"5 10m", {0, 0, 0, 0, 10, 5}},
        {"1d 2h", {0, 0, 1, 2, 0, 0}},
        {"90 ", {0, 0, 0, 0, 0, 90}},
        {"  1Y2O3D4H5M6S", {1, 2, 3, 4, 5, 6}},
        {"1y 2o 3d 4h 5m 6s", {1, 2, 3, 4, 5, 6}},
        {"0s", {0, 0, 0, 0, 0, 0}},
        {"1h 30", {0, 0, 0, 1, 0, 30}},
        {"999999999s", {0, 0, 0, 0, 0, 999999999}},
        {"000000001m", {0, 0, 0, 0, 1, 0}},  // nine digits, leading zeros included
    };
    for (const auto& c : cases) {
        TDurationRec d;
        ASSERT_TRUE(TryParseDurationU(U(c.text), d)) << c.text;
        EXPECT_EQ(d.Years, c.want.Years) << c.text;
        EXPECT_EQ(d.Months, c.want.Months) << c.text;
        EXPECT_EQ(d.Days, c.want.Days) << c.text;
        EXPECT_EQ(d.Hours, c.want.Hours) << c.text;
        EXPECT_EQ(d.Minutes, c.want.Minutes) << c.text;
        EXPECT_EQ(d.Seconds, c.want.Seconds) << c.text;
    }
}

TEST(Duration, ParseRefusals) {
    for (const char* text : {"", "   ", "1h1h", "h", "1x", "1234567890", "0000000001m", "5 3",
                             "10s 5", "1 s", "1\t2m", "-5", "1.5h", "1hh"}) {
        TDurationRec d;
        d.Days = 77;
        EXPECT_FALSE(TryParseDurationU(U(text), d)) << '"' << text << '"';
    }
    TDurationRec d;
    EXPECT_FALSE(TryParseDurationU(u"1\u3000h", d));
}

TEST(Duration, ToSeconds) {
    EXPECT_EQ(DurationToSeconds({1, 0, 0, 0, 0, 0}), 31556736);
    EXPECT_EQ(DurationToSeconds({0, 1, 0, 0, 0, 0}), 2629728);
    EXPECT_EQ(DurationToSeconds({0, 0, 1, 1, 1, 1}), 86400 + 3600 + 60 + 1);
    EXPECT_EQ(DurationToSeconds({0, 0, -1, 0, -5, 10}), 10);  // negative fields add nothing
    EXPECT_EQ(DurationToSeconds({999999999, 999999999, 0, 0, 0, 0}),
              int64_t{999999999} * (31556736 + 2629728));
}

TEST(Duration, SecondsToDurationTruncatesTowardZero) {
    TDurationRec d = SecondsToDuration(90061);
    EXPECT_EQ(d.Years, 0);
    EXPECT_EQ(d.Months, 0);
    EXPECT_EQ(d.Days, 1);
    EXPECT_EQ(d.Hours, 1);
    EXPECT_EQ(d.Minutes, 1);
    EXPECT_EQ(d.Seconds, 1);
    d = SecondsToDuration(-3661);
    EXPECT_EQ(d.Days, 0);
    EXPECT_EQ(d.Hours, -1);
    EXPECT_EQ(d.Minutes, -1);
    EXPECT_EQ(d.Seconds, -1);
}

TEST(Duration, FormatText) {
    struct Case {
        int64_t s;
        const char16_t* text;
    } cases[] = {
        {0, u"0s"},           {5, u"5s"},
        {65, u"1m05s"},       {600, u"10m00s"},
        {3600, u"1h00m00s"},  {86400, u"1d00h00m00s"},
        {90061, u"1d01h01m01s"}, {93784, u"1d02h03m04s"},
        {100 * 86400 + 59, u"100d00h00m59s"},
        {int64_t{5000000000} * 86400, u"5000000000d00h00m00s"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatDurationU(c.s), c.text) << c.s;
}

TEST(Duration, FormatThenParseRoundTrips) {
    for (int64_t s : {int64_t{0}, int64_t{59}, int64_t{61}, int64_t{3599}, int64_t{86399}, int64_t{1234567}}) {
        TDurationRec d;
        ASSERT_TRUE(TryParseDurationU(FormatDurationU(s), d)) << s;
        EXPECT_EQ(DurationToSeconds(d), s);
    }
}

// ---------------------------------------------------------------------------------------------
// Case, narrowing, widening, trimming

TEST(Text, AsciiUpperCaseOnlyTouchesAToZ) {
    EXPECT_EQ(AsciiUpperCaseA("abz{`@AZ\xe9\xff"), "ABZ{`@AZ\xe9\xff");
    EXPECT_EQ(AsciiUpperCaseU(u"abz\u00e9\u0444"), u"ABZ\u00e9\u0444");
}

TEST(Text, NarrowAndWidenAreOneToOne) {
    EXPECT_EQ(NarrowStrA(u"A\u00e9\u0444"), AnsiString("A\xe9\x44"));
    EXPECT_EQ(WidenStrU(AnsiString("A\xe9\0\xff", 4)), UnicodeString(u"A\u00e9\0\u00ff", 4));
    EXPECT_EQ(WidenBufU("abc", 2), u"ab");
    EXPECT_EQ(WidenBufU("abc", 0), u"");
    EXPECT_EQ(WidenBufU("abc", -1), u"");

    char out[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(UnicodeBufToAnsiBuf(out, u"xy", 2), out + 2);
    EXPECT_EQ(UnicodeBufToAnsiBuf(out + 2, u"z", 0), out + 2);
    EXPECT_EQ(AnsiString(out, 4), "xy##");
    char16_t wout[3] = {u'#', u'#', u'#'};
    EXPECT_EQ(AnsiBufToUnicodeBuf(wout, "\xfe" "a", 2), wout + 2);
    EXPECT_EQ(AnsiBufToUnicodeBuf(wout, "q", -3), wout);
    EXPECT_EQ(UnicodeString(wout, 3), u"\u00fea#");
}

TEST(Text, ScanWideCharAndCharPos) {
    const char16_t s[] = u"abcb";
    EXPECT_EQ(ScanWideChar(u'b', s, 4), s + 1);
    EXPECT_EQ(ScanWideChar(u'z', s, 4), nullptr);
    EXPECT_EQ(ScanWideChar(u'a', s, 0), nullptr);
    EXPECT_EQ(CharPosU(u'a', u"abc"), 1);
    EXPECT_EQ(CharPosU(u'c', u"abc"), 3);
    EXPECT_EQ(CharPosU(u'x', u"abc"), 0);
    EXPECT_EQ(CharPosU(u'x', u""), 0);
}

TEST(Text, TrimUnicodeRemovesBlanksAndTheWideSpaces) {
    EXPECT_EQ(TrimU(u"\u3000 a b\t\u00a0"), u"a b");
    EXPECT_EQ(TrimU(u"\u0085x\u0085"), u"x");
    EXPECT_EQ(TrimU(u" \u3000 "), u"");
    EXPECT_EQ(TrimU(u"\u2000x"), u"\u2000x");
    EXPECT_EQ(TrimRightU(u" a \u3000\r\n"), u" a");
    EXPECT_EQ(TrimRightU(u""), u"");
}

TEST(Text, TrimAnsiRemovesOnlyBytesUpTo32) {
    EXPECT_EQ(TrimA(" \t a b \r\n"), "a b");
    EXPECT_EQ(TrimA("\xc2\xa0x\xc2\xa0"), "\xc2\xa0x\xc2\xa0");  // U+00A0's bytes stay
    EXPECT_EQ(TrimA(AnsiString("\0x\0", 3)), "x");
    EXPECT_EQ(TrimA("   "), "");
    EXPECT_EQ(TrimLeftA("  a  "), "a  ");
}

TEST(Text, HasCtrlCharsIgnoresTab) {
    EXPECT_FALSE(HasCtrlCharsBuf("a\tb\xff", 4));
    EXPECT_TRUE(HasCtrlCharsBuf("a\rb", 3));
    EXPECT_TRUE(HasCtrlCharsBuf("a\0", 2));
    EXPECT_FALSE(HasCtrlCharsBuf("a\r", 1));
    EXPECT_FALSE(HasCtrlCharsBuf("\r", 0));
}

// ---------------------------------------------------------------------------------------------
// UTF-8

TEST(Utf8, DecoderStopsAtTheFirstBadByte) {
    EXPECT_EQ(DecodeUtf8BufU("\x41\xc3\xa9\xff\x42", 5), u"A\u00e9");
    struct Case {
        AnsiString in;
        UnicodeString out;
    } cases[] = {
        {"", u""},
        {"abc", u"abc"},
        {"\xe2\x82\xac!", u"\u20ac!"},
        {"a\xc3", u"a"},                  // cut off by the end
        {"a\xe2\x82", u"a"},
        {"a\xc3(b", u"a"},                // bad continuation byte
        {"a\x80 b", u"a"},                // stray continuation byte
        {"a\xf8\x80", u"a"},              // not a lead byte
        {"\xf0\x9f\x98\x80!", u"\U0001F600!"},  // a surrogate pair, not cut to 16 bits
        {"a\xf0\x90\x80\x8a", u"a\U0001000A"},  // U+1000A, no line feed
        {"a\xc0\xaf" "b", u"a"},                     // overlong "/"
        {"a\xed\xa0\x80", u"a"},                 // surrogate
        {AnsiString("a\0b", 3), UnicodeString(u"a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecodeUtf8U(c.in), c.out);
        EXPECT_EQ(DecodeUtf8BufU(c.in.data(), static_cast<int32_t>(c.in.size())), c.out);
    }
    EXPECT_EQ(DecodeUtf8BufU("abc", 0), u"");
}

TEST(Utf8, ValidityIsWellFormedness) {
    for (const char* ok : {"", "plain", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf",
                           "\xed\x9f\xbf", "\xef\xbf\xbf"}) {
        EXPECT_TRUE(IsValidUtf8A(ok)) << ok;
    }
    EXPECT_TRUE(IsValidUtf8A(AnsiString("a\0b", 3)));
    for (const char* bad : {"\xff", "\x80", "\xc3", "\xc3(", "\xc0\x80", "\xc1\xbf", "\xe0\x80\x80",
                            "\xed\xa0\x80", "\xf0\x80\x80\x80", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80",
                            "ok\xe2\x82"}) {
        EXPECT_FALSE(IsValidUtf8A(bad)) << bad;
    }
}

TEST(Utf8, Counters) {
    const char s[] = "a\xc3\xa9\xe2\x82\xac" "b";  // a, e-acute, euro, b: 7 bytes, 4 characters
    EXPECT_EQ(Utf8CharCount(s, 7), 4);
    EXPECT_EQ(Utf8CharCount(s, 0), 0);
    EXPECT_EQ(Utf8CharsByteLen(s, 7, 0), 0);
    EXPECT_EQ(Utf8CharsByteLen(s, 7, -1), 0);
    EXPECT_EQ(Utf8CharsByteLen(s, 7, 1), 1);
    EXPECT_EQ(Utf8CharsByteLen(s, 7, 2), 3);
    EXPECT_EQ(Utf8CharsByteLen(s, 7, 3), 6);
    EXPECT_EQ(Utf8CharsByteLen(s, 7, 4), 7);
    EXPECT_EQ(Utf8CharsByteLen(s, 7, 9), 7);
    EXPECT_EQ(Utf8CharsByteLen(s, 5, 3), 5);  // the third character is cut off by the length
    EXPECT_EQ(Utf8LengthOfU(u"a\u00e9\u07ff\u0800\u20ac"), 1 + 2 + 2 + 3 + 3);
    EXPECT_EQ(Utf8LengthOfU(u"\U0001F600"), 6);  // counted per unit: two surrogates of 3
    EXPECT_EQ(Utf8LengthOfU(u""), 0);
}

// ---------------------------------------------------------------------------------------------
// Decimal writers

TEST(Digits, FixedDigitsWriteTheAbsoluteValue) {
    struct Case {
        int32_t v, width;
        const char* text;
    } cases[] = {
        {5, 3, "005"},   {-5, 3, "005"}, {12345, 3, "345"}, {0, 1, "0"},
        {2024, 4, "2024"}, {INT32_MIN, 10, "2147483648"}, {INT32_MIN, 12, "002147483648"},
        {INT32_MAX, 10, "2147483647"},
    };
    for (const auto& c : cases) {
        char buf[16] = {};
        EXPECT_EQ(IntToFixedDigitsA(buf, c.v, c.width), buf + c.width);
        EXPECT_STREQ(buf, c.text);
        char16_t wbuf[16] = {};
        EXPECT_EQ(IntToFixedDigitsU(wbuf, c.v, c.width), wbuf + c.width);
        EXPECT_EQ(UnicodeString(wbuf), WidenStrU(c.text));
    }
    char buf[2] = {'#', '#'};
    EXPECT_EQ(IntToFixedDigitsA(buf, 7, 0), buf);
    EXPECT_EQ(IntToFixedDigitsA(buf, 7, -2), buf);
    EXPECT_EQ(buf[0], '#');
}

TEST(Digits, IntToBufCheckedUsesPositionsOneUpward) {
    struct Case {
        int32_t v, len;
        const char* text;  // nullptr: "Buffer too small"
    } cases[] = {
        {5, 3, "5"},           {42, 3, nullptr},   {-5, 3, nullptr},  {-5, 4, "-5"},
        {5, 2, nullptr},       {5, 1, nullptr},    {5, 0, nullptr},   {0, 3, "0"},
        {INT32_MAX, 12, "2147483647"},  {INT32_MAX, 11, nullptr},
        {-2147483647, 13, "-2147483647"}, {-2147483647, 12, nullptr},
        {INT32_MIN, 12, "-2147483648"}, {INT32_MIN, 11, nullptr}, {INT32_MIN, 20, "-2147483648"},
    };
    for (const auto& c : cases) {
        char buf[24];
        std::memset(buf, '#', sizeof buf);
        int32_t len = c.len;
        if (c.text == nullptr) {
            try {
                IntToBufCheckedA(buf, c.v, len);
                ADD_FAILURE() << c.v << " in " << c.len;
            } catch (const Exception& e) {
                EXPECT_STREQ(e.ClassName(), "Exception");
                EXPECT_EQ(e.Message(), "Buffer too small");
            }
            continue;
        }
        char* p = IntToBufCheckedA(buf, c.v, len);
        EXPECT_STREQ(p, c.text) << c.v << " in " << c.len;
        EXPECT_EQ(len, static_cast<int32_t>(std::strlen(c.text)));
        EXPECT_EQ(p + len, buf + c.len - 1);
    }
}

// ---------------------------------------------------------------------------------------------
// Strict parsers

TEST(Parse, Int32AtTheLimits) {
    struct Case {
        const char* text;
        bool ok;
        int32_t value;
    } cases[] = {
        {"42", true, 42},          {" 42", true, 42},          {"\t\r\n42", true, 42},
        {"+42", true, 42},         {"-42", true, -42},         {"0", true, 0},
        {"-0", true, 0},           {"007", true, 7},
        {"2147483647", true, INT32_MAX},   {"-2147483648", true, INT32_MIN},
        {"+2147483647", true, INT32_MAX},  {"00000000002147483647", true, INT32_MAX},
        {"2147483648", false, 0},  {"-2147483649", false, 0},  {"21474836470", false, 0},
        {"99999999999", false, 0}, {"42 ", false, 0},          {"", false, 0},
        {"   ", false, 0},         {"+", false, 0},            {"-", false, 0},
        {"+-1", false, 0},         {"--1", false, 0},          {"4 2", false, 0},
        {"0x10", false, 0},        {"1e3", false, 0},          {"\xef\xbc\x91", false, 0},
    };
    for (const auto& c : cases) {
        const int32_t n = static_cast<int32_t>(std::strlen(c.text));
        const UnicodeString u = U(c.text);
        int32_t a = 99, v = 99, b = 99, w = 99;
        EXPECT_EQ(TryStrToInt32A(c.text, a), c.ok) << c.text;
        EXPECT_EQ(TryStrToInt32A(AnsiView(c.text), v), c.ok) << c.text;
        EXPECT_EQ(TryBufToInt32A(c.text, n, b), c.ok) << c.text;
        EXPECT_EQ(TryStrToInt32U(u, w), c.ok) << c.text;
        const int32_t want = c.ok ? c.value : 99;  // untouched on failure
        EXPECT_EQ(a, want) << c.text;
        EXPECT_EQ(v, want) << c.text;
        EXPECT_EQ(b, want) << c.text;
        EXPECT_EQ(w, want) << c.text;
        int32_t z = 99;
        EXPECT_EQ(TryStrToInt32U(u.c_str(), z), c.ok) << c.text;
    }
    int32_t v = 5;
    EXPECT_FALSE(TryStrToInt32A(static_cast<const char*>(nullptr), v));
    EXPECT_FALSE(TryStrToInt32U(static_cast<const char16_t*>(nullptr), v));
    EXPECT_FALSE(TryBufToInt32A(nullptr, 3, v));
    EXPECT_FALSE(TryBufToInt32A("12", 0, v));
    EXPECT_EQ(v, 5);
}

TEST(Parse, ViewsParseTheirWholeLength) {
    int32_t v = 0;
    const AnsiString with_nul("12\0junk", 7);
    EXPECT_TRUE(TryStrToInt32A(with_nul.c_str(), v));  // a zero-terminated text ends at its NUL
    EXPECT_EQ(v, 12);
    v = 5;
    EXPECT_FALSE(TryStrToInt32A(AnsiView(with_nul), v));  // a view holds all seven bytes
    EXPECT_FALSE(TryBufToInt32A(with_nul.data(), 7, v));
    const UnicodeString wide(u"12\0junk", 7);
    EXPECT_FALSE(TryStrToInt32U(UnicodeView(wide), v));
    int64_t w = 5;
    EXPECT_FALSE(TryStrToInt64U(UnicodeView(wide), w));
    EXPECT_FALSE(TryStrToInt32U(UnicodeView(u"12\0", 3), v));
    EXPECT_EQ(v, 5);
    EXPECT_EQ(w, 5);
    EXPECT_TRUE(TryStrToInt32U(wide.c_str(), v));
    EXPECT_EQ(v, 12);
    EXPECT_TRUE(TryBufToInt32A("123456", 3, v));
    EXPECT_EQ(v, 123);
    EXPECT_TRUE(TryBufToInt64A("-9876543210xyz", 11, w));
    EXPECT_EQ(w, -9876543210);
}

TEST(Parse, Int64AtTheLimits) {
    struct Case {
        const char* text;
        bool ok;
        int64_t value;
    } cases[] = {
        {"9223372036854775807", true, INT64_MAX},
        {"-9223372036854775808", true, INT64_MIN},
        {"9223372036854775808", false, 0},
        {"-9223372036854775809", false, 0},
        {"18446744073709551616", false, 0},
        {" -1", true, -1},
        {"1 ", false, 0},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        int64_t u = 7, b = 7;
        EXPECT_EQ(TryStrToInt64U(U(c.text), u), c.ok) << c.text;
        EXPECT_EQ(TryBufToInt64A(c.text, static_cast<int32_t>(std::strlen(c.text)), b), c.ok) << c.text;
        EXPECT_EQ(u, c.ok ? c.value : 7) << c.text;
        EXPECT_EQ(b, c.ok ? c.value : 7) << c.text;
    }
}

TEST(Parse, BoolTriesANumberFirst) {
    struct Case {
        const char16_t* text;
        bool ok, value;
    } cases[] = {
        {u"0", true, false},     {u"17", true, true},     {u"-1", true, true},
        {u" 0", true, false},    {u"9223372036854775807", true, true},
        {u"yes", true, true},    {u"YeS", true, true},    {u"Off", true, false},
        {u"true", true, true},   {u"T", true, true},      {u"y", true, true},
        {u"ON", true, true},     {u"false", true, false}, {u"f", true, false},
        {u"No", true, false},    {u"n", true, false},
        {u"maybe", false, false}, {u"", false, false},    {u" yes", false, false},
        {u"yes ", false, false}, {u"TRUEX", false, false}, {u"99999999999999999999", false, false},
    };
    for (const auto& c : cases) {
        for (bool start : {false, true}) {
            bool v = start;
            EXPECT_EQ(TryStrToBoolU(c.text, v), c.ok);
            EXPECT_EQ(v, c.ok ? c.value : start);
        }
    }
}

// ---------------------------------------------------------------------------------------------

TEST(Raise, ExceptionsCarryTheirClassAndMessage) {
    auto check = [](auto raise, const char* cls, const char* msg) {
        EXPECT_THROW(
            try { raise(); } catch (const Exception& e) {
                EXPECT_STREQ(ExceptionClassName(e), cls);
                EXPECT_EQ(e.Message(), msg);
                throw;
            },
            Exception);
    };
    check([] { RaiseLineTooLong(); }, "ELineLengthTooLong", "Line too long");
    check([] { RaiseBufferTooSmall(); }, "Exception", "Buffer too small");
    EXPECT_THROW(RaiseLineTooLong(), ELineLengthTooLong);
    EXPECT_STREQ(EConvertError("x").ClassName(), "EConvertError");
}

}  // namespace
}  // namespace zel

#include "foundation/dmq_syscharset.hpp"

#include "foundation/dmq_ansi_unicode_converter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace zel {
namespace {

// Sets the locale variables of one case and puts the previous values back afterwards.
class LocaleEnv : public ::testing::Test {
protected:
    static constexpr const char* kVars[] = {"LC_ALL", "LC_CTYPE", "LANG", "LANGUAGE", "MM_CHARSET"};
    void SetUp() override {
        for (const char* v : kVars) {
            const char* old = std::getenv(v);
            saved_[v] = old ? std::optional<std::string>(old) : std::nullopt;
            unsetenv(v);
        }
    }
    void TearDown() override {
        for (auto& [k, v] : saved_) {
            if (v) setenv(k.c_str(), v->c_str(), 1);
            else unsetenv(k.c_str());
        }
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST_F(LocaleEnv, DetectionTakesTheCharsetOfTheLocaleOnly) {
    struct Case {
        const char* lcAll;
        const char* lcCtype;
        const char* lang;
        const char* language;
        const char* mm;
        const char* want;
    } cases[] = {
        {nullptr, nullptr, nullptr, nullptr, nullptr, "UTF-8"},
        {nullptr, nullptr, "en_US.UTF-8", nullptr, nullptr, "UTF-8"},
        {nullptr, nullptr, "ru_RU.KOI8-R", nullptr, nullptr, "KOI8-R"},
        // A language list is no locale: "de" would open a 7-bit national set.
        {nullptr, nullptr, "", "de", nullptr, "UTF-8"},
        {nullptr, nullptr, nullptr, "de:en", nullptr, "UTF-8"},
        {nullptr, nullptr, "de_DE.ISO8859-15@euro", nullptr, nullptr, "ISO8859-15"},
        {nullptr, nullptr, "de_DE", nullptr, nullptr, "UTF-8"},
        {nullptr, nullptr, "C", nullptr, nullptr, "UTF-8"},
        {nullptr, nullptr, "POSIX", nullptr, nullptr, "UTF-8"},
        {nullptr, nullptr, "de_DE.", nullptr, nullptr, "UTF-8"},
        {"ru_RU.KOI8-R", "en_US.ISO8859-1", "en_US.UTF-8", nullptr, nullptr, "KOI8-R"},
        {"", "en_US.ISO8859-1", "en_US.UTF-8", nullptr, nullptr, "ISO8859-1"},
        {"C", "en_US.ISO8859-1", "en_US.UTF-8", nullptr, nullptr, "UTF-8"},
        {nullptr, nullptr, nullptr, nullptr, "KOI8-R", "KOI8-R"},
        {nullptr, nullptr, "en_US.UTF-8", nullptr, "KOI8-R", "UTF-8"},
    };
    for (const Case& c : cases) {
        const char* values[] = {c.lcAll, c.lcCtype, c.lang, c.language, c.mm};
        std::string label;
        for (int i = 0; i < 5; ++i) {
            if (values[i]) setenv(kVars[i], values[i], 1);
            else unsetenv(kVars[i]);
            label += std::string(kVars[i]) + "=" + (values[i] ? values[i] : "(unset)") + " ";
        }
        EXPECT_EQ(DetectSystemCharsetA(), c.want) << label;
    }
}

TEST_F(LocaleEnv, EnvironmentNamesMatchWithoutAsciiCase) {
    setenv("LANG", "xx_YY.KOI8-U", 1);
    EXPECT_EQ(GetEnvVarA("lang"), "xx_YY.KOI8-U");
    EXPECT_EQ(GetEnvVarA("NO_SUCH_VARIABLE_HERE"), "");
    int32_t n = GetEnvCount();
    ASSERT_GT(n, 0);
    bool seen = false;
    for (int32_t i = 1; i <= n; ++i) seen = seen || GetEnvStrA(i) == "LANG=xx_YY.KOI8-U";
    EXPECT_TRUE(seen);
    EXPECT_EQ(GetEnvStrA(0), "");
    EXPECT_EQ(GetEnvStrA(n + 1), "");
}

TEST(SysCharset, ProcedureVariablesStartWithTheSystemRoutines) {
    EXPECT_EQ(SysCharsetToUnicodeProc, &SystemCharsetToUnicodeU);
    EXPECT_EQ(UnicodeToSysCharsetProc, &UnicodeToSystemCharsetA);
    EXPECT_FALSE(SystemCharset.empty());
    EXPECT_EQ(DefaultCharset, SystemCharset);
    EXPECT_EQ(SysCharsetToUnicodeProc("plain ascii"), u"plain ascii");
    EXPECT_EQ(UnicodeToSysCharsetProc(u"plain ascii"), "plain ascii");
}

TEST(SysCharset, NamedCharsetConversion) {
    AnsiString a;
    // A unit the set cannot hold becomes "?" and the rest goes on.
    EXPECT_EQ(UnicodeToCharsetA(u"a\u00e9\u20acb", a, "ISO8859-1"), 0);
    EXPECT_EQ(a, "a\xe9?b");
    EXPECT_EQ(UnicodeToCharsetA(u"\u0430\u0431", a, "KOI8-R"), 0);
    EXPECT_EQ(a, "\xc1\xc2");

    UnicodeString u;
    EXPECT_EQ(CharsetToUnicodeA("\xc1\xc2", u, "KOI8-R"), 0);
    EXPECT_EQ(u, u"\u0430\u0431");

    // A stateful set: the shift back to ASCII comes from the final flush.
    EXPECT_EQ(UnicodeToCharsetA(u"\u3042", a, "ISO-2022-JP"), 0);
    EXPECT_EQ(a, "\x1b$B$\"\x1b(B");
    EXPECT_EQ(CharsetToUnicodeA(a, u, "ISO-2022-JP"), 0);
    EXPECT_EQ(u, u"\u3042");

    // Invalid input: an error number and Dest unchanged.
    u = u"keep";
    EXPECT_EQ(CharsetToUnicodeA("a\xff" "b", u, "UTF-8"), EILSEQ);
    EXPECT_EQ(u, u"keep");
    EXPECT_NE(CharsetToUnicodeA("a\xc3", u, "UTF-8"), 0);  // cut-off sequence
    EXPECT_EQ(u, u"keep");

    // An unknown set: the system's error and the default conversion.
    EXPECT_NE(UnicodeToCharsetA(u"abc", a, "NO-SUCH-SET"), 0);
    EXPECT_EQ(a, "abc");
    EXPECT_NE(CharsetToUnicodeA("abc", u, "NO-SUCH-SET"), 0);
    EXPECT_EQ(u, u"abc");

    EXPECT_EQ(UnicodeToCharsetA(u"", a, "UTF-8"), 0);
    EXPECT_EQ(a, "");
    EXPECT_EQ(CharsetBufToUnicode(nullptr, 0, u, "UTF-8"), 0);
    EXPECT_EQ(u, u"");
}

TEST(SysCharset, LongTextsConvertWhole) {
    UnicodeString big;
    for (int i = 0; i < 20000; ++i) big.push_back(static_cast<char16_t>(i % 3 ? u'\u3042' : u'a'));
    AnsiString a;
    ASSERT_EQ(UnicodeToCharsetA(big, a, "ISO-2022-JP"), 0);
    UnicodeString back;
    ASSERT_EQ(CharsetToUnicodeA(a, back, "ISO-2022-JP"), 0);
    EXPECT_EQ(back, big);
}

TEST(SysCharset, Utf8KeepsCharactersBeyondTheBasicPlane) {
    const AnsiString grin = "x\xf0\x9f\x98\x80y";
    const UnicodeString want = u"x\U0001F600y";
    EXPECT_EQ(Utf8BufToUnicodeU(grin.data(), static_cast<int32_t>(grin.size())), want);
    EXPECT_EQ(UnicodeToUtf8A(want), grin);
    // A surrogate without its partner cannot be written: "?" in its place.
    EXPECT_EQ(UnicodeToUtf8A(u"a\xd83d" u"b"), "a?b");
    EXPECT_EQ(UnicodeToUtf8A(u"a\xd83d"), "a?");
    EXPECT_EQ(UnicodeToUtf8A(u"\xde00z"), "?z");
}

TEST(SysCharset, Utf8FallbackWidensEachByte) {
    const char bad[] = "a\xe9" "b";
    EXPECT_EQ(Utf8BufToUnicodeU(bad, 3), u"a\u00e9b");
    EXPECT_EQ(Utf8BufToUnicodeU("\xc3\xa9", 2), u"\u00e9");
    EXPECT_EQ(Utf8BufToUnicodeU(nullptr, 0), u"");
}

TEST(SysCharset, DefaultConversionIsLenientUtf8) {
    EXPECT_EQ(DefaultAnsiToUnicodeU("plain"), u"plain");
    EXPECT_EQ(DefaultUnicodeToAnsiA(u"plain"), "plain");
    EXPECT_EQ(DefaultAnsiToUnicodeU("\xc3\xa9\xff\xc0\x80"), u"\u00e9\u00ff\u00c0\u0080");
    EXPECT_EQ(DefaultUnicodeToAnsiA(u"\u00e9\u20ac\U0001F600"), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
}

// Every UTF-8 routine agrees on every input: validity, decoding (the strict ones refuse, the
// system's decoder stops, the lenient ones widen the bad bytes) and encoding back.
TEST(SysCharset, EveryUtf8RoutineAgrees) {
    struct Case {
        AnsiString bytes;
        bool valid;
        UnicodeString prefix;  // what decodes before the first bad sequence
    } cases[] = {
        {"", true, u""},
        {"plain", true, u"plain"},
        {"\xc3\xa9\xe2\x82\xac", true, u"\u00e9\u20ac"},
        {"x\xf0\x9f\x98\x80y", true, u"x\U0001F600y"},
        {"\xf0\x90\x80\x8a", true, u"\U0001000A"},  // once cut to 16 bits: a line feed
        {"\xf0\x90\x80\x80", true, u"\U00010000"},  // once cut to 16 bits: a NUL
        {"\xf4\x8f\xbf\xbf", true, u"\U0010FFFF"},
        {"\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf", true, u"\ud7ff\ue000\uffff"},
        {AnsiString("a\0b", 3), true, UnicodeString(u"a\0b", 3)},
        {"a\xc0\xaf", false, u"a"},          // overlong "/"
        {"a\xc1\xbf", false, u"a"},
        {"a\xe0\x80\x8a", false, u"a"},      // overlong line feed
        {"a\xf0\x80\x80\x8a", false, u"a"},  // overlong line feed
        {"a\xed\xa0\x80", false, u"a"},      // surrogate
        {"a\xed\xbf\xbfz", false, u"a"},
        {"a\xf4\x90\x80\x80", false, u"a"},  // above U+10FFFF
        {"a\xf5\x80\x80\x80", false, u"a"},
        {"a\xff", false, u"a"},
        {"a\x80", false, u"a"},
        {"a\xc3(", false, u"a"},
        {"a\xe2\x82", false, u"a"},           // cut off by the end
    };
    TAnsiUnicodeConverter conv;
    conv.SetCharset(u"utf-8");
    const TIconvHandle iconvIn = OpenIconv(UnicodeCharsetName, "UTF-8");
    ASSERT_NE(iconvIn, InvalidIconv());
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        const char* p = c.bytes.data();
        const int32_t n = static_cast<int32_t>(c.bytes.size());
        EXPECT_EQ(IsValidUtf8A(c.bytes), c.valid);
        EXPECT_EQ(DecodeUtf8U(c.bytes), c.prefix);
        UnicodeString strict = u"keep", viaName = u"keep", viaIconv = u"keep";
        EXPECT_EQ(Utf8ToUnicodeStrict(p, n, strict) == 0, c.valid);
        EXPECT_EQ(CharsetBufToUnicode(p, n, viaName, "UTF-8") == 0, c.valid);
        EXPECT_EQ(IconvBufToUnicode(iconvIn, p, n, viaIconv) == 0, c.valid);  // the C library agrees
        if (c.valid) {
            for (const UnicodeString* u : {&strict, &viaName, &viaIconv}) EXPECT_EQ(*u, c.prefix);
            EXPECT_EQ(DefaultAnsiToUnicodeU(c.bytes), c.prefix);
            EXPECT_EQ(Utf8BufToUnicodeU(p, n), c.prefix);
            EXPECT_EQ(conv.ToUnicode(c.bytes), c.prefix);
            EXPECT_EQ(UnicodeToUtf8A(c.prefix), c.bytes);
            EXPECT_EQ(DefaultUnicodeToAnsiA(c.prefix), c.bytes);
            EXPECT_EQ(conv.FromUnicode(c.prefix), c.bytes);
        } else {
            EXPECT_EQ(strict, u"keep");
            EXPECT_EQ(viaName, u"keep");
            EXPECT_EQ(Utf8BufToUnicodeU(p, n), WidenBufU(p, n));
            // The lenient decoders never form a character from a bad sequence.
            const UnicodeString lenient = DefaultAnsiToUnicodeU(c.bytes);
            EXPECT_EQ(conv.ToUnicode(c.bytes), lenient);
            EXPECT_EQ(lenient.find(u'\n'), UnicodeString::npos);
            EXPECT_EQ(lenient.find(u'/'), UnicodeString::npos);
            for (char16_t u : lenient) EXPECT_FALSE(u >= 0xD800 && u <= 0xDFFF);
        }
    }
    CloseIconv(iconvIn);
}

TEST(SysCharset, BlankCharsetNamesAreRefused) {
    for (const char* name : {"", " ", "\t "}) {
        AnsiString a = "old";
        EXPECT_EQ(UnicodeToCharsetA(u"\u00e9", a, name), EINVAL) << '"' << name << '"';
        EXPECT_EQ(a, "\xc3\xa9");  // the default conversion, not the locale's ASCII
        UnicodeString u;
        EXPECT_EQ(CharsetToUnicodeA("\xc3\xa9", u, name), EINVAL);
        EXPECT_EQ(u, u"\u00e9");
        EXPECT_EQ(OpenIconv(name, "UTF-8"), InvalidIconv());
    }
}

TEST(SysCharset, ACharacterANarrowSetLacksBecomesOneQuestionMark) {
    AnsiString a;
    EXPECT_EQ(UnicodeToCharsetA(u"a\U0001F600b\U0001F600", a, "ISO8859-1"), 0);
    EXPECT_EQ(a, "a?b?");
    EXPECT_EQ(UnicodeToCharsetA(u"a\xd83d" u"b", a, "ISO8859-1"), 0);  // a lone surrogate too
    EXPECT_EQ(a, "a?b");
}

TEST(SysCharset, ClosedDescriptorUsesTheDefaultConversion) {
    AnsiString a = "old";
    EXPECT_EQ(IconvFromUnicode(InvalidIconv(), u"\u00e9", a), 0);
    EXPECT_EQ(a, "\xc3\xa9");
    UnicodeString u = u"old";
    EXPECT_EQ(IconvToUnicode(InvalidIconv(), "", u), 0);
    EXPECT_EQ(u, u"");
}

// Two iconv stand-ins that differ only in the declaration of their input pointer, as the C
// library's and GNU libiconv's do. Each takes at most two bytes per call (so the caller's pointer
// must advance between calls), writes them upper-cased, and on the flush call (null input) writes
// one '!'. They note the descriptor they were given.
void* StandInCd = nullptr;

template <class InChar>
size_t StandInIconv(void* Cd, InChar** In, size_t* InLeft, char** Out, size_t* OutLeft) {
    StandInCd = Cd;
    if (In == nullptr || *In == nullptr) {
        *(*Out)++ = '!';
        --*OutLeft;
        return 0;
    }
    const size_t n = std::min({*InLeft, *OutLeft, size_t{2}});
    for (size_t i = 0; i < n; ++i)
        *(*Out)++ = static_cast<char>(std::toupper(static_cast<unsigned char>((*In)[i])));
    *In += n;
    *InLeft -= n;
    *OutLeft -= n;
    if (*InLeft == 0) return 0;
    errno = E2BIG;
    return static_cast<size_t>(-1);
}
size_t StandInCharInput(void* Cd, char** In, size_t* InLeft, char** Out, size_t* OutLeft) {
    return StandInIconv(Cd, In, InLeft, Out, OutLeft);
}
size_t StandInConstInput(void* Cd, const char** In, size_t* InLeft, char** Out, size_t* OutLeft) {
    return StandInIconv(Cd, In, InLeft, Out, OutLeft);
}

template <class InChar>
void ExpectIconvCalledThrough(size_t (*Fn)(void*, InChar**, size_t*, char**, size_t*)) {
    int cd = 0;
    char text[] = "abcde";
    char* ip = text;
    size_t il = 5;
    char buf[8] = {};
    char* op = buf;
    size_t ol = sizeof buf;
    for (int pass = 0; pass < 5 && il > 0; ++pass) CallIconv(Fn, &cd, &ip, &il, &op, &ol);
    EXPECT_EQ(ip, text + 5);
    EXPECT_EQ(il, 0u);
    EXPECT_EQ(StandInCd, &cd);
    EXPECT_EQ(CallIconv(Fn, nullptr, nullptr, nullptr, &op, &ol), 0u);
    EXPECT_EQ(StandInCd, nullptr);
    EXPECT_EQ(std::string(buf, op), "ABCDE!");
    EXPECT_EQ(ol, sizeof buf - 6);
}

TEST(SysCharset, IconvOfEitherInputDeclarationIsCalledThroughOneAdapter) {
    ExpectIconvCalledThrough(&StandInCharInput);
    ExpectIconvCalledThrough(&StandInConstInput);
}

}  // namespace
}  // namespace zel

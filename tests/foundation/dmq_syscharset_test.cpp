#include "foundation/dmq_syscharset.hpp"

#include <gtest/gtest.h>

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

TEST(SysCharset, ClosedDescriptorUsesTheDefaultConversion) {
    AnsiString a = "old";
    EXPECT_EQ(IconvFromUnicode(InvalidIconv(), u"\u00e9", a), 0);
    EXPECT_EQ(a, "\xc3\xa9");
    UnicodeString u = u"old";
    EXPECT_EQ(IconvToUnicode(InvalidIconv(), "", u), 0);
    EXPECT_EQ(u, u"");
}

}  // namespace
}  // namespace zel

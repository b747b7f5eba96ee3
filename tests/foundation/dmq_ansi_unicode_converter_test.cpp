#include "foundation/dmq_ansi_unicode_converter.hpp"

#include <gtest/gtest.h>

#include <string>

namespace zel {
namespace {

std::string MessageOf(UnicodeView name, UnicodeView prefix) {
    try {
        CheckCharsetName(name, prefix, DefaultConverterOptions());
    } catch (const EAnsiUnicodeConverterInvalidCharsetName& e) {
        return e.Message();
    }
    return "(accepted)";
}

TEST(AnsiUnicodeConverter, NameIsTrimmedAndUpperCased) {
    TAnsiUnicodeConverter c;
    EXPECT_FALSE(c.IsOpen());
    c.SetCharset(u"  utf-8 ");
    EXPECT_TRUE(c.IsOpen());
    EXPECT_FALSE(c.IsBinary());
    EXPECT_EQ(c.CharsetNameA(), "UTF-8");
    EXPECT_EQ(c.CharsetName(), u"UTF-8");
    c.SetCharset(u"UTF-8");
    EXPECT_TRUE(c.IsOpen());
    EXPECT_EQ(c.ToUnicode("\xc3\xa9"), u"\u00e9");
    EXPECT_EQ(c.FromUnicode(u"\u00e9"), "\xc3\xa9");
    EXPECT_EQ(c.ToUnicode(""), u"");
    EXPECT_EQ(c.FromUnicode(u""), "");
}

TEST(AnsiUnicodeConverter, BinaryPassesEveryByteThroughBothWays) {
    TAnsiUnicodeConverter c;
    c.SetCharset(u"bin");
    EXPECT_TRUE(c.IsBinary());
    EXPECT_FALSE(c.IsOpen());
    EXPECT_EQ(c.ToUnicode("\xc3\xa9"), u"\u00c3\u00a9");
    EXPECT_EQ(c.ToUnicode("\xe9"), u"\u00e9");
    EXPECT_EQ(c.FromUnicode(u"\u00e9"), "\xe9");
    AnsiString all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    UnicodeString inside = c.ToUnicode(all);
    ASSERT_EQ(inside.size(), 256u);
    for (int b = 0; b < 256; ++b) EXPECT_EQ(inside[b], static_cast<char16_t>(b));
    EXPECT_EQ(c.FromUnicode(inside), all);
    EXPECT_EQ(c.BufToUnicode(all.data() + 200, 3), u"\u00c8\u00c9\u00ca");
}

TEST(AnsiUnicodeConverter, LeavingBinaryOpensIconv) {
    TAnsiUnicodeConverter c;
    c.SetCharset(u"BIN");
    c.SetCharset(u"KOI8-R");
    EXPECT_FALSE(c.IsBinary());
    EXPECT_TRUE(c.IsOpen());
    EXPECT_EQ(c.ToUnicode("\xc1\xc2"), u"\u0430\u0431");
    EXPECT_EQ(c.FromUnicode(u"\u0430\u0431"), "\xc1\xc2");
    c.SetCharset(u"ISO8859-1");
    EXPECT_EQ(c.FromUnicode(u"1\u20ac2"), "1?2");
    EXPECT_EQ(c.ToUnicode("\xe9"), u"\u00e9");
}

TEST(AnsiUnicodeConverter, UnknownNameFailsEveryTime) {
    TAnsiUnicodeConverter c;
    c.SetCharset(u"KOI8-R");
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            c.SetCharset(u" no-such-set ");
            ADD_FAILURE() << "accepted on attempt " << attempt;
        } catch (const EAnsiUnicodeConverterInvalidCharsetName& e) {
            EXPECT_EQ(e.Message(), "Invalid or unknown charset name:  no-such-set ");
            EXPECT_STREQ(e.ClassName(), "EAnsiUnicodeConverterInvalidCharsetName");
        }
        EXPECT_EQ(c.CharsetNameA(), "NO-SUCH-SET");
        EXPECT_FALSE(c.IsOpen());
        EXPECT_FALSE(c.IsBinary());
    }
    // Closed: the default conversion, which keeps ASCII.
    EXPECT_EQ(c.ToUnicode("abc"), u"abc");
    EXPECT_EQ(c.FromUnicode(u"abc"), "abc");
    // The name that failed may be followed by a good one.
    c.SetCharset(u"UTF-8");
    EXPECT_TRUE(c.IsOpen());
}

TEST(AnsiUnicodeConverter, NamesThatOnlyNarrowToAValidNameAreRefused) {
    // U+0155 narrows to "U", a NUL would cut the name short.
    EXPECT_NE(MessageOf(u"\u0155TF-8", u""), "(accepted)");
    EXPECT_NE(MessageOf(UnicodeString(u"UTF-8\0X", 7), u""), "(accepted)");
    // A blank name would open the locale's codeset.
    EXPECT_EQ(MessageOf(u"", u"Charset"), "Charset: Invalid or unknown charset name: ");
    EXPECT_EQ(MessageOf(u" \t ", u""), "Invalid or unknown charset name:  \t ");
    TAnsiUnicodeConverter c;
    EXPECT_THROW(c.SetCharset(u"  "), EAnsiUnicodeConverterInvalidCharsetName);
    EXPECT_FALSE(c.IsOpen());
}

TEST(AnsiUnicodeConverter, Utf8AndNarrowSetsKeepCharactersBeyondTheBasicPlane) {
    TAnsiUnicodeConverter c;
    c.SetCharset(u"UTF8");
    EXPECT_TRUE(c.IsOpen());
    EXPECT_EQ(c.ToUnicode("\xf0\x9f\x98\x80"), u"\U0001F600");
    EXPECT_EQ(c.FromUnicode(u"\U0001F600"), "\xf0\x9f\x98\x80");
    c.SetCharset(u"KOI8-R");
    EXPECT_EQ(c.FromUnicode(u"\u0430\U0001F600\u0431"), "\xc1?\xc2");
}

// Each byte that does not convert becomes one "?", the rest converts as it is; the whole-text
// fallback of ToUnicode would keep such bytes as they are.
TEST(AnsiUnicodeConverter, ToUnicodeReplacingMarksEachByteThatDoesNotConvert) {
    const struct {
        const char16_t* Set;
        std::string In;
        UnicodeString Out;
    } cases[] = {
        {u"UTF-8", "\xFF\xFE\x80", u"???"},
        {u"UTF-8", "Gr\xC3\xBC\xC3\x9F" "e\xC3", u"Gr\u00fc\u00dfe?"},
        {u"UTF-8", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
        {u"ISO-8859-1", "\xE9t\xE9", u"\u00e9t\u00e9"},
        {u"SHIFT_JIS", "a\x81", u"a?"},        // cut inside a character at the end
        {u"SHIFT_JIS", "\x82\xA0" "b", u"\u3042b"},
        {u"BIN", "\xFF", u"\u00ff"},
    };
    for (const auto& c : cases) {
        TAnsiUnicodeConverter conv;
        conv.SetCharset(c.Set);
        EXPECT_EQ(conv.ToUnicodeReplacing(c.In), c.Out) << c.In;
    }
}

TEST(AnsiUnicodeConverter, CheckCharsetNamePrefixesTheMessage) {
    EXPECT_EQ(MessageOf(u"utf-8", u"SystemCharsetName"), "(accepted)");
    EXPECT_EQ(MessageOf(u"bin", u"x"), "(accepted)");
    EXPECT_EQ(MessageOf(u"XYZ", u""), "Invalid or unknown charset name: XYZ");
    EXPECT_EQ(MessageOf(u"XYZ", u"[System] Charset\u00e9"),
              "[System] Charset\xc3\xa9: Invalid or unknown charset name: XYZ");
}

}  // namespace
}  // namespace zel

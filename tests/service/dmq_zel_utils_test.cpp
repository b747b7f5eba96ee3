#include "service/dmq_zel_utils.hpp"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.hpp"
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_inifile_utf8.hpp"

namespace zel {
namespace {

// ---------------------------------------------------------------------------------------------
// Source ids

TEST(UtilsIdTest, CheckCharacters) {
    EXPECT_EQ(AddIdCheckChars("kAFQmDzST7DWlj99KOF]cg"), "kAFQmDzST7DWlj99KOF]cgkd");
    EXPECT_EQ(AddIdCheckChars("1B2M2Y8AsgTpgAmY7PhCfg=="), "1B2M2Y8AsgTpgAmY7PhCfgR5");
    EXPECT_THROW(AddIdCheckChars("short"), Exception);

    EXPECT_TRUE(IsValidSourceId("kAFQmDzST7DWlj99KOF]cgkd"));
    EXPECT_TRUE(IsValidSourceId("1B2M2Y8AsgTpgAmY7PhCfgR5"));
    EXPECT_FALSE(IsValidSourceId("kAFQmDzST7DWlj99KOF]cgkD"));
    EXPECT_FALSE(IsValidSourceId("kAFQmDzST7DWlj99KOF]chkd"));
    EXPECT_FALSE(IsValidSourceId("kAFQmDzST7DWlj99KOF]cgk"));
    EXPECT_FALSE(IsValidSourceId(nullptr, 24));
}

TEST(UtilsIdTest, CalcSourceId) {
    AnsiString digest;
    EXPECT_EQ(CalcSourceId("abc", digest), "kAFQmDzST7DWlj99KOF]cgkd");
    EXPECT_EQ(digest, AnsiString("\x90\x01\x50\x98\x3c\xd2\x4f\xb0\xd6\x96\x3f\x7d\x28\xe1\x7f\x72", 16));
    EXPECT_EQ(CalcSourceId(""), "1B2M2Y8AsgTpgAmY7PhCfgR5");
    const char* texts[] = {" ", "someone@example.org", "\xff\x00x"};
    for (const char* t : texts) {
        const AnsiString id = CalcSourceId(t);
        EXPECT_EQ(id.size(), 24u);
        EXPECT_TRUE(IsValidSourceId(id)) << t;
    }
}

TEST(UtilsIdTest, Normalize) {
    const struct {
        const char* In;
        bool Ok;
        const char* Out;
        bool Changed;
    } cases[] = {
        {"kAFQmDzST7DWlj99KOF]cg", true, "kAFQmDzST7DWlj99KOF]cgkd", true},
        {"kAFQmDzST7DWlj99KOF]cg==", true, "kAFQmDzST7DWlj99KOF]cgkd", true},
        {"kAFQmDzST7DWlj99KOF]cgkd", true, "kAFQmDzST7DWlj99KOF]cgkd", false},
        {"kAFQmDzST7DWlj99KOF]cgk", false, "kAFQmDzST7DWlj99KOF]cgk", false},
        {"kAFQmDzST7DWlj99KOF]cgXX", false, "kAFQmDzST7DWlj99KOF]cgXX", false},
        {"", false, "", false},
    };
    for (const auto& c : cases) {
        AnsiString id = c.In;
        bool changed = false;
        EXPECT_EQ(NormalizeSourceId(id, changed), c.Ok) << c.In;
        EXPECT_EQ(id, c.Out);
        EXPECT_EQ(changed, c.Changed) << c.In;
    }
}

// ---------------------------------------------------------------------------------------------
// Tagged fields

int32_t Parse(const std::string& line, std::vector<TTaggedField>& fields, int32_t capacity = 8) {
    fields.assign(static_cast<size_t>(capacity), TTaggedField{});
    // An exact-size heap copy, so that a read past the line's end is caught by the sanitizer.
    std::vector<char> buf(line.begin(), line.end());
    static std::vector<char> keep;  // the fields point into the parsed bytes
    keep = std::move(buf);
    TTaggedFieldParser p;
    p.Fields = fields.data();
    p.Capacity = capacity;
    const int32_t r = ParseTaggedFields(p, keep.data(), static_cast<int32_t>(keep.size()));
    fields.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return r;
}

TEST(UtilsTaggedTest, ResultCodes) {
    const struct {
        std::string Line;
        int32_t Result;
    } cases[] = {
        {"<A>1</A> <B>x<y</B>", 2},
        {"<A>1</A> <B>x<y</B>\r", -2},
        {"", 0},
        {" \t \t", 0},
        {"  <A></A>", 1},
        {"\t<A>v</A>\t<BB>w w</BB>  ", 2},
        {"<A>x</A", -1},       // fewer than 7 bytes
        {"  <A>1<", -1},       // fewer than 7 bytes after the blanks
        {"<A>abcdef", -1},     // value runs to the end without its closing tag
        {"<A>abc</A", -1},     // closing tag cut off
        {"<A>abc</B>xx", -1},  // other closing tag only
        {"<A>abc</AB>", -1},
        {"</A>1</A>", -1},
        {"x<A>1</A>", -1},
        {"<>abc</>", -1},
        {"<A B>1</A B>", -1},
        {"<A>1</A>xyz", -1},
        {"<A\x01>1</A\x01>", -2},
        {"<A>1\x02</A>", -2},
        {"<A>1\t2</A>", 1},
        {"\n<A>1</A>", -2},
        {"<ABCDEFG", -1},  // no ">" at all
        {"<ABCDEF>", -1},  // ">" is the last byte
    };
    for (const auto& c : cases) {
        std::vector<TTaggedField> f;
        EXPECT_EQ(Parse(c.Line, f), c.Result) << c.Line;
    }
}

TEST(UtilsTaggedTest, FieldsPointIntoLine) {
    std::vector<TTaggedField> f;
    ASSERT_EQ(Parse("<A>1</A> <B>x<y</B> <C><A>q</A></C>", f), 3);
    EXPECT_EQ(f[0].TagView(), "A");
    EXPECT_EQ(f[0].ValueView(), "1");
    EXPECT_EQ(f[1].ValueView(), "x<y");
    EXPECT_EQ(f[2].ValueView(), "<A>q</A>");  // values are not unescaped

    // Beyond the capacity fields are parsed and dropped; the line must still be well-formed.
    ASSERT_EQ(Parse("<A>1</A><B>2</B><C>3</C>", f, 2), 2);
    EXPECT_EQ(Parse("<A>1</A><B>2</B><C>3", f, 2), -1);

    std::vector<TTaggedField> table(4);
    const std::string line = "<NN>Room</NN><CT>Town</CT>";
    TTaggedFieldParser p;
    p.Fields = table.data();
    p.Capacity = 4;
    ASSERT_EQ(ParseTaggedFields(p, line.data(), static_cast<int32_t>(line.size())), 2);
    const TTaggedField* ct = FindTaggedField(p, "CT");
    ASSERT_NE(ct, nullptr);
    EXPECT_EQ(ct->ValueView(), "Town");
    EXPECT_EQ(FindTaggedField(p, "C"), nullptr);
    EXPECT_EQ(FindTaggedField(p, "CTX"), nullptr);

    EXPECT_EQ(MakeTagField("NAME", "abc"), "<NAME>abc</NAME>");
    EXPECT_EQ(MakeTagField("", "abc"), "");
    EXPECT_EQ(MakeTagFieldChar("T", '1'), "<T>1</T>");
}

TEST(UtilsTaggedTest, Trim) {
    const std::string s = " \t ab c\r\n";
    const char* p = s.data();
    int32_t len = static_cast<int32_t>(s.size());
    EXPECT_EQ(TrimRightPCharLen(p, len), 7);
    EXPECT_EQ(TrimPCharLen(p, len), 4);
    EXPECT_EQ(AnsiView(p, 4), "ab c");
    const std::string blanks = "   ";
    p = blanks.data();
    len = 3;
    EXPECT_EQ(TrimPCharLen(p, len), 0);
}

// ---------------------------------------------------------------------------------------------
// Items

TEST(UtilsTlvTest, Encode) {
    const struct {
        int32_t N;
        const char* Text;
    } cases[] = {{0, "00"},           {127, "7F"},           {128, "8180"},           {255, "81FF"},
                 {256, "820100"},     {300, "82012C"},       {70000, "83011170"},     {16777215, "83FFFFFF"},
                 {16777216, "8401000000"}, {-1, "84FFFFFFFF"}};
    for (const auto& c : cases) EXPECT_EQ(EncodeTlvLength(c.N), c.Text) << c.N;
    EXPECT_EQ(EncodeTlvLengthNonNeg(-5), "00");
    EXPECT_EQ(MakeTlvValue("abc"), "03abc");
    EXPECT_EQ(MakeTlvItem('5', "abc"), "503abc");
    EXPECT_EQ(MakeTlvItem('5', ""), "");
    char buf[5] = {};
    EXPECT_EQ(WordToHex4(0xBEEF, buf), buf + 4);
    EXPECT_STREQ(buf, "BEEF");
}

TEST(UtilsTlvTest, ReadBoundedRefusesHostileLengths) {
    const std::string big(300, 'x');
    const struct {
        std::string In;
        bool Ok;
        int32_t Len;
        size_t Consumed;
    } cases[] = {
        {"03abc", true, 3, 2},
        {"03ab", false, 0, 0},         // longer than what follows
        {"00", true, 0, 2},
        {"0", false, 0, 0},
        {"7f" + std::string(127, 'y'), true, 127, 2},
        {"80" + std::string(128, 'y'), true, 128, 2},  // 0x80 alone is the length 128
        {"8180" + std::string(128, 'y'), true, 128, 4},
        {"82012C" + big, true, 300, 6},
        {"82012C" + big.substr(1), false, 0, 0},
        {"8201", false, 0, 0},                          // length bytes cut off
        {"85" + std::string(10, '0'), false, 0, 0},     // more than 4 length bytes
        {"FF" + std::string(254, '0'), false, 0, 0},    // 127 length bytes
        {"84FFFFFFFF", false, 0, 0},                    // beyond Int32
        {"8480000000", false, 0, 0},                    // would wrap negative
        {"847FFFFFFF", false, 0, 0},                    // Int32 but more than remains
        {"G1abc", false, 0, 0},
        {"8G", false, 0, 0},
    };
    for (const auto& c : cases) {
        AnsiView rest(c.In);
        int32_t len = -7;
        EXPECT_EQ(ReadTlvLengthBounded(rest, len), c.Ok) << c.In.substr(0, 12);
        if (c.Ok) {
            EXPECT_EQ(len, c.Len);
            EXPECT_EQ(rest.size(), c.In.size() - c.Consumed);
        } else {
            EXPECT_EQ(len, -7);
            EXPECT_EQ(rest.size(), c.In.size());
        }
    }
}

TEST(UtilsTlvTest, ReadNumberByteAndZeroTerminated) {
    const struct {
        const char* In;
        bool Ok;
        int32_t Value;
        size_t Consumed;
    } cases[] = {
        {"7F", true, 127, 2},          {"847FFFFFFF", true, 2147483647, 10}, {"84FFFFFFFF", false, 0, 0},
        {"83011170zz", true, 70000, 8}, {"8301", false, 0, 0},                {"", false, 0, 0},
        {"88000000000000000001", false, 0, 0},
    };
    for (const auto& c : cases) {
        AnsiView rest(c.In);
        int32_t v = -7;
        EXPECT_EQ(ReadTlvNumber(rest, v), c.Ok) << c.In;
        EXPECT_EQ(v, c.Ok ? c.Value : -7);
        EXPECT_EQ(rest.size(), std::string_view(c.In).size() - c.Consumed);

        const char* p = c.In;
        int32_t len = -7;
        EXPECT_EQ(ReadTlvLength(p, len), c.Ok) << c.In;
        EXPECT_EQ(p, c.In + c.Consumed);
        EXPECT_EQ(len, c.Ok ? c.Value : -7);
    }
    AnsiView rest("a5x");
    uint8_t b = 0;
    EXPECT_TRUE(ReadTlvByte(rest, b));
    EXPECT_EQ(b, 0xA5);
    EXPECT_FALSE(ReadTlvByte(rest, b));  // one byte left
    EXPECT_EQ(rest, "x");
}

// ---------------------------------------------------------------------------------------------
// Extension flags

TEST(UtilsFlagsTest, TextsLettersAndAdjust) {
    EXPECT_EQ(ExtensionFlagsToText(0), u"");
    EXPECT_EQ(ExtensionFlagsToText(0x1FDF),
              u"DIFF, UTF8, SoundAck, ShortFrames, CompressList, SpeakerInfo, TempMuteBlock, "
              u"NetChangeInfo, MoveClient, CacheList, Extender1");
    EXPECT_EQ(ExtensionFlagsToText(0x2 | 0x10), u"COUNT, ShortFrames");
    EXPECT_EQ(ExtensionFlagsToLetters(0), u"..........");
    EXPECT_EQ(ExtensionFlagsToLetters(0xFDF), u"DUASZITGVH");
    EXPECT_EQ(ExtensionFlagsToLetters(0x1 | 0x800), u"N........H");

    const struct {
        uint32_t In, Out;
    } cases[] = {
        {0x0, 0x0},        {0xFFC, 0x114},   // format 0 keeps only SoundAck, ShortFrames, TempMuteBlock
        {0x2 | 0x80, 0x2}, {0x1 | 0x20, 0x1}, {0x1 | 0x8 | 0x80, 0x1 | 0x8 | 0x80},
        {0x3 | 0x880, 0xB}, {0x3 | 0x8 | 0x400, 0x3 | 0x8 | 0x400}, {0x2 | 0x8 | 0x800, 0x2 | 0x8 | 0x800},
    };
    for (const auto& c : cases) EXPECT_EQ(AdjustExtensionFlags(c.In), c.Out) << std::hex << c.In;
}

// ---------------------------------------------------------------------------------------------
// Option parsers

TEST(UtilsParsersTest, PortsIpVersionProxyReopen) {
    const struct {
        std::u16string_view Text;
        bool Ok;
        uint16_t Port;
    } ports[] = {{u"80", true, 80},       {u" 65535 ", true, 65535}, {u"010025", true, 10025},
                 {u"0", false, 9},        {u"65536", false, 9},      {u"-1", false, 9},
                 {u"12a", false, 9},      {u"", false, 9}};
    for (const auto& c : ports) {
        uint16_t p = 9;
        EXPECT_EQ(ParsePortU(c.Text, p), c.Ok);
        EXPECT_EQ(p, c.Port);
        uint16_t pa = 9;
        const AnsiString a(c.Text.begin(), c.Text.end());
        EXPECT_EQ(ParsePortA(a, pa), c.Ok);
        EXPECT_EQ(pa, c.Port);
    }

    const struct {
        std::u16string_view Text;
        bool Ok;
        uint8_t V;
    } ips[] = {{u"46", true, 0}, {u" 64", true, 0}, {u"4", true, 1}, {u"6 ", true, 2},
               {u"5", false, 9}, {u"", false, 9},   {u"466", false, 9}};
    for (const auto& c : ips) {
        uint8_t v = 9;
        EXPECT_EQ(ParseIPVersion(c.Text, v), c.Ok);
        EXPECT_EQ(v, c.V);
    }

    using P = TZELProxyType;
    const struct {
        std::u16string_view Text;
        bool Ok;
        P T;
    } proxies[] = {{u"non", true, P::ZEL_PROXY_TYPE_NONE},      {u"Syst", true, P::ZEL_PROXY_TYPE_SYSTEM},
                   {u"s", true, P::ZEL_PROXY_TYPE_SYSTEM},      {u"ht", true, P::ZEL_PROXY_TYPE_HTTP},
                   {u"socks4", true, P::ZEL_PROXY_TYPE_SOCKS4}, {u"S5", true, P::ZEL_PROXY_TYPE_SOCKS5},
                   {u"SOCKS", false, P::ZEL_PROXY_TYPE_HTTP},   {u"", false, P::ZEL_PROXY_TYPE_HTTP}};
    for (const auto& c : proxies) {
        P t = P::ZEL_PROXY_TYPE_HTTP;
        EXPECT_EQ(ParseProxyType(c.Text, t), c.Ok);
        EXPECT_EQ(t, c.T);
    }

    using R = TZELReopenLogSignal;
    const struct {
        std::u16string_view Text;
        bool Ok;
        R S;
    } sigs[] = {{u" hup ", true, R::rls_SIGHUP}, {u"2", true, R::rls_SIGUSR2},  {u"u1", true, R::rls_SIGUSR1},
                {u"SigUsr2", true, R::rls_SIGUSR2}, {u"3", false, R::rls_SIGUSR1}, {u"USR3", false, R::rls_SIGUSR1}};
    for (const auto& c : sigs) {
        R s = R::rls_SIGUSR1;
        EXPECT_EQ(ParseReopenLogSignal(c.Text, s), c.Ok);
        EXPECT_EQ(s, c.S);
    }
    EXPECT_EQ(StrToReopenLogSignalDef(u"bogus"), R::rls_SIGHUP);
    EXPECT_EQ(StrToReopenLogSignalDef(u"usr2"), R::rls_SIGUSR2);
}

TEST(UtilsParsersTest, DecodeEscapes) {
    const struct {
        std::u16string_view Text;
        char16_t Out;
    } cases[] = {
        {u"\\x09", u'\t'},  {u"\\X3b", u';'},   {u"\\9", u'\t'},     {u",", u','},       {u";;", u';'},
        {u"\\xzz", u'#'},   {u"\\", u'#'},      {u"", u'#'},         {u"\\ux2022", u'\x2022'},
        {u"\\UXFFFF", u'\xFFFF'}, {u"\\ux10000", u'#'}, {u"\\65536", u'#'}, {u"\\-1", u'#'}, {u"\\u", u'#'},
        // NUL would end every C text the delimiter goes into.
        {u"\\x0", u'#'}, {u"\\0", u'#'}, {u"\\UX0000", u'#'}, {std::u16string_view(u"\0;", 2), u'#'},
        {u"\\x1", u'\x01'}, {u"\t", u'\t'},
    };
    for (const auto& c : cases) EXPECT_EQ(DecodeEscapes(c.Text, u'#'), c.Out);
}

// ---------------------------------------------------------------------------------------------
// Names, paths and small helpers

TEST(UtilsPathTest, ResolveAndFileNames) {
    const struct {
        std::u16string_view Name, Base, Out;
    } cases[] = {
        {u"a.log", u"/opt/zel", u"/opt/zel/a.log"},
        {u"../log/a.log", u"/opt/zel/bin", u"/opt/zel/log/a.log"},
        {u"./x//y", u"/opt/", u"/opt/x/y"},
        {u"../../../../a", u"/opt", u"/a"},
        {u"/abs/../kept", u"/opt", u"/abs/../kept"},
        {u"dir/", u"/opt", u"/opt/dir/"},
    };
    for (const auto& c : cases) EXPECT_EQ(ResolvePath(c.Name, c.Base), c.Out);

    EXPECT_EQ(MakeLogFileName(u"  ", u"zelserver.log", u"/opt/zel"), u"/opt/zel/zelserver.log");
    EXPECT_EQ(MakeLogFileName(u" /var/log/z.log ", u"zelserver.log", u"/opt/zel"), u"/var/log/z.log");
    EXPECT_EQ(MakePidFileName(u"", u"zelserver.pid", ZELDefaultRunDir, u"/opt/zel"), u"/var/run/zelserver.pid");
    EXPECT_EQ(MakePidFileName(u"run/z.pid", u"zelserver.pid", ZELDefaultRunDir, u"/opt/zel"),
              u"/opt/zel/run/z.pid");
    EXPECT_EQ(MakePidFileName(u"/tmp/z.pid", u"zelserver.pid", ZELDefaultRunDir, u"/opt/zel"), u"/tmp/z.pid");
}

TEST(UtilsMiscTest, SmallHelpers) {
    EXPECT_EQ(ClientTypeFromBand("Crosslink"), TZELClientType::clt_CROSSLINK);
    EXPECT_EQ(ClientTypeFromBand("PC Only"), TZELClientType::clt_PC);
    EXPECT_EQ(ClientTypeFromBand("crosslink"), TZELClientType::clt_GATEWAY);
    EXPECT_EQ(ClientTypeFromBand(""), TZELClientType::clt_GATEWAY);

    const struct {
        int64_t In;
        bool Ok;
        int64_t Out;
    } clamps[] = {{0, true, 0}, {2147483647, true, 2147483647}, {2147483648LL, true, 2147483647},
                  {INT64_MAX, true, 2147483647}, {-1, false, -1}};
    for (const auto& c : clamps) {
        int64_t v = c.In;
        EXPECT_EQ(ClampToMaxInt32(v), c.Ok);
        EXPECT_EQ(v, c.Out);
    }

    EXPECT_EQ(CleanLogText(u"a\tb\r\nc\x01\x1f" u"d\x7f"), u"a\tbcd\x7f");
    const UnicodeString longText(600, u'x');
    EXPECT_EQ(CleanLogText(u"\n\n" + longText).size(), 500u);

    TZELClientRec rec;
    rec.Id.assign(1, u'x');  // a literal here trips a false -Wrestrict warning in the ASan build
    rec.ClientType = 0;
    rec.Utf8 = 1;
    ClearClientRec(rec);
    EXPECT_TRUE(rec.Id.empty());
    EXPECT_EQ(rec.ClientType, 2);
    EXPECT_EQ(rec.Utf8, 0);
}

// What may stand in a tagged element that others read: no '<', '>' or byte below 32.
TEST(UtilsMiscTest, SafeElementTextsAndEscapedLogTexts) {
    for (const char* ok : {"", "DL1ABC/P", "Saint-\xC3\x89tienne & \"Co\" (70%)", "a@b.c", "x\x7F\xFF"})
        EXPECT_TRUE(IsSafeElementTextA(ok)) << ok;
    for (const char* bad : {"A<B", "B>", "</ID>", "a\tb", "a\r\nb", "\x1B"}) EXPECT_FALSE(IsSafeElementTextA(bad)) << bad;
    EXPECT_FALSE(IsSafeElementTextA(AnsiView("a\0b", 3)));
    EXPECT_TRUE(IsSafeElementTextU(u"Gr\u00fc\u00dfe \U0001F600"));
    EXPECT_FALSE(IsSafeElementTextU(u"x\u0009y"));
    EXPECT_FALSE(IsSafeElementTextU(u"<ID>"));

    // Characters stay; C0, DEL, C1 and the backslash are escaped.
    EXPECT_EQ(EscapeLogTextU(u"Gr\u00fc\u00dfe\r\n\t\\\u007F\u0085\u00A0\u20AC"),
              u"Gr\u00fc\u00dfe\\x0D\\x0A\\x09\\x5C\\x7F\\x85\u00A0\u20AC");
}

TEST(UtilsMiscTest, EncodeCutToBytesKeepsWholeCharacters) {
    TAnsiUnicodeConverter conv;
    conv.SetCharset(u"UTF-8");
    const UnicodeView text = u"a\u00e9\u20ac";  // 1 + 2 + 3 bytes
    const struct {
        int32_t Max;
        const char* Out;
    } cases[] = {{6, "a\xc3\xa9\xe2\x82\xac"}, {5, "a\xc3\xa9"}, {3, "a\xc3\xa9"}, {2, "a"}, {1, "a"}, {0, ""}};
    for (const auto& c : cases) EXPECT_EQ(EncodeCutToBytes(conv, c.Max, text), c.Out) << c.Max;
}

TEST(UtilsMiscTest, EncodeCutToBytesInOtherSetsAndAtSurrogates) {
    const UnicodeString pair = u"\xD83D\xDE00";  // one character, 4 bytes in UTF-8
    const struct {
        const char16_t* Set;
        UnicodeString Text;
        int32_t Max;
        std::string Out;
    } cases[] = {
        {u"UTF-8", u"ab" + pair + u"c", 5, "ab"},
        {u"UTF-8", u"ab" + pair + u"c", 6, "ab\xF0\x9F\x98\x80"},
        // The cut falls between the halves of a pair: the high half goes with it.
        {u"UTF-8", u"ab" + pair, 3, "ab"},
        // A lone high surrogate is a character of its own ("?"), kept at the cut.
        {u"UTF-8", UnicodeString(u"ab\xD800") + u"c", 3, "ab?"},
        {u"UTF-16LE", u"abc", 5, std::string("a\0b\0", 4)},
        {u"UTF-16LE", u"a" + pair + u"b", 5, std::string("a\0", 2)},
        {u"UTF-16LE", u"a" + pair + u"b", 6, std::string("a\0\x3D\xD8\x00\xDE", 6)},
        {u"ISO-8859-1", u"x\u20ACy", 2, "x?"},
        // A pair the set cannot hold is one "?": two units, one byte. Cutting by units first
        // would leave a byte of room unused.
        {u"ISO-8859-1", u"abcdef" + pair + u"gh", 8, "abcdef?g"},
        {u"ISO-8859-1", u"a" + pair + u"bcdefghij", 5, "a?bcd"},
        {u"UTF-16LE", pair + pair + u"a", 8, std::string("\x3D\xD8\x00\xDE\x3D\xD8\x00\xDE", 8)},
        {u"ISO-8859-1", u"\u00e9t\u00e9", 3, "\xE9t\xE9"},
    };
    for (const auto& c : cases) {
        TAnsiUnicodeConverter conv;
        conv.SetCharset(c.Set);
        EXPECT_EQ(EncodeCutToBytes(conv, c.Max, c.Text), c.Out) << UnicodeToUtf8A(c.Set) << " " << c.Max;
    }
}

// Client texts take this path: a long text is converted a few times, not once per unit dropped.
TEST(UtilsMiscTest, EncodeCutToBytesIsNotQuadratic) {
    const UnicodeString euros(32768, u'\u20AC');  // 3 bytes each in UTF-8, 1 in Windows-1252
    for (const char16_t* set : {u"UTF-8", u"WINDOWS-1252", u"UTF-16LE"}) {
        TAnsiUnicodeConverter conv;
        conv.SetCharset(set);
        const auto t0 = std::chrono::steady_clock::now();
        const AnsiString cut = EncodeCutToBytes(conv, 32768, euros + euros);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
        EXPECT_LE(cut.size(), 32768u) << UnicodeToUtf8A(set);
        EXPECT_GE(cut.size(), 32768u - 2u) << UnicodeToUtf8A(set);
        EXPECT_LT(ms.count(), 500) << UnicodeToUtf8A(set);
    }
}

// ---------------------------------------------------------------------------------------------
// Files

class UtilsFileTest : public test::TempDirTest {
protected:
    std::string Path(const char* name) const { return dir_ + "/" + name; }
};

TEST_F(UtilsFileTest, IniReadPort) {
    const std::string name = Path("server.ini");
    Put(name, "[Command]\nA=10025\nB= 010025 \nC=0\nD=port\nE=65536\n");
    TIniFileUTF8 ini(name, true);
    EXPECT_EQ(IniReadPort(ini, u"Command", u"A", 7), 10025);
    EXPECT_EQ(IniReadPort(ini, u"Command", u"B", 7), 10025);
    EXPECT_EQ(IniReadPort(ini, u"Command", u"C", 7), 7);
    EXPECT_EQ(IniReadPort(ini, u"Command", u"D", 7), 7);
    EXPECT_EQ(IniReadPort(ini, u"Command", u"E", 7), 7);
    EXPECT_EQ(IniReadPort(ini, u"Command", u"Missing", 10023), 10023);
}

TEST_F(UtilsFileTest, WriteTest) {
    const std::string pid = Path("z.pid");
    EXPECT_TRUE(MakeWriteTest(pid));
    EXPECT_NE(access((pid + ".$tmp$").c_str(), F_OK), 0);
    EXPECT_THROW(MakeWriteTest(Path("missing/z.pid")), EFileException);

    // A link planted under the old fixed name, or dangling: its target stays untouched.
    const std::string victim = Path("victim");
    Put(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), (pid + ".$tmp$").c_str()), 0);
    EXPECT_TRUE(MakeWriteTest(pid));
    EXPECT_EQ(Get(victim), "precious");
    ASSERT_EQ(unlink(victim.c_str()), 0);
    EXPECT_TRUE(MakeWriteTest(pid));
    EXPECT_NE(access(victim.c_str(), F_OK), 0);
    // Nothing of the test stays beside the file but the planted link.
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) entries += e.path().filename() != "victim";
    EXPECT_EQ(entries, 1);
}

TEST_F(UtilsFileTest, PidFileRoundTrip) {
    const std::string name = Path("z.pid");
    Put(name, "old content that is longer");
    ASSERT_EQ(WritePidFile(name, 4711), 0);
    FILE* f = fopen(name.c_str(), "rbe");
    ASSERT_NE(f, nullptr);
    char buf[64] = {};
    const size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    EXPECT_EQ(std::string(buf, n), "4711\n");
    pid_t pid = 0;
    EXPECT_TRUE(ReadPidFile(name, pid));
    EXPECT_EQ(pid, 4711);
    EXPECT_NE(WritePidFile(Path("missing/z.pid"), 1), 0);
}

// A PID file that is a FIFO without a writer or a device is refused at once, never waited on.
TEST_F(UtilsFileTest, PidFileThatIsNoRegularFileIsRefused) {
    ASSERT_EQ(mkfifo(Path("fifo.pid").c_str(), 0600), 0);
    for (const std::string& name : {Path("fifo.pid"), std::string("/dev/zero")}) {
        pid_t pid = 0;
        EXPECT_THROW(ReadPidFile(name, pid), EFileException) << name;
        EXPECT_EQ(pid, 0);
    }
}

TEST_F(UtilsFileTest, PidFileContent) {
    const struct {
        std::string Content;
        bool Ok;
        pid_t Pid;
    } cases[] = {
        {"123\n", true, 123},
        {" 42\r\n", true, 42},
        {std::string("77\0garbage", 10), true, 77},
        {"2", true, 2},
        {"2147483647", true, 2147483647},
        {"0\n", false, 0},
        {"1\n", false, 0},
        {"-5\n", false, 0},
        {"abc\n", false, 0},
        {"", false, 0},
        {"12 \n", false, 0},
        {"2147483648\n", false, 0},
        {"99999999999999999999\n", false, 0},
        {"123456789012345678901", false, 0},  // only the first 20 bytes count
    };
    for (const auto& c : cases) {
        const std::string name = Path("p.pid");
        Put(name, c.Content);
        pid_t pid = 0;
        EXPECT_EQ(ReadPidFile(name, pid), c.Ok) << c.Content;
        EXPECT_EQ(pid, c.Pid) << c.Content;
    }
    // The caller names the file: the error is the system's text alone.
    pid_t pid = 0;
    try {
        ReadPidFile(Path("none.pid"), pid);
        ADD_FAILURE() << "no error";
    } catch (const EFileException& e) {
        EXPECT_EQ(std::string(e.what()), SysErrorText(ENOENT));
    }
}

}  // namespace
}  // namespace zel

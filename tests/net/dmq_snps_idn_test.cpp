#include "net/dmq_snps_idn.hpp"

#include <random>
#include <string>

#include <gtest/gtest.h>

namespace zel {
namespace {

// Samples of RFC 3492, section 7.1, and two well-known names.
struct Sample { std::u32string points; const char* encoded; };
const Sample kSamples[] = {
    {U"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631\u0628\u064A\u061F",
     "egbpdaj6bu4bxfgehfvwxn"},
    {U"\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587", "ihqwcrb4cv8a8dqg056pqjye"},
    {U"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F", "3B-ww4c5e180e575a65lsy2b"},
    {U"-> $1.00 <-", "-> $1.00 <--"},
    {U"b\u00FCcher", "bcher-kva"},
    {U"m\u00FCnchen", "mnchen-3ya"},
    {U"\U0001F600", "e28h"},
    {U"", ""},
};

TEST(Punycode, RfcSamplesBothWays) {
    for (const Sample& s : kSamples) {
        AnsiString enc;
        EXPECT_EQ(PunycodeEncode(s.points, enc), PunycodeSuccess) << s.encoded;
        EXPECT_EQ(enc, s.encoded);
        std::u32string dec;
        EXPECT_EQ(PunycodeDecode(s.encoded, dec), PunycodeSuccess) << s.encoded;
        EXPECT_TRUE(dec == s.points) << s.encoded;
    }
    // Digits are read in either case.
    std::u32string dec;
    EXPECT_EQ(PunycodeDecode("BCHER-KVA", dec), PunycodeSuccess);
    EXPECT_TRUE(dec == std::u32string(U"B\u00FC") + U"CHER");
}

TEST(Punycode, RejectsBadInputAndOverflow) {
    struct Case { const char* text; int result; };
    const Case cases[] = {
        {"-", PunycodeBadInput},             // a lone delimiter is no digit
        {"abc-!", PunycodeBadInput},         // not a digit
        {"abc-9", PunycodeBadInput},         // the number ends in the middle
        {"\xC3\xBC-kva", PunycodeBadInput},  // basic part above 127
        {"zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz", PunycodeBadInput},  // beyond U+10FFFF
        {"99999999999999", PunycodeOverflow},
        {"a999999a", PunycodeBadInput},      // decodes past U+10FFFF
        {"a9999999999a", PunycodeOverflow},
    };
    for (const Case& c : cases) {
        std::u32string out = U"left";
        EXPECT_EQ(PunycodeDecode(c.text, out), c.result) << c.text;
        EXPECT_TRUE(out.empty()) << c.text;
    }
    AnsiString enc = "left";
    EXPECT_EQ(PunycodeEncode(std::u32string{0xD800}, enc), PunycodeBadInput);
    EXPECT_TRUE(enc.empty());
    EXPECT_EQ(PunycodeEncode(std::u32string{0x110000}, enc), PunycodeBadInput);
}

TEST(Punycode, RandomRoundTripsAndGarbageNeverBreaks) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<uint32_t> len(0, 40), ascii(0x20, 0x7E), wide(0x80, 0x10FFFF);
    std::uniform_int_distribution<int> coin(0, 2), byte(0, 255);
    for (int round = 0; round < 2000; ++round) {
        std::u32string s;
        for (uint32_t i = 0, n = len(rng); i < n; ++i) {
            uint32_t c = coin(rng) == 0 ? ascii(rng) : wide(rng);
            if (c >= 0xD800 && c <= 0xDFFF) c = 0xE000;
            s.push_back(c);
        }
        AnsiString enc;
        ASSERT_EQ(PunycodeEncode(s, enc), PunycodeSuccess);
        std::u32string back;
        ASSERT_EQ(PunycodeDecode(enc, back), PunycodeSuccess) << enc;
        ASSERT_TRUE(back == s) << enc;

        AnsiString junk;
        for (uint32_t i = 0, n = len(rng); i < n; ++i) junk.push_back(static_cast<char>(byte(rng)));
        std::u32string out;
        const int r = PunycodeDecode(junk, out);
        EXPECT_TRUE(r == PunycodeSuccess || out.empty());
        for (char32_t c : out) EXPECT_TRUE(c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF));
    }
}

TEST(Idn, HostNamesBothWays) {
    struct Case { UnicodeString name; const char* ascii; };
    const Case cases[] = {
        {u"zel.example.org", "zel.example.org"},
        {u"b\u00FCcher.example", "xn--bcher-kva.example"},
        {u"www.m\u00FCnchen.de.", "www.xn--mnchen-3ya.de."},
        {u"\U0001F600.x", "xn--e28h.x"},
        {u"a..b", "a..b"},
        {u"", ""},
        {u".", "."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IDNToASCII(c.name), c.ascii) << c.ascii;
        EXPECT_EQ(IDNToUnicode(c.ascii), c.name) << c.ascii;
    }
}

TEST(Idn, UntrustedLabelsStayAsTheyAre) {
    struct Case { const char* ascii; UnicodeString name; };
    const Case cases[] = {
        {"xn--", u"xn--"},                          // no encoded part
        {"xn--zz!.com", u"xn--zz!.com"},            // not Punycode
        {"xn--99999999999999.com", u"xn--99999999999999.com"},  // overflow
        {"XN--bcher-kva.de", u"b\u00FCcher.de"},
        {"caf\xE9.fr", u"caf\u00E9.fr"},            // plain bytes are widened
    };
    for (const Case& c : cases) EXPECT_EQ(IDNToUnicode(c.ascii), c.name) << c.ascii;
    // A label that cannot be encoded keeps its ASCII; other characters never shrink to a
    // different host name.
    EXPECT_EQ(IDNToASCII(UnicodeString(u"a") + char16_t(0xD800) + u"b.c"), "a?b.c");
}

}  // namespace
}  // namespace zel

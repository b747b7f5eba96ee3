#include "foundation/dmq_hex.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace zel {
namespace {

TEST(Hex, PairTableIsUpperCase) {
    EXPECT_EQ(std::strlen(HexPairs), 512u);
    EXPECT_EQ(std::string(HexPairs, 2), "00");
    EXPECT_EQ(std::string(HexPairs + 2 * 0x5C, 2), "5C");
    EXPECT_EQ(std::string(HexPairs + 2 * 0xAB, 2), "AB");
    EXPECT_EQ(std::string(HexPairs + 510, 2), "FF");
}

TEST(Hex, Encoders) {
    const AnsiString bytes("\x00\x0a\x7f\x80\xff", 5);
    EXPECT_EQ(StrToHexA(bytes), "000A7F80FF");
    EXPECT_EQ(StrToHexU(bytes), u"000A7F80FF");
    EXPECT_EQ(StrToHexA(""), "");
    EXPECT_EQ(StrToHexU(""), u"");

    char out[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
    EXPECT_EQ(BufToHexA(out, "\x1b\xc3", 2), out + 4);
    EXPECT_EQ(std::string(out, 5), "1BC3#");
    EXPECT_EQ(BufToHexA(out, "x", 0), out);
    char16_t wout[4] = {};
    EXPECT_EQ(BufToHexU(wout, "\xe9", 1), wout + 2);
    EXPECT_EQ(UnicodeString(wout), u"E9");
}

TEST(Hex, StrictDecoderAcceptsBothCases) {
    EXPECT_EQ(HexToStrA("000A7f80fF"), AnsiString("\x00\x0a\x7f\x80\xff", 5));
    EXPECT_EQ(HexToStrA(""), "");
    EXPECT_EQ(HexToStrA(StrToHexA("round trip \x01\xfe")), "round trip \x01\xfe");
    char out[4] = {};
    EXPECT_EQ(HexToBuf(out, "4142", 4), out + 2);
    EXPECT_EQ(std::string(out, 2), "AB");
    EXPECT_EQ(HexToBuf(out, "41", 0), out);
    EXPECT_EQ(HexToBuf(out, "41", -2), out);
    EXPECT_EQ(HexBufToStrA("4142zz", 4), "AB");
}

TEST(Hex, StrictDecoderRaises) {
    struct Case {
        const char* text;
        const char* cls;
        const char* message;
    } cases[] = {
        {"0G", "EInvalidHexCharacterError", "Invalid HEX character"},
        {"ABC", "EInvalidHexLengthError", "Invalid HEX length"},
        {"0 ", "EInvalidHexCharacterError", "Invalid HEX character"},
        {"41\xff" "1", "EInvalidHexCharacterError", "Invalid HEX character"},
        {"4", "EInvalidHexLengthError", "Invalid HEX length"},
    };
    for (const auto& c : cases) {
        try {
            HexToStrA(c.text);
            ADD_FAILURE() << c.text;
        } catch (const EInvalidHexError& e) {  // both derive from EInvalidHexError and EConvertError
            EXPECT_STREQ(e.ClassName(), c.cls) << c.text;
            EXPECT_EQ(e.Message(), c.message) << c.text;
            EXPECT_NE(dynamic_cast<const EConvertError*>(&e), nullptr);
        }
    }
    // An odd length raises before anything is written.
    char out[4] = {'#', '#', '#', '#'};
    EXPECT_THROW(HexToBuf(out, "41424", 5), EInvalidHexLengthError);
    EXPECT_EQ(std::string(out, 4), "####");
    EXPECT_THROW(RaiseInvalidHexCharacter(), EInvalidHexCharacterError);
    EXPECT_THROW(RaiseInvalidHexLength(), EInvalidHexLengthError);
}

TEST(Hex, LenientDecoder) {
    struct Case {
        std::string text;
        int32_t result;
        std::string bytes;
    } cases[] = {
        {"0a 1B", 2, "\x0a\x1b"},
        {"ABC", -1, ""},
        {"", 0, ""},
        {"   ", 0, ""},
        {" 4\t1\r\n42 ", 2, "AB"},  // blanks anywhere, even inside a pair
        {"41x2", -1, ""},
        {"41-42", -1, ""},
        {std::string("41\0" "42", 5), 2, "AB"},  // NUL is a character <= 32
        {"ff\xa0", -1, ""},
    };
    for (const auto& c : cases) {
        char out[16] = {};
        int32_t r = TryHexToBuf(out, c.text.data(), static_cast<int32_t>(c.text.size()));
        EXPECT_EQ(r, c.result) << c.text;
        if (r > 0) {
            EXPECT_EQ(std::string(out, static_cast<size_t>(r)), c.bytes) << c.text;
        }
    }
    char out[2];
    EXPECT_EQ(TryHexToBuf(out, "41", -1), 0);
}

TEST(Hex, UInt32Parser) {
    struct Case {
        const char16_t* text;
        bool ok;
        uint32_t value;
    } cases[] = {
        {u"  ffffffff", true, 0xFFFFFFFFu},
        {u"000000001", true, 1},
        {u"0000000000000000FFFFFFFF", true, 0xFFFFFFFFu},
        {u"DeadBeef", true, 0xDEADBEEFu},
        {u"0", true, 0},
        {u"\t7", true, 7},
        {u"100000000", false, 0},
        {u"1 ", false, 0},
        {u"", false, 0},
        {u"  ", false, 0},
        {u"0x10", false, 0},
        {u"-1", false, 0},
        {u"g", false, 0},
        {u"\uff11", false, 0},
    };
    for (const auto& c : cases) {
        uint32_t v = 12345;
        EXPECT_EQ(TryHexToUInt32U(c.text, v), c.ok);
        EXPECT_EQ(v, c.ok ? c.value : 12345u);
    }
}

}  // namespace
}  // namespace zel

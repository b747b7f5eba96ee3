#include "net/dmq_snps_code.hpp"

#include <string>

#include <gtest/gtest.h>

namespace zel {
namespace {

std::string Hex(AnsiView s) {
    static const char d[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out.push_back(d[c >> 4]);
        out.push_back(d[c & 15]);
    }
    return out;
}

std::string Md5Hex(AnsiView data, size_t piece) {
    TMD5Ctx ctx;
    MD5Init(ctx);
    for (size_t i = 0; i < data.size(); i += piece) MD5Update(ctx, data.substr(i, piece));
    TMD5Digest d;
    MD5Final(ctx, d);
    return Hex(MD5DigestToStr(d));
}

TEST(Md5, Rfc1321VectorsInAnyPieces) {
    struct Case { std::string data; const char* digest; };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'x'), ""}, {std::string(56, 'x'), ""}, {std::string(64, 'x'), ""},
    };
    for (const Case& c : cases) {
        const std::string whole = Md5Hex(c.data, c.data.size() + 1);
        if (*c.digest) {
            EXPECT_EQ(whole, c.digest) << c.data;
        }
        // The digest does not depend on how the data is cut into updates.
        for (size_t piece : {1u, 3u, 63u, 64u, 65u})
            EXPECT_EQ(Md5Hex(c.data, piece), whole) << c.data.size() << "/" << piece;
    }
    EXPECT_EQ(Md5Hex(AnsiView("\0\xff", 2), 2).size(), 32u);
}

// An empty view without a pointer while bytes are buffered: nothing is copied from it (the
// sanitizer build reports a copy from null), and the digest is that of the other bytes.
TEST(Md5, EmptyViewWithoutPointerAddsNothing) {
    TMD5Ctx ctx;
    MD5Init(ctx);
    MD5Update(ctx, "a");
    MD5Update(ctx, AnsiView());
    MD5Update(ctx, AnsiView(nullptr, 0));
    TMD5Digest d;
    MD5Final(ctx, d);
    EXPECT_EQ(Hex(MD5DigestToStr(d)), "0cc175b9c0f1b6a831c399e269772661");
}

TEST(Base64, Rfc4648VectorsAndOwnTable) {
    struct Case { AnsiView data; const char* text; };
    const Case cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
        {"user:pass", "dXNlcjpwYXNz"},
        {AnsiView("\0\xff\xfe", 3), "AP/+"},
    };
    for (const Case& c : cases) EXPECT_EQ(EncodeBase64(c.data), c.text) << c.text;

    // A caller's alphabet with its own padding character.
    const AnsiView table = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789[]#";
    EXPECT_EQ(EncodeTriplet("f", table), "zG##");
    EXPECT_EQ(EncodeTriplet(AnsiView("\xff\xff\xff", 3), table), "]]]]");
    EXPECT_EQ(EncodeTriplet(AnsiView(std::string(16, '\0')), table).size(), 24u);
    EXPECT_EQ(EncodeTriplet("abc", "short"), "");
}

TEST(Coding, TwoByteNumbersAndLineEnds) {
    EXPECT_EQ(CodeInt(0x1234), AnsiString("\x12\x34", 2));
    EXPECT_EQ(CodeInt(0xFF00), AnsiString("\xff\x00", 2));
    EXPECT_EQ(DecodeInt(AnsiView("\x00\x12\x34", 3), 1), 0x1234);
    EXPECT_EQ(DecodeInt(AnsiView("\xff", 1), 0), 0xFF00);
    EXPECT_EQ(DecodeInt("", 5), 0);
    for (uint32_t v : {0u, 1u, 255u, 256u, 65535u}) EXPECT_EQ(DecodeInt(CodeInt(uint16_t(v)), 0), v);

    struct Case { const char* text; size_t pos; const char* term; };
    const Case cases[] = {
        {"ab\r\ncd", 3, "\r\n"}, {"ab\n\rcd", 3, "\n\r"}, {"ab\rcd", 3, "\r"},
        {"ab\ncd", 3, "\n"},     {"\n\n", 1, "\n"},       {"ab\r\r\n", 3, "\r"},
        {"abc", 0, ""},          {"", 0, ""},             {"x\r", 2, "\r"},
    };
    for (const Case& c : cases) {
        AnsiString term = "old";
        EXPECT_EQ(PosCRLF(c.text, term), c.pos) << c.text;
        EXPECT_EQ(term, c.term) << c.text;
    }
}

}  // namespace
}  // namespace zel

#include "foundation/dmq_memory.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace zel {
namespace {

TEST(Memory, ReverseCopyReversesAndReturnsDest) {
    char dest[5] = {};
    EXPECT_EQ(ReverseCopy(dest, "abcd", 4), dest);
    EXPECT_STREQ(dest, "dcba");
    ReverseCopy(dest, "xyz", 0);
    EXPECT_STREQ(dest, "dcba");
}

TEST(Memory, MoveForwardCopiesOverlappingDownward) {
    // 8-byte steps, 4-byte steps and single bytes, with dest below src inside the same buffer.
    for (int shift : {1, 3, 8, 13}) {
        std::string s;
        for (int i = 0; i < 40; ++i) s += static_cast<char>('A' + i % 26);
        std::string want = s;
        want.replace(0, 40 - shift, s.substr(shift));
        MoveForward(s.data(), s.data() + shift, 40 - shift);
        EXPECT_EQ(s, want) << shift;
    }
}

TEST(Memory, ScansFindTheFirstOrNothing) {
    const char text[] = "ab\ncd\n\xff";
    EXPECT_EQ(ScanLF(text, 7), text + 2);
    EXPECT_EQ(ScanLF(text, 2), nullptr);
    EXPECT_EQ(ScanLF(text, 0), nullptr);
    EXPECT_EQ(ScanByte(0xFF, text, 7), text + 6);
    EXPECT_EQ(ScanByte('d', text, 7), text + 4);
    EXPECT_EQ(ScanByte('z', text, 7), nullptr);
    EXPECT_EQ(ScanByte('a', text, -1), nullptr);
    // Past the 8-byte steps: a hit in the tail and one in the middle of a long buffer.
    std::string big(1000, 'x');
    big[997] = '\n';
    EXPECT_EQ(ScanLF(big.data(), 1000), big.data() + 997);
    EXPECT_EQ(ScanLF(big.data(), 997), nullptr);

    const char16_t w[] = u"ab\u3000c";
    EXPECT_EQ(ScanWord(u'\u3000', w, 4), w + 2);
    EXPECT_EQ(ScanWord(u'c', w, 3), nullptr);
    EXPECT_EQ(ScanWord(u'a', w, 0), nullptr);
}

TEST(Memory, CountsEqualValues) {
    EXPECT_EQ(CountByte('a', "banana", 6), 3);
    EXPECT_EQ(CountByte(0xFF, "\xff\x01\xff", 3), 2);
    EXPECT_EQ(CountByte('a', "banana", 0), 0);
    EXPECT_EQ(CountWord(u'n', u"banana", 6), 2);
    EXPECT_EQ(CountWord(u'n', u"banana", -5), 0);
}

TEST(Memory, IntToBufWritesRightAligned) {
    struct Case {
        int32_t v;
        const char* text;
    } cases[] = {{0, "0"}, {7, "7"}, {-7, "-7"}, {123456, "123456"},
                 {INT32_MAX, "2147483647"}, {INT32_MIN, "-2147483648"}};
    for (const auto& c : cases) {
        char buf[16];
        std::memset(buf, '#', sizeof buf);
        int32_t len = 12;
        char* p = IntToBufA(c.v, buf, len);
        EXPECT_STREQ(p, c.text);
        EXPECT_EQ(len, static_cast<int32_t>(std::strlen(c.text)));
        EXPECT_EQ(p + len, buf + 11);  // ends just before the zero at buffer[len-1]
        EXPECT_EQ(buf[11], '\0');

        char16_t wbuf[12];
        int32_t wlen = 12;
        char16_t* q = IntToBufU(c.v, wbuf, wlen);
        std::u16string want(c.text, c.text + std::strlen(c.text));
        EXPECT_EQ(std::u16string(q, static_cast<size_t>(wlen)), want);
        EXPECT_EQ(wbuf[11], u'\0');
    }
}

}  // namespace
}  // namespace zel

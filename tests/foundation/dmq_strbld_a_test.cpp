#include "foundation/dmq_strbld_a.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "tests/support/alloc_failure.hpp"

using zel::test::FailsForLackOfMemory;

namespace zel {
namespace {

// The text in use, checking the invariant: Len + 1 <= Capacity and a zero at Buf[Len].
std::string Text(const TStringBldA& b) {
    EXPECT_NE(b.Buf(), nullptr);
    EXPECT_LE(b.Len() + 1, b.Capacity());
    EXPECT_EQ(b.Buf()[b.Len()], '\0');
    return StrBldAToStr(b);
}

TEST(StringBldA, FreshBuilderHoldsEightyAndTheEmptyText) {
    TStringBldA b;
    StrBldAInit(b, 0);
    EXPECT_EQ(b.Capacity(), 80);
    EXPECT_EQ(b.Len(), 0);
    EXPECT_EQ(Text(b), "");
    EXPECT_STREQ(b.Buf(), "");
}

TEST(StringBldA, InitCapacityFormula) {
    struct Case {
        int32_t wanted, capacity;
    } cases[] = {{-1, 80}, {64, 80}, {65, 96}, {100, 128}, {4096, 4112}};
    for (auto c : cases) {
        TStringBldA b;
        StrBldAInit(b, c.wanted);
        EXPECT_EQ(b.Capacity(), c.capacity) << c.wanted;
    }
}

TEST(StringBldA, EightyBytesGrowAFreshBuilderOnceTo128) {
    TStringBldA b;
    StrBldAInit(b, 0);
    StrBldAAdd(b, std::string(79, 'x'));  // need 79: 80 >= 80 still fits with its zero
    EXPECT_EQ(b.Capacity(), 80);
    StrBldAAddChar(b, 'y');               // need 80: (80 + 20 + 31) and not 15 = 128
    EXPECT_EQ(b.Capacity(), 128);
    EXPECT_EQ(Text(b), std::string(79, 'x') + "y");

    TStringBldA c;
    StrBldAInit(c, 0);
    StrBldAAdd(c, std::string(80, 'z'));
    EXPECT_EQ(c.Capacity(), 128);
    EXPECT_EQ(Text(c), std::string(80, 'z'));
}

TEST(StringBldA, DefaultBuilderGrowsFromNothing) {
    TStringBldA b;
    EXPECT_EQ(StrBldAView(b), "");
    StrBldAReset(b);  // harmless without a buffer
    StrBldAAddChar(b, 'q');  // need 1: (1 + 0 + 31) and not 15 = 32
    EXPECT_EQ(b.Capacity(), 32);
    EXPECT_EQ(Text(b), "q");
}

TEST(StringBldA, TextAndLineAppenders) {
    TStringBldA b;
    StrBldAInit(b, 0);
    StrBldAAdd(b, "ab");
    StrBldAAdd(b, "");
    StrBldAAddLn(b, "cd");
    StrBldAAddChar(b, '\xff');
    EXPECT_EQ(StrBldAAddCRLF(b), 7);
    StrBldAAddCharLn(b, '!');
    StrBldAAddChars(b, '-', 3);
    StrBldAAddChars(b, '-', 0);
    StrBldAAddChars(b, '-', -4);
    StrBldAAddBuf(b, "xyz", 2);
    StrBldAAddBuf(b, "xyz", 0);
    StrBldAAddBuf(b, nullptr, -1);
    EXPECT_EQ(StrBldAAddBufLn(b, "12345", 3), 20);
    EXPECT_EQ(StrBldAAddBufLn(b, "12345", -3), 22);  // a negative length counts as 0
    EXPECT_EQ(Text(b), "abcd\r\n\xff\r\n!\r\n---xy123\r\n\r\n");
}

TEST(StringBldA, NulBytesAreKept) {
    TStringBldA b;
    StrBldAInit(b, 0);
    StrBldAAdd(b, std::string("a\0b", 3));
    StrBldAAddChar(b, '\0');
    EXPECT_EQ(b.Len(), 4);
    EXPECT_EQ(Text(b), std::string("a\0b\0", 4));
}

TEST(StringBldA, NumbersAndHex) {
    TStringBldA b;
    StrBldAInit(b, 0);
    StrBldAAddInt(b, 0);
    StrBldAAddChar(b, ' ');
    StrBldAAddInt(b, -42);
    StrBldAAddChar(b, ' ');
    StrBldAAddInt(b, INT32_MIN);
    StrBldAAddChar(b, ' ');
    StrBldAAddInt(b, INT32_MAX);
    StrBldAAddChar(b, ' ');
    StrBldAAddHexByte(b, 0x0A);
    StrBldAAddHexByte(b, 0xFF);
    StrBldAAddChar(b, ' ');
    StrBldAAddHex(b, std::string("\x00\x7f\x80\xc3\xa9", 5));
    StrBldAAddHex(b, "");
    EXPECT_EQ(Text(b), "0 -42 -2147483648 2147483647 0AFF 007F80C3A9");
}

TEST(StringBldA, Elements) {
    TStringBldA b;
    StrBldAInit(b, 0);
    StrBldAAddElement(b, "NAME", "abc");
    EXPECT_EQ(b.Len(), 16);
    EXPECT_EQ(Text(b), "<NAME>abc</NAME>");
    StrBldAReset(b);
    StrBldAAddElementLn(b, "CT", "");
    StrBldAAddElementBuf(b, "BC", "70cmX", 4);
    StrBldAAddElementBuf(b, "E", "x", 0);
    StrBldAAddElementChar(b, "F", '7');
    EXPECT_EQ(Text(b), "<CT></CT>\r\n<BC>70cm</BC><E></E><F>7</F>");
}

TEST(StringBldA, HexCodedLengths) {
    struct Case {
        int32_t len;
        const char* text;
    } cases[] = {
        {0, "00"},          {1, "01"},           {127, "7F"},           {128, "8180"},
        {200, "81C8"},      {255, "81FF"},       {256, "820100"},       {300, "82012C"},
        {3000, "820BB8"},   {65535, "82FFFF"},   {65536, "83010000"},   {16777215, "83FFFFFF"},
        {16777216, "8401000000"}, {INT32_MAX, "847FFFFFFF"},
        {-1, "84FFFFFFFF"}, {INT32_MIN, "8480000000"},
    };
    for (const auto& c : cases) {
        TStringBldA b;
        StrBldAInit(b, 0);
        StrBldAAddHexLen(b, c.len);
        EXPECT_EQ(Text(b), c.text) << c.len;
    }
}

TEST(StringBldA, LengthValueItems) {
    TStringBldA b;
    StrBldAInit(b, 0);
    StrBldAAddTLV(b, 'A', "");
    EXPECT_EQ(Text(b), "A00");
    StrBldAReset(b);
    StrBldAAddLV(b, "hello");
    StrBldAAddTLV(b, '\x01', "xy");
    EXPECT_EQ(Text(b), "05hello\x01" "02xy");
    StrBldAReset(b);
    const std::string big(200, 'v');
    StrBldAAddLV(b, big);
    EXPECT_EQ(Text(b), "81C8" + big);
    StrBldAReset(b);
    StrBldAAddTLV(b, 'T', std::string(300, 'w'));
    EXPECT_EQ(Text(b), "T82012C" + std::string(300, 'w'));
}

TEST(StringBldA, ResetKeepsTheBufferForTheNextLine) {
    TStringBldA b;
    StrBldAInit(b, 0);
    StrBldAAddLn(b, std::string(500, 'a'));
    const char* buf = b.Buf();
    const int32_t cap = b.Capacity();
    for (int i = 0; i < 10; ++i) {
        StrBldAReset(b);
        EXPECT_EQ(Text(b), "");
        StrBldAAddLn(b, std::string(400, 'b'));
    }
    EXPECT_EQ(b.Buf(), buf);
    EXPECT_EQ(b.Capacity(), cap);
}

TEST(StringBldA, GrowthFollowsTheFormulaOverManyAppends) {
    TStringBldA b;
    StrBldAInit(b, 0);
    std::string want;
    for (int i = 0; i < 2000; ++i) {
        const int32_t before = b.Capacity();
        const int64_t need = b.Len() + 3;
        StrBldAAdd(b, "abc");
        want += "abc";
        if (before < need + 1) {
            EXPECT_EQ(b.Capacity(), static_cast<int32_t>((need + need / 4 + 31) & ~int64_t{15}));
        } else {
            EXPECT_EQ(b.Capacity(), before);
        }
    }
    EXPECT_EQ(Text(b), want);
}

TEST(StringBldA, AppendingItsOwnTextAcrossAGrowth) {
    TStringBldA b;
    StrBldAInit(b, 0);
    StrBldAAdd(b, std::string(70, 's'));
    StrBldAAdd(b, StrBldAView(b));  // grows: the old buffer must outlive the copy
    EXPECT_EQ(Text(b), std::string(140, 's'));
    StrBldAReset(b);
    StrBldAAdd(b, "TAG");
    StrBldAAddElement(b, StrBldAView(b), std::string(100, 'v'));
    EXPECT_EQ(Text(b), "TAG<TAG>" + std::string(100, 'v') + "</TAG>");
}

TEST(StringBldA, OutOfMemoryLeavesTheBuilderUnchanged) {
    TStringBldA b;
    StrBldAInit(b, 0);
    StrBldAAdd(b, std::string(79, 'k'));
    const char* buf = b.Buf();
    EXPECT_TRUE(FailsForLackOfMemory([&] { StrBldAAddChar(b, 'x'); }));
    EXPECT_TRUE(FailsForLackOfMemory([&] { StrBldAAddLn(b, "x"); }));
    EXPECT_TRUE(FailsForLackOfMemory([&] { StrBldAAddElement(b, "T", "v"); }));
    EXPECT_TRUE(FailsForLackOfMemory([&] { StrBldAAddTLV(b, 'A', "v"); }));
    EXPECT_TRUE(FailsForLackOfMemory([&] { StrBldAInit(b, 1000); }));
    EXPECT_EQ(b.Buf(), buf);
    EXPECT_EQ(b.Capacity(), 80);
    EXPECT_EQ(b.Len(), 79);
    EXPECT_EQ(Text(b), std::string(79, 'k'));
    StrBldAAddChar(b, 'x');
    EXPECT_EQ(Text(b), std::string(79, 'k') + "x");
}

TEST(StringBldA, InitReplacesAndFreeReleases) {
    TStringBldA b;
    StrBldAInit(b, 0);
    StrBldAAdd(b, "old");
    StrBldAInit(b, 200);
    EXPECT_EQ(b.Capacity(), 224);
    EXPECT_EQ(Text(b), "");
    StrBldAFree(b);
    EXPECT_EQ(b.Buf(), nullptr);
    EXPECT_EQ(b.Capacity(), 0);
    EXPECT_EQ(b.Len(), 0);
    StrBldAAdd(b, "again");
    EXPECT_EQ(Text(b), "again");
}

TEST(StringBldA, MovesTheBuffer) {
    TStringBldA a;
    StrBldAInit(a, 0);
    StrBldAAdd(a, "moved");
    TStringBldA b(std::move(a));
    EXPECT_EQ(a.Buf(), nullptr);
    EXPECT_EQ(Text(b), "moved");
    TStringBldA c;
    StrBldAInit(c, 0);
    c = std::move(b);
    EXPECT_EQ(b.Buf(), nullptr);
    EXPECT_EQ(Text(c), "moved");
}

}  // namespace
}  // namespace zel

// ---------------------------------------------------------------------------------------------
// Line reader over a text file.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <vector>

#include "foundation/dmq_fileutils.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

class StrBldAReadLnTest : public test::TempDirTest {
protected:
    // Every line of data as read with maxLen through a read buffer of bufSize bytes.
    std::vector<std::string> ReadAll(const std::string& data, int32_t maxLen, size_t bufSize) {
        const std::string name = dir_ + "/f";
        std::ofstream(name, std::ios::binary) << data;
        std::vector<char> buf(bufSize);
        TTextFile f;
        EXPECT_EQ(TryResetTextName(f, name, buf.data(), buf.size()), 0);
        TStringBldA b;
        StrBldAInit(b, 0);
        std::vector<std::string> lines;
        for (int i = 0; i < 100 && !EofText(f); ++i) {
            StrBldAReadLn(f, b, maxLen, false);
            EXPECT_EQ(b.Buf()[b.Len()], '\0');
            lines.push_back(StrBldAToStr(b));
        }
        return lines;
    }
};

TEST_F(StrBldAReadLnTest, CutsDropsCrAndKeepsALastLineWithoutLf) {
    using L = std::vector<std::string>;
    struct {
        const char* data;
        int32_t maxLen;
        L lines;
    } const rows[] = {
        {"abc\r\n\n", 2048, L{"abc", ""}},
        {"abc\r\n\n", 2, L{"ab", ""}},
        {"abcdefghij\nxy", 4, L{"abcd", "xy"}},
        {"a\r\r\nlast", 2048, L{"a\r", "last"}},
        {"abc\r\n", 3, L{"abc"}},
        {"one\ntwo\nthree", 2048, L{"one", "two", "three"}},
    };
    for (const auto& r : rows)
        for (size_t bufSize : {size_t{3}, size_t{4096}})  // lines spanning refills, and not
            EXPECT_EQ(ReadAll(r.data, r.maxLen, bufSize), r.lines) << r.data << " buf " << bufSize;
}

TEST_F(StrBldAReadLnTest, RaisesForALongLineWhenAsked) {
    const std::string name = dir_ + "/f";
    std::ofstream(name, std::ios::binary) << "abc\nabcdef\n";
    TTextFile f;
    char buf[4];
    ASSERT_EQ(TryResetTextName(f, name, buf, sizeof buf), 0);
    TStringBldA b;
    StrBldAInit(b, 0);
    StrBldAReadLn(f, b, 3, true);
    EXPECT_EQ(StrBldAToStr(b), "abc");
    EXPECT_THROW(StrBldAReadLn(f, b, 3, true), ELineLengthTooLong);
    TTextFile closed;
    EXPECT_THROW(StrBldAReadLn(closed, b, 3, false), EFileException);
}

TEST_F(StrBldAReadLnTest, TryFormReturnsTheReadErrorsCode) {
    TStringBldA b;
    TTextFile closed;
    EXPECT_EQ(TryStrBldAReadLn(closed, b, 3, false), EBADF);
    // A directory under an open file's descriptor (a directory itself is refused at the open):
    // its first read fails.
    Put(Path("f.txt"), "line\n");
    TTextFile dir;
    ASSERT_EQ(TryResetTextName(dir, Path("f.txt")), 0);
    const int d = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(d, 0);
    ASSERT_EQ(::dup2(d, dir.Handle()), dir.Handle());
    ::close(d);
    EXPECT_EQ(TryStrBldAReadLn(dir, b, 3, false), EISDIR);
}

}  // namespace
}  // namespace zel

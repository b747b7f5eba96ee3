#include "foundation/dmq_crc.hpp"

#include <gtest/gtest.h>

#include <string>

namespace zel {
namespace {

TEST(Crc16, PublishedCheckValues) {
    const char digits[] = "123456789";
    EXPECT_EQ(Crc16(0, digits, 9), 0xBB3D);       // CRC-16/ARC
    EXPECT_EQ(Crc16(0xFFFF, digits, 9), 0x4B37);  // CRC-16/MODBUS
}

TEST(Crc16, ChainsAndShortInputReturnsStart) {
    const char digits[] = "123456789";
    EXPECT_EQ(Crc16(Crc16(0xADB9, digits, 4), digits + 4, 5), Crc16(0xADB9, digits, 9));
    EXPECT_EQ(Crc16(0xADB9, digits, 0), 0xADB9);
    EXPECT_EQ(Crc16(0xADB9, digits, -1), 0xADB9);
    EXPECT_EQ(Crc16(0x1234, nullptr, 5), 0x1234);
    const unsigned char high[] = {0xFF, 0x80};
    EXPECT_EQ(Crc16(0, high, 2), Crc16(Crc16(0, high, 1), high + 1, 1));
}

TEST(Crc32, PublishedCheckValues) {
    EXPECT_EQ(Crc32(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32StrA(0, "The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    EXPECT_EQ(Crc32StrA(0, std::string(1, '\0')), 0xD202EF8Du);
}

TEST(Crc32, ChainedEqualsWhole) {
    const std::string text = "The quick brown fox jumps over the lazy dog";
    for (size_t cut : {size_t{0}, size_t{1}, size_t{10}, text.size()}) {
        uint32_t part = Crc32(0, text.data(), static_cast<int32_t>(cut));
        uint32_t chained = Crc32(part, text.data() + cut, static_cast<int32_t>(text.size() - cut));
        EXPECT_EQ(chained, Crc32StrA(0, text)) << cut;
        EXPECT_EQ(Crc32StrA(Crc32StrA(0, text.substr(0, cut)), text.substr(cut)), chained);
    }
}

TEST(Crc32, EmptyInputReturnsStartUnchanged) {
    EXPECT_EQ(Crc32(0xDEADBEEFu, "x", 0), 0xDEADBEEFu);
    EXPECT_EQ(Crc32(0xDEADBEEFu, "x", -3), 0xDEADBEEFu);
    EXPECT_EQ(Crc32StrA(0x12345678u, ""), 0x12345678u);
    EXPECT_EQ(Crc32StrA(0, ""), 0u);
}

}  // namespace
}  // namespace zel

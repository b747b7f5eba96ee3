#include "foundation/dmq_crc.hpp"

#include <array>
#include <climits>

namespace zel {

namespace {

// Built at compile time (the Part builds it at unit start): no start-up order, no race.
constexpr std::array<uint32_t, 256> MakeCrc32Table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t v = n;
        for (int k = 0; k < 8; ++k) v = (v & 1u) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
        t[n] = v;
    }
    return t;
}

constexpr std::array<uint32_t, 256> kCrc32Table = MakeCrc32Table();

}  // namespace

uint16_t Crc16(uint16_t Start, const void* P, int32_t Len) noexcept {
    uint16_t r = Start;
    if (P == nullptr || Len < 1) return r;
    const auto* p = static_cast<const unsigned char*>(P);
    for (int32_t i = 0; i < Len; ++i) {
        unsigned b = p[i];
        for (int k = 0; k < 8; ++k) {
            unsigned x = r ^ b;
            r = static_cast<uint16_t>(r >> 1);
            b >>= 1;
            if (x & 1u) r ^= 0xA001u;
        }
    }
    return r;
}

uint32_t Crc32(uint32_t Start, const void* P, int32_t Len) noexcept {
    if (P == nullptr || Len < 1) return Start;
    const auto* p = static_cast<const unsigned char*>(P);
    uint32_t r = ~Start;
    for (int32_t i = 0; i < Len; ++i) r = kCrc32Table[(r ^ p[i]) & 255u] ^ (r >> 8);
    return ~r;
}

uint32_t Crc32StrA(uint32_t Start, AnsiView S) noexcept {
    // Texts beyond Int32 are summed in chunks: the CRC chains.
    uint32_t r = Start;
    while (!S.empty()) {
        size_t n = S.size() < size_t{INT32_MAX} ? S.size() : size_t{INT32_MAX};
        r = Crc32(r, S.data(), static_cast<int32_t>(n));
        S.remove_prefix(n);
    }
    return r;
}

}  // namespace zel

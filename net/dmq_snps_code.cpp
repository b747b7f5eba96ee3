#include "net/dmq_snps_code.hpp"

#include <cstring>

namespace zel {

AnsiString EncodeTriplet(AnsiView data, AnsiView table) {
    AnsiString out;
    if (table.size() < 65) return out;
    out.reserve((data.size() + 2) / 3 * 4);
    const auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(data[i])); };
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const uint32_t v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        out.push_back(table[v >> 18 & 63]);
        out.push_back(table[v >> 12 & 63]);
        out.push_back(table[v >> 6 & 63]);
        out.push_back(table[v & 63]);
    }
    const size_t rest = data.size() - i;
    if (rest > 0) {
        const uint32_t v = byte(i) << 16 | (rest > 1 ? byte(i + 1) << 8 : 0);
        out.push_back(table[v >> 18 & 63]);
        out.push_back(table[v >> 12 & 63]);
        out.push_back(rest > 1 ? table[v >> 6 & 63] : table[64]);
        out.push_back(table[64]);
    }
    return out;
}

AnsiString EncodeBase64(AnsiView data) { return EncodeTriplet(data, BASE64_TABLE); }

namespace {

inline uint32_t Rotl(uint32_t x, int n) noexcept { return x << n | x >> (32 - n); }

void MD5Transform(uint32_t state[4], const uint8_t block[64]) noexcept {
    static constexpr uint32_t K[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
        0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
        0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
        0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
        0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
        0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
        0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
        0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
        0xeb86d391};
    static constexpr int S[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                  5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                  4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                  6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = static_cast<uint32_t>(block[4 * i]) | static_cast<uint32_t>(block[4 * i + 1]) << 8 |
               static_cast<uint32_t>(block[4 * i + 2]) << 16 |
               static_cast<uint32_t>(block[4 * i + 3]) << 24;
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) & 15;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) & 15;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) & 15;
        }
        const uint32_t t = d;
        d = c;
        c = b;
        b = b + Rotl(a + f + K[i] + m[g], S[i]);
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void MD5Init(TMD5Ctx& ctx) noexcept {
    ctx.State[0] = 0x67452301;
    ctx.State[1] = 0xefcdab89;
    ctx.State[2] = 0x98badcfe;
    ctx.State[3] = 0x10325476;
    ctx.BitCount = 0;
    std::memset(ctx.Buffer, 0, sizeof(ctx.Buffer));
}

void MD5Update(TMD5Ctx& ctx, AnsiView data) noexcept {
    // An empty view may carry a null pointer, which memcpy must never see.
    if (data.empty()) return;
    size_t used = static_cast<size_t>(ctx.BitCount / 8 % 64);
    ctx.BitCount += static_cast<uint64_t>(data.size()) * 8;
    const auto* p = reinterpret_cast<const uint8_t*>(data.data());
    size_t n = data.size();
    if (used > 0) {
        const size_t take = n < 64 - used ? n : 64 - used;
        std::memcpy(ctx.Buffer + used, p, take);
        used += take;
        p += take;
        n -= take;
        if (used < 64) return;
        MD5Transform(ctx.State, ctx.Buffer);
    }
    for (; n >= 64; p += 64, n -= 64) MD5Transform(ctx.State, p);
    if (n > 0) std::memcpy(ctx.Buffer, p, n);
}

void MD5Final(TMD5Ctx& ctx, TMD5Digest& digest) noexcept {
    const uint64_t bits = ctx.BitCount;
    uint8_t pad[72] = {0x80};
    const size_t used = static_cast<size_t>(bits / 8 % 64);
    const size_t padLen = used < 56 ? 56 - used : 120 - used;
    MD5Update(ctx, AnsiView(reinterpret_cast<const char*>(pad), padLen));
    uint8_t len[8];
    for (int i = 0; i < 8; ++i) len[i] = static_cast<uint8_t>(bits >> (8 * i));
    MD5Update(ctx, AnsiView(reinterpret_cast<const char*>(len), 8));
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(ctx.State[i] >> (8 * j));
    std::memset(&ctx, 0, sizeof(ctx));
}

AnsiString MD5DigestToStr(const TMD5Digest& digest) {
    return AnsiString(reinterpret_cast<const char*>(digest.data()), digest.size());
}

AnsiString CodeInt(uint16_t value) {
    AnsiString out(2, '\0');
    out[0] = static_cast<char>(value >> 8);
    out[1] = static_cast<char>(value & 0xFF);
    return out;
}

uint16_t DecodeInt(AnsiView text, size_t index) noexcept {
    const auto at = [&](size_t i) -> uint16_t {
        return i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
    };
    return static_cast<uint16_t>(at(index) << 8 | at(index + 1));
}

size_t PosCRLF(AnsiView text, AnsiString& terminator) {
    terminator.clear();
    const size_t p = text.find_first_of("\r\n");
    if (p == AnsiView::npos) return 0;
    const char c = text[p];
    const char other = c == '\r' ? '\n' : '\r';
    terminator.push_back(c);
    if (p + 1 < text.size() && text[p + 1] == other) terminator.push_back(other);
    return p + 1;
}

}  // namespace zel

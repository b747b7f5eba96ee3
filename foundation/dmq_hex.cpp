#include "foundation/dmq_hex.hpp"

#include <climits>

namespace zel {

const char HexPairs[513] =
    "000102030405060708090A0B0C0D0E0F"
    "101112131415161718191A1B1C1D1E1F"
    "202122232425262728292A2B2C2D2E2F"
    "303132333435363738393A3B3C3D3E3F"
    "404142434445464748494A4B4C4D4E4F"
    "505152535455565758595A5B5C5D5E5F"
    "606162636465666768696A6B6C6D6E6F"
    "707172737475767778797A7B7C7D7E7F"
    "808182838485868788898A8B8C8D8E8F"
    "909192939495969798999A9B9C9D9E9F"
    "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF"
    "B0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF"
    "C0C1C2C3C4C5C6C7C8C9CACBCCCDCECF"
    "D0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF"
    "E0E1E2E3E4E5E6E7E8E9EAEBECEDEEEF"
    "F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF";

namespace {

template <typename Char>
Char* BufToHexT(Char* dest, const void* p, int32_t len) noexcept {
    const auto* s = static_cast<const unsigned char*>(p);
    for (int32_t i = 0; i < len; ++i) {
        const char* pair = HexPairs + 2 * s[i];
        *dest++ = static_cast<Char>(pair[0]);
        *dest++ = static_cast<Char>(pair[1]);
    }
    return dest;
}

int32_t ClampLen(size_t n) noexcept { return n < size_t{INT32_MAX} ? static_cast<int32_t>(n) : INT32_MAX; }

}  // namespace

char* BufToHexA(char* Dest, const void* P, int32_t Len) noexcept { return BufToHexT(Dest, P, Len); }

char16_t* BufToHexU(char16_t* Dest, const void* P, int32_t Len) noexcept { return BufToHexT(Dest, P, Len); }

AnsiString StrToHexA(AnsiView S) {
    AnsiString r(2 * S.size(), '\0');
    BufToHexT(r.data(), S.data(), ClampLen(S.size()));
    return r;
}

UnicodeString StrToHexU(AnsiView S) {
    UnicodeString r(2 * S.size(), u'\0');
    BufToHexT(r.data(), S.data(), ClampLen(S.size()));
    return r;
}

char* HexToBuf(char* Dest, const char* P, int32_t Len) {
    if (Len < 1) return Dest;
    if (Len & 1) RaiseInvalidHexLength();
    for (int32_t i = 0; i < Len; i += 2) {
        int hi = HexValue(P[i]), lo = HexValue(P[i + 1]);
        if (hi < 0 || lo < 0) RaiseInvalidHexCharacter();
        *Dest++ = static_cast<char>(hi << 4 | lo);
    }
    return Dest;
}

AnsiString HexBufToStrA(const char* P, int32_t Len) {
    if (Len < 1) return AnsiString();
    if (Len & 1) RaiseInvalidHexLength();
    AnsiString r(static_cast<size_t>(Len / 2), '\0');
    HexToBuf(r.data(), P, Len);
    return r;
}

AnsiString HexToStrA(AnsiView S) {
    if (S.size() > size_t{INT32_MAX}) RaiseInvalidHexLength();  // beyond any stored value
    return HexBufToStrA(S.data(), static_cast<int32_t>(S.size()));
}

int32_t TryHexToBuf(char* Dest, const char* P, int32_t Len) noexcept {
    int32_t written = 0;
    int hi = -1;  // first digit of a pair, -1 while none is pending
    for (int32_t i = 0; i < Len; ++i) {
        const unsigned char c = static_cast<unsigned char>(P[i]);
        if (c <= 32) continue;
        const int v = HexValue(c);
        if (v < 0) return -1;
        if (hi < 0) {
            hi = v;
        } else {
            Dest[written++] = static_cast<char>(hi << 4 | v);
            hi = -1;
        }
    }
    return hi < 0 ? written : -1;
}

bool TryHexToUInt32U(UnicodeView S, uint32_t& Value) noexcept {
    size_t i = 0;
    while (i < S.size() && S[i] <= 32) ++i;
    if (i >= S.size()) return false;
    uint32_t v = 0;
    for (; i < S.size(); ++i) {
        const int d = HexValue(S[i]);
        if (d < 0 || v > 0x0FFFFFFFu) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    Value = v;
    return true;
}

void RaiseInvalidHexCharacter() { throw EInvalidHexCharacterError("Invalid HEX character"); }

void RaiseInvalidHexLength() { throw EInvalidHexLengthError("Invalid HEX length"); }

}  // namespace zel

#include "foundation/dmq_memory.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace zel {

void* ReverseCopy(void* dest, const void* src, int32_t count) noexcept {
    auto* d = static_cast<unsigned char*>(dest);
    const auto* s = static_cast<const unsigned char*>(src);
    for (int32_t i = 0; i < count; ++i) d[i] = s[count - 1 - i];
    return dest;
}

void MoveForward(void* dest, const void* src, int32_t count) noexcept {
    // memmove is correct for every overlap, so also for the one the contract allows.
    if (count > 0) std::memmove(dest, src, static_cast<size_t>(count));
}

const char16_t* ScanWord(char16_t c, const char16_t* p, int32_t count) noexcept {
    if (p == nullptr || count < 1) return nullptr;
    return std::char_traits<char16_t>::find(p, static_cast<size_t>(count), c);
}

char16_t* ScanWord(char16_t c, char16_t* p, int32_t count) noexcept {
    return const_cast<char16_t*>(ScanWord(c, static_cast<const char16_t*>(p), count));
}

const char* ScanByte(uint8_t b, const char* p, int32_t count) noexcept {
    if (p == nullptr || count < 1) return nullptr;
    return static_cast<const char*>(std::memchr(p, b, static_cast<size_t>(count)));
}

char* ScanByte(uint8_t b, char* p, int32_t count) noexcept {
    return const_cast<char*>(ScanByte(b, static_cast<const char*>(p), count));
}

const char* ScanLF(const char* p, int32_t count) noexcept { return ScanByte(10, p, count); }

char* ScanLF(char* p, int32_t count) noexcept { return ScanByte(10, p, count); }

int32_t CountByte(uint8_t b, const char* p, int32_t count) noexcept {
    if (p == nullptr || count < 1) return 0;
    return static_cast<int32_t>(std::count(p, p + count, static_cast<char>(b)));
}

int32_t CountWord(char16_t c, const char16_t* p, int32_t count) noexcept {
    if (p == nullptr || count < 1) return 0;
    return static_cast<int32_t>(std::count(p, p + count, c));
}

namespace {

template <typename Char>
Char* IntToBufT(int32_t v, Char* buffer, int32_t& len) noexcept {
    Char* end = buffer + (len - 1);
    *end = 0;
    Char* p = end;
    // Magnitude in unsigned: the most negative value has no positive Int32 twin.
    uint32_t m = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
    do {
        *--p = static_cast<Char>('0' + m % 10);
        m /= 10;
    } while (m != 0);
    if (v < 0) *--p = '-';
    len = static_cast<int32_t>(end - p);
    return p;
}

}  // namespace

char* IntToBufA(int32_t v, char* buffer, int32_t& len) noexcept { return IntToBufT(v, buffer, len); }

char16_t* IntToBufU(int32_t v, char16_t* buffer, int32_t& len) noexcept {
    return IntToBufT(v, buffer, len);
}

}  // namespace zel

#pragma once
// Memory routines: copies, scans and counts used by the builders, the collectors and
// the lists, and the right-aligned decimal writers. Plain functions, no shared state, any thread.
//
// Argument order: (dest, src, count) as memcpy for the copies; (value, pointer, count) for the scans
// and counts, as the Part gives them. A count below 1 copies, finds or counts nothing.
#include <cstdint>

namespace zel {

// dest[i] := src[count-1-i] for i in [0, count); returns dest. The regions must not overlap.
void* ReverseCopy(void* dest, const void* src, int32_t count) noexcept;

// Forward byte copy of count bytes; the regions may overlap only with dest below src.
void MoveForward(void* dest, const void* src, int32_t count) noexcept;

// First unit equal to c among count units at p, or nullptr.
const char16_t* ScanWord(char16_t c, const char16_t* p, int32_t count) noexcept;
char16_t* ScanWord(char16_t c, char16_t* p, int32_t count) noexcept;

// First byte equal to b among count bytes at p, or nullptr.
const char* ScanByte(uint8_t b, const char* p, int32_t count) noexcept;
char* ScanByte(uint8_t b, char* p, int32_t count) noexcept;

// First line feed (byte 10) among count bytes at p, or nullptr.
const char* ScanLF(const char* p, int32_t count) noexcept;
char* ScanLF(char* p, int32_t count) noexcept;

// Number of bytes (16-bit units) equal to the value among count at p.
int32_t CountByte(uint8_t b, const char* p, int32_t count) noexcept;
int32_t CountWord(char16_t c, const char16_t* p, int32_t count) noexcept;

// Decimal text of v written right-aligned so that it ends just before a terminating zero put at
// buffer[len-1]; returns its first character and sets len to its length (without the zero).
// The caller gives len >= 12 characters of room (not checked: see IntToBufCheckedA in dmq_types).
char* IntToBufA(int32_t v, char* buffer, int32_t& len) noexcept;
char16_t* IntToBufU(int32_t v, char16_t* buffer, int32_t& len) noexcept;

}  // namespace zel

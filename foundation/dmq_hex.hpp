#pragma once
// Upper-case hex pairs for protocol and file output, decoders for stored
// hex values (strict, raising; lenient, returning -1), and hex numbers.
#include <cstdint>

#include "foundation/dmq_types.hpp"

namespace zel {

ZEL_DECLARE_EXCEPTION(EInvalidHexError, EConvertError);
ZEL_DECLARE_EXCEPTION(EInvalidHexCharacterError, EInvalidHexError);
ZEL_DECLARE_EXCEPTION(EInvalidHexLengthError, EInvalidHexError);

// The value of a hex digit of either case, or -1.
template <typename Char>
constexpr int HexValue(Char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The 512 characters "000102...FEFF": the pair of byte b is HexPairs[2*b], HexPairs[2*b+1].
// Shared with the byte text builder.
extern const char HexPairs[513];

// Len bytes as upper-case pairs into 2 * Len characters at Dest; returns the position behind the
// last one (Dest when Len < 1).
char* BufToHexA(char* Dest, const void* P, int32_t Len) noexcept;
char16_t* BufToHexU(char16_t* Dest, const void* P, int32_t Len) noexcept;
AnsiString StrToHexA(AnsiView S);
UnicodeString StrToHexU(AnsiView S);

// Strict decoder of Len characters into Len / 2 bytes at Dest: an odd Len raises
// EInvalidHexLengthError "Invalid HEX length" before anything is written; a character other than
// 0-9, A-F, a-f raises EInvalidHexCharacterError "Invalid HEX character" (the pairs before it are
// written). Len < 1 writes nothing. Returns the position behind the last byte.
char* HexToBuf(char* Dest, const char* P, int32_t Len);
AnsiString HexBufToStrA(const char* P, int32_t Len);
AnsiString HexToStrA(AnsiView S);

// Lenient decoder: characters <= 32 are skipped anywhere, the others must be hex digits of either
// case, taken in pairs. Returns the bytes written (at most Len / 2), or -1 for any other character
// or an odd number of digits.
int32_t TryHexToBuf(char* Dest, const char* P, int32_t Len) noexcept;

// Leading characters <= 32 skipped, then one or more hex digits to the end (no trailing blanks),
// fitting 32 bits (leading zeros do not count). Value is untouched on failure.
bool TryHexToUInt32U(UnicodeView S, uint32_t& Value) noexcept;

[[noreturn]] void RaiseInvalidHexCharacter();
[[noreturn]] void RaiseInvalidHexLength();

}  // namespace zel

#pragma once
// Base64 (and the same three-to-four coding with a caller's alphabet), the MD5 digest (RFC 1321),
// two-byte numbers and the line-end search of the socket library. No shared state.
#include <array>
#include <cstddef>
#include <cstdint>

#include "foundation/dmq_types.hpp"

namespace zel {

// The standard alphabet: 64 digits and the padding character.
inline constexpr AnsiView BASE64_TABLE =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// Three bytes to four characters of table (64 digits, then the padding character at index 64);
// a last group of one or two bytes is padded. A table shorter than 65 characters gives "".
AnsiString EncodeTriplet(AnsiView data, AnsiView table);
// RFC 4648 Base64 with "=" padding.
AnsiString EncodeBase64(AnsiView data);

struct TMD5Ctx {
    uint32_t State[4];
    uint64_t BitCount;
    uint8_t Buffer[64];
};
using TMD5Digest = std::array<uint8_t, 16>;

void MD5Init(TMD5Ctx& ctx) noexcept;
void MD5Update(TMD5Ctx& ctx, AnsiView data) noexcept;
// Completes the digest; the context must be initialised again before further use.
void MD5Final(TMD5Ctx& ctx, TMD5Digest& digest) noexcept;
// The digest as a 16-byte 8-bit text.
AnsiString MD5DigestToStr(const TMD5Digest& digest);

// A 16-bit number as two bytes, high byte first.
AnsiString CodeInt(uint16_t value);
// The two bytes at the 0-based index, high byte first; a byte beyond the text counts as 0.
uint16_t DecodeInt(AnsiView text, size_t index) noexcept;

// 1-based position of the first line end (0: none); terminator := the end found: CR LF, LF CR,
// a lone CR or a lone LF (empty when none).
size_t PosCRLF(AnsiView text, AnsiString& terminator);

}  // namespace zel

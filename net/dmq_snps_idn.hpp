#pragma once
// International host names: Punycode (RFC 3492) and the conversion of whole host names between
// their Unicode form and the ASCII form with "xn--" labels. Host names arrive from clients and
// from the resolver, so every routine treats its input as untrusted and never raises on it.
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/dmq_types.hpp"

namespace zel {

// Results of PunycodeEncode / PunycodeDecode.
constexpr int PunycodeSuccess = 0;
constexpr int PunycodeBadInput = 1;  // not Punycode, or a code point that is not a Unicode scalar
constexpr int PunycodeOverflow = 2;  // the input would need numbers beyond 32 bits

// Code points in, the ASCII encoding out (basic code points, "-" when there are any, then the
// deltas). Output is replaced, and left empty on failure.
int PunycodeEncode(std::u32string_view input, AnsiString& output);
// The ASCII encoding in (without "xn--"), code points out; output left empty on failure.
int PunycodeDecode(AnsiView input, std::u32string& output);

// Each label of the name that holds a character above 127 becomes "xn--" + its Punycode; other
// labels are written as bytes. Dots stay where they are, a trailing dot included.
AnsiString IDNToASCII(UnicodeView name);
// Each label "xn--..." with valid Punycode becomes its Unicode text; every other label is widened
// byte by byte.
UnicodeString IDNToUnicode(AnsiView name);

}  // namespace zel

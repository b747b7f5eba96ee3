#pragma once
// CRC-16 with a caller's start value (the check characters of ids) and CRC-32 (unique
// names). Both chain: the result of one call is the Start of the next over further data.
#include <cstdint>

#include "foundation/dmq_types.hpp"

namespace zel {

// Reflected polynomial 0xA001, no final inversion: Start 0 is CRC-16/ARC, Start 0xFFFF CRC-16/MODBUS.
// Len < 1 or a null pointer returns Start.
uint16_t Crc16(uint16_t Start, const void* P, int32_t Len) noexcept;

// IEEE 802.3 CRC-32 (reflected 0xEDB88320), as zlib's crc32: Start 0 for a fresh sum.
// Len < 1 (or a null pointer) returns Start unchanged.
uint32_t Crc32(uint32_t Start, const void* P, int32_t Len) noexcept;
uint32_t Crc32StrA(uint32_t Start, AnsiView S) noexcept;

}  // namespace zel

#pragma once

#include <cstdint>
#include <span>

namespace quellis::protocol
{

// RFC 1071 one's-complement checksum over little-endian 16-bit words; an odd
// last byte counts as the low byte of a word. Used for the EEPROM record.
[[nodiscard]] std::uint16_t InternetChecksum(std::span<const std::uint8_t> bytes);

} // namespace quellis::protocol

#pragma once

#include "protocol/device_packet.h"
#include "sim/scenario.h"

#include <array>
#include <cstdint>

// A machine's 40-byte identification record and the CMD_ReadE2 and
// CMD_WriteE2 operations on it, with the faults a scenario can give it.

namespace quellis::sim
{

using E2Record = std::array<std::uint8_t, protocol::kE2RecordSize>;

// Error numbers the machine answers, as its firmware reports them (errno values).
inline constexpr std::int32_t kE2InvalidRequest = 22;
inline constexpr std::int32_t kE2ChecksumMismatch = 74;

struct E2ReadAnswer
{
    std::int32_t result = 0;
    protocol::E2Block block; // start, length and data of what was read, with its checksum
};

// The bytes from request.start, at most request.length and never past the
// record. Blank reads all 0xFF with a matching checksum; BadChecksum carries a
// checksum that does not match; Error answers errorNumber with no data.
[[nodiscard]] E2ReadAnswer ReadE2(
    const E2Record& record, const protocol::E2Block& request, EepromMode mode, std::int32_t errorNumber);

// Checks the checksum of request.length data bytes and writes them from
// request.start, dropping what lies past the record. 0 when written, else an
// error number. Blank acknowledges and keeps nothing; Error answers errorNumber.
[[nodiscard]] std::int32_t WriteE2(
    E2Record& record, const protocol::E2Block& request, EepromMode mode, std::int32_t errorNumber);

} // namespace quellis::sim

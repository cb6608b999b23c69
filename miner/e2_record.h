#pragma once

#include "protocol/device_packet.h"

#include <string>
#include <string_view>
#include <vector>

// The 40-byte identification record made from a machine's two label codes (a
// QR code and a one-dimensional bar code), as a CMD_WriteE2 request carries
// it. The codes are the bytes as sent (code page 936).

namespace quellis::miner
{

inline constexpr std::size_t kQrPartSize = 15;
inline constexpr std::size_t kOneDPartSize = 25;
inline constexpr std::uint32_t kOneDPartOffset = 15;

struct E2Write
{
    protocol::E2Block block; // start, length, data and checksum
    // What the building logs, in order (code page 936 bytes of the codes).
    std::vector<std::string> logLines;
};

// Data length 40 (both codes), 15 (the QR part only: the one-D pieces did not
// have their lengths), 25 (only the one-D code, from record offset 15) or 0
// (nothing valid; the request is still sent).
[[nodiscard]] E2Write BuildE2Write(std::string_view qrCode, std::string_view oneDCode);

// The second field of a code split at "-": after the first "-" up to the
// next one or the end; empty without a "-".
[[nodiscard]] std::string_view SecondField(std::string_view code);

} // namespace quellis::miner

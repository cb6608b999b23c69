#include "protocol/internet_checksum.h"

namespace quellis::protocol
{

std::uint16_t InternetChecksum(std::span<const std::uint8_t> bytes)
{
    // 64 bits so that no block the program can hold overflows before folding.
    std::uint64_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2)
    {
        sum += static_cast<std::uint32_t>(bytes[i]) | (static_cast<std::uint32_t>(bytes[i + 1]) << 8);
    }
    if (i < bytes.size())
    {
        sum += bytes[i];
    }
    while ((sum >> 16) != 0)
    {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

} // namespace quellis::protocol

#include "platform/net/ipv4.h"

#include <arpa/inet.h>

#include <cstdio>

namespace quellis::net
{

std::optional<std::uint32_t> ParseIpv4(std::string_view text)
{
    // inet_aton wants a terminated text; a text with a NUL inside is not an address.
    if (text.empty() || text.size() > 64 || text.find('\0') != std::string_view::npos)
    {
        return std::nullopt;
    }
    std::string copy(text);
    in_addr parsed {};
    if (inet_aton(copy.c_str(), &parsed) == 0)
    {
        return std::nullopt;
    }
    return ntohl(parsed.s_addr);
}

std::uint32_t InetAddr(std::string_view text)
{
    return ParseIpv4(text).value_or(kInaddrNone);
}

std::string FormatIpv4(std::uint32_t address)
{
    char text[16];
    std::snprintf(text,
        sizeof text,
        "%u.%u.%u.%u",
        (address >> 24) & 0xFF,
        (address >> 16) & 0xFF,
        (address >> 8) & 0xFF,
        address & 0xFF);
    return text;
}

} // namespace quellis::net

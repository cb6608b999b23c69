#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Dotted-address conversion. Addresses are u32 in host order throughout the
// program: the first number of the dotted text is the most significant byte.

namespace quellis::net
{

inline constexpr std::uint32_t kInaddrAny = 0;
inline constexpr std::uint32_t kInaddrNone = 0xFFFFFFFFu;
inline constexpr std::uint32_t kInaddrBroadcast = 0xFFFFFFFFu;

// The address of a dotted text in the forms the standard conversion accepts
// (a.b.c.d, also a.b.c, a.b, a, with octal and hexadecimal numbers); nothing for
// any other text.
[[nodiscard]] std::optional<std::uint32_t> ParseIpv4(std::string_view text);

// inet_addr semantics: the address, or kInaddrNone for a text that is not one.
[[nodiscard]] std::uint32_t InetAddr(std::string_view text);

// "a.b.c.d".
[[nodiscard]] std::string FormatIpv4(std::uint32_t address);

struct Endpoint
{
    std::uint32_t address = kInaddrAny;
    std::uint16_t port = 0;

    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

} // namespace quellis::net

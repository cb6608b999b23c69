#include "cli/static_address.h"

#include "platform/net/ipv4.h"

#include <bit>
#include <charconv>

namespace quellis::cli
{

namespace
{

// A number of 1 to 3 decimal digits, at most `limit`.
std::optional<std::uint32_t> Decimal(std::string_view text, std::uint32_t limit)
{
    std::uint32_t value = 0;
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text.size() > 3 || failure != std::errc {} || end != text.data() + text.size() || value > limit)
    {
        return std::nullopt;
    }
    return value;
}

// Exactly "a.b.c.d" in decimal: the shorter, octal and hexadecimal forms the
// standard conversion takes are surprises here ("17" would be 0.0.0.17).
std::optional<std::uint32_t> Dotted(std::string_view text)
{
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part)
    {
        const std::size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos)
        {
            return std::nullopt;
        }
        const auto number = Decimal(text.substr(0, dot), 255);
        if (!number || (text[0] == '0' && dot > 1))
        {
            return std::nullopt;
        }
        address = address << 8 | *number;
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    return address;
}

bool Fail(std::string* error, std::string text)
{
    if (error != nullptr)
    {
        *error = std::move(text);
    }
    return false;
}

// A host of the network `mask` cuts out around `network`.
bool IsHost(const char* what, std::uint32_t address, std::uint32_t mask, std::uint32_t network, std::string* error)
{
    const std::string shown = std::string(what) + " " + net::FormatIpv4(address);
    if (address >> 24 == 0)
    {
        return Fail(error, shown + " is in 0.0.0.0/8");
    }
    if (address >> 28 >= 0xE)
    {
        return Fail(error, shown + " is a multicast or reserved address");
    }
    if ((address & mask) != network)
    {
        return Fail(error, shown + " is not in the network " + net::FormatIpv4(network));
    }
    if ((address & ~mask) == 0)
    {
        return Fail(error, shown + " is the network's own address");
    }
    if ((address | mask) == 0xFFFFFFFFu)
    {
        return Fail(error, shown + " is the network's broadcast address");
    }
    return true;
}

} // namespace

std::optional<StaticAddress> ParseStaticAddress(
    std::string_view addressAndMask, std::string_view gateway, std::string* error)
{
    const std::size_t slash = addressAndMask.find('/');
    if (slash == std::string_view::npos)
    {
        Fail(error, "--static takes ADDR/PREFIX or ADDR/MASK");
        return std::nullopt;
    }
    const std::string_view maskText = addressAndMask.substr(slash + 1);
    StaticAddress parsed;
    if (const auto address = Dotted(addressAndMask.substr(0, slash)))
    {
        parsed.address = *address;
    }
    else
    {
        Fail(error, "--static takes ADDR/PREFIX or ADDR/MASK: not an address");
        return std::nullopt;
    }
    if (maskText.find('.') == std::string_view::npos)
    {
        const auto prefix = Decimal(maskText, 32);
        if (!prefix || *prefix < 1 || *prefix > 30)
        {
            Fail(error, "--static: the prefix length is 1 to 30");
            return std::nullopt;
        }
        parsed.mask = ~0u << (32 - *prefix);
    }
    else
    {
        const auto mask = Dotted(maskText);
        // Contiguous ones: the zeros below them, plus one, are a power of two.
        if (!mask || *mask == 0 || !std::has_single_bit(~*mask + 1u))
        {
            Fail(error, "--static: the mask is not a run of ones from the left");
            return std::nullopt;
        }
        if (std::countr_zero(*mask) < 2)
        {
            Fail(error, "--static: the prefix length is 1 to 30");
            return std::nullopt;
        }
        parsed.mask = *mask;
    }
    const auto gatewayAddress = Dotted(gateway);
    if (!gatewayAddress)
    {
        Fail(error, "--static needs --gateway G");
        return std::nullopt;
    }
    parsed.gateway = *gatewayAddress;
    const std::uint32_t network = parsed.address & parsed.mask;
    if (!IsHost("address", parsed.address, parsed.mask, network, error)
        || !IsHost("gateway", parsed.gateway, parsed.mask, network, error))
    {
        return std::nullopt;
    }
    if (parsed.gateway == parsed.address)
    {
        Fail(error, "--static: the gateway is the address itself");
        return std::nullopt;
    }
    return parsed;
}

} // namespace quellis::cli

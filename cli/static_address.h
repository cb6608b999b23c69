#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The static address the command line gives a machine, checked before
// anything is sent: a wrong mask or an address that no machine can hold
// would cut the machine off its network.

namespace quellis::cli
{

struct StaticAddress
{
    std::uint32_t address = 0; // host order, as ParseIpv4
    std::uint32_t mask = 0;
    std::uint32_t gateway = 0;
};

// "ADDR/PREFIX" (a prefix length, 1 to 30) or "ADDR/MASK" (a dotted mask of
// contiguous ones), and the gateway; addresses as four decimal numbers. The
// address and the gateway must be hosts of the one network: not its network
// or broadcast address, not 0.x, not multicast or reserved. Nothing, with
// the reason, otherwise.
[[nodiscard]] std::optional<StaticAddress> ParseStaticAddress(
    std::string_view addressAndMask, std::string_view gateway, std::string* error);

} // namespace quellis::cli

#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The local address of the default route: the tool binds its send socket to
// it, so that broadcasts leave with the address the machines answer to.

namespace quellis::net
{

struct RouteRow
{
    std::uint32_t destination = 0;
    std::uint32_t mask = 0;
    std::uint32_t metric = 0;
    int interfaceIndex = 0;
};

struct AddressRow
{
    int interfaceIndex = 0;
    std::uint32_t address = 0;
};

// Of the default routes (destination and mask 0.0.0.0) the one with the lowest
// metric, the first of equal ones in destination order; then the first address
// of its interface, as dotted text. Empty when there is none.
[[nodiscard]] std::string PickDefaultRouteAddress(
    std::vector<RouteRow> routes, const std::vector<AddressRow>& addresses);

// The rows of a /proc/net/route text that are up; indexOf maps an interface
// name to its index (0 when unknown: the row is left out).
[[nodiscard]] std::vector<RouteRow> ParseProcNetRoute(
    std::string_view text, const std::function<int(const std::string&)>& indexOf);

// Reads the system's route and address tables (empty when they cannot be read).
[[nodiscard]] std::string DefaultRouteAddress();

struct SegmentAddress
{
    std::uint32_t address = 0;
    std::uint32_t mask = 0;
};

// The default route's address with the netmask of its interface: the tool's
// own segment. Nothing when there is no default route.
[[nodiscard]] std::optional<SegmentAddress> DefaultRouteSegment();

} // namespace quellis::net

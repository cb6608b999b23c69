#include "platform/net/default_route.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <fstream>
#include <sstream>

namespace quellis::net
{

namespace
{

std::vector<AddressRow> ReadAddressTable()
{
    std::vector<AddressRow> rows;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
    {
        return rows;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next)
    {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
        {
            continue;
        }
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        rows.push_back(
            AddressRow { static_cast<int>(if_nametoindex(entry->ifa_name)), ntohl(address->sin_addr.s_addr) });
    }
    freeifaddrs(list);
    return rows;
}

} // namespace

std::string DefaultRouteAddress()
{
    std::ifstream file("/proc/net/route");
    if (!file)
    {
        return {};
    }
    std::stringstream text;
    text << file.rdbuf();
    auto routes = ParseProcNetRoute(
        text.str(), [](const std::string& name) { return static_cast<int>(if_nametoindex(name.c_str())); });
    return PickDefaultRouteAddress(std::move(routes), ReadAddressTable());
}

std::optional<SegmentAddress> DefaultRouteSegment()
{
    const std::string text = DefaultRouteAddress();
    in_addr wanted {};
    if (text.empty() || inet_pton(AF_INET, text.c_str(), &wanted) != 1)
    {
        return std::nullopt;
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
    {
        return std::nullopt;
    }
    std::optional<SegmentAddress> segment;
    for (const ifaddrs* entry = list; entry != nullptr && !segment; entry = entry->ifa_next)
    {
        if (entry->ifa_addr == nullptr || entry->ifa_netmask == nullptr || entry->ifa_addr->sa_family != AF_INET)
        {
            continue;
        }
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (address->sin_addr.s_addr == wanted.s_addr)
        {
            const auto* mask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask);
            segment = SegmentAddress { ntohl(address->sin_addr.s_addr), ntohl(mask->sin_addr.s_addr) };
        }
    }
    freeifaddrs(list);
    return segment;
}

} // namespace quellis::net

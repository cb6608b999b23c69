#include "platform/net/default_route.h"

#include "platform/net/ipv4.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace quellis::net
{

namespace
{

// /proc/net/route prints addresses as the hexadecimal value of the network-order
// u32 read on this machine: on a little-endian machine 0100A8C0 is 192.168.0.1.
bool ParseRouteHex(std::string_view field, std::uint32_t& value)
{
    std::uint32_t raw = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), raw, 16);
    if (error != std::errc {} || end != field.data() + field.size())
    {
        return false;
    }
    value = ntohl(raw);
    return true;
}

std::vector<std::string_view> SplitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t position = 0;
    while (position < line.size())
    {
        while (position < line.size() && (line[position] == ' ' || line[position] == '\t'))
        {
            ++position;
        }
        const std::size_t start = position;
        while (position < line.size() && line[position] != ' ' && line[position] != '\t')
        {
            ++position;
        }
        if (position > start)
        {
            fields.push_back(line.substr(start, position - start));
        }
    }
    return fields;
}

} // namespace

std::vector<RouteRow> ParseProcNetRoute(std::string_view text, const std::function<int(const std::string&)>& indexOf)
{
    constexpr unsigned kRouteUp = 0x0001;
    std::vector<RouteRow> rows;
    bool header = true;
    while (!text.empty())
    {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view {} : text.substr(end + 1);
        if (header)
        {
            header = false;
            continue;
        }
        // Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT
        const auto fields = SplitFields(line);
        if (fields.size() < 8)
        {
            continue;
        }
        RouteRow row;
        std::uint32_t flags = 0;
        if (!ParseRouteHex(fields[1], row.destination) || !ParseRouteHex(fields[7], row.mask))
        {
            continue;
        }
        std::from_chars(fields[3].data(), fields[3].data() + fields[3].size(), flags, 16);
        std::from_chars(fields[6].data(), fields[6].data() + fields[6].size(), row.metric, 10);
        if ((flags & kRouteUp) == 0)
        {
            continue;
        }
        row.interfaceIndex = indexOf(std::string(fields[0]));
        if (row.interfaceIndex > 0)
        {
            rows.push_back(row);
        }
    }
    return rows;
}

std::string PickDefaultRouteAddress(std::vector<RouteRow> routes, const std::vector<AddressRow>& addresses)
{
    std::stable_sort(routes.begin(),
        routes.end(),
        [](const RouteRow& a, const RouteRow& b) { return a.destination < b.destination; });

    const RouteRow* best = nullptr;
    for (const RouteRow& row : routes)
    {
        if (row.destination == 0 && row.mask == 0 && (best == nullptr || row.metric < best->metric))
        {
            best = &row;
        }
    }
    if (best == nullptr)
    {
        return {};
    }
    for (const AddressRow& row : addresses)
    {
        if (row.interfaceIndex == best->interfaceIndex)
        {
            return FormatIpv4(row.address);
        }
    }
    return {};
}

} // namespace quellis::net

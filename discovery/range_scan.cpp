#include "discovery/range_scan.h"

#include "platform/net/default_route.h"

namespace quellis::discovery
{

ScanSettingsRead ReadScanSettings(
    std::string_view ranges, std::string_view rate, const std::optional<protocol::LocalSegment>& own)
{
    ScanSettingsRead read;
    if (ranges.find_first_not_of(" \t\r\n") == std::string_view::npos)
    {
        return read;
    }
    protocol::RangesParse parsed = protocol::ParseScanRanges(ranges, own);
    if (!parsed.error.empty())
    {
        read.error = std::move(parsed.error);
        return read;
    }
    ScanSettings scan { std::move(parsed.ranges) };
    if (rate.find_first_not_of(" \t\r\n") != std::string_view::npos)
    {
        const auto parsedRate = protocol::ParseScanRate(rate);
        if (!parsedRate)
        {
            read.error = protocol::ScanRateError(rate);
            return read;
        }
        scan.rate = *parsedRate;
    }
    read.scan = std::move(scan);
    return read;
}

std::optional<protocol::LocalSegment> OwnSegment()
{
    const auto segment = net::DefaultRouteSegment();
    if (!segment)
    {
        return std::nullopt;
    }
    return protocol::LocalSegment { segment->address, segment->mask };
}

std::uint64_t AddressCount(const std::vector<protocol::AddressRange>& ranges)
{
    std::uint64_t count = 0;
    for (const auto& range : ranges)
    {
        count += range.Size();
    }
    return count;
}

std::string ScanStartLine(const ScanSettings& scan)
{
    std::string names;
    for (const auto& range : scan.ranges)
    {
        names += (names.empty() ? "" : ", ") + range.text;
    }
    return "Range scan: " + std::to_string(AddressCount(scan.ranges)) + " addresses (" + names + ") at "
        + std::to_string(scan.rate) + " per second\r\n";
}

std::string ScanEndLine(std::uint64_t sent, std::size_t found, bool stopped)
{
    return std::string(stopped ? "Range scan stopped: " : "Range scan done: ") + std::to_string(sent)
        + " addresses sent, " + std::to_string(found) + " machines found behind routers\r\n";
}

} // namespace quellis::discovery

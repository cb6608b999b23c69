#include "discovery/range_scan.h"

#include "platform/net/default_route.h"

namespace quellis::discovery
{

ScanSettingsRead ReadScanSettings(
    std::string_view ranges, std::string_view rate, const std::optional<protocol::LocalSegment>& own, bool chinese)
{
    ScanSettingsRead read;
    if (ranges.find_first_not_of(" \t\r\n") == std::string_view::npos)
    {
        return read;
    }
    protocol::RangesParse parsed = protocol::ParseScanRanges(ranges, own);
    if (!parsed.error.empty())
    {
        read.error = protocol::RangesMessage(parsed, chinese);
        return read;
    }
    ScanSettings scan { std::move(parsed.ranges) };
    if (rate.find_first_not_of(" \t\r\n") != std::string_view::npos)
    {
        const auto parsedRate = protocol::ParseScanRate(rate);
        if (!parsedRate)
        {
            read.error = protocol::ScanRateError(rate, chinese);
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

std::string ScanStartLine(const ScanSettings& scan, bool chinese)
{
    std::string names;
    for (const auto& range : scan.ranges)
    {
        names += (names.empty() ? "" : ", ") + range.text;
    }
    const std::string count = std::to_string(AddressCount(scan.ranges));
    const std::string rate = std::to_string(scan.rate);
    if (chinese)
    {
        return "范围扫描：" + count + " 个地址 (" + names + ")，每秒 " + rate + " 个\r\n";
    }
    return "Range scan: " + count + " addresses (" + names + ") at " + rate + " per second\r\n";
}

std::string ScanEndLine(std::uint64_t sent, std::size_t found, bool stopped, bool chinese)
{
    if (chinese)
    {
        return std::string(stopped ? "范围扫描已停止：" : "范围扫描完成：") + "已发送 " + std::to_string(sent)
            + " 个地址，在路由器后找到 " + std::to_string(found) + " 台机器\r\n";
    }
    return std::string(stopped ? "Range scan stopped: " : "Range scan done: ") + std::to_string(sent)
        + " addresses sent, " + std::to_string(found) + " machines found behind routers\r\n";
}

std::string_view ScanCaption(bool chinese)
{
    return chinese ? "范围扫描" : "Range scan";
}

} // namespace quellis::discovery

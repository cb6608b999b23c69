#include "protocol/scan_ranges.h"

#include <algorithm>
#include <charconv>

namespace quellis::protocol
{

namespace
{

constexpr std::uint32_t kMulticastFirst = 0xE0000000u; // 224.0.0.0
constexpr std::uint32_t kMulticastLast = 0xEFFFFFFFu; // 239.255.255.255

std::string_view Trim(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
    {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back()))
    {
        text.remove_suffix(1);
    }
    return text;
}

// Decimal digits only, no sign, no leading zero (a leading zero reads as octal
// to other tools, so it is refused rather than guessed).
std::optional<std::uint32_t> Number(std::string_view text, std::uint32_t max)
{
    if (text.empty() || text.size() > 3 || (text.size() > 1 && text.front() == '0'))
    {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc {} || end != text.data() + text.size() || value > max)
    {
        return std::nullopt;
    }
    return value;
}

// Exactly four decimal numbers of 0 to 255.
std::optional<std::uint32_t> DottedQuad(std::string_view text)
{
    std::uint32_t address = 0;
    for (int i = 0; i < 4; ++i)
    {
        const std::size_t dot = text.find('.');
        if ((i < 3) == (dot == std::string_view::npos))
        {
            return std::nullopt;
        }
        const auto number = Number(text.substr(0, dot), 255);
        if (!number)
        {
            return std::nullopt;
        }
        address = address << 8 | *number;
        text = dot == std::string_view::npos ? std::string_view {} : text.substr(dot + 1);
    }
    return address;
}

std::string Quoted(std::string_view piece)
{
    return "\"" + std::string(piece) + "\"";
}

// One piece, or what is wrong with it.
std::optional<AddressRange> ParsePiece(std::string_view piece, RangesFault& fault)
{
    if (piece.find(':') != std::string_view::npos)
    {
        fault = RangesFault::NotIpv4;
        return std::nullopt;
    }
    if (const std::size_t slash = piece.find('/'); slash != std::string_view::npos)
    {
        const auto base = DottedQuad(piece.substr(0, slash));
        const auto prefix = Number(piece.substr(slash + 1), 255);
        if (!base || !prefix)
        {
            fault = RangesFault::BlockForm;
            return std::nullopt;
        }
        if (*prefix > 32)
        {
            fault = RangesFault::PrefixLength;
            return std::nullopt;
        }
        const std::uint32_t mask = *prefix == 0 ? 0 : ~std::uint32_t { 0 } << (32 - *prefix);
        return AddressRange { *base & mask, (*base & mask) | ~mask, std::string(piece) };
    }
    if (const std::size_t dash = piece.find('-'); dash != std::string_view::npos)
    {
        const auto first = DottedQuad(Trim(piece.substr(0, dash)));
        const auto last = DottedQuad(Trim(piece.substr(dash + 1)));
        if (!first || !last)
        {
            fault = RangesFault::RangeForm;
            return std::nullopt;
        }
        if (*last < *first)
        {
            fault = RangesFault::Reversed;
            return std::nullopt;
        }
        return AddressRange { *first, *last, std::string(piece) };
    }
    const auto address = DottedQuad(piece);
    if (!address)
    {
        fault = RangesFault::NotAddress;
        return std::nullopt;
    }
    return AddressRange { *address, *address, std::string(piece) };
}

// The first address of the range that no search may send to, if any.
std::optional<ForbiddenAddress> Forbidden(const AddressRange& range, const std::optional<LocalSegment>& own)
{
    if (range.Contains(0))
    {
        return ForbiddenAddress::Zero;
    }
    if (range.Contains(0xFFFFFFFFu))
    {
        return ForbiddenAddress::Broadcast;
    }
    if (range.first <= kMulticastLast && range.last >= kMulticastFirst)
    {
        return ForbiddenAddress::Multicast;
    }
    // A /31 or /32 segment has no network and broadcast address of its own.
    if (own && own->mask != 0 && (~own->mask) > 1)
    {
        const std::uint32_t network = own->address & own->mask;
        if (range.Contains(network))
        {
            return ForbiddenAddress::OwnNetwork;
        }
        if (range.Contains(network | ~own->mask))
        {
            return ForbiddenAddress::OwnBroadcast;
        }
    }
    return std::nullopt;
}

std::string_view ForbiddenText(ForbiddenAddress address, bool chinese)
{
    switch (address)
    {
    case ForbiddenAddress::Zero:
        return "0.0.0.0";
    case ForbiddenAddress::Broadcast:
        return chinese ? "广播地址 255.255.255.255" : "the broadcast address 255.255.255.255";
    case ForbiddenAddress::Multicast:
        return chinese ? "组播地址" : "multicast addresses";
    case ForbiddenAddress::OwnNetwork:
        return chinese ? "本机网段的网络地址" : "the network address of the tool's own segment";
    case ForbiddenAddress::OwnBroadcast:
        return chinese ? "本机网段的广播地址" : "the broadcast address of the tool's own segment";
    }
    return {};
}

// What follows the quoted piece in a message.
std::string FaultText(const RangesParse& parse, bool chinese)
{
    switch (parse.fault)
    {
    case RangesFault::None:
    case RangesFault::NoRange:
    case RangesFault::EmptyPiece:
        return {};
    case RangesFault::NotIpv4:
        return chinese ? "只能扫描 IPv4 地址" : "only IPv4 addresses can be scanned";
    case RangesFault::BlockForm:
        return chinese ? "网段应写作 a.b.c.d/n" : "a block is written a.b.c.d/n";
    case RangesFault::PrefixLength:
        return chinese ? "前缀长度为 0 到 32" : "the prefix length is 0 to 32";
    case RangesFault::RangeForm:
        return chinese ? "范围应写作 a.b.c.d-e.f.g.h" : "a range is written a.b.c.d-e.f.g.h";
    case RangesFault::Reversed:
        return chinese ? "范围的结束地址在起始地址之前" : "the range ends before it begins";
    case RangesFault::NotAddress:
        return chinese ? "不是 IPv4 地址、网段 (a.b.c.d/n) 或范围 (a.b.c.d-e.f.g.h)"
                       : "not an IPv4 address, block (a.b.c.d/n) or range (a.b.c.d-e.f.g.h)";
    case RangesFault::Forbidden:
        return (chinese ? "扫描不能包含" : "a scan may not include ")
            + std::string(ForbiddenText(parse.forbidden, chinese));
    case RangesFault::TooMany:
        return chinese ? "合计超过 " + std::to_string(kMaxScanAddresses) + " 个地址 (一个 /16)，一次搜索最多扫描这么多"
                       : "more than " + std::to_string(kMaxScanAddresses)
                + " addresses together (a /16), the most one search scans";
    case RangesFault::Overlap:
        return chinese ? "与 " + Quoted(parse.other) + " 重叠" : "overlaps " + Quoted(parse.other);
    }
    return {};
}

// Two pieces that share an address, the later one in the text first. In
// address order, pieces that do not overlap their neighbours overlap none.
std::optional<std::pair<std::size_t, std::size_t>> Overlap(const std::vector<AddressRange>& ranges)
{
    std::vector<std::size_t> order(ranges.size());
    for (std::size_t i = 0; i < order.size(); ++i)
    {
        order[i] = i;
    }
    std::sort(order.begin(),
        order.end(),
        [&](std::size_t a, std::size_t b) { return std::pair(ranges[a].first, a) < std::pair(ranges[b].first, b); });
    for (std::size_t i = 1; i < order.size(); ++i)
    {
        const std::size_t a = order[i - 1];
        const std::size_t b = order[i];
        if (ranges[b].first <= ranges[a].last)
        {
            return std::pair(std::max(a, b), std::min(a, b));
        }
    }
    return std::nullopt;
}

} // namespace

RangesParse ParseScanRanges(std::string_view text, const std::optional<LocalSegment>& own)
{
    RangesParse result;
    std::uint64_t total = 0;
    while (true)
    {
        const std::size_t comma = text.find(',');
        const std::string_view piece = Trim(text.substr(0, comma));
        result.piece = piece;
        if (piece.empty())
        {
            result.fault = Trim(text).empty() && result.ranges.empty() && comma == std::string_view::npos
                ? RangesFault::NoRange
                : RangesFault::EmptyPiece;
            break;
        }
        auto range = ParsePiece(piece, result.fault);
        if (!range)
        {
            break;
        }
        if (const auto forbidden = Forbidden(*range, own))
        {
            result.fault = RangesFault::Forbidden;
            result.forbidden = *forbidden;
            break;
        }
        total += range->Size();
        if (total > kMaxScanAddresses)
        {
            result.fault = RangesFault::TooMany;
            break;
        }
        result.ranges.push_back(std::move(*range));
        if (comma == std::string_view::npos)
        {
            if (const auto overlap = Overlap(result.ranges))
            {
                result.fault = RangesFault::Overlap;
                result.piece = result.ranges[overlap->first].text;
                result.other = result.ranges[overlap->second].text;
                break;
            }
            result.piece.clear();
            return result;
        }
        text.remove_prefix(comma + 1);
    }
    result.ranges.clear();
    result.error = RangesMessage(result, false);
    return result;
}

std::string RangesMessage(const RangesParse& parse, bool chinese)
{
    if (parse.fault == RangesFault::None)
    {
        return {};
    }
    if (parse.fault == RangesFault::NoRange)
    {
        return chinese ? "没有给出地址范围" : "no address range given";
    }
    if (parse.fault == RangesFault::EmptyPiece)
    {
        return chinese ? "地址范围列表中有空项" : "an empty piece in the list of ranges";
    }
    return Quoted(parse.piece) + (chinese ? "：" : ": ") + FaultText(parse, chinese);
}

std::optional<int> ParseScanRate(std::string_view text)
{
    text = Trim(text);
    int rate = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), rate);
    if (text.empty() || error != std::errc {} || end != text.data() + text.size() || rate < 1 || rate > kMaxScanRate)
    {
        return std::nullopt;
    }
    return rate;
}

std::string ScanRateError(std::string_view text, bool chinese)
{
    if (chinese)
    {
        return Quoted(Trim(text)) + "：扫描速率为每秒 1 到 " + std::to_string(kMaxScanRate) + " 个地址";
    }
    return Quoted(Trim(text)) + ": the scan rate is 1 to " + std::to_string(kMaxScanRate) + " addresses per second";
}

} // namespace quellis::protocol

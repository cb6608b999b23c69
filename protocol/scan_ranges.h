#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The address ranges a search may also scan with unicast requests, for
// machines behind routers that its broadcast cannot reach; and the rate of
// that scan. Both come from config.ini [SCAN] or the command line.

namespace quellis::protocol
{

// One block of a ranges text, as the operator wrote it ("10.1.0.0/24",
// "10.2.0.10-10.2.0.99"); its text names the segment of the machines found in it.
struct AddressRange
{
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    std::string text;

    [[nodiscard]] std::uint64_t Size() const { return std::uint64_t { last } - first + 1; }
    [[nodiscard]] bool Contains(std::uint32_t address) const { return address >= first && address <= last; }
};

// The tool's own segment: the address of the default route and its mask.
struct LocalSegment
{
    std::uint32_t address = 0;
    std::uint32_t mask = 0;

    [[nodiscard]] bool Contains(std::uint32_t other) const { return (other & mask) == (address & mask); }
};

// At most a /16 per search, all ranges together.
inline constexpr std::uint64_t kMaxScanAddresses = 65536;

// What is wrong with a refused ranges text.
enum class RangesFault
{
    None,
    NoRange, // nothing but blanks
    EmptyPiece, // two commas in a row, or one at either end
    NotIpv4, // an IPv6 address or block
    BlockForm, // not a.b.c.d/n
    PrefixLength, // n above 32
    RangeForm, // not a.b.c.d-e.f.g.h
    Reversed, // the range ends before it begins
    NotAddress, // none of the three forms
    Forbidden, // holds an address no search sends to (RangesParse::forbidden)
    TooMany, // more than kMaxScanAddresses together
    Overlap, // shares an address with RangesParse::other
};

enum class ForbiddenAddress
{
    Zero,
    Broadcast,
    Multicast,
    OwnNetwork,
    OwnBroadcast,
};

struct RangesParse
{
    std::vector<AddressRange> ranges;
    RangesFault fault = RangesFault::None;
    ForbiddenAddress forbidden = ForbiddenAddress::Zero;
    std::string piece; // the piece at fault
    std::string other; // the piece it overlaps
    // Empty when the text was accepted; else what is wrong, naming the piece
    // (RangesMessage in English).
    std::string error;
};

// The message for a refused ranges text, in Chinese or in English.
[[nodiscard]] std::string RangesMessage(const RangesParse& parse, bool chinese);

// A comma-separated list of dotted-quad addresses, CIDR blocks (a.b.c.d/n; the
// host bits are ignored) and a-b ranges, blanks around pieces allowed. Refused:
// malformed pieces, an empty list, overlapping pieces, more than
// kMaxScanAddresses together, and any range holding 0.0.0.0,
// 255.255.255.255, a multicast address or, when the own segment is known,
// its network or broadcast address.
[[nodiscard]] RangesParse ParseScanRanges(std::string_view text, const std::optional<LocalSegment>& own);

// Addresses per second of a range scan.
inline constexpr int kDefaultScanRate = 2000;
inline constexpr int kMaxScanRate = 100000;

// A decimal rate from 1 to kMaxScanRate; nothing for anything else.
[[nodiscard]] std::optional<int> ParseScanRate(std::string_view text);
// The message for a rate that ParseScanRate refused, in Chinese or in English.
[[nodiscard]] std::string ScanRateError(std::string_view text, bool chinese = false);

} // namespace quellis::protocol

#pragma once

#include "protocol/scan_ranges.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a search scans besides its broadcast, from config.ini [SCAN] RANGES
// and RATE or the command line's --range and --rate; and the log lines of a
// scan.

namespace quellis::discovery
{

struct ScanSettings
{
    std::vector<protocol::AddressRange> ranges;
    int rate = protocol::kDefaultScanRate;
};

struct ScanSettingsRead
{
    // Nothing with an empty error: no ranges, the search is the broadcast alone.
    std::optional<ScanSettings> scan;
    std::string error;
};

// The rate is read only when there are ranges; an empty one is the default.
// The error is in Chinese or in English.
[[nodiscard]] ScanSettingsRead ReadScanSettings(std::string_view ranges,
    std::string_view rate,
    const std::optional<protocol::LocalSegment>& own,
    bool chinese = false);

// The tool's own segment now, when it has a default route.
[[nodiscard]] std::optional<protocol::LocalSegment> OwnSegment();

[[nodiscard]] std::uint64_t AddressCount(const std::vector<protocol::AddressRange>& ranges);
// The log lines of a scan and the caption of its message box, in Chinese or
// in English.
[[nodiscard]] std::string ScanStartLine(const ScanSettings& scan, bool chinese);
[[nodiscard]] std::string ScanEndLine(std::uint64_t sent, std::size_t found, bool stopped, bool chinese);
[[nodiscard]] std::string_view ScanCaption(bool chinese);

} // namespace quellis::discovery

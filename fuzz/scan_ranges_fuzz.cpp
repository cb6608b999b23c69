// The ranges text of config.ini [SCAN] RANGES or the command line's --range.
#include "fuzz/fuzz_check.h"
#include "protocol/scan_ranges.h"

#include <string_view>

using namespace quellis::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const LocalSegment own { 0xC0A8014Du, 0xFFFFFF00u };
    const RangesParse parsed = ParseScanRanges(text, own);
    Check(parsed.error.empty() != parsed.ranges.empty());
    Check(parsed.error == RangesMessage(parsed, false));
    Check(RangesMessage(parsed, true).empty() == parsed.error.empty());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < parsed.ranges.size(); ++i)
    {
        const AddressRange& range = parsed.ranges[i];
        Check(range.first <= range.last && !range.Contains(0) && !range.Contains(0xFFFFFFFFu));
        Check(range.last < 0xE0000000u || range.first > 0xEFFFFFFFu);
        Check(!range.Contains(0xC0A80100u) && !range.Contains(0xC0A801FFu));
        for (std::size_t j = 0; j < i; ++j)
        {
            Check(range.last < parsed.ranges[j].first || range.first > parsed.ranges[j].last);
        }
        total += range.Size();
    }
    Check(total <= kMaxScanAddresses);
    if (const auto rate = ParseScanRate(text))
    {
        Check(*rate >= 1 && *rate <= kMaxScanRate);
    }
    else
    {
        Check(!ScanRateError(text, true).empty() && !ScanRateError(text, false).empty());
    }
    return 0;
}

#include "protocol/rate_pacer.h"
#include "protocol/scan_ranges.h"

#include <gtest/gtest.h>

namespace quellis::protocol
{
namespace
{

// 192.168.1.77/24: the tool's own segment in these cases.
const std::optional<LocalSegment> kOwn = LocalSegment { 0xC0A8014Du, 0xFFFFFF00u };

TEST(ScanRanges, AcceptsBlocksRangesAndAddresses)
{
    const struct
    {
        const char* text;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
    } cases[] = {
        { "10.1.0.0/24", { { 0x0A010000u, 0x0A0100FFu } } },
        { "10.1.0.77/24", { { 0x0A010000u, 0x0A0100FFu } } }, // host bits ignored
        { "10.2.0.10-10.2.0.99", { { 0x0A02000Au, 0x0A020063u } } },
        { " 10.2.0.10 - 10.2.0.10 , 10.3.4.5 ", { { 0x0A02000Au, 0x0A02000Au }, { 0x0A030405u, 0x0A030405u } } },
        { "10.4.0.0/16", { { 0x0A040000u, 0x0A04FFFFu } } }, // exactly the limit
        { "10.5.0.0/17,10.6.0.0/17", { { 0x0A050000u, 0x0A057FFFu }, { 0x0A060000u, 0x0A067FFFu } } },
        { "192.168.1.1-192.168.1.254", { { 0xC0A80101u, 0xC0A801FEu } } }, // own hosts, not its edges
    };
    for (const auto& c : cases)
    {
        const RangesParse parsed = ParseScanRanges(c.text, kOwn);
        EXPECT_EQ(parsed.error, "") << c.text;
        ASSERT_EQ(parsed.ranges.size(), c.ranges.size()) << c.text;
        for (std::size_t i = 0; i < c.ranges.size(); ++i)
        {
            EXPECT_EQ(parsed.ranges[i].first, c.ranges[i].first) << c.text;
            EXPECT_EQ(parsed.ranges[i].last, c.ranges[i].second) << c.text;
        }
    }
    EXPECT_EQ(ParseScanRanges(" 10.2.0.10 - 10.2.0.10 ,10.3.4.5", kOwn).ranges[0].text, "10.2.0.10 - 10.2.0.10");
}

TEST(ScanRanges, RefusesWithAMessageNamingThePiece)
{
    const struct
    {
        const char* text;
        const char* message;
    } cases[] = {
        { "10.0.0.0/33", "\"10.0.0.0/33\": the prefix length is 0 to 32" },
        { "10.0.0.5-10.0.0.1", "\"10.0.0.5-10.0.0.1\": the range ends before it begins" },
        { "farm", "\"farm\": not an IPv4 address" },
        { "10.0.0", "\"10.0.0\": not an IPv4 address" },
        { "10.0.0.256", "\"10.0.0.256\": not an IPv4 address" },
        { "010.0.0.1", "\"010.0.0.1\": not an IPv4 address" },
        { "10.0.0.0/x", "\"10.0.0.0/x\": a block is written" },
        { "10.0.0.1-", "\"10.0.0.1-\": a range is written" },
        { "fd00::/64", "\"fd00::/64\": only IPv4" },
        { "", "no address range given" },
        { "  ", "no address range given" },
        { "10.0.0.1,,10.0.0.2", "an empty piece" },
        { "10.0.0.1,", "an empty piece" },
        { "10.0.0.0/8", "\"10.0.0.0/8\": more than 65536 addresses together" },
        { "10.1.0.0/16,10.2.0.0/32", "\"10.2.0.0/32\": more than 65536" },
        { "0.0.0.0/24", "may not include 0.0.0.0" },
        { "255.255.255.0/24", "may not include the broadcast address 255.255.255.255" },
        { "223.255.255.0-224.0.0.3", "may not include multicast addresses" },
        { "239.1.2.3", "may not include multicast addresses" },
        { "192.168.1.0-192.168.1.10", "network address of the tool's own segment" },
        { "192.168.1.200/25", "broadcast address of the tool's own segment" },
        { "10.1.0.0/24,10.1.0.128-10.1.1.5", "\"10.1.0.128-10.1.1.5\": overlaps \"10.1.0.0/24\"" },
        { "10.1.0.9,10.2.0.0/24,10.1.0.0/28", "\"10.1.0.0/28\": overlaps \"10.1.0.9\"" },
    };
    for (const auto& c : cases)
    {
        const RangesParse parsed = ParseScanRanges(c.text, kOwn);
        EXPECT_NE(parsed.error.find(c.message), std::string::npos) << c.text << " -> " << parsed.error;
        EXPECT_TRUE(parsed.ranges.empty()) << c.text;
        // The window's Chinese message names the same piece in its own words.
        const std::string chinese = RangesMessage(parsed, true);
        EXPECT_NE(chinese, parsed.error) << c.text;
        const std::size_t quote = parsed.error.find("\": ");
        EXPECT_EQ(chinese.substr(0, quote == std::string::npos ? 0 : quote + 1),
            parsed.error.substr(0, quote == std::string::npos ? 0 : quote + 1))
            << c.text;
    }
    // Without a known segment only the fixed addresses are refused.
    EXPECT_EQ(ParseScanRanges("192.168.1.0/24", std::nullopt).error, "");
}

TEST(ScanRanges, RateIsOneToTheLimit)
{
    const struct
    {
        const char* text;
        std::optional<int> rate;
    } cases[] = {
        { "2000", 2000 },
        { " 1 ", 1 },
        { "100000", 100000 },
        { "0", std::nullopt },
        { "-5", std::nullopt },
        { "1000000000", std::nullopt },
        { "100001", std::nullopt },
        { "2k", std::nullopt },
        { "", std::nullopt },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(ParseScanRate(c.text), c.rate) << c.text;
    }
    EXPECT_EQ(ScanRateError("0"), "\"0\": the scan rate is 1 to 100000 addresses per second");
}

TEST(RatePacer, SteadyRateAndBoundedCatchUp)
{
    using std::chrono::microseconds;
    const RatePacer::Clock::time_point start {};
    RatePacer pacer(2000, start);
    // On time: one every 500 µs, counted from the start without drift.
    for (int i = 0; i < 5; ++i)
    {
        EXPECT_EQ(pacer.Due(), start + microseconds(500 * i));
        pacer.Sent(pacer.Due());
    }
    // A little late: the schedule holds, the next is due at once.
    pacer.Sent(start + microseconds(2900));
    EXPECT_EQ(pacer.Due(), start + microseconds(3000));
    // Stalled for a second: at most the lag allowed is made up, never the
    // whole second's worth.
    const auto resumed = start + microseconds(1'000'000);
    pacer.Sent(resumed);
    EXPECT_EQ(pacer.Due(), resumed - RatePacer::kMaxLag + microseconds(500));
    int burst = 0;
    while (pacer.Due() <= resumed)
    {
        pacer.Sent(resumed);
        ++burst;
    }
    EXPECT_EQ(burst, 2); // 1 ms of debt at 2000 per second

    // Rates that do not divide a second still average out.
    RatePacer third(3, start);
    for (int i = 0; i < 3; ++i)
    {
        third.Sent(third.Due());
    }
    EXPECT_EQ(third.Due(), start + std::chrono::seconds(1));
}

} // namespace
} // namespace quellis::protocol

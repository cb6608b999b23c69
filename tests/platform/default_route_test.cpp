#include "platform/net/default_route.h"

#include <gtest/gtest.h>

#include <map>

namespace quellis::net
{
namespace
{

TEST(DefaultRoute, PicksTheLowestMetricThenTheFirstAddressOfItsInterface)
{
    const std::vector<AddressRow> addresses = {
        { 1, 0x7F000001u },
        { 2, 0xC0A80105u },
        { 2, 0xC0A80106u },
        { 3, 0x0A4D0001u },
    };
    const struct
    {
        const char* name;
        std::vector<RouteRow> routes;
        std::string expected;
    } cases[] = {
        { "no route at all", {}, "" },
        { "no default route", { { 0xC0A80100u, 0xFFFFFF00u, 0, 2 } }, "" },
        { "one default route", { { 0xC0A80100u, 0xFFFFFF00u, 0, 3 }, { 0, 0, 100, 2 } }, "192.168.1.5" },
        { "lowest metric wins", { { 0, 0, 100, 2 }, { 0, 0, 50, 3 } }, "10.77.0.1" },
        { "equal metrics: the first", { { 0, 0, 20, 3 }, { 0, 0, 20, 2 } }, "10.77.0.1" },
        { "a default destination with a mask is not a default route",
            { { 0, 0x80000000u, 0, 3 }, { 0, 0, 9, 2 } },
            "192.168.1.5" },
        { "interface without an address", { { 0, 0, 0, 7 } }, "" },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(PickDefaultRouteAddress(c.routes, addresses), c.expected) << c.name;
    }
}

TEST(DefaultRoute, ReadsTheKernelRouteTable)
{
    // As /proc/net/route prints it on a little-endian machine.
    const std::string table = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
                              "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                              "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
                              "wlan0\t00000000\t0100000A\t0002\t0\t0\t5\t00000000\t0\t0\t0\n" // not up
                              "gone0\t00000000\t0100000A\t0003\t0\t0\t1\t00000000\t0\t0\t0\n" // unknown interface
                              "short line\n";
    const std::map<std::string, int> indexes = { { "eth0", 2 }, { "wlan0", 3 } };
    const auto rows = ParseProcNetRoute(table,
        [&](const std::string& name)
        {
            const auto found = indexes.find(name);
            return found == indexes.end() ? 0 : found->second;
        });
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].destination, 0u);
    EXPECT_EQ(rows[0].metric, 100u);
    EXPECT_EQ(rows[0].interfaceIndex, 2);
    EXPECT_EQ(rows[1].destination, 0xC0A80100u);
    EXPECT_EQ(rows[1].mask, 0xFFFFFF00u);
}

} // namespace
} // namespace quellis::net

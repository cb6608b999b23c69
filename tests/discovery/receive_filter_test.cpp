#include "discovery/receive_filter.h"

#include <gtest/gtest.h>

namespace quellis::discovery
{
namespace
{

TEST(ReceiveFilter, ThirdAndFourthNumbersDecide)
{
    const ReceiveFilter segment { 1, 10, 20 };
    const ReceiveFilter off { -1, -1, -1 };
    const struct
    {
        const char* ip;
        ReceiveFilter filter;
        bool passes;
    } cases[] = {
        { "192.168.1.15", segment, true },
        { "192.168.2.15", segment, false }, // another third number
        { "192.168.1.21", segment, false }, // above IPEND
        { "192.168.1.9", segment, false }, // below IPBEGIN
        { "192.168.1.10", segment, true }, // the bounds belong in
        { "192.168.1.20", segment, true },
        { "FFFFFFFFFFFF", segment, true }, // one piece: never filtered
        { "192.168", segment, true }, // two pieces
        { "192.168.1", segment, true }, // no fourth piece
        { "192.168.2", segment, false },
        { "192..168...1.15", segment, true }, // empty pieces are skipped
        { "192.168.1x.15abc", segment, true }, // leading digits count
        { "192.168.x.15", ReceiveFilter { 0, -1, -1 }, true }, // no digits: 0
        { "", segment, true },
        { "192.168.2.250", off, true },
        { "10.77.130.7", ReceiveFilter { -5, -1, -1 }, true }, // any negative NETMASK is off
        { "10.77.130.7", ReceiveFilter { -1, -2, -1 }, true }, // only -1 switches IPBEGIN off, -2 still tests
        { "10.77.130.7", ReceiveFilter { -1, 8, -1 }, false },
        { "10.77.130.99999999999999", ReceiveFilter { -1, -1, 255 }, false },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(PassesAddressFilter(c.ip, c.filter), c.passes) << c.ip;
    }
}

} // namespace
} // namespace quellis::discovery

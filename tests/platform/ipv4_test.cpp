#include "platform/net/ipv4.h"

#include <gtest/gtest.h>

namespace quellis::net
{
namespace
{

TEST(Ipv4, ParsesTheFormsOfTheStandardConversion)
{
    const struct
    {
        const char* text;
        std::optional<std::uint32_t> address;
    } cases[] = {
        { "192.168.1.10", 0xC0A8010Au },
        { "10.77.128.1", 0x0A4D8001u },
        { "0.0.0.0", 0u },
        { "255.255.255.255", 0xFFFFFFFFu },
        { "10.1", 0x0A000001u }, // a.b: the last number fills three bytes
        { "0x0A.0.0.1", 0x0A000001u }, // hexadecimal pieces
        { "256.1.1.1", std::nullopt },
        { "1.2.3.4.5", std::nullopt },
        { "FFFFFFFFFFFF", std::nullopt },
        { "abc", std::nullopt },
        { "", std::nullopt },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(ParseIpv4(c.text), c.address) << c.text;
    }
    EXPECT_EQ(ParseIpv4(std::string_view("1.2.3.4\0junk", 12)), std::nullopt);
    EXPECT_EQ(InetAddr("not an address"), kInaddrNone);
}

TEST(Ipv4, FormatsDottedTextFirstByteFirst)
{
    EXPECT_EQ(FormatIpv4(0xC0A8010Au), "192.168.1.10");
    EXPECT_EQ(FormatIpv4(0), "0.0.0.0");
    EXPECT_EQ(FormatIpv4(0xFFFFFFFFu), "255.255.255.255");
    EXPECT_EQ(ParseIpv4(FormatIpv4(0x0A4DA7FEu)), 0x0A4DA7FEu);
}

} // namespace
} // namespace quellis::net

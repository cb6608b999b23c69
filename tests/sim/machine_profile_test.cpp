#include "platform/net/ipv4.h"
#include "sim/machine_profile.h"

#include <gtest/gtest.h>

#include <set>

namespace quellis::sim
{
namespace
{

std::uint32_t Address(const char* text)
{
    return *net::ParseIpv4(text);
}

TEST(MachineProfile, AddressesSkipHostNumbersZeroAndBroadcast)
{
    const struct
    {
        const char* first;
        std::int64_t n;
        const char* expected;
    } cases[] = {
        { "10.77.128.1", 0, "10.77.128.1" },
        { "10.77.128.1", 253, "10.77.128.254" },
        { "10.77.128.1", 254, "10.77.129.1" },
        { "10.77.128.1", 999, "10.77.131.238" },
        { "10.77.128.250", 5, "10.77.129.1" },
        { "10.77.128.0", 0, "10.77.128.1" },
        { "10.77.128.255", 0, "10.77.129.1" },
        { "127.40.255.254", 1, "127.41.0.1" },
    };
    for (const auto& c : cases)
    {
        const auto address = NthMachineAddress(Address(c.first), c.n);
        ASSERT_TRUE(address) << c.first << " + " << c.n;
        EXPECT_EQ(net::FormatIpv4(*address), c.expected) << c.first << " + " << c.n;
    }
    EXPECT_FALSE(NthMachineAddress(Address("255.255.255.250"), 10));
    EXPECT_FALSE(NthMachineAddress(Address("10.0.0.1"), -1));
}

TEST(MachineProfile, TenThousandMachinesHaveDistinctMacsAndAddresses)
{
    const auto machines = GenerateMachines(10000, 7, kDefaultFirstAddress);
    ASSERT_EQ(machines.size(), 10000u);
    std::set<std::string> macs;
    std::set<std::uint32_t> addresses;
    std::set<std::string> names;
    for (const auto& machine : machines)
    {
        macs.insert(machine.mac);
        addresses.insert(machine.address);
        names.insert(machine.name);
        const auto hostNumber = machine.address & 0xFF;
        EXPECT_NE(hostNumber, 0u) << net::FormatIpv4(machine.address);
        EXPECT_NE(hostNumber, 255u) << net::FormatIpv4(machine.address);
        ASSERT_EQ(machine.mac.size(), 12u);
        EXPECT_EQ(machine.mac.find_first_not_of("0123456789ABCDEF"), std::string::npos) << machine.mac;
        // Locally administered unicast: no vendor's prefix, no multicast bit.
        const int firstByte = std::stoi(machine.mac.substr(0, 2), nullptr, 16);
        EXPECT_EQ(firstByte & 0x03, 0x02) << machine.mac;
        EXPECT_NE(machine.mac, "FFFFFFFFFFFF");
    }
    EXPECT_EQ(macs.size(), 10000u);
    EXPECT_EQ(addresses.size(), 10000u);
    EXPECT_EQ(names.size(), 10000u);
    EXPECT_EQ(net::FormatIpv4(machines.back().address), "10.77.167.94");
}

TEST(MachineProfile, TheFarmIsVariedWithinRealisticBounds)
{
    const auto machines = GenerateMachines(10000, 3, kDefaultFirstAddress);
    std::set<std::string> masks;
    std::set<std::string> versions;
    std::size_t boms = 0, shortReplies = 0, addressAsAll = 0, justBooted = 0, gbk = 0, chinese = 0, nul = 0;
    std::int64_t longestRun = 0;
    for (const auto& machine : machines)
    {
        masks.insert(machine.mask);
        versions.insert(machine.versionText);
        EXPECT_GE(machine.temperature, 40);
        EXPECT_LE(machine.temperature, 85);
        // The number and the text name the same version.
        const int major = machine.versionNumber / 10000;
        const int minor = machine.versionNumber / 100 % 100;
        const int patch = machine.versionNumber % 100;
        EXPECT_EQ(
            machine.versionText, std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch));
        EXPECT_TRUE(machine.shortReply == 188 || machine.shortReply == 220 || machine.shortReply == 256);
        EXPECT_LE(machine.name.size() + 3, 63u);
        EXPECT_GE(machine.mhsAv, 12500.0);
        EXPECT_LE(machine.mhsAv, 14500.0);
        boms += machine.bom;
        shortReplies += machine.shortReply < 256;
        addressAsAll += machine.addressAsAll;
        justBooted += machine.initialRunSeconds == 0;
        gbk += machine.nameKind == HostNameKind::Gbk;
        chinese += machine.nameKind == HostNameKind::Utf8Chinese;
        nul += machine.apiNul;
        longestRun = std::max(longestRun, machine.initialRunSeconds);
    }
    EXPECT_EQ(masks, (std::set<std::string> { "255.255.0.0", "255.255.128.0", "255.255.255.0" }));
    EXPECT_GE(versions.size(), 4u);
    for (const std::size_t count : { boms, shortReplies, addressAsAll, justBooted, gbk, chinese, nul })
    {
        EXPECT_GT(count, 50u);
        EXPECT_LT(count, 5000u);
    }
    EXPECT_GT(longestRun, 30 * 86400);
}

TEST(MachineProfile, AMachineDependsOnTheSeedAndItsIndexOnly)
{
    const auto small = GenerateMachines(20, 11, kDefaultFirstAddress);
    const auto large = GenerateMachines(500, 11, kDefaultFirstAddress);
    const auto other = GenerateMachines(20, 12, kDefaultFirstAddress);
    for (std::size_t i = 0; i < small.size(); ++i)
    {
        EXPECT_EQ(small[i].mac, large[i].mac);
        EXPECT_EQ(small[i].name, large[i].name);
        EXPECT_EQ(small[i].temperature, large[i].temperature);
        EXPECT_EQ(small[i].eeprom, large[i].eeprom);
        EXPECT_NE(small[i].mac, other[i].mac);
    }
}

TEST(MachineProfile, HostNamesComeInTheEncodingsMachinesUse)
{
    const auto machines = GenerateMachines(3000, 5, kDefaultFirstAddress);
    for (const auto& machine : machines)
    {
        const std::string rackAndSlot = std::to_string(machine.index / 48 + 101).substr(1) + "-";
        switch (machine.nameKind)
        {
        case HostNameKind::Ascii:
            EXPECT_EQ(machine.name.rfind("rack" + rackAndSlot, 0), 0u) << machine.name;
            break;
        case HostNameKind::Utf8Chinese:
            EXPECT_EQ(machine.name.rfind("\xE6\x9C\xBA\xE6\x9E\xB6" + rackAndSlot, 0), 0u) << machine.name;
            break;
        case HostNameKind::Gbk:
            EXPECT_EQ(machine.name.rfind("\xBB\xFA\xBC\xDC" + rackAndSlot, 0), 0u) << machine.name;
            break;
        }
    }
}

TEST(MachineProfile, TheEepromRecordHoldsBothCodesInPlace)
{
    const auto machine = GenerateMachines(1, 9, kDefaultFirstAddress).front();
    const auto& record = machine.eeprom;
    EXPECT_EQ(record[0], 'N');
    for (int i = 6; i < 15; ++i)
    {
        EXPECT_EQ(record[static_cast<std::size_t>(i)], 0) << "byte " << i;
    }
    EXPECT_NE(record[15], 0);
    EXPECT_NE(record[15], 0xFF);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data()) + 24, 2), "SN");
}

// The version a machine takes after an upgrade: the one a package's file name
// announces, a configured one, or its own one patch up.
TEST(MachineProfile, VersionsReadFromTextAndFromAPackageName)
{
    const struct
    {
        std::string_view name;
        std::optional<std::string> version;
    } names[] = {
        { "firmware-2.3.1.tar.gz", "2.3.1" },
        { "/srv/fw-1.2/miner_10.0.99.bin", "10.0.99" },
        { "fw-07.08.09.tar.gz", "7.8.9" },
        { "pkg-1.2.3.4.tar.gz", std::nullopt },
        { "v2.3.tar.gz", std::nullopt },
        { "fw-1.100.0.tar.gz", std::nullopt },
        { "package", std::nullopt },
        { "", std::nullopt },
    };
    for (const auto& [name, version] : names)
    {
        const auto found = VersionInName(name);
        EXPECT_EQ(found ? std::optional(found->text) : std::nullopt, version) << name;
    }
    EXPECT_EQ(ParseVersionText("2.1.5")->number, 20105);
    for (const std::string_view bad : { "2.1", "2.1.5 ", "2..5", "a.b.c", "1.2.3.4", "" })
    {
        EXPECT_FALSE(ParseVersionText(bad)) << bad;
    }
    EXPECT_EQ(NextPatch(*ParseVersionText("2.1.5")).text, "2.1.6");
    EXPECT_EQ(NextPatch(*ParseVersionText("2.99.99")).text, "3.0.0");
    EXPECT_EQ(NextPatch(*ParseVersionText("2.99.99")).number, 30000);
}

} // namespace
} // namespace quellis::sim

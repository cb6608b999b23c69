#include "platform/net/ipv4.h"
#include "sim/scenario.h"
#include "tests/net/lab_tool.h"

#include <map>

namespace quellis::test
{
namespace
{

TEST(NetLab, TheToolSideBroadcastsFromItsDefaultRouteAddress)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    {
        NetLab::Enter tool(lab->ToolNamespace());
        ASSERT_TRUE(tool.Ok());
        EXPECT_EQ(net::DefaultRouteAddress(), NetLab::kToolAddress);
    }
    NetLab::Enter farm(lab->FarmNamespace());
    ASSERT_TRUE(farm.Ok());
    EXPECT_EQ(net::DefaultRouteAddress(), ""); // the farm side has no default route
}

TEST(NetLab, ASearchReachesAThousandMachinesAndEachAnswersFromItsOwnAddress)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 1000;
    config.seed = 11;
    config.scenario.spreadMs = 100; // as hardware answers
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);

    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    LabTool side;
    Bytes search(protocol::kRequestBufferSize);
    search.resize(protocol::BuildSearch(search, protocol::kSearchOrdinary));
    side.Broadcast(search);

    bool heardOwnBroadcast = false;
    std::map<std::uint32_t, Received> replies;
    side.Collect(1001,
        10s,
        [&](const Received& datagram)
        {
            const auto header = protocol::ReadHeader(datagram.bytes);
            if (header && header->type == protocol::PKT_SEARCH)
            {
                heardOwnBroadcast = datagram.from.address == net::InetAddr(NetLab::kToolAddress);
                return true;
            }
            if (header && header->type == protocol::PKT_SEARCH_ACK)
            {
                replies.emplace(datagram.from.address, datagram);
                return true;
            }
            return false;
        });
    EXPECT_TRUE(heardOwnBroadcast);
    ASSERT_EQ(replies.size(), 1000u); // one per machine, each from a distinct address

    for (int i = 0; i < farm->MachineCount(); ++i)
    {
        const sim::Machine& machine = farm->MachineAt(i);
        const auto& identity = machine.identity;
        const auto found = replies.find(identity.address);
        ASSERT_NE(found, replies.end()) << "no reply from " << net::FormatIpv4(identity.address);
        EXPECT_EQ(found->second.from.port, protocol::kDevicePort);
        const auto record = protocol::ReadRecord(found->second.bytes);
        ASSERT_TRUE(record);
        EXPECT_EQ(record->mac, identity.mac);
        EXPECT_EQ(record->receivedLength, static_cast<std::size_t>(machine.behaviour.shortReply));
        EXPECT_EQ(record->ip,
            machine.behaviour.addressAsAll ? std::string(protocol::kAllDevices) : net::FormatIpv4(identity.address));
        if (record->receivedLength >= 104)
        {
            EXPECT_EQ(record->mask, identity.mask.substr(0, 31));
            EXPECT_EQ(record->gateway, identity.gateway.substr(0, 31));
        }
        if (record->IsFullRecord())
        {
            EXPECT_EQ(record->temperature, identity.temperature);
            EXPECT_EQ(record->versionNumber, identity.versionNumber);
            EXPECT_EQ(record->versionText, identity.versionText);
            const std::string expectedName
                = (machine.behaviour.bom ? std::string("\xEF\xBB\xBF") : std::string()) + identity.name;
            EXPECT_EQ(record->hostName, expectedName.substr(0, 63));
            EXPECT_GE(record->runSeconds, identity.initialRunSeconds);
        }
    }
    EXPECT_EQ(farm->Totals().searches, 1000u);
}

} // namespace
} // namespace quellis::test

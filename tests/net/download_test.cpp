#include "tests/net/lab_tool.h"
#include "tests/support/temp_dir.h"

#include <random>
#include <regex>

namespace quellis::test
{
namespace
{

using namespace quellis::protocol;

TEST(LabDownload, AMachineFetchesAPackageOfAFewMiBAndVerifiesItByteForByte)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    TempDir directory;
    std::string package(3 * 1024 * 1024 + 12345, '\0');
    std::mt19937 random(7);
    for (char& byte : package)
    {
        byte = static_cast<char>(random());
    }
    directory.Write("package.tar.gz", package);

    sim::FarmConfig config;
    config.machines = 10;
    config.scenario.spreadMs = 0;
    sim::BehaviourGroup quick;
    std::string error;
    ASSERT_TRUE(sim::ParseBehaveOption("installMs=10", &quick, &error)) << error;
    config.scenario.groups = { quick };
    config.expectedPackage = (directory / "package.tar.gz").string();
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    const auto& machine = farm->MachineAt(3);

    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    LabTool side;
    net::Socket server = net::Socket::Create(net::SocketKind::Tcp);
    ASSERT_TRUE(server.SetReuseAddress(true));
    ASSERT_TRUE(server.Bind({ net::kInaddrAny, 2425 }));
    ASSERT_TRUE(server.Listen(5));

    Bytes offer(kRequestBufferSize);
    offer.resize(BuildUpgradeOffer(offer, machine.identity.mac, package.size()));
    side.Broadcast(offer);

    ASSERT_EQ(server.WaitReadable(std::chrono::milliseconds(5000)), net::PollResult::Ready);
    net::Endpoint peer;
    net::Socket connection = server.Accept(&peer);
    ASSERT_TRUE(connection.IsValid());
    EXPECT_EQ(peer.address, machine.identity.address); // from the machine's own address

    ASSERT_TRUE(connection.SetReceiveTimeout(std::chrono::milliseconds(5000)));
    char request[260] = {};
    const int length = connection.Receive(request, 259);
    ASSERT_GT(length, 0);
    EXPECT_TRUE(std::regex_match(
        std::string(request, static_cast<std::size_t>(length)), std::regex("1:[0-9a-fA-F]+:[^:]+:96:0")))
        << request;

    for (std::size_t sent = 0; sent < package.size();)
    {
        const std::size_t chunk = std::min<std::size_t>(65536, package.size() - sent);
        const int accepted = connection.Send(package.data() + sent, chunk);
        ASSERT_GT(accepted, 0);
        sent += static_cast<std::size_t>(accepted);
    }
    char acknowledgement[4];
    EXPECT_GE(connection.Receive(acknowledgement, sizeof acknowledgement), 0);
    connection.Close();

    const auto result = side.Collect(1,
        10s,
        [&](const Received& datagram)
        {
            const auto reply = ReadCommand(datagram.bytes);
            return reply && reply->type == PKT_CMD_ACK && reply->cmdCode == CMD_Upgrade
                && reply->target == machine.identity.mac;
        });
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(ReadCommand(result[0].bytes)->result, 1);
    EXPECT_EQ(machine.counters.downloadsVerified.load(), 1u);
    EXPECT_EQ(machine.counters.downloadBytes.load(), package.size());
}

} // namespace
} // namespace quellis::test

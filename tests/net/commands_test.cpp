#include "platform/net/ipv4.h"
#include "protocol/internet_checksum.h"
#include "sim/scenario.h"
#include "tests/net/lab_tool.h"

#include <json/json.h>

#include <set>

namespace quellis::test
{
namespace
{

using namespace quellis::protocol;

sim::BehaviourGroup Group(const char* option)
{
    sim::BehaviourGroup group;
    std::string error;
    EXPECT_TRUE(sim::ParseBehaveOption(option, &group, &error)) << error;
    return group;
}

// The one reply of `code` from the machine with this MAC.
std::optional<CommandPacket> AwaitCommandReply(LabTool& side, std::string_view mac, std::uint16_t code)
{
    const auto replies = side.Collect(1,
        5s,
        [&](const Received& datagram)
        {
            const auto reply = ReadCommand(datagram.bytes);
            return reply && reply->type == PKT_CMD_ACK && reply->cmdCode == code && reply->target == mac;
        });
    if (replies.empty())
    {
        return std::nullopt;
    }
    auto reply = ReadCommand(replies[0].bytes);
    return reply;
}

class LabCommands : public testing::Test
{
protected:
    void Start(NetLab& lab)
    {
        sim::FarmConfig config;
        config.machines = 20;
        config.seed = 5;
        config.scenario.spreadMs = 0;
        config.scenario.groups = { Group("ledTestMs=20,installMs=10"),
            Group("indexes=0,uartMask=21"),
            Group("indexes=1,settingResult=2"),
            Group("indexes=2,eeprom=blank") };
        farm = StartLabFarm(lab, config);
    }
    std::unique_ptr<sim::Farm> farm;
};

TEST_F(LabCommands, EveryCommandCodeAnswersFromTheMachineNamed)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    Start(*lab);
    ASSERT_TRUE(farm);
    const std::string mac = farm->MachineAt(0).identity.mac;
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    LabTool side;
    Bytes buffer(kMaxDatagramSize);

    buffer.resize(BuildCommand(buffer, mac, CMD_LedTest));
    side.Broadcast(buffer);
    EXPECT_TRUE(AwaitCommandReply(side, mac, CMD_LedTest));

    buffer.assign(kMaxDatagramSize, 0);
    buffer.resize(BuildCommand(buffer, mac, CMD_UARTTest));
    side.Broadcast(buffer);
    const auto uart = AwaitCommandReply(side, mac, CMD_UARTTest);
    ASSERT_TRUE(uart);
    EXPECT_EQ(uart->result, 0x15);

    buffer.assign(kMaxDatagramSize, 0);
    buffer.resize(BuildExecute(buffer, mac, "echo hello farm"));
    side.Broadcast(buffer);
    const auto executed = AwaitCommandReply(side, mac, CMD_EXECUTE);
    ASSERT_TRUE(executed);
    EXPECT_EQ(executed->result, 0);
    EXPECT_EQ(executed->text, "hello farm\n");

    const std::string pools
        = R"({"pools":[{"url":"stratum+tcp://pool.lab:3333","user":"w.10x77x128x1","pass":"x"},)"
          R"({"url":"","user":"","pass":""},{"url":"","user":"","pass":""},{"url":"","user":"","pass":""}]})";
    buffer.assign(kMaxDatagramSize, 0);
    buffer.resize(BuildPoolConfig(buffer, mac, pools));
    side.Broadcast(buffer);
    const auto configured = AwaitCommandReply(side, mac, CMD_PoolConfig);
    ASSERT_TRUE(configured);
    EXPECT_NE(configured->result, 0);

    // Write the label record, then read it back with its checksum.
    E2Block block;
    const std::string record("N00042\0\0\0\0\0\0\0\0\0"
                             "1234890ABSN0001",
        30);
    std::copy(record.begin(), record.end(), block.data.begin());
    block.length = kE2RecordSize;
    block.checksum = InternetChecksum(std::span(block.data).first(kE2RecordSize));
    buffer.assign(kMaxDatagramSize, 0);
    buffer.resize(BuildE2Request(buffer, mac, CMD_WriteE2, block));
    side.Broadcast(buffer);
    const auto written = AwaitCommandReply(side, mac, CMD_WriteE2);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->result, 0);
    E2Block read;
    read.length = kE2RecordSize;
    buffer.assign(kMaxDatagramSize, 0);
    buffer.resize(BuildE2Request(buffer, mac, CMD_ReadE2, read));
    side.Broadcast(buffer);
    const auto readReply = side.Collect(1,
        5s,
        [&](const Received& datagram)
        {
            const auto reply = ReadCommand(datagram.bytes);
            return reply && reply->type == PKT_CMD_ACK && reply->cmdCode == CMD_ReadE2 && reply->target == mac;
        });
    ASSERT_EQ(readReply.size(), 1u);
    const auto e2 = ReadE2Reply(readReply[0].bytes);
    ASSERT_TRUE(e2);
    EXPECT_EQ(e2->result, 0);
    EXPECT_EQ(e2->computedChecksum, e2->block.checksum);
    EXPECT_EQ(TextField(readReply[0].bytes, 64, 15), "N00042");
    EXPECT_EQ(TextField(readReply[0].bytes, 79, 25), "1234890ABSN0001");

    buffer.assign(kMaxDatagramSize, 0);
    buffer.resize(BuildCommand(buffer, mac, CMD_GetName));
    side.Broadcast(buffer);
    const auto name = AwaitCommandReply(side, mac, CMD_GetName);
    ASSERT_TRUE(name);
    EXPECT_NE(name->result, 0);
    EXPECT_FALSE(name->text.empty());

    // Restarts are not answered, but the machine got them.
    for (const std::uint16_t code : { CMD_RestartMiner, CMD_Reboot })
    {
        buffer.assign(kMaxDatagramSize, 0);
        buffer.resize(BuildCommand(buffer, mac, code));
        side.Broadcast(buffer);
    }
    EXPECT_TRUE(side.Collect(1,
                        300ms,
                        [&](const Received& datagram)
                        {
                            const auto reply = ReadCommand(datagram.bytes);
                            return reply && reply->type == PKT_CMD_ACK;
                        })
                    .empty());
    const auto& counters = farm->MachineAt(0).counters;
    EXPECT_EQ(counters.commands[CMD_RestartMiner].load(), 1u);
    EXPECT_EQ(counters.commands[CMD_Reboot].load(), 1u);
    // Only the machine named was asked.
    EXPECT_EQ(farm->MachineAt(3).counters.commands[CMD_UARTTest].load(), 0u);
}

TEST_F(LabCommands, EveryMachineAnswersTheAllDevicesTarget)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    Start(*lab);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    LabTool side;
    Bytes buffer(kRequestBufferSize);
    buffer.resize(BuildExecute(buffer, kAllDevices, "uptime"));
    side.Broadcast(buffer);
    std::set<std::uint32_t> from;
    side.Collect(20,
        5s,
        [&](const Received& datagram)
        {
            const auto reply = ReadCommand(datagram.bytes);
            if (reply && reply->type == PKT_CMD_ACK && reply->cmdCode == CMD_EXECUTE)
            {
                from.insert(datagram.from.address);
                return true;
            }
            return false;
        });
    EXPECT_EQ(from.size(), 20u);
}

TEST_F(LabCommands, SettingsAreAppliedOrRefusedAsTheMachineSays)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    Start(*lab);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    LabTool side;

    const std::string accepting = farm->MachineAt(4).identity.mac;
    Bytes buffer(kRequestBufferSize);
    buffer.resize(
        BuildDevSetting(buffer, DevSetting { "10.77.200.9", "255.255.0.0", "10.77.0.2", accepting, {}, "1.1.1.1" }));
    side.Broadcast(buffer);
    auto replies = side.Collect(1,
        5s,
        [](const Received& datagram)
        {
            const auto header = ReadHeader(datagram.bytes);
            return header && header->type == PKT_DEV_SETTING_ACK;
        });
    ASSERT_EQ(replies.size(), 1u);
    auto record = ReadRecord(replies[0].bytes);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->result, 0);
    EXPECT_EQ(record->mac, accepting);
    EXPECT_EQ(record->ip, "10.77.200.9");

    const std::string refusing = farm->MachineAt(1).identity.mac;
    buffer.assign(kRequestBufferSize, 0);
    buffer.resize(BuildDevSetting(buffer, DevSetting { {}, {}, {}, refusing, "admin", "8.8.8.8" }));
    side.Broadcast(buffer);
    replies = side.Collect(1,
        5s,
        [](const Received& datagram)
        {
            const auto header = ReadHeader(datagram.bytes);
            return header && header->type == PKT_DEV_SETTING_ACK;
        });
    ASSERT_EQ(replies.size(), 1u);
    record = ReadRecord(replies[0].bytes);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->result, 2);
    EXPECT_EQ(record->mac, refusing);
}

TEST_F(LabCommands, TheMinerApiAnswersOverTcpFromEachMachinesAddress)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    Start(*lab);
    ASSERT_TRUE(farm);
    const auto& machine = farm->MachineAt(6);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());

    const auto ask = [&](const std::string& request)
    {
        net::Socket socket = net::Socket::Create(net::SocketKind::Tcp);
        EXPECT_TRUE(socket.Connect({ machine.identity.address, 4029 }));
        EXPECT_TRUE(socket.SetReceiveTimeout(std::chrono::milliseconds(2000)));
        EXPECT_EQ(socket.Send(request.data(), request.size()), static_cast<int>(request.size()));
        std::string reply(1 << 20, '\0');
        const int got = socket.Receive(reply.data(), reply.size());
        reply.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        Json::Value root;
        Json::Reader reader;
        EXPECT_TRUE(reader.parse(reply.c_str(), root)) << reply;
        return root;
    };
    const Json::Value devs = ask(R"({"command":"devs"})");
    ASSERT_TRUE(devs["STATUS"].isArray());
    EXPECT_TRUE(devs["STATUS"][0]["Description"].isString());
    const Json::Value pools = ask(R"({"parameter": "", "command": "pools"})");
    ASSERT_TRUE(pools["POOLS"].isArray());
    EXPECT_TRUE(pools["POOLS"][0]["URL"].isString());
    EXPECT_TRUE(pools["POOLS"][0]["User"].isString());
    EXPECT_TRUE(pools["POOLS"][0]["Priority"].isInt());
    const Json::Value summary = ask(R"({"parameter": "", "command": "summary"})");
    ASSERT_TRUE(summary["SUMMARY"].isArray());
    EXPECT_EQ(summary["SUMMARY"][0]["MHS av"].type(), Json::realValue);
    const Json::Value limits = ask(R"({"parameter": "-5,80", "command": "pgasetwarnsafe"})");
    EXPECT_EQ(limits["STATUS"][0]["STATUS"].asString(), "S");
    const Json::Value unknown = ask(R"({"parameter": "", "command": "no-such-command"})");
    EXPECT_EQ(unknown["STATUS"][0]["STATUS"].asString(), "E");
    EXPECT_EQ(farm->MachineAt(6).counters.apiRequests.load(), 5u);
}

} // namespace
} // namespace quellis::test

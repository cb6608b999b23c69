#include "platform/net/ipv4.h"
#include "protocol/internet_checksum.h"
#include "tests/sim/loopback_tool.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstring>
#include <map>
#include <set>
#include <thread>

namespace quellis::sim::test
{
namespace
{

class FarmLoopback : public testing::Test
{
protected:
    void StartFarm(int machines, std::initializer_list<const char*> behave, int spreadMs = 0)
    {
        FarmConfig config;
        config.machines = machines;
        config.seed = 77;
        config.scenario.spreadMs = spreadMs;
        config.scenario.groups = Groups(behave);
        config.packagePort = packagePort_;
        config.expectedPackage = expectedPackage_;
        farm_ = StartLoopbackFarm(config, tool_.Port());
        ASSERT_TRUE(farm_);
    }

    net::Endpoint FarmEndpoint() const { return { kToolAddress, farm_->DevicePort() }; }
    net::Endpoint ApiOf(int machine) const { return { farm_->MachineAt(machine).identity.address, farm_->ApiPort() }; }
    const std::string& Mac(int machine) const { return farm_->MachineAt(machine).identity.mac; }

    // Sends a command and returns its replies, read as command replies.
    std::vector<protocol::CommandPacket> Ask(const Bytes& request,
        std::size_t expected,
        std::chrono::milliseconds limit = 2000ms,
        std::vector<Datagram>* raw = nullptr)
    {
        tool_.Send(request, FarmEndpoint());
        received_ = tool_.Collect(expected, limit);
        std::vector<protocol::CommandPacket> replies;
        for (const auto& datagram : received_)
        {
            const auto packet = protocol::ReadCommand(datagram.bytes);
            EXPECT_TRUE(packet);
            EXPECT_EQ(packet->type, protocol::PKT_CMD_ACK);
            replies.push_back(*packet);
        }
        if (raw != nullptr)
        {
            *raw = received_;
        }
        return replies;
    }

    // Checks a search reply against the machine it claims to come from.
    void ExpectRecordOfItsMachine(const Datagram& datagram)
    {
        const auto record = protocol::ReadRecord(datagram.bytes);
        ASSERT_TRUE(record);
        const Machine* machine = farm_->FindMachine(record->mac);
        ASSERT_NE(machine, nullptr) << record->mac;
        EXPECT_EQ(record->type, protocol::PKT_SEARCH_ACK);
        EXPECT_EQ(datagram.from.address, machine->identity.address) << "a machine answers from its own address";
        EXPECT_EQ(datagram.bytes.size(), static_cast<std::size_t>(machine->behaviour.shortReply));
        EXPECT_EQ(
            record->ip, machine->behaviour.addressAsAll ? "FFFFFFFFFFFF" : net::FormatIpv4(machine->identity.address));
        EXPECT_EQ(record->mask, machine->identity.mask);
        EXPECT_EQ(record->gateway, machine->identity.gateway);
        if (record->IsFullRecord())
        {
            EXPECT_EQ(record->temperature, machine->identity.temperature);
            EXPECT_GE(record->runSeconds, machine->identity.initialRunSeconds);
            EXPECT_EQ(std::string(protocol::SkipByteOrderMark(record->hostName)), machine->identity.name);
        }
        EXPECT_EQ(record->versionNumber, machine->identity.versionNumber);
        EXPECT_EQ(record->versionText, machine->identity.versionText);
    }

    ToolSide tool_;
    std::uint16_t packagePort_ = 2425;
    std::string expectedPackage_;
    std::unique_ptr<Farm> farm_;
    std::vector<Datagram> received_;
};

TEST_F(FarmLoopback, ASearchIsAnsweredOnceByEveryListeningMachineFromItsOwnAddress)
{
    // Every reply of an all-at-once burst must wait in the test's socket buffer
    // until it is read; a host that grants only a small buffer gets a smaller farm.
    const int machines = std::min(500, tool_.ReceiveBuffer() / 1536);
    StartFarm(machines, { "fraction=0.1,silent=true" });
    const auto listening = static_cast<std::size_t>(machines - machines / 10);
    tool_.Send(Request([](auto buffer) { return protocol::BuildSearch(buffer, protocol::kSearchOrdinary, ""); }),
        FarmEndpoint());
    const auto replies = tool_.Collect(listening, 5000ms);
    ASSERT_EQ(replies.size(), listening);
    std::set<std::uint32_t> sources;
    for (const auto& reply : replies)
    {
        sources.insert(reply.from.address);
        ExpectRecordOfItsMachine(reply);
    }
    EXPECT_EQ(sources.size(), listening);
    EXPECT_TRUE(tool_.Quiet(200ms).empty()) << "one reply per machine";
    EXPECT_EQ(farm_->Totals().searches, listening);
    EXPECT_EQ(farm_->Totals().repliesSent, listening);
}

TEST_F(FarmLoopback, ASpreadSearchStillBringsEveryReplyOverTheSpread)
{
    StartFarm(500, { "bom=true" }, 400);
    const auto sent = Clock::now();
    tool_.Send(
        Request([](auto buffer) { return protocol::BuildSearch(buffer, protocol::kSearchFixedAccount, "acct"); }),
        FarmEndpoint());
    const auto replies = tool_.Collect(500, 5000ms);
    ASSERT_EQ(replies.size(), 500u);
    std::set<std::string> macs;
    for (const auto& reply : replies)
    {
        macs.insert(protocol::ReadRecord(reply.bytes)->mac);
        ExpectRecordOfItsMachine(reply);
    }
    EXPECT_EQ(macs.size(), 500u);
    // No reply leaves before its due time, so 500 draws over 400 ms cannot all
    // arrive at once.
    EXPECT_GE(replies.back().at - sent, 200ms);
    EXPECT_TRUE(tool_.Quiet(100ms).empty());
}

TEST_F(FarmLoopback, ASettingMovesTheMachineToItsNewAddress)
{
    StartFarm(6, { "shortReply=256,addressAsAll=false", "indexes=3,settingResult=1" });
    const std::uint32_t wire = farm_->MachineAt(2).identity.address;
    const std::uint32_t moved = farm_->MachineAt(5).identity.address + 40; // a free loopback address
    const auto setting = [&](int machine)
    {
        return Request(
            [&](auto buffer)
            {
                return protocol::BuildDevSetting(
                    buffer, { net::FormatIpv4(moved), "255.255.255.0", "127.0.0.1", Mac(machine), "", "8.8.8.8" });
            });
    };
    tool_.Send(setting(2), FarmEndpoint());
    auto replies = tool_.Collect(1, 2000ms);
    ASSERT_EQ(replies.size(), 1u);
    auto record = protocol::ReadRecord(replies[0].bytes);
    EXPECT_EQ(record->type, protocol::PKT_DEV_SETTING_ACK);
    EXPECT_EQ(record->result, 0);
    EXPECT_EQ(record->ip, net::FormatIpv4(moved));
    EXPECT_EQ(replies[0].from.address, wire) << "answered from where it was asked";

    tool_.Send(setting(3), FarmEndpoint());
    replies = tool_.Collect(1, 2000ms);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(protocol::ReadRecord(replies[0].bytes)->result, 1);

    // Its old address reaches nobody now; the new one reaches it alone, and it answers from there.
    const Bytes search
        = Request([](auto buffer) { return protocol::BuildSearch(buffer, protocol::kSearchOrdinary, ""); });
    tool_.Send(search, { wire, farm_->DevicePort() });
    EXPECT_TRUE(tool_.Collect(6, 300ms).empty());
    tool_.Send(search, { moved, farm_->DevicePort() });
    replies = tool_.Collect(6, 500ms);
    ASSERT_EQ(replies.size(), 1u);
    record = protocol::ReadRecord(replies[0].bytes);
    EXPECT_EQ(record->mac, Mac(2));
    EXPECT_EQ(record->mask, "255.255.255.0");
    EXPECT_EQ(replies[0].from.address, moved);
    tool_.Send(Request([&](auto buffer) { return protocol::BuildNetLedFlicker(buffer, Mac(2)); }),
        { moved, farm_->DevicePort() });
    EXPECT_TRUE(tool_.Quiet(100ms).empty());
    EXPECT_EQ(farm_->MachineAt(2).counters.unicastFlickers.load(), 1u);
    EXPECT_EQ(farm_->Totals().settings, 2u);
}

TEST_F(FarmLoopback, CommandsAreAnsweredByTheMachinesMeant)
{
    StartFarm(20, { "ledTestMs=50", "indexes=0,silent=true", "indexes=4,uartMask=0x15" });
    const auto command = [](std::string_view target, std::uint16_t code)
    { return Request([&](auto buffer) { return protocol::BuildCommand(buffer, target, code); }); };

    auto replies = Ask(command(Mac(4), protocol::CMD_LedTest), 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].cmdCode, protocol::CMD_LedTest);
    EXPECT_EQ(replies[0].target, Mac(4));
    EXPECT_EQ(received_[0].from.address, farm_->MachineAt(4).identity.address);

    replies = Ask(command(Mac(4), protocol::CMD_UARTTest), 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].result, 0x15);

    replies
        = Ask(Request([&](auto buffer) { return protocol::BuildExecute(buffer, Mac(5), "echo from the farm"); }), 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].cmdCode, protocol::CMD_EXECUTE);
    EXPECT_EQ(replies[0].result, 0);
    EXPECT_EQ(replies[0].text, "from the farm\n");
    replies = Ask(Request([&](auto buffer) { return protocol::BuildExecute(buffer, Mac(5), "frobnicate"); }), 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].result, 127);

    replies = Ask(command(Mac(6), protocol::CMD_GetName), 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].result, 1);
    EXPECT_EQ(replies[0].text, farm_->MachineAt(6).identity.name);

    // Every machine but the silent one, each with its own MAC, once.
    std::vector<Datagram> raw;
    replies = Ask(command(protocol::kAllDevices, protocol::CMD_UARTTest), 19, 2000ms, &raw);
    ASSERT_EQ(replies.size(), 19u);
    std::set<std::string> targets;
    for (std::size_t i = 0; i < replies.size(); ++i)
    {
        targets.insert(replies[i].target);
        EXPECT_EQ(raw[i].from.address, farm_->FindMachine(replies[i].target)->identity.address);
    }
    EXPECT_EQ(targets.size(), 19u);
    EXPECT_EQ(targets.count(Mac(0)), 0u);

    // Restart and reboot have no answer; a flicker is counted.
    EXPECT_TRUE(Ask(command(Mac(7), protocol::CMD_RestartMiner), 1, 200ms).empty());
    tool_.Send(Request([&](auto buffer) { return protocol::BuildNetLedFlicker(buffer, Mac(7)); }), FarmEndpoint());
    EXPECT_TRUE(tool_.Quiet(100ms).empty());
    EXPECT_EQ(farm_->MachineAt(7).counters.flickers.load(), 1u);
    EXPECT_EQ(farm_->MachineAt(7).counters.commands[protocol::CMD_RestartMiner].load(), 1u);
}

TEST_F(FarmLoopback, APoolConfigurationShowsInTheMinerApi)
{
    StartFarm(3, {});
    const std::string pools
        = R"({"pools":[{"url":"stratum+tcp://farmpool.example:9560","user":"ops.127x0x0x1","pass":"x"},)"
          R"({"url":"","user":"","pass":""},{"url":"stratum+tcp://backup.example:3272","user":"ops2","pass":"y"},)"
          R"({"url":"","user":"","pass":""}]})";
    const auto replies = Ask(Request([&](auto buffer) { return protocol::BuildPoolConfig(buffer, Mac(1), pools); }), 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].cmdCode, protocol::CMD_PoolConfig);
    EXPECT_EQ(replies[0].result, 1);

    const ApiExchange exchange = AskApi(ApiOf(1), R"({"parameter": "", "command": "pools"})");
    ASSERT_TRUE(exchange.connected) << exchange.connectError;
    Json::Value root;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    const std::string json = exchange.reply.substr(0, exchange.reply.find('\0'));
    ASSERT_TRUE(reader->parse(json.data(), json.data() + json.size(), &root, &errors)) << exchange.reply;
    ASSERT_EQ(root["POOLS"].size(), 2u);
    EXPECT_EQ(root["POOLS"][0]["URL"].asString(), "stratum+tcp://farmpool.example:9560");
    EXPECT_EQ(root["POOLS"][0]["User"].asString(), "ops.127x0x0x1");
    EXPECT_EQ(root["POOLS"][0]["Priority"].asInt(), 0);
    EXPECT_EQ(root["POOLS"][1]["URL"].asString(), "stratum+tcp://backup.example:3272");
    EXPECT_EQ(root["POOLS"][1]["Priority"].asInt(), 1);
}

TEST_F(FarmLoopback, EepromRecordsAndTheirFaultsGoOverTheWire)
{
    StartFarm(4, { "indexes=1,eeprom=blank", "indexes=2,eeprom=bad-checksum", "indexes=3,eeprom=error,eepromError=9" });
    protocol::E2Block write;
    write.length = 40;
    std::memcpy(write.data.data(), "N00042", 6);
    std::memcpy(write.data.data() + 15, "1234890ABSN0001", 15);
    write.checksum = protocol::InternetChecksum(std::span(write.data).first(40));
    const auto e2 = [&](int machine, protocol::CommandCode code, const protocol::E2Block& block)
    { return Request([&](auto buffer) { return protocol::BuildE2Request(buffer, Mac(machine), code, block); }); };
    protocol::E2Block read;
    read.length = 40;

    auto replies = Ask(e2(0, protocol::CMD_WriteE2, write), 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].result, 0);
    Ask(e2(0, protocol::CMD_ReadE2, read), 1);
    ASSERT_EQ(received_.size(), 1u);
    auto reply = protocol::ReadE2Reply(received_[0].bytes);
    EXPECT_EQ(reply->result, 0);
    EXPECT_EQ(reply->computedChecksum, reply->block.checksum);
    EXPECT_EQ(std::memcmp(reply->block.data.data(), write.data.data(), 40), 0);

    protocol::E2Block corrupt = write;
    corrupt.checksum ^= 1;
    replies = Ask(e2(0, protocol::CMD_WriteE2, corrupt), 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].result, kE2ChecksumMismatch);

    Ask(e2(1, protocol::CMD_ReadE2, read), 1);
    ASSERT_EQ(received_.size(), 1u);
    reply = protocol::ReadE2Reply(received_[0].bytes);
    EXPECT_EQ(reply->result, 0);
    EXPECT_EQ(reply->computedChecksum, reply->block.checksum);
    EXPECT_EQ(reply->block.data[0], 0xFF);
    EXPECT_EQ(reply->block.data[15], 0xFF);

    Ask(e2(2, protocol::CMD_ReadE2, read), 1);
    ASSERT_EQ(received_.size(), 1u);
    reply = protocol::ReadE2Reply(received_[0].bytes);
    EXPECT_EQ(reply->result, 0);
    EXPECT_NE(reply->computedChecksum, reply->block.checksum);

    Ask(e2(3, protocol::CMD_ReadE2, read), 1);
    ASSERT_EQ(received_.size(), 1u);
    EXPECT_EQ(protocol::ReadE2Reply(received_[0].bytes)->result, 9);
    replies = Ask(e2(3, protocol::CMD_WriteE2, write), 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].result, 9);
}

TEST_F(FarmLoopback, TheMinerApiAnswersAndFailsAsTheClientSeesIt)
{
    StartFarm(6,
        { "api=ok,apiNul=false",
            "indexes=1,api=refuse",
            "indexes=2,api=silent",
            "indexes=3,api=close",
            "indexes=4,api=not-json",
            "indexes=5,apiNul=true" });
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    const auto parse = [&](const std::string& text, Json::Value* root)
    {
        std::string errors;
        const std::string json = text.substr(0, text.find('\0'));
        return reader->parse(json.data(), json.data() + json.size(), root, &errors);
    };

    for (const auto& [request, section] : std::map<std::string, std::string> { { R"({"command":"devs"})", "DEVS" },
             { R"({"parameter": "", "command": "pools"})", "POOLS" },
             { R"({"parameter": "", "command": "summary"})", "SUMMARY" } })
    {
        const ApiExchange exchange = AskApi(ApiOf(0), request);
        ASSERT_TRUE(exchange.connected) << exchange.connectError;
        EXPECT_GT(exchange.firstReceive, 0);
        EXPECT_EQ(static_cast<std::size_t>(exchange.firstReceive), exchange.reply.size()) << "one piece";
        Json::Value root;
        ASSERT_TRUE(parse(exchange.reply, &root)) << exchange.reply;
        EXPECT_EQ(root["STATUS"][0]["STATUS"].asString(), "S") << request;
        EXPECT_EQ(root["STATUS"][0]["Description"].asString(), farm_->MachineAt(0).identity.minerDescription);
        EXPECT_TRUE(root[section].isArray()) << request;
    }

    ApiExchange exchange = AskApi(ApiOf(0), R"({"parameter": "-5,80", "command": "pgasetwarnsafe"})");
    Json::Value root;
    ASSERT_TRUE(parse(exchange.reply, &root)) << exchange.reply;
    EXPECT_EQ(root["STATUS"][0]["STATUS"].asString(), "S");
    EXPECT_EQ(farm_->MachineAt(0).Snapshot(Clock::now()).limits, (TemperatureLimits { -5, 80 }));

    exchange = AskApi(ApiOf(0), R"({"parameter": "", "command": "frobnicate"})");
    ASSERT_TRUE(parse(exchange.reply, &root)) << exchange.reply;
    EXPECT_EQ(root["STATUS"][0]["STATUS"].asString(), "E");
    EXPECT_EQ(root["STATUS"][0]["Msg"].asString(), "Invalid command");

    // Unescaped operator text: not JSON, answered with an error all the same.
    exchange = AskApi(ApiOf(0), R"({"parameter": "a"b", "command": "x"})");
    ASSERT_TRUE(parse(exchange.reply, &root)) << exchange.reply;
    EXPECT_EQ(root["STATUS"][0]["STATUS"].asString(), "E");

    exchange = AskApi(ApiOf(1), R"({"command":"devs"})");
    EXPECT_FALSE(exchange.connected);
    EXPECT_EQ(exchange.connectError, net::kWsaConnectionRefused);

    const auto before = Clock::now();
    exchange = AskApi(ApiOf(2), R"({"command":"devs"})", 300ms);
    EXPECT_TRUE(exchange.connected);
    EXPECT_EQ(exchange.firstReceive, net::kSocketError);
    EXPECT_EQ(exchange.receiveError, net::kWsaTimedOut);
    EXPECT_GE(Clock::now() - before, 300ms);

    exchange = AskApi(ApiOf(3), R"({"command":"devs"})");
    EXPECT_TRUE(exchange.connected);
    EXPECT_EQ(exchange.firstReceive, 0) << "closed without data";

    exchange = AskApi(ApiOf(4), R"({"command":"devs"})");
    EXPECT_GT(exchange.firstReceive, 0);
    EXPECT_FALSE(parse(exchange.reply, &root)) << exchange.reply;

    exchange = AskApi(ApiOf(5), R"({"command":"devs"})");
    ASSERT_FALSE(exchange.reply.empty());
    EXPECT_EQ(exchange.reply.back(), '\0');
    EXPECT_EQ(exchange.reply.find('\0'), exchange.reply.size() - 1);

    EXPECT_EQ(farm_->MachineAt(1).counters.apiRequests.load(), 0u);
    EXPECT_EQ(farm_->MachineAt(2).counters.apiRequests.load(), 1u);
    EXPECT_EQ(farm_->MachineAt(0).counters.apiRequests.load(), 6u);
}

TEST_F(FarmLoopback, BrokenMinersFailOnTheWireAsRealOnesDo)
{
    StartFarm(5,
        { "api=ok,apiNul=false",
            "indexes=0,api=off",
            "indexes=1,api=reset",
            "indexes=2,api=split",
            "indexes=3,api=huge",
            "indexes=4,api=priority-odd" });
    const std::string summary = R"({"parameter": "", "command": "summary"})";

    // Switched off: the connect is neither accepted nor refused, every time.
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        net::Socket socket = net::Socket::Create(net::SocketKind::Tcp);
        const auto before = Clock::now();
        EXPECT_FALSE(socket.Connect(ApiOf(0), 400ms));
        EXPECT_EQ(net::WsaGetLastError(), net::kWsaTimedOut);
        EXPECT_GE(Clock::now() - before, 400ms);
    }

    ApiExchange exchange = AskApi(ApiOf(1), summary);
    EXPECT_TRUE(exchange.connected);
    EXPECT_EQ(exchange.firstReceive, net::kSocketError);
    EXPECT_EQ(exchange.receiveError, net::kWsaConnectionReset);

    // The first receive gets the first half only; the rest follows.
    exchange = AskApi(ApiOf(2), summary);
    ASSERT_GT(exchange.firstReceive, 0);
    EXPECT_EQ(static_cast<std::size_t>(exchange.firstReceive), exchange.reply.size() / 2);
    Json::Value root;
    Json::CharReaderBuilder builder;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    EXPECT_TRUE(reader->parse(exchange.reply.data(), exchange.reply.data() + exchange.reply.size(), &root, &errors));
    EXPECT_FALSE(reader->parse(exchange.reply.data(), exchange.reply.data() + exchange.firstReceive, &root, &errors));

    exchange = AskApi(ApiOf(3), summary);
    EXPECT_EQ(exchange.reply.size(), kHugeReplySize);

    exchange = AskApi(ApiOf(4), R"({"parameter": "", "command": "pools"})");
    ASSERT_TRUE(reader->parse(exchange.reply.data(), exchange.reply.data() + exchange.reply.size(), &root, &errors));
    EXPECT_TRUE(root["POOLS"][0]["Priority"].isString());
    // Each machine keeps the request exactly as it arrived.
    EXPECT_EQ(farm_->MachineAt(4).LastApiRequest(), R"({"parameter": "", "command": "pools"})");
    EXPECT_EQ(farm_->MachineAt(0).counters.apiRequests.load(), 0u);
}

TEST_F(FarmLoopback, ARebootSilencesTheMachineUntilItIsUpAgain)
{
    StartFarm(3, { "rebootMs=800,shortReply=256" });
    const Bytes search
        = Request([](auto buffer) { return protocol::BuildSearch(buffer, protocol::kSearchOrdinary, ""); });
    const auto rebooted = Clock::now();
    EXPECT_TRUE(Ask(
        Request([&](auto buffer) { return protocol::BuildCommand(buffer, Mac(1), protocol::CMD_Reboot); }), 1, 100ms)
                    .empty());
    const ApiExchange exchange = AskApi(ApiOf(1), R"({"command":"devs"})");
    EXPECT_LE(exchange.firstReceive, 0) << "its mining software is not up either";
    tool_.Send(search, FarmEndpoint());
    auto replies = tool_.Collect(3, 300ms);
    ASSERT_LT(Clock::now() - rebooted, 800ms) << "too slow a host to see the reboot";
    EXPECT_EQ(replies.size(), 2u) << "the rebooting machine is silent";

    std::this_thread::sleep_until(rebooted + 900ms);
    tool_.Send(search, FarmEndpoint());
    replies = tool_.Collect(3, 2000ms);
    ASSERT_EQ(replies.size(), 3u);
    for (const auto& reply : replies)
    {
        const auto record = protocol::ReadRecord(reply.bytes);
        if (record->mac == Mac(1))
        {
            EXPECT_LE(record->runSeconds, 1) << "the run time starts again";
        }
    }
}

TEST_F(FarmLoopback, AMachineSwitchedOffAnswersNothingUntilItIsBackOn)
{
    // Machine 1 by its schedule, machine 2 by hand; machine 3 refuses its API.
    StartFarm(4, { "offAtMs=0,offForMs=1500", "indexes=0:2:3,offAtMs=-1", "indexes=3,api=refuse" });
    const auto started = Clock::now();
    const Bytes search
        = Request([](auto buffer) { return protocol::BuildSearch(buffer, protocol::kSearchOrdinary, ""); });
    farm_->SwitchOff(2);
    tool_.Send(search, FarmEndpoint());
    std::set<std::string> answered;
    for (const auto& reply : tool_.Collect(4, 500ms))
    {
        answered.insert(protocol::ReadRecord(reply.bytes)->mac);
    }
    EXPECT_EQ(answered, (std::set<std::string> { Mac(0), Mac(3) }));

    // Without power nothing answers the connect: neither an accept nor a
    // refusal, so the client's own time-out ends it.
    for (const int machine : { 1, 2 })
    {
        net::Socket socket = net::Socket::Create(net::SocketKind::Tcp);
        EXPECT_FALSE(socket.Connect(ApiOf(machine), 300ms));
        EXPECT_EQ(net::WsaGetLastError(), net::kWsaTimedOut) << machine;
    }
    EXPECT_GT(AskApi(ApiOf(0), R"({"command":"devs"})").firstReceive, 0);
    EXPECT_EQ(AskApi(ApiOf(3), R"({"command":"devs"})").connectError, net::kWsaConnectionRefused);
    ASSERT_LT(Clock::now() - started, 1500ms) << "too slow a host to see machine 1 while it is off";

    farm_->SwitchOn(2);
    std::this_thread::sleep_until(started + 1600ms);
    for (const int machine : { 1, 2 })
    {
        const ApiExchange exchange = AskApi(ApiOf(machine), R"({"parameter": "", "command": "summary"})");
        ASSERT_TRUE(exchange.connected) << machine << ": " << exchange.connectError;
        Json::Value root;
        ASSERT_TRUE(Json::Reader().parse(exchange.reply, root)) << exchange.reply;
        EXPECT_LE(root["SUMMARY"][0]["Elapsed"].asInt(), 1) << "its mining software has just started";
    }
    tool_.Send(search, FarmEndpoint());
    const auto replies = tool_.Collect(4, 2000ms);
    ASSERT_EQ(replies.size(), 4u);
    for (const auto& reply : replies)
    {
        const auto record = protocol::ReadRecord(reply.bytes);
        if (record->mac == Mac(1) || record->mac == Mac(2))
        {
            EXPECT_LE(record->runSeconds, 1) << "back on, it has booted";
        }
    }
}

TEST_F(FarmLoopback, StartFailuresLeaveNothingRunning)
{
    net::Socket taken = net::Socket::Create(net::SocketKind::Udp);
    ASSERT_TRUE(taken.Bind({ net::kInaddrAny, 0 }));
    FarmConfig config;
    config.machines = 3;
    config.firstAddress = 0x7F3F0001;
    config.devicePort = taken.LocalEndpoint()->port;
    config.apiPort = 0;
    Farm busy(config);
    std::string error;
    EXPECT_FALSE(busy.Start(&error));
    EXPECT_NE(error.find(std::to_string(config.devicePort)), std::string::npos) << error;
    busy.Stop();
    busy.Stop();

    config.devicePort = 0;
    config.netns = "quellis-no-such-namespace";
    Farm elsewhere(config);
    EXPECT_FALSE(elsewhere.Start(&error));
    EXPECT_NE(error.find("quellis-no-such-namespace"), std::string::npos) << error;

    config.netns.clear();
    config.scenario.groups = Groups({ "indexes=3,silent=true" });
    Farm misnamed(config);
    EXPECT_FALSE(misnamed.Start(&error));
    EXPECT_NE(error.find("index 3"), std::string::npos) << error;

    config.scenario.groups.clear();
    config.firstAddress = 0xFFFFFF01;
    config.machines = 300;
    Farm overflowing(config);
    EXPECT_FALSE(overflowing.Start(&error));
}

} // namespace
} // namespace quellis::sim::test

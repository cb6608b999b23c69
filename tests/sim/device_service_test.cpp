#include "protocol/internet_checksum.h"
#include "sim/deterministic_random.h"
#include "sim/device_service.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace quellis::sim
{
namespace
{

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr std::uint32_t kTool = 0x7F000001; // 127.0.0.1
constexpr std::uint16_t kReplyPort = 7000;
constexpr std::uint16_t kPackagePort = 7001;
const net::Endpoint kSource { kTool, 40000 };

class RecordingSink final : public ReplySink
{
public:
    void Schedule(std::vector<OutgoingReply> replies) override
    {
        for (auto& reply : replies)
        {
            this->replies.push_back(std::move(reply));
        }
    }
    void StartDownload(const DownloadOrder& order) override { downloads.push_back(order); }

    std::vector<OutgoingReply> replies;
    std::vector<DownloadOrder> downloads;
};

// A farm's machines and management server without any socket.
class DeviceServiceTest : public testing::Test
{
protected:
    void Build(int count, const std::vector<std::string>& behave = {}, int spreadMs = 0)
    {
        auto identities = GenerateMachines(count, 21, 0x7F280001); // 127.40.0.1
        std::vector<BehaviourGroup> groups;
        for (const auto& text : behave)
        {
            BehaviourGroup group;
            std::string error;
            ASSERT_TRUE(ParseBehaveOption(text, &group, &error)) << error;
            groups.push_back(std::move(group));
        }
        std::vector<Behaviour> behaviours;
        std::string error;
        ASSERT_TRUE(AssignBehaviours(groups, identities, 21, &behaviours, &error)) << error;
        machines_ = MachineTable(std::move(identities), std::move(behaviours), start_);
        service_ = std::make_unique<DeviceService>(
            machines_, counters_, DeviceServiceSettings { kReplyPort, kPackagePort, spreadMs, 21, strict_ });
        service_->SetUnixTimeForTesting(1700000000);
    }

    bool strict_ = false;

    void Send(const Bytes& datagram, std::uint32_t destination = 0xFFFFFFFF, Clock::time_point now = {})
    {
        service_->Handle(datagram, kSource, destination, now == Clock::time_point {} ? start_ : now, sink_);
    }

    static Bytes Packet(std::size_t length, const std::function<std::size_t(std::span<std::uint8_t>)>& build)
    {
        Bytes buffer(std::max(length, protocol::kMaxDatagramSize));
        buffer.resize(build(buffer));
        return buffer;
    }

    static Bytes Search(protocol::SearchMode mode = protocol::kSearchOrdinary)
    {
        return Packet(512, [&](auto buffer) { return protocol::BuildSearch(buffer, mode, "account"); });
    }

    static Bytes Command(std::string_view target, std::uint16_t code, std::string_view payload = {})
    {
        return Packet(
            512, [&](auto buffer) { return protocol::BuildCommand(buffer, target, code, protocol::AsBytes(payload)); });
    }

    std::vector<protocol::CommandPacket> CommandReplies() const
    {
        std::vector<protocol::CommandPacket> packets;
        for (const auto& reply : sink_.replies)
        {
            auto packet = protocol::ReadCommand(reply.bytes);
            EXPECT_TRUE(packet);
            EXPECT_EQ(packet->type, protocol::PKT_CMD_ACK);
            packets.push_back(*packet);
        }
        return packets;
    }

    Machine& At(int index) { return machines_[index]; }
    const std::string& Mac(int index) { return machines_[index].identity.mac; }

    Clock::time_point start_ = Clock::now();
    MachineTable machines_;
    FarmCounters counters_;
    std::unique_ptr<DeviceService> service_;
    RecordingSink sink_;
};

TEST_F(DeviceServiceTest, EveryMachineThatIsNotSilentAnswersASearch)
{
    Build(20, { "indexes=3:7,silent=true" }, 100);
    Send(Search());
    ASSERT_EQ(sink_.replies.size(), 18u);
    std::set<int> answered;
    for (const auto& reply : sink_.replies)
    {
        answered.insert(reply.machine);
        EXPECT_TRUE(reply.searchRecord);
        EXPECT_EQ(reply.destination, (net::Endpoint { kTool, kReplyPort })) << "replies go to the tool's port";
        EXPECT_GE(reply.due, start_);
        EXPECT_LT(reply.due, start_ + 100ms);
    }
    EXPECT_EQ(answered.size(), 18u);
    EXPECT_EQ(answered.count(3) + answered.count(7), 0u);
    EXPECT_EQ(At(3).counters.searches.load(), 0u);
    EXPECT_EQ(At(4).counters.searches.load(), 1u);

    sink_.replies.clear();
    Send(Search(protocol::kSearchFixedAccount));
    EXPECT_EQ(sink_.replies.size(), 18u);
    sink_.replies.clear();
    Bytes otherMode = Search();
    otherMode[136] = 5;
    Send(otherMode);
    EXPECT_TRUE(sink_.replies.empty());
}

TEST_F(DeviceServiceTest, ADatagramToOneMachinesAddressReachesThatMachineOnly)
{
    Build(10, { "indexes=2,silent=true", "indexes=4,broadcastReply=true" });
    Send(Search(), At(5).identity.address);
    ASSERT_EQ(sink_.replies.size(), 1u);
    EXPECT_EQ(sink_.replies[0].machine, 5);
    EXPECT_EQ(sink_.replies[0].destination, (net::Endpoint { kTool, kReplyPort }));
    // A machine that answers by broadcast does so even when asked alone.
    sink_.replies.clear();
    Send(Command(Mac(4), protocol::CMD_UARTTest), At(4).identity.address);
    ASSERT_EQ(sink_.replies.size(), 1u);
    EXPECT_EQ(sink_.replies[0].destination, (net::Endpoint { net::kInaddrBroadcast, kReplyPort }));
    sink_.replies.clear();
    Send(Search(), At(2).identity.address);
    EXPECT_TRUE(sink_.replies.empty());
    Send(Command(protocol::kAllDevices, protocol::CMD_UARTTest), At(6).identity.address);
    ASSERT_EQ(CommandReplies().size(), 1u);
    EXPECT_EQ(CommandReplies()[0].target, Mac(6));
    // A command for machine 1 that only machine 6 hears goes unanswered.
    sink_.replies.clear();
    Send(Command(Mac(1), protocol::CMD_UARTTest), At(6).identity.address);
    EXPECT_TRUE(sink_.replies.empty());

    // A farm behind a router: an address nobody holds reaches nobody, as a
    // range scan over a subnet needs; the broadcast still reaches everyone.
    strict_ = true;
    Build(10);
    sink_.replies.clear();
    Send(Search(), 0x7F28FFF0);
    EXPECT_TRUE(sink_.replies.empty());
    Send(Search(), At(5).identity.address);
    EXPECT_EQ(sink_.replies.size(), 1u);
    Send(Search());
    EXPECT_EQ(sink_.replies.size(), 11u);
}

TEST_F(DeviceServiceTest, RecordsShowTheMachineWithItsQuirks)
{
    Build(3,
        { "indexes=0,shortReply=188,addressAsAll=true,bom=true",
            "indexes=1,bom=false,shortReply=256,addressAsAll=false" });
    Bytes buffer(protocol::kRecordSize);
    buffer.resize(At(0).BuildRecord(buffer, protocol::PKT_SEARCH_ACK, 0, start_ + 10s));
    EXPECT_EQ(buffer.size(), 188u);
    auto record = protocol::ReadRecord(buffer);
    EXPECT_EQ(record->ip, "FFFFFFFFFFFF");
    EXPECT_EQ(record->mac, Mac(0));
    EXPECT_EQ(record->hostName, ""); // cut off with the rest of the record

    buffer.assign(protocol::kRecordSize, 0);
    buffer.resize(At(1).BuildRecord(buffer, protocol::PKT_SEARCH_ACK, 0, start_ + 10s));
    record = protocol::ReadRecord(buffer);
    ASSERT_TRUE(record->IsFullRecord());
    EXPECT_EQ(record->type, protocol::PKT_SEARCH_ACK);
    EXPECT_EQ(record->ip, net::FormatIpv4(At(1).identity.address));
    EXPECT_EQ(record->mask, At(1).identity.mask);
    EXPECT_EQ(record->gateway, At(1).identity.gateway);
    EXPECT_EQ(record->hostName, At(1).identity.name);
    EXPECT_EQ(record->temperature, At(1).identity.temperature);
    EXPECT_EQ(record->versionNumber, At(1).identity.versionNumber);
    EXPECT_EQ(record->versionText, At(1).identity.versionText);
    // Run time goes on with the clock.
    EXPECT_EQ(record->runSeconds, At(1).identity.initialRunSeconds + 10);

    Build(3, { "indexes=2,bom=true,shortReply=256" });
    buffer.assign(protocol::kRecordSize, 0);
    buffer.resize(At(2).BuildRecord(buffer, protocol::PKT_SEARCH_ACK, 0, start_));
    EXPECT_EQ(protocol::ReadRecord(buffer)->hostName, "\xEF\xBB\xBF" + At(2).identity.name);
}

TEST_F(DeviceServiceTest, SettingsApplyOrFailAsTheMachineIsTold)
{
    Build(4, { "indexes=1,settingResult=2" });
    const auto setting = [](std::string_view mac, std::string_view ip, std::string_view mask, std::string_view gateway)
    {
        return Packet(512,
            [&](auto buffer) {
                return protocol::BuildDevSetting(
                    buffer, protocol::DevSetting { ip, mask, gateway, mac, "", "8.8.8.8" });
            });
    };
    Send(setting(Mac(0), "10.77.140.9", "255.255.0.0", "10.77.0.1"));
    ASSERT_EQ(sink_.replies.size(), 1u);
    auto record = protocol::ReadRecord(sink_.replies[0].bytes);
    EXPECT_EQ(record->type, protocol::PKT_DEV_SETTING_ACK);
    EXPECT_EQ(record->result, 0);
    EXPECT_EQ(record->ip, "10.77.140.9");
    EXPECT_EQ(record->gateway, "10.77.0.1");
    EXPECT_EQ(At(0).Snapshot(start_).ip, "10.77.140.9");
    // It answers from where it was asked, and is found at the new address from then on.
    EXPECT_EQ(sink_.replies[0].source, At(0).identity.address);
    EXPECT_EQ(At(0).WireAddress(), 0x0A4D8C09u);
    sink_.replies.clear();
    Send(Search(), At(0).identity.address);
    EXPECT_TRUE(sink_.replies.empty());
    Send(Search(), 0x0A4D8C09);
    ASSERT_EQ(sink_.replies.size(), 1u);
    EXPECT_EQ(sink_.replies[0].machine, 0);
    EXPECT_EQ(sink_.replies[0].source, 0u) << "a later reply leaves from the wire address of its time";
    // An address no interface can take is refused as any other error.
    for (const char* address : { "10.77.140", "FFFFFFFFFFFF", "0.0.0.0", "239.1.1.1", "10.77.140.256" })
    {
        Send(setting(Mac(3), address, "255.255.0.0", "10.77.0.1"));
        EXPECT_EQ(protocol::ReadRecord(sink_.replies.back().bytes)->result, 3) << address;
        EXPECT_EQ(At(3).WireAddress(), At(3).identity.address) << address;
    }

    Send(setting(Mac(1), "10.77.140.10", "255.255.0.0", "10.77.0.1"));
    record = protocol::ReadRecord(sink_.replies.back().bytes);
    EXPECT_EQ(record->result, 2);
    EXPECT_EQ(At(1).Snapshot(start_).ip, net::FormatIpv4(At(1).identity.address));

    Send(setting(Mac(2), "", "", "")); // DHCP
    EXPECT_EQ(protocol::ReadRecord(sink_.replies.back().bytes)->result, 0);
    EXPECT_EQ(At(2).Snapshot(start_).ip, net::FormatIpv4(At(2).identity.address));
    EXPECT_EQ(At(2).Snapshot(start_).mask, At(2).identity.mask);

    const std::size_t before = sink_.replies.size();
    Send(setting("020000000000", "10.1.1.1", "255.0.0.0", "10.0.0.1"));
    EXPECT_EQ(sink_.replies.size(), before);
    EXPECT_EQ(counters_.ignored.load(), 2u) << "this and the search sent to the address machine 0 left";
}

TEST_F(DeviceServiceTest, CommandsAnswerWithTheirOwnResults)
{
    Build(3, { "indexes=1,uartMask=0x15,ledTestMs=700", "indexes=2,execStatus=3,execOutput=forced,poolResult=0" });
    Send(Command(Mac(1), protocol::CMD_LedTest));
    Send(Command(Mac(1), protocol::CMD_UARTTest));
    Send(Command(Mac(0), protocol::CMD_EXECUTE, "echo hi there"));
    Send(Command(Mac(0), protocol::CMD_EXECUTE, "nosuch --flag"));
    Send(Command(Mac(2), protocol::CMD_EXECUTE, "hostname"));
    Send(Command(Mac(0), protocol::CMD_GetName));
    Send(Command(Mac(0), protocol::CMD_SetName, std::string("m-renamed") + '\0'));
    Send(Command(Mac(0), 13)); // unknown: no answer
    Send(Command(Mac(0), protocol::CMD_RestartMiner));

    const auto replies = CommandReplies();
    ASSERT_EQ(replies.size(), 7u);
    for (const auto& reply : replies)
    {
        EXPECT_EQ(reply.target.size(), 12u);
    }
    EXPECT_EQ(replies[0].cmdCode, protocol::CMD_LedTest);
    EXPECT_EQ(replies[0].target, Mac(1));
    EXPECT_EQ(sink_.replies[0].due, start_ + 700ms) << "the LED test ends after its time";
    EXPECT_EQ(replies[1].result, 0x15);
    EXPECT_EQ(replies[2].cmdCode, protocol::CMD_EXECUTE);
    EXPECT_EQ(replies[2].result, 0);
    EXPECT_EQ(replies[2].text, "hi there\n");
    EXPECT_EQ(replies[3].result, kCommandNotFound);
    EXPECT_EQ(replies[3].text, "sh: nosuch: not found\n");
    EXPECT_EQ(replies[4].result, 3);
    EXPECT_EQ(replies[4].text, "forced");
    EXPECT_EQ(replies[5].result, 1);
    EXPECT_EQ(replies[5].text, At(0).identity.name);
    EXPECT_EQ(replies[6].cmdCode, protocol::CMD_SetName);
    EXPECT_EQ(replies[6].text, "m-renamed");
    EXPECT_EQ(At(0).Name(), "m-renamed");
    EXPECT_EQ(At(0).counters.commands[13].load(), 1u);
    EXPECT_EQ(At(0).counters.commands[protocol::CMD_RestartMiner].load(), 1u);
}

TEST_F(DeviceServiceTest, PoolConfigurationIsKeptWhenReadable)
{
    Build(3, { "indexes=2,poolResult=0" });
    const std::string pools
        = R"({"pools":[{"url":"stratum+tcp://p.example:1","user":"w.1","pass":"x"},{"url":"","user":"","pass":""}]})";
    const auto configure = [&](int machine, std::string_view text)
    {
        Send(Packet(10240, [&](auto buffer) { return protocol::BuildPoolConfig(buffer, Mac(machine), text); }));
        return protocol::ReadCommand(sink_.replies.back().bytes)->result;
    };
    EXPECT_EQ(configure(0, pools), 1);
    EXPECT_EQ(At(0).Snapshot(start_).pools, (std::vector<PoolEntry> { { "stratum+tcp://p.example:1", "w.1", "x" } }));
    const auto factory = At(1).Snapshot(start_).pools;
    EXPECT_EQ(configure(1, "not a pool list"), 0);
    EXPECT_EQ(At(1).Snapshot(start_).pools, factory);
    EXPECT_EQ(configure(2, pools), 0) << "the scenario says this machine fails";
    EXPECT_NE(At(2).Snapshot(start_).pools.size(), 1u);
}

TEST_F(DeviceServiceTest, EepromReadsAndWritesGoThroughTheRecord)
{
    Build(2, { "indexes=1,eeprom=bad-checksum" });
    protocol::E2Block write;
    write.start = 0;
    write.length = 15;
    std::memcpy(write.data.data(), "N00777", 6);
    write.checksum = protocol::InternetChecksum(std::span(write.data).first(15));
    Send(Packet(
        512, [&](auto buffer) { return protocol::BuildE2Request(buffer, Mac(0), protocol::CMD_WriteE2, write); }));
    EXPECT_EQ(protocol::ReadCommand(sink_.replies.back().bytes)->result, 0);

    protocol::E2Block read;
    read.length = 40;
    for (int machine : { 0, 1 })
    {
        Send(Packet(512,
            [&](auto buffer) { return protocol::BuildE2Request(buffer, Mac(machine), protocol::CMD_ReadE2, read); }));
        const auto reply = protocol::ReadE2Reply(sink_.replies.back().bytes);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->result, 0);
        EXPECT_EQ(reply->block.length, 40u);
        EXPECT_EQ(protocol::ReadCommand(sink_.replies.back().bytes)->cmdCode, protocol::CMD_ReadE2);
        if (machine == 0)
        {
            EXPECT_EQ(reply->computedChecksum, reply->block.checksum);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply->block.data.data())), "N00777");
            EXPECT_EQ(reply->block.data[15], At(0).identity.eeprom[15]) << "the one-D part stays";
        }
        else
        {
            EXPECT_NE(reply->computedChecksum, reply->block.checksum);
        }
    }
}

TEST_F(DeviceServiceTest, AnUpgradeOfferStartsOneDownload)
{
    Build(3, { "indexes=2,download=never" });
    const auto offer = [](std::string_view target, std::uint64_t size)
    { return Packet(512, [&](auto buffer) { return protocol::BuildUpgradeOffer(buffer, target, size); }); };
    Send(offer(Mac(0), 0x1'2345'6789ull));
    ASSERT_EQ(sink_.downloads.size(), 1u);
    EXPECT_EQ(sink_.downloads[0].machine, 0);
    EXPECT_EQ(sink_.downloads[0].size, 0x1'2345'6789ull);
    EXPECT_EQ(sink_.downloads[0].server, (net::Endpoint { kTool, kPackagePort }));
    Send(offer(Mac(0), 100));
    EXPECT_EQ(sink_.downloads.size(), 1u) << "busy with the first offer";
    At(0).EndDownload();
    Send(offer(Mac(0), 100));
    EXPECT_EQ(sink_.downloads.size(), 2u);
    Send(offer(Mac(2), 100));
    EXPECT_EQ(sink_.downloads.size(), 2u) << "this machine never fetches";
    EXPECT_TRUE(sink_.replies.empty());
    Send(offer(Mac(1), 0));
    ASSERT_EQ(sink_.replies.size(), 1u);
    EXPECT_EQ(protocol::ReadCommand(sink_.replies[0].bytes)->result, 0) << "an empty package is a failed upgrade";
}

TEST_F(DeviceServiceTest, TheAllDevicesTargetReachesEveryMachineThatListens)
{
    Build(12, { "indexes=0:11,silent=true" });
    Send(Command(protocol::kAllDevices, protocol::CMD_UARTTest));
    const auto replies = CommandReplies();
    ASSERT_EQ(replies.size(), 10u);
    std::set<std::string> targets;
    for (const auto& reply : replies)
    {
        targets.insert(reply.target);
    }
    EXPECT_EQ(targets.size(), 10u);
    EXPECT_EQ(targets.count(Mac(0)) + targets.count(Mac(11)), 0u);
}

TEST_F(DeviceServiceTest, ARebootSilencesTheMachineAndRestartsItsRunTime)
{
    Build(2, { "rebootMs=3000" });
    Send(Command(Mac(1), protocol::CMD_Reboot));
    EXPECT_TRUE(sink_.replies.empty());
    EXPECT_TRUE(At(1).IsSilent(start_ + 2s));
    Send(Search(), 0xFFFFFFFF, start_ + 2s);
    ASSERT_EQ(sink_.replies.size(), 1u);
    EXPECT_EQ(sink_.replies[0].machine, 0);
    EXPECT_FALSE(At(1).IsSilent(start_ + 3s));
    EXPECT_EQ(At(1).Snapshot(start_ + 13s).runSeconds, 10);
}

TEST_F(DeviceServiceTest, ForeignOddAndTruncatedDatagramsAreSurvived)
{
    Build(5);
    Send(Bytes { 1, 2, 3 });
    Send(Bytes(300, 0x41));
    EXPECT_EQ(counters_.foreign.load(), 2u);
    for (const auto type : { protocol::PKT_SEARCH_ACK, protocol::PKT_DEV_SETTING_ACK, protocol::PKT_CMD_ACK })
    {
        Bytes reply = Search();
        reply[4] = static_cast<std::uint8_t>(type);
        Send(reply);
    }
    EXPECT_TRUE(sink_.replies.empty()) << "replies, also our own heard back, are not requests";

    // Every prefix of every request, and random bytes behind a valid header:
    // the readers are bounded, so nothing may crash or read past the end.
    const std::vector<Bytes> requests = { Search(),
        Command(Mac(0), protocol::CMD_EXECUTE, "uptime"),
        Command(Mac(0), protocol::CMD_PoolConfig, "{\"pools\":["),
        Command(Mac(0), protocol::CMD_ReadE2),
        Command(Mac(0), protocol::CMD_WriteE2),
        Command(Mac(0), protocol::CMD_Upgrade, "\x01") };
    for (const auto& request : requests)
    {
        for (std::size_t length = 0; length <= request.size(); ++length)
        {
            Send(Bytes(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(length)));
        }
    }
    SplitMix64 random(5);
    for (int i = 0; i < 2000; ++i)
    {
        Bytes datagram(random.Below(600));
        for (auto& byte : datagram)
        {
            byte = static_cast<std::uint8_t>(random.Next());
        }
        if (datagram.size() >= 8)
        {
            const std::uint32_t magic = protocol::kPacketMagic;
            std::memcpy(datagram.data(), &magic, 4);
            datagram[4] = static_cast<std::uint8_t>(random.Below(7));
            std::memset(datagram.data() + 5, 0, 3);
        }
        Send(datagram);
    }
    EXPECT_GT(counters_.datagrams.load(), 2000u);
}

} // namespace
} // namespace quellis::sim

// Where the requests naming a machine go once a range scan has found machines
// behind routers, on loopback: 127.0.0.1 stands for the broadcast, other
// loopback addresses for machines in a range.
#include "protocol/shared_state.h"
#include "tests/support/datagrams.h"

#include <gtest/gtest.h>

namespace quellis::protocol
{
namespace
{

using test::Bytes;

constexpr std::uint32_t kBroadcastStandIn = 0x7F000001; // 127.0.0.1
constexpr std::uint32_t kRemoteA = 0x7F000A02; // 127.0.10.2
constexpr std::uint32_t kRemoteB = 0x7F000A03; // 127.0.10.3

struct Listener
{
    Listener(std::uint32_t address, std::uint16_t port) { EXPECT_TRUE(socket.Bind({ address, port })); }
    std::vector<test::Received> Take(std::size_t count, int ms = 1000)
    {
        return test::CollectDatagrams(
            socket, count, std::chrono::milliseconds(ms), [](const test::Received&) { return true; });
    }
    net::Socket socket = net::Socket::Create(net::SocketKind::Udp);
};

Bytes Command(std::string_view target)
{
    Bytes request(kRequestBufferSize);
    request.resize(BuildCommand(request, target, CMD_Reboot));
    return request;
}

Bytes Flicker(std::string_view mac)
{
    Bytes request(kRequestBufferSize);
    request.resize(BuildNetLedFlicker(request, mac));
    return request;
}

class RemoteRowsTest : public testing::Test
{
protected:
    RemoteRowsTest()
    {
        state.sendSocket = net::Socket::Create(net::SocketKind::Udp);
        state.deviceBroadcast = { kBroadcastStandIn, port };
    }
    ~RemoteRowsTest() override
    {
        state.pacedSender.Stop();
        state.pacedSender.Thread().Join();
    }

    Listener broadcast { kBroadcastStandIn, 0 };
    std::uint16_t port = broadcast.socket.LocalEndpoint()->port;
    Listener remoteA { kRemoteA, port };
    Listener remoteB { kRemoteB, port };
    SharedState state { "config.ini" };
};

TEST_F(RemoteRowsTest, RequestsToRemoteRowsGoUnicastAndTheRestBroadcast)
{
    const RangesParse parsed = ParseScanRanges("127.0.10.0/24, 127.0.20.1-127.0.20.9", std::nullopt);
    ASSERT_EQ(parsed.error, "");
    // The own segment holds 127.0.10.3: a machine there is local however it answered.
    state.remoteRows.Begin(parsed.ranges, LocalSegment { kRemoteB, 0xFFFFFFFFu }, 5000);
    EXPECT_TRUE(state.remoteRows.Note("127.0.10.2", "a1b2c3d4e5f6"));
    EXPECT_FALSE(state.remoteRows.Note("127.0.10.3", "A1B2C3D4E5F7"));
    EXPECT_FALSE(state.remoteRows.Note("127.0.30.1", "A1B2C3D4E5F8")); // outside every range
    EXPECT_EQ(state.remoteRows.SegmentOf("127.0.10.2"), "127.0.10.0/24");
    EXPECT_EQ(state.remoteRows.SegmentOf("127.0.30.1"), std::nullopt);

    const struct
    {
        Bytes request;
        bool toBroadcast;
        bool toRemote;
    } cases[] = {
        { Flicker("A1B2C3D4E5F6"), false, true }, // the remote row, any case
        { Command("A1B2C3D4E5F6"), false, true },
        { Flicker("A1B2C3D4E5F7"), true, false }, // local rows as always
        { Command("A1B2C3D4E5F8"), true, false },
        { Command("FFFFFFFFFFFF"), true, true }, // every machine: both
    };
    for (const auto& c : cases)
    {
        EXPECT_TRUE(state.SendToMachines(c.request));
        const auto atBroadcast = broadcast.Take(1, c.toBroadcast ? 1000 : 100);
        const auto atRemote = remoteA.Take(1, c.toRemote ? 1000 : 100);
        ASSERT_EQ(atBroadcast.size(), c.toBroadcast ? 1u : 0u);
        ASSERT_EQ(atRemote.size(), c.toRemote ? 1u : 0u);
        if (c.toRemote)
        {
            EXPECT_EQ(atRemote[0].bytes, c.request);
        }
    }
    EXPECT_TRUE(remoteB.Take(1, 100).empty()) << "the local row is never asked unicast";

    // The next search without ranges forgets them: the wire is the broadcast alone.
    state.remoteRows.Begin({}, std::nullopt, kDefaultScanRate);
    EXPECT_FALSE(state.remoteRows.Note("127.0.10.2", "A1B2C3D4E5F6"));
    EXPECT_TRUE(state.SendToMachines(Command("FFFFFFFFFFFF")));
    EXPECT_TRUE(state.SendToMachines(Flicker("A1B2C3D4E5F6")));
    EXPECT_EQ(broadcast.Take(2).size(), 2u);
    EXPECT_TRUE(remoteA.Take(1, 200).empty());
}

TEST_F(RemoteRowsTest, PacedRunsAskEveryAddressOnceAndScansCanBeCancelled)
{
    const RangesParse parsed = ParseScanRanges("127.0.10.2-127.0.10.3", std::nullopt);
    ASSERT_EQ(parsed.error, "");
    std::atomic<int> doneCalls { 0 };
    std::atomic<std::uint64_t> doneSent { 0 };
    PacedRun run;
    run.datagram = Command("FFFFFFFFFFFF");
    run.ranges = parsed.ranges;
    run.port = port;
    run.rate = 100;
    run.scan = true;
    run.done = [&](std::uint64_t sent, bool cancelled)
    {
        doneSent = sent;
        doneCalls += cancelled ? 100 : 1;
    };
    ASSERT_TRUE(state.pacedSender.Submit(state.sendSocket, run));
    EXPECT_EQ(remoteA.Take(2, 500).size(), 1u);
    EXPECT_EQ(remoteB.Take(2, 500).size(), 1u);
    for (int i = 0; i < 100 && doneCalls.load() == 0; ++i)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(doneCalls.load(), 1);
    EXPECT_EQ(doneSent.load(), 2u);

    // A /16 at one address a second: cancelled after the first, told so.
    run.ranges = ParseScanRanges("127.1.0.0/16", std::nullopt).ranges;
    run.rate = 1;
    ASSERT_TRUE(state.pacedSender.Submit(state.sendSocket, run));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    state.pacedSender.CancelScans();
    for (int i = 0; i < 100 && doneCalls.load() == 1; ++i)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(doneCalls.load(), 101);
    EXPECT_EQ(doneSent.load(), 1u);
    EXPECT_EQ(state.pacedSender.Running(), 0u);
}

} // namespace
} // namespace quellis::protocol

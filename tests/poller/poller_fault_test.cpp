#include "platform/net/socket.h"
#include "poller/machine_poller.h"
#include "tests/sim/loopback_tool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace quellis::poller
{
namespace
{

using namespace std::chrono_literals;

std::size_t OpenDescriptors()
{
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(fds, std::filesystem::directory_iterator {}));
}

// A quarter of a farm switched off at once, each failing poll holding its
// connection for the whole connect bound: the answering machines keep their
// period, the connections stay within the concurrency, and one more machine
// that goes off is told within its grace, not after the others.
TEST(PollerFaults, MachinesOffAtOnceDoNotStretchTheOthersPeriod)
{
    sim::FarmConfig config;
    config.machines = 400;
    config.seed = 3;
    config.scenario.spreadMs = 0;
    config.scenario.groups = sim::test::Groups({ "count=100,api=off" });
    auto farm = sim::test::StartLoopbackFarm(config, 0);
    ASSERT_TRUE(farm);

    PollerOptions options;
    options.port = farm->ApiPort();
    options.concurrency = 32;
    options.period = 1000ms;
    options.connectTimeout = 1000ms;
    options.receiveTimeout = 1000ms;
    options.fastBound = 200ms;
    MachinePoller poller(options);
    std::vector<MachineInfo> machines(static_cast<std::size_t>(farm->MachineCount()));
    std::vector<bool> off(machines.size());
    for (std::size_t i = 0; i < machines.size(); ++i)
    {
        machines[i].address = farm->MachineAt(static_cast<int>(i)).identity.address;
        machines[i].mac = farm->MachineAt(static_cast<int>(i)).identity.mac;
        off[i] = farm->MachineAt(static_cast<int>(i)).behaviour.api == sim::ApiMode::Off;
    }
    const std::size_t descriptorsBefore = OpenDescriptors();
    poller.Update(machines);
    ASSERT_TRUE(poller.Start());
    std::this_thread::sleep_for(2500ms);

    const PollerSnapshot before = poller.Snapshot();
    std::size_t mostDescriptors = 0;
    for (int i = 0; i < 40; ++i)
    {
        mostDescriptors = std::max(mostDescriptors, OpenDescriptors());
        std::this_thread::sleep_for(100ms);
    }
    const PollerSnapshot after = poller.Snapshot();
    // 4 s at a period of 1 s: four polls each, one less allowing for the phase.
    std::uint64_t fewestPolls = UINT64_MAX;
    for (std::size_t i = 0; i < machines.size(); ++i)
    {
        if (!off[i])
        {
            EXPECT_EQ(after.machines[i].state, MachineState::Up) << i;
            fewestPolls = std::min(fewestPolls, after.machines[i].polls - before.machines[i].polls);
        }
    }
    EXPECT_GE(fewestPolls, 3u);
    EXPECT_LE(after.mostInFlight, options.concurrency);
    // Each connection of ours has its peer in this process too: the farm's.
    EXPECT_LE(mostDescriptors, descriptorsBefore + 2 * static_cast<std::size_t>(options.concurrency) + 4);

    // Once the others are down, polled in their share, the next machine to
    // go is polled first among the failing.
    const auto allDown = [](const PollerSnapshot& s)
    {
        return std::count_if(s.machines.begin(),
                   s.machines.end(),
                   [](const MachineView& m) { return m.state == MachineState::Down; })
            == 100;
    };
    for (int i = 0; i < 200 && !allDown(poller.Snapshot()); ++i)
    {
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(allDown(poller.Snapshot()));
    const auto answering = std::find(off.begin(), off.end(), false) - off.begin();
    const auto start = std::chrono::steady_clock::now();
    farm->SwitchOff(static_cast<int>(answering));
    while (poller.Snapshot().machines[static_cast<std::size_t>(answering)].state != MachineState::Down
        && std::chrono::steady_clock::now() - start < 10s)
    {
        std::this_thread::sleep_for(50ms);
    }
    // Its place in the period, handed to the failing share after 0.2 s, then
    // two polls each ending at the 1 s connect bound.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
}

// A peer that answers a mebibyte without a reply in it costs one capped
// buffer and is a parse error, not a machine that answered.
TEST(PollerFaults, AMebibyteOfGarbageIsAParseError)
{
    net::Socket listener = net::Socket::Create(net::SocketKind::Tcp);
    ASSERT_TRUE(listener.Bind({ 0x7F000001, 0 }));
    ASSERT_TRUE(listener.Listen(8));
    std::atomic<bool> done { false };
    std::thread server(
        [&]
        {
            const std::string garbage(1 << 20, '{');
            while (!done)
            {
                if (listener.WaitReadable(50ms) != net::PollResult::Ready)
                {
                    continue;
                }
                net::Socket peer = listener.Accept();
                if (peer.IsValid() && peer.SetSendTimeout(2000ms))
                {
                    [[maybe_unused]] const int sent = peer.Send(garbage.data(), garbage.size());
                }
            }
        });
    PollerOptions options;
    options.port = listener.LocalEndpoint()->port;
    options.period = 200ms;
    MachinePoller poller(options);
    MachineInfo machine;
    machine.address = 0x7F000001;
    poller.Update({ machine });
    ASSERT_TRUE(poller.Start());
    const auto start = std::chrono::steady_clock::now();
    while (poller.Snapshot().machines[0].state != MachineState::Down && std::chrono::steady_clock::now() - start < 10s)
    {
        std::this_thread::sleep_for(50ms);
    }
    const PollerSnapshot snapshot = poller.Snapshot();
    poller.Stop();
    done = true;
    server.join();
    EXPECT_EQ(snapshot.machines[0].state, MachineState::Down);
    EXPECT_EQ(
        snapshot.machines[0].failures[static_cast<std::size_t>(PollFailure::ParseError)], snapshot.machines[0].polls);
}

} // namespace
} // namespace quellis::poller

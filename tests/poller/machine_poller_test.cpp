#include "poller/machine_poller.h"
#include "tests/sim/loopback_tool.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>

namespace quellis::poller
{
namespace
{

using namespace std::chrono_literals;

MachineInfo Info(std::uint32_t address, std::string mac, std::string host = "")
{
    MachineInfo info;
    info.address = address;
    info.mac = std::move(mac);
    info.host = std::move(host);
    return info;
}

// Waits until `done` holds for a snapshot, or `limit` has passed.
template <typename Done> PollerSnapshot WaitFor(MachinePoller& poller, std::chrono::milliseconds limit, Done done)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    PollerSnapshot snapshot = poller.Snapshot();
    while (!done(snapshot) && std::chrono::steady_clock::now() < end)
    {
        std::this_thread::sleep_for(50ms);
        snapshot = poller.Snapshot();
    }
    return snapshot;
}

// Machines of a loopback farm, each misbehaving its own way, polled with
// fewer connections than machines.
TEST(MachinePoller, TellsEachMachinesStateAndFailureKindWithinItsBounds)
{
    sim::FarmConfig config;
    config.machines = 40;
    config.seed = 18;
    config.scenario.spreadMs = 0;
    config.scenario.groups = sim::test::Groups({ "indexes=1,api=refuse",
        "indexes=2,api=silent",
        "indexes=3,api=close",
        "indexes=4,api=not-json",
        "indexes=5,api=no-status",
        "indexes=6,api=reset",
        "indexes=7,api=huge",
        "indexes=8,api=split",
        "indexes=9,api=off" });
    auto farm = sim::test::StartLoopbackFarm(config, 0);
    ASSERT_TRUE(farm);

    PollerOptions options;
    options.port = farm->ApiPort();
    options.concurrency = 6;
    options.period = 400ms;
    options.connectTimeout = 300ms;
    options.receiveTimeout = 600ms;
    std::mutex eventsLock;
    std::map<std::string, std::vector<StateEvent>> events;
    MachinePoller poller(options,
        [&](const StateEvent& event)
        {
            std::lock_guard guard(eventsLock);
            events[event.mac].push_back(event);
        });
    std::vector<MachineInfo> machines;
    for (int i = 0; i < farm->MachineCount(); ++i)
    {
        machines.push_back(Info(farm->MachineAt(i).identity.address, farm->MachineAt(i).identity.mac));
    }
    poller.Update(machines);
    ASSERT_TRUE(poller.Start());

    struct Expected
    {
        MachineState state;
        PollFailure reason;
    };
    const std::map<int, Expected> expected = {
        { 1, { MachineState::Down, PollFailure::Refused } },
        { 2, { MachineState::Down, PollFailure::Timeout } },
        { 3, { MachineState::Down, PollFailure::NoData } },
        { 4, { MachineState::Down, PollFailure::ParseError } },
        { 5, { MachineState::Down, PollFailure::NoStatus } },
        { 6, { MachineState::Down, PollFailure::Reset } },
        { 9, { MachineState::Down, PollFailure::Timeout } },
    };
    const auto stateOf = [&](int i) { return expected.count(i) ? expected.at(i).state : MachineState::Up; };
    PollerSnapshot snapshot = WaitFor(poller,
        15s,
        [&](const PollerSnapshot& s)
        {
            for (int i = 0; i < farm->MachineCount(); ++i)
            {
                if (s.machines[static_cast<std::size_t>(i)].state != stateOf(i))
                {
                    return false;
                }
            }
            return true;
        });
    for (int i = 0; i < farm->MachineCount(); ++i)
    {
        const MachineView& view = snapshot.machines[static_cast<std::size_t>(i)];
        EXPECT_EQ(view.state, stateOf(i)) << "machine " << i;
        if (const auto found = expected.find(i); found != expected.end())
        {
            EXPECT_GE(view.failures[static_cast<std::size_t>(found->second.reason)], 2u) << "machine " << i;
            std::lock_guard guard(eventsLock);
            ASSERT_FALSE(events[view.info.mac].empty()) << "machine " << i;
            EXPECT_EQ(events[view.info.mac].front().transition.reason, found->second.reason) << "machine " << i;
        }
        else
        {
            ASSERT_TRUE(view.mhsAv) << "machine " << i;
            EXPECT_DOUBLE_EQ(*view.mhsAv, farm->MachineAt(i).identity.mhsAv) << "machine " << i;
        }
    }
    EXPECT_LE(snapshot.mostInFlight, options.concurrency);
    EXPECT_GT(snapshot.polls, 80u);

    // A machine switched off goes down after two failed polls and comes up
    // again with its first good one.
    const std::string mac = farm->MachineAt(12).identity.mac;
    farm->SwitchOff(12);
    snapshot = WaitFor(poller, 5s, [](const PollerSnapshot& s) { return s.machines[12].state == MachineState::Down; });
    EXPECT_EQ(snapshot.machines[12].state, MachineState::Down);
    farm->SwitchOn(12);
    snapshot = WaitFor(poller, 5s, [](const PollerSnapshot& s) { return s.machines[12].state == MachineState::Up; });
    EXPECT_EQ(snapshot.machines[12].state, MachineState::Up);
    poller.Stop();
    std::lock_guard guard(eventsLock);
    ASSERT_EQ(events[mac].size(), 3u);
    EXPECT_EQ(events[mac][1].transition.to, MachineState::Down);
    EXPECT_EQ(events[mac][1].transition.reason, PollFailure::Timeout);
    EXPECT_EQ(events[mac][2].transition.to, MachineState::Up);
}

// A later update refreshes a machine found by its MAC (also at a new
// address) and adds only the new ones.
TEST(MachinePoller, UpdatesMachinesByMacThenAddress)
{
    MachinePoller poller(PollerOptions {});
    poller.Update({ Info(0x7F000002, "A1B2C3D4E5F6", "one"), Info(0x7F000003, "") });
    poller.Update({ Info(0x7F000004, "A1B2C3D4E5F6", "moved"), Info(0x7F000003, "", "bare"), Info(0x7F000005, "") });
    const PollerSnapshot snapshot = poller.Snapshot();
    ASSERT_EQ(snapshot.machines.size(), 3u);
    EXPECT_EQ(snapshot.machines[0].info.address, 0x7F000004u);
    EXPECT_EQ(snapshot.machines[0].info.host, "moved");
    EXPECT_EQ(snapshot.machines[1].info.host, "bare");
    EXPECT_EQ(snapshot.machines[2].info.address, 0x7F000005u);
}

} // namespace
} // namespace quellis::poller

#include "farm/farm_view.h"
#include "platform/net/ipv4.h"
#include "tests/sim/loopback_tool.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <mutex>
#include <thread>

namespace quellis::farm
{
namespace
{

using namespace std::chrono_literals;

TEST(FarmViewSettings, OffByDefaultAndHeldWithinBounds)
{
    struct Case
    {
        const char* ini;
        bool on;
        int periodSeconds;
        int concurrency;
        int grace;
        int port;
    };
    const Case cases[] = {
        { "", false, 10, 256, 2, 4029 },
        { "[view]\r\nfarm=1\r\nperiod=30\r\nconcurrency=64\r\ngrace=3\r\napiport=4100\r\n", true, 30, 64, 3, 4100 },
        { "[VIEW]\r\nFARM=2\r\nPERIOD=0\r\nCONCURRENCY=100000\r\nGRACE=-1\r\nAPIPORT=70000\r\n",
            false,
            1,
            4096,
            1,
            65535 },
    };
    for (const Case& c : cases)
    {
        test::TempDir dir;
        dir.Write("config.ini", c.ini);
        const FarmViewSettings settings = ReadFarmViewSettings(dir / "config.ini");
        EXPECT_EQ(settings.on, c.on) << c.ini;
        EXPECT_EQ(settings.poller.period, std::chrono::seconds(c.periodSeconds)) << c.ini;
        EXPECT_EQ(settings.poller.concurrency, c.concurrency) << c.ini;
        EXPECT_EQ(settings.poller.grace, c.grace) << c.ini;
        EXPECT_EQ(settings.poller.port, c.port) << c.ini;
    }
}

// A loopback farm watched by the view: a machine switched off is down once,
// with one alarm however long it stays off; switched on it is up, and off
// again it is a new outage. The inventory has it all after a restart.
TEST(FarmView, SwitchedOffMachinesGoDownWithOneAlarmPerOutageAndTheInventoryKeepsIt)
{
    sim::FarmConfig config;
    config.machines = 6;
    config.seed = 21;
    config.scenario.spreadMs = 0;
    auto farm = sim::test::StartLoopbackFarm(config, 0);
    ASSERT_TRUE(farm);
    test::TempDir dir;
    FarmViewOptions options;
    options.inventoryPath = dir / "inventory.db";
    options.poller.port = farm->ApiPort();
    options.poller.period = 200ms;
    options.poller.grace = 1;
    options.poller.connectTimeout = 300ms;
    options.poller.receiveTimeout = 300ms;
    options.writeInterval = 50ms;

    std::mutex linesLock;
    std::string lines;
    std::atomic<int> alarms { 0 };
    const FarmView::Sinks sinks { [&](const std::string& line)
        {
            const std::lock_guard guard(linesLock);
            lines += line;
        },
        [&] { ++alarms; } };
    auto view = std::make_unique<FarmView>(options, sinks);
    ASSERT_EQ(view->Start(), OpenResult::Created);
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    view->BeginSearch();
    for (int i = 0; i < farm->MachineCount(); ++i)
    {
        const auto& identity = farm->MachineAt(i).identity;
        protocol::DeviceRecord record;
        record.ip = net::FormatIpv4(identity.address);
        record.mac = identity.mac;
        record.versionText = identity.versionText;
        ASSERT_TRUE(view->ApplyReply(record, 0, now));
    }
    (void)view->EndSearch(now);
    const std::string mac = farm->MachineAt(2).identity.mac;
    const auto waitFor = [&](RowState state)
    {
        for (int i = 0; i < 200; ++i)
        {
            (void)view->Drain(std::chrono::steady_clock::now());
            const auto row = view->Model().Find(mac);
            if (row && view->Model().Rows()[*row].state == state)
            {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    };

    // Every row shows its machine's pool; a pool set on the machine shows
    // after the next poll.
    const auto waitForPool = [&](int machine, const std::string& pool)
    {
        const std::string& of = farm->MachineAt(machine).identity.mac;
        for (int i = 0; i < 200; ++i)
        {
            (void)view->Drain(std::chrono::steady_clock::now());
            if (view->Model().Rows()[*view->Model().Find(of)].pool == pool)
            {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    };
    for (int i = 0; i < farm->MachineCount(); ++i)
    {
        const sim::PoolEntry first = farm->MachineAt(i).Snapshot(sim::Clock::now()).pools.at(0);
        EXPECT_TRUE(waitForPool(i, first.url + " " + first.user)) << "machine " << i;
    }
    sim::test::ToolSide tool;
    tool.Send(sim::test::Request(
                  [&](auto buffer)
                  {
                      return protocol::BuildPoolConfig(buffer,
                          farm->MachineAt(4).identity.mac,
                          R"({"pools":[{"url":"stratum+tcp://new.pool:3333","user":"w.4","pass":"x"}]})");
                  }),
        { sim::test::kToolAddress, farm->DevicePort() });
    EXPECT_TRUE(waitForPool(4, "stratum+tcp://new.pool:3333 w.4"));

    farm->SwitchOff(2);
    ASSERT_TRUE(waitFor(RowState::Down));
    // Down, it keeps the pool it was last seen on.
    EXPECT_FALSE(view->Model().Rows()[*view->Model().Find(mac)].pool.empty());
    std::this_thread::sleep_for(1s); // several periods off
    (void)view->Drain(std::chrono::steady_clock::now());
    EXPECT_EQ(alarms.load(), 1);
    farm->SwitchOn(2);
    ASSERT_TRUE(waitFor(RowState::Up));
    farm->SwitchOff(2);
    ASSERT_TRUE(waitFor(RowState::Down));
    EXPECT_EQ(alarms.load(), 2);
    const FarmSummary summary = view->Model().Summary();
    EXPECT_EQ(summary.down, 1u);
    EXPECT_EQ(summary.up, 5u);
    {
        const std::lock_guard guard(linesLock);
        const auto count = [&](const std::string& text)
        {
            int n = 0;
            for (std::size_t at = lines.find(text); at != std::string::npos; at = lines.find(text, at + 1))
            {
                ++n;
            }
            return n;
        };
        // One line per change, not per poll.
        EXPECT_EQ(count(mac + ": up -> down ("), 2) << lines;
        EXPECT_EQ(count(mac + ": down -> up"), 1) << lines;
    }
    std::string error;
    ASSERT_TRUE(view->Export(dir / "farm.csv", { 2 }, &error)) << error;
    EXPECT_EQ(dir.Read("farm.csv"), FarmCsv(view->Model().Rows(), { 2 }));
    EXPECT_FALSE(view->Export(dir / "no" / "farm.csv", { 2 }, &error));
    view.reset();

    Inventory inventory;
    ASSERT_TRUE(inventory.OpenReadOnly(dir / "inventory.db", &error)) << error;
    const auto machines = inventory.Machines();
    ASSERT_EQ(machines.size(), 6u);
    std::string changes;
    for (const StateChange& change : inventory.Changes(0))
    {
        changes += change.mac == mac ? change.from + ">" + change.to + " " : "";
    }
    EXPECT_EQ(changes, "not yet answering>up up>down down>up up>down ");
}

} // namespace
} // namespace quellis::farm

// The farm view ([VIEW] FARM=1) of the real main dialog on the lab's tool
// side against a small simulated farm: found by the Search button, watched by
// the poller over the lab's route, the alarm played on a card that counts
// what it plays.
#include "monitor/wave.h"
#include "resources/templates/main_dialog_ids.h"
#include "tests/net/lab_tool.h"
#include "tests/support/fake_pcm.h"
#include "tests/support/quellis_dlg_fixture.h"

#include <QTest>

#include <cstdlib>
#include <filesystem>

namespace quellis::test
{
namespace
{

constexpr int kColumnMac = 4;
constexpr int kColumnState = 10;
constexpr int kColumnPool = 11;

// The list row of a machine, or -1.
int RowOf(QuellisDlgFixture& fixture, const std::string& mac)
{
    for (int row = 0; row < fixture.RowCount(); ++row)
    {
        if (fixture.Row(row)[kColumnMac] == mac)
        {
            return row;
        }
    }
    return -1;
}

TEST(LabFarmView, AMachineSwitchedOffIsDownWithOneAlarmAndUpAgainWhenSwitchedOn)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    // The window's alarm on a card that counts the sounds it starts; the
    // environment is set before any thread of the farm or the window runs.
    QuellisDlgFixture fixture;
    ASSERT_TRUE(InstallFakePcm(fixture.Dir().Path().string()));
    setenv("QUELLIS_AUDIO", kFakePcmDevice, 1);
    std::filesystem::copy_file(QUELLIS_ALARM_PATH, fixture.Dir() / monitor::kAlarmFile);
    sim::FarmConfig config;
    config.machines = 4;
    config.seed = 34;
    config.scenario.spreadMs = 0;
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);

    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    fixture.Open({ "TOOLTYPE=2", "LANG=0", "[VIEW]", "FARM=1", "PERIOD=1", "GRACE=2" });
    // The start-up sound has played to its end.
    ASSERT_TRUE(fixture.WaitFor(
        []
        {
            const FakePcmTally tally = ReadFakePcmTally();
            return tally.starts == 1 && tally.framesWritten > 0 && tally.framesPlayed == tally.framesWritten;
        },
        10000));
    SetFakePcmScript({});

    fixture.Click(resources::kIdSearch);
    ASSERT_TRUE(fixture.WaitFor([&] { return fixture.RowCount() == 4; }, 20000)) << fixture.RowCount();
    // Each row shows its machine's pool once the poller has read it.
    for (int i = 0; i < farm->MachineCount(); ++i)
    {
        const int row = RowOf(fixture, farm->MachineAt(i).identity.mac);
        ASSERT_GE(row, 0) << "machine " << i;
        const sim::PoolEntry pool = farm->MachineAt(i).Snapshot(sim::Clock::now()).pools.at(0);
        EXPECT_TRUE(fixture.WaitFor([&] { return fixture.Row(row)[kColumnPool] == pool.url + " " + pool.user; }, 20000))
            << "machine " << i << ": " << fixture.Row(row)[kColumnPool];
    }

    const std::string mac = farm->MachineAt(1).identity.mac;
    const auto stateOf = [&] { return fixture.Row(RowOf(fixture, mac))[kColumnState]; };
    ASSERT_TRUE(fixture.WaitFor([&] { return stateOf().rfind("up", 0) == 0; }, 20000)) << stateOf();
    farm->SwitchOff(1);
    ASSERT_TRUE(fixture.WaitFor([&] { return stateOf().rfind("✖ DOWN since ", 0) == 0; }, 30000)) << stateOf();
    // Several periods later it is still the one alarm of this outage.
    QTest::qWait(4000);
    EXPECT_EQ(ReadFakePcmTally().starts, 1);
    EXPECT_EQ(stateOf().rfind("✖ DOWN since ", 0), 0u) << stateOf();

    farm->SwitchOn(1);
    ASSERT_TRUE(fixture.WaitFor([&] { return stateOf().rfind("up since ", 0) == 0; }, 30000)) << stateOf();
    EXPECT_EQ(ReadFakePcmTally().starts, 1);
    fixture.Close();
}

} // namespace
} // namespace quellis::test

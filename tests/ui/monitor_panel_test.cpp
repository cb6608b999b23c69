// The monitor box of the real side panel reaches the monitor controller: the
// panel hides the box, but its handler works the same when it is ticked. The
// interval field shows what config.ini holds when the panel is made.
#include "core/settings.h"
#include "monitor/monitor_dlg.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/monitor_panel_ids.h"
#include "tests/support/quellis_dlg_fixture.h"
#include "tests/support/temp_dir.h"

#include <QCheckBox>
#include <QWidget>

#include <gtest/gtest.h>

namespace quellis::test
{
namespace
{

using namespace quellis::resources;

TEST(MonitorPanel, TheHiddenMonitorBoxSwitchesMonitoringAndTheButtons)
{
    QuellisDlgFixture fixture;
    fixture.Open({ "TOOLTYPE=2", "INTERVAL=50" });
    auto* box = qobject_cast<QCheckBox*>(fixture.PanelControl(kIdMonitorCheck));
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(box->isVisible());
    EXPECT_EQ(fixture.PanelText(kIdIntervalEdit), "50");

    box->click();
    EXPECT_EQ(fixture.PanelText(kIdIntervalEdit), "100");
    EXPECT_EQ(core::ReadSetting(core::settings::kInterval, fixture.ConfigPath()), 100);
    EXPECT_FALSE(fixture.PanelControl(kIdIntervalEdit)->isEnabled());
    for (const int id : { kIdSearch, kIdSetIp, kIdSelectPackage, kIdUpdateSelected, kIdUpdateAll })
    {
        EXPECT_FALSE(fixture.Enabled(id)) << id;
    }
    box->click();
    for (const int id : { kIdSearch, kIdSetIp, kIdSelectPackage })
    {
        EXPECT_TRUE(fixture.Enabled(id)) << id;
    }
    EXPECT_FALSE(fixture.Enabled(kIdUpdateSelected)) << "no package chosen";
    EXPECT_TRUE(fixture.PanelControl(kIdIntervalEdit)->isEnabled());

    // Closing while monitoring ends the worker with the dialog.
    box->click();
    fixture.Close();
    EXPECT_TRUE(fixture.Boxes().empty());
}

TEST(MonitorPanel, TheIntervalFieldShowsConfigIniAsItIsWhenThePanelIsMade)
{
    const TempDir dir;
    dir.Write("config.ini", "[COMMON]\r\nINTERVAL=500\r\n");
    monitor::CDlgMonitor panel(dir / "config.ini", nullptr);
    // Written after the panel object was made (as by a monitor run or by hand).
    dir.Write("config.ini", "[COMMON]\r\nINTERVAL=700\r\n");
    ASSERT_TRUE(panel.Create(nullptr));
    EXPECT_EQ(panel.ItemText(kIdIntervalEdit), "700");
}

} // namespace
} // namespace quellis::test

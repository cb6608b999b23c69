// The real main dialog on the lab's tool side updates simulated machines on
// its farm side: the package chosen with button 7, offers broadcast by the
// run, downloads from the dialog's own server on TCP 2425 across the veth,
// checked byte for byte by the machines, and their results in the log.
#include "core/window.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/monitor_panel_ids.h"
#include "sim/scenario.h"
#include "tests/net/lab_tool.h"
#include "tests/support/quellis_dlg_fixture.h"

#include <QTest>

#include <random>

namespace quellis::test
{
namespace
{

using namespace quellis::resources;

constexpr std::size_t kMiB = 1024 * 1024;

sim::BehaviourGroup Group(const std::string& option)
{
    sim::BehaviourGroup group;
    std::string error;
    EXPECT_TRUE(sim::ParseBehaveOption(option, &group, &error)) << error;
    return group;
}

std::string Package(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    std::mt19937 random(seed);
    for (char& byte : bytes)
    {
        byte = static_cast<char>(random());
    }
    return bytes;
}

std::size_t Occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    {
        ++count;
    }
    return count;
}

// Chooses the package, searches, and updates every listed machine; true when
// the run's summary is this one.
bool UpdateAll(QuellisDlgFixture& fixture, const std::string& package, int machines, const std::string& summary)
{
    const std::size_t before = Occurrences(fixture.LogText(), summary);
    fixture.AnswerNextOpenFile(package);
    fixture.Click(kIdSelectPackage);
    fixture.Click(kIdSearch);
    if (!fixture.WaitFor([&] { return fixture.RowCount() == machines; }))
    {
        return false;
    }
    fixture.AnswerNextBox(core::kAnswerYes);
    fixture.Click(kIdUpdateAll);
    return fixture.WaitFor([&] { return Occurrences(fixture.LogText(), summary) > before; }, 30000);
}

TEST(LabUpdate, TheDialogsServerDeliversPackagesOfEveryAwkwardSizeFromAnyOffset)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    QuellisDlgFixture fixture;
    fixture.Open({ "TOOLTYPE=2", "LANG=1" });

    struct Case
    {
        std::size_t size;
        std::size_t offset;
    };
    const Case cases[] = { { 1, 0 },
        { 65535, 0 },
        { 65536, 0 },
        { 65537, 0 },
        { 8 * kMiB - 1, 0 },
        { 8 * kMiB, 0 },
        { 8 * kMiB + 1, 0 },
        { 20 * kMiB, 0 },
        { 10 * kMiB, 9 * kMiB } };
    for (const Case& c : cases)
    {
        const std::string name = "package-" + std::to_string(c.size) + ".tar.gz";
        fixture.Dir().Write(name, Package(c.size, static_cast<unsigned>(c.size)));
        sim::FarmConfig config;
        config.machines = 1;
        config.scenario.spreadMs = 0;
        config.scenario.groups = { Group("installMs=10,downloadOffset=" + std::to_string(c.offset)) };
        config.expectedPackage = (fixture.Dir() / name).string();
        auto farm = StartLabFarm(*lab, config);
        ASSERT_TRUE(farm);
        ASSERT_TRUE(UpdateAll(fixture, (fixture.Dir() / name).string(), 1, "升级成功1台，升级失败0台"))
            << c.size << " from " << c.offset << "\n"
            << fixture.LogText();
        const sim::Machine& machine = farm->MachineAt(0);
        EXPECT_EQ(machine.counters.downloadsVerified.load(), 1u) << c.size;
        EXPECT_EQ(machine.counters.downloadBytes.load(), c.size - c.offset) << c.size;
        fixture.Click(kIdSearch); // the list empties before the next farm starts
    }
    // The package line follows the side panel's language box.
    const std::string path = (fixture.Dir() / "package-1.tar.gz").string();
    EXPECT_NE(fixture.LogText().find("已选择升级包[" + path + "]"), std::string::npos);
    fixture.ClickPanel(kIdLanguageCheck);
    fixture.AnswerNextOpenFile(path);
    fixture.Click(kIdSelectPackage);
    EXPECT_NE(fixture.LogText().find("Select update package[" + path + "]"), std::string::npos);
    ASSERT_FALSE(fixture.OpenFileTitles().empty());
    EXPECT_EQ(fixture.OpenFileTitles().back(), "Open File");
    EXPECT_TRUE(fixture.Enabled(kIdUpdateSelected));
    EXPECT_TRUE(fixture.Enabled(kIdUpdateAll));
}

TEST(LabUpdate, UpdatingAFarmCountsEveryMachinesResultAndRestoresTheWindow)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 12;
    config.scenario.spreadMs = 0;
    config.scenario.groups = { Group("installMs=20"), Group("count=3,upgradeResult=0") };
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    QuellisDlgFixture fixture;
    fixture.Open({ "TOOLTYPE=2", "LANG=0" });
    fixture.Dir().Write("firmware.tar.gz", Package(3 * kMiB, 5));
    EXPECT_FALSE(fixture.Enabled(kIdUpdateAll)) << "until a package is chosen";
    ASSERT_TRUE(UpdateAll(fixture, (fixture.Dir() / "firmware.tar.gz").string(), 12, "升级成功9台，升级失败3台"))
        << fixture.LogText();
    EXPECT_EQ(fixture.Boxes().back().text, "确认升级所有设备？");
    EXPECT_EQ(farm->Totals().downloadsVerified, 12u);
    // The run gives the button back its caption in the language shown.
    EXPECT_TRUE(fixture.WaitFor([&] { return fixture.Text(kIdUpdateAll) == "Update All Devs"; }));
    EXPECT_TRUE(fixture.Enabled(kIdRestartMiner));
    EXPECT_TRUE(fixture.Enabled(kIdRestartSystem));
}

} // namespace
} // namespace quellis::test

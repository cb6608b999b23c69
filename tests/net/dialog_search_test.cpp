// The real main dialog on the lab's tool side against a simulated farm on its
// farm side: the Search button, the receive thread, the reply queue and the
// reply thread end to end over real sockets.
#include "discovery/device_list_dlg.h"
#include "platform/net/ipv4.h"
#include "platform/ui/ip_address.h"
#include "platform/ui/list_view.h"
#include "resources/templates/dev_set_dialog_ids.h"
#include "resources/templates/main_dialog_ids.h"
#include "sim/scenario.h"
#include "tests/net/lab_tool.h"
#include "tests/support/quellis_dlg_fixture.h"

#include <QTest>

#include <map>

namespace quellis::test
{
namespace
{

using namespace quellis::resources;

sim::BehaviourGroup Group(const char* option)
{
    sim::BehaviourGroup group;
    std::string error;
    EXPECT_TRUE(sim::ParseBehaveOption(option, &group, &error)) << error;
    return group;
}

// Records the rows of the double clicks the window routes.
class ObservedDlg : public app::CQuellisDlg
{
public:
    using CQuellisDlg::CQuellisDlg;

protected:
    void OnNotify(int id, const ui::Notification& notification) override
    {
        if (notification.code == ui::NotifyCode::DoubleClick)
        {
            doubleClickRows.push_back(notification.row);
        }
        CQuellisDlg::OnNotify(id, notification);
    }

public:
    std::vector<int> doubleClickRows;
};

std::map<std::string, std::vector<std::string>> RowsByMac(QuellisDlgFixture& fixture)
{
    std::map<std::string, std::vector<std::string>> rows;
    for (int row = 0; row < fixture.RowCount(); ++row)
    {
        auto cells = fixture.Row(row);
        rows[cells[discovery::kColumnMac]] = cells;
    }
    return rows;
}

TEST(LabDialog, SearchBringsEveryMachineOfAThousandIntoTheList)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 1000;
    config.seed = 21;
    config.scenario.spreadMs = 100;
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);

    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    QuellisDlgFixture fixture;
    fixture.Open({ "TOOLTYPE=2", "LANG=1" });
    fixture.Click(kIdSearch);
    ASSERT_TRUE(fixture.WaitFor([&] { return fixture.RowCount() >= 1000; }, 20000)) << fixture.RowCount();
    QTest::qWait(200);
    ASSERT_EQ(fixture.RowCount(), 1000); // every machine once; the program's own search is not a row

    const auto rows = RowsByMac(fixture);
    ASSERT_EQ(rows.size(), 1000u);
    for (int i = 0; i < farm->MachineCount(); ++i)
    {
        const sim::Machine& machine = farm->MachineAt(i);
        const auto found = rows.find(machine.identity.mac);
        ASSERT_NE(found, rows.end()) << machine.identity.mac;
        const auto& cells = found->second;
        // An address of "FFFFFFFFFFFF" is shown as the address the reply came from.
        EXPECT_EQ(cells[discovery::kColumnIp], net::FormatIpv4(machine.identity.address));
        EXPECT_EQ(cells[discovery::kColumnMask], machine.identity.mask);
        if (machine.behaviour.shortReply >= 256)
        {
            EXPECT_EQ(cells[discovery::kColumnVersion], machine.identity.versionText);
        }
    }
    // Each new machine's version line, none for the program itself.
    const std::string log = fixture.LogText();
    EXPECT_EQ(log.find(NetLab::kToolAddress), std::string::npos);
}

TEST(LabDialog, TheAddressFilterOfConfigIniKeepsOnlyItsMachines)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 600; // 10.77.128.1 to 10.77.130.94
    config.scenario.spreadMs = 0;
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    QuellisDlgFixture fixture;
    fixture.Open({ "TOOLTYPE=2", "NETMASK=129", "IPBEGIN=10", "IPEND=20" });
    fixture.Click(kIdSearch);

    int expected = 0;
    for (int i = 0; i < farm->MachineCount(); ++i)
    {
        const std::uint32_t address = farm->MachineAt(i).identity.address;
        const bool addressAsAll = farm->MachineAt(i).behaviour.addressAsAll;
        const int third = static_cast<int>((address >> 8) & 0xFF);
        const int fourth = static_cast<int>(address & 0xFF);
        // A machine that sends "FFFFFFFFFFFF" has fewer than three pieces: never filtered.
        expected += addressAsAll || (third == 129 && fourth >= 10 && fourth <= 20) ? 1 : 0;
    }
    ASSERT_GT(expected, 0);
    ASSERT_TRUE(fixture.WaitFor([&] { return fixture.RowCount() >= expected; }, 10000));
    QTest::qWait(300);
    EXPECT_EQ(fixture.RowCount(), expected);
    EXPECT_EQ(farm->Totals().searches, 600u); // all were asked
}

TEST(LabDialog, ClickingARowMakesThatMachineFlickerAndASettingFailureIsShownForItsTarget)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 5;
    config.scenario.spreadMs = 0;
    config.scenario.groups = { Group("settingResult=2") };
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    QuellisDlgFixture fixture;
    fixture.Open({ "TOOLTYPE=2" });
    fixture.Click(kIdSearch);
    ASSERT_TRUE(fixture.WaitFor([&] { return fixture.RowCount() == 5; }));

    // A click on a row sends that machine the identify packet.
    app::CQuellisDlg& dialog = fixture.Dialog();
    auto* list = dialog.ListView(kIdDeviceList);
    const std::string mac = fixture.Row(2)[discovery::kColumnMac];
    const QRect rowRect = list->visualRect(list->model()->index(2, 1));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rowRect.center());
    const sim::Machine* clicked = farm->FindMachine(mac);
    ASSERT_NE(clicked, nullptr);
    ASSERT_TRUE(fixture.WaitFor([&] { return clicked->counters.flickers.load() == 1; }));
    EXPECT_EQ(list->NextSelected(ui::kListNone), 2);
    // A click below the last row sends nothing.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(5, list->viewport()->height() - 3));
    QTest::qWait(200);
    EXPECT_EQ(farm->Totals().flickers, 1u);

    // Two machines refuse their settings; only the one last configured is shown.
    const std::string other = fixture.Row(0)[discovery::kColumnMac];
    // As the network settings send theirs: the target, and its answer awaited.
    dialog.State().currentTarget.Set(mac);
    [[maybe_unused]] const auto ticket = dialog.State().awaitedReplies.Await(protocol::kSettingAnswer, mac);
    for (const std::string& target : { other, mac })
    {
        std::vector<std::uint8_t> setting(protocol::kRequestBufferSize);
        setting.resize(protocol::BuildDevSetting(setting, { {}, {}, {}, target, {}, "1.1.1.1" }));
        ASSERT_TRUE(dialog.State().SendBroadcast(setting));
    }
    ASSERT_TRUE(fixture.WaitFor([&] { return !fixture.Boxes().empty(); }));
    QTest::qWait(300);
    ASSERT_EQ(fixture.Boxes().size(), 1u);
    EXPECT_EQ(fixture.Boxes()[0].text, "设置终端" + mac + " IP失败：密码错误");
}

TEST(LabDialog, TheFixedAccountSearchAndDoubleClicksOnRows)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 8;
    config.scenario.spreadMs = 0;
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    QuellisDlgFixture fixture;
    fixture.Open(
        { "TOOLTYPE=2" }, [](const std::filesystem::path& path) { return std::make_unique<ObservedDlg>(path); });
    auto& dialog = static_cast<ObservedDlg&>(fixture.Dialog());

    // Without an account nothing is sent.
    dialog.ShowItem(kIdFixedAccountSearch, true);
    dialog.ShowItem(kIdAccountEdit, true);
    fixture.Click(kIdFixedAccountSearch);
    ASSERT_EQ(fixture.Boxes().size(), 1u);
    EXPECT_EQ(fixture.Boxes()[0].text, "请输入终端账号");
    QTest::qWait(200);
    EXPECT_EQ(farm->Totals().searches, 0u);

    dialog.SetItemText(kIdAccountEdit, "operator-07");
    fixture.Click(kIdFixedAccountSearch);
    ASSERT_TRUE(fixture.WaitFor([&] { return fixture.RowCount() == 8; }));
    EXPECT_EQ(farm->Totals().searches, 8u);

    // A double click on a row opens that machine's network settings; the
    // machine gets what the dialog confirms. Below the rows it opens nothing.
    // A row with a whole record (a machine may send a short one).
    int row = 0;
    while (row + 1 < fixture.RowCount() && fixture.Row(row)[discovery::kColumnMask].empty())
    {
        ++row;
    }
    const std::vector<std::string> cells = fixture.Row(row);
    const sim::Machine* machine = farm->FindMachine(cells[discovery::kColumnMac]);
    ASSERT_NE(machine, nullptr);
    fixture.AnswerNextDialog(resources::kDevSetDialogTemplate,
        [](ui::Dialog& settings)
        {
            settings.IpAddress(kIdDevSetGateway)->SetAddress(0x0A4D00FE); // 10.77.0.254
            QuellisDlgFixture::ClickItem(settings, kIdDevSetOk);
        });
    auto* list = dialog.ListView(kIdDeviceList);
    const QRect rowRect = list->visualRect(list->model()->index(row, 1));
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rowRect.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, QPoint(5, list->viewport()->height() - 3));
    EXPECT_EQ(dialog.doubleClickRows, (std::vector<int> { row, -1 }));
    EXPECT_EQ(fixture.DialogsAnswered(), std::vector<int> { resources::kDevSetDialogTemplate });
    ASSERT_TRUE(fixture.WaitFor([&] { return machine->counters.settings.load() == 1; }));
    const sim::MachineState state = machine->Snapshot(sim::Clock::now());
    EXPECT_EQ(state.ip, cells[discovery::kColumnIp]);
    EXPECT_EQ(state.mask, cells[discovery::kColumnMask]);
    EXPECT_EQ(state.gateway, "10.77.0.254");
    EXPECT_EQ(farm->Totals().settings, 1u);
}

} // namespace
} // namespace quellis::test

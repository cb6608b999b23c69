// The maintenance commands of the real main dialog on the lab's tool side,
// counted at the simulated machines on its farm side: the tests and their
// time-outs, the system command and the restarts, the blink, and the network
// settings dialog with changeMac.txt, the companion window and the failures.
#include "commands/commands_controller.h"
#include "commands/dev_set_dlg.h"
#include "discovery/device_table.h"
#include "platform/net/ipv4.h"
#include "platform/ui/ip_address.h"
#include "platform/ui/list_view.h"
#include "platform/ui/window_class.h"
#include "resources/resource_ids.h"
#include "resources/templates/dev_set_dialog_ids.h"
#include "resources/templates/main_dialog_ids.h"
#include "sim/scenario.h"
#include "tests/net/lab_tool.h"
#include "tests/support/quellis_dlg_fixture.h"

#include <QTest>

#include <algorithm>

namespace quellis::test
{
namespace
{

using namespace quellis::resources;
using discovery::kColumnIp;
using discovery::kColumnMac;
using Clock = std::chrono::steady_clock;

sim::BehaviourGroup Group(const char* option)
{
    sim::BehaviourGroup group;
    std::string error;
    EXPECT_TRUE(sim::ParseBehaveOption(option, &group, &error)) << error;
    return group;
}

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

void SelectOnly(app::CQuellisDlg& dialog, std::initializer_list<int> rows)
{
    ui::ListViewControl* list = dialog.ListView(kIdDeviceList);
    list->clearSelection();
    for (const int row : rows)
    {
        list->SetItemState(row, ui::kItemSelected, ui::kItemSelected);
    }
}

std::size_t Count(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
    {
        ++count;
    }
    return count;
}

// A farm of `behaviours` in the lab and the real dialog on the tool side,
// searched once: every machine is a row.
class LabDialogCommands : public testing::Test
{
protected:
    bool Start(NetLab& lab,
        int machines,
        std::vector<sim::BehaviourGroup> groups,
        std::initializer_list<std::string_view> config = { "TOOLTYPE=2" })
    {
        sim::FarmConfig farmConfig;
        farmConfig.machines = machines;
        farmConfig.seed = 31;
        farmConfig.scenario.spreadMs = 0;
        // Whole records with the machines' own addresses: every row shows
        // what the settings dialog reads.
        farmConfig.scenario.groups = { Group("shortReply=256,addressAsAll=false") };
        farmConfig.scenario.groups.insert(farmConfig.scenario.groups.end(), groups.begin(), groups.end());
        farm = StartLabFarm(lab, farmConfig);
        if (!farm)
        {
            return false;
        }
        tool = std::make_unique<NetLab::Enter>(lab.ToolNamespace());
        fixture.Open(config);
        fixture.Click(kIdSearch);
        return fixture.WaitFor([&] { return fixture.RowCount() == machines; });
    }
    app::CQuellisDlg& Dialog() { return fixture.Dialog(); }
    const sim::Machine& At(int i) { return farm->MachineAt(i); }
    int RowOfMachine(int i) { return RowOf(fixture, At(i).identity.mac); }
    void Show(std::initializer_list<int> ids)
    {
        for (const int id : ids)
        {
            Dialog().ShowItem(id, true);
        }
    }

    std::unique_ptr<sim::Farm> farm;
    std::unique_ptr<NetLab::Enter> tool;
    QuellisDlgFixture fixture;
};

TEST_F(LabDialogCommands, TestsEndByTheirAnswerOrTimerAndCommandsReachTheMachinesMeant)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    // Without the side panel a search enables the tests; they and the system
    // command are clicked where the layout hides them.
    ASSERT_TRUE(Start(*lab,
        3,
        { Group("indexes=0,ledTestMs=50,uartMask=0x15"), Group("indexes=1,ledTestMs=7500") },
        { "TOOLTYPE=0", "LISTEN=1" }));
    Show({ kIdLedTest, kIdSerialTest, kIdExecuteSystemCommand, kIdSystemCommandEdit });
    ASSERT_TRUE(fixture.Enabled(kIdLedTest));

    // Answered: the button comes back with the end line and the lamps of 0x15.
    SelectOnly(Dialog(), { RowOfMachine(0) });
    fixture.Click(kIdLedTest);
    EXPECT_FALSE(fixture.Enabled(kIdLedTest));
    ASSERT_TRUE(fixture.WaitFor([&] { return !Dialog().HasTimer(kTimerLedTest); }));
    EXPECT_TRUE(fixture.Enabled(kIdLedTest));
    fixture.Click(kIdSerialTest);
    ASSERT_TRUE(fixture.WaitFor([&] { return !Dialog().HasTimer(kTimerSerialTest); }));
    EXPECT_TRUE(fixture.Enabled(kIdSerialTest));
    EXPECT_EQ(Count(fixture.LogText(), "LED灯测试结束\n"), 1u);
    EXPECT_EQ(Count(fixture.LogText(), "串口测试结束3个串口正常\n"), 1u);
    const int lamps[] = { kIdSerialLamp1, kIdSerialLamp2, kIdSerialLamp3, kIdSerialLamp4, kIdSerialLamp5 };
    const int lit[] = { kIconLampOn, kIconLampOff, kIconLampOn, kIconLampOff, kIconLampOn };
    for (int i = 0; i < 5; ++i)
    {
        EXPECT_EQ(Dialog().ItemIconId(lamps[i]), lit[i]) << "lamp " << i + 1;
    }

    // Unanswered (a row of no machine) and late (an answer after 7.5 s).
    fixture.AddRow({ "4", "10.77.250.1", "255.255.0.0", "10.77.0.2", "00000000DEAD" });
    SelectOnly(Dialog(), { 3 });
    fixture.Click(kIdSerialTest);
    SelectOnly(Dialog(), { RowOfMachine(1) });
    fixture.Click(kIdLedTest);

    // Meanwhile a 463-byte command to all after the confirmation: every
    // machine runs it whole. Then a restart of every miner after the
    // confirmation, and a reboot of one machine.
    const std::string echoed(458, 'x');
    Dialog().SetItemText(kIdSystemCommandEdit, "echo " + echoed);
    SelectOnly(Dialog(), {});
    fixture.AnswerNextBox(core::kAnswerYes);
    fixture.Click(kIdExecuteSystemCommand);
    EXPECT_EQ(fixture.Boxes().back().text, "确认所有设备都执行命令？");
    ASSERT_TRUE(fixture.WaitFor([&] { return Count(fixture.LogText(), "运行结果[0]:\n" + echoed + "\n\n") == 3; }));
    EXPECT_TRUE(fixture.Enabled(kIdExecuteSystemCommand));
    fixture.AnswerNextBox(core::kAnswerYes);
    fixture.Click(kIdRestartMiner);
    EXPECT_EQ(fixture.Boxes().back().text, "确认要重启局域网内所有设备挖矿程序？");
    SelectOnly(Dialog(), { RowOfMachine(2) });
    fixture.Click(kIdRestartSystem);
    ASSERT_TRUE(fixture.WaitFor([&] { return farm->Totals().commands[protocol::CMD_Reboot] == 1; }));
    EXPECT_EQ(farm->Totals().commands[protocol::CMD_RestartMiner], 3u);
    EXPECT_EQ(At(2).counters.commands[protocol::CMD_Reboot].load(), 1u);
    EXPECT_EQ(farm->Totals().commands[protocol::CMD_EXECUTE], 3u);

    // Each timer gives its button back with its message; the late answer
    // then finds the button enabled and changes nothing.
    const auto shown = [&](std::string_view text)
    {
        return std::count_if(fixture.Boxes().begin(),
            fixture.Boxes().end(),
            [&](const ShownMessageBox& box) { return box.text == text; });
    };
    ASSERT_TRUE(fixture.WaitFor([&] { return shown("串口测试失败，重新搜索设备确认设备是否仍在线！") == 1; }, 9000));
    EXPECT_EQ(shown("LED灯测试失败，重新搜索设备确认设备是否仍在线！"), 1);
    EXPECT_TRUE(fixture.Enabled(kIdLedTest));
    EXPECT_TRUE(fixture.Enabled(kIdSerialTest));
    const auto& late = At(1).counters.repliesSent;
    const std::uint64_t before = late.load();
    ASSERT_TRUE(fixture.WaitFor([&] { return late.load() > before; }, 5000));
    QTest::qWait(300);
    EXPECT_EQ(Count(fixture.LogText(), "LED灯测试结束\n"), 1u);
    EXPECT_EQ(fixture.Boxes().size(), 4u);
}

TEST_F(LabDialogCommands, TheBlinkReachesEachMachineAtItsOwnAddress)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    ASSERT_TRUE(Start(*lab, 6, {}));
    const auto flickers = [&](int i) { return At(i).counters.unicastFlickers.load(); };

    // Every row, pass after pass: each machine once per pass, never by broadcast.
    fixture.Click(kIdFlashMachines);
    EXPECT_EQ(fixture.Text(kIdFlashMachines), "停止闪烁");
    EXPECT_FALSE(fixture.Enabled(kIdSearch));
    ASSERT_TRUE(fixture.WaitFor([&] { return farm->Totals().unicastFlickers >= 12; }, 8000));
    fixture.Click(kIdFlashMachines);
    EXPECT_EQ(fixture.Text(kIdFlashMachines), "闪烁矿机");
    EXPECT_TRUE(fixture.Enabled(kIdSearch));
    QTest::qWait(100); // what left before the stop has arrived
    const std::uint64_t first = flickers(0);
    QTest::qWait(1200);
    EXPECT_EQ(flickers(0), first) << "nothing after the stop";
    EXPECT_EQ(farm->Totals().flickers, farm->Totals().unicastFlickers);
    for (int i = 0; i < 6; ++i)
    {
        EXPECT_GE(flickers(i), 2u) << i;
        EXPECT_LE(flickers(i), first + 1) << i;
    }

    // Selected rows one after another, 600 ms apart; the others are left alone.
    SelectOnly(Dialog(), { RowOfMachine(1), RowOfMachine(4) });
    const std::uint64_t base1 = flickers(1);
    const std::uint64_t base4 = flickers(4);
    const std::uint64_t others = farm->Totals().unicastFlickers - base1 - base4;
    std::vector<Clock::time_point> seen;
    fixture.Click(kIdFlashMachines);
    ASSERT_TRUE(fixture.WaitFor(
        [&]
        {
            const std::uint64_t now = flickers(1) - base1 + flickers(4) - base4;
            while (seen.size() < now)
            {
                seen.push_back(Clock::now());
            }
            return now >= 4;
        },
        8000));
    fixture.Click(kIdFlashMachines);
    EXPECT_GE(flickers(1) - base1, 2u);
    EXPECT_GE(flickers(4) - base4, 2u);
    EXPECT_EQ(farm->Totals().unicastFlickers - flickers(1) - flickers(4), others);
    for (std::size_t i = 1; i < seen.size(); ++i)
    {
        EXPECT_GE(seen[i] - seen[i - 1], std::chrono::milliseconds(450)) << i;
    }
    EXPECT_NE(fixture.LogText().find("依次闪烁选中设备!\n"), std::string::npos);
}

// The companion program's window: it takes the message posted to its class.
class CompanionStandIn : public ui::Dialog
{
public:
    CompanionStandIn()
        : ui::Dialog(kTemplate)
    {
    }
    struct Message
    {
        std::uint32_t message;
        std::uintptr_t wParam;
        std::intptr_t lParam;
    };
    std::vector<Message> received;

protected:
    bool OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        received.push_back({ message, wParam, lParam });
        return true;
    }

private:
    static constexpr ui::DialogTemplate kTemplate {
        9000, "Companion", 120, 40, "MS Shell Dlg", 8, ui::kDialogPopup, {}
    };
};

// The settings dialog as an operator fills it: the row's values are shown,
// then Static with a new address or DHCP, and OK.
QuellisDlgFixture::DialogAnswer Confirm(std::optional<std::uint32_t> staticAddress, std::string* shown = nullptr)
{
    return [staticAddress, shown](ui::Dialog& dialog)
    {
        if (shown != nullptr)
        {
            *shown = dialog.ItemText(kIdDevSetAddress) + " " + dialog.ItemText(kIdDevSetMac) + " "
                + dialog.ItemText(kIdDevSetDns) + " " + std::to_string(dialog.IsButtonChecked(kIdDevSetStatic));
        }
        if (staticAddress)
        {
            dialog.IpAddress(kIdDevSetAddress)->SetAddress(*staticAddress);
        }
        else
        {
            QuellisDlgFixture::ClickItem(dialog, kIdDevSetDhcp);
            EXPECT_FALSE(dialog.IsItemEnabled(kIdDevSetAddress));
        }
        QuellisDlgFixture::ClickItem(dialog, kIdDevSetOk);
    };
}

TEST_F(LabDialogCommands, ADoubleClickedRowMovesToItsNewAddressAndTheCompanionIsTold)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    ASSERT_TRUE(Start(*lab, 8, { Group("indexes=6,settingResult=1"), Group("indexes=7,settingResult=9") }));
    CompanionStandIn companion;
    ui::WindowClassServer companionClass;
    ASSERT_TRUE(companionClass.Register(std::string(commands::kCompanionWindowClass), &companion));

    // Static, by a double click on the row: the row, and then the machine, move.
    const sim::Machine& moving = At(5);
    const std::string mac = moving.identity.mac;
    const int row = RowOfMachine(5);
    const std::string oldAddress = fixture.Row(row)[kColumnIp];
    const std::uint32_t newAddress = 0x0A4DC805; // 10.77.200.5, in the farm's range
    std::string shown;
    fixture.AnswerNextDialog(kDevSetDialogTemplate, Confirm(newAddress, &shown));
    auto* list = Dialog().ListView(kIdDeviceList);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(row, 1)).center());
    EXPECT_EQ(fixture.DialogsAnswered(), std::vector<int> { kDevSetDialogTemplate });
    EXPECT_EQ(shown, oldAddress + " " + mac + " 8.8.8.8 1");
    ASSERT_TRUE(fixture.WaitFor([&] { return fixture.Row(RowOf(fixture, mac))[kColumnIp] == "10.77.200.5"; }));
    EXPECT_EQ(moving.WireAddress(), newAddress);
    EXPECT_EQ(moving.counters.settings.load(), 1u);
    EXPECT_EQ(fixture.Dir().Read("changeMac.txt"), mac + "\r\n");
    ASSERT_TRUE(fixture.WaitFor([&] { return companion.received.size() == 1; }));
    EXPECT_EQ(companion.received[0].message, 2025u);
    EXPECT_EQ(companion.received[0].wParam, std::stoul(mac.substr(0, 4), nullptr, 16));
    EXPECT_EQ(companion.received[0].lParam, static_cast<std::intptr_t>(std::stoul(mac.substr(4), nullptr, 16)));
    EXPECT_TRUE(fixture.Boxes().empty());

    // The blink finds it at its new address.
    SelectOnly(Dialog(), { RowOf(fixture, mac) });
    fixture.Click(kIdFlashMachines);
    ASSERT_TRUE(fixture.WaitFor([&] { return moving.counters.unicastFlickers.load() >= 1; }));
    fixture.Click(kIdFlashMachines);

    // DHCP through the Set IP button keeps the machine where it is; a double
    // click below the rows opens nothing.
    Show({ kIdSetIp });
    SelectOnly(Dialog(), { RowOfMachine(2) });
    fixture.AnswerNextDialog(kDevSetDialogTemplate, Confirm(std::nullopt));
    fixture.Click(kIdSetIp);
    ASSERT_TRUE(fixture.WaitFor([&] { return At(2).counters.settings.load() == 1; }));
    EXPECT_EQ(At(2).WireAddress(), At(2).identity.address);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, QPoint(5, list->viewport()->height() - 3));
    EXPECT_EQ(fixture.DialogsAnswered().size(), 2u);

    // The refusals of the machine just configured are shown, an unknown code with its number.
    const std::pair<int, std::string> refusals[] = { { 6, "用户名不存在" }, { 7, "未知错误(9)" } };
    std::string macs = mac + "\r\n" + At(2).identity.mac + "\r\n";
    for (const auto& [machine, reason] : refusals)
    {
        fixture.ClearBoxes();
        fixture.AnswerNextDialog(kDevSetDialogTemplate, Confirm(0x0A4DC806));
        SelectOnly(Dialog(), { RowOfMachine(machine) });
        fixture.Click(kIdSetIp);
        ASSERT_TRUE(fixture.WaitFor([&] { return !fixture.Boxes().empty(); }));
        QTest::qWait(100);
        ASSERT_EQ(fixture.Boxes().size(), 1u);
        EXPECT_EQ(fixture.Boxes()[0].text, "设置终端" + At(machine).identity.mac + " IP失败：" + reason);
        EXPECT_EQ(At(machine).WireAddress(), At(machine).identity.address);
        macs += At(machine).identity.mac + "\r\n";
    }
    EXPECT_EQ(fixture.Dir().Read("changeMac.txt"), macs);
    EXPECT_EQ(companion.received.size(), 4u);
}

} // namespace
} // namespace quellis::test

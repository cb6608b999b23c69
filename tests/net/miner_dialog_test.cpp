// The real main dialog on the lab's tool side against a simulated farm: the
// miner API runs over all and over selected rows, the pools through the pool
// settings dialog, and the label codes through the scanner's keys, with the
// machines' management server and mining software on the farm side.
#include "discovery/device_list_dlg.h"
#include "miner/pool_info_dlg.h"
#include "platform/net/ipv4.h"
#include "platform/text/codepage.h"
#include "platform/text/printf_text.h"
#include "platform/ui/list_view.h"
#include "platform/ui/message_box.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/pool_info_ids.h"
#include "sim/scenario.h"
#include "tests/net/lab_tool.h"
#include "tests/support/quellis_dlg_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTimer>

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

// The log pane shows line breaks as LF.
std::string Shown(std::string text)
{
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
    {
        text.erase(at, 1);
    }
    return text;
}

class LabMiner : public testing::Test
{
protected:
    // A farm, the dialog on the tool side, and a search that lists every machine.
    bool Start(NetLab& lab, int machines, std::vector<sim::BehaviourGroup> groups)
    {
        sim::FarmConfig config;
        config.machines = machines;
        config.seed = 31;
        config.scenario.spreadMs = 0;
        config.scenario.groups = std::move(groups);
        farm = StartLabFarm(lab, config);
        if (!farm)
        {
            return false;
        }
        tool = std::make_unique<NetLab::Enter>(lab.ToolNamespace());
        fixture.Open({ "TOOLTYPE=2" });
        fixture.Click(kIdSearch);
        return fixture.WaitFor([&] { return fixture.RowCount() == machines; }, 10000);
    }
    const sim::Machine& MachineOfRow(int row) const
    {
        return *farm->FindMachine(fixture.Row(row)[discovery::kColumnMac]);
    }
    std::string IpOfRow(int row) const { return fixture.Row(row)[discovery::kColumnIp]; }
    void Select(const std::vector<int>& rows)
    {
        ui::ListViewControl* list = fixture.Dialog().ListView(kIdDeviceList);
        for (int row = 0; row < fixture.RowCount(); ++row)
        {
            list->SetItemState(row, 0, ui::kItemSelected);
        }
        for (const int row : rows)
        {
            list->SetItemState(row, ui::kItemSelected, ui::kItemSelected);
        }
    }
    // Presses a batch button and waits for the run's end step.
    std::string RunAndLog(int id, int limitMs = 20000)
    {
        const std::size_t before = fixture.LogText().size();
        fixture.Dialog().ShowItem(id, true); // some are hidden in every layout
        fixture.Click(id);
        EXPECT_FALSE(fixture.Enabled(kIdExecuteMinerCommand)) << "disabled while the run lives";
        EXPECT_TRUE(fixture.WaitFor([&] { return fixture.Enabled(kIdExecuteMinerCommand); }, limitMs));
        return fixture.LogText().substr(before);
    }

    std::unique_ptr<sim::Farm> farm;
    std::unique_ptr<NetLab::Enter> tool;
    QuellisDlgFixture fixture;
};

TEST_F(LabMiner, HashRatesAndFirstPoolsOfEveryMachineAndOfTheSelectedOnes)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    ASSERT_TRUE(Start(*lab,
        10,
        { Group("apiNul=false"),
            Group("indexes=3,api=refuse"),
            Group("indexes=4,api=off"),
            Group("indexes=5,api=no-status"),
            Group("indexes=6,api=split"),
            Group("indexes=7,api=deep"),
            Group("indexes=8,api=mhs-integer") }));
    fixture.AnswerNextBox(ui::kAnswerYes);
    const std::string log = RunAndLog(kIdGetHashRate);
    ASSERT_FALSE(fixture.Boxes().empty());
    EXPECT_EQ(fixture.Boxes().back().text, "确认获取所有设备算力统计？");

    std::string expected;
    for (int row = 0; row < fixture.RowCount(); ++row)
    {
        const sim::Machine& machine = MachineOfRow(row);
        const std::string ip = IpOfRow(row);
        switch (machine.behaviour.api)
        {
        case sim::ApiMode::Refuse:
            expected += "请确认设备" + ip + "已经打开并监听相应端口！\r\n";
            break;
        case sim::ApiMode::Off: // the bounded connect time-out, as 10060
            expected += "连接超时，请确认服务器端是否启动！\r\n";
            break;
        case sim::ApiMode::NoStatus:
            expected += "设备端接收数据解析出错！";
            break;
        case sim::ApiMode::Split:
        case sim::ApiMode::Deep:
            expected += "设备端接收数据解析失败！\r\n";
            break;
        case sim::ApiMode::MhsInteger:
            expected += "未能发现算力信息信息\r\n";
            break;
        default:
            expected += ip + "\t"
                + text::PrintfText("%f", std::strtod(text::PrintfText("%.2f", machine.identity.mhsAv).c_str(), nullptr))
                + "Mh/s\r\n";
            EXPECT_EQ(machine.LastApiRequest(), R"({"parameter": "", "command": "summary"})");
            break;
        }
    }
    EXPECT_EQ(log, Shown(expected));

    // Two selected rows: the first pool of each, one line each.
    std::vector<int> well;
    for (int row = 0; row < fixture.RowCount(); ++row)
    {
        if (MachineOfRow(row).behaviour.api == sim::ApiMode::Ok)
        {
            well.push_back(row);
        }
    }
    ASSERT_GE(well.size(), 2u);
    const int first = well[0];
    const int second = well[1];
    Select({ first, second });
    std::string pools;
    for (const int row : { first, second })
    {
        const auto held = MachineOfRow(row).Snapshot(sim::Clock::now()).pools;
        pools += IpOfRow(row) + " " + held[0].url + " " + held[0].user + "\n";
    }
    EXPECT_EQ(RunAndLog(kIdGetFirstMiner), pools);
    EXPECT_EQ(MachineOfRow(first).LastApiRequest(), R"({"parameter": "", "command": "pools"})");
}

TEST_F(LabMiner, PoolsFromTheSettingsDialogReachEveryMachineWithItsAddressSuffix)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    ASSERT_TRUE(Start(*lab, 6, {}));
    // The pool settings dialog opens modally over the main one: fill row 1, untick row 2, OK.
    bool filled = false;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll,
        &QTimer::timeout,
        &poll,
        [&]
        {
            auto* dialog = dynamic_cast<miner::CDlgPoolInfo*>(QApplication::activeModalWidget());
            if (dialog == nullptr || filled)
            {
                return;
            }
            filled = true;
            EXPECT_EQ(dialog->TemplateId(), kPoolInfoTemplate);
            static_cast<QLineEdit*>(dialog->Item(kIdPoolUrl[0]))
                ->setText(QStringLiteral("stratum+tcp://pool.lab:3333"));
            static_cast<QLineEdit*>(dialog->Item(kIdPoolWorker[0]))->setText(QStringLiteral("ops"));
            static_cast<QAbstractButton*>(dialog->Item(kIdPoolEnable[1]))->click();
            static_cast<QAbstractButton*>(dialog->Item(kIdPoolSuffixNone[2]))->click();
            static_cast<QAbstractButton*>(dialog->Item(kIdPoolOk))->click();
        });
    poll.start();
    fixture.AnswerNextBox(ui::kAnswerYes);
    const std::string log = RunAndLog(kIdSetPools);
    poll.stop();
    ASSERT_TRUE(filled);
    EXPECT_NE(log.find("矿池配置成功6个，失败0个\n"), std::string::npos) << log;
    EXPECT_NE(fixture.ConfigText().find("URL1=stratum+tcp://pool.lab:3333"), std::string::npos);

    const miner::PoolRowSettings rows = miner::ReadPoolSettings(fixture.ConfigPath());
    for (int i = 0; i < farm->MachineCount(); ++i)
    {
        const sim::Machine& machine = farm->MachineAt(i);
        const std::uint32_t address = machine.identity.address;
        const auto held = machine.Snapshot(sim::Clock::now()).pools;
        ASSERT_EQ(held.size(), 3u) << "the unticked row is sent empty";
        EXPECT_EQ(held[0],
            (sim::PoolEntry { "stratum+tcp://pool.lab:3333",
                text::PrintfText(
                    "ops.%ux%ux%ux%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF),
                rows[0].password }));
        EXPECT_EQ(held[1], (sim::PoolEntry { rows[2].url, rows[2].worker, rows[2].password })) << "no suffix";
        EXPECT_EQ(held[2].user,
            rows[3].worker
                + text::PrintfText(
                    ".%ux%ux%ux%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF));
    }
}

TEST_F(LabMiner, TheScannersCodesAreWrittenConfirmedAndReadBack)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    ASSERT_TRUE(Start(*lab, 3, {}));
    Select({ 1 });
    for (const int id : { kIdQrCodeEdit, kIdOneDCodeEdit })
    {
        fixture.Dialog().ShowItem(id, true);
    }
    const std::size_t before = fixture.LogText().size();
    fixture.Dialog().SetFocusItem(kIdQrCodeEdit);
    fixture.Type(kIdQrCodeEdit, "QRZUN00042\r");
    fixture.Type(kIdOneDCodeEdit, "KAVDRUP1234567890AB-SN0001-X\r");
    ASSERT_TRUE(fixture.WaitFor([&] { return fixture.LogText().find("读E2") != std::string::npos; }, 10000))
        << fixture.LogText().substr(before);
    const std::string log = fixture.LogText().substr(before);
    // "QR one-D [time]写E2成功" then the read-back "QR one-D [time]读E2成功".
    const std::string written = "QRZUN00042 KAVDRUP1234567890AB-SN0001-X [";
    ASSERT_EQ(log.rfind(written, 0), 0u) << log;
    const std::size_t read = log.find("]写E2成功\nN00042 1234890ABSN0001 [");
    ASSERT_NE(read, std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("]读E2成功\n")) << log;
    const sim::E2Record record = MachineOfRow(1).Snapshot(sim::Clock::now()).eeprom;
    EXPECT_EQ(std::string(record.begin(), record.end()),
        std::string("N00042\0\0\0\0\0\0\0\0\0"
                    "1234890ABSN0001\0\0\0\0\0\0\0\0\0\0",
            40));
    // Both texts also went to log.txt, in code page 936.
    EXPECT_TRUE(fixture.WaitFor([&] { return fixture.Enabled(kIdExecuteMinerCommand); }));
    const std::string file = fixture.Dir().Read("log.txt");
    EXPECT_NE(file.find(text::Utf8ToCp936("]写E2成功\r\nN00042 1234890ABSN0001 [")), std::string::npos);
}

} // namespace
} // namespace quellis::test

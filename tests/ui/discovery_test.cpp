// The reply path of a real main dialog: datagrams are put into its reply
// queue, as the receive thread puts them, and the reply thread turns them into
// rows, log lines, lamps, buttons and counters. Nothing is sent here; what
// needs the network runs in the lab (tests/net).
#include "controls/picture_ex.h"
#include "discovery/device_list_dlg.h"
#include "platform/net/socket.h"
#include "platform/ui/list_view.h"
#include "platform/ui/rich_edit.h"
#include "protocol/device_packet.h"
#include "protocol/internet_checksum.h"
#include "resources/resource_ids.h"
#include "resources/templates/main_dialog_ids.h"
#include "tests/support/quellis_dlg_fixture.h"

#include <QHeaderView>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace quellis::test
{
namespace
{

using namespace quellis::discovery;
using namespace quellis::protocol;
using namespace quellis::resources;
using Bytes = std::vector<std::uint8_t>;

struct Machine
{
    std::string ip = "10.77.128.5";
    std::string mac = "A1B2C3D4E5F6";
    std::string hostName = "rack03-m17";
    std::int32_t runSeconds = 90061;
    std::int32_t temperature = 67;
    std::int32_t versionNumber = 20105;
    std::size_t length = kRecordSize;
};

Bytes Reply(const Machine& machine, PacketType type = PKT_SEARCH_ACK, std::int32_t result = 0)
{
    Bytes buffer(kMaxDatagramSize);
    RecordFields fields;
    fields.ip = machine.ip;
    fields.mask = "255.255.128.0";
    fields.gateway = "10.77.0.2";
    fields.mac = machine.mac;
    fields.temperature = machine.temperature;
    fields.versionNumber = machine.versionNumber;
    fields.runSeconds = machine.runSeconds;
    fields.versionText = "2.1.5";
    fields.hostName = machine.hostName;
    fields.result = result;
    buffer.resize(BuildRecordReply(buffer, type, fields, machine.length));
    return buffer;
}

Bytes CommandReply(
    std::uint16_t code, std::int32_t result, const std::string& text = {}, const std::string& target = "A1B2C3D4E5F6")
{
    Bytes buffer(kMaxDatagramSize);
    buffer.resize(BuildCommandReply(buffer, target, code, result, AsBytes(text)));
    return buffer;
}

class Discovery : public testing::Test
{
protected:
    void Open(std::initializer_list<std::string_view> config = {}) { fixture.Open(config); }
    app::CQuellisDlg& Dialog() { return fixture.Dialog(); }
    void Inject(const Bytes& datagram) { ASSERT_TRUE(Dialog().State().replyQueue.Put(datagram)); }
    bool WaitRows(int count)
    {
        return fixture.WaitFor([&] { return fixture.RowCount() == count; });
    }
    bool WaitLog(const std::string& piece)
    {
        return fixture.WaitFor([&] { return fixture.LogText().find(piece) != std::string::npos; });
    }
    // The reply thread has taken everything put so far and applied it.
    void Settle()
    {
        ASSERT_TRUE(fixture.WaitFor([&] { return Dialog().State().replyQueue.UsedCount() == 0; }));
        QTest::qWait(50);
    }

    QuellisDlgFixture fixture;
};

TEST_F(Discovery, ANewMachineGetsANumberedRowAndAVersionLineARefreshGetsNeither)
{
    Open();
    Machine first;
    first.hostName = "\xEF\xBB\xBFminer-07"; // shown from its fourth byte
    Machine second;
    second.ip = "10.77.128.6";
    second.mac = "0A1B2C3D4E5F";
    second.runSeconds = 59;
    Inject(Reply(first));
    Inject(Reply(second));
    ASSERT_TRUE(WaitRows(2));
    EXPECT_EQ(fixture.Row(0),
        (std::vector<std::string> { "1",
            "10.77.128.5",
            "255.255.128.0",
            "10.77.0.2",
            "A1B2C3D4E5F6",
            "1天01时01分01秒",
            "67",
            "2.1.5",
            "miner-07" }));
    EXPECT_EQ(fixture.Row(1)[0], "2");
    EXPECT_EQ(fixture.Row(1)[5], "59秒");
    ASSERT_TRUE(WaitLog("2 Device 10.77.128.6 server version 2.1.5"));
    EXPECT_NE(fixture.LogText().find("1 Device 10.77.128.5 server version 2.1.5\n"), std::string::npos);

    // The same MAC again: its row is refreshed, nothing added, nothing logged.
    const std::string logBefore = fixture.LogText();
    Machine moved = first;
    moved.ip = "10.77.140.9";
    moved.runSeconds = 0; // no run time: columns 5 and 6 stay as they were
    moved.hostName = "renamed";
    Inject(Reply(moved));
    ASSERT_TRUE(fixture.WaitFor([&] { return fixture.Row(0)[1] == "10.77.140.9"; }));
    Settle();
    EXPECT_EQ(fixture.RowCount(), 2);
    EXPECT_EQ(fixture.Row(0)[5], "1天01时01分01秒");
    EXPECT_EQ(fixture.Row(0)[6], "67");
    EXPECT_EQ(fixture.Row(0)[8], "renamed");
    EXPECT_EQ(fixture.LogText(), logBefore);
    // The log lines of new rows go to the pane only, not to log.txt.
    EXPECT_FALSE(std::filesystem::exists(fixture.Dir() / "log.txt"));
}

// Records handed to the UI thread and not yet applied when the operator
// presses Search belong to the list being cleared: none of them may come
// back as a row afterwards.
TEST(DeviceListHandOff, ClearingDropsRecordsNotYetApplied)
{
    ui::ListViewControl control;
    for (int column = 0; column < 9; ++column)
    {
        control.InsertColumn(column, "c", 50);
    }
    DeviceList list(&control, [] { return 1; });
    const auto enqueueFromAnotherThread = [&](std::vector<std::string> macs)
    {
        std::thread replyThread(
            [&]
            {
                std::vector<DeviceRecord> records;
                for (const std::string& mac : macs)
                {
                    Machine machine;
                    machine.mac = mac;
                    records.push_back(*ReadRecord(Reply(machine)));
                }
                list.Enqueue(std::move(records));
            });
        replyThread.join();
    };
    enqueueFromAnotherThread({ "000000000001", "000000000002", "000000000003" });
    // The slice is posted, not run: the UI thread has not had its turn.
    EXPECT_EQ(control.ItemCount(), 0);
    list.Clear();
    QTest::qWait(50);
    EXPECT_EQ(control.ItemCount(), 0);

    enqueueFromAnotherThread({ "000000000004" });
    ASSERT_TRUE(QuellisDlgFixture::WaitFor([&] { return control.ItemCount() == 1; }));
    EXPECT_EQ(control.ItemText(0, kColumnMac), "000000000004");
    EXPECT_EQ(control.ItemText(0, kColumnIndex), "1");
}

// Answers that come one at a time (a range scan's, a few a millisecond) are
// applied a frame apart, each slice with what came meanwhile, rather than a
// slice, a log append and a repaint per datagram.
TEST(DeviceListHandOff, RecordsThatTrickleInAreAppliedAFrameApart)
{
    ui::ListViewControl control;
    for (int column = 0; column < 9; ++column)
    {
        control.InsertColumn(column, "c", 50);
    }
    DeviceList list(&control, [] { return 1; });
    std::vector<std::chrono::steady_clock::time_point> slices;
    list.SetAppliedHandler([&](const std::string&) { slices.push_back(std::chrono::steady_clock::now()); });
    constexpr int kRecords = 60;
    std::thread replyThread(
        [&]
        {
            for (int i = 0; i < kRecords; ++i)
            {
                Machine machine;
                char mac[13];
                std::snprintf(mac, sizeof mac, "02%010X", static_cast<unsigned>(i));
                machine.mac = mac;
                list.Enqueue({ *ReadRecord(Reply(machine)) });
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    const bool all = QuellisDlgFixture::WaitFor([&] { return control.ItemCount() == kRecords; });
    replyThread.join();
    ASSERT_TRUE(all) << control.ItemCount();
    ASSERT_GE(slices.size(), 2u);
    for (std::size_t i = 1; i < slices.size(); ++i)
    {
        EXPECT_GE(slices[i] - slices[i - 1], std::chrono::milliseconds(12)) << "slice " << i;
    }
}

TEST_F(Discovery, ShortRepliesFillTheAddressesOnlyAndEnglishUnitsFollowTheLanguage)
{
    Open({ "LANG=0" });
    Machine shortOne;
    shortOne.length = 160; // reaches past the MAC, not to the run time
    Machine full;
    full.mac = "0A1B2C3D4E5F";
    full.ip = "10.77.128.6";
    Inject(Reply(shortOne));
    Inject(Reply(full));
    ASSERT_TRUE(WaitRows(2));
    EXPECT_EQ(fixture.Row(0),
        (std::vector<std::string> { "1",
            "10.77.128.5",
            "255.255.128.0",
            "10.77.0.2",
            "A1B2C3D4E5F6",
            "",
            "",
            "2.1.",
            "" })); // the version cut where the datagram ends
    EXPECT_EQ(fixture.Row(1)[5], "1D01H01M01S");
    Settle();
    EXPECT_EQ(fixture.LogText().find("1 Device"), std::string::npos); // no run time, no version line
    EXPECT_NE(fixture.LogText().find("2 Device 10.77.128.6"), std::string::npos);
}

TEST_F(Discovery, ColumnClicksSortAddressesRunTimesAndNamesEachInItsOwnDirection)
{
    Open();
    const std::vector<std::tuple<std::string, std::string, std::int32_t, std::string>> machines = {
        { "192.168.1.20", "000000000001", 3599, "Bravo" },
        { "192.168.2.5", "000000000002", 3600, "alpha" },
        { "192.168.1.7", "000000000003", 5, "charlie" },
    };
    for (const auto& [ip, mac, seconds, name] : machines)
    {
        Machine machine;
        machine.ip = ip;
        machine.mac = mac;
        machine.runSeconds = seconds;
        machine.hostName = name;
        Inject(Reply(machine));
    }
    ASSERT_TRUE(WaitRows(3));
    auto* list = static_cast<QTreeView*>(fixture.Control(kIdDeviceList));
    const auto clickHeader = [&](int column)
    {
        QHeaderView* header = list->header();
        QTest::mouseClick(header->viewport(),
            Qt::LeftButton,
            {},
            QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
    };
    const auto column = [&](int index)
    {
        std::vector<std::string> texts;
        for (int row = 0; row < fixture.RowCount(); ++row)
        {
            texts.push_back(fixture.Row(row)[static_cast<std::size_t>(index)]);
        }
        return texts;
    };

    clickHeader(1); // first click: descending
    EXPECT_EQ(column(1), (std::vector<std::string> { "192.168.1.20", "192.168.1.7", "192.168.2.5" }));
    EXPECT_EQ(column(0), (std::vector<std::string> { "1", "3", "2" })); // numbers move with their rows
    clickHeader(1);
    EXPECT_EQ(column(1), (std::vector<std::string> { "192.168.2.5", "192.168.1.7", "192.168.1.20" }));

    clickHeader(5); // run time: its own flag, so descending again
    EXPECT_EQ(column(5), (std::vector<std::string> { "1时00分00秒", "59分59秒", "5秒" }));
    clickHeader(8);
    EXPECT_EQ(column(8), (std::vector<std::string> { "charlie", "Bravo", "alpha" }));
    clickHeader(8);
    EXPECT_EQ(column(8), (std::vector<std::string> { "alpha", "Bravo", "charlie" }));
    const auto before = column(1);
    clickHeader(2); // the mask column does not sort
    EXPECT_EQ(column(1), before);

    // A refresh after sorting reaches the moved row.
    Machine again;
    again.ip = "192.168.1.7";
    again.mac = "000000000003";
    again.hostName = "charlie-2";
    Inject(Reply(again));
    ASSERT_TRUE(fixture.WaitFor([&] { return column(8)[2] == "charlie-2"; }));
    EXPECT_EQ(fixture.RowCount(), 3);
}

TEST_F(Discovery, TestRepliesEndTheirTestOnceAndLightTheLamps)
{
    Open({ "TOOLTYPE=0" });
    Dialog().EnableItem(kIdLedTest, false);
    Dialog().SetTimer(1000, 60000);
    Dialog().Window().busy.Hold(core::BusyRun::LedTest);
    ASSERT_TRUE(fixture.WaitFor([&] { return Dialog().BusyPicture()->IsAnimating(); }));
    // As the tests send their requests: the machine's answer awaited.
    auto& awaited = Dialog().State().awaitedReplies;
    [[maybe_unused]] const auto led = awaited.Await(CommandAnswer(CMD_LedTest), "A1B2C3D4E5F6");
    [[maybe_unused]] const auto serial = awaited.Await(CommandAnswer(CMD_UARTTest), "A1B2C3D4E5F6");
    Inject(CommandReply(CMD_LedTest, 0));
    Inject(CommandReply(CMD_LedTest, 0));
    ASSERT_TRUE(fixture.WaitFor([&] { return fixture.Enabled(kIdLedTest); }));
    Settle();
    EXPECT_FALSE(Dialog().HasTimer(1000));
    EXPECT_FALSE(Dialog().BusyPicture()->IsAnimating());
    const std::string log = fixture.LogText();
    EXPECT_EQ(log.find("LED灯测试结束"), log.rfind("LED灯测试结束")); // once

    Dialog().EnableItem(kIdSerialTest, false);
    Inject(CommandReply(CMD_UARTTest, 0x15));
    ASSERT_TRUE(WaitLog("串口测试结束3个串口正常"));
    const int lamps[] = { kIdSerialLamp1, kIdSerialLamp2, kIdSerialLamp3, kIdSerialLamp4, kIdSerialLamp5 };
    const int expected[] = { kIconLampOn, kIconLampOff, kIconLampOn, kIconLampOff, kIconLampOn };
    for (int i = 0; i < 5; ++i)
    {
        EXPECT_EQ(Dialog().ItemIconId(lamps[i]), expected[i]) << "port " << i + 1;
    }
}

TEST_F(Discovery, CommandResultsCountAndWakeTheWaitingWorker)
{
    Open();
    Dialog().State().currentTarget.Set("A1B2C3D4E5F6");
    Dialog().State().currentTargetIp.Set("10.77.128.5");
    Inject(CommandReply(CMD_Upgrade, 1));
    ASSERT_TRUE(WaitLog("升级10.77.128.5成功"));
    EXPECT_EQ(Dialog().State().successCount.load(), 1);
    EXPECT_EQ(Dialog().State().commandDone.Wait(0), sync::WaitResult::Signalled);
    // Another machine's result is counted but wakes nobody.
    Inject(CommandReply(CMD_Upgrade, 0, {}, "FFEEDDCCBBAA"));
    ASSERT_TRUE(WaitLog("升级FFEEDDCCBBAA失败"));
    ASSERT_TRUE(fixture.WaitFor([&] { return Dialog().State().failureCount.load() == 1; }));
    EXPECT_EQ(Dialog().State().commandDone.Wait(0), sync::WaitResult::TimedOut);

    Dialog().EnableItem(kIdExecuteSystemCommand, false);
    [[maybe_unused]] const auto command
        = Dialog().State().awaitedReplies.Await(CommandAnswer(CMD_EXECUTE), "A1B2C3D4E5F6");
    Inject(CommandReply(CMD_EXECUTE, 0, "load average: 0.10\n"));
    ASSERT_TRUE(WaitLog("运行结果[0]:"));
    EXPECT_TRUE(fixture.Enabled(kIdExecuteSystemCommand));
    EXPECT_NE(fixture.LogText().find("设备A1B2C3D4E5F6系统命令运行结束\n运行结果[0]:\nload average: 0.10\n"),
        std::string::npos);
}

TEST_F(Discovery, E2ResultsAreLoggedInColourAndToTheLogFile)
{
    Open();
    E2Block block;
    const std::string record("N00042\0\0\0\0\0\0\0\0\0"
                             "1234890ABSN0001",
        30);
    std::copy(record.begin(), record.end(), block.data.begin());
    block.length = kE2RecordSize;
    block.checksum = InternetChecksum(std::span(block.data).first(kE2RecordSize));
    Bytes read(kMaxDatagramSize);
    read.resize(BuildE2ReadReply(read, "A1B2C3D4E5F6", 0, block));
    // As a read run asks.
    const auto ticket = Dialog().State().awaitedReplies.Await(CommandAnswer(CMD_ReadE2), "A1B2C3D4E5F6");
    Inject(read);
    ASSERT_TRUE(WaitLog("读E2成功"));
    const std::string file = fixture.Dir().Read("log.txt");
    // Code page 936 on disk: 读 is B6 C1.
    EXPECT_NE(file.find("N00042 1234890ABSN0001 ["), std::string::npos);
    EXPECT_NE(file.find("]\xB6\xC1"
                        "E2\xB3\xC9\xB9\xA6\r\n"),
        std::string::npos);
    auto* pane = Dialog().RichEdit(kIdLogPane);
    const int at = static_cast<int>(QString::fromStdString(fixture.LogText()).indexOf(QStringLiteral("N00042")));
    ASSERT_GE(at, 0);
    EXPECT_EQ(pane->ColourAt(at), QColor(0, 200, 0));
    // The reply thread marks the read answered after its lines.
    EXPECT_TRUE(fixture.WaitFor(
        [&] { return Dialog().State().awaitedReplies.StateOf(ticket) == AwaitedReplies::State::Answered; }));
}

TEST_F(Discovery, ASettingFailureIsShownForTheMachineLastConfiguredOnly)
{
    Open();
    // As the network settings send their request.
    Dialog().State().currentTarget.Set("A1B2C3D4E5F6");
    [[maybe_unused]] const auto ticket = Dialog().State().awaitedReplies.Await(kSettingAnswer, "A1B2C3D4E5F6");
    Machine other;
    other.mac = "FFEEDDCCBBAA";
    Inject(Reply(other, PKT_DEV_SETTING_ACK, 2));
    Machine target;
    Inject(Reply(target, PKT_DEV_SETTING_ACK, 2));
    Inject(Reply(target, PKT_DEV_SETTING_ACK, 2)); // a copy: one box per request
    ASSERT_TRUE(fixture.WaitFor([&] { return !fixture.Boxes().empty(); }));
    Settle();
    ASSERT_EQ(fixture.Boxes().size(), 1u);
    EXPECT_EQ(fixture.Boxes()[0].text, "设置终端A1B2C3D4E5F6 IP失败：密码错误");
    EXPECT_NE(fixture.LogText().find("收到1个未预期的应答，已忽略\n"), std::string::npos);

    // A success refreshes (here: adds) the machine's row with its new settings.
    Machine changed;
    changed.ip = "10.77.150.3";
    Inject(Reply(changed, PKT_DEV_SETTING_ACK, 0));
    ASSERT_TRUE(WaitRows(1));
    EXPECT_EQ(fixture.Row(0)[1], "10.77.150.3");
}

// Search replies with MACs of anyone's making fill the window's list up to
// its ceiling and no further; a machine already listed is still refreshed,
// and the list says it is full once until it is emptied.
TEST(DeviceListCeiling, NewMacsPastTheCeilingGetNoRowAndTheListSaysSoOnce)
{
    ui::ListViewControl view;
    for (int column = 0; column < 9; ++column)
    {
        view.InsertColumn(column, std::to_string(column), 60);
    }
    DeviceList list(&view, [] { return 1; });
    const auto record = [](int n, const std::string& ip)
    {
        DeviceRecord made;
        char mac[13];
        std::snprintf(mac, sizeof mac, "02%010X", static_cast<unsigned>(n));
        made.mac = mac;
        made.ip = ip;
        made.runSeconds = 61;
        made.receivedLength = kRecordSize;
        return made;
    };
    std::vector<DeviceRecord> burst;
    for (int n = 0; n < kMaxDeviceRows + 2; ++n)
    {
        burst.push_back(record(n, "10.77.128.1"));
    }
    const std::string lines = list.Apply(burst);
    EXPECT_TRUE(lines.ends_with("65536 Device 10.77.128.1 server version 0.0.0\r\n" + RowCeilingLine()));
    EXPECT_EQ(list.Apply({ record(0, "10.77.140.9"), record(kMaxDeviceRows + 5, "10.77.128.1") }), "");
    EXPECT_EQ(view.ItemCount(), kMaxDeviceRows);
    EXPECT_EQ(view.ItemText(0, kColumnIp), "10.77.140.9");
    list.Clear();
    EXPECT_EQ(
        list.Apply({ record(kMaxDeviceRows + 9, "10.77.128.2") }), "1 Device 10.77.128.2 server version 0.0.0\r\n");
}

// The close box pressed while a burst arrives over the receive socket: the
// receive and reply threads end, the records already handed to the UI thread
// are applied before the dialog goes (each new row with its version line),
// and no slice stays queued for the destroyed dialog. Under the sanitizers
// this is the teardown of every hand-off at once, with the busy animation's
// thread running until the dialog is destroyed.
TEST(DiscoveryTeardown, ClosingDuringABurstAppliesWhatWasHandedOverAndLeavesNothingQueued)
{
    std::atomic<bool> sending { true };
    {
        QuellisDlgFixture fixture;
        fixture.Open(); // tool type 2: the receive socket on UDP 6667
        fixture.Dialog().Window().busy.Start();
        net::Socket sender = net::Socket::Create(net::SocketKind::Udp);
        ASSERT_TRUE(sender.IsValid());
        // 2,000 machines, answering again and again; at most 64 datagrams a
        // millisecond keep the threads busy without burying a slow
        // (sanitized) UI thread under more than it can apply at the close.
        std::thread feeder(
            [&]
            {
                for (int i = 0; sending.load(); i = (i + 1) % 2000)
                {
                    Machine machine;
                    char mac[13];
                    std::snprintf(mac, sizeof mac, "0000AA%06X", static_cast<unsigned>(i));
                    machine.mac = mac;
                    machine.ip = "10.77." + std::to_string(128 + i / 250) + "." + std::to_string(1 + i % 250);
                    const Bytes reply = Reply(machine);
                    [[maybe_unused]] const int sent
                        = sender.SendTo(reply.data(), reply.size(), { 0x7F000001, kDevicePort }); // 127.0.0.1
                    if (i % 64 == 63)
                    {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                }
            });
        const bool underWay = fixture.WaitFor([&] { return fixture.RowCount() >= 100; });
        fixture.Close();
        sending = false;
        feeder.join();
        ASSERT_TRUE(underWay) << fixture.RowCount();

        const int rows = fixture.RowCount();
        const std::string log = fixture.LogText();
        int versionLines = 0;
        for (auto at = log.find(" server version "); at != std::string::npos; at = log.find(" server version ", at + 1))
        {
            ++versionLines;
        }
        EXPECT_EQ(versionLines, rows);
        QTest::qWait(100);
        EXPECT_EQ(fixture.RowCount(), rows); // nothing applied after the teardown
    }
    // The dialog is gone: a slice still queued for it would run now (and the
    // address sanitizer would report it).
    QTest::qWait(100);
}

} // namespace
} // namespace quellis::test

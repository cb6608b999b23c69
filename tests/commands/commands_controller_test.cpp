// The commands controller on a fake window, a fake settings dialog and
// companion, and loopback sockets standing in for the machines: what each
// button sends, what it refuses, what the time-outs do, and the blink thread.
#include "commands/commands_controller.h"
#include "discovery/device_packet.h"
#include "platform/text/codepage.h"
#include "resources/resource_ids.h"
#include "resources/templates/main_dialog_ids.h"
#include "tests/support/fake_window.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

namespace quellis::commands
{
namespace
{

using namespace quellis::resources;
using namespace quellis::discovery;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kLoopback = 0x7F000001;
const std::string kMacA = "A1B2C3D4E5F6";
const std::string kMacB = "A1B2C3D4E5F7";

// A UDP socket on a loopback address standing in for a machine (or, on
// 127.0.0.1, for every broadcast).
struct Machine
{
    explicit Machine(std::uint32_t address, std::uint16_t port = 0)
    {
        EXPECT_TRUE(socket.Bind({ address, port }));
        endpoint = *socket.LocalEndpoint();
    }
    // The next datagram, or nothing within `ms`.
    Bytes Receive(int ms = 2000)
    {
        if (socket.WaitReadable(std::chrono::milliseconds(ms)) != net::PollResult::Ready)
        {
            return {};
        }
        Bytes buffer(kMaxDatagramSize);
        const int length = socket.ReceiveFrom(buffer.data(), buffer.size(), nullptr);
        buffer.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
        return buffer;
    }
    // Everything that arrives until `ms` pass without a datagram.
    std::vector<Bytes> Drain(int ms = 150)
    {
        std::vector<Bytes> all;
        for (Bytes next = Receive(ms); !next.empty(); next = Receive(ms))
        {
            all.push_back(std::move(next));
        }
        return all;
    }
    net::Socket socket = net::Socket::Create(net::SocketKind::Udp);
    net::Endpoint endpoint;
};

class FakeSettingsDialog : public NetworkSettingsDialog
{
public:
    DialogResult Run(DevSetFields& fields) override
    {
        opened.push_back(fields);
        if (result == DialogResult::Ok && confirm)
        {
            confirm(fields);
        }
        return result;
    }
    std::vector<DevSetFields> opened;
    DialogResult result = DialogResult::Cancelled;
    std::function<void(DevSetFields&)> confirm;
};

class FakeCompanions : public CompanionWindows
{
public:
    struct Post
    {
        std::string className;
        std::uint32_t message;
        std::uintptr_t wParam;
        std::intptr_t lParam;
    };
    bool PostToClass(
        std::string_view className, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        posts.push_back({ std::string(className), message, wParam, lParam });
        return running;
    }
    std::vector<Post> posts;
    bool running = true;
};

class CommandsControllerTest : public testing::Test
{
protected:
    CommandsControllerTest()
    {
        state.sendSocket = net::Socket::Create(net::SocketKind::Udp);
        state.deviceBroadcast = broadcast.endpoint;
        controller.SetChangeMacPath(dir / "changeMac.txt");
    }
    ~CommandsControllerTest() override
    {
        // The teardown's order: the flag first, then the join.
        state.blinking = 0;
        controller.Stop();
    }

    // What the last box showed.
    std::string LastBox() { return window.Boxes().empty() ? "" : window.Boxes().back().text; }

    Machine broadcast { kLoopback };
    SharedState state { "config.ini" };
    test::FakeWindow window;
    test::TempDir dir;
    FakeSettingsDialog dialog;
    FakeCompanions companions;
    CommandsController controller { state, window.Window(), dialog, companions };
};

TEST_F(CommandsControllerTest, TestsDisableTheirButtonsAndEndByTheirTimers)
{
    EXPECT_TRUE(controller.OnCommand(kIdLedTest));
    EXPECT_EQ(LastBox(), commandtext::kSelectDeviceToTest);
    EXPECT_TRUE(controller.OnCommand(kIdSerialTest));
    EXPECT_EQ(window.Boxes().size(), 2u);
    EXPECT_TRUE(broadcast.Drain(50).empty());

    window.AddRow("10.77.128.5", kMacA);
    window.AddRow("10.77.128.6", kMacB);
    window.Select({ 1 });
    controller.OnCommand(kIdLedTest);
    auto request = ReadCommand(broadcast.Receive());
    ASSERT_TRUE(request);
    EXPECT_EQ(request->receivedLength, kCommandHeaderSize);
    EXPECT_EQ(request->totalLength, kCommandHeaderSize);
    EXPECT_EQ(request->cmdFamily, kCommandFamily);
    EXPECT_EQ(request->cmdCode, CMD_LedTest);
    EXPECT_EQ(request->target, kMacB);
    EXPECT_EQ(state.currentTarget.Get(), kMacB);
    EXPECT_FALSE(window.IsItemEnabled(kIdLedTest));
    EXPECT_TRUE(window.Busy());
    EXPECT_EQ(window.TimerPeriod(kTimerLedTest), 5000);
    EXPECT_EQ(window.FocusedRow(), 1);
    EXPECT_EQ(window.Focus(), test::FakeWindow::kListFocus);

    window.SetItemIcon(kIdSerialLamp3, kIconLampOn);
    controller.OnCommand(kIdSerialTest);
    request = ReadCommand(broadcast.Receive());
    ASSERT_TRUE(request);
    EXPECT_EQ(request->cmdCode, CMD_UARTTest);
    EXPECT_EQ(request->receivedLength, kCommandHeaderSize);
    EXPECT_EQ(window.Icon(kIdSerialLamp3), kIconLampOff) << "every lamp goes out first";
    EXPECT_FALSE(window.IsItemEnabled(kIdSerialTest));
    EXPECT_EQ(window.TimerPeriod(kTimerSerialTest), 6000);

    // A failed send: the LED test still waits, the serial-port test keeps its button.
    state.sendSocket.Close();
    state.currentTarget.Set("before");
    window.EnableItem(kIdLedTest, true);
    window.EnableItem(kIdSerialTest, true);
    controller.OnCommand(kIdLedTest);
    controller.OnCommand(kIdSerialTest);
    EXPECT_FALSE(window.IsItemEnabled(kIdLedTest));
    EXPECT_TRUE(window.IsItemEnabled(kIdSerialTest));
    EXPECT_EQ(window.Timers(), (std::set<int> { kTimerLedTest, kTimerSerialTest }));
    EXPECT_EQ(state.currentTarget.Get(), "before");

    // Each time-out kills its timer, stops the animation, gives the button back, says why.
    window.EnableItem(kIdSerialTest, false);
    window.EnableItem(kIdExecuteSystemCommand, false);
    window.SetTimer(kTimerSystemCommand, 3000);
    const struct
    {
        int timer;
        int button;
        std::string_view text;
    } timeouts[] = { { kTimerLedTest, kIdLedTest, "LED灯测试失败，重新搜索设备确认设备是否仍在线！" },
        { kTimerSerialTest, kIdSerialTest, "串口测试失败，重新搜索设备确认设备是否仍在线！" },
        { kTimerSystemCommand, kIdExecuteSystemCommand, "执行名失败，重新搜索设备确认设备是否仍在线！" } };
    for (const auto& timeout : timeouts)
    {
        window.Start();
        EXPECT_TRUE(controller.OnTimer(timeout.timer));
        EXPECT_FALSE(window.Timers().contains(timeout.timer)) << timeout.timer;
        EXPECT_FALSE(window.Busy());
        EXPECT_TRUE(window.IsItemEnabled(timeout.button));
        EXPECT_EQ(LastBox(), timeout.text);
        EXPECT_EQ(window.Boxes().back().type, core::kMbOk);
    }
    const std::size_t boxes = window.Boxes().size();
    EXPECT_FALSE(controller.OnTimer(999));
    EXPECT_EQ(window.Boxes().size(), boxes);
}

TEST_F(CommandsControllerTest, TheSystemCommandRefusesInItsOrderAndSendsTheTextWithoutItsNul)
{
    window.AddRow("10.77.128.5", kMacA);
    window.AddRow("10.77.128.6", "");
    window.Select({ 0, 1 });
    window.SetItemText(kIdSystemCommandEdit, "uptime");
    controller.OnCommand(kIdExecuteSystemCommand);
    EXPECT_EQ(LastBox(), "已选中多个设备，当前版本不支持！");

    window.Select({});
    window.SetItemText(kIdSystemCommandEdit, "");
    controller.OnCommand(kIdExecuteSystemCommand);
    EXPECT_EQ(LastBox(), "命令不能为空！") << "before any confirmation";

    // No row: the confirmation comes before the length check.
    window.SetItemText(kIdSystemCommandEdit, std::string(464, 'x'));
    window.AnswerNextBox(core::kAnswerNo);
    controller.OnCommand(kIdExecuteSystemCommand);
    EXPECT_EQ(LastBox(), "确认所有设备都执行命令？");
    EXPECT_EQ(window.Boxes().back().caption, "Question");
    EXPECT_EQ(window.Boxes().back().type, core::kMbYesNo);
    window.AnswerNextBox(core::kAnswerYes);
    controller.OnCommand(kIdExecuteSystemCommand);
    ASSERT_EQ(window.Boxes().size(), 5u);
    EXPECT_EQ(window.Boxes()[3].text, "确认所有设备都执行命令？");
    EXPECT_EQ(LastBox(), "命令长度超限制！");
    EXPECT_TRUE(broadcast.Drain(50).empty());
    EXPECT_TRUE(window.IsItemEnabled(kIdExecuteSystemCommand));

    window.SetItemText(kIdSystemCommandEdit, std::string(463, 'x'));
    window.AnswerNextBox(core::kAnswerYes);
    controller.OnCommand(kIdExecuteSystemCommand);
    Bytes datagram = broadcast.Receive();
    ASSERT_EQ(datagram.size(), 511u);
    auto request = ReadCommand(datagram);
    EXPECT_EQ(request->target, kAllDevices);
    EXPECT_EQ(request->cmdCode, CMD_EXECUTE);
    EXPECT_EQ(request->totalLength, 511u);
    EXPECT_EQ(std::string(request->payload.begin(), request->payload.end()), std::string(463, 'x'));
    EXPECT_EQ(state.currentTarget.Get(), kAllDevices);
    EXPECT_FALSE(window.IsItemEnabled(kIdExecuteSystemCommand));
    EXPECT_TRUE(window.Busy());
    EXPECT_EQ(window.TimerPeriod(kTimerSystemCommand), 3000);

    // The limit counts the bytes sent: 231 characters of two bytes each fit,
    // although their UTF-8 text is 693 bytes long. A row without a MAC sends
    // an empty target.
    std::string wide;
    for (int i = 0; i < 231; ++i)
    {
        wide += "执";
    }
    window.SetItemText(kIdSystemCommandEdit, wide);
    window.Select({ 1 });
    controller.OnCommand(kIdExecuteSystemCommand);
    datagram = broadcast.Receive();
    ASSERT_EQ(datagram.size(), 48u + 462u);
    request = ReadCommand(datagram);
    EXPECT_EQ(request->target, "");
    EXPECT_EQ(std::string(request->payload.begin(), request->payload.end()), text::Utf8ToCp936(wide));
    EXPECT_EQ(window.FocusedRow(), 1);
}

TEST_F(CommandsControllerTest, OneShotCommandsGoToTheSelectedMachineOrToAllAfterAConfirmation)
{
    window.AddRow("10.77.128.5", kMacA);
    window.AddRow("10.77.128.6", "");
    const struct
    {
        int button;
        std::uint16_t code;
        std::string_view noMac;
        std::string_view confirm;
    } commands[] = {
        { kIdRestartMiner, CMD_RestartMiner, "No macaddr cat reboot", "确认要重启局域网内所有设备挖矿程序？" },
        { kIdRestartSystem, CMD_Reboot, "获取MAC地址异常，请检查", "确认要重启局域网内所有设备？" },
        { kIdTest, CMD_GetName, "No macaddr cat reboot", "确认要重启局域网内所有设备挖矿程序？" },
    };
    for (const auto& command : commands)
    {
        SCOPED_TRACE(command.button);
        window.Select({ 0, 1 });
        EXPECT_TRUE(controller.OnCommand(command.button));
        EXPECT_EQ(LastBox(), "已选中多个设备，当前不支持！");
        window.Select({ 1 });
        controller.OnCommand(command.button);
        EXPECT_EQ(LastBox(), command.noMac);
        EXPECT_EQ(window.Boxes().back().caption, "Info");
        window.Select({});
        controller.OnCommand(command.button);
        EXPECT_EQ(LastBox(), command.confirm);
        EXPECT_EQ(window.Boxes().back().caption, "Question");
        EXPECT_TRUE(broadcast.Drain(50).empty()) << "refused or declined: nothing sent";

        window.Select({ 0 });
        controller.OnCommand(command.button);
        auto request = ReadCommand(broadcast.Receive());
        ASSERT_TRUE(request);
        EXPECT_EQ(request->receivedLength, kCommandHeaderSize);
        EXPECT_EQ(request->cmdCode, command.code);
        EXPECT_EQ(request->target, kMacA);
        EXPECT_EQ(state.currentTarget.Get(), kMacA);
        window.Select({});
        window.AnswerNextBox(core::kAnswerYes);
        controller.OnCommand(command.button);
        request = ReadCommand(broadcast.Receive());
        ASSERT_TRUE(request);
        EXPECT_EQ(request->target, kAllDevices);
        EXPECT_EQ(state.currentTarget.Get(), kAllDevices);
    }
    EXPECT_TRUE(window.Timers().empty());
    EXPECT_EQ(window.BusyStarts(), 0);

    // Only the reboot tells the operator that its send failed.
    state.sendSocket.Close();
    window.Select({ 0 });
    controller.OnCommand(kIdRestartMiner);
    EXPECT_EQ(window.LogText(), "");
    controller.OnCommand(kIdRestartSystem);
    EXPECT_EQ(window.LogText(), "发送重启命令失败，请重试！\r\n");
}

TEST_F(CommandsControllerTest, NetworkSettingsSendTheRequestRecordTheMacAndTellTheCompanion)
{
    window.AddRow({ "1", "10.77.128.5", "255.255.0.0", "10.77.0.1", kMacA });
    window.AddRow({ "2", "10.77.128.6", "", "", kMacB });
    EXPECT_TRUE(controller.OnCommand(kIdSetIp));
    EXPECT_EQ(LastBox(), "请在设备列表中选择一个设备！");
    EXPECT_TRUE(dialog.opened.empty());
    EXPECT_EQ(controller.OpenNetworkSettings(-1), 0);
    EXPECT_TRUE(dialog.opened.empty());

    // DHCP, twice for the same machine: bytes 8 to 103 stay zero.
    window.Select({ 0 });
    dialog.result = DialogResult::Ok;
    dialog.confirm = [](DevSetFields& fields)
    {
        fields.staticAddress = 0;
        fields.dns = 0x72727272;
        fields.password = "secret";
    };
    controller.OnCommand(kIdSetIp);
    ASSERT_EQ(dialog.opened.size(), 1u);
    EXPECT_EQ(dialog.opened[0].mac, kMacA);
    EXPECT_EQ(dialog.opened[0].address, 0x0A4D8005u);
    EXPECT_EQ(dialog.opened[0].mask, 0xFFFF0000u);
    EXPECT_EQ(dialog.opened[0].gateway, 0x0A4D0001u);
    Bytes datagram = broadcast.Receive();
    ASSERT_EQ(datagram.size(), kRecordSize);
    EXPECT_EQ(ReadHeader(datagram)->type, PKT_DEV_SETTING);
    EXPECT_TRUE(std::all_of(datagram.begin() + 8, datagram.begin() + 104, [](std::uint8_t b) { return b == 0; }));
    auto record = ReadRecord(datagram);
    EXPECT_EQ(record->mac, kMacA);
    EXPECT_EQ(record->dns, "114.114.114.114");
    EXPECT_EQ(record->userName, "");
    EXPECT_EQ(record->length, kRecordSize);
    EXPECT_EQ(
        std::search(datagram.begin(), datagram.end(), std::begin("secret"), std::end("secret") - 1), datagram.end())
        << "the password is not sent";
    EXPECT_EQ(state.currentTarget.Get(), kMacA);
    EXPECT_EQ(window.FocusedRow(), 0);
    controller.OnListNotify(core::ListNotify::DoubleClick, 0, 2);
    EXPECT_EQ(broadcast.Receive().size(), kRecordSize);

    // Static, opened by a double click: a row without a mask sends 0.0.0.0.
    dialog.confirm = [](DevSetFields& fields)
    {
        fields.dns = 0x08080808;
        fields.userName = "admin";
    };
    EXPECT_TRUE(controller.OnListNotify(core::ListNotify::DoubleClick, 1, 0));
    record = ReadRecord(broadcast.Receive());
    ASSERT_TRUE(record);
    EXPECT_EQ(record->ip, "10.77.128.6");
    EXPECT_EQ(record->mask, "0.0.0.0");
    EXPECT_EQ(record->gateway, "0.0.0.0");
    EXPECT_EQ(record->mac, kMacB);
    EXPECT_EQ(record->userName, "admin");
    EXPECT_EQ(record->dns, "8.8.8.8");
    EXPECT_EQ(dir.Read("changeMac.txt"), "A1B2C3D4E5F6\r\nA1B2C3D4E5F6\r\nA1B2C3D4E5F7\r\n");
    ASSERT_EQ(companions.posts.size(), 3u);
    EXPECT_EQ(companions.posts[0].className, "TovenkIPSet");
    EXPECT_EQ(companions.posts[0].message, 2025u);
    EXPECT_EQ(companions.posts[0].wParam, 0xA1B2u);
    EXPECT_EQ(companions.posts[0].lParam, 0xC3D4E5F6);
    EXPECT_EQ(companions.posts[2].lParam, 0xC3D4E5F7);

    // Cancelled, not created, or not sent: no file line, no companion, the target kept.
    state.currentTarget.Set("kept");
    dialog.result = DialogResult::Cancelled;
    EXPECT_EQ(controller.OpenNetworkSettings(1), 1);
    dialog.result = DialogResult::NotCreated;
    controller.OpenNetworkSettings(1);
    EXPECT_EQ(LastBox(), "Dialog box could not be created!");
    EXPECT_TRUE(broadcast.Drain(50).empty());
    state.sendSocket.Close();
    dialog.result = DialogResult::Ok;
    controller.OpenNetworkSettings(1);
    EXPECT_EQ(state.currentTarget.Get(), "kept");
    EXPECT_EQ(companions.posts.size(), 3u);
    EXPECT_EQ(dir.Read("changeMac.txt").size(), 42u);
    EXPECT_EQ(window.FocusedRow(), 1) << "the row is selected and focused whatever happened";
}

TEST_F(CommandsControllerTest, ASettingFailureIsShownWithTheMachineLastConfigured)
{
    state.currentTarget.Set(kMacA);
    const struct
    {
        int result;
        std::string text;
    } failures[] = { { 1, "设置终端" + kMacA + " IP失败：用户名不存在" },
        { 2, "设置终端" + kMacA + " IP失败：密码错误" },
        { 3, "设置终端" + kMacA + " IP失败：未知错误" },
        { 9, "设置终端" + kMacA + " IP失败：未知错误(9)" } };
    for (const auto& failure : failures)
    {
        EXPECT_TRUE(controller.OnMessage(kWmDevSettingFailed, static_cast<std::uintptr_t>(failure.result), 0));
        EXPECT_EQ(LastBox(), failure.text);
    }
    EXPECT_FALSE(controller.OnMessage(kWmTcpSocket, 0, 0));
}

TEST(NetworkSettings, TheCompanionReadsTheMacAsTwoHexadecimalNumbers)
{
    const struct
    {
        std::string_view mac;
        std::uintptr_t wParam;
        std::intptr_t lParam;
    } cases[] = {
        { "A1B2C3D4E5F6", 0xA1B2, 0xC3D4E5F6 },
        { "a1b2c3d4e5f6", 0xA1B2, 0xC3D4E5F6 },
        { "A1G2C3D4", 0xA1, 0xC3D4 }, // reading stops at the first other character
        { "A1B", 0xA1B, 0 },
        { "A1B2C3D4E5F6A7", 0xA1B2, 0xFFFFFFFF }, // too many digits saturate
        { "", 0, 0 },
    };
    for (const auto& c : cases)
    {
        const CompanionNumbers numbers = SplitMacForCompanion(c.mac);
        EXPECT_EQ(numbers.wParam, c.wParam) << c.mac;
        EXPECT_EQ(numbers.lParam, c.lParam) << c.mac;
    }
}

TEST(BlinkThread, OnlyPlainUnicastAddressesAreDestinations)
{
    EXPECT_EQ(BlinkDestination("10.77.128.5"), 0x0A4D8005u);
    EXPECT_EQ(BlinkDestination("127.0.0.2"), 0x7F000002u);
    EXPECT_EQ(BlinkDestination("223.255.255.254"), 0xDFFFFFFEu);
    for (const char* text : { "",
             "FFFFFFFFFFFF",
             "0.0.0.0",
             "255.255.255.255",
             "224.0.0.1",
             "10.77.128",
             "10.77.128.256",
             "10.77.128.5 ",
             "0x0A.1.1.1",
             "10.077.1.1.1",
             "-1.2.3.4" })
    {
        EXPECT_FALSE(BlinkDestination(text)) << text;
    }
}

// The blink thread's pauses, recorded instead of waited: at the `hold`th
// pause the thread is held there until the test stops it.
class RecordedPauses
{
public:
    RecordedPauses(BlinkThread& blink,
        discovery::SharedState& state,
        std::size_t hold,
        std::function<void(std::size_t)> onPause = {})
    {
        blink.SetPause(
            [this, &state, hold, onPause](std::uint32_t ms)
            {
                std::size_t count = 0;
                {
                    std::lock_guard lock(mutex_);
                    pauses_.push_back(ms);
                    count = pauses_.size();
                }
                if (onPause)
                {
                    onPause(count);
                }
                while (count >= hold && state.blinking.load() != 0)
                {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
    }
    std::vector<std::uint32_t> Pauses()
    {
        std::lock_guard lock(mutex_);
        return pauses_;
    }

private:
    std::mutex mutex_;
    std::vector<std::uint32_t> pauses_;
};

class BlinkTest : public CommandsControllerTest
{
protected:
    // Three machines on 127.0.0.2 to .4 with the port of the broadcast
    // catcher on 127.0.0.1, which also catches what would go to 0.0.0.0.
    BlinkTest() { state.deviceBroadcast.port = broadcast.endpoint.port; }
    Machine& At(int i) { return machines[static_cast<std::size_t>(i)]; }
    static std::vector<std::string> Macs(const std::vector<Bytes>& datagrams)
    {
        std::vector<std::string> macs;
        for (const Bytes& datagram : datagrams)
        {
            EXPECT_EQ(datagram.size(), kRecordSize);
            EXPECT_EQ(ReadHeader(datagram)->type, PKT_NET_LED_FLICKER);
            macs.push_back(ReadRecord(datagram)->mac);
        }
        return macs;
    }

    std::vector<Machine> machines = [this]
    {
        std::vector<Machine> list;
        for (std::uint32_t host = 2; host <= 4; ++host)
        {
            list.emplace_back(0x7F000000 | host, broadcast.endpoint.port);
        }
        return list;
    }();
};

TEST_F(BlinkTest, WithoutSelectionEveryRowGetsOneDatagramAtItsOwnAddressPerPass)
{
    window.AddRow("127.0.0.2", "000000000002");
    window.AddRow("127.0.0.3", "000000000003");
    window.AddRow("FFFFFFFFFFFF", "000000000009"); // no address: skipped
    window.AddRow("0.0.0.0", "000000000008");
    window.AddRow("127.0.0.4", ""); // all rows go, with or without a MAC
    RecordedPauses pauses(controller.Blink(), state, 2);
    EXPECT_TRUE(controller.OnCommand(kIdFlashMachines));
    EXPECT_EQ(window.ItemText(kIdFlashMachines), "停止闪烁");
    EXPECT_FALSE(window.IsItemEnabled(kIdSearch));
    ASSERT_TRUE(window.WaitFor([&] { return pauses.Pauses().size() == 2; }));
    controller.OnCommand(kIdFlashMachines);
    EXPECT_EQ(state.blinking.load(), 0);
    EXPECT_EQ(window.ItemText(kIdFlashMachines), "闪烁矿机");
    EXPECT_TRUE(window.IsItemEnabled(kIdSearch));

    EXPECT_EQ(pauses.Pauses(), (std::vector<std::uint32_t> { 1000, 1000 }));
    EXPECT_EQ(Macs(At(0).Drain()), (std::vector<std::string> { "000000000002", "000000000002" }));
    EXPECT_EQ(Macs(At(1).Drain()), (std::vector<std::string> { "000000000003", "000000000003" }));
    EXPECT_EQ(Macs(At(2).Drain()), (std::vector<std::string> { "", "" }));
    EXPECT_TRUE(broadcast.Drain(50).empty());
    EXPECT_EQ(window.LogText(), "闪烁所有设备!!!!!!!!!!!!!!!\r\n");
}

TEST_F(BlinkTest, SelectedRowsGoOneAfterAnotherAndTheSelectionIsReadAgainEachPass)
{
    window.AddRow("127.0.0.2", "000000000002");
    window.AddRow("127.0.0.3", "000000000003");
    window.AddRow("127.0.0.4", ""); // selected but without a MAC: skipped
    window.AddRow("10.77.128", "000000000009");
    window.Select({ 0, 2, 3 });
    // After the first pass the operator selects row 1, after the second nothing.
    RecordedPauses pauses(controller.Blink(),
        state,
        3,
        [&](std::size_t count) { window.Select(count == 1 ? std::vector<int> { 1 } : std::vector<int> {}); });
    controller.OnCommand(kIdFlashMachines);
    ASSERT_TRUE(window.WaitFor([&] { return pauses.Pauses().size() == 3; }));
    controller.OnCommand(kIdFlashMachines);

    // 600 ms after each datagram; a pass that sends nothing pauses 100 ms
    // instead of reading the list again at once.
    EXPECT_EQ(pauses.Pauses(), (std::vector<std::uint32_t> { 600, 600, 100 }));
    EXPECT_EQ(Macs(At(0).Drain()), std::vector<std::string> { "000000000002" });
    EXPECT_EQ(Macs(At(1).Drain()), std::vector<std::string> { "000000000003" });
    EXPECT_TRUE(At(2).Drain(50).empty());
    EXPECT_TRUE(broadcast.Drain(50).empty());
    EXPECT_EQ(window.LogText(), "依次闪烁选中设备!\r\n");
}

TEST_F(BlinkTest, AStopDuringThePauseEndsTheThreadBeforeAnotherDatagram)
{
    window.AddRow("127.0.0.2", "000000000002");
    controller.OnCommand(kIdFlashMachines);
    ASSERT_EQ(Macs({ At(0).Receive() }), std::vector<std::string> { "000000000002" });
    // The thread is in its 1000 ms pause now; the press wakes and joins it.
    controller.OnCommand(kIdFlashMachines);
    EXPECT_TRUE(At(0).Drain(1200).empty());
    // A new start runs a new thread.
    controller.OnCommand(kIdFlashMachines);
    EXPECT_EQ(Macs({ At(0).Receive() }), std::vector<std::string> { "000000000002" });
}

} // namespace
} // namespace quellis::commands

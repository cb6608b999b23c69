// The commands controller on a fake window, a fake settings dialog and
// companion, and loopback sockets standing in for the machines: what each
// button sends, what it refuses, what the time-outs do, and the blink thread.
#include "commands/commands_controller.h"
#include "discovery/device_table.h"
#include "platform/text/codepage.h"
#include "protocol/device_packet.h"
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
using namespace quellis::protocol;
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
        Bytes buffer(kMaxDatagramSize);
        const bool ready = socket.WaitReadable(std::chrono::milliseconds(ms)) == net::PollResult::Ready;
        const int length = ready ? socket.ReceiveFrom(buffer.data(), buffer.size(), nullptr) : 0;
        buffer.resize(static_cast<std::size_t>(std::max(length, 0)));
        return buffer;
    }
    // The MACs of the identify datagrams that arrive until `ms` pass without one.
    std::vector<std::string> FlickerMacs(int ms = 150)
    {
        std::vector<std::string> macs;
        for (Bytes next = Receive(ms); !next.empty(); next = Receive(ms))
        {
            EXPECT_EQ(next.size(), kRecordSize);
            EXPECT_EQ(ReadHeader(next)->type, PKT_NET_LED_FLICKER);
            macs.push_back(ReadRecord(next)->mac);
        }
        return macs;
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

// Records the posts as "class message wParam lParam" in hexadecimal.
class FakeCompanions : public CompanionWindows
{
public:
    bool PostToClass(
        std::string_view className, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        char text[80];
        std::snprintf(text, sizeof text, " %u %#zx %#zx", message, wParam, static_cast<std::size_t>(lParam));
        posts.push_back(std::string(className) + text);
        return false; // none runs: the rest goes on all the same
    }
    std::vector<std::string> posts;
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
    bool NothingSent() { return broadcast.Receive(50).empty(); }

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
    EXPECT_TRUE(NothingSent());

    window.AddRow("10.77.128.5", kMacA);
    window.AddRow("10.77.128.6", kMacB);
    window.Select({ 1 });
    controller.OnCommand(kIdLedTest);
    auto request = ReadCommand(broadcast.Receive());
    ASSERT_TRUE(request);
    EXPECT_EQ(request->receivedLength, kCommandHeaderSize);
    EXPECT_EQ(request->cmdCode, CMD_LedTest);
    EXPECT_EQ(request->target, kMacB);
    EXPECT_EQ(state.currentTarget.Get(), kMacB);
    EXPECT_FALSE(window.IsItemEnabled(kIdLedTest));
    EXPECT_TRUE(window.Busy());
    EXPECT_EQ(window.TimerPeriod(kTimerLedTest), 5000);
    EXPECT_EQ(window.FocusedRow(), 1);
    EXPECT_EQ(state.awaitedReplies.Claim(CommandAnswer(CMD_LedTest), kMacA), AwaitedReplies::kNone);
    EXPECT_NE(state.awaitedReplies.Claim(CommandAnswer(CMD_LedTest), kMacB), AwaitedReplies::kNone)
        << "the answer of the machine asked";

    window.SetItemIcon(kIdSerialLamp3, kIconLampOn);
    controller.OnCommand(kIdSerialTest);
    request = ReadCommand(broadcast.Receive());
    ASSERT_TRUE(request);
    EXPECT_EQ(request->cmdCode, CMD_UARTTest);
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
    EXPECT_EQ(state.awaitedReplies.Claim(CommandAnswer(CMD_UARTTest), kMacB), AwaitedReplies::kNone)
        << "the request not sent awaits nothing, and took the place of the one before";

    // Each time-out kills its timer, gives back its own hold on the animation
    // (which stops with the last), gives the button back, says why.
    window.EnableItem(kIdSerialTest, false);
    window.EnableItem(kIdExecuteSystemCommand, false);
    window.SetTimer(kTimerSystemCommand, 3000);
    window.Hold(core::BusyRun::SystemCommand); // as the command's start does
    const struct
    {
        int timer;
        int button;
        std::string_view text;
        bool busyAfter;
    } timeouts[] = { { kTimerLedTest, kIdLedTest, "LED灯测试失败，重新搜索设备确认设备是否仍在线！", true },
        { kTimerSerialTest, kIdSerialTest, "串口测试失败，重新搜索设备确认设备是否仍在线！", true },
        { kTimerSystemCommand, kIdExecuteSystemCommand, "执行名失败，重新搜索设备确认设备是否仍在线！", false } };
    for (const auto& timeout : timeouts)
    {
        EXPECT_TRUE(controller.OnTimer(timeout.timer));
        EXPECT_FALSE(window.Timers().contains(timeout.timer)) << timeout.timer;
        EXPECT_EQ(window.Busy(), timeout.busyAfter) << timeout.timer;
        EXPECT_TRUE(window.IsItemEnabled(timeout.button));
        EXPECT_EQ(LastBox(), timeout.text);
    }
    EXPECT_FALSE(controller.OnTimer(999));
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
    EXPECT_TRUE(NothingSent());
    EXPECT_TRUE(window.IsItemEnabled(kIdExecuteSystemCommand));

    window.SetItemText(kIdSystemCommandEdit, std::string(463, 'x'));
    window.AnswerNextBox(core::kAnswerYes);
    controller.OnCommand(kIdExecuteSystemCommand);
    Bytes datagram = broadcast.Receive();
    ASSERT_EQ(datagram.size(), 511u);
    auto request = ReadCommand(datagram);
    EXPECT_EQ(request->target, kAllDevices);
    EXPECT_EQ(request->cmdCode, CMD_EXECUTE);
    EXPECT_EQ(std::string(request->payload.begin(), request->payload.end()), std::string(463, 'x'));
    EXPECT_EQ(state.currentTarget.Get(), kAllDevices);
    EXPECT_FALSE(window.IsItemEnabled(kIdExecuteSystemCommand));
    EXPECT_TRUE(window.Busy());
    EXPECT_EQ(window.TimerPeriod(kTimerSystemCommand), 3000);
    // Sent to every machine, the answer of each is awaited until the time-out.
    EXPECT_NE(state.awaitedReplies.Claim(CommandAnswer(CMD_EXECUTE), kMacA), AwaitedReplies::kNone);
    EXPECT_NE(state.awaitedReplies.Claim(CommandAnswer(CMD_EXECUTE), kMacB), AwaitedReplies::kNone);
    EXPECT_TRUE(controller.OnTimer(kTimerSystemCommand));
    EXPECT_EQ(state.awaitedReplies.Claim(CommandAnswer(CMD_EXECUTE), kMacA), AwaitedReplies::kNone);

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
        EXPECT_TRUE(NothingSent()) << "refused or declined";

        window.Select({ 0 });
        controller.OnCommand(command.button);
        auto request = ReadCommand(broadcast.Receive());
        ASSERT_TRUE(request);
        EXPECT_EQ(request->receivedLength, kCommandHeaderSize);
        EXPECT_EQ(request->cmdCode, command.code);
        EXPECT_EQ(request->target, kMacA);
        window.Select({});
        window.AnswerNextBox(core::kAnswerYes);
        controller.OnCommand(command.button);
        request = ReadCommand(broadcast.Receive());
        ASSERT_TRUE(request);
        EXPECT_EQ(request->target, kAllDevices);
        EXPECT_EQ(state.currentTarget.Get(), kAllDevices);
    }
    // The last one asked every machine for its name: their names, and the
    // outcome of a name set they report, are awaited.
    EXPECT_NE(state.awaitedReplies.Claim(CommandAnswer(CMD_GetName), kMacB), AwaitedReplies::kNone);
    EXPECT_NE(state.awaitedReplies.Claim(CommandAnswer(CMD_SetName), kMacB), AwaitedReplies::kNone);
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

// A front end without boxes: its answer to the question, and what it heard.
struct TypedObserver : CommandObserver
{
    bool ConfirmEveryMachine(std::string_view question) override
    {
        asked.emplace_back(question);
        return confirm;
    }
    void OnTimedOut(std::string_view failure) override { timedOut = failure; }
    bool confirm = false;
    std::vector<std::string> asked;
    std::string timedOut;
};

TEST_F(CommandsControllerTest, TypedCommandsRefuseAsValuesAndTheirRunsEndByTheAnswerOrTheTimeOut)
{
    const auto observer = std::make_shared<TypedObserver>();
    const std::vector<core::RowTarget> none;
    const std::vector<core::RowTarget> one { { -1, "", kMacA } };
    const std::vector<core::RowTarget> two { { -1, "", kMacA }, { -1, "", kMacB } };
    const std::vector<core::RowTarget> noMac { { -1, "", "" } };
    const auto refusal = [](const CommandStarted& started)
    {
        return std::holds_alternative<CommandRefusal>(started) ? std::optional(std::get<CommandRefusal>(started))
                                                               : std::nullopt;
    };
    const struct
    {
        const char* what;
        std::function<CommandStarted()> start;
        CommandRefusal refusal;
        std::string_view text;
        bool asked;
    } refused[] = {
        { "test",
            [&] { return controller.StartTest(CommandTest::Serial, none, observer); },
            CommandRefusal::NoMachineToTest,
            "请在设备列表中选择一个设备再进行测试",
            false },
        { "exec two",
            [&] { return controller.StartSystemCommand(two, "uptime", observer); },
            CommandRefusal::SeveralToExecute,
            "已选中多个设备，当前版本不支持！",
            false },
        { "exec empty",
            [&] { return controller.StartSystemCommand(none, "", observer); },
            CommandRefusal::EmptyCommand,
            "命令不能为空！",
            false },
        { "exec declined",
            [&] { return controller.StartSystemCommand(none, "uptime", observer); },
            CommandRefusal::NotConfirmed,
            "",
            true },
        { "exec long",
            [&] { return controller.StartSystemCommand(one, std::string(464, 'x'), observer); },
            CommandRefusal::CommandTooLong,
            "命令长度超限制！",
            false },
        { "reboot two",
            [&] { return controller.StartOneShot(OneShotCommand::Reboot, two, observer); },
            CommandRefusal::SeveralSelected,
            "已选中多个设备，当前不支持！",
            false },
        { "reboot no MAC",
            [&] { return controller.StartOneShot(OneShotCommand::Reboot, noMac, observer); },
            CommandRefusal::NoMacReboot,
            "获取MAC地址异常，请检查",
            false },
        { "name declined",
            [&] { return controller.StartOneShot(OneShotCommand::Name, none, observer); },
            CommandRefusal::NotConfirmed,
            "",
            true },
    };
    for (const auto& c : refused)
    {
        observer->asked.clear();
        EXPECT_EQ(refusal(c.start()), c.refusal) << c.what;
        EXPECT_EQ(RefusalText(c.refusal), c.text) << c.what;
        EXPECT_EQ(observer->asked.empty(), !c.asked) << c.what;
    }
    EXPECT_EQ(RefusalCaption(CommandRefusal::NoMacRestart), "Info");
    EXPECT_TRUE(window.Boxes().empty()) << "a typed caller shows its refusals itself";
    EXPECT_TRUE(NothingSent());

    // A test ends when its answer has taken effect; nothing else ends it early.
    auto started = controller.StartTest(CommandTest::Led, one, observer);
    ASSERT_FALSE(refusal(started));
    const auto led = std::get<std::shared_ptr<CommandRun>>(started);
    EXPECT_TRUE(led->Sent());
    EXPECT_EQ(ReadCommand(broadcast.Receive())->target, kMacA);
    EXPECT_FALSE(led->Ended());
    const auto ticket = state.awaitedReplies.Claim(CommandAnswer(CMD_LedTest), kMacA);
    EXPECT_FALSE(led->Ended()) << "claimed, not yet applied";
    state.awaitedReplies.Answered(ticket);
    EXPECT_TRUE(led->Ended());
    EXPECT_FALSE(led->TimedOut());

    // The system command to every machine, confirmed: its time-out goes to
    // the observer that started it, not to a box.
    observer->confirm = true;
    started = controller.StartSystemCommand(none, "uptime", observer);
    ASSERT_FALSE(refusal(started));
    EXPECT_EQ(observer->asked.back(), "确认所有设备都执行命令？");
    EXPECT_EQ(ReadCommand(broadcast.Receive())->target, kAllDevices);
    const auto exec = std::get<std::shared_ptr<CommandRun>>(started);
    EXPECT_FALSE(exec->Ended());
    EXPECT_TRUE(controller.OnTimer(kTimerSystemCommand));
    EXPECT_TRUE(exec->Ended());
    EXPECT_TRUE(exec->TimedOut());
    EXPECT_EQ(observer->timedOut, "执行名失败，重新搜索设备确认设备是否仍在线！");
    EXPECT_TRUE(window.Boxes().empty());
    static_cast<void>(controller.StartTest(CommandTest::Led, one, observer));
    EXPECT_FALSE(broadcast.Receive().empty());
    EXPECT_TRUE(led->Ended()) << "kept once seen, after the next test dropped its entry";

    // A one-shot waits for nothing; a failed send says so.
    started = controller.StartOneShot(OneShotCommand::RestartMiner, one, observer);
    EXPECT_TRUE(std::get<std::shared_ptr<CommandRun>>(started)->Ended());
    EXPECT_TRUE(std::get<std::shared_ptr<CommandRun>>(started)->Sent());
    state.sendSocket.Close();
    started = controller.StartOneShot(OneShotCommand::RestartMiner, one, observer);
    EXPECT_FALSE(std::get<std::shared_ptr<CommandRun>>(started)->Sent());
}

TEST_F(CommandsControllerTest, NetworkSettingsSendTheRequestRecordTheMacAndTellTheCompanion)
{
    window.AddRow({ "1", "10.77.128.5", "255.255.0.0", "10.77.0.1", kMacA });
    window.AddRow({ "2", "10.77.128.6", "", "", kMacB });
    EXPECT_TRUE(controller.OnCommand(kIdSetIp));
    EXPECT_EQ(LastBox(), "请在设备列表中选择一个设备！");
    EXPECT_EQ(controller.OpenNetworkSettings(-1), 0);
    EXPECT_TRUE(dialog.opened.empty());

    // DHCP, twice for the same machine: bytes 8 to 103 stay zero; no password is sent.
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
    EXPECT_EQ(std::string(datagram.begin(), datagram.end()).find("secret"), std::string::npos);
    EXPECT_EQ(state.currentTarget.Get(), kMacA);
    EXPECT_EQ(window.FocusedRow(), 0);
    controller.OnListNotify(core::ListNotify::DoubleClick, 0, 2);
    EXPECT_EQ(broadcast.Receive().size(), kRecordSize);

    // Static, by a double click: a row without a mask sends 0.0.0.0.
    dialog.confirm = [](DevSetFields& fields)
    {
        fields.dns = 0x08080808;
        fields.userName = "admin";
    };
    EXPECT_TRUE(controller.OnListNotify(core::ListNotify::DoubleClick, 1, 0));
    record = ReadRecord(broadcast.Receive());
    ASSERT_TRUE(record);
    EXPECT_EQ(std::vector<std::string>(
                  { record->ip, record->mask, record->gateway, record->mac, record->userName, record->dns }),
        std::vector<std::string>({ "10.77.128.6", "0.0.0.0", "0.0.0.0", kMacB, "admin", "8.8.8.8" }));
    // One answer awaited, of the machine last configured: the newer request took the older one's place.
    EXPECT_EQ(state.awaitedReplies.Claim(kSettingAnswer, kMacA), AwaitedReplies::kNone);
    EXPECT_NE(state.awaitedReplies.Claim(kSettingAnswer, kMacB), AwaitedReplies::kNone);
    EXPECT_EQ(dir.Read("changeMac.txt"), "A1B2C3D4E5F6\r\nA1B2C3D4E5F6\r\nA1B2C3D4E5F7\r\n");
    EXPECT_EQ(companions.posts,
        std::vector<std::string>({ "TovenkIPSet 2025 0xa1b2 0xc3d4e5f6",
            "TovenkIPSet 2025 0xa1b2 0xc3d4e5f6",
            "TovenkIPSet 2025 0xa1b2 0xc3d4e5f7" }));

    // Cancelled, not created, or not sent: no file line, no companion, the target kept.
    state.currentTarget.Set("kept");
    dialog.result = DialogResult::Cancelled;
    EXPECT_EQ(controller.OpenNetworkSettings(1), 1);
    dialog.result = DialogResult::NotCreated;
    controller.OpenNetworkSettings(1);
    EXPECT_EQ(LastBox(), "Dialog box could not be created!");
    EXPECT_TRUE(NothingSent());
    state.sendSocket.Close();
    dialog.result = DialogResult::Ok;
    controller.OpenNetworkSettings(1);
    EXPECT_EQ(state.currentTarget.Get(), "kept");
    EXPECT_EQ(state.awaitedReplies.Claim(kSettingAnswer, kMacB), AwaitedReplies::kNone) << "not sent, not awaited";
    EXPECT_EQ(companions.posts.size(), 3u);
    EXPECT_EQ(dir.Read("changeMac.txt").size(), 42u);
    EXPECT_EQ(window.FocusedRow(), 1) << "the row is selected and focused whatever happened";

    // A refusal names the machine last configured; an unknown reason shows its number.
    for (const auto& [result, reason] :
        { std::pair<int, std::string>(1, "用户名不存在"), { 2, "密码错误" }, { 3, "未知错误" }, { 9, "未知错误(9)" } })
    {
        EXPECT_TRUE(controller.OnMessage(kWmDevSettingFailed, static_cast<std::uintptr_t>(result), 0));
        EXPECT_EQ(LastBox(), "设置终端kept IP失败：" + reason);
    }
    EXPECT_FALSE(controller.OnMessage(kWmTcpSocket, 0, 0));
}

TEST(NetworkSettings, TheCompanionReadsTheMacAsTwoHexadecimalNumbersEachUpToItsFirstOtherCharacter)
{
    EXPECT_EQ(SplitMacForCompanion("a1G2C3D4").wParam, 0xA1u);
    EXPECT_EQ(SplitMacForCompanion("a1G2C3D4").lParam, 0xC3D4);
    EXPECT_EQ(SplitMacForCompanion("A1B2C3D4E5F6A7").lParam, 0xFFFFFFFF) << "too many digits saturate";
}

TEST(BlinkThread, OnlyPlainUnicastAddressesAreDestinations)
{
    EXPECT_EQ(BlinkDestination("10.77.128.5"), 0x0A4D8005u);
    EXPECT_EQ(BlinkDestination("223.255.255.254"), 0xDFFFFFFEu);
    for (const char* text : { "",
             "FFFFFFFFFFFF",
             "0.0.0.0",
             "255.255.255.255",
             "224.0.0.1",
             "10.77.128",
             "10.77.128.256",
             "10.77.128.5 ",
             "0x0A.1.1.1" })
    {
        EXPECT_FALSE(BlinkDestination(text)) << text;
    }
}

// Three machines on 127.0.0.2 to .4 with the port of the broadcast catcher
// on 127.0.0.1, which also gets what would go to 0.0.0.0.
class BlinkTest : public CommandsControllerTest
{
protected:
    // The thread's pauses are recorded instead of waited; at the `hold`th it
    // is held until the test stops it. `onPause` sees each pause's number.
    void RecordPauses(std::size_t hold, std::function<void(std::size_t)> onPause = {})
    {
        controller.Blink().SetPause(
            [this, hold, onPause](std::uint32_t ms)
            {
                const std::size_t count = [&]
                {
                    std::lock_guard lock(mutex_);
                    pauses_.push_back(ms);
                    return pauses_.size();
                }();
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
    // Starts the blink, and stops it when the thread has paused `pauses` times.
    void BlinkUntil(std::size_t pauses)
    {
        controller.OnCommand(kIdFlashMachines);
        EXPECT_EQ(window.ItemText(kIdFlashMachines), "停止闪烁");
        EXPECT_FALSE(window.IsItemEnabled(kIdSearch));
        EXPECT_TRUE(window.WaitFor([&] { return Pauses().size() == pauses; }));
        controller.OnCommand(kIdFlashMachines);
        EXPECT_EQ(window.ItemText(kIdFlashMachines), "闪烁矿机");
        EXPECT_TRUE(window.IsItemEnabled(kIdSearch));
    }

    std::mutex mutex_;
    std::vector<std::uint32_t> pauses_;
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

using Macs = std::vector<std::string>;

TEST_F(BlinkTest, WithoutSelectionEveryRowGetsOneDatagramAtItsOwnAddressPerPass)
{
    window.AddRow("127.0.0.2", "000000000002");
    window.AddRow("127.0.0.3", "000000000003");
    window.AddRow("FFFFFFFFFFFF", "000000000009"); // no address: skipped
    window.AddRow("0.0.0.0", "000000000008");
    window.AddRow("127.0.0.4", ""); // every row goes, with or without a MAC
    RecordPauses(2);
    BlinkUntil(2);
    EXPECT_EQ(Pauses(), (std::vector<std::uint32_t> { 1000, 1000 }));
    EXPECT_EQ(machines[0].FlickerMacs(), (Macs { "000000000002", "000000000002" }));
    EXPECT_EQ(machines[1].FlickerMacs(), (Macs { "000000000003", "000000000003" }));
    EXPECT_EQ(machines[2].FlickerMacs(), (Macs { "", "" }));
    EXPECT_TRUE(NothingSent());
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
    RecordPauses(
        3, [&](std::size_t count) { window.Select(count == 1 ? std::vector<int> { 1 } : std::vector<int> {}); });
    BlinkUntil(3);
    // 600 ms after each datagram; a pass that sends nothing pauses 100 ms
    // instead of reading the list again at once.
    EXPECT_EQ(Pauses(), (std::vector<std::uint32_t> { 600, 600, 100 }));
    EXPECT_EQ(machines[0].FlickerMacs(), Macs { "000000000002" });
    EXPECT_EQ(machines[1].FlickerMacs(), Macs { "000000000003" });
    EXPECT_TRUE(machines[2].FlickerMacs(50).empty());
    EXPECT_TRUE(NothingSent());
    EXPECT_EQ(window.LogText(), "依次闪烁选中设备!\r\n");
}

TEST_F(BlinkTest, AStopDuringThePauseEndsTheThreadBeforeAnotherDatagram)
{
    window.AddRow("127.0.0.2", "000000000002");
    controller.OnCommand(kIdFlashMachines);
    ASSERT_EQ(machines[0].Receive().size(), kRecordSize);
    // The thread is in its 1000 ms pause now; the press wakes and joins it.
    controller.OnCommand(kIdFlashMachines);
    EXPECT_TRUE(machines[0].FlickerMacs(1200).empty());
    // A new start runs a new thread.
    controller.OnCommand(kIdFlashMachines);
    EXPECT_EQ(machines[0].Receive().size(), kRecordSize);
}

} // namespace
} // namespace quellis::commands

#pragma once

#include "commands/blink_thread.h"
#include "commands/command_operations.h"
#include "commands/command_replies.h"
#include "commands/network_settings.h"
#include "core/controller.h"
#include "core/window.h"
#include "protocol/shared_state.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The maintenance commands carried by device packets: the LED and
// serial-port tests with their time-outs, the identification blink, the
// system command and the restarts, and the network settings.

namespace quellis::commands
{

class CommandsController : public core::Controller
{
public:
    CommandsController(protocol::SharedState& state,
        core::Window& window,
        NetworkSettingsDialog& settingsDialog,
        CompanionWindows& companions);

    bool OnCommand(int id) override;
    // A double click on a row opens its network settings.
    bool OnListNotify(core::ListNotify code, int row, int column) override;
    // The time-outs of the tests and of the system command.
    bool OnTimer(int id) override;
    bool OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
    void Stop() override;
    // Start-up: the answers to the tests, the system command, the names and
    // the network settings take effect on this controller's window.
    void RegisterReplies(protocol::ReplyDispatcher& dispatcher);

    void OnLedTest();
    void OnSerialTest();
    void OnBlinkButton();
    void OnExecuteSystemCommand();
    // Buttons 9, 10 and 1068: one request to one machine or, after a
    // confirmation, to every machine; nothing waits for an answer.
    void OnOneShotCommand(int buttonId);
    void OnSetIp();
    // The settings dialog for a row; 0 for a negative row, else 1.
    int OpenNetworkSettings(int row);
    // The test whose timer expired: its button back, and its failure message.
    // False for any other timer.
    bool TestTimeout(int timerId);

    // A network setting of the machine last configured failed: the reason
    // with that machine's MAC, in a box owned by the main window.
    void ShowSettingFailure(int result);

    // The typed commands (UI thread), as the buttons above run them:
    // `machines` are the ones chosen, in list order (their MAC as the list
    // shows it; a row of -1 is in no list), none meaning every machine
    // where the command allows it. The refusal, or the command sent.
    // A test goes to the first machine and ends by its answer or its timer.
    [[nodiscard]] CommandStarted StartTest(
        CommandTest test, const std::vector<core::RowTarget>& machines, std::shared_ptr<CommandObserver> observer);
    // `command` as typed (UTF-8).
    [[nodiscard]] CommandStarted StartSystemCommand(const std::vector<core::RowTarget>& machines,
        std::string_view command,
        std::shared_ptr<CommandObserver> observer);
    [[nodiscard]] CommandStarted StartOneShot(OneShotCommand command,
        const std::vector<core::RowTarget>& machines,
        std::shared_ptr<CommandObserver> observer);
    // Confirmed settings for the machine `fields.mac`; ended by its answer.
    [[nodiscard]] CommandStarted StartNetworkSetting(const DevSetFields& fields);
    // The blink of the rows selected in the list, or of every row, until StopBlink.
    [[nodiscard]] std::optional<CommandRefusal> StartBlink();
    void StopBlink();

    // The side panel's controls: its language box picks the language of the
    // blink button's caption when a blink ends. Without them it is Chinese.
    void SetLanguageBox(core::Controls& panel) { panel_ = &panel; }
    // changeMac.txt in the current directory unless told otherwise.
    void SetChangeMacPath(std::filesystem::path path) { changeMacPath_ = std::move(path); }
    [[nodiscard]] BlinkThread& Blink() { return blink_; }

private:
    // The first selected row, or -1.
    [[nodiscard]] int FirstSelectedRow();
    // A test or the system command to `target`, whose answer its timer waits
    // for: awaited from before the send until the answer or the time-out.
    [[nodiscard]] std::shared_ptr<CommandRun> SendTimed(int timer,
        std::uint16_t code,
        const std::string& target,
        std::span<const std::uint8_t> request,
        std::shared_ptr<CommandObserver> observer);
    // The window's refusal box; nothing for a refusal the operator chose.
    void ShowRefusal(const CommandStarted& started);

    protocol::SharedState& state_;
    core::Window& window_;
    NetworkSettingsDialog& settingsDialog_;
    CompanionWindows& companions_;
    core::Controls* panel_ = nullptr;
    std::unique_ptr<CommandReplyEffects> replyEffects_;
    std::filesystem::path changeMacPath_ { "changeMac.txt" };
    // The answer the last setting request awaits (UI thread).
    protocol::AwaitedReplies::Ticket settingTicket_ = protocol::AwaitedReplies::kNone;
    // What the tests and the system command await while their timers run,
    // by timer (UI thread).
    struct Timed
    {
        protocol::AwaitedReplies::Ticket ticket = protocol::AwaitedReplies::kNone;
        std::shared_ptr<CommandRun> run;
        std::shared_ptr<CommandObserver> observer;
    };
    std::map<int, Timed> timedTickets_;
    // The window's side of its own buttons' commands: its boxes.
    std::shared_ptr<CommandObserver> windowObserver_;
    // The name, and the outcome of a name set, of the machine the last
    // one-shot command asked for its name, if it did (UI thread).
    std::array<protocol::AwaitedReplies::Ticket, 2> nameTickets_ {};
    BlinkThread blink_;
};

// The text of the box for a failed network setting.
[[nodiscard]] std::string SettingFailureText(int result, const std::string& target);

// Message-box and log texts.
namespace commandtext
{
inline constexpr std::string_view kSelectDeviceToTest = "请在设备列表中选择一个设备再进行测试";
inline constexpr std::string_view kLedTestFailed = "LED灯测试失败，重新搜索设备确认设备是否仍在线！";
inline constexpr std::string_view kSerialTestFailed = "串口测试失败，重新搜索设备确认设备是否仍在线！";
inline constexpr std::string_view kExecuteFailed = "执行名失败，重新搜索设备确认设备是否仍在线！";
inline constexpr std::string_view kBlinkCaption = "闪烁矿机";
inline constexpr std::string_view kBlinkCaptionEnglish = "Flash Machine";
inline constexpr std::string_view kStopBlinkCaption = "停止闪烁";
inline constexpr std::string_view kBlinkThreadFailed = "创建设备闪烁线程失败！";
inline constexpr std::string_view kSeveralForExecute = "已选中多个设备，当前版本不支持！";
inline constexpr std::string_view kEmptyCommand = "命令不能为空！";
inline constexpr std::string_view kConfirmExecuteAll = "确认所有设备都执行命令？";
inline constexpr std::string_view kCommandTooLong = "命令长度超限制！";
inline constexpr std::string_view kSeveralSelected = "已选中多个设备，当前不支持！";
inline constexpr std::string_view kQuestionCaption = "Question";
inline constexpr std::string_view kInfoCaption = "Info";
inline constexpr std::string_view kNoMacRestart = "No macaddr cat reboot";
inline constexpr std::string_view kNoMacReboot = "获取MAC地址异常，请检查";
inline constexpr std::string_view kConfirmRestartMinerAll = "确认要重启局域网内所有设备挖矿程序？";
inline constexpr std::string_view kConfirmRebootAll = "确认要重启局域网内所有设备？";
inline constexpr std::string_view kRebootSendFailed = "发送重启命令失败，请重试！\r\n";
inline constexpr std::string_view kSelectDevice = "请在设备列表中选择一个设备！";
inline constexpr std::string_view kDialogNotCreated = "Dialog box could not be created!";
} // namespace commandtext

} // namespace quellis::commands

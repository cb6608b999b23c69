#include "commands/commands_controller.h"

#include "discovery/device_table.h"
#include "platform/text/codepage.h"
#include "platform/trace/trace.h"
#include "protocol/device_packet.h"
#include "resources/resource_ids.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/monitor_panel_ids.h"

#include <cstdio>
#include <vector>

namespace quellis::commands
{

namespace
{

using namespace quellis::resources;
using discovery::kColumnGateway;
using discovery::kColumnIp;
using discovery::kColumnMac;
using discovery::kColumnMask;

constexpr int kLedTestPeriodMs = 5000;
constexpr int kSerialTestPeriodMs = 6000;
constexpr int kSystemCommandPeriodMs = 3000;

constexpr int kLamps[] = { kIdSerialLamp1, kIdSerialLamp2, kIdSerialLamp3, kIdSerialLamp4, kIdSerialLamp5 };

// What expires with each time-out timer.
struct TestTimer
{
    int timer;
    int button;
    std::string_view message;
    core::BusyRun run;
};

constexpr TestTimer kTestTimers[] = {
    { kTimerLedTest, kIdLedTest, commandtext::kLedTestFailed, core::BusyRun::LedTest },
    { kTimerSerialTest, kIdSerialTest, commandtext::kSerialTestFailed, core::BusyRun::SerialTest },
    { kTimerSystemCommand, kIdExecuteSystemCommand, commandtext::kExecuteFailed, core::BusyRun::SystemCommand },
};

// The one-shot commands and how each reacts when a step fails.
struct OneShot
{
    int button;
    protocol::CommandCode code;
    std::string_view noMac;
    std::string_view confirmAll;
    bool logSendFailure; // else a debug trace
};

constexpr OneShot kOneShots[] = {
    { kIdRestartMiner,
        protocol::CMD_RestartMiner,
        commandtext::kNoMacRestart,
        commandtext::kConfirmRestartMinerAll,
        false },
    { kIdRestartSystem, protocol::CMD_Reboot, commandtext::kNoMacReboot, commandtext::kConfirmRebootAll, true },
    { kIdTest, protocol::CMD_GetName, commandtext::kNoMacRestart, commandtext::kConfirmRestartMinerAll, false },
};

// What the program sends: the code page 936 bytes of what the window shows.
std::string Wire(std::string_view shown)
{
    return text::Utf8ToCp936(shown);
}

// What the answers to the commands do: window calls on the main window.
class WindowCommandReplies : public CommandReplyEffects
{
public:
    WindowCommandReplies(protocol::SharedState& state, core::Window& window)
        : state_(state)
        , window_(window)
    {
    }
    void PostSettingFailed(int result) override
    {
        window_.messages.PostMessage(kWmDevSettingFailed, static_cast<std::uintptr_t>(result), 0);
    }
    bool IsButtonEnabled(int id) override { return window_.controls.IsItemEnabled(id); }
    void EnableButton(int id) override { window_.controls.EnableItem(id, true); }
    void ReleaseBusyAnimation(core::BusyRun run) override { window_.busy.Release(run); }
    void KillTimer(int id) override { window_.messages.KillTimer(id); }
    void SetLamp(int id, bool lit) override { window_.controls.SetItemIcon(id, lit ? kIconLampOn : kIconLampOff); }
    void Log(core::LogColour colour, std::string_view text, bool toFile) override
    {
        window_.log.WriteLog(colour, text, toFile);
    }
    std::string CurrentTarget() override { return state_.currentTarget.Get(); }

private:
    protocol::SharedState& state_;
    core::Window& window_;
};

} // namespace

CommandsController::CommandsController(protocol::SharedState& state,
    core::Window& window,
    NetworkSettingsDialog& settingsDialog,
    CompanionWindows& companions)
    : state_(state)
    , window_(window)
    , settingsDialog_(settingsDialog)
    , companions_(companions)
    , blink_(state, window)
{
}

bool CommandsController::OnCommand(int id)
{
    switch (id)
    {
    case kIdLedTest:
        OnLedTest();
        return true;
    case kIdSerialTest:
        OnSerialTest();
        return true;
    case kIdFlashMachines:
        OnBlinkButton();
        return true;
    case kIdExecuteSystemCommand:
        OnExecuteSystemCommand();
        return true;
    case kIdRestartMiner:
    case kIdRestartSystem:
    case kIdTest:
        OnOneShotCommand(id);
        return true;
    case kIdSetIp:
        OnSetIp();
        return true;
    default:
        return false;
    }
}

bool CommandsController::OnListNotify(core::ListNotify code, int row, int)
{
    if (code != core::ListNotify::DoubleClick)
    {
        return false;
    }
    OpenNetworkSettings(row);
    return true;
}

bool CommandsController::OnTimer(int id)
{
    return TestTimeout(id);
}

bool CommandsController::OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t)
{
    if (message != kWmDevSettingFailed)
    {
        return false;
    }
    ShowSettingFailure(static_cast<int>(wParam));
    return true;
}

void CommandsController::RegisterReplies(protocol::ReplyDispatcher& dispatcher)
{
    replyEffects_ = std::make_unique<WindowCommandReplies>(state_, window_);
    RegisterCommandReplies(dispatcher, *replyEffects_);
}

void CommandsController::Stop()
{
    // The teardown has cleared `blinking`; the thread leaves its pause now.
    blink_.Stop();
}

int CommandsController::FirstSelectedRow()
{
    const std::vector<int> selected = window_.list.SelectedRows();
    return selected.empty() ? -1 : selected.front();
}

// ---- Tests ------------------------------------------------------------------

// The reply thread ends a test early: it enables the button and kills the
// timer. Which of the two comes first is decided by the button: a reply that
// finds it enabled (the timer has expired) changes nothing.

void CommandsController::OnLedTest()
{
    const int row = FirstSelectedRow();
    if (row < 0)
    {
        window_.boxes.MessageBox(commandtext::kSelectDeviceToTest);
        return;
    }
    const std::string target = Wire(window_.list.CellText(row, kColumnMac));
    std::vector<std::uint8_t> request(protocol::kRequestBufferSize);
    request.resize(protocol::BuildCommand(request, target, protocol::CMD_LedTest));
    if (SendTimed(kTimerLedTest, protocol::CMD_LedTest, target, request))
    {
        state_.currentTarget.Set(target);
    }
    else
    {
        trace::OutputDebugString("send CMD_LedTest package failed\n");
    }
    // Also after a failed send: the test then ends by its timer.
    window_.controls.EnableItem(kIdLedTest, false);
    window_.busy.Hold(core::BusyRun::LedTest);
    window_.list.SelectAndFocusRow(row);
    window_.messages.SetTimer(kTimerLedTest, kLedTestPeriodMs);
}

void CommandsController::OnSerialTest()
{
    const int row = FirstSelectedRow();
    if (row < 0)
    {
        window_.boxes.MessageBox(commandtext::kSelectDeviceToTest);
        return;
    }
    for (const int lamp : kLamps)
    {
        window_.controls.SetItemIcon(lamp, kIconLampOff);
    }
    const std::string target = Wire(window_.list.CellText(row, kColumnMac));
    std::vector<std::uint8_t> request(protocol::kRequestBufferSize);
    request.resize(protocol::BuildCommand(request, target, protocol::CMD_UARTTest));
    if (SendTimed(kTimerSerialTest, protocol::CMD_UARTTest, target, request))
    {
        state_.currentTarget.Set(target);
        window_.controls.EnableItem(kIdSerialTest, false);
    }
    else
    {
        // The button stays enabled; the timer still ends the test.
        trace::OutputDebugString("send CMD_UARTTest package failed\n");
    }
    window_.list.SelectAndFocusRow(row);
    window_.busy.Hold(core::BusyRun::SerialTest);
    window_.messages.SetTimer(kTimerSerialTest, kSerialTestPeriodMs);
}

bool CommandsController::TestTimeout(int timerId)
{
    for (const TestTimer& test : kTestTimers)
    {
        if (test.timer != timerId)
        {
            continue;
        }
        window_.messages.KillTimer(timerId);
        // The wait is over: an answer after it is not taken.
        state_.awaitedReplies.Forget(timedTickets_[timerId]);
        window_.busy.Release(test.run);
        // Enabled before the box: a reply that comes while it is open is late.
        window_.controls.EnableItem(test.button, true);
        window_.boxes.MessageBox(test.message);
        return true;
    }
    return false;
}

bool CommandsController::SendTimed(
    int timer, std::uint16_t code, const std::string& target, std::span<const std::uint8_t> request)
{
    // A new request of the kind takes the place of the one before.
    protocol::AwaitedReplies::Ticket& ticket = timedTickets_[timer];
    state_.awaitedReplies.Forget(ticket);
    ticket = state_.awaitedReplies.Await(protocol::CommandAnswer(code), target);
    if (!state_.SendToMachines(request))
    {
        state_.awaitedReplies.Forget(ticket);
        ticket = protocol::AwaitedReplies::kNone;
        return false;
    }
    return true;
}

// ---- Blink --------------------------------------------------------------------

void CommandsController::OnBlinkButton()
{
    if (state_.blinking.load() != 0)
    {
        // The thread is ended and joined here instead of being given half a
        // second to notice: it cannot outlive the press, and a new start
        // never finds an old thread still running.
        state_.blinking = 0;
        blink_.Stop();
        // The caption the button had before the blink, in the language shown.
        const bool chinese = panel_ == nullptr || panel_->IsButtonChecked(kIdLanguageCheck) == core::kChecked;
        window_.controls.SetItemText(
            kIdFlashMachines, chinese ? commandtext::kBlinkCaption : commandtext::kBlinkCaptionEnglish);
        window_.controls.EnableItem(kIdSearch, true);
        return;
    }
    state_.blinking = 1;
    if (!blink_.Start())
    {
        state_.blinking = 0;
        window_.boxes.MessageBox(commandtext::kBlinkThreadFailed);
        return;
    }
    window_.controls.SetItemText(kIdFlashMachines, commandtext::kStopBlinkCaption);
    window_.controls.EnableItem(kIdSearch, false);
}

// ---- System command and restarts ------------------------------------------------

void CommandsController::OnExecuteSystemCommand()
{
    const std::vector<int> selected = window_.list.SelectedRows();
    if (selected.size() > 1)
    {
        window_.boxes.MessageBox(commandtext::kSeveralForExecute);
        return;
    }
    const std::string command = Wire(window_.controls.ItemText(kIdSystemCommandEdit));
    if (command.empty())
    {
        window_.boxes.MessageBox(commandtext::kEmptyCommand);
        return;
    }
    int row = -1;
    std::string target;
    if (selected.empty())
    {
        if (window_.boxes.MessageBox(commandtext::kConfirmExecuteAll, commandtext::kQuestionCaption, core::kMbYesNo)
            != core::kAnswerYes)
        {
            return;
        }
        target = protocol::kAllDevices;
    }
    else
    {
        row = selected.front();
        target = Wire(window_.list.CellText(row, kColumnMac));
    }
    // Counted in the bytes sent: the text and its terminator must fit the
    // 512-byte request after the 48-byte header.
    if (command.size() + protocol::kCommandHeaderSize + 1 > protocol::kRequestBufferSize)
    {
        window_.boxes.MessageBox(commandtext::kCommandTooLong);
        return;
    }
    std::vector<std::uint8_t> request(protocol::kRequestBufferSize);
    request.resize(protocol::BuildExecute(request, target, command));
    if (SendTimed(kTimerSystemCommand, protocol::CMD_EXECUTE, target, request))
    {
        state_.currentTarget.Set(target);
    }
    else
    {
        trace::OutputDebugString("send CMD_EXECUTE package failed\n");
    }
    window_.controls.EnableItem(kIdExecuteSystemCommand, false);
    window_.busy.Hold(core::BusyRun::SystemCommand);
    if (row >= 0)
    {
        window_.list.SelectAndFocusRow(row);
    }
    window_.messages.SetTimer(kTimerSystemCommand, kSystemCommandPeriodMs);
}

void CommandsController::OnOneShotCommand(int buttonId)
{
    const OneShot* command = nullptr;
    for (const OneShot& candidate : kOneShots)
    {
        command = candidate.button == buttonId ? &candidate : command;
    }
    if (command == nullptr)
    {
        return;
    }
    const std::vector<int> selected = window_.list.SelectedRows();
    if (selected.size() > 1)
    {
        window_.boxes.MessageBox(commandtext::kSeveralSelected);
        return;
    }
    std::string target;
    if (!selected.empty())
    {
        target = Wire(window_.list.CellText(selected.front(), kColumnMac));
        if (target.empty())
        {
            window_.boxes.MessageBox(command->noMac, commandtext::kInfoCaption);
            return;
        }
    }
    else
    {
        if (window_.boxes.MessageBox(command->confirmAll, commandtext::kQuestionCaption, core::kMbYesNo)
            != core::kAnswerYes)
        {
            return;
        }
        target = protocol::kAllDevices;
    }
    std::vector<std::uint8_t> request(protocol::kRequestBufferSize);
    request.resize(protocol::BuildCommand(request, target, command->code));
    // The name is the one answer of these that the program shows: it is
    // awaited from the machine asked (or from each), until the next request,
    // and so is the outcome of a name set that such a machine reports.
    for (auto& ticket : nameTickets_)
    {
        state_.awaitedReplies.Forget(ticket);
        ticket = protocol::AwaitedReplies::kNone;
    }
    if (command->code == protocol::CMD_GetName)
    {
        nameTickets_[0] = state_.awaitedReplies.Await(protocol::CommandAnswer(protocol::CMD_GetName), target);
        nameTickets_[1] = state_.awaitedReplies.Await(protocol::CommandAnswer(protocol::CMD_SetName), target);
    }
    if (state_.SendToMachines(request))
    {
        state_.currentTarget.Set(target);
        return;
    }
    for (const auto ticket : nameTickets_)
    {
        state_.awaitedReplies.Forget(ticket);
    }
    if (command->logSendFailure)
    {
        window_.log.WriteLog(core::LogColour::Default, commandtext::kRebootSendFailed, false);
    }
    else
    {
        trace::OutputDebugString("send CMD_EXECUTE package failed\n");
    }
}

// ---- Network settings ---------------------------------------------------------

void CommandsController::OnSetIp()
{
    const int row = FirstSelectedRow();
    if (row < 0)
    {
        window_.boxes.MessageBox(commandtext::kSelectDevice);
        return;
    }
    OpenNetworkSettings(row);
}

int CommandsController::OpenNetworkSettings(int row)
{
    if (row < 0)
    {
        return 0;
    }
    core::DeviceListView& list = window_.list;
    DevSetFields fields = FieldsFromRow(list.CellText(row, kColumnIp),
        list.CellText(row, kColumnMask),
        list.CellText(row, kColumnGateway),
        list.CellText(row, kColumnMac));
    switch (settingsDialog_.Run(fields))
    {
    case DialogResult::NotCreated:
        window_.boxes.MessageBox(commandtext::kDialogNotCreated);
        break;
    case DialogResult::Cancelled:
        break;
    case DialogResult::Ok:
        SendSetting(fields);
        break;
    }
    window_.list.SelectAndFocusRow(row);
    return 1;
}

void CommandsController::SendSetting(const DevSetFields& fields)
{
    // The reply thread matches a refusal against the target: it is recorded
    // before the request leaves, or a machine that answers within the
    // millisecond the file and the companion take would find the old one.
    const std::string previousTarget = state_.currentTarget.Get();
    const std::string target = Wire(fields.mac);
    state_.currentTarget.Set(target);
    // One answer per request: the first refusal of this machine opens the
    // box, a copy of it nothing. A request not answered yet gives way to this one.
    state_.awaitedReplies.Forget(settingTicket_);
    settingTicket_ = state_.awaitedReplies.Await(protocol::kSettingAnswer, target);
    if (!state_.SendToMachines(BuildSettingRequest(fields)))
    {
        state_.awaitedReplies.Forget(settingTicket_);
        settingTicket_ = protocol::AwaitedReplies::kNone;
        state_.currentTarget.Set(previousTarget);
        trace::OutputDebugString("send dev setting package failed\n");
        return;
    }
    // A file that cannot be opened is skipped without a word, and no
    // companion is an ordinary case.
    [[maybe_unused]] const bool appended = AppendChangeMac(changeMacPath_, fields.mac);
    const CompanionNumbers numbers = SplitMacForCompanion(fields.mac);
    [[maybe_unused]] const bool posted
        = companions_.PostToClass(kCompanionWindowClass, kWmCompanionSetting, numbers.wParam, numbers.lParam);
}

std::string SettingFailureText(int result, const std::string& target)
{
    const char* format = nullptr;
    switch (result)
    {
    case 1:
        format = "设置终端%s IP失败：用户名不存在";
        break;
    case 2:
        format = "设置终端%s IP失败：密码错误";
        break;
    case 3:
        format = "设置终端%s IP失败：未知错误";
        break;
    default:
        break;
    }
    char text[160];
    if (format != nullptr)
    {
        std::snprintf(text, sizeof text, format, target.c_str());
    }
    else
    {
        // The machine named a reason of its own; it is shown with its number.
        std::snprintf(text, sizeof text, "设置终端%s IP失败：未知错误(%d)", target.c_str(), result);
    }
    return text;
}

void CommandsController::ShowSettingFailure(int result)
{
    window_.boxes.MessageBox(SettingFailureText(result, state_.currentTarget.Get()));
}

} // namespace quellis::commands

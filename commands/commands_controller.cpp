#include "commands/commands_controller.h"

#include "discovery/device_table.h"
#include "platform/text/codepage.h"
#include "platform/trace/trace.h"
#include "protocol/device_packet.h"
#include "resources/resource_ids.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/monitor_panel_ids.h"

#include <cstdio>
#include <utility>
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
    OneShotCommand command;
    int button;
    protocol::CommandCode code;
    CommandRefusal noMac;
    std::string_view confirmAll;
    bool logSendFailure; // else a debug trace
};

constexpr OneShot kOneShots[] = {
    { OneShotCommand::RestartMiner,
        kIdRestartMiner,
        protocol::CMD_RestartMiner,
        CommandRefusal::NoMacRestart,
        commandtext::kConfirmRestartMinerAll,
        false },
    { OneShotCommand::Reboot,
        kIdRestartSystem,
        protocol::CMD_Reboot,
        CommandRefusal::NoMacReboot,
        commandtext::kConfirmRebootAll,
        true },
    { OneShotCommand::Name,
        kIdTest,
        protocol::CMD_GetName,
        CommandRefusal::NoMacRestart,
        commandtext::kConfirmRestartMinerAll,
        false },
};

// A row of the list is selected and focused; a machine in no row is not.
void SelectAndFocus(core::Window& window, int row)
{
    if (row >= 0)
    {
        window.list.SelectAndFocusRow(row);
    }
}

// The window's own buttons: a question box before every machine, the
// failure box when a wait runs out.
class WindowCommandObserver : public CommandObserver
{
public:
    explicit WindowCommandObserver(core::Window& window)
        : window_(window)
    {
    }
    bool ConfirmEveryMachine(std::string_view question) override
    {
        return window_.boxes.MessageBox(question, commandtext::kQuestionCaption, core::kMbYesNo) == core::kAnswerYes;
    }
    void OnTimedOut(std::string_view failure) override { window_.boxes.MessageBox(failure); }

private:
    core::Window& window_;
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
    , windowObserver_(std::make_shared<WindowCommandObserver>(window))
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
    ShowRefusal(StartTest(CommandTest::Led, window_.list.Targets(true), windowObserver_));
}

void CommandsController::OnSerialTest()
{
    ShowRefusal(StartTest(CommandTest::Serial, window_.list.Targets(true), windowObserver_));
}

CommandStarted CommandsController::StartTest(
    CommandTest test, const std::vector<core::RowTarget>& machines, std::shared_ptr<CommandObserver> observer)
{
    if (machines.empty())
    {
        return CommandRefusal::NoMachineToTest;
    }
    const int row = machines.front().row;
    const bool led = test == CommandTest::Led;
    const std::uint16_t code = led ? protocol::CMD_LedTest : protocol::CMD_UARTTest;
    const int timer = led ? kTimerLedTest : kTimerSerialTest;
    const int button = led ? kIdLedTest : kIdSerialTest;
    if (!led)
    {
        for (const int lamp : kLamps)
        {
            window_.controls.SetItemIcon(lamp, kIconLampOff);
        }
    }
    const std::string target = Wire(machines.front().mac);
    std::vector<std::uint8_t> request(protocol::kRequestBufferSize);
    request.resize(protocol::BuildCommand(request, target, code));
    std::shared_ptr<CommandRun> run = SendTimed(timer, code, target, request, std::move(observer));
    if (run->Sent())
    {
        state_.currentTarget.Set(target);
    }
    else
    {
        trace::OutputDebugString(led ? "send CMD_LedTest package failed\n" : "send CMD_UARTTest package failed\n");
    }
    if (led)
    {
        // Also after a failed send: the test then ends by its timer.
        window_.controls.EnableItem(button, false);
        window_.busy.Hold(core::BusyRun::LedTest);
        SelectAndFocus(window_, row);
    }
    else
    {
        // After a failed send the button stays enabled; the timer still ends the test.
        if (run->Sent())
        {
            window_.controls.EnableItem(button, false);
        }
        SelectAndFocus(window_, row);
        window_.busy.Hold(core::BusyRun::SerialTest);
    }
    window_.messages.SetTimer(timer, led ? kLedTestPeriodMs : kSerialTestPeriodMs);
    return run;
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
        Timed timed = std::exchange(timedTickets_[timerId], {});
        state_.awaitedReplies.Forget(timed.ticket);
        window_.busy.Release(test.run);
        // Enabled before the box: a reply that comes while it is open is late.
        window_.controls.EnableItem(test.button, true);
        if (timed.run)
        {
            timed.run->MarkTimedOut();
        }
        (timed.observer ? *timed.observer : *windowObserver_).OnTimedOut(test.message);
        return true;
    }
    return false;
}

std::shared_ptr<CommandRun> CommandsController::SendTimed(int timer,
    std::uint16_t code,
    const std::string& target,
    std::span<const std::uint8_t> request,
    std::shared_ptr<CommandObserver> observer)
{
    // A new request of the kind takes the place of the one before.
    Timed& timed = timedTickets_[timer];
    state_.awaitedReplies.Forget(timed.ticket);
    timed.ticket = state_.awaitedReplies.Await(protocol::CommandAnswer(code), target);
    timed.observer = std::move(observer);
    const bool sent = state_.SendToMachines(request);
    if (!sent)
    {
        state_.awaitedReplies.Forget(timed.ticket);
    }
    timed.run = std::make_shared<CommandRun>(state_.awaitedReplies, timed.ticket, sent);
    return timed.run;
}

void CommandsController::ShowRefusal(const CommandStarted& started)
{
    const auto* refusal = std::get_if<CommandRefusal>(&started);
    if (refusal == nullptr || *refusal == CommandRefusal::NotConfirmed)
    {
        return;
    }
    const std::string_view caption = RefusalCaption(*refusal);
    if (caption.empty())
    {
        window_.boxes.MessageBox(RefusalText(*refusal));
    }
    else
    {
        window_.boxes.MessageBox(RefusalText(*refusal), caption);
    }
}

// ---- Blink --------------------------------------------------------------------

void CommandsController::OnBlinkButton()
{
    if (state_.blinking.load() != 0)
    {
        StopBlink();
        return;
    }
    if (const auto refusal = StartBlink())
    {
        ShowRefusal(*refusal);
    }
}

std::optional<CommandRefusal> CommandsController::StartBlink()
{
    state_.blinking = 1;
    if (!blink_.Start())
    {
        state_.blinking = 0;
        return CommandRefusal::BlinkThreadFailed;
    }
    window_.controls.SetItemText(kIdFlashMachines, commandtext::kStopBlinkCaption);
    window_.controls.EnableItem(kIdSearch, false);
    return std::nullopt;
}

void CommandsController::StopBlink()
{
    if (state_.blinking.load() == 0)
    {
        return;
    }
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
}

// ---- System command and restarts ------------------------------------------------

void CommandsController::OnExecuteSystemCommand()
{
    ShowRefusal(StartSystemCommand(
        window_.list.Targets(true), window_.controls.ItemText(kIdSystemCommandEdit), windowObserver_));
}

CommandStarted CommandsController::StartSystemCommand(
    const std::vector<core::RowTarget>& machines, std::string_view typed, std::shared_ptr<CommandObserver> observer)
{
    if (machines.size() > 1)
    {
        return CommandRefusal::SeveralToExecute;
    }
    const std::string command = Wire(typed);
    if (command.empty())
    {
        return CommandRefusal::EmptyCommand;
    }
    int row = -1;
    std::string target;
    if (machines.empty())
    {
        if (!observer->ConfirmEveryMachine(commandtext::kConfirmExecuteAll))
        {
            return CommandRefusal::NotConfirmed;
        }
        target = protocol::kAllDevices;
    }
    else
    {
        row = machines.front().row;
        target = Wire(machines.front().mac);
    }
    // Counted in the bytes sent: the text and its terminator must fit the
    // 512-byte request after the 48-byte header.
    if (command.size() + protocol::kCommandHeaderSize + 1 > protocol::kRequestBufferSize)
    {
        return CommandRefusal::CommandTooLong;
    }
    std::vector<std::uint8_t> request(protocol::kRequestBufferSize);
    request.resize(protocol::BuildExecute(request, target, command));
    std::shared_ptr<CommandRun> run
        = SendTimed(kTimerSystemCommand, protocol::CMD_EXECUTE, target, request, std::move(observer));
    if (run->Sent())
    {
        state_.currentTarget.Set(target);
    }
    else
    {
        trace::OutputDebugString("send CMD_EXECUTE package failed\n");
    }
    window_.controls.EnableItem(kIdExecuteSystemCommand, false);
    window_.busy.Hold(core::BusyRun::SystemCommand);
    SelectAndFocus(window_, row);
    window_.messages.SetTimer(kTimerSystemCommand, kSystemCommandPeriodMs);
    return run;
}

void CommandsController::OnOneShotCommand(int buttonId)
{
    for (const OneShot& candidate : kOneShots)
    {
        if (candidate.button == buttonId)
        {
            ShowRefusal(StartOneShot(candidate.command, window_.list.Targets(true), windowObserver_));
        }
    }
}

CommandStarted CommandsController::StartOneShot(
    OneShotCommand which, const std::vector<core::RowTarget>& machines, std::shared_ptr<CommandObserver> observer)
{
    const OneShot* command = &kOneShots[0];
    for (const OneShot& candidate : kOneShots)
    {
        command = candidate.command == which ? &candidate : command;
    }
    if (machines.size() > 1)
    {
        return CommandRefusal::SeveralSelected;
    }
    std::string target;
    if (!machines.empty())
    {
        target = Wire(machines.front().mac);
        if (target.empty())
        {
            return command->noMac;
        }
    }
    else
    {
        if (!observer->ConfirmEveryMachine(command->confirmAll))
        {
            return CommandRefusal::NotConfirmed;
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
        return std::make_shared<CommandRun>(state_.awaitedReplies, protocol::AwaitedReplies::kNone, true);
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
    return std::make_shared<CommandRun>(state_.awaitedReplies, protocol::AwaitedReplies::kNone, false);
}

// ---- Network settings ---------------------------------------------------------

void CommandsController::OnSetIp()
{
    const int row = FirstSelectedRow();
    if (row < 0)
    {
        ShowRefusal(CommandRefusal::NoMachineToSet);
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
        static_cast<void>(StartNetworkSetting(fields));
        break;
    }
    window_.list.SelectAndFocusRow(row);
    return 1;
}

CommandStarted CommandsController::StartNetworkSetting(const DevSetFields& fields)
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
        return std::make_shared<CommandRun>(state_.awaitedReplies, protocol::AwaitedReplies::kNone, false);
    }
    // A file that cannot be opened is skipped without a word, and no
    // companion is an ordinary case.
    [[maybe_unused]] const bool appended = AppendChangeMac(changeMacPath_, fields.mac);
    const CompanionNumbers numbers = SplitMacForCompanion(fields.mac);
    [[maybe_unused]] const bool posted
        = companions_.PostToClass(kCompanionWindowClass, kWmCompanionSetting, numbers.wParam, numbers.lParam);
    return std::make_shared<CommandRun>(state_.awaitedReplies, settingTicket_, true);
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

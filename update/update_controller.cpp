#include "update/update_controller.h"

#include "discovery/device_table.h"
#include "platform/files/mapped_file.h"
#include "platform/text/codepage.h"
#include "platform/text/printf_text.h"
#include "platform/trace/trace.h"
#include "protocol/device_packet.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/monitor_panel_ids.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace quellis::update
{

namespace
{

using namespace quellis::resources;

// A run's wait for a result is cut into slices, so that the teardown does
// not wait out 30 seconds.
constexpr std::chrono::milliseconds kWaitSlice { 100 };

// The caption the button had before the run, in the language shown.
std::string_view StartCaption(int button, bool chinese)
{
    if (button == kIdUpdateSelected)
    {
        return chinese ? updatetext::kUpdateSelectedCaption : updatetext::kUpdateSelectedCaptionEnglish;
    }
    return chinese ? updatetext::kUpdateAllCaption : updatetext::kUpdateAllCaptionEnglish;
}

// What the machines' results do: the run's counters and wake-up in the
// shared state, the lines in the log pane.
class WindowUpdateReplies : public UpdateReplyEffects
{
public:
    WindowUpdateReplies(protocol::SharedState& state, core::Window& window)
        : state_(state)
        , window_(window)
    {
    }
    std::string CurrentTarget() override { return state_.currentTarget.Get(); }
    std::string CurrentTargetIp() override { return state_.currentTargetIp.Get(); }
    void CountSuccess() override { ++state_.successCount; }
    void CountFailure() override { ++state_.failureCount; }
    void SignalCommandDone() override { state_.commandDone.Set(); }
    void Log(core::LogColour colour, std::string_view text, bool toFile) override
    {
        window_.log.WriteLog(colour, text, toFile);
    }

private:
    protocol::SharedState& state_;
    core::Window& window_;
};

} // namespace

UpdateController::UpdateController(
    protocol::SharedState& state, core::Window& window, core::Controls& panel, UpdateTiming timing)
    : state_(state)
    , window_(window)
    , panel_(panel)
    , timing_(timing)
    , server_(state.listeningSocket, window.messages, window.log, kWmTcpSocket, kTimerPackageServer, timing.server)
{
}

UpdateController::~UpdateController()
{
    Stop();
}

void UpdateController::StartPackageServer()
{
    server_.Start();
}

void UpdateController::RegisterReplies(protocol::ReplyDispatcher& dispatcher)
{
    replyEffects_ = std::make_unique<WindowUpdateReplies>(state_, window_);
    RegisterUpdateReplies(dispatcher, *replyEffects_);
}

bool UpdateController::OnCommand(int id)
{
    switch (id)
    {
    case kIdSelectPackage:
        ChoosePackage();
        return true;
    case kIdUpdateSelected:
        UpdateSelected();
        return true;
    case kIdUpdateAll:
        UpdateAll();
        return true;
    default:
        return false;
    }
}

bool UpdateController::OnTimer(int id)
{
    if (id != kTimerPackageServer)
    {
        return false;
    }
    server_.OnTimer();
    return true;
}

bool UpdateController::OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    if (message != kWmTcpSocket)
    {
        return false;
    }
    // wParam the socket; lParam the event in its low word, an error in its high word.
    server_.OnSocketEvent(static_cast<int>(wParam), lParam & 0xFFFF, static_cast<int>((lParam >> 16) & 0xFFFF));
    return true;
}

bool UpdateController::LanguageBoxTicked()
{
    return panel_.IsButtonChecked(kIdLanguageCheck) == core::kChecked;
}

void UpdateController::ChoosePackage()
{
    const auto path = window_.boxes.OpenFile(updatetext::kOpenFileTitle, updatetext::kOpenFileFilter);
    if (!path)
    {
        return;
    }
    state_.packagePath.Set(*path);
    server_.SetServedPath(*path);
    const bool chinese = LanguageBoxTicked();
    window_.log.WriteLog(core::LogColour::Default,
        text::PrintfText(chinese ? updatetext::kPackageChosen : updatetext::kPackageChosenEnglish, path->c_str()),
        false);
    window_.controls.EnableItem(kIdUpdateSelected, true);
    window_.controls.EnableItem(kIdUpdateAll, true);
}

void UpdateController::UpdateSelected()
{
    if (AskToStop(kIdUpdateSelected))
    {
        return;
    }
    if (state_.packagePath.Get().empty())
    {
        window_.boxes.MessageBox(updatetext::kChooseFirst);
        return;
    }
    if (window_.list.SelectedRows().empty())
    {
        window_.boxes.MessageBox(updatetext::kSelectMachines);
        return;
    }
    StartRun(kIdUpdateSelected);
}

void UpdateController::UpdateAll()
{
    if (AskToStop(kIdUpdateAll))
    {
        return;
    }
    if (state_.packagePath.Get().empty())
    {
        window_.boxes.MessageBox(updatetext::kChooseFirst);
        return;
    }
    if (window_.list.RowCount() == 0)
    {
        window_.boxes.MessageBox(updatetext::kListEmpty);
        return;
    }
    if (window_.boxes.MessageBox(updatetext::kConfirmAll, updatetext::kQueryCaption, core::kMbYesNo)
        != core::kAnswerYes)
    {
        return;
    }
    StartRun(kIdUpdateAll);
}

bool UpdateController::AskToStop(int button)
{
    // A stopped run still waits for its last machine: until it ends it is
    // the run in progress, and no second one starts beside it.
    if (state_.updating.load() == 0 && !runActive_.load())
    {
        return false;
    }
    if (window_.boxes.MessageBox(updatetext::kStopQuestion, updatetext::kQuestionCaption, core::kMbYesNo)
        == core::kAnswerYes)
    {
        state_.updating = 0;
        window_.controls.SetItemText(button, StartCaption(button, LanguageBoxTicked()));
    }
    return true;
}

void UpdateController::StartRun(int button)
{
    // The previous run's worker may still be in its last window calls.
    window_.uiThread.Join(worker_);
    runActive_ = true;
    state_.updating = 1;
    state_.failureCount = 0;
    state_.successCount = 0;
    // The window shows the run before its worker can end it.
    window_.controls.EnableItem(kIdRestartMiner, false);
    window_.controls.EnableItem(kIdRestartSystem, false);
    window_.busy.Hold(core::BusyRun::Update);
    window_.controls.SetItemText(button, updatetext::kStopCaption);
    if (!worker_.Start([this, button] { UpdateWorker(button); }))
    {
        state_.updating = 0;
        runActive_ = false;
        window_.controls.EnableItem(kIdRestartMiner, true);
        window_.controls.EnableItem(kIdRestartSystem, true);
        window_.busy.Release(core::BusyRun::Update);
        window_.controls.SetItemText(button, StartCaption(button, LanguageBoxTicked()));
    }
}

// Runs on its own thread for one run. Owns the offer it builds; shares
// `updating` (cleared to stop it), the counters and commandDone with the
// reply thread, currentTarget and currentTargetIp (written here before each
// wait, read by the reply thread); reads the list and writes the log through
// window calls.
void UpdateController::UpdateWorker(int button)
{
    files::MappedFile package;
    if (!package.Open(state_.packagePath.Get()))
    {
        window_.log.WriteLog(core::LogColour::Default, updatetext::kPackageUnreadable, false);
        EndRun(button);
        return;
    }
    // The size announced to every machine of the run, even if the operator
    // chooses another package meanwhile.
    const std::uint64_t size = package.Size();
    package.Close();
    if (size == 0)
    {
        window_.log.WriteLog(core::LogColour::Default, updatetext::kPackageEmpty, false);
        EndRun(button);
        return;
    }
    window_.log.WriteLog(core::LogColour::Default,
        text::PrintfText(updatetext::kPackageSize, static_cast<unsigned long long>(size)),
        false);

    // An empty MAC keeps the previous row's target.
    std::string target;
    int answered = 0;
    int timedOut = 0;
    const auto offer = [&](int row)
    {
        switch (OfferRow(row, target, size))
        {
        case Offered::Answered:
            ++answered;
            break;
        case Offered::TimedOut:
            ++timedOut;
            break;
        case Offered::Stopped:
            break;
        }
    };
    if (button == kIdUpdateSelected)
    {
        const std::vector<int> selected = window_.list.SelectedRows();
        int row = selected.empty() ? -1 : selected.front();
        while (row >= 0 && state_.updating.load() != 0)
        {
            // The next selected row is looked up before this one is handled.
            const std::vector<int> now = window_.list.SelectedRows();
            const auto next = std::upper_bound(now.begin(), now.end(), row);
            const int nextRow = next == now.end() ? -1 : *next;
            offer(row);
            row = nextRow;
        }
    }
    else
    {
        const int count = window_.list.RowCount();
        for (int row = 0; row < count && state_.updating.load() != 0; ++row)
        {
            offer(row);
        }
    }
    // A machine that timed out counts when its result comes later in the
    // run; one that never answered counts as a failure. Every result of the
    // run beyond those that ended a wait came late.
    const int counted = state_.successCount.load() + state_.failureCount.load();
    const int late = std::max(counted - answered, 0);
    state_.failureCount += std::max(timedOut - late, 0);
    EndRun(button);
}

UpdateController::Offered UpdateController::OfferRow(int row, std::string& target, std::uint64_t packageSize)
{
    const std::string ip = window_.list.CellText(row, discovery::kColumnIp);
    const std::string mac = window_.list.CellText(row, discovery::kColumnMac);
    if (!mac.empty())
    {
        target = text::Utf8ToCp936(mac);
    }
    // The run names this machine before the reset, and the reset comes for
    // each machine, not once per run: a result of the previous machine that
    // came after its time-out is then either matched before the reset (and
    // its wake-up reset) or not matched at all, and cannot end this wait.
    state_.currentTarget.Set(target);
    state_.currentTargetIp.Set(ip);
    state_.commandDone.Reset();
    if (!mac.empty())
    {
        window_.log.WriteLog(core::LogColour::Default, text::PrintfText(updatetext::kWillUpdate, ip.c_str()), false);
    }
    std::vector<std::uint8_t> offer(protocol::kRequestBufferSize);
    offer.resize(protocol::BuildUpgradeOffer(offer, target, packageSize));
    if (offer.empty() || !state_.SendBroadcast(offer))
    {
        trace::OutputDebugString("send CMD_EXECUTE package failed\n");
    }

    const auto deadline = std::chrono::steady_clock::now() + timing_.resultWait;
    for (;;)
    {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (stopping_.load())
        {
            return Offered::Stopped;
        }
        if (left.count() <= 0)
        {
            break;
        }
        const auto slice = std::min(left, kWaitSlice);
        if (state_.commandDone.Wait(static_cast<std::uint32_t>(slice.count())) == sync::WaitResult::Signalled)
        {
            return Offered::Answered;
        }
    }
    window_.boxes.MessageBox(text::PrintfText(updatetext::kTimedOut, ip.c_str()));
    return Offered::TimedOut;
}

void UpdateController::EndRun(int button)
{
    state_.updating = 0;
    runActive_ = false;
    window_.controls.SetItemText(button, StartCaption(button, LanguageBoxTicked()));
    window_.controls.EnableItem(kIdRestartMiner, true);
    window_.controls.EnableItem(kIdRestartSystem, true);
    window_.busy.Release(core::BusyRun::Update);
    window_.log.WriteLog(core::LogColour::Default,
        text::PrintfText(updatetext::kSummary, state_.successCount.load(), state_.failureCount.load()),
        false);
}

void UpdateController::Stop()
{
    // The teardown: a run's worker leaves its wait at once and shows no box;
    // every transfer ends and is joined.
    stopping_ = true;
    state_.updating = 0;
    window_.uiThread.Join(worker_);
    server_.Stop();
}

} // namespace quellis::update

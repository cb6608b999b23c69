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
#include <cstdarg>
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

std::string_view StartCaption(int button)
{
    return button == kIdUpdateSelected ? updatetext::kUpdateSelectedCaption : updatetext::kUpdateAllCaption;
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

void UpdateController::ChoosePackage()
{
    const auto path = window_.boxes.OpenFile(updatetext::kOpenFileTitle, updatetext::kOpenFileFilter);
    if (!path)
    {
        return;
    }
    state_.packagePath.Set(*path);
    server_.SetServedPath(*path);
    const bool chinese = panel_.IsButtonChecked(kIdLanguageCheck) == core::kChecked;
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
        window_.controls.SetItemText(button, StartCaption(button));
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
    window_.busy.Start();
    window_.controls.SetItemText(button, updatetext::kStopCaption);
    if (!worker_.Start([this, button] { UpdateWorker(button); }))
    {
        state_.updating = 0;
        runActive_ = false;
        window_.controls.EnableItem(kIdRestartMiner, true);
        window_.controls.EnableItem(kIdRestartSystem, true);
        window_.busy.Stop();
        window_.controls.SetItemText(button, StartCaption(button));
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
            OfferRow(row, target, size);
            row = nextRow;
        }
    }
    else
    {
        const int count = window_.list.RowCount();
        for (int row = 0; row < count && state_.updating.load() != 0; ++row)
        {
            OfferRow(row, target, size);
        }
    }
    EndRun(button);
}

void UpdateController::OfferRow(int row, std::string& target, std::uint64_t packageSize)
{
    const std::string ip = window_.list.CellText(row, discovery::kColumnIp);
    const std::string mac = window_.list.CellText(row, discovery::kColumnMac);
    if (!mac.empty())
    {
        target = text::Utf8ToCp936(mac);
        window_.log.WriteLog(core::LogColour::Default, text::PrintfText(updatetext::kWillUpdate, ip.c_str()), false);
    }
    std::vector<std::uint8_t> offer(protocol::kRequestBufferSize);
    offer.resize(protocol::BuildUpgradeOffer(offer, target, packageSize));
    // Reset for each machine, not once per run: an answer of the previous
    // machine that came after its time-out must not end this machine's wait.
    state_.commandDone.Reset();
    if (!offer.empty() && state_.SendBroadcast(offer))
    {
        state_.currentTarget.Set(target);
        state_.currentTargetIp.Set(ip);
    }
    else
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
            return;
        }
        if (left.count() <= 0)
        {
            break;
        }
        const auto slice = std::min(left, kWaitSlice);
        if (state_.commandDone.Wait(static_cast<std::uint32_t>(slice.count())) == sync::WaitResult::Signalled)
        {
            return;
        }
    }
    // Not counted: the machine may still answer, and is counted then.
    window_.boxes.MessageBox(text::PrintfText(updatetext::kTimedOut, ip.c_str()));
}

void UpdateController::EndRun(int button)
{
    state_.updating = 0;
    runActive_ = false;
    window_.controls.SetItemText(button, StartCaption(button));
    window_.controls.EnableItem(kIdRestartMiner, true);
    window_.controls.EnableItem(kIdRestartSystem, true);
    window_.busy.Stop();
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

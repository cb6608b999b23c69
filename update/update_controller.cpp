#include "update/update_controller.h"

#include "discovery/device_table.h"
#include "platform/files/mapped_file.h"
#include "platform/text/codepage.h"
#include "platform/text/printf_text.h"
#include "platform/trace/trace.h"
#include "protocol/device_packet.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/monitor_panel_ids.h"
#include "update/list_targets.h"

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

} // namespace

// What the machines' results do: the shared counters, the end of the run's
// wait for the machine and the shared wake-up, the lines in the log pane.
class UpdateController::RunReplies : public UpdateReplyEffects
{
public:
    explicit RunReplies(UpdateController& controller)
        : controller_(controller)
    {
    }
    std::optional<std::string> AwaitedIp(const std::string& target) override
    {
        {
            std::lock_guard lock(controller_.awaitedLock_);
            const auto found = controller_.awaited_.find(target);
            if (found != controller_.awaited_.end())
            {
                return found->second.ip;
            }
        }
        // The machine last offered stays the current target after its wait,
        // as for the other runs that name one.
        if (controller_.state_.currentTarget.Get() == target)
        {
            return controller_.state_.currentTargetIp.Get();
        }
        return std::nullopt;
    }
    void CountSuccess() override { ++controller_.state_.successCount; }
    void CountFailure() override { ++controller_.state_.failureCount; }
    void EndWait(const std::string& target, bool ok) override
    {
        {
            std::lock_guard lock(controller_.awaitedLock_);
            const auto found = controller_.awaited_.find(target);
            if (found != controller_.awaited_.end())
            {
                found->second.answered = true;
                found->second.ok = ok;
            }
        }
        controller_.resultCame_.Set();
        controller_.state_.commandDone.Set();
    }
    void Log(core::LogColour colour, std::string_view text, bool toFile) override
    {
        controller_.window_.log.WriteLog(colour, text, toFile);
    }

private:
    UpdateController& controller_;
};

// The window's run of one button: the button's caption and the restart
// buttons while it goes, the busy animation, a box for each machine that
// gives no result.
class UpdateController::WindowRun : public UpdateObserver
{
public:
    WindowRun(UpdateController& controller, int button)
        : controller_(controller)
        , window_(controller.window_)
        , button_(button)
    {
    }
    void OnStarting() override
    {
        // The window shows the run before its worker can end it.
        window_.controls.EnableItem(kIdRestartMiner, false);
        window_.controls.EnableItem(kIdRestartSystem, false);
        window_.busy.Hold(core::BusyRun::Update);
        window_.controls.SetItemText(button_, updatetext::kStopCaption);
    }
    void OnMachine(const UpdateTarget& target, UpdateOutcome outcome) override
    {
        if (outcome == UpdateOutcome::TimedOut || outcome == UpdateOutcome::NotSent)
        {
            window_.boxes.MessageBox(text::PrintfText(updatetext::kTimedOut, target.ip.c_str()));
        }
    }
    void OnEnded() override
    {
        window_.controls.SetItemText(button_, StartCaption(button_, controller_.LanguageBoxTicked()));
        window_.controls.EnableItem(kIdRestartMiner, true);
        window_.controls.EnableItem(kIdRestartSystem, true);
        window_.busy.Release(core::BusyRun::Update);
    }

private:
    UpdateController& controller_;
    core::Window& window_;
    const int button_;
};

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
    replyEffects_ = std::make_unique<RunReplies>(*this);
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
    if (path)
    {
        UsePackage(*path);
    }
}

void UpdateController::UsePackage(const std::string& path)
{
    state_.packagePath.Set(path);
    server_.SetServedPath(path);
    const bool chinese = LanguageBoxTicked();
    window_.log.WriteLog(core::LogColour::Default,
        text::PrintfText(chinese ? updatetext::kPackageChosen : updatetext::kPackageChosenEnglish, path.c_str()),
        false);
    window_.controls.EnableItem(kIdUpdateSelected, true);
    window_.controls.EnableItem(kIdUpdateAll, true);
}

void UpdateController::UpdateSelected()
{
    PressUpdate(kIdUpdateSelected);
}

void UpdateController::UpdateAll()
{
    PressUpdate(kIdUpdateAll);
}

void UpdateController::PressUpdate(int button)
{
    std::unique_ptr<UpdateTargets> targets;
    if (button == kIdUpdateSelected)
    {
        targets = std::make_unique<SelectedRowTargets>(window_.list);
    }
    else
    {
        targets = std::make_unique<AllRowTargets>(window_.list);
    }
    std::optional<UpdateRefusal> refusal = CheckUpdate(*targets);
    if (!refusal && button == kIdUpdateAll
        && window_.boxes.MessageBox(updatetext::kConfirmAll, updatetext::kQueryCaption, core::kMbYesNo)
            != core::kAnswerYes)
    {
        return;
    }
    if (!refusal)
    {
        const Started started = StartUpdate(std::move(targets), {}, std::make_shared<WindowRun>(*this, button));
        if (const auto* refused = std::get_if<UpdateRefusal>(&started))
        {
            refusal = *refused;
        }
    }
    if (refusal == UpdateRefusal::RunGoing)
    {
        AskToStop(button);
    }
    else if (refusal && !RefusalText(*refusal).empty())
    {
        window_.boxes.MessageBox(RefusalText(*refusal));
    }
}

void UpdateController::AskToStop(int button)
{
    if (window_.boxes.MessageBox(updatetext::kStopQuestion, updatetext::kQuestionCaption, core::kMbYesNo)
        == core::kAnswerYes)
    {
        state_.updating = 0;
        window_.controls.SetItemText(button, StartCaption(button, LanguageBoxTicked()));
    }
}

std::optional<UpdateRefusal> UpdateController::CheckUpdate(UpdateTargets& targets)
{
    // A stopped run still waits for its last machines: until it ends it is
    // the run in progress, and no second one starts beside it.
    if (state_.updating.load() != 0 || runActive_.load())
    {
        return UpdateRefusal::RunGoing;
    }
    if (state_.packagePath.Get().empty())
    {
        return UpdateRefusal::NoPackage;
    }
    return targets.Missing();
}

UpdateController::Started UpdateController::StartUpdate(
    std::unique_ptr<UpdateTargets> targets, UpdateOptions options, std::shared_ptr<UpdateObserver> observer)
{
    if (const auto refusal = CheckUpdate(*targets))
    {
        return *refusal;
    }
    // The previous run's worker may still be in its last window calls.
    window_.uiThread.Join(worker_);
    RunArguments arguments { std::make_shared<UpdateRun>(), std::move(targets), options, std::move(observer) };
    if (arguments.options.concurrency < 1)
    {
        arguments.options.concurrency = 1;
    }
    if (arguments.options.resultWait.count() <= 0)
    {
        arguments.options.resultWait = timing_.resultWait;
    }
    runActive_ = true;
    state_.updating = 1;
    state_.failureCount = 0;
    state_.successCount = 0;
    arguments.observer->OnStarting();
    if (!worker_.Start([this, arguments] { UpdateWorker(arguments); }))
    {
        state_.updating = 0;
        runActive_ = false;
        arguments.observer->OnEnded();
        arguments.run->MarkEnded();
        return UpdateRefusal::NotStarted;
    }
    return arguments.run;
}

// Runs on its own thread for one run. Owns the offers it builds; shares
// `updating` (cleared to stop it) and the counters with the reply thread,
// and the machines awaited (written here, their results marked by the reply
// thread, which sets resultCame_); writes currentTarget and currentTargetIp
// before each offer; reads the list and writes the log through window calls.
void UpdateController::UpdateWorker(const RunArguments& run)
{
    files::MappedFile package;
    if (!package.Open(state_.packagePath.Get()))
    {
        window_.log.WriteLog(core::LogColour::Default, updatetext::kPackageUnreadable, false);
        EndRun(run);
        return;
    }
    // The size announced to every machine of the run, even if the operator
    // chooses another package meanwhile.
    const std::uint64_t size = package.Size();
    package.Close();
    if (size == 0)
    {
        window_.log.WriteLog(core::LogColour::Default, updatetext::kPackageEmpty, false);
        EndRun(run);
        return;
    }
    window_.log.WriteLog(core::LogColour::Default,
        text::PrintfText(updatetext::kPackageSize, static_cast<unsigned long long>(size)),
        false);

    struct InHand
    {
        UpdateTarget target; // the MAC as sent
        std::chrono::steady_clock::time_point deadline;
    };
    std::vector<InHand> inHand;
    const auto release = [this](const std::string& target)
    {
        std::lock_guard lock(awaitedLock_);
        awaited_.erase(target);
    };
    // An empty MAC keeps the previous machine's target.
    std::string target;
    int answered = 0;
    int timedOut = 0;
    bool listed = true;
    std::vector<std::uint8_t> offer(protocol::kRequestBufferSize);
    for (;;)
    {
        while (listed && static_cast<int>(inHand.size()) < run.options.concurrency && state_.updating.load() != 0
            && !run.run->StopAsked())
        {
            const std::optional<UpdateTarget> next = run.targets->Next();
            if (!next)
            {
                listed = false;
                break;
            }
            if (!next->mac.empty())
            {
                target = text::Utf8ToCp936(next->mac);
            }
            // The machine is awaited before its offer goes out, so that no
            // result of it can come unmatched; a result of a machine given up
            // earlier ends no wait.
            {
                std::lock_guard lock(awaitedLock_);
                awaited_[target] = Awaited { next->ip };
            }
            state_.currentTarget.Set(target);
            state_.currentTargetIp.Set(next->ip);
            if (!next->mac.empty())
            {
                window_.log.WriteLog(
                    core::LogColour::Default, text::PrintfText(updatetext::kWillUpdate, next->ip.c_str()), false);
            }
            offer.assign(protocol::kRequestBufferSize, 0);
            offer.resize(protocol::BuildUpgradeOffer(offer, target, size));
            const UpdateTarget offered { next->ip, target };
            if (offer.empty() || !state_.SendToMachines(offer))
            {
                trace::OutputDebugString("send CMD_EXECUTE package failed\n");
                run.observer->OnMachine(offered, UpdateOutcome::NotSent);
                release(target);
                ++timedOut;
                continue;
            }
            inHand.push_back({ offered, std::chrono::steady_clock::now() + run.options.resultWait });
        }
        if (inHand.empty() || stopping_.load())
        {
            break;
        }
        // A wait is cut into slices, so that the teardown does not wait out
        // 30 seconds.
        const auto now = std::chrono::steady_clock::now();
        auto nearest = inHand.front().deadline;
        for (const InHand& machine : inHand)
        {
            nearest = std::min(nearest, machine.deadline);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nearest - now);
        const auto slice = std::clamp(left, std::chrono::milliseconds(0), kWaitSlice);
        (void)resultCame_.Wait(static_cast<std::uint32_t>(slice.count()));
        if (stopping_.load())
        {
            break;
        }
        const auto woken = std::chrono::steady_clock::now();
        for (auto machine = inHand.begin(); machine != inHand.end();)
        {
            std::optional<bool> result;
            {
                std::lock_guard lock(awaitedLock_);
                const auto found = awaited_.find(machine->target.mac);
                if (found != awaited_.end() && found->second.answered)
                {
                    result = found->second.ok;
                }
            }
            if (result)
            {
                ++answered;
                release(machine->target.mac);
                run.observer->OnMachine(machine->target, *result ? UpdateOutcome::Updated : UpdateOutcome::Failed);
            }
            else if (woken >= machine->deadline)
            {
                // Still awaited while its box is open: a result that comes
                // meanwhile is this machine's, and counts as a late one.
                ++timedOut;
                run.observer->OnMachine(machine->target, UpdateOutcome::TimedOut);
                release(machine->target.mac);
            }
            else
            {
                ++machine;
                continue;
            }
            machine = inHand.erase(machine);
        }
    }
    for (const InHand& machine : inHand)
    {
        release(machine.target.mac);
    }
    // A machine that timed out counts when its result comes later in the
    // run; one that never answered counts as a failure. Every result of the
    // run beyond those that ended a wait came late.
    const int counted = state_.successCount.load() + state_.failureCount.load();
    const int late = std::max(counted - answered, 0);
    state_.failureCount += std::max(timedOut - late, 0);
    EndRun(run);
}

void UpdateController::EndRun(const RunArguments& run)
{
    state_.updating = 0;
    runActive_ = false;
    run.observer->OnEnded();
    window_.log.WriteLog(core::LogColour::Default,
        text::PrintfText(updatetext::kSummary, state_.successCount.load(), state_.failureCount.load()),
        false);
    run.run->MarkEnded();
}

void UpdateController::Stop()
{
    // The teardown: a run's worker leaves its wait at once and shows no box;
    // every transfer ends and is joined.
    stopping_ = true;
    state_.updating = 0;
    resultCame_.Set();
    window_.uiThread.Join(worker_);
    server_.Stop();
}

} // namespace quellis::update

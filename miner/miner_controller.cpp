#include "miner/miner_controller.h"

#include "core/settings.h"
#include "miner/e2_record.h"
#include "miner/run_log.h"
#include "platform/profile/profile_text.h"
#include "platform/sync/event.h"
#include "platform/sync/thread.h"
#include "platform/text/codepage.h"
#include "platform/text/printf_text.h"
#include "protocol/device_packet.h"
#include "resources/templates/main_dialog_ids.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace quellis::miner
{

using text::PrintfText;

namespace
{

using namespace quellis::resources;
using core::LogColour;

// Controls every run enables again at its end.
constexpr int kRunControls[] = { kIdExecuteMinerCommand, kIdMinerCommandEdit, kIdMinerParameterEdit };
// How often a wait looks whether the program is being closed.
constexpr std::uint32_t kStopPollMs = 100;

// Text the program sends: the code page 936 bytes of what a control shows.
std::string Wire(std::string_view shown)
{
    return text::Utf8ToCp936(shown);
}

bool EqualsIgnoringCase(std::string_view left, std::string_view right)
{
    return left.size() == right.size()
        && std::equal(left.begin(),
            left.end(),
            right.begin(),
            [](char a, char b)
            { return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b)); });
}

std::string_view ConfirmationText(BatchOperation kind)
{
    switch (kind)
    {
    case BatchOperation::FirstMiner:
        return batchtext::kConfirmFirstMiner;
    case BatchOperation::SetTemperature:
        return batchtext::kConfirmTemperature;
    case BatchOperation::PoolConfig:
        return batchtext::kConfirmPools;
    case BatchOperation::HashRate:
        return batchtext::kConfirmHashRate;
    default:
        return batchtext::kConfirmMinerCommand;
    }
}

PoolSlots WireSlots(const PoolSlots& slots)
{
    PoolSlots wire = slots;
    for (PoolSlot& slot : wire)
    {
        slot.url = Wire(slot.url);
        slot.worker = Wire(slot.worker);
        slot.password = Wire(slot.password);
    }
    return wire;
}

// What the answers to the pool and E2 runs do: the counters and wake-ups in
// the shared state, the lines in the log pane, the label codes read from the
// edits, and the read-back of a confirmed write on this controller.
class WindowMinerReplies : public MinerReplyEffects
{
public:
    WindowMinerReplies(MinerController& owner, protocol::SharedState& state, core::Window& window)
        : owner_(owner)
        , state_(state)
        , window_(window)
    {
    }
    void CountSuccess() override { ++state_.successCount; }
    void CountFailure() override { ++state_.failureCount; }
    void SignalCommandDone() override { state_.commandDone.Set(); }
    void Log(core::LogColour colour, std::string_view text, bool toFile) override
    {
        window_.log.WriteLog(colour, text, toFile);
    }
    std::string QrCodeText() override { return owner_.WrittenCodes().first; }
    std::string OneDCodeText() override { return owner_.WrittenCodes().second; }
    void StartReadBack(std::string_view target) override { owner_.StartReadBack(target); }
    std::string Timestamp() override
    {
        const std::time_t now = std::time(nullptr);
        std::tm local {};
        localtime_r(&now, &local);
        char text[80];
        std::snprintf(text,
            sizeof text,
            "%04d-%02d-%02d %02d:%02d:%02d",
            local.tm_year + 1900,
            local.tm_mon + 1,
            local.tm_mday,
            local.tm_hour,
            local.tm_min,
            local.tm_sec);
        return text;
    }

private:
    MinerController& owner_;
    protocol::SharedState& state_;
    core::Window& window_;
};

// The window's own buttons: the question box before a run over every machine.
class WindowMinerObserver : public MinerObserver
{
public:
    explicit WindowMinerObserver(core::Window& window)
        : window_(window)
    {
    }
    bool ConfirmEveryMachine(std::string_view question) override
    {
        return window_.boxes.MessageBox(question, batchtext::kQuestion, core::kMbYesNo) == core::kAnswerYes;
    }

private:
    core::Window& window_;
};

MinerRefused Refused(MinerRefusal reason, std::string_view text, std::string_view caption = {})
{
    return { reason, std::string(text), caption };
}

} // namespace

// A write run and the read-back that its machine's confirmation starts. The
// reply thread claims the write's request with the machine's answer and, for
// a confirmation, starts the read-back before it marks the request answered
// and wakes the write run; so the read-back starts only for a write whose
// request was claimed, and at most once. The write run sets handedOver after
// its end step: only then does the read-back reset commandDone and ask, so the
// write's wake-up can never release it.
struct MinerController::WriteHandOff
{
    std::string ip; // as the list shows it
    std::string mac; // as the list shows it
    std::string wireMac; // as sent, and as the machine's answer names it
    std::shared_ptr<MinerRun> handle; // the write's, which its read-back joins
    protocol::AwaitedReplies::Ticket ticket = protocol::AwaitedReplies::kNone;
    bool confirmed = false;
    sync::Event handedOver { sync::EventReset::Manual };
};

// One batch run: what it took at its start, and its thread.
struct MinerController::Run
{
    BatchOperation kind = BatchOperation::HashRate;
    std::vector<core::RowTarget> machines; // as chosen at the start; none: every row
    MinerRunOptions options;
    std::shared_ptr<MinerObserver> observer;
    std::shared_ptr<MinerRun> handle;
    std::shared_ptr<WriteHandOff> readBackOf; // a read-back: the write it follows
    std::unique_ptr<MinerApiClient> client; // the API runs: the run's exchange buffer
    std::unique_ptr<RunLog> log; // the API runs: their lines
    sync::Thread thread;
};

MinerController::MinerController(
    protocol::SharedState& state, core::Window& window, PoolSettingsDialog& poolDialog, MinerOptions options)
    : state_(state)
    , window_(window)
    , poolDialog_(poolDialog)
    , options_(options)
    , logTarget_(std::make_shared<std::atomic<core::LogSink*>>(&window.log))
    , windowObserver_(std::make_shared<WindowMinerObserver>(window))
{
}

MinerController::~MinerController()
{
    Stop();
}

bool MinerController::OnCommand(int id)
{
    switch (id)
    {
    case kIdExecuteMinerCommand:
        OnExecuteMinerCommand();
        return true;
    case kIdSetPools:
        OnSetPools();
        return true;
    case kIdGetFirstMiner:
        OnGetFirstMiner();
        return true;
    case kIdSetTemperature:
        OnSetTemperature();
        return true;
    case kIdGetHashRate:
        OnGetHashRate();
        return true;
    case kIdWriteE2:
        OnWriteE2();
        return true;
    case kIdReadE2:
        OnReadE2();
        return true;
    default:
        return false;
    }
}

// ---- Runs ---------------------------------------------------------------------

void MinerController::ReapFinishedRuns()
{
    for (auto it = runs_.begin(); it != runs_.end();)
    {
        if ((*it)->thread.Finished())
        {
            (*it)->thread.Join();
            it = runs_.erase(it);
        }
        else
        {
            ++it;
        }
    }
}

bool MinerController::StartThread(std::unique_ptr<Run> run)
{
    std::lock_guard lock(runsLock_);
    if (stopping_)
    {
        return false;
    }
    ReapFinishedRuns();
    runs_.push_back(std::move(run));
    Run& added = *runs_.back();
    if (added.handle)
    {
        added.handle->Add();
    }
    if (!added.thread.Start(
            [this, &added]
            {
                BatchWorker(added);
                if (added.handle)
                {
                    added.handle->Done();
                }
            }))
    {
        if (added.handle)
        {
            added.handle->Done();
        }
        runs_.pop_back();
        return false;
    }
    return true;
}

int MinerController::ActiveRuns()
{
    std::lock_guard lock(runsLock_);
    return static_cast<int>(
        std::count_if(runs_.begin(), runs_.end(), [](const auto& run) { return !run->thread.Finished(); }));
}

void MinerController::Stop()
{
    stopping_ = true;
    std::list<std::unique_ptr<Run>> runs;
    {
        std::lock_guard lock(runsLock_);
        // An exchange in progress ends at once; a wait ends at its next look.
        for (const auto& run : runs_)
        {
            if (run->client)
            {
                run->client->Cancel();
            }
        }
        runs.swap(runs_);
    }
    for (const auto& run : runs)
    {
        window_.uiThread.Join(run->thread);
    }
    // Lines posted and not yet written go nowhere from now on.
    logTarget_->store(nullptr);
}

bool MinerController::StartBatch(std::unique_ptr<Run> run, std::vector<int> disabled, std::string_view failureText)
{
    state_.batchOperation = static_cast<int>(run->kind);
    // Disabled and animated before the thread exists, so that its end step
    // always comes after; undone when the thread cannot be made.
    std::vector<std::pair<int, bool>> before;
    for (const int id : disabled)
    {
        before.emplace_back(id, window_.controls.IsItemEnabled(id));
        window_.controls.EnableItem(id, false);
    }
    // The run holds the animation by its address; a run refused a thread
    // gives back its own hold only.
    const void* holder = run.get();
    window_.busy.Hold(holder);
    if (!StartThread(std::move(run)))
    {
        window_.busy.Release(holder);
        for (const auto& [id, enabled] : before)
        {
            window_.controls.EnableItem(id, enabled);
        }
        window_.controls.SetItemText(kIdUpdateAll, failureText);
        return false;
    }
    return true;
}

MinerController::Waited MinerController::WaitAnswer(protocol::AwaitedReplies::Ticket ticket)
{
    switch (protocol::WaitForAnswer(state_.awaitedReplies,
        ticket,
        state_.commandDone,
        std::chrono::milliseconds(options_.replyWaitMs),
        [this] { return stopping_.load(); }))
    {
    case protocol::AwaitResult::Answered:
        return Waited::Signalled;
    case protocol::AwaitResult::Stopped:
        return Waited::Stopped;
    case protocol::AwaitResult::TimedOut:
        break;
    }
    return Waited::TimedOut;
}

void MinerController::Log(std::string_view text)
{
    window_.log.WriteLog(LogColour::Default, text, false);
}

void MinerController::EndRun(const Run& run)
{
    if (run.log)
    {
        run.log->Flush();
    }
    if (run.kind == BatchOperation::PoolConfig)
    {
        state_.updating = 0;
        Log(PrintfText(batchtext::kPoolSummary, state_.successCount.load(), state_.failureCount.load()));
    }
    window_.busy.Release(&run);
    for (const int id : kRunControls)
    {
        window_.controls.EnableItem(id, true);
    }
}

// ---- Button handlers (UI thread) ------------------------------------------------

bool MinerController::RefuseWhileUpdating()
{
    if (state_.updating.load() != 0)
    {
        window_.boxes.MessageBox(batchtext::kUpdating, batchtext::kQuestion);
        return true;
    }
    return false;
}

void MinerController::ShowRefusal(const MinerStarted& started)
{
    const auto* refused = std::get_if<MinerRefused>(&started);
    if (refused == nullptr || refused->reason == MinerRefusal::NotStarted)
    {
        return;
    }
    if (refused->caption.empty())
    {
        window_.boxes.MessageBox(refused->text);
    }
    else
    {
        window_.boxes.MessageBox(refused->text, refused->caption);
    }
}

void MinerController::OnExecuteMinerCommand()
{
    MinerRunOptions options;
    options.command = window_.controls.ItemText(kIdMinerCommandEdit);
    options.parameter = window_.controls.ItemText(kIdMinerParameterEdit);
    ShowRefusal(
        StartMinerRun(BatchOperation::MinerCommand, window_.list.Targets(true), std::move(options), windowObserver_));
}

void MinerController::OnSetPools()
{
    if (RefuseWhileUpdating())
    {
        return;
    }
    const std::optional<PoolSlots> slots = poolDialog_.Run();
    if (!slots)
    {
        return;
    }
    poolSlots_ = *slots;
    MinerRunOptions options;
    options.pools = poolSlots_;
    ShowRefusal(
        StartMinerRun(BatchOperation::PoolConfig, window_.list.Targets(true), std::move(options), windowObserver_));
}

void MinerController::OnGetFirstMiner()
{
    ShowRefusal(StartMinerRun(BatchOperation::FirstMiner, window_.list.Targets(true), {}, windowObserver_));
}

void MinerController::OnSetTemperature()
{
    MinerRunOptions options;
    // Signed, from the leading digits; no number counts as 0.
    options.lowLimit = profile::ParseProfileInt(window_.controls.ItemText(kIdLowTemperatureEdit));
    options.highLimit = profile::ParseProfileInt(window_.controls.ItemText(kIdHighTemperatureEdit));
    ShowRefusal(
        StartMinerRun(BatchOperation::SetTemperature, window_.list.Targets(true), std::move(options), windowObserver_));
}

void MinerController::OnGetHashRate()
{
    ShowRefusal(StartMinerRun(BatchOperation::HashRate, window_.list.Targets(true), {}, windowObserver_));
}

void MinerController::OnWriteE2()
{
    MinerRunOptions options;
    options.qrCode = window_.controls.ItemText(kIdQrCodeEdit);
    options.oneDCode = window_.controls.ItemText(kIdOneDCodeEdit);
    ShowRefusal(
        StartMinerRun(BatchOperation::WriteE2, window_.list.Targets(true), std::move(options), windowObserver_));
}

void MinerController::OnReadE2()
{
    ShowRefusal(StartMinerRun(BatchOperation::ReadE2, window_.list.Targets(true), {}, windowObserver_));
}

MinerStarted MinerController::StartMinerRun(BatchOperation kind,
    std::vector<core::RowTarget> machines,
    MinerRunOptions options,
    std::shared_ptr<MinerObserver> observer)
{
    if (state_.updating.load() != 0)
    {
        return Refused(MinerRefusal::Updating, batchtext::kUpdating, batchtext::kQuestion);
    }
    std::vector<int> disabled(std::begin(kRunControls), std::end(kRunControls));
    std::string_view failureText;
    bool api = true;
    switch (kind)
    {
    case BatchOperation::MinerCommand:
    {
        const int rows = window_.list.RowCount();
        if (rows == 0)
        {
            return Refused(MinerRefusal::ListEmpty, batchtext::kListEmpty);
        }
        if (options.command.empty())
        {
            return Refused(MinerRefusal::CommandEmpty, batchtext::kCommandEmpty);
        }
        // Exact here; the run compares without regard to case.
        if (options.command == batchtext::kStaticIpCommand && rows > 1)
        {
            return Refused(MinerRefusal::SameIp, batchtext::kSameIp);
        }
        failureText = batchtext::kCommandThreadFailed;
        break;
    }
    case BatchOperation::PoolConfig:
        // Nothing may be written past the packet: a pool text that cannot fit
        // for every address is refused before anything is sent.
        if (protocol::kCommandHeaderSize + LongestPoolText(WireSlots(options.pools)) + 1 > protocol::kMaxDatagramSize)
        {
            return Refused(MinerRefusal::PoolTextTooLong, batchtext::kPoolTextTooLong);
        }
        if (window_.list.RowCount() == 0)
        {
            return Refused(MinerRefusal::ListEmpty, batchtext::kListEmpty);
        }
        state_.successCount = 0;
        state_.failureCount = 0;
        disabled
            = { kIdExecuteMinerCommand, kIdMinerCommandEdit, kIdMinerParameterEdit, kIdUpdateSelected, kIdUpdateAll };
        failureText = batchtext::kPoolThreadFailed;
        api = false;
        break;
    case BatchOperation::FirstMiner:
        failureText = batchtext::kFirstMinerThreadFailed;
        break;
    case BatchOperation::SetTemperature:
        if (options.lowLimit > options.highLimit)
        {
            return Refused(MinerRefusal::LimitsReversed, batchtext::kLimitsReversed);
        }
        failureText = batchtext::kTemperatureThreadFailed;
        break;
    case BatchOperation::HashRate:
        failureText = batchtext::kHashRateThreadFailed;
        break;
    case BatchOperation::WriteE2:
    case BatchOperation::ReadE2:
    {
        const bool write = kind == BatchOperation::WriteE2;
        if (write)
        {
            if (auto refused = CheckCodes(options))
            {
                return *refused;
            }
        }
        if (const auto refusal
            = CheckOneMachine(machines, write ? MinerRefusal::NoMachineToWrite : MinerRefusal::NoMachineToRead))
        {
            const std::string_view text = *refusal == MinerRefusal::SeveralSelected ? batchtext::kSeveralSelected
                : *refusal == MinerRefusal::SelectOne                               ? batchtext::kSelectOne
                : write                                                             ? batchtext::kNoMachineToWrite
                                                                                    : batchtext::kNoMachineToRead;
            return Refused(*refusal, text);
        }
        disabled.clear();
        failureText = batchtext::kE2ThreadFailed;
        api = false;
        break;
    }
    }
    auto run = std::make_unique<Run>();
    run->kind = kind;
    run->machines = std::move(machines);
    run->options = std::move(options);
    run->observer = std::move(observer);
    run->handle = std::make_shared<MinerRun>();
    if (api)
    {
        run->client = std::make_unique<MinerApiClient>(options_.client);
        run->log = std::make_unique<RunLog>(window_.uiThread, window_.log, logTarget_);
    }
    std::shared_ptr<MinerRun> handle = run->handle;
    if (!StartBatch(std::move(run), std::move(disabled), failureText))
    {
        return Refused(MinerRefusal::NotStarted, failureText);
    }
    return handle;
}

std::optional<MinerRefusal> MinerController::CheckOneMachine(
    std::vector<core::RowTarget>& machines, MinerRefusal emptyList)
{
    const int rows = window_.list.RowCount();
    if (rows == 0)
    {
        return emptyList;
    }
    if (machines.size() > 1)
    {
        return MinerRefusal::SeveralSelected;
    }
    if (rows > 1 && machines.empty())
    {
        return MinerRefusal::SelectOne;
    }
    if (machines.empty())
    {
        // The one row is the machine.
        window_.list.SelectAndFocusRow(0);
        machines = window_.list.Targets(true);
    }
    return std::nullopt;
}

std::optional<MinerRefused> MinerController::CheckCodes(const MinerRunOptions& options)
{
    const std::string qr = Wire(options.qrCode);
    const std::string oneD = Wire(options.oneDCode);
    if (profile::ProfileNamesEqual(qr, oneD))
    {
        return Refused(MinerRefusal::CodesEqual, batchtext::kCodesEqual);
    }
    if (qr.size() < 6)
    {
        return Refused(MinerRefusal::QrLength, batchtext::kQrLength);
    }
    if (oneD.size() < 19)
    {
        return Refused(MinerRefusal::OneDLength, batchtext::kOneDLength);
    }
    // Read at every click: the production line changes them between batches.
    const std::string qrMark = core::ReadSetting(core::settings::kQrCodeMark, state_.configPath);
    if (qr.find(Wire(qrMark)) == std::string::npos)
    {
        return Refused(MinerRefusal::QrMarkMissing, PrintfText(batchtext::kQrMarkMissing, qrMark.c_str()));
    }
    const std::string oneDMark = core::ReadSetting(core::settings::kOneDCodeMark, state_.configPath);
    if (oneD.find(Wire(oneDMark)) == std::string::npos)
    {
        return Refused(MinerRefusal::OneDMarkMissing, PrintfText(batchtext::kOneDMarkMissing, oneDMark.c_str()));
    }
    return std::nullopt;
}

std::pair<std::string, std::string> MinerController::WrittenCodes()
{
    std::lock_guard lock(runsLock_);
    return writtenCodes_;
}

// ---- The read-back (reply thread) ---------------------------------------------------

void MinerController::RegisterReplies(protocol::ReplyDispatcher& dispatcher)
{
    replyEffects_ = std::make_unique<WindowMinerReplies>(*this, state_, window_);
    RegisterMinerReplies(dispatcher, *replyEffects_);
}

void MinerController::StartReadBack(std::string_view target)
{
    std::shared_ptr<WriteHandOff> handOff;
    {
        std::lock_guard lock(runsLock_);
        // Only the write whose request the reply thread has just claimed: a
        // late, repeated or foreign confirmation starts nothing.
        for (const auto& awaited : awaitedWrites_)
        {
            if (!awaited->confirmed && awaited->wireMac == target
                && state_.awaitedReplies.StateOf(awaited->ticket) == protocol::AwaitedReplies::State::Claimed)
            {
                awaited->confirmed = true;
                handOff = awaited;
                break;
            }
        }
    }
    if (!handOff)
    {
        return;
    }
    state_.batchOperation = static_cast<int>(BatchOperation::ReadE2);
    auto run = std::make_unique<Run>();
    run->kind = BatchOperation::ReadE2;
    run->readBackOf = handOff;
    run->handle = handOff->handle;
    if (!StartThread(std::move(run)) && !stopping_)
    {
        window_.controls.SetItemText(kIdUpdateAll, batchtext::kE2ThreadFailed);
    }
}

// ---- BatchWorker (its own thread) -------------------------------------------------

// Owns the run (its kind, inputs and exchange buffer). Shares with the reply
// thread commandDone, currentTarget and the counters; reads the list and the
// edits and writes the log through window calls.
void MinerController::BatchWorker(Run& run)
{
    if (run.kind == BatchOperation::WriteE2 || run.kind == BatchOperation::ReadE2)
    {
        RunE2(run);
        return;
    }
    // No earlier signal counts. Only a run that waits for commandDone resets
    // it: an API run would take the wake-up of a pool or EEPROM run under way.
    if (run.kind == BatchOperation::PoolConfig)
    {
        state_.commandDone.Reset();
    }
    std::vector<core::RowTarget> machines = run.machines;
    const bool allMachines = machines.empty();
    if (allMachines)
    {
        if (run.kind == BatchOperation::PoolConfig)
        {
            state_.updating = 1;
        }
        if (!run.observer->ConfirmEveryMachine(ConfirmationText(run.kind)))
        {
            EndRun(run);
            return;
        }
        // The rows as they are now, read once.
        machines = window_.list.Targets(false);
    }
    for (const core::RowTarget& machine : machines)
    {
        if (stopping_)
        {
            break;
        }
        if (machine.mac.empty())
        {
            continue;
        }
        const bool goOn = run.kind == BatchOperation::PoolConfig ? VisitPools(run, machine, allMachines)
                                                                 : VisitApi(run, machine, allMachines);
        if (!goOn)
        {
            break;
        }
    }
    EndRun(run);
}

bool MinerController::VisitApi(Run& run, const core::RowTarget& machine, bool allMachines)
{
    std::string request;
    bool expectReply = true;
    const char* section = nullptr;
    switch (run.kind)
    {
    case BatchOperation::MinerCommand:
        request = CommandRequest(Wire(run.options.command), Wire(run.options.parameter));
        // Setting a static address: the machine takes its new address at once
        // and does not answer on the old one.
        expectReply = allMachines || !EqualsIgnoringCase(run.options.command, batchtext::kStaticIpCommand);
        break;
    case BatchOperation::FirstMiner:
        request = PoolsRequest();
        section = "POOLS";
        break;
    case BatchOperation::SetTemperature:
        request = TemperatureRequest(run.options.lowLimit, run.options.highLimit);
        break;
    default:
        request = SummaryRequest();
        section = "SUMMARY";
        break;
    }
    const Exchanged exchanged = run.client->Exchange(machine.ip, request, expectReply);
    if (exchanged.result != ExchangeResult::Ok)
    {
        const std::string failure = ExchangeFailureText(exchanged.result, exchanged.error, machine.ip, allMachines);
        if (!failure.empty())
        {
            run.log->Add(failure);
        }
        Report(run, machine, false, "no exchange", failure);
        return true;
    }
    if (!expectReply)
    {
        Report(run, machine, true, "sent", {});
        return true;
    }
    if (section == nullptr)
    {
        const std::string reply = text::DeviceTextToUtf8(exchanged.reply);
        run.log->Add(reply + "\r\n");
        // The log shows the reply as it came; the result says whether the
        // mining software took the command.
        if (const auto error = ErrorStatus(exchanged.reply))
        {
            Report(run, machine, false, "error status", *error);
        }
        else
        {
            Report(run, machine, true, "answered", reply);
        }
        return true;
    }
    const ParsedSection parsed = ParseSection(exchanged.reply, section);
    if (parsed.result != SectionResult::Ok)
    {
        run.log->Add(SectionFailureText(parsed.result));
        Report(run, machine, false, "unusable reply", SectionFailureText(parsed.result));
        if (parsed.result == SectionResult::NoStatus)
        {
            window_.alarm.Play();
        }
        return true;
    }
    std::string lines;
    if (run.kind == BatchOperation::HashRate)
    {
        lines = ReadHashRate(parsed.section, machine.ip);
    }
    else
    {
        lines = allMachines ? ReadFirstMinerAll(parsed.section, machine.ip)
                            : ReadFirstMinerSelected(parsed.section, machine.ip);
    }
    if (!lines.empty())
    {
        run.log->Add(lines);
    }
    Report(run, machine, true, "answered", lines);
    return true;
}

void MinerController::Report(
    const Run& run, const core::RowTarget& machine, bool ok, std::string_view outcome, std::string_view detail)
{
    while (!detail.empty() && (detail.back() == '\n' || detail.back() == '\r'))
    {
        detail.remove_suffix(1);
    }
    const core::MachineResult result { machine.mac, machine.ip, ok, std::string(outcome), std::string(detail) };
    if (results_ != nullptr)
    {
        results_->OnResult(result);
    }
    if (run.observer)
    {
        run.observer->OnResult(result);
    }
}

bool MinerController::VisitPools(Run& run, const core::RowTarget& machine, bool allMachines)
{
    Log(PrintfText(batchtext::kConfiguringPools, machine.ip.c_str(), machine.mac.c_str()));
    if (!allMachines)
    {
        state_.updating = 1;
    }
    const std::string poolText = BuildPoolText(run.options.pools, machine.ip);
    std::vector<std::uint8_t> packet(protocol::kMaxDatagramSize);
    const std::string wireMac = Wire(machine.mac);
    const std::size_t length = protocol::BuildPoolConfig(packet, wireMac, Wire(poolText));
    Log(poolText + "\r\n");
    // Awaited from before the send: the answer may come at once.
    const auto ticket = state_.awaitedReplies.Await(protocol::CommandAnswer(protocol::CMD_PoolConfig), wireMac);
    if (length == 0 || !state_.SendToMachines(std::span(packet).first(length)))
    {
        state_.awaitedReplies.Forget(ticket);
        Log(batchtext::kPoolSendFailed);
        ++state_.failureCount;
        return true;
    }
    state_.currentTarget.Set(wireMac);
    switch (WaitAnswer(ticket))
    {
    case Waited::Signalled:
        // The reply thread has logged and counted the answer.
        return true;
    case Waited::Stopped:
        return false;
    case Waited::TimedOut:
        break;
    }
    // Not counted; the machines after it are not configured.
    Log(allMachines ? PrintfText(batchtext::kPoolTimedOutAll, machine.ip.c_str(), machine.mac.c_str())
                    : PrintfText(batchtext::kPoolTimedOutSelected, machine.ip.c_str()));
    return false;
}

void MinerController::RunE2(Run& run)
{
    const bool write = run.kind == BatchOperation::WriteE2;
    core::RowTarget machine;
    if (run.readBackOf)
    {
        // Until the write run has ended this run neither resets commandDone
        // nor asks.
        while (run.readBackOf->handedOver.Wait(kStopPollMs) != sync::WaitResult::Signalled)
        {
            if (stopping_)
            {
                return;
            }
        }
        window_.busy.Hold(&run);
        machine.ip = run.readBackOf->ip;
        machine.mac = run.readBackOf->mac;
    }
    else
    {
        if (!run.machines.empty())
        {
            machine = run.machines.front();
        }
    }
    state_.commandDone.Reset();
    if (machine.mac.empty())
    {
        EndRun(run);
        return;
    }
    const std::string wireMac = Wire(machine.mac);
    protocol::E2Block block;
    if (write)
    {
        // The codes as checked at the start; the confirmation's log line shows them.
        const E2Write built = BuildE2Write(Wire(run.options.qrCode), Wire(run.options.oneDCode));
        {
            std::lock_guard lock(runsLock_);
            writtenCodes_ = { run.options.qrCode, run.options.oneDCode };
        }
        for (const std::string& line : built.logLines)
        {
            if (!line.empty())
            {
                Log(text::Cp936ToUtf8(line));
            }
        }
        block = built.block;
    }
    else
    {
        block.length = protocol::kE2RecordSize;
    }
    std::vector<std::uint8_t> packet(protocol::kMaxDatagramSize);
    const std::size_t length
        = protocol::BuildE2Request(packet, wireMac, write ? protocol::CMD_WriteE2 : protocol::CMD_ReadE2, block);

    // Awaited from before the send: a confirmation may come at once.
    const auto ticket = state_.awaitedReplies.Await(
        protocol::CommandAnswer(write ? protocol::CMD_WriteE2 : protocol::CMD_ReadE2), wireMac);
    std::shared_ptr<WriteHandOff> handOff;
    if (write)
    {
        handOff = std::make_shared<WriteHandOff>();
        handOff->ip = machine.ip;
        handOff->mac = machine.mac;
        handOff->wireMac = wireMac;
        handOff->handle = run.handle;
        handOff->ticket = ticket;
        std::lock_guard lock(runsLock_);
        awaitedWrites_.push_back(handOff);
    }

    const bool sent = length != 0 && state_.SendToMachines(std::span(packet).first(length));
    if (!sent)
    {
        state_.awaitedReplies.Forget(ticket);
        window_.log.WriteLog(LogColour::Default, batchtext::kE2SendFailed, true);
    }
    else
    {
        state_.currentTarget.Set(wireMac);
        // Whether the answer came or not is settled here: once the wait is
        // over no answer can claim the request, and one that did has started
        // its read-back by then.
        if (WaitAnswer(ticket) == Waited::TimedOut)
        {
            window_.log.WriteLog(LogColour::Red,
                PrintfText(write ? batchtext::kE2WriteTimedOut : batchtext::kE2ReadTimedOut, machine.ip.c_str()),
                true);
        }
    }
    if (handOff)
    {
        std::lock_guard lock(runsLock_);
        std::erase(awaitedWrites_, handOff);
    }
    EndRun(run);
    if (handOff)
    {
        handOff->handedOver.Set();
    }
}

} // namespace quellis::miner

#include "farm/farm_view.h"

#include "core/settings.h"

#include <algorithm>
#include <fstream>

namespace quellis::farm
{

namespace
{

// Verdicts waiting for the UI thread at most: one per machine of a full list.
constexpr std::size_t kMostQueued = static_cast<std::size_t>(kInventoryCeiling);

} // namespace

FarmViewSettings ReadFarmViewSettings(const std::filesystem::path& config)
{
    FarmViewSettings settings;
    settings.on = core::ReadSetting(core::settings::kFarmView, config) == 1;
    // A period under a second would poll a farm harder than any operator
    // needs; more than 4,096 connections would cost descriptors for nothing.
    settings.poller.period
        = std::chrono::seconds(std::clamp(core::ReadSetting(core::settings::kFarmPeriod, config), 1, 3600));
    settings.poller.concurrency = std::clamp(core::ReadSetting(core::settings::kFarmConcurrency, config), 1, 4096);
    settings.poller.grace = std::clamp(core::ReadSetting(core::settings::kFarmGrace, config), 1, 100);
    settings.poller.port
        = static_cast<std::uint16_t>(std::clamp(core::ReadSetting(core::settings::kFarmApiPort, config), 1, 65535));
    return settings;
}

FarmView::FarmView(FarmViewOptions options, Sinks sinks)
    : options_(std::move(options))
    , sinks_(std::move(sinks))
    , model_(options_.ceiling)
{
}

FarmView::~FarmView()
{
    Stop();
}

OpenResult FarmView::Start()
{
    const OpenResult opened = inventory_.Open(options_.inventoryPath,
        [this](const std::string& line)
        {
            if (sinks_.log)
            {
                sinks_.log(line + "\r\n");
            }
        });
    model_.Load(inventory_.Machines());
    writer_ = std::make_unique<InventoryWriter>(
        inventory_,
        [this](const std::string& line)
        {
            // The writer's thread: the log sink is the window's, which takes
            // lines from any thread.
            if (sinks_.log)
            {
                sinks_.log(line + "\r\n");
            }
        },
        options_.writeInterval);
    if (inventory_.IsOpen())
    {
        [[maybe_unused]] const bool started = writer_->Start();
    }
    // The view shows each machine's pool: its poller reads "pools" as well.
    poller::PollerOptions pollerOptions = options_.poller;
    pollerOptions.readPools = true;
    poller_ = std::make_unique<poller::MachinePoller>(
        pollerOptions, [this](const poller::StateEvent& event) { Queue(event); });
    poller_->Update(model_.PollTargets());
    if (!poller_->Start() && sinks_.log)
    {
        sinks_.log("the farm poller did not start\r\n");
    }
    return opened;
}

void FarmView::Stop()
{
    if (poller_)
    {
        poller_->Stop();
    }
    if (writer_)
    {
        writer_->Stop();
        if (inventory_.IsOpen())
        {
            // What the thread could not write (or, without a thread, all).
            [[maybe_unused]] const bool written = writer_->Flush();
        }
    }
    inventory_.Close();
}

void FarmView::Queue(const poller::StateEvent& event)
{
    const std::lock_guard guard(queueLock_);
    if (queue_.size() >= kMostQueued)
    {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(kMostQueued / 2));
        dropped_ += kMostQueued / 2;
    }
    queue_.push_back(event);
}

void FarmView::Report(const FarmEvent& event)
{
    if (sinks_.log)
    {
        sinks_.log(EventLine(event));
    }
    if (writer_)
    {
        writer_->Changed(ToChange(event));
    }
    if (event.alarm && sinks_.alarm)
    {
        sinks_.alarm();
    }
}

void FarmView::BeginSearch()
{
    model_.BeginSearch();
}

std::optional<std::size_t> FarmView::ApplyReply(const protocol::DeviceRecord& record, int language, std::int64_t now)
{
    auto placed = model_.ApplyReply(record, language, now);
    if (!placed)
    {
        return std::nullopt;
    }
    if (writer_)
    {
        writer_->Seen(placed->record);
    }
    if (placed->event)
    {
        Report(*placed->event);
    }
    return placed->row;
}

std::vector<std::size_t> FarmView::EndSearch(std::int64_t now)
{
    std::vector<std::size_t> changed;
    for (const FarmEvent& event : model_.EndSearch(now))
    {
        Report(event);
        changed.push_back(*model_.Find(event.mac));
    }
    if (poller_)
    {
        // New machines join the poller; known ones get their new addresses.
        poller_->Update(model_.PollTargets());
    }
    return changed;
}

std::vector<std::size_t> FarmView::Drain(std::chrono::steady_clock::time_point now)
{
    std::vector<poller::StateEvent> events;
    {
        const std::lock_guard guard(queueLock_);
        events.swap(queue_);
    }
    std::vector<std::size_t> changed;
    for (const poller::StateEvent& event : events)
    {
        if (const auto applied = model_.ApplyPollEvent(event))
        {
            Report(*applied);
            changed.push_back(*model_.Find(applied->mac));
        }
    }
    if (poller_ && now - lastRound_ >= options_.poller.period)
    {
        lastRound_ = now;
        const std::vector<std::size_t> rates = model_.ApplyRound(poller_->Snapshot().machines);
        changed.insert(changed.end(), rates.begin(), rates.end());
    }
    return changed;
}

std::size_t FarmView::Remove(const std::vector<std::string>& macs)
{
    const std::size_t removed = model_.Remove(macs);
    if (writer_)
    {
        for (const std::string& mac : macs)
        {
            writer_->Removed(mac);
        }
    }
    return removed;
}

bool FarmView::Export(
    const std::filesystem::path& path, const std::vector<std::size_t>& order, std::string* error) const
{
    const std::string text = FarmCsv(model_.Rows(), order);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    if (!file)
    {
        if (error != nullptr)
        {
            *error = "cannot write " + path.string();
        }
        return false;
    }
    return true;
}

} // namespace quellis::farm

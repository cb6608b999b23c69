#pragma once

#include "farm/farm_model.h"
#include "farm/inventory.h"
#include "farm/inventory_writer.h"
#include "poller/machine_poller.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The farm view's work behind the window, without it: the list model started
// from the inventory, the searches and the poller's verdicts applied to it,
// each change of state logged, written to the inventory and, for the first
// fall of an outage, the alarm; the export. The window calls it on its UI
// thread and shows the model's rows; the poller's thread only queues its
// verdicts, which the UI thread takes with Drain.

namespace quellis::farm
{

struct FarmViewOptions
{
    std::filesystem::path inventoryPath = std::string(kInventoryFile);
    poller::PollerOptions poller;
    std::chrono::milliseconds writeInterval { 2000 };
    std::size_t ceiling = static_cast<std::size_t>(kInventoryCeiling);
};

// [VIEW] of config.ini: whether the view is on, and the poller's period,
// concurrency and grace, each held within sane bounds.
struct FarmViewSettings
{
    bool on = false;
    poller::PollerOptions poller;
};
[[nodiscard]] FarmViewSettings ReadFarmViewSettings(const std::filesystem::path& config);

class FarmView
{
public:
    struct Sinks
    {
        std::function<void(const std::string& line)> log; // a line for the log pane and log.txt
        std::function<void()> alarm;
    };

    FarmView(FarmViewOptions options, Sinks sinks);
    ~FarmView();
    FarmView(const FarmView&) = delete;
    FarmView& operator=(const FarmView&) = delete;

    // Opens the inventory (an unusable one is put aside and logged), fills
    // the list from it and starts the writer and the poller.
    OpenResult Start();
    // Stops the poller, writes what is pending and closes the inventory.
    void Stop();

    // ---- UI thread ----
    void BeginSearch();
    std::optional<std::size_t> ApplyReply(const protocol::DeviceRecord& record, int language, std::int64_t now);
    // Gives the rows whose state changed.
    std::vector<std::size_t> EndSearch(std::int64_t now);
    // Applies the poller's queued verdicts and, once a period, its hash
    // rates; gives the rows that changed.
    std::vector<std::size_t> Drain(std::chrono::steady_clock::time_point now);
    std::size_t Remove(const std::vector<std::string>& macs);
    // The rows in `order` as CSV, into `path`; false with a reason.
    bool Export(const std::filesystem::path& path, const std::vector<std::size_t>& order, std::string* error) const;

    [[nodiscard]] const FarmModel& Model() const { return model_; }

private:
    void Report(const FarmEvent& event);
    void Queue(const poller::StateEvent& event);

    const FarmViewOptions options_;
    const Sinks sinks_;
    FarmModel model_;
    Inventory inventory_;
    std::unique_ptr<InventoryWriter> writer_;
    std::unique_ptr<poller::MachinePoller> poller_;
    std::chrono::steady_clock::time_point lastRound_ {};

    // The poller's verdicts on their way to the UI thread. Bounded: past the
    // bound only the newest count (each machine's latest state wins).
    std::mutex queueLock_;
    std::vector<poller::StateEvent> queue_;
    std::uint64_t dropped_ = 0;
};

} // namespace quellis::farm

#pragma once

#include "core/window.h"
#include "discovery/device_table.h"
#include "discovery/discovery_controller.h"
#include "discovery/list_rows_dlg.h"
#include "protocol/device_packet.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quellis::ui
{
class ListViewControl;
}

namespace quellis::discovery
{

// The device list of the main window: one row per machine, keyed by its MAC
// text, kMaxDeviceRows at most. The reply thread hands it the records of a burst without waiting; the
// UI thread applies them in slices short enough to keep the window
// responsive, each slice's new rows in one insertion. Commands read it from
// any thread through window calls.
class DeviceList : public ListRows, public DeviceRecordSink
{
public:
    // language() is read at each record, so rows refreshed after a switch of
    // language show the new units.
    DeviceList(ui::ListViewControl* list, std::function<int()> language);
    ~DeviceList() override;
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    // ---- DeviceRecordSink ----
    void Enqueue(std::vector<protocol::DeviceRecord> records) override;
    void Flush() override;
    void Clear() override;
    void SortByColumn(int column) override;
    void SetAppliedHandler(AppliedHandler handler) override;

    // UI thread: adds or refreshes the rows of the records in order at once,
    // and returns the version lines of the rows added.
    std::string Apply(const std::vector<protocol::DeviceRecord>& records);
    [[nodiscard]] int RowOf(const std::string& mac) const;
    // Teardown, UI thread, after the reply thread has ended: applies what it
    // handed over, while the window is whole; nothing is applied afterwards.
    void FinishHandOff();

private:
    class Slice;

    void ApplyPending(bool all);
    // A slice for records that just came: at once, or when the frame after
    // the last slice begins. `more` (the rest of a burst): at once.
    bool PostSlice(bool more);
    void RebuildIndex();

    std::function<int()> language_;
    MacIndex index_;
    SortState sortState_;
    AppliedHandler applied_;
    // The list is full and has said so (UI thread); cleared with the rows.
    bool ceilingLogged_ = false;

    std::mutex pendingLock_;
    std::vector<protocol::DeviceRecord> pending_;
    std::size_t pendingFirst_ = 0;
    bool slicePosted_ = false;
    // When the last slice was applied (UI thread).
    std::chrono::steady_clock::time_point lastSlice_ {};
    // Posted slices find the list through this; cleared when it goes.
    std::shared_ptr<std::atomic<DeviceList*>> self_;
};

} // namespace quellis::discovery

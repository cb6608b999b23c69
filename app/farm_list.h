#pragma once

#include "core/window.h"
#include "discovery/discovery_controller.h"
#include "discovery/list_rows_dlg.h"
#include "farm/farm_view.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quellis::ui
{
class ListViewControl;
}

namespace quellis::app
{

// The device list of the farm view ([VIEW] FARM=1): the same list control
// and the same reading by the commands as the plain device list, over the
// farm view's model: rows kept across searches with their running numbers,
// four more columns, down and not-answering rows coloured and worded, the
// poller's verdicts applied on a timer. UI thread, but for the reading of
// core::DeviceListView (window calls) and Enqueue (the reply thread).
class FarmList : public QObject, public discovery::ListRows, public discovery::DeviceRecordSink
{
public:
    FarmList(ui::ListViewControl* list,
        std::function<int()> language,
        farm::FarmViewOptions options,
        farm::FarmView::Sinks sinks,
        std::chrono::milliseconds searchWait);
    ~FarmList() override;

    // Adds the four columns after the existing ones, fills the list from the
    // inventory and starts the poller.
    void Start();
    void Stop();
    void SetHeaders(int language);
    void SetStatusHandler(std::function<void(const std::string&)> handler);
    [[nodiscard]] std::string StatusText() const;

    // The context menu's and Ctrl+S's work.
    void RemoveSelected();
    // The list as shown into a CSV file of the current directory; its name,
    // or nothing (logged) when it could not be written.
    std::optional<std::filesystem::path> Export();
    // The poller's queued verdicts onto the list (the timer's work; tests call it).
    void Tick();

    [[nodiscard]] const farm::FarmView& View() const { return view_; }

    // ---- discovery::DeviceRecordSink ----
    void Enqueue(std::vector<protocol::DeviceRecord> records) override;
    void Flush() override;
    void Clear() override;
    void SortByColumn(int column) override;
    void SetAppliedHandler(AppliedHandler handler) override;
    // Teardown: applies what the reply thread handed over.
    void FinishHandOff();

private:
    // Applies what the reply thread handed over in slices short enough for
    // the window to stay responsive (all at once when `all`), each slice's
    // new rows in one insertion.
    void ApplyPending(bool all);
    bool PostApply();
    [[nodiscard]] std::vector<QString> Cells(std::size_t modelRow) const;
    void Show(std::size_t modelRow);
    void Rebuild();
    void IndexRows();
    void UpdateStatus();
    // Shows the rows a round changed, a slice at a time.
    void ShowChanged();

    std::function<int()> language_;
    farm::FarmView view_;
    const std::chrono::milliseconds searchWait_;
    AppliedHandler applied_;
    std::function<void(const std::string&)> status_;
    QTimer drainTimer_;
    QTimer searchEnd_;
    // The list row of each model row (UI thread).
    std::vector<int> listRowOf_;
    // The rows a round changed, not yet shown (UI thread).
    std::vector<std::size_t> toShow_;
    std::size_t toShowFirst_ = 0;
    bool showPosted_ = false;
    int sortColumn_ = -1;
    bool sortAscending_ = true;

    std::mutex pendingLock_;
    std::vector<protocol::DeviceRecord> pending_;
    bool posted_ = false;
    // Taken from pending_, not yet applied (UI thread).
    std::vector<protocol::DeviceRecord> work_;
    std::size_t workFirst_ = 0;
    // Posted work finds the list through this; cleared when it goes.
    std::shared_ptr<std::atomic<FarmList*>> self_;
};

// A log sink for lines from any thread that the UI thread writes with
// `write` in pieces of whole lines, a piece per turn of its event loop.
[[nodiscard]] std::function<void(const std::string&)> BatchedLogSink(std::function<void(const std::string&)> write);

} // namespace quellis::app

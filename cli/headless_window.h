#pragma once

#include "cli/event_loop.h"
#include "core/plain_controls.h"
#include "core/window.h"
#include "discovery/device_table.h"
#include "discovery/discovery_controller.h"

#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// The main window without a screen, for the command line: the device list is
// a table of rows in memory, the controls are values by id, the log and the
// message boxes go to the caller's functions, timers, posted messages and
// socket notifications run on the event loop. Every part may be called from
// any thread.

namespace quellis::cli
{

class HeadlessWindow : public core::DeviceListView,
                       public core::LogSink,
                       public core::PlainControls,
                       public core::MessageBoxes,
                       public core::WindowMessages,
                       public core::BusyAnimation,
                       public core::UiThread,
                       public core::Alarm,
                       public discovery::DeviceRecordSink
{
public:
    using Cells = std::array<std::string, 9>;
    using LogFunction = std::function<void(core::LogColour colour, std::string_view text)>;
    // Returns the answer (core::kAnswerYes ...).
    using BoxFunction = std::function<int(std::string_view text, std::string_view caption, unsigned type)>;

    HeadlessWindow(EventLoop& loop, std::function<int()> language);

    [[nodiscard]] core::Window& Window() { return window_; }
    // The log may be written from the reply and worker threads while the
    // command sets its function: both hold logLock_.
    void SetLogFunction(LogFunction log)
    {
        const std::lock_guard guard(logLock_);
        log_ = std::move(log);
    }
    void SetBoxFunction(BoxFunction box) { box_ = std::move(box); }
    void SetAlarmFunction(std::function<void()> alarm) { alarm_ = std::move(alarm); }
    void SetOpenFileAnswer(std::optional<std::string> path) { openFile_ = std::move(path); }

    [[nodiscard]] std::vector<Cells> Rows() const;
    // The run time a row's machine reported, in seconds; -1 while unknown.
    [[nodiscard]] std::int32_t RunSeconds(int row) const;
    // Rows the command works on, as the operator's selection.
    void Select(const std::set<int>& rows);
    // A row of the caller's (a machine named on the command line that no
    // search has found); returns its index.
    int AddRow(const Cells& cells);

    // ---- core::DeviceListView ----
    int RowCount() override;
    std::vector<int> SelectedRows() override;
    std::string CellText(int row, int column) override;
    std::vector<core::RowTarget> Targets(bool selectedOnly) override;
    void SelectAndFocusRow(int row) override;
    void FocusList() override { }
    // ---- core::LogSink ----
    void WriteLog(core::LogColour colour, std::string_view text, bool toLogFile) override;
    // ---- core::MessageBoxes ----
    int MessageBox(std::string_view text, std::string_view caption, unsigned type) override;
    std::optional<std::string> OpenFile(std::string_view title, std::string_view filter) override;
    // ---- core::WindowMessages ----
    void SetTimer(int id, int milliseconds) override { loop_.SetTimer(id, milliseconds); }
    void KillTimer(int id) override { loop_.KillTimer(id); }
    void PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        loop_.PostMessage(message, wParam, lParam);
    }
    bool SelectSocket(int socket, std::uint32_t message, std::intptr_t events) override;
    void ReenableSocketEvent(int socket, std::intptr_t event) override;
    // ---- core::BusyAnimation ----
    void Start() override { }
    void Stop() override { }
    // ---- core::UiThread ----
    bool IsCurrent() override { return loop_.IsCurrent(); }
    bool Post(std::function<void()> fn) override { return loop_.Post(std::move(fn)); }
    void Join(sync::Thread& thread) override { loop_.Join(thread); }
    // ---- core::Alarm ----
    void Play() override;
    // ---- discovery::DeviceRecordSink: records apply at once ----
    void Enqueue(std::vector<protocol::DeviceRecord> records) override;
    void Flush() override { }
    void Clear() override;
    void SortByColumn(int) override { }
    void SetAppliedHandler(AppliedHandler handler) override;

private:
    EventLoop& loop_;
    std::function<int()> language_;
    std::mutex logLock_;
    LogFunction log_;
    BoxFunction box_;
    std::function<void()> alarm_;
    std::optional<std::string> openFile_;
    AppliedHandler applied_;

    mutable std::mutex lock_;
    std::vector<Cells> rows_;
    std::vector<std::int32_t> runSeconds_;
    std::set<int> selected_;
    discovery::MacIndex index_;
    // The rows reached the ceiling and the log said so; cleared with the rows.
    bool ceilingLogged_ = false;
    core::Window window_;
};

} // namespace quellis::cli

#pragma once

#include "core/plain_controls.h"
#include "core/window.h"

#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

// The main window as a controller sees it, faked without Qt for controller
// tests: a device list of plain rows, the log as lines, controls as values by
// id, message boxes recorded and answered from a queue, timers and posted
// messages recorded, the busy animation as a flag. Every part may be called
// from any thread. The thread that made it counts as the UI thread; posted
// work runs when the test calls RunPosted. With a message handler set, it is
// also a small message loop: RunPosted delivers the posted messages and the
// notifications of the selected sockets (each reported once until re-enabled,
// as the dialog's are) to the handler.

namespace quellis::test
{

class FakeWindow : public core::DeviceListView,
                   public core::LogSink,
                   public core::PlainControls,
                   public core::MessageBoxes,
                   public core::WindowMessages,
                   public core::BusyAnimation,
                   public core::UiThread,
                   public core::Alarm
{
public:
    FakeWindow();

    [[nodiscard]] core::Window& Window() { return window_; }

    // ---- The device list ----
    using Cells = std::array<std::string, 9>;
    // A row with its address (column 1) and MAC (column 4); returns its index.
    int AddRow(const std::string& ip, const std::string& mac);
    int AddRow(const Cells& cells);
    void Select(const std::vector<int>& rows);
    [[nodiscard]] std::vector<Cells> Rows() const;
    [[nodiscard]] int FocusedRow() const;

    // ---- What the controller did ----
    struct LogLine
    {
        core::LogColour colour = core::LogColour::Default;
        std::string text;
        bool toFile = false;
    };
    [[nodiscard]] std::vector<LogLine> LogLines() const;
    [[nodiscard]] std::string LogText() const;
    struct Box
    {
        std::string text;
        std::string caption;
        unsigned type = 0;
    };
    [[nodiscard]] std::vector<Box> Boxes() const;
    // Answers for the next boxes in order; without one, the safe button.
    void AnswerNextBox(int answer);
    void AnswerNextOpenFile(std::optional<std::string> path);
    [[nodiscard]] std::set<int> Timers() const;
    [[nodiscard]] std::optional<int> TimerPeriod(int id) const;
    struct Posted
    {
        std::uint32_t message = 0;
        std::uintptr_t wParam = 0;
        std::intptr_t lParam = 0;
    };
    [[nodiscard]] std::vector<Posted> PostedMessages() const;
    [[nodiscard]] bool Busy() const;
    [[nodiscard]] int BusyStarts() const;
    // Runs the work posted to the UI thread so far, then delivers messages
    // and socket notifications when a handler is set; returns how much ran.
    int RunPosted();
    using MessageHandler = std::function<void(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)>;
    void SetMessageHandler(MessageHandler handler);
    // Waits (up to timeoutMs) until done() holds, re-testing after every change.
    bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000);

    // ---- core::DeviceListView ----
    int RowCount() override;
    std::vector<int> SelectedRows() override;
    std::string CellText(int row, int column) override;
    std::vector<core::RowTarget> Targets(bool selectedOnly) override;
    void SelectAndFocusRow(int row) override;
    void FocusList() override;
    // ---- core::LogSink ----
    void WriteLog(core::LogColour colour, std::string_view text, bool toLogFile) override;
    // ---- core::MessageBoxes ----
    int MessageBox(std::string_view text, std::string_view caption, unsigned type) override;
    std::optional<std::string> OpenFile(std::string_view title, std::string_view filter) override;
    // ---- core::WindowMessages ----
    void SetTimer(int id, int milliseconds) override;
    void KillTimer(int id) override;
    void PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
    bool SelectSocket(int socket, std::uint32_t message, std::intptr_t events) override;
    void ReenableSocketEvent(int socket, std::intptr_t event) override;
    // ---- core::Alarm ----
    void Play() override;
    [[nodiscard]] int AlarmPlays() const;
    // Sockets watched (socket -> events) and events re-armed.
    [[nodiscard]] std::map<int, std::intptr_t> SelectedSockets() const;
    // ---- core::BusyAnimation ----
    void Start() override;
    void Stop() override;
    // ---- core::UiThread ----
    bool IsCurrent() override;
    bool Post(std::function<void()> fn) override;
    void Join(sync::Thread& thread) override;

    // The list's id for focus, as the dialog's.
    static constexpr int kListFocus = 1000;

private:
    struct Watch
    {
        std::uint32_t message = 0;
        std::intptr_t events = 0;
        bool armed = true;
        bool listening = false;
    };

    void Changed();
    void OnControlChanged() override { Changed(); }
    int DeliverMessages();

    mutable std::mutex lock_;
    std::condition_variable changed_;
    const std::thread::id uiThread_;
    std::vector<Cells> rows_;
    std::set<int> selected_;
    int focusedRow_ = -1;
    std::vector<LogLine> log_;
    std::vector<Box> boxes_;
    std::deque<int> answers_;
    std::deque<std::optional<std::string>> fileAnswers_;
    std::map<int, int> timers_;
    std::vector<Posted> posted_;
    std::deque<std::function<void()>> postedWork_;
    std::map<int, std::intptr_t> selectedSockets_;
    std::map<int, Watch> watched_;
    std::deque<Posted> undelivered_;
    MessageHandler handler_;
    int alarmPlays_ = 0;
    bool busy_ = false;
    int busyStarts_ = 0;
    core::Window window_;
};

} // namespace quellis::test

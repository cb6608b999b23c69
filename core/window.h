#pragma once

#include "core/log_colour.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quellis::sync
{
class Thread;
}

// What a front end gives the controllers: the main window as the feature code
// uses it, in a few narrow interfaces. The dialog implements them with window
// calls (so every one may be called from any thread; off the UI thread it is
// carried out by the UI thread while the caller waits), a unit test fakes
// them, and the command line implements them without any window.

namespace quellis::core
{

// Message-box buttons, icons and answers, numbered as the system's.
inline constexpr unsigned kMbOk = 0x00;
inline constexpr unsigned kMbOkCancel = 0x01;
inline constexpr unsigned kMbYesNo = 0x04;
inline constexpr unsigned kMbIconError = 0x10;
inline constexpr unsigned kMbIconQuestion = 0x20;
inline constexpr unsigned kMbIconWarning = 0x30;
inline constexpr unsigned kMbIconInformation = 0x40;
inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerCancel = 2;
inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;

// Check states of a button.
inline constexpr int kUnchecked = 0;
inline constexpr int kChecked = 1;

// One row of the device list as a command addresses it.
struct RowTarget
{
    int row = -1;
    std::string ip; // column 1
    std::string mac; // column 4
};

// The device list as the commands read it.
class DeviceListView
{
public:
    virtual ~DeviceListView() = default;
    [[nodiscard]] virtual int RowCount() = 0;
    // The selected rows in list order (the next-selected-row walk from the top).
    [[nodiscard]] virtual std::vector<int> SelectedRows() = 0;
    [[nodiscard]] virtual std::string CellText(int row, int column) = 0;
    // Address and MAC of every row, or of the selected rows only, read in one
    // go: a worker walking ten thousand rows costs one window call, not two
    // per row.
    [[nodiscard]] virtual std::vector<RowTarget> Targets(bool selectedOnly) = 0;
    // Selects and focuses the row and gives the list the keyboard focus.
    virtual void SelectAndFocusRow(int row) = 0;
    virtual void FocusList() = 0;
};

// The log pane and log.txt: the text unchanged, no time stamp, no line break.
class LogSink
{
public:
    virtual ~LogSink() = default;
    virtual void WriteLog(LogColour colour, std::string_view text, bool toLogFile) = 0;
};

// Controls of one dialog, by id.
class Controls
{
public:
    virtual ~Controls() = default;
    virtual void EnableItem(int id, bool enable) = 0;
    [[nodiscard]] virtual bool IsItemEnabled(int id) = 0;
    virtual void SetItemText(int id, std::string_view text) = 0;
    [[nodiscard]] virtual std::string ItemText(int id) = 0;
    virtual void CheckButton(int id, int state) = 0;
    [[nodiscard]] virtual int IsButtonChecked(int id) = 0;
    // An icon resource into an icon static, at the system's icon size.
    virtual void SetItemIcon(int id, int iconId) = 0;
    virtual void SetFocusItem(int id) = 0;
};

// Message boxes owned by the main window, and the open-file dialog. The
// caller waits until the box is closed.
class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;
    // An empty caption gives the application name.
    virtual int MessageBox(std::string_view text, std::string_view caption = {}, unsigned type = kMbOk) = 0;
    // The filter in the classic form "description|patterns|...||"; the chosen
    // existing file's full path, or nothing when cancelled.
    [[nodiscard]] virtual std::optional<std::string> OpenFile(std::string_view title, std::string_view filter) = 0;
};

// Socket events delivered as window messages: wParam the socket, lParam the
// event in the low word and an error code in the high word.
inline constexpr std::intptr_t kFdRead = 0x01;
inline constexpr std::intptr_t kFdAccept = 0x08;
inline constexpr std::intptr_t kFdClose = 0x20;

// Window timers, posted messages and socket notifications of the main window;
// the router hands their expiry and delivery back to the controllers on the
// UI thread.
class WindowMessages
{
public:
    virtual ~WindowMessages() = default;
    virtual void SetTimer(int id, int milliseconds) = 0;
    virtual void KillTimer(int id) = 0;
    // Queued; safe from any thread at any time, also during teardown.
    virtual void PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
    // UI thread: the socket's events (kFd...) as `message`; events 0 stops
    // them. An event is reported once, and again only after the call that
    // re-arms it (an accept for kFdAccept, a receive for kFdRead) and
    // ReenableSocketEvent. False when the socket cannot be watched.
    virtual bool SelectSocket(int socket, std::uint32_t message, std::intptr_t events) = 0;
    virtual void ReenableSocketEvent(int socket, std::intptr_t event) = 0;
};

// The alarm sound; a play request while it sounds is ignored. Any thread.
class Alarm
{
public:
    virtual ~Alarm() = default;
    virtual void Play() = 0;
};

// The runs of which one goes at a time; a run of which several may go at
// once holds the animation by its own address.
enum class BusyRun : std::uintptr_t
{
    LedTest = 1,
    SerialTest,
    SystemCommand,
    Update,
};

// The busy animation of the main window. Start and Stop drive the picture.
// Runs hold it instead: it moves while any run holds it, so a run that ends,
// or whose thread does not start, stops no other run's animation. A run holds
// at most once, and gives back only what it holds. Any thread.
class BusyAnimation
{
public:
    virtual ~BusyAnimation() = default;
    virtual void Start() = 0;
    virtual void Stop() = 0;

    void Hold(BusyRun run) { Take(static_cast<std::uintptr_t>(run)); }
    void Release(BusyRun run) { Give(static_cast<std::uintptr_t>(run)); }
    void Hold(const void* run) { Take(reinterpret_cast<std::uintptr_t>(run)); }
    void Release(const void* run) { Give(reinterpret_cast<std::uintptr_t>(run)); }

private:
    // Start is called for every hold (a start while it moves changes
    // nothing), Stop when the last holder gives back.
    void Take(std::uintptr_t holder)
    {
        std::lock_guard lock(holdLock_);
        if (std::find(holders_.begin(), holders_.end(), holder) == holders_.end())
        {
            holders_.push_back(holder);
        }
        Start();
    }
    void Give(std::uintptr_t holder)
    {
        std::lock_guard lock(holdLock_);
        const auto held = std::find(holders_.begin(), holders_.end(), holder);
        if (held == holders_.end())
        {
            return;
        }
        holders_.erase(held);
        if (holders_.empty())
        {
            Stop();
        }
    }

    std::mutex holdLock_;
    std::vector<std::uintptr_t> holders_;
};

// The thread that owns the windows.
class UiThread
{
public:
    virtual ~UiThread() = default;
    [[nodiscard]] virtual bool IsCurrent() = 0;
    // Queues fn for the UI thread; false once the front end is going away.
    virtual bool Post(std::function<void()> fn) = 0;
    // Joins a worker; on the UI thread it keeps carrying out the window calls
    // the worker may be waiting in meanwhile.
    virtual void Join(sync::Thread& thread) = 0;
};

// One machine's outcome in a run, for a front end that lists results per
// machine (the command line); the window shows the log lines instead.
struct MachineResult
{
    std::string mac;
    std::string ip;
    bool ok = false;
    std::string outcome; // a word or two: "answered", "timed out", ...
    std::string detail; // what the machine said, or why it failed
};

class ResultObserver
{
public:
    virtual ~ResultObserver() = default;
    // Any thread (the run's).
    virtual void OnResult(const MachineResult& result) = 0;
};

// Everything of the window a controller may use; each controller keeps the
// references it needs.
struct Window
{
    DeviceListView& list;
    LogSink& log;
    Controls& controls;
    MessageBoxes& boxes;
    WindowMessages& messages;
    BusyAnimation& busy;
    UiThread& uiThread;
    Alarm& alarm;
};

} // namespace quellis::core

#pragma once

#include "commands/network_settings.h"
#include "core/window.h"
#include "miner/miner_controller.h"

#include <filesystem>
#include <memory>

namespace quellis::ui
{
class Dialog;
}

namespace quellis::controls
{
class CPictureEx;
}

namespace quellis::app
{

class CQuellisDlg;

// core::Controls on the controls of one dialog (the main dialog, the side
// panel), by window calls.
class DialogControls : public core::Controls
{
public:
    explicit DialogControls(ui::Dialog& dialog)
        : dialog_(dialog)
    {
    }
    void EnableItem(int id, bool enable) override;
    bool IsItemEnabled(int id) override;
    void SetItemText(int id, std::string_view text) override;
    std::string ItemText(int id) override;
    void CheckButton(int id, int state) override;
    int IsButtonChecked(int id) override;
    void SetItemIcon(int id, int iconId) override;
    void SetFocusItem(int id) override;

private:
    ui::Dialog& dialog_;
};

// The main window as the controllers see it: the log pane, the main dialog's
// controls, its message boxes, timers and posted messages, the busy
// animation and the UI thread. Any thread.
class MainWindowPorts : public core::LogSink,
                        public core::MessageBoxes,
                        public core::WindowMessages,
                        public core::BusyAnimation,
                        public core::UiThread
{
public:
    MainWindowPorts(CQuellisDlg& dialog, core::DeviceListView& list, core::Alarm& alarm);

    [[nodiscard]] core::Window& Window() { return window_; }
    [[nodiscard]] DialogControls& Controls() { return controls_; }

    void WriteLog(core::LogColour colour, std::string_view text, bool toLogFile) override;
    int MessageBox(std::string_view text, std::string_view caption, unsigned type) override;
    std::optional<std::string> OpenFile(std::string_view title, std::string_view filter) override;
    void SetTimer(int id, int milliseconds) override;
    void KillTimer(int id) override;
    void PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
    bool SelectSocket(int socket, std::uint32_t message, std::intptr_t events) override;
    void ReenableSocketEvent(int socket, std::intptr_t event) override;
    void Start() override;
    void Stop() override;
    bool IsCurrent() override;
    bool Post(std::function<void()> fn) override;
    void Join(sync::Thread& thread) override;

private:
    CQuellisDlg& dialog_;
    DialogControls controls_;
    core::Window window_;
};

// Other programs' top-level windows, found by their window class.
class CompanionWindowPort : public commands::CompanionWindows
{
public:
    bool PostToClass(
        std::string_view className, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
};

// The pool settings dialog, run modally over the main dialog.
class PoolSettingsPort : public miner::PoolSettingsDialog
{
public:
    PoolSettingsPort(ui::Dialog& owner, std::filesystem::path configPath)
        : owner_(owner)
        , configPath_(std::move(configPath))
    {
    }
    std::optional<miner::PoolSlots> Run() override;

private:
    ui::Dialog& owner_;
    const std::filesystem::path configPath_;
};

} // namespace quellis::app

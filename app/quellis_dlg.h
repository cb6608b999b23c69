#pragma once

#include "core/controller.h"
#include "core/log_colour.h"
#include "core/window.h"
#include "engine/session.h"
#include "platform/ui/dialog.h"
#include "platform/ui/window_class.h"
#include "protocol/shared_state.h"

#include <QTextCharFormat>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

namespace quellis::monitor
{
class CDlgMonitor;
class CWave;
} // namespace quellis::monitor

namespace quellis::controls
{
class CPictureEx;
} // namespace quellis::controls

namespace quellis::app
{

class MainWindowPorts;
class FarmList;

// The window class other instances look for.
inline constexpr const char* kMainWindowClass = "TovenkQuellis";

// The one main window and a front end of the engine session: it opens the
// session over its window parts, routes control ids, list notifications,
// timers and posted messages to the session's controllers, and keeps the
// layout, the captions and the log pane. The controllers reach the window
// only through the narrow interfaces of core::Window, which this dialog
// implements.
class CQuellisDlg : public ui::Dialog
{
    Q_OBJECT

public:
    explicit CQuellisDlg(std::filesystem::path configPath, QWidget* parent = nullptr);
    ~CQuellisDlg() override;

    [[nodiscard]] const std::filesystem::path& ConfigPath() const { return state_.configPath; }

    // ---- Captions and language ----
    // Writes LANG, reads it back and applies the captions of that language.
    void SwitchLanguage(int value);
    [[nodiscard]] int Language() const { return state_.language.load(); }
    [[nodiscard]] int ToolType() const { return state_.toolType; }

    // ---- Log pane (any thread) ----
    // The pane's part of WriteLog: colour the selection, caret to the end,
    // insert, show the selection.
    void AppendLog(core::LogColour colour, std::string_view text);
    [[nodiscard]] const QTextCharFormat& DefaultLogFormat() const { return defaultLogFormat_; }

    // The side panel's language box, as the About box and the package line read
    // it: unticked (English) when the panel has no window (tool type 0).
    [[nodiscard]] bool LanguageBoxTicked() const;
    // The panel object exists for the dialog's whole life, since the receive
    // filter reads its settings in every layout; its window is made only by
    // the layouts with a side panel.
    [[nodiscard]] monitor::CDlgMonitor* SidePanel() const { return sidePanel_.get(); }
    [[nodiscard]] controls::CPictureEx* BusyPicture() const { return busyPicture_; }

    // ---- What the controllers share and see ----
    [[nodiscard]] protocol::SharedState& State() { return state_; }
    // Valid from OnInitDialog on.
    [[nodiscard]] core::Window& Window();
    // The controllers in routing order (empty before OnInitDialog).
    [[nodiscard]] const std::vector<core::Controller*>& Controllers() const { return session_.Controllers(); }
    template <typename T> [[nodiscard]] T* FindController() const
    {
        for (core::Controller* controller : session_.Controllers())
        {
            if (auto* found = dynamic_cast<T*>(controller))
            {
                return found;
            }
        }
        return nullptr;
    }

protected:
    bool OnInitDialog() override;
    void OnCommand(int id, int code) override;
    void OnNotify(int id, const ui::Notification& notification) override;
    void OnTimer(int id) override;
    bool OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
    void OnSize(int cx, int cy) override;
    bool PreTranslateMessage(const ui::InputMessage& message) override;
    void OnSysCommand(int id) override;
    void DestroyWindow() override;
    QWidget* CreateControl(const ui::ControlTemplate& control, QWidget* parent) override;

    // Debug traces of the moments a developer (and the start-up benchmark and
    // the single-instance tests) looks for: the first paint, and being
    // brought to the front by another instance.
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    struct Subsystems;

    void ApplyCaptions(bool atStartup);
    void MakeControllers();
    void MakeFarmView(FarmList& farmList);
    // Tells the operator of a failed start-up step; true to go on.
    bool OnStartFailure(engine::StartFailure failure);
    // Ends every thread and closes what they used; safe to run twice and on
    // a dialog that was never initialised.
    void Teardown();

    // First: everything below may use it until it goes.
    engine::Session session_;
    protocol::SharedState& state_ = session_.State();
    QTextCharFormat defaultLogFormat_;
    // The panel reads its settings when it is constructed.
    std::unique_ptr<monitor::CDlgMonitor> sidePanel_;
    std::unique_ptr<monitor::CWave> alarm_;
    ui::WindowClassServer windowClass_;
    controls::CPictureEx* busyPicture_ = nullptr;
    std::unique_ptr<MainWindowPorts> ports_;
    // The window-side parts the session's controllers use.
    std::unique_ptr<Subsystems> subsystems_;
    bool tornDown_ = false;
    bool painted_ = false;
};

// The process-wide pointer to the one main dialog, set during its
// initialisation; the signal handler of the executable reaches it here.
[[nodiscard]] CQuellisDlg* TheMainDialog();

} // namespace quellis::app

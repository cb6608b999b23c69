#pragma once

#include "platform/ui/dialog_template.h"

#include <QDialog>
#include <QPointer>
#include <QRect>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class QTimer;

// A dialog built from a template, written against the way the program is
// designed: controls are addressed by id, handlers are virtual functions per
// kind of message, window messages are posted by number and timers are set by
// id. Control operations may be called from any thread: off the UI thread
// they are carried out by the UI thread while the caller waits (see
// window_call.h); once window calls are closed they do nothing and return
// empty values. A program with dialogs runs a ui::Application (application.h).

namespace quellis::ui
{

class ListViewControl;
class RichEditControl;
class IpAddressControl;

inline constexpr std::uint32_t kWmUser = 0x0400;

// Command notification codes delivered to OnCommand.
inline constexpr int kBnClicked = 0;
inline constexpr int kEnChange = 0x0300;

// Dialog results.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

// Check states.
inline constexpr int kUnchecked = 0;
inline constexpr int kChecked = 1;

// List notifications delivered to OnNotify.
enum class NotifyCode
{
    Click, // a click on the list; row -1 when not on a row
    DoubleClick, // likewise for a double click
    ColumnClick, // a click on a column header; column set
};

struct Notification
{
    NotifyCode code = NotifyCode::Click;
    int row = -1;
    int column = -1;
};

// What PreTranslateMessage sees of keyboard and mouse input that goes to a
// control of the dialog before the control gets it.
struct InputMessage
{
    enum class Kind
    {
        KeyDown,
        LeftButtonUp,
    };
    Kind kind = Kind::KeyDown;
    int controlId = kIdStatic; // the control the input goes to
    int key = 0; // Qt::Key for KeyDown
};

class Dialog : public QDialog
{
    Q_OBJECT

public:
    explicit Dialog(const DialogTemplate& dialogTemplate, QWidget* parent = nullptr);
    ~Dialog() override;

    // Creates the controls, runs OnInitDialog, shows the dialog modally and
    // returns the code given to EndDialog. DestroyWindow runs before it returns.
    int DoModal();
    // Creates the dialog without a loop of its own (a child when the template
    // says so), runs OnInitDialog and shows it.
    bool Create(QWidget* parent);
    void EndDialog(int result);

    [[nodiscard]] int TemplateId() const { return template_.id; }
    [[nodiscard]] BaseUnits Units() const { return units_; }
    [[nodiscard]] QRect DialogUnitsToPixels(int x, int y, int cx, int cy) const;

    // ---- Control operations by id (any thread) ----
    [[nodiscard]] bool HasItem(int id) const;
    void SetItemText(int id, std::string_view text);
    [[nodiscard]] std::string ItemText(int id) const;
    void EnableItem(int id, bool enable);
    [[nodiscard]] bool IsItemEnabled(int id) const;
    void ShowItem(int id, bool show);
    // The control's own visible flag, whether or not its dialog is on screen.
    [[nodiscard]] bool IsItemVisible(int id) const;
    void CheckButton(int id, int state);
    [[nodiscard]] int IsButtonChecked(int id) const;
    void SetFocusItem(int id);
    [[nodiscard]] int FocusItem() const;
    // Client coordinates of the dialog.
    [[nodiscard]] QRect ItemRect(int id) const;
    void MoveItem(int id, const QRect& rect);
    // Select characters start..end of an edit (end -1: to the end) and scroll
    // the caret into view.
    void SelectItemText(int id, int start, int end);
    void SetItemIcon(int id, int iconId, int size);
    [[nodiscard]] int ItemIconId(int id) const;
    void SetItemCaptionFont(int id, bool underline);

    // The typed controls, for operations of their own; UI thread only.
    [[nodiscard]] QWidget* Item(int id) const;
    [[nodiscard]] ListViewControl* ListView(int id) const;
    [[nodiscard]] RichEditControl* RichEdit(int id) const;
    [[nodiscard]] IpAddressControl* IpAddress(int id) const;

    // ---- Window operations (any thread) ----
    void SetTimer(int id, int milliseconds);
    void KillTimer(int id);
    [[nodiscard]] bool HasTimer(int id) const;
    // Queued for the dialog's OnMessage; safe from any thread at any time.
    void PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    [[nodiscard]] QSize ClientSize() const;
    // An item of the system menu: on Linux it is offered in the dialog's
    // context menu, and F1 chooses the first one.
    void AppendSystemMenuItem(int id, std::string_view text);
    [[nodiscard]] const std::vector<std::pair<int, std::string>>& SystemMenuItems() const { return systemMenu_; }
    void SetWindowIcon(int iconId);

    // Delivers a system-menu command as the menu would (tests, accessibility).
    void SendSystemCommand(int id);

protected:
    // ---- Handlers (UI thread) ----
    virtual bool OnInitDialog();
    virtual void OnCommand(int id, int code);
    virtual void OnNotify(int id, const Notification& notification);
    virtual void OnTimer(int id);
    // Posted messages; true when handled.
    virtual bool OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    virtual void OnSize(int cx, int cy);
    // True consumes the input.
    virtual bool PreTranslateMessage(const InputMessage& message);
    virtual void OnSysCommand(int id);
    virtual void OnOK();
    virtual void OnCancel();
    // The dialog's window goes away: after the loop of DoModal, or when a
    // modeless dialog is destroyed.
    virtual void DestroyWindow();
    // The widget for a control; the default makes the standard control of the
    // template's kind. A dialog overrides it to give a control a class of its
    // own (the picture, the log pane).
    virtual QWidget* CreateControl(const ControlTemplate& control, QWidget* parent);

    // Qt events routed to the handlers above.
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void customEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void accept() override;

private:
    void CreateControls();
    // A start-up step of this dialog in the trace (platform/trace).
    void TraceStep(const char* step) const;
    void ConnectControl(int id, QWidget* widget, ControlKind kind);
    [[nodiscard]] int IdOf(const QObject* object) const;
    void DoDestroyWindow();

    const DialogTemplate& template_;
    BaseUnits units_;
    QSize lastSize_;
    std::map<int, QPointer<QWidget>> controls_;
    std::map<int, int> iconIds_;
    std::map<int, QTimer*> timers_;
    std::vector<std::pair<int, std::string>> systemMenu_;
    bool created_ = false;
    bool destroyed_ = false;
    bool inPreTranslate_ = false;
    bool checkingByProgram_ = false;
};

// The dialog font of a template, with the system's CJK-capable substitute for
// fonts this system does not have.
[[nodiscard]] QFont DialogFont(const char* face, int pointSize);
[[nodiscard]] BaseUnits BaseUnitsOf(const QFont& font);

} // namespace quellis::ui

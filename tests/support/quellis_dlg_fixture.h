#pragma once

#include "app/quellis_dlg.h"
#include "tests/support/temp_dir.h"

#include <QPointer>
#include <QRect>

#include <deque>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QTimer;
class QWidget;

// A real main dialog for UI tests: its own temporary directory with its own
// config.ini, the process's current directory moved there while the dialog
// runs (the program writes log.txt and its other files there), message boxes
// and the open-file dialog answered by the test, and the dialog driven and
// read by control id. Linked by UI tests only; they run on Qt's offscreen
// platform inside a QApplication (quellis_add_gtest ... QT).
//
// The dialog binds TCP port 2425 on all local addresses and registers the
// main window class: tests using this fixture carry the CTest RESOURCE_LOCK
// "port2425", so that no two of them run at once.

namespace quellis::test
{

struct ShownMessageBox
{
    std::string text;
    std::string caption;
    unsigned type = 0; // buttons and icon, as the system's message box types
};

class QuellisDlgFixture
{
public:
    using Factory = std::function<std::unique_ptr<app::CQuellisDlg>(const std::filesystem::path& configPath)>;

    QuellisDlgFixture();
    // Closes the dialog if it is still open, puts the current directory and
    // the hooks back, and removes the directory.
    ~QuellisDlgFixture();
    QuellisDlgFixture(const QuellisDlgFixture&) = delete;
    QuellisDlgFixture& operator=(const QuellisDlgFixture&) = delete;

    // Writes config.ini (lines before any "[SECTION]" line go under [COMMON];
    // nothing at all leaves the file out), then creates, initialises and shows
    // the dialog the way DoModal does, without blocking, and makes it the
    // active window. `factory` makes a subclass that observes its handlers.
    void Open(std::initializer_list<std::string_view> configLines = {}, const Factory& factory = {});
    // Closes the dialog through its close box: OnCancel, EndDialog, and the
    // teardown (DestroyWindow) that runs when the modal loop ends. The object
    // stays for reading until the fixture goes.
    void Close();
    [[nodiscard]] bool IsOpen() const { return open_; }
    // Destroys the open dialog without closing its window first.
    void DestroyWithoutClosing();

    [[nodiscard]] app::CQuellisDlg& Dialog() const { return *dialog_; }
    [[nodiscard]] const TempDir& Dir() const { return dir_; }
    [[nodiscard]] std::filesystem::path ConfigPath() const { return dir_ / "config.ini"; }
    [[nodiscard]] std::string ConfigText() const { return dir_.Read("config.ini"); }

    // ---- Message boxes and the open-file dialog ----
    // Answers for the next boxes, in order. Without one, a box is answered as
    // its safe button: OK, No, or Cancel.
    void AnswerNextBox(int answer) { boxAnswers_.push_back(answer); }
    [[nodiscard]] const std::vector<ShownMessageBox>& Boxes() const { return boxes_; }
    void ClearBoxes() { boxes_.clear(); }
    // The file the next open-file dialog returns; without one it is cancelled.
    void AnswerNextOpenFile(std::optional<std::string> path) { fileAnswers_.push_back(std::move(path)); }
    [[nodiscard]] const std::vector<std::string>& OpenFileTitles() const { return openFileTitles_; }

    // ---- Modal dialogs the window opens (the network settings, ...) ----
    // The next modal dialog of the template gets `answer` once it is shown;
    // the answer ends it (ClickItem on one of its buttons, or EndDialog).
    // Dialogs of templates without a queued answer are left alone.
    using DialogAnswer = std::function<void(ui::Dialog& dialog)>;
    void AnswerNextDialog(int templateId, DialogAnswer answer);
    // The template ids of the dialogs answered so far.
    [[nodiscard]] const std::vector<int>& DialogsAnswered() const { return dialogsAnswered_; }
    // A left click on a control of any dialog, where a user would click it.
    static void ClickItem(ui::Dialog& dialog, int id);

    // ---- Controls by id: the main dialog's, and the side panel's ----
    [[nodiscard]] QWidget* Control(int id) const;
    [[nodiscard]] QWidget* PanelControl(int id) const;
    // A left click where a user would click it (a check box on its box).
    void Click(int id) { ClickWidget(Control(id)); }
    void ClickPanel(int id) { ClickWidget(PanelControl(id)); }
    // Key presses sent to the control, as the keyboard sends them to the
    // focused control: through the dialog's PreTranslateMessage first.
    void Type(int id, std::string_view text);
    void Key(int id, int qtKey);
    [[nodiscard]] std::string Text(int id) const;
    [[nodiscard]] std::string PanelText(int id) const;
    [[nodiscard]] bool Visible(int id) const;
    [[nodiscard]] bool Enabled(int id) const;
    [[nodiscard]] QRect Rect(int id) const;
    // The selected text of an edit.
    [[nodiscard]] std::string SelectedText(int id) const;

    // ---- The device list and the log pane ----
    [[nodiscard]] std::vector<std::string> Headers() const;
    [[nodiscard]] std::vector<int> ColumnWidths() const;
    // Adds a row with these cells, as the reply processing does.
    void AddRow(const std::vector<std::string>& cells);
    [[nodiscard]] std::vector<std::string> Row(int row) const;
    [[nodiscard]] int RowCount() const;
    [[nodiscard]] std::string LogText() const;

    // Runs the event loop until done() or the time is up; false on time-out.
    static bool WaitFor(const std::function<bool()>& done, int milliseconds = 5000);

private:
    static void ClickWidget(QWidget* widget);
    int AnswerBox(unsigned type);
    void AnswerModalDialog();

    TempDir dir_;
    std::filesystem::path previousDirectory_;
    std::unique_ptr<app::CQuellisDlg> dialog_;
    bool open_ = false;
    std::deque<int> boxAnswers_;
    std::vector<ShownMessageBox> boxes_;
    std::deque<std::optional<std::string>> fileAnswers_;
    std::vector<std::string> openFileTitles_;
    std::deque<std::pair<int, DialogAnswer>> dialogAnswers_;
    std::vector<int> dialogsAnswered_;
    QPointer<ui::Dialog> answeredDialog_;
    std::unique_ptr<QTimer> modalWatch_;
};

} // namespace quellis::test

#include "tests/support/quellis_dlg_fixture.h"

#include "monitor/monitor_dlg.h"
#include "platform/ui/list_view.h"
#include "platform/ui/message_box.h"
#include "platform/ui/rich_edit.h"
#include "platform/ui/window_call.h"
#include "resources/templates/main_dialog_ids.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>

namespace quellis::test
{

namespace
{

// A dialog whose close path hangs must fail its test, not the whole run.
constexpr int kCloseTimeoutMs = 10000;

std::string JoinConfig(std::initializer_list<std::string_view> lines)
{
    std::string text;
    bool inSection = false;
    for (const std::string_view line : lines)
    {
        if (!inSection && !line.starts_with('['))
        {
            text += "[COMMON]\r\n";
        }
        inSection = true;
        text.append(line);
        text += "\r\n";
    }
    return text;
}

} // namespace

QuellisDlgFixture::QuellisDlgFixture()
{
    ui::SetMessageBoxHook(
        [this](const ui::MessageBoxRequest& request)
        {
            boxes_.push_back(ShownMessageBox { request.text, request.caption, request.type });
            return AnswerBox(request.type);
        });
    ui::SetOpenFileHook(
        [this](const ui::OpenFileRequest& request) -> std::optional<std::string>
        {
            openFileTitles_.push_back(request.title);
            if (fileAnswers_.empty())
            {
                return std::nullopt;
            }
            std::optional<std::string> answer = fileAnswers_.front();
            fileAnswers_.pop_front();
            return answer;
        });
    // Nothing leaves the test machine.
    ui::SetShellOpenHook([](const std::string&) { return false; });
    // A modal dialog runs a loop of its own; the watch answers it from there.
    modalWatch_ = std::make_unique<QTimer>();
    modalWatch_->setInterval(5);
    QObject::connect(modalWatch_.get(), &QTimer::timeout, [this] { AnswerModalDialog(); });
    modalWatch_->start();
}

QuellisDlgFixture::~QuellisDlgFixture()
{
    modalWatch_.reset();
    if (open_)
    {
        Close();
    }
    dialog_.reset();
    ui::SetMessageBoxHook({});
    ui::SetOpenFileHook({});
    ui::SetShellOpenHook({});
    if (!previousDirectory_.empty())
    {
        std::error_code ignored;
        std::filesystem::current_path(previousDirectory_, ignored);
    }
}

int QuellisDlgFixture::AnswerBox(unsigned type)
{
    if (!boxAnswers_.empty())
    {
        const int answer = boxAnswers_.front();
        boxAnswers_.pop_front();
        return answer;
    }
    switch (type & 0x0F)
    {
    case ui::kMbYesNo:
        return ui::kAnswerNo;
    case ui::kMbOkCancel:
        return ui::kAnswerCancel;
    default:
        return ui::kAnswerOk;
    }
}

void QuellisDlgFixture::AnswerNextDialog(int templateId, DialogAnswer answer)
{
    dialogAnswers_.emplace_back(templateId, std::move(answer));
}

void QuellisDlgFixture::AnswerModalDialog()
{
    auto* modal = qobject_cast<ui::Dialog*>(QApplication::activeModalWidget());
    if (modal == nullptr || modal == answeredDialog_ || modal == dialog_.get() || !modal->isVisible())
    {
        return;
    }
    const auto found = std::find_if(dialogAnswers_.begin(),
        dialogAnswers_.end(),
        [&](const auto& entry) { return entry.first == modal->TemplateId(); });
    if (found == dialogAnswers_.end())
    {
        return;
    }
    DialogAnswer answer = std::move(found->second);
    dialogAnswers_.erase(found);
    answeredDialog_ = modal;
    dialogsAnswered_.push_back(modal->TemplateId());
    answer(*modal);
}

void QuellisDlgFixture::ClickItem(ui::Dialog& dialog, int id)
{
    QWidget* widget = dialog.Item(id);
    EXPECT_NE(widget, nullptr) << "no control " << id << " in dialog " << dialog.TemplateId();
    ClickWidget(widget);
}

void QuellisDlgFixture::Open(std::initializer_list<std::string_view> configLines, const Factory& factory)
{
    ASSERT_FALSE(open_) << "one dialog per fixture";
    if (configLines.size() != 0)
    {
        dir_.Write("config.ini", JoinConfig(configLines));
    }
    previousDirectory_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.Path());
    // A test before this one may have closed the window calls.
    ui::ReopenWindowCalls();
    dialog_ = factory ? factory(ConfigPath()) : std::make_unique<app::CQuellisDlg>(ConfigPath());
    // Create runs what DoModal runs before its loop: the controls, then
    // OnInitDialog, then the window is shown.
    dialog_->Create(nullptr);
    open_ = true;
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    dialog_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_.get()));
}

void QuellisDlgFixture::Close()
{
    ASSERT_TRUE(open_);
    open_ = false;
    app::CQuellisDlg* dialog = dialog_.get();
    // The close box, from inside the modal loop that DoModal runs for the
    // shown dialog; DoModal's teardown follows when the loop ends.
    QTimer::singleShot(0, dialog, [dialog] { dialog->close(); });
    bool hung = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog,
        &QTimer::timeout,
        dialog,
        [dialog, &hung]
        {
            hung = true;
            dialog->EndDialog(ui::kIdCancel);
        });
    watchdog.start(kCloseTimeoutMs);
    const int result = dialog->DoModal();
    watchdog.stop();
    EXPECT_FALSE(hung) << "the close box did not end the dialog";
    EXPECT_EQ(result, ui::kIdCancel);
}

void QuellisDlgFixture::DestroyWithoutClosing()
{
    ASSERT_TRUE(open_);
    open_ = false;
    dialog_.reset();
}

QWidget* QuellisDlgFixture::Control(int id) const
{
    QWidget* widget = dialog_->Item(id);
    EXPECT_NE(widget, nullptr) << "no control " << id;
    return widget;
}

QWidget* QuellisDlgFixture::PanelControl(int id) const
{
    QWidget* widget = dialog_->SidePanel()->Item(id);
    EXPECT_NE(widget, nullptr) << "no panel control " << id;
    return widget;
}

void QuellisDlgFixture::ClickWidget(QWidget* widget)
{
    if (widget == nullptr)
    {
        return;
    }
    QPoint point = widget->rect().center();
    if (qobject_cast<QCheckBox*>(widget) != nullptr || qobject_cast<QRadioButton*>(widget) != nullptr)
    {
        // The box itself: a check box takes clicks only on its box and text.
        point = QPoint(widget->height() / 2, widget->height() / 2);
    }
    QTest::mouseClick(widget, Qt::LeftButton, {}, point);
    QApplication::processEvents();
}

void QuellisDlgFixture::Type(int id, std::string_view text)
{
    if (QWidget* widget = Control(id))
    {
        QTest::keyClicks(widget, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    }
}

void QuellisDlgFixture::Key(int id, int qtKey)
{
    if (QWidget* widget = Control(id))
    {
        QTest::keyClick(widget, static_cast<Qt::Key>(qtKey));
        QApplication::processEvents();
    }
}

std::string QuellisDlgFixture::Text(int id) const
{
    return dialog_->ItemText(id);
}

std::string QuellisDlgFixture::PanelText(int id) const
{
    return dialog_->SidePanel()->ItemText(id);
}

bool QuellisDlgFixture::Visible(int id) const
{
    return dialog_->IsItemVisible(id);
}

bool QuellisDlgFixture::Enabled(int id) const
{
    return dialog_->IsItemEnabled(id);
}

QRect QuellisDlgFixture::Rect(int id) const
{
    return dialog_->ItemRect(id);
}

std::string QuellisDlgFixture::SelectedText(int id) const
{
    const auto* edit = qobject_cast<const QLineEdit*>(Control(id));
    return edit != nullptr ? edit->selectedText().toStdString() : std::string();
}

std::vector<std::string> QuellisDlgFixture::Headers() const
{
    const ui::ListViewControl* list = dialog_->ListView(resources::kIdDeviceList);
    std::vector<std::string> headers;
    for (int column = 0; column < list->ColumnCount(); ++column)
    {
        // What the header shows, not only what the list holds.
        headers.push_back(list->model()->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString().toStdString());
    }
    return headers;
}

std::vector<int> QuellisDlgFixture::ColumnWidths() const
{
    const ui::ListViewControl* list = dialog_->ListView(resources::kIdDeviceList);
    std::vector<int> widths;
    for (int column = 0; column < list->ColumnCount(); ++column)
    {
        widths.push_back(list->ColumnWidth(column));
    }
    return widths;
}

void QuellisDlgFixture::AddRow(const std::vector<std::string>& cells)
{
    ui::ListViewControl* list = dialog_->ListView(resources::kIdDeviceList);
    const int row = list->InsertItem(list->ItemCount(), cells.empty() ? std::string() : cells.front());
    for (std::size_t column = 1; column < cells.size(); ++column)
    {
        list->SetItemText(row, static_cast<int>(column), cells[column]);
    }
}

std::vector<std::string> QuellisDlgFixture::Row(int row) const
{
    const ui::ListViewControl* list = dialog_->ListView(resources::kIdDeviceList);
    std::vector<std::string> cells;
    for (int column = 0; column < list->ColumnCount(); ++column)
    {
        cells.push_back(list->ItemText(row, column));
    }
    return cells;
}

int QuellisDlgFixture::RowCount() const
{
    return dialog_->ListView(resources::kIdDeviceList)->ItemCount();
}

std::string QuellisDlgFixture::LogText() const
{
    return dialog_->RichEdit(resources::kIdLogPane)->Text();
}

bool QuellisDlgFixture::WaitFor(const std::function<bool()>& done, int milliseconds)
{
    return QTest::qWaitFor(done, milliseconds);
}

} // namespace quellis::test

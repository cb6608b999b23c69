#include "app/quellis_dlg.h"
#include "app/rich_edit_ex.h"
#include "app/selection_hit.h"
#include "app/write_log.h"
#include "platform/sync/thread.h"
#include "platform/ui/window_call.h"
#include "resources/templates/main_dialog_ids.h"
#include "tests/support/quellis_dlg_fixture.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace quellis::app
{
using core::LogColour;

namespace
{

const QColor kRed(255, 0, 0);
const QColor kGreen(0, 200, 0);

// A main dialog in a directory of its own, which is also the current
// directory: log.txt is written there.
class LogPaneTest : public testing::Test
{
protected:
    void SetUp() override
    {
        fixture_.Open({ "TOOLTYPE=2", "LANG=1" });
        ASSERT_FALSE(HasFatalFailure());
        dialog_ = &fixture_.Dialog();
        pane_ = qobject_cast<CRichEditEx*>(dialog_->RichEdit(resources::kIdLogPane));
        ASSERT_NE(pane_, nullptr);
    }

    [[nodiscard]] QColor DefaultColour() const { return dialog_->DefaultLogFormat().foreground().color(); }
    [[nodiscard]] std::filesystem::path LogTxt() const { return fixture_.Dir() / "log.txt"; }

    test::QuellisDlgFixture fixture_;
    CQuellisDlg* dialog_ = nullptr;
    CRichEditEx* pane_ = nullptr;
};

TEST_F(LogPaneTest, RunsKeepTheirColourOnOneLine)
{
    ASSERT_NE(DefaultColour(), kRed);
    ASSERT_NE(DefaultColour(), kGreen);
    EXPECT_EQ(WriteLog(LogColour::Red, "失败 ", dialog_, 0), 1);
    EXPECT_EQ(WriteLog(LogColour::Default, "10.0.0.5\r\n", dialog_, 0), 1);
    EXPECT_EQ(WriteLog(LogColour::Green, "成功\r\n", dialog_, 0), 1);
    EXPECT_EQ(WriteLog(LogColour::Default, "plain", dialog_, 0), 1);

    // "\r\n" is one break in the pane.
    EXPECT_EQ(pane_->Text(), "失败 10.0.0.5\n成功\nplain");
    EXPECT_EQ(pane_->ColourAt(0), kRed);
    EXPECT_EQ(pane_->ColourAt(2), kRed); // the red part's last character, a space
    EXPECT_EQ(pane_->ColourAt(3), DefaultColour());
    EXPECT_EQ(pane_->ColourAt(12), kGreen);
    EXPECT_EQ(pane_->ColourAt(15), DefaultColour());
    EXPECT_FALSE(pane_->isReadOnly()); // the operator may type into the pane
}

TEST_F(LogPaneTest, LogTxtGetsExactlyTheBytesOfTheTextsAskedFor)
{
    // An empty text shows nothing, but still creates the file.
    EXPECT_EQ(WriteLog(LogColour::Red, "", dialog_, 1), 1);
    ASSERT_TRUE(std::filesystem::exists(LogTxt()));
    EXPECT_EQ(std::filesystem::file_size(LogTxt()), 0u);
    EXPECT_EQ(pane_->Text(), "");

    WriteLog(LogColour::Red, "升级成功3台，升级失败0台\r\n", dialog_, 1);
    WriteLog(LogColour::Default, "only in the pane\r\n", dialog_, 0);
    // Without a line break the next text runs on, in the file as in the pane.
    WriteLog(LogColour::Default, "设备10.0.0.5连接失败", dialog_, 1);
    WriteLog(LogColour::Green, "!\r\n", dialog_, 1);

    // The code page 936 bytes, spelled out rather than converted by the code
    // under test.
    const std::string gbk = "\xc9\xfd\xbc\xb6\xb3\xc9\xb9\xa6"
                            "3"
                            "\xcc\xa8\xa3\xac\xc9\xfd\xbc\xb6\xca\xa7\xb0\xdc"
                            "0"
                            "\xcc\xa8\r\n"
                            "\xc9\xe8\xb1\xb8"
                            "10.0.0.5"
                            "\xc1\xac\xbd\xd3\xca\xa7\xb0\xdc"
                            "!\r\n";
    EXPECT_EQ(fixture_.Dir().Read("log.txt"), gbk);
    EXPECT_EQ(pane_->Text(), "升级成功3台，升级失败0台\nonly in the pane\n设备10.0.0.5连接失败!\n");
}

TEST_F(LogPaneTest, ALogFileThatCannotBeOpenedLeavesThePaneWorking)
{
    // A directory in the file's place: opening fails even for root.
    std::filesystem::create_directory(LogTxt());
    EXPECT_EQ(WriteLog(LogColour::Red, "设备无响应\r\n", dialog_, 1), 1);
    EXPECT_EQ(WriteLog(LogColour::Default, "next\r\n", dialog_, 1), 1);
    EXPECT_EQ(pane_->Text(), "设备无响应\nnext\n");
    EXPECT_EQ(pane_->ColourAt(0), kRed);
    EXPECT_TRUE(std::filesystem::is_directory(LogTxt()));
}

TEST_F(LogPaneTest, WorkerThreadsWriteThroughWindowCalls)
{
    constexpr int kLines = 40;
    sync::Thread worker;
    ASSERT_TRUE(worker.Start(
        [this]
        {
            for (int i = 0; i < kLines; ++i)
            {
                const std::string line = "line " + std::to_string(i) + "\r\n";
                WriteLog(i % 2 == 0 ? LogColour::Green : LogColour::Default, line, dialog_, 1);
            }
        }));
    // The UI thread carries out the worker's calls while it waits.
    ui::JoinServingCalls(worker);

    std::string pane;
    std::string file;
    for (int i = 0; i < kLines; ++i)
    {
        pane += "line " + std::to_string(i) + "\n";
        file += "line " + std::to_string(i) + "\r\n";
    }
    EXPECT_EQ(pane_->Text(), pane);
    EXPECT_EQ(fixture_.Dir().Read("log.txt"), file);
    EXPECT_EQ(pane_->ColourAt(pane_->LineIndex(0)), kGreen);
    EXPECT_EQ(pane_->ColourAt(pane_->LineIndex(1)), DefaultColour());
    EXPECT_EQ(pane_->ColourAt(pane_->LineIndex(2)), kGreen);
}

// ---- The pane's right-click menu ----

TEST(RichEditEx, OutsideRulesOfTheSelection)
{
    // Selection from (40, 20) on one line to (100, 40) on the next; lines 20 high.
    const struct
    {
        PanePoint click;
        bool inside;
        const char* what;
    } cases[] = {
        { { 300, 19 }, false, "above the start line" },
        { { 10, 25 }, false, "left of the start on the start line" },
        { { 10, 20 }, true, "left of the start on the start line's top edge" },
        { { 300, 25 }, true, "right of the start on the start line" },
        { { 10, 45 }, true, "left on the end line" },
        { { 100, 45 }, true, "at the end" },
        { { 101, 45 }, false, "right of the end on the end line" },
        { { 101, 60 }, true, "right of the end on the end line's bottom edge" },
        { { 300, 61 }, false, "below the end line" },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(ClickInsideSelection({ 40, 20 }, { 100, 40 }, 20, c.click), c.inside) << c.what;
    }
    // Three lines take the whole middle one; the caret keeps only its column.
    EXPECT_TRUE(ClickInsideSelection({ 40, 20 }, { 100, 60 }, 20, { 500, 45 }));
    EXPECT_TRUE(ClickInsideSelection({ 40, 20 }, { 40, 20 }, 20, { 40, 30 }));
    EXPECT_FALSE(ClickInsideSelection({ 40, 20 }, { 40, 20 }, 20, { 41, 30 }));

    EXPECT_EQ(PaneLineHeight(true, 4, 21, 180), 17);
    EXPECT_EQ(PaneLineHeight(false, 4, 0, 209), 13); // twips / 15, rounded down
    EXPECT_EQ(CaretLineTop(40, 17), 34);
    EXPECT_EQ(CaretLineTop(25, 0), 25);
}

// The menu as "id caption" items, greyed ones marked, "-" for the separator.
std::string Describe(const QMenu& menu)
{
    std::string text;
    for (const QAction* action : menu.actions())
    {
        text += text.empty() ? "" : ", ";
        text += action->isSeparator() ? std::string("-")
                                      : std::to_string(action->data().toInt()) + " " + action->text().toStdString()
                + (action->isEnabled() ? "" : " (grey)");
    }
    return text;
}

class RichEditExTest : public LogPaneTest
{
protected:
    // A right click at a client point; the menu "shows" by describing itself
    // and choosing `choice` (0: closed without a choice).
    std::string RightClick(const QPoint& point, int choice)
    {
        std::string shown;
        pane_->SetMenuRunner(
            [&](QMenu& menu, const QPoint&)
            {
                shown = Describe(menu);
                return choice;
            });
        QTest::mousePress(pane_->viewport(), Qt::RightButton, {}, point);
        QTest::mouseRelease(pane_->viewport(), Qt::RightButton, {}, point);
        pane_->SetMenuRunner({});
        return shown;
    }

    // Three lines, "con" of "second" (characters 13 to 16) selected.
    void WriteThreeLinesAndSelectPartOfTheSecond()
    {
        WriteLog(LogColour::Default, "first line\r\nsecond line\r\nthird line\r\n", dialog_, 0);
        pane_->SetSel(13, 16);
    }

    [[nodiscard]] std::pair<int, int> Selection() const
    {
        std::pair<int, int> selection;
        pane_->GetSel(selection.first, selection.second);
        return selection;
    }

    // The middle of the line whose top is at y.
    [[nodiscard]] QPoint OnLine(int x, int lineTop) const { return { x, lineTop + pane_->LineHeight() / 2 }; }

    static constexpr const char* kMenu = "103 复制, 106 选择全部内容, -, 105 清空全部内容";
    static constexpr const char* kMenuCopyGrey = "103 复制 (grey), 106 选择全部内容, -, 105 清空全部内容";
};

TEST_F(RichEditExTest, ClickInsideKeepsTheSelectionAndCopiesIt)
{
    WriteThreeLinesAndSelectPartOfTheSecond();
    QApplication::clipboard()->clear();
    const QPoint start = pane_->PosFromChar(13);
    const QPoint end = pane_->PosFromChar(16);
    EXPECT_EQ(RightClick(OnLine((start.x() + end.x()) / 2, start.y()), kIdmLogCopy), kMenu);
    EXPECT_EQ(Selection(), std::make_pair(13, 16));
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), "con");
}

TEST_F(RichEditExTest, ClickOutsideDropsTheSelectionAndGreysCopy)
{
    WriteThreeLinesAndSelectPartOfTheSecond();
    const QPoint first = pane_->PosFromChar(0);
    const QPoint start = pane_->PosFromChar(13);
    const QPoint end = pane_->PosFromChar(16);
    const QPoint third = pane_->PosFromChar(pane_->LineIndex(2));
    const struct
    {
        QPoint click;
        const char* what;
    } outside[] = {
        { OnLine(start.x(), first.y()), "on the line above" },
        { OnLine(start.x(), third.y() + pane_->LineHeight()), "below the end line" },
        { OnLine(end.x() + 5, start.y()), "right of the end" },
        { OnLine(start.x() - 5, start.y()), "left of the start" },
    };
    for (const auto& click : outside)
    {
        pane_->SetSel(13, 16);
        EXPECT_EQ(RightClick(click.click, 0), kMenuCopyGrey) << click.what;
        EXPECT_EQ(pane_->SelectionType(), 0) << click.what;
    }
    // A menu closed without a choice leaves the text alone.
    EXPECT_EQ(pane_->Text(), "first line\nsecond line\nthird line\n");
}

TEST_F(RichEditExTest, SelectAllThenClearAndTheNextLineStartsAtTheTop)
{
    // An empty pane has no second line: 9 points are 180 twips, / 15.
    EXPECT_EQ(pane_->LineHeight(), 12);

    WriteThreeLinesAndSelectPartOfTheSecond();
    const QPoint top = OnLine(5, pane_->PosFromChar(0).y());
    RightClick(top, kIdmLogSelectAll);
    EXPECT_EQ(Selection(), std::make_pair(0, pane_->TextLength()));

    RightClick(top, kIdmLogClear);
    EXPECT_EQ(pane_->Text(), "");
    WriteLog(LogColour::Red, "新的一行\r\n", dialog_, 0);
    EXPECT_EQ(pane_->Text(), "新的一行\n");
    EXPECT_EQ(pane_->ColourAt(0), kRed);
    EXPECT_EQ(Selection(), std::make_pair(5, 5)); // the caret after the text
}

} // namespace
} // namespace quellis::app

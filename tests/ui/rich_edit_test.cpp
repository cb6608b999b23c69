#include "platform/ui/rich_edit.h"

#include <QApplication>

#include <gtest/gtest.h>

namespace quellis::ui
{
namespace
{

// Appends as the log pane does: format the selection, caret to the end, insert.
void Append(RichEditControl& edit, const std::string& text, const std::optional<QColor>& colour)
{
    QTextCharFormat format = edit.DefaultCharFormat();
    if (colour)
    {
        format = QTextCharFormat();
        format.setForeground(*colour);
    }
    edit.SetSelectionCharFormat(format);
    const int end = edit.TextLength();
    edit.SetSel(end, end);
    edit.ReplaceSel(text);
}

TEST(RichEdit, LineBreaksCountAsOneCharacterAndColoursStayWithTheirText)
{
    RichEditControl edit;
    edit.resize(400, 200);
    edit.show();
    Append(edit, "red part ", QColor(255, 0, 0));
    Append(edit, "rest\r\n", std::nullopt);
    Append(edit, "green\r\n", QColor(0, 200, 0));
    EXPECT_EQ(edit.Text(), "red part rest\ngreen\n");
    EXPECT_EQ(edit.TextLength(), 20);
    EXPECT_EQ(edit.ColourAt(0), QColor(255, 0, 0));
    EXPECT_EQ(edit.ColourAt(9), edit.palette().color(QPalette::Text));
    EXPECT_EQ(edit.ColourAt(14), QColor(0, 200, 0));
}

TEST(RichEdit, SelectionPositionsAndLines)
{
    RichEditControl edit;
    edit.resize(400, 200);
    edit.show();
    EXPECT_EQ(edit.LineIndex(1), -1); // an empty pane has one line
    edit.SetText("first line\r\nsecond");
    EXPECT_EQ(edit.LineIndex(0), 0);
    EXPECT_EQ(edit.LineIndex(1), 11);
    EXPECT_EQ(edit.LineIndex(2), -1);
    EXPECT_GT(edit.PosFromChar(11).y(), edit.PosFromChar(0).y());

    edit.SetSel(0, 5);
    int start = 0;
    int end = 0;
    edit.GetSel(start, end);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, 5);
    EXPECT_EQ(edit.SelectionType(), 1);
    edit.SetSel(0, -1);
    edit.GetSel(start, end);
    EXPECT_EQ(end, edit.TextLength());
    edit.SetSel(-1, 0);
    EXPECT_EQ(edit.SelectionType(), 0);

    edit.SetText("");
    EXPECT_EQ(edit.TextLength(), 0);
}

} // namespace
} // namespace quellis::ui

#pragma once

#include <QColor>
#include <QPlainTextEdit>
#include <QTextCharFormat>

#include <optional>
#include <string>
#include <string_view>

// The rich edit control: multi-line text with coloured runs, a selection and
// character positions, as the log pane uses it. Line breaks count as one
// character (a text's "\r\n" is stored as one break). UI thread only.

namespace quellis::ui
{

class RichEditControl : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit RichEditControl(QWidget* parent = nullptr);

    [[nodiscard]] int TextLength() const;
    // start -1 removes the selection and leaves the caret; end -1 is the end.
    void SetSel(int start, int end);
    void GetSel(int& start, int& end) const;
    // Replaces the selection (or inserts at the caret) with the text in the
    // current insertion format.
    void ReplaceSel(std::string_view text);
    // Applies a format to the selection, or makes it the insertion format.
    void SetSelectionCharFormat(const QTextCharFormat& format);
    [[nodiscard]] QTextCharFormat SelectionCharFormat() const;
    // The control's default format: its font and text colour.
    [[nodiscard]] QTextCharFormat DefaultCharFormat() const;
    void HideSelection(bool hide);
    [[nodiscard]] std::string Text() const;
    void SetText(std::string_view text);
    // Client position (top left) of a character; of the end for the text length.
    [[nodiscard]] QPoint PosFromChar(int position) const;
    // The character index where line `line` starts, or -1.
    [[nodiscard]] int LineIndex(int line) const;
    // The character nearest a client point.
    [[nodiscard]] int CharFromPos(const QPoint& point) const;
    // 0 when the selection is empty.
    [[nodiscard]] int SelectionType() const;
    // The colour of the character at a position (for tests and accessibility).
    [[nodiscard]] std::optional<QColor> ColourAt(int position) const;

private:
    bool selectionHidden_ = false;
};

} // namespace quellis::ui

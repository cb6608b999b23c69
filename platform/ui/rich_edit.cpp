#include "platform/ui/rich_edit.h"

#include <QAbstractTextDocumentLayout>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace quellis::ui
{

namespace
{

// The document stores a line break as one paragraph separator, as the
// control's own text model stores one CR.
QString ToDocumentText(std::string_view text)
{
    QString converted = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    converted.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    converted.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return converted;
}

} // namespace

RichEditControl::RichEditControl(QWidget* parent)
    : QPlainTextEdit(parent)
{
    setReadOnly(false);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setUndoRedoEnabled(false); // appends are not undoable, as EM_REPLACESEL with undo 0
}

int RichEditControl::TextLength() const
{
    // The document always ends in one paragraph separator that is no character.
    return document()->characterCount() - 1;
}

void RichEditControl::SetSel(int start, int end)
{
    QTextCursor cursor = textCursor();
    const int length = TextLength();
    if (start < 0)
    {
        cursor.clearSelection();
        setTextCursor(cursor);
        return;
    }
    if (end < 0 || end > length)
    {
        end = length;
    }
    start = std::min(start, length);
    cursor.setPosition(start);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    setTextCursor(cursor);
}

void RichEditControl::GetSel(int& start, int& end) const
{
    const QTextCursor cursor = textCursor();
    start = cursor.selectionStart();
    end = cursor.selectionEnd();
}

void RichEditControl::ReplaceSel(std::string_view text)
{
    QTextCursor cursor = textCursor();
    cursor.insertText(ToDocumentText(text), currentCharFormat());
    setTextCursor(cursor);
}

void RichEditControl::SetSelectionCharFormat(const QTextCharFormat& format)
{
    QTextCursor cursor = textCursor();
    if (cursor.hasSelection())
    {
        cursor.mergeCharFormat(format);
    }
    // Also the insertion format, which the next text typed or inserted takes.
    mergeCurrentCharFormat(format);
}

QTextCharFormat RichEditControl::SelectionCharFormat() const
{
    return currentCharFormat();
}

QTextCharFormat RichEditControl::DefaultCharFormat() const
{
    QTextCharFormat format;
    format.setFont(font());
    format.setForeground(palette().color(QPalette::Text));
    return format;
}

void RichEditControl::HideSelection(bool hide)
{
    // Called after every append: only a change touches the palette.
    if (hide == selectionHidden_)
    {
        return;
    }
    selectionHidden_ = hide;
    QPalette colours = palette();
    if (hide)
    {
        colours.setColor(QPalette::Highlight, colours.color(QPalette::Base));
        colours.setColor(QPalette::HighlightedText, colours.color(QPalette::Text));
    }
    else
    {
        colours.setColor(QPalette::Highlight, QPalette().color(QPalette::Highlight));
        colours.setColor(QPalette::HighlightedText, QPalette().color(QPalette::HighlightedText));
    }
    setPalette(colours);
}

std::string RichEditControl::Text() const
{
    return toPlainText().toStdString();
}

void RichEditControl::SetText(std::string_view text)
{
    setPlainText(ToDocumentText(text));
}

QPoint RichEditControl::PosFromChar(int position) const
{
    QTextCursor cursor(document());
    cursor.setPosition(std::clamp(position, 0, TextLength()));
    return cursorRect(cursor).topLeft();
}

int RichEditControl::LineIndex(int line) const
{
    if (line < 0)
    {
        return -1;
    }
    // Lines are the laid-out lines, wrapped ones included, as the control counts them.
    int counted = 0;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next())
    {
        const QTextLayout* layout = block.layout();
        const int lines = layout != nullptr && layout->lineCount() > 0 ? layout->lineCount() : 1;
        if (line < counted + lines)
        {
            if (layout == nullptr || layout->lineCount() == 0)
            {
                return block.position();
            }
            return block.position() + layout->lineAt(line - counted).textStart();
        }
        counted += lines;
    }
    return -1;
}

int RichEditControl::CharFromPos(const QPoint& point) const
{
    return cursorForPosition(point).position();
}

int RichEditControl::SelectionType() const
{
    return textCursor().hasSelection() ? 1 : 0;
}

std::optional<QColor> RichEditControl::ColourAt(int position) const
{
    if (position < 0 || position >= TextLength())
    {
        return std::nullopt;
    }
    QTextCursor cursor(document());
    cursor.setPosition(position);
    cursor.setPosition(position + 1, QTextCursor::KeepAnchor);
    const QTextCharFormat format = cursor.charFormat();
    if (!format.hasProperty(QTextFormat::ForegroundBrush))
    {
        return palette().color(QPalette::Text);
    }
    return format.foreground().color();
}

} // namespace quellis::ui

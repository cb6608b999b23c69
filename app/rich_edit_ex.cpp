#include "app/rich_edit_ex.h"

#include "app/selection_hit.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QCursor>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QTextCursor>

#include <string_view>

namespace quellis::app
{

namespace
{

constexpr std::string_view kMenuCopy = "复制";
constexpr std::string_view kMenuSelectAll = "选择全部内容";
constexpr std::string_view kMenuClear = "清空全部内容";

QAction* AddItem(QMenu& menu, int id, std::string_view caption)
{
    QAction* action = menu.addAction(QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size())));
    action->setData(id);
    return action;
}

int RunMenu(QMenu& menu, const QPoint& globalPos)
{
    const QAction* chosen = menu.exec(globalPos);
    return chosen != nullptr ? chosen->data().toInt() : 0;
}

// The font's height in twips (1/1440 inch), as the control's character format
// gives it.
int FontHeightTwips(const QFont& font, int dotsPerInch)
{
    if (font.pointSizeF() > 0)
    {
        return qRound(font.pointSizeF() * 20);
    }
    return dotsPerInch > 0 ? font.pixelSize() * 1440 / dotsPerInch : font.pixelSize() * 15;
}

} // namespace

CRichEditEx::CRichEditEx(QWidget* parent)
    : ui::RichEditControl(parent)
{
    setReadOnly(false);
}

void CRichEditEx::SetMenuRunner(MenuRunner runner)
{
    menuRunner_ = std::move(runner);
}

int CRichEditEx::LineHeight() const
{
    const int second = LineIndex(1);
    const int first = LineIndex(0);
    return PaneLineHeight(second != -1,
        PosFromChar(first).y(),
        PosFromChar(second).y(),
        FontHeightTwips(DefaultCharFormat().font(), logicalDpiY()));
}

void CRichEditEx::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::RightButton)
    {
        ui::RichEditControl::mousePressEvent(event);
        return;
    }
    QPointer<CRichEditEx> self(this);
    const int chosen = OnRButtonDown(event->position().toPoint());
    // The menu runs a loop of its own, in which the pane may have gone.
    if (self == nullptr)
    {
        return;
    }
    OnCommand(chosen);
    ui::RichEditControl::mousePressEvent(event);
    event->accept();
}

void CRichEditEx::contextMenuEvent(QContextMenuEvent* event)
{
    // The pane's menu comes with the right button press; the edit's own
    // context menu, and the dialog's behind it, are not offered as well.
    event->accept();
}

int CRichEditEx::OnRButtonDown(const QPoint& point)
{
    const int lineHeight = LineHeight();
    setFocus(Qt::MouseFocusReason);

    // Not a child of the pane: the pane may go while the menu's loop runs.
    QMenu menu;
    QAction* copy = AddItem(menu, kIdmLogCopy, kMenuCopy);
    AddItem(menu, kIdmLogSelectAll, kMenuSelectAll);
    menu.addSeparator();
    AddItem(menu, kIdmLogClear, kMenuClear);

    int start = 0;
    int end = 0;
    GetSel(start, end);
    const QPoint startPos = PosFromChar(start);
    const QPoint endPos = PosFromChar(end);
    if (!ClickInsideSelection(
            { startPos.x(), startPos.y() }, { endPos.x(), endPos.y() }, lineHeight, { point.x(), point.y() }))
    {
        SetSel(-1, 0);
    }
    // The caret goes to the clicked line. A kept selection is left alone:
    // moving the insertion point would drop it, and it is what "copy" copies.
    if (SelectionType() == 0)
    {
        QTextCursor caret = textCursor();
        caret.setPosition(CharFromPos(QPoint(point.x(), CaretLineTop(point.y(), lineHeight))));
        setTextCursor(caret);
    }
    copy->setEnabled(SelectionType() != 0);

    return menuRunner_ ? menuRunner_(menu, QCursor::pos()) : RunMenu(menu, QCursor::pos());
}

void CRichEditEx::OnCommand(int id)
{
    switch (id)
    {
    case kIdmLogCopy:
        copy();
        break;
    case kIdmLogSelectAll:
        SetSel(0, -1);
        break;
    case kIdmLogClear:
        SetText("");
        break;
    default:
        break;
    }
}

} // namespace quellis::app

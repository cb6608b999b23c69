#pragma once

#include "platform/ui/rich_edit.h"

#include <functional>

class QMenu;

namespace quellis::app
{

// Commands of the log pane's own menu.
inline constexpr int kIdmLogCopy = 103;
inline constexpr int kIdmLogClear = 105;
inline constexpr int kIdmLogSelectAll = 106;

// The log pane: a rich edit (never read-only: the operator may type into it)
// with its own right-click menu: copy, select all, clear. UI thread only.
class CRichEditEx : public ui::RichEditControl
{
    Q_OBJECT

public:
    // Shows the menu at a screen position and returns the id of the chosen
    // item, 0 when none was chosen. The default pops the menu up and waits.
    using MenuRunner = std::function<int(QMenu& menu, const QPoint& globalPos)>;

    explicit CRichEditEx(QWidget* parent = nullptr);

    // Tests choose an item without a real pop-up; an empty runner restores the default.
    void SetMenuRunner(MenuRunner runner);

    // The height of one line in pixels, as the right click measures it.
    [[nodiscard]] int LineHeight() const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // Builds and shows the menu; the chosen command id, 0 for none.
    int OnRButtonDown(const QPoint& point);
    void OnCommand(int id);

    MenuRunner menuRunner_;
};

} // namespace quellis::app

#pragma once

#include "platform/ui/rich_edit.h"

namespace quellis::app
{

// The log pane: a rich edit with its own right-click menu (copy, select all,
// clear).
class CRichEditEx : public ui::RichEditControl
{
    Q_OBJECT

public:
    explicit CRichEditEx(QWidget* parent = nullptr);
};

} // namespace quellis::app

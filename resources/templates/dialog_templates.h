#pragma once

#include "platform/ui/dialog_template.h"

// The dialog templates, as a resource script would hold them: ids, kinds,
// captions (UTF-8) and rectangles in dialog units.

namespace quellis::resources
{

extern const ui::DialogTemplate kMainDialog; // 102
extern const ui::DialogTemplate kAboutDialog; // 100
extern const ui::DialogTemplate kMonitorPanel; // 130
extern const ui::DialogTemplate kDevSetDialog; // 129
extern const ui::DialogTemplate kPoolInfoDialog; // 137

} // namespace quellis::resources

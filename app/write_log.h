#pragma once

#include "core/log_colour.h"

#include <string_view>

namespace quellis::app
{

class CQuellisDlg;

// Appends a text unchanged to the main dialog's log pane in a colour and, when
// toLogFile is non-zero, to log.txt. No time stamp and no line break are
// added; callers end their lines with "\r\n". Callable from any thread.
// Returns 1.
int WriteLog(core::LogColour colour, std::string_view text, CQuellisDlg* dialog, int toLogFile);

} // namespace quellis::app

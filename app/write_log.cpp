#include "app/write_log.h"

#include "app/log_file.h"
#include "app/quellis_dlg.h"

namespace quellis::app
{

int WriteLog(core::LogColour colour, std::string_view text, CQuellisDlg* dialog, int toLogFile)
{
    // The file is written on the calling thread, outside any window call, so
    // a slow disk never holds the UI thread. The pane's steps (colour the
    // selection, caret to the end, insert, show the selection) are one window
    // call in AppendLog, so lines of two threads cannot be interleaved. Which
    // of the two goes first is not visible: a file that cannot be opened
    // changes nothing for the pane either way.
    if (toLogFile != 0)
    {
        [[maybe_unused]] const bool appended = AppendToLogFile(text);
    }
    if (dialog != nullptr)
    {
        dialog->AppendLog(colour, text);
    }
    return 1;
}

} // namespace quellis::app

#include "app/write_log.h"

#include "app/log_file.h"
#include "app/quellis_dlg.h"

namespace quellis::app
{

int WriteLog(LogColour colour, std::string_view text, CQuellisDlg* dialog, int toLogFile)
{
    // The file first, then the pane: a file that cannot be opened changes
    // nothing for the pane.
    if (toLogFile != 0)
    {
        AppendToLogFile(text);
    }
    if (dialog != nullptr)
    {
        dialog->AppendLog(colour, text);
    }
    return 1;
}

} // namespace quellis::app

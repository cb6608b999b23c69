#include "app/about_dlg.h"

#include "app/quellis_dlg.h"
#include "resources/templates/dialog_templates.h"

namespace quellis::app
{

CAboutDlg::CAboutDlg(CQuellisDlg* parent)
    : ui::Dialog(resources::kAboutDialog, parent)
    , parent_(parent)
{
}

} // namespace quellis::app

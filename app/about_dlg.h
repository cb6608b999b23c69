#pragma once

#include "platform/ui/dialog.h"

namespace quellis::app
{

class CQuellisDlg;

// The About box: icon, name and version, copyright, the maker's web address.
class CAboutDlg : public ui::Dialog
{
    Q_OBJECT

public:
    explicit CAboutDlg(CQuellisDlg* parent);

private:
    CQuellisDlg* parent_;
};

} // namespace quellis::app

#include "app/quellis_app.h"
#include "platform/ui/dialog.h"
#include "platform/version/version_record.h"

#include <QApplication>

#include <csignal>

// The program's own version record: file and product version, as the About
// box reads them from this file.
QUELLIS_DEFINE_VERSION_RECORD(1, 0, 2, 15, 1, 0, 2, 15);

int main(int argc, char** argv)
{
    // A machine that closes its connection while the tool writes must not end the tool.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication application(argc, argv);
    quellis::ui::InitDialogFramework();
    quellis::app::CQuellisApp theApp;
    theApp.InitInstance();
    return 0;
}

// A program with a version record of its own whose About box says its version
// whenever a line comes on standard input. A test starts a copy of it,
// replaces or deletes that copy on disk, and asks.
#include "app/about_dlg.h"
#include "platform/ui/application.h"
#include "platform/version/version_record.h"
#include "resources/templates/about_dialog_ids.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

QUELLIS_DEFINE_VERSION_RECORD(3, 1, 4, 0, 3, 1, 4, 1);

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    quellis::ui::Application application(argc, argv);
    std::puts("ready");
    std::fflush(stdout);
    for (std::string line; std::getline(std::cin, line);)
    {
        quellis::app::CAboutDlg about(nullptr);
        about.Create(nullptr);
        std::puts(about.ItemText(quellis::resources::kIdAboutVersion).c_str());
        std::fflush(stdout);
    }
    return 0;
}

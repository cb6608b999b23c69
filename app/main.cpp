#include "app/quellis_app.h"
#include "app/quellis_dlg.h"
#include "app/start_options.h"
#include "platform/places/user_places.h"
#include "platform/trace/trace.h"
#include "platform/ui/application.h"
#include "platform/ui/font_config.h"
#include "platform/ui/termination.h"
#include "platform/version/program_version.h"
#include "platform/version/version_record.h"

#include <QApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>

// The program's own version record: file and product version, as the About
// box and --version read them from this file.
QUELLIS_DEFINE_PROGRAM_VERSION_RECORD();

namespace
{

// SIGTERM and SIGINT (a session logging out, Ctrl-C in the terminal of
// `make run`) close the main dialog the way its close box does, so that its
// teardown closes the sockets and ends the threads. Before the dialog runs
// there is nothing to tear down and the signal ends the process as usual.
void CloseMainDialog()
{
    quellis::app::CQuellisDlg* dialog = quellis::app::TheMainDialog();
    if (dialog == nullptr)
    {
        return;
    }
    if (!dialog->isVisible())
    {
        // Still initialising (a start-up message box runs this loop): closing
        // now would be undone when the dialog is shown.
        QTimer::singleShot(50, qApp, [] { CloseMainDialog(); });
        return;
    }
    // Message boxes and the About box first, then the main dialog.
    QApplication::closeAllWindows();
}

} // namespace

int main(int argc, char** argv)
{
    // A machine that closes its connection while the tool writes must not end the tool.
    quellis::ui::IgnoreBrokenPipes();
    const quellis::app::StartOptions options = quellis::app::ParseStartOptions(argc, argv);
    if (options.help)
    {
        std::fputs(quellis::app::kStartUsage, stdout);
        return 0;
    }
    if (options.version)
    {
        std::puts(quellis::version::VersionLine("quellis").c_str());
        return 0;
    }
    if (options.fromMenu)
    {
        quellis::places::PrintMessages(
            "quellis", quellis::places::EnterDataDir(quellis::places::CurrentEnvironment()).messages);
    }
    quellis::trace::StartupStep("main");
    quellis::ui::StartLoadingFontConfiguration();
    quellis::ui::Application application(argc, argv);
    quellis::trace::StartupStep("application made");
    quellis::ui::CloseOnTerminationSignals(
        application, [] { return quellis::app::TheMainDialog() != nullptr; }, [] { CloseMainDialog(); });
    quellis::app::CQuellisApp theApp;
    // Test hook (see README): hold the instance lock this long before the
    // main window is made.
    if (const char* delay = std::getenv("QUELLIS_TEST_START_DELAY_MS"))
    {
        theApp.SetStartDelay(std::chrono::milliseconds(std::strtol(delay, nullptr, 10)));
    }
    theApp.InitInstance();
    // The application's teardown releases Qt's font database and with it
    // fontconfig's configuration: the loading thread must have finished
    // first (a second instance that only raised the first gets here at once).
    quellis::ui::WaitForFontConfiguration();
    return 0;
}

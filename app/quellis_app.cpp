#include "app/quellis_app.h"

#include "app/quellis_dlg.h"
#include "controls/picture_ex.h"
#include "platform/places/user_places.h"
#include "platform/trace/trace.h"
#include "platform/ui/window_class.h"

#include <thread>

namespace quellis::app
{

namespace
{

constexpr const char* kAlreadyRunningTrace = "Quellis应用程序已经在运行";
constexpr std::chrono::seconds kWaitForFirstWindow { 60 };
// Between two looks for the other instance's window. The looks could follow
// each other without a pause, but a minute of that would keep a core busy.
constexpr std::chrono::milliseconds kLookPause { 50 };

} // namespace

bool CQuellisApp::BecomeOnlyInstance()
{
    if (instance::NamedLock::Create(kInstanceLockName, lock_) != instance::NamedLock::Result::AlreadyExists)
    {
        // Created; or the lock cannot be made at all, which leaves nothing to
        // wait for either.
        return true;
    }
    // Another instance runs: bring its window to the front. It may still be
    // starting (no window yet), or may end while this one waits.
    trace::OutputDebugString(kAlreadyRunningTrace);
    const auto start = std::chrono::steady_clock::now();
    for (;;)
    {
        if (ui::ActivateWindowOfClass(kMainWindowClass))
        {
            return false;
        }
        if (std::chrono::steady_clock::now() - start > kWaitForFirstWindow)
        {
            return false;
        }
        if (instance::NamedLock::Create(kInstanceLockName, lock_) != instance::NamedLock::Result::AlreadyExists)
        {
            return true;
        }
        trace::OutputDebugString(kAlreadyRunningTrace);
        std::this_thread::sleep_for(kLookPause);
    }
}

bool CQuellisApp::InitInstance()
{
    places::Place config = places::FindConfig(places::CurrentEnvironment());
    places::PrintMessages("quellis", config.messages);
    configPath_ = std::move(config.path);
    if (!BecomeOnlyInstance())
    {
        return false;
    }
    if (startDelay_.count() > 0)
    {
        trace::OutputDebugStringF(
            "instance lock taken; main window delayed %lld ms\n", static_cast<long long>(startDelay_.count()));
        std::this_thread::sleep_for(startDelay_);
    }
    trace::StartupStep("instance lock taken");
    // The busy picture is decoded on another thread while the window is made.
    controls::CPictureEx::StartDecodingResource();
    CQuellisDlg dialog(configPath_);
    trace::StartupStep("main dialog made");
    dialog.DoModal();
    return false;
}

} // namespace quellis::app

#pragma once

#include "platform/instance/named_lock.h"

#include <chrono>
#include <filesystem>
#include <functional>

namespace quellis::app
{

inline constexpr const char* kInstanceLockName = "QuellisMutex";

// The application object: finds config.ini (places::FindConfig), keeps one
// instance per machine and runs the main dialog.
class CQuellisApp
{
public:
    // The whole start-up; false always, as the process ends after it: when
    // the dialog has closed, or at once when another instance runs.
    bool InitInstance();

    [[nodiscard]] const std::filesystem::path& ConfigPath() const { return configPath_; }

    // Test hook: a pause between becoming the only instance and making the
    // main window, so that tests can start a second instance while this one
    // is still starting. main() sets it from QUELLIS_TEST_START_DELAY_MS.
    void SetStartDelay(std::chrono::milliseconds delay) { startDelay_ = delay; }

private:
    // True when this process may go on as the only instance.
    bool BecomeOnlyInstance();

    instance::NamedLock lock_;
    std::filesystem::path configPath_;
    std::chrono::milliseconds startDelay_ { 0 };
};

} // namespace quellis::app

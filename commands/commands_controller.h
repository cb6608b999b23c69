#pragma once

#include "core/controller.h"
#include "core/window.h"
#include "discovery/shared_state.h"

#include <string>

// The maintenance commands carried by device packets: tests, identification
// blink, remote execution and restarts, network settings.

namespace quellis::commands
{

class CommandsController : public core::Controller
{
public:
    CommandsController(discovery::SharedState& state, core::Window& window);

    bool OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;

    // A network setting of the machine last configured failed: the reason
    // with that machine's MAC, in a box owned by the main window.
    void ShowSettingFailure(int result);

private:
    discovery::SharedState& state_;
    core::Window& window_;
};

// The text of the box for a failed network setting.
[[nodiscard]] std::string SettingFailureText(int result, const std::string& target);

} // namespace quellis::commands

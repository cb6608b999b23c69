#pragma once

#include "core/controller.h"
#include "core/window.h"
#include "discovery/shared_state.h"

// Monitoring: the monitor box of the side panel and the polling thread.

namespace quellis::monitor
{

class MonitorController : public core::Controller
{
public:
    // `panel`: the side panel's controls (the monitor box, the interval).
    MonitorController(discovery::SharedState& state, core::Window& window, core::Controls& panel);

    // A button of the side panel other than the language box; true when handled.
    bool OnPanelCommand(int id);

private:
    discovery::SharedState& state_;
    core::Window& window_;
    core::Controls& panel_;
};

} // namespace quellis::monitor

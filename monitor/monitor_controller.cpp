#include "monitor/monitor_controller.h"

namespace quellis::monitor
{

MonitorController::MonitorController(discovery::SharedState& state, core::Window& window, core::Controls& panel)
    : state_(state)
    , window_(window)
    , panel_(panel)
{
}

bool MonitorController::OnPanelCommand(int)
{
    return false;
}

} // namespace quellis::monitor

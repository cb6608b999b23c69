#include "update/update_controller.h"

namespace quellis::update
{

UpdateController::UpdateController(discovery::SharedState& state, core::Window& window)
    : state_(state)
    , window_(window)
{
}

} // namespace quellis::update

#include "miner/miner_controller.h"

namespace quellis::miner
{

MinerController::MinerController(discovery::SharedState& state, core::Window& window)
    : state_(state)
    , window_(window)
{
}

} // namespace quellis::miner

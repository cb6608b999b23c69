#pragma once

#include "core/controller.h"
#include "core/window.h"
#include "discovery/shared_state.h"

// The miner operations: the miner API client, the batch runs, the pool settings and pool files, the EEPROM label codes.

namespace quellis::miner
{

class MinerController : public core::Controller
{
public:
    MinerController(discovery::SharedState& state, core::Window& window);

private:
    discovery::SharedState& state_;
    core::Window& window_;
};

} // namespace quellis::miner

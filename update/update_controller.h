#pragma once

#include "core/controller.h"
#include "core/window.h"
#include "discovery/shared_state.h"

// The firmware update: the package choice, the mapped package, the update run and the package server on TCP 2425.

namespace quellis::update
{

class UpdateController : public core::Controller
{
public:
    UpdateController(discovery::SharedState& state, core::Window& window);

private:
    discovery::SharedState& state_;
    core::Window& window_;
};

} // namespace quellis::update

#pragma once

#include "core/window.h"

#include <string>

// The alarm sound player. The waveform player itself is built with the
// monitoring subsystem; until then Load loads nothing and Play is silent.

namespace quellis::monitor
{

class CWave : public core::Alarm
{
public:
    // False: no sound is loaded yet.
    bool Load(const std::string&) { return false; }
    void Play() override {}
};

} // namespace quellis::monitor

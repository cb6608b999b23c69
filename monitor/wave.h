#pragma once

#include <string>

// The alarm sound player. The waveform player itself is built with the
// monitoring subsystem; until then Load loads nothing and Play is silent.

namespace quellis::monitor
{

class CWave
{
public:
    virtual ~CWave() = default;
    // False: no sound is loaded yet.
    bool Load(const std::string&) { return false; }
    void Play() {}
};

} // namespace quellis::monitor

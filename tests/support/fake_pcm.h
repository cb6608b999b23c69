#pragma once

#include <cstdint>
#include <string>

// A playback device that behaves like a sound card, as an ALSA I/O plugin of
// the test tree: nothing plays before the stream is started, the delay counts
// the queued frames until then, and once started the frames are consumed at
// the stream's rate by the clock. A script can freeze the clock (a device that
// never plays) or report one underrun after a given number of frames.
//
// The test executable links this library, and ALSA loads the same file for the
// device kFakePcmDevice, so both see the same script and tally.

namespace quellis::test
{

inline constexpr const char* kFakePcmDevice = "quellis_fake";

struct FakePcmScript
{
    bool frozen = false; // started, it consumes nothing
    // One underrun, reported at the first look at the clock after this many
    // frames have been written since the script was set; -1 for none.
    std::int64_t underrunAfter = -1;
    int failPrepares = 0; // this many prepares fail, as of a card that went away
};

struct FakePcmTally
{
    int starts = 0;
    int underruns = 0;
    std::int64_t framesWritten = 0;
    std::int64_t framesPlayed = 0; // consumed while started: what was heard
    std::int64_t bufferFrames = 0; // of the last stream set up; kept by a new script
};

// Sets the script and clears the tally; call it while no sound is playing.
void SetFakePcmScript(const FakePcmScript& script);
[[nodiscard]] FakePcmTally ReadFakePcmTally();

// Makes the next ALSA open find kFakePcmDevice (besides every device of the
// system's configuration): writes a configuration file into `directory` and
// names it, after the system's own, in ALSA_CONFIG_PATH. False when that
// fails.
[[nodiscard]] bool InstallFakePcm(const std::string& directory);

} // namespace quellis::test

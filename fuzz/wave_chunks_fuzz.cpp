// devDown.wav is whatever file lies in the current directory under that name.
// Beyond not crashing or hanging, the walk keeps only bytes the file holds:
// its sound is never longer than the file less its headers.

#include "fuzz/fuzz_check.h"
#include "monitor/wave_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto sound = quellis::monitor::ReadWave({ data, size });
    if (sound)
    {
        // The RIFF and format headers are 36 bytes, a chunk header 8 more.
        Check(size >= 36);
        Check(sound->samples.size() + 44 <= std::max<std::size_t>(size, 44));
    }
    return 0;
}

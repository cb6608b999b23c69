// The busy animation is read from the program's resources, but the picture
// control takes any GIF. Beyond not crashing or reading outside the input:
// cut frames lie in the data, and a decoded frame has one pixel per place of
// its rectangle, each transparent or opaque.

#include "controls/gif_decode.h"
#include "controls/gif_frames.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace
{

void CheckDecoded(std::span<const std::uint8_t> gif)
{
    const auto pixels = quellis::controls::DecodeGifFrame(gif);
    if (!pixels)
    {
        return;
    }
    Check(pixels->width > 0 && pixels->height > 0);
    Check(pixels->argb.size() == static_cast<std::size_t>(pixels->width) * static_cast<std::size_t>(pixels->height));
    for (const std::uint32_t pixel : pixels->argb)
    {
        Check(pixel == 0 || (pixel >> 24) == 0xFF);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> bytes(data, size);
    CheckDecoded(bytes);
    auto walker = quellis::controls::GifWalker::Open(bytes);
    if (!walker)
    {
        return 0;
    }
    const int counted = walker->CountFrames();
    int cut = 0;
    while (auto frame = walker->CutNextFrame())
    {
        // Pieces of the data and one trailer byte.
        Check(frame->bytes.size() <= size + 1);
        CheckDecoded(frame->bytes);
        ++cut;
    }
    Check(cut == counted);
    return 0;
}

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Decoding one frame as GifWalker cuts it (a stand-alone GIF of one image):
// the LZW stream of its image, through the local or global colour table, to
// 32-bit pixels 0xAARRGGBB of the frame's own rectangle, row by row. The
// frame's transparent colour is 0 (alpha 0); every other pixel is opaque, so
// the pixels are also valid premultiplied ones.
//
// Only well-formed frames are decoded: anything unusual (a missing colour
// table, an index past the table, a bad or short LZW stream, a frame outside
// the logical screen, an empty or huge frame) gives nothing, and the caller
// may hand the frame to a general decoder instead.

namespace quellis::controls
{

struct GifPixels
{
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> argb; // width * height
};

[[nodiscard]] std::optional<GifPixels> DecodeGifFrame(std::span<const std::uint8_t> gif);

} // namespace quellis::controls

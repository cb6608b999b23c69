#pragma once

#include <array>
#include <cstdint>
#include <vector>

// A GIF89a writer: one global colour table of 256 entries, full-size frames
// of palette indexes, each with its delay and disposal method, LZW-compressed.

namespace quellis::tools
{

struct GifPalette
{
    std::array<std::array<std::uint8_t, 3>, 256> colours {};
};

struct GifFrameData
{
    std::vector<std::uint8_t> indexes; // width * height palette indexes, row by row
    int delay = 0; // hundredths of a second
    int disposal = 1;
};

[[nodiscard]] std::vector<std::uint8_t> EncodeGif(
    int width, int height, const GifPalette& palette, const std::vector<GifFrameData>& frames, bool loop);

// The LZW stream of one image with the given minimum code size (2 to 8; every
// index below 1 << codeSize), to go into sub-blocks after the code size byte.
[[nodiscard]] std::vector<std::uint8_t> LzwCompress(const std::vector<std::uint8_t>& indexes, int codeSize = 8);

} // namespace quellis::tools

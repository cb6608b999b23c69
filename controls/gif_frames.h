#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Cutting an animated GIF into one stand-alone GIF per frame, so that a plain
// picture decoder can decode each: the file's header, logical screen and
// global colour table, then the frame's own blocks, then a trailer. Only the
// block structure is read; no image data is decoded here. Every step is
// bounded by the data: a block that would run past the end, or one of an
// unknown kind, ends the walk.

namespace quellis::controls
{

struct GifScreen
{
    int width = 0;
    int height = 0;
    std::size_t colourTableSize = 0; // bytes of the global colour table
    int backgroundIndex = 0;
    bool hasColourTable = false;
};

struct GifFrame
{
    std::vector<std::uint8_t> bytes; // a complete GIF holding this frame alone
    int width = 0;
    int height = 0;
    int left = 0;
    int top = 0;
    int delay = -1; // hundredths of a second; -1 without a graphic control block
    int disposal = 0; // 0 without a graphic control block
};

class GifWalker
{
public:
    // Nothing when the data does not start with "GIF" and a whole logical
    // screen descriptor.
    [[nodiscard]] static std::optional<GifWalker> Open(std::span<const std::uint8_t> data);

    [[nodiscard]] const GifScreen& Screen() const { return screen_; }
    // Back to the first block after the colour table.
    void Rewind();
    // Passes over the next frame; false at the trailer, an unknown block or
    // the end of the data.
    [[nodiscard]] bool SkipToNextFrame();
    // The next frame as a stand-alone GIF; nothing where SkipToNextFrame fails.
    [[nodiscard]] std::optional<GifFrame> CutNextFrame();

    // Frames counted from the start, without cutting them.
    [[nodiscard]] int CountFrames();

private:
    enum class Block
    {
        Application,
        Comment,
        GraphicControl,
        PlainText,
        Image,
        Trailer,
        Unknown,
    };

    GifWalker(std::span<const std::uint8_t> data, GifScreen screen);
    [[nodiscard]] Block KindAt(std::size_t position) const;
    // The length of the block at position, or nothing when it is unknown or
    // would pass the end of the data.
    [[nodiscard]] std::optional<std::size_t> LengthAt(std::size_t position) const;
    [[nodiscard]] std::optional<std::size_t> SubBlocksLength(std::size_t position) const;
    [[nodiscard]] bool PassOverExtensions();
    [[nodiscard]] std::uint16_t U16At(std::size_t position) const;

    std::span<const std::uint8_t> data_;
    GifScreen screen_;
    std::size_t firstBlock_ = 0;
    std::size_t position_ = 0;
};

} // namespace quellis::controls

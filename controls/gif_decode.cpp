#include "controls/gif_decode.h"

#include <algorithm>
#include <array>

namespace quellis::controls
{

namespace
{

constexpr std::size_t kScreenDescriptorEnd = 13;
constexpr std::size_t kImageDescriptorSize = 10;
constexpr std::uint8_t kExtension = 0x21;
constexpr std::uint8_t kGraphicControl = 0xF9;
constexpr std::uint8_t kImage = 0x2C;
constexpr int kMaxCodeBits = 12;
constexpr int kTableSize = 1 << kMaxCodeBits;
// A frame past this many pixels is left to a general decoder.
constexpr std::size_t kMostPixels = std::size_t { 1 } << 24;

int U16(std::span<const std::uint8_t> data, std::size_t position)
{
    return data[position] | (data[position + 1] << 8);
}

std::size_t ColourTableBytes(std::uint8_t packed)
{
    return 3u << ((packed & 7) + 1);
}

// The data of the sub-blocks starting at `position`, joined; nothing when the
// chain runs past the end.
std::optional<std::vector<std::uint8_t>> JoinSubBlocks(std::span<const std::uint8_t> data, std::size_t position)
{
    std::vector<std::uint8_t> joined;
    for (;;)
    {
        if (position >= data.size())
        {
            return std::nullopt;
        }
        const std::size_t size = data[position++];
        if (size == 0)
        {
            return joined;
        }
        if (size > data.size() - position)
        {
            return std::nullopt;
        }
        joined.insert(joined.end(),
            data.begin() + static_cast<std::ptrdiff_t>(position),
            data.begin() + static_cast<std::ptrdiff_t>(position + size));
        position += size;
    }
}

// The position after the sub-blocks starting at `position`, or nothing.
std::optional<std::size_t> SkipSubBlocks(std::span<const std::uint8_t> data, std::size_t position)
{
    for (;;)
    {
        if (position >= data.size())
        {
            return std::nullopt;
        }
        const std::size_t size = data[position];
        position += 1 + size;
        if (size == 0)
        {
            return position;
        }
    }
}

// Codes of a variable width, least significant bit first.
class CodeReader
{
public:
    explicit CodeReader(const std::vector<std::uint8_t>& bytes)
        : bytes_(bytes)
    {
    }

    // The next code, or -1 at the end of the data.
    int Next(int width)
    {
        while (count_ < width)
        {
            if (position_ >= bytes_.size())
            {
                return -1;
            }
            bits_ |= static_cast<std::uint32_t>(bytes_[position_++]) << count_;
            count_ += 8;
        }
        const int code = static_cast<int>(bits_ & ((1u << width) - 1));
        bits_ >>= width;
        count_ -= width;
        return code;
    }

private:
    const std::vector<std::uint8_t>& bytes_;
    std::size_t position_ = 0;
    std::uint32_t bits_ = 0;
    int count_ = 0;
};

// A colour table as pixels, and which indexes have a colour: those of the
// table and the transparent one.
struct Palette
{
    std::array<std::uint32_t, 256> argb {};
    std::array<bool, 256> known {};
};

// The pixels of the LZW stream in stream order, exactly `count` of them into
// `out` (codes past those are ignored, as the end code may be missing once
// the image is full); false when the stream is bad, ends early or names an
// index without a colour.
//
// Every string of the code table is in the output already: a code is made of
// the string just written and the first pixel of the next one, which follow
// each other there. So an entry is only where its string starts in the output
// and its length, and a code is decoded by copying earlier output. Only the
// literal codes bring new indexes, so only they are checked against the table.
bool DecompressLzw(const std::vector<std::uint8_t>& stream,
    int minimumCodeSize,
    const Palette& palette,
    std::uint32_t* out,
    std::size_t count)
{
    const int clear = 1 << minimumCodeSize;
    const int end = clear + 1;
    std::array<std::uint32_t, kTableSize> start {};
    std::array<std::uint16_t, kTableSize> length {};

    std::size_t written = 0;
    CodeReader reader(stream);
    int width = minimumCodeSize + 1;
    int next = end + 1;
    bool afterClear = true;
    std::size_t previousStart = 0;
    std::size_t previousLength = 0;
    while (written < count)
    {
        const int code = reader.Next(width);
        if (code < 0 || code == end)
        {
            return false; // the image is not full
        }
        if (code == clear)
        {
            width = minimumCodeSize + 1;
            next = end + 1;
            afterClear = true;
            continue;
        }
        std::size_t stringLength = 1;
        const std::size_t room = count - written;
        if (code < clear)
        {
            if (!palette.known[static_cast<std::size_t>(code)])
            {
                return false;
            }
            out[written] = palette.argb[static_cast<std::size_t>(code)];
        }
        else if (afterClear)
        {
            return false; // a string before any was made
        }
        else if (code < next)
        {
            // Wholly before `written`: the copy does not overlap.
            const auto entry = static_cast<std::size_t>(code);
            stringLength = length[entry];
            std::copy_n(out + start[entry], std::min(stringLength, room), out + written);
        }
        else if (code == next)
        {
            // The string just written plus its own first pixel, which this
            // copy writes before it reads it.
            stringLength = previousLength + 1;
            const std::size_t copied = std::min(stringLength, room);
            for (std::size_t i = 0; i < copied; ++i)
            {
                out[written + i] = out[previousStart + i];
            }
        }
        else
        {
            return false;
        }
        if (!afterClear && next < kTableSize)
        {
            const auto entry = static_cast<std::size_t>(next);
            start[entry] = static_cast<std::uint32_t>(previousStart);
            length[entry] = static_cast<std::uint16_t>(previousLength + 1);
            ++next;
            if (next == (1 << width) && width < kMaxCodeBits)
            {
                ++width;
            }
        }
        afterClear = false;
        previousStart = written;
        previousLength = stringLength;
        written += std::min(stringLength, room);
    }
    return true;
}

} // namespace

std::optional<GifPixels> DecodeGifFrame(std::span<const std::uint8_t> gif)
{
    if (gif.size() < kScreenDescriptorEnd || gif[0] != 'G' || gif[1] != 'I' || gif[2] != 'F')
    {
        return std::nullopt;
    }
    const int screenWidth = U16(gif, 6);
    const int screenHeight = U16(gif, 8);
    const std::uint8_t screenPacked = gif[10];
    std::size_t position = kScreenDescriptorEnd;
    std::span<const std::uint8_t> colours;
    if ((screenPacked & 0x80) != 0)
    {
        const std::size_t size = ColourTableBytes(screenPacked);
        if (size > gif.size() - position)
        {
            return std::nullopt;
        }
        colours = gif.subspan(position, size);
        position += size;
    }

    // Extensions up to the image; of them only the control block matters here.
    int transparent = -1;
    while (position < gif.size() && gif[position] == kExtension)
    {
        if (position + 1 >= gif.size())
        {
            return std::nullopt;
        }
        if (gif[position + 1] == kGraphicControl && position + 6 < gif.size() && gif[position + 2] >= 4)
        {
            transparent = (gif[position + 3] & 1) != 0 ? gif[position + 6] : -1;
        }
        const auto after = SkipSubBlocks(gif, position + 2);
        if (!after)
        {
            return std::nullopt;
        }
        position = *after;
    }
    if (position >= gif.size() || gif[position] != kImage || kImageDescriptorSize + 1 > gif.size() - position)
    {
        return std::nullopt;
    }
    const int left = U16(gif, position + 1);
    const int top = U16(gif, position + 3);
    const int width = U16(gif, position + 5);
    const int height = U16(gif, position + 7);
    const std::uint8_t packed = gif[position + 9];
    position += kImageDescriptorSize;
    const auto pixelCount = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (width == 0 || height == 0 || left + width > screenWidth || top + height > screenHeight
        || pixelCount > kMostPixels)
    {
        return std::nullopt;
    }
    if ((packed & 0x80) != 0)
    {
        const std::size_t size = ColourTableBytes(packed);
        if (size > gif.size() - position)
        {
            return std::nullopt;
        }
        colours = gif.subspan(position, size);
        position += size;
    }
    if (colours.empty() || position >= gif.size())
    {
        return std::nullopt;
    }
    const int minimumCodeSize = gif[position++];
    if (minimumCodeSize < 2 || minimumCodeSize > 8)
    {
        return std::nullopt;
    }
    const auto stream = JoinSubBlocks(gif, position);
    if (!stream)
    {
        return std::nullopt;
    }

    Palette palette;
    for (std::size_t i = 0; i < colours.size() / 3; ++i)
    {
        palette.known[i] = true;
        palette.argb[i] = 0xFF000000u | (static_cast<std::uint32_t>(colours[3 * i]) << 16)
            | (static_cast<std::uint32_t>(colours[3 * i + 1]) << 8) | colours[3 * i + 2];
    }
    if (transparent >= 0)
    {
        palette.known[static_cast<std::size_t>(transparent)] = true;
        palette.argb[static_cast<std::size_t>(transparent)] = 0;
    }

    GifPixels pixels { width, height, std::vector<std::uint32_t>(pixelCount) };
    if ((packed & 0x40) == 0)
    {
        if (!DecompressLzw(*stream, minimumCodeSize, palette, pixels.argb.data(), pixelCount))
        {
            return std::nullopt;
        }
        return pixels;
    }
    // Interlaced rows come in four passes: every 8th from 0, every 8th from
    // 4, every 4th from 2, every 2nd from 1.
    std::vector<std::uint32_t> inStreamOrder(pixelCount);
    if (!DecompressLzw(*stream, minimumCodeSize, palette, inStreamOrder.data(), pixelCount))
    {
        return std::nullopt;
    }
    const auto rowWidth = static_cast<std::size_t>(width);
    const std::uint32_t* row = inStreamOrder.data();
    for (const auto& [first, step] : { std::pair { 0, 8 }, { 4, 8 }, { 2, 4 }, { 1, 2 } })
    {
        for (int y = first; y < height; y += step)
        {
            std::copy_n(row, rowWidth, pixels.argb.data() + static_cast<std::size_t>(y) * rowWidth);
            row += rowWidth;
        }
    }
    return pixels;
}

} // namespace quellis::controls

#include "controls/gif_frames.h"

namespace quellis::controls
{

namespace
{

constexpr std::size_t kScreenDescriptorEnd = 13;
constexpr std::uint8_t kExtension = 0x21;
constexpr std::uint8_t kImage = 0x2C;
constexpr std::uint8_t kTrailer = 0x3B;

std::size_t ColourTableBytes(std::uint8_t packed)
{
    return 3u << ((packed & 7) + 1);
}

} // namespace

std::optional<GifWalker> GifWalker::Open(std::span<const std::uint8_t> data)
{
    if (data.size() < kScreenDescriptorEnd || data[0] != 'G' || data[1] != 'I' || data[2] != 'F')
    {
        return std::nullopt;
    }
    GifScreen screen;
    screen.width = data[6] | (data[7] << 8);
    screen.height = data[8] | (data[9] << 8);
    const std::uint8_t packed = data[10];
    screen.hasColourTable = (packed & 0x80) != 0;
    screen.colourTableSize = screen.hasColourTable ? ColourTableBytes(packed) : 0;
    screen.backgroundIndex = data[11];
    return GifWalker(data, screen);
}

GifWalker::GifWalker(std::span<const std::uint8_t> data, GifScreen screen)
    : data_(data)
    , screen_(screen)
    , firstBlock_(kScreenDescriptorEnd + screen.colourTableSize)
    , position_(firstBlock_)
{
}

void GifWalker::Rewind()
{
    position_ = firstBlock_;
}

std::uint16_t GifWalker::U16At(std::size_t position) const
{
    if (position + 1 >= data_.size())
    {
        return 0;
    }
    return static_cast<std::uint16_t>(data_[position] | (data_[position + 1] << 8));
}

GifWalker::Block GifWalker::KindAt(std::size_t position) const
{
    if (position >= data_.size())
    {
        return Block::Unknown;
    }
    switch (data_[position])
    {
    case kImage:
        return Block::Image;
    case kTrailer:
        return Block::Trailer;
    case kExtension:
        if (position + 1 >= data_.size())
        {
            return Block::Unknown;
        }
        switch (data_[position + 1])
        {
        case 0xFF:
            return Block::Application;
        case 0xFE:
            return Block::Comment;
        case 0xF9:
            return Block::GraphicControl;
        case 0x01:
            return Block::PlainText;
        default:
            return Block::Unknown;
        }
    default:
        return Block::Unknown;
    }
}

std::optional<std::size_t> GifWalker::SubBlocksLength(std::size_t position) const
{
    // Each sub-block's size byte and data, and the terminating zero byte.
    std::size_t length = 0;
    for (;;)
    {
        if (position + length >= data_.size())
        {
            return std::nullopt;
        }
        const std::size_t size = data_[position + length];
        length += 1 + size;
        if (size == 0)
        {
            return length;
        }
    }
}

std::optional<std::size_t> GifWalker::LengthAt(std::size_t position) const
{
    std::size_t fixed = 0;
    bool subBlocks = true;
    switch (KindAt(position))
    {
    case Block::Application:
        fixed = 14;
        break;
    case Block::Comment:
        fixed = 2;
        break;
    case Block::GraphicControl:
        fixed = 8;
        subBlocks = false;
        break;
    case Block::PlainText:
        fixed = 15;
        break;
    case Block::Image:
    {
        if (position + 9 >= data_.size())
        {
            return std::nullopt;
        }
        const std::uint8_t packed = data_[position + 9];
        fixed = 10 + ((packed & 0x80) != 0 ? ColourTableBytes(packed) : 0) + 1; // + LZW code size
        break;
    }
    case Block::Trailer:
        fixed = 1;
        subBlocks = false;
        break;
    case Block::Unknown:
        return std::nullopt;
    }
    std::size_t length = fixed;
    if (subBlocks)
    {
        const auto chain = SubBlocksLength(position + fixed);
        if (!chain)
        {
            return std::nullopt;
        }
        length += *chain;
    }
    if (position + length > data_.size())
    {
        return std::nullopt;
    }
    return length;
}

bool GifWalker::PassOverExtensions()
{
    for (;;)
    {
        const Block kind = KindAt(position_);
        if (kind != Block::Application && kind != Block::Comment)
        {
            return kind == Block::GraphicControl || kind == Block::PlainText || kind == Block::Image;
        }
        const auto length = LengthAt(position_);
        if (!length)
        {
            return false;
        }
        position_ += *length;
    }
}

bool GifWalker::SkipToNextFrame()
{
    return CutNextFrame().has_value();
}

std::optional<GifFrame> GifWalker::CutNextFrame()
{
    if (!PassOverExtensions())
    {
        return std::nullopt;
    }
    const std::size_t frameStart = position_;
    GifFrame frame;
    if (KindAt(position_) == Block::GraphicControl)
    {
        // The whole control block must be there before its fields are read.
        if (position_ + 8 > data_.size())
        {
            return std::nullopt;
        }
        frame.delay = U16At(position_ + 4);
        frame.disposal = (data_[position_ + 3] >> 2) & 7;
        position_ += 8;
        // Anything but the trailer or an unknown block may stand between the
        // control block and its image; a plain-text block is the frame itself.
        for (;;)
        {
            const Block kind = KindAt(position_);
            if (kind == Block::Image || kind == Block::PlainText)
            {
                break;
            }
            if (kind == Block::Trailer || kind == Block::Unknown)
            {
                return std::nullopt;
            }
            const auto length = LengthAt(position_);
            if (!length)
            {
                return std::nullopt;
            }
            position_ += *length;
        }
    }
    frame.left = U16At(position_ + 1);
    frame.top = U16At(position_ + 3);
    frame.width = U16At(position_ + 5);
    frame.height = U16At(position_ + 7);
    const auto length = LengthAt(position_);
    if (!length)
    {
        return std::nullopt;
    }
    position_ += *length;

    frame.bytes.reserve(firstBlock_ + (position_ - frameStart) + 1);
    frame.bytes.insert(frame.bytes.end(), data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(firstBlock_));
    frame.bytes.insert(frame.bytes.end(),
        data_.begin() + static_cast<std::ptrdiff_t>(frameStart),
        data_.begin() + static_cast<std::ptrdiff_t>(position_));
    frame.bytes.push_back(kTrailer);
    return frame;
}

int GifWalker::CountFrames()
{
    Rewind();
    int frames = 0;
    while (SkipToNextFrame())
    {
        ++frames;
    }
    Rewind();
    return frames;
}

} // namespace quellis::controls

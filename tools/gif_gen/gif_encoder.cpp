#include "tools/gif_gen/gif_encoder.h"

#include <unordered_map>

namespace quellis::tools
{

namespace
{

void U16(std::vector<std::uint8_t>& out, int value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

// Packs variable-width codes least significant bit first.
class BitWriter
{
public:
    void Write(int code, int bits)
    {
        buffer_ |= static_cast<std::uint32_t>(code) << count_;
        count_ += bits;
        while (count_ >= 8)
        {
            bytes.push_back(static_cast<std::uint8_t>(buffer_ & 0xFF));
            buffer_ >>= 8;
            count_ -= 8;
        }
    }
    void Flush()
    {
        if (count_ > 0)
        {
            bytes.push_back(static_cast<std::uint8_t>(buffer_ & 0xFF));
        }
        buffer_ = 0;
        count_ = 0;
    }
    std::vector<std::uint8_t> bytes;

private:
    std::uint32_t buffer_ = 0;
    int count_ = 0;
};

} // namespace

std::vector<std::uint8_t> LzwCompress(const std::vector<std::uint8_t>& indexes, int codeSize)
{
    const int clear = 1 << codeSize;
    const int end = clear + 1;
    constexpr int kMaxCode = 4095;

    BitWriter writer;
    std::unordered_map<std::uint32_t, int> table; // (prefix code << 8 | byte) -> code
    int nextCode = end + 1;
    int width = codeSize + 1;
    writer.Write(clear, width);
    if (indexes.empty())
    {
        writer.Write(end, width);
        writer.Flush();
        return writer.bytes;
    }
    int prefix = indexes[0];
    for (std::size_t i = 1; i < indexes.size(); ++i)
    {
        const std::uint8_t next = indexes[i];
        const std::uint32_t key = (static_cast<std::uint32_t>(prefix) << 8) | next;
        const auto found = table.find(key);
        if (found != table.end())
        {
            prefix = found->second;
            continue;
        }
        writer.Write(prefix, width);
        if (nextCode <= kMaxCode)
        {
            table.emplace(key, nextCode);
            // The decoder widens its codes once the table reaches the width's
            // limit; the encoder follows one code later.
            if (nextCode == (1 << width) && width < 12)
            {
                ++width;
            }
            ++nextCode;
        }
        else
        {
            writer.Write(clear, width);
            table.clear();
            nextCode = end + 1;
            width = codeSize + 1;
        }
        prefix = next;
    }
    writer.Write(prefix, width);
    writer.Write(end, width);
    writer.Flush();
    return writer.bytes;
}

std::vector<std::uint8_t> EncodeGif(
    int width, int height, const GifPalette& palette, const std::vector<GifFrameData>& frames, bool loop)
{
    std::vector<std::uint8_t> out = { 'G', 'I', 'F', '8', '9', 'a' };
    U16(out, width);
    U16(out, height);
    out.push_back(0xF7); // global colour table of 256 entries, 8 bits of colour resolution
    out.push_back(0); // background index
    out.push_back(0); // no aspect ratio
    for (const auto& colour : palette.colours)
    {
        out.insert(out.end(), colour.begin(), colour.end());
    }
    if (loop)
    {
        const char application[] = "NETSCAPE2.0";
        out.insert(out.end(), { 0x21, 0xFF, 0x0B });
        out.insert(out.end(), application, application + 11);
        out.insert(out.end(), { 0x03, 0x01, 0x00, 0x00, 0x00 }); // loop forever
    }
    for (const GifFrameData& frame : frames)
    {
        out.insert(out.end(), { 0x21, 0xF9, 0x04, static_cast<std::uint8_t>((frame.disposal & 7) << 2) });
        U16(out, frame.delay);
        out.insert(out.end(), { 0x00, 0x00 });
        out.push_back(0x2C);
        U16(out, 0);
        U16(out, 0);
        U16(out, width);
        U16(out, height);
        out.push_back(0); // no local colour table, not interlaced
        out.push_back(8); // LZW minimum code size
        const std::vector<std::uint8_t> data = LzwCompress(frame.indexes);
        for (std::size_t i = 0; i < data.size(); i += 255)
        {
            const std::size_t size = std::min<std::size_t>(255, data.size() - i);
            out.push_back(static_cast<std::uint8_t>(size));
            out.insert(out.end(),
                data.begin() + static_cast<std::ptrdiff_t>(i),
                data.begin() + static_cast<std::ptrdiff_t>(i + size));
        }
        out.push_back(0);
    }
    out.push_back(0x3B);
    return out;
}

} // namespace quellis::tools

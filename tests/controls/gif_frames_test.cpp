#include "controls/gif_frames.h"

#include <gtest/gtest.h>

#include <string>

namespace quellis::controls
{
namespace
{

using Bytes = std::vector<std::uint8_t>;

// Builds GIF files block by block; the image data is a token LZW stream (the
// walk never decodes it).
class GifBuilder
{
public:
    GifBuilder(int width, int height, int colourBits)
    {
        Append("GIF89a");
        U16(static_cast<std::uint16_t>(width));
        U16(static_cast<std::uint16_t>(height));
        bytes.push_back(colourBits > 0 ? static_cast<std::uint8_t>(0x80 | (colourBits - 1)) : 0);
        bytes.push_back(0); // background index
        bytes.push_back(0); // aspect
        if (colourBits > 0)
        {
            bytes.insert(bytes.end(), static_cast<std::size_t>(3 << colourBits), 0x40);
        }
    }

    GifBuilder& Application()
    {
        bytes.insert(bytes.end(), { 0x21, 0xFF, 0x0B });
        Append("NETSCAPE2.0");
        bytes.insert(bytes.end(), { 0x03, 0x01, 0x00, 0x00, 0x00 });
        return *this;
    }
    GifBuilder& Comment(const std::string& text)
    {
        bytes.insert(bytes.end(), { 0x21, 0xFE });
        SubBlocks(text);
        return *this;
    }
    GifBuilder& Control(int delay, int disposal)
    {
        bytes.insert(bytes.end(), { 0x21, 0xF9, 0x04, static_cast<std::uint8_t>(disposal << 2) });
        U16(static_cast<std::uint16_t>(delay));
        bytes.insert(bytes.end(), { 0x00, 0x00 });
        return *this;
    }
    GifBuilder& PlainText()
    {
        bytes.insert(bytes.end(), { 0x21, 0x01, 0x0C });
        bytes.insert(bytes.end(), 12, 0x01);
        SubBlocks("text");
        return *this;
    }
    GifBuilder& Image(int left, int top, int width, int height, int localColourBits = 0)
    {
        bytes.push_back(0x2C);
        U16(static_cast<std::uint16_t>(left));
        U16(static_cast<std::uint16_t>(top));
        U16(static_cast<std::uint16_t>(width));
        U16(static_cast<std::uint16_t>(height));
        bytes.push_back(localColourBits > 0 ? static_cast<std::uint8_t>(0x80 | (localColourBits - 1)) : 0);
        if (localColourBits > 0)
        {
            bytes.insert(bytes.end(), static_cast<std::size_t>(3 << localColourBits), 0x20);
        }
        bytes.push_back(0x02); // code size
        SubBlocks(std::string(300, 'x')); // two sub-blocks
        return *this;
    }
    GifBuilder& Trailer()
    {
        bytes.push_back(0x3B);
        return *this;
    }

    Bytes bytes;

private:
    // Byte by byte: GCC 12 at -O3 takes a range insert into the empty vector
    // for an overflow (-Wstringop-overflow) and the release build fails.
    void Append(const std::string& text)
    {
        for (const char c : text)
        {
            bytes.push_back(static_cast<std::uint8_t>(c));
        }
    }
    void U16(std::uint16_t value)
    {
        bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    }
    void SubBlocks(const std::string& data)
    {
        for (std::size_t i = 0; i < data.size(); i += 255)
        {
            const std::size_t size = std::min<std::size_t>(255, data.size() - i);
            bytes.push_back(static_cast<std::uint8_t>(size));
            Append(data.substr(i, size));
        }
        bytes.push_back(0);
    }
};

TEST(GifWalker, CutsEachFrameWithItsTimingAndPlacement)
{
    GifBuilder gif(150, 100, 8);
    gif.Application().Comment("made for a test");
    gif.Control(2, 1).Image(0, 0, 150, 100);
    gif.Comment("between frames").Control(7, 2).Comment("inside").Image(10, 20, 30, 40, 2);
    gif.Image(5, 6, 7, 8); // no control block
    gif.Trailer();

    auto walker = GifWalker::Open(gif.bytes);
    ASSERT_TRUE(walker);
    EXPECT_EQ(walker->Screen().width, 150);
    EXPECT_EQ(walker->Screen().height, 100);
    EXPECT_EQ(walker->Screen().colourTableSize, 768u);
    EXPECT_EQ(walker->CountFrames(), 3);

    const auto first = walker->CutNextFrame();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->delay, 2);
    EXPECT_EQ(first->disposal, 1);
    EXPECT_EQ(first->width, 150);
    // A stand-alone GIF: the file's head and colour table, the frame, a trailer.
    EXPECT_TRUE(std::equal(gif.bytes.begin(), gif.bytes.begin() + 13 + 768, first->bytes.begin()));
    EXPECT_EQ(first->bytes[13 + 768], 0x21);
    EXPECT_EQ(first->bytes[13 + 769], 0xF9);
    EXPECT_EQ(first->bytes.back(), 0x3B);

    const auto second = walker->CutNextFrame();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->delay, 7);
    EXPECT_EQ(second->disposal, 2);
    EXPECT_EQ(second->left, 10);
    EXPECT_EQ(second->top, 20);
    EXPECT_EQ(second->width, 30);
    EXPECT_EQ(second->height, 40);

    const auto third = walker->CutNextFrame();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->delay, -1);
    EXPECT_EQ(third->disposal, 0);
    EXPECT_EQ(third->bytes[13 + 768], 0x2C); // starts with the image itself

    EXPECT_FALSE(walker->CutNextFrame()); // the trailer
}

TEST(GifWalker, APlainTextBlockAfterAControlBlockCountsAsAFrame)
{
    GifBuilder gif(16, 16, 0);
    gif.Control(5, 0).PlainText().Control(5, 0).Image(0, 0, 16, 16).Trailer();
    auto walker = GifWalker::Open(gif.bytes);
    ASSERT_TRUE(walker);
    EXPECT_EQ(walker->Screen().colourTableSize, 0u);
    EXPECT_EQ(walker->CountFrames(), 2);
}

TEST(GifWalker, TruncatedAndGarbageDataEndTheWalkWithoutReadingPastIt)
{
    GifBuilder gif(32, 32, 4);
    gif.Control(3, 1).Image(0, 0, 32, 32);
    const std::size_t secondControl = gif.bytes.size();
    gif.Control(3, 1).Image(0, 0, 32, 32).Trailer();
    const Bytes whole = gif.bytes;

    // Cut at every length: never more frames than fit, never a crash or over-read.
    for (std::size_t cut = 0; cut <= whole.size(); ++cut)
    {
        const Bytes part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
        auto walker = GifWalker::Open(part);
        if (cut < 13)
        {
            EXPECT_FALSE(walker) << cut;
            continue;
        }
        ASSERT_TRUE(walker);
        const int frames = walker->CountFrames();
        EXPECT_LE(frames, 2) << cut;
        if (cut >= whole.size() - 1)
        {
            EXPECT_EQ(frames, 2) << cut; // only the trailer missing
        }
    }

    // An unknown block stops the walk at that point.
    Bytes unknown = whole;
    ASSERT_EQ(unknown[secondControl], 0x21);
    unknown[secondControl + 1] = 0x77;
    auto walker = GifWalker::Open(unknown);
    ASSERT_TRUE(walker);
    EXPECT_EQ(walker->CountFrames(), 1);

    // A colour table that claims more than there is leaves no frame.
    Bytes table = whole;
    table[10] = 0x87;
    walker = GifWalker::Open(Bytes(table.begin(), table.begin() + 100));
    ASSERT_TRUE(walker);
    EXPECT_EQ(walker->CountFrames(), 0);

    EXPECT_FALSE(GifWalker::Open(Bytes { 'P', 'N', 'G', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 }));
}

} // namespace
} // namespace quellis::controls

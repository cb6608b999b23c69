#include "controls/gif_decode.h"
#include "controls/gif_frames.h"
#include "controls/picture_ex.h"
#include "tools/gif_gen/gif_encoder.h"

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QTest>

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace quellis::controls
{
namespace
{

std::span<const std::uint8_t> AsSpan(const std::vector<std::uint8_t>& bytes)
{
    return { bytes.data(), bytes.size() };
}

// A GIF of `frames` solid frames, frame i in palette colour i + 1.
std::vector<std::uint8_t> SolidFrames(int frames, int delay, int disposal)
{
    tools::GifPalette palette;
    for (int i = 0; i < 256; ++i)
    {
        palette.colours[static_cast<std::size_t>(i)]
            = { static_cast<std::uint8_t>(i * 40 % 256), 0, static_cast<std::uint8_t>(255 - i) };
    }
    std::vector<tools::GifFrameData> data;
    for (int i = 0; i < frames; ++i)
    {
        data.push_back({ std::vector<std::uint8_t>(20 * 10, static_cast<std::uint8_t>(i + 1)), delay, disposal });
    }
    return tools::EncodeGif(20, 10, palette, data, true);
}

QRgb ExpectedColour(int frame)
{
    return qRgb((frame + 1) * 40 % 256, 0, 255 - (frame + 1));
}

TEST(PictureEx, TheBusyAnimationPlaysStopsAndResumesWithoutRestarting)
{
    CPictureEx picture;
    ASSERT_TRUE(picture.LoadFromResource());
    EXPECT_TRUE(picture.IsGif());
    EXPECT_EQ(picture.FrameCount(), 30);
    EXPECT_EQ(picture.size(), QSize(150, 100)); // the window takes the picture's size

    EXPECT_FALSE(picture.StartAnimation()); // animated: false, the thread runs
    EXPECT_TRUE(QTest::qWaitFor([&] { return picture.CurrentFrame() >= 3; }, 5000));
    EXPECT_TRUE(picture.IsAnimating());
    picture.StopAnimation();
    EXPECT_FALSE(picture.IsAnimating());
    const int stoppedAt = picture.CurrentFrame();
    const int drawn = picture.FramesDrawn();
    QTest::qWait(150);
    EXPECT_EQ(picture.FramesDrawn(), drawn); // stopped means stopped

    picture.StartAnimation();
    EXPECT_TRUE(QTest::qWaitFor([&] { return picture.CurrentFrame() != stoppedAt; }, 5000));
    // It went on from where it stopped, not from the first frame.
    EXPECT_GT(picture.CurrentFrame(), stoppedAt);
    picture.StopAnimation();
}

TEST(PictureEx, TheBusyAnimationDecodedAheadIsTakenOnce)
{
    CPictureEx::StartDecodingResource();
    CPictureEx ahead;
    ASSERT_TRUE(ahead.LoadFromResource());
    EXPECT_EQ(ahead.FrameCount(), 30);
    EXPECT_EQ(ahead.size(), QSize(150, 100));
    // The next load decodes again.
    CPictureEx again;
    ASSERT_TRUE(again.LoadFromResource());
    EXPECT_EQ(again.FrameCount(), 30);
}

TEST(PictureEx, StartsAndStopsFromAnyThreadWithOneAnimationThread)
{
    const auto gif = SolidFrames(4, 10, 1);
    CPictureEx picture;
    ASSERT_TRUE(picture.LoadFromMemory(AsSpan(gif)));
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i)
    {
        callers.emplace_back([&] { picture.StartAnimation(); });
    }
    for (auto& caller : callers)
    {
        caller.join();
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return picture.FramesDrawn() >= 2; }, 5000));
    // Four starts, one thread: about one frame per 100 ms, not four.
    QTest::qWait(250);
    const int drawn = picture.FramesDrawn();
    EXPECT_LE(drawn, 6);
    std::thread stopper([&] { picture.StopAnimation(); });
    stopper.join();
    EXPECT_FALSE(picture.IsAnimating());
}

TEST(PictureEx, FramesAreComposedAndTheCycleStartsOnAFreshBackground)
{
    const auto gif = SolidFrames(3, 5, 1);
    CPictureEx picture;
    ASSERT_TRUE(picture.LoadFromMemory(AsSpan(gif)));
    picture.StartAnimation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return picture.CurrentFrame() == 2; }, 5000));
    QTest::qWait(10);
    EXPECT_EQ(picture.Composed().pixel(5, 5), ExpectedColour(2));
    ASSERT_TRUE(QTest::qWaitFor([&] { return picture.CurrentFrame() == 0; }, 5000));
    QTest::qWait(10);
    EXPECT_EQ(picture.Composed().pixel(5, 5), ExpectedColour(0));
    picture.StopAnimation();
}

TEST(PictureEx, OneFrameGifsAndOtherImagesAreStillPictures)
{
    const auto gif = SolidFrames(1, 5, 1);
    CPictureEx still;
    ASSERT_TRUE(still.LoadFromMemory(AsSpan(gif)));
    EXPECT_TRUE(still.StartAnimation()); // drawn at once, no thread
    EXPECT_FALSE(still.IsAnimating());
    EXPECT_EQ(still.FramesDrawn(), 0);
    EXPECT_EQ(still.Composed().pixel(3, 3), ExpectedColour(0));

    QImage png(8, 6, QImage::Format_RGB32);
    png.fill(qRgb(10, 200, 30));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(png.save(&buffer, "PNG"));
    CPictureEx other;
    ASSERT_TRUE(other.LoadFromMemory(
        { reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size()) }));
    EXPECT_FALSE(other.IsGif());
    EXPECT_EQ(other.size(), QSize(8, 6));
    EXPECT_TRUE(other.StartAnimation());
    EXPECT_EQ(other.Composed().pixel(2, 2), qRgb(10, 200, 30));

    CPictureEx empty;
    EXPECT_FALSE(empty.StartAnimation()); // nothing loaded
    empty.StopAnimation(); // harmless without a thread
    const std::vector<std::uint8_t> garbage = { 'G', 'I', 'F', '8', '9', 'a', 1, 2, 3 };
    EXPECT_FALSE(empty.LoadFromMemory(AsSpan(garbage)));
}

// One frame in a GIF of its own, as GifWalker cuts them.
struct FrameCase
{
    const char* name;
    int screenWidth;
    int screenHeight;
    int left;
    int top;
    int width;
    int height;
    int codeSize; // LZW minimum code size; indexes stay below 1 << codeSize
    int tableBits; // the colour table has 1 << tableBits entries; 0: there is none
    bool localTable;
    bool interlaced;
    int transparent; // -1: none
    bool random; // random indexes (the code table fills and is cleared), or runs
};

void U16(std::vector<std::uint8_t>& out, int value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::vector<std::uint8_t> OneFrameGif(const FrameCase& frame)
{
    // The image row by row, then the rows in the order the stream holds them.
    std::mt19937 random(7);
    const int colours = 1 << frame.codeSize;
    std::vector<std::vector<std::uint8_t>> rows(static_cast<std::size_t>(frame.height));
    for (int y = 0; y < frame.height; ++y)
    {
        for (int x = 0; x < frame.width; ++x)
        {
            const int index
                = frame.random ? static_cast<int>(random() % static_cast<unsigned>(colours)) : (x / 5 + y) % colours;
            rows[static_cast<std::size_t>(y)].push_back(static_cast<std::uint8_t>(index));
        }
    }
    std::vector<int> order;
    for (const auto& [start, step] : frame.interlaced
            ? std::vector<std::pair<int, int>> { { 0, 8 }, { 4, 8 }, { 2, 4 }, { 1, 2 } }
            : std::vector<std::pair<int, int>> { { 0, 1 } })
    {
        for (int y = start; y < frame.height; y += step)
        {
            order.push_back(y);
        }
    }
    std::vector<std::uint8_t> indexes;
    for (const int y : order)
    {
        indexes.insert(
            indexes.end(), rows[static_cast<std::size_t>(y)].begin(), rows[static_cast<std::size_t>(y)].end());
    }

    std::vector<std::uint8_t> table;
    for (int i = 0; frame.tableBits > 0 && i < 1 << frame.tableBits; ++i)
    {
        table.insert(table.end(),
            { static_cast<std::uint8_t>(i * 37),
                static_cast<std::uint8_t>(i * 91),
                static_cast<std::uint8_t>(255 - i) });
    }
    const auto tableFlag = static_cast<std::uint8_t>(frame.tableBits > 0 ? 0x80 | (frame.tableBits - 1) : 0);
    std::vector<std::uint8_t> gif = { 'G', 'I', 'F', '8', '9', 'a' };
    U16(gif, frame.screenWidth);
    U16(gif, frame.screenHeight);
    gif.insert(gif.end(), { frame.localTable ? std::uint8_t { 0 } : tableFlag, 0, 0 });
    if (!frame.localTable)
    {
        gif.insert(gif.end(), table.begin(), table.end());
    }
    if (frame.transparent >= 0)
    {
        gif.insert(
            gif.end(), { 0x21, 0xF9, 0x04, 0x01, 0x05, 0x00, static_cast<std::uint8_t>(frame.transparent), 0x00 });
    }
    gif.push_back(0x2C);
    for (const int value : { frame.left, frame.top, frame.width, frame.height })
    {
        U16(gif, value);
    }
    gif.push_back(static_cast<std::uint8_t>((frame.localTable ? tableFlag : 0) | (frame.interlaced ? 0x40 : 0)));
    if (frame.localTable)
    {
        gif.insert(gif.end(), table.begin(), table.end());
    }
    gif.push_back(static_cast<std::uint8_t>(frame.codeSize));
    const auto stream = tools::LzwCompress(indexes, frame.codeSize);
    for (std::size_t i = 0; i < stream.size(); i += 255)
    {
        const std::size_t size = std::min<std::size_t>(255, stream.size() - i);
        gif.push_back(static_cast<std::uint8_t>(size));
        gif.insert(gif.end(),
            stream.begin() + static_cast<std::ptrdiff_t>(i),
            stream.begin() + static_cast<std::ptrdiff_t>(i + size));
    }
    gif.insert(gif.end(), { 0x00, 0x3B });
    return gif;
}

// Our frame against Qt's reader on the frame's rectangle: the same colour
// where opaque, transparent where Qt's is.
void ExpectSameAsQt(std::span<const std::uint8_t> gif, int left, int top, const std::string& name)
{
    SCOPED_TRACE(name);
    const auto ours = DecodeGifFrame(gif);
    ASSERT_TRUE(ours.has_value());
    QByteArray bytes(reinterpret_cast<const char*>(gif.data()), static_cast<qsizetype>(gif.size()));
    QBuffer buffer(&bytes);
    const QImage qt = QImageReader(&buffer, "gif").read().convertToFormat(QImage::Format_ARGB32);
    ASSERT_FALSE(qt.isNull());
    int differences = 0;
    for (int y = 0; y < ours->height; ++y)
    {
        for (int x = 0; x < ours->width; ++x)
        {
            const QRgb expected = qt.pixel(left + x, top + y);
            const QRgb got = ours->argb[static_cast<std::size_t>(y * ours->width + x)];
            differences += qAlpha(expected) == 0 ? got != 0 : got != expected;
        }
    }
    EXPECT_EQ(differences, 0);
}

TEST(GifDecode, FramesMatchQtsReader)
{
    // clang-format off
    const FrameCase cases[] = {
        { "8-bit codes, random: the table fills and is cleared", 120, 90, 0, 0, 120, 90, 8, 8, false, false, -1, true },
        { "2-bit codes, offset frame, local table, transparency", 40, 30, 5, 4, 23, 17, 2, 2, true, false, 1, true },
        { "3-bit codes, interlaced runs", 33, 21, 0, 0, 33, 21, 3, 3, false, true, -1, false },
        { "5-bit codes, interlaced, fewer than eight rows", 20, 20, 0, 10, 20, 5, 5, 5, true, true, 7, true },
    };
    // clang-format on
    for (const FrameCase& frame : cases)
    {
        const auto gif = OneFrameGif(frame);
        ExpectSameAsQt(AsSpan(gif), frame.left, frame.top, frame.name);
    }

    // Every frame of the program's busy animation.
    QFile file(QStringLiteral(":/gif/135.gif"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    auto walker = GifWalker::Open(
        { reinterpret_cast<const std::uint8_t*>(data.constData()), static_cast<std::size_t>(data.size()) });
    ASSERT_TRUE(walker.has_value());
    int frames = 0;
    while (auto piece = walker->CutNextFrame())
    {
        ExpectSameAsQt(AsSpan(piece->bytes), piece->left, piece->top, "busy frame " + std::to_string(frames++));
    }
    EXPECT_EQ(frames, 30);
}

TEST(GifDecode, LeavesUnusualFramesToTheGeneralDecoder)
{
    const FrameCase good = { "", 40, 30, 5, 4, 23, 17, 2, 2, true, false, 1, true };
    const auto gif = OneFrameGif(good);
    ASSERT_TRUE(DecodeGifFrame(AsSpan(gif)).has_value());
    // After the screen, the control block, the image descriptor and the local table.
    constexpr std::size_t kCodeSizeAt = 13 + 8 + 10 + 12;
    ASSERT_EQ(gif[kCodeSizeAt], 2);

    auto shortStream = gif;
    shortStream[kCodeSizeAt + 1] = 10; // the first sub-block cut to 10 bytes, and the last
    shortStream[kCodeSizeAt + 12] = 0;
    auto wideCodes = gif;
    wideCodes[kCodeSizeAt] = 9;
    auto pastTable = good;
    pastTable.tableBits = 1; // indexes 2 and 3 have no colour
    auto outside = good;
    outside.left = 20;
    auto noTable = good;
    noTable.tableBits = 0;
    for (const auto& bad :
        { shortStream, wideCodes, OneFrameGif(pastTable), OneFrameGif(outside), OneFrameGif(noTable) })
    {
        EXPECT_FALSE(DecodeGifFrame(AsSpan(bad)).has_value());
    }

    // In an animation, such a frame is decoded by Qt's reader instead.
    auto animation = OneFrameGif(pastTable);
    animation.pop_back(); // the trailer
    const auto second = OneFrameGif(good);
    animation.insert(animation.end(), second.begin() + 13, second.end());
    CPictureEx picture;
    ASSERT_TRUE(picture.LoadFromMemory(AsSpan(animation)));
    EXPECT_EQ(picture.FrameCount(), 2);
}

} // namespace
} // namespace quellis::controls

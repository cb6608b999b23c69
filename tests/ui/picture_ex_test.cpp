#include "controls/picture_ex.h"
#include "tools/gif_gen/gif_encoder.h"

#include <QApplication>
#include <QBuffer>
#include <QTest>

#include <gtest/gtest.h>

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
        palette.colours[static_cast<std::size_t>(i)] = { static_cast<std::uint8_t>(i * 40 % 256), 0,
            static_cast<std::uint8_t>(255 - i) };
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
    empty.StopAnimation();                // harmless without a thread
    const std::vector<std::uint8_t> garbage = { 'G', 'I', 'F', '8', '9', 'a', 1, 2, 3 };
    EXPECT_FALSE(empty.LoadFromMemory(AsSpan(garbage)));
}

} // namespace
} // namespace quellis::controls

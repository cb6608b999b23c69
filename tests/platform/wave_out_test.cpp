// The waveform output: the buffer's life on the device (prepared, queued,
// given back, released), the null device's timing, Reset, the formats every
// device refuses, ALSA's own null device, a device that plays like a card
// (tests/support/fake_pcm.h), and the fallback when the chosen device does
// not open.
#include "platform/audio/wave_out.h"
#include "tests/support/fake_pcm.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace quellis::audio
{
namespace
{

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr PcmFormat kMono16 { 1, 8000, 16, 2, 16000 };

struct Notifications
{
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;

    WaveOut::DoneHandler Handler()
    {
        return [this]
        {
            std::lock_guard guard(lock);
            ++count;
            changed.notify_all();
        };
    }
    bool WaitFor(int wanted)
    {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, 10s, [&] { return count >= wanted; });
    }
};

TEST(WaveOut, TheNullDevicePlaysForTheSoundsLengthAndHandsTheBufferBack)
{
    Notifications done;
    const auto device = OpenNullWaveOut(kMono16, done.Handler());
    ASSERT_TRUE(device);
    EXPECT_EQ(device->Name(), "null");
    const std::vector<std::uint8_t> samples(4000); // 250 ms
    EXPECT_EQ(device->Write(), WaveResult::NotPrepared);
    EXPECT_EQ(device->Unprepare(), WaveResult::NotPrepared);
    ASSERT_EQ(device->Prepare(samples), WaveResult::Ok);
    const auto start = Clock::now();
    ASSERT_EQ(device->Write(), WaveResult::Ok);
    EXPECT_EQ(device->Write(), WaveResult::StillPlaying) << "one buffer is never queued twice";
    EXPECT_EQ(device->Unprepare(), WaveResult::StillPlaying);
    EXPECT_EQ(device->Prepare(samples), WaveResult::StillPlaying);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_GE(Clock::now() - start, 250ms);
    EXPECT_EQ(device->Unprepare(), WaveResult::Ok);
    EXPECT_EQ(device->Unprepare(), WaveResult::NotPrepared) << "released once only";
    EXPECT_EQ(done.count, 1);
}

TEST(WaveOut, ResetGivesTheBufferBackBeforeItReturns)
{
    Notifications done;
    auto device = OpenNullWaveOut(kMono16, done.Handler());
    const std::vector<std::uint8_t> samples(16000 * 30); // 30 s
    ASSERT_EQ(device->Prepare(samples), WaveResult::Ok);
    ASSERT_EQ(device->Write(), WaveResult::Ok);
    const auto start = Clock::now();
    EXPECT_EQ(device->Reset(), WaveResult::Ok);
    EXPECT_EQ(done.count, 1);
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_EQ(device->Unprepare(), WaveResult::Ok);
    EXPECT_EQ(device->Reset(), WaveResult::Ok) << "nothing queued";

    // Closed while playing: the notification still comes, once.
    ASSERT_EQ(device->Prepare(samples), WaveResult::Ok);
    ASSERT_EQ(device->Write(), WaveResult::Ok);
    device.reset();
    EXPECT_EQ(done.count, 2);
}

TEST(WaveOut, FormatsThatDoNotAddUpAreRefusedByEveryDevice)
{
    const std::vector<PcmFormat> refused = {
        { 1, 8000, 8, 2, 16000 }, // 8-bit samples with a 16-bit block alignment
        { 0, 8000, 16, 0, 0 },
        { 9, 8000, 16, 18, 144000 },
        { 1, 0, 16, 2, 0 },
        { 1, 8000, 24, 3, 24000 },
        { 2, 8000, 16, 4, 16000 },
        { 2, 4'000'000'000u, 16, 4, 3'705'032'704u }, // the byte rate wrapped round
    };
    for (const PcmFormat& format : refused)
    {
        EXPECT_FALSE(IsPlayableFormat(format)) << format.channels << " " << format.bitsPerSample;
        EXPECT_FALSE(OpenNullWaveOut(format, [] {}));
        std::string error;
        EXPECT_FALSE(OpenAlsaWaveOut(
            "null", format, [] {}, &error));
        EXPECT_FALSE(OpenWaveOut(format, [] {}));
    }
    EXPECT_TRUE(IsPlayableFormat({ 2, 44100, 16, 4, 176400 }));
    EXPECT_TRUE(IsPlayableFormat({ 1, 22050, 8, 1, 22050 }));
}

TEST(WaveOut, AlsaPlaysAndResetsOnItsNullDevice)
{
    Notifications done;
    std::string error;
    auto device = OpenAlsaWaveOut("null", kMono16, done.Handler(), &error);
    if (!device)
    {
        GTEST_SKIP() << "no ALSA null device here: " << error;
    }
    const std::vector<std::uint8_t> samples(1600);
    ASSERT_EQ(device->Prepare(samples), WaveResult::Ok);
    ASSERT_EQ(device->Write(), WaveResult::Ok);
    ASSERT_TRUE(done.WaitFor(1));
    EXPECT_EQ(device->Unprepare(), WaveResult::Ok);

    const std::vector<std::uint8_t> longer(16000 * 20);
    ASSERT_EQ(device->Prepare(longer), WaveResult::Ok);
    ASSERT_EQ(device->Write(), WaveResult::Ok);
    EXPECT_EQ(device->Reset(), WaveResult::Ok);
    EXPECT_EQ(done.count, 2);
}

// A card plays nothing until the stream is started, and reports the frames it
// holds as still to play until then: every sound must be started, its wait
// must end, and whatever goes wrong the next alarm must sound.
TEST(WaveOut, AlsaPlaysEverySoundToItsEndOnADeviceThatBehavesLikeACard)
{
    const test::TempDir directory;
    ASSERT_TRUE(test::InstallFakePcm(directory.Path().string()));
    Notifications done;
    std::string error;
    const auto device = OpenAlsaWaveOut(test::kFakePcmDevice, kMono16, done.Handler(), &error);
    ASSERT_TRUE(device) << error;
    const std::int64_t buffer = test::ReadFakePcmTally().bufferFrames;
    ASSERT_GT(buffer, 0);

    struct Case
    {
        const char* name;
        std::int64_t frames;
        test::FakePcmScript script;
        int starts;
        std::int64_t minHeard; // frames the card must have played
    };
    const Case cases[] = {
        { "20 ms", 160, {}, 1, 160 },
        { "exactly one buffer", buffer, {}, 1, buffer },
        // The stream is ready again after the underrun, with less than a
        // buffer left to write: it starts only when told.
        { "underrun in the last buffer", 3 * buffer, { .underrunAfter = 2 * buffer + 160 }, 2, 2 * buffer },
        { "a card that never plays", 160, { .frozen = true }, 1, 0 },
        { "a stream that cannot be made ready again", buffer, { .failPrepares = 1 }, 1, buffer },
        { "the next alarm", 160, {}, 1, 160 },
    };
    int played = 0;
    for (const Case& sound : cases)
    {
        SCOPED_TRACE(sound.name);
        test::SetFakePcmScript(sound.script);
        const std::vector<std::uint8_t> samples(static_cast<std::size_t>(sound.frames) * kMono16.blockAlign);
        ASSERT_EQ(device->Prepare(samples), WaveResult::Ok);
        ASSERT_EQ(device->Write(), WaveResult::Ok);
        ASSERT_TRUE(done.WaitFor(++played)) << "the sound's wait never ended";
        ASSERT_EQ(device->Unprepare(), WaveResult::Ok);
        const test::FakePcmTally tally = test::ReadFakePcmTally();
        EXPECT_EQ(tally.starts, sound.starts);
        EXPECT_GE(tally.framesPlayed, sound.minHeard);
        EXPECT_LE(tally.framesPlayed, sound.frames);
    }
}

TEST(WaveOut, ADeviceThatDoesNotOpenLeavesTheNullDevice)
{
    for (const char* chosen : { "quellis-no-such-device", "null" })
    {
        setenv("QUELLIS_AUDIO", chosen, 1);
        const auto device = OpenWaveOut(kMono16, [] {});
        ASSERT_TRUE(device) << chosen;
        EXPECT_EQ(device->Name(), "null") << chosen;
    }
    unsetenv("QUELLIS_AUDIO");
}

} // namespace
} // namespace quellis::audio

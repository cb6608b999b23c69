// The waveform output: the buffer's life on the device (prepared, queued,
// given back, released), the null device's timing, Reset, the formats every
// device refuses, ALSA's own null device, and the fallback when the chosen
// device does not open.
#include "platform/audio/wave_out.h"

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

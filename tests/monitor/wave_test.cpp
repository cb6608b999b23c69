// The alarm file's chunk walk on made-up files and their damaged forms, and
// the alarm player on a device that counts what it is asked to do: one sound
// per burst of play requests, the buffer queued once and released once.
#include "monitor/wave.h"
#include "monitor/wave_file.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

// Cases name only the fields they change; GCC would warn about each one left out.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace quellis::monitor
{
namespace
{

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

void PutU16(Bytes& bytes, std::uint16_t value)
{
    bytes.push_back(static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutU32(Bytes& bytes, std::uint32_t value)
{
    PutU16(bytes, static_cast<std::uint16_t>(value));
    PutU16(bytes, static_cast<std::uint16_t>(value >> 16));
}

struct Chunk
{
    std::string id;
    Bytes body;
    std::optional<std::uint32_t> length; // the length field, when it lies
};

struct FileShape
{
    std::string form = "WAVE";
    std::string formatId = "fmt ";
    std::uint16_t formatTag = 1;
    std::uint16_t channels = 1;
    std::uint32_t rate = 8000;
    std::uint16_t bits = 16;
    std::vector<Chunk> chunks;
    std::optional<std::uint32_t> riffSize; // default: the file's length less 8
};

Bytes Build(const FileShape& shape)
{
    Bytes bytes;
    const auto id = [&](const std::string& text) { bytes.insert(bytes.end(), text.begin(), text.begin() + 4); };
    id("RIFF");
    PutU32(bytes, 0);
    id(shape.form);
    id(shape.formatId);
    PutU32(bytes, 16);
    PutU16(bytes, shape.formatTag);
    PutU16(bytes, shape.channels);
    PutU32(bytes, shape.rate);
    PutU32(bytes, shape.rate * shape.channels * shape.bits / 8);
    PutU16(bytes, static_cast<std::uint16_t>(shape.channels * shape.bits / 8));
    PutU16(bytes, shape.bits);
    for (const Chunk& chunk : shape.chunks)
    {
        id(chunk.id);
        PutU32(bytes, chunk.length.value_or(static_cast<std::uint32_t>(chunk.body.size())));
        bytes.insert(bytes.end(), chunk.body.begin(), chunk.body.end());
    }
    const std::uint32_t riff = shape.riffSize.value_or(static_cast<std::uint32_t>(bytes.size() - 8));
    std::memcpy(bytes.data() + 4, &riff, 4);
    return bytes;
}

Bytes Samples(std::size_t count, std::uint8_t first)
{
    Bytes samples(count);
    for (std::size_t i = 0; i < count; ++i)
    {
        samples[i] = static_cast<std::uint8_t>(first + i);
    }
    return samples;
}

Bytes Join(const Bytes& a, const Bytes& b)
{
    Bytes joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    return joined;
}

TEST(WaveFile, TheChunkWalkTakesEveryDataChunkAndNothingBeyondTheFile)
{
    const Bytes a = Samples(400, 1);
    const Bytes b = Samples(300, 7);
    const Bytes list = Samples(26, 'a');
    struct Case
    {
        const char* what;
        FileShape shape;
        std::optional<Bytes> sound; // nothing: refused
    };
    FileShape longRiff { .chunks = { { "data", a } }, .riffSize = 0xFFFFFFF0 };
    const std::vector<Case> cases = {
        { "one data chunk", { .chunks = { { "data", a } } }, a },
        { "a LIST chunk before the data is skipped", { .chunks = { { "LIST", list }, { "data", a } } }, a },
        { "two data chunks play as one sound",
            { .chunks = { { "data", a }, { "LIST", list }, { "data", b } } },
            Join(a, b) },
        { "no data chunk: no sound", { .chunks = { { "LIST", list } } }, Bytes {} },
        { "no chunk after the format", { .chunks = {} }, Bytes {} },
        { "a RIFF size beyond the file stops at its end", longRiff, a },
        { "a RIFF size that ends before the second data chunk",
            { .chunks = { { "data", a }, { "data", b } }, .riffSize = 4 + 24 + 8 + 400 },
            a },
        { "a data length beyond the file gives what is there", { .chunks = { { "data", a, 0xFFFFFFFF } } }, a },
        { "a skipped chunk of length 0xFFFFFFFF ends the walk",
            { .chunks = { { "LIST", list, 0xFFFFFFFF }, { "data", a } } },
            Bytes {} },
        // The pad byte of an odd-length chunk is not skipped: the next header
        // is read one byte early and is no "data" header.
        { "an odd-length chunk shifts what follows",
            { .chunks = { { "LIST", Join(Samples(25, 'a'), Bytes { 0 }), 25 }, { "data", a } } },
            Bytes {} },
        { "8-bit samples are read", { .bits = 8, .chunks = { { "data", a } } }, a },
        { "another form type", { .form = "AVI ", .chunks = { { "data", a } } }, std::nullopt },
        { "a format chunk that is not fmt", { .formatId = "fxt ", .chunks = { { "data", a } } }, std::nullopt },
        { "a format other than PCM", { .formatTag = 3, .chunks = { { "data", a } } }, std::nullopt },
    };
    for (const Case& test : cases)
    {
        const auto sound = ReadWave(Build(test.shape));
        ASSERT_EQ(sound.has_value(), test.sound.has_value()) << test.what;
        if (sound)
        {
            EXPECT_EQ(sound->samples, *test.sound) << test.what;
            EXPECT_EQ(sound->bitsPerSample, test.shape.bits) << test.what;
            EXPECT_EQ(sound->samplesPerSecond, test.shape.rate) << test.what;
        }
    }
}

TEST(WaveFile, EveryTruncationEndsWithinTheBytesThatAreThere)
{
    const Bytes whole
        = Build({ .chunks = { { "data", Samples(40, 1) }, { "LIST", Samples(9, 'x') }, { "data", Samples(30, 2) } } });
    for (std::size_t length = 0; length <= whole.size(); ++length)
    {
        const auto sound = ReadWave(std::span(whole).first(length));
        // The RIFF and format headers are 36 bytes.
        ASSERT_EQ(sound.has_value(), length >= 36) << length;
        if (sound)
        {
            EXPECT_LE(sound->samples.size() + 44, std::max<std::size_t>(length, 44)) << length;
        }
    }
}

TEST(WaveFile, OnlyARegularFileIsRead)
{
    test::TempDir dir;
    const Bytes wave = Build({ .chunks = { { "data", Samples(10, 3) } } });
    dir.Write("devDown.wav", std::string(wave.begin(), wave.end()));
    ASSERT_TRUE(ReadWaveFile(dir / "devDown.wav"));
    EXPECT_EQ(ReadWaveFile(dir / "devDown.wav")->samples, Samples(10, 3));

    std::filesystem::create_directory(dir / "dir");
    std::filesystem::create_directory(dir / "dir" / "devDown.wav");
    EXPECT_FALSE(ReadWaveFile(dir / "dir" / "devDown.wav"));
    // A pipe by that name with no writer would block a plain open for ever.
    ASSERT_EQ(mkfifo((dir / "pipe.wav").c_str(), 0600), 0);
    EXPECT_FALSE(ReadWaveFile(dir / "pipe.wav"));
    EXPECT_FALSE(ReadWaveFile(dir / "missing.wav"));
}

// The null device, with every call and its result counted.
class CountingDevice : public audio::WaveOut
{
public:
    struct Counts
    {
        std::mutex lock;
        std::condition_variable changed;
        int writes = 0;
        int refusedWrites = 0;
        int releases = 0;
        int refusedReleases = 0;
        int dones = 0;
        int failWrites = 0; // writes refused before the device's own answer
        audio::PcmFormat format;
    };

    CountingDevice(const audio::PcmFormat& format, DoneHandler done, Counts& counts)
        : counts_(counts)
        , inner_(audio::OpenNullWaveOut(format,
              [this, done = std::move(done)]
              {
                  done();
                  std::lock_guard lock(counts_.lock);
                  ++counts_.dones;
                  counts_.changed.notify_all();
              }))
    {
    }
    [[nodiscard]] bool Opened() const { return inner_ != nullptr; }

    audio::WaveResult Prepare(std::span<const std::uint8_t> samples) override { return inner_->Prepare(samples); }
    audio::WaveResult Write() override
    {
        {
            std::lock_guard lock(counts_.lock);
            if (counts_.failWrites > 0)
            {
                --counts_.failWrites;
                ++counts_.refusedWrites;
                return audio::WaveResult::DeviceFailed;
            }
        }
        const audio::WaveResult result = inner_->Write();
        std::lock_guard lock(counts_.lock);
        ++(result == audio::WaveResult::Ok ? counts_.writes : counts_.refusedWrites);
        return result;
    }
    audio::WaveResult Reset() override { return inner_->Reset(); }
    audio::WaveResult Unprepare() override
    {
        const audio::WaveResult result = inner_->Unprepare();
        std::lock_guard lock(counts_.lock);
        ++(result == audio::WaveResult::Ok ? counts_.releases : counts_.refusedReleases);
        return result;
    }
    std::string Name() const override { return "counting"; }

private:
    Counts& counts_;
    std::unique_ptr<audio::WaveOut> inner_;
};

class AlarmTest : public testing::Test
{
protected:
    // A 16-bit mono file of this length at 8000 Hz.
    std::filesystem::path WriteSound(std::chrono::milliseconds length, std::uint16_t bits = 16)
    {
        const Bytes wave = Build(
            { .bits = bits, .chunks = { { "data", Bytes(static_cast<std::size_t>(length.count()) * 16, 0) } } });
        dir_.Write("devDown.wav", std::string(wave.begin(), wave.end()));
        return dir_ / "devDown.wav";
    }
    bool WaitForDones(int count)
    {
        std::unique_lock lock(counts_.lock);
        return counts_.changed.wait_for(lock, 10s, [&] { return counts_.dones >= count; });
    }
    int Writes()
    {
        std::lock_guard lock(counts_.lock);
        return counts_.writes;
    }

    test::TempDir dir_;
    CountingDevice::Counts counts_;
    CWave wave_ { [this](const audio::PcmFormat& format, audio::WaveOut::DoneHandler done)
        {
            counts_.format = format;
            auto device = std::make_unique<CountingDevice>(format, std::move(done), counts_);
            return device->Opened() ? std::unique_ptr<audio::WaveOut>(std::move(device)) : nullptr;
        } };
};

TEST_F(AlarmTest, TheShippedSoundLoadsForItsFormatAndPlays)
{
    ASSERT_TRUE(wave_.Load(std::filesystem::path(QUELLIS_SOURCE_DIR) / "resources" / "devDown.wav"));
    EXPECT_EQ(counts_.format.bitsPerSample, 16);
    EXPECT_EQ(counts_.format.blockAlign, counts_.format.channels * 2);
    EXPECT_EQ(counts_.format.bytesPerSecond, counts_.format.samplesPerSecond * counts_.format.blockAlign);
    EXPECT_GT(wave_.SoundLength(), 0u);
    wave_.Play();
    EXPECT_EQ(Writes(), 1);
}

TEST_F(AlarmTest, ABurstOfPlayRequestsGivesOneSoundAndALaterRequestAnother)
{
    ASSERT_TRUE(wave_.Load(WriteSound(600ms)));
    const auto start = std::chrono::steady_clock::now();
    wave_.Play();
    std::this_thread::sleep_for(200ms);
    wave_.Play();
    wave_.Play();
    EXPECT_EQ(Writes(), 1) << "requests during the sound are ignored";
    ASSERT_TRUE(WaitForDones(1));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 600ms) << "the null device takes the sound's time";
    wave_.Play();
    EXPECT_EQ(Writes(), 2);
    ASSERT_TRUE(WaitForDones(2));
    EXPECT_EQ(counts_.releases, 2);
    EXPECT_EQ(counts_.refusedWrites + counts_.refusedReleases, 0);
}

TEST_F(AlarmTest, TwoWorkersPlayingAtOnceQueueTheBufferOnce)
{
    ASSERT_TRUE(wave_.Load(WriteSound(2000ms)));
    const auto worker = [this]
    {
        for (int i = 0; i < 500; ++i)
        {
            wave_.Play();
        }
    };
    std::thread first(worker);
    std::thread second(worker);
    first.join();
    second.join();
    EXPECT_EQ(Writes(), 1);
    EXPECT_EQ(counts_.refusedWrites, 0) << "never written while queued";
}

TEST_F(AlarmTest, CloseDuringOrAfterTheSoundReleasesTheBufferOnce)
{
    ASSERT_TRUE(wave_.Load(WriteSound(5000ms)));
    wave_.Play();
    EXPECT_TRUE(wave_.Close());
    // Reset handed the buffer back through the done notification, which left
    // it to Close to release.
    EXPECT_EQ(counts_.dones, 1);
    EXPECT_EQ(counts_.releases, 1);
    EXPECT_EQ(counts_.refusedReleases, 0);
    EXPECT_EQ(wave_.SoundLength(), 0u);
    wave_.Play();
    EXPECT_EQ(Writes(), 1) << "closed: nothing plays";

    ASSERT_TRUE(wave_.Load(WriteSound(50ms)));
    wave_.Play();
    ASSERT_TRUE(WaitForDones(2));
    EXPECT_TRUE(wave_.Close());
    EXPECT_EQ(counts_.releases, 2);
    EXPECT_EQ(counts_.refusedReleases, 0);
}

TEST_F(AlarmTest, AWriteTheDeviceRefusedDoesNotSilenceTheAlarmForGood)
{
    ASSERT_TRUE(wave_.Load(WriteSound(100ms)));
    counts_.failWrites = 1;
    wave_.Play();
    EXPECT_EQ(counts_.refusedWrites, 1);
    wave_.Play();
    EXPECT_EQ(Writes(), 1) << "the next failure sounds again";
    ASSERT_TRUE(WaitForDones(1));
    EXPECT_EQ(counts_.releases, 1);
}

TEST_F(AlarmTest, WhatNoDeviceTakesOrHoldsNoSoundPlaysNothing)
{
    EXPECT_FALSE(wave_.Load(WriteSound(100ms, 8))) << "8-bit samples with the 16-bit block alignment";
    EXPECT_FALSE(wave_.DeviceOpen());
    EXPECT_EQ(wave_.SoundLength(), 0u);
    EXPECT_FALSE(wave_.Load(dir_ / "missing.wav"));

    const Bytes silent = Build({ .chunks = { { "LIST", Samples(4, 'i') } } });
    dir_.Write("silent.wav", std::string(silent.begin(), silent.end()));
    EXPECT_TRUE(wave_.Load(dir_ / "silent.wav")) << "a file without data loads";
    wave_.Play();
    EXPECT_EQ(Writes(), 0);
}

} // namespace
} // namespace quellis::monitor

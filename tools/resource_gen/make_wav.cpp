// Writes devDown.wav, the alarm played when a watched machine goes down, into
// the directory given: about 1.2 s of a two-tone call (high, low, high, low),
// 16-bit PCM mono at 22050 Hz in the plain RIFF layout (a 16-byte "fmt "
// chunk, then "data"), which any wave player and our chunk walk accept.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

namespace
{

constexpr std::uint32_t kSampleRate = 22050;
constexpr std::uint16_t kChannels = 1;
constexpr std::uint16_t kBitsPerSample = 16;

// A falling major third: urgent enough to be noticed across a room, and not
// the harsh square wave of a smoke detector.
constexpr double kHighHz = 987.77;
constexpr double kLowHz = 783.99;
constexpr double kToneSeconds = 0.26;
constexpr double kGapSeconds = 0.03;
constexpr double kTailSeconds = 0.05;

// Raised-cosine edges: a tone that starts or stops abruptly clicks.
constexpr double kAttackSeconds = 0.008;
constexpr double kReleaseSeconds = 0.015;
constexpr double kPeak = 0.55;

void AppendTone(std::vector<std::int16_t>& samples, double frequency)
{
    const auto count = static_cast<std::size_t>(kToneSeconds * kSampleRate);
    const auto attack = static_cast<std::size_t>(kAttackSeconds * kSampleRate);
    const auto release = static_cast<std::size_t>(kReleaseSeconds * kSampleRate);
    for (std::size_t i = 0; i < count; ++i)
    {
        const double t = static_cast<double>(i) / kSampleRate;
        double envelope = std::exp(-1.8 * t); // a slight decay, like a struck chime
        if (i < attack)
        {
            envelope *= 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(i) / attack);
        }
        if (count - i <= release)
        {
            envelope *= 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(count - i - 1) / release);
        }
        // Two soft overtones give the tone body on small speakers.
        const double phase = 2.0 * std::numbers::pi * frequency * t;
        const double wave = (std::sin(phase) + 0.35 * std::sin(2 * phase) + 0.12 * std::sin(3 * phase)) / 1.47;
        samples.push_back(static_cast<std::int16_t>(std::lround(wave * envelope * kPeak * 32767.0)));
    }
}

void AppendSilence(std::vector<std::int16_t>& samples, double seconds)
{
    samples.insert(samples.end(), static_cast<std::size_t>(seconds * kSampleRate), 0);
}

void PutLittle(std::string& bytes, std::uint32_t value, int size)
{
    for (int i = 0; i < size; ++i)
    {
        bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

std::string WaveFile(const std::vector<std::int16_t>& samples)
{
    const std::uint32_t blockAlign = kChannels * kBitsPerSample / 8;
    const auto dataSize = static_cast<std::uint32_t>(samples.size() * blockAlign);
    std::string bytes = "RIFF";
    PutLittle(bytes, 4 + (8 + 16) + (8 + dataSize), 4);
    bytes += "WAVEfmt ";
    PutLittle(bytes, 16, 4);
    PutLittle(bytes, 1, 2); // PCM
    PutLittle(bytes, kChannels, 2);
    PutLittle(bytes, kSampleRate, 4);
    PutLittle(bytes, kSampleRate * blockAlign, 4);
    PutLittle(bytes, blockAlign, 2);
    PutLittle(bytes, kBitsPerSample, 2);
    bytes += "data";
    PutLittle(bytes, dataSize, 4);
    for (const std::int16_t sample : samples)
    {
        PutLittle(bytes, static_cast<std::uint16_t>(sample), 2);
    }
    return bytes;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    std::vector<std::int16_t> samples;
    for (int call = 0; call < 2; ++call)
    {
        AppendTone(samples, kHighHz);
        AppendSilence(samples, kGapSeconds);
        AppendTone(samples, kLowHz);
        AppendSilence(samples, call == 0 ? kGapSeconds : kTailSeconds);
    }

    const std::filesystem::path file = std::filesystem::path(argv[1]) / "devDown.wav";
    const std::string bytes = WaveFile(samples);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
    {
        std::fprintf(stderr, "cannot write %s\n", file.c_str());
        return 1;
    }
    return 0;
}

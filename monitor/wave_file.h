#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

// The alarm file's chunk walk: a RIFF "WAVE" file with a PCM format chunk
// read as 16 bytes at a fixed place, then every chunk up to the RIFF size,
// the bytes of every "data" chunk joined into one sound. Chunk lengths are
// taken as they stand (the pad byte of an odd-length chunk is not skipped).
// Bounded: the walk ends at the end of the file whatever the RIFF size says,
// skipped chunks are seeked over, never read, and only bytes that are really
// there become sound.

namespace quellis::monitor
{

inline constexpr std::uint16_t kWaveFormatPcm = 1;
// No alarm needs more; what a longer file holds beyond this is not loaded.
inline constexpr std::size_t kMaxSoundBytes = 64u << 20;

struct WaveSound
{
    std::uint16_t channels = 0;
    std::uint32_t samplesPerSecond = 0;
    std::uint16_t bitsPerSample = 0;
    std::vector<std::uint8_t> samples; // empty for a file without a "data" chunk
};

// Where the walk reads from: a file, or memory for tests and the fuzzer.
class ByteSource
{
public:
    virtual ~ByteSource() = default;
    // Bytes read, fewer only at the end.
    [[nodiscard]] virtual std::size_t Read(std::span<std::uint8_t> into) = 0;
    // Moves on by count bytes, at most to the end.
    virtual void Skip(std::uint64_t count) = 0;
    [[nodiscard]] virtual std::uint64_t Position() const = 0;
    [[nodiscard]] virtual std::uint64_t Size() const = 0;
};

// Nothing when the source is not a RIFF "WAVE" file with a "fmt" chunk of
// format 1 (PCM), or is too short to hold those headers.
[[nodiscard]] std::optional<WaveSound> ReadWave(ByteSource& source);
[[nodiscard]] std::optional<WaveSound> ReadWave(std::span<const std::uint8_t> bytes);
// Nothing also for a path that is not a regular file (a directory, a pipe
// that would never end) or cannot be opened.
[[nodiscard]] std::optional<WaveSound> ReadWaveFile(const std::filesystem::path& path);

} // namespace quellis::monitor

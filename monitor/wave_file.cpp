#include "monitor/wave_file.h"

#include "platform/files/regular_file.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

namespace quellis::monitor
{

namespace
{

constexpr std::size_t kRiffHeaderSize = 12;
constexpr std::size_t kFormatHeaderSize = 24;
constexpr std::size_t kChunkHeaderSize = 8;

std::uint16_t U16(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::uint32_t U32(const std::uint8_t* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8
        | static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

bool IdIs(const std::uint8_t* bytes, std::string_view id)
{
    return std::memcmp(bytes, id.data(), id.size()) == 0;
}

class MemorySource final : public ByteSource
{
public:
    explicit MemorySource(std::span<const std::uint8_t> bytes)
        : bytes_(bytes)
    {
    }
    std::size_t Read(std::span<std::uint8_t> into) override
    {
        const std::size_t count = std::min(into.size(), bytes_.size() - position_);
        if (count == 0)
        {
            return 0; // either side may be empty with no storage: no memcpy of nothing from or to null
        }
        std::memcpy(into.data(), bytes_.data() + position_, count);
        position_ += count;
        return count;
    }
    void Skip(std::uint64_t count) override
    {
        position_ += static_cast<std::size_t>(std::min<std::uint64_t>(count, bytes_.size() - position_));
    }
    std::uint64_t Position() const override { return position_; }
    std::uint64_t Size() const override { return bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

// A regular file, its size taken when it was opened.
class FileSource final : public ByteSource
{
public:
    explicit FileSource(std::unique_ptr<files::RegularFile> file)
        : file_(std::move(file))
    {
    }

    std::size_t Read(std::span<std::uint8_t> into) override
    {
        // A short read is the end, or a read error that ends the walk like the end.
        const std::size_t got = file_->ReadAt(position_, into);
        position_ += got;
        return got;
    }
    void Skip(std::uint64_t count) override { position_ += std::min(count, Size() - std::min(Size(), position_)); }
    std::uint64_t Position() const override { return position_; }
    std::uint64_t Size() const override { return file_->Size(); }

private:
    const std::unique_ptr<files::RegularFile> file_;
    std::uint64_t position_ = 0;
};

} // namespace

std::optional<WaveSound> ReadWave(ByteSource& source)
{
    std::uint8_t riff[kRiffHeaderSize];
    if (source.Read(riff) != sizeof riff || !IdIs(riff + 8, "WAVE"))
    {
        return std::nullopt;
    }
    // The chunk id "RIFF" is not examined; the RIFF size ends the walk.
    const std::uint32_t riffSize = U32(riff + 4);

    // The format chunk is read as its first 16 bytes, whatever its length
    // field says: the next chunk header follows right after them.
    std::uint8_t format[kFormatHeaderSize];
    if (source.Read(format) != sizeof format || !IdIs(format, "fmt") || U16(format + 8) != kWaveFormatPcm)
    {
        return std::nullopt;
    }
    WaveSound sound;
    sound.channels = U16(format + 10);
    sound.samplesPerSecond = U32(format + 12);
    sound.bitsPerSample = U16(format + 22);

    std::uint8_t header[kChunkHeaderSize];
    if (source.Read(header) != sizeof header)
    {
        return sound;
    }
    // The position after each chunk header is compared with the RIFF size
    // field itself (not that value plus the 8 bytes of the RIFF header).
    while (source.Position() < riffSize)
    {
        const std::uint32_t length = U32(header + 4);
        if (IdIs(header, "data"))
        {
            // Memory for the bytes the file can still hold, not for what the
            // length field claims.
            const std::uint64_t left = source.Size() - std::min(source.Size(), source.Position());
            const std::size_t room = kMaxSoundBytes - sound.samples.size();
            const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>({ length, room, left }));
            const std::size_t start = sound.samples.size();
            sound.samples.resize(start + wanted);
            const std::size_t got = source.Read(std::span(sound.samples).subspan(start));
            // Only what the file really holds is sound.
            sound.samples.resize(start + got);
            if (got < wanted)
            {
                break;
            }
            source.Skip(length - got);
        }
        else
        {
            source.Skip(length);
        }
        // The end of the file ends the walk, also when the RIFF size claims
        // more: a header that cannot be read whole is not a chunk.
        if (source.Read(header) != sizeof header)
        {
            break;
        }
    }
    return sound;
}

std::optional<WaveSound> ReadWave(std::span<const std::uint8_t> bytes)
{
    MemorySource source(bytes);
    return ReadWave(source);
}

std::optional<WaveSound> ReadWaveFile(const std::filesystem::path& path)
{
    // Without blocking, so that a pipe by that name cannot hold the opening;
    // only a regular file is read.
    auto file = files::RegularFile::Open(path);
    if (!file)
    {
        return std::nullopt;
    }
    FileSource source(std::move(file));
    return ReadWave(source);
}

} // namespace quellis::monitor

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// Finds a named section in an ELF64 little-endian file through its section
// header table. The file is outside input: every offset and size in it is
// checked against the file's size before it is used, and only bounded pieces
// are read, so a truncated or hostile file costs neither memory nor a crash.

namespace quellis::version
{

// Random-access reads of a file or of bytes already in memory.
class ByteSource
{
public:
    virtual ~ByteSource() = default;
    [[nodiscard]] virtual std::uint64_t Size() const = 0;
    // Fills `out` from `offset`; false (and `out` undefined) when any of it
    // lies past the end or cannot be read.
    [[nodiscard]] virtual bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const = 0;
};

class MemoryByteSource final : public ByteSource
{
public:
    explicit MemoryByteSource(std::span<const std::uint8_t> bytes)
        : bytes_(bytes)
    {
    }
    [[nodiscard]] std::uint64_t Size() const override { return bytes_.size(); }
    [[nodiscard]] bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override;

private:
    std::span<const std::uint8_t> bytes_;
};

// Where a section's bytes are in the file; both are within the file.
struct ElfSection
{
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// The first section called `name`. Nothing for a file that is not ELF64
// little-endian, has no section table, has a damaged one, or whose section
// of that name has no bytes in the file or bytes reaching past its end.
[[nodiscard]] std::optional<ElfSection> FindElfSection(const ByteSource& file, std::string_view name);

} // namespace quellis::version

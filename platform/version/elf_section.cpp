#include "platform/version/elf_section.h"

#include <array>
#include <cstring>
#include <vector>

namespace quellis::version
{
namespace
{

constexpr std::size_t kFileHeaderSize = 64;
constexpr std::size_t kSectionHeaderSize = 64;
constexpr std::uint8_t kElfClass64 = 2;
constexpr std::uint8_t kElfDataLittleEndian = 1;
constexpr std::uint8_t kElfVersionCurrent = 1;
constexpr std::uint16_t kExtendedIndex = 0xFFFF; // the name table index is in section 0
constexpr std::uint32_t kSectionNoBits = 8; // .bss and the like: no bytes in the file

// Linkers stop long before this; a larger count says the table is garbage.
constexpr std::uint64_t kMaxSections = 1u << 16;

using SectionHeader = std::array<std::uint8_t, kSectionHeaderSize>;

// Fields are read byte by byte: the file's byte order, not the host's, and no
// unaligned access. Callers pass offsets inside the array.
template <typename T, std::size_t N> T Little(const std::array<std::uint8_t, N>& bytes, std::size_t offset)
{
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
    {
        value |= static_cast<T>(static_cast<T>(bytes[offset + i]) << (8 * i));
    }
    return value;
}

bool Within(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize)
{
    return offset <= fileSize && size <= fileSize - offset;
}

struct SectionFields
{
    std::uint32_t name = 0;
    std::uint32_t type = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint32_t link = 0;
};

SectionFields Fields(const SectionHeader& header)
{
    return SectionFields { Little<std::uint32_t>(header, 0x00),
        Little<std::uint32_t>(header, 0x04),
        Little<std::uint64_t>(header, 0x18),
        Little<std::uint64_t>(header, 0x20),
        Little<std::uint32_t>(header, 0x28) };
}

// A section's bytes must lie in the file, as sections without bytes have none to read.
bool HasFileBytes(const SectionFields& section, std::uint64_t fileSize)
{
    return section.type != kSectionNoBits && Within(section.offset, section.size, fileSize);
}

} // namespace

bool MemoryByteSource::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const
{
    if (!Within(offset, out.size(), bytes_.size()))
    {
        return false;
    }
    if (!out.empty())
    {
        std::memcpy(out.data(), bytes_.data() + offset, out.size());
    }
    return true;
}

std::optional<ElfSection> FindElfSection(const ByteSource& file, std::string_view name)
{
    const std::uint64_t fileSize = file.Size();
    std::array<std::uint8_t, kFileHeaderSize> header {};
    if (fileSize < kFileHeaderSize || !file.ReadAt(0, header))
    {
        return std::nullopt;
    }
    if (header[0] != 0x7F || header[1] != 'E' || header[2] != 'L' || header[3] != 'F' || header[4] != kElfClass64
        || header[5] != kElfDataLittleEndian || header[6] != kElfVersionCurrent)
    {
        return std::nullopt;
    }
    const auto tableOffset = Little<std::uint64_t>(header, 0x28);
    const auto entrySize = Little<std::uint16_t>(header, 0x3A);
    std::uint64_t count = Little<std::uint16_t>(header, 0x3C);
    std::uint64_t nameTableIndex = Little<std::uint16_t>(header, 0x3E);
    // Entries may be larger than we know (later fields), never smaller.
    if (tableOffset == 0 || entrySize < kSectionHeaderSize || !Within(tableOffset, kSectionHeaderSize, fileSize))
    {
        return std::nullopt;
    }

    SectionHeader entry {};
    if (!file.ReadAt(tableOffset, entry))
    {
        return std::nullopt;
    }
    // Files with very many sections keep the true count and name table index in section 0.
    const SectionFields first = Fields(entry);
    if (count == 0)
    {
        count = first.size;
    }
    if (nameTableIndex == kExtendedIndex)
    {
        nameTableIndex = first.link;
    }
    // count * entrySize cannot overflow: both are bounded first.
    if (count == 0 || count > kMaxSections || nameTableIndex >= count
        || !Within(tableOffset, count * entrySize, fileSize))
    {
        return std::nullopt;
    }

    if (!file.ReadAt(tableOffset + nameTableIndex * entrySize, entry))
    {
        return std::nullopt;
    }
    const SectionFields names = Fields(entry);
    if (!HasFileBytes(names, fileSize))
    {
        return std::nullopt;
    }

    // One entry and one name at a time: memory stays bounded by the name we
    // look for, whatever sizes the file claims.
    std::vector<std::uint8_t> candidate(name.size() + 1);
    for (std::uint64_t index = 0; index < count; ++index)
    {
        if (!file.ReadAt(tableOffset + index * entrySize, entry))
        {
            return std::nullopt;
        }
        const SectionFields section = Fields(entry);
        // The name with its terminator must lie inside the name table.
        if (section.name >= names.size || candidate.size() > names.size - section.name
            || !file.ReadAt(names.offset + section.name, candidate))
        {
            continue;
        }
        if (candidate.back() != 0 || std::memcmp(candidate.data(), name.data(), name.size()) != 0)
        {
            continue;
        }
        if (!HasFileBytes(section, fileSize))
        {
            return std::nullopt;
        }
        return ElfSection { section.offset, section.size };
    }
    return std::nullopt;
}

} // namespace quellis::version

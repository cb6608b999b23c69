#include "platform/version/version_record.h"

#include <array>

namespace quellis::version
{
namespace
{

std::uint32_t Word(std::span<const std::uint8_t> block, std::size_t index)
{
    const std::size_t at = index * 4;
    return static_cast<std::uint32_t>(block[at]) | static_cast<std::uint32_t>(block[at + 1]) << 8
        | static_cast<std::uint32_t>(block[at + 2]) << 16 | static_cast<std::uint32_t>(block[at + 3]) << 24;
}

} // namespace

std::optional<FixedFileInfo> QueryRootBlock(std::span<const std::uint8_t> block)
{
    if (block.size() < sizeof(FixedFileInfo))
    {
        return std::nullopt;
    }
    FixedFileInfo info;
    std::uint32_t* const fields[] = { &info.signature,
        &info.structVersion,
        &info.fileVersionMS,
        &info.fileVersionLS,
        &info.productVersionMS,
        &info.productVersionLS,
        &info.fileFlagsMask,
        &info.fileFlags,
        &info.fileOS,
        &info.fileType,
        &info.fileSubtype,
        &info.fileDateMS,
        &info.fileDateLS };
    static_assert(std::size(fields) * 4 == sizeof(FixedFileInfo));
    for (std::size_t i = 0; i < std::size(fields); ++i)
    {
        *fields[i] = Word(block, i);
    }
    // Later minor versions may add fields after these; a new major one may move them.
    if (info.signature != kFixedFileInfoSignature || info.structVersion >> 16 != kFixedFileInfoStructVersion >> 16)
    {
        return std::nullopt;
    }
    return info;
}

bool ReadVersionBlock(const ByteSource& file, std::vector<std::uint8_t>& block)
{
    const auto section = FindElfSection(file, kVersionSectionName);
    if (!section || section->size < sizeof(FixedFileInfo) || section->size > kMaxVersionBlock)
    {
        return false;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(section->size));
    if (!file.ReadAt(section->offset, bytes) || !QueryRootBlock(bytes))
    {
        return false;
    }
    block = std::move(bytes);
    return true;
}

} // namespace quellis::version

#pragma once

#include <cstdint>
#include <filesystem>

// File information in the shape of the Windows attribute data, for the
// package and pool-file code that was written against it.

namespace quellis::files
{

// The Windows attribute values, so that tests and callers can share them.
inline constexpr std::uint32_t kFileAttributeReadOnly = 0x1;
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;

// Times are Unix seconds (UTC), not Windows file-time ticks.
struct FileInfo
{
    std::uint32_t attributes = 0;
    std::uint64_t size = 0; // 0 for a directory
    std::int64_t creationTime = 0; // birth time where the file system keeps one, else the last status change
    std::int64_t lastAccessTime = 0;
    std::int64_t lastWriteTime = 0;
};

// False, with info untouched, when the path does not exist or cannot be
// examined. Symbolic links are followed. Read-only means no write permission
// bit at all (as after "chmod a-w"): whether this process may write depends on
// who runs it, the attribute should not.
[[nodiscard]] bool QueryFileInfo(const std::filesystem::path& path, FileInfo& info);

} // namespace quellis::files

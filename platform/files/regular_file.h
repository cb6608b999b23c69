#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

// A regular file opened for reading at any offset, its size taken when it
// was opened. Opening does not block, so that a pipe by that name cannot
// hold it; anything but a regular file is refused.

namespace quellis::files
{

class RegularFile
{
public:
    // Nothing when the path is missing, unreadable or not a regular file.
    [[nodiscard]] static std::unique_ptr<RegularFile> Open(const std::filesystem::path& path);
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    [[nodiscard]] std::uint64_t Size() const { return size_; }
    // Fills `into` from `offset` on; fewer bytes at the end of the file or
    // after a read error, which ends a reader's walk like the end.
    [[nodiscard]] std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) const;

private:
    RegularFile(int handle, std::uint64_t size)
        : handle_(handle)
        , size_(size)
    {
    }
    const int handle_;
    const std::uint64_t size_;
};

} // namespace quellis::files

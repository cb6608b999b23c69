#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

// A file opened read-only and read through one mapped window at a time, so a
// package of any size costs one window of address space. The file is not
// locked: other programs may copy or replace it meanwhile. Replacing it (a new
// file renamed over it) leaves our view on the old contents; truncating it in
// place makes the vanished pages fault, as on any system that maps files.

namespace quellis::files
{

class MappedFile
{
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;

    // Closes what was open first. False for a missing file or a directory.
    [[nodiscard]] bool Open(const std::filesystem::path& path);

    // The size when opened.
    [[nodiscard]] std::uint64_t Size() const { return size_; }

    // Maps bytes [offset, offset + length) and returns their address, valid
    // until the next MapWindow, Unmap or Close. The previous window is unmapped
    // even when the new one is refused. Refused (nullptr): nothing open, an
    // offset that is not a multiple of the page size, a zero length, or a
    // window reaching past the end of the file.
    [[nodiscard]] const std::uint8_t* MapWindow(std::uint64_t offset, std::size_t length);

    void Unmap();
    void Close();
    [[nodiscard]] bool IsOpen() const { return descriptor_ >= 0; }

    [[nodiscard]] static std::size_t PageSize();

private:
    int descriptor_ = -1;
    std::uint64_t size_ = 0;
    void* window_ = nullptr;
    std::size_t windowLength_ = 0;
};

} // namespace quellis::files

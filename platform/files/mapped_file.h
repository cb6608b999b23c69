#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

// A file opened read-only and read through one mapped window at a time, so a
// package of any size costs one window of address space. The file is not
// locked: other programs may copy or replace it meanwhile. Replacing it (a new
// file renamed over it) leaves our view on the old contents; truncating it in
// place makes the vanished pages fault, as on any system that maps files: a
// reader that must survive that hands the window to the system (a socket send
// reports a bad address instead) or uses ReadAt and SendTo, which never touch
// the mapping.

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

    // Reads up to length bytes at offset through the file, not the mapping;
    // the number read (0 at or past the end as it is now), or -1.
    [[nodiscard]] long ReadAt(std::uint64_t offset, void* buffer, std::size_t length) const;

    // Hands bytes [offset, offset + length) to a connected stream socket without
    // copying them through the program (sendfile). A peer that has gone makes
    // the system raise SIGPIPE for the calling thread, which blocks it first
    // unless the process ignores it (net::BlockBrokenPipeSignal).
    enum class SendStatus
    {
        Sent, // `sent` bytes (at least 1) were taken
        WouldBlock, // a non-blocking socket has no room now
        FileEnded, // the file now ends before offset: it was cut short
        Unsupported, // this file or socket cannot be sent this way
        Failed, // the socket failed (reset, closed)
    };
    [[nodiscard]] SendStatus SendTo(int socket, std::uint64_t offset, std::size_t length, std::size_t& sent) const;

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

#include "platform/files/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace quellis::files
{

MappedFile::~MappedFile()
{
    Close();
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1))
    , size_(std::exchange(other.size_, 0))
    , window_(std::exchange(other.window_, nullptr))
    , windowLength_(std::exchange(other.windowLength_, 0))
{
}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept
{
    if (this != &other)
    {
        Close();
        descriptor_ = std::exchange(other.descriptor_, -1);
        size_ = std::exchange(other.size_, 0);
        window_ = std::exchange(other.window_, nullptr);
        windowLength_ = std::exchange(other.windowLength_, 0);
    }
    return *this;
}

std::size_t MappedFile::PageSize()
{
    static const std::size_t pageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return pageSize;
}

bool MappedFile::Open(const std::filesystem::path& path)
{
    Close();
    // Non-blocking: a named pipe chosen by mistake must not hold the caller until
    // a writer comes (it is then refused as not a regular file).
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0)
    {
        return false;
    }
    struct stat status = {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
    {
        close(descriptor);
        return false;
    }
    descriptor_ = descriptor;
    size_ = static_cast<std::uint64_t>(status.st_size);
    return true;
}

const std::uint8_t* MappedFile::MapWindow(std::uint64_t offset, std::size_t length)
{
    Unmap();
    if (!IsOpen() || length == 0 || offset % PageSize() != 0 || offset > size_ || length > size_ - offset)
    {
        return nullptr;
    }
    void* window = mmap(nullptr, length, PROT_READ, MAP_SHARED, descriptor_, static_cast<off_t>(offset));
    if (window == MAP_FAILED)
    {
        return nullptr;
    }
    window_ = window;
    windowLength_ = length;
    return static_cast<const std::uint8_t*>(window);
}

long MappedFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) const
{
    if (!IsOpen())
    {
        return -1;
    }
    for (;;)
    {
        const ssize_t got = pread(descriptor_, buffer, length, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR)
        {
            return static_cast<long>(got);
        }
    }
}

MappedFile::SendStatus MappedFile::SendTo(int socket, std::uint64_t offset, std::size_t length, std::size_t& sent) const
{
    sent = 0;
    if (!IsOpen())
    {
        return SendStatus::Failed;
    }
    off_t position = static_cast<off_t>(offset);
    for (;;)
    {
        const ssize_t result = sendfile(socket, descriptor_, &position, length);
        if (result > 0)
        {
            sent = static_cast<std::size_t>(result);
            return SendStatus::Sent;
        }
        if (result == 0)
        {
            return length == 0 ? SendStatus::Sent : SendStatus::FileEnded;
        }
        switch (errno)
        {
        case EINTR:
            continue;
        case EAGAIN:
            return SendStatus::WouldBlock;
        case EINVAL:
        case ENOSYS:
        case EOPNOTSUPP:
            return SendStatus::Unsupported;
        default:
            return SendStatus::Failed;
        }
    }
}

void MappedFile::Unmap()
{
    if (window_ != nullptr)
    {
        munmap(window_, windowLength_);
        window_ = nullptr;
        windowLength_ = 0;
    }
}

void MappedFile::Close()
{
    Unmap();
    if (descriptor_ >= 0)
    {
        close(descriptor_);
        descriptor_ = -1;
    }
    size_ = 0;
}

} // namespace quellis::files

#include "platform/files/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quellis::files
{

std::unique_ptr<RegularFile> RegularFile::Open(const std::filesystem::path& path)
{
    const int handle = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0)
    {
        return nullptr;
    }
    struct stat info
    {
    };
    if (fstat(handle, &info) != 0 || !S_ISREG(info.st_mode))
    {
        close(handle);
        return nullptr;
    }
    return std::unique_ptr<RegularFile>(new RegularFile(handle, static_cast<std::uint64_t>(info.st_size)));
}

RegularFile::~RegularFile()
{
    close(handle_);
}

std::size_t RegularFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> into) const
{
    std::size_t total = 0;
    while (total < into.size())
    {
        const ssize_t got
            = pread(handle_, into.data() + total, into.size() - total, static_cast<off_t>(offset + total));
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            break;
        }
        total += static_cast<std::size_t>(got);
    }
    return total;
}

} // namespace quellis::files

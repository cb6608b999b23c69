#include "sim/expected_package.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quellis::sim
{

ExpectedPackage::~ExpectedPackage()
{
    if (mapping_ != nullptr)
    {
        munmap(mapping_, size_);
    }
}

bool ExpectedPackage::Open(const std::string& path, std::string* error)
{
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
    {
        *error = "cannot open the expected package " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info
    {
    };
    if (fstat(file, &info) != 0 || !S_ISREG(info.st_mode))
    {
        *error = "the expected package " + path + " is not a regular file";
        close(file);
        return false;
    }
    size_ = static_cast<std::size_t>(info.st_size);
    if (size_ > 0)
    {
        mapping_ = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, file, 0);
        if (mapping_ == MAP_FAILED)
        {
            mapping_ = nullptr;
            *error = "cannot map the expected package " + path + ": " + std::strerror(errno);
            close(file);
            return false;
        }
        data_ = static_cast<const std::uint8_t*>(mapping_);
    }
    close(file);
    open_ = true;
    return true;
}

bool ExpectedPackage::Matches(std::uint64_t offset, std::span<const std::uint8_t> chunk) const
{
    if (offset > size_ || chunk.size() > size_ - offset)
    {
        return false;
    }
    return chunk.empty() || std::memcmp(data_ + offset, chunk.data(), chunk.size()) == 0;
}

} // namespace quellis::sim

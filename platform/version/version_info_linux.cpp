#include "platform/version/version_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace quellis::version
{
namespace
{

// A regular file read with pread: only the pieces the lookup asks for.
class FileByteSource final : public ByteSource
{
public:
    explicit FileByteSource(const std::filesystem::path& path)
    {
        // O_NONBLOCK: a FIFO given as the path must not hang the About box.
        descriptor_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        struct stat status = {};
        if (descriptor_ >= 0 && (fstat(descriptor_, &status) != 0 || !S_ISREG(status.st_mode)))
        {
            close(descriptor_);
            descriptor_ = -1;
        }
        size_ = descriptor_ >= 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
    }

    ~FileByteSource() override
    {
        if (descriptor_ >= 0)
        {
            close(descriptor_);
        }
    }

    FileByteSource(const FileByteSource&) = delete;
    FileByteSource& operator=(const FileByteSource&) = delete;

    [[nodiscard]] std::uint64_t Size() const override { return size_; }

    [[nodiscard]] bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override
    {
        if (descriptor_ < 0 || offset > size_ || out.size() > size_ - offset)
        {
            return false;
        }
        std::size_t done = 0;
        while (done < out.size())
        {
            const ssize_t got
                = pread(descriptor_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR)
            {
                continue;
            }
            // A file cut short since we measured it ends the read.
            if (got <= 0)
            {
                return false;
            }
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    int descriptor_ = -1;
    std::uint64_t size_ = 0;
};

} // namespace

std::filesystem::path ModuleFileName()
{
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

std::filesystem::path RunningProgramImage()
{
    // Opening the link itself opens the inode the process runs, which stays
    // while the process lives; what the link reads is only its old name.
    return "/proc/self/exe";
}

std::size_t VersionInfoSize(const std::filesystem::path& file)
{
    std::vector<std::uint8_t> block;
    return ReadVersionInfo(file, block) ? block.size() : 0;
}

bool ReadVersionInfo(const std::filesystem::path& file, std::vector<std::uint8_t>& block)
{
    const FileByteSource source(file);
    return ReadVersionBlock(source, block);
}

} // namespace quellis::version

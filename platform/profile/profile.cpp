#include "platform/profile/profile.h"

#include "platform/profile/profile_text.h"
#include "platform/text/codepage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <system_error>

namespace quellis::profile
{

namespace
{

enum class ReadResult
{
    Read,
    Missing,
    Failed,
};

class FileHandle
{
public:
    explicit FileHandle(int descriptor)
        : descriptor_(descriptor)
    {
    }
    ~FileHandle()
    {
        if (descriptor_ >= 0)
        {
            close(descriptor_);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    [[nodiscard]] int Get() const { return descriptor_; }
    [[nodiscard]] bool Valid() const { return descriptor_ >= 0; }

    // Closes now so that the error of the last write-back is seen.
    [[nodiscard]] bool Close()
    {
        const int descriptor = descriptor_;
        descriptor_ = -1;
        return close(descriptor) == 0;
    }

private:
    int descriptor_;
};

ReadResult ReadWholeFile(const std::filesystem::path& file, std::string& bytes, struct stat& status)
{
    FileHandle handle(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!handle.Valid())
    {
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    }
    if (fstat(handle.Get(), &status) != 0 || !S_ISREG(status.st_mode))
    {
        return ReadResult::Failed;
    }
    bytes.clear();
    char buffer[16384];
    for (;;)
    {
        const ssize_t got = read(handle.Get(), buffer, sizeof buffer);
        if (got == 0)
        {
            return ReadResult::Read;
        }
        if (got < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return ReadResult::Failed;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

bool WriteAll(int descriptor, std::string_view bytes)
{
    while (!bytes.empty())
    {
        const ssize_t written = write(descriptor, bytes.data(), bytes.size());
        if (written < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Writes a sibling file and renames it over the target: rename within one
// directory is atomic, and the data is flushed first so that a crash right
// after the rename cannot leave an empty file behind it.
bool ReplaceFile(const std::filesystem::path& target, std::string_view bytes, std::optional<mode_t> mode)
{
    static std::atomic<unsigned> sequence { 0 };
    const std::filesystem::path directory = target.has_parent_path() ? target.parent_path() : ".";
    std::filesystem::path temporary;
    int descriptor = -1;
    // A name left by a crashed run is skipped, not reused.
    for (int attempt = 0; attempt < 100 && descriptor < 0; ++attempt)
    {
        temporary = directory
            / ("." + target.filename().string() + "." + std::to_string(getpid()) + "."
                + std::to_string(sequence.fetch_add(1)) + ".tmp");
        // 0666 under the umask gives a new file the mode any new file gets.
        descriptor = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor < 0 && errno != EEXIST)
        {
            return false;
        }
    }
    FileHandle handle(descriptor);
    if (!handle.Valid())
    {
        return false;
    }
    bool written
        = (!mode || fchmod(handle.Get(), *mode) == 0) && WriteAll(handle.Get(), bytes) && fsync(handle.Get()) == 0;
    written = handle.Close() && written;
    if (!written || rename(temporary.c_str(), target.c_str()) != 0)
    {
        unlink(temporary.c_str());
        return false;
    }
    FileHandle directoryHandle(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directoryHandle.Valid())
    {
        // Makes the rename itself durable; the file is whole either way.
        fsync(directoryHandle.Get());
    }
    return true;
}

// Read-modify-write is not atomic: two threads writing different keys at once
// would each rename their own copy and one change would be lost.
std::mutex& WriteMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::optional<std::string> ReadFileText(const std::filesystem::path& file)
{
    std::string bytes;
    struct stat status = {};
    if (ReadWholeFile(file, bytes, status) != ReadResult::Read)
    {
        return std::nullopt;
    }
    return bytes;
}

} // namespace

std::string ReadProfileString(std::string_view section,
    std::string_view key,
    std::string_view defaultValue,
    const std::filesystem::path& file,
    std::size_t bufferSize)
{
    const std::size_t maxBytes = bufferSize > 0 ? bufferSize - 1 : 0;
    if (const std::optional<std::string> bytes = ReadFileText(file))
    {
        const std::optional<std::string_view> value
            = FindProfileValue(*bytes, text::Utf8ToCp936(section), text::Utf8ToCp936(key));
        if (value)
        {
            return text::Cp936ToUtf8(text::Cp936Prefix(*value, maxBytes));
        }
    }
    while (!defaultValue.empty() && defaultValue.back() == ' ')
    {
        defaultValue.remove_suffix(1);
    }
    // The default is given back as it came unless it is too long for the
    // buffer: a round trip through the code page would turn characters it
    // lacks into '?'.
    const std::string stored = text::Utf8ToCp936(defaultValue);
    if (stored.size() <= maxBytes)
    {
        return std::string(defaultValue);
    }
    return text::Cp936ToUtf8(text::Cp936Prefix(stored, maxBytes));
}

int ReadProfileInt(std::string_view section, std::string_view key, int defaultValue, const std::filesystem::path& file)
{
    const std::optional<std::string> bytes = ReadFileText(file);
    if (!bytes)
    {
        return defaultValue;
    }
    const std::optional<std::string_view> value
        = FindProfileValue(*bytes, text::Utf8ToCp936(section), text::Utf8ToCp936(key));
    return value ? ParseProfileInt(*value) : defaultValue;
}

bool WriteProfileString(
    std::string_view section, std::string_view key, std::string_view value, const std::filesystem::path& file)
{
    const std::lock_guard lock(WriteMutex());

    // The rename would replace a symbolic link with a plain file; write where
    // it points instead.
    std::filesystem::path target = file;
    std::error_code error;
    if (std::filesystem::is_symlink(file, error))
    {
        target = std::filesystem::canonical(file, error);
        if (error)
        {
            return false;
        }
    }

    std::string bytes;
    struct stat status = {};
    std::optional<mode_t> mode;
    switch (ReadWholeFile(target, bytes, status))
    {
    case ReadResult::Read:
        mode = status.st_mode & 07777;
        break;
    case ReadResult::Missing:
        bytes.clear();
        break;
    case ReadResult::Failed:
        // An unreadable file is not taken for an empty one: that would wipe it.
        return false;
    }

    const std::optional<std::string> updated
        = SetProfileValue(bytes, text::Utf8ToCp936(section), text::Utf8ToCp936(key), text::Utf8ToCp936(value));
    if (!updated)
    {
        return false;
    }
    if (mode && *updated == bytes)
    {
        return true;
    }
    return ReplaceFile(target, *updated, mode);
}

} // namespace quellis::profile

#include "platform/instance/named_lock.h"
#include "platform/instance/runtime_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace quellis::instance
{
namespace
{

// A file name of at most 255 bytes leaves room for the prefix.
constexpr std::size_t kMaxEscapedName = 200;
constexpr std::string_view kFilePrefix = "quellis-lock-";

// Other users open the file only to lock it, so reading is all they need;
// nobody ever writes into it.
constexpr mode_t kFileMode = 0644;

// O_NOFOLLOW: a symbolic link planted under the name by another user must not
// make us create or lock a file of their choosing. O_NONBLOCK: a FIFO planted
// under the name would otherwise block the open until someone writes to it.
constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// A lock file that vanished or was replaced between our open and our lock
// (only a cleaner or another user can do that: we never remove it) is opened
// again; a few rounds settle any such race.
constexpr int kOpenAttempts = 8;

} // namespace

// /run/lock is the system's place for lock files and is not aged like /tmp,
// where some systems delete files untouched for days while a long-running
// instance still holds one. The choice depends only on the directory itself,
// so every user and process of the machine makes the same one.
const std::filesystem::path& MachineLockDirectory()
{
    static const std::filesystem::path directory = []
    {
        struct stat status = {};
        const bool runLockUsable = lstat("/run/lock", &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == 0
            && (status.st_mode & 01777) == 01777;
        return std::filesystem::path(runLockUsable ? "/run/lock" : "/tmp");
    }();
    return directory;
}

namespace
{

bool SameFile(const struct stat& first, const struct stat& second)
{
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// A descriptor of the regular lock file at `path`, or -1.
int OpenLockFile(const std::filesystem::path& path)
{
    // Open an existing file without O_CREAT first: where the system protects
    // sticky directories, O_CREAT on a file another user owns is refused even
    // though we could open it, which would turn a stale file into a failure.
    int descriptor = open(path.c_str(), kOpenFlags);
    if (descriptor < 0 && errno == ENOENT)
    {
        descriptor = open(path.c_str(), kOpenFlags | O_CREAT | O_EXCL, kFileMode);
        // The umask of whoever came first must not lock other users out.
        if (descriptor >= 0 && fchmod(descriptor, kFileMode) != 0)
        {
            close(descriptor);
            return -1;
        }
    }
    if (descriptor < 0)
    {
        return -1;
    }
    struct stat status = {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
    {
        close(descriptor);
        errno = EINVAL; // not a file we can lock; no point in trying again
        return -1;
    }
    return descriptor;
}

} // namespace

NamedLock::~NamedLock()
{
    Release();
}

NamedLock::NamedLock(NamedLock&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1))
{
}

NamedLock& NamedLock::operator=(NamedLock&& other) noexcept
{
    if (this != &other)
    {
        Release();
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

void NamedLock::Release()
{
    // The file stays: removing it would let a process that opened it just
    // before the removal lock a file no one else can find any more.
    if (descriptor_ >= 0)
    {
        close(descriptor_);
        descriptor_ = -1;
    }
}

std::filesystem::path NamedLock::LockFilePath(std::string_view name)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    for (const char c : name)
    {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9')
            || byte == '.' || byte == '_' || byte == '-';
        if (plain)
        {
            escaped += c;
        }
        else
        {
            escaped += '%';
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 0xF];
        }
        if (escaped.size() > kMaxEscapedName)
        {
            return {};
        }
    }
    if (escaped.empty())
    {
        return {};
    }
    const auto privateDirectory = PrivateRuntimeDirectory();
    return (privateDirectory ? *privateDirectory : MachineLockDirectory()) / (std::string(kFilePrefix) + escaped);
}

NamedLock::Result NamedLock::Create(std::string_view name, NamedLock& out)
{
    out.Release();
    const std::filesystem::path path = LockFilePath(name);
    if (path.empty())
    {
        return Result::Failed;
    }
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt)
    {
        const int descriptor = OpenLockFile(path);
        if (descriptor < 0)
        {
            // Lost a race with a creator (EEXIST) or a cleaner (ENOENT): again.
            if (errno == EEXIST || errno == ENOENT || errno == EINTR)
            {
                continue;
            }
            return Result::Failed;
        }
        // flock belongs to the open file description: a second open in this
        // process conflicts like another process would, and the lock goes with
        // the last descriptor of it, on exit or kill as well.
        int locked = -1;
        do
        {
            locked = flock(descriptor, LOCK_EX | LOCK_NB);
        } while (locked != 0 && errno == EINTR);
        if (locked != 0)
        {
            const int error = errno;
            close(descriptor);
            return error == EWOULDBLOCK ? Result::AlreadyExists : Result::Failed;
        }
        struct stat held = {};
        struct stat named = {};
        if (fstat(descriptor, &held) == 0 && lstat(path.c_str(), &named) == 0 && SameFile(held, named))
        {
            out.descriptor_ = descriptor;
            return Result::Created;
        }
        close(descriptor);
    }
    return Result::Failed;
}

} // namespace quellis::instance

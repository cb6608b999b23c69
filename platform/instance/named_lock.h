#pragma once

#include <filesystem>
#include <string_view>

// The machine-wide named lock that keeps one instance of the tool per machine,
// in place of a named mutex. It is held by the process that created it first
// and vanishes when that process ends, however it ends: the system drops the
// lock with the process's last descriptor of it.

namespace quellis::instance
{

// Where machine-wide locks live: /run/lock, or /tmp where that is unusable.
[[nodiscard]] const std::filesystem::path& MachineLockDirectory();

class NamedLock
{
public:
    enum class Result
    {
        Created, // nobody held it; `out` holds it now
        AlreadyExists, // another holder is alive; `out` holds nothing
        Failed, // could not tell (bad name, lock file unusable); `out` holds nothing
    };

    NamedLock() = default;
    ~NamedLock();
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;
    NamedLock(NamedLock&& other) noexcept;
    NamedLock& operator=(NamedLock&& other) noexcept;

    // Releases what `out` held, then tries to take the lock `name`. The same
    // name is the same lock for every user and every process of the machine,
    // including a second Create in this process (among processes that name a
    // runtime directory, runtime_directory.h: of those naming the same one).
    // A forked child shares the holder's lock until it exits; a program it
    // executes does not.
    [[nodiscard]] static Result Create(std::string_view name, NamedLock& out);

    [[nodiscard]] bool IsHeld() const { return descriptor_ >= 0; }
    void Release();

    // The file that carries the lock `name`; empty for a name that cannot be a
    // lock (empty or too long). Any bytes may be in a name: each one outside
    // [A-Za-z0-9._-] is written as %XX, so different names never share a file.
    [[nodiscard]] static std::filesystem::path LockFilePath(std::string_view name);

private:
    int descriptor_ = -1;
};

} // namespace quellis::instance

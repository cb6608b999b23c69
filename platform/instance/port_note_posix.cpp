#include "platform/instance/named_lock.h"
#include "platform/instance/port_note.h"
#include "platform/instance/runtime_directory.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

namespace quellis::instance
{

namespace
{

// A description longer than this is not one of ours.
constexpr std::size_t kLongestNote = 256;

std::filesystem::path NotePath(std::uint16_t port)
{
    const std::filesystem::path directory = PrivateRuntimeDirectory().value_or(MachineLockDirectory());
    return directory / ("quellis-udp-" + std::to_string(port) + ".holder");
}

struct Note
{
    long pid = 0;
    std::string program;
};

std::optional<Note> ReadNote(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::string text(kLongestNote + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (text.empty() || text.size() > kLongestNote)
    {
        return std::nullopt;
    }
    std::istringstream fields(text);
    Note note;
    if (!(fields >> note.pid) || note.pid <= 0)
    {
        return std::nullopt;
    }
    std::getline(fields >> std::ws, note.program);
    // Whatever the file holds is shown to a person: printable ASCII only.
    for (char& c : note.program)
    {
        if (c < 0x20 || c > 0x7E)
        {
            c = '?';
        }
    }
    return note;
}

bool Runs(long pid)
{
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

} // namespace

PortNote::~PortNote()
{
    Remove();
}

PortNote::PortNote(PortNote&& other) noexcept
    : path_(std::exchange(other.path_, {}))
{
}

PortNote& PortNote::operator=(PortNote&& other) noexcept
{
    if (this != &other)
    {
        Remove();
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

PortNote PortNote::Write(std::uint16_t port, std::string_view program)
{
    PortNote note;
    const std::filesystem::path path = NotePath(port);
    // Written beside and renamed over, so that a reader never sees half a note.
    const std::filesystem::path written = path.string() + "." + std::to_string(getpid());
    {
        std::ofstream file(written, std::ios::binary | std::ios::trunc);
        file << getpid() << ' ' << program.substr(0, kLongestNote / 2) << '\n';
        if (!file.flush())
        {
            std::error_code ignored;
            std::filesystem::remove(written, ignored);
            return note;
        }
    }
    std::error_code error;
    std::filesystem::rename(written, path, error);
    if (error)
    {
        std::filesystem::remove(written, error);
        return note;
    }
    note.path_ = path;
    return note;
}

void PortNote::Remove()
{
    if (path_.empty())
    {
        return;
    }
    // Another program may hold the port by now and have written its own.
    if (const auto note = ReadNote(path_); note && note->pid == getpid())
    {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    path_.clear();
}

std::optional<std::string> PortHolder(std::uint16_t port)
{
    const auto note = ReadNote(NotePath(port));
    if (!note || !Runs(note->pid))
    {
        return std::nullopt;
    }
    return (note->program.empty() ? std::string("a program") : note->program) + " (pid " + std::to_string(note->pid)
        + ")";
}

} // namespace quellis::instance

#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Which program of this host holds a port that only one program can have
// (the machines answer on UDP 6667): the holder leaves a note in the runtime
// directory (runtime_directory.h; machine-wide without it), so that a program
// that cannot bind the port says who has it instead of only that it failed.
// A note whose process has ended names nobody.

namespace quellis::instance
{

class PortNote
{
public:
    PortNote() = default;
    ~PortNote();
    PortNote(const PortNote&) = delete;
    PortNote& operator=(const PortNote&) = delete;
    PortNote(PortNote&& other) noexcept;
    PortNote& operator=(PortNote&& other) noexcept;

    // Notes that this process, described by `program` ("quellis-cli
    // monitor"), holds UDP `port`. A note that cannot be written is no error:
    // the port is held all the same.
    [[nodiscard]] static PortNote Write(std::uint16_t port, std::string_view program);
    // Removes the note while it is still this process's.
    void Remove();

private:
    std::filesystem::path path_;
};

// "quellis-cli monitor (pid 4711)" when a running process noted that it holds
// UDP `port`; nothing otherwise.
[[nodiscard]] std::optional<std::string> PortHolder(std::uint16_t port);

} // namespace quellis::instance

#pragma once

// Whether the program talks to a person: a standard stream on a terminal.

namespace quellis::files
{

enum class StandardStream
{
    Input,
    Output,
    Error,
};

[[nodiscard]] bool IsTerminal(StandardStream stream);

} // namespace quellis::files

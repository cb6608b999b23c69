#pragma once

namespace quellis::core
{

// The colour of a log line: the pane's own format, red or green.
enum class LogColour
{
    Default = 0,
    Red = 1,
    Green = 2,
};

} // namespace quellis::core

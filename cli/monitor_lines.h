#pragma once

#include "cli/output.h"

#include <string>
#include <string_view>

// The lines of `quellis-cli monitor`: each names the machine by address and
// MAC ("-" for what is not known). The table form is one plain line, JSON one
// object per line, CSV one record per line after a header.

namespace quellis::cli
{

struct MonitorLine
{
    std::string time; // local, "YYYY-MM-DD HH:MM:SS"
    std::string ip;
    std::string mac;
    std::string event; // "connecting", "answered", "failed", "not found", "a -> b"
    std::string text; // what the log pane says, or the reason
    bool failure = false;
};

// The header a CSV stream starts with; empty for the other forms.
[[nodiscard]] std::string MonitorHeader(Format format);
[[nodiscard]] std::string FormatMonitorLine(const MonitorLine& line, Format format);

// The local time now, as the lines give it.
[[nodiscard]] std::string LocalTimeNow();

} // namespace quellis::cli

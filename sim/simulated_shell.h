#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// CMD_EXECUTE on a simulated machine: a small table of commands with
// plausible output. Nothing is ever run on the host.

namespace quellis::sim
{

inline constexpr std::int32_t kCommandNotFound = 127;

// What the machine knows about itself when it answers.
struct ShellContext
{
    std::string_view hostName;
    std::string_view address;
    std::string_view mask;
    std::string_view mac;
    std::string_view versionText;
    std::int64_t runSeconds = 0;
    std::int64_t unixTime = 0;
    std::int32_t temperature = 0;
};

struct ShellResult
{
    std::int32_t status = 0;
    std::string output;
};

// The exit status and output of one command line. Known: uptime, hostname,
// echo, cat /etc/version, cat /proc/uptime, whoami, pwd, date, ifconfig,
// true, false, sensors. Anything else: "sh: NAME: not found" and 127, as the
// machine's shell says it.
[[nodiscard]] ShellResult RunSimulatedCommand(std::string_view command, const ShellContext& context);

} // namespace quellis::sim

#include "sim/simulated_shell.h"

#include <cstdio>
#include <ctime>
#include <vector>

namespace quellis::sim
{

namespace
{

std::string_view Trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
    {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::vector<std::string_view> Words(std::string_view text)
{
    std::vector<std::string_view> words;
    std::size_t position = 0;
    while (position < text.size())
    {
        const auto start = text.find_first_not_of(" \t", position);
        if (start == std::string_view::npos)
        {
            break;
        }
        const auto end = text.find_first_of(" \t", start);
        words.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        position = end == std::string_view::npos ? text.size() : end;
    }
    return words;
}

std::tm UtcTime(std::int64_t unixTime)
{
    const auto seconds = static_cast<std::time_t>(unixTime);
    std::tm parts {};
    gmtime_r(&seconds, &parts);
    return parts;
}

std::string Uptime(const ShellContext& context)
{
    const std::tm now = UtcTime(context.unixTime);
    const std::int64_t days = context.runSeconds / 86400;
    const std::int64_t hours = context.runSeconds % 86400 / 3600;
    const std::int64_t minutes = context.runSeconds % 3600 / 60;
    char since[64];
    if (days > 0)
    {
        std::snprintf(since,
            sizeof since,
            "%lld day%s, %2lld:%02lld",
            static_cast<long long>(days),
            days == 1 ? "" : "s",
            static_cast<long long>(hours),
            static_cast<long long>(minutes));
    }
    else if (hours > 0)
    {
        std::snprintf(
            since, sizeof since, "%2lld:%02lld", static_cast<long long>(hours), static_cast<long long>(minutes));
    }
    else
    {
        std::snprintf(since, sizeof since, "%lld min", static_cast<long long>(minutes));
    }
    char line[160];
    std::snprintf(line,
        sizeof line,
        " %02d:%02d:%02d up %s,  load average: 0.41, 0.37, 0.35\n",
        now.tm_hour,
        now.tm_min,
        now.tm_sec,
        since);
    return line;
}

std::string Date(const ShellContext& context)
{
    const std::tm now = UtcTime(context.unixTime);
    char line[64];
    std::strftime(line, sizeof line, "%a %b %e %H:%M:%S UTC %Y\n", &now);
    return line;
}

std::string Ifconfig(const ShellContext& context)
{
    std::string mac;
    for (std::size_t i = 0; i < context.mac.size(); ++i)
    {
        mac += (i > 0 && i % 2 == 0) ? ":" : "";
        mac += context.mac[i];
    }
    return "eth0      Link encap:Ethernet  HWaddr " + mac + "\n          inet addr:" + std::string(context.address)
        + "  Mask:" + std::string(context.mask) + "\n          UP BROADCAST RUNNING MULTICAST  MTU:1500  Metric:1\n";
}

// echo's argument text: the rest of the line with one level of quotes taken off.
std::string EchoText(std::string_view arguments)
{
    std::string text;
    char quote = 0;
    for (const char c : arguments)
    {
        if (quote == 0 && (c == '"' || c == '\''))
        {
            quote = c;
        }
        else if (c == quote)
        {
            quote = 0;
        }
        else
        {
            text += c;
        }
    }
    return text + "\n";
}

} // namespace

ShellResult RunSimulatedCommand(std::string_view command, const ShellContext& context)
{
    const std::string_view line = Trim(command);
    const auto words = Words(line);
    if (words.empty())
    {
        return { 0, {} };
    }
    const std::string_view name = words[0];
    if (name == "echo")
    {
        const auto rest = line.substr(name.size());
        return { 0, EchoText(Trim(rest)) };
    }
    // true and false ignore their arguments, as the shell's built-ins do.
    if (name == "true" || name == "false")
    {
        return { name == "true" ? 0 : 1, {} };
    }
    if (words.size() == 1)
    {
        if (name == "uptime")
        {
            return { 0, Uptime(context) };
        }
        if (name == "hostname")
        {
            return { 0, std::string(context.hostName) + "\n" };
        }
        if (name == "whoami")
        {
            return { 0, "root\n" };
        }
        if (name == "pwd")
        {
            return { 0, "/root\n" };
        }
        if (name == "date")
        {
            return { 0, Date(context) };
        }
        if (name == "ifconfig")
        {
            return { 0, Ifconfig(context) };
        }
        if (name == "sensors")
        {
            return { 0, "board0:  +" + std::to_string(context.temperature) + ".0 C\n" };
        }
    }
    if (name == "cat" && words.size() == 2)
    {
        if (words[1] == "/etc/version")
        {
            return { 0, "farmfw " + std::string(context.versionText) + "\n" };
        }
        if (words[1] == "/proc/uptime")
        {
            return { 0,
                std::to_string(context.runSeconds) + ".00 " + std::to_string(context.runSeconds * 3) + ".00\n" };
        }
        return { 1, "cat: can't open '" + std::string(words[1]) + "': No such file or directory\n" };
    }
    if (name == "cat" || name == "uptime" || name == "hostname" || name == "whoami" || name == "pwd" || name == "date"
        || name == "ifconfig" || name == "sensors")
    {
        return { 1, std::string(name) + ": arguments are not supported here\n" };
    }
    return { kCommandNotFound, "sh: " + std::string(name) + ": not found\n" };
}

} // namespace quellis::sim

#include "cli/commands.h"
#include "cli/output.h"
#include "farm/inventory.h"
#include "farm/time_text.h"

#include <cstdio>
#include <ctime>

// The farm view's inventory, read-only: the window writes it, these commands
// only read it, so they may run while the window does.

namespace quellis::cli
{

namespace
{

// The states the farm view writes that count as not working.
bool IsDown(const std::string& state)
{
    return state == "down" || state == "not answering";
}

struct Opened
{
    farm::Inventory inventory;
    Format format = Format::Table;
    std::string file { farm::kInventoryFile };
};

// Takes --file and --format; false after printing why.
bool ReadOptions(Arguments& arguments, const char* command, Opened& opened)
{
    const auto fileText = arguments.Value("file");
    const auto formatText = arguments.Value("format");
    if (const std::string error = arguments.Error(); !error.empty())
    {
        std::fprintf(stderr, "quellis-cli %s: %s\n", command, error.c_str());
        return false;
    }
    const auto format = formatText ? ParseFormat(*formatText) : Format::Table;
    if (!format)
    {
        std::fprintf(stderr, "quellis-cli %s: --format is table, csv or json\n", command);
        return false;
    }
    opened.format = *format;
    opened.file = fileText.value_or(opened.file);
    return true;
}

// Opens the file read-only; false after printing why.
bool OpenInventory(const char* command, Opened& opened)
{
    std::string error;
    if (!opened.inventory.OpenReadOnly(opened.file, &error))
    {
        std::fprintf(stderr, "quellis-cli %s: %s\n", command, error.c_str());
        return false;
    }
    return true;
}

std::string TimeOrEmpty(std::int64_t unixTime)
{
    return unixTime > 0 ? farm::LocalTimeText(unixTime) : std::string();
}

} // namespace

int RunInventory(Arguments& arguments)
{
    const bool down = arguments.Flag("down");
    Opened opened;
    if (!ReadOptions(arguments, "inventory", opened))
    {
        return kExitUsage;
    }
    if (!OpenInventory("inventory", opened))
    {
        return kExitSomeFailed;
    }
    Results results;
    results.columns = { { "MAC", "mac" },
        { "IP", "ip" },
        { "State", "state" },
        { "Since", "since" },
        { "First seen", "first_seen" },
        { "Last seen", "last_seen" },
        { "Version", "version" } };
    std::size_t downCount = 0;
    const auto machines = opened.inventory.Machines();
    for (const farm::MachineRecord& machine : machines)
    {
        downCount += IsDown(machine.state) ? 1 : 0;
        if (down && !IsDown(machine.state))
        {
            continue;
        }
        results.rows.push_back({ machine.mac,
            machine.address,
            machine.state,
            TimeOrEmpty(machine.stateSince),
            TimeOrEmpty(machine.firstSeen),
            TimeOrEmpty(machine.lastSeen),
            machine.version });
    }
    Print(results, opened.format, stdout);
    if (opened.format == Format::Table)
    {
        std::fprintf(stderr, "%zu machines, %zu down or not answering\n", machines.size(), downCount);
    }
    return kExitOk;
}

int RunEvents(Arguments& arguments)
{
    const auto sinceText = arguments.Value("since");
    Opened opened;
    if (!ReadOptions(arguments, "events", opened))
    {
        return kExitUsage;
    }
    const std::optional<std::int64_t> since = sinceText
        ? farm::ParseTimeText(*sinceText, static_cast<std::int64_t>(std::time(nullptr)))
        : std::optional<std::int64_t>(0);
    if (!since)
    {
        std::fprintf(stderr,
            "quellis-cli events: --since is a time (2026-12-07 17:45), a span back (30m, 2h, 7d) or Unix seconds\n");
        return kExitUsage;
    }
    if (!OpenInventory("events", opened))
    {
        return kExitSomeFailed;
    }
    Results results;
    results.columns
        = { { "Time", "time" }, { "MAC", "mac" }, { "From", "from" }, { "To", "to" }, { "Reason", "reason" } };
    for (const farm::StateChange& change : opened.inventory.Changes(*since))
    {
        results.rows.push_back({ farm::LocalTimeText(change.time), change.mac, change.from, change.to, change.reason });
    }
    Print(results, opened.format, stdout);
    return kExitOk;
}

} // namespace quellis::cli

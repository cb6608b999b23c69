#include "cli/commands.h"
#include "cli/option_checks.h"
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

struct InventoryOptions
{
    std::string file { farm::kInventoryFile };
    Format format = Format::Table;
    bool down = false;
    std::optional<std::string> since;
    std::int64_t sinceTime = 0; // read from the above by the check
};

// --file and --format, which both commands take.
void DeclareFileAndFormat(CLI::App& app, InventoryOptions& options)
{
    app.add_option("--file", options.file);
    app.add_option("--format", options.format)->transform(FormatName());
}

// Opens the file read-only; false after printing why.
bool OpenInventory(const char* command, farm::Inventory& inventory, const std::string& file)
{
    std::string error;
    if (!inventory.OpenReadOnly(file, &error))
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

int RunInventory(const InventoryOptions& options)
{
    const bool down = options.down;
    farm::Inventory inventory;
    if (!OpenInventory("inventory", inventory, options.file))
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
    const auto machines = inventory.Machines();
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
    Print(results, options.format, stdout);
    if (options.format == Format::Table)
    {
        std::fprintf(stderr, "%zu machines, %zu down or not answering\n", machines.size(), downCount);
    }
    return kExitOk;
}

int RunEvents(const InventoryOptions& options)
{
    farm::Inventory inventory;
    if (!OpenInventory("events", inventory, options.file))
    {
        return kExitSomeFailed;
    }
    Results results;
    results.columns
        = { { "Time", "time" }, { "MAC", "mac" }, { "From", "from" }, { "To", "to" }, { "Reason", "reason" } };
    for (const farm::StateChange& change : inventory.Changes(options.sinceTime))
    {
        results.rows.push_back({ farm::LocalTimeText(change.time), change.mac, change.from, change.to, change.reason });
    }
    Print(results, options.format, stdout);
    return kExitOk;
}

} // namespace

Declared DeclareInventory(CLI::App& app)
{
    auto options = std::make_shared<InventoryOptions>();
    DeclareFileAndFormat(app, *options);
    app.add_flag("--down", options->down);
    return { [] { return std::string(); }, [options] { return RunInventory(*options); } };
}

Declared DeclareEvents(CLI::App& app)
{
    auto options = std::make_shared<InventoryOptions>();
    DeclareFileAndFormat(app, *options);
    app.add_option_function<std::string>("--since", [options](const std::string& text) { options->since = text; });
    return { [options]
        {
            // Spans count back from the moment the line is read.
            const auto since = options->since
                ? farm::ParseTimeText(*options->since, static_cast<std::int64_t>(std::time(nullptr)))
                : std::optional<std::int64_t>(0);
            options->sinceTime = since.value_or(0);
            return since ? std::string()
                         : "--since is a time (2026-12-07 17:45), a span back (30m, 2h, 7d) or Unix seconds";
        },
        [options] { return RunEvents(*options); } };
}

} // namespace quellis::cli

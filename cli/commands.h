#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

// The subcommands of quellis-cli: each declares its options on its own part
// of the command line and returns what runs it.

namespace CLI
{
class App;
}

namespace quellis::cli
{

inline constexpr int kExitOk = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitUsage = 2;

// A command's options, read: the checks across options (a usage error, or ""),
// then the command itself with its exit status. Both see what the line set.
struct Declared
{
    std::function<std::string()> check;
    std::function<int()> run;
};

struct Command
{
    std::string_view name;
    std::string_view summary;
    std::string_view help; // shown by `quellis-cli NAME --help`
    Declared (*declare)(CLI::App& app);
};

[[nodiscard]] std::span<const Command> Commands();

Declared DeclareSearch(CLI::App& app);
Declared DeclareFlicker(CLI::App& app);
Declared DeclareBlink(CLI::App& app);
Declared DeclareLedTest(CLI::App& app);
Declared DeclareUartTest(CLI::App& app);
Declared DeclareExec(CLI::App& app);
Declared DeclareRestartMiner(CLI::App& app);
Declared DeclareReboot(CLI::App& app);
Declared DeclareSetIp(CLI::App& app);
Declared DeclareName(CLI::App& app);
Declared DeclareHashRate(CLI::App& app);
Declared DeclareFirstMiner(CLI::App& app);
Declared DeclareTemperature(CLI::App& app);
Declared DeclareMinerCommand(CLI::App& app);
Declared DeclarePools(CLI::App& app);
Declared DeclareE2(CLI::App& app);
Declared DeclareMonitor(CLI::App& app);
Declared DeclareUpdate(CLI::App& app);
Declared DeclareExporter(CLI::App& app);
Declared DeclareInventory(CLI::App& app);
Declared DeclareEvents(CLI::App& app);

} // namespace quellis::cli

#pragma once

#include "cli/arguments.h"

#include <span>
#include <string_view>

// The subcommands of quellis-cli: each takes its own arguments and returns
// the exit status (kExitOk, kExitSomeFailed, kExitUsage).

namespace quellis::cli
{

struct Command
{
    std::string_view name;
    std::string_view summary;
    std::string_view help; // shown by `quellis-cli NAME --help`
    int (*run)(Arguments& arguments);
};

[[nodiscard]] std::span<const Command> Commands();

int RunSearch(Arguments& arguments);
int RunFlicker(Arguments& arguments);
int RunBlink(Arguments& arguments);
int RunLedTest(Arguments& arguments);
int RunUartTest(Arguments& arguments);
int RunExec(Arguments& arguments);
int RunRestartMiner(Arguments& arguments);
int RunReboot(Arguments& arguments);
int RunSetIp(Arguments& arguments);
int RunName(Arguments& arguments);
int RunHashRate(Arguments& arguments);
int RunFirstMiner(Arguments& arguments);
int RunTemperature(Arguments& arguments);
int RunMinerCommand(Arguments& arguments);
int RunPools(Arguments& arguments);
int RunE2(Arguments& arguments);
int RunMonitor(Arguments& arguments);
int RunUpdate(Arguments& arguments);
int RunExporter(Arguments& arguments);
int RunInventory(Arguments& arguments);
int RunEvents(Arguments& arguments);

} // namespace quellis::cli

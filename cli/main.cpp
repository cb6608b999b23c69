// quellis-cli: the operations of the tool from the command line, over the
// same controllers as the window, without Qt and without a display.
#include "cli/commands.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace quellis::cli
{

namespace
{

constexpr std::string_view kSearchHelp = R"(usage: quellis-cli search [--wait SECONDS] [--format table|csv|json]
                          [--filter NETMASK,IPBEGIN,IPEND]

Broadcasts a search and lists every machine that answers within the wait
(3 seconds unless given), sorted by address: index, address, mask, gateway,
MAC, run time (also in seconds in csv and json), temperature, version, host
name. --filter keeps the replies whose address has NETMASK as its third
number and a fourth number from IPBEGIN to IPEND (-1 switches a test off), as
config.ini's keys of the same names do.
)";

constexpr Command kCommands[] = {
    { "search", "find the machines and list them", kSearchHelp, RunSearch },
};

void PrintUsage(std::FILE* out)
{
    std::fprintf(out, "usage: quellis-cli COMMAND [OPTIONS]\n\ncommands:\n");
    for (const Command& command : kCommands)
    {
        std::fprintf(out, "  %-14.*s %.*s\n", static_cast<int>(command.name.size()), command.name.data(),
            static_cast<int>(command.summary.size()), command.summary.data());
    }
    std::fprintf(out, "\n`quellis-cli COMMAND --help` tells more. Exit status: 0 when every machine succeeded,\n"
                      "1 when some failed, 2 for a usage error.\n");
}

} // namespace

std::span<const Command> Commands()
{
    return kCommands;
}

} // namespace quellis::cli

int main(int argc, char** argv)
{
    using namespace quellis::cli;
    // A machine that closes its connection while we write must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
    {
        PrintUsage(stderr);
        return kExitUsage;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help")
    {
        PrintUsage(stdout);
        return kExitOk;
    }
    for (const Command& command : Commands())
    {
        if (command.name != args[0])
        {
            continue;
        }
        args.erase(args.begin());
        Arguments arguments(std::move(args));
        if (arguments.Flag("help"))
        {
            std::fwrite(command.help.data(), 1, command.help.size(), stdout);
            return kExitOk;
        }
        return command.run(arguments);
    }
    std::fprintf(stderr, "quellis-cli: no command %s\n\n", args[0].c_str());
    PrintUsage(stderr);
    return kExitUsage;
}

#include "cli/command_line.h"

#include "cli/option_checks.h"

#include <algorithm>

namespace quellis::cli
{

namespace
{

// "pools set": the command and the word after it, as the errors name them.
std::string NameOf(const CLI::App& command)
{
    std::string name = command.get_name();
    for (const CLI::App* word : command.get_subcommands())
    {
        name += " " + word->get_name();
    }
    return name;
}

CommandLine UsageError(std::string command, const std::string& message)
{
    CommandLine line;
    line.status = kExitUsage;
    line.error = "quellis-cli " + command + ": " + message + "\n";
    line.command = std::move(command);
    return line;
}

} // namespace

CommandLine ReadCommandLine(const std::vector<std::string>& args)
{
    CommandLine line;
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help")
    {
        line.status = args.empty() ? kExitUsage : kExitOk;
        (args.empty() ? line.error : line.out) = UsageText();
        return line;
    }
    const auto commands = Commands();
    const auto command
        = std::find_if(commands.begin(), commands.end(), [&](const Command& known) { return known.name == args[0]; });
    if (command == commands.end())
    {
        line.status = kExitUsage;
        line.error = "quellis-cli: no command " + args[0] + "\n\n" + UsageText();
        return line;
    }

    // Options may be given again, and the last one counts (lists take every
    // one); what nothing takes is reported by Leftover in the old words.
    auto app = std::make_shared<CLI::App>("", "quellis-cli");
    app->allow_extras();
    app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    std::vector<Declared> declared;
    CLI::App* chosen = nullptr;
    for (const Command& each : commands)
    {
        CLI::App* sub = app->add_subcommand(std::string(each.name), std::string(each.summary));
        declared.push_back(each.declare(*sub));
        chosen = &each == &*command ? sub : chosen;
    }
    // The first one taken, so that a positional value that names another
    // command is a value.
    app->require_subcommand(1);

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try
    {
        app->parse(reversed);
    }
    catch (const CLI::CallForHelp&)
    {
        line.out = command->help;
        return line;
    }
    catch (const CLI::Error& error)
    {
        return UsageError(NameOf(*chosen), UsageMessage(error));
    }
    const Declared& taken = declared[static_cast<std::size_t>(command - commands.begin())];
    std::string error = Leftover(*app);
    if (error.empty())
    {
        error = taken.check();
    }
    if (!error.empty())
    {
        return UsageError(NameOf(*chosen), error);
    }
    line.command = command->name;
    line.run = taken.run;
    line.app = std::move(app);
    return line;
}

} // namespace quellis::cli

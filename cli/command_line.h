#pragma once

#include "cli/commands.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The line quellis-cli was started with, read: the help asked for, a usage
// error, or the command to run with its options. Every usage error is found
// here, before anything is sent.

namespace quellis::cli
{

struct CommandLine
{
    int status = kExitOk; // when there is nothing to run
    std::string out; // for standard output: the help asked for
    std::string error; // for standard error: the usage error
    std::string command; // the command's name
    std::function<int()> run; // the command, when the line asks for one
    std::shared_ptr<CLI::App> app; // what the command's options refer to
};

// The arguments after the program's name.
[[nodiscard]] CommandLine ReadCommandLine(const std::vector<std::string>& args);

// The list of commands, as `quellis-cli --help` prints it.
[[nodiscard]] std::string UsageText();

} // namespace quellis::cli

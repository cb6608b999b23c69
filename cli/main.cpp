// quellis-cli: the operations of the tool from the command line, over the
// same controllers as the window, without Qt and without a display.
#include "cli/command_line.h"
#include "cli/session.h"
#include "platform/version/program_version.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

// The build's version, read back from this file by --version.
QUELLIS_DEFINE_PROGRAM_VERSION_RECORD();

int main(int argc, char** argv)
{
    using namespace quellis::cli;
    // A machine that closes its connection while we write must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--version")
    {
        std::puts(quellis::version::VersionLine("quellis-cli").c_str());
        return kExitOk;
    }
    const CommandLine line = ReadCommandLine(args);
    std::fputs(line.out.c_str(), stdout);
    std::fputs(line.error.c_str(), stderr);
    if (!line.run)
    {
        return line.status;
    }
    SetProgramName("quellis-cli " + line.command);
    return line.run();
}

// quellis-farmsim: a farm of simulated mining machines for trying the tool
// without hardware and for the network tests and benchmarks.

#include "platform/version/program_version.h"
#include "sim/farm.h"
#include "sim/farmsim_options.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

// The build's version, read back from this file by --version.
QUELLIS_DEFINE_PROGRAM_VERSION_RECORD();

namespace
{

using namespace quellis::sim;

constexpr int kExitStartFailed = 1;
constexpr int kExitBadArguments = 2;

bool ReadFile(const std::string& path, std::string* text)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        return false;
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    *text = bytes.str();
    return true;
}

void PrintTotals(const Farm& farm)
{
    std::string text = "quellis-farmsim: totals\n";
    std::istringstream lines(FormatTotals(farm.Totals()));
    for (std::string line; std::getline(lines, line);)
    {
        text += "  " + line + "\n";
    }
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

int BadArguments(const std::string& message)
{
    std::cerr << "quellis-farmsim: " << message << "\n\n" << FarmsimUsage();
    return kExitBadArguments;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    if (arguments.size() == 1 && arguments[0] == "--version")
    {
        std::cout << quellis::version::VersionLine("quellis-farmsim") << "\n";
        return 0;
    }
    FarmsimOptions options;
    std::string error;
    if (!ParseFarmsimArguments(arguments, &options, &error))
    {
        return BadArguments(error);
    }
    if (options.help)
    {
        std::cout << FarmsimUsage();
        return 0;
    }
    Scenario scenario;
    if (!options.scenarioPath.empty())
    {
        std::string text;
        if (!ReadFile(options.scenarioPath, &text))
        {
            return BadArguments("cannot read the scenario " + options.scenarioPath);
        }
        if (!ParseScenario(text, &scenario, &error))
        {
            return BadArguments(options.scenarioPath + ": " + error);
        }
    }

    // The signals are taken from a signalfd by the main thread; they are
    // blocked before the farm's threads exist so that those inherit the mask
    // and no handler ever runs.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int signalEvents = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalEvents < 0)
    {
        std::cerr << "quellis-farmsim: signalfd failed\n";
        return kExitStartFailed;
    }

    Farm farm(BuildFarmConfig(options, scenario));
    if (!farm.Start(&error))
    {
        std::cerr << "quellis-farmsim: " << error << "\n";
        return kExitStartFailed;
    }
    const std::string ready = FormatReadyLine(farm.MachineCount(),
        farm.MachineAt(0).identity.address,
        farm.MachineAt(farm.MachineCount() - 1).identity.address,
        farm.DevicePort(),
        farm.ApiPort());
    std::fputs((ready + "\n").c_str(), stdout);
    std::fflush(stdout);

    for (;;)
    {
        signalfd_siginfo info {};
        const ssize_t got = read(signalEvents, &info, sizeof info);
        if (got != static_cast<ssize_t>(sizeof info))
        {
            continue;
        }
        if (info.ssi_signo == SIGUSR1)
        {
            PrintTotals(farm);
            continue;
        }
        break; // SIGINT or SIGTERM
    }
    farm.Stop();
    PrintTotals(farm);
    close(signalEvents);
    return 0;
}

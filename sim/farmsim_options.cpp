#include "sim/farmsim_options.h"

#include "platform/net/ipv4.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace quellis::sim
{

namespace
{

constexpr int kDefaultMachines = 50;
constexpr std::uint64_t kDefaultSeed = 1;
constexpr std::string_view kValueOptions[] = { "--machines",
    "--seed",
    "--first-address",
    "--spread",
    "--port",
    "--reply-port",
    "--api-port",
    "--package-port",
    "--scenario",
    "--expect-package",
    "--netns",
    "--behave" };

bool Fail(std::string* error, std::string message)
{
    *error = std::move(message);
    return false;
}

std::optional<std::uint64_t> ParseUnsigned(std::string_view text, std::uint64_t max)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
    {
        return std::nullopt;
    }
    const std::string copy(text);
    errno = 0;
    const unsigned long long value = std::strtoull(copy.c_str(), nullptr, 10);
    if (errno != 0 || value > max)
    {
        return std::nullopt;
    }
    return value;
}

bool ParsePort(
    std::string_view option, std::string_view text, bool zeroAllowed, std::uint16_t* port, std::string* error)
{
    const auto value = ParseUnsigned(text, 65535);
    if (!value || (*value == 0 && !zeroAllowed))
    {
        return Fail(error,
            std::string(option) + ": \"" + std::string(text) + "\" is not a port"
                + (zeroAllowed ? " (0 to 65535)" : " (1 to 65535)"));
    }
    *port = static_cast<std::uint16_t>(*value);
    return true;
}

} // namespace

bool ParseFarmsimArguments(std::span<const std::string_view> arguments, FarmsimOptions* options, std::string* error)
{
    FarmsimOptions parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i)
    {
        std::string_view option = arguments[i];
        std::optional<std::string_view> inlineValue;
        if (const auto equals = option.find('='); option.starts_with("--") && equals != std::string_view::npos)
        {
            inlineValue = option.substr(equals + 1);
            option = option.substr(0, equals);
        }
        if (option == "--help" || option == "-h")
        {
            parsed.help = true;
            continue;
        }
        if (std::find(std::begin(kValueOptions), std::end(kValueOptions), option) == std::end(kValueOptions))
        {
            return Fail(error, "unknown option " + std::string(option));
        }
        std::string_view value;
        if (inlineValue)
        {
            value = *inlineValue;
        }
        else if (i + 1 < arguments.size())
        {
            value = arguments[++i];
        }
        else
        {
            return Fail(error, std::string(option) + " needs a value");
        }

        if (option == "--machines")
        {
            const auto machines = ParseUnsigned(value, kMaxMachines);
            if (!machines || *machines == 0)
            {
                return Fail(
                    error, "--machines: \"" + std::string(value) + "\" is not 1 to " + std::to_string(kMaxMachines));
            }
            parsed.machines = static_cast<int>(*machines);
        }
        else if (option == "--seed")
        {
            const auto seed = ParseUnsigned(value, UINT64_MAX);
            if (!seed)
            {
                return Fail(error, "--seed: \"" + std::string(value) + "\" is not a whole number");
            }
            parsed.seed = *seed;
        }
        else if (option == "--first-address")
        {
            const auto address = net::ParseIpv4(value);
            if (!address || std::count(value.begin(), value.end(), '.') != 3)
            {
                return Fail(error, "--first-address: \"" + std::string(value) + "\" is not a dotted address");
            }
            parsed.firstAddress = *address;
        }
        else if (option == "--spread")
        {
            const auto spread = ParseUnsigned(value, 600000);
            if (!spread)
            {
                return Fail(error, "--spread: \"" + std::string(value) + "\" is not 0 to 600000 ms");
            }
            parsed.spreadMs = static_cast<int>(*spread);
        }
        else if (option == "--port")
        {
            if (!ParsePort(option, value, true, &parsed.devicePort, error))
            {
                return false;
            }
        }
        else if (option == "--reply-port")
        {
            if (!ParsePort(option, value, false, &parsed.replyPort, error))
            {
                return false;
            }
        }
        else if (option == "--api-port")
        {
            if (!ParsePort(option, value, true, &parsed.apiPort, error))
            {
                return false;
            }
        }
        else if (option == "--package-port")
        {
            if (!ParsePort(option, value, false, &parsed.packagePort, error))
            {
                return false;
            }
        }
        else if (option == "--scenario")
        {
            parsed.scenarioPath = value;
        }
        else if (option == "--expect-package")
        {
            parsed.expectedPackage = value;
        }
        else if (option == "--netns")
        {
            parsed.netns = value;
        }
        else // --behave
        {
            BehaviourGroup group;
            if (!ParseBehaveOption(value, &group, error))
            {
                *error = "--behave: " + *error;
                return false;
            }
            parsed.behave.push_back(std::move(group));
        }
    }
    *options = std::move(parsed);
    return true;
}

FarmConfig BuildFarmConfig(const FarmsimOptions& options, const Scenario& file)
{
    FarmConfig config;
    config.machines = options.machines.value_or(file.machines.value_or(kDefaultMachines));
    config.seed = options.seed.value_or(file.seed.value_or(kDefaultSeed));
    config.firstAddress = options.firstAddress.value_or(file.firstAddress.value_or(kDefaultFirstAddress));
    config.devicePort = options.devicePort;
    config.replyPort = options.replyPort;
    config.apiPort = options.apiPort;
    config.packagePort = options.packagePort;
    config.netns = options.netns;
    config.expectedPackage = options.expectedPackage;
    config.scenario.spreadMs = options.spreadMs.value_or(file.spreadMs.value_or(kDefaultSpreadMs));
    config.scenario.groups = file.groups;
    config.scenario.groups.insert(config.scenario.groups.end(), options.behave.begin(), options.behave.end());
    return config;
}

std::string FarmsimUsage()
{
    std::string usage
        = "usage: quellis-farmsim [options]\n"
          "Plays the machine side of a farm of mining machines: the management server on UDP,\n"
          "the miner API on TCP, and the package downloads of firmware updates.\n"
          "\n"
          "  --machines N          number of machines (default 50)\n"
          "  --seed S              seed of the machines and of the behaviour groups (default 1)\n"
          "  --scenario FILE       JSON scenario: machines, seed, firstAddress, search.spreadMs,\n"
          "                        defaults and groups (the command line wins over the file)\n"
          "  --first-address A     address of the first machine (default 10.77.128.1); .0 and .255 are skipped\n"
          "  --spread MS           search replies spread over MS milliseconds (default 100; 0: all at once)\n"
          "  --port P              UDP port of the management server (default 6667; 0: any free port)\n"
          "  --reply-port P        UDP port replies go to on the tool's address (default 6667)\n"
          "  --api-port P          TCP port of the miner API on every machine (default 4029; 0: any free port)\n"
          "  --package-port P      TCP port of the tool's package server (default 2425)\n"
          "  --expect-package FILE compare every download with this file; a version x.y.z in its name is\n"
          "                        the one a machine runs after a successful upgrade\n"
          "  --netns NAME          open every socket in network namespace /run/netns/NAME\n"
          "  --behave 'K=V,...'    a behaviour group, as in the scenario's groups; repeatable, later wins.\n"
          "                        Selector: fraction=F, count=N, indexes=I:J:K or macs=M:N (none: all machines).\n"
          "  --help                this text\n"
          "  --version             the version\n"
          "\n"
          "Behaviour keys:\n";
    for (const auto& key : BehaviourKeyList())
    {
        std::string line = "  " + std::string(key.key);
        line.resize(std::max<std::size_t>(line.size() + 1, 22), ' ');
        usage += line + std::string(key.values) + "\n";
    }
    usage += "\nSIGUSR1 prints the totals; SIGINT or SIGTERM stops the farm and prints them.\n";
    return usage;
}

std::string FormatReadyLine(
    int machines, std::uint32_t first, std::uint32_t last, std::uint16_t udpPort, std::uint16_t apiPort)
{
    return "quellis-farmsim: " + std::to_string(machines) + (machines == 1 ? " machine" : " machines") + " ready, "
        + net::FormatIpv4(first) + "-" + net::FormatIpv4(last) + ", UDP " + std::to_string(udpPort) + ", TCP "
        + std::to_string(apiPort);
}

} // namespace quellis::sim

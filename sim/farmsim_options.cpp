#include "sim/farmsim_options.h"

#include "platform/net/ipv4.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>

namespace quellis::sim
{

namespace
{

constexpr int kDefaultMachines = 50;
constexpr std::uint64_t kDefaultSeed = 1;

// A whole decimal number up to `max`, handed on in plain decimal ("010" is
// ten, never octal); refused as `"TEXT" ` + `what`.
CLI::Validator Whole(std::uint64_t min, std::uint64_t max, std::string what)
{
    return CLI::Validator(
        [min, max, what = std::move(what)](std::string& text) -> std::string
        {
            std::uint64_t value = 0;
            const char* end = text.data() + text.size();
            const auto [stop, error] = std::from_chars(text.data(), end, value);
            if (text.empty() || error != std::errc() || stop != end || value < min || value > max)
            {
                return "\"" + text + "\" " + what;
            }
            text = std::to_string(value);
            return {};
        },
        "");
}

CLI::Validator Port(bool zeroAllowed)
{
    return Whole(zeroAllowed ? 0 : 1, 65535, zeroAllowed ? "is not a port (0 to 65535)" : "is not a port (1 to 65535)");
}

std::optional<std::uint32_t> DottedAddress(const std::string& text)
{
    const auto address = net::ParseIpv4(text);
    return address && std::count(text.begin(), text.end(), '.') == 3 ? address : std::nullopt;
}

} // namespace

bool ParseFarmsimArguments(std::span<const std::string_view> arguments, FarmsimOptions* options, std::string* error)
{
    FarmsimOptions parsed;
    CLI::App app;
    app.set_help_flag("-h,--help");
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.allow_extras();
    app.add_option_function<int>("--machines", [&](const int& machines) { parsed.machines = machines; })
        ->transform(Whole(1, kMaxMachines, "is not 1 to " + std::to_string(kMaxMachines)));
    app.add_option_function<std::uint64_t>("--seed", [&](const std::uint64_t& seed) { parsed.seed = seed; })
        ->transform(Whole(0, UINT64_MAX, "is not a whole number"));
    app.add_option_function<std::string>(
           "--first-address", [&](const std::string& text) { parsed.firstAddress = DottedAddress(text); })
        ->check(CLI::Validator([](std::string& text)
            { return DottedAddress(text) ? std::string() : "\"" + text + "\" is not a dotted address"; },
            ""));
    app.add_option_function<int>("--spread", [&](const int& spread) { parsed.spreadMs = spread; })
        ->transform(Whole(0, 600000, "is not 0 to 600000 ms"));
    app.add_option("--port", parsed.devicePort)->transform(Port(true));
    app.add_option("--reply-port", parsed.replyPort)->transform(Port(false));
    app.add_option("--api-port", parsed.apiPort)->transform(Port(true));
    app.add_option("--package-port", parsed.packagePort)->transform(Port(false));
    app.add_option("--scenario", parsed.scenarioPath);
    app.add_option("--expect-package", parsed.expectedPackage);
    app.add_option("--netns", parsed.netns);
    // Each group in the order given; a group that does not read names its key.
    app.add_option_function<std::vector<std::string>>("--behave",
           [&](const std::vector<std::string>& groups)
           {
               for (const std::string& text : groups)
               {
                   // Read already by the check below.
                   BehaviourGroup group;
                   std::string checked;
                   static_cast<void>(ParseBehaveOption(text, &group, &checked));
                   parsed.behave.push_back(std::move(group));
               }
           })
        ->allow_extra_args(false)
        ->check(CLI::Validator(
            [](std::string& text)
            {
                BehaviourGroup group;
                std::string why;
                return ParseBehaveOption(text, &group, &why) ? std::string() : why;
            },
            ""));

    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try
    {
        app.parse(reversed);
    }
    catch (const CLI::CallForHelp&)
    {
        parsed.help = true;
    }
    catch (const CLI::Error& failure)
    {
        *error = failure.what();
        return false;
    }
    if (const auto left = app.remaining(); !parsed.help && !left.empty())
    {
        *error = "unknown option " + left.front().substr(0, left.front().find('='));
        return false;
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

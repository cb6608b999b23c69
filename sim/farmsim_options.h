#pragma once

#include "sim/farm.h"
#include "sim/scenario.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The command line of quellis-farmsim, read without touching files or sockets.

namespace quellis::sim
{

struct FarmsimOptions
{
    std::optional<int> machines;
    std::optional<std::uint64_t> seed;
    std::optional<std::uint32_t> firstAddress;
    std::optional<int> spreadMs;
    std::uint16_t devicePort = protocol::kDevicePort;
    std::uint16_t replyPort = protocol::kDevicePort;
    std::uint16_t apiPort = protocol::kMinerApiPort;
    std::uint16_t packagePort = protocol::kPackagePort;
    std::string scenarioPath;
    std::string expectedPackage;
    std::string netns;
    std::vector<BehaviourGroup> behave; // in the order given
    bool help = false;
};

// The arguments after the program name; "--key value" and "--key=value".
[[nodiscard]] bool ParseFarmsimArguments(
    std::span<const std::string_view> arguments, FarmsimOptions* options, std::string* error);

// The farm's configuration: built-in defaults, then the scenario file, then
// the command line; the file's groups come before the --behave ones.
[[nodiscard]] FarmConfig BuildFarmConfig(const FarmsimOptions& options, const Scenario& file);

[[nodiscard]] std::string FarmsimUsage();

// "quellis-farmsim: 1000 machines ready, 10.77.128.1-10.77.131.238, UDP 6667, TCP 4029"
[[nodiscard]] std::string FormatReadyLine(
    int machines, std::uint32_t first, std::uint32_t last, std::uint16_t udpPort, std::uint16_t apiPort);

} // namespace quellis::sim

#pragma once

#include "protocol/device_packet.h"
#include "sim/machine.h"
#include "sim/machine_profile.h"
#include "sim/scenario.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

// A farm of simulated mining machines on real sockets: the management server
// of every machine on one UDP port, each machine's miner API on its own
// address, and the package downloads of firmware updates. Tests and
// benchmarks run one in-process; quellis-farmsim runs one for operators.
//
// Every machine answers from its own address. One UDP socket bound to all
// addresses receives for the whole farm and sends with a per-datagram source
// address, so the farm's address range only has to be local: 127.0.0.0/8 is,
// and a network namespace can make a whole range local with
//   ip route add local 10.77.128.0/17 dev lo

namespace quellis::sim
{

struct FarmConfig
{
    int machines = 50;
    std::uint64_t seed = 1;
    std::uint32_t firstAddress = kDefaultFirstAddress;
    std::uint16_t devicePort = protocol::kDevicePort; // 0: an ephemeral port (DevicePort tells which)
    std::uint16_t replyPort = protocol::kDevicePort; // where replies go, on the request's source address
    std::uint16_t apiPort = protocol::kMinerApiPort; // 0: an ephemeral port, the same for every machine (ApiPort)
    std::uint16_t packagePort = protocol::kPackagePort; // the tool's package server, on the offer's source address
    std::string netns; // a name under /run/netns; empty: the caller's namespace
    std::string expectedPackage; // when set, downloads are compared with this file
    int downloadThreads = 2;
    // Only 255.255.255.255 and the machines' own addresses reach machines
    // (a range scan asks every address of a subnet); see DeviceServiceSettings.
    bool strictAddresses = false;
    // Read here: search.spreadMs (search replies spread over this long, 0:
    // all at once; 100 when unset) and the groups, applied in order over each
    // machine's natural behaviour. The scenario's machines, seed and first
    // address are not read: whoever loads a scenario file decides how they
    // combine with the fields above (quellis-farmsim: the command line wins).
    Scenario scenario;
};

inline constexpr int kDefaultSpreadMs = 100;

// The per-machine counters summed over the farm, with the farm's own.
struct FarmTotals
{
    std::uint64_t searches = 0;
    std::uint64_t settings = 0;
    std::uint64_t flickers = 0;
    std::uint64_t unicastFlickers = 0;
    std::array<std::uint64_t, kCommandSlots> commands {};
    std::uint64_t repliesSent = 0;
    std::uint64_t apiRequests = 0;
    std::uint64_t downloadsStarted = 0;
    std::uint64_t downloadsVerified = 0;
    std::uint64_t downloadsFailed = 0;
    std::uint64_t downloadBytes = 0;
    std::uint64_t datagrams = 0;
    std::uint64_t foreign = 0;
    std::uint64_t ignored = 0;
    std::uint64_t sendFailures = 0;
    std::uint64_t apiConnections = 0;
};

// Several lines "name value" for people: the ones that are not zero.
[[nodiscard]] std::string FormatTotals(const FarmTotals& totals);

class Farm
{
public:
    explicit Farm(FarmConfig config);
    ~Farm();
    Farm(const Farm&) = delete;
    Farm& operator=(const Farm&) = delete;

    // Generates the machines, opens every socket and starts the threads. When
    // it returns true the farm answers; on false nothing is left running.
    [[nodiscard]] bool Start(std::string* error);
    // Ends and joins every thread and closes every socket. Safe to call twice.
    void Stop();

    [[nodiscard]] std::uint16_t DevicePort() const { return devicePort_; }
    [[nodiscard]] std::uint16_t ApiPort() const;
    [[nodiscard]] int MachineCount() const;
    [[nodiscard]] const Machine& MachineAt(int index) const;
    [[nodiscard]] const Machine* FindMachine(std::string_view mac) const;
    [[nodiscard]] FarmTotals Totals() const;
    // One machine's power, at once. Off, it answers nothing: no datagram, and
    // a connection to its miner API is neither accepted nor refused. On, it
    // boots: its run time starts again.
    void SwitchOff(int index);
    void SwitchOn(int index);
    [[nodiscard]] const FarmConfig& Config() const { return config_; }

private:
    struct Engine;

    void ReceiveLoop();

    const FarmConfig config_;
    std::unique_ptr<Engine> engine_;
    std::uint16_t devicePort_ = 0;
    std::thread receiveThread_;
};

} // namespace quellis::sim

#pragma once

#include "platform/net/ipv4.h"
#include "protocol/device_packet.h"
#include "sim/deterministic_random.h"
#include "sim/machine.h"

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

// The management server of every machine of the farm at once: turns one
// datagram received on the farm's UDP port into the replies the machines
// send, the state they change and the downloads they start. It owns no
// socket; the farm's receive thread calls it and hands what comes out to the
// reply scheduler and the download pool, so it is tested without a network.

namespace quellis::sim
{

// A reply that leaves at `due` from the machine's own address.
struct OutgoingReply
{
    int machine = 0;
    net::Endpoint destination;
    // The address it leaves from; 0: the machine's wire address when it leaves.
    std::uint32_t source = 0;
    Clock::time_point due;
    // A search reply is built when it leaves, so that its run time is current
    // and a machine that began rebooting in between stays quiet.
    bool searchRecord = false;
    std::vector<std::uint8_t> bytes;
};

// A machine told to fetch a package from the tool's package server.
struct DownloadOrder
{
    int machine = 0;
    net::Endpoint server;
    std::uint64_t size = 0;
    std::uint32_t packetNumber = 0;
};

class ReplySink
{
public:
    virtual ~ReplySink() = default;
    virtual void Schedule(std::vector<OutgoingReply> replies) = 0;
    virtual void StartDownload(const DownloadOrder& order) = 0;
};

// Counters of the farm as a whole (per-machine ones live in the machines).
struct FarmCounters
{
    std::atomic<std::uint64_t> datagrams { 0 };
    std::atomic<std::uint64_t> foreign { 0 }; // not a DevicePacket
    std::atomic<std::uint64_t> ignored { 0 }; // ours but not for the machines (replies, unknown targets, ...)
    std::atomic<std::uint64_t> sendFailures { 0 };
    std::atomic<std::uint64_t> apiConnections { 0 };
};

struct DeviceServiceSettings
{
    std::uint16_t replyPort = protocol::kDevicePort;
    std::uint16_t packagePort = protocol::kPackagePort;
    int spreadMs = 100;
    std::uint64_t seed = 1;
    // A datagram to an address no machine holds reaches nobody, as on a
    // real segment; only 255.255.255.255 reaches every machine. Off: any
    // such address stands in for the broadcast (loopback tests, which cannot
    // broadcast).
    bool strictAddresses = false;
};

class DeviceService
{
public:
    DeviceService(MachineTable& machines, FarmCounters& counters, DeviceServiceSettings settings);

    // One datagram from source, sent to destination (the header's address:
    // one machine's address means that machine alone heard it; an address a
    // machine has moved away from reaches nobody; any other, such as a
    // broadcast, reaches every machine).
    void Handle(std::span<const std::uint8_t> datagram,
        net::Endpoint source,
        std::uint32_t destination,
        Clock::time_point now,
        ReplySink& sink);

    // Fixes the wall-clock time the machines' shell reports (date, uptime), for tests.
    void SetUnixTimeForTesting(std::int64_t unixTime) { fixedUnixTime_ = unixTime; }

private:
    void HandleSearch(const protocol::DeviceRecord& request,
        Machine* only,
        net::Endpoint source,
        Clock::time_point now,
        ReplySink& sink);
    void HandleSetting(const protocol::DeviceRecord& request,
        Machine* only,
        net::Endpoint source,
        Clock::time_point now,
        ReplySink& sink);
    void HandleFlicker(const protocol::DeviceRecord& request, Machine* only, Clock::time_point now);
    void HandleCommand(std::span<const std::uint8_t> datagram,
        const protocol::CommandPacket& command,
        Machine* only,
        net::Endpoint source,
        Clock::time_point now,
        ReplySink& sink);
    // What one machine does with a command; replies go to `replies`.
    void RunCommand(Machine& machine,
        std::span<const std::uint8_t> datagram,
        const protocol::CommandPacket& command,
        net::Endpoint source,
        Clock::time_point now,
        std::vector<OutgoingReply>& replies,
        ReplySink& sink);

    [[nodiscard]] Clock::duration ReplyDelay(const Machine& machine);
    [[nodiscard]] OutgoingReply Reply(
        const Machine& machine, net::Endpoint source, Clock::time_point due, std::span<const std::uint8_t> bytes) const;
    [[nodiscard]] std::int64_t UnixTime() const;

    MachineTable& machines_;
    FarmCounters& counters_;
    const DeviceServiceSettings settings_;
    SplitMix64 random_;
    std::uint32_t nextPacketNumber_ = 0x3f0;
    std::int64_t fixedUnixTime_ = 0;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(protocol::kMaxDatagramSize);
};

} // namespace quellis::sim

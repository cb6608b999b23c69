#pragma once

#include "protocol/device_packet.h"
#include "sim/eeprom.h"
#include "sim/machine_profile.h"
#include "sim/miner_api_reply.h"
#include "sim/pool_config.h"
#include "sim/scenario.h"
#include "sim/simulated_shell.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

// One simulated machine of a running farm: its generated identity, its
// behaviour, what it has been told since the farm started, and its counters.
// The farm's threads share machines: the mutable state is guarded by the
// machine's own lock, the counters are atomic.

namespace quellis::sim
{

using Clock = std::chrono::steady_clock;

// Command codes 0 to 21 have a counter each; every other code counts in the last.
inline constexpr std::size_t kCommandSlots = 23;

[[nodiscard]] inline std::size_t CommandSlot(std::uint16_t code)
{
    return code < kCommandSlots - 1 ? code : kCommandSlots - 1;
}

// What a machine acted on. A silent or rebooting machine acts on nothing, so
// its management counters stay still.
struct MachineCounters
{
    std::atomic<std::uint64_t> searches { 0 };
    std::atomic<std::uint64_t> settings { 0 };
    std::atomic<std::uint64_t> flickers { 0 };
    // Of those, the ones sent to the machine's own address rather than to all.
    std::atomic<std::uint64_t> unicastFlickers { 0 };
    std::array<std::atomic<std::uint64_t>, kCommandSlots> commands {};
    std::atomic<std::uint64_t> repliesSent { 0 };
    std::atomic<std::uint64_t> apiRequests { 0 };
    std::atomic<std::uint64_t> downloadsStarted { 0 };
    std::atomic<std::uint64_t> downloadsVerified { 0 };
    std::atomic<std::uint64_t> downloadsFailed { 0 };
    std::atomic<std::uint64_t> downloadBytes { 0 };
};

// A copy of a machine's changing state, taken under its lock.
struct MachineState
{
    std::string ip;
    std::string mask;
    std::string gateway;
    std::string name;
    std::vector<PoolEntry> pools;
    TemperatureLimits limits;
    E2Record eeprom {};
    std::int64_t runSeconds = 0;
    std::int64_t minerElapsedSeconds = 0;
    bool rebooting = false;
    VersionInfo version;
};

class Machine
{
public:
    Machine(MachineIdentity identity, Behaviour behaviour, Clock::time_point farmStart);
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const MachineIdentity identity;
    const Behaviour behaviour;
    MachineCounters counters;

    [[nodiscard]] MachineState Snapshot(Clock::time_point now) const;
    [[nodiscard]] bool IsRebooting(Clock::time_point now) const;
    // Switched off, by its behaviour's schedule or by SwitchOff.
    [[nodiscard]] bool IsOff(Clock::time_point now) const;
    // Silent by behaviour, unplugged, while rebooting or while off: the management server is not there.
    [[nodiscard]] bool IsSilent(Clock::time_point now) const
    {
        return behaviour.silent || behaviour.unplugged || IsRebooting(now) || IsOff(now);
    }
    // Power for tests and benchmarks: off until SwitchOn, which boots the
    // machine (its run time starts again). The miner API follows through
    // Farm::SwitchOff and Farm::SwitchOn.
    void SwitchOff(Clock::time_point now);
    void SwitchOn(Clock::time_point now);
    // When the schedule of the behaviour switches it off and on again; the
    // time point's maximum for a change that never comes.
    [[nodiscard]] std::pair<Clock::time_point, Clock::time_point> PowerSchedule() const;

    // A PKT_SEARCH_ACK or PKT_DEV_SETTING_ACK with the machine's current
    // record, cut to its short-reply length.
    [[nodiscard]] std::size_t BuildRecord(
        std::span<std::uint8_t> buffer, protocol::PacketType type, std::int32_t result, Clock::time_point now) const;

    // The address the machine sends from and is reached at. A network
    // setting moves it; its miner API keeps listening where it started.
    [[nodiscard]] std::uint32_t WireAddress() const { return wireAddress_.load(std::memory_order_acquire); }

    // A setting as the machine takes it: empty ip, mask and gateway (DHCP)
    // keep the address; otherwise ip must be a dotted unicast address, which
    // becomes the wire address. Returns the setting's result: 0, or 3 (any
    // other error) for an address the machine cannot take.
    [[nodiscard]] std::int32_t ApplySetting(std::string_view ip, std::string_view mask, std::string_view gateway);
    void SetPools(std::vector<PoolEntry> pools);
    void SetName(std::string_view name);
    [[nodiscard]] std::string Name() const;
    [[nodiscard]] E2ReadAnswer ReadEeprom(const protocol::E2Block& request) const;
    [[nodiscard]] std::int32_t WriteEeprom(const protocol::E2Block& request);
    // Silent for the behaviour's reboot time, then up with a run time from 0.
    void Reboot(Clock::time_point now);
    void RestartMiner(Clock::time_point now);
    // A successful upgrade whose installation ends at `installed`: from then
    // on the machine reports its behaviour's upgradeVersion, else the one
    // the package announced, else its own with the patch number one up.
    void Upgrade(const std::optional<VersionInfo>& announced, Clock::time_point installed);

    [[nodiscard]] ShellResult Execute(std::string_view command, Clock::time_point now, std::int64_t unixTime) const;
    // Answers one miner API request; an accepted "pgasetwarnsafe" stores its limits.
    [[nodiscard]] ApiOutcome AnswerApi(std::string_view request, Clock::time_point now, std::int64_t unixTime);
    // The bytes of the last API request, exactly as they arrived.
    [[nodiscard]] std::string LastApiRequest() const;

    // One download at a time: a second offer during a download is ignored.
    [[nodiscard]] bool TryBeginDownload() { return !downloading_.exchange(true); }
    void EndDownload() { downloading_.store(false); }

private:
    [[nodiscard]] std::int64_t RunSecondsLocked(Clock::time_point now) const;
    [[nodiscard]] const VersionInfo& VersionLocked(Clock::time_point now) const;
    // A machine that has been off boots when it comes back.
    [[nodiscard]] Clock::time_point BootedLocked(Clock::time_point since, Clock::time_point now) const;

    mutable std::mutex mutex_;
    std::string ip_;
    std::string mask_;
    std::string gateway_;
    std::string name_;
    std::vector<PoolEntry> pools_;
    TemperatureLimits limits_ { 10, 95 };
    std::string lastApiRequest_;
    E2Record eeprom_ {};
    Clock::time_point bootTime_;
    Clock::time_point minerStart_;
    Clock::time_point rebootUntil_ {};
    VersionInfo version_;
    // An upgrade being installed: its version counts from `installedAt_`.
    VersionInfo upgradedVersion_;
    Clock::time_point installedAt_ = Clock::time_point::max();
    Clock::time_point offFrom_ = Clock::time_point::max();
    Clock::time_point offUntil_ = Clock::time_point::max();
    std::atomic<bool> downloading_ { false };
    std::atomic<std::uint32_t> wireAddress_;
};

// The machines of a farm with their look-ups by MAC and by wire address.
class MachineTable
{
public:
    MachineTable() = default;
    MachineTable(
        std::vector<MachineIdentity> identities, std::vector<Behaviour> behaviours, Clock::time_point farmStart);

    [[nodiscard]] int Size() const { return static_cast<int>(machines_.size()); }
    [[nodiscard]] Machine& operator[](int index) { return *machines_[static_cast<std::size_t>(index)]; }
    [[nodiscard]] const Machine& operator[](int index) const { return *machines_[static_cast<std::size_t>(index)]; }
    [[nodiscard]] Machine* ByMac(std::string_view mac);
    [[nodiscard]] Machine* ByAddress(std::uint32_t address);
    // The machine now answers at `address` (its WireAddress). ByAddress and
    // this are called by the farm's receive thread only.
    void Moved(Machine& machine, std::uint32_t previous);
    // An address a machine has left and nobody holds now: what is sent there
    // reaches no machine.
    [[nodiscard]] bool IsVacated(std::uint32_t address) const { return vacated_.contains(address); }

private:
    std::vector<std::unique_ptr<Machine>> machines_;
    std::unordered_map<std::string, int> byMac_;
    std::unordered_map<std::uint32_t, int> byAddress_;
    std::unordered_set<std::uint32_t> vacated_;
};

} // namespace quellis::sim

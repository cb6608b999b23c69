#include "sim/machine.h"

#include "platform/net/ipv4.h"

#include <algorithm>

namespace quellis::sim
{

namespace
{

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::size_t kNameCapacity = 63; // the record's 64 bytes keep a terminator

std::vector<PoolEntry> FactoryPools(const MachineIdentity& identity)
{
    const std::string worker = "farmops.m" + std::to_string(identity.index + 1);
    return {
        { "stratum+tcp://pool-a.farmpool.example:9560", worker, "x" },
        { "stratum+tcp://pool-b.farmpool.example:3272", worker, "x" },
        { "stratum+tcp://pool-c.farmpool.example:5730", worker, "x" },
    };
}

std::int64_t WholeSeconds(Clock::duration duration)
{
    return std::chrono::duration_cast<std::chrono::seconds>(duration).count();
}

} // namespace

Machine::Machine(MachineIdentity identityIn, Behaviour behaviourIn, Clock::time_point farmStart)
    : identity(std::move(identityIn))
    , behaviour(std::move(behaviourIn))
    , ip_(net::FormatIpv4(identity.address))
    , mask_(identity.mask)
    , gateway_(identity.gateway)
    , name_(identity.name)
    , pools_(FactoryPools(identity))
    , eeprom_(identity.eeprom)
    , bootTime_(farmStart - std::chrono::seconds(identity.initialRunSeconds))
    , minerStart_(bootTime_ + std::chrono::seconds(identity.initialRunSeconds > 90 ? 45 : 0))
    , version_ { identity.versionNumber, identity.versionText }
    , wireAddress_(identity.address)
{
    if (behaviour.offAtMs >= 0)
    {
        offFrom_ = farmStart + std::chrono::milliseconds(behaviour.offAtMs);
        if (behaviour.offForMs > 0)
        {
            offUntil_ = offFrom_ + std::chrono::milliseconds(behaviour.offForMs);
        }
    }
}

Clock::time_point Machine::BootedLocked(Clock::time_point since, Clock::time_point now) const
{
    return offUntil_ <= now ? std::max(since, offUntil_) : since;
}

std::int64_t Machine::RunSecondsLocked(Clock::time_point now) const
{
    return std::max<std::int64_t>(0, WholeSeconds(now - BootedLocked(bootTime_, now)));
}

bool Machine::IsOff(Clock::time_point now) const
{
    std::lock_guard lock(mutex_);
    return offFrom_ <= now && now < offUntil_;
}

void Machine::SwitchOff(Clock::time_point now)
{
    std::lock_guard lock(mutex_);
    offFrom_ = now;
    offUntil_ = Clock::time_point::max();
}

void Machine::SwitchOn(Clock::time_point now)
{
    std::lock_guard lock(mutex_);
    if (offFrom_ <= now && now < offUntil_)
    {
        offUntil_ = now;
    }
}

std::pair<Clock::time_point, Clock::time_point> Machine::PowerSchedule() const
{
    std::lock_guard lock(mutex_);
    return { offFrom_, offUntil_ };
}

MachineState Machine::Snapshot(Clock::time_point now) const
{
    std::lock_guard lock(mutex_);
    MachineState state;
    state.ip = ip_;
    state.mask = mask_;
    state.gateway = gateway_;
    state.name = name_;
    state.pools = pools_;
    state.limits = limits_;
    state.eeprom = eeprom_;
    state.runSeconds = RunSecondsLocked(now);
    state.minerElapsedSeconds = std::max<std::int64_t>(0, WholeSeconds(now - BootedLocked(minerStart_, now)));
    state.rebooting = now < rebootUntil_;
    state.version = VersionLocked(now);
    return state;
}

const VersionInfo& Machine::VersionLocked(Clock::time_point now) const
{
    return now >= installedAt_ ? upgradedVersion_ : version_;
}

void Machine::Upgrade(const std::optional<VersionInfo>& announced, Clock::time_point installed)
{
    std::lock_guard lock(mutex_);
    // An upgrade still being installed when the next one comes is done by then.
    version_ = VersionLocked(installed);
    const std::optional<VersionInfo> configured
        = behaviour.upgradeVersion ? ParseVersionText(*behaviour.upgradeVersion) : std::nullopt;
    upgradedVersion_ = configured ? *configured : announced ? *announced : NextPatch(version_);
    installedAt_ = installed;
}

bool Machine::IsRebooting(Clock::time_point now) const
{
    std::lock_guard lock(mutex_);
    return now < rebootUntil_;
}

std::size_t Machine::BuildRecord(
    std::span<std::uint8_t> buffer, protocol::PacketType type, std::int32_t result, Clock::time_point now) const
{
    std::lock_guard lock(mutex_);
    const std::string hostName = behaviour.bom ? std::string(kByteOrderMark) + name_ : name_;
    protocol::RecordFields fields;
    fields.ip = behaviour.addressAsAll ? protocol::kAllDevices : std::string_view(ip_);
    fields.mask = mask_;
    fields.gateway = gateway_;
    fields.mac = identity.mac;
    fields.temperature = identity.temperature;
    const VersionInfo& version = VersionLocked(now);
    fields.versionNumber = version.number;
    fields.runSeconds = static_cast<std::int32_t>(std::min<std::int64_t>(RunSecondsLocked(now), INT32_MAX));
    fields.versionText = version.text;
    fields.hostName = hostName;
    fields.result = result;
    return protocol::BuildRecordReply(buffer, type, fields, static_cast<std::size_t>(behaviour.shortReply));
}

std::int32_t Machine::ApplySetting(std::string_view ip, std::string_view mask, std::string_view gateway)
{
    if (ip.empty() && mask.empty() && gateway.empty())
    {
        return 0; // DHCP: the server hands out the address the machine has
    }
    const auto address = net::ParseIpv4(ip);
    // Only the plain dotted form names an address an interface can take.
    if (!address || net::FormatIpv4(*address) != ip || *address == 0 || (*address >> 24) >= 224)
    {
        return 3;
    }
    std::lock_guard lock(mutex_);
    ip_ = ip;
    mask_ = mask;
    gateway_ = gateway;
    wireAddress_.store(*address, std::memory_order_release);
    return 0;
}

void Machine::SetPools(std::vector<PoolEntry> pools)
{
    std::lock_guard lock(mutex_);
    pools_ = std::move(pools);
}

void Machine::SetName(std::string_view name)
{
    std::lock_guard lock(mutex_);
    name_ = name.substr(0, std::min(name.size(), kNameCapacity - (behaviour.bom ? kByteOrderMark.size() : 0)));
}

std::string Machine::Name() const
{
    std::lock_guard lock(mutex_);
    return name_;
}

E2ReadAnswer Machine::ReadEeprom(const protocol::E2Block& request) const
{
    std::lock_guard lock(mutex_);
    return ReadE2(eeprom_, request, behaviour.eeprom, behaviour.eepromError);
}

std::int32_t Machine::WriteEeprom(const protocol::E2Block& request)
{
    std::lock_guard lock(mutex_);
    return WriteE2(eeprom_, request, behaviour.eeprom, behaviour.eepromError);
}

void Machine::Reboot(Clock::time_point now)
{
    std::lock_guard lock(mutex_);
    rebootUntil_ = now + std::chrono::milliseconds(behaviour.rebootMs);
    bootTime_ = rebootUntil_;
    minerStart_ = rebootUntil_;
}

void Machine::RestartMiner(Clock::time_point now)
{
    std::lock_guard lock(mutex_);
    minerStart_ = now;
}

ShellResult Machine::Execute(std::string_view command, Clock::time_point now, std::int64_t unixTime) const
{
    std::lock_guard lock(mutex_);
    ShellContext context;
    context.hostName = name_;
    context.address = ip_;
    context.mask = mask_;
    context.mac = identity.mac;
    context.versionText = VersionLocked(now).text;
    context.runSeconds = RunSecondsLocked(now);
    context.unixTime = unixTime;
    context.temperature = identity.temperature;
    ShellResult result = RunSimulatedCommand(command, context);
    if (behaviour.execStatus)
    {
        result.status = *behaviour.execStatus;
    }
    if (behaviour.execOutput)
    {
        result.output = *behaviour.execOutput;
    }
    return result;
}

std::string Machine::LastApiRequest() const
{
    std::lock_guard lock(mutex_);
    return lastApiRequest_;
}

ApiOutcome Machine::AnswerApi(std::string_view request, Clock::time_point now, std::int64_t unixTime)
{
    std::lock_guard lock(mutex_);
    lastApiRequest_.assign(request);
    MinerView miner;
    miner.description = identity.minerDescription;
    miner.elapsedSeconds = std::max<std::int64_t>(0, WholeSeconds(now - BootedLocked(minerStart_, now)));
    miner.mhsAv = identity.mhsAv;
    miner.temperature = identity.temperature;
    miner.chains = identity.chains;
    miner.pools = pools_;
    miner.limits = limits_;
    ApiOutcome outcome = ComposeApiReply(request, behaviour.api, miner, unixTime, behaviour.apiNul);
    if (outcome.newLimits)
    {
        limits_ = *outcome.newLimits;
    }
    return outcome;
}

MachineTable::MachineTable(
    std::vector<MachineIdentity> identities, std::vector<Behaviour> behaviours, Clock::time_point farmStart)
{
    machines_.reserve(identities.size());
    for (std::size_t i = 0; i < identities.size(); ++i)
    {
        const int index = static_cast<int>(i);
        byMac_.emplace(identities[i].mac, index);
        byAddress_.emplace(identities[i].address, index);
        machines_.push_back(std::make_unique<Machine>(
            std::move(identities[i]), i < behaviours.size() ? std::move(behaviours[i]) : Behaviour {}, farmStart));
    }
}

Machine* MachineTable::ByMac(std::string_view mac)
{
    auto found = byMac_.find(std::string(mac));
    if (found == byMac_.end())
    {
        found = byMac_.find(CanonicalMac(mac));
    }
    return found == byMac_.end() ? nullptr : machines_[static_cast<std::size_t>(found->second)].get();
}

void MachineTable::Moved(Machine& machine, std::uint32_t previous)
{
    const auto old = byAddress_.find(previous);
    if (old != byAddress_.end() && old->second == machine.identity.index)
    {
        byAddress_.erase(old);
        vacated_.insert(previous);
    }
    // Two machines given one address: the last one set answers there, as the
    // network's neighbour tables would end up.
    byAddress_[machine.WireAddress()] = machine.identity.index;
    vacated_.erase(machine.WireAddress());
}

Machine* MachineTable::ByAddress(std::uint32_t address)
{
    const auto found = byAddress_.find(address);
    return found == byAddress_.end() ? nullptr : machines_[static_cast<std::size_t>(found->second)].get();
}

} // namespace quellis::sim

#include "sim/machine_profile.h"

#include "sim/deterministic_random.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace quellis::sim
{

namespace
{

constexpr std::uint64_t kIdentityPurpose = 1;
constexpr std::uint64_t kMacPurpose = 2;
constexpr int kUsableHostsPerBlock = 254;
constexpr int kSlotsPerRack = 48;

struct Version
{
    int major;
    int minor;
    int patch;
    int weight;
};

// Firmware generations in the field: most machines run the current release,
// a tail lags behind.
constexpr Version kVersions[] = {
    { 2, 1, 5, 55 },
    { 2, 1, 7, 20 },
    { 2, 2, 0, 10 },
    { 2, 0, 3, 10 },
    { 1, 9, 12, 5 },
};

constexpr const char* kMinerDescriptions[]
    = { "farmminer 4.2.0", "farmminer 4.2.0", "farmminer 4.2.0", "farmminer 4.1.3" };

// "机架" (rack) and "号" (number) in UTF-8 and in code page 936.
constexpr std::string_view kRackUtf8 = "\xE6\x9C\xBA\xE6\x9E\xB6";
constexpr std::string_view kNumberUtf8 = "\xE5\x8F\xB7";
constexpr std::string_view kRackGbk = "\xBB\xFA\xBC\xDC";
constexpr std::string_view kNumberGbk = "\xBA\xC5";

std::uint32_t Mix24(std::uint32_t value, std::uint32_t offset)
{
    // Each step is a bijection on 24 bits, so distinct indexes keep distinct MACs.
    constexpr std::uint32_t kMask = 0xFFFFFF;
    value = (value * 0x9E3779u) & kMask; // odd multiplier
    value ^= value >> 11;
    value = (value * 0x5BD1E5u) & kMask;
    value ^= value >> 9;
    return (value + offset) & kMask;
}

std::string TwoDigits(int value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

std::string HostName(int index, HostNameKind kind)
{
    const std::string rack = TwoDigits(index / kSlotsPerRack + 1);
    const std::string slot = TwoDigits(index % kSlotsPerRack + 1);
    switch (kind)
    {
    case HostNameKind::Utf8Chinese:
        return std::string(kRackUtf8) + rack + "-" + slot + std::string(kNumberUtf8);
    case HostNameKind::Gbk:
        return std::string(kRackGbk) + rack + "-" + slot + std::string(kNumberGbk);
    case HostNameKind::Ascii:
        break;
    }
    return "rack" + rack + "-m" + slot;
}

std::array<std::uint8_t, protocol::kE2RecordSize> EepromRecord(SplitMix64& random)
{
    // Bytes 0-5 the QR code's tail, 15-23 nine characters of the one-D code,
    // 24-39 the one-D code's serial field; the rest zero.
    std::array<std::uint8_t, protocol::kE2RecordSize> record {};
    char text[40];
    std::snprintf(text, sizeof text, "N%05u", static_cast<unsigned>(random.Below(100000)));
    std::memcpy(record.data(), text, 6);
    std::snprintf(text,
        sizeof text,
        "%04u%05X",
        static_cast<unsigned>(random.Below(10000)),
        static_cast<unsigned>(random.Below(0x100000)));
    std::memcpy(record.data() + 15, text, 9);
    const int serialLength = std::snprintf(text, sizeof text, "SN%06u", static_cast<unsigned>(random.Below(1000000)));
    std::memcpy(record.data() + 24, text, static_cast<std::size_t>(std::min(serialLength, 16)));
    return record;
}

std::int64_t RunSeconds(SplitMix64& random)
{
    const double pick = random.Unit();
    if (pick < 0.03)
    {
        return 0; // just booted: the tool shows no run time
    }
    if (pick < 0.25)
    {
        return random.Between(60, 3600);
    }
    if (pick < 0.60)
    {
        return random.Between(3600, 86400);
    }
    return random.Between(86400, 40 * 86400);
}

MachineIdentity Generate(int index,
    std::uint64_t seed,
    std::uint32_t address,
    const std::array<std::uint8_t, 3>& macPrefix,
    std::uint32_t macOffset)
{
    SplitMix64 random(DeriveSeed(seed, kIdentityPurpose, static_cast<std::uint64_t>(index)));
    MachineIdentity machine;
    machine.index = index;
    machine.address = address;

    const std::uint32_t low = Mix24(static_cast<std::uint32_t>(index), macOffset);
    machine.mac = FormatMac({ macPrefix[0],
        macPrefix[1],
        macPrefix[2],
        static_cast<std::uint8_t>(low >> 16),
        static_cast<std::uint8_t>(low >> 8),
        static_cast<std::uint8_t>(low) });

    const double maskPick = random.Unit();
    machine.mask = maskPick < 0.85 ? "255.255.128.0" : maskPick < 0.95 ? "255.255.0.0" : "255.255.255.0";
    machine.gateway = random.Unit() < 0.92 ? "10.77.0.2" : "10.77.0.1";

    const double namePick = random.Unit();
    machine.nameKind = namePick < 0.85 ? HostNameKind::Ascii
        : namePick < 0.97              ? HostNameKind::Utf8Chinese
                                       : HostNameKind::Gbk;
    machine.name = HostName(index, machine.nameKind);

    // The mean of two draws clusters temperatures in the 50s and 60s, as a
    // healthy farm does, and still reaches both ends of 40-85.
    machine.temperature = static_cast<std::int32_t>((random.Between(40, 85) + random.Between(40, 85) + 1) / 2);

    int weightPick = static_cast<int>(random.Below(100));
    const Version* version = &kVersions[0];
    for (const auto& candidate : kVersions)
    {
        if (weightPick < candidate.weight)
        {
            version = &candidate;
            break;
        }
        weightPick -= candidate.weight;
    }
    machine.versionNumber = version->major * 10000 + version->minor * 100 + version->patch;
    machine.versionText
        = std::to_string(version->major) + "." + std::to_string(version->minor) + "." + std::to_string(version->patch);

    machine.initialRunSeconds = RunSeconds(random);
    machine.mhsAv = static_cast<double>(random.Between(1250000, 1450000)) / 100.0;
    machine.minerDescription = kMinerDescriptions[random.Below(std::size(kMinerDescriptions))];
    machine.eeprom = EepromRecord(random);

    machine.bom = random.Unit() < 0.08;
    const double shortPick = random.Unit();
    machine.shortReply = shortPick < 0.02 ? 188 : shortPick < 0.04 ? 220 : static_cast<int>(protocol::kRecordSize);
    machine.addressAsAll = random.Unit() < 0.03;
    machine.apiNul = random.Unit() < 0.30;
    return machine;
}

} // namespace

std::optional<std::uint32_t> NthMachineAddress(std::uint32_t first, std::int64_t n)
{
    if (n < 0)
    {
        return std::nullopt;
    }
    std::int64_t hostNumber = first & 0xFF;
    std::int64_t block = first >> 8;
    if (hostNumber == 0)
    {
        hostNumber = 1;
    }
    else if (hostNumber == 255)
    {
        hostNumber = 1;
        ++block;
    }
    const std::int64_t position = hostNumber - 1 + n;
    block += position / kUsableHostsPerBlock;
    if (block > 0xFFFFFF)
    {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>((block << 8) | (position % kUsableHostsPerBlock + 1));
}

std::vector<MachineIdentity> GenerateMachines(int count, std::uint64_t seed, std::uint32_t firstAddress)
{
    count = std::clamp(count, 0, kMaxMachines);
    SplitMix64 macRandom(DeriveSeed(seed, kMacPurpose));
    // Locally administered, unicast: bit 1 of the first byte set, bit 0 clear.
    const std::array<std::uint8_t, 3> macPrefix = { static_cast<std::uint8_t>((macRandom.Next() & 0xFC) | 0x02),
        static_cast<std::uint8_t>(macRandom.Next()),
        static_cast<std::uint8_t>(macRandom.Next()) };
    const auto macOffset = static_cast<std::uint32_t>(macRandom.Next() & 0xFFFFFF);

    std::vector<MachineIdentity> machines;
    machines.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
    {
        const auto address = NthMachineAddress(firstAddress, i);
        machines.push_back(Generate(i, seed, address.value_or(0), macPrefix, macOffset));
    }
    return machines;
}

namespace
{

// A decimal number of 1 to 5 digits at `at`, or nothing; `at` moves past it.
std::optional<std::int32_t> Digits(std::string_view text, std::size_t& at)
{
    std::int32_t value = 0;
    const std::size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 5)
    {
        value = value * 10 + (text[at] - '0');
        ++at;
    }
    if (at == start || (at < text.size() && text[at] >= '0' && text[at] <= '9'))
    {
        return std::nullopt;
    }
    return value;
}

// "x.y.z" at `at`; `at` moves past it.
std::optional<VersionInfo> VersionAt(std::string_view text, std::size_t& at)
{
    std::int32_t parts[3] = {};
    for (int i = 0; i < 3; ++i)
    {
        if (i > 0)
        {
            if (at >= text.size() || text[at] != '.')
            {
                return std::nullopt;
            }
            ++at;
        }
        const auto part = Digits(text, at);
        if (!part || (i > 0 && *part > 99) || *part > 20000)
        {
            return std::nullopt;
        }
        parts[i] = *part;
    }
    return VersionInfo { parts[0] * 10000 + parts[1] * 100 + parts[2],
        std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) };
}

} // namespace

std::optional<VersionInfo> ParseVersionText(std::string_view text)
{
    std::size_t at = 0;
    auto version = VersionAt(text, at);
    return at == text.size() ? version : std::nullopt;
}

std::optional<VersionInfo> VersionInName(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    for (std::size_t start = 0; start < name.size(); ++start)
    {
        // Not inside a longer run of digits and dots ("1.2.3.4" is no version).
        if (!isDigit(name[start]) || (start > 0 && (isDigit(name[start - 1]) || name[start - 1] == '.')))
        {
            continue;
        }
        std::size_t at = start;
        const auto version = VersionAt(name, at);
        if (version && (at == name.size() || !(name[at] == '.' && at + 1 < name.size() && isDigit(name[at + 1]))))
        {
            return version;
        }
    }
    return std::nullopt;
}

VersionInfo NextPatch(const VersionInfo& version)
{
    std::int32_t major = version.number / 10000;
    std::int32_t minor = version.number / 100 % 100;
    std::int32_t patch = version.number % 100 + 1;
    if (patch == 100)
    {
        patch = 0;
        ++minor;
    }
    if (minor == 100)
    {
        minor = 0;
        ++major;
    }
    return { major * 10000 + minor * 100 + patch,
        std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch) };
}

std::string FormatMac(const std::array<std::uint8_t, 6>& bytes)
{
    char text[13];
    std::snprintf(
        text, sizeof text, "%02X%02X%02X%02X%02X%02X", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5]);
    return text;
}

std::string CanonicalMac(std::string_view mac)
{
    std::string canonical(mac);
    std::transform(canonical.begin(),
        canonical.end(),
        canonical.begin(),
        [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return canonical;
}

} // namespace quellis::sim

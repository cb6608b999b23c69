#pragma once

#include "protocol/device_packet.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The generated identity of simulated machines: what each one is when the farm
// starts (addresses, MAC, names, versions, hash rate, EEPROM record) and the
// quirks real machines show (short records, byte-order marks, "FFFFFFFFFFFF"
// addresses). Pure functions of the seed: machine n is the same whatever the
// size of the farm.

namespace quellis::sim
{

inline constexpr int kMaxMachines = 1'000'000;
inline constexpr std::uint32_t kDefaultFirstAddress = 0x0A4D8001; // 10.77.128.1

enum class HostNameKind
{
    Ascii,
    Utf8Chinese,
    Gbk, // code page 936 bytes, as old firmware sends them
};

struct MachineIdentity
{
    int index = 0;
    std::string mac; // 12 uppercase hexadecimal digits, locally administered
    std::uint32_t address = 0; // the wire address the machine answers from (host order)
    std::string mask;
    std::string gateway;
    std::string name; // host name bytes without a byte-order mark
    HostNameKind nameKind = HostNameKind::Ascii;
    std::int32_t temperature = 0;
    std::int32_t versionNumber = 0; // major*10000 + minor*100 + patch
    std::string versionText; // "2.1.5"
    std::int64_t initialRunSeconds = 0;
    double mhsAv = 0; // average hash rate, MH/s, two decimals
    int chains = 3;
    std::string minerDescription; // the mining software's "Description"
    std::array<std::uint8_t, protocol::kE2RecordSize> eeprom {};

    // Natural quirks; a scenario may override each of them.
    bool bom = false;
    int shortReply = static_cast<int>(protocol::kRecordSize);
    bool addressAsAll = false;
    bool apiNul = false;
};

// A firmware version as a machine reports it.
struct VersionInfo
{
    std::int32_t number = 0; // major*10000 + minor*100 + patch
    std::string text; // "2.1.5"
};

// "x.y.z" with minor and patch below 100 and major up to 20000.
[[nodiscard]] std::optional<VersionInfo> ParseVersionText(std::string_view text);
// The version a package's file name announces: its first "x.y.z" that stands
// alone ("firmware-2.3.1.tar.gz"); nothing when it has none.
[[nodiscard]] std::optional<VersionInfo> VersionInName(std::string_view path);
// The version after `version`: its patch number plus one, carried over.
[[nodiscard]] VersionInfo NextPatch(const VersionInfo& version);

// The n-th machine address from first on: consecutive addresses, skipping the
// host numbers .0 and .255 (a first address ending in one of them starts at
// the next usable one). Nothing when the range runs past 255.255.255.254.
[[nodiscard]] std::optional<std::uint32_t> NthMachineAddress(std::uint32_t first, std::int64_t n);

// Machines 0 to count-1. Count is clamped to [0, kMaxMachines]; the caller
// checks the address range first (NthMachineAddress of the last one).
[[nodiscard]] std::vector<MachineIdentity> GenerateMachines(int count, std::uint64_t seed, std::uint32_t firstAddress);

// "AABBCCDDEEFF" for six bytes.
[[nodiscard]] std::string FormatMac(const std::array<std::uint8_t, 6>& bytes);

// A MAC text in canonical form (uppercase) for look-ups; the tool sends back
// what the machine reported, but operators type MACs by hand in scenarios.
[[nodiscard]] std::string CanonicalMac(std::string_view mac);

} // namespace quellis::sim

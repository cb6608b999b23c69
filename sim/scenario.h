#pragma once

#include "sim/machine_profile.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// What the simulated machines do, per machine: the behaviour keys, the groups
// that pick machines for them, and the scenario file that carries both. The
// same keys are accepted in a scenario file and in a --behave option.
//
// Scenario file (JSON, comments allowed):
//   { "machines": 1000, "seed": 7, "firstAddress": "10.77.128.1", "search": { "spreadMs": 100 },
//     "defaults": { <behaviour keys> },
//     "groups": [ { "fraction": 0.05, "silent": true }, { "count": 3, "api": "refuse" },
//                 { "indexes": [0, 5], "settingResult": 2 }, { "macs": ["..."], "eeprom": "blank" } ] }
//
// Groups are applied in order, "defaults" first, each over what came before,
// so a later group overrides an earlier one. "fraction" and "count" groups
// take the next machines of one shuffle drawn from the seed: they pick
// distinct machines until the farm is used up, then the shuffle starts again
// from its beginning. "indexes" and "macs" name machines directly. A group
// without a selector applies to every machine.

namespace quellis::sim
{

enum class DownloadMode
{
    Ok,
    Slow, // reads at downloadRateKBps
    Stall, // stops reading half-way and holds the connection; no answer
    CloseHalf, // closes half-way, then answers 0
    Never, // does not connect and does not answer
};

enum class ApiMode
{
    Ok,
    Refuse, // no listener: connections are refused
    Silent, // reads the request and never answers
    Close, // reads the request and closes without data
    NotJson,
    NoStatus, // valid JSON without "STATUS"
    SummaryObject, // "SUMMARY" as an object instead of an array
    MhsInteger, // "MHS av" as the integer 0
    Off, // switched off: a connect is neither accepted nor refused and times out
    Reset, // reads the request and resets the connection
    Split, // the reply in two pieces, the second 200 ms after the first
    Huge, // the reply padded with blanks to exactly 1 MiB
    Deep, // "SUMMARY" and "POOLS" nested 100,000 arrays deep
    PoolsObject, // "POOLS" as an object instead of an array
    PriorityOdd, // every pool's "Priority" a string, an array or an object in turn
};

enum class EepromMode
{
    Ok,
    Blank, // reads as all 0xFF with a matching checksum; writes are acknowledged and lost
    BadChecksum, // read replies carry a wrong checksum
    Error, // reads and writes answer eepromError
};

struct Behaviour
{
    bool silent = false;
    int replyDelayMs = 0;
    int replyJitterMs = 0;
    int shortReply = 256; // bytes of a record reply
    bool addressAsAll = false; // "FFFFFFFFFFFF" in the record's address field
    // Answers go to 255.255.255.255 on the machine's own segment instead of to
    // the request's source: a router between the tool and the machine stops them.
    bool broadcastReply = false;
    bool bom = false; // host name starts with EF BB BF
    bool apiNul = false; // a NUL byte after the API reply
    std::int32_t settingResult = 0;
    std::uint32_t uartMask = 0x1F;
    int ledTestMs = 1000;
    std::optional<std::int32_t> execStatus; // overrides the simulated shell
    std::optional<std::string> execOutput;
    std::int32_t upgradeResult = 1; // answered after a verified download
    std::int32_t poolResult = 1; // answered for a readable pool text
    int installMs = 2000;
    DownloadMode download = DownloadMode::Ok;
    int downloadRateKBps = 256; // KiB per second for DownloadMode::Slow
    // Where the download starts, as a machine resuming a partial one asks:
    // the bytes from here to the end are fetched and checked.
    std::uint64_t downloadOffset = 0;
    ApiMode api = ApiMode::Ok;
    EepromMode eeprom = EepromMode::Ok;
    std::int32_t eepromError = 5;
    int rebootMs = 5000;
    // Power: switched off this long after the farm starts (-1: never), and
    // on again after offForMs (0: it stays off). While off the machine
    // answers nothing: no datagram, and connections to its miner API are
    // neither accepted nor refused.
    int offAtMs = -1;
    int offForMs = 0;
    // Off at the link level for the whole run: nothing answers its address,
    // not even address resolution (the farm takes it off its link, which
    // needs CAP_NET_ADMIN in the farm's namespace; see LinkRoutes).
    bool unplugged = false;
    // The version the machine runs after a successful upgrade, "x.y.z".
    // Unset: the one the package's file name announces (FarmConfig::
    // expectedPackage), else its own with the patch number one up.
    std::optional<std::string> upgradeVersion;
};

using SettingValue = std::variant<bool, std::int64_t, std::string>;

// One behaviour key with a value already checked against the key's kind.
struct BehaviourSetting
{
    std::string key;
    SettingValue value;
};

enum class GroupSelector
{
    All,
    Fraction,
    Count,
    Indexes,
    Macs,
};

struct BehaviourGroup
{
    GroupSelector selector = GroupSelector::All;
    double fraction = 0;
    std::int64_t count = 0;
    std::vector<std::int64_t> indexes;
    std::vector<std::string> macs;
    std::vector<BehaviourSetting> settings;
};

struct Scenario
{
    std::optional<int> machines;
    std::optional<std::uint64_t> seed;
    std::optional<std::uint32_t> firstAddress;
    std::optional<int> spreadMs;
    std::vector<BehaviourGroup> groups;
};

// A scenario file's text. Unknown keys, wrong types and values out of range
// are errors naming the key ("groups[1].api: ...").
[[nodiscard]] bool ParseScenario(std::string_view text, Scenario* scenario, std::string* error);

// A --behave option: "fraction=0.1,api=refuse". Lists separate their items
// with ':' ("indexes=0:5:9"); a '\' takes the next character as it is, so a
// value may hold a ',' as "\,".
[[nodiscard]] bool ParseBehaveOption(std::string_view text, BehaviourGroup* group, std::string* error);

// Sets one key on a behaviour; false (with the reason) for an unknown key or a
// value of the wrong kind.
[[nodiscard]] bool ApplySetting(Behaviour& behaviour, const BehaviourSetting& setting, std::string* error);

// The behaviour a generated machine has before any group: its natural quirks.
[[nodiscard]] Behaviour NaturalBehaviour(const MachineIdentity& machine);

// The behaviour of every machine after the groups, in order. Fails for an
// index outside the farm or a MAC that no machine has.
[[nodiscard]] bool AssignBehaviours(std::span<const BehaviourGroup> groups,
    std::span<const MachineIdentity> machines,
    std::uint64_t seed,
    std::vector<Behaviour>* behaviours,
    std::string* error);

// The behaviour keys with a short description each, for --help.
struct BehaviourKeyHelp
{
    std::string_view key;
    std::string_view values;
};
[[nodiscard]] std::span<const BehaviourKeyHelp> BehaviourKeyList();

[[nodiscard]] std::string_view ModeName(DownloadMode mode);
[[nodiscard]] std::string_view ModeName(ApiMode mode);
[[nodiscard]] std::string_view ModeName(EepromMode mode);

} // namespace quellis::sim

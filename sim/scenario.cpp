#include "sim/scenario.h"

#include "platform/net/ipv4.h"
#include "sim/deterministic_random.h"
#include "sim/json_reader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <numeric>
#include <type_traits>
#include <unordered_map>

namespace quellis::sim
{

namespace
{

constexpr std::uint64_t kGroupPurpose = 3;
constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kMaxDelayMs = 600'000;
constexpr std::int64_t kMaxLongDelayMs = 3'600'000;
constexpr std::size_t kMaxExecOutput = 10'000;
constexpr std::size_t kVersionTextLength = 17; // "20000.99.99" and some room

enum class KeyKind
{
    Bool,
    Int,
    Text,
    Enum,
};

constexpr std::array<std::string_view, 5> kDownloadNames = { "ok", "slow", "stall", "close-half", "never" };
// clang-format off
constexpr std::array<std::string_view, 15> kApiNames = { "ok", "refuse", "silent", "close", "not-json", "no-status",
    "summary-object", "mhs-integer", "off", "reset", "split", "huge", "deep", "pools-object", "priority-odd" };
// clang-format on
constexpr std::array<std::string_view, 4> kEepromNames = { "ok", "blank", "bad-checksum", "error" };

using Apply = void (*)(Behaviour&, const SettingValue&);

struct KeyInfo
{
    std::string_view name;
    KeyKind kind;
    std::int64_t min;
    std::int64_t max;
    std::span<const std::string_view> names;
    Apply apply;
    std::string_view help;
};

// Stores a checked value in one member of the behaviour, whatever its type.
template <auto Member> void Store(Behaviour& behaviour, const SettingValue& value)
{
    using Field = std::remove_reference_t<decltype(behaviour.*Member)>;
    if constexpr (std::is_same_v<Field, bool>)
    {
        behaviour.*Member = std::get<bool>(value);
    }
    else if constexpr (std::is_same_v<Field, std::optional<std::string>>)
    {
        behaviour.*Member = std::get<std::string>(value);
    }
    else if constexpr (std::is_same_v<Field, std::optional<std::int32_t>>)
    {
        behaviour.*Member = static_cast<std::int32_t>(std::get<std::int64_t>(value));
    }
    else
    {
        behaviour.*Member = static_cast<Field>(std::get<std::int64_t>(value)); // numbers and choices
    }
}

constexpr KeyInfo Flag(std::string_view name, Apply apply, std::string_view help)
{
    return { name, KeyKind::Bool, 0, 0, {}, apply, help };
}

constexpr KeyInfo Number(std::string_view name, std::int64_t min, std::int64_t max, Apply apply, std::string_view help)
{
    return { name, KeyKind::Int, min, max, {}, apply, help };
}

constexpr KeyInfo Text(std::string_view name, std::size_t maxLength, Apply apply, std::string_view help)
{
    return { name, KeyKind::Text, 0, static_cast<std::int64_t>(maxLength), {}, apply, help };
}

constexpr KeyInfo Choice(
    std::string_view name, std::span<const std::string_view> names, Apply apply, std::string_view help)
{
    return { name, KeyKind::Enum, 0, 0, names, apply, help };
}

// The one table of behaviour keys: scenario files, --behave options and
// --help all read it, so the three cannot drift apart.
const KeyInfo kKeys[] = {
    Flag("silent", Store<&Behaviour::silent>, "true|false: never answer the management port"),
    Number("replyDelayMs", 0, kMaxDelayMs, Store<&Behaviour::replyDelayMs>, "ms before every answer"),
    Number("replyJitterMs", 0, kMaxDelayMs, Store<&Behaviour::replyJitterMs>, "up to this many ms more, at random"),
    Number("shortReply", 8, 256, Store<&Behaviour::shortReply>, "8-256: bytes of a record reply"),
    Flag("addressAsAll", Store<&Behaviour::addressAsAll>, "true|false: FFFFFFFFFFFF in the record's address"),
    Flag("broadcastReply",
        Store<&Behaviour::broadcastReply>,
        "true|false: answer to 255.255.255.255 instead of to the request's source"),
    Flag("bom", Store<&Behaviour::bom>, "true|false: host name starts with EF BB BF"),
    Flag("apiNul", Store<&Behaviour::apiNul>, "true|false: a NUL byte after each API reply"),
    Number("settingResult",
        kInt32Min,
        kInt32Max,
        Store<&Behaviour::settingResult>,
        "result of a network setting: 0 ok, 1 no user, 2 password, 3 other"),
    Number(
        "uartMask", 0, 0xFFFFFFFF, Store<&Behaviour::uartMask>, "serial-port test result bits (0x1F: all five work)"),
    Number("ledTestMs", 0, kMaxDelayMs, Store<&Behaviour::ledTestMs>, "length of the LED test"),
    Number("execStatus", kInt32Min, kInt32Max, Store<&Behaviour::execStatus>, "exit status of every command"),
    Text("execOutput", kMaxExecOutput, Store<&Behaviour::execOutput>, "output text of every command"),
    Number("upgradeResult",
        kInt32Min,
        kInt32Max,
        Store<&Behaviour::upgradeResult>,
        "result after a verified download (a failed one answers 0)"),
    Number("poolResult",
        kInt32Min,
        kInt32Max,
        Store<&Behaviour::poolResult>,
        "result of a readable pool configuration (unreadable: 0)"),
    Number("installMs", 0, kMaxLongDelayMs, Store<&Behaviour::installMs>, "ms from download to upgrade answer"),
    Choice("download", kDownloadNames, Store<&Behaviour::download>, "ok|slow|stall|close-half|never"),
    Number("downloadRateKBps", 1, 10'000'000, Store<&Behaviour::downloadRateKBps>, "KiB/s of a slow download"),
    Number("downloadOffset",
        0,
        std::int64_t { 1 } << 40,
        Store<&Behaviour::downloadOffset>,
        "byte the download starts at (a resumed download); the rest is fetched"),
    Choice("api",
        kApiNames,
        Store<&Behaviour::api>,
        "ok|refuse|silent|close|not-json|no-status|summary-object|mhs-integer|off|reset|split|huge|deep|pools-object|"
        "priority-odd"),
    Choice("eeprom", kEepromNames, Store<&Behaviour::eeprom>, "ok|blank|bad-checksum|error"),
    Number("eepromError", kInt32Min, kInt32Max, Store<&Behaviour::eepromError>, "error number of eeprom=error"),
    Number("rebootMs", 0, kMaxLongDelayMs, Store<&Behaviour::rebootMs>, "ms a rebooting machine stays silent"),
    Number("offAtMs",
        -1,
        kMaxLongDelayMs,
        Store<&Behaviour::offAtMs>,
        "ms after the start when the machine is switched off (-1: never); it answers nothing, not even a connect"),
    Number("offForMs", 0, kMaxLongDelayMs, Store<&Behaviour::offForMs>, "ms until it is on again (0: stays off)"),
    Flag("unplugged",
        Store<&Behaviour::unplugged>,
        "true|false: off at the link level: its address answers nothing, not even ARP (needs CAP_NET_ADMIN)"),
    Text("upgradeVersion",
        kVersionTextLength,
        Store<&Behaviour::upgradeVersion>,
        "x.y.z run after a successful upgrade (default: the package file name's version, else patch + 1)"),
};

const KeyInfo* FindKey(std::string_view name)
{
    for (const auto& key : kKeys)
    {
        if (key.name == name)
        {
            return &key;
        }
    }
    return nullptr;
}

std::string JoinNames(std::span<const std::string_view> names)
{
    std::string text;
    for (const auto name : names)
    {
        text += text.empty() ? "" : ", ";
        text += name;
    }
    return text;
}

bool Fail(std::string* error, std::string message)
{
    if (error != nullptr)
    {
        *error = std::move(message);
    }
    return false;
}

// Decimal or 0x-hexadecimal, with an optional sign, and nothing else.
std::optional<std::int64_t> ParseInteger(std::string_view text)
{
    std::string copy(text);
    if (copy.empty() || std::isspace(static_cast<unsigned char>(copy.front())) != 0)
    {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(copy.c_str(), &end, 0);
    if (errno != 0 || end != copy.c_str() + copy.size())
    {
        return std::nullopt;
    }
    // strtoll reads a leading 0 as octal; a farm file means decimal.
    const std::size_t digits = copy.find_first_not_of("+-");
    if (digits != std::string::npos && copy[digits] == '0' && copy.size() > digits + 1 && copy[digits + 1] != 'x'
        && copy[digits + 1] != 'X')
    {
        errno = 0;
        const long long decimal = std::strtoll(copy.c_str(), &end, 10);
        if (errno != 0 || end != copy.c_str() + copy.size())
        {
            return std::nullopt;
        }
        return decimal;
    }
    return value;
}

std::optional<double> ParseFraction(std::string_view text)
{
    std::string copy(text);
    if (copy.empty())
    {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(value))
    {
        return std::nullopt;
    }
    return value;
}

std::optional<bool> ParseBool(std::string_view text)
{
    if (text == "true" || text == "yes" || text == "on" || text == "1")
    {
        return true;
    }
    if (text == "false" || text == "no" || text == "off" || text == "0")
    {
        return false;
    }
    return std::nullopt;
}

bool CheckRange(const KeyInfo& key, std::int64_t value, const std::string& path, std::string* error)
{
    if (value < key.min || value > key.max)
    {
        return Fail(error,
            path + ": " + std::to_string(value) + " is outside " + std::to_string(key.min) + " to "
                + std::to_string(key.max));
    }
    return true;
}

bool SettingFromText(
    const KeyInfo& key, std::string_view text, const std::string& path, SettingValue* value, std::string* error)
{
    switch (key.kind)
    {
    case KeyKind::Bool:
        if (const auto parsed = ParseBool(text))
        {
            *value = *parsed;
            return true;
        }
        return Fail(error, path + ": \"" + std::string(text) + "\" is not true or false");
    case KeyKind::Int:
        if (const auto parsed = ParseInteger(text))
        {
            *value = *parsed;
            return CheckRange(key, *parsed, path, error);
        }
        return Fail(error, path + ": \"" + std::string(text) + "\" is not a whole number");
    case KeyKind::Text:
        if (text.size() > static_cast<std::size_t>(key.max))
        {
            return Fail(error, path + ": longer than " + std::to_string(key.max) + " bytes");
        }
        if (key.name == "upgradeVersion" && !ParseVersionText(text))
        {
            return Fail(error, path + ": \"" + std::string(text) + "\" is not a version x.y.z");
        }
        *value = std::string(text);
        return true;
    case KeyKind::Enum:
        for (std::size_t i = 0; i < key.names.size(); ++i)
        {
            if (key.names[i] == text)
            {
                *value = static_cast<std::int64_t>(i);
                return true;
            }
        }
        return Fail(error, path + ": \"" + std::string(text) + "\" is not one of " + JoinNames(key.names));
    }
    return Fail(error, path + ": unusable value");
}

bool SettingFromJson(
    const KeyInfo& key, const Json::Value& json, const std::string& path, SettingValue* value, std::string* error)
{
    switch (key.kind)
    {
    case KeyKind::Bool:
        if (!json.isBool())
        {
            return Fail(error, path + ": expected true or false");
        }
        *value = json.asBool();
        return true;
    case KeyKind::Int:
        if (json.isString())
        {
            return SettingFromText(key, json.asString(), path, value, error);
        }
        if (!json.isInt64())
        {
            return Fail(error, path + ": expected a whole number");
        }
        *value = static_cast<std::int64_t>(json.asInt64());
        return CheckRange(key, json.asInt64(), path, error);
    case KeyKind::Text:
    case KeyKind::Enum:
        if (!json.isString())
        {
            return Fail(error, path + ": expected a text");
        }
        return SettingFromText(key, json.asString(), path, value, error);
    }
    return Fail(error, path + ": unusable value");
}

bool SetSelector(BehaviourGroup* group, GroupSelector selector, const std::string& path, std::string* error)
{
    if (group->selector != GroupSelector::All)
    {
        return Fail(error, path + ": a group takes one of fraction, count, indexes and macs");
    }
    group->selector = selector;
    return true;
}

bool CheckFraction(double fraction, const std::string& path, std::string* error)
{
    if (!(fraction >= 0.0 && fraction <= 1.0))
    {
        return Fail(error, path + ": a fraction lies between 0 and 1");
    }
    return true;
}

bool ParseGroupObject(const Json::Value& object,
    bool selectorsAllowed,
    const std::string& path,
    BehaviourGroup* group,
    std::string* error)
{
    if (!object.isObject())
    {
        return Fail(error, path + ": expected an object");
    }
    for (const auto& name : object.getMemberNames())
    {
        const Json::Value& member = object[name];
        const std::string memberPath = path + "." + name;
        const bool isSelector = name == "fraction" || name == "count" || name == "indexes" || name == "macs";
        if (isSelector && !selectorsAllowed)
        {
            return Fail(error, memberPath + ": the defaults apply to every machine and take no selector");
        }
        if (name == "fraction")
        {
            if (!member.isNumeric())
            {
                return Fail(error, memberPath + ": expected a number");
            }
            if (!SetSelector(group, GroupSelector::Fraction, memberPath, error))
            {
                return false;
            }
            group->fraction = member.asDouble();
            if (!CheckFraction(group->fraction, memberPath, error))
            {
                return false;
            }
        }
        else if (name == "count")
        {
            if (!member.isInt64() || member.asInt64() < 0)
            {
                return Fail(error, memberPath + ": expected a whole number of 0 or more");
            }
            if (!SetSelector(group, GroupSelector::Count, memberPath, error))
            {
                return false;
            }
            group->count = member.asInt64();
        }
        else if (name == "indexes")
        {
            if (!member.isArray())
            {
                return Fail(error, memberPath + ": expected an array");
            }
            if (!SetSelector(group, GroupSelector::Indexes, memberPath, error))
            {
                return false;
            }
            for (Json::ArrayIndex i = 0; i < member.size(); ++i)
            {
                if (!member[i].isInt64() || member[i].asInt64() < 0)
                {
                    return Fail(error, memberPath + "[" + std::to_string(i) + "]: expected a machine index");
                }
                group->indexes.push_back(member[i].asInt64());
            }
        }
        else if (name == "macs")
        {
            if (!member.isArray())
            {
                return Fail(error, memberPath + ": expected an array");
            }
            if (!SetSelector(group, GroupSelector::Macs, memberPath, error))
            {
                return false;
            }
            for (Json::ArrayIndex i = 0; i < member.size(); ++i)
            {
                if (!member[i].isString())
                {
                    return Fail(error, memberPath + "[" + std::to_string(i) + "]: expected a MAC text");
                }
                group->macs.push_back(CanonicalMac(member[i].asString()));
            }
        }
        else if (const KeyInfo* key = FindKey(name))
        {
            BehaviourSetting setting { name, false };
            if (!SettingFromJson(*key, member, memberPath, &setting.value, error))
            {
                return false;
            }
            group->settings.push_back(std::move(setting));
        }
        else
        {
            return Fail(error, memberPath + ": unknown key");
        }
    }
    return true;
}

bool ReadOptionalInt(const Json::Value& root,
    const char* name,
    std::int64_t min,
    std::int64_t max,
    const std::string& path,
    std::optional<std::int64_t>* out,
    std::string* error)
{
    if (!root.isMember(name))
    {
        return true;
    }
    const Json::Value& value = root[name];
    if (!value.isInt64() || value.asInt64() < min || value.asInt64() > max)
    {
        return Fail(error,
            path + name + ": expected a whole number from " + std::to_string(min) + " to " + std::to_string(max));
    }
    *out = value.asInt64();
    return true;
}

// Splits a --behave text at unescaped separators; a '\' keeps the next
// character as it is.
std::vector<std::string> SplitEscaped(std::string_view text, char separator)
{
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == '\\' && i + 1 < text.size())
        {
            parts.back() += text[++i];
        }
        else if (text[i] == separator)
        {
            parts.emplace_back();
        }
        else
        {
            parts.back() += text[i];
        }
    }
    return parts;
}

std::string Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
    {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

} // namespace

bool ParseScenario(std::string_view text, Scenario* scenario, std::string* error)
{
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    Json::Value root;
    std::string parseErrors;
    if (!ReadJson(text, builder, &root, &parseErrors))
    {
        return Fail(error, "not valid JSON: " + Trimmed(parseErrors));
    }
    if (!root.isObject())
    {
        return Fail(error, "the scenario must be a JSON object");
    }

    Scenario parsed;
    for (const auto& name : root.getMemberNames())
    {
        const Json::Value& member = root[name];
        if (name == "machines")
        {
            std::optional<std::int64_t> machines;
            if (!ReadOptionalInt(root, "machines", 1, kMaxMachines, "", &machines, error))
            {
                return false;
            }
            parsed.machines = static_cast<int>(*machines);
        }
        else if (name == "seed")
        {
            if (member.isUInt64())
            {
                parsed.seed = member.asUInt64();
            }
            else if (member.isInt64() && member.asInt64() >= 0)
            {
                parsed.seed = static_cast<std::uint64_t>(member.asInt64());
            }
            else
            {
                return Fail(error, "seed: expected a whole number of 0 or more");
            }
        }
        else if (name == "firstAddress")
        {
            const std::string text = member.isString() ? member.asString() : std::string();
            const auto address = net::ParseIpv4(text);
            if (!address || std::count(text.begin(), text.end(), '.') != 3)
            {
                return Fail(error, "firstAddress: expected a dotted address such as 10.77.128.1");
            }
            parsed.firstAddress = *address;
        }
        else if (name == "search")
        {
            if (!member.isObject())
            {
                return Fail(error, "search: expected an object");
            }
            for (const auto& searchKey : member.getMemberNames())
            {
                if (searchKey != "spreadMs")
                {
                    return Fail(error, "search." + searchKey + ": unknown key");
                }
            }
            std::optional<std::int64_t> spread;
            if (!ReadOptionalInt(member, "spreadMs", 0, kMaxDelayMs, "search.", &spread, error))
            {
                return false;
            }
            if (spread)
            {
                parsed.spreadMs = static_cast<int>(*spread);
            }
        }
        else if (name == "defaults")
        {
            BehaviourGroup defaults;
            if (!ParseGroupObject(member, false, "defaults", &defaults, error))
            {
                return false;
            }
            // The defaults come before every group whatever their place in the file.
            parsed.groups.insert(parsed.groups.begin(), std::move(defaults));
        }
        else if (name == "groups")
        {
            if (!member.isArray())
            {
                return Fail(error, "groups: expected an array");
            }
            for (Json::ArrayIndex i = 0; i < member.size(); ++i)
            {
                BehaviourGroup group;
                if (!ParseGroupObject(member[i], true, "groups[" + std::to_string(i) + "]", &group, error))
                {
                    return false;
                }
                parsed.groups.push_back(std::move(group));
            }
        }
        else
        {
            return Fail(error, name + ": unknown key");
        }
    }
    *scenario = std::move(parsed);
    return true;
}

bool ParseBehaveOption(std::string_view text, BehaviourGroup* group, std::string* error)
{
    BehaviourGroup parsed;
    std::vector<std::string> seen;
    for (const auto& part : SplitEscaped(text, ','))
    {
        const auto equals = part.find('=');
        if (equals == std::string::npos)
        {
            return Fail(error, "\"" + part + "\": expected key=value");
        }
        const std::string key = Trimmed(std::string_view(part).substr(0, equals));
        const std::string value = part.substr(equals + 1);
        if (std::find(seen.begin(), seen.end(), key) != seen.end())
        {
            return Fail(error, key + ": given twice");
        }
        seen.push_back(key);

        if (key == "fraction")
        {
            const auto fraction = ParseFraction(value);
            if (!fraction)
            {
                return Fail(error, "fraction: \"" + value + "\" is not a number");
            }
            if (!CheckFraction(*fraction, key, error) || !SetSelector(&parsed, GroupSelector::Fraction, key, error))
            {
                return false;
            }
            parsed.fraction = *fraction;
        }
        else if (key == "count")
        {
            const auto count = ParseInteger(value);
            if (!count || *count < 0)
            {
                return Fail(error, "count: \"" + value + "\" is not a whole number of 0 or more");
            }
            if (!SetSelector(&parsed, GroupSelector::Count, key, error))
            {
                return false;
            }
            parsed.count = *count;
        }
        else if (key == "indexes")
        {
            if (!SetSelector(&parsed, GroupSelector::Indexes, key, error))
            {
                return false;
            }
            for (const auto& item : SplitEscaped(value, ':'))
            {
                const auto index = ParseInteger(item);
                if (!index || *index < 0)
                {
                    return Fail(error, "indexes: \"" + item + "\" is not a machine index");
                }
                parsed.indexes.push_back(*index);
            }
        }
        else if (key == "macs")
        {
            if (!SetSelector(&parsed, GroupSelector::Macs, key, error))
            {
                return false;
            }
            for (const auto& item : SplitEscaped(value, ':'))
            {
                parsed.macs.push_back(CanonicalMac(Trimmed(item)));
            }
        }
        else if (const KeyInfo* info = FindKey(key))
        {
            BehaviourSetting setting { key, false };
            if (!SettingFromText(*info, value, key, &setting.value, error))
            {
                return false;
            }
            parsed.settings.push_back(std::move(setting));
        }
        else
        {
            return Fail(error, key + ": unknown key");
        }
    }
    *group = std::move(parsed);
    return true;
}

bool ApplySetting(Behaviour& behaviour, const BehaviourSetting& setting, std::string* error)
{
    const KeyInfo* key = FindKey(setting.key);
    if (key == nullptr)
    {
        return Fail(error, setting.key + ": unknown key");
    }
    const bool fits = (key->kind == KeyKind::Bool && std::holds_alternative<bool>(setting.value))
        || (key->kind == KeyKind::Text && std::holds_alternative<std::string>(setting.value))
        || ((key->kind == KeyKind::Int || key->kind == KeyKind::Enum)
            && std::holds_alternative<std::int64_t>(setting.value));
    if (!fits)
    {
        return Fail(error, setting.key + ": value of the wrong kind");
    }
    if (key->kind == KeyKind::Int && !CheckRange(*key, std::get<std::int64_t>(setting.value), setting.key, error))
    {
        return false;
    }
    if (key->kind == KeyKind::Enum
        && (std::get<std::int64_t>(setting.value) < 0
            || std::get<std::int64_t>(setting.value) >= static_cast<std::int64_t>(key->names.size())))
    {
        return Fail(error, setting.key + ": no such choice");
    }
    key->apply(behaviour, setting.value);
    return true;
}

Behaviour NaturalBehaviour(const MachineIdentity& machine)
{
    Behaviour behaviour;
    behaviour.bom = machine.bom;
    behaviour.shortReply = machine.shortReply;
    behaviour.addressAsAll = machine.addressAsAll;
    behaviour.apiNul = machine.apiNul;
    return behaviour;
}

bool AssignBehaviours(std::span<const BehaviourGroup> groups,
    std::span<const MachineIdentity> machines,
    std::uint64_t seed,
    std::vector<Behaviour>* behaviours,
    std::string* error)
{
    const std::size_t count = machines.size();
    std::vector<Behaviour> assigned;
    assigned.reserve(count);
    for (const auto& machine : machines)
    {
        assigned.push_back(NaturalBehaviour(machine));
    }

    // Fisher-Yates with the farm's own generator, so the picks are the same
    // on every platform.
    std::vector<std::size_t> shuffle(count);
    std::iota(shuffle.begin(), shuffle.end(), std::size_t { 0 });
    SplitMix64 random(DeriveSeed(seed, kGroupPurpose));
    for (std::size_t i = count; i > 1; --i)
    {
        std::swap(shuffle[i - 1], shuffle[random.Below(i)]);
    }
    std::size_t cursor = 0;

    std::unordered_map<std::string, std::size_t> byMac;
    for (std::size_t i = 0; i < count; ++i)
    {
        byMac.emplace(machines[i].mac, i);
    }

    for (std::size_t g = 0; g < groups.size(); ++g)
    {
        const BehaviourGroup& group = groups[g];
        const std::string where = "group " + std::to_string(g) + ": ";
        std::vector<std::size_t> targets;
        switch (group.selector)
        {
        case GroupSelector::All:
            targets.resize(count);
            std::iota(targets.begin(), targets.end(), std::size_t { 0 });
            break;
        case GroupSelector::Fraction:
        case GroupSelector::Count:
        {
            const auto wanted = group.selector == GroupSelector::Fraction
                ? static_cast<std::size_t>(std::llround(group.fraction * static_cast<double>(count)))
                : static_cast<std::size_t>(std::min<std::int64_t>(group.count, static_cast<std::int64_t>(count)));
            for (std::size_t i = 0; i < wanted && count > 0; ++i)
            {
                targets.push_back(shuffle[cursor]);
                cursor = (cursor + 1) % count;
            }
            break;
        }
        case GroupSelector::Indexes:
            for (const auto index : group.indexes)
            {
                if (index < 0 || static_cast<std::size_t>(index) >= count)
                {
                    return Fail(error,
                        where + "index " + std::to_string(index) + " is outside the farm of " + std::to_string(count)
                            + " machines");
                }
                targets.push_back(static_cast<std::size_t>(index));
            }
            break;
        case GroupSelector::Macs:
            for (const auto& mac : group.macs)
            {
                const auto found = byMac.find(CanonicalMac(mac));
                if (found == byMac.end())
                {
                    return Fail(error, where + "no machine has the MAC " + mac);
                }
                targets.push_back(found->second);
            }
            break;
        }
        for (const auto& setting : group.settings)
        {
            for (const auto target : targets)
            {
                if (!ApplySetting(assigned[target], setting, error))
                {
                    if (error != nullptr)
                    {
                        *error = where + *error;
                    }
                    return false;
                }
            }
        }
    }
    *behaviours = std::move(assigned);
    return true;
}

std::span<const BehaviourKeyHelp> BehaviourKeyList()
{
    static const std::vector<BehaviourKeyHelp> list = []
    {
        std::vector<BehaviourKeyHelp> keys;
        for (const auto& key : kKeys)
        {
            keys.push_back({ key.name, key.help });
        }
        return keys;
    }();
    return list;
}

std::string_view ModeName(DownloadMode mode)
{
    return kDownloadNames[static_cast<std::size_t>(mode)];
}

std::string_view ModeName(ApiMode mode)
{
    return kApiNames[static_cast<std::size_t>(mode)];
}

std::string_view ModeName(EepromMode mode)
{
    return kEepromNames[static_cast<std::size_t>(mode)];
}

} // namespace quellis::sim

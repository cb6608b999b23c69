#include "sim/miner_api_reply.h"

#include "sim/json_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace quellis::sim
{

namespace
{

constexpr std::string_view kDeviceName = "FMU";

struct Request
{
    bool valid = false;
    std::string command;
    std::string parameter;
};

std::string_view WithoutTrailingNuls(std::string_view text)
{
    while (!text.empty() && (text.back() == '\0' || text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    {
        text.remove_suffix(1);
    }
    return text;
}

bool ParseJson(std::string_view text, Json::Value* root)
{
    text = WithoutTrailingNuls(text);
    return !text.empty() && ReadJson(text, Json::CharReaderBuilder(), root);
}

Request ReadRequest(std::string_view text)
{
    Request request;
    Json::Value root;
    if (!ParseJson(text, &root) || !root.isObject())
    {
        return request;
    }
    request.valid = true;
    if (root["command"].isString())
    {
        request.command = root["command"].asString();
    }
    const Json::Value& parameter = root["parameter"];
    if (parameter.isString())
    {
        request.parameter = parameter.asString();
    }
    else if (parameter.isNumeric())
    {
        request.parameter = parameter.asString();
    }
    return request;
}

// A JSON string literal. Bytes from 0x80 up pass as they are: host names and
// pool texts may be code page 936, and the tool's reader takes them.
std::string Quote(std::string_view text)
{
    std::string quoted = "\"";
    for (const char c : text)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
        {
            quoted += '\\';
            quoted += c;
        }
        else if (byte < 0x20)
        {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            quoted += escape;
        }
        else
        {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// A real number always written with a decimal point, as the tool requires of "MHS av".
std::string Real(double value)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::string Integer(std::int64_t value)
{
    return std::to_string(value);
}

std::string StatusArray(
    bool success, std::int64_t when, int code, std::string_view message, std::string_view description)
{
    return "\"STATUS\":[{\"STATUS\":\"" + std::string(success ? "S" : "E") + "\",\"When\":" + Integer(when)
        + ",\"Code\":" + Integer(code) + ",\"Msg\":" + Quote(message) + ",\"Description\":" + Quote(description) + "}]";
}

// Share counts that grow with the time the miner has run and its hash rate,
// so that two polls of one machine look like a working miner.
std::int64_t Accepted(const MinerView& miner)
{
    return miner.elapsedSeconds * static_cast<std::int64_t>(miner.mhsAv) / 400000;
}

std::string SummaryFields(const MinerView& miner, bool integerRate)
{
    const double wobble = 0.98 + static_cast<double>(miner.elapsedSeconds % 41) / 1000.0;
    const std::int64_t accepted = Accepted(miner);
    return "\"Elapsed\":" + Integer(miner.elapsedSeconds) + ",\"MHS av\":" + (integerRate ? "0" : Real(miner.mhsAv))
        + ",\"MHS 5s\":" + Real(miner.mhsAv * wobble) + ",\"MHS 1m\":" + Real(miner.mhsAv * (2.0 - wobble))
        + ",\"Found Blocks\":0,\"Getworks\":" + Integer(accepted / 8 + 1) + ",\"Accepted\":" + Integer(accepted)
        + ",\"Rejected\":" + Integer(accepted / 250) + ",\"Hardware Errors\":" + Integer(accepted / 900)
        + ",\"Utility\":"
        + Real(miner.elapsedSeconds > 0
                ? static_cast<double>(accepted) * 60.0 / static_cast<double>(miner.elapsedSeconds)
                : 0.0)
        + ",\"Stale\":0,\"Best Share\":" + Integer(accepted * 37 + 1024);
}

std::string DevsArray(const MinerView& miner)
{
    const int chains = miner.chains > 0 ? miner.chains : 1;
    std::string devs = "[";
    for (int i = 0; i < chains; ++i)
    {
        const std::int64_t accepted = Accepted(miner) / chains;
        devs += (i > 0 ? "," : "");
        devs += "{\"PGA\":" + Integer(i) + ",\"Name\":" + Quote(kDeviceName) + ",\"ID\":" + Integer(i)
            + ",\"Enabled\":\"Y\",\"Status\":\"Alive\",\"Temperature\":" + Real(miner.temperature + i)
            + ",\"MHS av\":" + Real(miner.mhsAv / chains) + ",\"Accepted\":" + Integer(accepted)
            + ",\"Rejected\":" + Integer(accepted / 250) + ",\"Hardware Errors\":" + Integer(accepted / 900)
            + ",\"Device Elapsed\":" + Integer(miner.elapsedSeconds) + "}";
    }
    return devs + "]";
}

// A priority that is not a number, of the three kinds in turn.
std::string OddPriority(std::size_t index)
{
    switch (index % 3)
    {
    case 0:
        return "\"" + Integer(static_cast<std::int64_t>(index)) + "\"";
    case 1:
        return "[" + Integer(static_cast<std::int64_t>(index)) + "]";
    default:
        return "{\"value\":" + Integer(static_cast<std::int64_t>(index)) + "}";
    }
}

std::string PoolsArray(const MinerView& miner, bool oddPriority)
{
    std::string pools = "[";
    for (std::size_t i = 0; i < miner.pools.size(); ++i)
    {
        const PoolEntry& pool = miner.pools[i];
        // The first pool is the one mining; the others stand by.
        const std::int64_t accepted = i == 0 ? Accepted(miner) : 0;
        pools += (i > 0 ? "," : "");
        pools += "{\"POOL\":" + Integer(static_cast<std::int64_t>(i)) + ",\"URL\":" + Quote(pool.url)
            + ",\"Status\":\"Alive\",\"Priority\":"
            + (oddPriority ? OddPriority(i) : Integer(static_cast<std::int64_t>(i))) + ",\"Quota\":1,\"Getworks\":"
            + Integer(accepted / 8) + ",\"Accepted\":" + Integer(accepted) + ",\"Rejected\":" + Integer(accepted / 250)
            + ",\"Stale\":0,\"User\":" + Quote(pool.user) + ",\"Stratum Active\":" + (i == 0 ? "true" : "false") + "}";
    }
    return pools + "]";
}

// A value inside kDeepNesting arrays.
std::string Nested(const std::string& value)
{
    return std::string(kDeepNesting, '[') + value + std::string(kDeepNesting, ']');
}

std::string VersionArray(const MinerView& miner)
{
    const auto space = miner.description.rfind(' ');
    const std::string_view number
        = space == std::string_view::npos ? miner.description : miner.description.substr(space + 1);
    return "[{\"Miner\":" + Quote(number) + ",\"API\":\"3.1\"}]";
}

// The same answer in the older "key=value,...|" form that some mining
// software gives when asked without JSON.
std::string PipeForm(const MinerView& miner, std::int64_t when)
{
    return "STATUS=S,When=" + Integer(when) + ",Code=" + Integer(kCodeSummary)
        + ",Msg=Summary,Description=" + std::string(miner.description)
        + "|SUMMARY,Elapsed=" + Integer(miner.elapsedSeconds) + ",MHS av=" + Real(miner.mhsAv) + "|";
}

} // namespace

bool IsCompleteApiRequest(std::string_view received)
{
    Json::Value root;
    return ParseJson(received, &root);
}

std::optional<TemperatureLimits> ParseTemperatureLimits(std::string_view parameter)
{
    const auto comma = parameter.find(',');
    if (comma == std::string_view::npos)
    {
        return std::nullopt;
    }
    const auto number = [](std::string_view text) -> std::optional<std::int32_t>
    {
        const std::string copy(text);
        if (copy.empty())
        {
            return std::nullopt;
        }
        errno = 0;
        char* end = nullptr;
        const long value = std::strtol(copy.c_str(), &end, 10);
        if (errno != 0 || end != copy.c_str() + copy.size() || value < -1000 || value > 1000)
        {
            return std::nullopt;
        }
        return static_cast<std::int32_t>(value);
    };
    const auto low = number(parameter.substr(0, comma));
    const auto high = number(parameter.substr(comma + 1));
    if (!low || !high || *low > *high)
    {
        return std::nullopt;
    }
    return TemperatureLimits { *low, *high };
}

ApiOutcome ComposeApiReply(
    std::string_view request, ApiMode mode, const MinerView& miner, std::int64_t unixTime, bool appendNul)
{
    ApiOutcome outcome;
    switch (mode)
    {
    case ApiMode::Silent:
        outcome.action = ApiAction::Silent;
        return outcome;
    case ApiMode::Off: // never accepts; a connection that got through anyway is held
        outcome.action = ApiAction::Silent;
        return outcome;
    case ApiMode::Close:
    case ApiMode::Refuse: // has no listener; a connection that got through anyway is closed
        outcome.action = ApiAction::Close;
        return outcome;
    case ApiMode::Reset:
        outcome.action = ApiAction::Reset;
        return outcome;
    case ApiMode::NotJson:
        outcome.reply = PipeForm(miner, unixTime);
        if (appendNul)
        {
            outcome.reply += '\0';
        }
        return outcome;
    default:
        break;
    }

    const Request parsed = ReadRequest(request);
    bool success = true;
    int code = 0;
    std::string message;
    std::string section;
    if (!parsed.valid)
    {
        success = false;
        code = kCodeInvalidJson;
        message = "Invalid JSON request";
    }
    else if (parsed.command.empty())
    {
        success = false;
        code = kCodeMissingCommand;
        message = "Missing command";
    }
    else if (parsed.command == "summary")
    {
        code = kCodeSummary;
        message = "Summary";
        const std::string fields = SummaryFields(miner, mode == ApiMode::MhsInteger);
        section = mode == ApiMode::SummaryObject ? "\"SUMMARY\":{" + fields + "}"
            : mode == ApiMode::Deep              ? "\"SUMMARY\":" + Nested("{" + fields + "}")
                                                 : "\"SUMMARY\":[{" + fields + "}]";
    }
    else if (parsed.command == "devs")
    {
        code = kCodeDevs;
        message = std::to_string(miner.chains) + " device(s)";
        section = "\"DEVS\":" + DevsArray(miner);
    }
    else if (parsed.command == "pools")
    {
        code = kCodePools;
        message = std::to_string(miner.pools.size()) + " pool(s)";
        const std::string pools = PoolsArray(miner, mode == ApiMode::PriorityOdd);
        section = mode == ApiMode::PoolsObject ? "\"POOLS\":{\"POOL\":" + pools + "}"
            : mode == ApiMode::Deep            ? "\"POOLS\":" + Nested(pools)
                                               : "\"POOLS\":" + pools;
    }
    else if (parsed.command == "version")
    {
        code = kCodeVersion;
        message = "Version";
        section = "\"VERSION\":" + VersionArray(miner);
    }
    else if (parsed.command == "pgasetwarnsafe")
    {
        outcome.newLimits = ParseTemperatureLimits(parsed.parameter);
        success = outcome.newLimits.has_value();
        code = success ? kCodeWarnSafe : kCodeInvalidParameter;
        message = success ? "Temperature limits set to " + parsed.parameter : "Invalid parameter";
    }
    else
    {
        success = false;
        code = kCodeInvalidCommand;
        message = "Invalid command";
    }

    std::string body = "{";
    if (mode != ApiMode::NoStatus)
    {
        body += StatusArray(success, unixTime, code, message, miner.description);
    }
    if (!section.empty())
    {
        body += (body.size() > 1 ? "," : "") + section;
    }
    body += std::string(body.size() > 1 ? "," : "") + "\"id\":1}";
    outcome.reply = std::move(body);
    if (mode == ApiMode::Huge && outcome.reply.size() < kHugeReplySize)
    {
        // Blanks after the object: still one JSON text, and no NUL anywhere.
        outcome.reply.resize(kHugeReplySize, ' ');
        return outcome;
    }
    if (appendNul)
    {
        outcome.reply += '\0';
    }
    if (mode == ApiMode::Split)
    {
        outcome.firstPiece = outcome.reply.size() / 2;
    }
    return outcome;
}

} // namespace quellis::sim

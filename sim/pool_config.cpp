#include "sim/pool_config.h"

#include "sim/json_reader.h"

namespace quellis::sim
{

namespace
{

constexpr std::string_view kListStart = "{\"pools\":[";
constexpr std::string_view kListEnd = "]}";
constexpr std::string_view kEntryStart = "{\"url\":\"";
constexpr std::string_view kUserMark = "\",\"user\":\"";
constexpr std::string_view kPassMark = "\",\"pass\":\"";
constexpr std::string_view kEntryEnd = "\"}";

std::optional<std::vector<PoolEntry>> ParseAsJson(std::string_view text)
{
    Json::Value root;
    if (!ReadJson(text, Json::CharReaderBuilder(), &root) || !root.isObject())
    {
        return std::nullopt;
    }
    const Json::Value& pools = root["pools"];
    if (!pools.isArray())
    {
        return std::nullopt;
    }
    std::vector<PoolEntry> entries;
    for (Json::ArrayIndex i = 0; i < pools.size(); ++i)
    {
        const Json::Value& pool = pools[i];
        if (!pool.isObject())
        {
            return std::nullopt;
        }
        PoolEntry entry;
        for (const auto& [name, field] :
            { std::pair { "url", &entry.url }, std::pair { "user", &entry.user }, std::pair { "pass", &entry.pass } })
        {
            const Json::Value& value = pool[name];
            if (!value.isNull() && !value.isString())
            {
                return std::nullopt;
            }
            *field = value.isString() ? value.asString() : std::string();
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

// The tool's own shape read by its fixed separators. A value ends at the
// separator that the shape puts after it; a password ends at the "} that is
// followed by the next entry or by the end of the list.
std::optional<std::vector<PoolEntry>> ParseToolShape(std::string_view text)
{
    if (!text.starts_with(kListStart) || !text.ends_with(kListEnd))
    {
        return std::nullopt;
    }
    const std::string_view body = text.substr(kListStart.size(), text.size() - kListStart.size() - kListEnd.size());
    std::vector<PoolEntry> entries;
    std::size_t position = 0;
    while (position < body.size())
    {
        if (body.substr(position, kEntryStart.size()) != kEntryStart)
        {
            return std::nullopt;
        }
        position += kEntryStart.size();
        const std::size_t user = body.find(kUserMark, position);
        if (user == std::string_view::npos)
        {
            return std::nullopt;
        }
        const std::size_t pass = body.find(kPassMark, user + kUserMark.size());
        if (pass == std::string_view::npos)
        {
            return std::nullopt;
        }
        std::size_t end = pass + kPassMark.size();
        for (;; ++end)
        {
            end = body.find(kEntryEnd, end);
            if (end == std::string_view::npos)
            {
                return std::nullopt;
            }
            const std::size_t after = end + kEntryEnd.size();
            if (after == body.size() || body.substr(after, 1 + kEntryStart.size()) == "," + std::string(kEntryStart))
            {
                break;
            }
        }
        entries.push_back({ std::string(body.substr(position, user - position)),
            std::string(body.substr(user + kUserMark.size(), pass - user - kUserMark.size())),
            std::string(body.substr(pass + kPassMark.size(), end - pass - kPassMark.size())) });
        position = end + kEntryEnd.size();
        if (position < body.size())
        {
            ++position; // the ',' between entries
        }
    }
    return entries;
}

} // namespace

std::optional<std::vector<PoolEntry>> ParsePoolText(std::string_view text)
{
    if (const auto nul = text.find('\0'); nul != std::string_view::npos)
    {
        text = text.substr(0, nul);
    }
    auto entries = ParseAsJson(text);
    if (!entries)
    {
        entries = ParseToolShape(text);
    }
    if (!entries)
    {
        return std::nullopt;
    }
    // A disabled row arrives as an entry with every text empty; a miner has
    // no pool there.
    std::erase_if(*entries, [](const PoolEntry& entry) { return entry.url.empty(); });
    return entries;
}

} // namespace quellis::sim

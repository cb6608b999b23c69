#include "cli/selection.h"

#include "cli/json_array.h"
#include "platform/net/ipv4.h"

#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <memory>
#include <sstream>

namespace quellis::cli
{

namespace
{

std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (;;)
    {
        const std::size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
        {
            return pieces;
        }
        start = end + 1;
    }
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    {
        text.remove_suffix(1);
    }
    return text;
}

std::string Lower(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower;
}

// One machine named by an address or a MAC.
bool AddOne(std::string_view text, Selection& selection, std::string* error)
{
    text = Trim(text);
    if (IsDottedAddress(text))
    {
        selection.ips.insert(std::string(text));
        return true;
    }
    const std::string mac = NormaliseMac(text);
    if (!mac.empty())
    {
        selection.macs.insert(mac);
        return true;
    }
    if (error != nullptr)
    {
        *error = "not an address or a MAC: " + std::string(text);
    }
    return false;
}

// A CSV line split at commas outside quotes.
std::vector<std::string> CsvFields(std::string_view line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i)
    {
        const char c = line[i];
        if (quoted)
        {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"')
            {
                fields.back() += '"';
                ++i;
            }
            else if (c == '"')
            {
                quoted = false;
            }
            else
            {
                fields.back() += c;
            }
        }
        else if (c == '"')
        {
            quoted = true;
        }
        else if (c == ',')
        {
            fields.emplace_back();
        }
        else if (c != '\r')
        {
            fields.back() += c;
        }
    }
    return fields;
}

bool AddFromJson(std::string_view text, Selection& selection, std::string* error)
{
    const std::optional<Json::Value> root = ReadJsonArray(text);
    if (!root)
    {
        if (error != nullptr)
        {
            *error = "not a JSON array of machines";
        }
        return false;
    }
    for (const Json::Value& machine : *root)
    {
        const bool hasMac = machine.isObject() && machine["mac"].isString();
        const bool hasIp = machine.isObject() && machine["ip"].isString();
        if (!hasMac && !hasIp)
        {
            if (error != nullptr)
            {
                *error = "a JSON machine without \"mac\" or \"ip\"";
            }
            return false;
        }
        // The MAC names a machine whatever its address is now.
        if (!AddOne(hasMac ? machine["mac"].asString() : machine["ip"].asString(), selection, error))
        {
            return false;
        }
    }
    return true;
}

} // namespace

bool Selection::Matches(std::string_view ip, std::string_view mac) const
{
    return all || macs.contains(std::string(mac)) || ips.contains(std::string(ip));
}

std::string NormaliseMac(std::string_view text)
{
    std::string mac;
    for (const char c : text)
    {
        if (c == ':' || c == '-')
        {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c)))
        {
            return {};
        }
        mac += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return mac.size() == 12 ? mac : std::string();
}

bool IsDottedAddress(std::string_view text)
{
    const auto pieces = Split(text, '.');
    if (pieces.size() != 4)
    {
        return false;
    }
    for (const std::string_view piece : pieces)
    {
        if (piece.empty() || piece.size() > 3
            || !std::all_of(
                piece.begin(), piece.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })
            || std::stoi(std::string(piece)) > 255)
        {
            return false;
        }
    }
    return true;
}

bool AddMacs(std::string_view values, Selection& selection, std::string* error)
{
    for (const std::string_view value : Split(values, ','))
    {
        const std::string mac = NormaliseMac(Trim(value));
        if (mac.empty())
        {
            if (error != nullptr)
            {
                *error = "not a MAC address: " + std::string(value);
            }
            return false;
        }
        selection.macs.insert(mac);
    }
    return true;
}

bool AddIps(std::string_view values, Selection& selection, std::string* error)
{
    for (std::string_view value : Split(values, ','))
    {
        value = Trim(value);
        // A range: FIRST-LAST, or FIRST-N for the last number only.
        if (const std::size_t dash = value.find('-'); dash != std::string_view::npos)
        {
            const std::string_view from = value.substr(0, dash);
            std::string to(value.substr(dash + 1));
            if (IsDottedAddress(from) && !to.empty() && to.find('.') == std::string::npos)
            {
                to = std::string(from.substr(0, from.rfind('.') + 1)) + to;
            }
            const auto first = IsDottedAddress(from) ? net::ParseIpv4(from) : std::nullopt;
            const auto last = IsDottedAddress(to) ? net::ParseIpv4(to) : std::nullopt;
            // value_or keeps GCC's -O3 from taking the unset optional as read.
            const std::uint32_t low = first.value_or(1);
            const std::uint32_t high = last.value_or(0);
            if (!first || !last || high < low || high - low >= kMostInRange)
            {
                if (error != nullptr)
                {
                    *error = "not an address range (at most 65536 addresses): " + std::string(value);
                }
                return false;
            }
            for (std::uint32_t address = low;; ++address)
            {
                selection.ips.insert(net::FormatIpv4(address));
                if (address == high)
                {
                    break;
                }
            }
            continue;
        }
        if (!IsDottedAddress(value))
        {
            if (error != nullptr)
            {
                *error = "not an IPv4 address: " + std::string(value);
            }
            return false;
        }
        selection.ips.insert(std::string(value));
    }
    return true;
}

bool AddFromText(std::string_view text, Selection& selection, std::string* error)
{
    const std::string_view body = Trim(text);
    if (body.starts_with('['))
    {
        return AddFromJson(body, selection, error);
    }
    auto lines = Split(body, '\n');
    if (lines.empty())
    {
        return true;
    }
    // A CSV written by `search`: its header names the columns.
    const std::vector<std::string> header = CsvFields(Trim(lines.front()));
    int macColumn = -1;
    int ipColumn = -1;
    for (std::size_t i = 0; i < header.size(); ++i)
    {
        const std::string name = Lower(Trim(header[i]));
        macColumn = name == "mac" ? static_cast<int>(i) : macColumn;
        ipColumn = name == "ip" ? static_cast<int>(i) : ipColumn;
    }
    const bool csv = macColumn >= 0 || ipColumn >= 0;
    for (std::size_t i = csv ? 1 : 0; i < lines.size(); ++i)
    {
        const std::string_view line = Trim(lines[i]);
        if (line.empty() || line.starts_with('#'))
        {
            continue;
        }
        if (!csv)
        {
            if (!AddOne(line, selection, error))
            {
                return false;
            }
            continue;
        }
        const std::vector<std::string> fields = CsvFields(line);
        const auto field = [&](int column)
        {
            return column >= 0 && column < static_cast<int>(fields.size()) ? fields[static_cast<std::size_t>(column)]
                                                                           : std::string();
        };
        const std::string mac = field(macColumn);
        if (!AddOne(mac.empty() ? field(ipColumn) : mac, selection, error))
        {
            return false;
        }
    }
    return true;
}

bool AddFromFile(const std::string& path, Selection& selection, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        if (error != nullptr)
        {
            *error = "cannot read " + path;
        }
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return AddFromText(text.str(), selection, error);
}

} // namespace quellis::cli

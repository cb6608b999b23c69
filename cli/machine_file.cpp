#include "cli/machine_file.h"

#include "cli/json_array.h"
#include "cli/selection.h"
#include "platform/net/ipv4.h"

#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace quellis::cli
{

namespace
{

std::string_view Trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
    {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// A CSV line split at commas outside quotes, "" inside quotes one quote.
std::vector<std::string> SplitCsv(std::string_view line)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i)
    {
        const char c = line[i];
        if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"')
        {
            fields.back() += '"';
            ++i;
        }
        else if (c == '"')
        {
            quoted = !quoted;
        }
        else if (c == ',' && !quoted)
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

std::string Lower(std::string_view text)
{
    std::string lower(Trim(text));
    std::transform(
        lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

bool AddMachine(std::string_view ip,
    std::string_view mac,
    std::string_view version,
    std::string_view host,
    std::vector<poller::MachineInfo>* machines,
    std::string* error)
{
    const std::string_view dotted = Trim(ip);
    if (!IsDottedAddress(dotted))
    {
        *error = "not an address: " + std::string(dotted.substr(0, 40));
        return false;
    }
    poller::MachineInfo info;
    info.address = *net::ParseIpv4(dotted);
    info.mac = NormaliseMac(Trim(mac));
    info.version = Trim(version);
    info.host = Trim(host);
    machines->push_back(std::move(info));
    return true;
}

bool ReadJson(std::string_view text, std::vector<poller::MachineInfo>* machines, std::string* error)
{
    const std::optional<Json::Value> root = ReadJsonArray(text);
    if (!root)
    {
        *error = "not a JSON array of machines";
        return false;
    }
    const auto member = [](const Json::Value& machine, const char* name)
    { return machine.isObject() && machine[name].isString() ? machine[name].asString() : std::string(); };
    for (const Json::Value& machine : *root)
    {
        if (!AddMachine(member(machine, "ip"),
                member(machine, "mac"),
                member(machine, "version"),
                member(machine, "host_name"),
                machines,
                error))
        {
            return false;
        }
    }
    return true;
}

} // namespace

bool ReadMachineFile(std::string_view text, std::vector<poller::MachineInfo>* machines, std::string* error)
{
    machines->clear();
    const std::string_view content = Trim(text);
    if (!content.empty() && content.front() == '[')
    {
        if (!ReadJson(content, machines, error))
        {
            return false;
        }
    }
    else
    {
        // The columns of a CSV header line; without one, a line is an address.
        int ip = -1;
        int mac = -1;
        int version = -1;
        int host = -1;
        bool first = true;
        while (!text.empty())
        {
            const std::size_t end = text.find('\n');
            const std::string_view line = Trim(text.substr(0, end));
            text = end == std::string_view::npos ? std::string_view {} : text.substr(end + 1);
            if (line.empty() || line.front() == '#')
            {
                continue;
            }
            const std::vector<std::string> fields = SplitCsv(line);
            if (first && !IsDottedAddress(Trim(fields[0])))
            {
                for (std::size_t i = 0; i < fields.size(); ++i)
                {
                    const std::string name = Lower(fields[i]);
                    int* column = name == "ip" ? &ip
                        : name == "mac"        ? &mac
                        : name == "version"    ? &version
                        : name == "host name"  ? &host
                                               : nullptr;
                    if (column != nullptr)
                    {
                        *column = static_cast<int>(i);
                    }
                }
                first = false;
                if (ip < 0)
                {
                    *error = "a CSV without an \"IP\" column";
                    return false;
                }
                continue;
            }
            first = false;
            const auto field = [&](int column)
            {
                return column >= 0 && static_cast<std::size_t>(column) < fields.size()
                    ? std::string_view(fields[static_cast<std::size_t>(column)])
                    : std::string_view {};
            };
            if (!AddMachine(ip < 0 ? line : field(ip), field(mac), field(version), field(host), machines, error))
            {
                return false;
            }
        }
    }
    if (machines->empty())
    {
        *error = "no machine in the file";
        return false;
    }
    return true;
}

} // namespace quellis::cli

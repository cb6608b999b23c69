#include "cli/commands.h"
#include "cli/option_checks.h"
#include "cli/output.h"
#include "cli/run.h"
#include "cli/session.h"
#include "discovery/device_table.h"
#include "platform/net/ipv4.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace quellis::cli
{

namespace
{

// "NETMASK,IPBEGIN,IPEND" as config.ini's three keys; -1 switches a test off.
std::optional<discovery::ReceiveFilter> ParseFilter(const std::string& text)
{
    discovery::ReceiveFilter filter;
    int* fields[] = { &filter.netmask, &filter.ipBegin, &filter.ipEnd };
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i)
    {
        const std::size_t comma = text.find(',', start);
        if ((i < 2) == (comma == std::string::npos))
        {
            return std::nullopt;
        }
        const std::string piece = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        char* end = nullptr;
        const long value = std::strtol(piece.c_str(), &end, 10);
        if (piece.empty() || *end != '\0' || value < -1 || value > 255)
        {
            return std::nullopt;
        }
        *fields[i] = static_cast<int>(value);
        start = comma + 1;
    }
    return filter;
}

struct SearchOptions
{
    CommonOptions common; // the wait, the format and the ranges
    discovery::ReceiveFilter filter;
};

int RunSearch(SearchOptions& options)
{
    const std::optional<discovery::ScanSettings>& scan = options.common.scan;
    const Format format = options.common.format;
    Session session(DefaultConfigPath());
    std::string error;
    if (!session.Open(options.filter, false, &error))
    {
        std::fprintf(stderr, "quellis-cli search: %s\n", error.c_str());
        return kExitSomeFailed;
    }
    session.Discovery().SetScan(scan);
    session.Search(std::chrono::milliseconds(static_cast<long long>(options.common.waitSeconds * 1000)));
    const auto rows = session.Window().Rows();
    std::vector<int> order(rows.size());
    for (std::size_t i = 0; i < order.size(); ++i)
    {
        order[i] = static_cast<int>(i);
    }
    // By address, in the usual order of the four numbers; rows without a
    // valid address last.
    const auto key = [&](int row)
    {
        const auto address = net::ParseIpv4(rows[static_cast<std::size_t>(row)][discovery::kColumnIp]);
        return address ? static_cast<std::uint64_t>(*address) : (1ull << 32);
    };
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return key(a) < key(b); });

    Results results;
    const bool table = format == Format::Table;
    results.columns = { { "Index", "index", true },
        { "IP", "ip" },
        { "Mask", "mask" },
        { "Gateway", "gateway" },
        { "MAC", "mac" },
        { "Run time", "run_time" } };
    if (!table)
    {
        results.columns.push_back({ "Run seconds", "run_seconds", true });
    }
    results.columns.insert(results.columns.end(),
        { { "Temperature", "temperature", true }, { "Version", "version" }, { "Host name", "host_name" } });
    // Only with ranges: the output of a search of the local segment stays as it was.
    if (scan)
    {
        results.columns.push_back({ "Segment", "segment" });
    }
    for (const int row : order)
    {
        const auto& cells = rows[static_cast<std::size_t>(row)];
        std::vector<std::string> out(cells.begin(), cells.begin() + 6);
        if (!table)
        {
            const std::int32_t seconds = session.Window().RunSeconds(row);
            out.push_back(seconds >= 0 ? std::to_string(seconds) : std::string());
        }
        out.insert(out.end(), cells.begin() + 6, cells.end());
        if (scan)
        {
            out.push_back(session.State().remoteRows.SegmentOf(cells[discovery::kColumnIp]).value_or("local"));
        }
        results.rows.push_back(std::move(out));
    }
    session.Close();
    Print(results, format, stdout);
    if (table)
    {
        std::fprintf(stderr, "%zu machines found\n", rows.size());
    }
    return kExitOk;
}

} // namespace

Declared DeclareSearch(CLI::App& app)
{
    auto options = std::make_shared<SearchOptions>();
    DeclareScan(app, options->common);
    app.add_option("--wait", options->common.waitSeconds)->check(Seconds(0, 3600, "--wait takes seconds (0 to 3600)"));
    app.add_option("--format", options->common.format)->transform(FormatName());
    app.add_option_function<std::string>(
           "--filter", [options](const std::string& text) { options->filter = *ParseFilter(text); })
        ->check(Checked([](const std::string& text) { return ParseFilter(text) ? std::optional(text) : std::nullopt; },
            "--filter is NETMASK,IPBEGIN,IPEND (each -1 to 255)"));
    return { [options]
        {
            std::string error;
            ParseScan(options->common.ranges, options->common.rate, options->common.scan, &error);
            return error;
        },
        [options] { return RunSearch(*options); } };
}

} // namespace quellis::cli

// The Prometheus exporter: the farm poller over the machines of a file or of
// address ranges, or over the machines repeated searches find, and the
// metrics served over HTTP, until SIGTERM or Ctrl-C. With a file or ranges it
// polls over TCP only and binds no UDP port, so the window and the other
// commands keep the host's search port; a search holds that port only for its
// wait.
#include "cli/commands.h"
#include "cli/machine_file.h"
#include "cli/polled_monitor.h"
#include "cli/run.h"
#include "cli/selection.h"
#include "cli/session.h"
#include "discovery/device_table.h"
#include "exporter/metrics_server.h"
#include "exporter/prometheus_text.h"
#include "platform/net/socket.h"
#include "poller/machine_poller.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

namespace quellis::cli
{

namespace
{

constexpr const char* kName = "quellis-cli exporter";
// A file of more than this is not a list of machines.
constexpr std::streamsize kLongestFile = 64 * 1024 * 1024;

std::atomic<bool> stopRequested { false };

void OnStopSignal(int)
{
    stopRequested = true;
}

int Usage(const std::string& error)
{
    std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return kExitUsage;
}

// "ADDRESS:PORT" with a dotted address.
std::optional<net::Endpoint> ParseListen(const std::string& text)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || !IsDottedAddress(text.substr(0, colon)))
    {
        return std::nullopt;
    }
    const auto port = ParseWholeNumber(text.substr(colon + 1), 0, 0, 65535);
    if (!port)
    {
        return std::nullopt;
    }
    return net::Endpoint { *net::ParseIpv4(text.substr(0, colon)), static_cast<std::uint16_t>(*port) };
}

bool ReadFile(const std::string& path, std::vector<poller::MachineInfo>* machines, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        *error = "cannot read " + path;
        return false;
    }
    std::string text(static_cast<std::size_t>(kLongestFile) + 1, '\0');
    file.read(text.data(), kLongestFile + 1);
    if (file.gcount() > kLongestFile)
    {
        *error = path + " is too long for a list of machines";
        return false;
    }
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (!ReadMachineFile(text, machines, error))
    {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

// One search of the local segment: the machines that answered it, with what
// their records tell. The session is opened for the search only, so that
// between searches the search port is free for the window and the other
// commands of this host.
bool SearchOnce(std::chrono::milliseconds wait,
    const std::optional<discovery::ScanSettings>& scan,
    std::vector<poller::MachineInfo>* machines,
    std::string* error)
{
    Session session(DefaultConfigPath());
    if (!session.Open(discovery::ReceiveFilter {}, false, error))
    {
        return false;
    }
    session.Discovery().SetScan(scan);
    session.Search(wait, &stopRequested);
    const auto rows = session.Window().Rows();
    const auto seen
        = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    for (std::size_t row = 0; row < rows.size(); ++row)
    {
        const auto& cells = rows[row];
        const auto address = net::ParseIpv4(cells[discovery::kColumnIp]);
        if (!address)
        {
            continue;
        }
        poller::MachineInfo info;
        info.address = *address;
        info.mac = NormaliseMac(cells[discovery::kColumnMac]);
        info.version = cells[discovery::kColumnVersion];
        info.host = cells[discovery::kColumnHostName];
        char* end = nullptr;
        const std::string& temperature = cells[discovery::kColumnTemperature];
        const double degrees = std::strtod(temperature.c_str(), &end);
        if (!temperature.empty() && *end == '\0')
        {
            info.temperature = degrees;
        }
        if (const std::int32_t runSeconds = session.Window().RunSeconds(static_cast<int>(row)); runSeconds >= 0)
        {
            info.uptimeSeconds = runSeconds;
        }
        info.lastSeenUnix = seen;
        machines->push_back(std::move(info));
    }
    session.Close();
    return true;
}

// One line per change of a machine's state, on standard error (the journal
// of a service).
void PrintEvent(const poller::StateEvent& event)
{
    std::fputs(StateEventLine(event).c_str(), stderr);
}

} // namespace

int RunExporter(Arguments& arguments)
{
    const auto listenText = arguments.Value("listen");
    const auto fromPath = arguments.Value("from");
    const std::vector<std::string> ranges = arguments.Values("ip");
    const auto concurrency = ParseWholeNumber(arguments.Value("concurrency"), 256, 1, 4096);
    const auto period = ParseWholeNumber(arguments.Value("period"), 10, 1, 86400);
    const auto grace = ParseWholeNumber(arguments.Value("grace"), 2, 1, 100);
    const auto apiPort = ParseWholeNumber(arguments.Value("api-port"), poller::kMinerApiPort, 1, 65535);
    const auto searchEvery = ParseWholeNumber(arguments.Value("search-every"), 60, 5, 86400);
    const auto wait = ParseWholeNumber(arguments.Value("wait"), 3, 1, 60);
    std::optional<discovery::ScanSettings> scan;
    if (std::string error; !ParseScan(arguments, scan, &error))
    {
        return Usage(error);
    }
    if (const std::string error = arguments.Error(); !error.empty())
    {
        return Usage(error);
    }
    const auto listen = ParseListen(listenText.value_or("127.0.0.1:9469"));
    if (!listen || !concurrency || !period || !grace || !apiPort || !searchEvery || !wait)
    {
        return Usage(!listen   ? "--listen is ADDRESS:PORT, for example 127.0.0.1:9469"
                : !concurrency ? "--concurrency takes 1 to 4096"
                : !period      ? "--period takes seconds, 1 to 86400"
                : !grace       ? "--grace takes 1 to 100 failed polls"
                : !apiPort     ? "--api-port takes 1 to 65535"
                : !searchEvery ? "--search-every takes seconds, 5 to 86400"
                               : "--wait takes seconds, 1 to 60");
    }
    // Without a file or ranges the machines come from searches, which --range
    // extends behind routers.
    const bool searching = !fromPath && ranges.empty();
    if (scan && !searching)
    {
        return Usage("--range scans with each search: give it without --from and --ip");
    }

    std::vector<poller::MachineInfo> machines;
    std::string error;
    if (fromPath && !ReadFile(*fromPath, &machines, &error))
    {
        std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
        return kExitSomeFailed;
    }
    Selection selection;
    for (const std::string& range : ranges)
    {
        if (!AddIps(range, selection, &error))
        {
            return Usage(error);
        }
    }
    for (const std::string& ip : selection.ips)
    {
        poller::MachineInfo info;
        info.address = *net::ParseIpv4(ip);
        machines.push_back(std::move(info));
    }

    // The poller's connections and the scrapers' together.
    net::RaiseSocketLimit();
    poller::PollerOptions options;
    options.port = static_cast<std::uint16_t>(*apiPort);
    options.concurrency = static_cast<int>(*concurrency);
    options.period = std::chrono::seconds(*period);
    options.grace = static_cast<int>(*grace);
    poller::MachinePoller poller(options, PrintEvent);
    poller.Update(machines);

    exporter::ServerOptions serverOptions;
    serverOptions.listen = *listen;
    exporter::MetricsServer server(serverOptions, [&] { return exporter::RenderMetrics(poller.Snapshot()); });
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    if (!server.Start(&error))
    {
        std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
        return kExitSomeFailed;
    }
    if (!poller.Start())
    {
        std::fprintf(stderr, "%s: the poller cannot start\n", kName);
        return kExitSomeFailed;
    }
    const std::size_t count = poller.Snapshot().machines.size();
    if (searching)
    {
        std::fprintf(stderr,
            "%s: serving http://%s:%u/metrics, searching every %lds and polling the machines found every %lds\n",
            kName,
            net::FormatIpv4(listen->address).c_str(),
            static_cast<unsigned>(server.Port()),
            *searchEvery,
            *period);
        if (scan)
        {
            std::fprintf(stderr,
                "%s: each search also scans %llu addresses at %d per second\n",
                kName,
                static_cast<unsigned long long>(discovery::AddressCount(scan->ranges)),
                scan->rate);
        }
    }
    else
    {
        std::fprintf(stderr,
            "%s: serving http://%s:%u/metrics, polling %zu machines every %lds\n",
            kName,
            net::FormatIpv4(listen->address).c_str(),
            static_cast<unsigned>(server.Port()),
            count,
            *period);
    }
    auto nextSearch = std::chrono::steady_clock::now();
    while (!stopRequested)
    {
        if (searching && std::chrono::steady_clock::now() >= nextSearch)
        {
            // Machines a search no longer finds stay polled: the poller keeps
            // them, and their last-seen time stops moving.
            std::vector<poller::MachineInfo> found;
            if (SearchOnce(std::chrono::seconds(*wait), scan, &found, &error))
            {
                poller.Update(found);
                std::fprintf(stderr, "%s: %zu machines answered the search\n", kName, found.size());
            }
            else
            {
                std::fprintf(stderr, "%s: no search this time: %s\n", kName, error.c_str());
            }
            nextSearch = std::chrono::steady_clock::now() + std::chrono::seconds(*searchEvery);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    server.Stop();
    poller.Stop();
    std::fprintf(stderr, "%s: stopped\n", kName);
    return kExitOk;
}

} // namespace quellis::cli

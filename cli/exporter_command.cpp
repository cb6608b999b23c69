// The Prometheus exporter: the farm poller over the machines of a file or of
// address ranges, or over the machines repeated searches find, and the
// metrics served over HTTP, until SIGTERM or Ctrl-C. With a file or ranges it
// polls over TCP only and binds no UDP port, so the window and the other
// commands keep the host's search port; a search holds that port only for its
// wait.
#include "cli/commands.h"
#include "cli/machine_file.h"
#include "cli/option_checks.h"
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
#include <charconv>
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

// "ADDRESS:PORT" with a dotted address.
std::optional<net::Endpoint> ParseListen(const std::string& text)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || !IsDottedAddress(text.substr(0, colon)))
    {
        return std::nullopt;
    }
    const std::string portText = text.substr(colon + 1);
    std::uint16_t port = 0;
    const char* end = portText.data() + portText.size();
    const auto [stop, error] = std::from_chars(portText.data(), end, port);
    if (portText.empty() || error != std::errc() || stop != end)
    {
        return std::nullopt;
    }
    return net::Endpoint { *net::ParseIpv4(text.substr(0, colon)), port };
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

struct ExporterOptions
{
    std::string listen = "127.0.0.1:9469";
    std::optional<std::string> fromPath;
    std::vector<std::string> ranges;
    PolledMonitorOptions polled { 256, 10, 2 };
    long apiPort = poller::kMinerApiPort;
    long searchEvery = 60;
    long wait = 3;
    CommonOptions searchScan; // --range and --rate: each search also scans these
    std::vector<poller::MachineInfo> named; // the --ip ones, read by the check
    std::optional<discovery::ScanSettings> scan; // read by the check
};

std::string ReadRanges(ExporterOptions& options)
{
    Selection selection;
    std::string error;
    if (!ParseScan(options.searchScan.ranges, options.searchScan.rate, options.scan, &error))
    {
        return error;
    }
    if (options.scan && (options.fromPath || !options.ranges.empty()))
    {
        return "--range scans with each search: give it without --from and --ip";
    }
    for (const std::string& range : options.ranges)
    {
        if (!AddIps(range, selection, &error))
        {
            return error;
        }
    }
    for (const std::string& ip : selection.ips)
    {
        poller::MachineInfo info;
        info.address = *net::ParseIpv4(ip);
        options.named.push_back(std::move(info));
    }
    return {};
}

int RunExporter(const ExporterOptions& given)
{
    const auto listen = ParseListen(given.listen);
    const auto& fromPath = given.fromPath;
    const std::vector<std::string>& ranges = given.ranges;
    const long concurrency = given.polled.concurrency;
    const long period = given.polled.periodSeconds;
    const long grace = given.polled.grace;
    const long apiPort = given.apiPort;
    const long searchEvery = given.searchEvery;
    const long wait = given.wait;
    // Without a file or ranges the machines come from searches, which --range
    // extends behind routers.
    const bool searching = !fromPath && ranges.empty();
    const std::optional<discovery::ScanSettings>& scan = given.scan;

    std::vector<poller::MachineInfo> machines;
    std::string error;
    if (fromPath && !ReadFile(*fromPath, &machines, &error))
    {
        std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
        return kExitSomeFailed;
    }
    machines.insert(machines.end(), given.named.begin(), given.named.end());

    // The poller's connections and the scrapers' together.
    net::RaiseSocketLimit();
    poller::PollerOptions options;
    options.port = static_cast<std::uint16_t>(apiPort);
    options.concurrency = static_cast<int>(concurrency);
    options.period = std::chrono::seconds(period);
    options.grace = static_cast<int>(grace);
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
            searchEvery,
            period);
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
            period);
    }
    auto nextSearch = std::chrono::steady_clock::now();
    while (!stopRequested)
    {
        if (searching && std::chrono::steady_clock::now() >= nextSearch)
        {
            // Machines a search no longer finds stay polled: the poller keeps
            // them, and their last-seen time stops moving.
            std::vector<poller::MachineInfo> found;
            if (SearchOnce(std::chrono::seconds(wait), scan, &found, &error))
            {
                poller.Update(found);
                std::fprintf(stderr, "%s: %zu machines answered the search\n", kName, found.size());
            }
            else
            {
                std::fprintf(stderr, "%s: no search this time: %s\n", kName, error.c_str());
            }
            nextSearch = std::chrono::steady_clock::now() + std::chrono::seconds(searchEvery);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    server.Stop();
    poller.Stop();
    std::fprintf(stderr, "%s: stopped\n", kName);
    return kExitOk;
}

} // namespace

Declared DeclareExporter(CLI::App& app)
{
    auto options = std::make_shared<ExporterOptions>();
    app.add_option("--listen", options->listen)
        ->check(Checked([](const std::string& text) { return ParseListen(text) ? std::optional(text) : std::nullopt; },
            "--listen is ADDRESS:PORT, for example 127.0.0.1:9469"));
    app.add_option_function<std::string>("--from", [options](const std::string& path) { options->fromPath = path; });
    app.add_option("--ip", options->ranges)->allow_extra_args(false);
    DeclarePolledMonitor(app, options->polled);
    app.add_option("--api-port", options->apiPort)->transform(WholeNumber(1, 65535, "--api-port takes 1 to 65535"));
    app.add_option("--search-every", options->searchEvery)
        ->transform(WholeNumber(5, 86400, "--search-every takes seconds, 5 to 86400"));
    app.add_option("--wait", options->wait)->transform(WholeNumber(1, 60, "--wait takes seconds, 1 to 60"));
    DeclareScan(app, options->searchScan);
    return { [options] { return ReadRanges(*options); }, [options] { return RunExporter(*options); } };
}

} // namespace quellis::cli

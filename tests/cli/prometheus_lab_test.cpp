// A real Prometheus in the lab's tool namespace scraping quellis-cli exporter
// every 2 s, over a farm of 1,000 simulated machines on the farm side: what
// Prometheus stores is what the farm does.
#include "tests/net/lab_tool.h"
#include "tests/sim/loopback_tool.h"
#include "tests/support/background_process.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

#include <json/json.h>

#include <cstdio>
#include <thread>

namespace quellis::test
{
namespace
{

constexpr std::uint16_t kExporterPort = 9469;
constexpr std::uint16_t kPrometheusPort = 9090;

std::string UrlEncode(std::string_view text)
{
    std::string encoded;
    for (const char c : text)
    {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')
        {
            encoded += c;
        }
        else
        {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(c));
            encoded += escape;
        }
    }
    return encoded;
}

// The body of a GET on the tool side's loopback, "" when there is no answer.
std::string HttpGet(std::uint16_t port, const std::string& path)
{
    net::Socket socket = net::Socket::Create(net::SocketKind::Tcp);
    if (!socket.Connect({ 0x7F000001, port }, 1000ms) || !socket.SetReceiveTimeout(5000ms))
    {
        return {};
    }
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (socket.Send(request.data(), request.size()) != static_cast<int>(request.size()))
    {
        return {};
    }
    std::string answer;
    char buffer[65536];
    for (int got = 1; got > 0;)
    {
        got = socket.Receive(buffer, sizeof buffer);
        if (got > 0)
        {
            answer.append(buffer, static_cast<std::size_t>(got));
        }
    }
    const std::size_t body = answer.find("\r\n\r\n");
    return answer.rfind("HTTP/1.", 0) == 0 && answer.find(" 200 ") < body ? answer.substr(body + 4) : std::string();
}

// The value of an instant query whose result is one sample; nothing when
// the result is empty or Prometheus does not answer.
std::optional<double> Query(const std::string& expression)
{
    const std::string body = HttpGet(kPrometheusPort, "/api/v1/query?query=" + UrlEncode(expression));
    Json::Value root;
    Json::Reader reader;
    if (body.empty() || !reader.parse(body, root) || root["data"]["result"].size() != 1)
    {
        return std::nullopt;
    }
    return std::strtod(root["data"]["result"][0u]["value"][1u].asCString(), nullptr);
}

// Queries until the value satisfies `done`; the time it took, or nothing.
template <typename Done>
std::optional<std::chrono::milliseconds> WaitForQuery(
    const std::string& expression, std::chrono::milliseconds limit, Done done)
{
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < limit)
    {
        if (const auto value = Query(expression); value && done(*value))
        {
            return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        }
        std::this_thread::sleep_for(250ms);
    }
    return std::nullopt;
}

// The exporter on the test's port, polling every 2 s, with `more` options.
std::vector<std::string> ExporterArguments(std::vector<std::string> more)
{
    std::vector<std::string> arguments {
        QUELLIS_CLI_PATH, "exporter", "--listen", "127.0.0.1:" + std::to_string(kExporterPort), "--period", "2"
    };
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

// The exporter's /metrics once it counts `machines` machines up, or the last
// one read after 20 s.
std::string MetricsOnceUp(int machines)
{
    const std::string up = "quellis_machines{state=\"up\"} " + std::to_string(machines) + "\n";
    std::string metrics;
    for (int attempt = 0; attempt < 40 && metrics.find(up) == std::string::npos; ++attempt)
    {
        std::this_thread::sleep_for(500ms);
        metrics = HttpGet(kExporterPort, "/metrics");
    }
    return metrics;
}

TEST(LabPrometheus, ScrapesTheExporterAndSeesAMachineGoAndComeBack)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 1000;
    config.seed = 18;
    config.scenario.spreadMs = 200;
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    TempDir dir;

    // The machines as search finds them, then the exporter over its file.
    const ProcessResult search = RunProcess({ QUELLIS_CLI_PATH, "search", "--wait", "3", "--format", "csv" });
    ASSERT_EQ(search.status, 0) << search.err;
    dir.Write("machines.csv", search.out);
    BackgroundProcess exporter(
        ExporterArguments({ "--from", (dir / "machines.csv").string() }), (dir / "exporter.log").string());
    ASSERT_TRUE(exporter.Started());

    dir.Write("prometheus.yml",
        "global:\n  scrape_interval: 2s\n  evaluation_interval: 2s\n"
        "scrape_configs:\n  - job_name: quellis\n    static_configs:\n"
        "      - targets: ['127.0.0.1:"
            + std::to_string(kExporterPort) + "']\n");
    BackgroundProcess prometheus({ QUELLIS_PROMETHEUS,
                                     "--config.file=" + (dir / "prometheus.yml").string(),
                                     "--storage.tsdb.path=" + (dir / "data").string(),
                                     "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort) },
        (dir / "prometheus.log").string());
    ASSERT_TRUE(prometheus.Started());

    const auto allUp = WaitForQuery("count(quellis_machine_up == 1)", 60s, [](double up) { return up == 1000; });
    ASSERT_TRUE(allUp) << "machines up: " << Query("count(quellis_machine_up == 1)").value_or(-1) << "\n"
                       << dir.Read("prometheus.log").substr(0, 2000);
    EXPECT_EQ(Query("quellis_machines{state=\"down\"}"), 0);

    const auto& machine = farm->MachineAt(417).identity;
    const std::string selector = "{mac=\"" + machine.mac + "\",ip=\"" + net::FormatIpv4(machine.address) + "\"}";
    EXPECT_EQ(Query("quellis_machine_hashrate_hashes_per_second" + selector), machine.mhsAv * 1e6);

    farm->SwitchOff(417);
    const auto down = WaitForQuery("quellis_machine_up" + selector, 15s, [](double up) { return up == 0; });
    EXPECT_TRUE(down) << "still up 15 s after its API went";
    farm->SwitchOn(417);
    const auto back = WaitForQuery("quellis_machine_up" + selector, 15s, [](double up) { return up == 1; });
    EXPECT_TRUE(back) << "not up 15 s after its API came back";
    EXPECT_EQ(Query("count(quellis_machine_up == 1)"), 1000);
    std::printf("1000 machines up after %lld ms; machine 417 read 0 %lld ms after it went, 1 %lld ms after it "
                "came back\n",
        static_cast<long long>(allUp->count()),
        static_cast<long long>(down.value_or(-1ms).count()),
        static_cast<long long>(back.value_or(-1ms).count()));

    EXPECT_EQ(prometheus.Stop(), 0);
    EXPECT_EQ(exporter.Stop(), 0);
    const std::string log = dir.Read("exporter.log");
    EXPECT_NE(log.find(machine.mac + " up -> down timeout"), std::string::npos) << log.substr(0, 2000);
    EXPECT_NE(log.find(machine.mac + " down -> up"), std::string::npos);
    EXPECT_NE(log.find("quellis-cli exporter: stopped"), std::string::npos);
}

// Without a file or ranges the exporter searches: the machines found are
// served with what their records tell, and between its searches the search
// port is free for the other programs of the host.
TEST(LabPrometheus, TheExporterFindsTheMachinesBySearchAndLeavesTheSearchPortFree)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 20;
    config.seed = 19;
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    TempDir dir;
    BackgroundProcess exporter(ExporterArguments({ "--wait", "2" }), (dir / "exporter.log").string());
    ASSERT_TRUE(exporter.Started());

    const auto& machine = farm->MachineAt(7).identity;
    const std::string selector = "{mac=\"" + machine.mac + "\",ip=\"" + net::FormatIpv4(machine.address) + "\"}";
    const std::string metrics = MetricsOnceUp(20);
    EXPECT_NE(metrics.find("quellis_machines{state=\"up\"} 20"), std::string::npos) << metrics.substr(0, 2000);
    EXPECT_NE(metrics.find("quellis_machine_temperature_celsius" + selector + " "), std::string::npos);
    EXPECT_NE(metrics.find("quellis_machine_last_seen_timestamp_seconds" + selector + " "), std::string::npos);
    EXPECT_NE(metrics.find("quellis_machine_info{mac=\"" + machine.mac), std::string::npos);

    // The next search is a minute away: a search beside the exporter binds.
    const ProcessResult beside = RunProcess({ QUELLIS_CLI_PATH, "search", "--wait", "1", "--format", "csv" });
    EXPECT_EQ(beside.status, 0) << beside.err;
    EXPECT_NE(beside.out.find(net::FormatIpv4(machine.address) + ","), std::string::npos);

    EXPECT_EQ(exporter.Stop(), 0);
    EXPECT_NE(dir.Read("exporter.log").find("20 machines answered the search"), std::string::npos);
}

// --range adds a scan behind the router to each of the exporter's searches:
// the unicast-answering machines there are found and polled beside the local
// ones. With a fixed set of machines there is no search, and it is refused.
TEST(LabPrometheus, TheExportersSearchesAlsoScanRangesBehindTheRouter)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig nearConfig;
    nearConfig.machines = 3;
    nearConfig.seed = 23;
    auto nearFarm = StartLabFarm(*lab, nearConfig);
    ASSERT_TRUE(nearFarm);
    sim::FarmConfig farConfig;
    farConfig.machines = 4;
    farConfig.seed = 24;
    farConfig.strictAddresses = true;
    auto farFarm = StartLabFarm(*lab, farConfig, true);
    ASSERT_TRUE(farFarm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());

    const ProcessResult refused
        = RunProcess({ QUELLIS_CLI_PATH, "exporter", "--ip", "10.78.128.1", "--range", "10.78.128.0/28" });
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("--range scans with each search"), std::string::npos) << refused.err;

    TempDir dir;
    BackgroundProcess exporter(ExporterArguments({ "--wait", "1", "--range", "10.78.128.0/28", "--rate", "5000" }),
        (dir / "exporter.log").string());
    ASSERT_TRUE(exporter.Started());
    const std::string metrics = MetricsOnceUp(7);
    EXPECT_NE(metrics.find("quellis_machines{state=\"up\"} 7"), std::string::npos) << metrics.substr(0, 2000);
    const auto& far = farFarm->MachineAt(2).identity;
    EXPECT_NE(metrics.find("quellis_machine_up{mac=\"" + far.mac + "\",ip=\"" + net::FormatIpv4(far.address) + "\"} 1"),
        std::string::npos);
    EXPECT_EQ(exporter.Stop(), 0);
    const std::string log = dir.Read("exporter.log");
    EXPECT_NE(log.find("each search also scans 16 addresses at 5000 per second"), std::string::npos) << log;
    EXPECT_NE(log.find("7 machines answered the search"), std::string::npos) << log;
}

// monitor --concurrency: the machines found polled all at once, each change
// of state a line; a refusing machine goes down after two polls.
TEST(LabCli, MonitorWithConcurrencyPollsTheMachinesAtOnce)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 200;
    config.seed = 4;
    config.scenario.spreadMs = 50;
    config.scenario.groups = sim::test::Groups({ "indexes=7,api=refuse" });
    auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());

    const ProcessResult monitored = RunProcess({ QUELLIS_CLI_PATH,
        "monitor",
        "--all",
        "--wait",
        "1",
        "--concurrency",
        "16",
        "--period",
        "1",
        "--seconds",
        "4" });
    ASSERT_EQ(monitored.status, 1) << "a machine went down: " << monitored.err;
    const auto& refusing = farm->MachineAt(7).identity;
    EXPECT_NE(monitored.out.find(net::FormatIpv4(refusing.address) + " " + refusing.mac + " unknown -> down refused"),
        std::string::npos)
        << monitored.out.substr(0, 2000);
    std::size_t up = 0;
    for (std::size_t at = monitored.out.find(" unknown -> up\n"); at != std::string::npos;
         at = monitored.out.find(" unknown -> up\n", at + 1))
    {
        ++up;
    }
    EXPECT_EQ(up, 199u);
    EXPECT_NE(monitored.err.find("1 machines went down"), std::string::npos) << monitored.err;
}

} // namespace
} // namespace quellis::test

// The farm poller against a loopback farm of 10,000 machines at concurrency
// 256: the time from switching a machine's API off to the poller's verdict
// (what quellis_machine_up reads at the next scrape), the poller thread's
// CPU, the memory it adds, and one /metrics response, at a period of 10 s and
// of 5 s; beside it, in the same run, the window's sequential monitor at its
// lowest interval noticing a machine switched off at a known row.
//   poller_bench [MACHINES] [CONCURRENCY]
#include "exporter/metrics_server.h"
#include "exporter/prometheus_text.h"
#include "monitor/monitor_controller.h"
#include "platform/net/ipv4.h"
#include "platform/net/socket.h"
#include "poller/machine_poller.h"
#include "resources/templates/monitor_panel_ids.h"
#include "sim/farm.h"
#include "tests/support/fake_window.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

using namespace quellis;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace
{

double Seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

std::set<std::string> Threads()
{
    std::set<std::string> threads;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    {
        threads.insert(entry.path().filename().string());
    }
    return threads;
}

// User and system CPU of one thread of this process, in seconds.
double ThreadCpu(const std::string& tid)
{
    std::ifstream file("/proc/self/task/" + tid + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
    {
        if (i == 14 || i == 15)
        {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ResidentMiB()
{
    std::ifstream file("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    file >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

std::string HttpGet(std::uint16_t port, const std::string& headers)
{
    net::Socket socket = net::Socket::Create(net::SocketKind::Tcp);
    if (!socket.Connect({ 0x7F000001, port }, 2000ms) || !socket.SetReceiveTimeout(10000ms))
    {
        return {};
    }
    const std::string request = "GET /metrics HTTP/1.0\r\n" + headers + "\r\n";
    [[maybe_unused]] const int sent = socket.Send(request.data(), request.size());
    std::string answer;
    std::vector<char> buffer(1 << 20);
    for (int got = 1; got > 0;)
    {
        got = socket.Receive(buffer.data(), buffer.size());
        answer.append(buffer.data(), static_cast<std::size_t>(std::max(got, 0)));
    }
    return answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4));
}

struct PeriodRun
{
    int period = 0;
    std::vector<double> noticed; // s from switch-off to down, per machine
    double cpuShare = 0; // of one core, over two periods
    double pollsPerSecond = 0;
    double memoryMiB = 0;
    int mostInFlight = 0;
    double metricsMs = 0;
    std::size_t metricsBytes = 0;
    double metricsGzipMs = 0;
    std::size_t metricsGzipBytes = 0;
};

PeriodRun RunPoller(sim::Farm& farm, int concurrency, int periodSeconds, const std::vector<int>& switchOff)
{
    PeriodRun run;
    run.period = periodSeconds;
    poller::PollerOptions options;
    options.port = farm.ApiPort();
    options.concurrency = concurrency;
    options.period = std::chrono::seconds(periodSeconds);
    const double memoryBefore = ResidentMiB();
    poller::MachinePoller poller(options);
    std::vector<poller::MachineInfo> machines(static_cast<std::size_t>(farm.MachineCount()));
    for (int i = 0; i < farm.MachineCount(); ++i)
    {
        machines[static_cast<std::size_t>(i)].address = farm.MachineAt(i).identity.address;
        machines[static_cast<std::size_t>(i)].mac = farm.MachineAt(i).identity.mac;
        machines[static_cast<std::size_t>(i)].host = farm.MachineAt(i).identity.name;
        machines[static_cast<std::size_t>(i)].version = farm.MachineAt(i).identity.versionText;
    }
    const std::set<std::string> before = Threads();
    poller.Update(machines);
    if (!poller.Start())
    {
        return run;
    }
    std::string tid;
    for (const std::string& thread : Threads())
    {
        tid = before.count(thread) == 0 ? thread : tid;
    }
    // One period to poll every machine once, then two measured.
    std::this_thread::sleep_for(std::chrono::seconds(periodSeconds) + 1s);
    const double cpuStart = ThreadCpu(tid);
    const std::uint64_t pollsStart = poller.Snapshot().polls;
    const auto measureStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2 * periodSeconds));
    const double elapsed = Seconds(Clock::now() - measureStart);
    run.cpuShare = (ThreadCpu(tid) - cpuStart) / elapsed;
    run.pollsPerSecond = static_cast<double>(poller.Snapshot().polls - pollsStart) / elapsed;
    run.memoryMiB = ResidentMiB() - memoryBefore;
    std::fprintf(stderr,
        "period %d s: %.0f polls/s, %.1f %% of a core\n",
        periodSeconds,
        run.pollsPerSecond,
        100 * run.cpuShare);

    exporter::MetricsServer server(
        { { 0x7F000001, 0 }, 2, 128, 10 }, [&] { return exporter::RenderMetrics(poller.Snapshot()); });
    std::string error;
    if (server.Start(&error))
    {
        auto start = Clock::now();
        run.metricsBytes = HttpGet(server.Port(), "").size();
        run.metricsMs = 1000 * Seconds(Clock::now() - start);
        start = Clock::now();
        run.metricsGzipBytes = HttpGet(server.Port(), "Accept-Encoding: gzip\r\n").size();
        run.metricsGzipMs = 1000 * Seconds(Clock::now() - start);
    }

    // Machines switched off at random places in their periods, one after
    // the other.
    std::mt19937 random(7);
    for (const int machine : switchOff)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % (1000 * periodSeconds)));
        farm.SwitchOff(machine);
        const auto off = Clock::now();
        while (poller.Snapshot().machines[static_cast<std::size_t>(machine)].state != poller::MachineState::Down
            && Clock::now() - off < std::chrono::seconds(4 * periodSeconds + 10))
        {
            std::this_thread::sleep_for(20ms);
        }
        run.noticed.push_back(Seconds(Clock::now() - off));
        std::fprintf(stderr, "period %d s: machine %d down after %.1f s\n", periodSeconds, machine, run.noticed.back());
        farm.SwitchOn(machine);
    }
    run.mostInFlight = poller.Snapshot().mostInFlight;
    server.Stop();
    poller.Stop();
    return run;
}

// The window's monitor over every machine at its lowest interval: the time
// from switching the machine at `row` off, as monitoring starts, to its alarm.
double RunSequentialMonitor(sim::Farm& farm, int row)
{
    test::TempDir dir;
    protocol::SharedState state(dir / "config.ini");
    test::FakeWindow window;
    test::FakeWindow panel;
    for (int i = 0; i < farm.MachineCount(); ++i)
    {
        window.AddRow(net::FormatIpv4(farm.MachineAt(i).identity.address), farm.MachineAt(i).identity.mac);
    }
    monitor::MonitorOptions options;
    options.apiPort = farm.ApiPort();
    monitor::MonitorController controller(state, window.Window(), panel, options);
    panel.SetItemText(resources::kIdIntervalEdit, std::to_string(monitor::kMinInterval));
    panel.CheckButton(resources::kIdMonitorCheck, core::kChecked);
    farm.SwitchOff(row);
    const auto start = Clock::now();
    controller.OnPanelCommand(resources::kIdMonitorCheck);
    const bool noticed = window.WaitFor([&] { return window.AlarmPlays() > 0; }, (row + 10) * 1000);
    const double seconds = Seconds(Clock::now() - start);
    state.monitoring = 0;
    controller.Stop();
    farm.SwitchOn(row);
    return noticed ? seconds : -1;
}

} // namespace

int main(int argc, char** argv)
{
    const int machines = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int concurrency = argc > 2 ? std::atoi(argv[2]) : 256;
    if (machines < 100 || concurrency < 1)
    {
        std::fprintf(stderr, "usage: poller_bench [MACHINES >= 100] [CONCURRENCY]\n");
        return 2;
    }
    net::RaiseSocketLimit();
    std::unique_ptr<sim::Farm> farm;
    std::string error;
    std::random_device entropy;
    for (int attempt = 0; attempt < 8 && !farm; ++attempt)
    {
        sim::FarmConfig config;
        config.machines = machines;
        config.seed = 5;
        config.firstAddress = (127u << 24) | ((2 + entropy() % 250) << 16) | 1u;
        config.devicePort = 0;
        config.apiPort = 0;
        config.replyPort = 9;
        farm = std::make_unique<sim::Farm>(config);
        if (!farm->Start(&error))
        {
            farm.reset();
        }
    }
    if (!farm)
    {
        std::fprintf(stderr, "the farm did not start: %s\n", error.c_str());
        return 1;
    }

    const std::vector<int> switchOff = { machines / 7, machines / 2, machines - 3 };
    std::vector<PeriodRun> runs;
    for (const int period : { 10, 5 })
    {
        runs.push_back(RunPoller(*farm, concurrency, period, switchOff));
    }
    const int row = std::min(300, machines - 1);
    const double sequential = RunSequentialMonitor(*farm, row);

    std::printf("## Farm poller: %d machines on loopback, concurrency %d, grace 2\n\n", machines, concurrency);
    std::printf("| period | switch-off to down (3 machines) | goal | poller CPU | polls/s | memory added | most "
                "connections | /metrics | /metrics gzip |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const PeriodRun& run : runs)
    {
        std::string noticed;
        for (const double seconds : run.noticed)
        {
            char text[16];
            std::snprintf(text, sizeof text, "%s%.1f s", noticed.empty() ? "" : ", ", seconds);
            noticed += text;
        }
        std::printf("| %d s | %s | %s | %.1f %% of a core | %.0f | %.1f MiB | %d | %.0f ms, %.2f MiB | %.0f ms, %.2f "
                    "MiB |\n",
            run.period,
            noticed.c_str(),
            run.period == 5 ? "<= 10 s" : "",
            100 * run.cpuShare,
            run.pollsPerSecond,
            run.memoryMiB,
            run.mostInFlight,
            run.metricsMs,
            static_cast<double>(run.metricsBytes) / (1024.0 * 1024.0),
            run.metricsGzipMs,
            static_cast<double>(run.metricsGzipBytes) / (1024.0 * 1024.0));
    }
    std::printf("\nReference, same farm and run: the sequential monitor at %d ms noticed the machine at row %d "
                "%.1f s after it went (%.0f ms per row before it); at that rate row %d of %d would take %.0f s.\n",
        monitor::kMinInterval,
        row,
        sequential,
        sequential > 0 ? 1000 * sequential / (row + 1) : 0.0,
        machines / 2,
        machines,
        sequential > 0 ? sequential / (row + 1) * (machines / 2 + 1) : 0.0);
    return 0;
}

// The range scan at scale in the network lab: 10,000 simulated machines on
// the routed segment behind the farm side, answering by unicast, and the real
// main dialog on the tool side with config.ini [SCAN] RANGES=10.78.0.0/16
// (65,536 addresses). Per rate (2,000, 10,000 and 50,000 per second), one
// Search: rows found, the time from the press to the scan's end against
// addresses / rate, the CPU time of the UI thread and its longest block, and
// the process's peak memory. The reference in the same run: a plain loop that
// sends the same search to the same addresses at the same pace and counts the
// answers. Then a blink of the 10,000 remote rows against the blink of 10,000
// rows found by the local broadcast. Needs root (the lab).
#include "platform/net/socket.h"
#include "platform/ui/application.h"
#include "protocol/device_packet.h"
#include "protocol/shared_state.h"
#include "resources/templates/main_dialog_ids.h"
#include "sim/farm.h"
#include "tests/support/netlab.h"
#include "tests/support/quellis_dlg_fixture.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace quellis;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr std::uint32_t kRangeFirst = 0x0A4E0000u; // 10.78.0.0
constexpr std::uint32_t kRangeSize = 65536;
constexpr const char* kRange = "10.78.0.0/16";
// How long a scan stays after its last datagram for the last answers.
constexpr double kLingerSeconds = 1.0;

double Seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

double ThreadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

long StatusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(status, line);)
    {
        if (line.rfind(prefix, 0) == 0)
        {
            return std::stol(line.substr(prefix.size()));
        }
    }
    return 0;
}

void ResetPeakMemory()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Runs the event loop (sleeping in it, as the program's own loop does) until
// done() or the limit; done() is asked every `every` milliseconds.
bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit, int every)
{
    const auto end = Clock::now() + limit;
    QEventLoop loop;
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    bool met = done();
    QObject::connect(&check,
        &QTimer::timeout,
        &loop,
        [&]
        {
            met = done();
            if (met || Clock::now() >= end)
            {
                loop.quit();
            }
        });
    if (!met)
    {
        check.start(every);
        loop.exec();
    }
    return met;
}

struct UiFigures
{
    double cpuMs = 0;
    double longestBlockMs = 0;
    // The UI thread's own CPU time within that longest block: the rest of it
    // the thread waited for a core.
    double blockCpuMs = 0;
    double blockEndMs = 0; // from the start of the wait to the end of that block
};

// The UI thread's CPU time and longest block over one wait: the longest gap
// between two ticks of a 1 ms timer, with the thread's CPU time within it.
class UiWatch
{
public:
    UiWatch()
        : cpu_(ThreadCpuSeconds())
    {
        ticker_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker_,
            &QTimer::timeout,
            &ticker_,
            [this]
            {
                const auto now = Clock::now();
                const double cpu = ThreadCpuSeconds();
                const double gap = std::chrono::duration<double, std::milli>(now - lastTick_).count();
                if (gap > figures_.longestBlockMs)
                {
                    figures_.longestBlockMs = gap;
                    figures_.blockCpuMs = (cpu - lastCpu_) * 1000.0;
                    figures_.blockEndMs = std::chrono::duration<double, std::milli>(now - start_).count();
                }
                lastTick_ = now;
                lastCpu_ = cpu;
            });
        start_ = Clock::now();
        lastTick_ = start_;
        lastCpu_ = cpu_;
        ticker_.start(1);
    }
    UiFigures Stop()
    {
        ticker_.stop();
        figures_.cpuMs = (ThreadCpuSeconds() - cpu_) * 1000.0;
        return figures_;
    }

private:
    QTimer ticker_;
    double cpu_ = 0;
    Clock::time_point start_;
    Clock::time_point lastTick_;
    double lastCpu_ = 0;
    UiFigures figures_;
};

struct ScanRun
{
    int rows = 0;
    std::size_t remote = 0;
    std::uint64_t asked = 0; // searches counted by the machines
    double sendSeconds = 0; // the press to the scan's end, less its linger
    UiFigures ui;
    long rssKiB = 0; // before the press
    long peakKiB = 0;
};

std::uint64_t Searches(const sim::Farm& farm)
{
    return farm.Totals().searches;
}

// Polled every millisecond during a blink: one counter per machine only.
std::uint64_t Flickers(const sim::Farm& farm)
{
    std::uint64_t total = 0;
    for (int i = 0; i < farm.MachineCount(); ++i)
    {
        total += farm.MachineAt(i).counters.unicastFlickers.load(std::memory_order_relaxed);
    }
    return total;
}

// One Search of the dialog with the range at `rate`.
ScanRun RunScan(test::QuellisDlgFixture& fixture, const sim::Farm& farm, int machines)
{
    ScanRun run;
    const std::uint64_t askedBefore = Searches(farm);
    protocol::SharedState& state = fixture.Dialog().State();
    run.rssKiB = StatusKiB("VmRSS");
    ResetPeakMemory();
    UiWatch watch;
    const auto pressed = Clock::now();
    fixture.Click(resources::kIdSearch);
    const bool ended = RunUntil([&] { return state.pacedSender.Running() == 0; }, std::chrono::seconds(120), 10);
    const auto end = Clock::now();
    run.ui = watch.Stop();
    run.peakKiB = StatusKiB("VmHWM");
    run.sendSeconds = ended ? Seconds(end - pressed) - kLingerSeconds : 0;
    // Rows still on their way to the list.
    RunUntil([&] { return fixture.RowCount() >= machines; }, std::chrono::seconds(2), 20);
    run.rows = fixture.RowCount();
    run.remote = state.remoteRows.Count();
    run.asked = Searches(farm) - askedBefore;
    return run;
}

// The reference: one thread sends the same search to every address of the
// range, sleeping until each is due, while this one counts the answers.
struct PlainRun
{
    double sendSeconds = 0;
    int answers = 0;
};

PlainRun RunPlain(int rate)
{
    net::Socket receive = net::Socket::Create(net::SocketKind::Udp);
    if (!receive.Bind({ net::kInaddrAny, protocol::kDevicePort }))
    {
        return {};
    }
    receive.SetLargeReceiveBuffer(32 * 1024 * 1024);
    net::Socket send = net::Socket::Create(net::SocketKind::Udp);
    std::vector<std::uint8_t> search(protocol::kRequestBufferSize);
    search.resize(protocol::BuildSearch(search, protocol::kSearchOrdinary));
    PlainRun run;
    std::atomic<bool> sent { false };
    std::thread sender(
        [&]
        {
            const auto start = Clock::now();
            for (std::uint32_t i = 0; i < kRangeSize; ++i)
            {
                std::this_thread::sleep_until(
                    start + std::chrono::nanoseconds(std::int64_t { i } * 1'000'000'000 / rate));
                [[maybe_unused]] const int bytes
                    = send.SendTo(search.data(), search.size(), { kRangeFirst + i, protocol::kDevicePort });
            }
            run.sendSeconds = Seconds(Clock::now() - start);
            sent = true;
        });
    std::vector<std::uint8_t> datagram(protocol::kMaxDatagramSize);
    auto quietSince = Clock::now();
    while (!sent.load() || Clock::now() - quietSince < std::chrono::milliseconds(1000))
    {
        if (receive.WaitReadable(std::chrono::milliseconds(100)) != net::PollResult::Ready)
        {
            continue;
        }
        const int got = receive.ReceiveFrom(datagram.data(), datagram.size(), nullptr);
        const auto header = protocol::ReadHeader(std::span(datagram).first(static_cast<std::size_t>(std::max(got, 0))));
        if (header && header->type == protocol::PKT_SEARCH_ACK)
        {
            ++run.answers;
            quietSince = Clock::now();
        }
    }
    sender.join();
    return run;
}

struct BlinkRun
{
    double passMs = 0; // first to last datagram of the second pass at the farm
    UiFigures ui;
    bool complete = false;
};

// Two passes of the blink of every row, timed at the farm.
BlinkRun RunBlink(test::QuellisDlgFixture& fixture, const sim::Farm& farm, int machines)
{
    BlinkRun run;
    const std::uint64_t before = Flickers(farm);
    const auto n = static_cast<std::uint64_t>(machines);
    UiWatch watch;
    fixture.Click(resources::kIdFlashMachines);
    run.complete = RunUntil([&] { return Flickers(farm) > before + n; }, std::chrono::seconds(60), 1);
    const auto first = Clock::now();
    run.complete
        = run.complete && RunUntil([&] { return Flickers(farm) >= before + 2 * n; }, std::chrono::seconds(60), 1);
    run.passMs = Seconds(Clock::now() - first) * 1000.0;
    fixture.Click(resources::kIdFlashMachines);
    run.ui = watch.Stop();
    RunUntil([] { return false; }, std::chrono::milliseconds(300), 50);
    return run;
}

std::unique_ptr<sim::Farm> StartFarm(const std::string& ns, std::uint32_t first, int machines, std::uint64_t seed)
{
    sim::FarmConfig config;
    config.machines = machines;
    config.seed = seed;
    config.netns = ns;
    config.firstAddress = first;
    // A scan asks every address: only a machine's own one reaches it.
    config.strictAddresses = true;
    sim::BehaviourGroup whole;
    std::string error;
    if (!sim::ParseBehaveOption("shortReply=256,addressAsAll=false,silent=false", &whole, &error))
    {
        std::fprintf(stderr, "%s\n", error.c_str());
        return nullptr;
    }
    config.scenario.groups = { whole };
    auto farm = std::make_unique<sim::Farm>(config);
    if (!farm->Start(&error))
    {
        std::fprintf(stderr, "farm did not start: %s\n", error.c_str());
        return nullptr;
    }
    return farm;
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ui::Application application(argc, argv);
    const int machines = argc > 1 ? std::atoi(argv[1]) : 10000;
    std::vector<int> rates = { 2000, 10000, 50000 };
    if (argc > 2)
    {
        rates = { std::atoi(argv[2]) };
    }
    std::string why;
    test::NetLab* lab = test::NetLab::Get(&why);
    if (lab == nullptr)
    {
        std::printf("range lab benchmark skipped: %s\n", why.c_str());
        return 0;
    }
    // A farm of 10,000 machines in this process: a miner API socket each.
    rlimit files {};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0)
    {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    // The lower half of the range holds no hosts: the router drops what goes
    // there as a black hole instead of resolving every address on its link,
    // as it does for the tool's half of the near segment.
    const std::string farmNs = "ip -n " + lab->FarmNamespace() + " route add ";
    if (test::RunCommand(farmNs + "10.78.0.2/32 dev veth-router") != 0
        || test::RunCommand(farmNs + "blackhole 10.78.0.0/17") != 0)
    {
        std::fprintf(stderr, "cannot route the remote segment's empty half\n");
        return 1;
    }

    auto remote = StartFarm(lab->RemoteNamespace(), test::NetLab::kFirstRemoteMachine, machines, 5);
    if (!remote)
    {
        return 1;
    }
    test::NetLab::Enter tool(lab->ToolNamespace());
    std::string loadBefore;
    std::getline(std::ifstream("/proc/loadavg"), loadBefore);
    loadBefore = loadBefore.substr(0, loadBefore.find(' ', loadBefore.find(' ', loadBefore.find(' ') + 1) + 1));

    // The reference for the UI thread: the dialog open and idle for 3 s.
    UiFigures idle;
    {
        test::QuellisDlgFixture fixture;
        fixture.Open({ "TOOLTYPE=2", "LANG=0" });
        RunUntil([] { return false; }, std::chrono::milliseconds(300), 50);
        UiWatch watch;
        RunUntil([] { return false; }, std::chrono::seconds(3), 10);
        idle = watch.Stop();
        fixture.Close();
    }

    std::printf("## Range scan of %s behind the router: the real dialog's Search (network lab), %d machines "
                "answering by unicast\n\n",
        kRange,
        machines);
    std::printf("| rate/s | addresses / rate, s | scan, s | scan rate/s | plain loop, s | plain rate/s "
                "| rows found (remote) | machines asked | plain loop's answers | UI CPU, ms (%% of the scan) "
                "| longest UI block, ms (UI CPU in it) | peak RSS, MiB (before) |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    BlinkRun remoteBlink;
    for (std::size_t i = 0; i < rates.size(); ++i)
    {
        const int rate = rates[i];
        ScanRun scan;
        {
            test::QuellisDlgFixture fixture;
            const std::string rateLine = "RATE=" + std::to_string(rate);
            const std::string rangeLine = std::string("RANGES=") + kRange;
            fixture.Open({ "TOOLTYPE=2", "LANG=0", "[SCAN]", rangeLine, rateLine });
            scan = RunScan(fixture, *remote, machines);
            if (i + 1 == rates.size())
            {
                remoteBlink = RunBlink(fixture, *remote, machines);
            }
            fixture.Close();
        }
        const PlainRun plain = RunPlain(rate);
        const double scanSeconds = scan.sendSeconds + kLingerSeconds;
        std::printf("| %d | %.2f | %.2f | %.0f | %.2f | %.0f | %d (%zu) | %llu | %d | %.0f (%.1f %%) | %.1f (%.1f) "
                    "| %.0f (%.0f) |\n",
            rate,
            static_cast<double>(kRangeSize) / rate,
            scan.sendSeconds,
            kRangeSize / std::max(scan.sendSeconds, 1e-3),
            plain.sendSeconds,
            kRangeSize / std::max(plain.sendSeconds, 1e-3),
            scan.rows,
            scan.remote,
            static_cast<unsigned long long>(scan.asked),
            plain.answers,
            scan.ui.cpuMs,
            scan.ui.cpuMs / 10.0 / std::max(scanSeconds, 1e-3),
            scan.ui.longestBlockMs,
            scan.ui.blockCpuMs,
            static_cast<double>(scan.peakKiB) / 1024.0,
            static_cast<double>(scan.rssKiB) / 1024.0);
        std::fflush(stdout);
        std::fprintf(stderr, "rate %d: the longest UI block ended %.0f ms after the press\n", rate, scan.ui.blockEndMs);
    }
    std::printf("\nscan: the press to the scan's end less its %.0f s wait for the last answers; the UI thread idle "
                "for 3 s with the dialog open: %.0f ms CPU (%.1f %%), longest block %.1f ms (%.1f ms CPU in it); "
                "load average before the run: %s\n\n",
        kLingerSeconds,
        idle.cpuMs,
        idle.cpuMs / 30.0,
        idle.longestBlockMs,
        idle.blockCpuMs,
        loadBefore.c_str());

    // The local blink: the same number of rows found by the broadcast. The
    // remote farm goes first: two farms' miner API sockets pass the limit.
    remote->Stop();
    BlinkRun localBlink;
    UiFigures localSearch;
    int localRows = 0;
    {
        auto local = StartFarm(lab->FarmNamespace(), test::NetLab::kFirstMachine, machines, 6);
        if (!local)
        {
            return 1;
        }
        test::QuellisDlgFixture fixture;
        fixture.Open({ "TOOLTYPE=2", "LANG=0" });
        UiWatch watch;
        fixture.Click(resources::kIdSearch);
        RunUntil([&] { return fixture.RowCount() >= machines; }, std::chrono::seconds(30), 10);
        localSearch = watch.Stop();
        localRows = fixture.RowCount();
        localBlink = RunBlink(fixture, *local, machines);
        fixture.Close();
    }
    std::printf("The reference for the UI: the local broadcast search of %d machines (answers spread over 100 ms): "
                "UI CPU %.0f ms, longest UI block %.1f ms (%.1f ms CPU in it)\n\n",
        localRows,
        localSearch.cpuMs,
        localSearch.longestBlockMs,
        localSearch.blockCpuMs);
    std::printf(
        "## Blink of every row: %d remote rows (behind the router) against %d local rows\n\n", machines, localRows);
    std::printf("| rows | one pass, ms | longest UI block, ms (UI CPU in it) | UI CPU over two passes, ms |\n");
    std::printf("|---|---|---|---|\n");
    for (const auto& [name, blink] : { std::pair { "remote", remoteBlink }, std::pair { "local", localBlink } })
    {
        std::printf("| %s | %.0f%s | %.1f (%.1f) | %.0f |\n",
            name,
            blink.passMs,
            blink.complete ? "" : " (incomplete)",
            blink.ui.longestBlockMs,
            blink.ui.blockCpuMs,
            blink.ui.cpuMs);
    }
    return 0;
}

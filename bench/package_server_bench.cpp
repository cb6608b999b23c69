// The package server at scale: N machines of quellis-farmsim (the lab's farm
// side) are offered a 64 MiB package at once and download it together from
// the tool side's TCP 2425, checking every byte; the time runs from the offer
// to the last machine's result. Three servers take turns at each count:
//   dialog    the real main dialog's server (package chosen with button 7)
//   same shape  package_send_reference window: 8 MiB windows, 64 KiB sends
//   sendfile    package_send_reference sendfile: whole-file sendfile
// Measured per run: MB/s (10^6 bytes), each machine's time from the offer to
// its result (median and max), the server's peak memory, and for the dialog
// the longest time its UI thread did not get back to its event loop, and the
// longest handling of one socket notification, in wall time and in the UI
// thread's own processor time (the rest is waiting for a processor), and for
// every server the most threads its process had at once. A last
// row serves a 256 MiB package to the largest count but one, to show that
// the dialog's memory does not grow with the package. Needs root (the lab).
#include "core/window.h"
#include "platform/net/default_route.h"
#include "platform/net/socket.h"
#include "platform/ui/application.h"
#include "protocol/device_packet.h"
#include "resources/templates/main_dialog_ids.h"
#include "tests/support/netlab.h"
#include "tests/support/quellis_dlg_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/ui_stall_meter.h"

#include <QApplication>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

extern char** environ;

using namespace quellis;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr std::size_t kMiB = 1024 * 1024;

long StatusKiB(const std::string& file, const char* key)
{
    std::ifstream status(file);
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind(key, 0) == 0)
        {
            return std::stol(line.substr(std::strlen(key)));
        }
    }
    return 0;
}

// Threads of a process now (its /proc/PID/task entries).
int Threads(const std::string& process)
{
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator entry("/proc/" + process + "/task", error), end; !error && entry != end;
         entry.increment(error))
    {
        ++count;
    }
    return count;
}

std::string LoadAverage()
{
    std::ifstream loadavg("/proc/loadavg");
    std::string one;
    std::string five;
    loadavg >> one >> five;
    return one + " / " + five;
}

// A program started in a namespace, until the object goes; ready once it has
// printed its first line.
class Child
{
public:
    explicit Child(std::vector<std::string> arguments)
    {
        int output[2];
        if (pipe(output) != 0)
        {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, output[0]);
        std::vector<char*> argv;
        for (std::string& argument : arguments)
        {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(output[1]);
        char c = 0;
        while (read(output[0], &c, 1) == 1 && c != '\n')
        {
            line_ += c;
        }
        output_ = output[0];
    }
    ~Child()
    {
        if (pid_ > 0)
        {
            kill(pid_, SIGTERM);
            // What it says when it stops (quellis-farmsim: its totals).
            std::string rest;
            char buffer[4096];
            for (ssize_t got = 0; (got = read(output_, buffer, sizeof buffer)) > 0;)
            {
                rest.append(buffer, static_cast<std::size_t>(got));
            }
            waitpid(pid_, nullptr, 0);
            if (rest.find("downloads-failed") != std::string::npos)
            {
                std::fprintf(stderr, "%s", rest.c_str());
            }
        }
        if (output_ >= 0)
        {
            close(output_);
        }
    }
    [[nodiscard]] bool Ready() const { return line_.find("ready") != std::string::npos; }
    // The peak memory of the process itself; `ip netns exec` replaces itself
    // with the program, so the pid is the program's.
    [[nodiscard]] long PeakKiB() const { return StatusKiB("/proc/" + std::to_string(pid_) + "/status", "VmHWM:"); }
    [[nodiscard]] std::string Process() const { return std::to_string(pid_); }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string line_;
};

struct Run
{
    int machines = 0;
    int verified = 0;
    int failed = 0;
    double seconds = 0;
    double megabytesPerSecond = 0;
    double medianMs = 0;
    double maxMs = 0;
    long peakKiB = 0;
    int peakThreads = 0;
    double longestBlockMs = -1;
    double longestHandlerMs = -1;
    double longestHandlerCpuMs = -1;
};

// The dialog, timing its handling of each window message (the package
// server's socket notifications): the UI thread's own work, apart from the
// time the system gives it.
class TimedDlg : public app::CQuellisDlg
{
public:
    using CQuellisDlg::CQuellisDlg;
    double longestMs = 0;
    double longestCpuMs = 0;

protected:
    bool OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        const auto start = Clock::now();
        const double cpuStart = ThreadCpuMs();
        const bool handled = CQuellisDlg::OnMessage(message, wParam, lParam);
        longestCpuMs = std::max(longestCpuMs, ThreadCpuMs() - cpuStart);
        longestMs = std::max(longestMs, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        return handled;
    }

private:
    // The processor time of this thread: the work itself, without the time
    // the thread waited for a processor.
    static double ThreadCpuMs()
    {
        timespec now {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
    }
};

// Offers the package to every machine at once and collects their results;
// `pump` runs meanwhile (the dialog's event loop), and the server's threads
// (`process` in /proc) are counted every 10 ms.
Run OfferAndCollect(int machines, std::uint64_t size, const std::string& process, const std::function<void()>& pump)
{
    Run run;
    run.machines = machines;
    net::Socket results = net::Socket::Create(net::SocketKind::Udp);
    [[maybe_unused]] const bool reuse = results.SetReuseAddress(true);
    if (!results.Bind({ net::kInaddrAny, protocol::kDevicePort }))
    {
        std::fprintf(stderr, "cannot bind UDP 6667 for the results\n");
        return run;
    }
    results.SetLargeReceiveBuffer(8 * 1024 * 1024);
    net::Socket offers = net::Socket::Create(net::SocketKind::Udp);
    [[maybe_unused]] const bool broadcast = offers.SetBroadcast(true);
    [[maybe_unused]] const bool bound = offers.Bind({ net::InetAddr(net::DefaultRouteAddress()), 0 });
    std::vector<std::uint8_t> offer(protocol::kRequestBufferSize);
    offer.resize(protocol::BuildUpgradeOffer(offer, protocol::kAllDevices, size));

    std::vector<double> times;
    std::vector<std::uint8_t> datagram(protocol::kMaxDatagramSize);
    const auto offered = Clock::now();
    if (offers.SendTo(offer.data(), offer.size(), { net::kInaddrBroadcast, protocol::kDevicePort }) <= 0)
    {
        return run;
    }
    auto last = offered;
    auto counted = offered - std::chrono::seconds(1);
    while (run.verified + run.failed < machines && Clock::now() - last < std::chrono::seconds(60))
    {
        if (Clock::now() - counted >= std::chrono::milliseconds(10))
        {
            counted = Clock::now();
            run.peakThreads = std::max(run.peakThreads, Threads(process));
        }
        if (pump)
        {
            pump();
        }
        if (results.WaitReadable(std::chrono::milliseconds(pump ? 0 : 100)) != net::PollResult::Ready)
        {
            continue;
        }
        const int got = results.ReceiveFrom(datagram.data(), datagram.size(), nullptr);
        const auto reply = protocol::ReadCommand(std::span(datagram).first(static_cast<std::size_t>(std::max(got, 0))));
        if (!reply || reply->type != protocol::PKT_CMD_ACK || reply->cmdCode != protocol::CMD_Upgrade)
        {
            continue;
        }
        last = Clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(last - offered).count());
        (reply->result != 0 ? run.verified : run.failed) += 1;
    }
    if (times.empty())
    {
        return run;
    }
    std::sort(times.begin(), times.end());
    run.seconds = times.back() / 1000.0;
    run.megabytesPerSecond = static_cast<double>(size) * run.verified / 1e6 / run.seconds;
    run.medianMs = times[times.size() / 2];
    run.maxMs = times.back();
    return run;
}

Run RunDialog(int machines, const std::string& package, std::uint64_t size)
{
    test::QuellisDlgFixture fixture;
    // No receive socket: the benchmark takes the results itself.
    fixture.Open({ "TOOLTYPE=1", "LISTEN=0" },
        [](const std::filesystem::path& config) { return std::make_unique<TimedDlg>(config); });
    fixture.AnswerNextOpenFile(package);
    fixture.Click(resources::kIdSelectPackage);
    std::ofstream("/proc/self/clear_refs") << "5";

    test::UiStallMeter stalls;
    stalls.Start();
    // The event loop sleeps until its next event, as the program's does; the
    // ticker wakes it every millisecond to look at the results.
    Run run
        = OfferAndCollect(machines, size, "self", [] { QApplication::processEvents(QEventLoop::WaitForMoreEvents); });
    stalls.Stop();
    run.peakKiB = StatusKiB("/proc/self/status", "VmHWM:");
    run.longestBlockMs = stalls.LongestMs();
    run.longestHandlerMs = static_cast<TimedDlg&>(fixture.Dialog()).longestMs;
    run.longestHandlerCpuMs = static_cast<TimedDlg&>(fixture.Dialog()).longestCpuMs;
    // The last transfers' closes, then the teardown.
    fixture.WaitFor([] { return false; }, 300);
    fixture.Close();
    return run;
}

Run RunReference(
    const std::string& toolNamespace, const char* mode, int machines, const std::string& package, std::uint64_t size)
{
    Child server({ "/usr/sbin/ip", "netns", "exec", toolNamespace, QUELLIS_SEND_REFERENCE, mode, package });
    if (!server.Ready())
    {
        std::fprintf(stderr, "package_send_reference %s did not start\n", mode);
        return {};
    }
    Run run = OfferAndCollect(machines, size, server.Process(), {});
    run.peakKiB = server.PeakKiB();
    return run;
}

Run Median(std::vector<Run> runs)
{
    std::sort(runs.begin(),
        runs.end(),
        [](const Run& a, const Run& b) { return a.megabytesPerSecond < b.megabytesPerSecond; });
    Run median = runs[runs.size() / 2];
    for (const Run& run : runs)
    {
        median.peakKiB = std::max(median.peakKiB, run.peakKiB);
        median.peakThreads = std::max(median.peakThreads, run.peakThreads);
        median.longestBlockMs = std::max(median.longestBlockMs, run.longestBlockMs);
        median.longestHandlerMs = std::max(median.longestHandlerMs, run.longestHandlerMs);
        median.longestHandlerCpuMs = std::max(median.longestHandlerCpuMs, run.longestHandlerCpuMs);
        median.failed = std::max(median.failed, run.failed);
    }
    return median;
}

std::string Fixed(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void PrintRow(const char* server, std::uint64_t size, const Run& run, double sameShape)
{
    const std::string share = sameShape > 0 ? Fixed(100 * run.megabytesPerSecond / sameShape, 0) + " %" : "—";
    const std::string block = run.longestBlockMs < 0 ? "—" : Fixed(run.longestBlockMs, 1);
    const std::string handler = run.longestHandlerMs < 0
        ? "—"
        : Fixed(run.longestHandlerMs, 1) + " (" + Fixed(run.longestHandlerCpuMs, 2) + " processor)";
    std::printf("| %d | %s | %llu | %d / %d | %.2f | %.0f | %.0f / %.0f | %s | %.1f | %d | %s | %s |\n",
        run.machines,
        server,
        static_cast<unsigned long long>(size / kMiB),
        run.verified,
        run.failed,
        run.seconds,
        run.megabytesPerSecond,
        run.medianMs,
        run.maxMs,
        share.c_str(),
        static_cast<double>(run.peakKiB) / 1024.0,
        run.peakThreads,
        block.c_str(),
        handler.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ui::Application application(argc, argv);
    // Arguments: the counts to run (default 1 10 100 1000).
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i)
    {
        counts.push_back(std::atoi(argv[i]));
    }
    if (counts.empty())
    {
        counts = { 1, 10, 100, 1000 };
    }
    std::string why;
    test::NetLab* lab = test::NetLab::Get(&why);
    if (lab == nullptr)
    {
        std::printf("package server benchmark skipped: %s\n", why.c_str());
        return 0;
    }
    test::TempDir directory;
    const auto write = [&](const std::string& name, std::size_t size)
    {
        std::string bytes(size, '\0');
        std::mt19937_64 random(size);
        for (std::size_t i = 0; i + 8 <= size; i += 8)
        {
            const std::uint64_t word = random();
            std::memcpy(bytes.data() + i, &word, 8);
        }
        directory.Write(name, bytes);
        return (directory / name).string();
    };
    const std::string package = write("package.tar.gz", 64 * kMiB);
    const std::string large = write("large.tar.gz", 256 * kMiB);

    std::printf("## Package server: N machines download one package at once across the lab's veth\n\n");
    std::printf("load average (1 / 5 min) at the start: %s; 2 cores shared with other work\n\n", LoadAverage().c_str());
    std::printf("| machines | server | package, MiB | verified / failed | offer to last result, s | MB/s "
                "| per machine, ms (median / max) | of same shape | peak memory, MiB | peak threads "
                "| longest UI block, ms | longest socket handler, ms (its own processor time) |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    const auto farm = [&](int machines, const std::string& expected)
    {
        return std::make_unique<Child>(std::vector<std::string> { "/usr/sbin/ip",
            "netns",
            "exec",
            lab->FarmNamespace(),
            QUELLIS_FARMSIM_PATH,
            "--machines",
            std::to_string(machines),
            "--seed",
            "1",
            "--spread",
            "0",
            "--expect-package",
            expected,
            "--behave",
            "installMs=0,replyDelayMs=0,replyJitterMs=0" });
    };
    test::NetLab::Enter tool(lab->ToolNamespace());
    for (const int machines : counts)
    {
        auto machinesSide = farm(machines, package);
        if (!machinesSide->Ready())
        {
            std::fprintf(stderr, "quellis-farmsim did not start\n");
            return 1;
        }
        // Short runs are repeated, the three servers taking turns; the run of
        // median speed stands for each (the block and memory are the worst seen).
        const int repeats = machines >= 1000 ? 1 : 3;
        std::vector<Run> sameShapes;
        std::vector<Run> sendfiles;
        std::vector<Run> dialogs;
        for (int i = 0; i < repeats; ++i)
        {
            sameShapes.push_back(RunReference(lab->ToolNamespace(), "window", machines, package, 64 * kMiB));
            sendfiles.push_back(RunReference(lab->ToolNamespace(), "sendfile", machines, package, 64 * kMiB));
            dialogs.push_back(RunDialog(machines, package, 64 * kMiB));
        }
        const Run sameShape = Median(sameShapes);
        const Run sendfile = Median(sendfiles);
        const Run dialog = Median(dialogs);
        PrintRow("dialog", 64 * kMiB, dialog, sameShape.megabytesPerSecond);
        PrintRow("same shape", 64 * kMiB, sameShape, sameShape.megabytesPerSecond);
        PrintRow("sendfile", 64 * kMiB, sendfile, sameShape.megabytesPerSecond);
    }
    // The dialog's memory with a package four times larger.
    const int memoryCount = counts.size() > 1 ? counts[counts.size() - 2] : counts.front();
    {
        auto machinesSide = farm(memoryCount, large);
        if (machinesSide->Ready())
        {
            PrintRow("dialog", 256 * kMiB, RunDialog(memoryCount, large, 256 * kMiB), 0);
        }
    }
    std::printf("\nload average (1 / 5 min) at the end: %s\n", LoadAverage().c_str());
    return 0;
}

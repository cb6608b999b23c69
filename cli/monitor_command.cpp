// The monitor from the command line: the monitor controller polls the
// machines one after the other as the window's monitor does, and every event
// is one line on standard output naming its machine, until a signal (or
// --seconds) ends it.
#include "cli/commands.h"
#include "cli/monitor_lines.h"
#include "cli/option_checks.h"
#include "cli/polled_monitor.h"
#include "cli/run.h"
#include "monitor/monitor_controller.h"
#include "monitor/wave.h"
#include "platform/net/ipv4.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <mutex>

namespace quellis::cli
{

namespace
{

std::atomic<bool> stopRequested { false };

void OnStopSignal(int)
{
    stopRequested = true;
}

std::string WithoutLineEnd(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    {
        text.pop_back();
    }
    return text;
}

// Prints each step of the monitor at a machine (the monitor's thread) and
// counts the failures: the alarm's reasons.
class PrintedPolls : public monitor::MonitorObserver
{
public:
    explicit PrintedPolls(Format format)
        : format_(format)
    {
    }

    void OnPoll(const monitor::MachinePoll& poll) override
    {
        MonitorLine line { LocalTimeNow(),
            net::FormatIpv4(poll.address),
            poll.mac,
            "connecting",
            WithoutLineEnd(poll.reaction.log),
            poll.reaction.alarm };
        if (poll.outcome)
        {
            line.event = poll.reaction.alarm ? "failed" : "answered";
        }
        if (line.failure)
        {
            ++failures_;
        }
        // A reply that is not JSON leaves the log pane alone; only the
        // scripts' forms tell of it.
        if (line.text.empty() && format_ == Format::Table)
        {
            return;
        }
        Print(line);
    }

    void Print(const MonitorLine& line)
    {
        std::lock_guard lock(lock_);
        std::fputs(FormatMonitorLine(line, format_).c_str(), stdout);
        std::fflush(stdout);
    }

    [[nodiscard]] int Failures() const { return failures_.load(); }

private:
    const Format format_;
    std::mutex lock_;
    std::atomic<int> failures_ { 0 };
};

struct MonitorOptions : CommonOptions
{
    bool alarm = false;
    std::string interval = "2000"; // read by the panel's rule
    int seconds = 0; // 0: until a signal
    PolledMonitorOptions polled; // concurrency 0: the window's monitor
};

int RunMonitor(const MonitorOptions& options)
{
    const bool alarm = options.alarm;
    const int seconds = options.seconds;
    const std::string& interval = options.interval;
    PolledMonitorOptions polled = options.polled;
    MachineRun run("monitor", options);
    if (!run.Open())
    {
        return kExitSomeFailed;
    }
    Session& session = run.Run();
    monitor::CWave sound;
    if (alarm && !sound.Load())
    {
        std::fprintf(
            stderr, "quellis-cli monitor: no alarm sound (%s in the current directory)\n", monitor::kAlarmFile);
    }
    std::atomic<int> alarms { 0 };
    session.Window().SetAlarmFunction(
        [&]
        {
            ++alarms;
            if (alarm)
            {
                sound.Play();
            }
        });
    const std::vector<Target> targets = run.Resolve(true);
    // Machines asked for that the search did not find are failures too.
    PrintedPolls printed(options.format);
    std::fputs(MonitorHeader(options.format).c_str(), stdout);
    const std::vector<core::MachineResult> missing = run.Results().Failures();
    for (const core::MachineResult& machine : missing)
    {
        printed.Print({ LocalTimeNow(),
            machine.ip,
            machine.mac,
            machine.outcome,
            machine.outcome + " (" + machine.detail + ")",
            true });
    }
    const std::string notFound = missing.empty() ? std::string() : ", " + std::to_string(missing.size()) + " not found";
    if (polled.concurrency > 0)
    {
        std::signal(SIGINT, OnStopSignal);
        std::signal(SIGTERM, OnStopSignal);
        polled.format = options.format;
        const int status = RunPolledMonitor(session,
            targets,
            polled,
            seconds,
            stopRequested,
            [&]
            {
                ++alarms;
                if (alarm)
                {
                    sound.Play();
                }
            });
        session.Close();
        return missing.empty() ? status : kExitSomeFailed;
    }
    // The monitor polls every row of the list: the list is the machines named.
    session.Window().Clear();
    for (const Target& target : targets)
    {
        HeadlessWindow::Cells cells;
        cells[discovery::kColumnIp] = target.ip;
        cells[discovery::kColumnMac] = target.mac;
        session.Window().AddRow(cells);
    }
    std::fprintf(stderr, "monitoring %zu machines%s, Ctrl-C ends\n", targets.size(), notFound.c_str());
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    // The panel's rule: the leading number, held to the int range; none, or
    // less than the lowest interval, becomes the lowest.
    const long leading = std::strtol(interval.c_str(), nullptr, 10);
    const int intervalMs = static_cast<int>(std::clamp<long>(leading, 0, INT_MAX));
    if (session.Monitor().StartMonitoring(intervalMs, &printed) != monitor::MonitorRefusal::None)
    {
        std::fprintf(stderr, "quellis-cli monitor: the monitor cannot start\n");
        session.Close();
        return kExitSomeFailed;
    }
    const auto end = seconds > 0 ? std::chrono::steady_clock::now() + std::chrono::seconds(seconds)
                                 : std::chrono::steady_clock::time_point::max();
    session.Loop().RunUntil([] { return stopRequested.load(); }, end);
    session.Monitor().StopMonitoring();
    session.Close();
    std::fprintf(stderr, "%d alarms\n", alarms.load());
    return missing.empty() && printed.Failures() == 0 ? kExitOk : kExitSomeFailed;
}

} // namespace

Declared DeclareMonitor(CLI::App& app)
{
    auto options = std::make_shared<MonitorOptions>();
    DeclareCommon(app, *options);
    app.add_flag("--alarm", options->alarm);
    app.add_option("--interval", options->interval);
    app.add_option("--seconds", options->seconds)
        ->transform(WholeNumber(1, INT_MAX, "--seconds takes a number above 0"));
    CLI::Option* concurrency = DeclarePolledMonitor(app, options->polled);
    for (CLI::Option* option : { app.get_option("--period"), app.get_option("--grace") })
    {
        option->needs(concurrency);
    }
    return { [options] { return ReadCommon(*options); }, [options] { return RunMonitor(*options); } };
}

} // namespace quellis::cli

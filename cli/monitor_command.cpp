// The monitor from the command line: the monitor controller polls the
// machines as the side panel's box makes it, and every event is one line on
// standard output, until a signal (or --seconds) ends it.
#include "cli/commands.h"
#include "cli/polled_monitor.h"
#include "cli/run.h"
#include "monitor/wave.h"
#include "resources/templates/monitor_panel_ids.h"

#include <atomic>
#include <csignal>
#include <ctime>

namespace quellis::cli
{

namespace
{

std::atomic<bool> stopRequested { false };

void OnStopSignal(int)
{
    stopRequested = true;
}

std::string Now()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

} // namespace

int RunMonitor(Arguments& arguments)
{
    CommonOptions options;
    std::string error;
    if (!ParseCommon(arguments, options, &error))
    {
        return UsageError("monitor", error);
    }
    const bool alarm = arguments.Flag("alarm");
    const auto intervalText = arguments.Value("interval");
    const auto secondsText = arguments.Value("seconds");
    PolledMonitorOptions polled;
    const auto concurrencyText = arguments.Value("concurrency");
    const auto periodText = arguments.Value("period");
    const auto graceText = arguments.Value("grace");
    if (!ParsePolledMonitor(concurrencyText, periodText, graceText, &polled, &error))
    {
        return UsageError("monitor", error);
    }
    if (const std::string leftover = arguments.Error(); !leftover.empty())
    {
        return UsageError("monitor", leftover);
    }
    const int seconds = secondsText ? std::atoi(secondsText->c_str()) : 0;
    if (secondsText && seconds <= 0)
    {
        return UsageError("monitor", "--seconds takes a number above 0");
    }
    // The panel's rule: less than 100, or no number, becomes 100.
    const std::string interval = intervalText.value_or("2000");

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
    if (polled.concurrency > 0)
    {
        std::signal(SIGINT, OnStopSignal);
        std::signal(SIGTERM, OnStopSignal);
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
        return status;
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
    std::fprintf(stderr, "monitoring %zu machines, Ctrl-C ends\n", targets.size());
    session.Window().SetLogFunction(
        [](core::LogColour, std::string_view text)
        {
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            {
                text.remove_suffix(1);
            }
            std::printf("%s %.*s\n", Now().c_str(), static_cast<int>(text.size()), text.data());
            std::fflush(stdout);
        });
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    core::PlainControls& panel = session.Panel();
    panel.SetItemText(resources::kIdIntervalEdit, interval);
    panel.CheckButton(resources::kIdMonitorCheck, core::kChecked);
    session.Monitor().OnPanelCommand(resources::kIdMonitorCheck);
    const auto end = seconds > 0 ? std::chrono::steady_clock::now() + std::chrono::seconds(seconds)
                                 : std::chrono::steady_clock::time_point::max();
    session.Loop().RunUntil([] { return stopRequested.load(); }, end);
    panel.CheckButton(resources::kIdMonitorCheck, core::kUnchecked);
    session.Monitor().OnPanelCommand(resources::kIdMonitorCheck);
    session.Close();
    std::fprintf(stderr, "%d alarms\n", alarms.load());
    return kExitOk;
}

} // namespace quellis::cli

// The monitor against a loopback farm of 1,000 machines at the lowest
// interval (100 ms): the time of one pass over every machine beside the sum
// of its intervals (the pass can be no shorter), and the time from switching
// a machine off to its alarm as a function of the machine's row, beside what
// the intervals and connect time-outs before it account for.
//   monitor_pass_bench [MACHINES] [INTERVAL_MS]
#include "monitor/monitor_controller.h"
#include "platform/net/ipv4.h"
#include "resources/templates/monitor_panel_ids.h"
#include "sim/farm.h"
#include "tests/support/fake_window.h"
#include "tests/support/temp_dir.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace quellis;
using Clock = std::chrono::steady_clock;

namespace
{

// The fake window with the time of every log line and alarm.
class TimedWindow : public test::FakeWindow
{
public:
    struct Event
    {
        Clock::time_point at;
        std::string text; // empty for the alarm
    };

    void WriteLog(core::LogColour colour, std::string_view text, bool toLogFile) override
    {
        {
            std::lock_guard lock(eventsLock_);
            events_.push_back({ Clock::now(), std::string(text) });
        }
        test::FakeWindow::WriteLog(colour, text, toLogFile);
    }
    void Play() override
    {
        {
            std::lock_guard lock(eventsLock_);
            events_.push_back({ Clock::now(), {} });
        }
        test::FakeWindow::Play();
    }
    std::vector<Event> Events()
    {
        std::lock_guard lock(eventsLock_);
        return events_;
    }

private:
    std::mutex eventsLock_;
    std::vector<Event> events_;
};

std::string LoadAverage()
{
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double CpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

// One poll as the log shows it: the connect line, its outcome line, and the
// alarm when one sounded.
struct Poll
{
    int row = -1;
    std::string outcome;
    Clock::time_point outcomeAt;
    std::optional<Clock::time_point> alarmAt;
};

std::vector<Poll> Polls(const std::vector<TimedWindow::Event>& events, const std::map<std::string, int>& rowOf)
{
    std::vector<Poll> polls;
    for (const auto& event : events)
    {
        if (const auto found = rowOf.find(event.text); found != rowOf.end())
        {
            polls.push_back({ found->second, {}, {}, {} });
        }
        else if (polls.empty())
        {
            continue;
        }
        else if (event.text.empty())
        {
            polls.back().alarmAt = event.at;
        }
        else
        {
            polls.back().outcome = event.text;
            polls.back().outcomeAt = event.at;
        }
    }
    return polls;
}

// "n (outcome: count, ...)" for the alarms of machines that were up.
std::string FalseAlarms(const std::vector<Poll>& polls, const std::vector<int>& off)
{
    std::map<std::string, int> byOutcome;
    int count = 0;
    for (const Poll& poll : polls)
    {
        if (poll.alarmAt && std::find(off.begin(), off.end(), poll.row) == off.end())
        {
            ++count;
            ++byOutcome[poll.outcome];
        }
    }
    std::string text = std::to_string(count);
    for (const auto& [outcome, n] : byOutcome)
    {
        text += (text.find('(') == std::string::npos ? " (" : ", ") + outcome.substr(0, outcome.find('\r')) + ": "
            + std::to_string(n);
    }
    return count > 0 ? text + ")" : text;
}

} // namespace

int main(int argc, char** argv)
{
    const int machines = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int interval = argc > 2 ? std::atoi(argv[2]) : 100;
    if (machines < 4 || interval < monitor::kMinInterval)
    {
        std::fprintf(stderr, "usage: monitor_pass_bench [MACHINES >= 4] [INTERVAL_MS >= 100]\n");
        return 2;
    }

    // A farm on its own loopback range, ports chosen by the system.
    std::unique_ptr<sim::Farm> farm;
    std::string error;
    std::random_device entropy;
    for (int attempt = 0; attempt < 8 && !farm; ++attempt)
    {
        sim::FarmConfig config;
        config.machines = machines;
        config.seed = 5;
        config.firstAddress = (127u << 24) | ((2 + entropy() % 250) << 16) | ((entropy() % 100) << 8) | 1u;
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

    const std::string loadBefore = LoadAverage();
    test::TempDir dir;
    protocol::SharedState state(dir / "config.ini");
    TimedWindow window;
    test::FakeWindow panel;
    std::map<std::string, int> rowOf;
    for (int i = 0; i < machines; ++i)
    {
        const std::string ip = net::FormatIpv4(farm->MachineAt(i).identity.address);
        window.AddRow(ip, farm->MachineAt(i).identity.mac);
        rowOf["将要连接设备 " + ip + "\r\n"] = i;
    }
    monitor::MonitorOptions options;
    options.apiPort = farm->ApiPort();
    monitor::MonitorController controller(state, window.Window(), panel, options);
    panel.SetItemText(resources::kIdIntervalEdit, std::to_string(interval));
    panel.CheckButton(resources::kIdMonitorCheck, core::kChecked);

    // Pass 1: every machine answers. Each poll logs two lines.
    const double cpuBefore = CpuSeconds();
    const auto start = Clock::now();
    controller.OnPanelCommand(resources::kIdMonitorCheck);
    const auto lines = [&window] { return window.LogLines().size(); };
    const std::size_t pollLines = static_cast<std::size_t>(machines) * 2;
    if (!window.WaitFor([&] { return lines() >= pollLines; }, machines * (interval + 6000)))
    {
        std::fprintf(stderr, "the first pass did not end\n");
        return 1;
    }
    const double cpuPass = CpuSeconds() - cpuBefore;

    // Pass 2: as soon as pass 1 has ended, some machines are switched off;
    // each is noticed when the pass reaches it.
    const std::vector<int> rows = { 0, machines / 4 - 1, machines / 2 - 1, 3 * machines / 4 - 1, machines - 1 };
    for (const int row : rows)
    {
        farm->SwitchOff(row);
    }
    const auto switchedOff = Clock::now();
    const bool ended = window.WaitFor([&] { return lines() >= 2 * pollLines; }, machines * (interval + 6000));
    state.monitoring = 0;
    controller.Stop();
    const std::string loadAfter = LoadAverage();
    if (!ended)
    {
        std::fprintf(stderr, "the second pass did not end\n");
        return 1;
    }

    const std::vector<Poll> polls = Polls(window.Events(), rowOf);
    const std::vector<Poll> first(polls.begin(), polls.begin() + machines);
    const std::vector<Poll> second(polls.begin() + machines, polls.begin() + 2 * machines);
    const auto passEnd = first.back().outcomeAt;
    std::vector<double> noticed(rows.size(), -1);
    for (const Poll& poll : second)
    {
        const auto off = std::find(rows.begin(), rows.end(), poll.row);
        if (off != rows.end() && poll.alarmAt)
        {
            noticed[static_cast<std::size_t>(off - rows.begin())] = Seconds(*poll.alarmAt - switchedOff);
        }
    }

    const double pass = Seconds(passEnd - start);
    const double intervals = machines * interval / 1000.0;
    std::printf("## Monitor: %d machines on loopback, interval %d ms\n\n", machines, interval);
    std::printf("load average (1/5/15 min) before: %s, after: %s (2 cores shared with other work)\n\n",
        loadBefore.c_str(),
        loadAfter.c_str());
    std::printf("| pass over every machine | sum of intervals (reference) | overhead | per poll | CPU of the pass | "
                "alarms of machines that were up |\n");
    std::printf("|---|---|---|---|---|---|\n");
    std::printf("| %.2f s | %.2f s | %.2f s (%.1f %%) | %.2f ms | %.2f s (%.1f %% of one core) | %s |\n\n",
        pass,
        intervals,
        pass - intervals,
        100.0 * (pass - intervals) / intervals,
        1000.0 * (pass - intervals) / machines,
        cpuPass,
        100.0 * cpuPass / pass,
        FalseAlarms(first, {}).c_str());
    std::printf("Machines switched off when pass 1 has ended; connect time-out %lld ms; alarms in pass 2 of machines "
                "that were up: %s.\n\n",
        static_cast<long long>(net::kConnectTimeout.count()),
        FalseAlarms(second, rows).c_str());
    std::printf("| row | switch-off to alarm | intervals before it (reference) | connect time-outs before it | "
                "remainder |\n");
    std::printf("|---|---|---|---|---|\n");
    for (std::size_t r = 0; r < rows.size(); ++r)
    {
        // Pass 2 starts after the last poll of pass 1 (up to one poll) and
        // waits one interval before each row up to this one; each switched-off
        // row before it, and its own, costs one connect time-out.
        const double before = (rows[r] + 1) * interval / 1000.0;
        const double timeouts = static_cast<double>(r + 1) * Seconds(net::kConnectTimeout);
        if (noticed[r] < 0)
        {
            std::printf("| %d | not noticed | %.2f s | %.2f s | |\n", rows[r], before, timeouts);
            continue;
        }
        std::printf("| %d | %.2f s | %.2f s | %.2f s | %.2f s |\n",
            rows[r],
            noticed[r],
            before,
            timeouts,
            noticed[r] - before - timeouts);
    }
    return 0;
}

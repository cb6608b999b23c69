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
#include <mutex>
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
    discovery::SharedState state(dir / "config.ini");
    TimedWindow window;
    test::FakeWindow panel;
    std::vector<std::string> connecting;
    for (int i = 0; i < machines; ++i)
    {
        const std::string ip = net::FormatIpv4(farm->MachineAt(i).identity.address);
        window.AddRow(ip, farm->MachineAt(i).identity.mac);
        connecting.push_back("将要连接设备 " + ip + "\r\n");
    }
    monitor::MonitorOptions options;
    options.apiPort = farm->ApiPort();
    monitor::MonitorController controller(state, window.Window(), panel, options);
    panel.SetItemText(resources::kIdIntervalEdit, std::to_string(interval));
    panel.CheckButton(resources::kIdMonitorCheck, core::kChecked);

    // Pass 1: every machine answers.
    const double cpuBefore = CpuSeconds();
    const auto start = Clock::now();
    controller.OnPanelCommand(resources::kIdMonitorCheck);
    const std::size_t firstPass = static_cast<std::size_t>(machines) * 2;
    if (!window.WaitFor([&] { return window.LogLines().size() >= firstPass; }, machines * (interval + 1000)))
    {
        std::fprintf(stderr, "the first pass did not end\n");
        return 1;
    }
    const auto passEnd = window.Events()[firstPass - 1].at;
    const double cpuPass = CpuSeconds() - cpuBefore;

    // Pass 2: as soon as pass 1 has ended, some machines are switched off;
    // each is noticed when the pass reaches it.
    const std::vector<int> rows = { 0, machines / 4 - 1, machines / 2 - 1, 3 * machines / 4 - 1, machines - 1 };
    for (const int row : rows)
    {
        farm->SwitchOff(row);
    }
    const auto switchedOff = Clock::now();
    std::vector<double> noticed(rows.size(), -1);
    window.WaitFor(
        [&]
        {
            const auto events = window.Events();
            return std::count_if(events.begin() + static_cast<long>(firstPass),
                       events.end(),
                       [](const auto& event) { return event.text.empty(); })
                >= static_cast<long>(rows.size());
        },
        machines * (interval + 1000) + 60'000);
    state.monitoring = 0;
    controller.Stop();
    const std::string loadAfter = LoadAverage();

    const auto events = window.Events();
    for (std::size_t i = firstPass; i + 1 < events.size(); ++i)
    {
        for (std::size_t r = 0; r < rows.size(); ++r)
        {
            if (events[i].text == connecting[static_cast<std::size_t>(rows[r])] && noticed[r] < 0)
            {
                // The alarm follows the outcome line of this poll.
                for (std::size_t j = i + 1; j < events.size() && j <= i + 3; ++j)
                {
                    if (events[j].text.empty())
                    {
                        noticed[r] = Seconds(events[j].at - switchedOff);
                        break;
                    }
                }
            }
        }
    }

    const double pass = Seconds(passEnd - start);
    const double intervals = machines * interval / 1000.0;
    std::printf("## Monitor: %d machines on loopback, interval %d ms\n\n", machines, interval);
    std::printf("load average (1/5/15 min) before: %s, after: %s (2 cores shared with other work)\n\n",
        loadBefore.c_str(),
        loadAfter.c_str());
    std::printf("| pass over every machine | sum of intervals (reference) | overhead | per poll | CPU of the pass |\n");
    std::printf("|---|---|---|---|---|\n");
    std::printf("| %.2f s | %.2f s | %.2f s (%.1f %%) | %.2f ms | %.2f s (%.1f %% of one core) |\n\n",
        pass,
        intervals,
        pass - intervals,
        100.0 * (pass - intervals) / intervals,
        1000.0 * (pass - intervals) / machines,
        cpuPass,
        100.0 * cpuPass / pass);
    std::printf("Machines switched off when pass 1 has ended; connect time-out %lld ms.\n\n",
        static_cast<long long>(net::kConnectTimeout.count()));
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

#include "cli/polled_monitor.h"

#include "cli/option_checks.h"
#include "discovery/device_table.h"
#include "platform/net/ipv4.h"
#include "platform/net/socket.h"
#include "poller/machine_poller.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace quellis::cli
{

MonitorLine StateEventRecord(const poller::StateEvent& event)
{
    const std::time_t time = std::chrono::system_clock::to_time_t(event.time);
    std::tm local {};
    localtime_r(&time, &local);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    const std::string_view reason = poller::FailureName(event.transition.reason);
    std::string change = std::string(poller::StateName(event.transition.from)) + " -> "
        + std::string(poller::StateName(event.transition.to));
    if (!reason.empty())
    {
        change += " " + std::string(reason);
    }
    return { when,
        net::FormatIpv4(event.address),
        event.mac,
        std::string(poller::StateName(event.transition.to)),
        std::move(change),
        event.transition.to == poller::MachineState::Down };
}

std::string StateEventLine(const poller::StateEvent& event)
{
    return FormatMonitorLine(StateEventRecord(event), Format::Table);
}

CLI::Option* DeclarePolledMonitor(CLI::App& app, PolledMonitorOptions& options)
{
    app.add_option("--period", options.periodSeconds)
        ->transform(WholeNumber(1, 86400, "--period takes seconds, 1 to 86400"));
    app.add_option("--grace", options.grace)->transform(WholeNumber(1, 100, "--grace takes 1 to 100 failed polls"));
    return app.add_option("--concurrency", options.concurrency)
        ->transform(WholeNumber(1, 4096, "--concurrency takes 1 to 4096"));
}

int RunPolledMonitor(Session& session,
    const std::vector<Target>& targets,
    const PolledMonitorOptions& options,
    int seconds,
    const std::atomic<bool>& stop,
    const std::function<void()>& alarm)
{
    // What the search knows of each machine, as the exporter shows it.
    const auto rows = session.Window().Rows();
    std::vector<poller::MachineInfo> machines;
    for (const Target& target : targets)
    {
        poller::MachineInfo info;
        info.address = net::ParseIpv4(target.ip).value_or(0);
        info.mac = target.mac;
        if (target.row >= 0 && static_cast<std::size_t>(target.row) < rows.size())
        {
            info.version = rows[static_cast<std::size_t>(target.row)][discovery::kColumnVersion];
            info.host = rows[static_cast<std::size_t>(target.row)][discovery::kColumnHostName];
        }
        machines.push_back(std::move(info));
    }
    net::RaiseSocketLimit();
    poller::PollerOptions pollerOptions;
    pollerOptions.concurrency = options.concurrency;
    pollerOptions.period = std::chrono::seconds(options.periodSeconds);
    pollerOptions.grace = options.grace;
    std::atomic<int> downs { 0 };
    poller::MachinePoller poller(pollerOptions,
        [&](const poller::StateEvent& event)
        {
            std::fputs(FormatMonitorLine(StateEventRecord(event), options.format).c_str(), stdout);
            std::fflush(stdout);
            if (event.transition.to == poller::MachineState::Down)
            {
                ++downs;
                alarm();
            }
        });
    poller.Update(machines);
    std::fprintf(stderr,
        "monitoring %zu machines, %d at a time, every %d s; Ctrl-C ends\n",
        machines.size(),
        options.concurrency,
        options.periodSeconds);
    if (!poller.Start())
    {
        std::fprintf(stderr, "quellis-cli monitor: the poller cannot start\n");
        return kExitSomeFailed;
    }
    const auto end = seconds > 0 ? std::chrono::steady_clock::now() + std::chrono::seconds(seconds)
                                 : std::chrono::steady_clock::time_point::max();
    while (!stop && std::chrono::steady_clock::now() < end)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    poller.Stop();
    std::fprintf(stderr, "%d machines went down\n", downs.load());
    return downs.load() == 0 ? kExitOk : kExitSomeFailed;
}

} // namespace quellis::cli

#pragma once

#include "cli/monitor_lines.h"
#include "cli/run.h"
#include "poller/machine_poller.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// `monitor --concurrency N`: the farm poller over the machines found, all
// polled at once within N connections, in place of the window's one after
// the other; every change of a machine's state is a line.

namespace CLI
{
class App;
class Option;
} // namespace CLI

namespace quellis::cli
{

// One change of a machine's state as the monitor and the exporter print it:
// local time, address, MAC, from -> to and the reason of a failure.
[[nodiscard]] std::string StateEventLine(const poller::StateEvent& event);
// The same as a monitor line: the event is the new state, the text the change.
[[nodiscard]] MonitorLine StateEventRecord(const poller::StateEvent& event);

struct PolledMonitorOptions
{
    int concurrency = 0; // 0: the window's monitor
    int periodSeconds = 10;
    int grace = 2;
    Format format = Format::Table; // of the lines
};

// Declares --concurrency N, --period SECONDS and --grace K into `options`;
// gives the first.
CLI::Option* DeclarePolledMonitor(CLI::App& app, PolledMonitorOptions& options);

// Polls the targets, with what the search knows of them, until `stop` or
// `seconds` (0: no limit); `alarm` is called when a machine goes down. The
// exit status: 1 when any machine went down.
int RunPolledMonitor(Session& session,
    const std::vector<Target>& targets,
    const PolledMonitorOptions& options,
    int seconds,
    const std::atomic<bool>& stop,
    const std::function<void()>& alarm);

} // namespace quellis::cli

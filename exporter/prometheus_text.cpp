#include "exporter/prometheus_text.h"

#include "platform/net/ipv4.h"

#include <charconv>
#include <cmath>
#include <vector>

namespace quellis::exporter
{

namespace
{

using poller::MachineState;
using poller::MachineView;

void AppendNumber(std::string& out, double value)
{
    if (std::isnan(value))
    {
        out += "NaN";
        return;
    }
    if (std::isinf(value))
    {
        out += value > 0 ? "+Inf" : "-Inf";
        return;
    }
    char text[32];
    // Whole numbers (counts, seconds since the epoch) as integers, not as
    // "1.7e+09".
    const auto end = value == std::trunc(value) && std::fabs(value) < 1e15
        ? std::to_chars(text, text + sizeof text, static_cast<long long>(value)).ptr
        : std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, end);
}

void AppendFamily(std::string& out, std::string_view name, std::string_view type, std::string_view help)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

// name{mac="…",ip="…"[,extra]} value, with the machine's labels written once
// per scrape ('{mac="…",ip="…"', without the closing brace).
void AppendMachineSample(
    std::string& out, std::string_view name, std::string_view labels, std::string_view extra, double value)
{
    out.append(name).append(labels).append(extra).append("} ");
    AppendNumber(out, value);
    out += '\n';
}

std::string Label(std::string_view name, std::string_view value)
{
    return std::string(",").append(name).append("=\"").append(EscapeLabelValue(value)).append("\"");
}

// The length of the valid UTF-8 sequence at the start of `text`, 0 when
// there is none (overlong forms, surrogates and values past U+10FFFF too).
std::size_t Utf8SequenceLength(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
    {
        length = 2;
    }
    else if (lead >= 0xE0 && lead <= 0xEF)
    {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    }
    else if (lead >= 0xF0 && lead <= 0xF4)
    {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    if (length == 0 || text.size() < length || byte(1) < low || byte(1) > high)
    {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i)
    {
        if (byte(i) < 0x80 || byte(i) > 0xBF)
        {
            return 0;
        }
    }
    return length;
}

} // namespace

std::string EscapeLabelValue(std::string_view value)
{
    std::string escaped;
    escaped.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i)
    {
        const char c = value[i];
        if (static_cast<unsigned char>(c) >= 0x80)
        {
            // The text format is UTF-8: a byte that does not start a valid
            // sequence becomes U+FFFD, as a device's name may be anything.
            const std::size_t length = Utf8SequenceLength(value.substr(i));
            if (length == 0)
            {
                escaped += "\xEF\xBF\xBD";
            }
            else
            {
                escaped.append(value.substr(i, length));
                i += length - 1;
            }
            continue;
        }
        switch (c)
        {
        case '\\':
            escaped += "\\\\";
            break;
        case '"':
            escaped += "\\\"";
            break;
        case '\n':
            escaped += "\\n";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string RenderMetrics(const poller::PollerSnapshot& snapshot)
{
    const auto& machines = snapshot.machines;
    std::string out;
    out.reserve(512 + machines.size() * 700);
    std::vector<std::string> labels(machines.size());
    for (std::size_t i = 0; i < machines.size(); ++i)
    {
        labels[i].append("{mac=\"").append(EscapeLabelValue(machines[i].info.mac)).append("\",ip=\"");
        labels[i].append(net::FormatIpv4(machines[i].info.address)).append("\"");
    }

    AppendFamily(out, "quellis_machine_up", "gauge", "1 while the machine's miner API answers, 0 once it is down.");
    for (std::size_t i = 0; i < machines.size(); ++i)
    {
        const MachineView& machine = machines[i];
        AppendMachineSample(out, "quellis_machine_up", labels[i], {}, machine.state == MachineState::Up ? 1 : 0);
    }

    AppendFamily(out,
        "quellis_machine_hashrate_hashes_per_second",
        "gauge",
        "Average hash rate the miner reports, while the machine is up.");
    for (std::size_t i = 0; i < machines.size(); ++i)
    {
        const MachineView& machine = machines[i];
        if (machine.state == MachineState::Up && machine.mhsAv)
        {
            AppendMachineSample(out, "quellis_machine_hashrate_hashes_per_second", labels[i], {}, *machine.mhsAv * 1e6);
        }
    }

    AppendFamily(out, "quellis_machine_temperature_celsius", "gauge", "Temperature in the machine's search record.");
    for (std::size_t i = 0; i < machines.size(); ++i)
    {
        const MachineView& machine = machines[i];
        if (machine.info.temperature)
        {
            AppendMachineSample(out, "quellis_machine_temperature_celsius", labels[i], {}, *machine.info.temperature);
        }
    }

    AppendFamily(out, "quellis_machine_uptime_seconds", "gauge", "Run time in the machine's search record.");
    for (std::size_t i = 0; i < machines.size(); ++i)
    {
        const MachineView& machine = machines[i];
        if (machine.info.uptimeSeconds)
        {
            AppendMachineSample(
                out, "quellis_machine_uptime_seconds", labels[i], {}, static_cast<double>(*machine.info.uptimeSeconds));
        }
    }

    AppendFamily(out, "quellis_machine_info", "gauge", "Firmware version and host name of the machine; always 1.");
    for (std::size_t i = 0; i < machines.size(); ++i)
    {
        const MachineView& machine = machines[i];
        AppendMachineSample(out,
            "quellis_machine_info",
            labels[i],
            Label("version", machine.info.version) + Label("host", machine.info.host),
            1);
    }

    AppendFamily(out,
        "quellis_machine_last_seen_timestamp_seconds",
        "gauge",
        "When the machine last answered a search, in seconds since the epoch.");
    for (std::size_t i = 0; i < machines.size(); ++i)
    {
        const MachineView& machine = machines[i];
        if (machine.info.lastSeenUnix)
        {
            AppendMachineSample(out,
                "quellis_machine_last_seen_timestamp_seconds",
                labels[i],
                {},
                static_cast<double>(*machine.info.lastSeenUnix));
        }
    }

    AppendFamily(out, "quellis_machine_poll_failures_total", "counter", "Failed polls of the machine's miner API.");
    for (std::size_t i = 0; i < machines.size(); ++i)
    {
        const MachineView& machine = machines[i];
        for (std::size_t reason = 1; reason < poller::kFailureKinds; ++reason)
        {
            if (machine.failures[reason] != 0)
            {
                AppendMachineSample(out,
                    "quellis_machine_poll_failures_total",
                    labels[i],
                    Label("reason", poller::FailureName(static_cast<poller::PollFailure>(reason))),
                    static_cast<double>(machine.failures[reason]));
            }
        }
    }

    std::size_t up = 0;
    std::size_t down = 0;
    for (const MachineView& machine : machines)
    {
        up += machine.state == MachineState::Up ? 1 : 0;
        down += machine.state == MachineState::Down ? 1 : 0;
    }
    AppendFamily(out, "quellis_machines", "gauge", "Machines by state.");
    out.append("quellis_machines{state=\"up\"} ").append(std::to_string(up)).append("\n");
    out.append("quellis_machines{state=\"down\"} ").append(std::to_string(down)).append("\n");

    AppendFamily(out, "quellis_poll_duration_seconds", "histogram", "Time one poll of a machine took.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < snapshot.durations.size(); ++i)
    {
        cumulative += snapshot.durations[i];
        out.append("quellis_poll_duration_seconds_bucket{le=\"");
        if (i < poller::kDurationBounds.size())
        {
            AppendNumber(out, poller::kDurationBounds[i]);
        }
        else
        {
            out.append("+Inf");
        }
        out.append("\"} ").append(std::to_string(cumulative)).append("\n");
    }
    out.append("quellis_poll_duration_seconds_sum ");
    AppendNumber(out, snapshot.durationSum);
    out.append("\nquellis_poll_duration_seconds_count ").append(std::to_string(snapshot.polls)).append("\n");
    return out;
}

} // namespace quellis::exporter

#pragma once

#include "poller/machine_poller.h"

#include <string>
#include <string_view>

// The exporter's metrics in the Prometheus text format, from a snapshot of
// the poller. The names and labels are what dashboards and alert rules are
// written against: they do not change.

namespace quellis::exporter
{

inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// A label value in the text format: backslash, double quote and line feed
// escaped, and bytes that are not UTF-8 replaced by U+FFFD.
[[nodiscard]] std::string EscapeLabelValue(std::string_view value);

// Every metric of every machine, each family with its HELP and TYPE lines.
[[nodiscard]] std::string RenderMetrics(const poller::PollerSnapshot& snapshot);

} // namespace quellis::exporter

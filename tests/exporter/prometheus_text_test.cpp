#include "exporter/http_answer.h"
#include "exporter/prometheus_text.h"
#include "tests/exporter/gunzip.h"

#include <gtest/gtest.h>

namespace quellis::exporter
{
namespace
{

using poller::MachineState;
using poller::PollFailure;

TEST(PrometheusText, RendersEveryFamilyWithMacAndIpLabels)
{
    poller::PollerSnapshot snapshot;
    poller::MachineView up;
    up.info = { 0x0A4D8001, "A1B2C3D4E5F6", "rack \"7\"\\a\nb", "4.2.0", 71.5, 3600, 1700000000 };
    up.state = MachineState::Up;
    up.mhsAv = 13500.25;
    up.failures[static_cast<std::size_t>(PollFailure::Timeout)] = 3;
    poller::MachineView down;
    down.info.address = 0x0A4D8002;
    down.info.host = "\xB0\xA1 \xC0\xAF\xE4\xB8\xAD"; // code page 936, an overlong '/', then UTF-8
    down.state = MachineState::Down;
    down.mhsAv = 99; // the last good poll's: not shown while down
    poller::MachineView unknown;
    unknown.info.address = 0x0A4D8003;
    snapshot.machines = { up, down, unknown };
    snapshot.durations[0] = 2; // <= 5 ms
    snapshot.durations[3] = 1; // <= 50 ms
    snapshot.durations.back() = 1; // > 5 s
    snapshot.durationSum = 6.25;
    snapshot.polls = 4;

    const std::string text = RenderMetrics(snapshot);
    const char* const lines[] = {
        "# TYPE quellis_machine_up gauge\n",
        "quellis_machine_up{mac=\"A1B2C3D4E5F6\",ip=\"10.77.128.1\"} 1\n",
        "quellis_machine_up{mac=\"\",ip=\"10.77.128.2\"} 0\n",
        "quellis_machine_up{mac=\"\",ip=\"10.77.128.3\"} 0\n",
        "quellis_machine_hashrate_hashes_per_second{mac=\"A1B2C3D4E5F6\",ip=\"10.77.128.1\"} 13500250000\n",
        "quellis_machine_temperature_celsius{mac=\"A1B2C3D4E5F6\",ip=\"10.77.128.1\"} 71.5\n",
        "quellis_machine_uptime_seconds{mac=\"A1B2C3D4E5F6\",ip=\"10.77.128.1\"} 3600\n",
        "quellis_machine_info{mac=\"A1B2C3D4E5F6\",ip=\"10.77.128.1\",version=\"4.2.0\",host=\"rack "
        "\\\"7\\\"\\\\a\\nb\"} 1\n",
        "version=\"\",host=\"\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD\xE4\xB8\xAD\"} 1\n",
        "quellis_machine_last_seen_timestamp_seconds{mac=\"A1B2C3D4E5F6\",ip=\"10.77.128.1\"} 1700000000\n",
        "# TYPE quellis_machine_poll_failures_total counter\n",
        "quellis_machine_poll_failures_total{mac=\"A1B2C3D4E5F6\",ip=\"10.77.128.1\",reason=\"timeout\"} 3\n",
        "quellis_machines{state=\"up\"} 1\nquellis_machines{state=\"down\"} 1\n",
        "# TYPE quellis_poll_duration_seconds histogram\n",
        "quellis_poll_duration_seconds_bucket{le=\"0.005\"} 2\n",
        "quellis_poll_duration_seconds_bucket{le=\"0.05\"} 3\n",
        "quellis_poll_duration_seconds_bucket{le=\"5\"} 3\n",
        "quellis_poll_duration_seconds_bucket{le=\"+Inf\"} 4\n",
        "quellis_poll_duration_seconds_sum 6.25\nquellis_poll_duration_seconds_count 4\n",
    };
    for (const char* line : lines)
    {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    // Values not known are left out, not written as 0.
    EXPECT_EQ(text.find("hashes_per_second{mac=\"\""), std::string::npos);
    EXPECT_EQ(text.find("temperature_celsius{mac=\"\""), std::string::npos);
    EXPECT_EQ(text.find("reason=\"refused\""), std::string::npos);
}

TEST(HttpAnswer, RoutesAndCompressesWhenTheClientAcceptsGzip)
{
    struct Case
    {
        const char* acceptEncoding;
        bool gzip;
    };
    const Case cases[] = {
        { "", false },
        { "gzip", true },
        { "deflate, GZIP;q=0.5", true },
        { "gzip;q=0", false },
        { "gzip; q=0.000, identity", false },
        { "*", true },
        { "gzipx, x-gzip", false },
    };
    int rendered = 0;
    const auto metrics = [&]
    {
        ++rendered;
        return std::string(5000, 'm');
    };
    for (const Case& c : cases)
    {
        const HttpAnswer answer = Answer("GET", "/metrics", c.acceptEncoding, metrics);
        EXPECT_EQ(answer.status, 200u);
        EXPECT_EQ(answer.gzip, c.gzip) << c.acceptEncoding;
        EXPECT_EQ(answer.gzip ? Gunzip(answer.body) : answer.body, std::string(5000, 'm')) << c.acceptEncoding;
    }
    EXPECT_EQ(Answer("GET", "/", "gzip", metrics).body.find("href=\"/metrics\"") != std::string::npos, true);
    EXPECT_EQ(Answer("GET", "/metrics?x=1", "", metrics).status, 200u);
    EXPECT_EQ(Answer("GET", "/metric", "", metrics).status, 404u);
    EXPECT_EQ(Answer("POST", "/metrics", "", metrics).status, 405u);
    EXPECT_EQ(rendered, 8);
}

} // namespace
} // namespace quellis::exporter

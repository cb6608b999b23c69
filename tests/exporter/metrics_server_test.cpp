#include "exporter/metrics_server.h"
#include "exporter/prometheus_text.h"
#include "platform/net/socket.h"
#include "poller/machine_poller.h"
#include "tests/exporter/gunzip.h"
#include "tests/sim/loopback_tool.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <thread>

namespace quellis::exporter
{
namespace
{

using namespace std::chrono_literals;

// One request over its own connection; the whole answer, head and body.
std::string Fetch(std::uint16_t port, const std::string& request)
{
    net::Socket socket = net::Socket::Create(net::SocketKind::Tcp);
    if (!socket.Connect({ 0x7F000001, port }, 2000ms) || !socket.SetReceiveTimeout(5000ms))
    {
        return {};
    }
    EXPECT_EQ(socket.Send(request.data(), request.size()), static_cast<int>(request.size()));
    std::string answer;
    char buffer[65536];
    for (int got = 1; got > 0;)
    {
        got = socket.Receive(buffer, sizeof buffer);
        if (got > 0)
        {
            answer.append(buffer, static_cast<std::size_t>(got));
        }
    }
    return answer;
}

std::string Get(std::uint16_t port, const std::string& path, const std::string& headers = "")
{
    return Fetch(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + headers + "\r\n");
}

std::string Body(const std::string& answer)
{
    const std::size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

class ExporterOverFarm : public testing::Test
{
protected:
    void SetUp() override
    {
        sim::FarmConfig config;
        config.machines = 20;
        config.seed = 9;
        config.scenario.spreadMs = 0;
        config.scenario.groups = sim::test::Groups(
            { "indexes=1,api=refuse", "indexes=2,api=not-json", "indexes=3,api=no-status", "indexes=4,api=close" });
        farm_ = sim::test::StartLoopbackFarm(config, 0);
        ASSERT_TRUE(farm_);
        poller::PollerOptions options;
        options.port = farm_->ApiPort();
        options.period = 300ms;
        poller_ = std::make_unique<poller::MachinePoller>(options);
        std::vector<poller::MachineInfo> machines;
        for (int i = 0; i < farm_->MachineCount(); ++i)
        {
            const auto& identity = farm_->MachineAt(i).identity;
            machines.push_back({ identity.address,
                identity.mac,
                identity.name,
                identity.versionText,
                static_cast<double>(identity.temperature),
                3600,
                1700000000 + i });
        }
        poller_->Update(machines);
        ASSERT_TRUE(poller_->Start());
    }

    void StartServer(ServerOptions options)
    {
        options.listen = { 0x7F000001, 0 };
        server_ = std::make_unique<MetricsServer>(options, [this] { return RenderMetrics(poller_->Snapshot()); });
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
    }

    // Waits until every machine has had its verdict.
    void WaitForVerdicts()
    {
        for (int i = 0; i < 100; ++i)
        {
            const auto snapshot = poller_->Snapshot();
            if (std::none_of(snapshot.machines.begin(),
                    snapshot.machines.end(),
                    [](const poller::MachineView& m) { return m.state == poller::MachineState::Unknown; }))
            {
                return;
            }
            std::this_thread::sleep_for(50ms);
        }
        ADD_FAILURE() << "machines without a verdict";
    }

    std::unique_ptr<sim::Farm> farm_;
    std::unique_ptr<poller::MachinePoller> poller_;
    std::unique_ptr<MetricsServer> server_;
};

TEST_F(ExporterOverFarm, ServesMetricsThatPromtoolAccepts)
{
    StartServer({});
    WaitForVerdicts();
    const std::string answer = Get(server_->Port(), "/metrics", "Accept-Encoding: gzip\r\n");
    ASSERT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer.substr(0, 200);
    EXPECT_NE(answer.find("Content-Encoding: gzip"), std::string::npos);
    const std::string text = Gunzip(Body(answer));
    EXPECT_NE(text.find("quellis_machines{state=\"up\"} 16\n"), std::string::npos);
    EXPECT_NE(text.find("reason=\"parse_error\""), std::string::npos);
    const auto& machine = farm_->MachineAt(0).identity;
    char expected[160];
    std::snprintf(expected,
        sizeof expected,
        "quellis_machine_up{mac=\"%s\",ip=\"%s\"} 1\n",
        machine.mac.c_str(),
        net::FormatIpv4(machine.address).c_str());
    EXPECT_NE(text.find(expected), std::string::npos) << expected;

    const test::ProcessResult check = test::RunProcess({ QUELLIS_PROMTOOL, "check", "metrics" }, text);
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_EQ(check.out + check.err, "");

    EXPECT_EQ(Get(server_->Port(), "/nothing").rfind("HTTP/1.1 404", 0), 0u);
    EXPECT_NE(Body(Get(server_->Port(), "/")).find("/metrics"), std::string::npos);
    // Malformed requests are refused or dropped; the server goes on serving.
    for (const std::string& bad :
        { std::string("GARBAGE\r\n\r\n"), "GET /metrics HTTP/1.1\r\nX-Big: " + std::string(200000, 'x') + "\r\n\r\n" })
    {
        const std::string answer = Fetch(server_->Port(), bad);
        EXPECT_TRUE(answer.empty() || answer.rfind("HTTP/1.1 4", 0) == 0) << answer.substr(0, 100);
    }
    EXPECT_EQ(Get(server_->Port(), "/metrics").rfind("HTTP/1.1 200", 0), 0u);
}

// Clients that never finish their request are dropped after the idle time;
// meanwhile 100 scrapes at once are all answered and the poller goes on.
TEST_F(ExporterOverFarm, OutlastsSlowClientsAndManyScrapes)
{
    ServerOptions options;
    options.idleSeconds = 1;
    StartServer(options);
    std::vector<net::Socket> slow;
    for (int i = 0; i < 20; ++i)
    {
        slow.push_back(net::Socket::Create(net::SocketKind::Tcp));
        ASSERT_TRUE(slow.back().Connect({ 0x7F000001, server_->Port() }, 2000ms));
        ASSERT_EQ(slow.back().Send("GET /metr", 9), 9);
    }
    const std::uint64_t pollsBefore = poller_->Snapshot().polls;
    std::vector<std::thread> scrapers;
    std::atomic<int> answered { 0 };
    for (int i = 0; i < 100; ++i)
    {
        scrapers.emplace_back(
            [&]
            {
                if (Get(server_->Port(), "/metrics", "Accept-Encoding: gzip\r\n").rfind("HTTP/1.1 200", 0) == 0)
                {
                    ++answered;
                }
            });
    }
    for (std::thread& scraper : scrapers)
    {
        scraper.join();
    }
    EXPECT_EQ(answered.load(), 100);
    char byte = 0;
    for (net::Socket& socket : slow)
    {
        ASSERT_TRUE(socket.SetReceiveTimeout(5000ms));
        EXPECT_LE(socket.Receive(&byte, 1), 0); // closed by the server, not answered
    }
    std::this_thread::sleep_for(700ms);
    EXPECT_GT(poller_->Snapshot().polls, pollsBefore + 20);
}

} // namespace
} // namespace quellis::exporter

// The monitor across the network lab: the polling thread on the tool's side
// asks the machines' miner API on port 4029 in the farm namespace, and a
// machine that loses its power and gets it back is seen doing so; a machine
// off at the link level reads as switched off to the monitor and the miner runs.
#include "miner/miner_api_client.h"
#include "monitor/monitor_controller.h"
#include "platform/net/ipv4.h"
#include "platform/net/wsa_error.h"
#include "resources/templates/monitor_panel_ids.h"
#include "sim/scenario.h"
#include "tests/net/lab_tool.h"
#include "tests/support/fake_window.h"
#include "tests/support/temp_dir.h"

namespace quellis::test
{
namespace
{

using namespace quellis::resources;

TEST(LabMonitor, AMachineThatLosesPowerIsReportedUntilItIsBack)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 3;
    sim::BehaviourGroup off;
    std::string error;
    ASSERT_TRUE(sim::ParseBehaveOption("indexes=1,offAtMs=800,offForMs=4000", &off, &error)) << error;
    config.scenario.groups = { off };
    const auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());

    TempDir dir;
    protocol::SharedState state(dir / "config.ini");
    FakeWindow window;
    FakeWindow panel;
    for (int i = 0; i < 3; ++i)
    {
        window.AddRow(net::FormatIpv4(farm->MachineAt(i).identity.address), farm->MachineAt(i).identity.mac);
    }
    // The worker is started from this thread, so it polls from the tool's side.
    monitor::MonitorController controller(state, window.Window(), panel);
    panel.SetItemText(kIdIntervalEdit, "100");
    panel.CheckButton(kIdMonitorCheck, core::kChecked);
    controller.OnPanelCommand(kIdMonitorCheck);

    const std::string connecting = "将要连接设备 " + net::FormatIpv4(farm->MachineAt(1).identity.address) + "\r\n";
    const std::string version = "设备版本信息" + farm->MachineAt(1).identity.minerDescription + "\r\n";
    const std::string timedOut = "连接超时，请确认设备是否已掉电！\r\n";
    // Machine 1's outcomes in order: up, off (the connect runs into its
    // time-out: nothing answers across the link), up again.
    const auto outcomes = [&]
    {
        std::vector<std::string> seen;
        const auto lines = window.LogLines();
        for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        {
            if (lines[i].text == connecting && (seen.empty() || seen.back() != lines[i + 1].text))
            {
                seen.push_back(lines[i + 1].text);
            }
        }
        return seen;
    };
    EXPECT_TRUE(window.WaitFor([&] { return outcomes().size() >= 3; }, 20'000));
    state.monitoring = 0;
    controller.Stop();
    EXPECT_EQ(outcomes(), (std::vector<std::string> { version, timedOut, version }));
    EXPECT_GE(window.AlarmPlays(), 1);
}

// On a real segment a machine switched off answers no address resolution,
// and the system reports "host unreachable" to the connect, racing the
// connect's own bound; the lab's farm answers so for an unplugged machine at
// once. Either way the operator reads that the machine did not answer.
TEST(LabMonitor, AMachineOffAtTheLinkLevelReadsAsTimedOutInTheMinerRunsAndTheMonitor)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    sim::FarmConfig config;
    config.machines = 2;
    sim::BehaviourGroup unplugged;
    std::string error;
    ASSERT_TRUE(sim::ParseBehaveOption("indexes=1,unplugged=true", &unplugged, &error)) << error;
    config.scenario.groups = { unplugged };
    const auto farm = StartLabFarm(*lab, config);
    ASSERT_TRUE(farm);
    NetLab::Enter tool(lab->ToolNamespace());
    ASSERT_TRUE(tool.Ok());
    const std::string ip0 = net::FormatIpv4(farm->MachineAt(0).identity.address);
    const std::string ip1 = net::FormatIpv4(farm->MachineAt(1).identity.address);

    miner::MinerApiClient client({ farm->ApiPort() });
    EXPECT_EQ(client.Exchange(ip0, miner::SummaryRequest(), true).result, miner::ExchangeResult::Ok);
    const miner::Exchanged off = client.Exchange(ip1, miner::SummaryRequest(), true);
    ASSERT_EQ(off.result, miner::ExchangeResult::ConnectFailed);
    EXPECT_EQ(off.error, net::kWsaHostUnreachable) << "what a real segment reports";
    for (const bool all : { true, false })
    {
        EXPECT_EQ(
            miner::ExchangeFailureText(off.result, off.error, ip1, all), "连接超时，请确认服务器端是否启动！\r\n");
    }

    TempDir dir;
    protocol::SharedState state(dir / "config.ini");
    FakeWindow window;
    FakeWindow panel;
    window.AddRow(ip0, farm->MachineAt(0).identity.mac);
    window.AddRow(ip1, farm->MachineAt(1).identity.mac);
    monitor::MonitorController controller(state, window.Window(), panel);
    panel.SetItemText(kIdIntervalEdit, "100");
    panel.CheckButton(kIdMonitorCheck, core::kChecked);
    controller.OnPanelCommand(kIdMonitorCheck);
    // Two rounds over both machines.
    const auto polls = [&]
    {
        std::vector<std::string> seen;
        const auto lines = window.LogLines();
        for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        {
            if (lines[i].text == "将要连接设备 " + ip1 + "\r\n")
            {
                seen.push_back(lines[i + 1].text);
            }
        }
        return seen;
    };
    EXPECT_TRUE(window.WaitFor([&] { return polls().size() >= 2; }, 20'000));
    state.monitoring = 0;
    controller.Stop();
    const auto seen = polls();
    ASSERT_GE(seen.size(), 2u);
    for (const std::string& line : seen)
    {
        EXPECT_EQ(line, "连接超时，请确认设备是否已掉电！\r\n");
    }
    EXPECT_NE(window.LogText().find("设备版本信息" + farm->MachineAt(0).identity.minerDescription), std::string::npos);
    EXPECT_GE(window.AlarmPlays(), 1);
}

} // namespace
} // namespace quellis::test

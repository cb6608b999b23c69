// The monitor on a fake window against a loopback farm: what one poll of
// each kind of machine logs and whether it sounds the alarm, the interval
// field, the five buttons, machines that vanish and come back, switching off
// and on quickly, and the teardown.
#include "core/settings.h"
#include "monitor/monitor_controller.h"
#include "platform/net/ipv4.h"
#include "platform/net/wsa_error.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/monitor_panel_ids.h"
#include "tests/sim/loopback_tool.h"
#include "tests/support/fake_window.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

// Cases name only the fields they change; GCC would warn about each one left out.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace quellis::monitor
{
namespace
{

using namespace std::chrono_literals;
using namespace quellis::resources;
using Clock = std::chrono::steady_clock;

TEST(DevsPoll, EachOutcomeHasItsLineAndAlarm)
{
    struct Case
    {
        PollOutcome outcome;
        std::string log;
        bool alarm;
    };
    const std::vector<Case> cases = {
        { { PollStep::ConnectFailed, net::kWsaConnectionRefused }, "请确认设备监听端口是否正确！\r\n", true },
        { { PollStep::ConnectFailed, net::kWsaTimedOut }, "连接超时，请确认设备是否已掉电！\r\n", true },
        { { PollStep::ConnectFailed, net::kWsaHostUnreachable }, "连接超时，请确认设备是否已掉电！\r\n", true },
        { { PollStep::ConnectFailed, net::kWsaNetworkUnreachable }, "连接超时，请确认设备是否已掉电！\r\n", true },
        { { PollStep::ConnectFailed, net::kWsaNetworkDown }, "1未知错误：10050\r\n", true },
        { { PollStep::SendClosed, net::kWsaConnectionReset }, "设备端已关闭连接！", true },
        { { PollStep::SendClosed, net::kWsaConnectionAborted }, "设备端已关闭连接！", true },
        { { PollStep::ReceiveFailed }, "设备端接收数据失败！", true },
        { ReadDevsReply("not json"), "", false },
        { ReadDevsReply(R"({"STATUS":[{"STATUS":"S","Description":"miner 1.0"}],"DEVS":[]})"),
            "设备版本信息miner 1.0\r\n",
            false },
        { ReadDevsReply(R"({"DEVS":[]})"), "设备端接收数据解析失败！", true },
        { ReadDevsReply("{}"), "设备端接收数据解析失败！", true },
        { ReadDevsReply(R"([{"STATUS":[]}])"), "设备端接收数据解析失败！", true },
        { ReadDevsReply(R"({"STATUS":null})"), "设备端接收数据解析失败！", true },
        { ReadDevsReply(R"({"STATUS":{"Description":"x"}})"), "", false },
        // Comments are allowed; a NUL after the JSON ends the text.
        { ReadDevsReply(std::string("/* devs */ {\"STATUS\":[{\"Description\":\"m 2\"}]}\0junk", 49)),
            "设备版本信息m 2\r\n",
            false },
        // Element 0 without a usable "Description": the line with no text.
        { ReadDevsReply(R"({"STATUS":[]})"), "设备版本信息\r\n", false },
        { ReadDevsReply(R"({"STATUS":[7]})"), "设备版本信息\r\n", false },
        { ReadDevsReply(R"({"STATUS":[{"Description":5}]})"), "设备版本信息\r\n", false },
        // Nesting deeper than the reader allows is a parse error, not a throw.
        { ReadDevsReply(std::string(100'000, '[')), "", false },
    };
    for (const Case& test : cases)
    {
        const Reaction reaction = ReactTo(test.outcome);
        EXPECT_EQ(reaction.log, test.log) << static_cast<int>(test.outcome.step);
        EXPECT_EQ(reaction.alarm, test.alarm) << test.log;
    }
    // The parse is bounded by the received length, not by a terminator.
    const std::string buffer = R"({"STATUS":{}}{"STATUS":[]})";
    EXPECT_EQ(ReadDevsReply(std::string_view(buffer).substr(0, 13)).step, PollStep::StatusOther);
}

class MonitorTest : public testing::Test
{
protected:
    ~MonitorTest() override { Teardown(); }

    void StartFarm(int machines, std::initializer_list<const char*> behave, bool listed = true)
    {
        sim::FarmConfig config;
        config.machines = machines;
        config.seed = 29;
        config.scenario.groups = sim::test::Groups(behave);
        farm_ = sim::test::StartLoopbackFarm(config, 9);
        ASSERT_TRUE(farm_);
        for (int i = 0; listed && i < machines; ++i)
        {
            AddRow(i);
        }
    }
    void AddRow(int machine) { window_.AddRow(Ip(machine), farm_->MachineAt(machine).identity.mac); }
    std::string Ip(int machine) const { return net::FormatIpv4(farm_->MachineAt(machine).identity.address); }
    std::string Connecting(int machine) const { return "将要连接设备 " + Ip(machine) + "\r\n"; }
    std::string Version(int machine) const
    {
        return "设备版本信息" + farm_->MachineAt(machine).identity.minerDescription + "\r\n";
    }

    MonitorController& Controller(MonitorOptions options = {})
    {
        if (!controller_)
        {
            options.apiPort = farm_ ? farm_->ApiPort() : 4029;
            controller_ = std::make_unique<MonitorController>(state_, window_.Window(), panel_, options);
        }
        return *controller_;
    }
    // The monitor box clicked into `ticked` with this text in the interval field.
    void Click(bool ticked, const std::string& interval = "100")
    {
        panel_.SetItemText(kIdIntervalEdit, interval);
        panel_.CheckButton(kIdMonitorCheck, ticked ? core::kChecked : core::kUnchecked);
        EXPECT_TRUE(Controller().OnPanelCommand(kIdMonitorCheck));
    }
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        for (const auto& line : window_.LogLines())
        {
            lines.push_back(line.text);
        }
        return lines;
    }
    bool WaitForLines(std::size_t count, int timeoutMs = 10'000)
    {
        return window_.WaitFor([&] { return window_.LogLines().size() >= count; }, timeoutMs);
    }
    // The window's teardown: the flag first, then the join.
    void Teardown()
    {
        state_.monitoring = 0;
        if (controller_)
        {
            controller_->Stop();
        }
    }

    test::TempDir dir_;
    protocol::SharedState state_ { dir_ / "config.ini" };
    test::FakeWindow window_;
    test::FakeWindow panel_;
    std::unique_ptr<sim::Farm> farm_;
    std::unique_ptr<MonitorController> controller_;
};

TEST_F(MonitorTest, TheIntervalFieldIsReadWhenTheBoxIsClicked)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        { "50", "100" }, { "abc", "100" }, { "", "100" }, { "-7", "100" }, { " 3000ms", "3000" }, { "100", "100" }
    };
    for (const auto& [typed, used] : cases)
    {
        Click(false, typed);
        EXPECT_EQ(panel_.ItemText(kIdIntervalEdit), used) << typed;
        EXPECT_EQ(core::ReadSetting(core::settings::kInterval, state_.configPath), std::stoi(used)) << typed;
        EXPECT_EQ(Controller().Interval(), std::stoi(used));
        EXPECT_TRUE(panel_.IsItemEnabled(kIdIntervalEdit));
    }
    Click(true, "250");
    EXPECT_FALSE(panel_.IsItemEnabled(kIdIntervalEdit)) << "not editable while monitoring";
    EXPECT_EQ(state_.monitoring.load(), 1);
    Click(false, "250");
    EXPECT_TRUE(panel_.IsItemEnabled(kIdIntervalEdit));
    EXPECT_EQ(state_.monitoring.load(), 0);
}

TEST_F(MonitorTest, SwitchingOnAndOffDisablesAndRestoresTheFiveButtons)
{
    const std::vector<int> plain = { kIdSearch, kIdSetIp, kIdSelectPackage };
    const std::vector<int> package = { kIdUpdateSelected, kIdUpdateAll };
    const auto enabled = [&](const std::vector<int>& ids)
    {
        std::vector<bool> states;
        for (const int id : ids)
        {
            states.push_back(window_.IsItemEnabled(id));
        }
        return states;
    };
    EXPECT_TRUE(Controller().SetMonitoring(true));
    EXPECT_FALSE(Controller().SetMonitoring(true)) << "already on";
    EXPECT_EQ(enabled(plain), std::vector<bool>(3, false));
    EXPECT_EQ(enabled(package), std::vector<bool>(2, false));
    EXPECT_TRUE(Controller().SetMonitoring(false));
    EXPECT_EQ(enabled(plain), std::vector<bool>(3, true));
    EXPECT_EQ(enabled(package), std::vector<bool>(2, false)) << "no package chosen";

    state_.packagePath.Set("/tmp/firmware.bin");
    EXPECT_TRUE(Controller().SetMonitoring(true));
    EXPECT_EQ(enabled(package), std::vector<bool>(2, false));
    EXPECT_TRUE(Controller().SetMonitoring(false));
    EXPECT_EQ(enabled(package), std::vector<bool>(2, true));
    EXPECT_TRUE(Lines().empty()) << "no rows: nothing polled";
}

TEST_F(MonitorTest, EveryApiFaultOfTheFarmGivesItsLineAndAlarm)
{
    StartFarm(7,
        { "api=ok,apiNul=false",
            "indexes=1,api=refuse",
            "indexes=2,api=silent",
            "indexes=3,api=close",
            "indexes=4,api=not-json",
            "indexes=5,api=no-status",
            "indexes=6,apiNul=true" });
    // Started by the typed call: every step is told to the observer too,
    // naming the machine by address and MAC.
    struct Recorder : MonitorObserver
    {
        void OnPoll(const MachinePoll& poll) override
        {
            std::lock_guard lock(mutex);
            polls.push_back(poll);
        }
        std::mutex mutex;
        std::vector<MachinePoll> polls;
    } recorder;
    ASSERT_EQ(Controller({ .receiveTimeout = 300ms }).StartMonitoring(30, &recorder), MonitorRefusal::None);
    EXPECT_EQ(Controller().StartMonitoring(300, nullptr), MonitorRefusal::AlreadyOn);
    ASSERT_TRUE(WaitForLines(13));
    const int alarms = window_.AlarmPlays();
    Controller().StopMonitoring();
    Controller().Stop();
    EXPECT_EQ(Controller().Interval(), kMinInterval) << "30 ms is below the lowest interval";
    ASSERT_GE(recorder.polls.size(), 14u);
    for (int machine = 0; machine < 7; ++machine)
    {
        const MachinePoll& connecting = recorder.polls[2 * machine];
        const MachinePoll& answered = recorder.polls[2 * machine + 1];
        EXPECT_EQ(connecting.mac, farm_->MachineAt(machine).identity.mac);
        EXPECT_EQ(net::FormatIpv4(answered.address), Ip(machine));
        EXPECT_EQ(answered.mac, connecting.mac);
        EXPECT_FALSE(connecting.outcome.has_value());
        ASSERT_TRUE(answered.outcome.has_value());
        EXPECT_EQ(answered.reaction.alarm, (machine >= 1 && machine <= 3) || machine == 5) << machine;
    }
    const std::vector<std::string> expected = { Connecting(0),
        Version(0),
        Connecting(1),
        "请确认设备监听端口是否正确！\r\n",
        Connecting(2),
        "设备端接收数据失败！",
        Connecting(3),
        "设备端接收数据失败！",
        Connecting(4),
        Connecting(5),
        "设备端接收数据解析失败！",
        Connecting(6),
        Version(6) };
    const std::vector<std::string> lines = Lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 13), expected);
    EXPECT_EQ(alarms, 4);
}

TEST_F(MonitorTest, ARoundOverThreeMachinesTakesThreeIntervals)
{
    StartFarm(3, {});
    const auto start = Clock::now();
    Click(true, "2000");
    ASSERT_TRUE(WaitForLines(6, 20'000));
    EXPECT_GE(Clock::now() - start, 6s);
    EXPECT_EQ(Lines()[5], Version(2));
    EXPECT_EQ(window_.AlarmPlays(), 0);
}

TEST_F(MonitorTest, AMachineThatVanishesSoundsTheAlarmUntilItComesBack)
{
    StartFarm(2, {});
    farm_->SwitchOff(1);
    Controller({ .connectTimeout = 300ms });
    Click(true);
    ASSERT_TRUE(WaitForLines(4));
    EXPECT_EQ(Lines()[3], "连接超时，请确认设备是否已掉电！\r\n") << "neither accepted nor refused: timed out";
    // The alarm follows the line; on a busy machine the next round may have come round too.
    EXPECT_TRUE(window_.WaitFor([&] { return window_.AlarmPlays() >= 1; }));

    farm_->SwitchOn(1);
    const std::size_t back = Lines().size();
    ASSERT_TRUE(window_.WaitFor(
        [&]
        {
            const auto lines = Lines();
            for (std::size_t i = back; i + 1 < lines.size(); ++i)
            {
                if (lines[i] == Connecting(1) && lines[i + 1] == Version(1))
                {
                    return true;
                }
            }
            return false;
        },
        10'000));
}

TEST_F(MonitorTest, SwitchingOffAndOnDuringAPollNeverGivesTwoPollers)
{
    StartFarm(2, { "indexes=0,api=silent" }, false);
    AddRow(0);
    Controller({ .receiveTimeout = 800ms });
    Click(true);
    ASSERT_TRUE(WaitForLines(1));
    // A row found while the run is under way waits for the next switch-on.
    AddRow(1);
    // The worker waits in the silent machine's receive: off and on again at once.
    Click(false);
    Click(true);
    ASSERT_TRUE(window_.WaitFor(
        [&]
        {
            const auto lines = Lines();
            return std::count(lines.begin(), lines.end(), Connecting(1)) >= 2;
        },
        10'000));
    Click(false);
    // The first run ends its poll; then one poller goes through both rows,
    // every connect followed by its own outcome before the next one.
    const std::vector<std::string> lines = Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], Connecting(0));
    EXPECT_EQ(lines[1], "设备端接收数据失败！");
    EXPECT_EQ(lines[2], Connecting(0)) << "the new run starts at the first row";
    for (std::size_t i = 0; i + 1 < lines.size(); i += 2)
    {
        const bool silent = lines[i] == Connecting(0);
        EXPECT_TRUE(silent || lines[i] == Connecting(1)) << i << ": " << lines[i];
        EXPECT_EQ(lines[i + 1], silent ? "设备端接收数据失败！" : Version(1)) << i;
    }
}

TEST_F(MonitorTest, TheTeardownEndsAnIntervalOrAPollAtOnceAndQuietly)
{
    StartFarm(1, { "api=silent" });
    Controller({ .receiveTimeout = 60s });
    Click(true, "60000");
    auto start = Clock::now();
    Teardown();
    EXPECT_LT(Clock::now() - start, 5s) << "the interval is a wait that the teardown ends";
    EXPECT_TRUE(Lines().empty());

    controller_.reset();
    Click(true, "100");
    ASSERT_TRUE(WaitForLines(1));
    std::this_thread::sleep_for(200ms);
    start = Clock::now();
    Teardown();
    EXPECT_LT(Clock::now() - start, 5s) << "the receive is ended by the teardown";
    EXPECT_EQ(Lines().size(), 1u) << "a poll cut short by the teardown is no failure";
    EXPECT_EQ(window_.AlarmPlays(), 0);
}

} // namespace
} // namespace quellis::monitor

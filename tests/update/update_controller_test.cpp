// The update controller on a fake window, with a farm of simulated machines
// on loopback: the offers go out on the send socket, the machines download
// from the controller's own package server, and their results come back
// through discovery's receive and reply threads, as in the program.
#include "discovery/discovery_controller.h"
#include "resources/templates/main_dialog_ids.h"
#include "resources/templates/monitor_panel_ids.h"
#include "tests/sim/loopback_tool.h"
#include "tests/support/fake_window.h"
#include "tests/support/temp_dir.h"
#include "update/update_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace quellis::update
{
namespace
{

using namespace quellis::resources;
using namespace std::chrono_literals;

constexpr std::uint32_t kLoopback = 0x7F000001;

// The device list's records are not what this test is about.
class NoRecords : public discovery::DeviceRecordSink
{
public:
    void Enqueue(std::vector<protocol::DeviceRecord>) override { }
    void Flush() override { }
    void Clear() override { }
    void SortByColumn(int) override { }
    void SetAppliedHandler(AppliedHandler) override { }
};

// Message boxes and log lines that can hold the worker while the test looks on.
class HeldBoxes : public test::FakeWindow
{
public:
    int MessageBox(std::string_view text, std::string_view caption, unsigned type) override
    {
        if (onBox)
        {
            onBox();
        }
        return FakeWindow::MessageBox(text, caption, type);
    }
    void WriteLog(core::LogColour colour, std::string_view text, bool toLogFile) override
    {
        if (onLog)
        {
            onLog(text);
        }
        FakeWindow::WriteLog(colour, text, toLogFile);
    }
    std::function<void()> onBox;
    std::function<void(std::string_view)> onLog;
};

class UpdateControllerTest : public testing::Test
{
protected:
    UpdateControllerTest()
    {
        state_.sendSocket = net::Socket::Create(net::SocketKind::Udp);
        EXPECT_TRUE(state_.sendSocket.Bind({ kLoopback, 0 }));
        state_.listeningSocket = net::Socket::Create(net::SocketKind::Tcp);
        EXPECT_TRUE(state_.listeningSocket.Bind({ kLoopback, 0 }));
        EXPECT_TRUE(state_.listeningSocket.Listen(5));
        state_.replyPort = 0;
        EXPECT_TRUE(state_.replyQueue.Initialise());
        state_.running = 1;
        EXPECT_TRUE(discovery_.StartReplyThread());
        EXPECT_EQ(discovery_.StartLisServ({}), discovery::ReceiveStart::Started);
        panel_.CheckButton(kIdLanguageCheck, core::kChecked);
    }

    ~UpdateControllerTest() override
    {
        state_.receiveSocket.Shutdown();
        state_.running = 0;
        state_.replyQueue.WakeWaiters();
        discovery_.Stop();
        if (controller_)
        {
            controller_->Stop();
        }
        window_.SetMessageHandler({});
    }

    void MakeController(std::chrono::milliseconds resultWait = 10s)
    {
        UpdateTiming timing;
        timing.resultWait = resultWait;
        controller_ = std::make_unique<UpdateController>(state_, window_.Window(), panel_, timing);
        controller_->RegisterReplies(discovery_.Replies());
        window_.SetMessageHandler([this](std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
            { EXPECT_TRUE(controller_->OnMessage(message, wParam, lParam)); });
        EXPECT_TRUE(
            window_.SelectSocket(state_.listeningSocket.Handle(), kWmTcpSocket, core::kFdAccept | core::kFdClose));
        controller_->StartPackageServer();
    }

    // A farm whose machines are the list's rows, expecting `package`.
    void StartFarm(int machines, std::initializer_list<const char*> behave, const std::string& package)
    {
        directory_.Write("expected", package);
        sim::FarmConfig config;
        config.machines = machines;
        config.seed = 3;
        config.packagePort = state_.listeningSocket.LocalEndpoint()->port;
        config.expectedPackage = (directory_ / "expected").string();
        config.scenario.groups = sim::test::Groups(behave);
        farm_ = sim::test::StartLoopbackFarm(config, state_.receiveSocket.LocalEndpoint()->port);
        ASSERT_TRUE(farm_);
        state_.deviceBroadcast = { kLoopback, farm_->DevicePort() };
        for (int i = 0; i < machines; ++i)
        {
            window_.AddRow(Ip(i), farm_->MachineAt(i).identity.mac);
        }
    }

    [[nodiscard]] std::string Ip(int machine) const
    {
        return net::FormatIpv4(farm_->MachineAt(machine).identity.address);
    }

    [[nodiscard]] std::uint64_t Offers(int machine) const
    {
        return farm_->MachineAt(machine).counters.commands[protocol::CMD_Upgrade].load();
    }

    void Choose(const std::string& name, const std::string& bytes)
    {
        directory_.Write(name, bytes);
        window_.AnswerNextOpenFile((directory_ / name).string());
        ASSERT_TRUE(controller_->OnCommand(kIdSelectPackage));
    }

    // The summary is the run's last word. A result's line comes just after
    // its wake-up, so the next row's line or the summary may come before it.
    bool RunEnds(int runs = 1)
    {
        return window_.WaitFor(
            [&]
            {
                int summaries = 0;
                for (const auto& line : window_.LogLines())
                {
                    summaries += line.text.starts_with("升级成功") ? 1 : 0;
                }
                return summaries >= runs;
            },
            20000);
    }

    bool Logged(const std::string& line)
    {
        return window_.WaitFor(
            [&]
            {
                const auto lines = window_.LogLines();
                return std::any_of(lines.begin(), lines.end(), [&](const auto& logged) { return logged.text == line; });
            });
    }

    std::vector<std::string> BoxTexts() const
    {
        std::vector<std::string> texts;
        for (const auto& box : window_.Boxes())
        {
            texts.push_back(box.text);
        }
        return texts;
    }

    test::TempDir directory_;
    protocol::SharedState state_ { "config.ini" };
    HeldBoxes window_;
    test::FakeWindow panel_;
    NoRecords records_;
    discovery::DiscoveryController discovery_ { state_, window_.Window(), records_ };
    std::unique_ptr<UpdateController> controller_;
    std::unique_ptr<sim::Farm> farm_;
};

TEST_F(UpdateControllerTest, ChoosingAPackageLogsItInThePanelsLanguageAndEnablesTheUpdateButtons)
{
    MakeController();
    window_.EnableItem(kIdUpdateSelected, false);
    window_.EnableItem(kIdUpdateAll, false);
    ASSERT_TRUE(controller_->OnCommand(kIdSelectPackage)); // cancelled
    ASSERT_EQ(window_.Boxes().size(), 1u);
    EXPECT_EQ(window_.Boxes()[0].text, "Open File");
    EXPECT_TRUE(state_.packagePath.Get().empty());
    EXPECT_FALSE(window_.IsItemEnabled(kIdUpdateSelected));
    EXPECT_TRUE(window_.LogText().empty());

    Choose("firmware.bin", "x"); // any extension
    const std::string path = (directory_ / "firmware.bin").string();
    EXPECT_EQ(state_.packagePath.Get(), path);
    EXPECT_EQ(controller_->Server().ServedPath(), path);
    EXPECT_EQ(window_.LogText(), "已选择升级包[" + path + "]\r\n");
    EXPECT_TRUE(window_.IsItemEnabled(kIdUpdateSelected));
    EXPECT_TRUE(window_.IsItemEnabled(kIdUpdateAll));

    panel_.CheckButton(kIdLanguageCheck, core::kUnchecked);
    Choose("other.tar.gz", "y");
    EXPECT_EQ(
        window_.LogLines().back().text, "Select update package[" + (directory_ / "other.tar.gz").string() + "]\r\n");
    EXPECT_FALSE(window_.LogLines().back().toFile);
}

TEST_F(UpdateControllerTest, RefusalsAndTheQuestionComeBeforeAnyRun)
{
    MakeController();
    for (const int button : { kIdUpdateSelected, kIdUpdateAll })
    {
        ASSERT_TRUE(controller_->OnCommand(button));
    }
    Choose("package", "bytes");
    ASSERT_TRUE(controller_->OnCommand(kIdUpdateAll)); // empty list: refused before the question
    window_.AddRow("10.0.0.1", "A1B2C3D4E5F6");
    ASSERT_TRUE(controller_->OnCommand(kIdUpdateSelected)); // nothing selected
    ASSERT_TRUE(controller_->OnCommand(kIdUpdateAll)); // the question, answered No
    EXPECT_EQ(BoxTexts(),
        (std::vector<std::string> { "请先选择升级文件！",
            "请先选择升级文件！",
            "Open File",
            "设备列表为空，请重新搜索设备！",
            "请在设备列表中选择设备！",
            "确认升级所有设备？" }));
    EXPECT_EQ(window_.Boxes().back().caption, "Query");
    EXPECT_EQ(window_.Boxes().back().type, core::kMbYesNo);
    EXPECT_EQ(state_.updating.load(), 0);
    EXPECT_EQ(window_.BusyStarts(), 0);
}

TEST_F(UpdateControllerTest, ARunOverTheSelectedRowsOffersEachAndCountsItsResult)
{
    MakeController();
    const std::string package(300'000, 'p');
    StartFarm(4, { "installMs=100", "indexes=1,upgradeResult=0" }, package);
    Choose("package", package);
    window_.Select({ 0, 1, 3 });
    state_.successCount = 5; // a previous run's
    ASSERT_TRUE(controller_->OnCommand(kIdUpdateSelected));
    EXPECT_EQ(window_.ItemText(kIdUpdateSelected), "终止升级");
    EXPECT_FALSE(window_.IsItemEnabled(kIdRestartMiner));
    EXPECT_FALSE(window_.IsItemEnabled(kIdRestartSystem));
    EXPECT_TRUE(window_.Busy());
    ASSERT_TRUE(RunEnds());

    EXPECT_TRUE(Logged("升级包大小[300000]\r\n"));
    std::vector<std::string> offered;
    for (const auto& line : window_.LogLines())
    {
        if (line.text.starts_with("将会对设备"))
        {
            offered.push_back(line.text);
        }
    }
    EXPECT_EQ(offered,
        (std::vector<std::string> { "将会对设备" + Ip(0) + "进行升级\r\n",
            "将会对设备" + Ip(1) + "进行升级\r\n",
            "将会对设备" + Ip(3) + "进行升级\r\n" }));
    EXPECT_TRUE(Logged("升级" + Ip(0) + "成功\r\n"));
    EXPECT_TRUE(Logged("升级" + Ip(1) + "失败\r\n"));
    EXPECT_TRUE(Logged("升级" + Ip(3) + "成功\r\n"));
    EXPECT_TRUE(Logged("升级成功2台，升级失败1台\r\n"));
    EXPECT_EQ(Offers(2), 0u);
    EXPECT_EQ(farm_->Totals().downloadsVerified, 3u);
    EXPECT_EQ(window_.ItemText(kIdUpdateSelected), "升级所选设备");
    EXPECT_TRUE(window_.IsItemEnabled(kIdRestartMiner));
    EXPECT_TRUE(window_.IsItemEnabled(kIdRestartSystem));
    EXPECT_FALSE(window_.Busy());
    EXPECT_TRUE(window_.Boxes().size() == 1) << "no box but the open-file dialog";
    EXPECT_TRUE(window_.WaitFor([&] { return controller_->Server().ActiveCount() == 0; }));
}

TEST_F(UpdateControllerTest, TimedOutMachinesCostABoxAndALateResultCountsWithoutCuttingTheNextWaitShort)
{
    MakeController(700ms);
    const std::string package(100'000, 'q');
    // Machine 0 answers a second after its download, 1 never, 2 at once.
    StartFarm(3, { "installMs=10", "indexes=0,installMs=1000", "indexes=1,download=never" }, package);
    Choose("package", package);
    // From the moment a machine's offer is announced, a result the reply
    // thread matches is that machine's: a late one of the machine before
    // cannot end its wait.
    std::vector<std::string> namedAtOffer;
    window_.onLog = [&](std::string_view text)
    {
        if (text.starts_with("将会对设备"))
        {
            namedAtOffer.push_back(state_.currentTarget.Get() + " " + state_.currentTargetIp.Get());
        }
    };
    // While machine 0's box is open (the worker waits in it; the test's
    // thread goes on serving the window), its late result arrives and is counted.
    window_.onBox = [&]
    {
        if (window_.Boxes().size() == 2)
        {
            for (int i = 0; i < 500 && state_.successCount.load() == 0; ++i)
            {
                std::this_thread::sleep_for(10ms);
            }
            EXPECT_EQ(state_.successCount.load(), 1);
        }
    };
    window_.AnswerNextBox(core::kAnswerYes);
    ASSERT_TRUE(controller_->OnCommand(kIdUpdateAll));
    ASSERT_TRUE(RunEnds());
    window_.onBox = {};
    window_.onLog = {};
    EXPECT_EQ(namedAtOffer,
        (std::vector<std::string> { farm_->MachineAt(0).identity.mac + " " + Ip(0),
            farm_->MachineAt(1).identity.mac + " " + Ip(1),
            farm_->MachineAt(2).identity.mac + " " + Ip(2) }));

    // Machine 1 still got its whole wait and its box.
    EXPECT_EQ(BoxTexts(),
        (std::vector<std::string> {
            "Open File", "确认升级所有设备？", "升级" + Ip(0) + "等待超时", "升级" + Ip(1) + "等待超时" }));
    EXPECT_EQ(window_.Boxes()[2].caption, "") << "the application's name";
    EXPECT_EQ(window_.Boxes()[2].type, core::kMbOk);
    // Machine 0 counts by its late result; machine 1, which never answered, as a failure.
    EXPECT_TRUE(Logged("升级成功2台，升级失败1台\r\n")) << window_.LogText();
    EXPECT_EQ(Offers(2), 1u);
}

TEST_F(UpdateControllerTest, StoppingARunLetsTheMachineInHandFinishWhileItsDownloadGoesOn)
{
    MakeController();
    const std::string package(1024 * 1024, 's');
    StartFarm(2, { "installMs=200", "indexes=0,download=slow,downloadRateKBps=1024" }, package);
    Choose("package", package);
    window_.AnswerNextBox(core::kAnswerYes);
    ASSERT_TRUE(controller_->OnCommand(kIdUpdateAll));
    ASSERT_TRUE(window_.WaitFor([&] { return farm_->MachineAt(0).counters.downloadBytes.load() > 0; }));

    // Stopped in English: the caption comes back in the language shown (the
    // run's own caption is Chinese in both).
    EXPECT_EQ(window_.ItemText(kIdUpdateAll), "终止升级");
    panel_.CheckButton(kIdLanguageCheck, core::kUnchecked);
    window_.AnswerNextBox(core::kAnswerYes);
    ASSERT_TRUE(controller_->OnCommand(kIdUpdateAll));
    EXPECT_EQ(window_.Boxes().back().text, "停止当前升级流程？");
    EXPECT_EQ(window_.Boxes().back().caption, "Question");
    EXPECT_EQ(state_.updating.load(), 0);
    EXPECT_EQ(window_.ItemText(kIdUpdateAll), "Update All Devs");
    // The stopped run still waits for machine 0: no second run starts beside it.
    ASSERT_TRUE(controller_->OnCommand(kIdUpdateSelected));
    EXPECT_EQ(window_.Boxes().back().text, "停止当前升级流程？");
    EXPECT_EQ(window_.ItemText(kIdUpdateSelected), "") << "answered No: no caption change";

    ASSERT_TRUE(RunEnds());
    EXPECT_TRUE(Logged("升级成功1台，升级失败0台\r\n"));
    EXPECT_EQ(farm_->MachineAt(0).counters.downloadsVerified.load(), 1u) << "the download went on to its end";
    EXPECT_EQ(Offers(1), 0u);
    EXPECT_TRUE(window_.IsItemEnabled(kIdRestartMiner));
}

TEST_F(UpdateControllerTest, APackageChosenDuringARunGoesToTheMachinesThatConnectAfterwards)
{
    MakeController();
    const std::string first(200'000, 'a');
    StartFarm(2, { "installMs=600" }, first);
    Choose("first", first);
    window_.AnswerNextBox(core::kAnswerYes);
    ASSERT_TRUE(controller_->OnCommand(kIdUpdateAll));
    ASSERT_TRUE(window_.WaitFor([&] { return farm_->MachineAt(0).counters.downloadsVerified.load() == 1; }));
    Choose("second", std::string(300'000, 'b'));

    ASSERT_TRUE(RunEnds());
    // Machine 1 got the new bytes under the size the run announced: it fails.
    EXPECT_TRUE(Logged("升级" + Ip(1) + "失败\r\n"));
    EXPECT_TRUE(Logged("升级成功1台，升级失败1台\r\n"));
    EXPECT_EQ(farm_->MachineAt(1).counters.downloadBytes.load(), 200'000u);
}

TEST_F(UpdateControllerTest, APackageGoneOrEmptyAtTheStartEndsTheRunAtOnce)
{
    MakeController();
    window_.AddRow("10.0.0.1", "A1B2C3D4E5F6");
    const std::pair<const char*, std::string> cases[] = {
        { "", "请检查升级包是否为空\r\n" },
        { nullptr, "请检查升级包是否存在或可读\r\n" },
    };
    int runs = 0;
    for (const auto& [bytes, line] : cases)
    {
        Choose("package", bytes == nullptr ? "" : bytes);
        if (bytes == nullptr)
        {
            std::filesystem::remove(directory_ / "package");
        }
        window_.AnswerNextBox(core::kAnswerYes);
        ASSERT_TRUE(controller_->OnCommand(kIdUpdateAll));
        ASSERT_TRUE(RunEnds(++runs));
        const std::string log = window_.LogText();
        EXPECT_EQ(log.substr(log.size() - line.size() - std::string("升级成功0台，升级失败0台\r\n").size()),
            line + "升级成功0台，升级失败0台\r\n");
        EXPECT_EQ(log.find("将会对设备"), std::string::npos);
    }
}

TEST_F(UpdateControllerTest, TeardownDuringARunEndsTheWorkerAndTheTransfers)
{
    MakeController(30s);
    const std::string package(4 * 1024 * 1024, 't');
    StartFarm(1, { "download=stall" }, package);
    Choose("package", package);
    window_.AnswerNextBox(core::kAnswerYes);
    ASSERT_TRUE(controller_->OnCommand(kIdUpdateAll));
    ASSERT_TRUE(window_.WaitFor([&] { return controller_->Server().ActiveCount() == 1; }));

    const auto stopping = std::chrono::steady_clock::now();
    controller_->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 10s) << "not the 30-second wait";
    const std::size_t posted = window_.PostedMessages().size();
    EXPECT_EQ(controller_->Server().ActiveCount(), 0u);
    EXPECT_EQ(window_.Boxes().size(), 2u) << "no time-out box at teardown";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(window_.PostedMessages().size(), posted);
}

// Each machine's outcome as the typed run reports it, with the number of
// offers announced in the log when it came.
class RecordedOutcomes : public UpdateObserver
{
public:
    explicit RecordedOutcomes(HeldBoxes& window)
        : window_(window)
    {
    }
    void OnMachine(const UpdateTarget& target, UpdateOutcome outcome) override
    {
        int offered = 0;
        for (const auto& line : window_.LogLines())
        {
            offered += line.text.starts_with("将会对设备") ? 1 : 0;
        }
        std::lock_guard lock(lock_);
        outcomes[target.mac] = std::string(OutcomeWord(outcome)) + " " + target.ip;
        offeredAtFirst = offeredAtFirst < 0 ? offered : offeredAtFirst;
        if (stop)
        {
            stop->Stop();
        }
    }
    std::mutex lock_;
    std::shared_ptr<UpdateRun> stop;
    std::map<std::string, std::string> outcomes;
    int offeredAtFirst = -1;

private:
    HeldBoxes& window_;
};

TEST_F(UpdateControllerTest, TheTypedRunRefusesAsTheButtonsDoAndOffersToNMachinesAtOnceEachWithItsOwnWait)
{
    MakeController();
    const auto observer = std::make_shared<RecordedOutcomes>(window_);
    const auto start = [&](std::vector<UpdateTarget> targets, int concurrency)
    {
        UpdateOptions options;
        options.concurrency = concurrency;
        options.resultWait = 2s;
        return controller_->StartUpdate(std::make_unique<ListedTargets>(std::move(targets)), options, observer);
    };
    const auto refusal = [](const UpdateController::Started& started)
    {
        const auto* refused = std::get_if<UpdateRefusal>(&started);
        return refused == nullptr ? std::string("started") : std::string(RefusalText(*refused));
    };
    EXPECT_EQ(refusal(start({ { "10.0.0.1", "A1B2C3D4E5F6" } }, 1)), "请先选择升级文件！");
    const std::string package(200'000, 'n');
    // Machine 1 reports a failed install, machine 4 never downloads.
    StartFarm(6, { "installMs=300", "indexes=1,upgradeResult=0", "indexes=4,download=never" }, package);
    Choose("package", package);
    EXPECT_EQ(refusal(start({}, 3)), "设备列表为空，请重新搜索设备！");
    std::vector<UpdateTarget> targets;
    for (int i = 0; i < 6; ++i)
    {
        targets.push_back({ Ip(i), farm_->MachineAt(i).identity.mac });
    }
    const auto started = start(targets, 3);
    ASSERT_EQ(refusal(started), "started");
    EXPECT_EQ(std::get<UpdateRefusal>(start(targets, 1)), UpdateRefusal::RunGoing);
    // The package server is served by the window's thread, which is the test's.
    const auto run = std::get<std::shared_ptr<UpdateRun>>(started);
    ASSERT_TRUE(window_.WaitFor([&] { return run->Ended(); }, 20000));

    EXPECT_EQ(observer->offeredAtFirst, 3) << "three offers before any wait ended, no fourth before";
    std::map<std::string, std::string> expected;
    for (int i = 0; i < 6; ++i)
    {
        expected[farm_->MachineAt(i).identity.mac] = (i == 1          ? "update failed "
                                                             : i == 4 ? "timed out "
                                                                      : "updated ")
            + Ip(i);
    }
    EXPECT_EQ(observer->outcomes, expected);
    EXPECT_TRUE(Logged("升级成功4台，升级失败2台\r\n")) << window_.LogText();
    EXPECT_EQ(window_.Boxes().size(), 1u) << "no box but the open-file dialog: the observer hears the time-out";
    EXPECT_EQ(farm_->Totals().downloadsVerified, 5u);
    EXPECT_EQ(state_.updating.load(), 0);

    // Stopped at the first outcome: no further machine is offered.
    observer->outcomes.clear();
    const auto again = start({ targets[0], targets[2], targets[3] }, 1);
    ASSERT_EQ(refusal(again), "started");
    {
        std::lock_guard lock(observer->lock_);
        observer->stop = std::get<std::shared_ptr<UpdateRun>>(again);
    }
    ASSERT_TRUE(window_.WaitFor([&] { return observer->stop->Ended(); }, 20000));
    EXPECT_EQ(observer->outcomes.size(), 1u);
    EXPECT_EQ(Offers(2), 1u);
    EXPECT_TRUE(Logged("升级成功1台，升级失败0台\r\n")) << window_.LogText();
}

} // namespace
} // namespace quellis::update

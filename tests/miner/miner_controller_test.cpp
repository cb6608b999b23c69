// The miner controller on a fake window against a loopback farm: each batch
// run over selected and over all rows with the requests the machines got and
// the lines logged, the pool run, the EEPROM codes through the real reply
// thread, and the hand-off between a write and its read-back.
#include "core/settings.h"
#include "discovery/discovery_controller.h"
#include "miner/miner_controller.h"
#include "platform/sync/thread.h"
#include "platform/text/printf_text.h"
#include "resources/templates/main_dialog_ids.h"
#include "sim/pool_config.h"
#include "tests/sim/loopback_tool.h"
#include "tests/support/fake_window.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <mutex>
#include <random>

namespace quellis::miner
{

using text::PrintfText;
namespace
{

using namespace quellis::resources;
using namespace std::chrono_literals;
using core::LogColour;
using Lines = std::vector<std::string>;

class FixedPoolDialog : public PoolSettingsDialog
{
public:
    std::optional<PoolSlots> Run() override
    {
        ++runs;
        return answer;
    }
    std::optional<PoolSlots> answer;
    int runs = 0;
};

// The device list's rows ignore the list; the recorded sink keeps nothing.
class NoRows : public discovery::DeviceRecordSink
{
public:
    void Enqueue(std::vector<protocol::DeviceRecord>) override { }
    void Flush() override { }
    void Clear() override { }
    void SortByColumn(int) override { }
    void SetAppliedHandler(AppliedHandler) override { }
};

class MinerControllerTest : public testing::Test
{
protected:
    MinerControllerTest()
    {
        state.sendSocket = net::Socket::Create(net::SocketKind::Udp);
        EXPECT_TRUE(state.sendSocket.Bind({ sim::test::kToolAddress, 0 }));
        state.replyPort = 0;
        EXPECT_TRUE(state.replyQueue.Initialise());
        state.running = 1;
        EXPECT_TRUE(discovery.StartReplyThread());
        EXPECT_EQ(discovery.StartLisServ({ -1, -1, -1 }), discovery::ReceiveStart::Started);
    }
    ~MinerControllerTest() override
    {
        state.receiveSocket.Shutdown();
        state.running = 0;
        state.replyQueue.WakeWaiters();
        discovery.Stop();
        if (controller)
        {
            controller->Stop();
        }
    }

    // A farm whose answers come to the receive socket, and the controller aimed at it.
    void StartFarm(int machines, std::initializer_list<const char*> behave)
    {
        sim::FarmConfig config;
        config.machines = machines;
        config.scenario.spreadMs = 0;
        config.scenario.groups = sim::test::Groups(behave);
        farm = sim::test::StartLoopbackFarm(config, state.receiveSocket.LocalEndpoint()->port);
        ASSERT_TRUE(farm);
        state.deviceBroadcast = { sim::test::kToolAddress, farm->DevicePort() };
        MinerOptions options;
        options.client = { farm->ApiPort(), 500ms, 500ms };
        options.replyWaitMs = 600;
        controller = std::make_unique<MinerController>(state, window.Window(), pools, options);
        controller->RegisterReplies(discovery.Replies());
        for (int i = 0; i < machines; ++i)
        {
            window.AddRow(Ip(i), Mac(i));
        }
    }

    std::string Ip(int machine) const { return net::FormatIpv4(farm->MachineAt(machine).identity.address); }
    std::string Mac(int machine) const { return farm->MachineAt(machine).identity.mac; }

    // Presses a button and waits until every run it started has ended.
    void Press(int id)
    {
        EXPECT_TRUE(controller->OnCommand(id));
        EXPECT_TRUE(window.WaitFor([&] { return controller->ActiveRuns() == 0; }, 20000));
    }
    Lines NewLogLines()
    {
        Lines lines;
        const auto all = window.LogLines();
        for (std::size_t i = logged; i < all.size(); ++i)
        {
            lines.push_back(all[i].text);
        }
        logged = all.size();
        return lines;
    }
    // The API runs hand their lines over in pieces of any size: their text counts.
    std::string NewLogText()
    {
        std::string text;
        for (const std::string& line : NewLogLines())
        {
            text += line;
        }
        return text;
    }
    void ExpectRunControlsEnabled()
    {
        for (const int id : { kIdExecuteMinerCommand, kIdMinerCommandEdit, kIdMinerParameterEdit })
        {
            EXPECT_TRUE(window.IsItemEnabled(id)) << id;
        }
        EXPECT_FALSE(window.Busy());
    }

    test::TempDir dir;
    protocol::SharedState state { dir / "config.ini" };
    test::FakeWindow window;
    NoRows rows;
    discovery::DiscoveryController discovery { state, window.Window(), rows };
    FixedPoolDialog pools;
    std::unique_ptr<sim::Farm> farm;
    std::unique_ptr<MinerController> controller;
    std::size_t logged = 0;
};

// A run whose thread the system refuses gives back its own hold on the busy
// animation only: another run's animation goes on until that run ends.
TEST_F(MinerControllerTest, ARunRefusedAThreadLeavesAnotherRunsAnimationGoing)
{
    StartFarm(1, { "api=silent" }); // the first run waits for the answer's time-out
    window.Select({ 0 });
    ASSERT_TRUE(controller->OnCommand(kIdGetHashRate));
    sync::Thread::RefuseNextStarts(1);
    ASSERT_TRUE(controller->OnCommand(kIdGetHashRate));
    EXPECT_EQ(window.ItemText(kIdUpdateAll), batchtext::kHashRateThreadFailed);
    EXPECT_EQ(controller->ActiveRuns(), 1);
    EXPECT_TRUE(window.Busy());
    EXPECT_TRUE(window.WaitFor([&] { return controller->ActiveRuns() == 0; }, 20000));
    EXPECT_FALSE(window.Busy());
}

std::string RateLine(const std::string& ip, double mhsAv)
{
    // The machine writes two decimals; the line shows what was read, with six.
    return ip + "\t" + PrintfText("%f", std::strtod(PrintfText("%.2f", mhsAv).c_str(), nullptr)) + "Mh/s\r\n";
}

TEST_F(MinerControllerTest, HashRateOverSelectedRowsThenOverAllRowsAfterTheConfirmation)
{
    StartFarm(5, { "indexes=1,api=refuse", "indexes=2,api=no-status", "indexes=3,api=mhs-integer" });
    window.AddRow(Ip(0), ""); // a row without MAC is passed over
    window.Select({ 0, 1, 2 });
    Press(kIdGetHashRate);
    EXPECT_EQ(NewLogText(),
        RateLine(Ip(0), farm->MachineAt(0).identity.mhsAv) + "请确认设备" + Ip(1) + "已经打开并监听相应端口！\r\n"
            + "设备端接收数据解析出错！");
    EXPECT_EQ(window.AlarmPlays(), 1);
    EXPECT_TRUE(window.Boxes().empty());
    EXPECT_EQ(farm->MachineAt(0).LastApiRequest(), R"({"parameter": "", "command": "summary"})");
    EXPECT_EQ(state.batchOperation.load(), static_cast<int>(BatchOperation::HashRate));
    EXPECT_EQ(window.BusyStarts(), 1);
    ExpectRunControlsEnabled();

    // An API run waits for no machine's command answer: a wake-up pending for a
    // pool or EEPROM run is left to it.
    state.commandDone.Set();
    window.Select({});
    window.AnswerNextBox(core::kAnswerNo);
    Press(kIdGetHashRate);
    EXPECT_TRUE(state.commandDone.IsSet());
    EXPECT_EQ(NewLogText(), "") << "declined: nothing sent";
    EXPECT_EQ(farm->Totals().apiRequests, 2u);

    window.AnswerNextBox(core::kAnswerYes);
    Press(kIdGetHashRate);
    ASSERT_EQ(window.Boxes().size(), 2u);
    EXPECT_EQ(window.Boxes()[1].text, "确认获取所有设备算力统计？");
    EXPECT_EQ(window.Boxes()[1].caption, "Question");
    EXPECT_EQ(window.Boxes()[1].type, core::kMbYesNo);
    EXPECT_EQ(NewLogText(),
        RateLine(Ip(0), farm->MachineAt(0).identity.mhsAv) + "请确认设备" + Ip(1) + "已经打开并监听相应端口！\r\n"
            + "设备端接收数据解析出错！" + "未能发现算力信息信息\r\n"
            + RateLine(Ip(4), farm->MachineAt(4).identity.mhsAv));
    EXPECT_EQ(window.AlarmPlays(), 2);
    EXPECT_EQ(farm->MachineAt(0).counters.apiRequests.load(), 2u) << "the row without MAC sent nothing";
    ExpectRunControlsEnabled();
}

TEST_F(MinerControllerTest, FirstPoolCommandsAndLimitsSendTheirRequestsAndLogTheReplies)
{
    StartFarm(2, { "indexes=1,api=priority-odd" });
    const sim::MachineState machine0 = farm->MachineAt(0).Snapshot(sim::Clock::now());
    const std::string first0 = Ip(0) + " " + machine0.pools[0].url + " " + machine0.pools[0].user + "\r\n";
    const sim::MachineState machine1 = farm->MachineAt(1).Snapshot(sim::Clock::now());
    const std::string first1 = Ip(1) + " " + machine1.pools[0].url + " " + machine1.pools[0].user + "\r\n";

    // Selected: element 0 whatever its priority; all: the priority-0 entries only.
    window.Select({ 0, 1 });
    Press(kIdGetFirstMiner);
    EXPECT_EQ(NewLogText(), first0 + first1);
    window.Select({});
    window.AnswerNextBox(core::kAnswerYes);
    Press(kIdGetFirstMiner);
    EXPECT_EQ(window.Boxes().back().text, "确认获取所有设备矿工信息？");
    EXPECT_EQ(NewLogText(), first0) << "priorities that are not numbers are passed over";
    EXPECT_EQ(farm->MachineAt(1).LastApiRequest(), R"({"parameter": "", "command": "pools"})");

    window.Select({ 0 });
    window.SetItemText(kIdLowTemperatureEdit, "-5");
    window.SetItemText(kIdHighTemperatureEdit, "80");
    Press(kIdSetTemperature);
    EXPECT_EQ(farm->MachineAt(0).LastApiRequest(), R"({"parameter": "-5,80", "command": "pgasetwarnsafe"})");
    EXPECT_EQ(farm->MachineAt(0).Snapshot(sim::Clock::now()).limits, (sim::TemperatureLimits { -5, 80 }));
    std::string line = NewLogText();
    EXPECT_EQ(line.rfind(R"({"STATUS":[{"STATUS":"S")", 0), 0u) << line;
    EXPECT_TRUE(line.ends_with("}\r\n")) << line;

    // Over all rows after the confirmation: every machine gets the same request.
    window.Select({});
    window.AnswerNextBox(core::kAnswerYes);
    Press(kIdSetTemperature);
    EXPECT_EQ(window.Boxes().back().text, "确认设置所有设备温度？");
    for (const int machine : { 0, 1 })
    {
        EXPECT_EQ(farm->MachineAt(machine).LastApiRequest(), R"({"parameter": "-5,80", "command": "pgasetwarnsafe"})");
    }
    line = NewLogText();
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 2) << line;
    window.SetItemText(kIdMinerCommandEdit, "version");
    window.AnswerNextBox(core::kAnswerYes);
    Press(kIdExecuteMinerCommand);
    EXPECT_EQ(window.Boxes().back().text, "确认所有设备执行miner命令？");
    for (const int machine : { 0, 1 })
    {
        EXPECT_EQ(farm->MachineAt(machine).LastApiRequest(), R"({"parameter": "", "command": "version"})");
    }
    line = NewLogText();
    EXPECT_NE(line.find(R"("VERSION":[{)"), line.rfind(R"("VERSION":[{)")) << "two replies: " << line;

    window.Select({ 0 });
    window.SetItemText(kIdMinerCommandEdit, "summary");
    window.SetItemText(kIdMinerParameterEdit, "a\"b");
    Press(kIdExecuteMinerCommand);
    EXPECT_EQ(farm->MachineAt(0).LastApiRequest(), R"({"parameter": "a"b", "command": "summary"})");
    // Not JSON once the quote is in; the machine's error answer is logged as it comes.
    line = NewLogText();
    EXPECT_NE(line.find(R"("STATUS":"E")"), std::string::npos) << line;
    EXPECT_TRUE(line.ends_with("}\r\n")) << line;

    // A command the mining software refuses is logged as it came, and its
    // result is a failure with the machine's message.
    struct LastResult : core::ResultObserver
    {
        void OnResult(const core::MachineResult& result) override
        {
            std::lock_guard guard(lock);
            last = result;
        }
        std::mutex lock;
        core::MachineResult last;
    } results;
    controller->SetResultObserver(&results);
    window.SetItemText(kIdMinerCommandEdit, "frobnicate");
    window.SetItemText(kIdMinerParameterEdit, "");
    Press(kIdExecuteMinerCommand);
    EXPECT_NE(NewLogText().find(R"("Msg":"Invalid command")"), std::string::npos);
    window.SetItemText(kIdMinerCommandEdit, "version");
    Press(kIdExecuteMinerCommand);
    {
        std::lock_guard guard(results.lock);
        EXPECT_TRUE(results.last.ok) << results.last.detail;
        EXPECT_EQ(results.last.outcome, "answered");
    }
    window.SetItemText(kIdMinerCommandEdit, "frobnicate");
    Press(kIdExecuteMinerCommand);
    {
        std::lock_guard guard(results.lock);
        EXPECT_FALSE(results.last.ok);
        EXPECT_EQ(results.last.outcome, "error status");
        EXPECT_EQ(results.last.detail, "Invalid command");
    }
    controller->SetResultObserver(nullptr);
    EXPECT_NE(NewLogText().find(R"("Msg":"Invalid command")"), std::string::npos);

    // A static address on one selected machine: sent, nothing awaited, nothing logged.
    window.Select({ 1 });
    window.SetItemText(kIdMinerCommandEdit, "PGASetStaticIpParam");
    window.SetItemText(kIdMinerParameterEdit, "10.1.1.9");
    Press(kIdExecuteMinerCommand);
    EXPECT_TRUE(window.WaitFor(
        [&] {
            return farm->MachineAt(1).LastApiRequest()
                == R"({"parameter": "10.1.1.9", "command": "PGASetStaticIpParam"})";
        }));
    EXPECT_EQ(NewLogText(), "");
    ExpectRunControlsEnabled();
}

TEST_F(MinerControllerTest, TwoRunsAtOnceKeepTheirOwnKindAndLines)
{
    StartFarm(2, { "indexes=0,api=silent" });
    window.Select({ 0 });
    EXPECT_TRUE(controller->OnCommand(kIdGetHashRate)); // waits for a machine that never answers
    // The run reads the selection when it starts; it asks its machine, then waits.
    ASSERT_TRUE(window.WaitFor(
        [&] { return farm->MachineAt(0).LastApiRequest() == R"({"parameter": "", "command": "summary"})"; }));
    window.Select({ 1 });
    Press(kIdGetFirstMiner);
    const auto pool = farm->MachineAt(1).Snapshot(sim::Clock::now()).pools[0];
    // Each run's own line; which comes first depends on the silent machine's
    // receive time-out against the other run, so the order is left open.
    ASSERT_TRUE(window.WaitFor([&] { return controller->ActiveRuns() == 0; }));
    const std::string log = NewLogText();
    EXPECT_NE(log.find(Ip(1) + " " + pool.url + " " + pool.user + "\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("接收命令执行结果出错"), std::string::npos) << log;
    EXPECT_EQ(log.size(), (Ip(1) + " " + pool.url + " " + pool.user + "\r\n" + "接收命令执行结果出错").size()) << log;
    EXPECT_EQ(farm->MachineAt(1).LastApiRequest(), R"({"parameter": "", "command": "pools"})");
}

TEST_F(MinerControllerTest, HandlersRefuseInTheirOrderAndSendNothing)
{
    StartFarm(2, {});
    const auto refusals = [&](int id)
    {
        const std::size_t before = window.Boxes().size();
        EXPECT_TRUE(controller->OnCommand(id));
        const auto boxes = window.Boxes();
        return boxes.size() == before + 1 ? boxes.back().text : std::string("(no box)");
    };
    state.updating = 1;
    for (const int id : { kIdExecuteMinerCommand,
             kIdSetPools,
             kIdGetFirstMiner,
             kIdSetTemperature,
             kIdGetHashRate,
             kIdWriteE2,
             kIdReadE2 })
    {
        EXPECT_EQ(refusals(id), "设备升级中请稍后再试！") << id;
        EXPECT_EQ(window.Boxes().back().caption, "Question");
    }
    state.updating = 0;
    EXPECT_EQ(pools.runs, 0) << "refused before the dialog opens";

    EXPECT_EQ(refusals(kIdExecuteMinerCommand), "命令不能为空！");
    window.SetItemText(kIdMinerCommandEdit, "pgasetstaticipparam");
    EXPECT_EQ(refusals(kIdExecuteMinerCommand), "多个设备不能设置为相同的IP！");
    window.SetItemText(kIdLowTemperatureEdit, "70");
    window.SetItemText(kIdHighTemperatureEdit, "60");
    EXPECT_EQ(refusals(kIdSetTemperature), "低温大于高温请重设");
    // The pool dialog cancelled: nothing at all.
    EXPECT_EQ(refusals(kIdSetPools), "(no box)");
    EXPECT_EQ(pools.runs, 1);
    // Slots whose text cannot fit into one packet for every address.
    pools.answer = PoolSlots {};
    (*pools.answer)[0] = { true, std::string(10100, 'u'), "w", "p", kSuffixIp };
    EXPECT_EQ(refusals(kIdSetPools), "矿池配置内容过长，请减少矿池信息后重试！");
    EXPECT_TRUE(window.WaitFor([&] { return controller->ActiveRuns() == 0; }));
    EXPECT_EQ(farm->Totals().apiRequests + farm->Totals().datagrams, 0u);
    EXPECT_EQ(window.BusyStarts(), 0);

    // With an empty list.
    test::FakeWindow empty;
    MinerController bare(state, empty.Window(), pools);
    pools.answer = PoolSlots {};
    for (const auto& [id, text] :
        std::vector<std::pair<int, std::string>> { { kIdExecuteMinerCommand, "设备列表为空，请重新搜索设备！" },
            { kIdSetPools, "设备列表为空，请重新搜索设备！" },
            { kIdReadE2, "无设备无法进行读E2操作" } })
    {
        EXPECT_TRUE(bare.OnCommand(id));
        ASSERT_FALSE(empty.Boxes().empty());
        EXPECT_EQ(empty.Boxes().back().text, text) << id;
    }
}

// A pool run over all rows whose second machine does not answer.
TEST_F(MinerControllerTest, APoolRunEndsAtTheFirstMachineThatDoesNotAnswer)
{
    StartFarm(3, { "indexes=1,silent=true" });
    pools.answer = PoolSlots {};
    (*pools.answer)[0] = { true, "stratum+tcp://pool.lab:3333", "ops", "secret", kSuffixIp };
    (*pools.answer)[2] = { true, "stratum+tcp://backup.lab:4444", "ops.b", "x", kSuffixNone };
    window.AnswerNextBox(core::kAnswerYes);
    state.successCount = 7;
    Press(kIdSetPools);
    EXPECT_EQ(window.Boxes().back().text, "确认对所有设备配置矿池？");
    const std::string text0 = BuildPoolText(*pools.answer, Ip(0));
    const std::string text1 = BuildPoolText(*pools.answer, Ip(1));
    EXPECT_EQ(NewLogLines(),
        (Lines { "对设备" + Ip(0) + " " + Mac(0) + "配置矿池\r\n",
            text0 + "\r\n",
            "矿池配置成功\r\n",
            "对设备" + Ip(1) + " " + Mac(1) + "配置矿池\r\n",
            text1 + "\r\n",
            "为" + Ip(1) + " " + Mac(1) + "配置矿池超时\r\n",
            "矿池配置成功1个，失败0个\r\n" }));
    // What the first machine now holds came from that text.
    const auto held = farm->MachineAt(0).Snapshot(sim::Clock::now()).pools;
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0],
        (sim::PoolEntry { "stratum+tcp://pool.lab:3333",
            "ops."
                + PrintfText("%ux%ux%ux%u",
                    farm->MachineAt(0).identity.address >> 24,
                    (farm->MachineAt(0).identity.address >> 16) & 0xFF,
                    (farm->MachineAt(0).identity.address >> 8) & 0xFF,
                    farm->MachineAt(0).identity.address & 0xFF),
            "secret" }));
    EXPECT_EQ(held[1], (sim::PoolEntry { "stratum+tcp://backup.lab:4444", "ops.b", "x" }));
    EXPECT_EQ(farm->MachineAt(2).counters.commands[protocol::CMD_PoolConfig].load(), 0u) << "not sent to the third";
    EXPECT_EQ(state.updating.load(), 0);
    for (const int id : { kIdUpdateSelected, kIdUpdateAll })
    {
        EXPECT_FALSE(window.IsItemEnabled(id)) << "left for the package choice to enable";
    }

    // Declined: the summary with both counts 0, and updating clear.
    window.AnswerNextBox(core::kAnswerNo);
    Press(kIdSetPools);
    EXPECT_EQ(NewLogLines(), (Lines { "矿池配置成功0个，失败0个\r\n" }));
    EXPECT_EQ(state.updating.load(), 0);
}

// The pool packet exactly as it leaves, to a socket standing in for the machines.
TEST_F(MinerControllerTest, APoolPacketIsTheHeaderTheTextAndItsNul)
{
    StartFarm(1, {});
    net::Socket machines = net::Socket::Create(net::SocketKind::Udp);
    ASSERT_TRUE(machines.Bind({ sim::test::kToolAddress, 0 }));
    ASSERT_TRUE(machines.SetReceiveTimeout(2000ms));
    state.deviceBroadcast = *machines.LocalEndpoint();
    pools.answer = PoolSlots {};
    (*pools.answer)[1] = { true, "U", "W", "P", kSuffixIp };
    window.Select({ 0 });
    EXPECT_TRUE(controller->OnCommand(kIdSetPools));
    std::vector<std::uint8_t> packet(protocol::kMaxDatagramSize);
    const int length = machines.ReceiveFrom(packet.data(), packet.size(), nullptr);
    EXPECT_EQ(state.updating.load(), 1) << "set from the first selected machine until the end";
    const std::string text = BuildPoolText(*pools.answer, Ip(0));
    ASSERT_EQ(length, static_cast<int>(48 + text.size() + 1));
    packet.resize(static_cast<std::size_t>(length));
    std::vector<std::uint8_t> expected(protocol::kMaxDatagramSize);
    expected.resize(protocol::BuildPoolConfig(expected, Mac(0), text));
    EXPECT_EQ(packet, expected);
    EXPECT_TRUE(window.WaitFor([&] { return controller->ActiveRuns() == 0; }));
    const Lines lines = NewLogLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "为" + Ip(0) + "配置矿池超时\r\n");
    EXPECT_EQ(state.updating.load(), 0);
}

class E2Test : public MinerControllerTest
{
protected:
    void SetCodes(const std::string& qr, const std::string& oneD)
    {
        window.SetItemText(kIdQrCodeEdit, qr);
        window.SetItemText(kIdOneDCodeEdit, oneD);
    }
    // Log lines with their colour and file flag, the time stamps cut out.
    Lines NewColouredLines()
    {
        Lines lines;
        const auto all = window.LogLines();
        for (std::size_t i = logged; i < all.size(); ++i)
        {
            std::string text = all[i].text;
            const std::size_t open = text.find('[');
            if (open != std::string::npos && text.find(']') == open + 20)
            {
                text.replace(open + 1, 19, "T");
            }
            const char* colour = all[i].colour == LogColour::Green ? "green"
                : all[i].colour == LogColour::Red                  ? "red"
                                                                   : "default";
            lines.push_back(std::string(colour) + (all[i].toFile ? " file " : " ") + text);
        }
        logged = all.size();
        return lines;
    }
};

TEST_F(E2Test, TheLabelExampleIsWrittenConfirmedAndReadBack)
{
    StartFarm(3, { "indexes=1,eeprom=bad-checksum", "indexes=2,eeprom=error,eepromError=5" });
    SetCodes("QRZUN00042", "KAVDRUP1234567890AB-SN0001-X");
    window.Select({ 0 });
    Press(kIdWriteE2);
    EXPECT_TRUE(window.WaitFor(
        [&] { return controller->ActiveRuns() == 0 && window.LogText().find("读E2") != std::string::npos; }));
    EXPECT_EQ(NewColouredLines(),
        (Lines { "green file QRZUN00042 ",
            "green file KAVDRUP1234567890AB-SN0001-X ",
            "green file [T]写E2成功\r\n",
            "green file N00042 ",
            "green file 1234890ABSN0001",
            "green file  [T]读E2成功\r\n" }));
    // A confirmation no write run awaits (late, or from another machine) starts nothing.
    controller->StartReadBack(Mac(0));
    controller->StartReadBack(Mac(1));
    EXPECT_EQ(controller->ActiveRuns(), 0);
    const sim::E2Record record = farm->MachineAt(0).Snapshot(sim::Clock::now()).eeprom;
    EXPECT_EQ(std::string(record.begin(), record.end()),
        std::string("N00042\0\0\0\0\0\0\0\0\0"
                    "1234890ABSN0001\0\0\0\0\0\0\0\0\0\0",
            40));
    EXPECT_EQ(state.batchOperation.load(), static_cast<int>(BatchOperation::ReadE2));
    ExpectRunControlsEnabled();

    // A read reply whose checksum does not match; a machine-side error: no read-back.
    window.Select({ 1 });
    Press(kIdWriteE2);
    EXPECT_TRUE(window.WaitFor(
        [&] { return controller->ActiveRuns() == 0 && window.LogText().find("crc") != std::string::npos; }));
    EXPECT_EQ(NewColouredLines(),
        (Lines { "green file QRZUN00042 ",
            "green file KAVDRUP1234567890AB-SN0001-X ",
            "green file [T]写E2成功\r\n",
            "red file [T]读E2失败，crc failed\r\n" }));
    window.Select({ 2 });
    Press(kIdWriteE2);
    EXPECT_TRUE(window.WaitFor([&] { return window.LogText().find("写E2失败") != std::string::npos; }));
    EXPECT_EQ(NewColouredLines(), (Lines { "red file [T]写E2失败5\r\n" }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(farm->MachineAt(2).counters.commands[protocol::CMD_ReadE2].load(), 0u);
    Press(kIdReadE2);
    EXPECT_TRUE(window.WaitFor([&] { return window.LogText().find("读E2失败5") != std::string::npos; }));
    EXPECT_EQ(NewColouredLines(), (Lines { "red file [T]读E2失败5\r\n" }));
}

// A front end without boxes: its answer to the question, and the results.
struct TypedObserver : MinerObserver
{
    bool ConfirmEveryMachine(std::string_view question) override
    {
        const std::lock_guard lock(mutex);
        asked.emplace_back(question);
        return confirm;
    }
    void OnResult(const core::MachineResult& result) override
    {
        const std::lock_guard lock(mutex);
        results.push_back(result.mac + " " + (result.ok ? "ok " : "failed ") + result.outcome);
    }
    std::mutex mutex;
    bool confirm = false;
    std::vector<std::string> asked;
    Lines results;
};

TEST_F(E2Test, TypedRunsRefuseAsValuesTakeTheirInputsAndEndAfterTheReadBack)
{
    StartFarm(2, { "indexes=1,api=refuse" });
    const auto observer = std::make_shared<TypedObserver>();
    const auto refused = [&](BatchOperation kind, std::vector<core::RowTarget> machines, MinerRunOptions inputs)
    {
        const MinerStarted started = controller->StartMinerRun(kind, std::move(machines), std::move(inputs), observer);
        const auto* refusal = std::get_if<MinerRefused>(&started);
        return refusal != nullptr ? refusal->text + "|" + std::string(refusal->caption) : "started";
    };
    MinerRunOptions limits;
    limits.lowLimit = 80;
    limits.highLimit = 70;
    MinerRunOptions unmarked;
    unmarked.qrCode = "QRXXX00042";
    unmarked.oneDCode = "KAVDRUP1234567890AB-SN0001-X";
    ASSERT_TRUE(core::WriteSetting(core::settings::kQrCodeMark, "ZUN", state.configPath));
    const core::RowTarget first { 0, Ip(0), Mac(0) };
    EXPECT_EQ(refused(BatchOperation::SetTemperature, {}, limits), "低温大于高温请重设|");
    EXPECT_EQ(refused(BatchOperation::MinerCommand, {}, {}), "命令不能为空！|");
    EXPECT_EQ(refused(BatchOperation::WriteE2, { first }, unmarked), "二维码未包含ZUN，请检查|");
    EXPECT_EQ(refused(BatchOperation::ReadE2, {}, {}), "请选中要进行写E2操作的设备|");
    state.updating = 1;
    EXPECT_EQ(refused(BatchOperation::HashRate, {}, {}), "设备升级中请稍后再试！|Question");
    state.updating = 0;
    EXPECT_TRUE(window.Boxes().empty()) << "a typed caller shows its refusals itself";

    // Every machine: the observer is asked; declined, the run ends having sent nothing.
    MinerStarted started = controller->StartMinerRun(BatchOperation::HashRate, {}, {}, observer);
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<MinerRun>>(started));
    EXPECT_TRUE(window.WaitFor([&] { return std::get<std::shared_ptr<MinerRun>>(started)->Ended(); }));
    EXPECT_EQ(observer->asked, (Lines { "确认获取所有设备算力统计？" }));
    EXPECT_EQ(farm->Totals().apiRequests, 0u);
    observer->confirm = true;
    started = controller->StartMinerRun(BatchOperation::HashRate, {}, {}, observer);
    EXPECT_TRUE(window.WaitFor([&] { return std::get<std::shared_ptr<MinerRun>>(started)->Ended(); }));
    EXPECT_EQ(observer->results, (Lines { Mac(0) + " ok answered", Mac(1) + " failed no exchange" }));

    // An E2 write takes its codes from the call, not from the edits, and its
    // run ends once the read-back its confirmation started has ended.
    MinerRunOptions codes;
    codes.qrCode = "QRZUN00042";
    codes.oneDCode = "KAVDRUP1234567890AB-SN0001-X";
    NewColouredLines();
    started = controller->StartMinerRun(BatchOperation::WriteE2, { first }, codes, observer);
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<MinerRun>>(started));
    EXPECT_TRUE(window.WaitFor([&] { return std::get<std::shared_ptr<MinerRun>>(started)->Ended(); }));
    EXPECT_EQ(NewColouredLines(),
        (Lines { "green file QRZUN00042 ",
            "green file KAVDRUP1234567890AB-SN0001-X ",
            "green file [T]写E2成功\r\n",
            "green file N00042 ",
            "green file 1234890ABSN0001",
            "green file  [T]读E2成功\r\n" }));
    EXPECT_EQ(window.ItemText(kIdQrCodeEdit), "");
}

TEST_F(E2Test, TheHandlersRefuseInTheirOrder)
{
    StartFarm(2, { "silent=true" });
    const auto refusal = [&](int id)
    {
        const std::size_t before = window.Boxes().size();
        EXPECT_TRUE(controller->OnCommand(id));
        const auto boxes = window.Boxes();
        return boxes.size() == before + 1 ? boxes.back().text : std::string("(no box)");
    };
    const struct
    {
        std::string qr;
        std::string oneD;
        std::string box;
    } cases[] = {
        { "qrzun00042", "QRZUN00042", "二维码和一维码相同请检查" },
        { "ZUN04", "KAVDRUP1234567890AB", "请检查二维码长度" },
        { "ZUN042", "KAVDRUP1234567890A", "请检查一维码长度" },
        { "QRzun0042", "KAVDRUP1234567890AB", "二维码未包含ZUN，请检查" },
        { "QRZUN0042", "kavdrup1234567890AB", "一维码未包含KAVDRUP，请检查" },
        { "ZUN042", "KAVDRUP1234567890AB", "请选中要进行写E2操作的设备" }, // two rows, none selected
    };
    for (const auto& c : cases)
    {
        SetCodes(c.qr, c.oneD);
        EXPECT_EQ(refusal(kIdWriteE2), c.box) << c.qr << " / " << c.oneD;
    }
    EXPECT_EQ(refusal(kIdReadE2), "请选中要进行写E2操作的设备");
    window.Select({ 0, 1 });
    EXPECT_EQ(refusal(kIdWriteE2), "不能同时对多个设备进行写E2操作");
    EXPECT_EQ(refusal(kIdReadE2), "不能同时对多个设备进行写E2操作");
    EXPECT_EQ(farm->Totals().datagrams, 0u);

    // Markers from config.ini, read at each click; the empty marker is in every code.
    ASSERT_TRUE(core::WriteSetting(core::settings::kQrCodeMark, "", state.configPath));
    ASSERT_TRUE(core::WriteSetting(core::settings::kOneDCodeMark, "", state.configPath));
    window.Select({ 1 });
    SetCodes("abcdef", "0123456789012345678");
    EXPECT_EQ(refusal(kIdWriteE2), "(no box)");
    // Silent machine: the write times out, as a write, in red and to the file.
    EXPECT_TRUE(window.WaitFor([&] { return controller->ActiveRuns() == 0; }));
    EXPECT_EQ(window.LogLines().back().text, "为" + Ip(1) + "写E2超时\r\n");
    EXPECT_EQ(window.LogLines().back().colour, LogColour::Red);
    EXPECT_TRUE(window.LogLines().back().toFile);
}

// The reply thread's part played by the test, at every moment around the
// write run's deadline: the write run is released by its confirmation or
// reports a write time-out, never both and never neither; a read-back starts
// only for a confirmation that claimed the write's request (a confirmation
// after the deadline claims nothing and starts nothing); and the read-back is
// never released by the write's wake-up (nothing answers the read, so it must
// time out).
TEST(E2HandOff, TheWritesSignalReleasesTheWriteRunAndNeverTheReadBack)
{
    test::TempDir dir;
    protocol::SharedState state { dir / "config.ini" };
    net::Socket machines = net::Socket::Create(net::SocketKind::Udp);
    ASSERT_TRUE(machines.Bind({ sim::test::kToolAddress, 0 }));
    state.sendSocket = net::Socket::Create(net::SocketKind::Udp);
    state.deviceBroadcast = *machines.LocalEndpoint();
    test::FakeWindow window;
    FixedPoolDialog pools;
    MinerOptions options;
    constexpr std::uint32_t kWaitMs = 3;
    options.replyWaitMs = kWaitMs;
    MinerController controller(state, window.Window(), pools, options);
    window.AddRow("10.77.128.5", "A1B2C3D4E5F6");
    window.SetItemText(kIdQrCodeEdit, "QRZUN00042");
    window.SetItemText(kIdOneDCodeEdit, "KAVDRUP1234567890AB-SN0001-X");

    std::mt19937 random(20260);
    std::uniform_int_distribution<int> delayUs(0, 2 * kWaitMs * 1000);
    constexpr int kRounds = 2000;
    int readBacks = 0;
    int writeTimeOuts = 0;
    std::vector<std::uint8_t> datagram(protocol::kMaxDatagramSize);
    const auto received = [&](std::chrono::milliseconds limit) -> std::optional<std::uint16_t>
    {
        if (machines.WaitReadable(limit) != net::PollResult::Ready)
        {
            return std::nullopt;
        }
        const int length = machines.ReceiveFrom(datagram.data(), datagram.size(), nullptr);
        const auto request
            = protocol::ReadCommand(std::span(datagram).first(static_cast<std::size_t>(std::max(length, 0))));
        return request ? std::optional(request->cmdCode) : std::nullopt;
    };
    for (int round = 0; round < kRounds; ++round)
    {
        const std::size_t before = window.LogLines().size();
        const int busyBefore = window.BusyStarts();
        ASSERT_TRUE(controller.OnCommand(kIdWriteE2));
        // The machine's answer comes after the request, at any moment around the deadline.
        ASSERT_EQ(received(2000ms), protocol::CMD_WriteE2) << "round " << round;
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        const auto claimed = state.awaitedReplies.Claim(protocol::CommandAnswer(protocol::CMD_WriteE2), "A1B2C3D4E5F6");
        controller.StartReadBack("A1B2C3D4E5F6");
        if (claimed != protocol::AwaitedReplies::kNone)
        {
            state.awaitedReplies.Answered(claimed);
        }
        state.commandDone.Set();
        ASSERT_TRUE(window.WaitFor([&] { return controller.ActiveRuns() == 0; }));
        int readRequests = 0;
        while (const auto code = received(0ms))
        {
            readRequests += *code == protocol::CMD_ReadE2 ? 1 : 0;
        }
        bool writeTimedOut = false;
        bool readTimedOut = false;
        const auto lines = window.LogLines();
        for (std::size_t i = before; i < lines.size(); ++i)
        {
            writeTimedOut |= lines[i].text == "为10.77.128.5写E2超时\r\n";
            readTimedOut |= lines[i].text == "为10.77.128.5读E2超时\r\n";
        }
        const bool readBackStarted = window.BusyStarts() - busyBefore == 2;
        ASSERT_NE(writeTimedOut, readBackStarted) << "round " << round;
        ASSERT_EQ(readBackStarted, claimed != protocol::AwaitedReplies::kNone) << "round " << round;
        ASSERT_EQ(readRequests, readBackStarted ? 1 : 0) << "round " << round;
        ASSERT_EQ(readBackStarted, readTimedOut) << "round " << round << ": the read-back was released by the write";
        readBacks += readBackStarted ? 1 : 0;
        writeTimeOuts += writeTimedOut ? 1 : 0;
    }
    // Both sides of the deadline were met often enough to mean something.
    EXPECT_GT(readBacks, kRounds / 10);
    EXPECT_GT(writeTimeOuts, kRounds / 10);
}

} // namespace
} // namespace quellis::miner

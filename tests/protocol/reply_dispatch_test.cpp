#include "commands/command_replies.h"
#include "miner/miner_replies.h"
#include "protocol/internet_checksum.h"
#include "protocol/reply_dispatch.h"
#include "update/update_replies.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace quellis::protocol
{
namespace
{

using core::LogColour;
using Bytes = std::vector<std::uint8_t>;

// Records every effect in order as one line of text: the dispatcher's own
// and those of every subsystem's answers.
class RecordingEffects : public ReplySink,
                         public commands::CommandReplyEffects,
                         public update::UpdateReplyEffects,
                         public miner::MinerReplyEffects
{
public:
    std::vector<std::string> effects;
    std::vector<std::vector<DeviceRecord>> recordBatches;
    std::set<int> enabled;
    std::string target = "A1B2C3D4E5F6";
    std::string targetIp = "10.77.128.9";

    void ApplyDeviceRecords(std::vector<DeviceRecord> records) override
    {
        effects.push_back("records " + std::to_string(records.size()));
        recordBatches.push_back(std::move(records));
    }
    void Synchronise() override
    {
        // Only worth a line where records came before.
        if (!effects.empty() && effects.back().rfind("records", 0) == 0)
        {
            effects.push_back("sync");
        }
    }
    void PostSettingFailed(int result) override { effects.push_back("post 1124 " + std::to_string(result)); }
    bool IsButtonEnabled(int id) override { return enabled.count(id) != 0; }
    void EnableButton(int id) override
    {
        enabled.insert(id);
        effects.push_back("enable " + std::to_string(id));
    }
    void ReleaseBusyAnimation(core::BusyRun) override { effects.push_back("stop animation"); }
    void KillTimer(int id) override { effects.push_back("kill " + std::to_string(id)); }
    void SetLamp(int id, bool lit) override
    {
        effects.push_back("lamp " + std::to_string(id) + (lit ? " on" : " off"));
    }
    void Log(LogColour colour, std::string_view text, bool toFile) override
    {
        const char* colours[] = { "default", "red", "green" };
        effects.push_back(
            std::string("log ") + colours[static_cast<int>(colour)] + (toFile ? " file " : " ") + std::string(text));
    }
    std::string CurrentTarget() override { return target; }
    std::optional<std::string> AwaitedIp(const std::string& machine) override
    {
        return machine == target ? std::optional(targetIp) : std::nullopt;
    }
    void EndWait(const std::string&, bool) override { effects.push_back("commandDone"); }
    void CountSuccess() override { effects.push_back("success+1"); }
    void CountFailure() override { effects.push_back("failure+1"); }
    void SignalCommandDone() override
    {
        // A worker woken now must find its request answered.
        bool claimed = false;
        for (const auto ticket : tickets)
        {
            claimed |= awaited.StateOf(ticket) == AwaitedReplies::State::Claimed;
        }
        effects.push_back(claimed ? "commandDone before answered" : "commandDone");
    }
    std::string QrCodeText() override { return "QRZUN00042"; }
    std::string OneDCodeText() override { return "KAVDRUP1234567890AB-SN0001-X"; }
    void StartReadBack(std::string_view target) override
    {
        // The write run's request is claimed while its read-back starts.
        const bool claimed = !tickets.empty() && awaited.StateOf(tickets.front()) == AwaitedReplies::State::Claimed;
        effects.push_back("read back " + std::string(target) + (claimed ? " (claimed)" : ""));
    }
    std::string Timestamp() override { return "2026-12-06 21:00:00"; }
    std::chrono::steady_clock::time_point Now() override { return now; }

    std::chrono::steady_clock::time_point now {};
    AwaitedReplies awaited;
    // The requests of the test's "workers": what they await.
    void Await(std::uint16_t code, const std::string& mac = "A1B2C3D4E5F6")
    {
        tickets.push_back(awaited.Await(CommandAnswer(code), mac, now));
    }
    // A request whose worker has stopped waiting (timer, time-out).
    void AwaitedAndGaveUp(std::uint16_t code, const std::string& mac = "A1B2C3D4E5F6")
    {
        awaited.Forget(awaited.Await(CommandAnswer(code), mac, now));
    }
    std::vector<AwaitedReplies::Ticket> tickets;
};

Bytes CommandReply(
    std::uint16_t code, std::int32_t result, const std::string& text = {}, const std::string& target = "A1B2C3D4E5F6")
{
    Bytes buffer(kMaxDatagramSize);
    const std::size_t length = BuildCommandReply(buffer, target, code, result, AsBytes(text));
    buffer.resize(length);
    return buffer;
}

Bytes Record(PacketType type, const std::string& mac, std::int32_t result = 0)
{
    Bytes buffer(kMaxDatagramSize);
    RecordFields fields;
    fields.ip = "10.77.128.5";
    fields.mac = mac;
    fields.result = result;
    buffer.resize(BuildRecordReply(buffer, type, fields));
    return buffer;
}

// The dispatcher with the handlers of every subsystem, as the session wires it.
ReplyDispatcher Registered(RecordingEffects& effects)
{
    ReplyDispatcher dispatcher(effects, effects.awaited);
    commands::RegisterCommandReplies(dispatcher, effects);
    update::RegisterUpdateReplies(dispatcher, effects);
    miner::RegisterMinerReplies(dispatcher, effects);
    return dispatcher;
}

std::vector<std::string> Dispatched(RecordingEffects& effects, const std::vector<Bytes>& datagrams)
{
    std::vector<std::span<const std::uint8_t>> views;
    for (const Bytes& datagram : datagrams)
    {
        views.emplace_back(datagram);
    }
    effects.effects.clear();
    Registered(effects).Dispatch(views);
    return effects.effects;
}

using Lines = std::vector<std::string>;

TEST(ReplyDispatch, LedTestEndsOnceForTheMachineAskedAndOtherAnswersChangeNothing)
{
    RecordingEffects effects;
    effects.Await(CMD_LedTest);
    EXPECT_EQ(Dispatched(effects,
                  { CommandReply(CMD_LedTest, 0, {}, "FFEEDDCCBBAA"),
                      CommandReply(CMD_LedTest, 0),
                      CommandReply(CMD_LedTest, 0) }),
        (Lines { "log default file 收到1个未预期的应答，已忽略\r\n",
            "enable 1017",
            "stop animation",
            "log default LED灯测试结束\r\n",
            "kill 1000" }));
}

TEST(ReplyDispatch, SerialTestLightsEachPortByItsBitAndCountsThem)
{
    RecordingEffects effects;
    effects.Await(CMD_UARTTest);
    EXPECT_EQ(Dispatched(effects, { CommandReply(CMD_UARTTest, 0x15) }),
        (Lines { "lamp 1013 on",
            "lamp 1014 off",
            "lamp 1015 on",
            "lamp 1016 off",
            "lamp 1022 on",
            "enable 4",
            "stop animation",
            "log default 串口测试结束3个串口正常\r\n",
            "kill 1001" }));
    // A copy after the test has ended changes nothing, not even the lamps.
    EXPECT_EQ(Dispatched(effects, { CommandReply(CMD_UARTTest, 0x15) }),
        (Lines { "log default file 收到1个未预期的应答，已忽略\r\n" }));
    // An answer after the test has timed out shows its ports, nothing else.
    effects.AwaitedAndGaveUp(CMD_UARTTest);
    EXPECT_EQ(Dispatched(effects, { CommandReply(CMD_UARTTest, 0x01) }),
        (Lines { "lamp 1013 on", "lamp 1014 off", "lamp 1015 off", "lamp 1016 off", "lamp 1022 off" }));
}

TEST(ReplyDispatch, SystemCommandLogsTheMachineAndItsOutput)
{
    RecordingEffects effects;
    effects.Await(CMD_EXECUTE, "0A1B2C3D4E5F");
    EXPECT_EQ(Dispatched(effects, { CommandReply(CMD_EXECUTE, 127, "sh: x: not found\n", "0A1B2C3D4E5F") }),
        (Lines { "enable 6",
            "stop animation",
            "log default 设备0A1B2C3D4E5F系统命令运行结束\r\n",
            "kill 1002",
            "log default 运行结果[127]:\r\nsh: x: not found\n\r\n" }));
    // A command to every machine takes the answer of each.
    effects.Await(CMD_EXECUTE, "FFFFFFFFFFFF");
    const Lines both = Dispatched(effects,
        { CommandReply(CMD_EXECUTE, 0, "a", "000000000001"), CommandReply(CMD_EXECUTE, 0, "b", "000000000002") });
    ASSERT_EQ(both.size(), 10u);
    EXPECT_EQ(both[2], "log default 设备000000000001系统命令运行结束\r\n");
    EXPECT_EQ(both[7], "log default 设备000000000002系统命令运行结束\r\n");
}

// Answers that come after their worker stopped waiting, within a minute of
// the request: shown for what the machine did, without ending, starting or
// counting anything, and not unexpected. Later, or from a machine not
// asked, they are unexpected.
TEST(ReplyDispatch, LateAnswersOfMachinesAskedAreLoggedAndDoNothingElse)
{
    RecordingEffects effects;
    effects.AwaitedAndGaveUp(CMD_EXECUTE, "FFFFFFFFFFFF");
    effects.AwaitedAndGaveUp(CMD_PoolConfig);
    effects.AwaitedAndGaveUp(CMD_PoolConfig, "FFEEDDCCBBAA");
    effects.AwaitedAndGaveUp(CMD_ReadE2);
    effects.AwaitedAndGaveUp(CMD_WriteE2);
    effects.now += std::chrono::seconds(30);
    EXPECT_EQ(Dispatched(effects,
                  { CommandReply(CMD_EXECUTE, 0, "done\n", "0A1B2C3D4E5F"),
                      CommandReply(CMD_PoolConfig, 1),
                      CommandReply(CMD_PoolConfig, 0, {}, "FFEEDDCCBBAA"),
                      CommandReply(CMD_ReadE2, 3),
                      CommandReply(CMD_WriteE2, 0) }),
        (Lines { "log default 设备0A1B2C3D4E5F系统命令运行结束\r\n",
            "log default 运行结果[0]:\r\ndone\n\r\n",
            "log default 矿池配置成功\r\n",
            "log default 矿池配置失败\r\n",
            "log red file [2026-12-06 21:00:00]读E2失败3\r\n",
            "log green file [2026-12-06 21:00:00]写E2成功\r\n" }));
    for (const char* from : { "A1B2C3D4E5F6", "0A1B2C3D4E5F" })
    {
        EXPECT_EQ(Dispatched(effects, { CommandReply(CMD_PoolConfig, 1, {}, from) }),
            (Lines { "log default file 收到1个未预期的应答，已忽略\r\n" }))
            << "a copy, a machine not asked: " << from;
    }
    effects.AwaitedAndGaveUp(CMD_EXECUTE, "0A1B2C3D4E5F");
    effects.now += AwaitedReplies::kLateFor;
    EXPECT_EQ(Dispatched(effects, { CommandReply(CMD_EXECUTE, 0, "done\n", "0A1B2C3D4E5F") }),
        (Lines { "log default file 收到1个未预期的应答，已忽略\r\n" }))
        << "past the minute";
}

TEST(ReplyDispatch, UpgradeResultsCountBeforeTheWakeUpAndOnlyTheCurrentTargetWakes)
{
    RecordingEffects effects;
    EXPECT_EQ(Dispatched(effects, { CommandReply(CMD_Upgrade, 1) }),
        (Lines { "success+1", "commandDone", "log default 升级10.77.128.9成功\r\n" }));
    EXPECT_EQ(Dispatched(effects, { CommandReply(CMD_Upgrade, 0) }),
        (Lines { "failure+1", "commandDone", "log default 升级10.77.128.9失败\r\n" }));
    EXPECT_EQ(Dispatched(effects, { CommandReply(CMD_Upgrade, 1, {}, "FFEEDDCCBBAA") }),
        (Lines { "log default 升级FFEEDDCCBBAA成功\r\n", "success+1" }));
}

TEST(ReplyDispatch, PoolsNamesAndUnknownCodes)
{
    RecordingEffects effects;
    effects.Await(CMD_PoolConfig);
    effects.Await(CMD_PoolConfig);
    EXPECT_EQ(Dispatched(effects, { CommandReply(CMD_PoolConfig, 1), CommandReply(CMD_PoolConfig, 0) }),
        (Lines { "log default 矿池配置成功\r\n",
            "success+1",
            "commandDone",
            "log default 矿池配置失败\r\n",
            "failure+1",
            "commandDone" }));
    // A name asked of every machine: each answer's line, and no wake-up for
    // the pool run that waits; the same for the outcome of a name set that a
    // machine asked reports. Another machine's is unexpected.
    effects.Await(CMD_PoolConfig);
    const auto pool = effects.tickets.back();
    effects.Await(CMD_GetName, "FFFFFFFFFFFF");
    effects.Await(CMD_SetName, "000000000002");
    EXPECT_EQ(Dispatched(effects,
                  { CommandReply(CMD_GetName, 1, "rack03-m17"),
                      CommandReply(CMD_GetName, 0, {}, "000000000002"),
                      CommandReply(CMD_SetName, 1, {}, "000000000002"),
                      CommandReply(CMD_SetName, 0) }),
        (Lines { "log default 读取名字成功 rack03-m17\r\n",
            "log default 读取名字失败\r\n",
            "log default 设置名字成功\r\n",
            "log default file 收到1个未预期的应答，已忽略\r\n" }));
    EXPECT_EQ(effects.awaited.StateOf(pool), AwaitedReplies::State::Awaited);
    EXPECT_TRUE(Dispatched(effects, { CommandReply(CMD_RestartMiner, 1), CommandReply(77, 1) }).empty());
}

TEST(ReplyDispatch, E2WriteConfirmedStartsTheReadBackBeforeTheWakeUp)
{
    RecordingEffects effects;
    effects.Await(CMD_WriteE2);
    // A copy of the confirmation finds the request claimed: no second read-back.
    EXPECT_EQ(Dispatched(effects, { CommandReply(CMD_WriteE2, 0), CommandReply(CMD_WriteE2, 0) }),
        (Lines { "log green file QRZUN00042 ",
            "log green file KAVDRUP1234567890AB-SN0001-X ",
            "log green file [2026-12-06 21:00:00]写E2成功\r\n",
            "read back A1B2C3D4E5F6 (claimed)",
            "commandDone",
            "log default file 收到1个未预期的应答，已忽略\r\n" }));
    effects.Await(CMD_WriteE2);
    EXPECT_EQ(Dispatched(effects, { CommandReply(CMD_WriteE2, 5) }),
        (Lines { "log red file [2026-12-06 21:00:00]写E2失败5\r\n", "commandDone" }));
}

Bytes E2Read(const std::string& qr, const std::string& oneD, bool corrupt, std::uint8_t firstByte = 0)
{
    E2Block block;
    std::copy(qr.begin(), qr.end(), block.data.begin());
    std::copy(oneD.begin(), oneD.end(), block.data.begin() + 15);
    if (firstByte != 0)
    {
        block.data[0] = firstByte;
    }
    block.length = kE2RecordSize;
    block.checksum
        = static_cast<std::uint16_t>(InternetChecksum(std::span(block.data).first(kE2RecordSize)) ^ (corrupt ? 1 : 0));
    Bytes buffer(kMaxDatagramSize);
    buffer.resize(BuildE2ReadReply(buffer, "A1B2C3D4E5F6", 0, block));
    return buffer;
}

TEST(ReplyDispatch, E2ReadIsCheckedBeforeItIsShown)
{
    RecordingEffects effects;
    for (int request = 0; request < 4; ++request)
    {
        effects.Await(CMD_ReadE2);
    }
    EXPECT_EQ(Dispatched(effects, { E2Read("N00042", "1234890ABSN0001", false) }),
        (Lines { "log green file N00042 ",
            "log green file 1234890ABSN0001",
            "log green file  [2026-12-06 21:00:00]读E2成功\r\n",
            "commandDone" }));
    EXPECT_EQ(Dispatched(effects, { E2Read("N00042", "1234890ABSN0001", true) }),
        (Lines { "log red file [2026-12-06 21:00:00]读E2失败，crc failed\r\n", "commandDone" }));
    // A matching checksum over a blank record: first data byte 0xFF.
    EXPECT_EQ(Dispatched(effects, { E2Read("", "1234", false, 0xFF) }),
        (Lines { "log red file  [2026-12-06 21:00:00]读E2内容为空\r\n", "commandDone" }));
    EXPECT_EQ(Dispatched(effects, { CommandReply(CMD_ReadE2, 3) }),
        (Lines { "log red file [2026-12-06 21:00:00]读E2失败3\r\n", "commandDone" }));
}

TEST(ReplyDispatch, SettingRepliesAndRecordsKeepTheirOrderInBatches)
{
    RecordingEffects effects;
    effects.tickets.push_back(effects.awaited.Await(kSettingAnswer, "A1B2C3D4E5F6"));
    effects.Await(CMD_LedTest);
    const auto lines = Dispatched(effects,
        { Record(PKT_SEARCH_ACK, "000000000001"),
            Record(PKT_SEARCH_ACK, "000000000002"),
            Record(PKT_DEV_SETTING_ACK, "000000000003", 0),
            CommandReply(CMD_LedTest, 0),
            Record(PKT_SEARCH_ACK, "000000000004"),
            Record(PKT_DEV_SETTING_ACK, "A1B2C3D4E5F6", 2),
            Record(PKT_DEV_SETTING_ACK, "FFEEDDCCBBAA", 2),
            Record(PKT_DEV_SETTING_ACK, "A1B2C3D4E5F6", -1),
            Record(PKT_DEV_SETTING_ACK, "A1B2C3D4E5F6", 3),
            Record(PKT_SEARCH_ACK, "000000000005") });
    // Records handed over are applied before a later reply takes effect. One
    // box per request: another machine's refusal and a second refusal of the
    // target are unexpected.
    EXPECT_EQ(lines,
        (Lines { "records 3",
            "sync",
            "enable 1017",
            "stop animation",
            "log default LED灯测试结束\r\n",
            "kill 1000",
            "records 1",
            "sync",
            "post 1124 2",
            "log default file 收到1个未预期的应答，已忽略\r\n",
            "records 1" }));
    ASSERT_EQ(effects.recordBatches.size(), 3u);
    EXPECT_EQ(effects.recordBatches[0][2].mac, "000000000003");
}

// What each answer that could wake a worker, start a read-back or open a box
// does when no request of ours awaits it: nothing but a count, logged at once
// for the first and then at most once a second.
TEST(ReplyDispatch, AnswersNobodyAwaitsAreCountedAndLoggedOnceASecond)
{
    RecordingEffects effects;
    ReplyDispatcher dispatcher = Registered(effects);
    // Awaited, but from another machine or for another code.
    effects.Await(CMD_PoolConfig, "FFEEDDCCBBAA");
    effects.Await(CMD_ReadE2);
    const std::vector<Bytes> unasked = {
        CommandReply(CMD_PoolConfig, 1),
        CommandReply(CMD_PoolConfig, 0),
        CommandReply(CMD_WriteE2, 0),
        CommandReply(CMD_WriteE2, 0, {}, "FFEEDDCCBBAA"),
        CommandReply(CMD_ReadE2, 0, {}, "FFEEDDCCBBAA"),
        Record(PKT_DEV_SETTING_ACK, "A1B2C3D4E5F6", 1),
    };
    for (const Bytes& reply : unasked)
    {
        dispatcher.Dispatch(reply);
        effects.now += std::chrono::milliseconds(100);
    }
    dispatcher.Idle();
    EXPECT_EQ(effects.effects, (Lines { "log default file 收到1个未预期的应答，已忽略\r\n" }));
    effects.now += std::chrono::milliseconds(500);
    dispatcher.Idle();
    EXPECT_EQ(effects.effects.back(), "log default file 收到5个未预期的应答，已忽略\r\n");
    dispatcher.Idle();
    EXPECT_EQ(effects.effects.size(), 2u);
    // Ignored, they cost the window nothing: the records around them go in one batch.
    effects.effects.clear();
    const std::vector<Bytes> mixed = { Record(PKT_SEARCH_ACK, "000000000001"),
        CommandReply(CMD_PoolConfig, 1),
        CommandReply(CMD_RestartMiner, 1),
        Record(PKT_SEARCH_ACK, "000000000002") };
    std::vector<std::span<const std::uint8_t>> views(mixed.begin(), mixed.end());
    dispatcher.Dispatch(views);
    EXPECT_EQ(effects.effects, (Lines { "records 2" }));
    // The requests they did not answer still wait for their own answers.
    effects.effects.clear();
    dispatcher.Dispatch(CommandReply(CMD_PoolConfig, 1, {}, "FFEEDDCCBBAA"));
    EXPECT_EQ(effects.effects, (Lines { "log default 矿池配置成功\r\n", "success+1", "commandDone" }));
    EXPECT_EQ(effects.awaited.StateOf(effects.tickets[1]), AwaitedReplies::State::Awaited);
}

TEST(ReplyDispatch, RequestsHeardFromOwnBroadcastsAndForeignDataAreIgnored)
{
    RecordingEffects effects;
    Bytes search(kRequestBufferSize);
    search.resize(BuildSearch(search, kSearchOrdinary));
    Bytes flicker(kRequestBufferSize);
    flicker.resize(BuildNetLedFlicker(flicker, "A1B2C3D4E5F6"));
    Bytes command(kRequestBufferSize);
    command.resize(BuildCommand(command, "A1B2C3D4E5F6", CMD_LedTest));
    Bytes foreign = CommandReply(CMD_LedTest, 0);
    foreign[0] ^= 0xFF;
    EXPECT_TRUE(Dispatched(effects, { search, flicker, command, foreign, Bytes {} }).empty());
}

} // namespace
} // namespace quellis::protocol

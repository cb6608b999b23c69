#pragma once

#include "core/controller.h"
#include "core/window.h"
#include "miner/miner_api_client.h"
#include "miner/miner_operations.h"
#include "miner/miner_replies.h"
#include "miner/pool_config.h"
#include "protocol/shared_state.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The miner operations: the batch runs over the machines of the device list
// (free miner commands, pools, first pool, temperature limits, hash rate) and
// the EEPROM label codes (write, read, and the read-back of a confirmed
// write). Each run is one BatchWorker thread with its own operation kind,
// inputs and exchange buffer; several may be active at once.

namespace quellis::miner
{

enum class BatchOperation
{
    MinerCommand = 0,
    FirstMiner = 2,
    SetTemperature = 3,
    PoolConfig = 4,
    HashRate = 5,
    WriteE2 = 6,
    ReadE2 = 7,
};

// The pool settings dialog as the pool run opens it; the window implements it.
class PoolSettingsDialog
{
public:
    virtual ~PoolSettingsDialog() = default;
    // UI thread: runs the dialog modally; the four slots after OK, nothing
    // after any other end.
    [[nodiscard]] virtual std::optional<PoolSlots> Run() = 0;
};

struct MinerOptions
{
    ClientOptions client;
    // The wait for a machine's answer to a pool or EEPROM command.
    std::uint32_t replyWaitMs = 3000;
};

class MinerController : public core::Controller
{
public:
    MinerController(
        protocol::SharedState& state, core::Window& window, PoolSettingsDialog& poolDialog, MinerOptions options = {});
    ~MinerController() override;
    MinerController(const MinerController&) = delete;
    MinerController& operator=(const MinerController&) = delete;

    // Buttons 11, 1027, 1029, 1054, 12 (the batch runs) and 13, 14 (the
    // EEPROM codes); the scanner's Enter in the one-D code edit comes as 13.
    bool OnCommand(int id) override;
    void Stop() override;

    // Reply thread, after it claimed a write's request with the answer and
    // before it marks it answered: the machine `target` (its MAC text as sent)
    // confirmed an E2 write. Only the write run whose request was claimed gets
    // its read-back run; that run waits until the write run has ended before
    // it resets commandDone and asks.
    void StartReadBack(std::string_view target);
    // Start-up: the answers to the pool runs and the E2 reads and writes
    // count, wake their runs and start the read-back of a confirmed write.
    void RegisterReplies(protocol::ReplyDispatcher& dispatcher);

    // The typed run (UI thread), as the buttons above start it: `machines`
    // are the ones chosen, in list order; none is every machine of the list
    // after the observer's confirmation (an E2 run then takes the list's
    // one row). The refusal, in the order the window checks, or the run.
    [[nodiscard]] MinerStarted StartMinerRun(BatchOperation kind,
        std::vector<core::RowTarget> machines,
        MinerRunOptions options,
        std::shared_ptr<MinerObserver> observer);
    // The label codes of the E2 write last started (any thread).
    [[nodiscard]] std::pair<std::string, std::string> WrittenCodes();

    // Runs not yet ended (tests wait for 0).
    [[nodiscard]] int ActiveRuns();
    // Each machine's outcome of the API runs, beside its log line; set
    // before any run starts.
    void SetResultObserver(core::ResultObserver* observer) { results_ = observer; }

private:
    struct Run;
    struct WriteHandOff;
    enum class Waited
    {
        Signalled,
        TimedOut,
        Stopped,
    };

    bool RefuseWhileUpdating();
    // False when the thread could not be made (the button says so).
    [[nodiscard]] bool StartBatch(std::unique_ptr<Run> run, std::vector<int> disabled, std::string_view failureText);
    void ShowRefusal(const MinerStarted& started);
    [[nodiscard]] bool StartThread(std::unique_ptr<Run> run);
    void ReapFinishedRuns();

    void OnExecuteMinerCommand();
    void OnSetPools();
    void OnGetFirstMiner();
    void OnSetTemperature();
    void OnGetHashRate();
    void OnWriteE2();
    void OnReadE2();
    [[nodiscard]] std::optional<MinerRefusal> CheckOneMachine(
        std::vector<core::RowTarget>& machines, MinerRefusal emptyList);
    [[nodiscard]] std::optional<MinerRefused> CheckCodes(const MinerRunOptions& options);

    void BatchWorker(Run& run);
    // False ends the visiting (a pool machine that did not answer).
    bool VisitApi(Run& run, const core::RowTarget& machine, bool allMachines);
    bool VisitPools(Run& run, const core::RowTarget& machine, bool allMachines);
    void RunE2(Run& run);
    void EndRun(const Run& run);

    // The answer of the request `ticket` (entered in the shared state's
    // awaited replies before the send), for at most the reply wait.
    [[nodiscard]] Waited WaitAnswer(protocol::AwaitedReplies::Ticket ticket);
    void Log(std::string_view text);
    void Report(
        const Run& run, const core::RowTarget& machine, bool ok, std::string_view outcome, std::string_view detail);

    protocol::SharedState& state_;
    core::Window& window_;
    PoolSettingsDialog& poolDialog_;
    const MinerOptions options_;
    core::ResultObserver* results_ = nullptr;
    std::atomic<bool> stopping_ { false };
    // The log pane for the API runs' posted lines; cleared by Stop.
    const std::shared_ptr<std::atomic<core::LogSink*>> logTarget_;
    // The slots of the last OK of the pool settings dialog (UI thread).
    PoolSlots poolSlots_;
    // The window's side of its own buttons' runs: its question boxes.
    std::shared_ptr<MinerObserver> windowObserver_;

    std::mutex runsLock_;
    std::list<std::unique_ptr<Run>> runs_;
    // Write runs awaiting their machine's confirmation.
    std::vector<std::shared_ptr<WriteHandOff>> awaitedWrites_;
    std::pair<std::string, std::string> writtenCodes_;
    std::unique_ptr<MinerReplyEffects> replyEffects_;
};

// Message and log texts (UTF-8).
namespace batchtext
{
inline constexpr std::string_view kUpdating = "设备升级中请稍后再试！";
inline constexpr std::string_view kQuestion = "Question";
inline constexpr std::string_view kListEmpty = "设备列表为空，请重新搜索设备！";
inline constexpr std::string_view kCommandEmpty = "命令不能为空！";
inline constexpr std::string_view kSameIp = "多个设备不能设置为相同的IP！";
inline constexpr std::string_view kLimitsReversed = "低温大于高温请重设";
inline constexpr std::string_view kPoolTextTooLong = "矿池配置内容过长，请减少矿池信息后重试！";
inline constexpr std::string_view kCommandThreadFailed = "创建命令执行线程失败！";
inline constexpr std::string_view kPoolThreadFailed = "创建矿池配置线程失败！";
inline constexpr std::string_view kFirstMinerThreadFailed = "创建获取矿工线程失败！";
inline constexpr std::string_view kTemperatureThreadFailed = "创建设置温度线程失败！";
inline constexpr std::string_view kHashRateThreadFailed = "创建获取算力线程失败！";
inline constexpr std::string_view kConfirmFirstMiner = "确认获取所有设备矿工信息？";
inline constexpr std::string_view kConfirmTemperature = "确认设置所有设备温度？";
inline constexpr std::string_view kConfirmPools = "确认对所有设备配置矿池？";
inline constexpr std::string_view kConfirmHashRate = "确认获取所有设备算力统计？";
inline constexpr std::string_view kConfirmMinerCommand = "确认所有设备执行miner命令？";
inline constexpr const char* kConfiguringPools = "对设备%s %s配置矿池\r\n";
inline constexpr std::string_view kPoolSendFailed = "发送矿池配置包失败！\r\n";
inline constexpr const char* kPoolTimedOutAll = "为%s %s配置矿池超时\r\n";
inline constexpr const char* kPoolTimedOutSelected = "为%s配置矿池超时\r\n";
inline constexpr const char* kPoolSummary = "矿池配置成功%d个，失败%d个\r\n";
inline constexpr std::string_view kStaticIpCommand = "pgasetstaticipparam";

inline constexpr std::string_view kCodesEqual = "二维码和一维码相同请检查";
inline constexpr std::string_view kQrLength = "请检查二维码长度";
inline constexpr std::string_view kOneDLength = "请检查一维码长度";
inline constexpr const char* kQrMarkMissing = "二维码未包含%s，请检查";
inline constexpr const char* kOneDMarkMissing = "一维码未包含%s，请检查";
inline constexpr std::string_view kNoMachineToWrite = "无设备无法进行写E2操作";
inline constexpr std::string_view kNoMachineToRead = "无设备无法进行读E2操作";
inline constexpr std::string_view kSeveralSelected = "不能同时对多个设备进行写E2操作";
inline constexpr std::string_view kSelectOne = "请选中要进行写E2操作的设备";
inline constexpr std::string_view kE2ThreadFailed = "创建写E2线程失败！";
inline constexpr std::string_view kE2SendFailed = "发送写E2命令失败！\r\n";
inline constexpr const char* kE2WriteTimedOut = "为%s写E2超时\r\n";
inline constexpr const char* kE2ReadTimedOut = "为%s读E2超时\r\n";
} // namespace batchtext

} // namespace quellis::miner

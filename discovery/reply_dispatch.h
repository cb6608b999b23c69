#pragma once

#include "core/log_colour.h"
#include "discovery/awaited_replies.h"
#include "discovery/device_packet.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Where the machines' answers take effect: the dispatch by reply type and
// command code, with the log lines, counters, lamps, buttons, timers and
// wake-ups of each. What an effect does to the window and to the shared
// state is behind ReplyEffects, which the discovery controller implements on
// the window. An answer that would start work, release a wait or open a box
// takes effect only when a request of ours awaits it (AwaitedReplies); any
// other is counted as unexpected, and the count is logged at most once a second.

namespace quellis::discovery
{

class ReplyEffects
{
public:
    virtual ~ReplyEffects() = default;

    // Device rows: the records in arrival order. They may be applied later,
    // but before the effects of any reply that comes after them.
    virtual void ApplyDeviceRecords(std::vector<DeviceRecord> records) = 0;
    // Called before the effects of a reply that is not a record: every record
    // handed over so far is applied by then.
    virtual void Synchronise() { }
    // Posted to the main window: a network setting of the current target failed.
    virtual void PostSettingFailed(int result) = 0;

    virtual bool IsButtonEnabled(int id) = 0;
    virtual void EnableButton(int id) = 0;
    virtual void StopBusyAnimation() = 0;
    virtual void KillTimer(int id) = 0;
    virtual void SetLamp(int id, bool lit) = 0;
    virtual void Log(core::LogColour colour, std::string_view text, bool toFile) = 0;

    virtual std::string CurrentTarget() = 0;
    virtual std::string CurrentTargetIp() = 0;
    virtual void CountSuccess() = 0;
    virtual void CountFailure() = 0;
    virtual void SignalCommandDone() = 0;

    // The label codes as the edits hold them now, and the read-back that a
    // confirmed write of the machine `target` (its identity as the answer
    // names it) starts. Called before the answer's commandDone signal.
    virtual std::string QrCodeText() = 0;
    virtual std::string OneDCodeText() = 0;
    virtual void StartReadBack(std::string_view target) = 0;

    // The local time as "YYYY-MM-DD hh:mm:ss".
    virtual std::string Timestamp() = 0;
    // For the pace of the unexpected-reply line.
    virtual std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }

    // Every command answer and every setting answer, as it arrives and
    // before its effects: for a front end that reports per machine.
    virtual void ObserveCommandReply(const CommandPacket& /*reply*/, std::span<const std::uint8_t> /*datagram*/) { }
    virtual void ObserveSettingReply(const DeviceRecord& /*reply*/) { }
};

// Runs on the reply thread. Datagrams are handled in their order; records
// that follow one another are gathered, so a burst of search replies costs
// one window call instead of one each.
class ReplyDispatcher
{
public:
    // The unexpected replies of this long are logged together, in one line.
    static constexpr auto kUnexpectedLogInterval = std::chrono::seconds(1);

    ReplyDispatcher(ReplyEffects& effects, AwaitedReplies& awaited)
        : effects_(effects)
        , awaited_(awaited)
    {
    }

    void Dispatch(std::span<const std::span<const std::uint8_t>> datagrams);
    void Dispatch(std::span<const std::uint8_t> datagram);
    // Nothing queued: the count of unexpected replies still to be logged goes
    // out once its interval has passed.
    void Idle();

private:
    void HandleOne(std::span<const std::uint8_t> datagram);
    void HandleSetting(DeviceRecord record);
    void HandleCommand(std::span<const std::uint8_t> datagram, const CommandPacket& reply);
    void CheckE2Read(std::span<const std::uint8_t> datagram, const std::string& timestamp);
    void FlushRecords();
    void SettleRecords();
    // The request this answer answers, claimed; kNone (and one more
    // unexpected reply) when none awaits it.
    AwaitedReplies::Ticket ClaimOrCount(std::uint16_t code, std::string_view target);
    // The answer's effects are done: its worker may wake.
    void Wake(AwaitedReplies::Ticket ticket);
    void Unexpected();
    void LogUnexpected();

    ReplyEffects& effects_;
    AwaitedReplies& awaited_;
    std::vector<DeviceRecord> pendingRecords_;
    int unexpected_ = 0;
    std::optional<std::chrono::steady_clock::time_point> unexpectedLogged_;
};

// Texts of the log lines (UTF-8).
namespace replytext
{
inline constexpr std::string_view kLedTestDone = "LED灯测试结束\r\n";
inline constexpr const char* kSerialTestDone = "串口测试结束%d个串口正常\r\n";
inline constexpr const char* kCommandDone = "设备%s系统命令运行结束\r\n";
inline constexpr const char* kCommandResult = "运行结果[%d]:\r\n%s\r\n";
inline constexpr const char* kUpgradeSucceeded = "升级%s成功\r\n";
inline constexpr const char* kUpgradeFailed = "升级%s失败\r\n";
inline constexpr std::string_view kPoolsSucceeded = "矿池配置成功\r\n";
inline constexpr std::string_view kPoolsFailed = "矿池配置失败\r\n";
inline constexpr const char* kE2ReadFailed = "[%s]读E2失败%d\r\n";
inline constexpr const char* kE2ReadCrcFailed = "[%s]读E2失败，crc failed\r\n";
inline constexpr const char* kE2ReadDone = " [%s]读E2成功\r\n";
inline constexpr const char* kE2ReadEmpty = " [%s]读E2内容为空\r\n";
inline constexpr const char* kE2WriteDone = "[%s]写E2成功\r\n";
inline constexpr const char* kE2WriteFailed = "[%s]写E2失败%d\r\n";
inline constexpr std::string_view kNameSet = "设置名字成功\r\n";
inline constexpr std::string_view kNameNotSet = "设置名字失败\r\n";
inline constexpr const char* kNameRead = "读取名字成功 %s\r\n";
inline constexpr std::string_view kNameNotRead = "读取名字失败\r\n";
inline constexpr const char* kUnexpectedReplies = "收到%d个未预期的应答，已忽略\r\n";
} // namespace replytext

} // namespace quellis::discovery

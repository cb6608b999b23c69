#pragma once

#include "core/log_colour.h"
#include "protocol/reply_dispatch.h"

#include <string>
#include <string_view>

// The answers to the pool runs and the E2 reads and writes, registered with
// the reply dispatcher: the counters, the wake-ups, the log lines and the
// read-back a confirmed write starts. What they do to the window and the
// shared state is behind MinerReplyEffects.

namespace quellis::miner
{

class MinerReplyEffects
{
public:
    virtual ~MinerReplyEffects() = default;
    virtual void CountSuccess() = 0;
    virtual void CountFailure() = 0;
    virtual void SignalCommandDone() = 0;
    virtual void Log(core::LogColour colour, std::string_view text, bool toFile) = 0;
    // The label codes as the edits hold them now, and the read-back that a
    // confirmed write of the machine `target` (its identity as the answer
    // names it) starts. Called before the answer's commandDone signal.
    virtual std::string QrCodeText() = 0;
    virtual std::string OneDCodeText() = 0;
    virtual void StartReadBack(std::string_view target) = 0;
    // The local time as "YYYY-MM-DD hh:mm:ss".
    virtual std::string Timestamp() = 0;
};

// `effects` outlives the dispatcher's use.
void RegisterMinerReplies(protocol::ReplyDispatcher& dispatcher, MinerReplyEffects& effects);

namespace replytext
{
inline constexpr std::string_view kPoolsSucceeded = "矿池配置成功\r\n";
inline constexpr std::string_view kPoolsFailed = "矿池配置失败\r\n";
inline constexpr const char* kE2ReadFailed = "[%s]读E2失败%d\r\n";
inline constexpr const char* kE2ReadCrcFailed = "[%s]读E2失败，crc failed\r\n";
inline constexpr const char* kE2ReadDone = " [%s]读E2成功\r\n";
inline constexpr const char* kE2ReadEmpty = " [%s]读E2内容为空\r\n";
inline constexpr const char* kE2WriteDone = "[%s]写E2成功\r\n";
inline constexpr const char* kE2WriteFailed = "[%s]写E2失败%d\r\n";
} // namespace replytext

} // namespace quellis::miner

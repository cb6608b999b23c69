#pragma once

#include "core/log_colour.h"
#include "protocol/reply_dispatch.h"

#include <optional>
#include <string>
#include <string_view>

// The machines' update results, registered with the reply dispatcher: the
// counters of the run, the end of a machine's wait and the result lines. What they do to the
// window and the shared state is behind UpdateReplyEffects.

namespace quellis::update
{

class UpdateReplyEffects
{
public:
    virtual ~UpdateReplyEffects() = default;
    // The address of the machine `target` when a wait of the run is for it.
    virtual std::optional<std::string> AwaitedIp(const std::string& target) = 0;
    virtual void CountSuccess() = 0;
    virtual void CountFailure() = 0;
    // Ends the wait for `target` with its result; after its count.
    virtual void EndWait(const std::string& target, bool ok) = 0;
    virtual void Log(core::LogColour colour, std::string_view text, bool toFile) = 0;
};

// `effects` outlives the dispatcher's use.
void RegisterUpdateReplies(protocol::ReplyDispatcher& dispatcher, UpdateReplyEffects& effects);

namespace replytext
{
inline constexpr const char* kUpgradeSucceeded = "升级%s成功\r\n";
inline constexpr const char* kUpgradeFailed = "升级%s失败\r\n";
} // namespace replytext

} // namespace quellis::update

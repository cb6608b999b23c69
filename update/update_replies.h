#pragma once

#include "core/log_colour.h"
#include "protocol/reply_dispatch.h"

#include <string>
#include <string_view>

// The machines' update results, registered with the reply dispatcher: the
// counters of the run, its wake-up and the result lines. What they do to the
// window and the shared state is behind UpdateReplyEffects.

namespace quellis::update
{

class UpdateReplyEffects
{
public:
    virtual ~UpdateReplyEffects() = default;
    // The machine being updated: its target and address.
    virtual std::string CurrentTarget() = 0;
    virtual std::string CurrentTargetIp() = 0;
    virtual void CountSuccess() = 0;
    virtual void CountFailure() = 0;
    virtual void SignalCommandDone() = 0;
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

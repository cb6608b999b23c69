#include "update/update_replies.h"

#include "platform/text/codepage.h"
#include "platform/text/printf_text.h"

namespace quellis::update
{

namespace
{

void OnUpgrade(UpdateReplyEffects& effects, const protocol::CommandPacket& reply, protocol::ReplyContext& context)
{
    context.Settle();
    const char* line = reply.result != 0 ? replytext::kUpgradeSucceeded : replytext::kUpgradeFailed;
    const auto count = [&]
    {
        if (reply.result != 0)
        {
            effects.CountSuccess();
        }
        else
        {
            effects.CountFailure();
        }
    };
    if (const auto ip = effects.AwaitedIp(reply.target))
    {
        // The counter changes before the wake-up, so that the woken update
        // run reads it; the line follows the wake-up.
        count();
        effects.EndWait(reply.target, reply.result != 0);
        effects.Log(core::LogColour::Default, text::PrintfText(line, ip->c_str()), false);
    }
    else
    {
        // Another machine's result is logged and counted; the run keeps waiting.
        effects.Log(
            core::LogColour::Default, text::PrintfText(line, text::DeviceTextToUtf8(reply.target).c_str()), false);
        count();
    }
}

} // namespace

void RegisterUpdateReplies(protocol::ReplyDispatcher& dispatcher, UpdateReplyEffects& effects)
{
    dispatcher.Register(protocol::CMD_Upgrade,
        [&effects](const protocol::CommandPacket& reply, std::span<const std::uint8_t>, protocol::ReplyContext& context)
        { OnUpgrade(effects, reply, context); });
}

} // namespace quellis::update

#include "commands/command_replies.h"

#include "commands/command_operations.h"
#include "platform/text/codepage.h"
#include "platform/text/printf_text.h"
#include "resources/templates/main_dialog_ids.h"

namespace quellis::commands
{

namespace
{

using core::LogColour;
using protocol::AwaitedReplies;
using protocol::CommandPacket;
using protocol::ReplyContext;
using text::PrintfText;
using namespace quellis::resources;

constexpr int kSerialLamps[] = { kIdSerialLamp1, kIdSerialLamp2, kIdSerialLamp3, kIdSerialLamp4, kIdSerialLamp5 };

// Text a machine sent, as the program shows it.
std::string Shown(std::string_view deviceText)
{
    return text::DeviceTextToUtf8(deviceText);
}

// The tests wait with a window timer: only the answer of the machine asked,
// while its timer runs, ends the wait. An enabled button means the test has
// ended already: a late answer.
void EndTest(CommandReplyEffects& effects, int button, core::BusyRun run, int timer, std::string_view line)
{
    if (!effects.IsButtonEnabled(button))
    {
        effects.EnableButton(button);
        effects.ReleaseBusyAnimation(run);
        effects.Log(LogColour::Default, line, false);
        effects.KillTimer(timer);
    }
}

void OnLedTest(CommandReplyEffects& effects, const CommandPacket& reply, ReplyContext& context)
{
    const auto ticket = context.Claim(protocol::CMD_LedTest, reply.target);
    if (ticket == AwaitedReplies::kNone)
    {
        return;
    }
    context.Settle();
    EndTest(effects, kIdLedTest, core::BusyRun::LedTest, kTimerLedTest, replytext::kLedTestDone);
    context.Awaited().Answered(ticket);
}

void OnSerialTest(CommandReplyEffects& effects, const CommandPacket& reply, ReplyContext& context)
{
    // A late answer (the test has timed out) still shows its ports, and
    // does nothing else.
    const auto [ticket, late] = context.ClaimOrLate(protocol::CMD_UARTTest, reply.target);
    if (ticket == AwaitedReplies::kNone && !late)
    {
        return;
    }
    context.Settle();
    int working = 0;
    for (int port = 0; port < kSerialPortCount; ++port)
    {
        const bool lit = SerialPortWorking(reply.result, port);
        effects.SetLamp(kSerialLamps[port], lit);
        working += lit ? 1 : 0;
    }
    if (late)
    {
        return;
    }
    EndTest(effects,
        kIdSerialTest,
        core::BusyRun::SerialTest,
        kTimerSerialTest,
        PrintfText(replytext::kSerialTestDone, working));
    context.Awaited().Answered(ticket);
}

void OnSystemCommand(CommandReplyEffects& effects, const CommandPacket& reply, ReplyContext& context)
{
    // A command to every machine takes the answer of each. A command that
    // ran longer than the wait still has its output shown, and ends nothing.
    const auto [ticket, late] = context.ClaimOrLate(protocol::CMD_EXECUTE, reply.target);
    if (ticket == AwaitedReplies::kNone && !late)
    {
        return;
    }
    context.Settle();
    if (!late)
    {
        effects.EnableButton(kIdExecuteSystemCommand);
        effects.ReleaseBusyAnimation(core::BusyRun::SystemCommand);
    }
    effects.Log(LogColour::Default, PrintfText(replytext::kCommandDone, Shown(reply.target).c_str()), false);
    if (!late)
    {
        effects.KillTimer(kTimerSystemCommand);
    }
    effects.Log(
        LogColour::Default, PrintfText(replytext::kCommandResult, reply.result, Shown(reply.text).c_str()), false);
    if (!late)
    {
        context.Awaited().Answered(ticket);
    }
}

void OnName(CommandReplyEffects& effects, const CommandPacket& reply, ReplyContext& context)
{
    // Only the answers of a machine asked for its name: its name, or the
    // outcome of a name set that it reports (the program never sets one).
    // Nothing waits on commandDone for a name: its line is all it
    // does, and the wake-up of another run is not its to give.
    const auto ticket = context.Claim(reply.cmdCode, reply.target);
    if (ticket == AwaitedReplies::kNone)
    {
        return;
    }
    context.Settle();
    if (reply.cmdCode == protocol::CMD_SetName)
    {
        effects.Log(LogColour::Default, reply.result != 0 ? replytext::kNameSet : replytext::kNameNotSet, false);
    }
    else if (reply.result != 0)
    {
        effects.Log(LogColour::Default, PrintfText(replytext::kNameRead, Shown(reply.text).c_str()), false);
    }
    else
    {
        effects.Log(LogColour::Default, replytext::kNameNotRead, false);
    }
    context.Awaited().Answered(ticket);
}

void OnSetting(CommandReplyEffects& effects, protocol::DeviceRecord record, ReplyContext& context)
{
    if (record.result < 0)
    {
        return;
    }
    // The answer to the setting last sent, when it names that machine; one
    // answer per request, so a copy of a refusal opens no second box.
    const auto claim = [&]
    {
        return effects.CurrentTarget() == record.mac ? context.Awaited().Claim(protocol::kSettingAnswer, record.mac)
                                                     : AwaitedReplies::kNone;
    };
    if (record.result == 0)
    {
        if (const AwaitedReplies::Ticket ticket = claim())
        {
            context.Awaited().Answered(ticket);
        }
        // The reply carries the device's new settings; like a search reply it
        // refreshes (or adds) the row of its MAC.
        context.AddRecord(std::move(record));
        return;
    }
    const AwaitedReplies::Ticket ticket = claim();
    if (ticket == AwaitedReplies::kNone)
    {
        context.Unexpected();
        return;
    }
    context.Settle();
    effects.PostSettingFailed(record.result);
    context.Awaited().Answered(ticket);
}

} // namespace

void RegisterCommandReplies(protocol::ReplyDispatcher& dispatcher, CommandReplyEffects& effects)
{
    const auto handler = [&effects](void (*handle)(CommandReplyEffects&, const CommandPacket&, ReplyContext&))
    {
        return [&effects, handle](const CommandPacket& reply, std::span<const std::uint8_t>, ReplyContext& context)
        { handle(effects, reply, context); };
    };
    dispatcher.Register(protocol::CMD_LedTest, handler(OnLedTest));
    dispatcher.Register(protocol::CMD_UARTTest, handler(OnSerialTest));
    dispatcher.Register(protocol::CMD_EXECUTE, handler(OnSystemCommand));
    dispatcher.Register(protocol::CMD_SetName, handler(OnName));
    dispatcher.Register(protocol::CMD_GetName, handler(OnName));
    dispatcher.RegisterSetting([&effects](protocol::DeviceRecord record, ReplyContext& context)
        { OnSetting(effects, std::move(record), context); });
}

} // namespace quellis::commands

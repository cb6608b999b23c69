#include "miner/miner_replies.h"

#include "platform/text/codepage.h"
#include "platform/text/printf_text.h"

namespace quellis::miner
{

namespace
{

using core::LogColour;
using protocol::AwaitedReplies;
using protocol::CommandPacket;
using protocol::ReplyContext;
using text::PrintfText;

// Text a machine sent, as the program shows it.
std::string Shown(std::string_view deviceText)
{
    return text::DeviceTextToUtf8(deviceText);
}

// The answer's effects are done: its worker may wake.
void Wake(MinerReplyEffects& effects, ReplyContext& context, AwaitedReplies::Ticket ticket)
{
    context.Awaited().Answered(ticket);
    effects.SignalCommandDone();
}

// A late answer (its worker has stopped waiting) is logged, so that the
// operator knows what the machine did, and changes nothing else: no count,
// no wake-up, no read-back.
void OnPools(
    MinerReplyEffects& effects, const CommandPacket& reply, std::span<const std::uint8_t>, ReplyContext& context)
{
    const auto [ticket, late] = context.ClaimOrLate(protocol::CMD_PoolConfig, reply.target);
    if (ticket == AwaitedReplies::kNone && !late)
    {
        return;
    }
    context.Settle();
    effects.Log(LogColour::Default, reply.result != 0 ? replytext::kPoolsSucceeded : replytext::kPoolsFailed, false);
    if (late)
    {
        return;
    }
    if (reply.result != 0)
    {
        effects.CountSuccess();
    }
    else
    {
        effects.CountFailure();
    }
    Wake(effects, context, ticket);
}

void CheckE2Read(MinerReplyEffects& effects, std::span<const std::uint8_t> datagram, const std::string& timestamp)
{
    const auto reply = protocol::ReadE2Reply(datagram);
    if (!reply || reply->computedChecksum != reply->block.checksum)
    {
        effects.Log(LogColour::Red, PrintfText(replytext::kE2ReadCrcFailed, timestamp.c_str()), true);
        return;
    }
    const std::uint8_t qrFirst = reply->block.data[0];
    const std::uint8_t oneDFirst = reply->block.data[15];
    const auto blank = [](std::uint8_t byte) { return byte == 0x00 || byte == 0xFF; };
    if (blank(qrFirst) || blank(oneDFirst))
    {
        effects.Log(LogColour::Red, PrintfText(replytext::kE2ReadEmpty, timestamp.c_str()), true);
        return;
    }
    const std::string qr = Shown(protocol::TextField(datagram, protocol::kE2ReplyDataOffset, 15));
    const std::string oneD
        = Shown(protocol::TextField(datagram, protocol::kE2ReplyDataOffset + 15, protocol::kE2DataCapacity - 15));
    effects.Log(LogColour::Green, qr + " ", true);
    effects.Log(LogColour::Green, oneD, true);
    effects.Log(LogColour::Green, PrintfText(replytext::kE2ReadDone, timestamp.c_str()), true);
}

void OnReadE2(MinerReplyEffects& effects,
    const CommandPacket& reply,
    std::span<const std::uint8_t> datagram,
    ReplyContext& context)
{
    const auto [ticket, late] = context.ClaimOrLate(protocol::CMD_ReadE2, reply.target);
    if (ticket == AwaitedReplies::kNone && !late)
    {
        return;
    }
    context.Settle();
    const std::string timestamp = effects.Timestamp();
    if (reply.result != 0)
    {
        effects.Log(LogColour::Red, PrintfText(replytext::kE2ReadFailed, timestamp.c_str(), reply.result), true);
    }
    else
    {
        CheckE2Read(effects, datagram, timestamp);
    }
    if (!late)
    {
        Wake(effects, context, ticket);
    }
}

void OnWriteE2(
    MinerReplyEffects& effects, const CommandPacket& reply, std::span<const std::uint8_t>, ReplyContext& context)
{
    const auto [ticket, late] = context.ClaimOrLate(protocol::CMD_WriteE2, reply.target);
    if (ticket == AwaitedReplies::kNone && !late)
    {
        return;
    }
    context.Settle();
    const std::string timestamp = effects.Timestamp();
    if (reply.result != 0)
    {
        effects.Log(LogColour::Red, PrintfText(replytext::kE2WriteFailed, timestamp.c_str(), reply.result), true);
    }
    else if (late)
    {
        // The codes in the edits may no longer be the ones written.
        effects.Log(LogColour::Green, PrintfText(replytext::kE2WriteDone, timestamp.c_str()), true);
    }
    else
    {
        effects.Log(LogColour::Green, effects.QrCodeText() + " ", true);
        effects.Log(LogColour::Green, effects.OneDCodeText() + " ", true);
        effects.Log(LogColour::Green, PrintfText(replytext::kE2WriteDone, timestamp.c_str()), true);
        // The write run still waits, its request claimed; the read-back
        // starts before the wake-up, which must release the write run and
        // not the read-back.
        effects.StartReadBack(reply.target);
    }
    if (!late)
    {
        Wake(effects, context, ticket);
    }
}

} // namespace

void RegisterMinerReplies(protocol::ReplyDispatcher& dispatcher, MinerReplyEffects& effects)
{
    using Handle = void (*)(MinerReplyEffects&, const CommandPacket&, std::span<const std::uint8_t>, ReplyContext&);
    const auto handler = [&effects](Handle handle)
    {
        return [&effects, handle](
                   const CommandPacket& reply, std::span<const std::uint8_t> datagram, ReplyContext& context)
        { handle(effects, reply, datagram, context); };
    };
    dispatcher.Register(protocol::CMD_PoolConfig, handler(OnPools));
    dispatcher.Register(protocol::CMD_ReadE2, handler(OnReadE2));
    dispatcher.Register(protocol::CMD_WriteE2, handler(OnWriteE2));
}

} // namespace quellis::miner

#include "protocol/reply_dispatch.h"

#include "platform/text/printf_text.h"

#include <utility>

namespace quellis::protocol
{

void ReplyDispatcher::Dispatch(std::span<const std::span<const std::uint8_t>> datagrams)
{
    for (const auto& datagram : datagrams)
    {
        HandleOne(datagram);
    }
    FlushRecords();
}

void ReplyDispatcher::Dispatch(std::span<const std::uint8_t> datagram)
{
    HandleOne(datagram);
    FlushRecords();
}

void ReplyDispatcher::FlushRecords()
{
    if (!pendingRecords_.empty())
    {
        sink_.ApplyDeviceRecords(std::move(pendingRecords_));
        pendingRecords_.clear();
    }
}

// Before a reply takes effect: every record that came before it is applied.
// Only replies that do something wait for that; a reply ignored costs no
// window call.
void ReplyDispatcher::Settle()
{
    FlushRecords();
    sink_.Synchronise();
}

void ReplyDispatcher::HandleOne(std::span<const std::uint8_t> datagram)
{
    const auto header = ReadHeader(datagram);
    if (!header)
    {
        return;
    }
    switch (header->type)
    {
    case PKT_SEARCH_ACK:
        if (auto record = ReadRecord(datagram))
        {
            pendingRecords_.push_back(std::move(*record));
        }
        break;
    case PKT_DEV_SETTING_ACK:
        if (auto record = ReadRecord(datagram))
        {
            sink_.ObserveSettingReply(*record);
            if (setting_)
            {
                setting_(std::move(*record), *this);
            }
        }
        break;
    case PKT_CMD_ACK:
        if (const auto reply = ReadCommand(datagram))
        {
            sink_.ObserveCommandReply(*reply, datagram);
            if (const auto handler = commands_.find(reply->cmdCode); handler != commands_.end())
            {
                handler->second(*reply, datagram, *this);
            }
        }
        break;
    default:
        // Requests heard from the program's own broadcasts, and anything else.
        break;
    }
}

AwaitedReplies::Ticket ReplyDispatcher::Claim(std::uint16_t code, std::string_view target)
{
    const AwaitedReplies::Ticket ticket = awaited_.Claim(CommandAnswer(code), target);
    if (ticket == AwaitedReplies::kNone)
    {
        Unexpected();
    }
    return ticket;
}

ReplyContext::Claimed ReplyDispatcher::ClaimOrLate(std::uint16_t code, std::string_view target)
{
    const AwaitedReplies::Ticket ticket = awaited_.Claim(CommandAnswer(code), target);
    if (ticket != AwaitedReplies::kNone)
    {
        return { ticket, false };
    }
    if (awaited_.ClaimLate(CommandAnswer(code), target, sink_.Now()))
    {
        return { AwaitedReplies::kNone, true };
    }
    Unexpected();
    return {};
}

void ReplyDispatcher::Unexpected()
{
    ++unexpected_;
    LogUnexpected();
}

void ReplyDispatcher::Idle()
{
    LogUnexpected();
}

// At most one line an interval, with the count since the last one: a flood
// of replies nobody asked for costs the window one line a second.
void ReplyDispatcher::LogUnexpected()
{
    if (unexpected_ == 0)
    {
        return;
    }
    const auto now = sink_.Now();
    if (unexpectedLogged_ && now - *unexpectedLogged_ < kUnexpectedLogInterval)
    {
        return;
    }
    unexpectedLogged_ = now;
    const int count = std::exchange(unexpected_, 0);
    sink_.Log(core::LogColour::Default, text::PrintfText(kUnexpectedReplies, count), true);
}

} // namespace quellis::protocol

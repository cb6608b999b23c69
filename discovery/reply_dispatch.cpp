#include "discovery/reply_dispatch.h"

#include "discovery/internet_checksum.h"
#include "platform/text/codepage.h"
#include "resources/templates/main_dialog_ids.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

namespace quellis::discovery
{

namespace
{

using core::LogColour;
using namespace quellis::resources;

constexpr int kSerialLamps[] = { kIdSerialLamp1, kIdSerialLamp2, kIdSerialLamp3, kIdSerialLamp4, kIdSerialLamp5 };

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    va_end(arguments);
    return text;
}

// Text a machine sent, as the program shows it.
std::string Shown(std::string_view deviceText)
{
    return text::DeviceTextToUtf8(deviceText);
}

} // namespace

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
        effects_.ApplyDeviceRecords(std::move(pendingRecords_));
        pendingRecords_.clear();
    }
}

// Before a reply takes effect: every record that came before it is applied.
// Only replies that do something wait for that; a reply ignored costs no
// window call.
void ReplyDispatcher::SettleRecords()
{
    FlushRecords();
    effects_.Synchronise();
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
            HandleSetting(std::move(*record));
        }
        break;
    case PKT_CMD_ACK:
        if (const auto reply = ReadCommand(datagram))
        {
            HandleCommand(datagram, *reply);
        }
        break;
    default:
        // Requests heard from the program's own broadcasts, and anything else.
        break;
    }
}

void ReplyDispatcher::HandleSetting(DeviceRecord record)
{
    effects_.ObserveSettingReply(record);
    if (record.result < 0)
    {
        return;
    }
    // The answer to the setting last sent, when it names that machine; one
    // answer per request, so a copy of a refusal opens no second box.
    const auto claim = [&] {
        return effects_.CurrentTarget() == record.mac ? awaited_.Claim(kSettingAnswer, record.mac)
                                                      : AwaitedReplies::kNone;
    };
    if (record.result == 0)
    {
        if (const AwaitedReplies::Ticket ticket = claim())
        {
            awaited_.Answered(ticket);
        }
        // The reply carries the device's new settings; like a search reply it
        // refreshes (or adds) the row of its MAC.
        pendingRecords_.push_back(std::move(record));
        return;
    }
    const AwaitedReplies::Ticket ticket = claim();
    if (ticket == AwaitedReplies::kNone)
    {
        Unexpected();
        return;
    }
    SettleRecords();
    effects_.PostSettingFailed(record.result);
    awaited_.Answered(ticket);
}

AwaitedReplies::Ticket ReplyDispatcher::ClaimOrCount(std::uint16_t code, std::string_view target)
{
    const AwaitedReplies::Ticket ticket = awaited_.Claim(CommandAnswer(code), target);
    if (ticket == AwaitedReplies::kNone)
    {
        Unexpected();
    }
    return ticket;
}

void ReplyDispatcher::Wake(AwaitedReplies::Ticket ticket)
{
    awaited_.Answered(ticket);
    effects_.SignalCommandDone();
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
    const auto now = effects_.Now();
    if (unexpectedLogged_ && now - *unexpectedLogged_ < kUnexpectedLogInterval)
    {
        return;
    }
    unexpectedLogged_ = now;
    const int count = std::exchange(unexpected_, 0);
    effects_.Log(LogColour::Default, Format(replytext::kUnexpectedReplies, count), true);
}

void ReplyDispatcher::HandleCommand(std::span<const std::uint8_t> datagram, const CommandPacket& reply)
{
    effects_.ObserveCommandReply(reply, datagram);
    switch (reply.cmdCode)
    {
    case CMD_LedTest:
    {
        // The tests and the system command wait with a window timer: only the
        // answer of the machine asked, while its timer runs, ends the wait.
        const auto ticket = ClaimOrCount(CMD_LedTest, reply.target);
        if (ticket == AwaitedReplies::kNone)
        {
            break;
        }
        SettleRecords();
        // An enabled button means the test has ended already: a late answer.
        if (!effects_.IsButtonEnabled(kIdLedTest))
        {
            effects_.EnableButton(kIdLedTest);
            effects_.StopBusyAnimation();
            effects_.Log(LogColour::Default, replytext::kLedTestDone, false);
            effects_.KillTimer(kTimerLedTest);
        }
        awaited_.Answered(ticket);
        break;
    }
    case CMD_UARTTest:
    {
        const auto ticket = ClaimOrCount(CMD_UARTTest, reply.target);
        if (ticket == AwaitedReplies::kNone)
        {
            break;
        }
        SettleRecords();
        int working = 0;
        for (int port = 0; port < 5; ++port)
        {
            const bool lit = (reply.result & (1 << port)) != 0;
            effects_.SetLamp(kSerialLamps[port], lit);
            working += lit ? 1 : 0;
        }
        if (!effects_.IsButtonEnabled(kIdSerialTest))
        {
            effects_.EnableButton(kIdSerialTest);
            effects_.StopBusyAnimation();
            effects_.Log(LogColour::Default, Format(replytext::kSerialTestDone, working), false);
            effects_.KillTimer(kTimerSerialTest);
        }
        awaited_.Answered(ticket);
        break;
    }
    case CMD_EXECUTE:
    {
        // A command to every machine takes the answer of each.
        const auto ticket = ClaimOrCount(CMD_EXECUTE, reply.target);
        if (ticket == AwaitedReplies::kNone)
        {
            break;
        }
        SettleRecords();
        effects_.EnableButton(kIdExecuteSystemCommand);
        effects_.StopBusyAnimation();
        effects_.Log(LogColour::Default, Format(replytext::kCommandDone, Shown(reply.target).c_str()), false);
        effects_.KillTimer(kTimerSystemCommand);
        effects_.Log(
            LogColour::Default, Format(replytext::kCommandResult, reply.result, Shown(reply.text).c_str()), false);
        awaited_.Answered(ticket);
        break;
    }
    case CMD_Upgrade:
    {
        SettleRecords();
        const char* line = reply.result != 0 ? replytext::kUpgradeSucceeded : replytext::kUpgradeFailed;
        const auto count = [&]
        {
            if (reply.result != 0)
            {
                effects_.CountSuccess();
            }
            else
            {
                effects_.CountFailure();
            }
        };
        if (effects_.CurrentTarget() == reply.target)
        {
            // The counter changes before the wake-up, so that the woken update
            // run reads it; the line follows the wake-up.
            const std::string ip = effects_.CurrentTargetIp();
            count();
            effects_.SignalCommandDone();
            effects_.Log(LogColour::Default, Format(line, ip.c_str()), false);
        }
        else
        {
            // Another machine's result is logged and counted; the run keeps waiting.
            effects_.Log(LogColour::Default, Format(line, Shown(reply.target).c_str()), false);
            count();
        }
        break;
    }
    case CMD_PoolConfig:
    {
        const auto ticket = ClaimOrCount(CMD_PoolConfig, reply.target);
        if (ticket == AwaitedReplies::kNone)
        {
            break;
        }
        SettleRecords();
        if (reply.result != 0)
        {
            effects_.Log(LogColour::Default, replytext::kPoolsSucceeded, false);
            effects_.CountSuccess();
        }
        else
        {
            effects_.Log(LogColour::Default, replytext::kPoolsFailed, false);
            effects_.CountFailure();
        }
        Wake(ticket);
        break;
    }
    case CMD_ReadE2:
    {
        const auto ticket = ClaimOrCount(CMD_ReadE2, reply.target);
        if (ticket == AwaitedReplies::kNone)
        {
            break;
        }
        SettleRecords();
        const std::string timestamp = effects_.Timestamp();
        if (reply.result != 0)
        {
            effects_.Log(LogColour::Red, Format(replytext::kE2ReadFailed, timestamp.c_str(), reply.result), true);
        }
        else
        {
            CheckE2Read(datagram, timestamp);
        }
        Wake(ticket);
        break;
    }
    case CMD_WriteE2:
    {
        const auto ticket = ClaimOrCount(CMD_WriteE2, reply.target);
        if (ticket == AwaitedReplies::kNone)
        {
            break;
        }
        SettleRecords();
        const std::string timestamp = effects_.Timestamp();
        if (reply.result == 0)
        {
            effects_.Log(LogColour::Green, effects_.QrCodeText() + " ", true);
            effects_.Log(LogColour::Green, effects_.OneDCodeText() + " ", true);
            effects_.Log(LogColour::Green, Format(replytext::kE2WriteDone, timestamp.c_str()), true);
            // The write run still waits, its request claimed; the read-back
            // starts before the wake-up, which must release the write run and
            // not the read-back.
            effects_.StartReadBack(reply.target);
        }
        else
        {
            effects_.Log(LogColour::Red, Format(replytext::kE2WriteFailed, timestamp.c_str(), reply.result), true);
        }
        Wake(ticket);
        break;
    }
    case CMD_SetName:
    case CMD_GetName:
    {
        // Only the name a request of ours asked for (the program never sets
        // one). Nothing waits on commandDone for a name: its line is all it
        // does, and the wake-up of another run is not its to give.
        const auto ticket = ClaimOrCount(reply.cmdCode, reply.target);
        if (ticket == AwaitedReplies::kNone)
        {
            break;
        }
        SettleRecords();
        if (reply.cmdCode == CMD_SetName)
        {
            effects_.Log(LogColour::Default, reply.result != 0 ? replytext::kNameSet : replytext::kNameNotSet, false);
        }
        else if (reply.result != 0)
        {
            effects_.Log(LogColour::Default, Format(replytext::kNameRead, Shown(reply.text).c_str()), false);
        }
        else
        {
            effects_.Log(LogColour::Default, replytext::kNameNotRead, false);
        }
        awaited_.Answered(ticket);
        break;
    }
    default:
        break;
    }
}

void ReplyDispatcher::CheckE2Read(std::span<const std::uint8_t> datagram, const std::string& timestamp)
{
    const auto reply = ReadE2Reply(datagram);
    if (!reply || reply->computedChecksum != reply->block.checksum)
    {
        effects_.Log(LogColour::Red, Format(replytext::kE2ReadCrcFailed, timestamp.c_str()), true);
        return;
    }
    const std::uint8_t qrFirst = reply->block.data[0];
    const std::uint8_t oneDFirst = reply->block.data[15];
    const auto blank = [](std::uint8_t byte) { return byte == 0x00 || byte == 0xFF; };
    if (blank(qrFirst) || blank(oneDFirst))
    {
        effects_.Log(LogColour::Red, Format(replytext::kE2ReadEmpty, timestamp.c_str()), true);
        return;
    }
    const std::string qr = Shown(TextField(datagram, kE2ReplyDataOffset, 15));
    const std::string oneD = Shown(TextField(datagram, kE2ReplyDataOffset + 15, kE2DataCapacity - 15));
    effects_.Log(LogColour::Green, qr + " ", true);
    effects_.Log(LogColour::Green, oneD, true);
    effects_.Log(LogColour::Green, Format(replytext::kE2ReadDone, timestamp.c_str()), true);
}

} // namespace quellis::discovery

#include "sim/device_service.h"

#include <algorithm>
#include <chrono>

namespace quellis::sim
{

namespace
{

constexpr std::uint64_t kTimingPurpose = 4;
constexpr std::size_t kNameCapacity = 63;

// A text payload ends at its first NUL or at its end.
std::string_view PayloadText(std::span<const std::uint8_t> payload)
{
    const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
    return text.substr(0, text.find('\0'));
}

std::vector<std::uint8_t> WithNul(std::string_view text, std::size_t capacity)
{
    // The receiver reads the text up to its NUL; a text that would not fit
    // in one datagram is cut.
    std::vector<std::uint8_t> bytes(
        text.begin(), text.begin() + static_cast<std::ptrdiff_t>(std::min(text.size(), capacity - 1)));
    bytes.push_back(0);
    return bytes;
}

} // namespace

DeviceService::DeviceService(MachineTable& machines, FarmCounters& counters, DeviceServiceSettings settings)
    : machines_(machines)
    , counters_(counters)
    , settings_(settings)
    , random_(DeriveSeed(settings.seed, kTimingPurpose))
{
}

std::int64_t DeviceService::UnixTime() const
{
    if (fixedUnixTime_ != 0)
    {
        return fixedUnixTime_;
    }
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Clock::duration DeviceService::ReplyDelay(const Machine& machine)
{
    const auto& behaviour = machine.behaviour;
    const auto jitter = behaviour.replyJitterMs > 0
        ? random_.Below(static_cast<std::uint64_t>(behaviour.replyJitterMs) * 1000 + 1)
        : 0;
    return std::chrono::milliseconds(behaviour.replyDelayMs) + std::chrono::microseconds(jitter);
}

OutgoingReply DeviceService::Reply(
    const Machine& machine, net::Endpoint source, Clock::time_point due, std::span<const std::uint8_t> bytes) const
{
    OutgoingReply reply;
    reply.machine = machine.identity.index;
    // Machines answer on the tool's listening port, not on the request's
    // source port; to the request's source or to their whole segment.
    reply.destination = net::Endpoint { machine.behaviour.broadcastReply ? net::kInaddrBroadcast : source.address,
        settings_.replyPort };
    reply.due = due;
    reply.bytes.assign(bytes.begin(), bytes.end());
    return reply;
}

void DeviceService::Handle(std::span<const std::uint8_t> datagram,
    net::Endpoint source,
    std::uint32_t destination,
    Clock::time_point now,
    ReplySink& sink)
{
    counters_.datagrams.fetch_add(1, std::memory_order_relaxed);
    const auto header = protocol::ReadHeader(datagram);
    if (!header)
    {
        counters_.foreign.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Machine* only = machines_.ByAddress(destination);
    const bool nobody = settings_.strictAddresses && destination != net::kInaddrBroadcast;
    if (only == nullptr && (nobody || machines_.IsVacated(destination)))
    {
        counters_.ignored.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    switch (header->type)
    {
    case protocol::PKT_SEARCH:
    case protocol::PKT_DEV_SETTING:
    case protocol::PKT_NET_LED_FLICKER:
    {
        const auto record = protocol::ReadRecord(datagram);
        if (header->type == protocol::PKT_SEARCH)
        {
            HandleSearch(*record, only, source, now, sink);
        }
        else if (header->type == protocol::PKT_DEV_SETTING)
        {
            HandleSetting(*record, only, source, now, sink);
        }
        else
        {
            HandleFlicker(*record, only, now);
        }
        break;
    }
    case protocol::PKT_CMD:
        HandleCommand(datagram, *protocol::ReadCommand(datagram), only, source, now, sink);
        break;
    default:
        // Replies (ours echoed back, or another farm's) and unknown types.
        counters_.ignored.fetch_add(1, std::memory_order_relaxed);
        break;
    }
}

void DeviceService::HandleSearch(
    const protocol::DeviceRecord& request, Machine* only, net::Endpoint source, Clock::time_point now, ReplySink& sink)
{
    if (request.searchMode != protocol::kSearchOrdinary && request.searchMode != protocol::kSearchFixedAccount)
    {
        counters_.ignored.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    std::vector<OutgoingReply> replies;
    const auto answer = [&](Machine& machine)
    {
        if (machine.IsSilent(now))
        {
            return;
        }
        machine.counters.searches.fetch_add(1, std::memory_order_relaxed);
        const auto spread = settings_.spreadMs > 0
            ? std::chrono::microseconds(random_.Below(static_cast<std::uint64_t>(settings_.spreadMs) * 1000))
            : std::chrono::microseconds(0);
        OutgoingReply reply = Reply(machine, source, now + ReplyDelay(machine) + spread, {});
        reply.searchRecord = true;
        replies.push_back(std::move(reply));
    };
    if (only != nullptr)
    {
        answer(*only);
    }
    else
    {
        replies.reserve(static_cast<std::size_t>(machines_.Size()));
        for (int i = 0; i < machines_.Size(); ++i)
        {
            answer(machines_[i]);
        }
    }
    if (!replies.empty())
    {
        sink.Schedule(std::move(replies));
    }
}

void DeviceService::HandleSetting(
    const protocol::DeviceRecord& request, Machine* only, net::Endpoint source, Clock::time_point now, ReplySink& sink)
{
    Machine* machine = machines_.ByMac(request.mac);
    if (machine == nullptr || (only != nullptr && only != machine) || machine->IsSilent(now))
    {
        counters_.ignored.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    machine->counters.settings.fetch_add(1, std::memory_order_relaxed);
    const std::uint32_t previous = machine->WireAddress();
    std::int32_t result = machine->behaviour.settingResult;
    if (result == 0)
    {
        result = machine->ApplySetting(request.ip, request.mask, request.gateway);
    }
    if (machine->WireAddress() != previous)
    {
        machines_.Moved(*machine, previous);
    }
    std::vector<std::uint8_t> bytes(protocol::kRecordSize);
    bytes.resize(machine->BuildRecord(bytes, protocol::PKT_DEV_SETTING_ACK, result, now));
    std::vector<OutgoingReply> replies;
    replies.push_back(Reply(*machine, source, now + ReplyDelay(*machine), bytes));
    // The machine answers from where it was asked and is found at its new
    // address from then on, also when that lies outside the farm's range and
    // nothing it sends can leave any more.
    replies.back().source = previous;
    sink.Schedule(std::move(replies));
}

void DeviceService::HandleFlicker(const protocol::DeviceRecord& request, Machine* only, Clock::time_point now)
{
    Machine* machine = machines_.ByMac(request.mac);
    if (machine == nullptr || (only != nullptr && only != machine) || machine->IsSilent(now))
    {
        counters_.ignored.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    machine->counters.flickers.fetch_add(1, std::memory_order_relaxed);
    if (only == machine)
    {
        machine->counters.unicastFlickers.fetch_add(1, std::memory_order_relaxed);
    }
}

void DeviceService::HandleCommand(std::span<const std::uint8_t> datagram,
    const protocol::CommandPacket& command,
    Machine* only,
    net::Endpoint source,
    Clock::time_point now,
    ReplySink& sink)
{
    std::vector<OutgoingReply> replies;
    if (command.target == protocol::kAllDevices)
    {
        if (only != nullptr)
        {
            if (!only->IsSilent(now))
            {
                RunCommand(*only, datagram, command, source, now, replies, sink);
            }
        }
        else
        {
            for (int i = 0; i < machines_.Size(); ++i)
            {
                if (!machines_[i].IsSilent(now))
                {
                    RunCommand(machines_[i], datagram, command, source, now, replies, sink);
                }
            }
        }
    }
    else
    {
        Machine* machine = machines_.ByMac(command.target);
        if (machine == nullptr || (only != nullptr && only != machine) || machine->IsSilent(now))
        {
            counters_.ignored.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        RunCommand(*machine, datagram, command, source, now, replies, sink);
    }
    if (!replies.empty())
    {
        sink.Schedule(std::move(replies));
    }
}

void DeviceService::RunCommand(Machine& machine,
    std::span<const std::uint8_t> datagram,
    const protocol::CommandPacket& command,
    net::Endpoint source,
    Clock::time_point now,
    std::vector<OutgoingReply>& replies,
    ReplySink& sink)
{
    machine.counters.commands[CommandSlot(command.cmdCode)].fetch_add(1, std::memory_order_relaxed);
    const Behaviour& behaviour = machine.behaviour;
    const std::string& mac = machine.identity.mac;
    std::vector<std::uint8_t>& buffer = buffer_;
    const auto answer = [&](std::int32_t result,
                            std::span<const std::uint8_t> data = {},
                            Clock::duration extra = Clock::duration::zero())
    {
        const std::size_t length = protocol::BuildCommandReply(buffer, mac, command.cmdCode, result, data);
        replies.push_back(Reply(machine, source, now + ReplyDelay(machine) + extra, std::span(buffer).first(length)));
    };

    switch (command.cmdCode)
    {
    case protocol::CMD_LedTest:
        // The answer marks the end of the test, after the LEDs have cycled.
        answer(0, {}, std::chrono::milliseconds(behaviour.ledTestMs));
        break;
    case protocol::CMD_UARTTest:
        answer(static_cast<std::int32_t>(behaviour.uartMask));
        break;
    case protocol::CMD_EXECUTE:
    {
        const ShellResult result = machine.Execute(PayloadText(command.payload), now, UnixTime());
        answer(result.status, WithNul(result.output, protocol::kMaxDatagramSize - protocol::kCommandReplyTextOffset));
        break;
    }
    case protocol::CMD_Upgrade:
    {
        if (behaviour.download == DownloadMode::Never)
        {
            break;
        }
        const std::uint64_t size = protocol::ReadUpgradeSize(command);
        if (size == 0)
        {
            answer(0); // nothing to fetch is a failed upgrade
            break;
        }
        if (!machine.TryBeginDownload())
        {
            break; // busy with the previous offer
        }
        sink.StartDownload(DownloadOrder { machine.identity.index,
            net::Endpoint { source.address, settings_.packagePort },
            size,
            nextPacketNumber_++ });
        break;
    }
    case protocol::CMD_RestartMiner:
        machine.RestartMiner(now);
        break;
    case protocol::CMD_Reboot:
        machine.Reboot(now);
        break;
    case protocol::CMD_PoolConfig:
    {
        auto pools = ParsePoolText(PayloadText(command.payload));
        const std::int32_t result = pools ? behaviour.poolResult : 0;
        if (pools && result != 0)
        {
            machine.SetPools(std::move(*pools));
        }
        answer(result);
        break;
    }
    case protocol::CMD_ReadE2:
    {
        const auto request = protocol::ReadE2Request(datagram);
        const E2ReadAnswer read = machine.ReadEeprom(*request);
        const std::size_t length = protocol::BuildE2ReadReply(buffer, mac, read.result, read.block);
        replies.push_back(Reply(machine, source, now + ReplyDelay(machine), std::span(buffer).first(length)));
        break;
    }
    case protocol::CMD_WriteE2:
        answer(machine.WriteEeprom(*protocol::ReadE2Request(datagram)));
        break;
    case protocol::CMD_GetName:
        answer(1, WithNul(machine.Name(), kNameCapacity + 1));
        break;
    case protocol::CMD_SetName:
    {
        const std::string_view name = PayloadText(command.payload);
        if (!name.empty())
        {
            machine.SetName(name);
        }
        answer(name.empty() ? 0 : 1, WithNul(machine.Name(), kNameCapacity + 1));
        break;
    }
    default:
        break; // an unknown code gets no answer
    }
}

} // namespace quellis::sim

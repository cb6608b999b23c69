#include "protocol/shared_state.h"

#include "platform/trace/trace.h"

namespace quellis::protocol
{

namespace
{

// The MAC text a request names, or "" for one that names none.
std::string_view NamedMachine(std::span<const std::uint8_t> datagram)
{
    const auto header = ReadHeader(datagram);
    if (!header)
    {
        return {};
    }
    switch (header->type)
    {
    case PKT_DEV_SETTING:
    case PKT_NET_LED_FLICKER:
        return TextField(datagram, kMacOffset, kTextFieldWidth);
    case PKT_CMD:
        return TextField(datagram, offsetof(CommandLayout, target), kTextFieldWidth);
    default:
        return {};
    }
}

} // namespace

bool SharedState::SendBroadcast(std::span<const std::uint8_t> datagram)
{
    const int sent = sendSocket.SendTo(datagram.data(), datagram.size(), deviceBroadcast);
    return sent > 0;
}

bool SharedState::SendToMachines(std::span<const std::uint8_t> datagram)
{
    const std::string_view machine = NamedMachine(datagram);
    if (machine.empty() || remoteRows.Count() == 0)
    {
        return SendBroadcast(datagram);
    }
    if (machine != kAllDevices)
    {
        if (const auto address = remoteRows.AddressOf(machine))
        {
            return sendSocket.SendTo(datagram.data(), datagram.size(), { *address, deviceBroadcast.port }) > 0;
        }
        return SendBroadcast(datagram);
    }
    const bool sent = SendBroadcast(datagram);
    PacedRun copies;
    copies.datagram.assign(datagram.begin(), datagram.end());
    copies.ranges = remoteRows.Addresses();
    copies.port = deviceBroadcast.port;
    copies.rate = remoteRows.Rate();
    if (!pacedSender.Submit(sendSocket, std::move(copies)))
    {
        trace::OutputDebugString("unicast copies to the remote rows not sent\n");
    }
    return sent;
}

} // namespace quellis::protocol

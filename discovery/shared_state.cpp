#include "discovery/shared_state.h"

#include "discovery/device_packet.h"
#include "platform/net/ipv4.h"

namespace quellis::discovery
{

bool SharedState::SendBroadcast(std::span<const std::uint8_t> datagram)
{
    const int sent = sendSocket.SendTo(datagram.data(), datagram.size(), { net::kInaddrBroadcast, kDevicePort });
    return sent > 0;
}

} // namespace quellis::discovery

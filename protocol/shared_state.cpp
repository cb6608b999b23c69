#include "protocol/shared_state.h"

namespace quellis::protocol
{

bool SharedState::SendBroadcast(std::span<const std::uint8_t> datagram)
{
    const int sent = sendSocket.SendTo(datagram.data(), datagram.size(), deviceBroadcast);
    return sent > 0;
}

} // namespace quellis::protocol

#pragma once

#include "platform/net/socket.h"
#include "protocol/device_packet.h"

#include <chrono>
#include <cstddef>
#include <vector>

// The tool's side of a network test, as the lab and the loopback farms share
// it: the datagrams that come to a socket of the test.

namespace quellis::test
{

using Bytes = std::vector<std::uint8_t>;

struct Received
{
    Bytes bytes;
    net::Endpoint from;
    std::chrono::steady_clock::time_point at;
};

// Datagrams on `socket` until `accept` has taken `count` of them or `limit`
// has passed; the ones accept refuses are left out. One byte more than the
// largest datagram is read, so that a longer one shows.
template <typename Accept>
std::vector<Received> CollectDatagrams(
    net::Socket& socket, std::size_t count, std::chrono::milliseconds limit, Accept accept)
{
    using Clock = std::chrono::steady_clock;
    std::vector<Received> received;
    const auto end = Clock::now() + limit;
    Bytes buffer(protocol::kMaxDatagramSize + 1);
    while (received.size() < count)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0 || socket.WaitReadable(left) != net::PollResult::Ready)
        {
            break;
        }
        net::Endpoint from;
        const int got = socket.ReceiveFrom(buffer.data(), buffer.size(), &from);
        if (got < 0)
        {
            continue;
        }
        Received datagram { Bytes(buffer.begin(), buffer.begin() + got), from, Clock::now() };
        if (accept(datagram))
        {
            received.push_back(std::move(datagram));
        }
    }
    return received;
}

} // namespace quellis::test

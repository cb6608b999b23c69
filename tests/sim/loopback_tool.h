#pragma once

// The tool's side of a loopback farm test: a UDP socket that sends requests
// to the farm and collects the replies, a miner API client, and a farm
// started on a random 127.x.y.1 range with ephemeral ports, so that test
// processes running at the same time do not meet.

#include "platform/net/socket.h"
#include "platform/net/wsa_error.h"
#include "protocol/device_packet.h"
#include "sim/farm.h"
#include "tests/support/datagrams.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace quellis::sim::test
{

using quellis::test::Bytes;
using Datagram = quellis::test::Received;
using namespace std::chrono_literals;

inline constexpr std::uint32_t kToolAddress = 0x7F000001; // 127.0.0.1

class ToolSide
{
public:
    ToolSide()
    {
        socket_ = net::Socket::Create(net::SocketKind::Udp);
        EXPECT_TRUE(socket_.Bind({ kToolAddress, 0 }));
        // A burst of replies waits here until the test reads it.
        receiveBuffer_ = socket_.SetLargeReceiveBuffer(16 * 1024 * 1024);
        port_ = socket_.LocalEndpoint()->port;
    }

    [[nodiscard]] std::uint16_t Port() const { return port_; }
    [[nodiscard]] int ReceiveBuffer() const { return receiveBuffer_; }

    void Send(const Bytes& datagram, net::Endpoint to)
    {
        ASSERT_EQ(socket_.SendTo(datagram.data(), datagram.size(), to), static_cast<int>(datagram.size()));
    }

    // Replies until `count` have come or `limit` has passed.
    std::vector<Datagram> Collect(std::size_t count, std::chrono::milliseconds limit)
    {
        return quellis::test::CollectDatagrams(socket_, count, limit, [](const Datagram&) { return true; });
    }

    // Everything that arrives within `period`.
    std::vector<Datagram> Quiet(std::chrono::milliseconds period) { return Collect(SIZE_MAX, period); }

private:
    net::Socket socket_;
    std::uint16_t port_ = 0;
    int receiveBuffer_ = 0;
};

// A farm on 127.R.S.1 onwards with an ephemeral UDP port and API port;
// another range is tried when a port is taken there.
inline std::unique_ptr<Farm> StartLoopbackFarm(FarmConfig config, std::uint16_t replyPort)
{
    std::random_device entropy;
    std::string error;
    for (int attempt = 0; attempt < 8; ++attempt)
    {
        const std::uint32_t second = 2 + entropy() % 250;
        const std::uint32_t third = entropy() % 200;
        config.firstAddress = (127u << 24) | (second << 16) | (third << 8) | 1u;
        config.devicePort = 0;
        config.apiPort = 0;
        config.replyPort = replyPort;
        auto farm = std::make_unique<Farm>(config);
        if (farm->Start(&error))
        {
            return farm;
        }
    }
    ADD_FAILURE() << "no loopback farm started: " << error;
    return nullptr;
}

inline std::vector<BehaviourGroup> Groups(std::initializer_list<const char*> options)
{
    std::vector<BehaviourGroup> groups;
    for (const char* option : options)
    {
        BehaviourGroup group;
        std::string error;
        EXPECT_TRUE(ParseBehaveOption(option, &group, &error)) << option << ": " << error;
        groups.push_back(std::move(group));
    }
    return groups;
}

template <typename Build> Bytes Request(Build build)
{
    Bytes buffer(protocol::kMaxDatagramSize);
    buffer.resize(build(std::span(buffer)));
    return buffer;
}

struct ApiExchange
{
    bool connected = false;
    int connectError = 0;
    int firstReceive = 0; // what the tool's single receive returns: bytes, 0 (closed) or kSocketError
    int receiveError = 0;
    std::string reply;
};

// One miner API exchange as the tool makes it: connect, one send, read.
inline ApiExchange AskApi(net::Endpoint machine, std::string_view request, std::chrono::milliseconds timeout = 2000ms)
{
    ApiExchange exchange;
    net::Socket socket = net::Socket::Create(net::SocketKind::Tcp);
    exchange.connected = socket.Connect(machine, 2000ms);
    if (!exchange.connected)
    {
        exchange.connectError = net::WsaGetLastError();
        return exchange;
    }
    EXPECT_TRUE(socket.SetReceiveTimeout(timeout));
    EXPECT_EQ(socket.Send(request.data(), request.size()), static_cast<int>(request.size()));
    std::string buffer(1 << 20, '\0');
    exchange.firstReceive = socket.Receive(buffer.data(), buffer.size());
    if (exchange.firstReceive < 0)
    {
        exchange.receiveError = net::WsaGetLastError();
        return exchange;
    }
    exchange.reply.assign(buffer.data(), static_cast<std::size_t>(exchange.firstReceive));
    for (int got = exchange.firstReceive; got > 0;)
    {
        got = socket.Receive(buffer.data(), buffer.size());
        if (got > 0)
        {
            exchange.reply.append(buffer.data(), static_cast<std::size_t>(got));
        }
    }
    return exchange;
}

} // namespace quellis::sim::test

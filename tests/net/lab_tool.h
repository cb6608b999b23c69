#pragma once

// The tool's side of the network lab: the program's two UDP sockets (a
// receive socket on 0.0.0.0:6667 and a send socket bound to the default-route
// address, broadcasting), opened inside the lab's tool namespace, and a farm
// of simulated machines in its farm namespace.

#include "platform/net/default_route.h"
#include "platform/net/socket.h"
#include "protocol/device_packet.h"
#include "sim/farm.h"
#include "tests/support/datagrams.h"
#include "tests/support/netlab.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

namespace quellis::test
{

using namespace std::chrono_literals;

class LabTool
{
public:
    // Call while the thread is in the tool namespace.
    LabTool()
    {
        receive_ = net::Socket::Create(net::SocketKind::Udp);
        EXPECT_TRUE(receive_.Bind({ net::kInaddrAny, protocol::kDevicePort }));
        receive_.SetLargeReceiveBuffer(32 * 1024 * 1024);
        send_ = net::Socket::Create(net::SocketKind::Udp);
        EXPECT_TRUE(send_.SetBroadcast(true));
        sourceAddress_ = net::DefaultRouteAddress();
        EXPECT_TRUE(send_.Bind({ net::InetAddr(sourceAddress_), 0 }));
    }

    [[nodiscard]] const std::string& SourceAddress() const { return sourceAddress_; }

    void Broadcast(std::span<const std::uint8_t> datagram)
    {
        ASSERT_EQ(send_.SendTo(datagram.data(), datagram.size(), { net::kInaddrBroadcast, protocol::kDevicePort }),
            static_cast<int>(datagram.size()));
    }

    // Datagrams until `accept` has taken `count` of them or `limit` has passed;
    // the ones accept refuses are left out.
    template <typename Accept>
    std::vector<Received> Collect(std::size_t count, std::chrono::milliseconds limit, Accept accept)
    {
        return CollectDatagrams(receive_, count, limit, accept);
    }

    std::vector<Received> CollectReplies(std::size_t count, std::chrono::milliseconds limit)
    {
        return Collect(count,
            limit,
            [](const Received& datagram)
            {
                const auto header = protocol::ReadHeader(datagram.bytes);
                return header
                    && (header->type == protocol::PKT_SEARCH_ACK || header->type == protocol::PKT_DEV_SETTING_ACK
                        || header->type == protocol::PKT_CMD_ACK);
            });
    }

private:
    net::Socket receive_;
    net::Socket send_;
    std::string sourceAddress_;
};

// A farm of simulated machines in the lab's farm namespace, or on the remote
// segment behind it.
inline std::unique_ptr<sim::Farm> StartLabFarm(NetLab& lab, sim::FarmConfig config, bool remote = false)
{
    config.netns = remote ? lab.RemoteNamespace() : lab.FarmNamespace();
    config.firstAddress = remote ? NetLab::kFirstRemoteMachine : NetLab::kFirstMachine;
    auto farm = std::make_unique<sim::Farm>(std::move(config));
    std::string error;
    if (!farm->Start(&error))
    {
        ADD_FAILURE() << "farm did not start: " << error;
        return nullptr;
    }
    return farm;
}

inline Bytes Request(
    std::size_t (*build)(std::span<std::uint8_t>, std::string_view, std::uint16_t, std::span<const std::uint8_t>),
    std::string_view target,
    std::uint16_t code)
{
    Bytes buffer(protocol::kRequestBufferSize);
    buffer.resize(build(buffer, target, code, {}));
    return buffer;
}

} // namespace quellis::test

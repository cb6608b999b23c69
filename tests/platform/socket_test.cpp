#include "platform/net/socket.h"
#include "platform/net/wsa_error.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace quellis::net
{
namespace
{

constexpr std::uint32_t kLoopback = 0x7F000001u;

// A TCP listener on a free loopback port.
Socket Listener(int backlog, std::uint16_t& port)
{
    Socket socket = Socket::Create(SocketKind::Tcp);
    EXPECT_TRUE(socket.Bind({ kLoopback, 0 }));
    EXPECT_TRUE(socket.Listen(backlog));
    port = socket.LocalEndpoint().value_or(Endpoint {}).port;
    return socket;
}

TEST(Socket, ConnectFailuresCarryTheWindowsNumbers)
{
    // Nobody listens on the port of a socket that was bound and closed.
    std::uint16_t port = 0;
    {
        Socket probe = Listener(1, port);
    }
    Socket refused = Socket::Create(SocketKind::Tcp);
    EXPECT_FALSE(refused.Connect({ kLoopback, port }));
    EXPECT_EQ(WsaGetLastError(), kWsaConnectionRefused);

    // A listener whose accept queue is full drops further SYNs, so the connect
    // neither succeeds nor is refused: it must end by the bounded time-out.
    Socket full = Listener(0, port);
    std::vector<Socket> queued;
    for (int i = 0; i < 4; ++i)
    {
        Socket filler = Socket::Create(SocketKind::Tcp);
        if (!filler.Connect({ kLoopback, port }, std::chrono::milliseconds(200)))
        {
            EXPECT_EQ(WsaGetLastError(), kWsaTimedOut);
            return;
        }
        queued.push_back(std::move(filler));
    }
    ADD_FAILURE() << "the accept queue never filled";
}

TEST(Socket, ReceiveTimeOutAndResetAreReportedAsOnWindows)
{
    std::uint16_t port = 0;
    Socket listener = Listener(4, port);
    Socket client = Socket::Create(SocketKind::Tcp);
    ASSERT_TRUE(client.Connect({ kLoopback, port }));
    Endpoint peer;
    Socket server = listener.Accept(&peer);
    ASSERT_TRUE(server.IsValid());
    EXPECT_EQ(peer.address, kLoopback);

    ASSERT_TRUE(client.SetReceiveTimeout(std::chrono::milliseconds(50)));
    char buffer[16];
    EXPECT_EQ(client.Receive(buffer, sizeof buffer), kSocketError);
    EXPECT_EQ(WsaGetLastError(), kWsaTimedOut);

    ASSERT_EQ(server.Send("ping", 4), 4);
    EXPECT_EQ(client.Receive(buffer, sizeof buffer), 4);

    // A peer that aborts its connection resets it.
    const linger abort { 1, 0 };
    ASSERT_EQ(setsockopt(server.Handle(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    ::close(server.Release());
    EXPECT_EQ(client.Receive(buffer, sizeof buffer), kSocketError);
    EXPECT_EQ(WsaGetLastError(), kWsaConnectionReset);
}

TEST(Socket, OrderlyCloseReadsAsZeroBytes)
{
    std::uint16_t port = 0;
    Socket listener = Listener(4, port);
    Socket client = Socket::Create(SocketKind::Tcp);
    ASSERT_TRUE(client.Connect({ kLoopback, port }));
    Socket server = listener.Accept();
    server.Close();
    server.Close(); // twice is harmless
    char buffer[4];
    EXPECT_EQ(client.Receive(buffer, sizeof buffer), 0);
}

TEST(Socket, UdpRoundTripWithSenderAddressAndAddressInUse)
{
    Socket receiver = Socket::Create(SocketKind::Udp);
    ASSERT_TRUE(receiver.Bind({ kLoopback, 0 }));
    const Endpoint bound = receiver.LocalEndpoint().value();

    Socket second = Socket::Create(SocketKind::Udp);
    EXPECT_FALSE(second.Bind(bound));
    EXPECT_EQ(WsaGetLastError(), kWsaAddressInUse);

    Socket sender = Socket::Create(SocketKind::Udp);
    ASSERT_TRUE(sender.Bind({ kLoopback, 0 }));
    ASSERT_TRUE(sender.SetBroadcast(true));
    ASSERT_EQ(sender.SendTo("datagram", 8, bound), 8);

    char buffer[64];
    Endpoint from;
    ASSERT_EQ(receiver.ReceiveFrom(buffer, sizeof buffer, &from), 8);
    EXPECT_EQ(from, sender.LocalEndpoint().value());
    EXPECT_EQ(std::string(buffer, 8), "datagram");
}

TEST(Socket, ShutdownWakesAThreadBlockedInAUdpRead)
{
    Socket receiver = Socket::Create(SocketKind::Udp);
    ASSERT_TRUE(receiver.Bind({ kLoopback, 0 }));
    std::atomic<bool> returned { false };
    std::thread reader(
        [&]
        {
            char buffer[64];
            Endpoint from;
            [[maybe_unused]] const int result = receiver.ReceiveFrom(buffer, sizeof buffer, &from);
            returned = true;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());
    receiver.Shutdown();
    reader.join(); // hangs here if the read is not woken
    EXPECT_TRUE(returned.load());
    receiver.Close();
    EXPECT_FALSE(receiver.IsValid());
}

TEST(Socket, LargeReceiveBufferIsGrantedBeyondTheDefault)
{
    Socket socket = Socket::Create(SocketKind::Udp);
    const int before = socket.ReceiveBufferSize().value();
    const int obtained = socket.SetLargeReceiveBuffer(32 << 20);
    EXPECT_GE(obtained, before);
    if (geteuid() == 0)
    {
        // Forced past net.core.rmem_max; the kernel reports twice what it books.
        EXPECT_GE(obtained, 32 << 20);
    }
}

TEST(Socket, WaitReportsReadinessAndTimeOut)
{
    Socket receiver = Socket::Create(SocketKind::Udp);
    ASSERT_TRUE(receiver.Bind({ kLoopback, 0 }));
    EXPECT_EQ(receiver.WaitReadable(std::chrono::milliseconds(10)), PollResult::TimedOut);
    EXPECT_EQ(receiver.WaitWritable(std::chrono::milliseconds(10)), PollResult::Ready);
    Socket sender = Socket::Create(SocketKind::Udp);
    ASSERT_EQ(sender.SendTo("x", 1, receiver.LocalEndpoint().value()), 1);
    EXPECT_EQ(receiver.WaitReadable(std::chrono::milliseconds(1000)), PollResult::Ready);
}

TEST(Socket, NonBlockingReadReportsWouldBlock)
{
    Socket receiver = Socket::Create(SocketKind::Udp);
    ASSERT_TRUE(receiver.Bind({ kLoopback, 0 }));
    ASSERT_TRUE(receiver.SetBlocking(false));
    char buffer[4];
    EXPECT_EQ(receiver.ReceiveFrom(buffer, sizeof buffer, nullptr), kSocketError);
    EXPECT_EQ(WsaGetLastError(), kWsaWouldBlock);
}

} // namespace
} // namespace quellis::net

namespace quellis::net
{
namespace
{

TEST(Socket, ReceiveFromManyTakesWhatIsWaitingUpToOnePerSlot)
{
    Socket receiver = Socket::Create(SocketKind::Udp);
    ASSERT_TRUE(receiver.Bind({ kLoopback, 0 }));
    Socket sender = Socket::Create(SocketKind::Udp);
    ASSERT_TRUE(sender.Bind({ kLoopback, 0 }));
    for (char c : std::string("abcde"))
    {
        const std::string datagram(static_cast<std::size_t>(c - 'a' + 1), c);
        ASSERT_EQ(sender.SendTo(datagram.data(), datagram.size(), receiver.LocalEndpoint().value()),
            static_cast<int>(datagram.size()));
    }
    std::vector<std::string> buffers(3, std::string(16, '\0'));
    std::vector<ReceiveSlot> batch(3);
    for (std::size_t i = 0; i < batch.size(); ++i)
    {
        batch[i].buffer = buffers[i].data();
        batch[i].capacity = buffers[i].size();
    }
    ASSERT_EQ(receiver.ReceiveFromMany(batch), 3);
    EXPECT_EQ(buffers[0].substr(0, batch[0].length), "a");
    EXPECT_EQ(buffers[2].substr(0, batch[2].length), "ccc");
    EXPECT_EQ(batch[1].from, sender.LocalEndpoint().value());
    // The rest, fewer than the slots: it does not wait to fill them.
    ASSERT_EQ(receiver.ReceiveFromMany(batch), 2);
    EXPECT_EQ(buffers[1].substr(0, batch[1].length), "eeeee");
}

} // namespace
} // namespace quellis::net

// The command line's session on a loopback farm: the engine started as the
// command line starts it, a search over real sockets, its failures as the
// command line prints them, and the stop.
#include "cli/session.h"
#include "discovery/device_table.h"
#include "platform/instance/port_note.h"
#include "tests/sim/loopback_tool.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

namespace quellis::cli
{
namespace
{

using namespace std::chrono_literals;

TEST(CliSession, SearchFindsEveryMachineOfALoopbackFarmAndCloseEndsTheEngine)
{
    test::TempDir dir;
    Session session(dir / "config.ini");
    session.State().replyPort = 0;
    std::string error;
    ASSERT_TRUE(session.Open({}, false, &error)) << error;
    sim::FarmConfig config;
    config.machines = 5;
    config.scenario.spreadMs = 0;
    const auto farm = sim::test::StartLoopbackFarm(config, session.State().receiveSocket.LocalEndpoint()->port);
    ASSERT_TRUE(farm);
    // Sends come from this thread only; the threads of the engine never read it.
    session.State().deviceBroadcast = { sim::test::kToolAddress, farm->DevicePort() };

    session.Search(1500ms);
    std::set<std::string> found;
    for (const auto& row : session.Window().Rows())
    {
        found.insert(row[discovery::kColumnMac]);
    }
    std::set<std::string> expected;
    for (int i = 0; i < config.machines; ++i)
    {
        expected.insert(farm->MachineAt(i).identity.mac);
    }
    EXPECT_EQ(found, expected);

    session.Close();
    EXPECT_EQ(session.State().running.load(), 0);
    EXPECT_FALSE(session.State().sendSocket.IsValid());
    EXPECT_FALSE(session.State().receiveSocket.IsValid());
}

TEST(CliSession, AReceivePortTakenIsTheBindFailureTheCommandLinePrints)
{
    net::Socket taken = net::Socket::Create(net::SocketKind::Udp);
    ASSERT_TRUE(taken.Bind({ net::kInaddrAny, 0 }));
    test::TempDir dir;
    Session session(dir / "config.ini");
    session.State().replyPort = taken.LocalEndpoint()->port;
    std::string error;
    EXPECT_FALSE(session.Open({}, false, &error));
    EXPECT_EQ(error, "监听端口绑定失败，请确认该应用程序是否已启用! (UDP port 6667)");
    session.Close();
    EXPECT_EQ(session.State().running.load(), 0);
}

// A session that holds the reply port leaves a note in the runtime
// directory: another one that cannot have the port names it, and once the
// holder has closed, the port is free again and its note gone.
TEST(CliSession, APortHeldByAnotherSessionNamesItsHolder)
{
    std::uint16_t port = 0;
    {
        net::Socket probe = net::Socket::Create(net::SocketKind::Udp);
        ASSERT_TRUE(probe.Bind({ net::kInaddrAny, 0 }));
        port = probe.LocalEndpoint()->port;
    }
    test::TempDir dir;
    SetProgramName("quellis-cli monitor");
    Session holder(dir / "config.ini");
    holder.State().replyPort = port;
    std::string error;
    ASSERT_TRUE(holder.Open({}, false, &error)) << error;

    SetProgramName("quellis-cli search");
    Session second(dir / "config.ini");
    second.State().replyPort = port;
    EXPECT_FALSE(second.Open({}, false, &error));
    EXPECT_EQ(error,
        "监听端口绑定失败，请确认该应用程序是否已启用! (UDP port 6667, held by quellis-cli monitor (pid "
            + std::to_string(getpid()) + "))");
    second.Close();

    holder.Close();
    EXPECT_FALSE(instance::PortHolder(port));
    Session third(dir / "config.ini");
    third.State().replyPort = port;
    EXPECT_TRUE(third.Open({}, false, &error)) << error;
    third.Close();
    SetProgramName("quellis-cli");
}

} // namespace
} // namespace quellis::cli

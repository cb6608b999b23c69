#include "tests/net/lab_tool.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

extern char** environ;

namespace quellis::test
{
namespace
{

// quellis-farmsim in the farm namespace, as an operator starts it there.
TEST(LabFarmsim, TheProgramServesTheFarmSideUntilItIsStopped)
{
    QUELLIS_REQUIRE_NETLAB(lab);
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    const std::string farmNamespace = lab->FarmNamespace();
    std::vector<std::string> arguments = { "/usr/sbin/ip",
        "netns",
        "exec",
        farmNamespace,
        QUELLIS_FARMSIM_PATH,
        "--machines",
        "300",
        "--seed",
        "3",
        "--spread",
        "50" };
    std::vector<char*> argv;
    for (std::string& argument : arguments)
    {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);

    // One line when it is ready.
    std::string line;
    char c = 0;
    while (read(output[0], &c, 1) == 1 && c != '\n')
    {
        line += c;
    }
    EXPECT_NE(line.find("300 machines ready"), std::string::npos) << line;

    {
        NetLab::Enter tool(lab->ToolNamespace());
        ASSERT_TRUE(tool.Ok());
        LabTool side;
        Bytes search(protocol::kRequestBufferSize);
        search.resize(protocol::BuildSearch(search, protocol::kSearchOrdinary));
        side.Broadcast(search);
        std::set<std::uint32_t> machines;
        side.Collect(300,
            10s,
            [&](const Received& datagram)
            {
                const auto header = protocol::ReadHeader(datagram.bytes);
                if (header && header->type == protocol::PKT_SEARCH_ACK)
                {
                    machines.insert(datagram.from.address);
                    return true;
                }
                return false;
            });
        EXPECT_EQ(machines.size(), 300u);
    }

    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(output[0]);
}

} // namespace
} // namespace quellis::test

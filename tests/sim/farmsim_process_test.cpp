#include "tests/sim/loopback_tool.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <thread>

extern char** environ;

namespace quellis::sim::test
{
namespace
{

// quellis-farmsim as a child process with its standard output and error on pipes.
class FarmsimProcess
{
public:
    explicit FarmsimProcess(std::vector<std::string> arguments)
    {
        int out[2];
        int err[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        arguments.insert(arguments.begin(), QUELLIS_FARMSIM_PATH);
        std::vector<char*> argv;
        for (auto& argument : arguments)
        {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, QUELLIS_FARMSIM_PATH, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }

    ~FarmsimProcess()
    {
        if (pid_ > 0 && !exited_)
        {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }

    // Reads standard output until `text` has appeared or the time is up.
    std::string ReadUntil(std::string_view text, std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        while (output_.find(text) == std::string::npos)
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            pollfd wait { out_, POLLIN, 0 };
            if (left <= 0 || poll(&wait, 1, static_cast<int>(left)) <= 0)
            {
                break;
            }
            char buffer[4096];
            const ssize_t got = read(out_, buffer, sizeof buffer);
            if (got <= 0)
            {
                break;
            }
            output_.append(buffer, static_cast<std::size_t>(got));
        }
        return output_;
    }

    void Signal(int number) { kill(pid_, number); }

    // The exit code, or -1 when it did not exit normally within the time.
    int Wait(std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        int status = 0;
        while (Clock::now() < end)
        {
            if (waitpid(pid_, &status, WNOHANG) == pid_)
            {
                exited_ = true;
                ReadUntil("\x01", 100ms); // the rest of the output
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    std::string Errors()
    {
        std::string text;
        char buffer[4096];
        pollfd wait { err_, POLLIN, 0 };
        while (poll(&wait, 1, 100) > 0)
        {
            const ssize_t got = read(err_, buffer, sizeof buffer);
            if (got <= 0)
            {
                break;
            }
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool exited_ = false;
    std::string output_;
};

std::string RandomFirstAddress()
{
    std::random_device entropy;
    return "127." + std::to_string(2 + entropy() % 250) + "." + std::to_string(entropy() % 200) + ".1";
}

TEST(Farmsim, ServesUntilTerminatedAndPrintsItsTotals)
{
    ToolSide tool;
    const std::string first = RandomFirstAddress();
    FarmsimProcess farmsim({ "--machines",
        "3",
        "--first-address",
        first,
        "--port",
        "0",
        "--api-port",
        "0",
        "--reply-port",
        std::to_string(tool.Port()),
        "--spread",
        "0",
        "--behave",
        "indexes=1,silent=true" });
    const std::string ready = farmsim.ReadUntil("\n", 10000ms);
    // "quellis-farmsim: 3 machines ready, FIRST-LAST, UDP PORT, TCP PORT"
    char firstText[32] = {};
    char lastText[32] = {};
    unsigned udp = 0;
    unsigned tcp = 0;
    ASSERT_EQ(std::sscanf(ready.c_str(),
                  "quellis-farmsim: 3 machines ready, %31[0-9.]-%31[0-9.], UDP %u, TCP %u",
                  firstText,
                  lastText,
                  &udp,
                  &tcp),
        4)
        << ready << farmsim.Errors();
    EXPECT_EQ(firstText, first);
    EXPECT_EQ(ready.back(), '\n');
    EXPECT_EQ(ready.find('\n'), ready.size() - 1) << "one line";
    EXPECT_NE(tcp, 0u);
    const auto port = static_cast<std::uint16_t>(udp);

    tool.Send(Request([](auto buffer) { return protocol::BuildSearch(buffer, protocol::kSearchOrdinary, ""); }),
        { kToolAddress, port });
    EXPECT_EQ(tool.Collect(3, 300ms).size(), 2u);

    farmsim.Signal(SIGUSR1);
    EXPECT_NE(farmsim.ReadUntil("searches 2\n", 5000ms).find("searches 2\n"), std::string::npos);
    farmsim.Signal(SIGTERM);
    EXPECT_EQ(farmsim.Wait(5000ms), 0);
    const std::string output = farmsim.ReadUntil("\x01", 100ms);
    std::size_t totals = 0;
    for (auto at = output.find("quellis-farmsim: totals"); at != std::string::npos;
         at = output.find("quellis-farmsim: totals", at + 1))
    {
        ++totals;
    }
    EXPECT_EQ(totals, 2u) << "on SIGUSR1 and at the end\n" << output;
    EXPECT_NE(output.find("replies-sent 2"), std::string::npos) << output;
}

TEST(Farmsim, BadArgumentsAndStartFailuresHaveTheirExitCodes)
{
    {
        FarmsimProcess farmsim({ "--machines", "lots" });
        EXPECT_EQ(farmsim.Wait(5000ms), 2);
        const std::string errors = farmsim.Errors();
        EXPECT_NE(errors.find("--machines"), std::string::npos) << errors;
        EXPECT_NE(errors.find("usage: quellis-farmsim"), std::string::npos) << errors;
    }
    {
        quellis::test::TempDir directory;
        directory.Write("farm.json", R"({"machines": 3, "groups": [{"count": 1, "apii": "refuse"}]})");
        FarmsimProcess farmsim({ "--scenario", (directory / "farm.json").string() });
        EXPECT_EQ(farmsim.Wait(5000ms), 2);
        EXPECT_NE(farmsim.Errors().find("groups[0].apii"), std::string::npos);
    }
    {
        net::Socket taken = net::Socket::Create(net::SocketKind::Udp);
        ASSERT_TRUE(taken.Bind({ net::kInaddrAny, 0 }));
        FarmsimProcess farmsim({ "--machines",
            "2",
            "--first-address",
            RandomFirstAddress(),
            "--api-port",
            "0",
            "--port",
            std::to_string(taken.LocalEndpoint()->port) });
        EXPECT_EQ(farmsim.Wait(5000ms), 1);
        EXPECT_NE(farmsim.Errors().find("cannot bind UDP port"), std::string::npos);
    }
}

} // namespace
} // namespace quellis::sim::test

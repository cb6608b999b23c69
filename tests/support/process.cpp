#include "tests/support/process.h"

#include "tests/support/child_environment.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quellis::test
{

ProcessResult RunProcess(
    const std::vector<std::string>& arguments, const std::string& input, std::chrono::milliseconds limit)
{
    ProcessResult result;
    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    {
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> copy = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copy)
    {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    ChildEnvironment environment;
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environment.Pointers());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (spawned != 0)
    {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return result;
    }
    [[maybe_unused]] const ssize_t written = write(in[1], input.data(), input.size());
    close(in[1]);

    const auto end = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = { { out[0], POLLIN, 0 }, { err[0], POLLIN, 0 } };
    std::string* sinks[2] = { &result.out, &result.err };
    int open = 2;
    bool killed = false;
    while (open > 0)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
        {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0)
        {
            continue;
        }
        for (int i = 0; i < 2; ++i)
        {
            if (fds[i].fd >= 0 && fds[i].revents != 0)
            {
                char buffer[4096];
                const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
                if (got > 0)
                {
                    sinks[i]->append(buffer, static_cast<std::size_t>(got));
                }
                else
                {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    for (const pollfd& fd : fds)
    {
        if (fd.fd >= 0)
        {
            close(fd.fd);
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace quellis::test

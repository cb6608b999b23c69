#include "tests/support/background_process.h"

#include "tests/support/child_environment.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace quellis::test
{

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& arguments, const std::string& outputPath)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<std::string> copy = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copy)
    {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    ChildEnvironment environment;
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environment.Pointers()) == 0)
    {
        pid_ = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
}

BackgroundProcess::~BackgroundProcess()
{
    Stop();
}

int BackgroundProcess::Stop(std::chrono::milliseconds limit)
{
    if (pid_ <= 0)
    {
        return status_;
    }
    kill(pid_, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < end)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (done == 0)
    {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        status_ = -1;
    }
    else
    {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_ = -1;
    return status_;
}

} // namespace quellis::test

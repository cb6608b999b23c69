#include "tests/support/netlab.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#ifndef QUELLIS_SOURCE_DIR
#error "QUELLIS_SOURCE_DIR must name the source tree (tools/netlab lives there)"
#endif

namespace quellis::test
{

namespace
{

std::string NetlabCommand(const std::string& name, const std::string& verb)
{
    return "NETLAB_NAME=" + name + " NETLAB_OWNER=" + std::to_string(getpid()) + " " QUELLIS_SOURCE_DIR "/tools/netlab "
        + verb;
}

} // namespace

int RunCommand(const std::string& commandLine)
{
    const int status = std::system(commandLine.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

NetLab* NetLab::Get(std::string* why)
{
    static std::unique_ptr<NetLab> lab;
    static std::string failure;
    if (lab)
    {
        return lab.get();
    }
    if (!failure.empty())
    {
        *why = failure;
        return nullptr;
    }
    if (geteuid() != 0)
    {
        failure = "needs root for network namespaces";
        *why = failure;
        return nullptr;
    }
    auto made = std::unique_ptr<NetLab>(new NetLab);
    made->name_ = "qt" + std::to_string(getpid());
    made->tool_ = made->name_ + "-tool";
    made->farm_ = made->name_ + "-farm";
    made->remote_ = made->name_ + "-remote";
    if (RunCommand(NetlabCommand(made->name_, "up >/dev/null")) != 0)
    {
        failure = "tools/netlab up failed";
        *why = failure;
        return nullptr;
    }
    lab = std::move(made);
    return lab.get();
}

NetLab::~NetLab()
{
    RunCommand(NetlabCommand(name_, "down >/dev/null 2>&1"));
}

NetLab::Enter::Enter(const std::string& ns)
{
    // The namespace of this thread, not of the process's first thread.
    original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    ok_ = original_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
    {
        close(target);
    }
}

NetLab::Enter::~Enter()
{
    if (original_ >= 0)
    {
        if (ok_)
        {
            setns(original_, CLONE_NEWNET);
        }
        close(original_);
    }
}

} // namespace quellis::test

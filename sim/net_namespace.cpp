#include "sim/net_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quellis::sim
{

bool EnterNetworkNamespace(const std::string& name, std::string* error)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
    {
        *error = "\"" + name + "\" is not a network namespace name";
        return false;
    }
    const std::string path = "/run/netns/" + name;
    const int handle = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (handle < 0)
    {
        *error = "cannot open network namespace " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool entered = setns(handle, CLONE_NEWNET) == 0;
    const int setnsError = errno;
    close(handle);
    if (!entered)
    {
        *error = "cannot enter network namespace " + name + ": " + std::strerror(setnsError);
    }
    return entered;
}

} // namespace quellis::sim

#pragma once

#include <string>

// Network namespaces are per thread on Linux, and a socket belongs to the
// namespace of the thread that created it: every farm thread that creates
// sockets enters the farm's namespace first.

namespace quellis::sim
{

// Moves the calling thread into the network namespace /run/netns/<name>.
// Needs CAP_SYS_ADMIN.
[[nodiscard]] bool EnterNetworkNamespace(const std::string& name, std::string* error);

} // namespace quellis::sim

#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Machines that are off at the link level: their addresses taken off the
// farm's link by a route of type unreachable each, more specific than the
// farm's local range. The farm then neither takes what is sent to such an
// address nor answers address resolution for it, and, where it routes for the
// tool (the network lab's farm side forwards), it answers a connect with
// "host unreachable", as the tool's own system does for a machine on its
// segment whose address nobody answers. Needs CAP_NET_ADMIN in the farm's
// namespace; the routes go with the object.

namespace quellis::sim
{

class LinkRoutes
{
public:
    LinkRoutes() = default;
    ~LinkRoutes();
    LinkRoutes(const LinkRoutes&) = delete;
    LinkRoutes& operator=(const LinkRoutes&) = delete;

    // On a thread inside the farm's namespace: the routing socket, which
    // keeps to that namespace whichever thread uses it afterwards.
    [[nodiscard]] bool Open(std::string* error);
    // Takes `address` (host order) off the link; one left by an earlier run
    // is taken over.
    [[nodiscard]] bool TakeOff(std::uint32_t address, std::string* error);
    // Puts every address taken off back, and closes the socket.
    void Restore();

private:
    [[nodiscard]] int Request(std::uint16_t type, std::uint16_t flags, std::uint32_t address);

    int socket_ = -1;
    std::uint32_t sequence_ = 0;
    std::vector<std::uint32_t> takenOff_;
};

} // namespace quellis::sim

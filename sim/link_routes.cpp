#include "sim/link_routes.h"

#include "platform/net/ipv4.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// The netlink walking macros of the kernel's headers cast in C style.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace quellis::sim
{

LinkRoutes::~LinkRoutes()
{
    Restore();
}

bool LinkRoutes::Open(std::string* error)
{
    socket_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (socket_ < 0)
    {
        *error = std::string("cannot open a routing socket: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool LinkRoutes::TakeOff(std::uint32_t address, std::string* error)
{
    const int result = Request(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_REPLACE, address);
    if (result != 0)
    {
        *error = "cannot take " + net::FormatIpv4(address) + " off the link: " + std::strerror(result);
        return false;
    }
    takenOff_.push_back(address);
    return true;
}

void LinkRoutes::Restore()
{
    for (const std::uint32_t address : takenOff_)
    {
        [[maybe_unused]] const int result = Request(RTM_DELROUTE, 0, address);
    }
    takenOff_.clear();
    if (socket_ >= 0)
    {
        close(socket_);
        socket_ = -1;
    }
}

// One route request and its acknowledgement: 0, or the errno the kernel gave.
int LinkRoutes::Request(std::uint16_t type, std::uint16_t flags, std::uint32_t address)
{
    if (socket_ < 0)
    {
        return EBADF;
    }
    struct
    {
        nlmsghdr header;
        rtmsg route;
        rtattr destinationHeader;
        std::uint32_t destination;
    } request {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
    request.header.nlmsg_seq = ++sequence_;
    request.route.rtm_family = AF_INET;
    request.route.rtm_dst_len = 32;
    request.route.rtm_table = RT_TABLE_MAIN;
    request.route.rtm_protocol = RTPROT_STATIC;
    request.route.rtm_scope = RT_SCOPE_UNIVERSE;
    request.route.rtm_type = RTN_UNREACHABLE;
    request.destinationHeader.rta_len = RTA_LENGTH(sizeof request.destination);
    request.destinationHeader.rta_type = RTA_DST;
    request.destination = htonl(address);
    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    if (sendto(socket_, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0)
    {
        return errno;
    }
    // The acknowledgement: an error message whose code is 0 for success.
    alignas(nlmsghdr) char answer[1024];
    for (;;)
    {
        const ssize_t got = recv(socket_, answer, sizeof answer, 0);
        if (got < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return errno;
        }
        int length = static_cast<int>(got);
        for (auto* header = reinterpret_cast<nlmsghdr*>(answer); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length))
        {
            if (header->nlmsg_seq == sequence_ && header->nlmsg_type == NLMSG_ERROR)
            {
                const auto* acknowledgement = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
                return -acknowledgement->error;
            }
        }
    }
}

} // namespace quellis::sim

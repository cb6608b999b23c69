#include "platform/net/readiness.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace quellis::net
{

WakeSignal::WakeSignal()
    : handle_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

WakeSignal::~WakeSignal()
{
    if (handle_ >= 0)
    {
        close(handle_);
    }
}

void WakeSignal::Set()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(handle_, &one, sizeof one);
}

int WaitReadable(
    WakeSignal& wake, std::span<const int> sockets, std::span<bool> readable, std::chrono::milliseconds timeout)
{
    std::vector<pollfd> fds;
    fds.reserve(sockets.size() + 1);
    fds.push_back({ wake.handle_, POLLIN, 0 });
    for (const int socket : sockets)
    {
        fds.push_back({ socket, POLLIN, 0 });
    }
    const int ready = poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
    if (ready < 0)
    {
        return -1;
    }
    if ((fds[0].revents & POLLIN) != 0)
    {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = read(wake.handle_, &count, sizeof count);
    }
    int count = 0;
    for (std::size_t i = 0; i < sockets.size() && i < readable.size(); ++i)
    {
        readable[i] = fds[i + 1].revents != 0;
        count += readable[i] ? 1 : 0;
    }
    return count;
}

bool IsListening(int socket)
{
    int accepting = 0;
    socklen_t length = sizeof accepting;
    return getsockopt(socket, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) == 0 && accepting != 0;
}

bool PeerHasClosed(int socket)
{
    char probe = 0;
    const ssize_t peeked = recv(socket, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    return peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

} // namespace quellis::net

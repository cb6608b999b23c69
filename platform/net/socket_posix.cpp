#include "platform/net/socket.h"
#include "platform/net/wsa_error.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

namespace quellis::net
{

namespace
{

thread_local int lastError = 0;

// Records the failure of the system call just made; always returns false.
bool Fail()
{
    lastError = WsaErrorFromErrno(errno);
    return false;
}

int FailCount()
{
    lastError = WsaErrorFromErrno(errno);
    return kSocketError;
}

// A failed send or receive. On a blocking socket "would block" can only be
// the expiry of its send or receive time-out, which Windows reports as such.
int FailTransfer(bool blocking)
{
    const int error = errno;
    FailCount();
    if (blocking && (error == EAGAIN || error == EWOULDBLOCK))
    {
        lastError = kWsaTimedOut;
    }
    return kSocketError;
}

sockaddr_in ToSockaddr(Endpoint endpoint)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(endpoint.address);
    address.sin_port = htons(endpoint.port);
    return address;
}

Endpoint FromSockaddr(const sockaddr_in& address)
{
    return Endpoint { ntohl(address.sin_addr.s_addr), ntohs(address.sin_port) };
}

bool SetIntOption(int handle, int level, int name, int value)
{
    if (handle < 0)
    {
        lastError = kWsaNotSocket;
        return false;
    }
    return setsockopt(handle, level, name, &value, sizeof value) == 0 || Fail();
}

bool SetTimeOption(int handle, int name, std::chrono::milliseconds timeout)
{
    if (handle < 0)
    {
        lastError = kWsaNotSocket;
        return false;
    }
    const auto ms = timeout.count() < 0 ? 0 : timeout.count();
    timeval value {};
    value.tv_sec = static_cast<time_t>(ms / 1000);
    value.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return setsockopt(handle, SOL_SOCKET, name, &value, sizeof value) == 0 || Fail();
}

std::optional<int> GetIntOption(int handle, int name)
{
    int value = 0;
    socklen_t length = sizeof value;
    if (handle < 0 || getsockopt(handle, SOL_SOCKET, name, &value, &length) != 0)
    {
        return std::nullopt;
    }
    return value;
}

PollResult WaitFor(int handle, short events, std::chrono::milliseconds timeout)
{
    pollfd entry { handle, events, 0 };
    for (;;)
    {
        const int result = poll(&entry, 1, static_cast<int>(timeout.count()));
        if (result > 0)
        {
            return PollResult::Ready;
        }
        if (result == 0)
        {
            return PollResult::TimedOut;
        }
        if (errno != EINTR)
        {
            Fail();
            return PollResult::Failed;
        }
    }
}

} // namespace

int RaiseSocketLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    {
        return 0;
    }
    if (limit.rlim_cur < limit.rlim_max)
    {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
        {
            limit = raised;
        }
    }
    return limit.rlim_cur > static_cast<rlim_t>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                                 : static_cast<int>(limit.rlim_cur);
}

int WsaGetLastError()
{
    return lastError;
}

void WsaSetLastError(int error)
{
    lastError = error;
}

Socket::Socket(int handle) noexcept
    : handle_(handle)
{
}

Socket::~Socket()
{
    Close();
}

Socket::Socket(Socket&& other) noexcept
    : handle_(other.handle_.exchange(-1))
    , blocking_(other.blocking_)
{
}

Socket& Socket::operator=(Socket&& other) noexcept
{
    if (this != &other)
    {
        Close();
        handle_ = other.handle_.exchange(-1);
        blocking_ = other.blocking_;
    }
    return *this;
}

Socket Socket::Create(SocketKind kind)
{
    const int type = kind == SocketKind::Udp ? SOCK_DGRAM : SOCK_STREAM;
    const int handle = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (handle < 0)
    {
        Fail();
    }
    return Socket(handle);
}

bool Socket::IsValid() const noexcept
{
    return handle_.load() >= 0;
}

int Socket::Handle() const noexcept
{
    return handle_.load();
}

bool Socket::Bind(Endpoint local)
{
    const sockaddr_in address = ToSockaddr(local);
    return bind(Handle(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 || Fail();
}

bool Socket::Listen(int backlog)
{
    return listen(Handle(), backlog) == 0 || Fail();
}

Socket Socket::Accept(Endpoint* peer)
{
    sockaddr_in address {};
    socklen_t length = sizeof address;
    const int handle = accept4(Handle(), reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    if (handle < 0)
    {
        Fail();
        return Socket();
    }
    if (peer != nullptr)
    {
        *peer = FromSockaddr(address);
    }
    return Socket(handle);
}

bool Socket::Connect(Endpoint remote, std::chrono::milliseconds timeout)
{
    const int handle = Handle();
    const sockaddr_in address = ToSockaddr(remote);
    if (!blocking_)
    {
        return connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 || Fail();
    }

    // A non-blocking connect and a bounded wait stand in for the blocking one,
    // whose system time-out would be minutes.
    const int flags = fcntl(handle, F_GETFL);
    if (flags < 0 || fcntl(handle, F_SETFL, flags | O_NONBLOCK) < 0)
    {
        return Fail();
    }
    bool connected = connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    int error = connected ? 0 : errno;
    if (!connected && error == EINPROGRESS)
    {
        switch (WaitFor(handle, POLLOUT, timeout))
        {
        case PollResult::Ready:
        {
            int soError = 0;
            socklen_t length = sizeof soError;
            if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &soError, &length) != 0)
            {
                soError = errno;
            }
            connected = soError == 0;
            error = soError;
            break;
        }
        case PollResult::TimedOut:
            error = ETIMEDOUT;
            break;
        case PollResult::Failed:
            error = errno;
            break;
        }
    }
    fcntl(handle, F_SETFL, flags);
    if (!connected)
    {
        lastError = WsaErrorFromErrno(error);
    }
    return connected;
}

int Socket::PendingError() const
{
    int soError = 0;
    socklen_t length = sizeof soError;
    if (getsockopt(Handle(), SOL_SOCKET, SO_ERROR, &soError, &length) != 0)
    {
        soError = errno;
    }
    return soError == 0 ? 0 : WsaErrorFromErrno(soError);
}

int Socket::Send(const void* data, std::size_t length)
{
    const ssize_t sent = send(Handle(), data, length, MSG_NOSIGNAL);
    if (sent < 0)
    {
        return FailTransfer(blocking_);
    }
    return static_cast<int>(sent);
}

int Socket::Receive(void* buffer, std::size_t capacity)
{
    const ssize_t received = recv(Handle(), buffer, capacity, 0);
    if (received < 0)
    {
        return FailTransfer(blocking_);
    }
    return static_cast<int>(received);
}

int Socket::SendTo(const void* data, std::size_t length, Endpoint remote)
{
    const sockaddr_in address = ToSockaddr(remote);
    const ssize_t sent
        = sendto(Handle(), data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return sent < 0 ? FailCount() : static_cast<int>(sent);
}

int Socket::ReceiveFrom(void* buffer, std::size_t capacity, Endpoint* from)
{
    sockaddr_in address {};
    socklen_t length = sizeof address;
    const ssize_t received = recvfrom(Handle(), buffer, capacity, 0, reinterpret_cast<sockaddr*>(&address), &length);
    if (received < 0)
    {
        return FailTransfer(blocking_);
    }
    if (from != nullptr)
    {
        *from = FromSockaddr(address);
    }
    return static_cast<int>(received);
}

int Socket::ReceiveFromMany(std::span<ReceiveSlot> slots)
{
    constexpr std::size_t kMost = 64;
    const std::size_t count = std::min(slots.size(), kMost);
    if (count == 0)
    {
        return 0;
    }
    std::array<mmsghdr, kMost> messages {};
    std::array<iovec, kMost> vectors {};
    std::array<sockaddr_in, kMost> addresses {};
    for (std::size_t i = 0; i < count; ++i)
    {
        vectors[i] = { slots[i].buffer, slots[i].capacity };
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &addresses[i];
        messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    const int received = recvmmsg(Handle(), messages.data(), static_cast<unsigned>(count), MSG_WAITFORONE, nullptr);
    if (received < 0)
    {
        return FailTransfer(blocking_);
    }
    for (int i = 0; i < received; ++i)
    {
        slots[static_cast<std::size_t>(i)].length = messages[static_cast<std::size_t>(i)].msg_len;
        slots[static_cast<std::size_t>(i)].from = FromSockaddr(addresses[static_cast<std::size_t>(i)]);
    }
    return received;
}

bool Socket::SetBroadcast(bool on)
{
    return SetIntOption(Handle(), SOL_SOCKET, SO_BROADCAST, on ? 1 : 0);
}

bool Socket::SetReuseAddress(bool on)
{
    return SetIntOption(Handle(), SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

bool Socket::SetSendBuffer(int bytes)
{
    return SetIntOption(Handle(), SOL_SOCKET, SO_SNDBUF, bytes);
}

bool Socket::SetReceiveBuffer(int bytes)
{
    return SetIntOption(Handle(), SOL_SOCKET, SO_RCVBUF, bytes);
}

int Socket::SetLargeReceiveBuffer(int bytes)
{
    const int handle = Handle();
    if (setsockopt(handle, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
    {
        // Without CAP_NET_ADMIN the size is capped at net.core.rmem_max.
        setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    return ReceiveBufferSize().value_or(0);
}

std::optional<int> Socket::ReceiveBufferSize() const
{
    return GetIntOption(Handle(), SO_RCVBUF);
}

std::optional<int> Socket::SendBufferSize() const
{
    return GetIntOption(Handle(), SO_SNDBUF);
}

bool Socket::SetSendTimeout(std::chrono::milliseconds timeout)
{
    return SetTimeOption(Handle(), SO_SNDTIMEO, timeout);
}

bool Socket::SetReceiveTimeout(std::chrono::milliseconds timeout)
{
    return SetTimeOption(Handle(), SO_RCVTIMEO, timeout);
}

bool Socket::SetBlocking(bool blocking)
{
    const int handle = Handle();
    const int flags = fcntl(handle, F_GETFL);
    if (flags < 0)
    {
        return Fail();
    }
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (fcntl(handle, F_SETFL, wanted) < 0)
    {
        return Fail();
    }
    blocking_ = blocking;
    return true;
}

std::optional<Endpoint> Socket::LocalEndpoint() const
{
    sockaddr_in address {};
    socklen_t length = sizeof address;
    if (getsockname(Handle(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    {
        Fail();
        return std::nullopt;
    }
    return FromSockaddr(address);
}

PollResult Socket::WaitReadable(std::chrono::milliseconds timeout) const
{
    return WaitFor(Handle(), POLLIN, timeout);
}

PollResult Socket::WaitWritable(std::chrono::milliseconds timeout) const
{
    return WaitFor(Handle(), POLLOUT, timeout);
}

void Socket::Shutdown()
{
    const int handle = Handle();
    if (handle >= 0)
    {
        // On an unconnected UDP socket this fails with ENOTCONN but still wakes
        // a blocked reader, which is all that is wanted here.
        shutdown(handle, SHUT_RDWR);
    }
}

void Socket::Close()
{
    const int handle = handle_.exchange(-1);
    if (handle >= 0)
    {
        shutdown(handle, SHUT_RDWR);
        close(handle);
    }
}

int Socket::Release() noexcept
{
    return handle_.exchange(-1);
}

} // namespace quellis::net

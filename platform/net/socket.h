#pragma once

#include "platform/net/ipv4.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <span>

// RAII IPv4 sockets with the operations and options the program uses.
// Failures return false, an invalid socket or kSocketError, and leave the
// Windows Sockets number of the failure in the calling thread's last error
// (WsaGetLastError), as the program's messages expect.

namespace quellis::net
{

inline constexpr int kSocketError = -1;

// A connect that the peer neither accepts nor refuses ends after this long with
// kWsaTimedOut, instead of the minutes the system would wait.
inline constexpr std::chrono::milliseconds kConnectTimeout { 3000 };

// The socket layer's start-up (WSAStartup); POSIX sockets need none.
[[nodiscard]] inline bool StartSocketLayer()
{
    return true;
}

// Lets the process hold as many sockets (with their files) as the system
// allows a process: a server of a thousand machines needs more than the
// usual default of 1024 descriptors. Returns the number now allowed.
int RaiseSocketLimit();

[[nodiscard]] int WsaGetLastError();
void WsaSetLastError(int error);

enum class SocketKind
{
    Udp,
    Tcp,
};

// One datagram of a ReceiveFromMany call: the caller's buffer, and what
// arrived in it.
struct ReceiveSlot
{
    void* buffer = nullptr;
    std::size_t capacity = 0;
    std::size_t length = 0;
    Endpoint from;
};

enum class PollResult
{
    Ready,
    TimedOut,
    Failed,
};

class Socket
{
public:
    Socket() = default;
    explicit Socket(int handle) noexcept;
    ~Socket();
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // An invalid socket when the system refuses one.
    [[nodiscard]] static Socket Create(SocketKind kind);

    [[nodiscard]] bool IsValid() const noexcept;
    [[nodiscard]] int Handle() const noexcept;

    [[nodiscard]] bool Bind(Endpoint local);
    [[nodiscard]] bool Listen(int backlog);
    [[nodiscard]] Socket Accept(Endpoint* peer = nullptr);
    // Blocking connect bounded by timeout; a peer that does not answer in time
    // gives kWsaTimedOut. A socket switched to non-blocking mode connects
    // without waiting (kWsaWouldBlock, as the system reports it).
    [[nodiscard]] bool Connect(Endpoint remote, std::chrono::milliseconds timeout = kConnectTimeout);

    // Bytes sent or received, 0 when a stream peer has closed, kSocketError on
    // failure. A receive or send time-out (SetReceiveTimeout, SetSendTimeout) on
    // a blocking socket is reported as kWsaTimedOut.
    [[nodiscard]] int Send(const void* data, std::size_t length);
    [[nodiscard]] int Receive(void* buffer, std::size_t capacity);
    [[nodiscard]] int SendTo(const void* data, std::size_t length, Endpoint remote);
    [[nodiscard]] int ReceiveFrom(void* buffer, std::size_t capacity, Endpoint* from);
    // Waits for one datagram, then takes as many more as are waiting, up to
    // one per slot, in one call. Returns the number taken or kSocketError. A
    // reader of bursts of thousands of datagrams needs far fewer system
    // calls this way.
    [[nodiscard]] int ReceiveFromMany(std::span<ReceiveSlot> slots);

    [[nodiscard]] bool SetBroadcast(bool on);
    [[nodiscard]] bool SetReuseAddress(bool on);
    [[nodiscard]] bool SetSendBuffer(int bytes);
    [[nodiscard]] bool SetReceiveBuffer(int bytes);
    // Asks for a receive buffer of this size beyond the unprivileged limit where
    // the process may (SO_RCVBUFFORCE), else as large as the limit allows.
    // Returns the size the system reports afterwards.
    int SetLargeReceiveBuffer(int bytes);
    [[nodiscard]] std::optional<int> ReceiveBufferSize() const;
    [[nodiscard]] std::optional<int> SendBufferSize() const;
    [[nodiscard]] bool SetSendTimeout(std::chrono::milliseconds timeout);
    [[nodiscard]] bool SetReceiveTimeout(std::chrono::milliseconds timeout);
    [[nodiscard]] bool SetBlocking(bool blocking);
    [[nodiscard]] std::optional<Endpoint> LocalEndpoint() const;

    // The failure waiting on the socket (SO_ERROR), 0 when there is none: how a
    // non-blocking connect ended once the socket reports writable.
    [[nodiscard]] int PendingError() const;

    // Waits until the socket can be read or written (select stand-in).
    [[nodiscard]] PollResult WaitReadable(std::chrono::milliseconds timeout) const;
    [[nodiscard]] PollResult WaitWritable(std::chrono::milliseconds timeout) const;

    // Wakes a thread that is blocked reading this socket (also a UDP socket);
    // the read then returns 0 or fails. The socket stays open.
    void Shutdown();
    // Shuts the socket down and closes it. Safe to call twice. Close a socket
    // that another thread reads only after that thread has left the read: the
    // number of a closed socket may be given to the next one opened.
    void Close();

    // Gives up ownership without closing.
    [[nodiscard]] int Release() noexcept;

private:
    std::atomic<int> handle_ { -1 };
    bool blocking_ = true;
};

} // namespace quellis::net

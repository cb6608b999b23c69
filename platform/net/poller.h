#pragma once

#include <chrono>
#include <cstddef>
#include <span>

// Readiness of many sockets for one thread at once (epoll on Linux). A socket
// is watched for one interest at a time and reported when it becomes ready for
// it, or fails or hangs up (edge-triggered): after a report its owner reads or
// writes until the socket would block, and only then is a next report
// certain. Adding a socket, or changing its interest, reports it at once when
// it is already ready. Wait, Add, Change and Remove belong to the owning
// thread; Wake may come from any thread.

namespace quellis::net
{

enum class Interest
{
    Read,
    Write,
};

class Poller
{
public:
    Poller();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // False when the system refused the poller (then every call fails).
    [[nodiscard]] bool IsValid() const { return poll_ >= 0 && wake_ >= 0; }

    // `token` comes back with each report of the socket.
    [[nodiscard]] bool Add(int socket, void* token, Interest interest);
    [[nodiscard]] bool Change(int socket, void* token, Interest interest);
    // Before the socket is closed, or handed to another thread.
    void Remove(int socket);

    // Waits up to `timeout` (negative: without limit) for reports or a Wake,
    // and writes the reported sockets' tokens into `ready`. Returns their
    // number (0 after a Wake or the time-out), or -1 when the wait failed.
    [[nodiscard]] int Wait(std::span<void*> ready, std::chrono::milliseconds timeout);
    // Ends the owner's current or next Wait.
    void Wake();

private:
    int poll_ = -1;
    int wake_ = -1;
};

} // namespace quellis::net

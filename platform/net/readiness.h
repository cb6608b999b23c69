#pragma once

#include <chrono>
#include <span>

// Waiting for sockets to become readable, level-triggered, on the thread
// that runs a front end's event loop: a socket readable and not read is
// reported again at the next wait. The loop's other work wakes the wait
// through a WakeSignal.

namespace quellis::net
{

// A wake-up that any thread gives and the waiting thread takes.
class WakeSignal
{
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    // Any thread; a wake-up given while none is waited for ends the next wait.
    void Set();

private:
    friend int WaitReadable(WakeSignal&, std::span<const int>, std::span<bool>, std::chrono::milliseconds);
    int handle_ = -1;
};

// Waits up to `timeout` for the wake signal (taken by the wait) or for any of
// `sockets` to become readable; readable[i] tells of sockets[i]. Returns the
// number of readable sockets, 0 after a wake-up or the time-out, -1 when the
// wait failed.
[[nodiscard]] int WaitReadable(
    WakeSignal& wake, std::span<const int> sockets, std::span<bool> readable, std::chrono::milliseconds timeout);

// True for a listening TCP socket.
[[nodiscard]] bool IsListening(int socket);
// A readable connected socket with nothing to read: the peer has closed it
// (or it failed, which ends it the same way).
[[nodiscard]] bool PeerHasClosed(int socket);

} // namespace quellis::net

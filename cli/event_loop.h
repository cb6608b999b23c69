#pragma once

#include "platform/net/readiness.h"
#include "platform/sync/thread.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

// The command line's UI thread: the thread that runs the loop carries out, in
// order, the work other threads post, the window messages they post, the
// timers that expire and the socket notifications that were asked for, as
// the window's event loop does for the dialog. Controllers need no window to
// run; they need this.

namespace quellis::cli
{

class EventLoop
{
public:
    using MessageHandler = std::function<void(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)>;
    using TimerHandler = std::function<void(int id)>;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Where posted messages and expired timers go (the loop's thread).
    void SetHandlers(MessageHandler messages, TimerHandler timers);

    // The thread that made the loop is the one that runs it.
    [[nodiscard]] bool IsCurrent() const { return std::this_thread::get_id() == owner_; }

    // Any thread. False once the loop is closed.
    bool Post(std::function<void()> fn);
    void PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    // A timer repeats every period until killed, as a window timer does.
    void SetTimer(int id, int milliseconds);
    void KillTimer(int id);
    [[nodiscard]] bool HasTimer(int id) const;

    // The loop's thread. Socket events (kFdAccept for a listening socket,
    // kFdRead, kFdClose when the peer closed) are reported once as
    // `message` (wParam the socket, lParam the event) and again only after
    // ReenableSocket; a close ends the watch.
    bool SelectSocket(int socket, std::uint32_t message, std::intptr_t events);
    void ReenableSocket(int socket);

    // Runs the loop until done() holds or the deadline passes; true when done.
    bool RunUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);
    bool RunFor(std::chrono::milliseconds time);
    // Joins a worker, serving the loop meanwhile (it may wait for the loop).
    void Join(sync::Thread& thread);
    // From now on posts are refused; what is queued is dropped.
    void Close();

private:
    struct Watch
    {
        std::uint32_t message = 0;
        std::intptr_t events = 0;
        bool armed = true;
        bool listening = false;
    };
    struct Timer
    {
        std::chrono::milliseconds period;
        std::chrono::steady_clock::time_point due;
    };

    void Wake();
    // One round: waits at most `wait` for something to do, then does it.
    void RunOnce(std::chrono::milliseconds wait);
    void DeliverSocket(int socket);

    const std::thread::id owner_;
    net::WakeSignal wake_;
    mutable std::mutex lock_;
    std::deque<std::function<void()>> work_;
    std::map<int, Timer> timers_;
    bool closed_ = false;
    std::map<int, Watch> watches_; // the loop's thread only
    MessageHandler messages_;
    TimerHandler timersHandler_;
};

} // namespace quellis::cli

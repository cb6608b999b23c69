#include "cli/event_loop.h"

#include "core/window.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace quellis::cli
{

namespace
{

using Clock = std::chrono::steady_clock;

} // namespace

EventLoop::EventLoop()
    : owner_(std::this_thread::get_id())
{
}

EventLoop::~EventLoop()
{
    Close();
}

void EventLoop::SetHandlers(MessageHandler messages, TimerHandler timers)
{
    messages_ = std::move(messages);
    timersHandler_ = std::move(timers);
}

void EventLoop::Wake()
{
    wake_.Set();
}

bool EventLoop::Post(std::function<void()> fn)
{
    {
        std::lock_guard lock(lock_);
        if (closed_)
        {
            return false;
        }
        work_.push_back(std::move(fn));
    }
    Wake();
    return true;
}

void EventLoop::PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    Post(
        [this, message, wParam, lParam]
        {
            if (messages_)
            {
                messages_(message, wParam, lParam);
            }
        });
}

void EventLoop::SetTimer(int id, int milliseconds)
{
    {
        std::lock_guard lock(lock_);
        const std::chrono::milliseconds period(std::max(milliseconds, 1));
        timers_[id] = { period, Clock::now() + period };
    }
    Wake();
}

void EventLoop::KillTimer(int id)
{
    std::lock_guard lock(lock_);
    timers_.erase(id);
}

bool EventLoop::HasTimer(int id) const
{
    std::lock_guard lock(lock_);
    return timers_.contains(id);
}

bool EventLoop::SelectSocket(int socket, std::uint32_t message, std::intptr_t events)
{
    watches_.erase(socket);
    if (events == 0)
    {
        return true;
    }
    if (socket < 0)
    {
        return false;
    }
    watches_[socket] = { message, events, true, net::IsListening(socket) };
    return true;
}

void EventLoop::ReenableSocket(int socket)
{
    const auto found = watches_.find(socket);
    if (found != watches_.end())
    {
        found->second.armed = true;
    }
}

void EventLoop::DeliverSocket(int socket)
{
    const auto found = watches_.find(socket);
    if (found == watches_.end() || !found->second.armed)
    {
        return;
    }
    Watch& watch = found->second;
    watch.armed = false;
    std::intptr_t event = core::kFdAccept;
    if (!watch.listening)
    {
        event = net::PeerHasClosed(socket) ? core::kFdClose : core::kFdRead;
    }
    const std::uint32_t message = watch.message;
    const bool wanted = (watch.events & event) != 0;
    if (event == core::kFdClose)
    {
        watches_.erase(found);
    }
    if (wanted && messages_)
    {
        messages_(message, static_cast<std::uintptr_t>(socket), event);
    }
}

void EventLoop::RunOnce(std::chrono::milliseconds wait)
{
    // Never sleep past the next timer.
    {
        std::lock_guard lock(lock_);
        const auto now = Clock::now();
        for (const auto& [id, timer] : timers_)
        {
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(timer.due - now));
        }
        if (!work_.empty())
        {
            wait = std::chrono::milliseconds(0);
        }
    }
    wait = std::max(wait, std::chrono::milliseconds(0));

    std::vector<int> sockets;
    for (const auto& [socket, watch] : watches_)
    {
        if (watch.armed)
        {
            sockets.push_back(socket);
        }
    }
    std::unique_ptr<bool[]> readable(new bool[sockets.size() + 1]());
    const int ready = net::WaitReadable(wake_, sockets, { readable.get(), sockets.size() }, wait);

    // Posted work and messages first, in their order.
    std::deque<std::function<void()>> work;
    {
        std::lock_guard lock(lock_);
        work.swap(work_);
    }
    for (auto& fn : work)
    {
        fn();
    }
    // Expired timers.
    std::vector<int> due;
    {
        std::lock_guard lock(lock_);
        const auto now = Clock::now();
        for (auto& [id, timer] : timers_)
        {
            if (timer.due <= now)
            {
                due.push_back(id);
                timer.due = now + timer.period;
            }
        }
    }
    for (const int id : due)
    {
        // A timer killed by an earlier handler of this round does not fire.
        if (HasTimer(id) && timersHandler_)
        {
            timersHandler_(id);
        }
    }
    // Sockets.
    if (ready > 0)
    {
        for (std::size_t i = 0; i < sockets.size(); ++i)
        {
            if (readable[i])
            {
                DeliverSocket(sockets[i]);
            }
        }
    }
}

bool EventLoop::RunUntil(const std::function<bool()>& done, Clock::time_point deadline)
{
    while (!done())
    {
        const auto now = Clock::now();
        if (now >= deadline)
        {
            return false;
        }
        RunOnce(std::min(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) + std::chrono::milliseconds(1),
            std::chrono::milliseconds(100)));
    }
    return true;
}

bool EventLoop::RunFor(std::chrono::milliseconds time)
{
    return RunUntil([] { return false; }, Clock::now() + time);
}

void EventLoop::Join(sync::Thread& thread)
{
    if (IsCurrent())
    {
        while (!thread.Finished())
        {
            RunOnce(std::chrono::milliseconds(10));
        }
    }
    thread.Join();
}

void EventLoop::Close()
{
    {
        std::lock_guard lock(lock_);
        closed_ = true;
        work_.clear();
        timers_.clear();
    }
    Wake();
}

} // namespace quellis::cli

#include "protocol/paced_sender.h"

#include "platform/trace/trace.h"

#include <algorithm>
#include <optional>

namespace quellis::protocol
{

PacedSender::~PacedSender()
{
    Stop();
    thread_.Join();
}

bool PacedSender::Submit(net::Socket& socket, PacedRun run)
{
    std::lock_guard lock(mutex_);
    if (stopping_)
    {
        return false;
    }
    if (!thread_.Joinable() && !thread_.Start([this] { Body(); }))
    {
        return false;
    }
    const auto now = RatePacer::Clock::now();
    const int rate = run.rate;
    const bool empty = run.ranges.empty();
    active_.push_back(Active { std::move(run), &socket, RatePacer(rate, now) });
    active_.back().finished = empty;
    active_.back().doneAt = now;
    wake_.notify_one();
    return true;
}

void PacedSender::CancelScans()
{
    std::lock_guard lock(mutex_);
    for (Active& active : active_)
    {
        active.cancelled = active.cancelled || active.run.scan;
    }
    wake_.notify_one();
}

void PacedSender::Stop()
{
    std::lock_guard lock(mutex_);
    stopping_ = true;
    active_.clear();
    wake_.notify_one();
}

std::size_t PacedSender::Running() const
{
    std::lock_guard lock(mutex_);
    return active_.size();
}

// Runs from the first run until Stop. Owns the runs' progress under the lock;
// shares the send sockets (a send is one system call) with every sender. The
// runs' done handlers are called outside the lock, so that one may submit.
void PacedSender::Body()
{
    std::unique_lock lock(mutex_);
    std::vector<std::pair<std::function<void(std::uint64_t, bool)>, std::pair<std::uint64_t, bool>>> done;
    while (!stopping_)
    {
        const auto now = RatePacer::Clock::now();
        std::optional<RatePacer::Clock::time_point> wakeAt;
        for (auto it = active_.begin(); it != active_.end();)
        {
            Active& active = *it;
            while (!active.cancelled && !active.finished && active.pacer.Due() <= now)
            {
                const AddressRange& range = active.run.ranges[active.range];
                const auto address = static_cast<std::uint32_t>(range.first + active.next);
                const std::vector<std::uint8_t>& datagram = active.run.datagram;
                if (active.socket->SendTo(datagram.data(), datagram.size(), { address, active.run.port }) > 0)
                {
                    ++active.sent;
                }
                active.pacer.Sent(now);
                if (++active.next == range.Size())
                {
                    active.next = 0;
                    ++active.range;
                }
                if (active.range == active.run.ranges.size())
                {
                    active.finished = true;
                    active.doneAt = now + active.run.linger;
                }
            }
            if (active.cancelled || (active.finished && active.doneAt <= now))
            {
                done.push_back({ std::move(active.run.done), { active.sent, active.cancelled } });
                it = active_.erase(it);
                continue;
            }
            const auto due = active.finished ? active.doneAt : active.pacer.Due();
            wakeAt = wakeAt ? std::min(*wakeAt, due) : due;
            ++it;
        }
        if (!done.empty())
        {
            lock.unlock();
            for (auto& [handler, outcome] : done)
            {
                if (handler)
                {
                    handler(outcome.first, outcome.second);
                }
            }
            done.clear();
            lock.lock();
            continue;
        }
        if (wakeAt)
        {
            wake_.wait_until(lock, *wakeAt);
        }
        else
        {
            wake_.wait(lock);
        }
    }
    trace::OutputDebugString("paced sender stopped\n");
}

} // namespace quellis::protocol

#pragma once

#include <queue>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

// Deadlines of the sockets an epoll loop serves, in due order. A deadline
// carries the generation of its socket's state when it was set (numbered
// across the loop, so that a reused descriptor does not match); a later one
// replaces it by bumping the generation, so stale ones are skipped, not removed.

namespace quellis::sim
{

struct FdTimer
{
    std::chrono::steady_clock::time_point when;
    int fd = -1;
    std::uint64_t generation = 0;

    bool operator>(const FdTimer& other) const { return when > other.when; }
};

class FdTimers
{
public:
    void Push(const FdTimer& timer) { queue_.push(timer); }

    // How long the loop may wait for events before the next deadline (-1:
    // none), at most a minute.
    [[nodiscard]] int WaitMilliseconds(std::chrono::steady_clock::time_point now) const
    {
        if (queue_.empty())
        {
            return -1;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(queue_.top().when - now).count();
        return static_cast<int>(std::clamp<std::int64_t>(wait, 0, 60'000));
    }

    // The next deadline that is due, removed; nothing when none is.
    [[nodiscard]] std::optional<FdTimer> PopDue(std::chrono::steady_clock::time_point now)
    {
        if (queue_.empty() || queue_.top().when > now)
        {
            return std::nullopt;
        }
        const FdTimer timer = queue_.top();
        queue_.pop();
        return timer;
    }

private:
    std::priority_queue<FdTimer, std::vector<FdTimer>, std::greater<FdTimer>> queue_;
};

} // namespace quellis::sim

#pragma once

#include <chrono>
#include <cstdint>

// When each datagram of a paced run (a range scan, the unicast copies of a
// request to every machine) is due: a steady rate, never a burst. A sender
// that falls behind (descheduled, a slow send) catches up by at most
// kMaxLag's worth of datagrams; the rest of the debt is forgiven rather than
// sent at once.

namespace quellis::protocol
{

class RatePacer
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::microseconds kMaxLag { 1000 };

    // rate: datagrams per second, at least 1.
    RatePacer(int rate, Clock::time_point start);

    [[nodiscard]] Clock::time_point Due() const;
    // One datagram went out at `now`.
    void Sent(Clock::time_point now);

private:
    [[nodiscard]] Clock::duration Offset(std::uint64_t count) const;

    std::int64_t rate_;
    Clock::time_point base_;
    std::uint64_t count_ = 0;
};

} // namespace quellis::protocol

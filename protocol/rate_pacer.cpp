#include "protocol/rate_pacer.h"

#include <algorithm>

namespace quellis::protocol
{

RatePacer::RatePacer(int rate, Clock::time_point start)
    : rate_(std::max(rate, 1))
    , base_(start)
{
}

// Counted from the base rather than added up per datagram, so that rounding
// never drifts the rate.
RatePacer::Clock::duration RatePacer::Offset(std::uint64_t count) const
{
    const auto nanoseconds = static_cast<std::int64_t>(count) * 1'000'000'000 / rate_;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(nanoseconds));
}

RatePacer::Clock::time_point RatePacer::Due() const
{
    return base_ + Offset(count_);
}

void RatePacer::Sent(Clock::time_point now)
{
    ++count_;
    const auto period = Offset(1);
    const Clock::duration allowed = std::max<Clock::duration>(kMaxLag, period);
    if (now - Due() > allowed)
    {
        // Start again from here, as if this datagram had left the lag allowed
        // ago and the sender had been on time since.
        base_ = now - allowed;
        count_ = 1;
    }
}

} // namespace quellis::protocol

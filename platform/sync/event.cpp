#include "platform/sync/event.h"

namespace quellis::sync
{

Event::Event(EventReset reset, bool initiallySet)
    : reset_(reset)
    , set_(initiallySet)
{
}

void Event::Set()
{
    {
        std::lock_guard lock(mutex_);
        set_ = true;
    }
    // An auto-reset event releases one waiter; the one woken clears the state.
    if (reset_ == EventReset::Auto)
    {
        changed_.notify_one();
    }
    else
    {
        changed_.notify_all();
    }
}

void Event::Reset()
{
    std::lock_guard lock(mutex_);
    set_ = false;
}

WaitResult Event::Wait(std::uint32_t milliseconds)
{
    std::unique_lock lock(mutex_);
    const auto isSet = [this] { return set_; };
    if (milliseconds == kInfinite)
    {
        changed_.wait(lock, isSet);
    }
    else if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), isSet))
    {
        return WaitResult::TimedOut;
    }
    if (reset_ == EventReset::Auto)
    {
        set_ = false;
    }
    return WaitResult::Signalled;
}

bool Event::IsSet() const
{
    std::lock_guard lock(mutex_);
    return set_;
}

} // namespace quellis::sync

#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// The kernel event: auto-reset (one Set releases one waiter and is then used
// up) or manual-reset (stays set until Reset). A Set without a waiter stays
// pending until the next wait.

namespace quellis::sync
{

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

enum class EventReset
{
    Auto,
    Manual,
};

enum class WaitResult
{
    Signalled,
    TimedOut,
};

class Event
{
public:
    explicit Event(EventReset reset, bool initiallySet = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // Waits at most milliseconds (kInfinite: without limit).
    [[nodiscard]] WaitResult Wait(std::uint32_t milliseconds);
    [[nodiscard]] bool IsSet() const;

private:
    const EventReset reset_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool set_;
};

} // namespace quellis::sync

#include "platform/sync/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace quellis::sync
{
namespace
{

TEST(Event, AutoResetKeepsASetWithoutWaiterForTheNextWaitOnly)
{
    Event event(EventReset::Auto);
    EXPECT_EQ(event.Wait(0), WaitResult::TimedOut);
    event.Set();
    event.Set(); // a second set before any wait is not counted twice
    EXPECT_EQ(event.Wait(0), WaitResult::Signalled);
    EXPECT_EQ(event.Wait(10), WaitResult::TimedOut);

    event.Set();
    event.Reset();
    EXPECT_EQ(event.Wait(0), WaitResult::TimedOut);
}

TEST(Event, ManualResetStaysSetUntilReset)
{
    Event event(EventReset::Manual, true);
    EXPECT_EQ(event.Wait(0), WaitResult::Signalled);
    EXPECT_EQ(event.Wait(0), WaitResult::Signalled);
    event.Reset();
    EXPECT_EQ(event.Wait(5), WaitResult::TimedOut);
}

TEST(Event, AutoResetReleasesOneWaiterPerSet)
{
    Event event(EventReset::Auto);
    std::atomic<int> released { 0 };
    std::thread first([&] { released += event.Wait(kInfinite) == WaitResult::Signalled; });
    std::thread second([&] { released += event.Wait(kInfinite) == WaitResult::Signalled; });

    event.Set();
    // Give a wrong implementation the time to release both.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(released.load(), 1);
    event.Set();
    first.join();
    second.join();
    EXPECT_EQ(released.load(), 2);
    EXPECT_FALSE(event.IsSet());
}

TEST(Event, ManualResetReleasesEveryWaiter)
{
    Event event(EventReset::Manual);
    std::atomic<int> released { 0 };
    std::thread first([&] { released += event.Wait(5000) == WaitResult::Signalled; });
    std::thread second([&] { released += event.Wait(5000) == WaitResult::Signalled; });
    event.Set();
    first.join();
    second.join();
    EXPECT_EQ(released.load(), 2);
}

} // namespace
} // namespace quellis::sync

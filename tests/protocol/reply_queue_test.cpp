#include "protocol/reply_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quellis::protocol
{
namespace
{

std::vector<std::uint8_t> Datagram(std::uint32_t number, std::size_t length)
{
    std::vector<std::uint8_t> bytes(length, static_cast<std::uint8_t>(number));
    for (std::size_t i = 0; i < 4 && i < length; ++i)
    {
        bytes[i] = static_cast<std::uint8_t>(number >> (8 * i));
    }
    return bytes;
}

std::uint32_t NumberOf(const std::vector<std::uint8_t>& bytes)
{
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

TEST(ReplyQueue, KeepsOrderAndDropsThe257thWhenNothingTakes)
{
    ReplyQueue queue;
    ASSERT_TRUE(queue.Initialise());
    EXPECT_FALSE(queue.Initialise()); // once
    std::vector<std::uint8_t> buffer(kReplySlotSize);
    std::size_t length = 0;
    EXPECT_FALSE(queue.Take(buffer, length));

    for (std::uint32_t i = 0; i < 256; ++i)
    {
        ASSERT_TRUE(queue.Put(Datagram(i, 100 + i)));
    }
    EXPECT_FALSE(queue.Put(Datagram(256, 100)));
    EXPECT_EQ(queue.FreeCount(), 0u);
    EXPECT_EQ(queue.UsedCount(), 256u);

    for (std::uint32_t i = 0; i < 256; ++i)
    {
        ASSERT_TRUE(queue.Take(buffer, length));
        EXPECT_EQ(length, 100 + i);
        EXPECT_EQ(NumberOf(buffer), i);
    }
    EXPECT_FALSE(queue.Take(buffer, length));
    EXPECT_EQ(queue.FreeCount(), 256u);
}

TEST(ReplyQueue, CutsToTheSlotAndKeepsExactBytes)
{
    ReplyQueue queue;
    ASSERT_TRUE(queue.Initialise(4, 64));
    std::vector<std::uint8_t> big(100);
    for (std::size_t i = 0; i < big.size(); ++i)
    {
        big[i] = static_cast<std::uint8_t>(i);
    }
    ASSERT_TRUE(queue.Put(big));
    ASSERT_TRUE(queue.Put({}));
    std::vector<std::uint8_t> buffer(64, 0xEE);
    std::size_t length = 0;
    ASSERT_TRUE(queue.Take(buffer, length));
    EXPECT_EQ(length, 64u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), big.begin()));
    ASSERT_TRUE(queue.Take(buffer, length));
    EXPECT_EQ(length, 0u);
}

TEST(ReplyQueue, ReleaseEmptiesAndAllowsANewStart)
{
    ReplyQueue queue;
    ASSERT_TRUE(queue.Initialise(8, 32));
    ASSERT_TRUE(queue.Put(Datagram(1, 8)));
    queue.Release();
    EXPECT_FALSE(queue.IsInitialised());
    EXPECT_EQ(queue.FreeCount() + queue.UsedCount(), 0u);
    EXPECT_FALSE(queue.Put(Datagram(1, 8)));
    ASSERT_TRUE(queue.Initialise(8, 32));
    EXPECT_EQ(queue.FreeCount(), 8u);
}

TEST(ReplyQueue, TwoThreadsLoseNothingAndKeepTheCountsWhole)
{
    ReplyQueue queue;
    ASSERT_TRUE(queue.Initialise(16, 64));
    constexpr std::uint32_t kCount = 20000;
    std::thread producer(
        [&]
        {
            for (std::uint32_t i = 0; i < kCount;)
            {
                if (queue.Put(Datagram(i, 16)))
                {
                    ++i;
                }
                else
                {
                    // The receive thread's way: wait for a slot instead of dropping.
                    [[maybe_unused]] const bool freed = queue.WaitForFreeSlot(std::chrono::milliseconds(100));
                }
            }
        });
    std::vector<std::uint8_t> buffer(64);
    std::uint32_t expected = 0;
    while (expected < kCount)
    {
        std::size_t length = 0;
        if (queue.Take(buffer, length))
        {
            ASSERT_EQ(NumberOf(buffer), expected);
            ++expected;
        }
    }
    producer.join();
    // With neither side inside a put or take, every node is on one list.
    EXPECT_EQ(queue.FreeCount(), 16u);
    EXPECT_EQ(queue.UsedCount(), 0u);
}

TEST(ReplyQueue, WaitForFreeSlotReturnsWhenATakeFreesOne)
{
    ReplyQueue queue;
    ASSERT_TRUE(queue.Initialise(1, 16));
    ASSERT_TRUE(queue.Put(Datagram(1, 4)));
    EXPECT_FALSE(queue.WaitForFreeSlot(std::chrono::milliseconds(10)));
    std::thread taker(
        [&]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::vector<std::uint8_t> buffer(16);
            std::size_t length = 0;
            EXPECT_TRUE(queue.Take(buffer, length));
        });
    EXPECT_TRUE(queue.WaitForFreeSlot(std::chrono::seconds(10)));
    taker.join();
}

} // namespace
} // namespace quellis::protocol

namespace quellis::protocol
{
namespace
{

TEST(ReplyQueue, WaitForDatagramReturnsWhenAPutArrivesNotAfterItsTimeOut)
{
    ReplyQueue queue;
    ASSERT_TRUE(queue.Initialise(4, 16));
    EXPECT_FALSE(queue.WaitForDatagram(std::chrono::milliseconds(5)));
    std::thread producer(
        [&]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_TRUE(queue.Put(Datagram(9, 4)));
        });
    // A generous limit: returning true means the put woke it, not the clock.
    EXPECT_TRUE(queue.WaitForDatagram(std::chrono::seconds(30)));
    producer.join();
    EXPECT_EQ(queue.UsedCount(), 1u);
}

} // namespace
} // namespace quellis::protocol

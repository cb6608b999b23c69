#include "protocol/awaited_replies.h"

#include <gtest/gtest.h>

#include <thread>

namespace quellis::protocol
{
namespace
{

using State = AwaitedReplies::State;
using namespace std::chrono_literals;

TEST(AwaitedReplies, AnAnswerClaimsTheOldestMatchingRequestOnce)
{
    AwaitedReplies awaited;
    const auto first = awaited.Await(CommandAnswer(CMD_PoolConfig), "A1B2C3D4E5F6");
    const auto second = awaited.Await(CommandAnswer(CMD_PoolConfig), "A1B2C3D4E5F6");
    const auto setting = awaited.Await(kSettingAnswer, "A1B2C3D4E5F6");
    // Another code, another machine, a prefix of the MAC: nothing.
    EXPECT_EQ(awaited.Claim(CommandAnswer(CMD_WriteE2), "A1B2C3D4E5F6"), AwaitedReplies::kNone);
    EXPECT_EQ(awaited.Claim(CommandAnswer(CMD_PoolConfig), "A1B2C3D4E5F7"), AwaitedReplies::kNone);
    EXPECT_EQ(awaited.Claim(CommandAnswer(CMD_PoolConfig), "A1B2C3D4E5"), AwaitedReplies::kNone);
    EXPECT_EQ(awaited.Claim(CommandAnswer(CMD_PoolConfig), "A1B2C3D4E5F6"), first);
    EXPECT_EQ(awaited.Claim(CommandAnswer(CMD_PoolConfig), "A1B2C3D4E5F6"), second);
    EXPECT_EQ(awaited.Claim(CommandAnswer(CMD_PoolConfig), "A1B2C3D4E5F6"), AwaitedReplies::kNone) << "a copy";
    EXPECT_EQ(awaited.StateOf(setting), State::Awaited);

    // A request being applied stays when its sender gives up; the others go.
    EXPECT_EQ(awaited.Forget(first), State::Claimed);
    awaited.Answered(first);
    EXPECT_EQ(awaited.Forget(first), State::Answered);
    EXPECT_EQ(awaited.StateOf(first), State::Gone);
    EXPECT_EQ(awaited.Forget(setting), State::Awaited);
    EXPECT_EQ(awaited.Claim(kSettingAnswer, "A1B2C3D4E5F6"), AwaitedReplies::kNone);

    // Full: a new request takes the place of the oldest one not being applied.
    std::vector<AwaitedReplies::Ticket> many;
    for (std::size_t i = 0; i < AwaitedReplies::kCapacity; ++i)
    {
        many.push_back(awaited.Await(CommandAnswer(CMD_ReadE2), "M" + std::to_string(i)));
    }
    EXPECT_EQ(awaited.StateOf(second), State::Claimed) << "kept while applied";
    EXPECT_EQ(awaited.StateOf(many[0]), State::Gone);
    EXPECT_EQ(awaited.StateOf(many[1]), State::Awaited);
    EXPECT_EQ(awaited.Claim(CommandAnswer(CMD_ReadE2), "M15"), many[15]);
}

// A late answer is let through once per machine asked, for a minute, from a
// record of fixed size that forged answers cannot grow.
TEST(AwaitedReplies, LateAnswersAreLetThroughOnceAMachineForAMinute)
{
    using Clock = AwaitedReplies::Clock;
    const Clock::time_point t0 {};
    const auto pools = CommandAnswer(CMD_PoolConfig);
    AwaitedReplies awaited;

    // Timed out: its late answer once, and only from the machine asked, of its code.
    awaited.Forget(awaited.Await(pools, "A1B2C3D4E5F6", t0));
    EXPECT_FALSE(awaited.ClaimLate(pools, "FFEEDDCCBBAA", t0 + 1s));
    EXPECT_FALSE(awaited.ClaimLate(CommandAnswer(CMD_ReadE2), "A1B2C3D4E5F6", t0 + 1s));
    EXPECT_TRUE(awaited.ClaimLate(pools, "A1B2C3D4E5F6", t0 + 59s));
    EXPECT_FALSE(awaited.ClaimLate(pools, "A1B2C3D4E5F6", t0 + 59s)) << "a copy";
    // Past the minute: nothing.
    awaited.Forget(awaited.Await(pools, "A1B2C3D4E5F6", t0));
    EXPECT_FALSE(awaited.ClaimLate(pools, "A1B2C3D4E5F6", t0 + AwaitedReplies::kLateFor));
    // Answered on time: no late answer after it.
    const auto onTime = awaited.Await(pools, "0A1B2C3D4E5F", t0);
    EXPECT_EQ(awaited.Claim(pools, "0A1B2C3D4E5F"), onTime);
    awaited.Answered(onTime);
    awaited.Forget(onTime);
    EXPECT_FALSE(awaited.ClaimLate(pools, "0A1B2C3D4E5F", t0 + 1s));

    // Every machine asked: any machine, up to a bound.
    awaited.Forget(awaited.Await(CommandAnswer(CMD_EXECUTE), "FFFFFFFFFFFF", t0));
    int through = 0;
    for (int i = 0; i < 2 * AwaitedReplies::kLateFromEveryMachine; ++i)
    {
        through += awaited.ClaimLate(CommandAnswer(CMD_EXECUTE), "M" + std::to_string(i), t0 + 1s) ? 1 : 0;
    }
    EXPECT_EQ(through, AwaitedReplies::kLateFromEveryMachine);

    // Only the newest requests are remembered.
    for (std::size_t i = 0; i <= AwaitedReplies::kRecentCapacity; ++i)
    {
        awaited.Forget(awaited.Await(CommandAnswer(CMD_ReadE2), "M" + std::to_string(i), t0));
    }
    EXPECT_FALSE(awaited.ClaimLate(CommandAnswer(CMD_ReadE2), "M0", t0 + 1s));
    EXPECT_TRUE(awaited.ClaimLate(CommandAnswer(CMD_ReadE2), "M1", t0 + 1s));
}

// The worker's side against a reply thread played by the test: its own
// answer releases it, another worker's wake-up does not, and an answer
// claimed at the deadline is waited for instead of reported as a time-out.
TEST(AwaitedReplies, AWorkerIsReleasedOnlyByItsOwnAnswer)
{
    AwaitedReplies awaited;
    sync::Event done { sync::EventReset::Auto };
    const auto never = [] { return false; };

    const auto mine = awaited.Await(CommandAnswer(CMD_PoolConfig), "A1B2C3D4E5F6");
    std::thread reply(
        [&]
        {
            done.Set(); // a wake-up that was someone else's
            std::this_thread::sleep_for(50ms);
            const auto claimed = awaited.Claim(CommandAnswer(CMD_PoolConfig), "A1B2C3D4E5F6");
            awaited.Answered(claimed);
            done.Set();
        });
    EXPECT_EQ(WaitForAnswer(awaited, mine, done, 5000ms, never), AwaitResult::Answered);
    reply.join();
    EXPECT_EQ(awaited.StateOf(mine), State::Gone);

    const auto late = awaited.Await(CommandAnswer(CMD_WriteE2), "A1B2C3D4E5F6");
    ASSERT_EQ(awaited.Claim(CommandAnswer(CMD_WriteE2), "A1B2C3D4E5F6"), late);
    std::thread applying(
        [&]
        {
            std::this_thread::sleep_for(150ms); // well past the worker's deadline
            awaited.Answered(late);
            done.Set();
        });
    EXPECT_EQ(WaitForAnswer(awaited, late, done, 10ms, never), AwaitResult::Answered);
    applying.join();

    const auto silent = awaited.Await(CommandAnswer(CMD_ReadE2), "A1B2C3D4E5F6");
    EXPECT_EQ(WaitForAnswer(awaited, silent, done, 20ms, never), AwaitResult::TimedOut);
    EXPECT_EQ(awaited.Claim(CommandAnswer(CMD_ReadE2), "A1B2C3D4E5F6"), AwaitedReplies::kNone) << "too late";
    const auto stopped = awaited.Await(CommandAnswer(CMD_ReadE2), "A1B2C3D4E5F6");
    EXPECT_EQ(WaitForAnswer(awaited, stopped, done, 5000ms, [] { return true; }), AwaitResult::Stopped);
    EXPECT_EQ(awaited.StateOf(stopped), State::Gone);
}

} // namespace
} // namespace quellis::protocol

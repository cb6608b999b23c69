#include "platform/net/wsa_error.h"
#include "poller/machine_health.h"
#include "poller/poll_result.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quellis::poller
{
namespace
{

using namespace std::chrono_literals;
constexpr PollFailure kOk = PollFailure::None;
constexpr PollFailure kTimeout = PollFailure::Timeout;
constexpr PollFailure kRefused = PollFailure::Refused;

// A run of polls as "state:reason" for every change, "-" for none.
std::string Replay(std::vector<PollFailure> outcomes, int grace)
{
    Health health;
    std::string changes;
    for (const PollFailure outcome : outcomes)
    {
        const auto change = ApplyPoll(health, outcome, grace);
        changes += change ? std::string(StateName(change->to)) + ":" + std::string(FailureName(change->reason)) + " "
                          : "- ";
    }
    return changes;
}

TEST(MachineHealth, GoesDownAfterGraceFailuresAndUpAfterOneGoodPoll)
{
    struct Case
    {
        std::vector<PollFailure> outcomes;
        int grace;
        const char* changes;
    };
    const Case cases[] = {
        { { kOk, kOk }, 2, "up: - " },
        { { kTimeout, kRefused, kRefused }, 2, "- down:refused - " },
        { { kOk, kTimeout, kOk, kTimeout, kTimeout, kTimeout, kOk }, 2, "up: - - - down:timeout - up: " },
        { { kOk, kTimeout, kOk }, 1, "up: down:timeout up: " },
        { { kTimeout, kTimeout, kOk, kTimeout, kTimeout }, 3, "- - up: - - " },
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(Replay(c.outcomes, c.grace), c.changes) << "grace " << c.grace;
    }
}

TEST(MachineHealth, SpreadsMachinesOverThePeriodAndKeepsTheirPhase)
{
    const std::chrono::milliseconds period = 10s;
    int perSecond[10] = {};
    for (std::uint32_t address = 0x0A4D8001; address < 0x0A4D8001 + 1000; ++address)
    {
        const auto phase = PhaseOf(address, period);
        ASSERT_GE(phase, 0ms);
        ASSERT_LT(phase, period);
        ++perSecond[phase / 1s];
    }
    for (const int count : perSecond)
    {
        EXPECT_GT(count, 60);
        EXPECT_LT(count, 140);
    }

    const SteadyTime due = SteadyTime {} + 100s;
    EXPECT_EQ(NextDue(due, due + 2s, period), due + period); // on time: same phase
    EXPECT_EQ(NextDue(due, due + 13s, period), due + 13s); // saturated: at once, no burst
}

TEST(PollResult, ReadsRepliesIntoFailureKinds)
{
    struct Case
    {
        std::string reply;
        PollFailure summary;
        PollFailure devs;
        double mhs; // < 0: no hash rate
    };
    const std::string ok = R"({"STATUS":[{"STATUS":"S"}],"SUMMARY":[{"MHS av":13500.25}],"DEVS":[{}]})";
    const Case cases[] = {
        { ok, kOk, kOk, 13500.25 },
        { ok + std::string(1, '\0') + "garbage", kOk, kOk, 13500.25 },
        { R"({"STATUS":[],"SUMMARY":[{"MHS av":0}]})", kOk, kOk, -1 }, // an integer is no hash rate
        { R"({"STATUS":[],"SUMMARY":{}})", kOk, kOk, -1 },
        { R"({"SUMMARY":[{"MHS av":1.5}]})", PollFailure::NoStatus, PollFailure::NoStatus, -1 },
        { "[1,2]", PollFailure::NoStatus, PollFailure::NoStatus, -1 },
        { "not json", PollFailure::ParseError, PollFailure::ParseError, -1 },
        { std::string(2000, '['), PollFailure::ParseError, PollFailure::ParseError, -1 },
    };
    for (const Case& c : cases)
    {
        const SummaryReading summary = ReadSummary(c.reply);
        EXPECT_EQ(summary.failure, c.summary) << c.reply.substr(0, 40);
        EXPECT_EQ(ReadDevs(c.reply), c.devs) << c.reply.substr(0, 40);
        EXPECT_EQ(summary.mhsAv.value_or(-1), c.mhs) << c.reply.substr(0, 40);
    }

    // The pool mining: the first stratum-active one, else the first of
    // priority 0; nothing when neither names a URL and a user.
    const std::pair<std::string, PoolsReading> pools[] = {
        { R"({"STATUS":[],"POOLS":[{"URL":"a","User":"w0","Priority":0,"Stratum Active":false},)"
          R"({"URL":"b","User":"w1","Priority":1,"Stratum Active":true}]})",
            { kOk, "b w1" } },
        { R"({"STATUS":[],"POOLS":[{"URL":"a","User":"w0","Priority":1},{"URL":"c","User":"w2","Priority":0}]})",
            { kOk, "c w2" } },
        { R"({"STATUS":[],"POOLS":[{"URL":"a","Priority":0,"Stratum Active":true},5]})", { kOk, "" } },
        { R"({"STATUS":[],"POOLS":{"POOL":[]}})", { kOk, "" } },
        { R"({"POOLS":[]})", { PollFailure::NoStatus, "" } },
        { "not json", { PollFailure::ParseError, "" } },
    };
    for (const auto& [reply, expected] : pools)
    {
        const PoolsReading reading = ReadPools(reply);
        EXPECT_EQ(reading.failure, expected.failure) << reply;
        EXPECT_EQ(reading.pool, expected.pool) << reply;
    }

    EXPECT_TRUE(IsWholeReply(ok + "\r\n"));
    EXPECT_TRUE(IsWholeReply(std::string("{\"STATUS\":[") + '\0'));
    EXPECT_FALSE(IsWholeReply(R"({"STATUS":[{"A":"}"})"));
    EXPECT_FALSE(IsWholeReply(""));

    EXPECT_EQ(FailureOfSocketError(net::kWsaConnectionRefused), kRefused);
    EXPECT_EQ(FailureOfSocketError(net::kWsaTimedOut), kTimeout);
    EXPECT_EQ(FailureOfSocketError(net::kWsaHostUnreachable), PollFailure::Unreachable);
    EXPECT_EQ(FailureOfSocketError(net::kWsaConnectionReset), PollFailure::Reset);
}

} // namespace
} // namespace quellis::poller

// The poller's reading of a miner API reply, on anything a machine may send:
// whether the bytes so far are a whole reply, and the "summary", "devs" and
// "pools" readings, which must agree on whether the text is JSON with a status.
#include "fuzz/fuzz_check.h"
#include "poller/poll_result.h"

#include <cmath>
#include <string_view>

using namespace quellis::poller;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    [[maybe_unused]] const bool whole = IsWholeReply(reply);
    const SummaryReading summary = ReadSummary(reply);
    const PollFailure devs = ReadDevs(reply);
    Check(summary.failure == PollFailure::None || summary.failure == PollFailure::ParseError
        || summary.failure == PollFailure::NoStatus);
    Check(summary.failure == devs);
    const PoolsReading pools = ReadPools(reply);
    Check(pools.failure == devs);
    Check(pools.pool.empty() || pools.failure == PollFailure::None);
    Check(!summary.mhsAv || summary.failure == PollFailure::None);
    Check(!summary.mhsAv || !std::isnan(*summary.mhsAv));
    return 0;
}

// A machine's miner API answers the monitor with any bytes at all. Beyond not
// crashing, what reaches the log is valid UTF-8 and every outcome has one
// fixed reaction.

#include "fuzz/fuzz_check.h"
#include "monitor/devs_poll.h"
#include "platform/text/codepage.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quellis::monitor;

    const PollOutcome outcome = ReadDevsReply({ reinterpret_cast<const char*>(data), size });
    const Reaction reaction = ReactTo(outcome);
    Check(quellis::text::IsValidUtf8(reaction.log));
    switch (outcome.step)
    {
    case PollStep::ParseFailed:
    case PollStep::StatusOther:
        Check(reaction.log.empty() && !reaction.alarm);
        break;
    case PollStep::NoStatus:
        Check(reaction.log == monitortext::kNoStatus && reaction.alarm);
        break;
    case PollStep::StatusArray:
        Check(!reaction.alarm && std::string_view(reaction.log).ends_with("\r\n"));
        break;
    default:
        Check(false); // the reply alone never gives a socket outcome
    }
    return 0;
}

#include "poller/poll_result.h"

#include "miner/miner_api_client.h"
#include "platform/net/wsa_error.h"

#include <array>

namespace quellis::poller
{

namespace
{

std::string_view UpToNul(std::string_view reply)
{
    return reply.substr(0, reply.find('\0'));
}

PollFailure FailureOfSection(miner::SectionResult result)
{
    switch (result)
    {
    case miner::SectionResult::ParseFailed:
        return PollFailure::ParseError;
    case miner::SectionResult::NoStatus:
        return PollFailure::NoStatus;
    case miner::SectionResult::Ok:
    case miner::SectionResult::NotArray:
        break;
    }
    return PollFailure::None;
}

} // namespace

std::string_view FailureName(PollFailure failure)
{
    static constexpr std::array<std::string_view, kFailureKinds> kNames
        = { "", "refused", "timeout", "unreachable", "reset", "no_data", "parse_error", "no_status" };
    return kNames[static_cast<std::size_t>(failure)];
}

PollFailure FailureOfSocketError(int error)
{
    switch (error)
    {
    case net::kWsaConnectionRefused:
        return PollFailure::Refused;
    case net::kWsaTimedOut:
        return PollFailure::Timeout;
    case net::kWsaNetworkUnreachable:
    case net::kWsaHostUnreachable:
    case net::kWsaHostDown:
    case net::kWsaNetworkDown:
    case net::kWsaAddressNotAvailable:
        return PollFailure::Unreachable;
    default:
        // Reset, aborted, a broken pipe and whatever else ends a connection
        // the machine had accepted.
        return PollFailure::Reset;
    }
}

SummaryReading ReadSummary(std::string_view reply)
{
    const miner::ParsedSection parsed = miner::ParseSection(UpToNul(reply), "SUMMARY");
    SummaryReading reading { FailureOfSection(parsed.result), std::nullopt };
    if (parsed.result == miner::SectionResult::Ok)
    {
        const Json::Value& rate = parsed.section[0u]["MHS av"];
        if (rate.type() == Json::realValue)
        {
            reading.mhsAv = rate.asDouble();
        }
    }
    return reading;
}

PollFailure ReadDevs(std::string_view reply)
{
    return FailureOfSection(miner::ParseSection(UpToNul(reply), "DEVS").result);
}

PoolsReading ReadPools(std::string_view reply)
{
    const miner::ParsedSection parsed = miner::ParseSection(UpToNul(reply), "POOLS");
    PoolsReading reading { FailureOfSection(parsed.result), {} };
    if (parsed.result == miner::SectionResult::Ok)
    {
        if (const auto active = miner::ReadActivePool(parsed.section))
        {
            reading.pool = active->url + " " + active->user;
        }
    }
    return reading;
}

bool IsWholeReply(std::string_view received)
{
    if (received.find('\0') != std::string_view::npos)
    {
        return true;
    }
    const std::size_t last = received.find_last_not_of(" \t\r\n");
    return last != std::string_view::npos && received[last] == '}'
        && miner::ParseSection(received, "").result != miner::SectionResult::ParseFailed;
}

} // namespace quellis::poller

#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// What one poll of a machine's miner API found, as a value: the failure kinds
// that the exporter counts, and the reading of the "summary" and "devs"
// replies (and of "pools", when the poller is asked to read it). The socket work is the poller's; the rules are here.

namespace quellis::poller
{

enum class PollFailure
{
    None,
    Refused, // the connection was refused: the machine is on, its mining software is not listening
    Timeout, // no connection, or no whole reply, within the bound
    Unreachable, // the network has no way to the machine
    Reset, // the machine reset the connection
    NoData, // closed without a byte
    ParseError, // not JSON, or more than a reply may be
    NoStatus, // JSON without "STATUS"
};
inline constexpr std::size_t kFailureKinds = 8;

// "refused", "timeout", …; "" for None.
[[nodiscard]] std::string_view FailureName(PollFailure failure);

// The failure kind of a socket error (a Windows Sockets number).
[[nodiscard]] PollFailure FailureOfSocketError(int error);

// The requests, exactly as the mining software expects them.
inline constexpr std::string_view kSummaryRequest = R"({"parameter": "", "command": "summary"})";
inline constexpr std::string_view kDevsRequest = R"({"command":"devs"})";
inline constexpr std::string_view kPoolsRequest = R"({"parameter": "", "command": "pools"})";

struct SummaryReading
{
    PollFailure failure = PollFailure::None;
    std::optional<double> mhsAv; // "MHS av" of the first element, when a real number
};

// The received bytes of a reply, up to the first NUL among them.
[[nodiscard]] SummaryReading ReadSummary(std::string_view reply);
// A "devs" reply answers when it is JSON with a "STATUS".
[[nodiscard]] PollFailure ReadDevs(std::string_view reply);

struct PoolsReading
{
    PollFailure failure = PollFailure::None;
    std::string pool; // "URL user" of the pool mining; "" when the reply names none
};
[[nodiscard]] PoolsReading ReadPools(std::string_view reply);

// True when the bytes received so far are a whole reply, so that the poller
// need not wait for the machine to close: a NUL after the JSON, or a text
// that ends in a closing brace and parses.
[[nodiscard]] bool IsWholeReply(std::string_view received);

} // namespace quellis::poller

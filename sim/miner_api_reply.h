#pragma once

#include "sim/pool_config.h"
#include "sim/scenario.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// The simulated mining software's answer to one API request, shaped as
// mining software answers: one JSON object with a "STATUS" array (element 0
// carries "STATUS" "S" or "E", "When", "Code", "Msg" and "Description") and
// the section of the command: "SUMMARY", "DEVS", "POOLS", "VERSION".

namespace quellis::sim
{

// Our own status codes; the tool reads only "STATUS" and the sections.
inline constexpr int kCodeSummary = 201;
inline constexpr int kCodeDevs = 202;
inline constexpr int kCodePools = 203;
inline constexpr int kCodeVersion = 204;
inline constexpr int kCodeWarnSafe = 210;
inline constexpr int kCodeInvalidCommand = 400;
inline constexpr int kCodeInvalidJson = 401;
inline constexpr int kCodeInvalidParameter = 402;
inline constexpr int kCodeMissingCommand = 403;

struct TemperatureLimits
{
    std::int32_t low = 0;
    std::int32_t high = 0;

    friend bool operator==(const TemperatureLimits&, const TemperatureLimits&) = default;
};

// What the mining software of one machine knows when it answers.
struct MinerView
{
    std::string_view description; // "farmminer 4.2.0"
    std::int64_t elapsedSeconds = 0;
    double mhsAv = 0;
    std::int32_t temperature = 0;
    int chains = 3;
    std::span<const PoolEntry> pools;
    TemperatureLimits limits;
};

enum class ApiAction
{
    Answer, // send reply (in one piece unless split), then close
    Close, // close without sending anything
    Reset, // close with a reset, sending nothing
    Silent, // keep the connection and never answer
};

// The pause between the two pieces of a split reply.
inline constexpr int kSplitPauseMs = 200;
// A huge reply is exactly this long.
inline constexpr std::size_t kHugeReplySize = 1024 * 1024;
// How deep a deep reply nests its sections.
inline constexpr std::size_t kDeepNesting = 100000;

struct ApiOutcome
{
    ApiAction action = ApiAction::Answer;
    std::string reply;
    // Answer: when not 0, the reply goes in two pieces, the first this long.
    std::size_t firstPiece = 0;
    std::optional<TemperatureLimits> newLimits; // "pgasetwarnsafe" accepted
};

// True once the text received so far is a whole JSON value. The tool sends no
// terminator, so this is how the machine knows that a request is complete.
[[nodiscard]] bool IsCompleteApiRequest(std::string_view received);

// The answer to a request text (possibly invalid JSON: the tool does not
// escape what the operator typed), under the machine's API fault. appendNul
// adds the NUL byte that some mining software sends after its JSON.
[[nodiscard]] ApiOutcome ComposeApiReply(
    std::string_view request, ApiMode mode, const MinerView& miner, std::int64_t unixTime, bool appendNul);

// The temperature limits of a "pgasetwarnsafe" parameter "low,high".
[[nodiscard]] std::optional<TemperatureLimits> ParseTemperatureLimits(std::string_view parameter);

} // namespace quellis::sim

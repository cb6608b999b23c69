#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The pool list a machine receives with CMD_PoolConfig:
//   {"pools":[{"url":"U","user":"W","pass":"P"},...]}
// The tool puts URLs, workers and passwords in as typed, without JSON
// escaping, so a text that is not valid JSON is still read when it has the
// tool's exact shape.

namespace quellis::sim
{

struct PoolEntry
{
    std::string url;
    std::string user;
    std::string pass;

    friend bool operator==(const PoolEntry&, const PoolEntry&) = default;
};

// The pools in priority order (first = highest), without the empty slots the
// tool sends for disabled rows; nothing when the text cannot be read. The
// text ends at its first NUL.
[[nodiscard]] std::optional<std::vector<PoolEntry>> ParsePoolText(std::string_view text);

} // namespace quellis::sim

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Times as the farm view and the command line show and take them: local
// time, "2026-12-07 17:45:00".

namespace quellis::farm
{

[[nodiscard]] std::string LocalTimeText(std::int64_t unixTime);

// A point in time given by a person or a script: "2026-12-07",
// "2026-12-07 17:45", "2026-12-07T17:45:00" (local time), a span back from
// `now` ("90s", "30m", "2h", "7d"), or Unix seconds ("1796000000").
[[nodiscard]] std::optional<std::int64_t> ParseTimeText(std::string_view text, std::int64_t now);

} // namespace quellis::farm

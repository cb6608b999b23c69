#pragma once

#include <string>
#include <string_view>

namespace quellis::text
{

// One field of a CSV record: as it is, or quoted (with its quotes doubled)
// when it holds a comma, a quote or a line break.
[[nodiscard]] std::string CsvField(std::string_view text);

} // namespace quellis::text

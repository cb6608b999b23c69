#pragma once

#include <filesystem>
#include <string_view>

namespace quellis::app
{

// The log file, named relatively: it lives in the process's current directory.
inline constexpr const char* kLogFileName = "log.txt";

// Appends exactly the code page 936 bytes of a text (given in UTF-8): no time
// stamp, no separator, no line break of its own. The file is opened and closed
// for each write, so other programs may read or delete it in between. False
// when it cannot be opened; nobody is told.
[[nodiscard]] bool AppendToLogFile(std::string_view text, const std::filesystem::path& file = kLogFileName);

} // namespace quellis::app

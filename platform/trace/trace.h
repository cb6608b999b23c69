#pragma once

#include <string_view>

// The debugger output. Silent unless QUELLIS_TRACE is set in the environment:
// "1" (or any other text) writes to standard error, a value starting with "/"
// appends to that file. Each call is written whole, so lines of two threads do
// not mix.

namespace quellis::trace
{

void OutputDebugString(std::string_view text);

// printf-style convenience for traces with values.
void OutputDebugStringF(const char* format, ...) __attribute__((format(printf, 1, 2)));

[[nodiscard]] bool Enabled();

} // namespace quellis::trace

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

// A step of the start-up: "start-up   12.3 ms  <name>\n", the milliseconds
// since the process started (the time before the program's own code ran,
// loading and linking the libraries, counted as the CPU time it took). Steps
// after the last one are not written: code shared with later windows may mark
// steps too. Costs one test when tracing is off.
void StartupStep(std::string_view name);
void LastStartupStep(std::string_view name);

} // namespace quellis::trace

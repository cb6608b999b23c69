#pragma once

#include <filesystem>
#include <optional>

// Where the instance lock and the window classes live. Without the variable
// QUELLIS_RUNTIME_DIR they are machine-wide, as the program needs them. With
// it (an existing directory) they live in that directory, apart from everyone
// else's: each test process names one of its own, so that its tests and the
// quellis processes they start neither see nor disturb a quellis running on
// the machine or another test process.

namespace quellis::instance
{

inline constexpr const char* kRuntimeDirectoryVariable = "QUELLIS_RUNTIME_DIR";

// The directory QUELLIS_RUNTIME_DIR names; nothing when it is unset or empty.
// Read at each call, so that a process may change it.
[[nodiscard]] std::optional<std::filesystem::path> PrivateRuntimeDirectory();

} // namespace quellis::instance

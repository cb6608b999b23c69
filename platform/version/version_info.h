#pragma once

#include "platform/version/version_record.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

// The calls the About box makes to show the version of the running program,
// reading the record from the program's file as the system's version API does.

namespace quellis::version
{

// The running executable, with links resolved; empty when it cannot be told.
// After the file was replaced or removed on disk it names no file any more.
[[nodiscard]] std::filesystem::path ModuleFileName();

// A path that opens the file the running program was started from, also
// after an update replaced or removed it on disk: where the program's own
// version record is read.
[[nodiscard]] std::filesystem::path RunningProgramImage();

// The size of the file's version block; 0 when it has none (not a program,
// no record, a damaged file, or no such file).
[[nodiscard]] std::size_t VersionInfoSize(const std::filesystem::path& file);

// The file's version block, for QueryRootBlock. False, with `block` as it
// was, when VersionInfoSize would be 0.
[[nodiscard]] bool ReadVersionInfo(const std::filesystem::path& file, std::vector<std::uint8_t>& block);

} // namespace quellis::version

#pragma once

#include "platform/version/version_record.h"

#include <string>
#include <string_view>

// The version of this build, one number for the three programs and the
// package: the project's version in the top CMakeLists.txt, given to every
// file that includes this as QUELLIS_VERSION_MAJOR/MINOR/PATCH/TWEAK.

// The executable's record with that version as file and product version.
#define QUELLIS_DEFINE_PROGRAM_VERSION_RECORD()                                                                        \
    QUELLIS_DEFINE_VERSION_RECORD(QUELLIS_VERSION_MAJOR,                                                               \
        QUELLIS_VERSION_MINOR,                                                                                         \
        QUELLIS_VERSION_PATCH,                                                                                         \
        QUELLIS_VERSION_TWEAK,                                                                                         \
        QUELLIS_VERSION_MAJOR,                                                                                         \
        QUELLIS_VERSION_MINOR,                                                                                         \
        QUELLIS_VERSION_PATCH,                                                                                         \
        QUELLIS_VERSION_TWEAK)

namespace quellis::version
{

// "a.b.c.d", the product version of a record.
[[nodiscard]] std::string ProductVersionText(const FixedFileInfo& info);

// What `--version` prints: "<program> a.b.c.d" from the running program's
// own record, the one the About box shows; "<program> (no version record)"
// for a file without one.
[[nodiscard]] std::string VersionLine(std::string_view program);

} // namespace quellis::version

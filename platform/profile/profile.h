#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

// The private-profile functions on an ini file such as config.ini. Names and
// values are UTF-8 here and code page 936 in the file. The file is opened and
// read on every call, with nothing cached: the operator and other programs
// edit it while the tool runs. The line rules are in profile_text.h.

namespace quellis::profile
{

// At most bufferSize - 1 bytes of the value as stored are kept, as in a
// Windows buffer of bufferSize characters, cut before a double-byte character
// rather than through it. The default (trailing spaces removed, as Windows
// does) when the file, the section or the key is absent.
[[nodiscard]] std::string ReadProfileString(std::string_view section,
    std::string_view key,
    std::string_view defaultValue,
    const std::filesystem::path& file,
    std::size_t bufferSize = 260);

// The value's integer by ParseProfileInt: "" and "abc" are 0, overflow wraps
// modulo 2^32. The default only when the key is absent.
[[nodiscard]] int ReadProfileInt(
    std::string_view section, std::string_view key, int defaultValue, const std::filesystem::path& file);

// Creates the file when absent and keeps every line but the key's as it was.
// The new file replaces the old one by rename, so a reader or a crash sees the
// old file or the new one, never part of one. Writers in this process are
// serialised; another program writing at the same moment may still lose its
// change or ours, as on Windows. False when the names cannot be written (see
// SetProfileValue) or the file cannot be read or replaced.
[[nodiscard]] bool WriteProfileString(
    std::string_view section, std::string_view key, std::string_view value, const std::filesystem::path& file);

} // namespace quellis::profile

#pragma once

#include <optional>
#include <string>
#include <string_view>

// The private-profile rules as pure functions over the bytes of an ini file.
// Everything here is code page 936 bytes, as on disk; profile.h converts names
// and values at the file boundary.
//
// Lines end at LF, a CR before it belonging to the line ending. A line whose
// first non-blank byte is '[' and that has a ']' is a section header; any other
// line with a '=' and a non-blank name before it is a key. Names and values are
// trimmed of blanks; names compare without regard to ASCII case.

namespace quellis::profile
{

// ASCII letters fold, double-byte characters compare exactly: the second byte
// of one may be an ASCII letter ("丄" is 81 41, "乤" is 81 61).
[[nodiscard]] bool ProfileNamesEqual(std::string_view left, std::string_view right);

// The value of key in the first section called section (a later section of the
// same name is not searched), trimmed, without one pair of enclosing double or
// single quotes; nullopt when that section has no such key. The view points
// into text.
[[nodiscard]] std::optional<std::string_view> FindProfileValue(
    std::string_view text, std::string_view section, std::string_view key);

// The file with key set to value. An existing key's line becomes
// "<key as spelt there>=<value>" with that line's own ending; a missing key goes
// after the last non-blank line of the section; a missing section is appended.
// New lines end in CR LF, as the Windows tool writes them; every other byte is
// kept. nullopt when section or key is empty, holds a line break, or would not
// read back as itself (a key with '=' or starting with '[', a section with ']'),
// or when value holds a line break.
[[nodiscard]] std::optional<std::string> SetProfileValue(
    std::string_view text, std::string_view section, std::string_view key, std::string_view value);

// The integer of a value: blanks, an optional sign, then the leading decimal
// digits; no digits is 0 ("12abc" is 12, "abc" is 0). Like the Windows parse
// the digits are gathered in 32 bits without an overflow check, so the result
// wraps modulo 2^32 ("4294967295" is -1, "2147483648" is INT_MIN).
[[nodiscard]] int ParseProfileInt(std::string_view value);

} // namespace quellis::profile

#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Which machines a command works on: MAC texts, addresses, the machines of a
// file written by `search` (CSV or JSON) or one address or MAC per line, or
// all. No selection is an error, never "all" by default.

namespace quellis::cli
{

struct Selection
{
    std::set<std::string> macs; // 12 hexadecimal digits, upper case
    std::set<std::string> ips; // dotted
    bool all = false;

    [[nodiscard]] bool Empty() const { return !all && macs.empty() && ips.empty(); }
    // A row matches by its MAC or its address (every row when all).
    [[nodiscard]] bool Matches(std::string_view ip, std::string_view mac) const;
};

// "a1:b2:c3:d4:e5:f6", "A1-B2-…" and "a1b2c3d4e5f6" give "A1B2C3D4E5F6";
// anything else gives "".
[[nodiscard]] std::string NormaliseMac(std::string_view text);
[[nodiscard]] bool IsDottedAddress(std::string_view text);

// Adds one --mac or --ip value (a comma-separated list is several, and an
// address may be a range, 10.77.128.1-10.77.128.50 or 10.77.128.1-50); false
// with a reason for a value that is neither.
inline constexpr std::uint32_t kMostInRange = 65536;
bool AddMacs(std::string_view values, Selection& selection, std::string* error);
bool AddIps(std::string_view values, Selection& selection, std::string* error);
// Adds the machines of a file: a CSV with "mac" and/or "ip" columns, a JSON
// array of objects with "mac" and/or "ip" members, or one address or MAC per
// line (blank lines and lines starting with # are skipped).
bool AddFromText(std::string_view text, Selection& selection, std::string* error);
bool AddFromFile(const std::string& path, Selection& selection, std::string* error);

} // namespace quellis::cli

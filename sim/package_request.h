#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The text a machine sends first on its package download connection:
// "1:<packet number, hex>:<name>:96:<start offset, hex>" (version 1, command
// 96 = file data). The tool's server reads at most 259 bytes of it and keeps
// at most 31 characters of the name.

namespace quellis::sim
{

inline constexpr int kPackageRequestVersion = 1;
inline constexpr int kRequestFileData = 96;
inline constexpr std::size_t kMaxPackageNameLength = 31;

// The name loses any ':' (the field separator) and is cut to 31 characters.
[[nodiscard]] std::string FormatPackageRequest(
    std::uint32_t packetNumber, std::string_view name, std::uint64_t startOffset);

} // namespace quellis::sim

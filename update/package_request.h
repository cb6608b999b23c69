#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The text a machine sends first on its package download connection: five
// fields separated by ':' (version, packet number, name, command, start
// offset), e.g. "1:3f2:miner:96:0". A run of ':' is one separator and leading
// ':' are skipped, so there are no empty fields. The text comes from anyone
// on the LAN: it is read by length, never past what arrived.

namespace quellis::update
{

// At most this many bytes of a request are read.
inline constexpr std::size_t kMaxRequestBytes = 259;
// The name keeps at most this many characters.
inline constexpr std::size_t kMaxRequestNameLength = 31;

// Commands, after their low 8 bits are taken.
inline constexpr int REQ_FILE_DATA = 96;
inline constexpr int REQ_DIRECTORY = 98;

struct PackageRequest
{
    int command = 0; // REQ_FILE_DATA or REQ_DIRECTORY
    std::uint32_t packetNumber = 0;
    std::string name;
    std::uint64_t startOffset = 0; // 0 for REQ_DIRECTORY
};

// The request, or nothing when it is not a valid one: version other than 1,
// a missing field, a command other than the two, a file request without its
// offset. The text ends at its first NUL, as the C string it stands for.
[[nodiscard]] std::optional<PackageRequest> ParsePackageRequest(std::string_view text);

} // namespace quellis::update

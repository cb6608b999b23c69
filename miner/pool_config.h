#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

// The pool settings: the four slots the pool settings dialog gives the pool
// configuration run, the pool text sent to each machine, the [POOLS] keys of
// config.ini, and the series of pool files made from a template.

namespace quellis::miner
{

inline constexpr std::size_t kPoolSlotCount = 4;

// Suffix types of a pool row: the worker gets ".AxBxCxD" of the machine's
// address; the hidden "existing worker" choice; none.
inline constexpr int kSuffixIp = 0;
inline constexpr int kSuffixExistingWorker = 1;
inline constexpr int kSuffixNone = 2;

struct PoolSlot
{
    bool enabled = false;
    std::string url;
    std::string worker;
    std::string password;
    int suffixMode = kSuffixIp;
};

using PoolSlots = std::array<PoolSlot, kPoolSlotCount>;

// {"pools":[...four elements...]} for the machine at ip: a disabled slot is
// an empty element; texts go in as typed, without escaping.
[[nodiscard]] std::string BuildPoolText(const PoolSlots& poolSlots, std::string_view ip);

// The longest text BuildPoolText can give for these slots, whatever the
// address: what must fit into the packet before a run may start.
[[nodiscard]] std::size_t LongestPoolText(const PoolSlots& poolSlots);

// One row of [POOLS]: the texts and the suffix type (TYPEn) as stored.
struct PoolRowSetting
{
    std::string url;
    std::string worker;
    std::string password;
    int type = kSuffixIp;
};

using PoolRowSettings = std::array<PoolRowSetting, kPoolSlotCount>;

[[nodiscard]] PoolRowSettings ReadPoolSettings(const std::filesystem::path& config);
// Failures to write are not reported, as the dialog's OK never did.
void WritePoolSettings(const PoolRowSettings& rows, const std::filesystem::path& config);

inline constexpr std::string_view kPoolTemplateName = "cgminer.conf.xtc";
inline constexpr int kPoolFileCount = 120;

enum class PoolFilesResult
{
    Written, // files that could not be created were passed over
    TemplateMissing,
};

// The name of pool file i: "cgminer.conf<i>.xtc".
[[nodiscard]] std::string PoolFileName(int index);
// The bytes of pool file i for a template (as the file holds it).
[[nodiscard]] std::string PoolFileText(int index, std::string_view templateBytes);
// Writes the 120 pool files into directory from its template file.
[[nodiscard]] PoolFilesResult GeneratePoolFiles(const std::filesystem::path& directory);

} // namespace quellis::miner

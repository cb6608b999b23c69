#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

// Every key of config.ini with its section and its default, in one table.
// The file is read at each call: the operator edits it while the tool runs.

namespace quellis::core
{

struct IntSetting
{
    const char* section;
    const char* key;
    int defaultValue;
};

struct TextSetting
{
    const char* section;
    const char* key;
    const char* defaultValue;
    // The reader's buffer in bytes: at most one less is kept.
    std::size_t bufferSize = 260;
};

namespace settings
{
inline constexpr IntSetting kToolType { "COMMON", "TOOLTYPE", 2 };
inline constexpr IntSetting kLanguage { "COMMON", "LANG", 1 };
inline constexpr IntSetting kListen { "COMMON", "LISTEN", 0 };
inline constexpr IntSetting kInterval { "COMMON", "INTERVAL", 2000 };
inline constexpr IntSetting kNetmask { "COMMON", "NETMASK", -1 };
inline constexpr IntSetting kIpBegin { "COMMON", "IPBEGIN", -1 };
inline constexpr IntSetting kIpEnd { "COMMON", "IPEND", -1 };
// [SCAN]: address ranges behind routers that each search also scans, and the
// pace of that scan in addresses per second. Absent: the broadcast alone.
inline constexpr TextSetting kScanRanges { "SCAN", "RANGES", "", 4096 };
inline constexpr TextSetting kScanRate { "SCAN", "RATE", "", 32 };
// [VIEW]: the farm view (FARM=1): every machine seen kept in the list, the
// poller at PERIOD seconds with at most CONCURRENCY connections, a machine
// down after GRACE failed polls, on the API port APIPORT. FARM=0 is the plain
// device list.
inline constexpr IntSetting kFarmView { "VIEW", "FARM", 0 };
inline constexpr IntSetting kFarmPeriod { "VIEW", "PERIOD", 10 };
inline constexpr IntSetting kFarmConcurrency { "VIEW", "CONCURRENCY", 256 };
inline constexpr IntSetting kFarmGrace { "VIEW", "GRACE", 2 };
// The miners' API port the farm view polls.
inline constexpr IntSetting kFarmApiPort { "VIEW", "APIPORT", 4029 };
inline constexpr TextSetting kQrCodeMark { "PRODUCE", "erweima", "ZUN", 50 };
inline constexpr TextSetting kOneDCodeMark { "PRODUCE", "yiweima", "KAVDRUP", 50 };

// [POOLS]: the four pool rows of the pool settings dialog, written back on its
// OK. The defaults are placeholders for the operator to replace: no real
// wallet and no real account.
inline constexpr std::size_t kPoolRows = 4;
inline constexpr std::size_t kPoolTextBuffer = 500;
inline constexpr TextSetting kPoolUrl[kPoolRows] = {
    { "POOLS", "URL1", "stratum+tcp://eu.pool.example.net:9560", kPoolTextBuffer },
    { "POOLS", "URL2", "stratum+tcp://us.pool.example.net:3272", kPoolTextBuffer },
    { "POOLS", "URL3", "stratum+tcp://asia.pool.example.org:5730", kPoolTextBuffer },
    { "POOLS", "URL4", "stratum+tcp://backup.pool.example.org:3256", kPoolTextBuffer },
};
inline constexpr TextSetting kPoolWorker[kPoolRows] = {
    { "POOLS", "WORKER1", "YOUR_WALLET_ADDRESS", kPoolTextBuffer },
    { "POOLS", "WORKER2", "YOUR_WALLET_ADDRESS", kPoolTextBuffer },
    { "POOLS", "WORKER3", "YOUR_WALLET_ADDRESS", kPoolTextBuffer },
    { "POOLS", "WORKER4", "farmaccount.0", kPoolTextBuffer },
};
inline constexpr TextSetting kPoolPassword[kPoolRows] = {
    { "POOLS", "PASSWORD1", "x", kPoolTextBuffer },
    { "POOLS", "PASSWORD2", "x", kPoolTextBuffer },
    { "POOLS", "PASSWORD3", "x", kPoolTextBuffer },
    { "POOLS", "PASSWORD4", "x", kPoolTextBuffer },
};
// 0 "IP", 1 "原有矿工", anything else "无".
inline constexpr IntSetting kPoolType[kPoolRows] = {
    { "POOLS", "TYPE1", 0 },
    { "POOLS", "TYPE2", 0 },
    { "POOLS", "TYPE3", 0 },
    { "POOLS", "TYPE4", 0 },
};
} // namespace settings

// Tool types of [COMMON] TOOLTYPE.
inline constexpr int kToolTypeBare = 0;
inline constexpr int kToolTypeListening = 2;

[[nodiscard]] int ReadSetting(const IntSetting& setting, const std::filesystem::path& config);
[[nodiscard]] std::string ReadSetting(const TextSetting& setting, const std::filesystem::path& config);
// False when the file cannot be written.
[[nodiscard]] bool WriteSetting(const IntSetting& setting, int value, const std::filesystem::path& config);
[[nodiscard]] bool WriteSetting(
    const TextSetting& setting, std::string_view value, const std::filesystem::path& config);

} // namespace quellis::core

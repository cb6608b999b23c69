#pragma once

#include <filesystem>
#include <string>

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
inline constexpr TextSetting kQrCodeMark { "PRODUCE", "erweima", "ZUN" };
inline constexpr TextSetting kOneDCodeMark { "PRODUCE", "yiweima", "KAVDRUP" };
} // namespace settings

// Tool types of [COMMON] TOOLTYPE.
inline constexpr int kToolTypeBare = 0;
inline constexpr int kToolTypeListening = 2;

[[nodiscard]] int ReadSetting(const IntSetting& setting, const std::filesystem::path& config);
[[nodiscard]] std::string ReadSetting(const TextSetting& setting, const std::filesystem::path& config);
// False when the file cannot be written.
[[nodiscard]] bool WriteSetting(const IntSetting& setting, int value, const std::filesystem::path& config);
[[nodiscard]] bool WriteSetting(const TextSetting& setting, std::string_view value, const std::filesystem::path& config);

} // namespace quellis::core

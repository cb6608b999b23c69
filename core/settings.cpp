#include "core/settings.h"

#include "platform/profile/profile.h"

namespace quellis::core
{

int ReadSetting(const IntSetting& setting, const std::filesystem::path& config)
{
    return profile::ReadProfileInt(setting.section, setting.key, setting.defaultValue, config);
}

std::string ReadSetting(const TextSetting& setting, const std::filesystem::path& config)
{
    return profile::ReadProfileString(setting.section, setting.key, setting.defaultValue, config, setting.bufferSize);
}

bool WriteSetting(const IntSetting& setting, int value, const std::filesystem::path& config)
{
    return profile::WriteProfileString(setting.section, setting.key, std::to_string(value), config);
}

bool WriteSetting(const TextSetting& setting, std::string_view value, const std::filesystem::path& config)
{
    return profile::WriteProfileString(setting.section, setting.key, value, config);
}

} // namespace quellis::core

#include "farm/time_text.h"

#include <charconv>
#include <ctime>

namespace quellis::farm
{

std::string LocalTimeText(std::int64_t unixTime)
{
    const auto time = static_cast<std::time_t>(unixTime);
    std::tm local {};
    if (localtime_r(&time, &local) == nullptr)
    {
        return {};
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::optional<std::int64_t> ParseTimeText(std::string_view text, std::int64_t now)
{
    const auto number = [](std::string_view digits) -> std::optional<std::int64_t>
    {
        std::int64_t value = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || value < 0)
        {
            return std::nullopt;
        }
        return value;
    };
    if (text.empty())
    {
        return std::nullopt;
    }
    if (const auto seconds = number(text); seconds && text.size() > 4)
    {
        return seconds;
    }
    constexpr std::string_view kUnits = "smhd";
    constexpr std::int64_t kUnitSeconds[] = { 1, 60, 3600, 86400 };
    if (const std::size_t unit = kUnits.find(text.back()); unit != std::string_view::npos)
    {
        const auto count = number(text.substr(0, text.size() - 1));
        // Up to about thirty years back.
        if (!count || *count > 1'000'000'000 / kUnitSeconds[unit])
        {
            return std::nullopt;
        }
        return now - *count * kUnitSeconds[unit];
    }
    // YYYY-MM-DD[( |T)HH:MM[:SS]], each field its fixed width.
    if (text.size() != 10 && text.size() != 16 && text.size() != 19)
    {
        return std::nullopt;
    }
    const auto field = [&](std::size_t at, std::size_t width, std::int64_t low, std::int64_t high)
    {
        const auto value = number(text.substr(at, width));
        return value && *value >= low && *value <= high ? value : std::nullopt;
    };
    std::tm local {};
    const auto year = field(0, 4, 1970, 9999);
    const auto month = field(5, 2, 1, 12);
    const auto day = field(8, 2, 1, 31);
    if (!year || !month || !day || text[4] != '-' || text[7] != '-')
    {
        return std::nullopt;
    }
    local.tm_year = static_cast<int>(*year - 1900);
    local.tm_mon = static_cast<int>(*month - 1);
    local.tm_mday = static_cast<int>(*day);
    if (text.size() > 10)
    {
        const auto hour = field(11, 2, 0, 23);
        const auto minute = field(14, 2, 0, 59);
        const auto second = text.size() == 19 ? field(17, 2, 0, 60) : std::optional<std::int64_t>(0);
        if ((text[10] != ' ' && text[10] != 'T') || text[13] != ':' || (text.size() == 19 && text[16] != ':') || !hour
            || !minute || !second)
        {
            return std::nullopt;
        }
        local.tm_hour = static_cast<int>(*hour);
        local.tm_min = static_cast<int>(*minute);
        local.tm_sec = static_cast<int>(*second);
    }
    local.tm_isdst = -1;
    const std::time_t time = std::mktime(&local);
    if (time == static_cast<std::time_t>(-1))
    {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(time);
}

} // namespace quellis::farm

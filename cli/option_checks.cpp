#include "cli/option_checks.h"

#include "cli/output.h"

#include <charconv>
#include <cstdlib>

namespace quellis::cli
{

CLI::Validator Checked(std::function<std::optional<std::string>(const std::string&)> read, std::string why)
{
    return CLI::Validator(
        [read = std::move(read), why = std::move(why)](std::string& value) -> std::string
        {
            auto handed = read(value);
            if (!handed)
            {
                return why;
            }
            value = std::move(*handed);
            return {};
        },
        "");
}

CLI::Validator WholeNumber(long long low, long long high, std::string why)
{
    return Checked(
        [low, high](const std::string& text) -> std::optional<std::string>
        {
            long long value = 0;
            const char* end = text.data() + text.size();
            const auto [stop, error] = std::from_chars(text.data(), end, value);
            if (text.empty() || error != std::errc() || stop != end || value < low || value > high)
            {
                return std::nullopt;
            }
            return std::to_string(value);
        },
        std::move(why));
}

CLI::Validator Seconds(double low, double high, std::string why)
{
    return Checked(
        [low, high](const std::string& text) -> std::optional<std::string>
        {
            char* end = nullptr;
            const double seconds = std::strtod(text.c_str(), &end);
            // Written so that not-a-number fails too.
            if (end == text.c_str() || *end != '\0' || !(seconds >= low && seconds <= high))
            {
                return std::nullopt;
            }
            return text;
        },
        std::move(why));
}

CLI::Validator FormatName()
{
    return Checked(
        [](const std::string& text) -> std::optional<std::string>
        {
            const auto format = ParseFormat(text);
            return format ? std::optional(std::to_string(static_cast<int>(*format))) : std::nullopt;
        },
        "--format is table, csv or json");
}

std::string UsageMessage(const CLI::Error& error)
{
    std::string text = error.what();
    // "--wait: --wait takes seconds" reads "--wait takes seconds".
    if (const std::size_t colon = text.find(": "); colon != std::string::npos)
    {
        const std::string name = text.substr(0, colon);
        if (text.compare(colon + 2, name.size() + 1, name + " ") == 0)
        {
            text.erase(0, colon + 2);
        }
    }
    return text;
}

std::string Leftover(const CLI::App& app)
{
    const std::vector<std::string> left = app.remaining(true);
    std::string unexpected;
    bool positionalOnly = false;
    for (const std::string& argument : left)
    {
        // CLI11 keeps the positional mark among what nothing took.
        if (argument == "--")
        {
            positionalOnly = true;
            continue;
        }
        if (!positionalOnly && argument.starts_with("-"))
        {
            return "unknown option: " + argument.substr(0, argument.find('='));
        }
        if (unexpected.empty())
        {
            unexpected = "unexpected argument: " + argument;
        }
    }
    return unexpected;
}

} // namespace quellis::cli

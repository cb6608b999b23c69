#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The arguments of one subcommand: options (--name value, --name=value, or a
// bare --flag) and positional values, taken as the command asks for them;
// whatever is left over is a usage error.

namespace quellis::cli
{

inline constexpr int kExitOk = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitUsage = 2;

class Arguments
{
public:
    explicit Arguments(std::vector<std::string> args);

    [[nodiscard]] bool Flag(std::string_view name);
    // The value of the last --name; a --name without a value is an error.
    [[nodiscard]] std::optional<std::string> Value(std::string_view name);
    // Every --name's value, in order.
    [[nodiscard]] std::vector<std::string> Values(std::string_view name);
    // The positional values, in order.
    [[nodiscard]] std::vector<std::string> Positional();

    // The first error met (an option without its value, an unknown option),
    // or "" when there was none; call after taking everything.
    [[nodiscard]] std::string Error() const;

private:
    struct Item
    {
        std::string name; // "" for a positional value
        std::optional<std::string> value;
        bool taken = false;
    };
    std::vector<Item> items_;
    std::string error_;
};

} // namespace quellis::cli

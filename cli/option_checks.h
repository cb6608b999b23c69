#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <optional>
#include <string>

// The checks the commands' options carry: each refuses a bad value with the
// sentence an operator reads (it names the option), and hands a good one on
// in the form the option's type reads.

namespace quellis::cli
{

// `read` gives the text to hand on, or nothing for a value refused with `why`.
[[nodiscard]] CLI::Validator Checked(
    std::function<std::optional<std::string>(const std::string&)> read, std::string why);

// A whole decimal number from low to high ("010" is ten, never octal): a
// transform, since it hands the number on rewritten.
[[nodiscard]] CLI::Validator WholeNumber(long long low, long long high, std::string why);

// Seconds from low to high, fractions too.
[[nodiscard]] CLI::Validator Seconds(double low, double high, std::string why);

// table, csv or json, for an option of type Format.
[[nodiscard]] CLI::Validator FormatName();

// The message of a usage error as printed after the command's name: a check's
// sentence already names its option and is not prefixed with it again.
[[nodiscard]] std::string UsageMessage(const CLI::Error& error);

// The first argument nothing took, as a usage error ("unknown option: --colour",
// "unexpected argument: extra"); "" when everything was taken.
[[nodiscard]] std::string Leftover(const CLI::App& app);

} // namespace quellis::cli

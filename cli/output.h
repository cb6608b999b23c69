#pragma once

#include "platform/text/csv_field.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Results as the command line prints them: an aligned table for people, CSV
// and JSON for scripts. UTF-8 throughout.

namespace quellis::cli
{

enum class Format
{
    Table,
    Csv,
    Json,
};

[[nodiscard]] std::optional<Format> ParseFormat(std::string_view text);

struct Column
{
    std::string header; // the table's and the CSV's header
    std::string key; // the JSON member
    bool number = false; // JSON: written without quotes
};

struct Results
{
    std::vector<Column> columns;
    std::vector<std::vector<std::string>> rows;
};

void Print(const Results& results, Format format, std::FILE* out);

// Pieces, for tests and for other writers.
using text::CsvField;
[[nodiscard]] std::string JsonString(std::string_view text);
// The display width of a UTF-8 text: CJK characters take two columns.
[[nodiscard]] std::size_t DisplayWidth(std::string_view text);

} // namespace quellis::cli

#include "cli/output.h"

#include <algorithm>

namespace quellis::cli
{

std::optional<Format> ParseFormat(std::string_view text)
{
    if (text == "table")
    {
        return Format::Table;
    }
    if (text == "csv")
    {
        return Format::Csv;
    }
    if (text == "json")
    {
        return Format::Json;
    }
    return std::nullopt;
}

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text)
    {
        const auto byte = static_cast<unsigned char>(c);
        switch (c)
        {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20)
            {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out += escaped;
            }
            else
            {
                out += c;
            }
        }
    }
    return out + '"';
}

std::size_t DisplayWidth(std::string_view text)
{
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size();)
    {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        // Three-byte characters of the CJK blocks are shown two columns wide.
        width += length == 3 && lead >= 0xE2 ? 2 : 1;
        i += length;
    }
    return width;
}

void Print(const Results& results, Format format, std::FILE* out)
{
    const auto& columns = results.columns;
    switch (format)
    {
    case Format::Csv:
        for (std::size_t c = 0; c < columns.size(); ++c)
        {
            std::fprintf(out, "%s%s", c == 0 ? "" : ",", CsvField(columns[c].header).c_str());
        }
        std::fputc('\n', out);
        for (const auto& row : results.rows)
        {
            for (std::size_t c = 0; c < columns.size(); ++c)
            {
                std::fprintf(out, "%s%s", c == 0 ? "" : ",", CsvField(c < row.size() ? row[c] : "").c_str());
            }
            std::fputc('\n', out);
        }
        break;
    case Format::Json:
        std::fputs("[", out);
        for (std::size_t r = 0; r < results.rows.size(); ++r)
        {
            std::fputs(r == 0 ? "\n  {" : ",\n  {", out);
            const auto& row = results.rows[r];
            for (std::size_t c = 0; c < columns.size(); ++c)
            {
                const std::string value = c < row.size() ? row[c] : "";
                // A number column without a value (a run time not reported) is null.
                const std::string shown = !columns[c].number ? JsonString(value) : value.empty() ? "null" : value;
                std::fprintf(out, "%s%s: %s", c == 0 ? "" : ", ", JsonString(columns[c].key).c_str(), shown.c_str());
            }
            std::fputs("}", out);
        }
        std::fputs(results.rows.empty() ? "]\n" : "\n]\n", out);
        break;
    case Format::Table:
    {
        // A cell's text as it came (a command's output with its line
        // breaks): its first line in the row, lined up, and the lines after
        // it below the row as they are. CR LF is a break; other control
        // characters (a terminal's escapes among them) are shown as blanks.
        std::vector<std::vector<std::string>> shown;
        std::vector<std::string> below;
        for (const auto& row : results.rows)
        {
            std::vector<std::string> cells;
            std::string after;
            for (const std::string& cell : row)
            {
                std::string flat;
                for (std::size_t i = 0; i < cell.size(); ++i)
                {
                    const char c = cell[i];
                    if (c == '\r' && i + 1 < cell.size() && cell[i + 1] == '\n')
                    {
                        continue;
                    }
                    flat += c == '\n' || c == '\t' || static_cast<unsigned char>(c) >= 0x20 ? c : ' ';
                }
                if (const std::size_t brk = flat.find('\n'); brk != std::string::npos)
                {
                    std::string rest = flat.substr(brk + 1);
                    if (!rest.empty() && rest.back() != '\n')
                    {
                        rest += '\n';
                    }
                    after += rest;
                    flat.resize(brk);
                }
                cells.push_back(std::move(flat));
            }
            shown.push_back(std::move(cells));
            below.push_back(std::move(after));
        }
        std::vector<std::size_t> widths(columns.size());
        for (std::size_t c = 0; c < columns.size(); ++c)
        {
            widths[c] = DisplayWidth(columns[c].header);
            for (const auto& row : shown)
            {
                widths[c] = std::max(widths[c], c < row.size() ? DisplayWidth(row[c]) : 0);
            }
        }
        const auto line = [&](const std::vector<std::string>& cells)
        {
            std::string text;
            for (std::size_t c = 0; c < columns.size(); ++c)
            {
                const std::string cell = c < cells.size() ? cells[c] : "";
                text += cell;
                if (c + 1 < columns.size())
                {
                    text.append(widths[c] - DisplayWidth(cell) + 2, ' ');
                }
            }
            std::fprintf(out, "%s\n", text.c_str());
        };
        std::vector<std::string> headers;
        for (const Column& column : columns)
        {
            headers.push_back(column.header);
        }
        line(headers);
        for (std::size_t r = 0; r < shown.size(); ++r)
        {
            line(shown[r]);
            std::fputs(below[r].c_str(), out);
        }
        break;
    }
    }
}

} // namespace quellis::cli

#include "platform/text/csv_field.h"

namespace quellis::text
{

std::string CsvField(std::string_view text)
{
    if (text.find_first_of(",\"\r\n") == std::string_view::npos)
    {
        return std::string(text);
    }
    std::string quoted = "\"";
    for (const char c : text)
    {
        quoted += c;
        if (c == '"')
        {
            quoted += '"';
        }
    }
    return quoted + '"';
}

} // namespace quellis::text

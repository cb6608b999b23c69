#include "app/log_file.h"

#include "platform/text/codepage.h"

#include <cstdio>

namespace quellis::app
{

bool AppendToLogFile(std::string_view text, const std::filesystem::path& file)
{
    std::FILE* log = std::fopen(file.c_str(), "ab+");
    if (log == nullptr)
    {
        return false;
    }
    const std::string bytes = text::Utf8ToCp936(text);
    // A short write is not detected, as the log is best effort.
    [[maybe_unused]] const std::size_t written = std::fwrite(bytes.data(), 1, bytes.size(), log);
    std::fclose(log);
    return true;
}

} // namespace quellis::app

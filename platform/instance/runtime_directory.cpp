#include "platform/instance/runtime_directory.h"

#include <cstdlib>

namespace quellis::instance
{

std::optional<std::filesystem::path> PrivateRuntimeDirectory()
{
    const char* directory = std::getenv(kRuntimeDirectoryVariable);
    if (directory == nullptr || *directory == '\0')
    {
        return std::nullopt;
    }
    return std::filesystem::path(directory);
}

} // namespace quellis::instance

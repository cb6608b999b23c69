#include "update/mapped_package.h"

#include <algorithm>

namespace quellis::update
{

bool OpenMappedPackage(const std::filesystem::path& path, MappedPackage& package)
{
    if (!package.file.Open(path))
    {
        return false;
    }
    package.size = package.file.Size();
    if (package.size == 0)
    {
        return package.offset == 0;
    }
    if (package.offset >= package.size)
    {
        return false;
    }
    package.windowStart = package.offset / kWindowSize * kWindowSize;
    const std::uint64_t length = std::min(kWindowSize, package.size - package.windowStart);
    package.window = package.file.MapWindow(package.windowStart, static_cast<std::size_t>(length));
    if (package.window == nullptr)
    {
        return false;
    }
    // The window's first byte read through the file, not the mapping: a file
    // cut short since it was measured fails here instead of faulting.
    std::uint8_t first = 0;
    if (package.file.ReadAt(package.windowStart, &first, 1) != 1)
    {
        CloseMappedPackage(package);
        return false;
    }
    return true;
}

void AdvanceWindow(MappedPackage& package)
{
    package.windowStart = package.offset;
    const std::uint64_t length = std::min(kWindowSize, package.size - package.offset);
    package.window = package.file.MapWindow(package.offset, static_cast<std::size_t>(length));
}

bool CloseMappedPackage(MappedPackage& package)
{
    package.file.Close();
    package.window = nullptr;
    package.windowStart = 0;
    package.offset = 0;
    return true;
}

} // namespace quellis::update

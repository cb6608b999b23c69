#include "resources/resource_ids.h"

#include <algorithm>
#include <array>

namespace quellis::resources
{
namespace
{

// The application icon spans the shell's uses, from the title bar to large
// views; the lamps are shown at the system icon size, 32, or near it.
constexpr std::array kApplicationSizes { 16, 24, 32, 48, 64, 128, 256 };
constexpr std::array kLampSizes { 16, 24, 32, 48 };

} // namespace

std::span<const int> IconSizes(int id)
{
    switch (id)
    {
    case kIconApplication:
        return kApplicationSizes;
    case kIconLampOff:
    case kIconLampOn:
        return kLampSizes;
    default:
        return {};
    }
}

int IconSizeFor(int id, int wanted)
{
    const auto sizes = IconSizes(id);
    if (sizes.empty())
    {
        return 0;
    }
    const auto found = std::lower_bound(sizes.begin(), sizes.end(), wanted);
    return found != sizes.end() ? *found : sizes.back();
}

std::string IconFileName(int id, int size)
{
    return std::to_string(id) + "-" + std::to_string(size) + ".png";
}

std::string ResourcePath(ResourceKind kind, int id, int size)
{
    switch (kind)
    {
    case ResourceKind::Icon:
    {
        const auto sizes = IconSizes(id);
        if (std::find(sizes.begin(), sizes.end(), size) == sizes.end())
        {
            return {};
        }
        return ":/icons/" + IconFileName(id, size);
    }
    case ResourceKind::Gif:
        return id == kGifBusyAnimation ? ":/gif/" + std::to_string(id) + ".gif" : std::string();
    }
    return {};
}

} // namespace quellis::resources

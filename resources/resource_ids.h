#pragma once

#include <span>
#include <string>
#include <string_view>

// The resource ids the dialogs and the program use, and where each resource
// is in the Qt resource system built from this folder. The embedded icons
// follow one scheme, ":/icons/<id>-<size>.png", one square image per size.
// This header and its source are Qt-free.

namespace quellis::resources
{

inline constexpr int kStringAboutMenu = 101;
inline constexpr std::string_view kAboutMenuText = "关于 Quellis(&A)...";

inline constexpr int kIconApplication = 128;
inline constexpr int kIconLampOff = 130; // the serial-port lamp, unlit
inline constexpr int kIconLampOn = 131; // the same lamp, lit

// The busy animation, of the custom resource type "GIF".
inline constexpr int kGifBusyAnimation = 135;

enum class ResourceKind
{
    Icon,
    Gif, // size is not used
};

// The sizes an icon is drawn at, ascending; empty for an unknown id.
[[nodiscard]] std::span<const int> IconSizes(int id);

// The drawn size to load for a wanted one, as the system picks an icon image:
// the smallest not below it, else the largest. 0 for an unknown id.
[[nodiscard]] int IconSizeFor(int id, int wanted);

// The file of one drawn size in resources/icons/, "<id>-<size>.png".
[[nodiscard]] std::string IconFileName(int id, int size);

// The Qt resource path of a resource; empty when it is not embedded (an
// unknown id, or a size the icon is not drawn at: see IconSizeFor).
[[nodiscard]] std::string ResourcePath(ResourceKind kind, int id, int size);

} // namespace quellis::resources

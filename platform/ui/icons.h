#pragma once

#include <QIcon>
#include <QPixmap>

#include <span>
#include <string>

// Icon resources by id, loaded at a size as the system loads an icon for a
// given width and height (the nearest drawn size, scaled when none matches).

namespace quellis::ui
{

// The program's icons, handed to the platform at start-up: the sizes each
// icon is drawn at (ascending), the drawn size the system picks for a wanted
// size (0 for an unknown icon), and the file of one drawn size.
struct IconSource
{
    std::span<const int> (*sizes)(int iconId) = nullptr;
    int (*sizeFor)(int iconId, int wanted) = nullptr;
    std::string (*path)(int iconId, int drawnSize) = nullptr;
};
// UI thread, before the first icon is loaded; without it every icon is empty.
void SetIconSource(IconSource source);

[[nodiscard]] QPixmap LoadIconPixmap(int iconId, int size);
// Every drawn size of an icon, for window icons.
[[nodiscard]] QIcon LoadIcon(int iconId);
// The system's icon size (the width of a standard icon).
inline constexpr int kSystemIconSize = 32;

} // namespace quellis::ui

#pragma once

#include <QIcon>
#include <QPixmap>

// Icon resources by id, loaded at a size as the system loads an icon for a
// given width and height (the nearest drawn size, scaled when none matches).

namespace quellis::ui
{

[[nodiscard]] QPixmap LoadIconPixmap(int iconId, int size);
// Every drawn size of an icon, for window icons.
[[nodiscard]] QIcon LoadIcon(int iconId);
// The system's icon size (the width of a standard icon).
inline constexpr int kSystemIconSize = 32;

} // namespace quellis::ui

#pragma once

// Control ids of the About box (template 100).

namespace quellis::resources
{

inline constexpr int kAboutDialogTemplate = 100;

inline constexpr int kIdAboutOk = 1;
inline constexpr int kIdAboutLink = 1069;
inline constexpr int kIdAboutCopyright = 1070;
inline constexpr int kIdAboutVersion = 1071;

} // namespace quellis::resources

#pragma once

// Control ids of the side panel (template 130).

namespace quellis::resources
{

inline constexpr int kMonitorPanelTemplate = 130;

inline constexpr int kIdMonitorCheck = 1022;
inline constexpr int kIdIntervalEdit = 1023;
inline constexpr int kIdNetmaskEdit = 1024;
inline constexpr int kIdIpBeginEdit = 1025;
inline constexpr int kIdIpEndEdit = 1026;
inline constexpr int kIdLanguageCheck = 1027;

} // namespace quellis::resources

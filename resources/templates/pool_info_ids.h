#pragma once

// Control ids of the pool settings dialog (template 137). Per pool row 1 to 4:
// the enable box, the URL, worker and password edits and the three suffix
// radio buttons ("IP", the hidden "原有矿工", "无").

namespace quellis::resources
{

inline constexpr int kPoolInfoTemplate = 137;

inline constexpr int kIdPoolOk = 1;
inline constexpr int kIdPoolCancel = 2;
inline constexpr int kIdGeneratePoolFiles = 3;
inline constexpr int kIdPoolOnTop = 1028;

inline constexpr int kIdPoolEnable[4] = { 1037, 1041, 1045, 1049 };
inline constexpr int kIdPoolUrl[4] = { 1023, 1025, 1027, 1030 };
inline constexpr int kIdPoolWorker[4] = { 1024, 1026, 1029, 1031 };
inline constexpr int kIdPoolPassword[4] = { 1053, 1009, 1010, 1011 };
inline constexpr int kIdPoolSuffixIp[4] = { 1038, 1042, 1046, 1050 };
inline constexpr int kIdPoolSuffixExisting[4] = { 1039, 1043, 1047, 1051 };
inline constexpr int kIdPoolSuffixNone[4] = { 1040, 1044, 1048, 1052 };

} // namespace quellis::resources

#pragma once

#include <cstdint>

// Control ids, timer ids and window messages of the main dialog (template 102).

namespace quellis::resources
{

inline constexpr int kMainDialogTemplate = 102;

inline constexpr int kIdSearch = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdFixedAccountSearch = 3;
inline constexpr int kIdSerialTest = 4;
inline constexpr int kIdUpdateAll = 5;
inline constexpr int kIdExecuteSystemCommand = 6;
inline constexpr int kIdSelectPackage = 7;
inline constexpr int kIdUpdateSelected = 8;
inline constexpr int kIdRestartMiner = 9;
inline constexpr int kIdRestartSystem = 10;
inline constexpr int kIdExecuteMinerCommand = 11;
inline constexpr int kIdGetHashRate = 12;
inline constexpr int kIdWriteE2 = 13;
inline constexpr int kIdReadE2 = 14;
inline constexpr int kIdDeviceList = 1000;
inline constexpr int kIdAccountEdit = 1006;
inline constexpr int kIdSerialLamp1 = 1013;
inline constexpr int kIdSerialLamp2 = 1014;
inline constexpr int kIdSerialLamp3 = 1015;
inline constexpr int kIdSerialLamp4 = 1016;
inline constexpr int kIdLedTest = 1017;
inline constexpr int kIdBusyPicture = 1018;
inline constexpr int kIdLogPane = 1019;
inline constexpr int kIdSystemCommandEdit = 1020;
inline constexpr int kIdSetIp = 1021;
inline constexpr int kIdSerialLamp5 = 1022;
inline constexpr int kIdMinerCommandEdit = 1023;
inline constexpr int kIdMinerParameterEdit = 1024;
inline constexpr int kIdMinerCommandLabel = 1025;
inline constexpr int kIdMinerParameterLabel = 1026;
inline constexpr int kIdSetPools = 1027;
inline constexpr int kIdFlashMachines = 1028;
inline constexpr int kIdGetFirstMiner = 1029;
inline constexpr int kIdSerialGroup = 1030;
inline constexpr int kIdSerialLabel1 = 1031;
inline constexpr int kIdSerialLabel2 = 1032;
inline constexpr int kIdSerialLabel3 = 1033;
inline constexpr int kIdSerialLabel4 = 1034;
inline constexpr int kIdSerialLabel5 = 1035;
inline constexpr int kIdSetTemperature = 1054;
inline constexpr int kIdLowTemperatureEdit = 1055;
inline constexpr int kIdHighTemperatureEdit = 1056;
inline constexpr int kIdLowTemperatureLabel = 1057;
inline constexpr int kIdHighTemperatureLabel = 1058;
inline constexpr int kIdQrCodeEdit = 1059;
inline constexpr int kIdOneDCodeEdit = 1060;
inline constexpr int kIdQrCodeLabel = 1063;
inline constexpr int kIdOneDCodeLabel = 1064;
inline constexpr int kIdTest = 1068;

// The system menu's About item.
inline constexpr int kIdmAbout = 16;

// Timers: the time-outs of the LED test, the serial-port test and the system
// command.
inline constexpr int kTimerLedTest = 1000;
inline constexpr int kTimerSerialTest = 1001;
inline constexpr int kTimerSystemCommand = 1002;
// The package server's look at connections that have not sent their request.
inline constexpr int kTimerPackageServer = 2425;

// Window messages (the system's WM_USER is 0x0400).
inline constexpr std::uint32_t kWmDevSettingFailed = 0x0400 + 100; // 1124: wParam the result
inline constexpr std::uint32_t kWmTcpSocket = 0x0400 + 101; // 1125: the package server's sockets

} // namespace quellis::resources

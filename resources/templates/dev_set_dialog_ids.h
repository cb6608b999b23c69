#pragma once

// Control ids of the network settings dialog (template 129).

namespace quellis::resources
{

inline constexpr int kDevSetDialogTemplate = 129;

inline constexpr int kIdDevSetOk = 1;
inline constexpr int kIdDevSetCancel = 2;
inline constexpr int kIdDevSetMac = 1003;
inline constexpr int kIdDevSetUserName = 1004;
inline constexpr int kIdDevSetAddress = 1005;
inline constexpr int kIdDevSetMask = 1006;
inline constexpr int kIdDevSetGateway = 1007;
inline constexpr int kIdDevSetPassword = 1008;
inline constexpr int kIdDevSetDns = 1010;
inline constexpr int kIdDevSetPermanent = 1035;
inline constexpr int kIdDevSetStatic = 1036;
inline constexpr int kIdDevSetDhcp = 1037;

} // namespace quellis::resources

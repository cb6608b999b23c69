#pragma once

// Socket errors are reported as the Windows Sockets numbers that the program
// prints in its messages ("未知错误：%d"), whatever the system underneath says.

namespace quellis::net
{

inline constexpr int kWsaInterrupted = 10004;
inline constexpr int kWsaBadHandle = 10009;
inline constexpr int kWsaAccessDenied = 10013;
inline constexpr int kWsaFault = 10014;
inline constexpr int kWsaInvalidArgument = 10022;
inline constexpr int kWsaTooManyOpenSockets = 10024;
inline constexpr int kWsaWouldBlock = 10035;
inline constexpr int kWsaInProgress = 10036;
inline constexpr int kWsaAlready = 10037;
inline constexpr int kWsaNotSocket = 10038;
inline constexpr int kWsaDestinationRequired = 10039;
inline constexpr int kWsaMessageSize = 10040;
inline constexpr int kWsaProtocolType = 10041;
inline constexpr int kWsaNoProtocolOption = 10042;
inline constexpr int kWsaProtocolNotSupported = 10043;
inline constexpr int kWsaSocketTypeNotSupported = 10044;
inline constexpr int kWsaOperationNotSupported = 10045;
inline constexpr int kWsaAddressFamilyNotSupported = 10047;
inline constexpr int kWsaAddressInUse = 10048;
inline constexpr int kWsaAddressNotAvailable = 10049;
inline constexpr int kWsaNetworkDown = 10050;
inline constexpr int kWsaNetworkUnreachable = 10051;
inline constexpr int kWsaNetworkReset = 10052;
inline constexpr int kWsaConnectionAborted = 10053;
inline constexpr int kWsaConnectionReset = 10054;
inline constexpr int kWsaNoBufferSpace = 10055;
inline constexpr int kWsaAlreadyConnected = 10056;
inline constexpr int kWsaNotConnected = 10057;
inline constexpr int kWsaShutdown = 10058;
inline constexpr int kWsaTimedOut = 10060;
inline constexpr int kWsaConnectionRefused = 10061;
inline constexpr int kWsaHostDown = 10064;
inline constexpr int kWsaHostUnreachable = 10065;

// The Windows Sockets number for an errno value; errno values without a
// counterpart keep their own number.
[[nodiscard]] int WsaErrorFromErrno(int error);

// A connect that nothing answered: the time-out, or a host or network that
// cannot be reached. A machine switched off on the local segment never
// answers address resolution, which the system reports as host unreachable
// after about as long as the connect's own bound; the two race, and both
// mean the same to the operator.
[[nodiscard]] constexpr bool IsUnansweredConnect(int error)
{
    return error == kWsaTimedOut || error == kWsaHostUnreachable || error == kWsaNetworkUnreachable;
}

} // namespace quellis::net

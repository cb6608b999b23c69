#include "platform/net/wsa_error.h"

#include <cerrno>

namespace quellis::net
{

int WsaErrorFromErrno(int error)
{
    switch (error)
    {
    case 0:
        return 0;
    case EINTR:
        return kWsaInterrupted;
    case EBADF:
        return kWsaBadHandle;
    case EACCES:
    case EPERM:
        return kWsaAccessDenied;
    case EFAULT:
        return kWsaFault;
    case EINVAL:
        return kWsaInvalidArgument;
    case EMFILE:
    case ENFILE:
        return kWsaTooManyOpenSockets;
    case EAGAIN:
        return kWsaWouldBlock;
    case EINPROGRESS:
        return kWsaInProgress;
    case EALREADY:
        return kWsaAlready;
    case ENOTSOCK:
        return kWsaNotSocket;
    case EDESTADDRREQ:
        return kWsaDestinationRequired;
    case EMSGSIZE:
        return kWsaMessageSize;
    case EPROTOTYPE:
        return kWsaProtocolType;
    case ENOPROTOOPT:
        return kWsaNoProtocolOption;
    case EPROTONOSUPPORT:
        return kWsaProtocolNotSupported;
    case ESOCKTNOSUPPORT:
        return kWsaSocketTypeNotSupported;
    case EOPNOTSUPP:
        return kWsaOperationNotSupported;
    case EAFNOSUPPORT:
        return kWsaAddressFamilyNotSupported;
    case EADDRINUSE:
        return kWsaAddressInUse;
    case EADDRNOTAVAIL:
        return kWsaAddressNotAvailable;
    case ENETDOWN:
        return kWsaNetworkDown;
    case ENETUNREACH:
        return kWsaNetworkUnreachable;
    case ENETRESET:
        return kWsaNetworkReset;
    case ECONNABORTED:
    case EPIPE: // a send after the peer has gone, as Windows reports it
        return kWsaConnectionAborted;
    case ECONNRESET:
        return kWsaConnectionReset;
    case ENOBUFS:
    case ENOMEM:
        return kWsaNoBufferSpace;
    case EISCONN:
        return kWsaAlreadyConnected;
    case ENOTCONN:
        return kWsaNotConnected;
    case ESHUTDOWN:
        return kWsaShutdown;
    case ETIMEDOUT:
        return kWsaTimedOut;
    case ECONNREFUSED:
        return kWsaConnectionRefused;
    case EHOSTDOWN:
        return kWsaHostDown;
    case EHOSTUNREACH:
        return kWsaHostUnreachable;
    default:
        return error;
    }
}

} // namespace quellis::net

#pragma once

#include <QObject>
#include <QPointer>

#include <cstdint>
#include <map>

class QSocketNotifier;

// Socket events as window messages: a socket registered here posts `message`
// to its dialog with wParam = the socket and lParam = the event (FD_READ,
// FD_ACCEPT, FD_CLOSE in the low word, an error code in the high word).
// As with the system's notifications, an event is reported once and then not
// again until the program has called the function that re-enables it
// (Accept for FD_ACCEPT, a receive for FD_READ), so an unhandled notification
// never floods the queue. UI thread only.

namespace quellis::ui
{

class Dialog;

inline constexpr std::intptr_t kFdRead = 0x01;
inline constexpr std::intptr_t kFdAccept = 0x08;
inline constexpr std::intptr_t kFdClose = 0x20;

// Registers (or with events 0 cancels) notifications for a socket; false when
// the socket cannot be watched.
bool AsyncSelect(int socket, Dialog* dialog, std::uint32_t message, std::intptr_t events);
// Re-arms the notification of an event after the program has handled it.
void ReenableAsyncEvent(int socket, std::intptr_t event);

} // namespace quellis::ui

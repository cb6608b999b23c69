#include "platform/ui/async_select.h"

#include "platform/net/readiness.h"
#include "platform/ui/dialog.h"

#include <QSocketNotifier>

#include <memory>

namespace quellis::ui
{

namespace
{

struct Registration
{
    QPointer<Dialog> dialog;
    std::uint32_t message = 0;
    std::intptr_t events = 0;
    std::unique_ptr<QSocketNotifier> notifier;
    bool listening = false;
};

std::map<int, Registration>& Registrations()
{
    static std::map<int, Registration> registrations;
    return registrations;
}

void Notify(int socket)
{
    auto found = Registrations().find(socket);
    if (found == Registrations().end())
    {
        return;
    }
    Registration& registration = found->second;
    // Reported once until re-enabled.
    registration.notifier->setEnabled(false);
    if (registration.dialog == nullptr)
    {
        return;
    }
    std::intptr_t event = 0;
    if (registration.listening)
    {
        event = kFdAccept;
    }
    else
    {
        event = net::PeerHasClosed(socket) ? kFdClose : kFdRead;
    }
    if ((registration.events & event) != 0)
    {
        registration.dialog->PostMessage(registration.message, static_cast<std::uintptr_t>(socket), event);
    }
    if (event == kFdClose)
    {
        // Nothing follows a close.
        Registrations().erase(found);
    }
}

} // namespace

bool AsyncSelect(int socket, Dialog* dialog, std::uint32_t message, std::intptr_t events)
{
    auto& registrations = Registrations();
    registrations.erase(socket);
    if (events == 0)
    {
        return true;
    }
    if (socket < 0 || dialog == nullptr)
    {
        return false;
    }
    Registration& registration = registrations[socket];
    registration.dialog = dialog;
    registration.message = message;
    registration.events = events;
    registration.listening = net::IsListening(socket);
    registration.notifier = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
    QObject::connect(registration.notifier.get(), &QSocketNotifier::activated, dialog, [socket] { Notify(socket); });
    return true;
}

void ReenableAsyncEvent(int socket, std::intptr_t)
{
    auto found = Registrations().find(socket);
    if (found != Registrations().end())
    {
        found->second.notifier->setEnabled(true);
    }
}

} // namespace quellis::ui

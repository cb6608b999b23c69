#include "platform/ui/termination.h"

#include <QApplication>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

namespace quellis::ui
{

namespace
{

// The handler writes the signal's number; the UI thread reads it.
int signalPipe[2] = { -1, -1 };
bool (*closableNow)() = nullptr;

void OnTerminationSignal(int signalNumber)
{
    if (closableNow == nullptr || !closableNow())
    {
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
        return;
    }
    const char byte = static_cast<char>(signalNumber);
    [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1);
}

} // namespace

void IgnoreBrokenPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

void CloseOnTerminationSignals(QApplication& application, bool (*closable)(), void (*close)())
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
    {
        return;
    }
    closableNow = closable;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &application);
    QObject::connect(notifier,
        &QSocketNotifier::activated,
        &application,
        [close]
        {
            char byte = 0;
            [[maybe_unused]] const ssize_t got = read(signalPipe[0], &byte, 1);
            close();
        });
    struct sigaction action = {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

} // namespace quellis::ui

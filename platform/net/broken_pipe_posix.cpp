#include "platform/net/broken_pipe.h"

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace quellis::net
{

namespace
{

sigset_t BrokenPipe()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGPIPE);
    return signals;
}

} // namespace

void BlockBrokenPipeSignal()
{
    const sigset_t signals = BrokenPipe();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void DiscardBrokenPipeSignal()
{
    const sigset_t signals = BrokenPipe();
    const timespec now {};
    // A send raises the signal for the thread that sent: with it blocked, it
    // waits here until taken.
    while (sigtimedwait(&signals, nullptr, &now) == SIGPIPE)
    {
    }
}

} // namespace quellis::net

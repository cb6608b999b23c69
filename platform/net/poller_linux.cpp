#include "platform/net/poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

namespace quellis::net
{

namespace
{

constexpr std::size_t kMaxEventsPerWait = 256;

std::uint32_t EventsFor(Interest interest)
{
    // Failures and hang-ups are always reported, as poll does.
    return EPOLLET | (interest == Interest::Read ? EPOLLIN : EPOLLOUT);
}

bool Control(int poll, int operation, int socket, void* token, Interest interest)
{
    epoll_event event {};
    event.events = EventsFor(interest);
    event.data.ptr = token;
    return epoll_ctl(poll, operation, socket, &event) == 0;
}

} // namespace

Poller::Poller()
    : poll_(epoll_create1(EPOLL_CLOEXEC))
    , wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (IsValid())
    {
        // The wake-up's token is null: no socket reports one.
        epoll_event event {};
        event.events = EPOLLIN | EPOLLET;
        event.data.ptr = nullptr;
        if (epoll_ctl(poll_, EPOLL_CTL_ADD, wake_, &event) != 0)
        {
            close(wake_);
            wake_ = -1;
        }
    }
}

Poller::~Poller()
{
    if (wake_ >= 0)
    {
        close(wake_);
    }
    if (poll_ >= 0)
    {
        close(poll_);
    }
}

bool Poller::Add(int socket, void* token, Interest interest)
{
    return token != nullptr && Control(poll_, EPOLL_CTL_ADD, socket, token, interest);
}

bool Poller::Change(int socket, void* token, Interest interest)
{
    return token != nullptr && Control(poll_, EPOLL_CTL_MOD, socket, token, interest);
}

void Poller::Remove(int socket)
{
    epoll_event unused {};
    epoll_ctl(poll_, EPOLL_CTL_DEL, socket, &unused);
}

int Poller::Wait(std::span<void*> ready, std::chrono::milliseconds timeout)
{
    if (ready.empty())
    {
        return -1;
    }
    epoll_event events[kMaxEventsPerWait];
    const int capacity = static_cast<int>(std::min(ready.size(), kMaxEventsPerWait));
    const int milliseconds = timeout.count() < 0 ? -1 : static_cast<int>(std::min<long long>(timeout.count(), INT_MAX));
    int got = 0;
    do
    {
        got = epoll_wait(poll_, events, capacity, milliseconds);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
    {
        return -1;
    }
    int count = 0;
    for (int i = 0; i < got; ++i)
    {
        if (events[i].data.ptr == nullptr)
        {
            std::uint64_t wakes = 0;
            [[maybe_unused]] const ssize_t drained = read(wake_, &wakes, sizeof wakes);
            continue;
        }
        ready[static_cast<std::size_t>(count++)] = events[i].data.ptr;
    }
    return count;
}

void Poller::Wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
}

} // namespace quellis::net

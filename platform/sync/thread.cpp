#include "platform/sync/thread.h"

#include <system_error>

namespace quellis::sync
{

namespace
{

std::atomic<int> refusals { 0 };

} // namespace

void Thread::RefuseNextStarts(int count)
{
    refusals = count;
}

Thread::~Thread()
{
    Join();
}

Thread& Thread::operator=(Thread&& other) noexcept
{
    if (this != &other)
    {
        Join();
        thread_ = std::move(other.thread_);
        finished_ = std::move(other.finished_);
    }
    return *this;
}

bool Thread::Start(std::function<void()> body)
{
    Join();
    int refused = refusals.load();
    while (refused > 0 && !refusals.compare_exchange_weak(refused, refused - 1))
    {
    }
    if (refused > 0)
    {
        return false;
    }
    auto finished = std::make_shared<std::atomic<bool>>(false);
    try
    {
        thread_ = std::thread(
            [finished, body = std::move(body)]
            {
                body();
                finished->store(true, std::memory_order_release);
            });
    }
    catch (const std::system_error&)
    {
        // The system's refusal becomes a value, as thread creation failures are.
        return false;
    }
    finished_ = std::move(finished);
    return true;
}

void Thread::Join()
{
    if (thread_.joinable())
    {
        thread_.join();
    }
}

} // namespace quellis::sync

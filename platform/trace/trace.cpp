#include "platform/trace/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace quellis::trace
{

namespace
{

// Opened once, on first use, from the environment of that moment.
int TraceHandle()
{
    static const int handle = []
    {
        const char* target = std::getenv("QUELLIS_TRACE");
        if (target == nullptr || *target == '\0')
        {
            return -1;
        }
        if (target[0] == '/')
        {
            return open(target, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        }
        return STDERR_FILENO;
    }();
    return handle;
}

double Milliseconds(const timespec& time)
{
    return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_nsec) / 1e6;
}

// The wall clock when the program's static objects are made (after the
// libraries were loaded and initialised), less the CPU time spent until then:
// the moment the process started, near enough.
const double processStartMs = []
{
    timespec now {};
    timespec used {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return Milliseconds(now) - Milliseconds(used);
}();

std::atomic<bool> startupOver { false };

} // namespace

bool Enabled()
{
    return TraceHandle() >= 0;
}

void OutputDebugString(std::string_view text)
{
    const int handle = TraceHandle();
    if (handle < 0 || text.empty())
    {
        return;
    }
    // One write per call; short writes to a pipe or file are not retried.
    [[maybe_unused]] const ssize_t written = write(handle, text.data(), text.size());
}

void OutputDebugStringF(const char* format, ...)
{
    if (!Enabled())
    {
        return;
    }
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length > 0)
    {
        OutputDebugString(
            std::string_view(text, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof text - 1)));
    }
}

void StartupStep(std::string_view name)
{
    if (!Enabled() || startupOver.load())
    {
        return;
    }
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    OutputDebugStringF(
        "start-up %7.1f ms  %.*s\n", Milliseconds(now) - processStartMs, static_cast<int>(name.size()), name.data());
}

void LastStartupStep(std::string_view name)
{
    StartupStep(name);
    startupOver = true;
}

} // namespace quellis::trace
